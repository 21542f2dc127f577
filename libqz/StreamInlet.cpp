#include "StreamInlet.h"

#include <nats/nats.h>
#include <time.h>

#include <algorithm>

namespace {

void pauseMillis(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

}  // namespace

std::string StreamInlet::Message::header(const char* name) const {
    const char* v = nullptr;
    if (!handle || natsMsgHeader_Get(handle.get(), name, &v) != NATS_OK || v == nullptr)
        return std::string();
    return v;
}

StreamInlet::StreamInlet(NatsLink& l, const std::string& streamName, const std::string& subjectName,
                         const std::string& durableName, bool inOrder, std::uint64_t resumeAfter,
                         bool exactly)
    : link(l),
      stream(streamName),
      subject(subjectName),
      durable(durableName),
      ordered(inOrder),
      exact(inOrder && exactly) {
    link.checkStream(stream, subject);
    bind(resumeAfter);
}

void StreamInlet::bind(std::uint64_t resumeAfter) {
    jsErrCode jerr = static_cast<jsErrCode>(0);
    // Made explicitly, so that letting go of the subscription never removes it: the consumer's
    // acknowledgement floor is where the next run goes on.
    jsConsumerInfo* ci = nullptr;
    natsStatus s =
        js_GetConsumerInfo(&ci, link.jetStream(), stream.c_str(), durable.c_str(), nullptr, &jerr);
    std::uint64_t from = 0;
    if (s == NATS_OK && ordered) {
        // Messages a killed reader had fetched would come again only after the consumer's wait,
        // behind newer ones: made anew, it delivers in stream order from where reading stopped.
        from = (exact ? resumeAfter : std::max(resumeAfter, ci->AckFloor.Stream)) + 1;
        jsConsumerInfo_Destroy(ci);
        ci = nullptr;
        js_DeleteConsumer(link.jetStream(), stream.c_str(), durable.c_str(), nullptr, &jerr);
        s = NATS_NOT_FOUND;
    } else if (s == NATS_NOT_FOUND && ordered && resumeAfter > 0) {
        from = resumeAfter + 1;
    }
    if (s == NATS_NOT_FOUND) {
        jsConsumerConfig cc;
        jsConsumerConfig_Init(&cc);
        cc.Durable = durable.c_str();
        cc.AckPolicy = ordered ? js_AckAll : js_AckExplicit;
        cc.DeliverPolicy = from > 0 ? js_DeliverByStartSequence : js_DeliverAll;
        cc.OptStartSeq = from;
        cc.FilterSubject = subject.c_str();
        cc.MaxAckPending = maxAckPending;
        cc.AckWait = static_cast<int64_t>(ackWaitSeconds) * 1000 * 1000 * 1000;
        jerr = static_cast<jsErrCode>(0);
        s = js_AddConsumer(&ci, link.jetStream(), stream.c_str(), &cc, nullptr, &jerr);
    }
    if (s != NATS_OK) {
        const char* last = nats_GetLastError(nullptr);
        throw NatsException("Fail to make consumer " + durable + " of stream " + stream + ": " +
                            (last != nullptr && *last != '\0' ? last : natsStatus_GetText(s)));
    }
    acksAll = ci->Config->AckPolicy == js_AckAll;
    jsConsumerInfo_Destroy(ci);
    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Stream = stream.c_str();
    so.Consumer = durable.c_str();
    jerr = static_cast<jsErrCode>(0);
    s = js_PullSubscribe(&sub, link.jetStream(), subject.c_str(), durable.c_str(), nullptr, &so,
                         &jerr);
    if (s != NATS_OK) {
        sub = nullptr;
        throw NatsException("Fail to read consumer " + durable + " of stream " + stream + ": " +
                            natsStatus_GetText(s));
    }
}

bool StreamInlet::rewind(std::uint64_t after) {
    natsSubscription_Destroy(sub);
    sub = nullptr;
    rewindTo = after;
    try {
        bind(after);
    } catch (const NatsException&) {
        return false;  // fetch() tries again
    }
    return true;
}

StreamInlet::~StreamInlet() {
    natsSubscription_Destroy(sub);
}

std::vector<StreamInlet::Message> StreamInlet::fetch(int most, long waitMs) {
    std::vector<Message> out;
    if (!link.connected() || (sub == nullptr && !rewind(rewindTo))) {
        pauseMillis(waitMs);
        return out;
    }
    natsMsgList list{nullptr, 0};
    jsErrCode jerr = static_cast<jsErrCode>(0);
    natsStatus s = natsSubscription_Fetch(&list, sub, most, waitMs, &jerr);
    if (s != NATS_OK && list.Count == 0) {
        // A wait that passed returns at its end; anything else (the link dropping) must not
        // turn the caller's loop into a spin.
        if (s != NATS_TIMEOUT) pauseMillis(waitMs);
        natsMsgList_Destroy(&list);
        return out;
    }
    out.reserve(static_cast<std::size_t>(list.Count));
    for (int i = 0; i < list.Count; ++i) {
        natsMsg* m = list.Msgs[i];
        list.Msgs[i] = nullptr;
        Message one;
        one.text.assign(natsMsg_GetData(m), static_cast<std::size_t>(natsMsg_GetDataLength(m)));
        jsMsgMetaData* meta = nullptr;
        if (natsMsg_GetMetaData(&meta, m) == NATS_OK) {
            one.streamSeq = meta->Sequence.Stream;
            one.pending = meta->NumPending;
            lastPending = meta->NumPending;
            jsMsgMetaData_Destroy(meta);
        }
        one.handle = std::shared_ptr<natsMsg>(m, natsMsg_Destroy);
        out.push_back(std::move(one));
    }
    natsMsgList_Destroy(&list);
    return out;
}

void StreamInlet::ack(const Message& m) {
    if (m.handle) natsMsg_Ack(m.handle.get(), nullptr);
}

void StreamInlet::ackThrough(const std::vector<Message>& batch, std::size_t count) {
    count = std::min(count, batch.size());
    if (count == 0) return;
    if (acksAll) {
        ack(batch[count - 1]);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) ack(batch[i]);
}
