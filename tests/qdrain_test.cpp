// qdrain as an application stand-in: it takes what a gateway delivered, counts it in the sender's
// In.proc, prints it readably, and skips what it cannot attribute. It runs until killed, so most
// cases start it in the background, wait (bounded) for its output and stop it by pid.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "Ipc.h"
#include "MsgParts.h"
#include "MsgQueue.h"
#include "NatsCluster.h"
#include "NatsLink.h"
#include "Process.h"
#include "Shm.h"
#include "StreamNames.h"
#include "StreamOutlet.h"
#include "StreamSetup.h"

namespace {

using std::chrono::milliseconds;

const milliseconds patience(5000);

std::string fromSite(const std::string& sender, const std::string& order) {
    return "8=FIX.4.2\x01"
           "9=40\x01"
           "35=8\x01"
           "49=" +
           sender +
           "\x01"
           "56=DESK\x01"
           "11=" +
           order +
           "\x01"
           "10=123\x01";
}

std::string shown(const std::string& sender, const std::string& order) {
    return "8=FIX.4.2<SOH>9=40<SOH>35=8<SOH>49=" + sender + "<SOH>56=DESK<SOH>11=" + order +
           "<SOH>10=123<SOH>";
}

// ALPHA in cell 0, a free cell 1, BRAVO in cell 2; a private queue the "gateway" writes to.
class QueueDrain : public ::testing::Test {
  protected:
    void SetUp() override {
        table = ipc.name();
        queueName = ipc.name();
        shm.emplace(table);
        shm->registerName("ALPHA");
        shm->registerName("SPARE");
        shm->registerName("BRAVO");
        shm->clearCell(1);
        shm->getCell("ALPHA")->In.pend = 7;
        queue = MsgQueue(queueName, 0, IPC_CREAT);
    }

    void deliver(const std::string& text, long type = writeType) {
        queue.write(text, NoWaitMode, type);
    }

    int waiting() {
        msqid_ds info{};
        msgctl(queue.getId(), IPC_STAT, &info);
        return static_cast<int>(info.msg_qnum);
    }

    IpcNames ipc;
    std::string table;
    std::string queueName;
    std::optional<Shm> shm;
    MsgQueue queue;
};

TEST_F(QueueDrain, PrintsEachMessageWithEverySohShownFollowedByAnEmptyLine) {
    BackgroundProcess drain("qdrain", {table, queueName});
    deliver(fromSite("ALPHA", "ORD-1"));
    deliver(fromSite("BRAVO", "ORD-2"));
    ASSERT_TRUE(drain.waitForOutput("ORD-2<SOH>10=123<SOH>\n\n", patience)) << drain.output();
    EXPECT_EQ(drain.output(), shown("ALPHA", "ORD-1") + "\n\n" + shown("BRAVO", "ORD-2") + "\n\n");
    EXPECT_EQ(drain.errors(), "");
    EXPECT_TRUE(drain.running());
    drain.stop();
}

TEST_F(QueueDrain, EachMessageCountsOnceInTheSendersInProcAndNowhereElse) {
    BackgroundProcess drain("qdrain", {table, queueName});
    deliver(fromSite("BRAVO", "B1"));
    deliver(fromSite("ALPHA", "A1"));
    deliver(fromSite("BRAVO", "B2"));
    ASSERT_TRUE(drain.waitForOutput(shown("BRAVO", "B2"), patience)) << drain.output();
    drain.stop();

    EXPECT_EQ(shm->getCell("ALPHA")->In.proc, 1);
    EXPECT_EQ(shm->getCell("BRAVO")->In.proc, 2);
    EXPECT_EQ(shm->getCell("ALPHA")->In.pend, 7) << "the gateway's counter is not touched";
    EXPECT_EQ(shm->getCell("BRAVO")->Out.proc, 0);
    EXPECT_EQ(shm->getCell(1)->In.proc, 0);
    EXPECT_EQ(waiting(), 0);
}

TEST_F(QueueDrain, TypeOptionTakesOnlyThatTypeAndLeavesTheOthersQueued) {
    BackgroundProcess drain("qdrain", {table, queueName, "-t", "1"});
    deliver(fromSite("BRAVO", "TYPE-2"), 2);
    deliver(fromSite("ALPHA", "TYPE-1"), 1);
    ASSERT_TRUE(drain.waitForOutput(shown("ALPHA", "TYPE-1"), patience)) << drain.output();
    drain.stop();

    EXPECT_EQ(drain.output(), shown("ALPHA", "TYPE-1") + "\n\n");
    EXPECT_EQ(shm->getCell("BRAVO")->In.proc, 0);
    EXPECT_EQ(queue.read(2, NoWaitMode), fromSite("BRAVO", "TYPE-2"));
}

TEST_F(QueueDrain, UnregisteredSenderEndsTheProgramAndItsMessageIsGone) {
    deliver(fromSite("GHOST", "LOST"));
    ProcessResult r = runProgram("qdrain", {table, queueName}, ProcessOptions{});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.err, "Fail to find the target connection.\n\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(waiting(), 0);
    EXPECT_EQ(shm->getCell(1)->In.proc, 0);
}

// An empty text, a text without field 49 and one with an empty 49 all name no site; looking up the
// empty name would find the free cell 1, so they are reported and counted nowhere.
TEST_F(QueueDrain, TextsWithoutASenderAreReportedSkippedAndDrainingGoesOn) {
    BackgroundProcess drain("qdrain", {table, queueName});
    struct {
        long mtype;
        char mtext[1];
    } empty{1, {0}};
    ASSERT_EQ(msgsnd(queue.getId(), &empty, 0, 0), 0);
    deliver(
        "8=FIX.4.2\x01"
        "35=8\x01"
        "56=DESK\x01"
        "10=001\x01");
    deliver(
        "8=FIX.4.2\x01"
        "35=8\x01"
        "49=\x01"
        "10=002\x01");
    deliver(fromSite("ALPHA", "AFTER"));
    ASSERT_TRUE(drain.waitForOutput(shown("ALPHA", "AFTER"), patience)) << drain.errors();

    EXPECT_EQ(drain.output(), shown("ALPHA", "AFTER") + "\n\n");
    std::string errors = drain.errors();
    EXPECT_NE(errors.find("empty message"), std::string::npos) << errors;
    EXPECT_NE(errors.find("56=DESK<SOH>10=001<SOH>"), std::string::npos) << errors;
    EXPECT_NE(errors.find("49=<SOH>10=002<SOH>"), std::string::npos) << errors;
    EXPECT_TRUE(drain.running());
    drain.stop();

    EXPECT_EQ(shm->getCell("ALPHA")->In.proc, 1);
    for (int i = 0; i < maxCells; ++i) {
        if (shm->getCell(i)->name[0] == '\0') {
            EXPECT_EQ(shm->getCell(i)->In.proc, 0) << "cell " << i;
        }
    }
}

// A message longer than a queue message comes in parts, with other sites' messages between them
// and, after a gateway restart, again from part 1: it is printed and counted once per whole copy.
TEST_F(QueueDrain, MessageInPartsIsPutBackTogetherPrintedAndCountedOnce) {
    const std::string bigText = "BIG-" + std::string(9000, 'z'), big = fromSite("ALPHA", bigText);
    auto part = [&](int k) { return MsgParts::part("ALPHA", 12, big, k); };
    BackgroundProcess drain("qdrain", {table, queueName});
    // Part 1 again after 2: the gateway restarted before the message counted; part 3 after 1: a
    // part that does not follow, reported, and part 1 must come again.
    for (const std::string& t : {part(1), fromSite("BRAVO", "BETWEEN"), part(2), part(1), part(3),
                                 part(1), part(2), fromSite("BRAVO", "AFTER"), part(3)}) {
        deliver(t);
    }
    ASSERT_TRUE(drain.waitForOutput(shown("ALPHA", bigText), patience)) << drain.errors();
    drain.stop();

    EXPECT_EQ(drain.output(), shown("BRAVO", "BETWEEN") + "\n\n" + shown("BRAVO", "AFTER") +
                                  "\n\n" + shown("ALPHA", bigText) + "\n\n");
    EXPECT_EQ(drain.errors(), "Skip a part out of order: PART 12 3/3 ALPHA\n");
    EXPECT_EQ(shm->getCell("ALPHA")->In.proc, 1);
    EXPECT_EQ(shm->getCell("BRAVO")->In.proc, 2);
    EXPECT_EQ(waiting(), 0);
}

TEST_F(QueueDrain, UsageAndMissingQueueEndWithStatus255) {
    const std::string usage =
        "Usage: qdrain shm mq [-t n] [-j servers -s site[,site...] [-d durable]] \n\n";
    ProcessResult none = runProgram("qdrain", {});
    ASSERT_TRUE(none.exited);
    EXPECT_EQ(none.exitCode, 255);
    EXPECT_EQ(none.out, usage);

    ProcessResult tableOnly = runProgram("qdrain", {table, "-t", "1"});
    ASSERT_TRUE(tableOnly.exited);
    EXPECT_EQ(tableOnly.exitCode, 255);
    EXPECT_EQ(tableOnly.out, usage);

    // A type that is not a number would otherwise read as 0 and drain every type.
    deliver(fromSite("ALPHA", "KEEP"), 2);
    ProcessResult badType = runProgram("qdrain", {table, queueName, "-t", "two"});
    ASSERT_TRUE(badType.exited);
    EXPECT_EQ(badType.exitCode, 255);
    EXPECT_EQ(badType.out, usage);
    EXPECT_EQ(waiting(), 1);

    std::string missing = ipc.name();
    ProcessResult noQueue = runProgram("qdrain", {table, missing});
    ASSERT_TRUE(noQueue.exited);
    EXPECT_EQ(noQueue.exitCode, 255);
    EXPECT_EQ(noQueue.err, "Fail to connect the message queue. [" + missing +
                               "]: No such file or directory\n\n");
}

// With -j the sites' inbound streams are drained through a durable consumer: what one run printed
// and acknowledged, the next run with the same durable does not print again.
TEST_F(QueueDrain, StreamFormPrintsEachMessageOnceAcrossRunsOfOneDurable) {
    if (!NatsCluster::available()) GTEST_SKIP() << "nats-server is not installed";
    NatsCluster cluster(1);
    NatsLink link(NatsLink::Settings::withServers(cluster.servers()), "qdrain test");
    StreamSetup::apply(link, StreamNames::inStream("ALPHA"), StreamNames::inSubject("ALPHA"), {});
    StreamOutlet outlet(link, StreamNames::inStream("ALPHA"), StreamNames::inSubject("ALPHA"), 8);
    auto publish = [&](const std::string& id, const std::string& text) {
        ASSERT_TRUE(outlet.offer(id, text));
        ASSERT_EQ(outlet.drain(5000), 0u) << outlet.lastFault();
    };
    publish("1", fromSite("ALPHA", "S-1"));
    publish("2", fromSite("BRAVO", "S-2"));
    std::vector<std::string> args = {table, "-", "-j", cluster.servers(), "-s", "ALPHA"};
    {
        BackgroundProcess first("qdrain", args);
        ASSERT_TRUE(first.waitForOutput("S-2<SOH>10=123<SOH>\n\n", patience)) << first.errors();
        first.stop();
        EXPECT_EQ(first.output(), shown("ALPHA", "S-1") + "\n\n" + shown("BRAVO", "S-2") + "\n\n");
    }
    EXPECT_EQ(shm->getCell("ALPHA")->In.proc, 1);
    EXPECT_EQ(shm->getCell("BRAVO")->In.proc, 1);
    publish("3", fromSite("ALPHA", "S-3"));
    BackgroundProcess second("qdrain", args);
    ASSERT_TRUE(second.waitForOutput("S-3<SOH>10=123<SOH>\n\n", patience)) << second.errors();
    second.stop();
    EXPECT_EQ(second.output(), shown("ALPHA", "S-3") + "\n\n");
    EXPECT_EQ(waiting(), 0);
    ProcessResult missing = runProgram("qdrain", {"-j", cluster.servers(), "-s", "BRAVO"});
    EXPECT_EQ(missing.exitCode, 255);
    EXPECT_EQ(missing.err.rfind("Stream FIXGATE_BRAVO_IN does not exist", 0), 0u) << missing.err;
}

TEST(QueueDrainStream, UnreachableServersAndBadSitesEndWithALineAndStatus255) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-s", "ALPHA"}, "Fail to reach the NATS servers [nats://127.0.0.1:1]"},
        {{"-s", "A.B"}, "Site [A.B] cannot use JetStream"},
        {{"-s", "ALPHA", "-t", "1"}, ""}};
    for (const auto& [words, err] : cases) {
        std::vector<std::string> args = {"-j", "nats://127.0.0.1:1"};
        args.insert(args.end(), words.begin(), words.end());
        ProcessResult r = runProgram("qdrain", args);
        EXPECT_EQ(r.exitCode, 255) << words[1];
        EXPECT_EQ(r.err.rfind(err, 0), 0u) << r.err;
        EXPECT_EQ(r.out.rfind("Usage: qdrain", 0) == 0, err.empty() || words[1] == "A.B") << r.out;
    }
}

}  // namespace
