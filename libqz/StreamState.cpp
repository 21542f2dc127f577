#include "StreamState.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "Common.h"
#include "SiteMetrics.h"
#include "SiteMetrics.h"

std::string StreamState::path(const std::string& site) {
    return fix_home + "/logs/" + site + ".stream";
}

std::string StreamState::line() const {
    return "link=" + link + " pending=" + std::to_string(pending) +
           " unacked=" + std::to_string(unacked) +
           " at=" + std::to_string(static_cast<long long>(at));
}

bool StreamState::write(const std::string& path) const {
    return SiteMetrics::write(path, line() + "\n");
}

namespace {

// "key=<digits>" as a number; false for another key, a sign or trailing text, so a line cut or
// written by something else is not taken for a state.
bool number(const std::string& word, const char* key, long long& value) {
    std::string prefix = std::string(key) + "=";
    if (word.compare(0, prefix.size(), prefix) != 0 || word.size() == prefix.size()) return false;
    if (word.size() - prefix.size() > 18) return false;
    value = 0;
    for (std::size_t i = prefix.size(); i < word.size(); ++i) {
        if (word[i] < '0' || word[i] > '9') return false;
        value = value * 10 + (word[i] - '0');
    }
    return true;
}

}  // namespace

std::optional<StreamState> StreamState::read(const std::string& path) {
    std::ifstream file(path);
    std::string text;
    if (!file.is_open() || !std::getline(file, text)) return std::nullopt;
    std::istringstream words(text);
    std::string link, pending, unacked, at, more;
    if (!(words >> link >> pending >> unacked >> at) || (words >> more)) return std::nullopt;
    StreamState state;
    if (link.compare(0, 5, "link=") != 0) return std::nullopt;
    state.link = link.substr(5);
    if (state.link != "connected" && state.link != "reconnecting" && state.link != "closed")
        return std::nullopt;
    long long p = 0, u = 0, a = 0;
    if (!number(pending, "pending", p) || !number(unacked, "unacked", u) || !number(at, "at", a))
        return std::nullopt;
    state.pending = static_cast<long>(p);
    state.unacked = static_cast<long>(u);
    state.at = static_cast<std::time_t>(a);
    return state;
}

std::optional<StreamState> StreamState::recent(const std::string& site, std::time_t now) {
    std::optional<StreamState> state = read(path(site));
    // A stamp a little ahead of the reader's clock is as fresh as one just behind it.
    if (state && (now - state->at > maxAgeSeconds || state->at - now > maxAgeSeconds))
        return std::nullopt;
    return state;
}
