#include "Options.h"

#include "Converter.h"

Options::Options(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        std::string item = argv[i] != nullptr ? argv[i] : "";
        if (item.empty() || item[0] != '-') {
            args.push_back(item);
        } else if (item.size() == 2) {
            // "-x value": the next item is the value whatever it looks like.
            options[item[1]] = i + 1 < argc && argv[i + 1] != nullptr ? argv[i + 1] : "";
            ++i;
        } else if (item.size() > 2) {
            options[item[1]] = item.substr(2);
        }
    }
}

int Options::getCount() const {
    return static_cast<int>(args.size());
}

std::string Options::getArgument(int i) const {
    if (i < 0 || i >= getCount()) return std::string();
    return args[static_cast<size_t>(i)];
}

bool Options::is_present(char c) const {
    return options.count(c) != 0;
}

std::string Options::getOption(char c) const {
    auto it = options.find(c);
    return it != options.end() ? it->second : std::string();
}

int Options::getOptionNum(char c) const {
    return Converter::to_int(getOption(c));
}
