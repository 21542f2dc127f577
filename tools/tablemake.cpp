// tablemake SHM: creates the shared-memory site table under a name, or wipes the existing one.
#include <iostream>

#include "Options.h"
#include "Shm.h"

int main(int argc, char** argv) {
    Options options(argc, argv);
    if (argc < 2 || options.getCount() < 2) {
        std::cout << "Usage: tablemake SHM" << std::endl;
        return 255;
    }
    std::string name = options.getArgument(1);
    try {
        Shm table(name);
        table.clear();
        std::cout << "Shared memory [" << name << ", " << table.getId()
                  << "] is created successfully." << std::endl
                  << std::endl;
    } catch (const ShmException& e) {
        std::cerr << e.what() << std::endl;
        return 1;
    }
    return 0;
}
