// Schedule: when a site's session may be up and when its sequence numbers start again, on the
// counterparty's calendar. Pure arithmetic: an instant goes in, the window state, the period and
// the next edges come out; the only thing it reads is the time zone, from the system's zone
// database through cctz (never hand-written offsets or daylight-saving rules).
//
// Settings, as the "@ {...}" line of a site's configuration names them (FixConfig hands them over):
//   zone=America/New_York        an IANA zone; none: the host's local zone
//   window=nonstop               (none: the same)
//   window=daily:06:30-17:15     a "to" before "from" closes the next day
//   window=weekly:Sun17:00-Fri17:00
//   window=Mon-Fri:08:00-02:00   listed days (Mon,Wed,Fri), ranges (Mon-Fri) or both, with a daily
//                                from-to; each window belongs to the day it opens on
//   reset=window | daily:17:00 | weekly:Sun17:00 | never
//                                none: window for a windowed schedule, daily:00:00 for non-stop
// Every time may also be given to the second (17:15:30), for windows a few seconds long.
//
// A period runs from one reset instant to the next; its files are named after its start date in
// the zone, so a session that crosses midnight keeps its numbers and its files. With reset=never
// there is one period for ever: it starts at the first reset instant the caller recorded (the
// site's first start under the schedule), so its files keep that one name.
//
// Local times that the zone skips or repeats: a time that does not exist that day (02:30 when New
// York springs forward) is the instant the clocks jump, 03:00 local; one that happens twice
// (01:30 when it falls back) is its first occurrence. Either way a day gives each edge once.
//
// Thread contract: built once, then only read; const members may be called from any thread.
#pragma once

#include <cctz/time_zone.h>

#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>

// A schedule setting was refused; what() names the item and the problem.
class ScheduleError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

class Schedule {
  public:
    // One opening of the window: [open, close).
    struct Window {
        std::time_t open;
        std::time_t close;
    };
    // The period an instant belongs to: its first instant and its start date YYYYMMDD in the zone.
    struct Period {
        std::time_t start;
        int date;
    };

    // Non-stop in the host's local zone with a reset at local midnight: a site without settings.
    Schedule();
    // Reads the three settings (an empty string: not given). Throws ScheduleError for an unknown
    // zone, day or form, a time that is not HH:MM or HH:MM:SS, a window that opens when it closes,
    // and reset=window without a window.
    static Schedule fromSettings(const std::string& zone, const std::string& window,
                                 const std::string& reset);

    // The zone's name ("localtime" for the host's zone).
    std::string zoneName() const { return zone.name(); }
    bool nonstop() const { return kind == Kind::Nonstop; }
    bool resetsNever() const { return resetKind == Reset::Never; }

    bool inWindow(std::time_t now) const;
    // An instant as the site's clock shows it: "2026-12-10 06:30:00 America/New_York".
    std::string local(std::time_t at) const;
    // The window open at now, else the last one that opened before it; none when non-stop.
    std::optional<Window> window(std::time_t now) const;
    // The first opening and the first closing after now; none when non-stop.
    std::optional<std::time_t> nextOpen(std::time_t now) const;
    std::optional<std::time_t> nextClose(std::time_t now) const;

    // The last reset instant at or before now and the first after it; none with reset=never.
    std::optional<std::time_t> lastReset(std::time_t now) const;
    std::optional<std::time_t> nextReset(std::time_t now) const;
    // The period now belongs to. With reset=never it starts at the recorded reset instant, or at
    // now when none is recorded yet (the caller then records it).
    Period period(std::time_t now, std::optional<std::time_t> recorded = std::nullopt) const;
    // Whether numbers start again at 1: a reset instant has passed since the one the site
    // recorded (none recorded: a new site or one from before schedules, which starts a period).
    // A restart inside the recorded period resumes.
    bool resetDue(std::optional<std::time_t> recorded, std::time_t now) const;

  private:
    enum class Kind { Nonstop, Daily, Weekly, Weekdays };
    enum class Reset { Window, Daily, Weekly, Never };
    // Edges recurring on the weekdays in a mask (bit n: cctz::weekday n, Monday 0) at a second
    // of the day.
    struct Recurrence {
        unsigned days;
        int second;
    };
    struct Edge {
        std::time_t at;
        cctz::civil_day day;  // the day it is scheduled on
    };

    // The instant of a local day and second, skipped and repeated times as the header says.
    std::time_t instant(const cctz::civil_day& day, int second) const;
    cctz::civil_day today(std::time_t now) const;
    std::optional<Edge> lastEdge(const Recurrence& r, std::time_t now) const;
    std::optional<Edge> nextEdge(const Recurrence& r, std::time_t now) const;
    Window windowFrom(const Edge& open) const;
    std::optional<Recurrence> resets() const;

    cctz::time_zone zone;
    Kind kind = Kind::Nonstop;
    Recurrence opens{0x7f, 0};
    // Days from an opening's day to its closing's day, and the closing second of the day.
    int closeDays = 0;
    int closeSecond = 0;
    Reset resetKind = Reset::Daily;
    Recurrence resetAt{0x7f, 0};
};
