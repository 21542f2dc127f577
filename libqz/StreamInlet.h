// StreamInlet: takes messages from one durable pull consumer of a JetStream stream, in stream
// order, and acknowledges each when its owner says so. The consumer is made when missing
// (explicit acknowledgement, from the stream's first message, filtered on the subject, at most
// maxAckPending unacknowledged); an existing one is used as it stands, so an application that
// stops and starts again goes on where its last acknowledgement left it. A message fetched and
// not acknowledged within the consumer's wait (ackWaitSeconds for those made here) comes again:
// whoever must not act on it twice recognises it by its stream sequence.
// Thread contract: one thread fetches and acknowledges.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "NatsLink.h"

class StreamInlet {
  public:
    // Unacknowledged messages a consumer made here may have out at once.
    static constexpr int maxAckPending = 1024;
    // Seconds a fetched message waits for its acknowledgement before it is delivered again: what
    // a killed reader had fetched reaches its successor after this.
    static constexpr int ackWaitSeconds = 10;

    struct Message {
        std::string text;
        std::uint64_t streamSeq = 0;
        // Messages the consumer still held for us after this one, when it was fetched.
        std::uint64_t pending = 0;
        // The value of a header of the message (Nats-Msg-Id and the like); empty when absent.
        std::string header(const char* name) const;
        std::shared_ptr<natsMsg> handle;
    };

    // Binds to consumer `durable` of `stream` on `subject`, making it when missing. Throws
    // NatsException when the stream is missing or does not take the subject, or the servers
    // refuse the consumer.
    // `ordered`: for a reader that must take every message once and in stream order (the
    // gateway), the consumer is made anew, delivering from the first sequence after both
    // `resumeAfter` (what the reader already holds) and the old consumer's acknowledgement
    // floor, and takes an acknowledgement as one for every message before it too, so a batch
    // costs one (ackThrough). Otherwise an existing consumer is used as it stands.
    // `exact` (ordered only): from right after `resumeAfter` whatever the old consumer's floor,
    // for a gateway taking over a site whose previous gateway acknowledged texts it never sent.
    StreamInlet(NatsLink& link, const std::string& stream, const std::string& subject,
                const std::string& durable, bool ordered = false, std::uint64_t resumeAfter = 0,
                bool exact = false);
    ~StreamInlet();
    StreamInlet(const StreamInlet&) = delete;
    StreamInlet& operator=(const StreamInlet&) = delete;

    // Up to `most` messages in stream order, waiting at most waitMs for them; none when the
    // wait passed, or the link is down (then after the wait, so a caller's loop never spins).
    std::vector<Message> fetch(int most, long waitMs);
    // Acknowledges a fetched message (without waiting for the server's confirmation: a lost
    // acknowledgement brings the message again, which its stream sequence tells).
    void ack(const Message& m);
    // Acknowledges the first `count` messages of `batch`: with one acknowledgement where the
    // consumer takes it for all before it too, else each on its own.
    void ackThrough(const std::vector<Message>& batch, std::size_t count);
    // Ordered readers: makes the consumer anew from the sequence after `after`, for a reader
    // that found a hole in what it was delivered (a server that died with messages on their
    // way). False when the servers cannot be asked now; the next fetch tries again.
    bool rewind(std::uint64_t after);
    // The consumer's pending count as of the latest fetch (messages not yet delivered).
    std::uint64_t pending() const { return lastPending; }

  private:
    // Makes (or, ordered, remakes) the consumer and subscribes to it.
    void bind(std::uint64_t resumeAfter);

    NatsLink& link;
    std::string stream, subject, durable;
    bool ordered;
    bool exact;
    std::uint64_t rewindTo = 0;
    natsSubscription* sub = nullptr;
    std::uint64_t lastPending = 0;
    bool acksAll = false;
};
