// Reads an arbitrary script through ScriptLine as scriptfeed does and splits every line. Reading
// makes progress on every line, whatever its length, and keeps at most maxLength characters;
// a split message is the line's bytes with each "|" separator turned into SOH and a final SOH.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "Common.h"
#include "ScriptLine.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream script(std::string(reinterpret_cast<const char*>(data), size));
    std::size_t consumed = 0;
    std::size_t lines = 0;
    while (!script.eof()) {
        require(++lines <= size + 1);
        std::string line;
        std::size_t length = ScriptLine::read(script, line);
        const std::size_t kept = ScriptLine::maxLength;
        require(line.size() == std::min(length, kept));
        consumed += length + 1;
        ScriptLine parsed(line);
        std::string message = parsed.message();
        if (line.empty()) {
            require(parsed.isComment() && message.empty());
            continue;
        }
        require(parsed.isComment() == (line[0] == Comment));
        require(!message.empty() && message.back() == soh);
        // Undo the split: SOH that the split added back to '|', the final one dropped.
        std::string joined;
        std::size_t added = 0;
        for (std::size_t i = 0, j = 0; i + 1 < message.size(); ++i) {
            if (message[i] == soh && (j >= line.size() || line[j] != soh)) {
                joined += Delimitor;
                ++added;
            } else {
                joined += message[i];
            }
            ++j;
        }
        require(joined == line || joined + Delimitor == line);
        require(added <= line.size());
    }
    require(consumed >= size);
    return 0;
}
