#include "ControlFile.h"

#include <fstream>

std::vector<std::string> ControlFile::poll() {
    std::vector<std::string> lines;
    if (path.empty()) return lines;
    std::ifstream in(path, std::ios::binary);
    if (!in) return lines;
    in.seekg(static_cast<std::streamoff>(offset));
    std::string line;
    // A last line without its newline is still being written: it is taken by a later poll.
    while (std::getline(in, line) && !in.eof()) {
        offset += line.size() + 1;
        lines.push_back(line);
    }
    return lines;
}
