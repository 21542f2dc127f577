// scriptfeed as an operator runs it: script lines become queue messages for the target site's
// gateway (checked byte for byte on a private queue), every line is echoed, Out.pend counts each
// message, and failures end the program before or without sending.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Ipc.h"
#include "MsgQueue.h"
#include "NatsCluster.h"
#include "NatsLink.h"
#include "Process.h"
#include "ScriptLine.h"
#include "Shm.h"
#include "StreamInlet.h"
#include "StreamNames.h"
#include "StreamSetup.h"
#include "TempHome.h"

namespace {

using std::chrono::milliseconds;

// A table with sites in cells 0 ("DESK") and 2 ("BRK1"), a queue, and a folder for the script.
class ScriptFeed : public ::testing::Test {
  protected:
    void SetUp() override {
        table = ipc.name();
        queueName = ipc.name();
        shm.emplace(table);
        shm->registerName("DESK");
        shm->registerName("SPARE");
        shm->registerName("BRK1");
        shm->clearCell(1);
        queue = MsgQueue(queueName, 0, IPC_CREAT);
    }

    ProcessResult feed(const std::string& script, const std::string& target = "BRK1") {
        std::string path = home.writeFile("test.script", script);
        return runProgram("scriptfeed", {table, queueName, target, path});
    }

    MemoryCell* cell(const std::string& name) { return shm->getCell(name); }

    // Every message waiting under this type, oldest first, taken off the queue.
    std::vector<std::string> drain(long type) {
        std::vector<std::string> texts;
        for (int i = 0; i < 100; ++i) {
            std::string text = queue.read(type, NoWaitMode);
            if (text.empty()) break;
            texts.push_back(text);
        }
        return texts;
    }

    int waiting() {
        msqid_ds info{};
        msgctl(queue.getId(), IPC_STAT, &info);
        return static_cast<int>(info.msg_qnum);
    }

    IpcNames ipc;
    TempHome home;
    std::string table;
    std::string queueName;
    std::optional<Shm> shm;
    MsgQueue queue;
};

TEST_F(ScriptFeed, LinesSplitAtEachBarIntoFieldsEndedBySoh) {
    ProcessResult r = feed(
        "35=D|55=IBM|38=100\n"
        "35=F|\n"
        "11=A||58=B\n"
        "|35=D|55=X\n"
        "58= spaced  |44=1.5\r\n");
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0) << r.err;

    // BRK1 sits in cell 2, so its messages carry type 3 and nothing else is on the queue.
    EXPECT_EQ(drain(1).size(), 0u);
    std::vector<std::string> sent = drain(3);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0],
              "35=D\x01"
              "55=IBM\x01"
              "38=100\x01");
    EXPECT_EQ(sent[1], "35=F\x01") << "a trailing bar adds no empty field";
    EXPECT_EQ(sent[2],
              "11=A\x01"
              "|58=B\x01")
        << "an empty field stops the splitting";
    EXPECT_EQ(sent[3], "|35=D|55=X\x01") << "a leading bar makes the whole line one field";
    EXPECT_EQ(sent[4],
              "58= spaced  \x01"
              "44=1.5\r\x01")
        << "spaces and the CR are kept";
    EXPECT_EQ(waiting(), 0);
}

TEST_F(ScriptFeed, EveryLineIsEchoedAndCommentsAndEmptyLinesSendNothing) {
    ProcessResult r = feed("* orders for the open\n\n*35=D|55=IBM\n35=D|55=IBM\n");
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // The read at the end of the file yields one more, empty, line.
    EXPECT_EQ(r.out, "* orders for the open\n\n*35=D|55=IBM\n35=D|55=IBM\n\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(drain(3), std::vector<std::string>{"35=D\x01"
                                                 "55=IBM\x01"});
}

TEST_F(ScriptFeed, ScriptOfOnlyCommentsWritesNothingAndLastLineNeedsNoLineEnd) {
    ProcessResult r = feed("*one\n\n*two");
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "*one\n\n*two\n");
    EXPECT_EQ(waiting(), 0);
    EXPECT_EQ(cell("BRK1")->Out.pend, 0);
}

TEST_F(ScriptFeed, EachMessageAddsOneToTheTargetsOutPendOnly) {
    cell("BRK1")->Out.pend = 5;
    cell("BRK1")->Out.proc = 2;
    ProcessResult r = feed("35=D|55=A\n*skip\n35=D|55=B\n\n35=D|55=C\n");
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(cell("BRK1")->Out.pend, 8);
    EXPECT_EQ(cell("BRK1")->Out.proc, 2);
    EXPECT_EQ(cell("BRK1")->In.pend, 0);
    EXPECT_EQ(cell("DESK")->Out.pend, 0);
    EXPECT_EQ(drain(3).size(), 3u);
}

TEST_F(ScriptFeed, TargetInCellZeroIsAddressedWithTypeOne) {
    ProcessResult r = feed("35=D|55=A\n", "DESK");
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(drain(3).size(), 0u);
    EXPECT_EQ(drain(1), std::vector<std::string>{"35=D\x01"
                                                 "55=A\x01"});
    EXPECT_EQ(cell("DESK")->Out.pend, 1);
}

TEST_F(ScriptFeed, UnregisteredTargetFailsBeforeAnythingIsSent) {
    ProcessResult r = feed("35=D|55=A\n35=D|55=B\n", "NOBODY");
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.err, "Fail to find the target connection.\n\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(waiting(), 0);
}

TEST_F(ScriptFeed, MissingQueueEndsWithTheConnectFailure) {
    std::string path = home.writeFile("test.script", "35=D\n");
    std::string missing = ipc.name();
    ProcessResult r = runProgram("scriptfeed", {table, missing, "BRK1", path});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.err, "Fail to connect the message queue. [" + missing +
                         "]: No such file or directory\n\n");
    EXPECT_EQ(cell("BRK1")->Out.pend, 0);
}

TEST_F(ScriptFeed, UsageAndUnreadableScriptTouchNoIpcObject) {
    ProcessResult usage = runProgram("scriptfeed", {table, queueName, "BRK1"});
    ASSERT_TRUE(usage.exited);
    EXPECT_EQ(usage.exitCode, 255);
    EXPECT_EQ(usage.out, "Usage: scriptfeed shm mq target script [-j servers]\n\n");

    std::string freshTable = ipc.name();
    std::string missing = home.root() + "/no-such.script";
    ProcessResult r = runProgram("scriptfeed", {freshTable, queueName, "BRK1", missing});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out,
              "Fail to open the script file[" + missing + "]. No such file or directory\n\n");
    EXPECT_FALSE(IpcNames::tableExists(freshTable));
}

// A queue message holds at most 4095 bytes: a line whose message would be longer is reported and
// skipped, and the lines after it are still sent.
TEST_F(ScriptFeed, LineTooLongForAQueueMessageIsReportedAndSkipped) {
    std::string fits(4094, 'x');                           // message: 4094 + SOH = 4095 bytes
    std::string oneOver(4095, 'y');                        // message: 4096 bytes
    std::string huge(20000, 'z');                          // longer than the line buffer itself
    std::string endsInBar = std::string(4094, 'w') + "|";  // message: 4095 bytes
    ProcessResult r = feed("35=D|55=A\n" + oneOver + "\n" + fits + "\n" + huge + "\n" + endsInBar +
                           "\n35=D|55=B\n");
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("Skip script line 2"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Skip script line 4"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("line 3"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("line 5"), std::string::npos) << r.err;

    std::vector<std::string> sent = drain(3);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0],
              "35=D\x01"
              "55=A\x01");
    EXPECT_EQ(sent[1], fits + "\x01");
    EXPECT_EQ(sent[2], std::string(4094, 'w') + "\x01");
    EXPECT_EQ(sent[3],
              "35=D\x01"
              "55=B\x01");
    EXPECT_EQ(cell("BRK1")->Out.pend, 4);
}

// With room for one message only, the driver waits for the reader instead of failing or dropping.
TEST_F(ScriptFeed, FullQueueMakesTheDriverWaitAndNothingIsLost) {
    msqid_ds info{};
    ASSERT_EQ(msgctl(queue.getId(), IPC_STAT, &info), 0);
    info.msg_qbytes = 40;
    ASSERT_EQ(msgctl(queue.getId(), IPC_SET, &info), 0);

    std::string script;
    for (int i = 0; i < 4; ++i) script += "35=D|11=ORDER-" + std::to_string(i) + "|55=IBM\n";
    BackgroundProcess feeder("scriptfeed",
                             {table, queueName, "BRK1", home.writeFile("full.script", script)});
    std::vector<std::string> received;
    for (int i = 0; i < 200 && received.size() < 4; ++i) {
        std::string text = queue.read(3, NoWaitMode);
        if (text.empty()) {
            std::this_thread::sleep_for(milliseconds(20));
        } else {
            received.push_back(text);
        }
    }
    ProcessResult r = feeder.wait(milliseconds(5000));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(received.size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(received[i],
                  "35=D\x01"
                  "11=ORDER-" +
                      std::to_string(i) +
                      "\x01"
                      "55=IBM\x01");
}

// With -j the texts go to the target's outbound stream, each once under its own id, and the table
// still counts them; every way the stream cannot be reached ends the program before it sends.
TEST_F(ScriptFeed, StreamFormStoresEachTextOnceAndRefusesWhatItCannotReach) {
    if (!NatsCluster::available()) GTEST_SKIP() << "nats-server is not installed";
    NatsCluster cluster(1);
    NatsLink link(NatsLink::Settings::withServers(cluster.servers()), "scriptfeed test");
    StreamSetup::apply(link, StreamNames::outStream("BRK1"), StreamNames::outSubject("BRK1"), {});
    std::string path = home.writeFile("j.script", "35=D|11=A\n* note\n35=D|11=B\n");
    ProcessResult r =
        runProgram("scriptfeed", {table, queueName, "BRK1", path, "-j", cluster.servers()});
    ASSERT_TRUE(r.exited);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "35=D|11=A\n* note\n35=D|11=B\n\n");
    EXPECT_EQ(cell("BRK1")->Out.pend, 2);

    StreamInlet inlet(link, StreamNames::outStream("BRK1"), StreamNames::outSubject("BRK1"), "t");
    std::vector<StreamInlet::Message> got;
    for (int i = 0; i < 20 && got.size() < 3; ++i)
        for (auto& m : inlet.fetch(10, got.size() < 2 ? 250 : 100)) got.push_back(m);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].text,
              "35=D\x01"
              "11=A\x01");
    EXPECT_EQ(got[1].text,
              "35=D\x01"
              "11=B\x01");
    std::string id = got[0].header("Nats-Msg-Id");
    EXPECT_EQ(id.rfind("scriptfeed:", 0), 0u) << id;
    EXPECT_EQ(got[1].header("Nats-Msg-Id"), id.substr(0, id.size() - 1) + "2");
    EXPECT_EQ(waiting(), 0);

    struct Case {
        std::string target, servers, err;
    } cases[] = {
        {"BRK1", "nats://127.0.0.1:1", "Fail to reach the NATS servers [nats://127.0.0.1:1]"},
        {"DESK", cluster.servers(), "Stream FIXGATE_DESK_OUT does not exist"},
        {"A.B", cluster.servers(), "Site [A.B] cannot use JetStream"},
    };
    for (const Case& c : cases) {
        ProcessResult f = runProgram("scriptfeed", {table, "-", c.target, path, "-j", c.servers});
        ASSERT_TRUE(f.exited) << c.target;
        EXPECT_EQ(f.exitCode, 255) << c.target;
        EXPECT_EQ(f.err.rfind(c.err, 0), 0u) << f.err;
        EXPECT_EQ(f.out, "") << c.target;
    }
    EXPECT_EQ(cell("BRK1")->Out.pend, 2);
    EXPECT_EQ(cell("DESK")->Out.pend, 0);
}

TEST(ScriptLineRead, OverLongLineKeepsItsHeadReportsItsLengthAndTheNextLineFollows) {
    std::istringstream in(std::string(5000, 'a') + "\n35=D|55=B\r\nlast");
    std::string line;
    EXPECT_EQ(ScriptLine::read(in, line), 5000u);
    EXPECT_EQ(line, std::string(ScriptLine::maxLength, 'a'));
    EXPECT_FALSE(in.eof());
    EXPECT_EQ(ScriptLine::read(in, line), 10u);
    EXPECT_EQ(line, "35=D|55=B\r");
    EXPECT_EQ(ScriptLine::read(in, line), 4u);
    EXPECT_EQ(line, "last");
    EXPECT_TRUE(in.eof());
}

}  // namespace
