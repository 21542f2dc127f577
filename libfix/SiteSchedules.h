// SiteSchedules: what each site's schedule says now, for sitewatch. It reads a site's schedule
// from ./cfg/<site>.fix (relative to the working directory, as the gateways do) and keeps it: a
// file is looked at again at most every reloadSeconds, and read again only when it changed, so a
// screen redrawn without pause costs a few stat calls and no parsing. A site whose file is missing
// or refused shows that and never stops the others.
//
// Times are shown in each site's own zone with its abbreviation ("Fri 12-11 17:00 EST"): the
// counterparty states its hours in that zone, so the operator compares like with like, and the
// abbreviation says whether daylight saving is on. The metrics carry Unix times instead.
//
// Thread contract: one object per thread; state() and row() update the cache.
#pragma once

#include <cctz/time_zone.h>
#include <sys/stat.h>

#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "MemoryCell.h"
#include "Schedule.h"
#include "SiteMetrics.h"

class SiteSchedules {
  public:
    static constexpr int reloadSeconds = 5;

    enum class Cfg { Read, Missing, Refused };
    struct State {
        Cfg cfg = Cfg::Missing;
        std::string reason;  // why the file was refused
        bool nonstop = false;
        bool shouldBeUp = false;
        std::optional<std::time_t> nextEdge;   // the window's next opening or closing
        std::optional<std::time_t> nextReset;  // none with reset=never
    };

    // report hears each refusal once, when it first appears or its reason changes (none: quiet).
    explicit SiteSchedules(std::function<void(const std::string&)> report = nullptr)
        : report(std::move(report)) {}

    State state(const std::string& site, std::time_t now);

    // The heading and one row per registered cell, in 80 columns: Dest, Should (yes/no, "-"
    // without a schedule), Up (the cell's status), Window ("always", "opens <time>", "closes
    // <time>", "no cfg" or "refused: <reason>", cut at the edge) and Next reset ("never").
    static const std::string& headings();
    std::string row(const MemoryCell& cell, std::time_t now);

    // The schedule gauges for SiteMetrics, read at now: should_be_up, window_next_edge_seconds,
    // next_reset_seconds (Unix times; left out for non-stop sites and reset=never) and cfg_ok.
    std::vector<SiteMetrics::Extra> gauges(std::time_t now);

  private:
    struct Entry {
        std::time_t checked = 0;
        bool seen = false;  // the file existed when checked
        struct stat file {};
        Cfg cfg = Cfg::Missing;
        std::string reason;
        Schedule schedule;
        cctz::time_zone zone;
    };

    Entry& entry(const std::string& site, std::time_t now);
    void load(const std::string& site, Entry& e);
    static std::string local(const Entry& e, std::time_t at);

    std::function<void(const std::string&)> report;
    std::map<std::string, Entry> sites;
};
