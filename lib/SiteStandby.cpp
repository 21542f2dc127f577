#include "SiteStandby.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "Converter.h"
#include "LeaseState.h"
#include "Log.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Seconds between rewrites of the lease state file while nothing changes.
constexpr int stateRefresh = 5;

}  // namespace

std::string SiteStandby::nameOf(const std::string& given) {
    std::string name = given;
    if (name.empty()) {
        char host[256] = "";
        if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "gateway";
        name = host;
    }
    bool usable = name.size() <= 200;
    for (unsigned char c : name) usable = usable && c > ' ' && c < 0x7f;
    if (!usable)
        throw NatsException("Gateway name [" + name +
                            "] is not usable: up to 200 printable characters without blanks.");
    return name;
}

SiteStandby::SiteStandby(NatsLink& l, const std::string& siteName, const std::string& name,
                         std::function<void(const std::string&)> say)
    : link(l),
      site(siteName),
      gateway(name),
      console(std::move(say)),
      lease(l, siteName, name),
      writer(l, siteName),
      follower(siteName) {
    sent = follower.lastOrder();
    loggedSeq = follower.applied();
    writeState(true);
}

SiteStandby::~SiteStandby() {
    stop(releaseAtStop.load());
    if (joinable()) join();
}

void SiteStandby::stop(bool release) {
    releaseAtStop = release;
    stopping = true;
    wake.notify_all();
}

bool SiteStandby::mayAct() const {
    return isActive.load() && lease.fresh() && !writer.broken();
}

bool SiteStandby::waitActive(const std::function<bool()>& giveUp) {
    while (!mayAct()) {
        if (giveUp()) return false;
        std::this_thread::sleep_for(milliseconds(100));
    }
    return true;
}

void SiteStandby::Run() {
    while (!stopping.load()) {
        try {
            if (isActive.load()) {
                renewOrLose();
            } else {
                follow();
            }
        } catch (const std::exception& e) {
            // A file that cannot be written or servers that do not answer: said, then tried
            // again after a pause, never a spin.
            say("Site [" + site + "] standby: " + e.what());
            std::unique_lock<std::mutex> hold(sleepLock);
            wake.wait_for(hold, milliseconds(1000), [this] { return stopping.load(); });
        }
        writeState(false);
    }
    if (isActive.load() && releaseAtStop.load()) {
        isActive = false;
        lease.release();
        say("Site [" + site + "]: lease released by gateway " + gateway + ".");
    }
    role = Role::Standby;
    holderName.clear();
    holderSince = 0;
    writeState(true);
}

void SiteStandby::follow() {
    if (role == Role::Active) role = Role::Standby;
    if (!reader) reader = std::make_unique<StateReader>(link, site, follower.applied());
    long poll = std::clamp(lease.lifetimeMs() / 8, 50L, 250L);
    auto batch = reader->fetch(256, poll);
    for (const StateReader::Record& r : batch) {
        follower.apply(r);
        if (r.kind == "active") holderName = r.text;
    }
    if (!batch.empty()) {
        follower.save();
        sent = std::max(sent.load(), follower.lastOrder());
        loggedSeq = follower.applied();
    }
    // The lease is looked at every quarter lifetime, at least once a second.
    Clock::time_point now = Clock::now();
    if (now < nextTry && role != Role::Starting) return;
    nextTry = now + milliseconds(std::clamp(lease.lifetimeMs() / 4, 100L, 1000L));
    std::optional<SiteLease::Holder> h = lease.holder();
    if (h) {
        holderName = h->gateway;
        holderSince = h->since;
        if (role == Role::Starting) {
            role = Role::Standby;
            say("Site [" + site + "] is active on gateway " + h->gateway + "; gateway " + gateway +
                " stands by.");
        }
        return;
    }
    role = Role::Standby;
    if (lease.take()) takeOver();
}

bool SiteStandby::catchUp(std::uint64_t last, long ms) {
    Clock::time_point until = Clock::now() + milliseconds(ms);
    while (follower.applied() < last && Clock::now() < until && !stopping.load()) {
        for (const StateReader::Record& r : reader->fetch(256, 200)) follower.apply(r);
    }
    follower.save();
    sent = std::max(sent.load(), follower.lastOrder());
    return follower.applied() >= last;
}

bool SiteStandby::takeOver() {
    say("Site [" + site + "]: lease taken by gateway " + gateway +
        "; reading the state stream to its end.");
    for (int attempt = 0; attempt < 5 && lease.fresh() && !stopping.load(); ++attempt) {
        if (!reader) reader = std::make_unique<StateReader>(link, site, follower.applied());
        std::uint64_t last = reader->streamLast();
        if (!catchUp(last, lease.lifetimeMs() / 4)) continue;
        std::lock_guard<std::mutex> guard(writing);
        writer.begin(last);
        writer.add("active", gateway, {});
        if (!writer.confirm(confirmWaitMs)) {
            say("Site [" + site + "]: the state stream refused the takeover (" + writer.fault() +
                "); reading it again.");
            continue;
        }
        follower.advance(writer.lastStored(), 0);
        follower.save();
        follower.close();
        reader.reset();
        loggedSeq = writer.lastStored();
        pendingOrder = 0;
        holderName = gateway;
        holderSince = lease.since();
        role = Role::Active;
        isActive = true;
        say("Site [" + site + "] is active on gateway " + gateway + " from state record " +
            Converter::to_string(static_cast<long>(writer.lastStored())) +
            "; outbound texts go on after stream sequence " +
            Converter::to_string(static_cast<long>(sent.load())) + ".");
        writeState(true);
        return true;
    }
    // Not taken over: the lease goes back, so this gateway or the other tries again from the top.
    lease.release();
    say("Site [" + site + "]: takeover by gateway " + gateway + " failed; lease released.");
    return false;
}

void SiteStandby::renewOrLose() {
    {
        std::unique_lock<std::mutex> hold(sleepLock);
        wake.wait_for(hold, milliseconds(std::clamp(lease.lifetimeMs() / 4, 50L, 2000L)),
                      [this] { return stopping.load(); });
    }
    if (stopping.load()) return;
    if (!lease.renew() && !lease.held()) {
        becomeStandby("the lease was taken by another gateway");
        return;
    }
    if (writer.broken()) {
        // Still ours, but what the stream holds is not known: take the site over again from it.
        becomeStandby("the state stream did not store a record (" + writer.fault() + ")");
        if (lease.held()) takeOver();
    }
}

void SiteStandby::becomeStandby(const std::string& why) {
    std::lock_guard<std::mutex> guard(writing);
    isActive = false;
    role = Role::Standby;
    follower.advance(loggedSeq.load(), sent.load());
    follower.save();
    reader.reset();
    say("Site [" + site + "]: gateway " + gateway + " stops acting for the site: " + why + ".");
    writeState(true);
}

void SiteStandby::record(const std::string& kind, const std::string& text, int day,
                         std::uint64_t order, const std::string& period) {
    std::lock_guard<std::mutex> guard(writing);
    if (!isActive.load()) return;  // confirm() refuses
    StateWriter::Headers extra{{StateFollower::dayHeader, Converter::to_string(day)}};
    if (order > 0) {
        extra.emplace_back(StateFollower::orderHeader, std::to_string(order));
        pendingOrder = std::max(pendingOrder, order);
    }
    if (!period.empty()) extra.emplace_back(StateFollower::periodHeader, period);
    writer.add(kind, text, extra);
}

std::uint64_t SiteStandby::confirm() {
    std::lock_guard<std::mutex> guard(writing);
    if (!mayAct())
        throw LogException("Site [" + site + "]: gateway " + gateway +
                           " may not act for the site now (its lease is not confirmed)");
    if (!writer.confirm(confirmWaitMs))
        throw LogException("Site [" + site +
                           "]: the state stream did not store the records: " + writer.fault());
    if (!mayAct())
        throw LogException("Site [" + site + "]: gateway " + gateway +
                           " lost the lease while recording");
    sent = std::max(sent.load(), pendingOrder);
    return writer.lastStored();
}

void SiteStandby::logged(std::uint64_t seq) {
    if (seq > loggedSeq.load()) loggedSeq = seq;
}

void SiteStandby::writeState(bool force) {
    std::time_t now = std::time(nullptr);
    if (!force && now - stateAt < stateRefresh) return;
    stateAt = now;
    LeaseStatus status;
    status.role = role == Role::Active ? "active" : role == Role::Standby ? "standby" : "starting";
    status.holder = holderName;
    status.since = role == Role::Active ? lease.since() : holderSince;
    status.at = now;
    try {
        LeaseState::write(site, status);
    } catch (const LogException&) {
        // Only a display: the monitor keeps the older line.
    }
}
