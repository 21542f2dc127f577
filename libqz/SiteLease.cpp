#include "SiteLease.h"

#include <nats/nats.h>

#include <algorithm>
#include <chrono>

#include "StreamNames.h"

namespace {

std::int64_t steadyNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The library's word for a status, with the servers' own description when it kept one.
std::string reason(natsStatus s) {
    natsStatus last = NATS_OK;
    const char* text = nats_GetLastError(&last);
    std::string said = text != nullptr && last == s ? text : "";
    std::size_t place = said.find("): ");
    if (!said.empty() && said[0] == '(' && place != std::string::npos) said.erase(0, place + 3);
    return said.empty() ? natsStatus_GetText(s) : said;
}

}  // namespace

SiteLease::SiteLease(NatsLink& l, const std::string& siteName, const std::string& gatewayName)
    : link(l), bucket(StreamNames::leaseBucket(siteName)), site(siteName), gateway(gatewayName) {
    const std::string remedy = "; make it with streammake " + site + " -l seconds";
    kvStore* probe = nullptr;
    natsStatus s = js_KeyValue(&probe, link.jetStream(), bucket.c_str());
    if (s == NATS_NOT_FOUND)
        throw NatsException("Lease bucket " + bucket + " does not exist on the NATS servers [" +
                            link.servers() + "]" + remedy);
    if (s != NATS_OK)
        throw NatsException("Fail to ask the NATS servers [" + link.servers() +
                            "] about lease bucket " + bucket + ": " + reason(s));
    kvStatus* st = nullptr;
    s = kvStore_Status(&st, probe);
    kvStore_Destroy(probe);
    if (s != NATS_OK)
        throw NatsException("Fail to ask the NATS servers [" + link.servers() +
                            "] about lease bucket " + bucket + ": " + reason(s));
    lifetime = static_cast<long>(kvStatus_TTL(st) / 1000000);
    kvStatus_Destroy(st);
    if (lifetime <= 0)
        throw NatsException("Lease bucket " + bucket + " has no lifetime (age limit)" + remedy);

    // A context of our own: a request waits at most a quarter of the lifetime, so one that gets
    // no answer leaves time to try again before the lease goes stale.
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.Wait = std::min(2000L, std::max(250L, lifetime / 4));
    s = natsConnection_JetStream(&js, link.connection(), &jo);
    if (s == NATS_OK) s = js_KeyValue(&kv, js, bucket.c_str());
    if (s != NATS_OK) {
        jsCtx_Destroy(js);
        throw NatsException("Fail to bind lease bucket " + bucket + ": " + reason(s));
    }
}

SiteLease::~SiteLease() {
    kvStore_Destroy(kv);
    jsCtx_Destroy(js);
}

std::string SiteLease::value() const {
    return gateway + " " + std::to_string(static_cast<long long>(sinceAt.load()));
}

void SiteLease::confirmed(std::uint64_t rev, std::int64_t startedNs) {
    revision = rev;
    confirmedAt.store(startedNs);
    holding.store(true);
}

void SiteLease::lost() {
    holding.store(false);
    revision = 0;
}

void SiteLease::failed(const std::string& what) {
    std::lock_guard<std::mutex> guard(faultLock);
    lastFault = what;
}

std::string SiteLease::fault() const {
    std::lock_guard<std::mutex> guard(faultLock);
    return lastFault;
}

bool SiteLease::fresh() const {
    if (!holding.load()) return false;
    return steadyNow() - confirmedAt.load() < static_cast<std::int64_t>(lifetime) * 1000000 / 2;
}

bool SiteLease::take() {
    // Held: renewed; lapsed meanwhile (renew found the key gone): taken anew below.
    if (holding.load()) {
        if (renew()) return true;
        if (holding.load()) return false;  // no answer: still ours as far as we know
    }
    // The bucket's last write decides, and ours is stored only while it is still the last: a
    // read of the key alone may come from a replica that has not seen the newest write.
    std::uint64_t last = 0;
    if (!streamLast(last) || (last > 0 && !freeAt(last))) return false;
    sinceAt.store(std::time(nullptr));
    std::int64_t started = steadyNow();
    std::uint64_t rev = 0;
    std::string why;
    Written w = write(false, last, rev, why);
    if (w == Written::Stored) {
        confirmed(rev, started);
        return true;
    }
    failed("Fail to take lease " + bucket + ": " + why);
    if (w == Written::Refused) return false;  // another gateway wrote first
    // Our write may have been stored with its answer lost: then the key holds our value.
    return settle(started);
}

bool SiteLease::freeAt(std::uint64_t seq) {
    natsMsg* m = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus s = js_GetMsg(&m, js, ("KV_" + bucket).c_str(), seq, nullptr, &code);
    if (s == NATS_NOT_FOUND) return true;  // aged out: the lease lapsed
    if (s != NATS_OK) {
        failed("Fail to read lease " + bucket + ": " + reason(s));
        return false;
    }
    const char* op = nullptr;
    bool free = natsMsgHeader_Get(m, "KV-Operation", &op) == NATS_OK && op != nullptr &&
                (std::string(op) == "DEL" || std::string(op) == "PURGE");
    natsMsg_Destroy(m);
    return free;
}

bool SiteLease::streamLast(std::uint64_t& last) {
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus s = js_GetStreamInfo(&info, js, ("KV_" + bucket).c_str(), nullptr, &code);
    if (s != NATS_OK) {
        failed("Fail to ask about lease " + bucket + ": " + reason(s));
        return false;
    }
    last = info->State.LastSeq;
    jsStreamInfo_Destroy(info);
    return true;
}

SiteLease::Written SiteLease::write(bool erase, std::uint64_t expectLast, std::uint64_t& rev,
                                    std::string& why) {
    std::string subject = "$KV." + bucket + "." + StreamNames::leaseKey;
    std::string text = erase ? std::string() : value();
    natsMsg* m = nullptr;
    natsStatus s =
        natsMsg_Create(&m, subject.c_str(), nullptr, text.data(), static_cast<int>(text.size()));
    if (s != NATS_OK) {
        why = reason(s);
        return Written::Unanswered;
    }
    if (erase) s = natsMsgHeader_Set(m, "KV-Operation", "DEL");
    // The bucket holds this key only, so its last sequence is the key's; a cluster checks it
    // against the writes still on their way in too, which it does not for the key's own.
    std::string expected = std::to_string(expectLast);
    if (s == NATS_OK) s = natsMsgHeader_Set(m, "Nats-Expected-Last-Sequence", expected.c_str());
    jsPubAck* pa = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    if (s == NATS_OK) s = js_PublishMsg(&pa, js, m, nullptr, &code);
    if (s == NATS_OK) rev = pa->Sequence;
    if (s != NATS_OK) why = reason(s);
    jsPubAck_Destroy(pa);
    natsMsg_Destroy(m);
    // A definite refusal (wrong last sequence) is told apart from a write without an answer.
    if (s == NATS_OK) return Written::Stored;
    return code != 0 ? Written::Refused : Written::Unanswered;
}

bool SiteLease::renew() {
    if (!holding.load()) return false;
    std::int64_t started = steadyNow();
    if (rewrite(started)) return true;
    return settle(started);
}

bool SiteLease::rewrite(std::int64_t startedNs) {
    std::uint64_t rev = 0;
    std::string why;
    if (write(false, revision, rev, why) == Written::Stored) {
        confirmed(rev, startedNs);
        return true;
    }
    failed("Fail to renew lease " + bucket + ": " + why);
    return false;
}

bool SiteLease::settle(std::int64_t startedNs) {
    kvEntry* e = nullptr;
    natsStatus s = kvStore_Get(&e, kv, StreamNames::leaseKey);
    if (s == NATS_NOT_FOUND) {
        lost();
        return false;
    }
    if (s != NATS_OK) {
        failed("Fail to read lease " + bucket + ": " + reason(s));
        return false;  // no answer: nothing settled
    }
    const char* v = kvEntry_ValueString(e);
    bool ours = v != nullptr && value() == v;
    std::uint64_t rev = kvEntry_Revision(e);
    kvEntry_Destroy(e);
    if (!ours) {
        lost();
        return false;
    }
    // Our value under a revision we did not see confirmed: one of our writes was stored after
    // all. When it was written is not known, so it vouches for nothing until rewritten.
    revision = rev;
    if (!holding.load()) {
        confirmedAt.store(0);
        holding.store(true);
    }
    return rewrite(startedNs);
}

void SiteLease::release() {
    if (!holding.load()) return;
    // A delete naming our revision: refused, rightly, once anyone else wrote the key.
    std::uint64_t expected = revision, rev = 0;
    lost();
    std::string why;
    if (write(true, expected, rev, why) != Written::Stored)
        failed("Fail to release lease " + bucket + ": " + why);
}

std::optional<SiteLease::Holder> SiteLease::holder() {
    kvEntry* e = nullptr;
    natsStatus s = kvStore_Get(&e, kv, StreamNames::leaseKey);
    if (s == NATS_NOT_FOUND) {
        lost();
        return std::nullopt;
    }
    if (s != NATS_OK)
        throw NatsException("Fail to read lease " + bucket + " on the NATS servers [" +
                            link.servers() + "]: " + reason(s));
    std::string v = kvEntry_ValueString(e) != nullptr ? kvEntry_ValueString(e) : "";
    std::uint64_t rev = kvEntry_Revision(e);
    kvEntry_Destroy(e);
    // Someone else's value written after ours ends our hold; an older one is a replica behind.
    if (holding.load() && v != value() && rev > revision) lost();
    Holder h;
    std::size_t blank = v.rfind(' ');
    h.gateway = v.substr(0, blank);
    if (blank != std::string::npos) {
        try {
            h.since = static_cast<std::time_t>(std::stoll(v.substr(blank + 1)));
        } catch (const std::exception&) {
            h.gateway = v;  // not ours to read: named whole, since unknown
        }
    }
    return h;
}
