// Constants and process-wide helpers shared by every unit of the suite: result codes, the separator
// characters of the FIX and configuration texts, the installation root and a short sleep.
// Thread contract: call fix_init_env() once at start-up, before other threads read fix_home;
// sleep_nano may be called from any thread.
#pragma once

#include <sys/select.h>

#include <cstdlib>
#include <ctime>
#include <string>

constexpr int Success = 0;
constexpr int Fail = -1;

constexpr char soh = 0x01;       // FIX field terminator
constexpr char equ = '=';        // between a field number and its value
constexpr char Delimitor = '|';  // between the parts of one line of the suite's text files
constexpr char Comment = '*';    // a text-file line that starts with it is ignored

// Installation root; paths are formed by appending to it, e.g. fix_home + "/logs/".
inline std::string fix_home;

// Takes the installation root from FIXHOME, "./" when it is not set.
inline void fix_init_env() {
    const char* home = std::getenv("FIXHOME");
    fix_home = home != nullptr ? home : "./";
}

// Waits n nanoseconds (n below one second); no signal mask change, no descriptors.
inline void sleep_nano(long n) {
    timespec ts{0, n};
    pselect(0, nullptr, nullptr, nullptr, &ts, nullptr);
}
