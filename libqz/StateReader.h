// StateReader: reads a site's state stream (StreamNames::stateStream) in order from a sequence,
// for the standby gateway that follows the active one.
//
// It reads through an ephemeral pull consumer without acknowledgements, made from the first
// sequence it has not handed out. Every record is handed out once and in sequence order: a
// repeat is dropped; a hole (records delivered while a server died, or the link dropped, never
// arrived) or a consumer the servers lost makes the consumer anew from the first record not
// handed out. A hole is taken as final only where the stream no longer holds those records
// (its limits removed them).
//
// Thread contract: one thread calls everything.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "NatsLink.h"

class StateReader {
  public:
    struct Record {
        std::uint64_t seq = 0;
        std::string kind, text;
        // The value of a header of the record; empty when absent.
        std::string header(const char* name) const;
        std::shared_ptr<natsMsg> handle;
    };

    // Reads the records after sequence `after`. Throws NatsException when the stream is missing
    // or does not take the site's state subject. The consumer is made at the first fetch.
    StateReader(NatsLink& link, const std::string& site, std::uint64_t after);
    ~StateReader();
    StateReader(const StateReader&) = delete;
    StateReader& operator=(const StateReader&) = delete;

    // The next records in order, up to `most`, waiting up to waitMs for the first; empty when
    // none came in that time or while the link is down (then after waiting waitMs, never a spin).
    std::vector<Record> fetch(int most, long waitMs);
    // The stream's last sequence now (0: empty). Throws NatsException when the servers do not
    // answer.
    std::uint64_t streamLast();
    // The sequence of the last record handed out (`after` before any).
    std::uint64_t lastSeq() const { return last; }

  private:
    // Makes the consumer from last + 1; false when the servers cannot be asked now.
    bool bind();
    // Lets go of the consumer; `remove`: asks the servers to remove it too.
    void unbind(bool remove);
    // Whether the consumer answers and has delivered nothing we did not get; asked at most
    // every checkEvery while fetches come back empty.
    bool consumerSound();
    // The stream no longer holds the records before `seq` (they are below its first sequence).
    bool goneBefore(std::uint64_t seq);

    NatsLink& link;
    std::string stream, subject;
    std::uint64_t last;
    jsCtx* js = nullptr;
    natsSubscription* sub = nullptr;
    std::chrono::steady_clock::time_point lastCheck{};
};
