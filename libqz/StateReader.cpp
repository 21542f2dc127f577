#include "StateReader.h"

#include <nats/nats.h>
#include <time.h>

#include <algorithm>

#include "StreamNames.h"

namespace {

// While fetches come back empty, whether the consumer is still sound is asked this often.
constexpr auto checkEvery = std::chrono::seconds(1);
// An ephemeral consumer the reader lost track of (the link was down) goes after this long.
constexpr std::int64_t inactiveNanos = 30LL * 1000 * 1000 * 1000;

void pauseUntil(std::chrono::steady_clock::time_point until) {
    auto left = until - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return;
    long ns = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
    timespec ts{ns / 1000000000L, ns % 1000000000L};
    nanosleep(&ts, nullptr);
}

}  // namespace

std::string StateReader::Record::header(const char* name) const {
    const char* v = nullptr;
    if (!handle || natsMsgHeader_Get(handle.get(), name, &v) != NATS_OK || v == nullptr)
        return std::string();
    return v;
}

StateReader::StateReader(NatsLink& l, const std::string& site, std::uint64_t after)
    : link(l),
      stream(StreamNames::stateStream(site)),
      subject(StreamNames::stateSubject(site)),
      last(after) {
    link.checkStream(stream, subject);
    // A context of our own, so a request to a server that died costs two seconds, not five.
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.Wait = 2000;
    natsStatus s = natsConnection_JetStream(&js, link.connection(), &jo);
    if (s != NATS_OK)
        throw NatsException("Fail to read stream " + stream + ": " + natsStatus_GetText(s));
}

StateReader::~StateReader() {
    unbind(link.connected());
    jsCtx_Destroy(js);
}

bool StateReader::bind() {
    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Stream = stream.c_str();
    so.Config.DeliverPolicy = js_DeliverByStartSequence;
    so.Config.OptStartSeq = last + 1;
    // The reader keeps its place itself: nothing to acknowledge.
    so.Config.AckPolicy = js_AckNone;
    so.Config.InactiveThreshold = inactiveNanos;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus s = js_PullSubscribe(&sub, js, subject.c_str(), nullptr, nullptr, &so, &code);
    if (s != NATS_OK) {
        sub = nullptr;
        return false;
    }
    lastCheck = std::chrono::steady_clock::now();
    return true;
}

void StateReader::unbind(bool remove) {
    if (sub == nullptr) return;
    // A consumer not removed here (its server did not answer) goes once inactive.
    if (remove) natsSubscription_Unsubscribe(sub);
    natsSubscription_Destroy(sub);
    sub = nullptr;
}

bool StateReader::consumerSound() {
    jsConsumerInfo* ci = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus s = natsSubscription_GetConsumerInfo(&ci, sub, nullptr, &code);
    // No answer is as bad as none there: a consumer on a server that died answers nothing.
    if (s != NATS_OK) return false;
    // Delivered beyond what we hold: those records were lost on their way.
    bool sound = ci->Delivered.Stream <= last;
    jsConsumerInfo_Destroy(ci);
    return sound;
}

bool StateReader::goneBefore(std::uint64_t seq) {
    jsStreamInfo* si = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    if (js_GetStreamInfo(&si, js, stream.c_str(), nullptr, &code) != NATS_OK) return false;
    bool gone = si->State.FirstSeq >= seq;
    jsStreamInfo_Destroy(si);
    return gone;
}

std::vector<StateReader::Record> StateReader::fetch(int most, long waitMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    std::vector<Record> out;
    if (most <= 0 || !link.connected() || (sub == nullptr && !bind())) {
        pauseUntil(until);
        return out;
    }
    natsMsgList list{nullptr, 0};
    jsErrCode code = static_cast<jsErrCode>(0);
    // The library takes no wait of 0: a millisecond is as near to "what is there now".
    natsStatus s = natsSubscription_Fetch(&list, sub, most, std::max(1L, waitMs), &code);
    if (s != NATS_OK && list.Count == 0) {
        natsMsgList_Destroy(&list);
        if (s == NATS_TIMEOUT) {
            auto now = std::chrono::steady_clock::now();
            if (now - lastCheck >= checkEvery) {
                lastCheck = now;
                if (!consumerSound()) unbind(false);
            }
        } else {
            unbind(false);  // the consumer is gone or the link dropped: made anew next time
        }
        pauseUntil(until);
        return out;
    }
    bool remake = false;
    for (int i = 0; i < list.Count; ++i) {
        natsMsg* m = list.Msgs[i];
        list.Msgs[i] = nullptr;
        std::shared_ptr<natsMsg> handle(m, natsMsg_Destroy);
        jsMsgMetaData* meta = nullptr;
        if (remake || natsMsg_GetMetaData(&meta, m) != NATS_OK) continue;
        std::uint64_t seq = meta->Sequence.Stream;
        jsMsgMetaData_Destroy(meta);
        if (seq <= last) continue;  // a repeat
        if (seq != last + 1 && !goneBefore(seq)) {
            remake = true;  // a hole: read again from it
            continue;
        }
        Record r;
        r.seq = seq;
        r.text.assign(natsMsg_GetData(m), static_cast<std::size_t>(natsMsg_GetDataLength(m)));
        r.handle = std::move(handle);
        r.kind = r.header("Fixgate-Kind");
        out.push_back(std::move(r));
        last = seq;
    }
    natsMsgList_Destroy(&list);
    if (remake) unbind(true);
    if (out.empty()) pauseUntil(until);
    return out;
}

std::uint64_t StateReader::streamLast() {
    jsStreamInfo* si = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus s = js_GetStreamInfo(&si, js, stream.c_str(), nullptr, &code);
    if (s != NATS_OK)
        throw NatsException("Fail to ask the NATS servers [" + link.servers() + "] about stream " +
                            stream + ": " + natsStatus_GetText(s));
    std::uint64_t seq = si->State.LastSeq;
    jsStreamInfo_Destroy(si);
    return seq;
}
