// Framing throughput of Comm::recv over a loopback TCP connection carrying 200-byte messages, and
// the cost of Log::write (append + flush) per message.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Comm.h"
#include "Log.h"
#include "ServerSocket.h"
#include "Socket.h"

namespace {

// A FIX.4.2 message of exactly 200 bytes with a correct BodyLength and CheckSum.
std::string message200() {
    // 8=FIX.4.2 SOH 9=nnn SOH = 16 bytes, trailer 7 bytes: the body takes 177 bytes.
    std::string body =
        "35=8\x01"
        "49=SELLSIDE\x01"
        "56=BUYSIDE\x01"
        "34=1\x01"
        "52=20260307-10:00:00\x01"
        "58=";
    body += std::string(177 - body.size() - 1, 'x') + "\x01";
    std::string m =
        "8=FIX.4.2\x01"
        "9=" +
        std::to_string(body.size()) + "\x01" + body;
    unsigned sum = 0;
    for (unsigned char c : m) sum += c;
    char trailer[8];
    std::snprintf(trailer, sizeof(trailer), "10=%03u", sum % 256);
    return m + trailer + "\x01";
}

struct Loopback {
    Loopback() {
        ServerSocket listener(0, 1);
        near = Socket(std::string("127.0.0.1"), listener.getLocalPort());
        far = Socket(listener.accept());
        listener.closeOff();
        near.setBlockingMode(Socket::nonBlock);
    }
    ~Loopback() {
        near.closeOff();
        far.closeOff();
    }
    Socket near{-1};
    Socket far{-1};
};

// The writer keeps the socket filled from the same thread: whenever recv() finds nothing, a batch
// of 64 messages (12800 bytes) is written, so each batch costs a few reads and 64 framings.
// Argument 1: with resync (the standard rules), where each frame's trailer is also checked.
void BM_CommRecvFraming(benchmark::State& state) {
    Loopback link;
    Comm comm(link.near);
    comm.setResync(state.range(0) != 0);
    const std::string one = message200();
    if (one.size() != 200) state.SkipWithError("message is not 200 bytes");
    std::string batch;
    for (int i = 0; i < 64; ++i) batch += one;
    long messages = 0;
    for (auto _ : state) {
        std::string m = comm.recv();
        if (m.empty()) {
            if (comm.isBroken() || comm.isClosed()) {
                state.SkipWithError("stream ended");
                break;
            }
            if (::send(link.far.getSocket(), batch.data(), batch.size(), MSG_NOSIGNAL) < 0) {
                state.SkipWithError("send failed");
                break;
            }
            continue;
        }
        ++messages;
        benchmark::DoNotOptimize(m);
    }
    state.counters["msgs_per_s"] =
        benchmark::Counter(static_cast<double>(messages), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(messages * 200);
}
BENCHMARK(BM_CommRecvFraming)->Arg(0)->Arg(1)->UseRealTime();

void BM_LogWrite(benchmark::State& state) {
    char dir[] = "/tmp/fixlogbench.XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string path = std::string(dir) + "/BRK1.out.20260307";
    const std::string one = message200();
    {
        Log log;
        log.openLog(path);
        for (auto _ : state) log.write(one);
    }
    state.counters["msgs_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    std::remove(path.c_str());
    ::rmdir(dir);
}
BENCHMARK(BM_LogWrite)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
