#include "SiteRows.h"

#include <cstring>

#include "LeaseState.h"
#include "StreamState.h"

const std::string& SiteRows::directions() {
    static const std::string text =
        "                     Inbound                            Outbound";
    return text;
}

const std::string& SiteRows::headings() {
    static const std::string text =
        "Dest           Seq    Pend    Proc    Last     Seq    Pend    Proc   Last    S";
    return text;
}

namespace {

// Columns of the JetStream page: Dest from 0, Link from 17, Pending, Unacked and Age end in 39,
// 49 and 55; then this host's Role from 57, the Active gateway's name from 66 (cut to 5 columns)
// and the time it took the site (Since) in 72 to 79.
constexpr int linkColumn = 17;
constexpr int roleColumn = 57;
constexpr int activeColumn = 66;
constexpr int activeWidth = 5;
constexpr int sinceColumn = 72;

}  // namespace

const std::string& SiteRows::streamHeadings() {
    static const std::string text = [] {
        std::string line(width, ' ');
        place(line, 0, "Dest");
        place(line, linkColumn, "Link");
        placeRight(line, 30, 10, "Pending");
        placeRight(line, 40, 10, "Unacked");
        placeRight(line, 50, 6, "Age");
        place(line, roleColumn, "Role");
        place(line, activeColumn, "Active");
        placeRight(line, sinceColumn, 8, "Since");
        return line.erase(line.find_last_not_of(' ') + 1);
    }();
    return text;
}

std::string SiteRows::streamRow(const MemoryCell& cell, std::time_t now) {
    std::size_t nameLength = strnlen(cell.name, sizeof cell.name - 1);
    if (nameLength == 0) return std::string();
    std::string name(cell.name, nameLength);
    std::string line(width, ' ');
    place(line, 0, printable(name));
    std::optional<StreamState> state = StreamState::recent(name, now);
    if (!state) {
        place(line, linkColumn, "-");
    } else {
        place(line, linkColumn, state->link);
        placeRight(line, 30, 10, std::to_string(state->pending));
        placeRight(line, 40, 10, std::to_string(state->unacked));
        placeRight(line, 50, 6, std::to_string(now > state->at ? now - state->at : 0));
    }
    // A standby runs no session, so it has a lease state without a stream state.
    if (std::optional<LeaseStatus> lease = LeaseState::recent(name, now)) {
        place(line, roleColumn, lease->role);
        if (lease->holder.empty()) {
            place(line, activeColumn, "-");
            placeRight(line, sinceColumn, 8, "-");
        } else {
            place(line, activeColumn, printable(lease->holder.substr(0, activeWidth)));
            Time clock;
            clock.set(lease->since);
            std::string text = clock.getDateTime();
            place(line, sinceColumn, text.substr(text.find('-') + 1, 8));
        }
    }
    return line.erase(line.find_last_not_of(' ') + 1);
}

bool SiteRows::loggedOn(char status) {
    return status == status_Online || status == status_Heartbeat || status == status_TestReq ||
           status == status_Resend;
}

std::string SiteRows::printable(std::string text) {
    for (char& c : text)
        if (c < 0x20 || c > 0x7e) c = '?';
    return text;
}

void SiteRows::place(std::string& line, int column, const std::string& text) {
    if (column < 0 || column >= width) return;
    std::string cut = text.substr(0, static_cast<std::size_t>(width - column));
    line.replace(static_cast<std::size_t>(column), cut.size(), cut);
}

void SiteRows::placeRight(std::string& line, int column, int width, const std::string& text) {
    int start = column + width - static_cast<int>(text.size());
    if (start < 0) {
        place(line, 0, text.substr(static_cast<std::size_t>(-start)));
    } else {
        place(line, start, text);
    }
}

// The part of the local date-time text after its first "-".
std::string SiteRows::timeOfDay(time_t stamp) {
    clock.set(stamp);
    std::string text = clock.getDateTime();
    std::size_t dash = text.find('-');
    return dash == std::string::npos ? text : text.substr(dash + 1, 8);
}

std::string SiteRows::row(const MemoryCell& cell) {
    std::size_t nameLength = strnlen(cell.name, sizeof cell.name - 1);
    if (nameLength == 0) return std::string();
    std::string line(width, ' ');
    place(line, 0, printable(std::string(cell.name, nameLength)));
    placeRight(line, 12, 6, cvt.to_string(cell.In.seq));
    placeRight(line, 20, 6, cvt.to_string(cell.In.pend - cell.In.proc));
    placeRight(line, 28, 6, cvt.to_string(cell.In.proc));
    place(line, 36, timeOfDay(cell.In.last));
    placeRight(line, 44, 6, cvt.to_string(cell.Out.seq));
    placeRight(line, 52, 6, cvt.to_string(cell.Out.pend - cell.Out.proc));
    placeRight(line, 60, 6, cvt.to_string(cell.Out.proc));
    place(line, 68, timeOfDay(cell.Out.last));
    if (cell.status != 0) place(line, 77, printable(std::string(1, cell.status)));
    line.erase(line.find_last_not_of(' ') + 1);
    return line;
}
