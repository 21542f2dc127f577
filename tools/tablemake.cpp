// tablemake SHM [-m mode] [-g group]: creates the shared-memory site table under a name, or wipes
// the existing one. A new table is owner and group read-write (0660) in the creating process's
// group unless -m (octal) or -g (a group name or number) says otherwise; an existing table keeps
// its access unless they are given.
#include <iostream>

#include "IpcAccess.h"
#include "Options.h"
#include "Shm.h"

int main(int argc, char** argv) {
    Options options(argc, argv);
    if (argc < 2 || options.getCount() < 2) {
        std::cout << "Usage: tablemake SHM [-m mode] [-g group]" << std::endl;
        return 255;
    }
    IpcAccess access;
    std::string refusal;
    if (!IpcAccess::fromOptions(options, access, refusal)) {
        std::cerr << refusal << std::endl;
        return 255;
    }
    std::string name = options.getArgument(1);
    try {
        Shm table(name, access);
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
