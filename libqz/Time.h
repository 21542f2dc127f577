// A stored point in time and the clock texts derived from it: FIX SendingTime (UTC), log-file dates
// and console times (local). Conversions use gmtime_r/localtime_r, so any number of Time objects
// may be used concurrently; a single Time object belongs to one thread.
#pragma once

#include <ctime>
#include <string>

class Time {
  public:
    Time();

    void set(long t);
    long get() const;
    void update();

    // Whole seconds from the stored time to now.
    int past() const;

    // Now, in UTC, as YYYYMMDD-HH:MM:SS; also stores now.
    std::string getCurrentGMTime();
    // Now, local date YYYYMMDD; also stores now.
    std::string getLogDate();
    // Now, local time of day HH:MM:SS; also stores now.
    std::string getLogTime();
    // The stored time (not updated) as local YYYYMMDD-HH:MM:SS.
    std::string getDateTime() const;
    // The stored time (not updated) in UTC as YYYYMMDD-HH:MM:SS.
    std::string getGMTime() const;

  private:
    time_t ftime;
};
