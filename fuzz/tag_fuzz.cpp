// Parses arbitrary text as a field, with both the parsing constructor and set(), and checks the
// result against the rules: only the first '=' separates, the constructor needs it after the first
// character, set() takes the whole text as value when there is none, and the wire form and search
// key are rebuilt from number and value.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Common.h"
#include "Converter.h"
#include "Tag.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::size_t eq = text.find('=');

    std::string parsed = text;
    Tag field(parsed);
    if (eq != std::string::npos && eq > 0) {
        require(parsed == text.substr(0, eq));
        require(field.value == text.substr(eq + 1));
    } else {
        require(parsed == text);
        require(field.value.empty());
    }
    require(field.tag == Converter::to_int(parsed));

    std::string reset = text;
    Tag other;
    other.set(reset);
    if (eq == std::string::npos) {
        require(other.value == text);
        require(reset == text);
    } else {
        require(other.value == text.substr(eq + 1));
        require(reset == text.substr(0, eq));
    }
    require(other.tag == Converter::to_int(reset));

    const std::string number = Converter::to_string(field.tag);
    require(field.getTagValueStr() == number + equ + field.value + soh);
    require(field.tagStr() == std::string(1, soh) + number + equ);
    require((field == other) == (field.tag == other.tag));
    require((field != other) == !(field == other));
    Tag copy(field);
    require(copy == field && copy.value == field.value);
    return 0;
}
