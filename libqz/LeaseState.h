// LeaseState: what a gateway tells about its part in a site kept by two gateways, for sitewatch
// and the metrics: its role, the gateway holding the site's lease and since when. The gateway
// rewrites it on every change and at least every 5 s, in fix_home + "/logs/" + site + ".lease",
// one line:
//   "role=<active|standby|starting> holder=<gateway name or -> since=<unix seconds or 0>
//    at=<unix seconds>"
// written whole and renamed over the old, so a crash leaves one line or the other.
// Thread contract: plain values and functions.
#pragma once

#include <ctime>
#include <optional>
#include <string>

struct LeaseStatus {
    std::string role;    // active, standby or starting
    std::string holder;  // the active gateway's name; empty while none is known ("-" in the file)
    std::time_t since = 0, at = 0;
};

class LeaseState {
  public:
    static std::string path(const std::string& site);
    // The line (without its newline); throws LogException for a status it would not read back: a
    // role other than the three, or a holder with a blank or control byte.
    static std::string line(const LeaseStatus& status);
    // Replaces the site's file with the line; throws LogException when it cannot.
    static void write(const std::string& site, const LeaseStatus& status);
    // The status in the file; none when it is missing, unreadable or not such a line.
    static std::optional<LeaseStatus> read(const std::string& site);
    // The status when it was written within `seconds` of now (either side): an older file is left
    // from a gateway no longer running. None otherwise.
    static std::optional<LeaseStatus> recent(const std::string& site, std::time_t now,
                                             int seconds = 15);
};
