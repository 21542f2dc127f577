#include "StreamOutlet.h"

#include <nats/nats.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

// A round of publishing failed texts again comes at most this often, so a stream that refuses
// everything at once costs a request per quarter second, not a spin.
constexpr auto republishPause = std::chrono::milliseconds(250);

void pauseMillis(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

}  // namespace

struct StreamOutlet::Entry {
    enum class State { Sent, Stored, Failed };
    std::string id;
    std::string text;
    std::uint64_t serial;
    State state = State::Sent;
};

StreamOutlet::StreamOutlet(NatsLink& l, std::string streamName, std::string subjectName,
                           std::size_t most)
    : link(l), stream(std::move(streamName)), subject(std::move(subjectName)), window(most) {
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.Wait = 5000;
    jo.PublishAsync.AckHandler = &StreamOutlet::onAck;
    jo.PublishAsync.AckHandlerClosure = this;
    // The window is ours; the library's own limit only has to stay out of its way.
    jo.PublishAsync.MaxPending = static_cast<int64_t>(window) * 2 + 16;
    natsStatus s = natsConnection_JetStream(&js, link.connection(), &jo);
    if (s != NATS_OK)
        throw NatsException("Fail to publish to stream " + stream + ": " + natsStatus_GetText(s));
}

StreamOutlet::~StreamOutlet() {
    // Answers still on their way must not reach a destroyed outlet: wait for them briefly, then
    // the context goes, and with it the callbacks.
    jsPubOptions po;
    jsPubOptions_Init(&po);
    po.MaxWait = 200;
    js_PublishAsyncComplete(js, &po);
    jsCtx_Destroy(js);
    for (Entry* e : line) delete e;
}

void StreamOutlet::onAck(jsCtx*, natsMsg* msg, jsPubAck* pa, jsPubAckErr* pae, void* closure) {
    auto* self = static_cast<StreamOutlet*>(closure);
    const char* id = nullptr;
    if (natsMsgHeader_Get(msg, "Nats-Msg-Id", &id) == NATS_OK && id != nullptr) {
        std::lock_guard<std::mutex> guard(self->lock);
        auto found = self->byId.find(id);
        if (found != self->byId.end() && found->second->state == Entry::State::Sent) {
            Entry* e = found->second;
            --self->sent;
            if (pa != nullptr) {
                e->state = Entry::State::Stored;
                self->vouched = std::max(self->vouched, e->serial);
            } else {
                e->state = Entry::State::Failed;
                ++self->failed;
                if (pae != nullptr) {
                    self->fault =
                        pae->ErrText != nullptr ? pae->ErrText : natsStatus_GetText(pae->Err);
                    if (pae->ErrCode == JSStreamWrongLastMsgIDErr) self->wrongLast = true;
                }
            }
        }
    }
    natsMsg_Destroy(msg);
}

bool StreamOutlet::publish(const Entry& e, const Entry* before) {
    natsMsg* m = nullptr;
    natsStatus s = natsMsg_Create(&m, subject.c_str(), nullptr, e.text.data(),
                                  static_cast<int>(e.text.size()));
    if (s != NATS_OK) return false;
    jsPubOptions po;
    jsPubOptions_Init(&po);
    po.MsgId = e.id.c_str();
    if (before != nullptr) po.ExpectLastMsgId = before->id.c_str();
    po.MaxWait = ackWaitMs;
    s = js_PublishMsgAsync(js, &m, &po);
    if (s != NATS_OK) {
        natsMsg_Destroy(m);
        std::lock_guard<std::mutex> guard(lock);
        fault = natsStatus_GetText(s);
        return false;
    }
    return true;
}

bool StreamOutlet::offer(const std::string& id, const std::string& text) {
    Entry* e;
    const Entry* before = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (line.size() >= window || failed > 0 || !link.connected()) return false;
        e = new Entry{id, text, nextSerial++};
        ++sent;
        // Chained to its predecessor only while that one is unconfirmed: a stored one needs no
        // guard, and naming it could meet a stream that no longer remembers it.
        if (!line.empty() && line.back()->state == Entry::State::Sent) before = line.back();
        line.push_back(e);
        byId[e->id] = e;
    }
    // Without the lock: the library may wait here for room among its pending publishes, which
    // needs the callbacks to run.
    if (!publish(*e, before)) markFailed(e);
    return true;
}

std::size_t StreamOutlet::takeAcknowledged() {
    std::size_t n = 0;
    {
        std::lock_guard<std::mutex> guard(lock);
        // A stored text vouches for every text before it (see the header).
        while (!line.empty() &&
               (line.front()->serial <= vouched || line.front()->state == Entry::State::Stored)) {
            Entry* e = line.front();
            if (e->state == Entry::State::Sent) --sent;
            if (e->state == Entry::State::Failed) --failed;
            byId.erase(e->id);
            delete e;
            line.pop_front();
            ++n;
        }
    }
    republishIfDue();
    return n;
}

void StreamOutlet::republishIfDue() {
    bool settleLast;
    {
        std::lock_guard<std::mutex> guard(lock);
        // Only once every publish has answered, so the round starts from a settled line.
        if (failed == 0 || sent > 0 || !link.connected()) return;
        auto now = std::chrono::steady_clock::now();
        if (now - lastRound < republishPause) return;
        lastRound = now;
        settleLast = wrongLast;
        wrongLast = false;
    }
    if (settleLast) {
        // The stream's last text may be one of ours whose answer was lost: it and all before it
        // are stored, and publishing them again could find the stream no longer knowing their ids.
        std::string id;
        try {
            id = lastStoredId();
        } catch (const NatsException& e) {
            std::lock_guard<std::mutex> guard(lock);
            fault = e.what();
            wrongLast = true;
            return;
        }
        std::lock_guard<std::mutex> guard(lock);
        auto found = byId.find(id);
        if (found != byId.end()) {
            vouched = std::max(vouched, found->second->serial);
            return;  // the next takeAcknowledged() hands them over and publishes the rest
        }
    }
    std::vector<Entry*> again;
    {
        std::lock_guard<std::mutex> guard(lock);
        for (Entry* e : line) {
            if (e->state == Entry::State::Stored) continue;
            if (e->state == Entry::State::Failed) --failed;
            e->state = Entry::State::Sent;
            ++sent;
            again.push_back(e);
        }
    }
    // In order; the first follows only stored texts, so it needs no guard.
    for (std::size_t i = 0; i < again.size(); ++i) {
        if (!publish(*again[i], i == 0 ? nullptr : again[i - 1])) {
            for (std::size_t j = i; j < again.size(); ++j) markFailed(again[j]);
            return;
        }
    }
}

void StreamOutlet::markFailed(Entry* e) {
    std::lock_guard<std::mutex> guard(lock);
    if (e->state != Entry::State::Sent) return;
    --sent;
    e->state = Entry::State::Failed;
    ++failed;
}

std::size_t StreamOutlet::waiting() const {
    std::lock_guard<std::mutex> guard(lock);
    return line.size();
}

std::size_t StreamOutlet::drain(long ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        republishIfDue();
        std::size_t left = 0;
        {
            std::lock_guard<std::mutex> guard(lock);
            for (const Entry* e : line) {
                if (e->serial > vouched && e->state != Entry::State::Stored) ++left;
            }
        }
        if (left == 0 || std::chrono::steady_clock::now() >= until) return left;
        pauseMillis(1);
    }
}

std::string StreamOutlet::lastStoredId() {
    natsMsg* m = nullptr;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    natsStatus s =
        js_GetLastMsg(&m, link.jetStream(), stream.c_str(), subject.c_str(), nullptr, &jerr);
    if (s == NATS_NOT_FOUND && jerr != JSStreamNotFoundErr) return std::string();
    if (s != NATS_OK)
        throw NatsException("Fail to read the last message of stream " + stream + ": " +
                            natsStatus_GetText(s));
    const char* id = nullptr;
    std::string out;
    if (natsMsgHeader_Get(m, "Nats-Msg-Id", &id) == NATS_OK && id != nullptr) out = id;
    natsMsg_Destroy(m);
    return out;
}

std::string StreamOutlet::lastFault() const {
    std::lock_guard<std::mutex> guard(lock);
    return fault;
}
