// Recovery without loss, played against the real gateways by scripted counterparties: an inbound
// message counts only once it is on the output queue, a restart expects the number after the last
// message accepted in sequence, a session owns its site before it writes the cell, sequence
// resets never go back, resend answers carry every business message and only the range asked,
// HeartBtInt 0 means no heartbeats, and failures of our own side end the session with a non-zero
// status and lose nothing. Every test has its own table, queues and FIXHOME.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FixPeer.h"
#include "GatewayTest.h"
#include "Journal.h"
#include "Key.h"
#include "MemoryCell.h"
#include "MsgParts.h"
#include "MsgQueue.h"
#include "Process.h"
#include "Shm.h"
#include "TempHome.h"
#include "TestUtil.h"
#include "Time.h"

namespace {

using namespace std::chrono;

std::string siteCfg(const std::string& self, const std::string& peer) {
    return "~ {8=FIX.4.2,9=,35=,49=" + self + ",56=" + peer +
           ",34=,52=}\nA {98=0,108=30}\n0 {}\n1 {112=}\n2 {7=,16=}\n4 {123=Y,36=}\n5 {58=}\n";
}

std::string execution(int n, const std::string& extra = "") {
    return "35=8|37=O" + std::to_string(n) + "|17=X" + std::to_string(n) +
           "|150=0|39=0|55=IBM|54=1|38=100" + extra;
}

// One site, BRK1, in cell 0 (queue type 1 at the acceptor). The initiator is DESKA, the
// acceptor GATE; the counterparty is BRK1 towards either.
class Recovery : public GatewayTest {
  protected:
    void SetUp() override {
        GatewayTest::SetUp();
        cell = shm->registerName("BRK1");
        cell->status = ' ';
    }

    // gateconnect against the listening peer, its Logon read; `launcher` may run it.
    void startInitiator(const std::vector<std::string>& launcher = {}) {
        home.writeCfg("BRK1", siteCfg("DESKA", "BRK1"));
        if (peer.port() == 0) {
            ASSERT_GT(peer.listen(), 0);
        }
        std::vector<std::string> args{table, "BRK1", "127.0.0.1", std::to_string(peer.port()),
                                      "-i",  qin,    "-o",        qout};
        std::string program = "gateconnect";
        if (!launcher.empty()) {
            args.insert(args.begin(), programPath(program));
            args.insert(args.begin(), launcher.begin() + 1, launcher.end());
            program = launcher[0];
        }
        gw = std::make_unique<BackgroundProcess>(program, args, options());
        ASSERT_TRUE(peer.accept(5000)) << gw->output() << gw->errors();
        logon = peer.read(5000);
        ASSERT_EQ(FixPeer::field(logon, 35), "A") << FixPeer::bars(logon) << gw->output();
    }

    // The peer answers the initiator's Logon numbered seq and waits for the loop.
    void logOnInitiator(int seq = 1, const std::string& hb = "108=30") {
        startInitiator();
        peer.send("35=A|98=0|" + hb, seq);
        nextSeq = seq + 1;
        ASSERT_TRUE(gw->waitForOutput("Thread [DP] was created.", milliseconds(5000)))
            << gw->output();
    }

    // gatelisten on a free port, in `where` (the test's home unless given).
    std::unique_ptr<BackgroundProcess> startAcceptor(int& onPort, const TempHome* where = nullptr) {
        const TempHome& h = where ? *where : home;
        // Configured for the acceptor: an initiator that served BRK1 from this home before has
        // left its mark, which would make gatelisten refuse the site otherwise.
        h.writeCfg("BRK1", "@ {role=acceptor}\n" + siteCfg("GATE", "BRK1"));
        ProcessOptions o;
        o.cwd = h.root();
        o.env = {{"FIXHOME", h.root()}};
        auto p = startGatelisten(onPort, o);
        if (!p) ADD_FAILURE() << "gatelisten did not start listening";
        return p;
    }

    // The acceptor's peer connects and logs on numbered seq; returns the reply.
    std::string logOnAcceptor(int seq = 1, const std::string& hb = "108=30") {
        EXPECT_TRUE(acceptorPeer.connect(port));
        acceptorPeer.send("35=A|98=0|" + hb, seq);
        nextSeq = seq + 1;
        return acceptorPeer.read(5000);
    }

    // Every text on the output queue now.
    std::vector<std::string> drainOutput() {
        std::vector<std::string> texts;
        for (std::string t; !(t = output->read(0, NoWaitMode)).empty();) texts.push_back(t);
        return texts;
    }

    std::string logPath(const std::string& direction) {
        return "logs/BRK1." + direction + "." + Time().getLogDate();
    }

    // Starts the site's day afresh: no logs, no sequence file, a blank cell.
    void forgetDay() {
        for (const char* kind : {"in", "out", "seq"}) {
            std::remove((home.root() + "/" + logPath(kind)).c_str());
        }
        cell->status = ' ';
        cell->In.seq = cell->Out.seq = 0;
    }

    // The counterparty goes first: a gateway that sees the connection closed ends at once,
    // instead of waiting for the answer to the Logout a stop would send.
    void TearDown() override {
        peer.disconnect();
        acceptorPeer.disconnect();
        GatewayTest::TearDown();
    }

    MemoryCell* cell = nullptr;
    FixPeer peer{"BRK1", "DESKA"};
    FixPeer acceptorPeer{"BRK1", "GATE"};
    std::string logon;
    int nextSeq = 1;
    int port = 0;
};

// --- An inbound message counts only once the application has it ---------------------------

// Executions delivered to the application by ExecID: every one seen, and the plain (not PossDup)
// copies of each.
struct Deliveries {
    void take(const std::string& m) {
        std::string id = FixPeer::field(m, 17);
        seen.insert(id);
        if (FixPeer::field(m, 43) != "Y") ++plain[id];
    }
    std::size_t distinct() const { return seen.size(); }
    std::set<std::string> seen;
    std::map<std::string, int> plain;
};

enum class Role { Initiator, Acceptor };

class InboundKill : public Recovery, public ::testing::WithParamInterface<Role> {};

// A kill at any instruction in a burst of executions, then a restart the same day: the restart
// asks for what the application did not get, and every execution reaches it, a second copy only
// as the counterparty's PossDup resend.
TEST_P(InboundKill, EveryExecutionReachesTheApplicationAndNoneTwiceUnlessPossDup) {
    const int total = 10000;
    bool initiator = GetParam() == Role::Initiator;
    FixPeer& cp = initiator ? peer : acceptorPeer;
    if (initiator) {
        logOnInitiator();
    } else {
        gw = startAcceptor(port);
        ASSERT_TRUE(gw);
        ASSERT_EQ(FixPeer::field(logOnAcceptor(), 35), "A");
    }
    std::string burst;
    for (int i = 0; i < total; ++i) burst += cp.make(execution(i), i + 2);
    std::thread sender([&] { cp.sendRaw(burst); });  // returns once the socket fails
    // The application reads more slowly than the gateway delivers, so the kill finds the output
    // queue full and a message on its way to it.
    Deliveries got;
    auto deadline = steady_clock::now() + seconds(30);
    while (got.distinct() < 3000 && steady_clock::now() < deadline) {
        std::string m = output->read(0, NoWaitMode);
        std::this_thread::sleep_for(microseconds(500));
        if (!m.empty()) got.take(m);
    }
    gw->kill(SIGKILL);
    ASSERT_EQ(gw->wait(milliseconds(5000)).signal, SIGKILL);
    sender.join();
    cp.disconnect();
    for (const std::string& m : drainOutput()) got.take(m);
    ASSERT_LT(got.distinct(), static_cast<std::size_t>(total));

    if (initiator) {
        startInitiator();
        peer.send("35=A|98=0|108=30", total + 2);
    } else {
        gw = startAcceptor(port);
        ASSERT_TRUE(gw);
        ASSERT_EQ(FixPeer::field(logOnAcceptor(total + 2), 35), "A");
    }
    std::string ask = cp.readType("2", 5000);
    ASSERT_FALSE(ask.empty()) << gw->output();
    int from = std::stoi(FixPeer::field(ask, 7));
    ASSERT_GE(from, 2);
    std::string resend;
    for (int seq = from; seq <= total + 1; ++seq) {
        resend += cp.make(execution(seq - 2, "|43=Y|122=20260101-00:00:00"), seq);
    }
    // Sent while the application reads, or a full output queue would stop both sides.
    std::thread resender([&] { cp.sendRaw(resend); });
    waitUntil(
        [&] {
            for (const std::string& m : drainOutput()) got.take(m);
            return got.distinct() == static_cast<std::size_t>(total);
        },
        30000);
    EXPECT_EQ(got.distinct(), static_cast<std::size_t>(total)) << "asked again from " << from;
    int silentCopies = 0;
    for (const auto& p : got.plain) silentCopies += p.second > 1 ? 1 : 0;
    EXPECT_EQ(silentCopies, 0);
    resender.join();
    EXPECT_EQ(cell->In.seq, total + 1);
}

INSTANTIATE_TEST_SUITE_P(BothRoles, InboundKill, ::testing::Values(Role::Initiator, Role::Acceptor),
                         [](const auto& info) {
                             return info.param == Role::Initiator ? "Gateconnect" : "Gatelisten";
                         });

// A message the application cannot be given is not counted: the session ends with a clear line
// and a failure status, and the restart asks for the message again.
TEST_F(Recovery, MessageTheOutputQueueCannotTakeIsNotCountedAndIsAskedForAgain) {
    struct Case {
        const char* name;
        std::function<void()> before;
        std::string extra;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"queue removed", [this] { IpcNames::removeQueue(qout); }, "",
         "System Shutdown: Caught exception in MsgQueue operation."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        output = std::make_unique<MsgQueue>(qout, 0, IPC_CREAT);
        int first = cell->In.seq + 1;
        logOnInitiator(first);
        c.before();
        peer.send(execution(1, c.extra), first + 1);
        ProcessResult r = gw->wait(milliseconds(10000));
        EXPECT_EQ(r.exitCode, 1) << r.out;
        EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
        EXPECT_EQ(cell->In.seq, first);
        peer.disconnect();
        output = std::make_unique<MsgQueue>(qout, 0, IPC_CREAT);
        startInitiator();
        peer.send("35=A|98=0|108=30", first + 2);
        EXPECT_EQ(FixPeer::field(peer.readType("2", 5000), 7), std::to_string(first + 1));
        peer.disconnect();
        gw->stop();
        // The counterparty never resent it: this day expects it still.
        cell->In.seq = first;
    }
}

// --- A message longer than a queue message goes in parts ------------------------------------

// A 10 KB execution goes to the application in parts, and the queue takes two and not the third:
// the message waits uncounted; once the application reads, the third part follows, no part comes
// twice, the parts give the message back, it counts once, and the site goes on.
TEST_F(Recovery, MessageLongerThanAQueueMessageGoesInPartsAndWaitsUncountedForRoomForTheLast) {
    ASSERT_TRUE(output->setByteLimit(8192));
    logOnInitiator();
    std::string big = peer.send(execution(1, "|58=" + std::string(10240, 'x')), 2);
    auto queued = [&] {
        msqid_ds now{};
        return msgctl(output->getId(), IPC_STAT, &now) == 0 ? static_cast<int>(now.msg_qnum) : -1;
    };
    ASSERT_TRUE(waitUntil([&] { return queued() == 2; }, 5000)) << gw->output();
    EXPECT_EQ(cell->In.seq, 1) << "counted before its last part was on the queue";
    EXPECT_EQ(cell->In.pend, 0);

    std::vector<std::string> texts{output->read(0, NoWaitMode)};
    ASSERT_TRUE(waitUntil([&] { return cell->In.seq == 2; }, 5000)) << gw->output();
    EXPECT_NE(gw->output().find("Inbound message [2] of " + std::to_string(big.size()) +
                                " bytes is longer than a queue message; it goes to the "
                                "application in 3 parts."),
              std::string::npos)
        << gw->output();
    for (const std::string& t : drainOutput()) texts.push_back(t);
    ASSERT_EQ(texts.size(), 3u);
    MsgParts reader;
    std::string whole;
    for (int k = 1; k <= 3; ++k) {
        std::string header = "PART 2 " + std::to_string(k) + "/3 BRK1\n";
        EXPECT_EQ(texts[k - 1].compare(0, header.size(), header), 0) << texts[k - 1].substr(0, 20);
        reader.take(texts[k - 1], whole);
    }
    EXPECT_TRUE(whole == big) << whole.size() << " bytes put back together";
    EXPECT_EQ(cell->In.pend, 1);

    std::string next = peer.send(execution(2), 3);
    std::string got;
    waitUntil([&] { return !(got = output->read(0, NoWaitMode)).empty(); }, 5000);
    EXPECT_EQ(got, next);
    EXPECT_EQ(cell->In.seq, 3);
    EXPECT_EQ(cell->In.pend, 2);
}

// An application that stops reading holds back only the sessions with a message for it: the
// others keep sending orders, answering TestRequests and Logouts, and every message arrives.
TEST_F(Recovery, FullOutputQueueHoldsBackOnlyTheSessionsWaitingForIt) {
    msqid_ds info{};
    int qid = msgget(Key(qout).get_ipc_key(), 0);
    ASSERT_EQ(msgctl(qid, IPC_STAT, &info), 0);
    info.msg_qbytes = 2048;
    ASSERT_EQ(msgctl(qid, IPC_SET, &info), 0);
    MemoryCell* brk2 = shm->registerName("BRK2");
    home.writeCfg("BRK2", siteCfg("GATE", "BRK2"));
    gw = startAcceptor(port);
    ASSERT_TRUE(gw);
    ASSERT_EQ(FixPeer::field(logOnAcceptor(), 35), "A");
    for (int i = 0; i < 30; ++i)
        acceptorPeer.send(execution(i, "|58=" + std::string(200, 'a')), i + 2);
    ASSERT_TRUE(waitUntil([&] { return cell->In.seq > 1; }, 3000));
    std::this_thread::sleep_for(milliseconds(300));
    ASSERT_LT(cell->In.pend, 30) << "the queue cannot have taken them all";

    FixPeer other("BRK2", "GATE");
    ASSERT_TRUE(other.connect(port));
    other.send("35=A|98=0|108=30", 1);
    ASSERT_EQ(FixPeer::field(other.read(5000), 35), "A");
    other.send(execution(100), 2);  // waits for the queue as well
    other.send("35=1|112=STILL", 3);
    std::string hb = other.readType("0", 5000);
    EXPECT_EQ(FixPeer::field(hb, 112), "STILL") << gw->output();
    input->write(FixPeer::soh("35=D|11=B2|55=IBM|54=1|38=1|40=1"), WaitMode, 2);
    EXPECT_EQ(FixPeer::field(other.readType("D", 5000), 11), "B2");

    std::vector<std::string> got;
    waitUntil(
        [&] {
            for (const std::string& m : drainOutput()) got.push_back(m);
            return got.size() == 31;
        },
        10000);
    ASSERT_EQ(got.size(), 31u);
    int next = 0;
    for (const std::string& m : got) {
        if (FixPeer::field(m, 49) == "BRK1") {
            EXPECT_EQ(FixPeer::field(m, 37), "O" + std::to_string(next++));
        }
    }
    EXPECT_EQ(cell->In.seq, 31);
    EXPECT_EQ(brk2->In.seq, 3);
    other.send("35=5", 4);
    EXPECT_EQ(FixPeer::field(other.readType("5", 5000), 35), "5");
}

// --- A restart expects the number after the last message accepted in sequence --------------

TEST_F(Recovery, RestartExpectsTheNumberAfterTheLastMessageAcceptedInSequence) {
    struct Case {
        const char* name;
        std::function<void()> firstRun;  // ends with the gateway gone
        int logonSeq;                    // of the restart's Logon reply
        int askedFrom;                   // the ResendRequest that follows it; 0 none
    };
    auto endRun = [this] {
        peer.disconnect();
        ASSERT_FALSE(gw->wait(milliseconds(10000)).timedOut);
    };
    const std::vector<Case> cases = {
        {"a gap open when the connection dropped",
         [&] {
             logOnInitiator();
             peer.send(execution(2), 2);
             peer.send(execution(5), 5);
             EXPECT_EQ(FixPeer::field(peer.readType("2", 5000), 7), "3");
             endRun();
         },
         6, 3},
        {"a frame with a bad checksum numbered 900000",
         [&] {
             logOnInitiator();
             peer.send(execution(2), 2);
             std::string bad = peer.make(execution(3), 900000);
             bad.replace(bad.size() - 4, 3, bad.substr(bad.size() - 4, 3) == "000" ? "001" : "000");
             peer.sendRaw(bad);
             ASSERT_FALSE(gw->wait(milliseconds(10000)).timedOut);
             peer.disconnect();
         },
         3, 0},
        {"a day logged before sequence files existed",
         [&] {
             std::string in;
             for (int s = 1; s <= 7; ++s) in += peer.make("35=0", s) + "\n";
             home.writeFile(logPath("in"), in);
         },
         8, 0},
        {"a number renumber set on the live session",
         [&] {
             logOnInitiator();
             peer.send(execution(2), 2);
             ASSERT_TRUE(waitUntil([&] { return cell->In.seq == 2; }, 3000));
             ProcessResult r = runProgram(
                 "renumber", {table, "BRK1", "-i", "20", "-o", std::to_string(cell->Out.seq)});
             ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
             endRun();
         },
         21, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        forgetDay();
        c.firstRun();
        startInitiator();
        peer.send("35=A|98=0|108=30", c.logonSeq);
        // A TestRequest right after the Logon: its Heartbeat comes first unless the restart asks.
        peer.send("35=1|112=PROBE", c.logonSeq + 1);
        std::string first = peer.read(5000);
        if (c.askedFrom == 0) {
            EXPECT_EQ(FixPeer::field(first, 35), "0") << FixPeer::bars(first);
            EXPECT_EQ(cell->In.seq, c.logonSeq + 1);
        } else {
            EXPECT_EQ(FixPeer::field(first, 35), "2") << FixPeer::bars(first);
            EXPECT_EQ(FixPeer::field(first, 7), std::to_string(c.askedFrom));
        }
        peer.disconnect();
        gw->stop();
    }
}

// --- A session owns its site before it writes the cell -------------------------------------

// A Logon at gatelisten for a site whose session lives in another process, sharing the FIXHOME
// or not, is refused; the live session and its numbers are untouched.
TEST_F(Recovery, LogonForASiteLiveInAnotherProcessIsRefusedAndTheLiveSessionGoesOn) {
    for (bool sameHome : {true, false}) {
        SCOPED_TRACE(sameHome ? "two acceptors, one FIXHOME"
                              : "an initiator, an acceptor elsewhere");
        TempHome elsewhere;
        FixPeer live("BRK1", sameHome ? "GATE" : "DESKA");
        int livePort = 0;
        std::unique_ptr<BackgroundProcess> first;
        if (sameHome) {
            first = startAcceptor(livePort);
            ASSERT_TRUE(first);
            ASSERT_TRUE(live.connect(livePort));
            live.send("35=A|98=0|108=30", 1);
            ASSERT_EQ(FixPeer::field(live.read(5000), 35), "A");
        } else {
            logOnInitiator();
            first = std::move(gw);
        }
        FixPeer& liveSide = sameHome ? live : peer;
        ASSERT_TRUE(
            waitUntil([&] { return cell->status == status_Online && cell->In.seq == 1; }, 3000));
        cell->In.seq = 40;  // as the live session keeps it
        int outSeq = cell->Out.seq;

        auto second = startAcceptor(port, sameHome ? nullptr : &elsewhere);
        ASSERT_TRUE(second);
        FixPeer stranger("BRK1", "GATE");
        ASSERT_TRUE(stranger.connect(port));
        stranger.send("35=A|98=0|108=30", 1);
        EXPECT_TRUE(stranger.waitClosed(8000));
        EXPECT_TRUE(second->waitForOutput("Thread Exit [-2]\n", milliseconds(8000)))
            << second->output();
        EXPECT_EQ(cell->status, status_Online) << second->output();
        EXPECT_EQ(cell->In.seq, 40);
        EXPECT_EQ(cell->Out.seq, outSeq);
        liveSide.send("35=1|112=ALIVE", 41);
        EXPECT_EQ(FixPeer::field(liveSide.readType("0", 5000), 112), "ALIVE");
        live.disconnect();
        peer.disconnect();
        second->stop();
        first->stop();
        forgetDay();
    }
}

TEST_F(Recovery, LogonWhoseCompIdsDoNotMatchTheSiteIsRefused) {
    gw = startAcceptor(port);
    ASSERT_TRUE(gw);
    std::string before(reinterpret_cast<const char*>(cell), sizeof(MemoryCell));
    FixPeer wrongTarget("BRK1", "SOMEONE");
    ASSERT_TRUE(wrongTarget.connect(port));
    wrongTarget.send("35=A|98=0|108=30", 1);
    EXPECT_TRUE(wrongTarget.waitClosed(5000));
    EXPECT_TRUE(gw->waitForOutput("Logon CompIDs do not match the configuration of site [BRK1].",
                                  milliseconds(3000)));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(cell), sizeof(MemoryCell)), before);
    gw->stop();

    // The initiator's side: a Logon reply from someone else is no logon.
    FixPeer impostor("SOMEONE", "DESKA");
    ASSERT_GT(impostor.listen(), 0);
    home.writeCfg("BRK1", siteCfg("DESKA", "BRK1"));
    gw = std::make_unique<BackgroundProcess>(
        "gateconnect",
        std::vector<std::string>{table, "BRK1", "127.0.0.1", std::to_string(impostor.port()), "-i",
                                 qin, "-o", qout},
        options());
    ASSERT_TRUE(impostor.accept(5000));
    impostor.read(5000);
    impostor.send("35=A|98=0|108=30", 1);
    ProcessResult r = gw->wait(milliseconds(10000));
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_NE(r.out.find("Error: Fail to receive <-LOGON> reply."), std::string::npos);
}

// --- Sequence resets and resend answers ----------------------------------------------------

TEST_F(Recovery, SequenceResetNeverLowersTheExpectedNumber) {
    struct Case {
        std::string reset;  // sent at 5, after the Logon and executions 2 to 4
        int next;           // the number the following execution carries
    };
    const std::vector<Case> cases = {
        {"35=4|123=Y|36=3", 6},  // a gap fill pointing back
        {"35=4|36=2", 6},        // a reset pointing back
        {"35=4|123=Y|36=9", 9},  // forward, as always
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reset);
        forgetDay();
        logOnInitiator();
        for (int seq = 2; seq <= 4; ++seq) peer.send(execution(seq), seq);
        peer.send(c.reset, 5);
        peer.send(execution(c.next), c.next);
        // Its Heartbeat comes first: nothing was asked for again.
        peer.send("35=1|112=AFTER", c.next + 1);
        std::string answer = peer.read(5000);
        EXPECT_EQ(FixPeer::field(answer, 35), "0") << FixPeer::bars(answer);
        EXPECT_EQ(drainOutput().size(), 4u);
        EXPECT_EQ(cell->In.seq, c.next + 1);
        peer.disconnect();
        gw->stop();
    }
}

// The outgoing log holds business messages of several kinds, a heartbeat, and a last line a
// crash cut short; an open-ended request gets every business message again and gap fills the
// rest, and the torn line is never sent as if whole.
TEST_F(Recovery, ResendAnswerCarriesEveryBusinessMessageAndGapFillsATornLine) {
    FixPeer us("DESKA", "BRK1");
    std::string out = us.make("35=A|98=0|108=30", 1) + "\n";
    const std::vector<std::string> kinds = {"Q", "J", "j", "0", "AE"};
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        out +=
            us.make("35=" + kinds[i] + "|11=K" + std::to_string(i), static_cast<int>(i) + 2) + "\n";
    }
    std::string torn = us.make("35=D|11=TORN|55=IBM", 7);
    out += torn.substr(0, torn.size() - 12);  // no trailer, no newline
    home.writeFile(logPath("out"), out);

    startInitiator();
    EXPECT_EQ(FixPeer::field(logon, 34), "8");
    peer.send("35=A|98=0|108=30", 1);
    peer.send("35=2|7=2|16=0", 2);
    std::vector<std::string> answer;
    for (std::string m = peer.read(2000); !m.empty(); m = peer.read(400)) {
        std::string type = FixPeer::field(m, 35);
        answer.push_back(type == "4" ? "G" + FixPeer::field(m, 34) + ">" + FixPeer::field(m, 36)
                                     : type + FixPeer::field(m, 34) + FixPeer::field(m, 43));
    }
    EXPECT_EQ(answer, (std::vector<std::string>{"Q2Y", "J3Y", "j4Y", "G5>6", "AE6Y", "G7>9"}));

    // The torn line was ended before the Logon went in, so the Logon's number is seen again. A
    // kill, so that no Logout of an orderly end numbers past it.
    gw->kill(SIGKILL);
    gw->wait(milliseconds(5000));
    peer.disconnect();
    startInitiator();
    EXPECT_EQ(FixPeer::field(logon, 34), "9");
}

// --- Failures of our own side, and HeartBtInt 0 --------------------------------------------

TEST_F(Recovery, OutgoingLogThatCannotBeWrittenEndsTheSessionWithAFailureAndLosesNoOrder) {
    if (access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "prlimit is not installed";
    { Journal made(home.logsDir() + "/BRK1.journal"); }  // sized before the limit applies
    home.writeCfg("BRK1", siteCfg("DESKA", "BRK1"));
    ASSERT_GT(peer.listen(), 0);
    startInitiator({"/usr/bin/prlimit", "--fsize=12000", "--"});
    peer.send("35=A|98=0|108=30", 1);
    const int total = 20;
    for (int i = 0; i < total; ++i) {
        input->write(
            FixPeer::soh("35=D|11=L" + std::to_string(i) + "|58=" + std::string(1000, 'p')),
            WaitMode, 1);
    }
    ProcessResult r = gw->wait(milliseconds(10000));
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Fail to write the Log file: "), std::string::npos) << r.out;
    EXPECT_EQ(
        lastLine(r.out).rfind("Session ended: our own failure: Fail to write the Log file: ", 0),
        0u)
        << r.out;
    EXPECT_NE(lastLine(r.out).find(" (exit 1)."), std::string::npos) << r.out;

    std::map<std::string, int> sent;
    for (std::string m; !(m = peer.read(500)).empty();) ++sent[FixPeer::field(m, 11)];
    auto lines = nonEmptyLines(home.readFile(logPath("out")));
    for (const std::string& line : lines) EXPECT_TRUE(FixPeer::wellFormed(line)) << line;
    EXPECT_EQ(cell->Out.seq, static_cast<int>(lines.size()));
    std::map<std::string, int> waiting;
    for (std::string t; !(t = input->read(0, NoWaitMode)).empty();)
        ++waiting[FixPeer::field(t, 11)];
    {
        Journal kept(home.logsDir() + "/BRK1.journal");
        for (int slot : kept.held()) ++waiting[FixPeer::field(kept.text(slot), 11)];
    }
    for (int i = 0; i < total; ++i) {
        std::string id = "L" + std::to_string(i);
        EXPECT_EQ(sent[id] + waiting[id], 1) << id << " sent " << sent[id];
    }
    EXPECT_GT(waiting.size(), 0u);
}

TEST_F(Recovery, HeartBtIntZeroOrMissingMeansNoHeartbeatsAndBelowZeroIsRefused) {
    for (Role role : {Role::Initiator, Role::Acceptor}) {
        for (std::string hb : {"108=0", "", "108=-5"}) {
            SCOPED_TRACE((role == Role::Initiator ? "gateconnect " : "gatelisten ") + hb);
            bool refused = hb == "108=-5";
            FixPeer& cp = role == Role::Initiator ? peer : acceptorPeer;
            int seq = cell->In.seq + 1;
            if (role == Role::Initiator) {
                startInitiator();
                peer.send("35=A|98=0|" + hb, seq);
            } else {
                gw = startAcceptor(port);
                ASSERT_TRUE(gw);
                std::string reply = logOnAcceptor(seq, hb);
                EXPECT_EQ(FixPeer::field(reply, 35), refused ? "" : "A");
            }
            if (refused && role == Role::Initiator) {
                EXPECT_EQ(gw->wait(milliseconds(5000)).exitCode, 2);
            } else if (refused) {
                EXPECT_TRUE(gw->waitForOutput("Thread Exit [-1]", milliseconds(3000)));
            } else {
                EXPECT_TRUE(cp.quiet(1500)) << "no TestRequest, no Heartbeat";
                cp.send("35=1|112=UP", seq + 1);
                EXPECT_EQ(FixPeer::field(cp.readType("0", 3000), 112), "UP");
            }
            cp.disconnect();
            gw->stop();
        }
    }
}

}  // namespace
