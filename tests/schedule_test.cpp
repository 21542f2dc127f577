// Schedule arithmetic: every row is a schedule, an instant and what the site's session should
// make of it. Instants are written as the counterparty's wall clock with its offset, so each row
// can be checked against a calendar by hand.
#include "Schedule.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

namespace {

// "2026-12-10 23:00 -05" (wall clock, optional ":SS", hours east of UTC) as an instant; "": none.
// A row's other instants leave out the year, and the offset when it is now's: "12-11 02:00".
std::optional<std::time_t> at(std::string text, const std::string& now = "") {
    if (text.empty()) return std::nullopt;
    if (text.size() > 2 && text[2] == '-') text = now.substr(0, 5) + text;
    if (text.find(' ') == text.rfind(' ')) text += now.substr(now.rfind(' '));
    std::tm tm{};
    int used = 0, more = 0, offset = 0;
    std::sscanf(text.c_str(), "%d-%d-%d %d:%d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                &tm.tm_min, &used);
    const char* rest = text.c_str() + used;
    if (*rest == ':' && std::sscanf(rest + 1, "%d%n", &tm.tm_sec, &more) == 1) rest += 1 + more;
    if (used == 0 || std::sscanf(rest, "%d", &offset) != 1)
        ADD_FAILURE() << "bad instant in a row: " << text;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return timegm(&tm) - offset * 3600;
}

struct Row {
    const char *zone, *window, *reset, *now;
    bool in;
    const char *open, *close;          // the current or last window ("": non-stop)
    const char *nextOpen, *nextClose;  // "": non-stop
    const char *lastReset, *nextReset;
    int period;
    // A restart at now with this reset recorded ("": none) starts at 1 when due.
    const char* recorded;
    bool due;
};

const char* const NY = "America/New_York";

const Row rows[] = {
    // Daily across midnight: the window and its period belong to the evening it opens.
    {NY, "daily:22:00-02:00", "", "2026-12-10 23:00 -05", true, "12-10 22:00", "12-11 02:00",
     "12-11 22:00", "12-11 02:00", "12-10 22:00", "12-11 22:00", 20261210, "12-09 22:00", true},
    {NY, "daily:22:00-02:00", "", "2026-12-11 01:59:59 -05", true, "12-10 22:00", "12-11 02:00",
     "12-11 22:00", "12-11 02:00", "12-10 22:00", "12-11 22:00", 20261210, "12-10 22:00", false},
    {NY, "daily:22:00-02:00", "", "2026-12-11 02:00 -05", false, "12-10 22:00", "12-11 02:00",
     "12-11 22:00", "12-12 02:00", "12-10 22:00", "12-11 22:00", 20261210, "", true},
    // Weekly across the weekend: one reset a week, none on a weekday.
    {NY, "weekly:Sun17:00-Fri17:00", "", "2026-12-12 12:00 -05", false, "12-06 17:00",
     "12-11 17:00", "12-13 17:00", "12-18 17:00", "12-06 17:00", "12-13 17:00", 20261206,
     "12-06 17:00", false},
    {NY, "weekly:Sun17:00-Fri17:00", "weekly:Sun17:00", "2026-12-09 00:00:01 -05", true,
     "12-06 17:00", "12-11 17:00", "12-13 17:00", "12-11 17:00", "12-06 17:00", "12-13 17:00",
     20261206, "12-06 17:00", false},
    // Weekdays across midnight: Friday's window runs into Saturday; Saturday opens none.
    {"Europe/London", "Mon-Fri:08:00-02:00", "", "2026-12-12 01:30 +00", true, "12-11 08:00",
     "12-12 02:00", "12-14 08:00", "12-12 02:00", "12-11 08:00", "12-14 08:00", 20261211,
     "12-11 08:00", false},
    {"Europe/London", "Mon-Fri:08:00-02:00", "", "2026-12-12 03:00 +00", false, "12-11 08:00",
     "12-12 02:00", "12-14 08:00", "12-15 02:00", "12-11 08:00", "12-14 08:00", 20261211, "", true},
    {"Europe/London", "Mon,Wed-Thu:08:00-02:00", "", "2026-12-12 01:30 +00", false, "12-10 08:00",
     "12-11 02:00", "12-14 08:00", "12-15 02:00", "12-10 08:00", "12-14 08:00", 20261210, "", true},
    // Spring forward in New York: 02:30 does not exist on 8 March 2026; it is 03:00 EDT.
    {NY, "daily:02:30-17:00", "", "2026-03-08 03:00 -04", true, "03-08 03:00", "03-08 17:00",
     "03-09 02:30", "03-08 17:00", "03-08 03:00", "03-09 02:30", 20260308, "03-07 02:30 -05", true},
    {NY, "daily:02:30-17:00", "", "2026-03-08 01:59:59 -05", false, "03-07 02:30", "03-07 17:00",
     "03-08 03:00 -04", "03-08 17:00 -04", "03-07 02:30", "03-08 03:00 -04", 20260307,
     "03-07 02:30", false},
    {NY, "nonstop", "daily:02:30", "2026-03-08 12:00 -04", true, "", "", "", "", "03-08 03:00",
     "03-09 02:30", 20260308, "03-07 02:30 -05", true},
    // Fall back: 01:30 happens twice on 1 November 2026; only the first (EDT) is a reset.
    {NY, "", "daily:01:30", "2026-11-01 01:45 -04", true, "", "", "", "", "11-01 01:30",
     "11-02 01:30 -05", 20261101, "10-31 01:30", true},
    {NY, "", "daily:01:30", "2026-11-01 01:30 -05", true, "", "", "", "", "11-01 01:30 -04",
     "11-02 01:30", 20261101, "11-01 01:30 -04", false},
    // Restart a second either side of a 17:00 reset, and inside the period it began.
    {NY, "nonstop", "daily:17:00", "2026-12-10 16:59:59 -05", true, "", "", "", "", "12-09 17:00",
     "12-10 17:00", 20261209, "12-09 17:00", false},
    {NY, "nonstop", "daily:17:00", "2026-12-10 17:00:01 -05", true, "", "", "", "", "12-10 17:00",
     "12-11 17:00", 20261210, "12-09 17:00", true},
    {NY, "nonstop", "daily:17:00", "2026-12-10 17:00:01 -05", true, "", "", "", "", "12-10 17:00",
     "12-11 17:00", 20261210, "12-10 17:00", false},
    // East of UTC: Tokyo's date is already the 11th while UTC's is the 10th.
    {"Asia/Tokyo", "", "", "2026-12-11 00:30 +09", true, "", "", "", "", "12-11 00:00",
     "12-12 00:00", 20261211, "", true},
    {"Asia/Tokyo", "daily:08:00-15:00", "", "2026-12-11 08:30 +09", true, "12-11 08:00",
     "12-11 15:00", "12-12 08:00", "12-11 15:00", "12-11 08:00", "12-12 08:00", 20261211,
     "12-10 08:00", true},
    // A leap day: the night of 29 February belongs to the 29th.
    {"UTC", "daily:22:00-06:00", "", "2028-03-01 05:00 +00", true, "02-29 22:00", "03-01 06:00",
     "03-01 22:00", "03-01 06:00", "02-29 22:00", "03-01 22:00", 20280229, "02-28 22:00", true},
    // Non-stop with the default reset: midnight in the zone, as a site without a schedule.
    {"UTC", "", "", "2026-12-10 12:00 +00", true, "", "", "", "", "12-10 00:00", "12-11 00:00",
     20261210, "12-10 00:00", false},
    // Never: one period for ever, from the reset the site recorded first.
    {"UTC", "daily:08:00-17:00", "never", "2026-12-10 12:00 +00", true, "12-10 08:00",
     "12-10 17:00", "12-11 08:00", "12-10 17:00", "", "", 20260105, "01-05 09:00", false},
    {"UTC", "", "never", "2026-12-10 12:00 +00", true, "", "", "", "", "", "", 20261210, "", true},
    // To the second: a window five seconds long closes at its last second, not a minute later.
    {"UTC", "daily:10:00:05-10:00:10", "", "2026-12-10 10:00:10 +00", false, "12-10 10:00:05",
     "12-10 10:00:10", "12-11 10:00:05", "12-11 10:00:10", "12-10 10:00:05", "12-11 10:00:05",
     20261210, "12-10 10:00:04", true},
};

TEST(Schedule, WindowsResetsAndPeriodsFollowTheSitesCalendar) {
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.zone) + " window=" + row.window + " reset=" + row.reset +
                     " at " + row.now + " recorded " + row.recorded);
        Schedule s = Schedule::fromSettings(row.zone, row.window, row.reset);
        std::time_t now = *at(row.now);
        auto when = [&](const char* text) { return at(text, row.now); };
        EXPECT_EQ(s.inWindow(now), row.in);
        std::optional<Schedule::Window> w = s.window(now);
        EXPECT_EQ(w ? std::optional<std::time_t>(w->open) : std::nullopt, when(row.open));
        EXPECT_EQ(w ? std::optional<std::time_t>(w->close) : std::nullopt, when(row.close));
        EXPECT_EQ(s.nextOpen(now), when(row.nextOpen));
        EXPECT_EQ(s.nextClose(now), when(row.nextClose));
        EXPECT_EQ(s.lastReset(now), when(row.lastReset));
        EXPECT_EQ(s.nextReset(now), when(row.nextReset));
        Schedule::Period p = s.period(now, when(row.recorded));
        EXPECT_EQ(p.date, row.period);
        EXPECT_EQ(p.start, *when(*row.lastReset  ? row.lastReset
                                 : *row.recorded ? row.recorded
                                                 : row.now));
        EXPECT_EQ(s.resetDue(when(row.recorded), now), row.due);
    }
}

TEST(Schedule, InstantsAreShownOnTheSitesClock) {
    EXPECT_EQ(Schedule::fromSettings(NY, "", "").local(*at("2026-12-11 02:00:30 +00")),
              "2026-12-10 21:00:30 America/New_York");
    EXPECT_EQ(Schedule::fromSettings("Asia/Tokyo", "", "").local(*at("2026-12-10 23:00 +00")),
              "2026-12-11 08:00:00 Asia/Tokyo");
}

TEST(Schedule, ASiteWithoutSettingsIsNonStopWithAResetAtLocalMidnight) {
    Schedule s;
    std::time_t now = *at("2026-12-10 12:00 +00");
    std::tm local{};
    localtime_r(&now, &local);
    EXPECT_TRUE(s.nonstop());
    EXPECT_TRUE(s.inWindow(now));
    EXPECT_EQ(s.period(now).date,
              (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday);
    std::tm midnight = local;
    midnight.tm_hour = midnight.tm_min = midnight.tm_sec = 0;
    midnight.tm_isdst = -1;
    EXPECT_EQ(s.lastReset(now), std::mktime(&midnight));
}

}  // namespace
