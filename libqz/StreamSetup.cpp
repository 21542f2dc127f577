#include "StreamSetup.h"

#include <nats/nats.h>

#include <algorithm>

namespace {

constexpr std::int64_t nanosPerSecond = 1000000000LL;

// What the servers said: the library keeps their description as its last error, after its own
// "(file.c:line): ". It leaves an older error in place when it sets none, hence the status check;
// then its own word for the status.
std::string refusal(const char* doing, const std::string& name, natsStatus s, jsErrCode code,
                    const char* what = "stream") {
    natsStatus last = NATS_OK;
    const char* text = nats_GetLastError(&last);
    std::string said = text != nullptr && last == s ? text : "";
    std::size_t place = said.find("): ");
    if (!said.empty() && said[0] == '(' && place != std::string::npos) said.erase(0, place + 3);
    std::string line = std::string("Fail to ") + doing + " " + what + " " + name + ": ";
    line += said.empty() ? natsStatus_GetText(s) : said;
    if (code != 0) line += " (error " + std::to_string(static_cast<int>(code)) + ")";
    return line;
}

}  // namespace

std::string StreamSetup::apply(NatsLink& link, const std::string& name, const std::string& subject,
                               const StreamSettings& wanted) {
    const char* subjects[] = {subject.c_str()};
    jsStreamConfig cfg;
    jsStreamConfig_Init(&cfg);
    cfg.Name = name.c_str();
    cfg.Subjects = subjects;
    cfg.SubjectsLen = 1;
    cfg.Storage = js_FileStorage;
    cfg.Replicas = wanted.replicas;
    cfg.Duplicates = static_cast<std::int64_t>(wanted.duplicateSeconds) * nanosPerSecond;
    // The library reads -1 as "no limit" for counts and 0 for the age.
    cfg.MaxMsgs = wanted.maxMessages > 0 ? wanted.maxMessages : -1;
    cfg.MaxBytes = wanted.maxBytes > 0 ? wanted.maxBytes : -1;
    cfg.MaxAge = wanted.maxAgeSeconds > 0
                     ? static_cast<std::int64_t>(wanted.maxAgeSeconds) * nanosPerSecond
                     : 0;

    // Asked first, since the servers answer a create with the same settings as a success and
    // the operator is told "created" for a stream that was there.
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus s = js_GetStreamInfo(&info, link.jetStream(), name.c_str(), nullptr, &code);
    bool exists = s == NATS_OK;
    if (exists) jsStreamInfo_Destroy(info);
    if (!exists && s != NATS_NOT_FOUND && code != JSStreamNotFoundErr)
        throw NatsException(refusal("look up", name, s, code));

    if (!exists) {
        info = nullptr;
        code = static_cast<jsErrCode>(0);
        s = js_AddStream(&info, link.jetStream(), &cfg, nullptr, &code);
        if (s == NATS_OK) {
            jsStreamInfo_Destroy(info);
            return "created";
        }
        // Another operator made it meanwhile: it takes these settings as an update.
        if (code != JSStreamNameExistErr) throw NatsException(refusal("make", name, s, code));
    }
    info = nullptr;
    code = static_cast<jsErrCode>(0);
    s = js_UpdateStream(&info, link.jetStream(), &cfg, nullptr, &code);
    if (s != NATS_OK) throw NatsException(refusal("update", name, s, code));
    jsStreamInfo_Destroy(info);
    return "updated";
}

std::string StreamSetup::applyLease(NatsLink& link, const std::string& name, long lifetimeSeconds,
                                    int replicas) {
    const std::int64_t lifetime = static_cast<std::int64_t>(lifetimeSeconds) * nanosPerSecond;
    // A bucket is the stream KV_<name>; the client library makes it but cannot change it.
    const std::string backing = "KV_" + name;
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus s = js_GetStreamInfo(&info, link.jetStream(), backing.c_str(), nullptr, &code);
    if (s != NATS_OK && s != NATS_NOT_FOUND && code != JSStreamNotFoundErr)
        throw NatsException(refusal("look up", name, s, code, "lease bucket"));
    if (s != NATS_OK) {
        kvConfig kc;
        kvConfig_Init(&kc);
        kc.Bucket = name.c_str();
        kc.History = 1;
        kc.TTL = lifetime;
        kc.StorageType = js_FileStorage;
        kc.Replicas = replicas;
        kvStore* kv = nullptr;
        s = js_CreateKeyValue(&kv, link.jetStream(), &kc);
        if (s != NATS_OK) throw NatsException(refusal("make", name, s, code, "lease bucket"));
        kvStore_Destroy(kv);
        return "created";
    }
    jsStreamConfig cfg = *info->Config;
    cfg.MaxAge = lifetime;
    cfg.Replicas = replicas;
    cfg.MaxMsgsPerSubject = 1;
    // As the client library makes it: two minutes, or the lifetime when shorter (the servers
    // refuse a de-duplication window longer than the age limit).
    cfg.Duplicates = std::min<std::int64_t>(120 * nanosPerSecond, lifetime);
    jsStreamInfo* updated = nullptr;
    code = static_cast<jsErrCode>(0);
    s = js_UpdateStream(&updated, link.jetStream(), &cfg, nullptr, &code);
    jsStreamInfo_Destroy(info);
    if (s != NATS_OK) throw NatsException(refusal("update", name, s, code, "lease bucket"));
    jsStreamInfo_Destroy(updated);
    return "updated";
}
