#include "NatsLink.h"

#include <nats/nats.h>

#include <cstdlib>
#include <vector>

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v == nullptr ? std::string() : std::string(v);
}

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at <= list.size()) {
        std::size_t comma = list.find(',', at);
        if (comma == std::string::npos) comma = list.size();
        if (comma > at) out.push_back(list.substr(at, comma - at));
        at = comma + 1;
    }
    return out;
}

// What went wrong, with the library's detail when it has one.
std::string reason(natsStatus s) {
    // The library leaves an older error in place when it sets none: only one of this status.
    natsStatus lastStatus = NATS_OK;
    const char* last = nats_GetLastError(&lastStatus);
    std::string text = natsStatus_GetText(s);
    if (last != nullptr && *last != '\0' && lastStatus == s && text != last)
        text += " (" + std::string(last) + ")";
    return text;
}

// A subject a stream takes covers `subject`: equal, or matching its '*' and '>' tokens.
bool covers(const std::string& pattern, const std::string& subject) {
    std::size_t p = 0, s = 0;
    for (;;) {
        std::size_t pe = pattern.find('.', p), se = subject.find('.', s);
        std::string pt = pattern.substr(p, pe == std::string::npos ? pe : pe - p);
        std::string st = subject.substr(s, se == std::string::npos ? se : se - s);
        if (pt == ">") return true;
        if (pt != "*" && pt != st) return false;
        if (pe == std::string::npos || se == std::string::npos) return pe == se;
        p = pe + 1;
        s = se + 1;
    }
}

}  // namespace

NatsLink::Settings NatsLink::Settings::fromEnvironment() {
    Settings s;
    s.servers = env("FIXGATE_NATS_SERVERS");
    s.creds = env("FIXGATE_NATS_CREDS");
    s.caFile = env("FIXGATE_NATS_CA");
    s.certFile = env("FIXGATE_NATS_CERT");
    s.keyFile = env("FIXGATE_NATS_KEY");
    return s;
}

NatsLink::Settings NatsLink::Settings::withServers(const std::string& servers) {
    Settings s = fromEnvironment();
    if (!servers.empty()) s.servers = servers;
    return s;
}

NatsLink::NatsLink(const Settings& settings, const std::string& name)
    : serverList(settings.servers) {
    if (serverList.empty())
        throw NatsException("No NATS servers named: give -j or FIXGATE_NATS_SERVERS");
    const std::string failure = "Fail to reach the NATS servers [" + serverList + "]: ";
    std::vector<std::string> urls = split(serverList);
    std::vector<const char*> list;
    for (const std::string& u : urls) list.push_back(u.c_str());

    natsOptions* opts = nullptr;
    natsStatus s = natsOptions_Create(&opts);
    if (s == NATS_OK) s = natsOptions_SetServers(opts, list.data(), static_cast<int>(list.size()));
    if (s == NATS_OK) s = natsOptions_SetName(opts, name.c_str());
    // For ever, a quarter of a second between rounds: a cluster that comes back is used at once.
    if (s == NATS_OK) s = natsOptions_SetMaxReconnect(opts, -1);
    if (s == NATS_OK) s = natsOptions_SetReconnectWait(opts, 250);
    if (s == NATS_OK) s = natsOptions_SetTimeout(opts, 2000);
    // A server that stops answering without closing is given up within a few seconds.
    if (s == NATS_OK) s = natsOptions_SetPingInterval(opts, 2000);
    if (s == NATS_OK) s = natsOptions_SetMaxPingsOut(opts, 2);
    // Requests made while the link is down fail at once instead of waiting their whole time.
    if (s == NATS_OK) s = natsOptions_SetFailRequestsOnDisconnect(opts, true);
    // Written at once rather than gathered for the library's flusher, which waits about a
    // millisecond: a pull request or a publish each stood that long in every hop of a round trip.
    if (s == NATS_OK) s = natsOptions_SetSendAsap(opts, true);
    if (s == NATS_OK && !settings.creds.empty())
        s = natsOptions_SetUserCredentialsFromFiles(opts, settings.creds.c_str(), nullptr);
    if (s == NATS_OK && !settings.caFile.empty()) {
        s = natsOptions_SetSecure(opts, true);
        if (s == NATS_OK) s = natsOptions_LoadCATrustedCertificates(opts, settings.caFile.c_str());
    }
    if (s == NATS_OK && !settings.certFile.empty())
        s = natsOptions_LoadCertificatesChain(opts, settings.certFile.c_str(),
                                              settings.keyFile.c_str());
    if (s == NATS_OK) s = natsConnection_Connect(&nc, opts);
    natsOptions_Destroy(opts);
    if (s != NATS_OK) {
        std::string why = reason(s);
        natsConnection_Destroy(nc);
        nc = nullptr;
        throw NatsException(failure + why);
    }
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.Wait = 5000;
    s = natsConnection_JetStream(&js, nc, &jo);
    if (s != NATS_OK) {
        natsConnection_Destroy(nc);
        nc = nullptr;
        throw NatsException(failure + reason(s));
    }
}

NatsLink::~NatsLink() {
    jsCtx_Destroy(js);
    natsConnection_Destroy(nc);
}

const char* NatsLink::state() const {
    switch (natsConnection_Status(nc)) {
        case NATS_CONN_STATUS_CONNECTED:
            return "connected";
        case NATS_CONN_STATUS_CLOSED:
            return "closed";
        default:
            return "reconnecting";
    }
}

bool NatsLink::connected() const {
    return natsConnection_Status(nc) == NATS_CONN_STATUS_CONNECTED;
}

void NatsLink::checkStream(const std::string& stream, const std::string& subject) {
    jsStreamInfo* si = nullptr;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    natsStatus s = js_GetStreamInfo(&si, js, stream.c_str(), nullptr, &jerr);
    if (s == NATS_NOT_FOUND || jerr == JSStreamNotFoundErr)
        throw NatsException("Stream " + stream + " does not exist on the NATS servers [" +
                            serverList + "]");
    if (s != NATS_OK)
        throw NatsException("Fail to ask the NATS servers [" + serverList + "] about stream " +
                            stream + ": " + reason(s));
    std::string taken;
    bool found = false;
    for (int i = 0; i < si->Config->SubjectsLen; ++i) {
        std::string one = si->Config->Subjects[i];
        taken += (taken.empty() ? "" : ", ") + one;
        found = found || covers(one, subject);
    }
    jsStreamInfo_Destroy(si);
    if (!found)
        throw NatsException("Stream " + stream + " does not take subject " + subject +
                            "; it takes " + (taken.empty() ? std::string("none") : taken));
}
