#include "SiteLock.h"

#include <sys/ipc.h>
#include <sys/sem.h>

#include <cerrno>

#include "MemoryCell.h"

std::unique_ptr<SiteLock> SiteLock::take(key_t tableKey, int index) {
    // Linux creates a set with every semaphore at 0: free, and no one has to initialise it.
    int set = semget(tableKey, maxCells, IPC_CREAT | 0666);
    if (set < 0) return std::unique_ptr<SiteLock>(new SiteLock(-1, index));
    sembuf claim[2] = {{static_cast<unsigned short>(index), 0, IPC_NOWAIT},
                       {static_cast<unsigned short>(index), 1, SEM_UNDO}};
    int r;
    do {
        r = semop(set, claim, 2);
    } while (r != 0 && errno == EINTR);
    if (r == 0) return std::unique_ptr<SiteLock>(new SiteLock(set, index));
    if (errno == EAGAIN) return nullptr;
    return std::unique_ptr<SiteLock>(new SiteLock(-1, index));
}

SiteLock::~SiteLock() {
    if (semId < 0) return;
    sembuf release = {static_cast<unsigned short>(cell), -1,
                      static_cast<short>(SEM_UNDO | IPC_NOWAIT)};
    while (semop(semId, &release, 1) != 0 && errno == EINTR) {
    }
}
