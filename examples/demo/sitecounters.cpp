// sitecounters shm site...
//
// Prints the counters of the named sites' cells in the site table, one line per site, for
// scripts that want the table's state without the full-screen monitor. A site with no cell is
// reported and makes the exit status 1.
#include <iomanip>
#include <iostream>
#include <string>

#include "Options.h"
#include "Shm.h"

namespace {

void show(const std::string& site, const MemoryCell& cell) {
    char status = cell.status == 0 ? '-' : cell.status;
    std::cout << std::left << std::setw(17) << site << std::right << " In: seq " << std::setw(4)
              << cell.In.seq << " pend " << std::setw(4) << cell.In.pend << " proc " << std::setw(4)
              << cell.In.proc << "   Out: seq " << std::setw(4) << cell.Out.seq << " pend "
              << std::setw(4) << cell.Out.pend << " proc " << std::setw(4) << cell.Out.proc
              << "   status " << status << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    Options options(argc, argv);
    if (options.getCount() < 3) {
        std::cout << "Usage: sitecounters shm site..." << std::endl;
        return 255;
    }
    int result = 0;
    try {
        Shm shm(options.getArgument(1));
        for (int i = 2; i < options.getCount(); ++i) {
            std::string site = options.getArgument(i);
            try {
                show(site, *shm.getCell(site));
            } catch (ShmException& e) {
                std::cout << std::left << std::setw(17) << site << " " << e.what() << std::endl;
                result = 1;
            }
        }
    } catch (ShmException& e) {
        std::cerr << e.what() << std::endl;
        return 1;
    }
    return result;
}
