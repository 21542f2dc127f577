#include "StreamState.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "Common.h"
#include "SiteMetrics.h"

std::string StreamState::path(const std::string& site) {
    return fix_home + "/logs/" + site + ".stream";
}

std::string StreamState::line() const {
    return "link=" + link + " pending=" + std::to_string(pending) +
           " unacked=" + std::to_string(unacked) + " at=" + std::to_string(static_cast<long>(at)) +
           "\n";
}

bool StreamState::write(const std::string& file) const {
    return SiteMetrics::write(file, line());
}

std::optional<StreamState> StreamState::read(const std::string& file) {
    std::ifstream in(file);
    std::string text;
    if (!in || !std::getline(in, text)) return std::nullopt;
    char link[32] = {};
    long pending = 0, unacked = 0, at = 0;
    if (std::sscanf(text.c_str(), "link=%31s pending=%ld unacked=%ld at=%ld", link, &pending,
                    &unacked, &at) != 4)
        return std::nullopt;
    StreamState s;
    s.link = link;
    s.pending = pending;
    s.unacked = unacked;
    s.at = static_cast<std::time_t>(at);
    return s;
}
