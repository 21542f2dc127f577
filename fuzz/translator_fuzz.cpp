// Loads arbitrary text as a tag dictionary and looks up names. Loading never hangs or overruns on
// long lines, NULs or missing separators; for files of ordinary lines every name is answered with
// the lowest number the grammar gives it.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "Converter.h"
#include "Translator.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

std::string path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char name[] = "/tmp/fixgate-dictfuzz-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    path = name;
    std::atexit([] { unlink(path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    Translator dictionary(path);

    // The grammar written out, for files of ordinary lines (no NUL, none near the length limit).
    std::map<int, std::string> expected;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.size() >= 1023 || line.find('\0') != std::string::npos) return 0;
        if (line.empty() || line[0] == '*') continue;
        std::size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        std::string rest = line.substr(eq + 1);
        std::size_t bar = rest.find('|');
        expected[Converter::to_int(line.substr(0, eq - 1))] =
            bar != std::string::npos && bar > 0 ? rest.substr(0, bar - 1) : rest;
    }
    for (const auto& entry : expected) {
        int lowest = entry.first;
        for (const auto& other : expected) {
            if (other.second == entry.second) {
                lowest = other.first;
                break;
            }
        }
        require(dictionary.getTagNum(entry.second) == lowest);
    }
    // No line can carry a line end in its name.
    require(dictionary.getTagNum("\n") == 0);
    return 0;
}
