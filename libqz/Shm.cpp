#include "Shm.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>

#include "Key.h"

namespace {
const char* const notFound = "Fail to find the target connection.";
}

Shm::Shm(const std::string& name) : Shm(name, IpcAccess()) {}

Shm::Shm(const std::string& name, const IpcAccess& access)
    : tableName(name), shm_id(-1), key(Key(name).get_ipc_key()), memory(nullptr) {
    open(name, access);
}

void Shm::open(const std::string& name, const IpcAccess& access) {
    const char* const createFailure = "Fail to create a share memory.";
    // Key 0 is IPC_PRIVATE: a fresh segment no other program could ever find by name.
    if (key == IPC_PRIVATE) throw ShmException(IpcAccess::failure(createFailure, name, EINVAL));
    // Create exclusively to know whether the segment is new; an existing one is opened without
    // asking for rights, so a process outside its group is told so where it attaches.
    bool created = false;
    for (int attempt = 0; attempt < 3 && shm_id < 0; ++attempt) {
        shm_id = shmget(key, tableSize, IPC_CREAT | IPC_EXCL | access.mode);
        created = shm_id >= 0;
        if (shm_id < 0 && errno == EEXIST) shm_id = shmget(key, tableSize, 0);
        // ENOENT: removed between the two calls; try again.
        if (shm_id < 0 && errno != ENOENT) break;
    }
    if (shm_id < 0) throw ShmException(IpcAccess::failure(createFailure, name, errno));
    if (created ? access.groupGiven : access.explicitly()) {
        struct shmid_ds ds {};
        bool set = shmctl(shm_id, IPC_STAT, &ds) == 0;
        if (set) {
            if (access.modeGiven) ds.shm_perm.mode = static_cast<mode_t>(access.mode);
            if (access.groupGiven) ds.shm_perm.gid = access.group;
            set = shmctl(shm_id, IPC_SET, &ds) == 0;
        }
        if (!set) {
            throw ShmException(
                IpcAccess::failure("Fail to set the access of the shared memory", name, errno));
        }
    }
    void* address = shmat(shm_id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        throw ShmException(IpcAccess::failure("Fail to attach the shared memory", name, errno));
    }
    memory = static_cast<MemoryCell*>(address);
}

int Shm::findName(const std::string& name) const {
    // No cell can hold more than 16 characters, and the C text ends at its first NUL.
    const char* text = name.c_str();
    size_t length = std::strlen(text);
    if (length > static_cast<size_t>(maxSiteName)) return -1;
    for (int i = 0; i < maxCells; ++i) {
        const char* cellName = memory[i].name;
        if (std::strncmp(cellName, text, length) == 0 && cellName[length] == '\0') {
            return i;
        }
    }
    return -1;
}

MemoryCell* Shm::registerName(const std::string& name) {
    std::string site = name.substr(0, maxSiteName);
    int index = findName(site);
    if (index >= 0) return &memory[index];
    for (int i = 0; i < maxCells; ++i) {
        if (memory[i].name[0] == '\0') {
            std::memset(memory[i].name, 0, sizeof(memory[i].name));
            std::memcpy(memory[i].name, site.c_str(), std::strlen(site.c_str()));
            return &memory[i];
        }
    }
    throw ShmException("Fail to register the site: the site table is full.");
}

MemoryCell* Shm::getCell(int index) {
    if (index < 0 || index >= maxCells) throw ShmException(notFound);
    return &memory[index];
}

MemoryCell* Shm::getCell(const std::string& name) {
    return &memory[getCellId(name)];
}

int Shm::getCellId(const std::string& name) {
    int index = findName(name);
    if (index < 0) throw ShmException(notFound);
    return index;
}

void Shm::clearCell(int index) {
    std::memset(getCell(index), 0, sizeof(MemoryCell));
}

void Shm::clear() {
    std::memset(memory, 0, tableSize);
}
