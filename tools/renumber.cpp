// renumber mem site [-i In.seq] [-o Out.seq]: sets a site's inbound and outbound sequence numbers
// in the site table. Each option sets only its own number, so `-i` on a live session leaves the
// outbound numbering alone; without either option both numbers go to 0.
#include <cctype>
#include <climits>
#include <cstdlib>
#include <iostream>

#include "Converter.h"
#include "Options.h"
#include "Shm.h"

namespace {

// A sequence number is a decimal number from 0 to INT_MAX, optionally after blanks and a '+';
// trailing text is ignored as Converter::to_int ignores it.
bool isSequenceNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i < text.size() && text[i] == '+') ++i;
    if (i == text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX) return false;
    }
    return true;
}

// The option's value, 0 when it is absent; false when it is given but not a sequence number.
bool sequenceOption(const Options& options, char letter, int& value) {
    value = 0;
    if (!options.is_present(letter)) return true;
    std::string text = options.getOption(letter);
    if (!isSequenceNumber(text)) {
        std::cerr << "Invalid sequence number for -" << letter << ": \"" << text << "\""
                  << std::endl;
        return false;
    }
    value = Converter::to_int(text);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options(argc, argv);
    if (options.getCount() < 3) {
        std::cout << "Usage: renumber mem site [-i In.seq] [-o Out.seq] " << std::endl << std::endl;
        return 255;
    }
    int inSeq = 0;
    int outSeq = 0;
    // A value that is not a number changes nothing rather than storing a guess.
    if (!sequenceOption(options, 'i', inSeq) || !sequenceOption(options, 'o', outSeq)) return 255;
    bool setIn = options.is_present('i');
    bool setOut = options.is_present('o');
    if (!setIn && !setOut) setIn = setOut = true;
    try {
        std::string tableName = options.getArgument(1);
        std::string site = options.getArgument(2);
        Shm table(tableName);
        MemoryCell* cell = table.getCell(site);
        if (setIn) cell->In.seq = inSeq;
        if (setOut) cell->Out.seq = outSeq;
    } catch (const ShmException& e) {
        std::cerr << e.what() << std::endl;
        return 255;
    }
    return 0;
}
