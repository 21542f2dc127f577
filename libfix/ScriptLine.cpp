#include "ScriptLine.h"

#include "Common.h"

std::size_t ScriptLine::read(std::istream& in, std::string& line) {
    line.clear();
    std::size_t length = 0;
    std::streambuf* buffer = in.rdbuf();
    if (buffer == nullptr) {
        in.setstate(std::ios::eofbit);
        return 0;
    }
    for (;;) {
        int c = buffer->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            in.setstate(std::ios::eofbit);
            break;
        }
        if (c == '\n') break;
        if (length < maxLength) line.push_back(static_cast<char>(c));
        ++length;
    }
    return length;
}

ScriptLine::ScriptLine(const std::string& text) : text(text) {}

bool ScriptLine::isComment() const {
    return text.empty() || text[0] == Comment;
}

std::string ScriptLine::message() const {
    std::string fields;
    fields.reserve(text.size() + 1);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t bar = text.find(Delimitor, start);
        if (bar == std::string::npos || bar == start) {
            fields.append(text, start, std::string::npos);
            fields.push_back(soh);
            break;
        }
        fields.append(text, start, bar - start);
        fields.push_back(soh);
        start = bar + 1;
    }
    return fields;
}
