// The journal of texts between the input queue and the outgoing log: what a run that ended
// without releasing its slots (as a killed process does) leaves for the next one, how recovery
// tells logged texts from unlogged ones, and that a file of another kind is refused.
#include "Journal.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Ipc.h"
#include "Log.h"
#include "MsgQueue.h"
#include "TempHome.h"
#include "TestUtil.h"

namespace {

using namespace std::chrono;

class JournalTest : public ::testing::Test {
  protected:
    void SetUp() override { queue = std::make_unique<MsgQueue>(ipc.name(), 0, IPC_CREAT); }

    // Takes one queued message into a fresh slot, as the dispatcher does.
    int take(Journal& journal) {
        int slot = journal.acquire();
        EXPECT_GE(slot, 0);
        EXPECT_GT(queue->receive(journal.buffer(slot), 0, NoWaitMode), 0);
        return slot;
    }

    std::vector<std::string> heldTexts(Journal& journal) {
        std::vector<std::string> texts;
        for (int slot : journal.held()) texts.push_back(journal.text(slot));
        return texts;
    }

    std::string path() const { return home.logsDir() + "/BRK1.journal"; }

    IpcNames ipc;
    TempHome home;
    std::unique_ptr<MsgQueue> queue;
};

TEST_F(JournalTest, TextsTakenAndNotReleasedOutliveTheRunOldestFirstWithTheirTypes) {
    {
        Journal journal(path());
        EXPECT_TRUE(journal.held().empty());
        for (int i = 0; i < 5; ++i)
            queue->write(
                "35=D\x01"
                "11=" +
                    std::to_string(i) + "\x01",
                WaitMode, 10 + i);
        int first = take(journal);
        int second = take(journal);
        journal.release(first);  // logged
        (void)second;
        take(journal);
        take(journal);
        journal.release(take(journal));
        // The object ends without releasing the rest, as a killed process would.
    }
    Journal again(path());
    std::vector<int> held = again.held();
    ASSERT_EQ(held.size(), 3u);
    EXPECT_EQ(heldTexts(again), (std::vector<std::string>{"35=D\x01"
                                                          "11=1\x01",
                                                          "35=D\x01"
                                                          "11=2\x01",
                                                          "35=D\x01"
                                                          "11=3\x01"}));
    EXPECT_EQ(again.type(held[0]), 11);
    EXPECT_EQ(again.type(held[2]), 13);

    // Slots taken in the new run come after the old ones, whichever slot they land in.
    queue->write(
        "35=D\x01"
        "11=new\x01",
        WaitMode, 1);
    take(again);
    EXPECT_EQ(heldTexts(again).back(),
              "35=D\x01"
              "11=new\x01");
}

TEST_F(JournalTest, RecoveryFreesWhatItsLogHoldsAndKeepsTheRestUnstamped) {
    {
        Journal journal(path());
        for (int i = 0; i < 6; ++i)
            queue->write(
                "35=D\x01"
                "11=" +
                    std::to_string(i) + "\x01",
                WaitMode, 1);
        int s0 = take(journal), s1 = take(journal), s2 = take(journal);
        int s3 = take(journal), s4 = take(journal);
        take(journal);                             // 5: taken, never stamped
        journal.stamp(s0, 7, 20261207);            // logged the day before
        journal.stamp(s1, 41, 20261208);           // logged today
        journal.stamp(s2, 42, 20261208);           // stamped; the kill came before the log write
        journal.stamp(s3, Journal::returning, 0);  // on its way back to the queue
        journal.stamp(s4, 9, 20261207);            // beyond the end of that day's log
    }
    std::map<int, int> logs{{20261207, 8}, {20261208, 41}};
    std::vector<int> asked;
    Journal journal(path());
    int kept = journal.recover([&](int day) {
        asked.push_back(day);
        return logs[day];
    });
    EXPECT_EQ(kept, 4);
    EXPECT_EQ(heldTexts(journal), (std::vector<std::string>{"35=D\x01"
                                                            "11=2\x01",
                                                            "35=D\x01"
                                                            "11=3\x01",
                                                            "35=D\x01"
                                                            "11=4\x01",
                                                            "35=D\x01"
                                                            "11=5\x01"}));
    EXPECT_EQ(asked, (std::vector<int>{20261207, 20261208, 20261208, 20261207}));

    // The kept texts lost their stamps: the day's log growing past 42 with other messages later
    // must not make a second recovery take them for logged.
    logs[20261208] = 100;
    logs[20261207] = 100;
    EXPECT_EQ(journal.recover([&](int day) { return logs[day]; }), 4);
}

TEST_F(JournalTest, AFileThatIsNotAJournalIsRefusedAndLeftAlone) {
    home.writeFile("logs/short.journal", "not a journal");
    try {
        Journal journal(home.logsDir() + "/short.journal");
        FAIL() << "a file of the wrong size was taken";
    } catch (const LogException& e) {
        EXPECT_EQ(std::string(e.what()), "Fail to open the journal file: " + home.logsDir() +
                                             "/short.journal: not a journal of this layout");
    }
    EXPECT_EQ(home.readFile("logs/short.journal"), "not a journal");

    { Journal journal(path()); }
    std::string bytes = home.readFile("logs/BRK1.journal");
    ASSERT_GT(bytes.size(), 8u);
    bytes[0] = 'X';  // right size, wrong kind
    home.writeFile("logs/BRK1.journal", bytes);
    EXPECT_THROW(Journal{path()}, LogException);

    EXPECT_THROW(Journal{home.root() + "/missing/BRK1.journal"}, LogException);
}

TEST_F(JournalTest, OneSessionAtATimeWorksAJournalWhileOthersMayOnlyCountIt) {
    EXPECT_EQ(Journal::countHeld(path()), -1) << "no file yet";
    auto first = std::make_unique<Journal>(path());
    queue->write("35=D\x01", WaitMode, 1);
    take(*first);
    try {
        Journal second(path());
        FAIL() << "two journals on one file";
    } catch (const LogException& e) {
        EXPECT_EQ(std::string(e.what()), "Fail to lock the journal file: " + path());
    }
    EXPECT_EQ(Journal::countHeld(path()), 1);
    first.reset();
    Journal next(path());
    EXPECT_EQ(next.held().size(), 1u);
    EXPECT_EQ(Journal::countHeld(home.logsDir() + "/../cfg"), -1);
}

TEST_F(JournalTest, WithEverySlotTakenTheNextTakeWaitsForARelease) {
    Journal journal;
    std::vector<int> taken;
    for (int i = 0; i < Journal::slots; ++i) taken.push_back(journal.acquire());
    std::atomic<int> got{-2};
    std::thread waiter([&] { got = journal.acquire(); });
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(got.load(), -2) << "took a slot while all were in use";
    journal.release(taken[5]);
    EXPECT_TRUE(waitUntil([&] { return got.load() != -2; }, 5000));
    waiter.join();
    EXPECT_EQ(got.load(), taken[5]);
}

}  // namespace

// A journal fed from a stream remembers the highest stream sequence it took across runs, whether
// the text is still held or already logged and freed, so a text the stream delivers again after
// a crash is recognised. Each row: what one run does, then what the next run's journal reports.
TEST_F(JournalTest, AStreamFedJournalRemembersTheHighestSequenceTakenAcrossRuns) {
    struct Step {
        const char* what;
        std::vector<std::uint64_t> fill;  // stream sequences put into slots, in order
        std::size_t freed;                // how many of them are logged and released
        int unfilled;                     // slots acquired and given back without a text
        std::uint64_t takenAfter;         // streamTaken() of the next run
        std::size_t heldAfter;
        // The site taken over from another gateway that sent up to this sequence (0: not).
        std::uint64_t takenOverAt = 0;
    };
    const Step steps[] = {
        {"fresh", {}, 0, 0, 0, 0},
        {"held, never logged", {1, 2, 3}, 0, 0, 3, 3},
        {"the held ones logged, two more held", {4, 5}, 5, 0, 5, 0},
        {"slots acquired and returned empty record nothing", {}, 0, 40, 5, 0},
        {"logged and freed", {6, 7}, 2, 3, 7, 0},
        {"taken over: texts held here are dropped, the other's last sent counts",
         {8, 9, 10},
         0,
         0,
         9,
         0,
         9},
        {"taken over behind what this one took: the stream gives those again",
         {11, 12},
         1,
         0,
         6,
         0,
         6},
    };
    for (const Step& s : steps) {
        {
            Journal run(path());
            ASSERT_TRUE(run.useStream(true)) << s.what;
            for (std::uint64_t seq : s.fill) run.fill(run.acquire(), "35=D\x01", seq);
            std::vector<int> held = run.held();
            for (std::size_t i = 0; i < s.freed && i < held.size(); ++i) run.release(held[i]);
            std::vector<int> empty;
            for (int i = 0; i < s.unfilled; ++i) empty.push_back(run.acquire());
            for (int slot : empty) run.release(slot);
            if (s.takenOverAt > 0) run.restartStream(s.takenOverAt);
        }  // the run ends without releasing what it holds, as a killed one does
        Journal next(path());
        EXPECT_EQ(next.streamTaken(), s.takenAfter) << s.what;
        EXPECT_EQ(next.held().size(), s.heldAfter) << s.what;
    }
}

TEST_F(JournalTest, TextsOfAQueueStillHeldKeepTheJournalFromAStream) {
    queue->write("35=D\x01", WaitMode, 1);
    {
        Journal journal(path());
        take(journal);
    }
    Journal journal(path());
    EXPECT_FALSE(journal.useStream(true)) << "queue texts' orders would read as sequences";
    EXPECT_TRUE(journal.useStream(false));
    journal.release(journal.held().front());
    EXPECT_TRUE(journal.useStream(true));
    EXPECT_EQ(journal.streamTaken(), 0u);
}
