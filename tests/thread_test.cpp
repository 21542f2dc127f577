// Threads and the mutex: a derived thread runs its body, can be joined or detached, pexit ends
// only its own thread, and the mutex keeps writes to one shared queue object intact.
#include "Thread.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <set>
#include <thread>

#include "Ipc.h"
#include "MsgQueue.h"
#include "Mutex.h"

namespace {

using namespace std::chrono_literals;

class Counter : public Thread {
  public:
    std::atomic<int> steps{0};
    bool stopEarly = false;
    void Run() override {
        ++steps;
        if (stopEarly) pexit(3);
        ++steps;
    }
};

// Writes its messages to a queue object shared with other writers, under the shared mutex.
class Writer : public Thread {
  public:
    Writer(MsgQueue& q, Mutex& m, char tag) : queue(q), mutex(m), tag(tag) {}
    void Run() override {
        for (int i = 0; i < 300; ++i) {
            std::string text = std::string(1, tag) + std::to_string(i) + std::string(200 + i, tag);
            mutex.lock();
            queue.write(text, NoWaitMode, 1);
            mutex.unlock();
        }
    }

  private:
    MsgQueue& queue;
    Mutex& mutex;
    char tag;
};

}  // namespace

TEST(ThreadRun, StartedThreadRunsItsBodyAndJoinWaitsForIt) {
    Counter t;
    EXPECT_FALSE(t.joinable());
    ASSERT_EQ(t.Start(), 0);
    EXPECT_TRUE(t.joinable());
    EXPECT_EQ(t.join(), 0);
    EXPECT_EQ(t.steps, 2);
    EXPECT_EQ(t.join(), EINVAL);
    EXPECT_EQ(t.detach(), EINVAL);
}

TEST(ThreadRun, PexitEndsOnlyTheCallingThread) {
    Counter t;
    t.stopEarly = true;
    ASSERT_EQ(t.Start(), 0);
    EXPECT_EQ(t.join(), 0);
    EXPECT_EQ(t.steps, 1);
    // The process and this thread go on: a second thread can still start.
    Counter again;
    ASSERT_EQ(again.Start(), 0);
    EXPECT_EQ(again.join(), 0);
    EXPECT_EQ(again.steps, 2);
}

TEST(ThreadRun, DetachedThreadFinishesOnItsOwn) {
    Counter t;
    ASSERT_EQ(t.Start(), 0);
    EXPECT_EQ(t.Start(), EINVAL);
    EXPECT_EQ(t.detach(), 0);
    EXPECT_FALSE(t.joinable());
    for (int i = 0; i < 500 && t.steps < 2; ++i) std::this_thread::sleep_for(2ms);
    EXPECT_EQ(t.steps, 2);
}

TEST(MutexGuard, WritersSharingOneQueueObjectProduceIntactMessages) {
    IpcNames ipc;
    std::string name = ipc.name();
    MsgQueue shared(name, 0, IPC_CREAT);
    Mutex mutex;
    Writer a(shared, mutex, 'a');
    Writer b(shared, mutex, 'b');
    std::set<std::string> expected;
    for (char tag : {'a', 'b'}) {
        for (int i = 0; i < 300; ++i) {
            expected.insert(std::string(1, tag) + std::to_string(i) + std::string(200 + i, tag));
        }
    }
    std::set<std::string> received;
    std::thread reader([&] {
        MsgQueue own(name, 0, 0);
        auto deadline = std::chrono::steady_clock::now() + 20s;
        while (received.size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
            std::string text = own.read(0, NoWaitMode);
            if (text.empty()) {
                std::this_thread::sleep_for(1ms);
            } else {
                received.insert(text);
            }
        }
    });
    ASSERT_EQ(a.Start(), 0);
    ASSERT_EQ(b.Start(), 0);
    a.join();
    b.join();
    reader.join();
    EXPECT_EQ(received, expected);
}
