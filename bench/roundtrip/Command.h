// One instruction from the roundtrip orchestrator to an order side, read from standard input, and
// the answer line the order side prints when the phase is over:
//   pingpong COUNT FILE        COUNT orders one at a time; latencies (us, one a line) into FILE
//   window COUNT INFLIGHT      COUNT orders, at most INFLIGHT of them without report
//   paced RATE SECONDS FILE    RATE orders a second for SECONDS, whatever comes back; latencies
//                              into FILE
// Answers: "ok ORDERS SECONDS" (from the first send to the last report) or "fail WHAT".
// Thread contract: plain functions on the caller's data.
#pragma once

#include <istream>
#include <string>

#include "RoundTrips.h"

// An order side that hears no report for this long gives the phase up as failed.
constexpr int stallSeconds = 10;

struct Command {
    std::string verb;
    long count = 0;
    long inflight = 0;
    double rate = 0;
    double seconds = 0;
    std::string file;

    // Reads the next command; false at the end of the input. A line it cannot parse gets an
    // empty verb.
    bool read(std::istream& in);
    // Prints the answer for the phase just run (latencies into file when it names one).
    void answer(const RoundTrips& trips) const;
};
