#include "StreamNames.h"

#include <cctype>
#include <iostream>
#include <sstream>

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

std::vector<std::string> StreamNames::siteList(const std::string& text) {
    std::vector<std::string> sites;
    std::istringstream words(text);
    for (std::string site; std::getline(words, site, ',');) {
        if (!usable(site)) {
            std::cerr << refusal(site) << std::endl;
            return {};
        }
        sites.push_back(site);
    }
    return sites;
}
