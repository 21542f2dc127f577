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
    if (holding.load()) return renew();
    sinceAt.store(std::time(nullptr));
    std::int64_t started = steadyNow();
    std::uint64_t rev = 0;
    natsStatus s = kvStore_CreateString(&rev, kv, StreamNames::leaseKey, value().c_str());
    if (s == NATS_OK) {
        confirmed(rev, started);
        return true;
    }
    failed("Fail to take lease " + bucket + ": " + reason(s));
    // Our create may have been stored with its answer lost: then the key holds our value.
    return settle(started);
}

bool SiteLease::renew() {
    if (!holding.load()) return false;
    std::int64_t started = steadyNow();
    if (rewrite(started)) return true;
    return settle(started);
}

bool SiteLease::rewrite(std::int64_t startedNs) {
    std::uint64_t rev = 0;
    natsStatus s = kvStore_UpdateString(&rev, kv, StreamNames::leaseKey, value().c_str(), revision);
    if (s == NATS_OK) {
        confirmed(rev, startedNs);
        return true;
    }
    failed("Fail to renew lease " + bucket + ": " + reason(s));
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
    std::string subject = "$KV." + bucket + "." + StreamNames::leaseKey;
    std::string expected = std::to_string(revision);
    lost();
    natsMsg* m = nullptr;
    if (natsMsg_Create(&m, subject.c_str(), nullptr, nullptr, 0) != NATS_OK) return;
    natsMsgHeader_Set(m, "KV-Operation", "DEL");
    natsMsgHeader_Set(m, "Nats-Expected-Last-Subject-Sequence", expected.c_str());
    jsPubAck* pa = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus s = js_PublishMsg(&pa, js, m, nullptr, &code);
    if (s != NATS_OK) failed("Fail to release lease " + bucket + ": " + reason(s));
    jsPubAck_Destroy(pa);
    natsMsg_Destroy(m);
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
