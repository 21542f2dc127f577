#include "SiteSchedules.h"

#include <cctz/time_zone.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "FixConfig.h"
#include "SiteRows.h"

namespace {

const int shouldColumn = 17;
const int upColumn = 24;
const int windowColumn = 28;
// "closes Fri 12-11 17:00 +0545" fills the window column to 55 at the longest abbreviation.
const int resetColumn = 57;

// The zone a schedule names; the host's zone when the name cannot be looked up again (the
// schedule then uses the host's zone too: its name is "localtime" or the TZ setting).
cctz::time_zone zoneOf(const Schedule& schedule) {
    cctz::time_zone zone;
    if (!cctz::load_time_zone(schedule.zoneName(), &zone)) zone = cctz::local_time_zone();
    return zone;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

void place(std::string& line, int column, const std::string& text) {
    std::string cut = SiteRows::printable(text).substr(0, SiteRows::width - column);
    line.replace(static_cast<std::size_t>(column), cut.size(), cut);
}

// A refusal without the words every one of them starts with: what follows the file's name
// ("line 2: zone 'Mars/Base': ...") fits a row; standard error gets it whole.
std::string brief(const std::string& site, const std::string& reason) {
    std::string path = "./cfg/" + site + ".fix";
    std::size_t at = reason.find(path);
    if (at == std::string::npos) return ": " + reason;
    std::string rest = reason.substr(at + path.size());
    return rest.empty() || rest[0] != ' ' ? ": " + reason : "," + rest;
}

}  // namespace

SiteSchedules::Entry& SiteSchedules::entry(const std::string& site, std::time_t now) {
    auto [it, added] = sites.try_emplace(site);
    Entry& e = it->second;
    if (!added && now >= e.checked && now - e.checked < reloadSeconds) return e;
    e.checked = now;
    struct stat file {};
    bool exists = stat(("./cfg/" + site + ".fix").c_str(), &file) == 0;
    if (!exists && errno == ENOENT && site.find('/') == std::string::npos) {
        e.seen = false;
        e.cfg = Cfg::Missing;
        e.reason.clear();
        return e;
    }
    // Parsing (and a dictionary) only when the file is new or changed; a refusal stays until then.
    if (!exists || added || !e.seen || !sameFile(file, e.file)) load(site, e);
    e.seen = exists;
    e.file = file;
    return e;
}

void SiteSchedules::load(const std::string& site, Entry& e) {
    std::string before = e.cfg == Cfg::Refused ? e.reason : std::string();
    try {
        FixConfig config(site);
        e.cfg = Cfg::Read;
        e.reason.clear();
        e.schedule = config.schedule();
        e.zone = zoneOf(e.schedule);
    } catch (const CfgException& refused) {
        e.cfg = Cfg::Refused;
        e.reason = refused.what();
        if (report && e.reason != before) report("site " + site + ": " + e.reason);
    }
}

SiteSchedules::State SiteSchedules::state(const std::string& site, std::time_t now) {
    const Entry& e = entry(site, now);
    State s;
    s.cfg = e.cfg;
    s.reason = e.reason;
    if (e.cfg != Cfg::Read) return s;
    s.nonstop = e.schedule.nonstop();
    s.shouldBeUp = e.schedule.inWindow(now);
    s.nextEdge = s.shouldBeUp ? e.schedule.nextClose(now) : e.schedule.nextOpen(now);
    s.nextReset = e.schedule.nextReset(now);
    return s;
}

std::string SiteSchedules::local(const Entry& e, std::time_t at) {
    return cctz::format("%a %m-%d %H:%M %Z", std::chrono::system_clock::from_time_t(at), e.zone);
}

const std::string& SiteSchedules::headings() {
    static const std::string text =
        "Dest             Should Up  Window                       Next reset";
    return text;
}

std::string SiteSchedules::row(const MemoryCell& cell, std::time_t now) {
    std::size_t nameLength = strnlen(cell.name, sizeof cell.name - 1);
    if (nameLength == 0) return std::string();
    std::string site(cell.name, nameLength);
    State s = state(site, now);
    const Entry& e = sites[site];

    std::string line(SiteRows::width, ' ');
    place(line, 0, site);
    place(line, upColumn, SiteRows::loggedOn(cell.status) ? "yes" : "no");
    if (s.cfg != Cfg::Read) {
        place(line, shouldColumn, "-");
        place(line, windowColumn,
              s.cfg == Cfg::Missing ? "no cfg" : "refused" + brief(site, s.reason));
    } else {
        place(line, shouldColumn, s.shouldBeUp ? "yes" : "no");
        if (s.nextEdge)
            place(line, windowColumn,
                  (s.shouldBeUp ? "closes " : "opens ") + local(e, *s.nextEdge));
        else
            place(line, windowColumn, "always");
        place(line, resetColumn, s.nextReset ? local(e, *s.nextReset) : "never");
    }
    line.erase(line.find_last_not_of(' ') + 1);
    return line;
}

std::vector<SiteMetrics::Extra> SiteSchedules::gauges(std::time_t now) {
    auto read = [this, now](const std::string& site) {
        State s = state(site, now);
        return s.cfg == Cfg::Read ? std::optional<State>(s) : std::nullopt;
    };
    return {
        {"fixgate_site_cfg_ok",
         "1 when the site's configuration file was read and accepted; 0 when missing or refused.",
         [this, now](const std::string& site) -> std::optional<long> {
             return state(site, now).cfg == Cfg::Read ? 1 : 0;
         }},
        {"fixgate_site_should_be_up",
         "1 while the site's schedule has its session window open (always for non-stop sites).",
         [read](const std::string& site) -> std::optional<long> {
             if (auto s = read(site)) return s->shouldBeUp ? 1 : 0;
             return std::nullopt;
         }},
        {"fixgate_site_window_next_edge_seconds",
         "Unix time the site's window next opens (while closed) or closes (while open).",
         [read](const std::string& site) -> std::optional<long> {
             if (auto s = read(site); s && s->nextEdge) return static_cast<long>(*s->nextEdge);
             return std::nullopt;
         }},
        {"fixgate_site_next_reset_seconds",
         "Unix time the site's sequence numbers next start again at 1.",
         [read](const std::string& site) -> std::optional<long> {
             if (auto s = read(site); s && s->nextReset) return static_cast<long>(*s->nextReset);
             return std::nullopt;
         }},
    };
}
