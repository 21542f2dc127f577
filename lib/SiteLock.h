// SiteLock: marks one site of one site table as served by a live session, for every process on
// the machine, whichever FIXHOME each runs with. The journal's lock already keeps two sessions
// sharing a FIXHOME apart; this one also stops a session whose journal lives elsewhere (an
// acceptor and an initiator started in different folders on one table) from writing the cell of
// a site that is live in another process.
//
// The lock is an flock on /dev/shm/fixgate.<table id>.<site>.lock, taken without waiting and let
// go when the object ends or its process dies; the file itself stays (it holds nothing).
// Thread contract: one session thread owns the object.
#pragma once

#include <memory>
#include <string>

class SiteLock {
  public:
    // The lock for site on the table with System V id tableId, or nullptr when another session
    // holds it. Where the lock file cannot be made at all, a lock that guards nothing is handed
    // out, so such a system falls back on the journal's lock alone.
    static std::unique_ptr<SiteLock> take(int tableId, const std::string& site);
    ~SiteLock();
    SiteLock(const SiteLock&) = delete;
    SiteLock& operator=(const SiteLock&) = delete;

  private:
    explicit SiteLock(int descriptor) : fd(descriptor) {}

    int fd;
};
