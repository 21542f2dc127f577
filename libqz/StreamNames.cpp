#include "StreamNames.h"

#include <cctype>

bool StreamNames::usable(const std::string& site) {
    return refusal(site).empty();
}

std::string StreamNames::refusal(const std::string& site) {
    if (site.empty()) return "A site without a name cannot use JetStream.";
    for (char c : site) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_')
            return "Site [" + site +
                   "] cannot use JetStream: subjects and stream names take letters, digits, '-' "
                   "and '_' only.";
    }
    return std::string();
}
