// The site table as text in sitewatch's fixed 80-column layout: two heading lines and one row per
// registered cell. sitewatch draws these rows on its screen and prints them in its batch form, so
// both show the same columns.
// Thread contract: one object per thread (it reuses one Time and one Converter).
#pragma once

#include <ctime>
#include <string>

#include "Converter.h"
#include "MemoryCell.h"
#include "Time.h"

class SiteRows {
  public:
    static constexpr int width = 80;

    static const std::string& directions();  // "Inbound" and "Outbound" over their columns
    static const std::string& headings();    // "Dest  Seq  Pend ... S"

    // The cell's row without trailing blanks; empty for a free cell. Pend shows pend - proc; the
    // times are local times of day. A counter wider than its column extends to the left over what
    // was placed before it, and nothing goes past column 79.
    std::string row(const MemoryCell& cell);

    // The JetStream page: "Dest  Link  Pending  Unacked  Age  Role  Active  Since".
    static const std::string& streamHeadings();
    // The cell's JetStream side as its gateway last wrote it (StreamState::recent): the link, the
    // outbound consumer's pending count, the inbound publishes waiting for their acknowledgement
    // and the seconds since the gateway wrote them. A site without a recent state (queues, or no
    // gateway running it) shows its name and "-". When the site's gateway wrote a recent lease
    // state (LeaseState::recent), its role, the active gateway's name (its first 5 bytes) and the
    // local time of day that gateway took the site ("-" for both while none is known) follow.
    // Empty for a free cell.
    static std::string streamRow(const MemoryCell& cell, std::time_t now);

    // The session is logged on: online, or waiting on a heartbeat, a test request or a resend. A
    // logon in progress is not up yet.
    static bool loggedOn(char status);

    // Control and non-ASCII bytes become '?', so each byte takes one column on a terminal.
    static std::string printable(std::string text);

  private:
    static void place(std::string& line, int column, const std::string& text);
    // The last character falls in column + width - 1.
    static void placeRight(std::string& line, int column, int width, const std::string& text);
    std::string timeOfDay(time_t stamp);

    Time clock;
    Converter cvt;
};
