#include "Schedule.h"

#include <cctz/civil_time.h>

#include <cctype>
#include <chrono>
#include <vector>

namespace {

const char* const dayNames[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr unsigned everyDay = 0x7f;

cctz::time_point<cctz::seconds> toPoint(std::time_t t) {
    return std::chrono::time_point_cast<cctz::seconds>(std::chrono::system_clock::from_time_t(t));
}

std::time_t toTime(const cctz::time_point<cctz::seconds>& p) {
    return std::chrono::system_clock::to_time_t(p);
}

int weekdayOf(const cctz::civil_day& d) {
    return static_cast<int>(cctz::get_weekday(d));
}

// "HH:MM" or "HH:MM:SS" as seconds of the day; -1 when it is not that. Seconds are there for
// short windows (tests, drills); counterparties name minutes.
int secondOf(const std::string& text) {
    if ((text.size() != 5 && text.size() != 8) || text[2] != ':') return -1;
    if (text.size() == 8 && text[5] != ':') return -1;
    int parts[3] = {0, 0, 0};
    for (std::size_t i = 0; i < text.size(); i += 3) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])) ||
            !std::isdigit(static_cast<unsigned char>(text[i + 1])))
            return -1;
        parts[i / 3] = (text[i] - '0') * 10 + (text[i + 1] - '0');
    }
    return parts[0] < 24 && parts[1] < 60 && parts[2] < 60
               ? parts[0] * 3600 + parts[1] * 60 + parts[2]
               : -1;
}

// Throws the refusal of one item: "<item> '<value>': <problem>".
[[noreturn]] void refuse(const std::string& item, const std::string& value,
                         const std::string& problem) {
    throw ScheduleError(item + " '" + value + "': " + problem);
}

int timeIn(const std::string& item, const std::string& value, const std::string& text) {
    int second = secondOf(text);
    if (second < 0)
        refuse(item, value, "'" + text + "' is not a time HH:MM or HH:MM:SS (00:00 to 23:59:59)");
    return second;
}

int dayIn(const std::string& item, const std::string& value, const std::string& text) {
    if (text.size() == 3)
        for (int d = 0; d < 7; ++d) {
            bool same = true;
            for (int i = 0; i < 3; ++i)
                same = same && std::tolower(static_cast<unsigned char>(text[i])) ==
                                   std::tolower(static_cast<unsigned char>(dayNames[d][i]));
            if (same) return d;
        }
    refuse(item, value, "unknown day '" + text + "' (Mon Tue Wed Thu Fri Sat Sun)");
}

// "Sun17:00": a day and a time, as (day, second of the day).
std::pair<int, int> dayTimeIn(const std::string& item, const std::string& value,
                              const std::string& text) {
    return {dayIn(item, value, text.substr(0, 3)),
            timeIn(item, value, text.size() > 3 ? text.substr(3) : std::string())};
}

// "HH:MM-HH:MM" or "DddHH:MM-DddHH:MM": the two halves.
std::pair<std::string, std::string> halves(const std::string& item, const std::string& value,
                                           const std::string& text) {
    std::size_t dash = text.find('-');
    if (dash == std::string::npos || text.find('-', dash + 1) != std::string::npos)
        refuse(item, value, "'" + text + "' is not a from-to pair");
    return {text.substr(0, dash), text.substr(dash + 1)};
}

// "Mon,Wed,Fri", "Mon-Fri", "Mon-Wed,Fri" or "Fri-Mon" (across the weekend) as a day mask.
unsigned daysIn(const std::string& value, const std::string& text) {
    unsigned mask = 0;
    std::size_t at = 0;
    for (;;) {
        std::size_t comma = text.find(',', at);
        std::string part = text.substr(at, comma == std::string::npos ? comma : comma - at);
        std::size_t dash = part.find('-');
        int first = dayIn("window", value, part.substr(0, dash));
        int last =
            dash == std::string::npos ? first : dayIn("window", value, part.substr(dash + 1));
        for (int d = first;; d = (d + 1) % 7) {
            mask |= 1u << d;
            if (d == last) break;
        }
        if (comma == std::string::npos) return mask;
        at = comma + 1;
    }
}

const std::string windowForms =
    "nonstop, daily:HH:MM-HH:MM, weekly:DddHH:MM-DddHH:MM or Ddd-Ddd:HH:MM-HH:MM";

}  // namespace

Schedule::Schedule() : zone(cctz::local_time_zone()) {}

Schedule Schedule::fromSettings(const std::string& zoneText, const std::string& window,
                                const std::string& reset) {
    Schedule s;
    if (!zoneText.empty()) {
        // Names only: a path or a fixed offset would be a hand-written zone.
        if (zoneText[0] == '/' || zoneText.find("..") != std::string::npos ||
            zoneText.compare(0, 6, "Fixed/") == 0 || !cctz::load_time_zone(zoneText, &s.zone))
            refuse("zone", zoneText, "not a time zone of the system's zone database");
    }

    if (!window.empty() && window != "nonstop") {
        std::size_t colon = window.find(':');
        if (colon == std::string::npos) refuse("window", window, "not one of " + windowForms);
        std::string form = window.substr(0, colon), rest = window.substr(colon + 1);
        auto [from, to] = halves("window", window, rest);
        if (form == "weekly") {
            auto [fromDay, fromSecond] = dayTimeIn("window", window, from);
            auto [toDay, toSecond] = dayTimeIn("window", window, to);
            s.kind = Kind::Weekly;
            s.opens = {1u << fromDay, fromSecond};
            s.closeDays = (toDay - fromDay + 7) % 7;
            if (s.closeDays == 0 && toSecond < fromSecond) s.closeDays = 7;
            s.closeSecond = toSecond;
            if (s.closeDays == 0 && toSecond == fromSecond)
                refuse("window", window, "opens when it closes (say window=nonstop)");
        } else {
            unsigned days = everyDay;
            s.kind = Kind::Daily;
            if (form != "daily") {
                // Letters, commas and dashes in three-letter words: meant as days.
                bool dayList = form.find_first_not_of(
                                   "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQ"
                                   "RSTUVWXYZ,-") == std::string::npos &&
                               form.size() >= 3 && form.size() % 4 == 3;
                if (!dayList) refuse("window", window, "not one of " + windowForms);
                days = daysIn(window, form);
                s.kind = Kind::Weekdays;
            }
            int fromSecond = timeIn("window", window, from);
            int toSecond = timeIn("window", window, to);
            if (fromSecond == toSecond)
                refuse("window", window, "opens when it closes (say window=nonstop)");
            s.opens = {days, fromSecond};
            s.closeDays = toSecond < fromSecond ? 1 : 0;
            s.closeSecond = toSecond;
        }
    }

    if (reset.empty()) {
        s.resetKind = s.nonstop() ? Reset::Daily : Reset::Window;
    } else if (reset == "window") {
        if (s.nonstop()) refuse("reset", reset, "a non-stop session has no window to reset at");
        s.resetKind = Reset::Window;
    } else if (reset == "never") {
        s.resetKind = Reset::Never;
    } else if (reset.compare(0, 6, "daily:") == 0) {
        s.resetKind = Reset::Daily;
        s.resetAt = {everyDay, timeIn("reset", reset, reset.substr(6))};
    } else if (reset.compare(0, 7, "weekly:") == 0) {
        auto [day, second] = dayTimeIn("reset", reset, reset.substr(7));
        s.resetKind = Reset::Weekly;
        s.resetAt = {1u << day, second};
    } else {
        refuse("reset", reset, "not one of window, daily:HH:MM, weekly:DddHH:MM or never");
    }
    return s;
}

std::time_t Schedule::instant(const cctz::civil_day& day, int second) const {
    cctz::civil_second local(day.year(), day.month(), day.day(), second / 3600, second / 60 % 60,
                             second % 60);
    cctz::time_zone::civil_lookup found = zone.lookup(local);
    // Skipped: the instant the clocks jump; repeated: pre is the first occurrence.
    return toTime(found.kind == cctz::time_zone::civil_lookup::SKIPPED ? found.trans : found.pre);
}

cctz::civil_day Schedule::today(std::time_t now) const {
    return cctz::civil_day(cctz::convert(toPoint(now), zone));
}

// Edges are in the order of their days (a day gives one edge), so the first found walking back
// from tomorrow is the last; eight days back covers any weekly edge.
std::optional<Schedule::Edge> Schedule::lastEdge(const Recurrence& r, std::time_t now) const {
    cctz::civil_day d = today(now) + 1;
    for (int i = 0; i < 10; ++i, --d) {
        if ((r.days & (1u << weekdayOf(d))) == 0) continue;
        std::time_t at = instant(d, r.second);
        if (at <= now) return Edge{at, d};
    }
    return std::nullopt;
}

std::optional<Schedule::Edge> Schedule::nextEdge(const Recurrence& r, std::time_t now) const {
    cctz::civil_day d = today(now) - 1;
    for (int i = 0; i < 10; ++i, ++d) {
        if ((r.days & (1u << weekdayOf(d))) == 0) continue;
        std::time_t at = instant(d, r.second);
        if (at > now) return Edge{at, d};
    }
    return std::nullopt;
}

Schedule::Window Schedule::windowFrom(const Edge& open) const {
    return {open.at, instant(open.day + closeDays, closeSecond)};
}

std::optional<Schedule::Recurrence> Schedule::resets() const {
    switch (resetKind) {
        case Reset::Window:
            return opens;
        case Reset::Never:
            return std::nullopt;
        default:
            return resetAt;
    }
}

std::string Schedule::local(std::time_t at) const {
    return cctz::format("%Y-%m-%d %H:%M:%S ", toPoint(at), zone) + zoneName();
}

bool Schedule::inWindow(std::time_t now) const {
    if (nonstop()) return true;
    std::optional<Window> w = window(now);
    return w && now < w->close;
}

std::optional<Schedule::Window> Schedule::window(std::time_t now) const {
    if (nonstop()) return std::nullopt;
    std::optional<Edge> open = lastEdge(opens, now);
    if (!open) return std::nullopt;
    return windowFrom(*open);
}

std::optional<std::time_t> Schedule::nextOpen(std::time_t now) const {
    if (nonstop()) return std::nullopt;
    std::optional<Edge> open = nextEdge(opens, now);
    if (!open) return std::nullopt;
    return open->at;
}

std::optional<std::time_t> Schedule::nextClose(std::time_t now) const {
    if (nonstop()) return std::nullopt;
    std::optional<Window> current = window(now);
    if (current && now < current->close) return current->close;
    std::optional<Edge> open = nextEdge(opens, now);
    if (!open) return std::nullopt;
    return windowFrom(*open).close;
}

std::optional<std::time_t> Schedule::lastReset(std::time_t now) const {
    std::optional<Recurrence> r = resets();
    if (!r) return std::nullopt;
    std::optional<Edge> e = lastEdge(*r, now);
    if (!e) return std::nullopt;
    return e->at;
}

std::optional<std::time_t> Schedule::nextReset(std::time_t now) const {
    std::optional<Recurrence> r = resets();
    if (!r) return std::nullopt;
    std::optional<Edge> e = nextEdge(*r, now);
    if (!e) return std::nullopt;
    return e->at;
}

Schedule::Period Schedule::period(std::time_t now, std::optional<std::time_t> recorded) const {
    cctz::civil_day day;
    std::time_t start = now;
    std::optional<Recurrence> r = resets();
    std::optional<Edge> e = r ? lastEdge(*r, now) : std::nullopt;
    if (e) {
        start = e->at;
        day = e->day;
    } else {
        if (recorded) start = *recorded;
        day = today(start);
    }
    return {start, static_cast<int>(day.year() * 10000 + day.month() * 100 + day.day())};
}

bool Schedule::resetDue(std::optional<std::time_t> recorded, std::time_t now) const {
    if (resetKind == Reset::Never) return !recorded;
    if (!recorded) return true;
    std::optional<std::time_t> last = lastReset(now);
    return last && *last > *recorded;
}
