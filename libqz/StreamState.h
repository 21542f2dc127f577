// StreamState: what a gateway tells about a site's JetStream side, for sitewatch and the metrics
// file: the link's state, the outbound consumer's pending count and the inbound publishes waiting
// for their acknowledgement. The gateway rewrites it at most once a second while the site's
// session runs, in fix_home + "/logs/" + site + ".stream", one line:
//   "link=<connected|reconnecting|closed> pending=<n> unacked=<n> at=<unix seconds>"
// written whole and renamed over the old, so a reader sees one line or the other.
// Thread contract: plain values and functions.
#pragma once

#include <ctime>
#include <optional>
#include <string>

struct StreamState {
    std::string link;
    long pending = 0;
    long unacked = 0;
    std::time_t at = 0;

    static std::string path(const std::string& site);
    std::string line() const;
    // Writes the line to path; false when it cannot.
    bool write(const std::string& path) const;
    // The state in the file; none when it is missing or not such a line.
    static std::optional<StreamState> read(const std::string& path);
    // The site's state when its gateway wrote it at most maxAgeSeconds before now: an older file
    // is left from a gateway no longer running the site. None otherwise.
    static constexpr long maxAgeSeconds = 5;
    static std::optional<StreamState> recent(const std::string& site, std::time_t now);
};
