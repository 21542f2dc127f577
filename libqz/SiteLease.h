// SiteLease: the lease that makes one of a site's two gateways the active one, held as key
// "active" of the site's key-value bucket (StreamNames::leaseBucket) on the JetStream cluster.
// The bucket's age limit is the lease's lifetime: a holder that stops renewing loses it when
// its value ages out, and the other gateway's create succeeds then.
//
// take() creates the key (refused while it exists), renew() rewrites it naming the revision
// last seen (refused once anyone else wrote it), release() deletes it naming that revision too,
// so no gateway ever removes a lease it no longer holds. Every write names the bucket's last
// sequence, not the key's: a cluster of three checked the key's against stored writes only and
// let two gateways take a released lease at once. The value is "<gateway> <since>",
// since in epoch seconds. A request that gets no answer settles nothing: the key is read back,
// and only a definite answer (absent, or another value) ends held().
// fresh() is what the active acts on: the last confirmed write is younger than half the
// lifetime, measured on the steady clock from before its request left, so a lease that fresh()
// vouches for cannot have aged out on the servers yet.
//
// Thread contract: take/renew/release/holder on one thread (the standby's); held(), fresh(),
// since(), lifetimeMs() and fault() from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>

#include "NatsLink.h"

typedef struct __kvStore kvStore;

class SiteLease {
  public:
    struct Holder {
        std::string gateway;
        std::time_t since = 0;
    };

    // Binds the site's bucket. Throws NatsException naming the bucket and "streammake <site> -l
    // seconds" when it is missing or has no lifetime, and when the servers do not answer.
    SiteLease(NatsLink& link, const std::string& site, const std::string& gateway);
    ~SiteLease();
    SiteLease(const SiteLease&) = delete;
    SiteLease& operator=(const SiteLease&) = delete;

    // The bucket's lifetime (its age limit), in milliseconds.
    long lifetimeMs() const { return lifetime; }
    // Creates the key with our value; true when the lease is ours now (also when we held it
    // already and renewing it worked).
    bool take();
    // Rewrites our value naming the revision last seen; false when the lease is not ours any
    // more, or the servers did not confirm (then held() stays true until a definite answer says
    // the key is absent or someone else's).
    bool renew();
    // Deletes the key while we hold it (naming our revision); held() is false afterwards.
    // Never throws.
    void release();
    bool held() const { return holding.load(); }
    bool fresh() const;
    // When we took it (epoch seconds); 0 when not held.
    std::time_t since() const { return holding.load() ? sinceAt.load() : 0; }
    // The value now; none when the key is absent (never taken, lapsed or released). An answer
    // naming another holder (or none) ends our held(). Throws NatsException when the servers do
    // not answer.
    std::optional<Holder> holder();
    // The latest failure, for console lines; empty when none.
    std::string fault() const;

  private:
    // After a write that was not confirmed: reads the key and decides. True when it holds our
    // value and a rewrite naming its revision was confirmed.
    bool settle(std::int64_t startedNs);
    bool rewrite(std::int64_t startedNs);
    enum class Written { Stored, Refused, Unanswered };
    // Writes our value (or with erase, a delete) stored only while the bucket's last sequence
    // is expectLast; rev gets its sequence, why the failure.
    Written write(bool erase, std::uint64_t expectLast, std::uint64_t& rev, std::string& why);
    // The bucket's last sequence (kept when values age out); false when the servers do not
    // answer.
    bool streamLast(std::uint64_t& last);
    // The bucket's write `seq` leaves the lease free: a delete, or aged out. False also when
    // the servers do not answer.
    bool freeAt(std::uint64_t seq);
    void confirmed(std::uint64_t revision, std::int64_t startedNs);
    void lost();
    void failed(const std::string& what);
    std::string value() const;

    NatsLink& link;
    std::string bucket, site, gateway;
    long lifetime = 0;
    jsCtx* js = nullptr;
    kvStore* kv = nullptr;
    // Written by the owning thread only.
    std::uint64_t revision = 0;
    mutable std::mutex faultLock;
    std::string lastFault;
    std::atomic<bool> holding{false};
    std::atomic<std::time_t> sinceAt{0};
    // Steady clock (ns) when the request of the last confirmed write left.
    std::atomic<std::int64_t> confirmedAt{0};
};
