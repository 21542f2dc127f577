// Runs a whole initiator session over a socketpair against arbitrary inbound traffic: the peer
// answers the Logon, then sends the fuzzer's messages and closes. The session must end, and
// everything it sent must be well framed, addressed to the counterparty, and numbered so that no
// new message reuses a number (resends carry PossDupFlag Y, gap fills are SequenceResets).
//
// Every descriptor a session opens is closed when it ends: every few hundred runs the process's
// descriptors are counted, and a count that grows past a small margin over the first is a crash.
//
// Input: one message per line. A line is a body with '|' for SOH ("35=0|49=BRK|56=DESK|34=2|"),
// framed with a correct BodyLength and CheckSum; a line starting with '!' goes out as raw bytes.
#include <dirent.h>
#include <signal.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "Common.h"
#include "FixClient.h"
#include "MsgQueue.h"
#include "Mutex.h"
#include "Shm.h"
#include "Socket.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

const std::string siteName = "BRK";
std::string workDir;
std::string tableName;
std::string outName;
std::string inName;
std::unique_ptr<Shm> table;
std::unique_ptr<MsgQueue> outQueue;
Mutex queueLock;

std::string bars(std::string text) {
    for (char& c : text)
        if (c == '|') c = soh;
    return text;
}

std::string checksum(const std::string& bytes) {
    unsigned sum = 0;
    for (char c : bytes) sum += static_cast<unsigned char>(c);
    char digits[4];
    std::snprintf(digits, sizeof digits, "%03u", sum % 256);
    return digits;
}

std::string frame(const std::string& body) {
    std::string m =
        "8=FIX.4.2\x01"
        "9=" +
        std::to_string(body.size()) + "\x01" + body;
    return m + "10=" + checksum(m) + "\x01";
}

std::string field(const std::string& m, const std::string& tag) {
    std::string key = "\x01" + tag + "=";
    std::size_t at = m.find(key);
    if (at == std::string::npos) return "";
    at += key.size();
    return m.substr(at, m.find('\x01', at) - at);
}

// Names no test or other fuzzer holds: all-digit keys 0x7E000000 and up, from the pid.
std::string ipcName(unsigned k) {
    unsigned key = 0x7E000000u | ((static_cast<unsigned>(getpid()) & 0x3FFFFFu) << 2) | k;
    return std::to_string(key);
}

void removeQueue(const std::string& name) {
    int id = msgget(static_cast<key_t>(std::stoul(name)), 0);
    if (id >= 0) msgctl(id, IPC_RMID, nullptr);
}

// The site locks the session made under the table's key.
void removeLocks(const std::string& name) {
    int id = semget(static_cast<key_t>(std::stoul(name)), 0, 0);
    if (id >= 0) semctl(id, 0, IPC_RMID);
}

// A run that crashed could not remove its queues and locks: those of fuzz processes no longer
// alive go.
void removeStaleQueues() {
    for (const char* kind : {"msg", "sem"}) {
        std::ifstream list(std::string("/proc/sysvipc/") + kind);
        std::string header;
        std::getline(list, header);
        long key = 0;
        int id = 0;
        std::string rest;
        while (list >> key >> id && std::getline(list, rest)) {
            unsigned k = static_cast<unsigned>(key);
            if ((k & 0xFF000000u) != 0x7E000000u) continue;
            unsigned pid = (k & 0x00FFFFFFu) >> 2;
            if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
            if (kind[0] == 'm') {
                msgctl(id, IPC_RMID, nullptr);
            } else {
                semctl(id, 0, IPC_RMID);
            }
        }
    }
}

void clearLogs() {
    std::string logs = workDir + "/logs";
    if (DIR* dir = opendir(logs.c_str())) {
        while (dirent* e = readdir(dir)) {
            if (e->d_name[0] != '.') unlink((logs + "/" + e->d_name).c_str());
        }
        closedir(dir);
    }
}

// The process's open descriptors, the one reading them included.
int openDescriptors() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

// Runs between counts, and the growth allowed over the first count (libFuzzer's own files).
constexpr int descriptorCheckEvery = 500;
constexpr int descriptorMargin = 8;

void checkDescriptors() {
    static long runs = 0;
    static int first = -1;
    if (++runs % descriptorCheckEvery != 0) return;
    int now = openDescriptors();
    if (first < 0) first = now;
    if (now > first + descriptorMargin) {
        std::fprintf(stderr, "descriptors grew from %d to %d in %ld runs\n", first, now, runs);
        std::abort();
    }
}

// Checks the whole outbound stream the peer received.
void checkOutbound(const std::string& stream) {
    std::size_t pos = 0;
    long highest = 0;
    while (pos < stream.size()) {
        std::size_t lengthEnd = stream.find('\x01', pos + 12);
        require(stream.compare(pos, 12,
                               "8=FIX.4.2\x01"
                               "9=") == 0 &&
                lengthEnd != std::string::npos);
        std::size_t total = lengthEnd + 1 - pos + std::stoul(stream.substr(pos + 12)) + 7;
        require(pos + total <= stream.size());
        std::string m = stream.substr(pos, total);
        pos += total;
        std::size_t trailer = m.size() - 7;
        require(m.compare(trailer - 1, 4,
                          "\x01"
                          "10=") == 0 &&
                m.back() == soh);
        require(m.substr(trailer + 3, 3) == checksum(m.substr(0, trailer)));
        require(field(m, "49") == "DESK" && field(m, "56") == siteName);
        long seq = std::stol(field(m, "34"));
        // A new message must carry a number above every number the counterparty has seen.
        if (field(m, "43") != "Y" && field(m, "35") != "4") require(seq > highest);
        highest = std::max(highest, seq);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/fixgate-sessionfuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    workDir = dir;
    if (chdir(dir) != 0 || mkdir("cfg", 0700) != 0 || mkdir("logs", 0700) != 0) std::abort();
    setenv("FIXHOME", dir, 1);
    fix_init_env();
    std::ofstream("cfg/" + siteName + ".fix") << "~ {8=FIX.4.2,9=,35=,49=DESK,56=BRK,34=,52=}\n"
                                                 "A {98=0,108=30}\n0 {}\n1 {112=}\n2 {}\n"
                                                 "4 {123=Y}\n5 {58=}\n";
    // The session's console goes to standard output; libFuzzer reports on standard error.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();

    removeStaleQueues();
    tableName = ipcName(0);
    outName = ipcName(1);
    inName = ipcName(2);
    table = std::make_unique<Shm>(tableName);
    table->registerName(siteName);
    // Marked for removal now, the segment stays attached until the process ends, however it ends.
    shmctl(table->getId(), IPC_RMID, nullptr);
    outQueue = std::make_unique<MsgQueue>(outName, 0, IPC_CREAT);
    MsgQueue input(inName, 0, IPC_CREAT);
    std::atexit([] {
        removeQueue(outName);
        removeQueue(inName);
        removeLocks(tableName);
        clearLogs();
        rmdir((workDir + "/logs").c_str());
        unlink((workDir + "/cfg/" + siteName + ".fix").c_str());
        rmdir((workDir + "/cfg").c_str());
        rmdir(workDir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string traffic = frame(bars("35=A|49=BRK|56=DESK|34=1|52=20260101-00:00:00|98=0|108=30|"));
    std::string text(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line[0] == '!')
            traffic += bars(line.substr(1));
        else if (!line.empty())
            traffic += frame(bars(line));
        start = end + 1;
    }
    // The queue holds the application messages of one run at most.
    if (traffic.size() > 12000) return 0;

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    require(write(fds[1], traffic.data(), traffic.size()) == static_cast<ssize_t>(traffic.size()));
    shutdown(fds[1], SHUT_WR);
    std::string received;
    std::thread peer([&] {
        char buf[4096];
        for (ssize_t n; (n = read(fds[1], buf, sizeof buf)) > 0;) received.append(buf, n);
    });

    clearLogs();
    MemoryCell* cell = table->getCell(siteName);
    cell->status = ' ';
    {
        Socket gateway(fds[0]);
        std::string site = siteName;
        FixClient client(gateway, site);
        client.Setup(*table, queueLock, &*outQueue, inName);
        client.Client();
    }
    require(cell->status == status_Shutdown);
    close(fds[0]);
    peer.join();
    close(fds[1]);
    while (!outQueue->read(0, NoWaitMode).empty()) {
    }
    checkOutbound(received);
    checkDescriptors();
    return 0;
}
