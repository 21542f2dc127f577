#include "StateWriter.h"

#include <nats/nats.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include "StreamNames.h"

namespace {

// A record whose answer has not come within this long is given up by the library, so its place
// among the outstanding publishes is not kept for ever (confirm() has given up long before).
constexpr std::int64_t answerWaitMs = 10000;

}  // namespace

StateWriter::StateWriter(NatsLink& link, const std::string& site)
    : stream(StreamNames::stateStream(site)), subject(StreamNames::stateSubject(site)) {
    link.checkStream(stream, subject);
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.Wait = answerWaitMs;
    jo.PublishAsync.AckHandler = &StateWriter::onAck;
    jo.PublishAsync.AckHandlerClosure = this;
    jo.PublishAsync.MaxPending = maxOutstanding;
    jo.PublishAsync.StallWait = answerWaitMs;
    natsStatus s = natsConnection_JetStream(&js, link.connection(), &jo);
    if (s != NATS_OK)
        throw NatsException("Fail to publish to stream " + stream + ": " + natsStatus_GetText(s));
}

StateWriter::~StateWriter() {
    // Answers still on their way must not reach a destroyed writer: wait for them briefly, then
    // the context goes, and with it the callbacks.
    jsPubOptions po;
    jsPubOptions_Init(&po);
    po.MaxWait = 200;
    js_PublishAsyncComplete(js, &po);
    jsCtx_Destroy(js);
}

void StateWriter::onAck(jsCtx*, natsMsg* msg, jsPubAck* pa, jsPubAckErr* pae, void* closure) {
    auto* self = static_cast<StateWriter*>(closure);
    {
        std::lock_guard<std::mutex> guard(self->lock);
        auto found = self->outstanding.find(msg);
        if (found != self->outstanding.end()) {
            std::uint64_t seq = found->second;
            self->outstanding.erase(found);
            if (pa != nullptr && pa->Sequence == seq) {
                self->stored = std::max(self->stored, seq);
            } else if (pa != nullptr) {
                // Stored elsewhere than predicted: the stream holds records this writer did not
                // count (a subject it does not know of), so its fence cannot be trusted.
                self->breakWith("record stored as " + std::to_string(pa->Sequence) + " where " +
                                std::to_string(seq) + " was expected");
            } else if (pae != nullptr) {
                self->breakWith(pae->ErrText != nullptr ? pae->ErrText
                                                        : natsStatus_GetText(pae->Err));
            } else {
                self->breakWith("no answer");
            }
            self->answered.notify_all();
        }
    }
    natsMsg_Destroy(msg);
}

void StateWriter::breakWith(const std::string& why) {
    isBroken = true;
    lastFault = "Stream " + stream + ": " + why;
}

void StateWriter::begin(std::uint64_t lastSeq) {
    std::lock_guard<std::mutex> guard(lock);
    outstanding.clear();
    // Ids of this run's records: never those of another writer or of an earlier run.
    std::random_device entropy;
    char text[40];
    std::snprintf(text, sizeof text, "%08x%08x", entropy(), entropy());
    token = text;
    expected = lastSeq;
    stored = lastSeq;
    isBroken = false;
}

void StateWriter::add(const std::string& kind, const std::string& text, const Headers& extra) {
    natsMsg* m = nullptr;
    if (natsMsg_Create(&m, subject.c_str(), nullptr, text.data(), static_cast<int>(text.size())) !=
        NATS_OK) {
        std::lock_guard<std::mutex> guard(lock);
        breakWith("no memory for a record");
        return;
    }
    std::string last, id, before;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (isBroken) {
            natsMsg_Destroy(m);
            return;
        }
        last = std::to_string(expected);
        // The record before is not confirmed yet: it is named by its id, since the servers
        // (clustered) check a sequence against what they have applied, not what is on its way.
        if (stored < expected) before = token + "-" + last;
        // Registered before it leaves: its answer may come before the publish returns.
        outstanding[m] = ++expected;
        id = token + "-" + std::to_string(expected);
    }
    natsStatus s = natsMsgHeader_Set(m, "Fixgate-Kind", kind.c_str());
    for (const auto& h : extra) {
        if (s == NATS_OK) s = natsMsgHeader_Add(m, h.first.c_str(), h.second.c_str());
    }
    if (s == NATS_OK) s = natsMsgHeader_Set(m, "Nats-Msg-Id", id.c_str());
    if (s == NATS_OK && !before.empty()) {
        s = natsMsgHeader_Set(m, "Nats-Expected-Last-Msg-Id", before.c_str());
    } else if (s == NATS_OK) {
        // Set by hand: the library leaves the header out for 0, and an empty stream must fence.
        s = natsMsgHeader_Set(m, "Nats-Expected-Last-Subject-Sequence", last.c_str());
    }
    natsMsg* sent = m;
    if (s == NATS_OK) {
        jsPubOptions po;
        jsPubOptions_Init(&po);
        po.MaxWait = answerWaitMs;
        s = js_PublishMsgAsync(js, &m, &po);
    }
    if (s != NATS_OK) {
        std::lock_guard<std::mutex> guard(lock);
        outstanding.erase(sent);
        breakWith(std::string("publish refused by the client library: ") + natsStatus_GetText(s));
        natsMsg_Destroy(m);
    }
}

bool StateWriter::confirm(long timeoutMs) {
    std::unique_lock<std::mutex> guard(lock);
    bool settled = answered.wait_for(guard, std::chrono::milliseconds(std::max(0L, timeoutMs)),
                                     [this] { return isBroken || outstanding.empty(); });
    if (!settled) {
        // What the stream holds now is not known: later records could not name their last.
        breakWith("no answer within " + std::to_string(timeoutMs) + " ms for " +
                  std::to_string(outstanding.size()) + " records");
        outstanding.clear();
    }
    return !isBroken;
}

bool StateWriter::broken() const {
    std::lock_guard<std::mutex> guard(lock);
    return isBroken;
}

std::uint64_t StateWriter::lastStored() const {
    std::lock_guard<std::mutex> guard(lock);
    return stored;
}

std::string StateWriter::fault() const {
    std::lock_guard<std::mutex> guard(lock);
    return lastFault;
}
