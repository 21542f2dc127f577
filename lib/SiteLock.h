// SiteLock: marks one site of a site table as served by a live session, for every process on the
// machine, whichever FIXHOME each runs with. The journal's lock already keeps two sessions that
// share a FIXHOME apart; this one also stops a session whose journal lives elsewhere (an acceptor
// and an initiator started in different folders on one table) from writing the cell of a site
// that is live in another process.
//
// The locks of a table are a System V semaphore set under the table's own key, one semaphore per
// cell: 0 free, 1 held. Taking one is a single atomic "if 0, add 1" with SEM_UNDO, so the kernel
// lets go of it when the holder ends, however it ends. The set lives as long as the table does;
// removing the table with ipcrm -M should go with ipcrm -S on the same key. A new set takes the
// table's own mode and group, so whoever may use the table may use its locks.
// Thread contract: one session thread owns the object.
#pragma once

#include <memory>

class Shm;

class SiteLock {
  public:
    // The lock of cell `index` of the table, or nullptr when another session holds it. A lock set
    // the system refuses (no rights to it, none left to make, a set of another size under the
    // key) throws ShmException "Fail to open the site locks of the table [name]: <reason>", so no
    // session starts unguarded.
    static std::unique_ptr<SiteLock> take(const Shm& table, int index);
    ~SiteLock();
    SiteLock(const SiteLock&) = delete;
    SiteLock& operator=(const SiteLock&) = delete;

  private:
    SiteLock(int set, int index) : semId(set), cell(index) {}

    int semId;
    int cell;
};
