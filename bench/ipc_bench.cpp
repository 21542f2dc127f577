// Cost of the IPC wrappers against the raw system calls they wrap: a 200-byte text through a
// message queue (MsgQueue::write + read vs msgsnd + msgrcv), the same text taken through a journal
// slot as a dispatcher and its session take every outbound text, and messages through a Pipe.
#include <benchmark/benchmark.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "Journal.h"
#include "MsgQueue.h"
#include "Pipe.h"

namespace {

// A private queue for one benchmark, removed when it ends.
struct PrivateQueue {
    std::string name = std::to_string((static_cast<unsigned>(getpid()) << 8) | 0x5A);
    MsgQueue queue{name, 0, IPC_CREAT};
    ~PrivateQueue() { msgctl(queue.getId(), IPC_RMID, nullptr); }
};

const std::string order = [] {
    std::string text =
        "35=D\x01"
        "11=ORDER0001\x01"
        "55=IBM\x01"
        "54=1\x01"
        "38=100\x01";
    text.resize(200, 'x');
    return text;
}();

void BM_MsgQueueWriteRead(benchmark::State& state) {
    PrivateQueue q;
    for (auto _ : state) {
        q.queue.write(order, NoWaitMode, 1);
        std::string got = q.queue.read(0, NoWaitMode);
        benchmark::DoNotOptimize(got);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MsgQueueWriteRead);

void BM_RawMsgsndMsgrcv(benchmark::State& state) {
    PrivateQueue q;
    struct {
        long mtype;
        char mtext[4096];
    } buf;
    for (auto _ : state) {
        buf.mtype = 1;
        std::memcpy(buf.mtext, order.data(), order.size());
        msgsnd(q.queue.getId(), &buf, order.size(), IPC_NOWAIT);
        ssize_t n = msgrcv(q.queue.getId(), &buf, sizeof buf.mtext, 0, IPC_NOWAIT);
        std::string got(buf.mtext, n > 0 ? static_cast<size_t>(n) : 0);
        benchmark::DoNotOptimize(got);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawMsgsndMsgrcv);

// write, then acquire a slot of a file-backed journal, receive into it, read the text out, stamp
// and release: the queue round trip plus what the journal adds to each outbound text.
void BM_MsgQueueThroughJournal(benchmark::State& state) {
    PrivateQueue q;
    char path[] = "/tmp/ipc_bench_journal.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        state.SkipWithError("no temporary file");
        return;
    }
    close(fd);
    unlink(path);  // the journal creates it afresh
    {
        Journal journal(path);
        int seq = 0;
        for (auto _ : state) {
            q.queue.write(order, NoWaitMode, 1);
            int slot = journal.acquire();
            q.queue.receive(journal.buffer(slot), 0, NoWaitMode);
            std::string got = journal.text(slot);
            benchmark::DoNotOptimize(got);
            journal.stamp(slot, ++seq, 20261208);
            journal.release(slot);
        }
    }
    unlink(path);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MsgQueueThroughJournal);

// One writeMsg and one readMsg per message, both in this thread.
void BM_PipeWriteReadMsg(benchmark::State& state) {
    Pipe pipe;
    pipe.setBlockingMode(nonBlockMode);
    for (auto _ : state) {
        pipe.writeMsg(order);
        std::string got = pipe.readMsg();
        benchmark::DoNotOptimize(got);
    }
    state.SetItemsProcessed(state.iterations());
    pipe.close();
}
BENCHMARK(BM_PipeWriteReadMsg);

// Ten messages written, then read back: nine of ten come out of the buffer without a read.
void BM_PipeBatchOfTen(benchmark::State& state) {
    Pipe pipe;
    pipe.setBlockingMode(nonBlockMode);
    for (auto _ : state) {
        for (int i = 0; i < 10; ++i) pipe.writeMsg(order);
        for (int i = 0; i < 10; ++i) {
            std::string got = pipe.readMsg();
            benchmark::DoNotOptimize(got);
        }
    }
    state.SetItemsProcessed(state.iterations() * 10);
    pipe.close();
}
BENCHMARK(BM_PipeBatchOfTen);

}  // namespace

BENCHMARK_MAIN();
