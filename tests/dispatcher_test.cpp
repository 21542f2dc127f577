// The dispatcher as a session sees it: what it takes off the input queue and hands into the pipe,
// when it holds back, and how stop() leaves every message either in the pipe, handed back, or still
// on the queue.
#include "Dispatcher.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Ipc.h"
#include "MsgQueue.h"
#include "Pipe.h"
#include "Shm.h"
#include "TempHome.h"

namespace {

using namespace std::chrono;

class DispatcherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        table = ipc.name();
        queueName = ipc.name();
        shm = std::make_unique<Shm>(table);
        cell = shm->registerName(site);
        cell->status = status_Online;
        queue = std::make_unique<MsgQueue>(queueName, 0, IPC_CREAT);
        pipe.setBlockingMode(nonBlockMode);
    }

    void TearDown() override {
        if (dispatcher) dispatcher->stop();
    }

    // As the session does: one atomic byte store, since the dispatcher thread reads it.
    void setStatus(char status) { __atomic_store_n(&cell->status, status, __ATOMIC_RELAXED); }

    void start(long type, Journal* journal = nullptr) {
        dispatcher = std::make_unique<Dispatcher>(*shm, pipe, queueName);
        dispatcher->Setup(site, type);
        if (journal != nullptr) dispatcher->useJournal(*journal);
        ASSERT_EQ(dispatcher->Start(), 0);
    }

    // The queue type of the oldest text the session has not taken yet, as the session takes it.
    long forwardedType() {
        int slot = dispatcher->takeForwarded();
        if (slot < 0) return -1;
        long type = dispatcher->journalInUse().type(slot);
        dispatcher->journalInUse().release(slot);
        return type;
    }

    // The next text in the pipe within limitMs; empty when none came.
    std::string nextText(int limitMs = 3000) {
        auto deadline = steady_clock::now() + milliseconds(limitMs);
        while (steady_clock::now() < deadline) {
            std::string text = pipe.readMsg();
            if (!text.empty()) return text;
            std::this_thread::sleep_for(milliseconds(2));
        }
        return "";
    }

    // Whatever stays on the queue, drained without waiting.
    std::vector<std::pair<std::string, long>> drainQueue() {
        std::vector<std::pair<std::string, long>> left;
        MsgQueue reader(queueName, 0, 0);
        for (int i = 0; i < 10000; ++i) {
            std::string text = reader.read(0, NoWaitMode);
            if (text.empty()) break;
            left.emplace_back(text, reader.lastType());
        }
        return left;
    }

    IpcNames ipc;
    std::string site = "BRK1";
    std::string table;
    std::string queueName;
    std::unique_ptr<Shm> shm;
    MemoryCell* cell = nullptr;
    std::unique_ptr<MsgQueue> queue;
    Pipe pipe;
    std::unique_ptr<Dispatcher> dispatcher;
};

TEST_F(DispatcherTest, TypeZeroForwardsEveryTypeInArrivalOrderAndRemembersTheTypes) {
    queue->write(
        "35=D\x01"
        "11=a\x01",
        WaitMode, 7);
    queue->write(
        "35=F\x01"
        "11=b\x01",
        WaitMode, 2);
    queue->write(
        "35=G\x01"
        "11=c\x01",
        WaitMode, 30);
    start(0);
    EXPECT_EQ(nextText(),
              "35=D\x01"
              "11=a\x01");
    EXPECT_EQ(nextText(),
              "35=F\x01"
              "11=b\x01");
    EXPECT_EQ(nextText(),
              "35=G\x01"
              "11=c\x01");
    EXPECT_EQ(forwardedType(), 7);
    EXPECT_EQ(forwardedType(), 2);
    EXPECT_EQ(forwardedType(), 30);
}

TEST_F(DispatcherTest, TextsAnEarlierRunLeftInTheJournalGoOutBeforeTheQueuedOnes) {
    TempHome home;
    std::string path = home.logsDir() + "/BRK1.journal";
    queue->write(
        "35=D\x01"
        "11=old1\x01",
        WaitMode, 4);
    queue->write(
        "35=D\x01"
        "11=old2\x01",
        WaitMode, 4);
    {
        Journal earlier(path);
        for (int i = 0; i < 2; ++i) {
            int slot = earlier.acquire();
            ASSERT_GT(queue->receive(earlier.buffer(slot), 0, NoWaitMode), 0);
        }
    }
    queue->write(
        "35=D\x01"
        "11=new\x01",
        WaitMode, 4);
    Journal journal(path);
    start(0, &journal);
    EXPECT_EQ(nextText(),
              "35=D\x01"
              "11=old1\x01");
    EXPECT_EQ(nextText(),
              "35=D\x01"
              "11=old2\x01");
    EXPECT_EQ(nextText(),
              "35=D\x01"
              "11=new\x01");
    EXPECT_EQ(forwardedType(), 4);
    dispatcher->stop();
    // Two of them the session has not taken from the pipe: still held, oldest first.
    std::vector<int> held = journal.held();
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(journal.text(held[0]),
              "35=D\x01"
              "11=old2\x01");
    EXPECT_EQ(journal.text(held[1]),
              "35=D\x01"
              "11=new\x01");
}

TEST_F(DispatcherTest, ASiteTypeLeavesOtherSitesMessagesOnTheQueue) {
    queue->write(
        "35=D\x01"
        "11=other\x01",
        WaitMode, 2);
    queue->write(
        "35=D\x01"
        "11=mine\x01",
        WaitMode, 3);
    start(3);
    EXPECT_EQ(nextText(),
              "35=D\x01"
              "11=mine\x01");
    dispatcher->stop();
    auto left = drainQueue();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].first,
              "35=D\x01"
              "11=other\x01");
    EXPECT_EQ(left[0].second, 2);
}

TEST_F(DispatcherTest, NothingIsForwardedUntilTheSessionIsUpAndEmptyTextsAreDropped) {
    setStatus(status_Shutdown);
    queue->write("", WaitMode, 1);
    queue->write(
        "35=D\x01"
        "11=held\x01",
        WaitMode, 1);
    start(0);
    EXPECT_EQ(nextText(1200), "");
    setStatus(status_Heartbeat);
    EXPECT_EQ(nextText(),
              "35=D\x01"
              "11=held\x01");
    EXPECT_TRUE(drainQueue().empty());
}

TEST_F(DispatcherTest, StopWakesAWaitingReceiveSoLaterMessagesStayOnTheQueue) {
    start(0);
    std::this_thread::sleep_for(milliseconds(100));  // let it block in its receive
    auto begin = steady_clock::now();
    dispatcher->stop();
    EXPECT_LT(steady_clock::now() - begin, seconds(2));
    queue->write(
        "35=D\x01"
        "11=after\x01",
        WaitMode, 5);
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(pipe.readMsg(), "");
    auto left = drainQueue();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].second, 5);
    EXPECT_TRUE(dispatcher->journalInUse().held().empty());
}

TEST_F(DispatcherTest, StopWhileThePipeIsFullKeepsTheTextItCouldNotWriteHeld) {
    // Nobody reads the pipe: after about 16 texts of 4000 bytes the dispatcher waits in its write.
    const int total = 40;
    std::atomic<bool> produced{false};
    std::thread producer([&] {
        MsgQueue writer(queueName, 0, 0);
        for (int i = 0; i < total; ++i) {
            std::string text =
                "35=D\x01"
                "11=" +
                std::to_string(i) +
                "\x01"
                "58=";
            text += std::string(4000 - text.size(), 'x');
            writer.write(text, WaitMode, 9);
        }
        produced = true;
    });
    start(0);
    std::this_thread::sleep_for(milliseconds(300));
    dispatcher->stop();

    std::vector<std::string> seen;
    for (int empty = 0; empty < 2;) {
        std::string text = pipe.readMsg();
        if (text.empty()) {
            ++empty;
            continue;
        }
        empty = 0;
        seen.push_back(text.substr(0, text.find("\x01"
                                                "58=")));
        EXPECT_EQ(forwardedType(), 9);
    }
    // The text it could not write is still held, and nothing else is.
    Journal& journal = dispatcher->journalInUse();
    std::vector<int> held = journal.held();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(journal.type(held[0]), 9);
    std::string unsent = journal.text(held[0]);
    seen.push_back(unsent.substr(0, unsent.find("\x01"
                                                "58=")));
    // The rest is on the queue or still with the producer, which goes on as the queue drains.
    MsgQueue reader(queueName, 0, 0);
    auto deadline = steady_clock::now() + seconds(10);
    while (steady_clock::now() < deadline) {
        bool done = produced.load();  // read before the receive, so nothing written later is missed
        std::string text = reader.read(0, NoWaitMode);
        if (!text.empty()) {
            seen.push_back(text.substr(0, text.find("\x01"
                                                    "58=")));
        } else if (done) {
            break;
        } else {
            std::this_thread::sleep_for(milliseconds(1));
        }
    }
    producer.join();

    ASSERT_EQ(static_cast<int>(seen.size()), total);
    for (int i = 0; i < total; ++i) {
        EXPECT_EQ(seen[i],
                  "35=D\x01"
                  "11=" +
                      std::to_string(i))
            << "position " << i;
    }
}

}  // namespace

TEST_F(DispatcherTest, TextsWaitingTogetherGoThroughThePipeWholeAndInQueueOrder) {
    // Taken several to a pipe write while they fit one, so sizes that do not fit together
    // must wait on the queue for the next write rather than be cut or reordered.
    const int sizes[] = {200, 3000, 3000, 200, 4000, 100, 2500, 1500};  // within the queue's 16 KiB
    std::vector<std::string> sent;
    for (int size : sizes) {
        std::string text =
            "35=D\x01"
            "11=" +
            std::to_string(sent.size()) +
            "\x01"
            "58=";
        text += std::string(static_cast<size_t>(size) - text.size(), 'x');
        queue->write(text, WaitMode, 4);
        sent.push_back(text);
    }
    start(0);
    for (const std::string& expected : sent) {
        std::string text = nextText();
        ASSERT_EQ(text.size(), expected.size());
        EXPECT_EQ(text, expected);
        EXPECT_EQ(forwardedType(), 4);
    }
    EXPECT_EQ(forwardedType(), -1) << "one journal slot per text";
    EXPECT_TRUE(drainQueue().empty());
    EXPECT_TRUE(dispatcher->journalInUse().held().empty());
}
