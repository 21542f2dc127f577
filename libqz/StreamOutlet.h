// StreamOutlet: publishes texts to one subject of a JetStream stream asynchronously, with at most
// `window` publishes waiting for their acknowledgement, and tells its owner, in the order offered,
// which texts the stream has stored.
//
// Every text carries an id (Nats-Msg-Id), so a publish repeated within the stream's
// de-duplication window is stored once. Order: a text published while the one before it still
// waits for its acknowledgement names that one as the stream's expected last id
// (Nats-Expected-Last-Msg-Id), so the stream stores a text only right after its predecessor;
// an acknowledgement for a text therefore also vouches for every text before it. A publish that
// fails (the servers refused it, lost it, or did not answer within ackWaitMs) is repeated, with
// every text after it, in order, once every outstanding publish has answered and the link is up;
// a refusal for a wrong last id is settled by reading the stream's last id first.
// Nothing is dropped: texts leave the outlet only as acknowledged, through takeAcknowledged().
//
// Thread contract: the owner's thread calls everything; the client library's acknowledgement
// callbacks only mark texts answered, under the outlet's lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#include "NatsLink.h"

class StreamOutlet {
  public:
    // Milliseconds a publish waits for its acknowledgement before it counts as failed.
    static constexpr long ackWaitMs = 5000;

    StreamOutlet(NatsLink& link, std::string stream, std::string subject, std::size_t window);
    ~StreamOutlet();
    StreamOutlet(const StreamOutlet&) = delete;
    StreamOutlet& operator=(const StreamOutlet&) = delete;

    // Publishes `text` under `id` (unique among the texts not yet acknowledged). False, with
    // nothing published, when the window is full, the link is down or failed texts wait to be
    // published again: the caller offers it again later.
    bool offer(const std::string& id, const std::string& text);
    // How many of the oldest offered texts the stream has now stored, in offer order; they are
    // forgotten. Also publishes failed texts again when it is time (see above).
    std::size_t takeAcknowledged();
    // Texts offered and not yet known stored.
    std::size_t waiting() const;
    // Waits up to `ms` milliseconds for every offered text to be stored; how many are not. The
    // stored ones are handed over by the next takeAcknowledged(), as ever.
    std::size_t drain(long ms);

    // The id of the last message the stream holds on the subject; empty when it holds none.
    // Throws NatsException when the servers cannot tell.
    std::string lastStoredId();

    // The latest refusal or failure, for console lines; empty when none.
    std::string lastFault() const;

  private:
    struct Entry;
    static void onAck(jsCtx* js, natsMsg* msg, jsPubAck* pa, jsPubAckErr* pae, void* closure);
    // Hands one text to the client library; false when it refused it at once.
    bool publish(const Entry& e, const Entry* before);
    void republishIfDue();
    // A publish the library refused at once (the line still holds the entry).
    void markFailed(Entry* e);

    NatsLink& link;
    std::string stream;
    std::string subject;
    std::size_t window;
    jsCtx* js = nullptr;
    mutable std::mutex lock;
    std::deque<Entry*> line;
    std::unordered_map<std::string, Entry*> byId;
    std::string fault;
    // Counters kept under the lock, so no call walks the whole line: the next entry's serial,
    // the highest serial stored (it vouches for all below it), and the entries sent and not yet
    // answered and those failed.
    std::uint64_t nextSerial = 1;
    std::uint64_t vouched = 0;
    std::size_t sent = 0;
    std::size_t failed = 0;
    // A refusal for a wrong last id came: the next round reads the stream's last id first.
    bool wrongLast = false;
    std::chrono::steady_clock::time_point lastRound{};
};
