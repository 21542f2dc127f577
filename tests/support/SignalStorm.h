// Sends one signal to one process, by its pid, again and again from a thread of its own until
// stopped: for tests that a program shrugs off signals that cut its waits short.
//
// Thread contract: made, stopped and destroyed by one test thread; the sending thread touches
// nothing but the pid and its own counters.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <thread>

class SignalStorm {
  public:
    // Starts sending sig to pid every `every` (at most; the thread also needs its turn).
    SignalStorm(pid_t pid, int sig, std::chrono::microseconds every);
    ~SignalStorm();
    SignalStorm(const SignalStorm&) = delete;
    SignalStorm& operator=(const SignalStorm&) = delete;

    // Stops sending; returns how many signals were delivered to the process.
    long stop();
    // How many were delivered so far.
    long count() const { return sent.load(); }

  private:
    pid_t pid;
    int sig;
    std::chrono::microseconds every;
    std::atomic<bool> done{false};
    std::atomic<long> sent{0};
    std::thread sender;
};
