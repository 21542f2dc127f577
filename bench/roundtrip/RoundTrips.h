// The orders of one benchmark phase on the order side: hands out a unique ClOrdID per order, notes
// when each order went out and when its report came back, and names the first fault (a report for
// no order of the phase, a second report for one order, an order left without report).
// Thread contract: every member may be called from any thread; a mutex guards the state.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

class RoundTrips {
  public:
    using Clock = std::chrono::steady_clock;

    // prefix keeps the ClOrdIDs of different order sides apart ("S1", "QF").
    explicit RoundTrips(const std::string& prefix) : prefix(prefix) {}

    // Starts a phase of count orders; ClOrdIDs of earlier phases count as faults from now on.
    void begin(long count);
    // The ClOrdID of order i (0-based) of this phase: 13 characters for up to 10^7 orders.
    std::string clOrdId(long i) const;
    // Stamps order i as sent now.
    void sent(long i);
    // Notes a report carrying clOrdId received now; false (and the fault kept) when it is not the
    // first report of an order of this phase.
    bool answered(const std::string& clOrdId);

    long answeredCount() const;
    // The first fault of the phase, or the first order still without report; "" when none.
    std::string fault() const;
    // Microseconds from send to report of every answered order, in order of sending.
    std::vector<double> latencies() const;
    // From the first send to the last report.
    double elapsedSeconds() const;

  private:
    std::string prefix;
    mutable std::mutex lock;
    int phase = 0;
    long answers = 0;
    std::vector<Clock::time_point> sentAt;
    std::vector<Clock::time_point> answeredAt;
    Clock::time_point first;
    Clock::time_point last;
    std::string firstFault;
};
