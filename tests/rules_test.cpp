// The standard FIX session rules wired into both gateways: a site whose configuration says
// "@ {rules=standard}" keeps messages above a gap and asks once, ignores a garbled frame, rejects
// a message from the wrong CompID and logs out, and ends an orderly stop with a Logout. The rules
// themselves are tested case by case in sessioncore_test; these prove the programs use them.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "FixPeer.h"
#include "GatewayTest.h"
#include "MemoryCell.h"
#include "MsgQueue.h"
#include "Process.h"
#include "Shm.h"
#include "TestUtil.h"

namespace {

using namespace std::chrono;

enum class Role { Initiator, Acceptor };

// The current UTC time as SendingTime: the standard rules check it against the clock.
std::string now() {
    std::time_t t = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H:%M:%S", &utc);
    return text;
}

class StandardRules : public GatewayTest, public ::testing::WithParamInterface<Role> {
  protected:
    void SetUp() override {
        GatewayTest::SetUp();
        cell = shm->registerName("BRK1");
        cell->status = ' ';
        std::string self = initiator() ? "DESKA" : "GATE";
        home.writeCfg("BRK1", "@ {rules=standard}\n~ {8=FIX.4.2,9=,35=,49=" + self +
                                  ",56=BRK1,34=,52=}\nA {98=0,108=30}\n0 {}\n1 {112=}\n"
                                  "2 {7=,16=}\n3 {}\n4 {123=Y,36=}\n5 {58=}\n");
        peer = std::make_unique<FixPeer>("BRK1", self);
    }

    bool initiator() const { return GetParam() == Role::Initiator; }

    // Starts the gateway and logs the peer on; the gateway's answer or Logon is read.
    void logOn(const std::string& logon = "35=A|98=0|108=30") {
        if (initiator()) {
            int port = peer->listen();
            ASSERT_GT(port, 0);
            gw = std::make_unique<BackgroundProcess>(
                "gateconnect",
                std::vector<std::string>{table, "BRK1", "127.0.0.1", std::to_string(port), "-i",
                                         qin, "-o", qout},
                options());
            ASSERT_TRUE(peer->accept(5000));
            ASSERT_EQ(FixPeer::field(peer->read(5000), 35), "A");
            send(logon);
        } else {
            int port = 0;
            gw = startGatelisten(port);
            ASSERT_TRUE(gw);
            ASSERT_TRUE(peer->connect(port));
            send(logon);
            ASSERT_EQ(FixPeer::field(peer->read(5000), 35), "A");
        }
        ASSERT_TRUE(waitUntil([&] { return cell->In.seq == 1; }, 5000)) << gw->output();
    }

    std::string frame(const std::string& fields, int seq) { return peer->make(fields, seq, now()); }
    void send(const std::string& fields) { peer->sendRaw(frame(fields, nextSeq++)); }

    // ExecIDs the application got, in order, within a moment.
    std::vector<std::string> deliveredIds(std::size_t want, int withinMs = 5000) {
        std::vector<std::string> ids;
        waitUntil(
            [&] {
                for (std::string m; !(m = output->read(0, NoWaitMode)).empty();) {
                    ids.push_back(FixPeer::field(m, 17));
                }
                return ids.size() >= want;
            },
            withinMs);
        return ids;
    }

    // The counterparty goes first: a gateway that sees the connection closed ends at once,
    // instead of waiting for the answer to the Logout a stop would send.
    void TearDown() override {
        if (peer) peer->disconnect();
        GatewayTest::TearDown();
    }

    MemoryCell* cell = nullptr;
    std::unique_ptr<FixPeer> peer;
    int nextSeq = 1;
};

std::string execution(int n) {
    return "35=8|37=O" + std::to_string(n) + "|17=X" + std::to_string(n) +
           "|150=0|39=0|55=IBM|54=1|38=100";
}

TEST_P(StandardRules, MessagesAboveAGapAreKeptAskedForOnceAndDeliveredInOrder) {
    logOn();
    send(execution(2));  // 2
    nextSeq = 4;         // 3 goes missing
    send(execution(4));  // 4
    send(execution(5));  // 5
    std::string ask = peer->readType("2", 5000);
    EXPECT_EQ(FixPeer::field(ask, 7), "3");
    EXPECT_EQ(FixPeer::field(ask, 16), "0");
    peer->sendRaw(frame(execution(3) + "|43=Y|122=" + now(), 3));
    EXPECT_EQ(deliveredIds(4), (std::vector<std::string>{"X2", "X3", "X4", "X5"}));
    EXPECT_EQ(cell->In.seq, 5);
    EXPECT_TRUE(peer->quiet(300)) << "one ResendRequest for the gap";
}

TEST_P(StandardRules, AGarbledFrameIsIgnoredAndItsNumberAskedForWithTheNext) {
    logOn();
    std::string garbled = frame(execution(2), 2);
    garbled[garbled.size() - 2] = garbled[garbled.size() - 2] == '0' ? '1' : '0';  // checksum
    peer->sendRaw(garbled);
    nextSeq = 3;
    send(execution(3));
    EXPECT_EQ(FixPeer::field(peer->readType("2", 5000), 7), "2");
    peer->sendRaw(frame(execution(2) + "|43=Y|122=" + now(), 2));
    EXPECT_EQ(deliveredIds(2), (std::vector<std::string>{"X2", "X3"}));
    EXPECT_EQ(cell->status, status_Online);
}

TEST_P(StandardRules, AMessageFromTheWrongCompIdIsRejectedThenTheSessionLogsOut) {
    logOn();
    FixPeer stranger("SOMEONE", initiator() ? "DESKA" : "GATE");
    peer->sendRaw(stranger.make(execution(2), 2, now()));
    std::string rejected = peer->readType("3", 5000);
    EXPECT_EQ(FixPeer::field(rejected, 45), "2");
    EXPECT_EQ(FixPeer::field(rejected, 373), "9");
    EXPECT_EQ(FixPeer::field(rejected, 58), "CompID problem");
    EXPECT_EQ(FixPeer::field(peer->readType("5", 5000), 58), "CompID problem");
    EXPECT_TRUE(peer->waitClosed(5000));
    if (initiator()) {
        ProcessResult r = gw->wait(milliseconds(10000));
        EXPECT_EQ(lastLine(r.out), "Session ended: Logout sent: CompID problem (exit 0).");
    }
}

TEST_P(StandardRules, AStopSendsALogoutAndEndsWhenItIsAnswered) {
    logOn();
    gw->kill(SIGTERM);
    std::string logout = peer->readType("5", 5000);
    ASSERT_EQ(FixPeer::field(logout, 35), "5") << gw->output();
    send("35=5");
    EXPECT_TRUE(peer->waitClosed(5000));
    // Either program ends once its sessions have logged out.
    ProcessResult r = gw->wait(milliseconds(10000));
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(cell->status, status_Shutdown);
    if (initiator()) {
        EXPECT_EQ(lastLine(r.out), "Session ended: termination signal, Logout answered (exit 0).");
    }
}

// Our application not reading is no fault of the counterparty: with the output queue full for
// several TestRequest intervals, the gateway still reads, heartbeats and answers, and asks
// nothing of a counterparty that keeps talking.
TEST_P(StandardRules, AFullOutputQueueNeverCostsAHealthyCounterpartyItsSession) {
    logOn("35=A|98=0|108=1");
    std::size_t junk = 0;
    for (std::size_t size : {500, 1})
        while (output->offer(std::string(size, 'j'), 1)) ++junk;
    ASSERT_GT(junk, 0u);
    send(execution(2));
    std::vector<std::string> types;
    // A Heartbeat every half second: the idle rule counts whole seconds, so one a second could
    // look like two seconds of silence.
    for (int half = 0; half < 8; ++half) {
        send("35=0");
        auto until = steady_clock::now() + milliseconds(500);
        for (std::string m; steady_clock::now() < until;) {
            if (!(m = peer->read(100)).empty()) types.push_back(FixPeer::field(m, 35));
        }
    }
    send("35=2|7=1|16=0");
    std::string answer = peer->read(5000);
    EXPECT_TRUE(FixPeer::field(answer, 35) == "4" || FixPeer::field(answer, 43) == "Y") << answer;
    EXPECT_EQ(std::count(types.begin(), types.end(), "1"), 0) << "no TestRequest";
    EXPECT_EQ(std::count(types.begin(), types.end(), "5"), 0) << "no Logout";
    EXPECT_GE(std::count(types.begin(), types.end(), "0"), 2) << "Heartbeats go on";
    for (std::size_t i = 0; i < junk; ++i) output->read(0, NoWaitMode);
    EXPECT_EQ(deliveredIds(1), std::vector<std::string>{"X2"});
    EXPECT_EQ(cell->status, status_Online);
}

// Messages kept above a gap go to a reading application as fast as it takes them, whatever the
// size of the queue (a second per queue-full would take half a minute here).
TEST_P(StandardRules, ThousandsKeptAboveAGapReachAReadingApplicationInOrder) {
    logOn();
    const int last = 3002;
    for (int n = 3; n <= last; ++n) peer->sendRaw(frame(execution(n), n));
    EXPECT_EQ(FixPeer::field(peer->readType("2", 5000), 7), "2");
    peer->sendRaw(frame(execution(2) + "|43=Y|122=" + now(), 2));
    std::vector<std::string> ids = deliveredIds(last - 1, 10000);
    ASSERT_EQ(ids.size(), static_cast<std::size_t>(last - 1));
    for (int n = 2; n <= last; ++n) ASSERT_EQ(ids[n - 2], "X" + std::to_string(n));
    EXPECT_EQ(cell->In.seq, last);
}

INSTANTIATE_TEST_SUITE_P(BothRoles, StandardRules,
                         ::testing::Values(Role::Initiator, Role::Acceptor), [](const auto& info) {
                             return info.param == Role::Initiator ? "Gateconnect" : "Gatelisten";
                         });

// The same site with the shipped FIX 4.2 dictionary named on its setting line.
class DictionaryRules : public StandardRules {
  protected:
    void SetUp() override {
        StandardRules::SetUp();
        std::string self = initiator() ? "DESKA" : "GATE";
        home.writeCfg("BRK1",
                      "@ {rules=standard dictionary=FIX42.xml}\n~ {8=FIX.4.2,9=,35=,49=" + self +
                          ",56=BRK1,34=,52=}\nA {98=0,108=30}\n0 {}\n1 {112=}\n"
                          "2 {7=,16=}\n3 {}\n4 {123=Y,36=}\n5 {58=}\n");
    }
};

// An execution report with every field FIX 4.2 requires.
std::string fullExecution(int n) {
    return "35=8|37=O" + std::to_string(n) + "|17=X" + std::to_string(n) +
           "|20=0|150=0|39=0|55=IBM|54=1|38=100|151=100|14=0|6=0";
}

TEST_P(DictionaryRules, FaultyMessagesAreRejectedCountedNotDeliveredAndTheSessionGoesOn) {
    logOn();
    struct Case {
        std::string fields;
        const char* reason;
        const char* tag;
    } cases[] = {
        {fullExecution(2) + "|9999=X", "0", "9999"},
        {"35=8|37=O3|17=X3|20=0|150=0|39=0|55=IBM|54=1|151=100|14=0", "1", "6"},
        // FIX 4.2 has no reason 13: the Reject says it in 58 alone.
        {fullExecution(4) + "|54=2", "", "54"},
        {fullExecution(5) + "|32=1O0", "6", "32"},
    };
    for (const Case& c : cases) {
        int seq = nextSeq;
        send(c.fields);
        std::string rejected = peer->readType("3", 5000);
        EXPECT_EQ(FixPeer::field(rejected, 45), std::to_string(seq)) << c.fields;
        EXPECT_EQ(FixPeer::field(rejected, 373), c.reason) << c.fields;
        EXPECT_EQ(FixPeer::field(rejected, 371), c.tag) << c.fields;
        EXPECT_EQ(FixPeer::field(rejected, 372), "8") << c.fields;
    }
    send(fullExecution(6));
    EXPECT_EQ(deliveredIds(1), (std::vector<std::string>{"X6"})) << "only the valid one";
    EXPECT_EQ(cell->In.seq, 6);
    EXPECT_EQ(cell->status, status_Online);
    EXPECT_TRUE(gw->waitForOutput("[2] 8 refused: tag 9999, Invalid tag number; not delivered.",
                                  milliseconds(3000)))
        << gw->output();
}

TEST_P(DictionaryRules, ABadDictionaryRefusesTheSiteBeforeASessionStarts) {
    home.writeFile("cfg/FIX42.xml", "<fix major='4' minor='2'><header/></fix>");
    if (initiator()) {
        int port = peer->listen();
        ASSERT_GT(port, 0);
        gw = std::make_unique<BackgroundProcess>(
            "gateconnect",
            std::vector<std::string>{table, "BRK1", "127.0.0.1", std::to_string(port), "-i", qin,
                                     "-o", qout},
            options());
        ProcessResult r = gw->wait(milliseconds(10000));
        EXPECT_NE(r.exitCode, 0) << r.out;
        EXPECT_NE(r.err.find("./cfg/FIX42.xml: no <fields>"), std::string::npos) << r.err;
        EXPECT_EQ(lastLine(r.out),
                  "Session ended: failure: FIX data dictionary named in "
                  "./cfg/BRK1.fix refused: ./cfg/FIX42.xml: no <fields> (exit 1).")
            << r.out;
        EXPECT_FALSE(peer->accept(200)) << "it never connected";
    } else {
        int port = 0;
        gw = startGatelisten(port);
        ASSERT_TRUE(gw);
        ASSERT_TRUE(peer->connect(port));
        send("35=A|98=0|108=30");
        EXPECT_TRUE(peer->waitClosed(5000)) << "no Logon answer, the connection closed";
        EXPECT_TRUE(gw->waitForOutput("./cfg/FIX42.xml: no <fields>", milliseconds(3000)))
            << gw->output();
        EXPECT_NE(cell->status, status_Online);
    }
}

TEST_P(DictionaryRules, ALogonThatFailsTheDictionaryIsRefused) {
    const std::string logon = "35=A|98=0|108=30|9999=X";
    if (initiator()) {
        int port = peer->listen();
        ASSERT_GT(port, 0);
        gw = std::make_unique<BackgroundProcess>(
            "gateconnect",
            std::vector<std::string>{table, "BRK1", "127.0.0.1", std::to_string(port), "-i", qin,
                                     "-o", qout},
            options());
        ASSERT_TRUE(peer->accept(5000));
        ASSERT_EQ(FixPeer::field(peer->read(5000), 35), "A");
        send(logon);
        ProcessResult r = gw->wait(milliseconds(10000));
        EXPECT_NE(r.exitCode, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("Logon refused: tag 9999, Invalid tag number."), std::string::npos)
            << r.out;
        EXPECT_EQ(lastLine(r.out),
                  "Session ended: Logon reply failed the frame or dictionary checks (exit 2).");
    } else {
        int port = 0;
        gw = startGatelisten(port);
        ASSERT_TRUE(gw);
        ASSERT_TRUE(peer->connect(port));
        send(logon);
        EXPECT_TRUE(peer->waitClosed(5000)) << "no Logon answer, the connection closed";
        EXPECT_TRUE(
            gw->waitForOutput("Logon refused: tag 9999, Invalid tag number.", milliseconds(3000)))
            << gw->output();
    }
    EXPECT_EQ(cell->In.seq, 0);
}

INSTANTIATE_TEST_SUITE_P(BothRoles, DictionaryRules,
                         ::testing::Values(Role::Initiator, Role::Acceptor), [](const auto& info) {
                             return info.param == Role::Initiator ? "Gateconnect" : "Gatelisten";
                         });

}  // namespace
