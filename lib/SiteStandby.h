// SiteStandby: one gateway's side of a site served by two gateways (FixConfig::standby), one
// active at a time. Its thread holds the site's lease (SiteLease) while active, renewing it every
// quarter lifetime; while standby it follows the site's state stream into this host's files
// (StateFollower) and takes the lease once it is free. Taking over: the stream read to its end,
// then an `active` record naming the sequence it expects last, so every later write of the old
// active fails (StateWriter), and only once that record is stored does this gateway act.
//
// While active, the site's session records through it every message before it goes on the wire
// or counts (record, then confirm), and may act only while mayAct(): the lease confirmed within
// half its lifetime and the writer unbroken. A writer that broke while the lease is still ours
// (a refused or unanswered publish) makes the thread take over again from what the stream holds;
// a lease another gateway took sends it back to following.
//
// The role is written to the lease state file (LeaseState) on every change and every few seconds.
// Thread contract: the owner starts and stops it; record/confirm/logged come from the site's
// session under its Outbox lock (one at a time); mayAct/active/sentOrder from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "NatsLink.h"
#include "SiteLease.h"
#include "StateFollower.h"
#include "StateReader.h"
#include "StateWriter.h"
#include "Thread.h"

class SiteStandby : public Thread {
  public:
    // Milliseconds a confirm waits for the stream at most.
    static constexpr long confirmWaitMs = 3000;

    // Binds the site's lease bucket and state stream. Throws NatsException when either is
    // missing or the servers do not answer.
    SiteStandby(NatsLink& link, const std::string& site, const std::string& gateway,
                std::function<void(const std::string&)> console);
    // Stops the thread (releasing a lease it holds).
    ~SiteStandby() override;

    // How the lease names this gateway: `given` (-g), or the host name when empty. Throws
    // NatsException for a name with a blank or a control character, which its value cannot carry.
    static std::string nameOf(const std::string& given);

    void Run() override;
    // Asks the thread to end; with `release`, a lease it holds is given up (a clean hand-over).
    void stop(bool release = true);

    // This gateway holds the lease, has taken the site over and may act for it now.
    bool mayAct() const;
    bool active() const { return isActive.load(); }
    // Waits until the site may be acted for, or giveUp() says true (asked every 100 ms).
    bool waitActive(const std::function<bool()>& giveUp);
    long lifetimeMs() const { return lease.lifetimeMs(); }
    const std::string& gatewayName() const { return gateway; }

    // Session side. Publishes a record of the site's state (see StateFollower for the kinds).
    void record(const std::string& kind, const std::string& text, int day, std::uint64_t order = 0,
                const std::string& period = std::string());
    // Waits for every record to be stored; throws LogException naming the site when this
    // gateway may not act (before or after) or the stream did not store them. Returns the last
    // stored sequence.
    std::uint64_t confirm();
    // The records up to `seq` are in this host's logs (the session wrote them itself).
    void logged(std::uint64_t seq);
    // The highest outbound stream sequence recorded as sent (followed or our own).
    std::uint64_t sentOrder() const { return sent.load(); }

  private:
    enum class Role { Starting, Standby, Active };
    // One round of following; the lease tried when it is time.
    void follow();
    // The stream read to its end, then our `active` record: true once it is stored.
    bool takeOver();
    // Reads and applies records until the follower has `last`; false when the time passed.
    bool catchUp(std::uint64_t last, long ms);
    void renewOrLose();
    void becomeStandby(const std::string& why);
    void writeState(bool force);
    void say(const std::string& line) {
        if (console) console(line);
    }

    NatsLink& link;
    std::string site, gateway;
    std::function<void(const std::string&)> console;
    SiteLease lease;
    StateWriter writer;
    StateFollower follower;
    std::unique_ptr<StateReader> reader;
    std::mutex writing;  // record/confirm against the thread's takeover
    std::atomic<bool> isActive{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> releaseAtStop{true};
    std::atomic<std::uint64_t> sent{0};
    std::atomic<std::uint64_t> loggedSeq{0};
    std::uint64_t pendingOrder = 0;
    Role role = Role::Starting;
    std::string holderName;
    std::time_t holderSince = 0;
    std::time_t stateAt = 0;
    // When following looks at the lease next.
    std::chrono::steady_clock::time_point nextTry{};
    std::mutex sleepLock;
    std::condition_variable wake;
};
