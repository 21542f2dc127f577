#include "LeaseState.h"

#include <fstream>
#include <sstream>

#include "Common.h"
#include "LogException.h"
#include "SiteMetrics.h"

namespace {

bool knownRole(const std::string& role) {
    return role == "active" || role == "standby" || role == "starting";
}

// A name that stays one word of the line.
bool oneWord(const std::string& name) {
    if (name.empty()) return false;
    for (char c : name)
        if (c <= ' ' || c == 0x7f) return false;
    return true;
}

// The text after "key=", false when the word has another key or nothing after it.
bool valueOf(const std::string& word, const char* key, std::string& value) {
    std::string prefix = std::string(key) + "=";
    if (word.compare(0, prefix.size(), prefix) != 0 || word.size() == prefix.size()) return false;
    value = word.substr(prefix.size());
    return true;
}

// Unix seconds in decimal digits only: a sign, a cut line or another writer's text is no time.
bool epoch(const std::string& word, const char* key, std::time_t& value) {
    std::string digits;
    if (!valueOf(word, key, digits) || digits.size() > 18) return false;
    long long number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + (c - '0');
    }
    value = static_cast<std::time_t>(number);
    return true;
}

}  // namespace

std::string LeaseState::path(const std::string& site) {
    return fix_home + "/logs/" + site + ".lease";
}

std::string LeaseState::line(const LeaseStatus& status) {
    if (!knownRole(status.role))
        throw LogException("Fail to write the lease state: no such role [" + status.role + "]");
    if (!status.holder.empty() && !oneWord(status.holder))
        throw LogException("Fail to write the lease state: a gateway name with a blank [" +
                           status.holder + "]");
    return "role=" + status.role + " holder=" + (status.holder.empty() ? "-" : status.holder) +
           " since=" + std::to_string(static_cast<long long>(status.since)) +
           " at=" + std::to_string(static_cast<long long>(status.at));
}

void LeaseState::write(const std::string& site, const LeaseStatus& status) {
    std::string file = path(site);
    if (!SiteMetrics::write(file, line(status) + "\n"))
        throw LogException("Fail to write the lease state file: " + file);
}

std::optional<LeaseStatus> LeaseState::read(const std::string& site) {
    std::ifstream file(path(site));
    std::string text;
    if (!file.is_open() || !std::getline(file, text)) return std::nullopt;
    std::istringstream words(text);
    std::string role, holder, since, at, more;
    if (!(words >> role >> holder >> since >> at) || (words >> more)) return std::nullopt;
    LeaseStatus status;
    if (!valueOf(role, "role", status.role) || !knownRole(status.role)) return std::nullopt;
    if (!valueOf(holder, "holder", status.holder)) return std::nullopt;
    if (status.holder == "-") status.holder.clear();
    if (!epoch(since, "since", status.since) || !epoch(at, "at", status.at)) return std::nullopt;
    return status;
}

std::optional<LeaseStatus> LeaseState::recent(const std::string& site, std::time_t now,
                                              int seconds) {
    std::optional<LeaseStatus> status = read(site);
    // A stamp a little ahead of the reader's clock is as fresh as one just behind it.
    if (status && (now - status->at > seconds || status->at - now > seconds)) return std::nullopt;
    return status;
}
