// sitewatch MEM [interval]
//
// A full-screen view of cells 0 to 15 of the site table, redrawn every `interval` seconds (10 by
// default, 0 for no pause). It only reads the table. Each cycle rewrites the clock and the 16 rows
// and leaves it to curses to send only what changed. The layout is fixed for 80 columns, and every
// text is cut to stay inside them. SIGINT, SIGTERM and SIGHUP restore the terminal before the
// program ends by that signal.
#include <curses.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "Converter.h"
#include "MemoryCell.h"
#include "Shm.h"
#include "Time.h"

namespace {

const int screenWidth = 80;
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

// Control and non-ASCII bytes would be drawn wider than one column (as ^X or M-x).
std::string printable(std::string text) {
    for (char& c : text)
        if (c < 0x20 || c > 0x7e) c = '?';
    return text;
}

void displayLine(int row, int column, const std::string& text) {
    if (column < 0 || column >= screenWidth) return;
    mvaddstr(row, column, text.substr(0, screenWidth - column).c_str());
}

void displayLine(int row, const std::string& text) {
    int length = static_cast<int>(text.size());
    displayLine(row, length >= screenWidth ? 0 : (screenWidth - length) / 2, text);
}

// The last character falls in column + width - 1; a longer text extends to the left.
void displayLine(int row, int column, int width, const std::string& text) {
    int start = column + width - static_cast<int>(text.size());
    if (start < 0) {
        displayLine(row, 0, text.substr(-start));
    } else {
        displayLine(row, start, text);
    }
}

std::string title(const std::string& mem) {
    const std::string head = "Sitewatch [";
    std::size_t room = screenWidth - head.size() - 1;
    return head + printable(mem.substr(0, room)) + "]";
}

void drawFrame(const std::string& mem) {
    const std::string rule(screenWidth, '-');
    displayLine(1, title(mem));
    displayLine(4, 0, rule);
    displayLine(5, 0, "                     Inbound                            Outbound");
    displayLine(6, 0,
                "Dest           Seq    Pend    Proc    Last     Seq    Pend    Proc   Last    S");
    displayLine(7, 0, rule);
}

// Local time of day of a stored time stamp: the part of the date-time text after its first "-".
std::string timeOfDay(Time& clock, time_t stamp) {
    clock.set(stamp);
    std::string text = clock.getDateTime();
    std::size_t dash = text.find('-');
    return dash == std::string::npos ? text : text.substr(dash + 1, 8);
}

void drawCell(int row, MemoryCell* cell, Time& clock, Converter& cvt) {
    move(row, 0);
    clrtoeol();
    std::size_t nameLength = strnlen(cell->name, sizeof cell->name - 1);
    if (nameLength == 0) return;
    displayLine(row, 0, printable(std::string(cell->name, nameLength)));
    displayLine(row, 12, 6, cvt.to_string(cell->In.seq));
    displayLine(row, 20, 6, cvt.to_string(cell->In.pend - cell->In.proc));
    displayLine(row, 28, 6, cvt.to_string(cell->In.proc));
    displayLine(row, 36, timeOfDay(clock, cell->In.last));
    displayLine(row, 44, 6, cvt.to_string(cell->Out.seq));
    displayLine(row, 52, 6, cvt.to_string(cell->Out.pend - cell->Out.proc));
    displayLine(row, 60, 6, cvt.to_string(cell->Out.proc));
    displayLine(row, 68, timeOfDay(clock, cell->Out.last));
    if (cell->status != 0) displayLine(row, 77, printable(std::string(1, cell->status)));
}

void endOnSignal() {
    if (stopSignal == 0) return;
    endwin();
    std::signal(stopSignal, SIG_DFL);
    std::raise(stopSignal);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cout << "Usage: sitewatch MEM interval rows" << std::endl;
        return 255;
    }
    std::string mem = argv[1];
    // Like sleep's own argument, a period below zero makes no sense: it is taken as no pause.
    int interval = argc > 2 ? std::atoi(argv[2]) : 10;
    if (interval < 0) interval = 0;

    stopOnSignals();
    initscr();
    clear();
    drawFrame(mem);

    Time clock;
    Converter cvt;
    try {
        Shm shm(mem);
        for (;;) {
            endOnSignal();
            displayLine(3, 56, "TIME: " + clock.getLogTime());
            for (int i = 0; i < rows; ++i) drawCell(firstRow + i, shm.getCell(i), clock, cvt);
            refresh();
            if (interval > 0) sleep(static_cast<unsigned>(interval));
        }
    } catch (ShmException& e) {
        endwin();
        std::cerr << e.what() << std::endl;
        return 1;
    }
}
