#include "Translator.h"

#include <fstream>
#include <limits>

#include "Common.h"
#include "Converter.h"

namespace {

constexpr std::streamsize maxLine = 1023;

}  // namespace

Translator::Translator() {
    load("./cfg/dictionary.txt");
}

Translator::Translator(const std::string& path) {
    load(path);
}

void Translator::load(const std::string& path) {
    std::ifstream in(path);
    char buf[maxLine + 1];
    while (in) {
        in.getline(buf, sizeof buf);
        if (in.fail()) {
            // A full buffer without a newline: skip the rest of this over-long line and go on.
            if (in.eof() || in.bad() || in.gcount() < maxLine) break;
            in.clear();
            in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
            continue;
        }
        std::string line(buf);
        if (line.empty() || line[0] == Comment) continue;
        size_t eq = line.find(equ);
        if (eq == std::string::npos || eq == 0) continue;
        int number = Converter::to_int(line.substr(0, eq - 1));
        std::string rest = line.substr(eq + 1);
        size_t bar = rest.find(Delimitor);
        tagNames[number] = bar != std::string::npos && bar > 0 ? rest.substr(0, bar - 1) : rest;
    }
}

int Translator::getTagNum(const std::string& name) const {
    for (const auto& entry : tagNames) {
        if (entry.second == name) return entry.first;
    }
    return 0;
}
