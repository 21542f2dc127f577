// siteload mem site_cfg: writes the listed sites into cells 0, 1, 2 ... of the site table in list
// order, with counters reset and times set to now, and frees every cell after the last one.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <string>

#include "Common.h"
#include "Shm.h"

namespace {

void loadCell(MemoryCell* cell, const std::string& site, time_t now) {
    // getline reads lines of any length; only the first 16 characters can be kept.
    std::string name = site.substr(0, maxSiteName);
    std::fill(cell->name, cell->name + sizeof(cell->name), '\0');
    name.copy(cell->name, name.size());
    cell->In = Counters{0, 0, 0, now};
    cell->Out = Counters{0, 0, 0, now};
    cell->status = ' ';
    cell->future = ' ';
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cout << "Usage: siteload mem site_cfg " << std::endl << std::endl;
        return 255;
    }
    std::string tableName = argv[1];
    std::string listPath = argv[2];
    std::ifstream list(listPath);
    // A directory opens as a stream but reads as an empty list, which would free every cell.
    struct stat info {};
    int error = 0;
    if (!list || stat(listPath.c_str(), &info) != 0) {
        error = errno != 0 ? errno : EIO;
    } else if (S_ISDIR(info.st_mode)) {
        error = EISDIR;
    }
    if (error != 0) {
        std::cout << "Fail to open the site configuration file. " << listPath << ": "
                  << std::strerror(error) << std::endl;
        return 255;
    }
    try {
        Shm table(tableName);
        time_t now = std::time(nullptr);
        int loaded = 0;
        std::string line;
        while (loaded < maxCells && std::getline(list, line)) {
            if (line.empty() || line[0] == Comment) continue;
            MemoryCell* cell = table.getCell(loaded++);
            loadCell(cell, line, now);
            std::cout << "Site: " << cell->name << " is loaded." << std::endl;
            if (loaded == maxCells) std::cout << "Fail to load more sites." << std::endl;
        }
        for (int i = loaded; i < maxCells; ++i) table.getCell(i)->name[0] = '\0';
    } catch (const ShmException& e) {
        std::cerr << e.what() << std::endl;
        return 255;
    }
    return 0;
}
