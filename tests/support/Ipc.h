// Private System V names for tests, removed again whatever the outcome. Each IpcNames hands out
// names no other test process can hold (derived from the pid and a counter), removes any stale
// table or queue left under them by an earlier crashed run, and in its destructor removes every
// table and queue existing under each name it handed out (a name serves for both kinds at once).
//
//   IpcNames ipc;
//   std::string table = ipc.name();     // all-digit: "52736001" is key 52736001
//   Shm shm(table);                     // removed when ipc goes out of scope
//
// Thread contract: one object per test; not shared between threads.
#pragma once

#include <string>
#include <vector>

class IpcNames {
  public:
    IpcNames() = default;
    ~IpcNames();
    IpcNames(const IpcNames&) = delete;
    IpcNames& operator=(const IpcNames&) = delete;

    // A fresh all-digit name (a decimal key below 0x40000000).
    std::string name();
    // A fresh name of four characters that are not all digits (a packed key at or above
    // 0x41000000, so it never meets a digit name).
    std::string alphaName();
    // Adopts a name made elsewhere, so it is removed at the end as well.
    void adopt(const std::string& name);

    // Removes whatever table / queue exists under the name (a table with its sites' lock set);
    // true when something was removed.
    static bool removeTable(const std::string& name);
    static bool removeQueue(const std::string& name);
    static bool tableExists(const std::string& name);
    static bool queueExists(const std::string& name);

  private:
    std::vector<std::string> names;
};
