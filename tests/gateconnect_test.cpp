// gateconnect driven as a real process by a scripted counterparty: logon and restart numbering,
// the road of messages between the queues and the wire, gaps and resend answers, the session-level
// messages, the idle rule, and the ways a session ends. Every test has its own table, queues and
// FIXHOME, and ends the program by its pid.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Common.h"
#include "Dispatcher.h"
#include "FixClient.h"
#include "FixPeer.h"
#include "GatewayTest.h"
#include "Ipc.h"
#include "Journal.h"
#include "MemoryCell.h"
#include "MsgQueue.h"
#include "Mutex.h"
#include "Process.h"
#include "SeqFile.h"
#include "Shm.h"
#include "SignalStorm.h"
#include "Socket.h"
#include "TempHome.h"
#include "TestUtil.h"
#include "Time.h"

namespace {

using namespace std::chrono;

const std::string site = "BRK1";

const std::string usage =
    "Usage: gateconnect shm site remoteAddress servicePort [-x host:port[,host:port...]] [-i c.1] "
    "[-o c.0] [-r Y] [-j servers] [-g gateway]\n\n";

// gateconnect ended with this status, its last console line saying why.
void expectEnded(const ProcessResult& r, int status, const std::string& why) {
    EXPECT_EQ(r.exitCode, status) << r.out;
    EXPECT_EQ(lastLine(r.out), "Session ended: " + why + " (exit " + std::to_string(status) + ").");
}

// Header, Logon, Heartbeat, TestRequest, ResendRequest, SequenceReset (gap fill) and Logout.
const std::string siteCfg =
    "* initiator test site\n"
    "~ {8=FIX.4.2,9=,35=,49=DESKA,56=BRK1,34=,52=}\n"
    "A {98=0,108=30}\n"
    "0 {}\n"
    "1 {112=}\n"
    "2 {7=,16=}\n"
    "4 {123=Y,36=}\n"
    "5 {58=}\n";

class Initiator : public GatewayTest {
  protected:
    void SetUp() override {
        GatewayTest::SetUp();
        cell = shm->registerName(site);
        cell->status = ' ';
        home.writeCfg(site, siteCfg);
    }

    std::vector<std::string> args(int port) {
        std::vector<std::string> a = {table, site, "127.0.0.1", portPrefix + std::to_string(port),
                                      "-i",  qin,  "-o",        qout};
        a.insert(a.end(), extraArgs.begin(), extraArgs.end());
        return a;
    }

    // Starts the gateway against the peer and reads its Logon.
    void start(int rcvbuf = 0) {
        int port = peer.listen(rcvbuf);
        ASSERT_GT(port, 0);
        gw = std::make_unique<BackgroundProcess>("gateconnect", args(port), options());
        ASSERT_TRUE(peer.accept(5000)) << gw->output() << gw->errors();
        logon = peer.read(5000);
        ASSERT_EQ(FixPeer::field(logon, 35), "A") << FixPeer::bars(logon);
    }

    // Starts the gateway and answers its Logon with HeartBtInt hb, numbered seq.
    void logOn(int hb = 30, int seq = 1) {
        start();
        peer.send("35=A|98=0|108=" + std::to_string(hb), seq);
        nextSeq = seq + 1;
        ASSERT_TRUE(waitUntil([&] { return cell->status == status_Online; }, 5000));
        // The loop is running once the dispatcher has been started.
        ASSERT_TRUE(gw->waitForOutput("Thread [DP] was created.", milliseconds(5000)));
    }

    // Sends the peer's next message in sequence.
    std::string peerSends(const std::string& fields) { return peer.send(fields, nextSeq++); }

    void putOutbound(const std::string& fields, long type = 1) {
        input->write(FixPeer::soh(fields), WaitMode, type);
    }

    // The next message the gateway delivered to the output queue, with its type.
    std::string delivered(long& type, int limitMs = 3000) {
        std::string text;
        waitUntil(
            [&] {
                text = output->read(0, NoWaitMode);
                return !text.empty();
            },
            limitMs);
        type = output->lastType();
        return text;
    }

    ProcessResult ended(int limitMs = 10000) { return gw->wait(milliseconds(limitMs)); }

    std::string logPath(const std::string& direction) {
        return "logs/" + site + "." + direction + "." + Time().getLogDate();
    }

    // The counterparty goes first: a gateway that sees the connection closed ends at once,
    // instead of waiting for the answer to the Logout a stop would send.
    void TearDown() override {
        peer.disconnect();
        GatewayTest::TearDown();
    }

    MemoryCell* cell = nullptr;
    FixPeer peer{"BRK1", "DESKA"};
    std::string logon;
    int nextSeq = 1;
    // Leading zeros written before the port on the command line.
    std::string portPrefix;
    std::vector<std::string> extraArgs;
};

// --- Logon and numbering -------------------------------------------------------------------

TEST_F(Initiator, FirstRunOfTheDayLogsOnWithOneAndCountsTheReply) {
    portPrefix = "00";  // a port is its value, whatever its leading zeros
    logOn(30, 1);
    EXPECT_EQ(FixPeer::field(logon, 34), "1");
    EXPECT_EQ(FixPeer::field(logon, 49), "DESKA");
    EXPECT_EQ(FixPeer::field(logon, 56), "BRK1");
    EXPECT_EQ(FixPeer::field(logon, 108), "30");
    EXPECT_EQ(FixPeer::field(logon, 98), "0");
    EXPECT_TRUE(FixPeer::wellFormed(logon));
    EXPECT_EQ(cell->In.seq, 1);
    EXPECT_EQ(cell->Out.seq, 1);
    std::string out = gw->output();
    EXPECT_NE(out.find(" Program: gateconnect"), std::string::npos);
    EXPECT_NE(out.find("Shared Memory [" + table + "] was attached."), std::string::npos);
    EXPECT_NE(out.find("MsgQueue [" + qout + "] was attached."), std::string::npos);
    EXPECT_NE(out.find("[127.0.0.1:00" + std::to_string(peer.port()) + "] was established."),
              std::string::npos);
    EXPECT_NE(out.find("Setup FIX sequence numbers. SEQ IN: 0 SEQ OUT: 0"), std::string::npos);
    EXPECT_NE(out.find("FIX Message: <-LOGON>"), std::string::npos);
    // The reply is the first entry of the incoming log, the Logon the first of the outgoing one.
    auto in = nonEmptyLines(home.readFile(logPath("in")));
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(FixPeer::field(in[0], 35), "A");
    EXPECT_EQ(nonEmptyLines(home.readFile(logPath("out"))), std::vector<std::string>{logon});
}

TEST_F(Initiator, SameDayRestartResumesNumberingFromTheDaysLogs) {
    FixPeer old("DESKA", "BRK1");
    std::string outLog, inLog;
    for (int seq : {1, 2, 41, 3}) outLog += old.make("35=0", seq) + "\n";
    for (int seq : {1, 17}) inLog += peer.make("35=0", seq) + "\n";
    home.writeFile(logPath("out"), outLog);
    home.writeFile(logPath("in"), inLog);
    logOn(30, 18);
    EXPECT_EQ(FixPeer::field(logon, 34), "42");
    EXPECT_EQ(cell->In.seq, 18);
    EXPECT_EQ(cell->Out.seq, 42);
    EXPECT_NE(gw->output().find("SEQ IN: 17 SEQ OUT: 41"), std::string::npos);
}

TEST_F(Initiator, ResetOnLogonStartsBothNumbersAtOneAndKeepsTheDaysLogsAside) {
    home.writeCfg(site, "@ {rules=standard}\n" + siteCfg);
    FixPeer old("DESKA", "BRK1");
    home.writeFile(logPath("out"), old.make("35=0", 41) + "\n");
    home.writeFile(logPath("in"), peer.make("35=0", 17) + "\n");
    extraArgs = {"-r", "Y"};
    start();
    EXPECT_EQ(FixPeer::field(logon, 34), "1");
    EXPECT_EQ(FixPeer::field(logon, 141), "Y");
    // The standard rules check SendingTime against the clock.
    peer.sendRaw(peer.make("35=A|98=0|108=30|141=Y", 1, Time().getGMTime()));
    ASSERT_TRUE(waitUntil([&] { return cell->status == status_Online; }, 5000)) << gw->output();
    EXPECT_EQ(cell->In.seq, 1);
    EXPECT_EQ(cell->Out.seq, 1);
    EXPECT_EQ(nonEmptyLines(home.readFile(logPath("out"))), std::vector<std::string>{logon});
    // The old numbering's logs stay beside the new ones, under the time of the reset.
    std::string listing;
    for (const auto& entry : std::filesystem::directory_iterator(home.logsDir()))
        listing += entry.path().filename().string() + "\n";
    for (const std::string kept : {".out.", ".in."})
        EXPECT_NE(listing.find(site + kept + Time().getLogDate() + ".reset-"), std::string::npos)
            << listing;
}

TEST_F(Initiator, LogonReplyAboveExpectedIsAcceptedAndAsksForTheGap) {
    start();
    peer.send("35=A|98=0|108=30", 5);
    std::string ask = peer.read(5000);
    EXPECT_EQ(FixPeer::field(ask, 35), "2");
    EXPECT_EQ(FixPeer::field(ask, 7), "1");
    EXPECT_EQ(FixPeer::field(ask, 16), "0");
    EXPECT_EQ(FixPeer::field(ask, 34), "2");
    ASSERT_TRUE(waitUntil([&] { return cell->status == status_Online; }, 3000));
    EXPECT_EQ(cell->In.seq, 0);
}

TEST_F(Initiator, LogonReplyBelowExpectedEndsTheProgramWithBothNumbers) {
    std::string inLog;
    for (int seq : {1, 2, 3, 4}) inLog += peer.make("35=0", seq) + "\n";
    home.writeFile(logPath("in"), inLog);
    start();
    peer.send("35=A|98=0|108=30", 2);
    ProcessResult r = ended();
    EXPECT_TRUE(r.exited);
    expectEnded(r, 2, "Logon reply numbered too low: 2, expecting 5");
    EXPECT_NE(r.out.find("Error: Received incoming message sequencenumber [2] is less than "
                         "expected [5].\nSystem Shutdown."),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(peer.waitClosed(3000));
    EXPECT_EQ(cell->status, status_Shutdown);
}

TEST_F(Initiator, FirstAnswerThatIsNotALogonFailsTheLogon) {
    start();
    peer.send("35=5|58=go away", 1);
    ProcessResult r = ended();
    expectEnded(r, 2, "Logout received instead of the Logon reply: go away");
    EXPECT_NE(r.out.find("Error: Fail to receive <-LOGON> reply."), std::string::npos) << r.out;
}

TEST_F(Initiator, LogonReplyInTwoSegmentsIsReadWhole) {
    start();
    std::string reply = peer.make("35=A|98=0|108=30", 1);
    peer.sendRaw(reply.substr(0, 15));
    std::this_thread::sleep_for(milliseconds(200));
    peer.sendRaw(reply.substr(15));
    EXPECT_TRUE(waitUntil([&] { return cell->status == status_Online; }, 5000)) << gw->output();
    EXPECT_EQ(cell->In.seq, 1);
}

TEST_F(Initiator, PeerThatClosesOrSendsGarbageInsteadOfALogonFailsTheLogon) {
    start();
    peer.disconnect();
    ProcessResult closed = ended();
    expectEnded(closed, 2, "connection closed before the Logon reply");
    EXPECT_NE(closed.out.find("Error: Fail to receive <-LOGON> reply."), std::string::npos);

    FixPeer second("BRK1", "DESKA");
    int port = second.listen();
    gw = std::make_unique<BackgroundProcess>("gateconnect", args(port), options());
    ASSERT_TRUE(second.accept(5000));
    second.sendRaw("this is not a FIX message at all, not even close\x01");
    ProcessResult garbage = ended();
    expectEnded(garbage, 2, "unframeable data instead of the Logon reply");
    EXPECT_NE(garbage.out.find("Error: Fail to receive <-LOGON> reply."), std::string::npos);

    // A TLS tunnel in front of the counterparty that refuses our certificate drops the connection.
    FixPeer third("BRK1", "DESKA");
    port = third.listen();
    gw = std::make_unique<BackgroundProcess>("gateconnect", args(port), options());
    ASSERT_TRUE(third.accept(5000));
    ASSERT_EQ(FixPeer::field(third.read(5000), 35), "A");
    third.reset();
    ProcessResult reset = ended();
    expectEnded(reset, 2, "connection reset before the Logon reply");
}

// A FIXT.1.1 site's Logon names its DefaultApplVerID; a reply without one the site accepts, or of
// another BeginString, ends the program before the session starts.
TEST_F(Initiator, FixtLogonCarriesTheApplicationVersionAndTheReplyMustAgreeOnOne) {
    std::string fixtCfg = siteCfg;
    fixtCfg.replace(fixtCfg.find("FIX.4.2"), 7, "FIXT.1.1");
    home.writeCfg(site, "@ {applver=9,8}\n" + fixtCfg);
    const struct {
        const char* version;
        const char* logon;
        const char* refusal;  // "": taken
    } rows[] = {
        {"FIXT.1.1", "35=A|98=0|108=30|1137=8", ""},
        {"FIXT.1.1", "35=A|98=0|108=30", "Logon reply refused: no DefaultApplVerID (1137)"},
        {"FIXT.1.1", "35=A|98=0|108=30|1137=7",
         "Logon reply refused: DefaultApplVerID 7 is not one the site accepts (9,8)"},
        {"FIX.4.4", "35=A|98=0|108=30|1137=9",
         "Logon reply refused: BeginString FIX.4.4 where the site speaks FIXT.1.1"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.logon + std::string(" on ") + r.version);
        cell->status = ' ';
        FixPeer far("BRK1", "DESKA");
        int port = far.listen();
        gw = std::make_unique<BackgroundProcess>("gateconnect", args(port), options());
        ASSERT_TRUE(far.accept(5000)) << gw->output();
        std::string ours = far.read(5000);
        EXPECT_EQ(FixPeer::field(ours, 8), "FIXT.1.1") << FixPeer::bars(ours);
        EXPECT_EQ(FixPeer::field(ours, 1137), "9");
        far.sendRaw(FixPeer("BRK1", "DESKA", r.version).make(r.logon, 1));
        if (*r.refusal == '\0') {
            EXPECT_TRUE(waitUntil([&] { return cell->status == status_Online; }, 5000))
                << gw->output();
            far.disconnect();
            gw->stop(milliseconds(5000));
        } else {
            expectEnded(ended(), 2, r.refusal);
        }
    }
}

// --- Application messages ------------------------------------------------------------------

TEST_F(Initiator, InboundBusinessMessagesReachTheOutputQueueByteForByte) {
    logOn();
    std::string report = peerSends("35=8|37=O1|11=C1|39=0|55=IBM");
    std::string reject = peerSends("35=j|45=3|380=1");
    std::string capture = peerSends("35=AE|571=T1");
    long type = 0;
    EXPECT_EQ(delivered(type), report);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(delivered(type), reject);
    EXPECT_EQ(delivered(type), capture);
    EXPECT_TRUE(waitUntil([&] { return cell->In.pend == 3; }, 2000));
    EXPECT_EQ(cell->In.seq, 4);
    // A Logon after the session is up is only counted.
    peerSends("35=A|98=0|108=30");
    EXPECT_TRUE(waitUntil([&] { return cell->In.seq == 5; }, 2000));
    EXPECT_EQ(delivered(type, 300), "");
}

TEST_F(Initiator, OutboundQueueTextIsStampedSentLoggedAndCounted) {
    logOn();
    putOutbound("35=D|11=ORD1|55=IBM|54=1|38=100|40=1");
    std::string order = peer.read(5000);
    EXPECT_EQ(FixPeer::field(order, 35), "D");
    EXPECT_EQ(FixPeer::field(order, 34), "2");
    EXPECT_EQ(FixPeer::field(order, 49), "DESKA");
    EXPECT_EQ(FixPeer::field(order, 56), "BRK1");
    EXPECT_EQ(FixPeer::field(order, 11), "ORD1");
    EXPECT_EQ(FixPeer::field(order, 38), "100");
    EXPECT_TRUE(FixPeer::wellFormed(order)) << FixPeer::bars(order);
    // MsgType stands third, right after BeginString and BodyLength.
    auto tags = FixPeer::tags(order);
    ASSERT_GE(tags.size(), 3u);
    EXPECT_EQ(tags[2], 35);
    EXPECT_TRUE(waitUntil([&] { return cell->Out.proc == 1; }, 2000));
    EXPECT_EQ(cell->Out.seq, 2);
    auto out = nonEmptyLines(home.readFile(logPath("out")));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], order);
}

TEST_F(Initiator, BurstsKeepTheirOrderAndNumbersInBothDirectionsAndInTheLogs) {
    logOn();
    constexpr int count = 1500;
    // Orders as fast as the queue takes them: some leave one by one, most in batches.
    std::thread writer([&] {
        for (int i = 1; i <= count; ++i) putOutbound("35=D|11=O" + std::to_string(i) + "|55=IBM");
    });
    // Executions in one write, so the gateway reads and logs many at a time.
    std::string burst;
    for (int i = 1; i <= count; ++i) burst += peer.make("35=8|11=E" + std::to_string(i), nextSeq++);
    peer.sendRaw(burst);
    std::vector<std::string> orders;
    for (int i = 0; i < count + 10 && orders.size() < count; ++i) {
        std::string m = peer.read(5000);
        if (m.empty()) break;
        if (FixPeer::field(m, 35) == "D") orders.push_back(m);
    }
    writer.join();
    ASSERT_EQ(orders.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(FixPeer::field(orders[i], 11), "O" + std::to_string(i + 1));
        ASSERT_EQ(FixPeer::field(orders[i], 34), std::to_string(i + 2));
    }
    for (int i = 1; i <= count; ++i) {
        long type = 0;
        ASSERT_EQ(FixPeer::field(delivered(type), 11), "E" + std::to_string(i));
    }
    auto out = nonEmptyLines(home.readFile(logPath("out")));
    ASSERT_EQ(out.size(), static_cast<size_t>(count) + 1);
    EXPECT_TRUE(std::equal(orders.begin(), orders.end(), out.begin() + 1));
    auto in = nonEmptyLines(home.readFile(logPath("in")));
    ASSERT_EQ(in.size(), static_cast<size_t>(count) + 1);
    EXPECT_EQ(FixPeer::field(in.back(), 11), "E" + std::to_string(count));
    EXPECT_TRUE(waitUntil([&] { return cell->Out.proc == count; }, 2000));
}

TEST_F(Initiator, OutboundTextThatIsEmptyOrHoldsANewlineOrANulIsRefusedAndTakesNoNumber) {
    using namespace std::string_literals;
    logOn();
    struct Case {
        std::string text;
        std::string reason;
    };
    const std::vector<Case> refusedTexts{{"35=D|11=NL\n55=IBM|"s, "it holds a newline"},
                                         {"35=D|11=NUL|\0|55=IBM|"s, "it holds a NUL byte"},
                                         {"35=D|11=END|\n"s, "it holds a newline"},
                                         {"", "it is empty"}};
    for (const Case& c : refusedTexts) putOutbound(c.text);
    putOutbound("35=D|11=GOOD|55=IBM|");

    // Nothing of the refused texts reaches the wire: the next message is the good order, numbered
    // right after the Logon.
    std::string order = peer.read(5000);
    EXPECT_EQ(FixPeer::field(order, 35), "D") << FixPeer::bars(order);
    EXPECT_EQ(FixPeer::field(order, 11), "GOOD");
    EXPECT_EQ(FixPeer::field(order, 34), "2");
    EXPECT_TRUE(peer.quiet(300));
    EXPECT_EQ(cell->Out.seq, 2);
    auto lines = nonEmptyLines(gw->errors());
    ASSERT_EQ(lines.size(), refusedTexts.size()) << gw->errors();
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i], "Dispatcher [BRK1] refused an outbound text of " +
                                std::to_string(refusedTexts[i].text.size()) +
                                " bytes: " + refusedTexts[i].reason + ".");
    }
    // The journal holds nothing: no slot waits for a number that will never be logged.
    EXPECT_TRUE(waitUntil([&] { return cell->Out.proc == 1; }, 2000));
    EXPECT_EQ(Journal::countHeld(home.logsDir() + "/BRK1.journal"), 0);
    ProcessResult r = gw->stop();
    // The Logon, the good order and the Logout of the orderly end.
    auto logged = nonEmptyLines(home.readFile(logPath("out")));
    ASSERT_EQ(logged.size(), 3u) << r.out;
    EXPECT_EQ(FixPeer::field(logged[2], 35), "5");
    EXPECT_EQ(Journal::countHeld(home.logsDir() + "/BRK1.journal"), 0);
}

// --- Gaps and resend answers -----------------------------------------------------------------

TEST_F(Initiator, GapAsksForResendDropsTheGappedMessageAndTakesTheResentOne) {
    logOn();
    peer.send("35=8|11=LATE", 4);
    std::string ask = peer.readType("2", 3000);
    EXPECT_EQ(FixPeer::field(ask, 7), "2");
    EXPECT_EQ(FixPeer::field(ask, 16), "0");
    long type = 0;
    EXPECT_EQ(delivered(type, 300), "");
    EXPECT_EQ(cell->In.seq, 1);
    std::string resent = peer.send("35=8|11=FIRST", 2);
    EXPECT_EQ(delivered(type), resent);
    EXPECT_EQ(cell->In.seq, 2);
}

// Builds the outgoing log 1 Logon, then `kinds` in order: 'D' an order from the queue, '0' a
// heartbeat the gateway sends back for a peer heartbeat.
class ResendAnswer : public Initiator {
  protected:
    void buildLog(const std::string& kinds) {
        logOn();
        int expected = 1;
        for (char kind : kinds) {
            ++expected;
            if (kind == 'D') {
                putOutbound("35=D|11=ORD" + std::to_string(expected) + "|55=IBM");
            } else {
                peerSends("35=0");
            }
            std::string got = peer.read(3000);
            ASSERT_EQ(FixPeer::field(got, 34), std::to_string(expected));
            ASSERT_EQ(FixPeer::field(got, 35), std::string(1, kind));
            sent[expected] = got;
        }
    }

    // Asks for begin..end and returns what comes back until the peer has heard nothing for a
    // while.
    std::vector<std::string> ask(int begin, int end) {
        peerSends("35=2|7=" + std::to_string(begin) + "|16=" + std::to_string(end));
        std::vector<std::string> answer;
        for (std::string m = peer.read(1000); !m.empty(); m = peer.read(400)) answer.push_back(m);
        return answer;
    }

    void expectResent(const std::string& m, int seq) {
        const std::string& original = sent[seq];
        EXPECT_EQ(FixPeer::field(m, 34), std::to_string(seq));
        EXPECT_EQ(FixPeer::field(m, 35), "D");
        EXPECT_EQ(FixPeer::field(m, 43), "Y");
        EXPECT_EQ(FixPeer::field(m, 122), FixPeer::field(original, 52));
        EXPECT_EQ(FixPeer::field(m, 11), FixPeer::field(original, 11));
        EXPECT_TRUE(FixPeer::wellFormed(m)) << FixPeer::bars(m);
    }

    void expectGapFill(const std::string& m, int seq, int newSeq) {
        EXPECT_EQ(FixPeer::field(m, 35), "4");
        EXPECT_EQ(FixPeer::field(m, 34), std::to_string(seq));
        EXPECT_EQ(FixPeer::field(m, 36), std::to_string(newSeq));
        EXPECT_EQ(FixPeer::field(m, 123), "Y");
        EXPECT_TRUE(FixPeer::wellFormed(m)) << FixPeer::bars(m);
    }

    // The number the next new outbound message carries.
    std::string nextNewNumber() {
        putOutbound("35=D|11=NEXT");
        return FixPeer::field(peer.readType("D", 3000), 34);
    }

    std::map<int, std::string> sent;
};

TEST_F(ResendAnswer, OrdersAreResentAndTheHeartbeatBetweenThemIsGapFilled) {
    buildLog("D0D");  // 1 Logon, 2 D, 3 Heartbeat, 4 D
    auto answer = ask(2, 0);
    ASSERT_EQ(answer.size(), 3u);
    expectResent(answer[0], 2);
    expectGapFill(answer[1], 3, 4);
    expectResent(answer[2], 4);
    EXPECT_EQ(cell->Out.seq, 4);

    // Bounded at 3: exactly the range asked, the heartbeat filled up to EndSeqNo + 1 and not a
    // number further, since a peer asking in chunks already holds the rest.
    answer = ask(2, 3);
    ASSERT_EQ(answer.size(), 2u);
    expectResent(answer[0], 2);
    expectGapFill(answer[1], 3, 4);
    EXPECT_EQ(nextNewNumber(), "5");
    // Resent messages and gap fills never enter the outgoing log.
    // The log line follows the send.
    EXPECT_TRUE(waitUntil([&] { return cell->Out.proc == 3; }, 2000));
    EXPECT_EQ(nonEmptyLines(home.readFile(logPath("out"))).size(), 5u);
}

TEST_F(ResendAnswer, TrailingHeartbeatsAreFilledUpToTheNextNewNumber) {
    buildLog("DD00");  // 1 Logon, 2 D, 3 D, 4 Heartbeat, 5 Heartbeat
    auto bounded = ask(2, 2);
    ASSERT_EQ(bounded.size(), 1u);
    expectResent(bounded[0], 2);

    bounded = ask(2, 4);
    ASSERT_EQ(bounded.size(), 3u);
    expectResent(bounded[0], 2);
    expectResent(bounded[1], 3);
    expectGapFill(bounded[2], 4, 5);
    EXPECT_EQ(cell->Out.seq, 5);

    // Open-ended: the closing gap fill announces Out.seq + 1, and Out.seq is never lowered.
    auto open = ask(2, 0);
    ASSERT_EQ(open.size(), 3u);
    expectResent(open[0], 2);
    expectResent(open[1], 3);
    expectGapFill(open[2], 4, 6);
    EXPECT_EQ(cell->Out.seq, 5);
    EXPECT_EQ(nextNewNumber(), "6");
}

TEST_F(ResendAnswer, RequestBeyondEverythingSentGetsNoAnswer) {
    buildLog("D");
    EXPECT_TRUE(ask(9, 0).empty());
    EXPECT_EQ(nextNewNumber(), "3");
}

// --- Session-level messages ----------------------------------------------------------------

TEST_F(Initiator, SessionLevelMessagesAreAnsweredAndNeverDelivered) {
    logOn();
    peerSends("35=1|112=PING-7");
    std::string hb = peer.read(3000);
    EXPECT_EQ(FixPeer::field(hb, 35), "0");
    EXPECT_EQ(FixPeer::field(hb, 112), "PING-7");

    peerSends("35=0");
    hb = peer.read(3000);
    EXPECT_EQ(FixPeer::field(hb, 35), "0");
    EXPECT_EQ(FixPeer::field(hb, 112), "");

    peerSends("35=3|45=2|58=bad");
    hb = peer.read(3000);
    EXPECT_EQ(FixPeer::field(hb, 35), "0");

    peerSends("35=4|36=100");
    EXPECT_TRUE(waitUntil([&] { return cell->In.seq == 99; }, 2000));
    long type = 0;
    EXPECT_EQ(delivered(type, 200), "");
    EXPECT_EQ(cell->In.pend, 0);

    peer.send("35=5|58=end of day", 100);
    ProcessResult r = ended();
    EXPECT_TRUE(r.exited);
    expectEnded(r, 0, "Logout received: end of day");
    EXPECT_EQ(cell->status, status_Shutdown);
    EXPECT_EQ(cell->In.seq, 100);
}

TEST_F(Initiator, ShutdownWrittenIntoTheCellEndsTheSessionWithALogout) {
    logOn();
    cell->status = status_Shutdown;
    std::string logout = peer.readType("5", 7000);
    EXPECT_EQ(FixPeer::field(logout, 34), "2");
    peerSends("35=5");
    ProcessResult r = ended(3000);
    expectEnded(r, 0, "stop written into the cell, Logout answered");
    EXPECT_EQ(cell->status, status_Shutdown);
}

TEST_F(Initiator, SilentCounterpartyGetsATestRequestAndIsThenGivenUp) {
    logOn(1);
    // About one interval to 'H' with nothing sent, one more to the TestRequest.
    std::string test = peer.read(9000);
    EXPECT_EQ(FixPeer::field(test, 35), "1");
    EXPECT_EQ(FixPeer::field(test, 112), "1");
    EXPECT_EQ(FixPeer::bars(peer.read(9000)), "");  // nothing more before the session gives up
    ProcessResult r = ended(5000);
    EXPECT_TRUE(r.exited);
    expectEnded(r, 0, "no answer to our TestRequest within 1 s");
    EXPECT_EQ(cell->status, status_Shutdown);
}

// --- Protection of the session ---------------------------------------------------------------

TEST_F(Initiator, DuplicateBelowExpectedIsIgnoredOnlyWithPossDupFlag) {
    logOn();
    std::string first = peerSends("35=8|11=A");
    long type = 0;
    EXPECT_EQ(delivered(type), first);
    peer.send("35=8|43=Y|11=A", 2);
    std::string next = peerSends("35=8|11=B");
    EXPECT_EQ(delivered(type), next);
    EXPECT_EQ(cell->In.seq, 3);
    EXPECT_TRUE(waitUntil([&] { return cell->In.pend == 2; }, 2000));  // counted after the write

    peer.send("35=8|11=A", 2);
    ProcessResult r = ended();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(cell->status, status_Shutdown);
    EXPECT_EQ(cell->In.pend, 2);
}

TEST_F(Initiator, MessageFromAnotherCompIdEndsTheSessionUndelivered) {
    logOn();
    FixPeer stranger("INTRUDER", "DESKA");
    peer.sendRaw(stranger.make("35=8|11=X", nextSeq));
    ProcessResult r = ended();
    expectEnded(r, 0, "a message from the counterparty failed the session checks");
    long type = 0;
    EXPECT_EQ(delivered(type, 100), "");
    EXPECT_EQ(cell->In.seq, 1);
}

TEST_F(Initiator, UnframeableInputEndsTheSessionCleanly) {
    logOn();
    peer.sendRaw(
        "8=FIX.4.2\x01"
        "9=abc\x01"
        "35=0\x01"
        "10=000\x01"
        "junkjunkjunk");
    ProcessResult r = ended(5000);
    EXPECT_TRUE(r.exited);
    expectEnded(r, 0, "unframeable data from the counterparty");
    EXPECT_EQ(cell->status, status_Shutdown);
}

TEST_F(Initiator, PeerClosingTheConnectionEndsTheSessionAtOnce) {
    logOn();
    auto begin = steady_clock::now();
    peer.disconnect();
    ProcessResult r = ended(5000);
    expectEnded(r, 0, "connection closed by the counterparty");
    EXPECT_LT(steady_clock::now() - begin, seconds(3));
    EXPECT_EQ(cell->status, status_Shutdown);
}

// A process that runs one initiator session after another keeps nothing of the ones before: a
// thousand sessions, each logged on and closed by the counterparty or refused at the Logon,
// leave the process's descriptors as they were.
TEST_F(Initiator, AThousandSessionsInOneProcessLeaveTheDescriptorsAsTheyWere) {
    Dispatcher::installWakeHandler();
    home.enter();
    fix_init_env();
    int port = peer.listen();
    ASSERT_GT(port, 0);
    Mutex lock;
    std::string inName = qin, name = site;
    int expected = 1;  // the MsgSeqNum the site expects of the next Logon reply
    // One session, its Logon answered unless `refuse`; Client()'s result.
    auto session = [&](bool refuse) {
        Socket sock("127.0.0.1", port);
        FixClient client(sock, name);
        client.Setup(*shm, lock, output.get(), inName);
        auto run = std::async(std::launch::async, [&] { return client.Client(); });
        if (peer.accept(5000) && !peer.read(5000).empty() && !refuse)
            peer.send("35=A|98=0|108=30", expected++);
        peer.disconnect();
        int result = run.get();  // an exception fails the test here
        sock.closeOff();
        return result;
    };
    // The sessions' console lines go nowhere while they run.
    std::fflush(stdout);
    int console = ::dup(1), null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::close(null);
    int first = session(false);  // makes whatever a process makes once
    int before = openDescriptors(::getpid()), ended = 0, refused = 0;
    for (int i = 0; i < 1000; ++i) {
        int result = session(i % 4 == 3);
        ended += result == 0;
        refused += result == FixClient::LogonFailed;
    }
    int after = openDescriptors(::getpid());
    std::fflush(stdout);  // the console again, so that failures show
    ::dup2(console, 1);
    ::close(console);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(after, before);
    EXPECT_EQ(ended, 750);
    EXPECT_EQ(refused, 250);
    EXPECT_EQ(cell->In.seq, expected - 1);
    EXPECT_EQ(cell->status, status_Shutdown);
    home.leave();
    fix_init_env();
}

TEST_F(Initiator, SlowReaderStillGetsEveryLargeMessageWholeWithoutFurtherTraffic) {
    start(4096);
    peer.send("35=A|98=0|108=30", 1);
    ASSERT_TRUE(waitUntil([&] { return cell->status == status_Online; }, 5000));
    // More than the largest send buffer the kernel grows to (4 MiB), so sends must come up short.
    const int count = 1500;
    std::thread producer([&] {
        MsgQueue writer(qin, 0, 0);
        for (int i = 0; i < count; ++i) {
            std::string text =
                "35=D\x01"
                "11=BIG" +
                std::to_string(i) +
                "\x01"
                "58=";
            text += std::string(3900, 'x') + "\x01";
            writer.write(text, WaitMode, 1);
        }
    });
    // Let the socket back up before reading anything.
    std::this_thread::sleep_for(milliseconds(1500));
    int got = 0;
    for (; got < count; ++got) {
        std::string m = peer.read(5000);
        if (m.empty()) break;
        ASSERT_TRUE(FixPeer::wellFormed(m)) << "message " << got;
        ASSERT_EQ(FixPeer::field(m, 11), "BIG" + std::to_string(got));
        ASSERT_EQ(FixPeer::field(m, 34), std::to_string(got + 2));
    }
    producer.join();
    EXPECT_EQ(got, count);
}

TEST_F(Initiator, NoQueuedOutboundMessageIsLostWhenTheSessionEnds) {
    logOn();
    const int count = 200;
    for (int i = 0; i < count; ++i) putOutbound("35=D|11=Q" + std::to_string(i), 1 + i % 3);
    peerSends("35=5");
    ProcessResult r = ended();
    EXPECT_EQ(r.exitCode, 0);

    std::multiset<std::string> seen;
    for (std::string m = peer.read(1000); !m.empty(); m = peer.read(300)) {
        if (FixPeer::field(m, 35) == "D") seen.insert(FixPeer::field(m, 11));
    }
    size_t onWire = seen.size();
    size_t left = 0;
    for (int i = 0; i < count; ++i) {
        std::string text = input->read(0, NoWaitMode);
        if (text.empty()) break;
        ++left;
        std::string id = FixPeer::field(text, 11);
        seen.insert(id);
        EXPECT_EQ(input->lastType(), 1 + std::stoi(id.substr(1)) % 3) << id;
    }
    // Taken and not sent: held in the journal, under its queue type, for the next session.
    Journal journal(home.logsDir() + "/BRK1.journal");
    for (int slot : journal.held()) {
        std::string id = *seen.insert(FixPeer::field(journal.text(slot), 11));
        EXPECT_EQ(journal.type(slot), 1 + std::stoi(id.substr(1)) % 3) << id;
    }
    left += journal.held().size();
    EXPECT_EQ(seen.size(), static_cast<size_t>(count)) << onWire << " sent, " << left << " left";
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(seen.count("Q" + std::to_string(i)), 1u) << "Q" << i;
    }
    EXPECT_EQ(cell->Out.proc, static_cast<int>(onWire));
}

TEST_F(Initiator, TerminationSignalEndsTheSessionInOrderAndKeepsUnsentOrders) {
    logOn();
    const int count = 200;
    for (int i = 0; i < count; ++i) putOutbound("35=D|11=T" + std::to_string(i));
    gw->kill(SIGTERM);
    ProcessResult r = ended();
    EXPECT_TRUE(r.exited) << "signal " << r.signal;
    expectEnded(r, 0, "termination signal, Logout not answered within 3 s");
    EXPECT_EQ(cell->status, status_Shutdown);

    std::set<std::string> seen;
    int onWire = 0;
    for (std::string m = peer.read(1000); !m.empty(); m = peer.read(300)) {
        if (FixPeer::field(m, 35) != "D") continue;
        ++onWire;
        seen.insert(FixPeer::field(m, 11));
    }
    int left = 0;
    for (std::string text = input->read(0, NoWaitMode); !text.empty() && left < count;
         text = input->read(0, NoWaitMode)) {
        ++left;
        seen.insert(FixPeer::field(text, 11));
    }
    Journal journal(home.logsDir() + "/BRK1.journal");
    left += static_cast<int>(journal.held().size());
    for (int slot : journal.held()) seen.insert(FixPeer::field(journal.text(slot), 11));
    EXPECT_EQ(onWire + left, count);
    EXPECT_EQ(static_cast<int>(seen.size()), count);
}

TEST_F(Initiator, SignalsFromOutsideNeverEndTheSession) {
    start();
    // Before the session has started its dispatcher, the signal's default action would end it.
    for (int i = 0; i < 20; ++i) gw->kill(SIGUSR2);
    std::this_thread::sleep_for(milliseconds(100));
    ASSERT_TRUE(gw->running()) << gw->errors();
    peer.send("35=A|98=0|108=30", 1);
    nextSeq = 2;
    ASSERT_TRUE(gw->waitForOutput("Thread [DP] was created.", milliseconds(5000)));
    SignalStorm storm(gw->pid(), SIGUSR2, microseconds(500));
    constexpr int rounds = 200;
    for (int i = 1; i <= rounds; ++i) {
        std::string id = std::to_string(i);
        peerSends("35=8|11=E" + id + "|39=0");
        long type = 0;
        ASSERT_EQ(FixPeer::field(delivered(type, 5000), 11), "E" + id) << gw->output();
        putOutbound("35=D|11=O" + id + "|55=IBM");
        ASSERT_EQ(FixPeer::field(peer.readType("D", 5000), 11), "O" + id) << gw->output();
    }
    EXPECT_GT(storm.stop(), rounds);
    EXPECT_EQ(cell->status, status_Online);
    EXPECT_EQ(cell->In.seq, rounds + 1);
    EXPECT_EQ(cell->Out.seq, rounds + 1);
    EXPECT_TRUE(gw->running());
}

// --- The program ---------------------------------------------------------------------------

TEST(GateconnectProgram, TooFewArgumentsPrintTheUsageText) {
    ProcessResult r = runProgram("gateconnect", {"shm", "BRK1", "127.0.0.1", "-I", "x"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, usage);
}

TEST(GateconnectProgram, PortThatIsNotOneIsRefusedWithTheUsageText) {
    for (std::string port : {"abc", "0", "000", "65536", "0065536", "70001", "6001x", "", " 6001",
                             "+80", "99999999999"}) {
        ProcessResult r = runProgram("gateconnect", {"shm", "BRK1", "127.0.0.1", port});
        EXPECT_EQ(r.exitCode, 255) << port << r.err;
        EXPECT_EQ(r.out, usage) << port;
    }
}

TEST_F(Initiator, ASecondGatewayForALiveSiteFailsWithoutTouchingItsSession) {
    logOn();
    putOutbound("35=D|11=FIRST");
    ASSERT_EQ(FixPeer::field(peer.readType("D", 5000), 11), "FIRST");
    const int out = cell->Out.seq;
    cell->Out.seq = out + 5;  // the live session's number, which no log holds yet
    ProcessResult r = runProgram("gateconnect", args(peer.port()), options());
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(r.err, "Fail to lock the journal file: " + home.logsDir() + "/BRK1.journal\n");
    EXPECT_EQ(cell->Out.seq, out + 5);
    EXPECT_EQ(cell->status, status_Online);
    putOutbound("35=D|11=SECOND");
    std::string second = peer.readType("D", 5000);
    EXPECT_EQ(FixPeer::field(second, 11), "SECOND");
    EXPECT_EQ(FixPeer::field(second, 34), std::to_string(out + 6));
}

TEST_F(Initiator, StartupFailuresEndTheProgramWithTheirMessage) {
    FixPeer listener("BRK1", "DESKA");
    int port = listener.listen();
    // A site without a cell: the logs and configuration are opened, nothing is sent.
    auto noCell = args(port);
    noCell[1] = "NOCELL";
    home.writeCfg("NOCELL", siteCfg);
    ProcessResult r = runProgram("gateconnect", noCell, options());
    expectEnded(r, 1, "failure: Fail to find the target connection");
    EXPECT_EQ(r.err, "Fail to find the target connection.\n");
    EXPECT_NE(r.out.find("FIX Site [NOCELL] Configuration was loaded."), std::string::npos);

    // No configuration file.
    std::remove((home.root() + "/cfg/BRK1.fix").c_str());
    r = runProgram("gateconnect", args(port), options());
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(r.err, "Fail to open client FIX configuration file.\n");

    // No logs folder.
    ProcessOptions elsewhere = options();
    elsewhere.env = {{"FIXHOME", home.root() + "/missing"}};
    r = runProgram("gateconnect", args(port), elsewhere);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.err.find("Fail to open the Log file: " + home.root() + "/missing/logs/"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(": No such file or directory\n"), std::string::npos) << r.err;

    // Nobody listening, and an output queue that does not exist.
    listener.disconnect();
    int unused = 0;
    {
        FixPeer gone("BRK1", "DESKA");
        unused = gone.listen();
    }
    r = runProgram("gateconnect", args(unused), options());
    expectEnded(r, 1, "failure: Fail to connect the remote server: Connection refused");
    EXPECT_EQ(r.err, "Fail to connect the remote server.\n");
    auto noQueue = args(port);
    noQueue[7] = ipc.name();
    IpcNames::removeQueue(noQueue[7]);
    r = runProgram("gateconnect", noQueue, options());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Fail to connect the message queue. [" + noQueue[7] +
                         "]: No such file or directory\n");
}

// --- Schedules and alternate addresses ------------------------------------------------------

// A window a few seconds long in UTC, opening two seconds from now. The previous period (the same
// window yesterday) left inbound numbers 6 and 7 logged but never accepted, and one text in the
// journal that a killed run never sent.
TEST_F(Initiator, AWindowIsWaitedForLoggedOnWithOneAndEndedByALogout) {
    std::time_t open = std::time(nullptr) + 2, day = 86400;
    home.writeCfg(site, siteCfg + "@ {zone=UTC window=" + daily(open, open + 3) + "}\n");
    std::string before = utc(open - day, "%Y%m%d"), inLog;
    std::string waiting = "Outside the window: waiting for it to open at ";
    home.writeFile("logs/BRK1.period", std::to_string(open - day) + "\n");
    for (int n = 1; n <= 7; ++n) inLog += peer.make("35=0", n) + "\n";
    home.writeFile("logs/BRK1.in." + before, inLog);
    SeqFile(home.root() + "/logs/BRK1.seq." + before).set(5);
    putOutbound("35=D|11=LEFT-BEHIND|55=IBM");
    {
        Journal left(home.logsDir() + "/BRK1.journal");
        ASSERT_GT(input->receive(left.buffer(left.acquire()), 0, NoWaitMode), 0);
    }
    auto said = [&](const std::string& line) {
        return gw->output().find(line) != std::string::npos;
    };

    start();
    EXPECT_TRUE(said(waiting + utc(open, "%Y-%m-%d %H:%M:%S") + " UTC.")) << gw->output();
    EXPECT_EQ(FixPeer::field(logon, 34), "1");
    EXPECT_TRUE(said("ATTENTION: Site [BRK1] period " + before +
                     " ended with inbound messages 6 to 7 never accepted and 1 outbound text "
                     "never sent (sent first now); period " +
                     utc(open, "%Y%m%d") + " starts at 1."))
        << gw->output();
    peer.send("35=A|98=0|108=30", 1);
    std::string left = peer.read(5000);
    EXPECT_EQ(FixPeer::field(left, 11), "LEFT-BEHIND") << FixPeer::bars(left);
    EXPECT_EQ(FixPeer::field(left, 34), "2");
    EXPECT_EQ(FixPeer::field(peer.readType("5", 8000), 58), "Session ended on schedule");
    peer.send("35=5", 2);
    // It stays, waiting for tomorrow's window, and the period it began is recorded.
    std::string tomorrow = utc(open + day, "%Y-%m-%d %H:%M:%S") + " UTC";
    EXPECT_TRUE(gw->waitForOutput(waiting + tomorrow + ".", milliseconds(5000))) << gw->output();
    EXPECT_TRUE(said("Session ended on schedule: end of the window, Logout answered."));
    EXPECT_EQ(std::stol(home.readFile("logs/BRK1.period")), open);
    EXPECT_EQ(std::filesystem::status(home.logsDir() + "/BRK1.period").permissions(),
              std::filesystem::perms(0640));
    expectEnded(gw->stop(), 0,
                "termination signal while waiting for the window to open at " + tomorrow);
}

// A schedule that cannot be is refused before any connection is made, with its file and line.
TEST_F(Initiator, AnInvalidScheduleEndsTheProgramBeforeItConnects) {
    home.writeCfg(site, siteCfg + "@ {zone=UTC window=daily:09:00-09:00}\n");
    ProcessResult r = runProgram("gateconnect", args(peer.listen()), options());
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_EQ(r.err,
              "Malformed setting in client FIX configuration file ./cfg/BRK1.fix line 9: "
              "window 'daily:09:00-09:00': opens when it closes (say window=nonstop)\n");
    EXPECT_FALSE(peer.accept(0));
}

// Non-stop with a daily reset four seconds from now. The restart is inside yesterday's period, so
// it resumes; the first address resets each connection, so the second serves; at the reset both
// numbers start at 1 and the new period starts from the first address again.
TEST_F(Initiator, ARestartResumesAlternatesAreTriedInTurnAndAResetStartsFromTheFirst) {
    std::time_t reset = std::time(nullptr) + 4;
    home.writeCfg(site, siteCfg + "@ {zone=UTC reset=" + daily(reset) + "}\n");
    std::string before = utc(reset - 86400, "%Y%m%d"), outLog, inLog;
    home.writeFile("logs/BRK1.period", std::to_string(reset - 86400) + "\n");
    FixPeer us("DESKA", "BRK1"), primary("BRK1", "DESKA");
    for (int n = 1; n <= 10; ++n) outLog += us.make("35=0", n) + "\n";
    for (int n = 1; n <= 7; ++n) inLog += peer.make("35=0", n) + "\n";
    home.writeFile("logs/BRK1.out." + before, outLog);
    home.writeFile("logs/BRK1.in." + before, inLog);
    SeqFile(home.root() + "/logs/BRK1.seq." + before).set(7);

    int first = primary.listen(), second = peer.listen();
    ASSERT_GT(first, 0);
    extraArgs = {"-x", "127.0.0.1:" + std::to_string(second)};
    gw = std::make_unique<BackgroundProcess>("gateconnect", args(first), options());
    // The first address resets the Logon numbered seq, the second hears the next one.
    auto inTurn = [&](int seq) {
        ASSERT_TRUE(primary.accept(5000)) << gw->output();
        EXPECT_EQ(FixPeer::field(primary.read(5000), 34), std::to_string(seq));
        primary.reset();
        ASSERT_TRUE(peer.accept(5000)) << gw->output();
        EXPECT_EQ(FixPeer::field(peer.read(5000), 34), std::to_string(seq + 1));
    };
    inTurn(11);
    peer.send("35=A|98=0|108=30", 8);
    EXPECT_NE(gw->output().find("Address [127.0.0.1:" + std::to_string(first) +
                                "] gave no session: connection reset before the Logon reply; "
                                "moving on."),
              std::string::npos)
        << gw->output();
    std::string logout = peer.readType("5", 8000);
    EXPECT_EQ(FixPeer::field(logout, 58), "Session ended on schedule: sequence reset");
    peer.send("35=5", 9);

    inTurn(1);
    peer.send("35=A|98=0|108=30", 1);
    ASSERT_TRUE(waitUntil([&] { return cell->status == status_Online; }, 5000));
    EXPECT_EQ(gw->output().find("ATTENTION"), std::string::npos);
    EXPECT_EQ(std::stol(home.readFile("logs/BRK1.period")), reset);
    gw->kill(SIGTERM);
    EXPECT_EQ(FixPeer::field(peer.readType("5", 5000), 35), "5");
    peer.send("35=5", 2);
    expectEnded(ended(), 0, "termination signal, Logout answered");
}

}  // namespace
