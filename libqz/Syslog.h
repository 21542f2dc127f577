// Console log of the programs: timestamped progress lines and the start-up banner on standard
// output. Each line is assembled first and written with one call, so lines from different threads
// do not mix within a line. A Syslog holds only its threshold and may be shared between threads.
#pragma once

#include <string>

constexpr int Normal = 1;
constexpr int Warning = 2;
constexpr int Fatal = 3;

class Syslog {
  public:
    // Lines below `level` are not printed; the programs use Normal and trace at level 0.
    explicit Syslog(int level);

    // The start-up banner naming the program.
    void version(const std::string& program);

    // "HH:MM:SS message" (local time) when level is at least the threshold.
    void printlog(const std::string& message, int level);

  private:
    int level;
};
