// StateWriter: writes the records of a site's state stream (StreamNames::stateStream), fenced and
// batched. The stream takes one subject, so the writer knows the sequence each record will have.
// A record whose predecessor is confirmed names that sequence as the stream's last
// (Nats-Expected-Last-Subject-Sequence); one sent while its predecessor is still on its way names
// the predecessor's id instead (Nats-Expected-Last-Msg-Id; ids are unique to a writer's run),
// since clustered servers check a sequence against what they have applied only. Either way the
// servers store a record only right after the one it names: once another gateway has written,
// every record of this one is refused. Fencing without a clock.
//
// add() publishes without waiting; confirm() waits once for the whole batch. A refusal or an
// answer that does not come breaks the writer (what the stream holds after it is not known to
// it); begin() with the stream's last sequence starts it again.
//
// Thread contract: one thread at a time calls add/confirm/begin; broken(), lastStored() and
// fault() from any thread. The client library's acknowledgement callbacks only count answers,
// under the writer's lock. It publishes through a JetStream context of its own, so its waits
// never depend on other publishers of the same link.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "NatsLink.h"

class StateWriter {
  public:
    using Headers = std::vector<std::pair<std::string, std::string>>;
    // Publishes outstanding at once; a publish beyond waits for room.
    static constexpr long maxOutstanding = 4096;

    // Throws NatsException when the stream is missing or does not take the site's state subject.
    StateWriter(NatsLink& link, const std::string& site);
    ~StateWriter();
    StateWriter(const StateWriter&) = delete;
    StateWriter& operator=(const StateWriter&) = delete;

    // The sequence of the last record the stream holds as this writer knows it (0: none);
    // clears a broken writer. Answers still due for records added before are ignored.
    void begin(std::uint64_t lastSeq);
    // Publishes a record with headers Fixgate-Kind: kind and the extra ones, naming the
    // sequence the record before it will have. Never waits for its acknowledgement. A broken
    // writer drops the record.
    void add(const std::string& kind, const std::string& text, const Headers& extra = {});
    // Waits up to timeoutMs for every record added to be stored: true then. False when one was
    // refused (another writer wrote) or the time passed; the writer is broken from then on.
    bool confirm(long timeoutMs);
    bool broken() const;
    // Sequence of the last record confirmed stored (what begin() said before any).
    std::uint64_t lastStored() const;
    // The latest refusal or failure, for console lines; empty when none.
    std::string fault() const;

  private:
    static void onAck(jsCtx* js, natsMsg* msg, jsPubAck* pa, jsPubAckErr* pae, void* closure);
    void breakWith(const std::string& why);  // under the lock

    std::string stream, subject;
    jsCtx* js = nullptr;
    mutable std::mutex lock;
    std::condition_variable answered;
    // Records published and not yet answered, by their message (the library hands the same
    // message back with its answer), with the sequence each will have.
    std::unordered_map<natsMsg*, std::uint64_t> outstanding;
    std::uint64_t expected = 0;  // the sequence the next record names as the last
    std::string token;           // this run's records' ids: "<token>-<sequence>"
    std::uint64_t stored = 0;
    bool isBroken = false;
    std::string lastFault;
};
