#include "Ipc.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "Key.h"

namespace {
std::atomic<unsigned> counter{0};
}

IpcNames::~IpcNames() {
    for (const std::string& n : names) {
        removeTable(n);
        removeQueue(n);
    }
}

std::string IpcNames::name() {
    // pid below 2^22 and an 8-bit counter give keys below 2^30, unique among live processes.
    uint32_t pid = static_cast<uint32_t>(getpid()) & 0x3FFFFF;
    uint32_t key = (pid << 8) | (counter++ & 0xFF);
    if (key == 0) key = (pid << 8) | (counter++ & 0xFF);
    std::string n = std::to_string(key);
    adopt(n);
    return n;
}

std::string IpcNames::alphaName() {
    static const char first[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    static const char rest[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._";
    uint64_t value = (static_cast<uint64_t>(getpid()) << 4) | (counter++ & 0xF);
    std::string n;
    n += first[value % 52];
    value /= 52;
    for (int i = 0; i < 3; ++i) {
        n += rest[value % 64];
        value /= 64;
    }
    adopt(n);
    return n;
}

void IpcNames::adopt(const std::string& n) {
    removeTable(n);
    removeQueue(n);
    names.push_back(n);
}

bool IpcNames::removeTable(const std::string& n) {
    // The gateways' site locks live in a semaphore set under the table's key.
    int locks = semget(Key(n).get_ipc_key(), 0, 0);
    if (locks >= 0) semctl(locks, 0, IPC_RMID);
    int id = shmget(Key(n).get_ipc_key(), 0, 0);
    return id >= 0 && shmctl(id, IPC_RMID, nullptr) == 0;
}

bool IpcNames::removeQueue(const std::string& n) {
    int id = msgget(Key(n).get_ipc_key(), 0);
    return id >= 0 && msgctl(id, IPC_RMID, nullptr) == 0;
}

bool IpcNames::tableExists(const std::string& n) {
    return shmget(Key(n).get_ipc_key(), 0, 0) >= 0;
}

bool IpcNames::queueExists(const std::string& n) {
    return msgget(Key(n).get_ipc_key(), 0) >= 0;
}
