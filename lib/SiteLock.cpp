#include "SiteLock.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <cerrno>

#include "IpcAccess.h"
#include "MemoryCell.h"
#include "Shm.h"

namespace {

union SemArg {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

// The lock set of the table, made with the table's own mode and group so that whoever may use
// the table may use its locks; -1 with errno set when the system refuses.
int lockSet(const Shm& table) {
    struct shmid_ds tableDs {};
    bool known = shmctl(table.getId(), IPC_STAT, &tableDs) == 0;
    int mode = known ? static_cast<int>(tableDs.shm_perm.mode & 0777) : IpcAccess::defaultMode;
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Linux creates a set with every semaphore at 0: free, and no one has to initialise it.
        int set = semget(table.getKey(), maxCells, IPC_CREAT | IPC_EXCL | mode);
        if (set >= 0) {
            struct semid_ds ds {};
            SemArg arg;
            arg.buf = &ds;
            if (known && semctl(set, 0, IPC_STAT, arg) == 0 &&
                ds.sem_perm.gid != tableDs.shm_perm.gid) {
                ds.sem_perm.gid = tableDs.shm_perm.gid;
                // Should the system refuse, the set stays in this process's group.
                semctl(set, 0, IPC_SET, arg);
            }
            return set;
        }
        if (errno != EEXIST) return -1;
        // Asks for read and write, so a process outside the set's group is refused here.
        set = semget(table.getKey(), maxCells, IpcAccess::defaultMode);
        if (set >= 0 || errno != ENOENT) return set;
    }
    return -1;
}

}  // namespace

std::unique_ptr<SiteLock> SiteLock::take(const Shm& table, int index) {
    int error = 0;
    // A set removed between finding it and taking the lock is made again; bounded.
    for (int attempt = 0; attempt < 3; ++attempt) {
        int set = lockSet(table);
        if (set < 0) {
            error = errno;
            break;
        }
        sembuf claim[2] = {{static_cast<unsigned short>(index), 0, IPC_NOWAIT},
                           {static_cast<unsigned short>(index), 1, SEM_UNDO}};
        int r;
        do {
            r = semop(set, claim, 2);
        } while (r != 0 && errno == EINTR);
        if (r == 0) return std::unique_ptr<SiteLock>(new SiteLock(set, index));
        if (errno == EAGAIN) return nullptr;
        error = errno;
        if (error != EIDRM && error != EINVAL) break;
    }
    throw ShmException(
        IpcAccess::failure("Fail to open the site locks of the table", table.getName(), error));
}

SiteLock::~SiteLock() {
    sembuf release = {static_cast<unsigned short>(cell), -1,
                      static_cast<short>(SEM_UNDO | IPC_NOWAIT)};
    while (semop(semId, &release, 1) != 0 && errno == EINTR) {
    }
}
