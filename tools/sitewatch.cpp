// sitewatch MEM [interval] [-b] [-m file]
//
// A full-screen view of cells 0 to 15 of the site table, redrawn every `interval` seconds (10 by
// default, 0 for no pause). It only reads the table. Each cycle rewrites the clock and the 16 rows
// and leaves it to curses to send only what changed. The layout is fixed for 80 columns, and every
// text is cut to stay inside them. The key s switches between the counters and the schedules
// (should be up, is up, next window edge, next reset; SiteSchedules reads them from ./cfg/);
// while a shown site should be up but is not, row 3 says how many. SIGINT, SIGTERM and SIGHUP
// restore the terminal before the program ends by that signal. The key j switches to the
// JetStream page: for each site whose gateway wrote its stream state (logs/<site>.stream under
// FIXHOME) within the last 5 seconds, the link, the outbound consumer's pending count and the
// inbound publishes waiting for their acknowledgement; for each site kept by two gateways whose
// gateway wrote its lease state (logs/<site>.lease) within the last 15 seconds, this host's role,
// since when the active gateway holds the site and its name.
//
// Without a terminal: -b prints the registered cells once as plain text in the same columns, then
// a blank line and the schedules, then (when any site has a recent stream or lease state) a blank
// line and the JetStream rows of those sites, and ends; -m file writes them in the Prometheus text
// format to the file every interval (at least a second), replacing it whole each time; -b -m file
// writes the file once and ends. A refused configuration is named once on standard error.
#include <curses.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include "Common.h"
#include "LeaseState.h"
#include "Shm.h"
#include "SiteMetrics.h"
#include "SiteRows.h"
#include "SiteSchedules.h"
#include "StreamState.h"
#include "Time.h"

namespace {

const int screenWidth = SiteRows::width;
const int rows = 16;
const int firstRow = 8;

volatile std::sig_atomic_t stopSignal = 0;

void requestStop(int signal) {
    stopSignal = signal;
}

void stopOnSignals() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

// "-b" and "-m file" (or "-mfile") are the only options; every other word keeps its place as a
// positional argument, so the command lines of the screen form read exactly as they always have.
struct CommandLine {
    std::vector<std::string> words;
    bool batch = false;
    bool metrics = false;
    std::string metricsFile;

    CommandLine(int argc, char** argv) {
        for (int i = 1; i < argc; ++i) {
            std::string word = argv[i];
            if (word == "-b") {
                batch = true;
            } else if (word.compare(0, 2, "-m") == 0) {
                metrics = true;
                metricsFile = word.size() > 2 ? word.substr(2) : (i + 1 < argc ? argv[++i] : "");
            } else {
                words.push_back(word);
            }
        }
    }
};

void displayLine(int row, int column, const std::string& text) {
    if (column < 0 || column >= screenWidth) return;
    mvaddstr(row, column, text.substr(0, screenWidth - column).c_str());
}

void displayLine(int row, const std::string& text) {
    int length = static_cast<int>(text.size());
    displayLine(row, length >= screenWidth ? 0 : (screenWidth - length) / 2, text);
}

std::string title(const std::string& mem) {
    const std::string head = "Sitewatch [";
    std::size_t room = screenWidth - head.size() - 1;
    return head + SiteRows::printable(mem.substr(0, room)) + "]";
}

enum class Page { Counters, Schedules, Streams };

void drawFrame(const std::string& mem, Page page) {
    const std::string rule(screenWidth, '-');
    displayLine(1, title(mem));
    displayLine(4, 0, rule);
    for (int row : {5, 6}) {
        move(row, 0);
        clrtoeol();
    }
    if (page == Page::Schedules) {
        displayLine(5, 0, "                  Schedules (times in each site's zone; s: counters)");
        displayLine(6, 0, SiteSchedules::headings());
    } else if (page == Page::Streams) {
        displayLine(5, 0, "                  JetStream application side (j: counters)");
        displayLine(6, 0, SiteRows::streamHeadings());
    } else {
        displayLine(5, 0, SiteRows::directions());
        displayLine(6, 0, SiteRows::headings());
    }
    displayLine(7, 0, rule);
}

// Sites among those shown whose schedule has them up while their session is not.
int downInWindow(Shm& shm, SiteSchedules& schedules, std::time_t now) {
    int down = 0;
    for (int i = 0; i < rows; ++i) {
        const MemoryCell& cell = *shm.getCell(i);
        std::size_t length = strnlen(cell.name, sizeof cell.name - 1);
        if (length == 0 || SiteRows::loggedOn(cell.status)) continue;
        SiteSchedules::State s = schedules.state(std::string(cell.name, length), now);
        if (s.cfg == SiteSchedules::Cfg::Read && s.shouldBeUp) ++down;
    }
    return down;
}

// The pause between refreshes is the wait for a key, so a key switches pages at once; a signal
// cuts it short, as sleep did (curses' own timed wait would sit out the interval).
int waitForKey(int interval) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    int milliseconds = std::min(interval, std::numeric_limits<int>::max() / 1000) * 1000;
    if (poll(&input, 1, milliseconds) <= 0) return ERR;
    int key = getch();
    // Input that gives no key (its end) must not turn the refresh into a loop without pause.
    if (key == ERR && interval > 0) sleep(static_cast<unsigned>(interval));
    return key;
}

void endOnSignal(bool screen) {
    if (stopSignal == 0) return;
    if (screen) endwin();
    std::signal(stopSignal, SIG_DFL);
    std::raise(stopSignal);
}

int watchScreen(const std::string& mem, int interval) {
    stopOnSignals();
    initscr();
    cbreak();
    noecho();
    nodelay(stdscr, TRUE);
    clear();
    Page page = Page::Counters;
    drawFrame(mem, page);

    Time clock;
    SiteRows text;
    SiteSchedules schedules;
    try {
        Shm shm(mem);
        for (;;) {
            endOnSignal(true);
            std::time_t now = std::time(nullptr);
            int down = downInWindow(shm, schedules, now);
            move(3, 0);
            clrtoeol();
            if (down > 0)
                displayLine(3, 0, "DOWN IN WINDOW: " + std::to_string(down) + " (s: schedules)");
            displayLine(3, 56, "TIME: " + clock.getLogTime());
            for (int i = 0; i < rows; ++i) {
                move(firstRow + i, 0);
                clrtoeol();
                const MemoryCell& cell = *shm.getCell(i);
                displayLine(firstRow + i, 0,
                            page == Page::Schedules ? schedules.row(cell, now)
                            : page == Page::Streams ? SiteRows::streamRow(cell, now)
                                                    : text.row(cell));
            }
            refresh();
            // s and j each switch between the counters and their page.
            int key = waitForKey(interval);
            if (key == 's' || key == 'j') {
                Page other = key == 's' ? Page::Schedules : Page::Streams;
                page = page == other ? Page::Counters : other;
                drawFrame(mem, page);
            }
        }
    } catch (ShmException& e) {
        endwin();
        std::cerr << e.what() << std::endl;
        return 1;
    }
}

void reportRefusal(const std::string& reason) {
    std::cerr << reason << std::endl;
}

// The counters as they always were, then a blank line and the schedules: a script that reads up
// to the blank line sees what it saw before.
void printTable(Shm& shm) {
    SiteRows text;
    std::cout << SiteRows::directions() << '\n' << SiteRows::headings() << '\n';
    for (int i = 0; i < maxCells; ++i) {
        std::string row = text.row(*shm.getCell(i));
        if (!row.empty()) std::cout << row << '\n';
    }
    SiteSchedules schedules(reportRefusal);
    std::time_t now = std::time(nullptr);
    std::cout << '\n' << SiteSchedules::headings() << '\n';
    for (int i = 0; i < maxCells; ++i) {
        std::string row = schedules.row(*shm.getCell(i), now);
        if (!row.empty()) std::cout << row << '\n';
    }
    // Only sites on JetStream, so the output of a table of queue sites stays as it was.
    bool heading = false;
    for (int i = 0; i < maxCells; ++i) {
        const MemoryCell& cell = *shm.getCell(i);
        std::size_t length = strnlen(cell.name, sizeof cell.name - 1);
        if (length == 0) continue;
        std::string site(cell.name, length);
        if (!StreamState::recent(site, now) && !LeaseState::recent(site, now)) continue;
        if (!heading) std::cout << '\n' << SiteRows::streamHeadings() << '\n';
        heading = true;
        std::cout << SiteRows::streamRow(cell, now) << '\n';
    }
    std::cout.flush();
}

// The JetStream gauges of the sites whose gateway wrote a recent stream state.
std::vector<SiteMetrics::Extra> streamGauges(std::time_t now) {
    auto state = [now](const std::string& site) { return StreamState::recent(site, now); };
    return {
        {"fixgate_stream_connected",
         "1 while the site's gateway is connected to its NATS servers; 0 while it is not.",
         [state](const std::string& site) -> std::optional<long> {
             if (auto s = state(site)) return s->link == "connected" ? 1 : 0;
             return std::nullopt;
         }},
        {"fixgate_stream_pending",
         "Messages of the site's outbound stream not yet delivered to its gateway.",
         [state](const std::string& site) -> std::optional<long> {
             if (auto s = state(site)) return s->pending;
             return std::nullopt;
         }},
        {"fixgate_stream_unacked",
         "Inbound messages the site's gateway published and the stream has not yet acknowledged.",
         [state](const std::string& site) -> std::optional<long> {
             if (auto s = state(site)) return s->unacked;
             return std::nullopt;
         }},
    };
}

// The gauges of the sites whose gateway wrote a recent lease state (sites kept by two gateways).
std::vector<SiteMetrics::Extra> leaseGauges(std::time_t now) {
    auto status = [now](const std::string& site) { return LeaseState::recent(site, now); };
    return {
        {"fixgate_site_active", "1 while this host's gateway is the site's active gateway; else 0.",
         [status](const std::string& site) -> std::optional<long> {
             if (auto s = status(site)) return s->role == "active" ? 1 : 0;
             return std::nullopt;
         }},
        {"fixgate_site_active_since_seconds",
         "Unix time the site's active gateway took the site; no series while none is known.",
         [status](const std::string& site) -> std::optional<long> {
             auto s = status(site);
             if (s && !s->holder.empty() && s->since > 0) return static_cast<long>(s->since);
             return std::nullopt;
         }},
    };
}

// Writes the metrics file now and then every interval, until a signal or a failed write.
int writeMetrics(Shm& shm, const CommandLine& line, int interval) {
    stopOnSignals();
    SiteSchedules schedules(reportRefusal);
    for (;;) {
        endOnSignal(false);
        std::time_t now = std::time(nullptr);
        std::vector<SiteMetrics::Extra> extra = schedules.gauges(now);
        for (SiteMetrics::Extra& gauge : streamGauges(now)) extra.push_back(std::move(gauge));
        for (SiteMetrics::Extra& gauge : leaseGauges(now)) extra.push_back(std::move(gauge));
        if (!SiteMetrics::write(line.metricsFile,
                                SiteMetrics::text(shm, line.words[0], now, extra))) {
            std::cerr << "Fail to write the metrics file: " << line.metricsFile << std::endl;
            return 1;
        }
        if (line.batch) return 0;
        // A file rewritten without pause would only load the disk.
        sleep(static_cast<unsigned>(interval > 0 ? interval : 1));
    }
}

}  // namespace

int main(int argc, char** argv) {
    fix_init_env();
    CommandLine line(argc, argv);
    if (line.words.empty() || (line.metrics && line.metricsFile.empty())) {
        std::cout << "Usage: sitewatch MEM [interval] [-b] [-m file]" << std::endl;
        return 255;
    }
    const std::string& mem = line.words[0];
    // Like sleep's own argument, a period below zero makes no sense: it is taken as no pause.
    int interval = line.words.size() > 1 ? std::atoi(line.words[1].c_str()) : 10;
    if (interval < 0) interval = 0;

    if (!line.batch && !line.metrics) return watchScreen(mem, interval);
    try {
        Shm shm(mem);
        if (line.metrics) return writeMetrics(shm, line, interval);
        printTable(shm);
        return 0;
    } catch (ShmException& e) {
        std::cerr << e.what() << std::endl;
        return 1;
    }
}
