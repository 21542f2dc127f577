// Splits arbitrary NUL-separated items into a command line and checks Options against the
// splitting rules written out here: a plain item is a positional argument, "-x" takes the next
// item whatever it is, "-xvalue" carries its value, "-" alone is dropped, the last value wins.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "Converter.h"
#include "Options.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> items;
    std::string text(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    for (std::size_t nul; (nul = text.find('\0', start)) != std::string::npos; start = nul + 1)
        items.push_back(text.substr(start, nul - start));
    items.push_back(text.substr(start));
    if (items.size() > 256) return 0;

    std::vector<char*> argv;
    for (std::string& item : items) argv.push_back(&item[0]);
    argv.push_back(nullptr);
    Options options(static_cast<int>(items.size()), argv.data());

    std::vector<std::string> args;
    std::map<char, std::string> values;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string& item = items[i];
        if (item.empty() || item[0] != '-') {
            args.push_back(item);
        } else if (item.size() == 2) {
            values[item[1]] = i + 1 < items.size() ? items[i + 1] : "";
            ++i;
        } else if (item.size() > 2) {
            values[item[1]] = item.substr(2);
        }
    }

    require(options.getCount() == static_cast<int>(args.size()));
    for (int i = 0; i < options.getCount(); ++i)
        require(options.getArgument(i) == args[static_cast<std::size_t>(i)]);
    require(options.getArgument(options.getCount()).empty());
    require(options.getArgument(-1).empty());
    for (int c = -128; c < 128; ++c) {
        char letter = static_cast<char>(c);
        auto it = values.find(letter);
        require(options.is_present(letter) == (it != values.end()));
        std::string value = it != values.end() ? it->second : "";
        require(options.getOption(letter) == value);
        require(options.getOptionNum(letter) == Converter::to_int(value));
    }
    return 0;
}
