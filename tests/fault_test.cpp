// Faults the gateways must survive, each played by scripted counterparties against the real
// programs: connections reset mid-message and mid-send, a counterparty that stops reading, a kill
// of either gateway in the middle of a burst and a restart, a slow application behind a full output
// queue, the input queue removed under the dispatcher, and one garbage sender among 32 live
// acceptor sessions, and a session ended in the middle of a burst in each of four ways, after which
// every order goes out once in the order queued. Every test has its own table, queues and FIXHOME,
// and ends the programs by their pid.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FixPeer.h"
#include "GatewayTest.h"
#include "Ipc.h"
#include "Journal.h"
#include "Key.h"
#include "MemoryCell.h"
#include "MsgQueue.h"
#include "Pipe.h"
#include "Process.h"
#include "Shm.h"
#include "TempHome.h"
#include "TestUtil.h"
#include "Time.h"

namespace {

using namespace std::chrono;

const std::string site = "BRK1";

const std::string siteCfg =
    "~ {8=FIX.4.2,9=,35=,49=DESKA,56=BRK1,34=,52=}\n"
    "A {98=0,108=30}\n"
    "0 {}\n"
    "1 {112=}\n"
    "2 {7=,16=}\n"
    "4 {123=Y,36=}\n"
    "5 {58=}\n";

// Pads orders so that a burst backs up the connection: loopback sockets take a couple of MiB
// before a send would block, so a few thousand such orders leave most of them pending.
const std::string padding(3000, 'x');

std::string orderFields(const std::string& id, bool padded = true) {
    return "35=D|11=" + id + "|55=IBM|54=1|38=100|40=1" + (padded ? "|58=" + padding : "");
}

// Writes orders id-0 .. id-(count-1) to the queue on a thread of its own, retrying while the
// queue is full, until done or stopped.
class Feeder {
  public:
    Feeder(const std::string& queue, const std::string& prefix, int count, bool padded = true)
        : worker([this, queue, prefix, count, padded] {
              int qid = msgget(Key(queue).get_ipc_key(), 0);
              MBUF buf;
              buf.mtype = 1;
              for (int i = 0; i < count && qid >= 0 && !stopping; ++i) {
                  std::string text = FixPeer::soh(orderFields(prefix + std::to_string(i), padded));
                  text.copy(buf.mtext, text.size());
                  while (msgsnd(qid, &buf, text.size(), IPC_NOWAIT) != 0) {
                      if (errno != EAGAIN || stopping) return finish();
                      std::this_thread::sleep_for(microseconds(200));
                  }
              }
              finish();
          }) {}
    ~Feeder() {
        stopping = true;
        worker.join();
    }
    std::atomic<bool> finished{false};

  private:
    void finish() { finished = true; }

    std::atomic<bool> stopping{false};
    std::thread worker;
};

// What a counterparty saw of a burst of orders across a kill and a restart: no number used twice
// for new messages, each order sent new once, and a resend repeating it under its first number.
class OrderLedger {
  public:
    void take(const std::string& m) {
        ASSERT_TRUE(FixPeer::wellFormed(m)) << FixPeer::bars(m);
        int seq = std::stoi(FixPeer::field(m, 34));
        bool possDup = FixPeer::field(m, 43) == "Y";
        std::string type = FixPeer::field(m, 35);
        if (!possDup && type != "4") {
            ASSERT_GT(seq, top) << "number reused: " << FixPeer::bars(m);
        }
        top = std::max(top, seq);
        if (type != "D") return;
        std::string id = FixPeer::field(m, 11);
        if (possDup) {
            auto it = firstSeq.find(id);
            if (it != firstSeq.end()) {
                ASSERT_EQ(it->second, seq) << id;
            }
            firstSeq.emplace(id, seq);
        } else {
            ASSERT_TRUE(firstSeq.emplace(id, seq).second) << "sent twice as new: " << id;
            sentNew.push_back(id);
        }
    }

    // ClOrdIDs of the orders sent as new (not resent), in the order they came.
    const std::vector<std::string>& newOrders() const { return sentNew; }

    // Takes what the peer reads until all `total` orders have arrived or it has gone quiet.
    void takeUntilAll(FixPeer& peer, int total) {
        for (int i = 0; i < 3 * total && firstSeq.size() < static_cast<std::size_t>(total); ++i) {
            std::string m = peer.read(3000);
            if (m.empty()) break;
            take(m);
        }
    }

    int highest() const { return top; }

    // Every order seen, new or resent: the number it was first sent under -> its ClOrdID.
    std::map<int, std::string> byNumber() const {
        std::map<int, std::string> bySeq;
        for (const auto& order : firstSeq) bySeq.emplace(order.second, order.first);
        return bySeq;
    }

    // Checks that each of the orders prefix0 .. prefix(total - 1) was sent or is still waiting on
    // the input queue, and not both.
    void expectNoneLost(const std::string& prefix, int total,
                        const std::vector<std::string>& queued, const std::string& context) const {
        std::set<std::string> waiting;
        for (const std::string& t : queued) waiting.insert(FixPeer::field(t, 11));
        std::vector<int> lost;
        for (int i = 0; i < total; ++i) {
            std::string id = prefix + std::to_string(i);
            if (firstSeq.count(id) == 0 && waiting.count(id) == 0) lost.push_back(i);
        }
        EXPECT_TRUE(lost.empty()) << lost.size() << " lost, the first " << prefix << lost.front()
                                  << "; " << context;
        for (const std::string& id : waiting) {
            EXPECT_EQ(firstSeq.count(id), 0u) << "sent and still queued: " << id;
        }
    }

  private:
    std::map<std::string, int> firstSeq;  // ClOrdID -> MsgSeqNum of its new (not resent) send
    std::vector<std::string> sentNew;
    int top = 0;
};

// Kills the gateway at a moment its journal shows texts taken off the input queue and not yet
// logged (or after limitMs without one); returns how many it saw in hand.
int killWithTextsInHand(BackgroundProcess& gw, const std::string& journalPath, int limitMs) {
    auto deadline = steady_clock::now() + milliseconds(limitMs);
    int inHand = 0;
    while (inHand <= 0 && steady_clock::now() < deadline) inHand = Journal::countHeld(journalPath);
    gw.kill(SIGKILL);
    return inHand;
}

// An acceptor site whose counterparty logs on as `name` to the gateway GATE.
std::string acceptorCfg(const std::string& name) {
    return "~ {8=FIX.4.2,9=,35=,49=GATE,56=" + name +
           ",34=,52=}\nA {98=0,108=30}\n0 {}\n1 {112=}\n2 {7=,16=}\n4 {123=Y,36=}\n5 {58=Bye}\n";
}

class GatewayFaults : public GatewayTest {
  protected:
    void SetUp() override {
        GatewayTest::SetUp();
        cell = shm->registerName(site);
        cell->status = ' ';
        home.writeCfg(site, siteCfg);
    }

    // Starts the gateway against the listening peer and reads its Logon.
    void start() {
        gw = std::make_unique<BackgroundProcess>(
            "gateconnect",
            std::vector<std::string>{table, site, "127.0.0.1", std::to_string(peer.port()), "-i",
                                     qin, "-o", qout},
            options());
        ASSERT_TRUE(peer.accept(10000)) << gw->output() << gw->errors();
        logon = peer.read(10000);
        ASSERT_EQ(FixPeer::field(logon, 35), "A") << FixPeer::bars(logon);
    }

    // Starts the gateway, answers its Logon with HeartBtInt hb, and waits for the loop to run.
    void logOn(int hb = 30, int rcvbuf = 0) {
        ASSERT_GT(peer.listen(rcvbuf), 0);
        start();
        peer.send("35=A|98=0|108=" + std::to_string(hb), nextSeq++);
        ASSERT_TRUE(gw->waitForOutput("Thread [DP] was created.", milliseconds(10000)))
            << gw->output();
    }

    std::string logPath(const std::string& direction) {
        return "logs/" + site + "." + direction + "." + Time().getLogDate();
    }

    // Waits until Out.proc has stood still for half a second (a counterparty that does not read
    // holds the gateway at its output bound); returns it, or -1 when it never settled.
    int sentWhenSendingStops() {
        int sent = -1;
        for (int i = 0; i < 60; ++i) {
            std::this_thread::sleep_for(milliseconds(500));
            int now = cell->Out.proc;
            if (now > 0 && now == sent) return sent;
            sent = now;
        }
        return -1;
    }

    // Every text left on the input queue.
    std::vector<std::string> drainInput() {
        std::vector<std::string> texts;
        for (std::string t; !(t = input->read(0, NoWaitMode)).empty();) texts.push_back(t);
        return texts;
    }

    // The gateway must end by itself, by exit with the status given, within the limit.
    void expectEndsByItself(int limitMs, int status = 0) {
        ProcessResult r = gw->wait(milliseconds(limitMs));
        EXPECT_FALSE(r.timedOut) << r.out;
        EXPECT_TRUE(r.exited) << "ended by signal " << r.signal << "\n" << r.out << r.err;
        EXPECT_EQ(r.exitCode, status) << r.out << r.err;
        EXPECT_EQ(cell->status, status_Shutdown);
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
};

TEST_F(GatewayFaults, ResetInTheMiddleOfAnInboundMessageEndsTheSessionAndDeliversNoFragment) {
    logOn();
    std::string report = peer.make("35=8|37=O1|17=E1|150=0|39=0|55=IBM|54=1|38=100", nextSeq);
    peer.sendRaw(report.substr(0, report.size() / 2));
    // The fragment must be in the gateway's buffers before the reset.
    std::this_thread::sleep_for(milliseconds(200));
    peer.reset();

    expectEndsByItself(15000);
    EXPECT_EQ(cell->In.seq, 1);
    EXPECT_EQ(cell->In.pend, 0);
    EXPECT_TRUE(output->read(0, NoWaitMode).empty());
    std::vector<std::string> in = nonEmptyLines(home.readFile(logPath("in")));
    ASSERT_EQ(in.size(), 1u) << "only the Logon reply is logged";
    EXPECT_EQ(FixPeer::field(in[0], 35), "A");
}

TEST_F(GatewayFaults, ResetWhileOurOutputIsBackedUpEndsTheSessionAndLosesNoOrder) {
    logOn(30, 2048);
    const int total = 3000;
    Feeder feeder(qin, "R-", total);
    // The counterparty reads nothing; reset once a good part of the burst is on its way.
    ASSERT_TRUE(waitUntil([&] { return cell->Out.proc >= 300; }, 60000)) << cell->Out.proc;
    peer.reset();

    // The application goes on writing while the gateway ends; the queue is drained as a restarted
    // gateway would.
    std::multiset<std::string> seen;
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const std::string& t : drainInput()) seen.insert(FixPeer::field(t, 11));
            return !gw->running() && feeder.finished.load();
        },
        60000));
    for (const std::string& t : drainInput()) seen.insert(FixPeer::field(t, 11));
    expectEndsByItself(0);

    // Every order is in the outgoing log (sent, so a resend can recover it), was on the input
    // queue, or is kept in the journal for the next session; none is in two of them.
    {
        Journal journal(home.logsDir() + "/" + site + ".journal");
        for (int slot : journal.held()) seen.insert(FixPeer::field(journal.text(slot), 11));
    }
    std::size_t sent = 0;
    for (const std::string& line : nonEmptyLines(home.readFile(logPath("out")))) {
        if (FixPeer::field(line, 35) != "D") continue;
        seen.insert(FixPeer::field(line, 11));
        ++sent;
    }
    EXPECT_GE(sent, 300u);
    std::vector<std::string> missing, twice;
    for (int i = 0; i < total; ++i) {
        std::string id = "R-" + std::to_string(i);
        if (seen.count(id) == 0) missing.push_back(id);
        if (seen.count(id) > 1) twice.push_back(id);
    }
    EXPECT_TRUE(missing.empty()) << missing.size() << " lost, first " << missing.front();
    EXPECT_TRUE(twice.empty()) << twice.size() << " twice, first " << twice.front();
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(total));
}

TEST_F(GatewayFaults, CounterpartyThatStopsReadingStallsNothingAndGetsEveryOrderWhenItReadsAgain) {
    logOn(30, 2048);
    const int total = 2000;
    Feeder feeder(qin, "S-", total);
    // The gateway sends until its unsent output reaches its bound; the rest of the orders wait on
    // the input queue instead of piling up in the process.
    int sent = sentWhenSendingStops();
    RecordProperty("sent_while_not_read", sent);
    EXPECT_GT(sent, 100) << "still sending to a counterparty that does not read, or never began";
    EXPECT_LT(sent, total);

    // Output is backed up; inbound traffic is still handled at once.
    peer.send("35=8|37=O1|17=E1|150=0|39=0|55=IBM|54=1|38=100", nextSeq++);
    std::string delivered;
    ASSERT_TRUE(
        waitUntil([&] { return !(delivered = output->read(0, NoWaitMode)).empty(); }, 3000));
    EXPECT_EQ(FixPeer::field(delivered, 37), "O1");
    EXPECT_EQ(cell->In.pend, 1);

    // Reading again brings every order once, in order, numbered without a gap.
    int expectedSeq = 2;
    int orders = 0;
    for (int i = 0; i < 3 * total && orders < total; ++i) {
        std::string m = peer.read(5000);
        ASSERT_FALSE(m.empty()) << "after " << orders << " orders";
        ASSERT_TRUE(FixPeer::wellFormed(m));
        ASSERT_EQ(FixPeer::field(m, 34), std::to_string(expectedSeq++));
        if (FixPeer::field(m, 35) != "D") continue;
        ASSERT_EQ(FixPeer::field(m, 11), "S-" + std::to_string(orders));
        ++orders;
    }
    EXPECT_EQ(orders, total);
    EXPECT_TRUE(feeder.finished.load());
    EXPECT_EQ(cell->status, status_Online);
}

TEST_F(GatewayFaults, IdleRuleEndsADeadCounterpartyEvenWithOutputPending) {
    logOn(1, 2048);
    Feeder feeder(qin, "I-", 2000);
    ASSERT_GT(sentWhenSendingStops(), 0) << cell->Out.proc;
    // Nothing is read or sent from now on: about three quiet intervals, each up to one idle wait
    // late, then the final flush gives up.
    expectEndsByItself(40000);
}

// A kill at any instant loses nothing: numbering resumes from the logs, no number is reused, no
// order goes out twice as new, a resend repeats an order under its first number, and every order
// the application queued is delivered or still queued.
TEST_F(GatewayFaults, KillInTheMiddleOfABurstThenRestartLosesNoOrder) {
    const int total = 10000;
    logOn(30);
    // Short orders: many fit the queue at once, so the gateway always has some in hand.
    Feeder feeder(qin, "K-", total, false);
    OrderLedger ledger;
    for (int i = 0; i < total && cell->Out.proc < 3000; ++i) {
        std::string m = peer.read(5000);
        ASSERT_FALSE(m.empty());
        ledger.take(m);
    }
    RecordProperty("in_hand_at_kill",
                   killWithTextsInHand(*gw, home.logsDir() + "/" + site + ".journal", 5000));
    ProcessResult killed = gw->wait(milliseconds(5000));
    ASSERT_EQ(killed.signal, SIGKILL);
    for (std::string m; !(m = peer.read(500)).empty();) ledger.take(m);
    int receivedBefore = ledger.highest();

    // Restart on the same day: numbering resumes after the last number in the outgoing log.
    int lastLogged = 0;
    std::string lastLoggedOrder;
    for (const std::string& line : nonEmptyLines(home.readFile(logPath("out")))) {
        lastLogged = std::max(lastLogged, std::stoi(FixPeer::field(line, 34)));
        if (FixPeer::field(line, 35) == "D") lastLoggedOrder = FixPeer::field(line, 11);
    }
    peer.disconnect();
    start();
    EXPECT_EQ(FixPeer::field(logon, 34), std::to_string(lastLogged + 1));
    ledger.take(logon);
    peer.send("35=A|98=0|108=30", nextSeq++);
    // Ask again for what the kill cut off before it reached the wire.
    peer.send("35=2|7=" + std::to_string(receivedBefore + 1) + "|16=0", nextSeq++);
    ledger.takeUntilAll(peer, total);
    ASSERT_TRUE(waitUntil([&] { return feeder.finished.load(); }, 10000));
    ledger.expectNoneLost("K-", total, drainInput(),
                          "the last order logged before the kill was " + lastLoggedOrder);
}

TEST_F(GatewayFaults, OrdersUnsentAtTheEndStayInTheJournalAndGoFirstInTheNextSession) {
    const int total = 2000;
    logOn(30, 2048);
    Feeder feeder(qin, "F-", total);  // keeps the input queue full while the gateway is held back
    ASSERT_GT(sentWhenSendingStops(), 0);
    gw->kill(SIGTERM);
    ProcessResult ended = gw->wait(milliseconds(15000));
    ASSERT_TRUE(ended.exited) << "signal " << ended.signal << "\n" << ended.out;
    EXPECT_EQ(ended.exitCode, 0);
    EXPECT_NE(ended.out.find("stay in the journal for the next session of the site."),
              std::string::npos)
        << ended.out;
    std::vector<std::string> kept;
    {
        Journal journal(home.logsDir() + "/" + site + ".journal");
        for (int slot : journal.held()) kept.push_back(FixPeer::field(journal.text(slot), 11));
    }
    ASSERT_FALSE(kept.empty());

    OrderLedger ledger;
    for (std::string m; !(m = peer.read(1000)).empty();) ledger.take(m);
    int receivedBefore = ledger.highest();
    peer.disconnect();
    start();
    ledger.take(logon);
    const std::size_t newBefore = ledger.newOrders().size();
    peer.send("35=A|98=0|108=30", nextSeq++);
    // What was still pending in the ended session is in its log: ask for it again.
    peer.send("35=2|7=" + std::to_string(receivedBefore + 1) + "|16=0", nextSeq++);
    ledger.takeUntilAll(peer, total);
    ASSERT_GE(ledger.newOrders().size(), newBefore + kept.size());
    std::vector<std::string> firstNew(ledger.newOrders().begin() + newBefore,
                                      ledger.newOrders().begin() + newBefore + kept.size());
    EXPECT_EQ(firstNew, kept) << "the orders kept in the journal go before any newer one";
    ASSERT_TRUE(waitUntil([&] { return feeder.finished.load(); }, 10000));
    ledger.expectNoneLost("F-", total, drainInput(), "after a shutdown with the input queue full");
    EXPECT_EQ(Journal::countHeld(home.logsDir() + "/" + site + ".journal"), 0);
}

TEST_F(GatewayFaults, SlowApplicationBehindAFullOutputQueueGetsEveryMessageInOrder) {
    logOn();
    // A queue that holds only a few messages, so the session has to wait for the application.
    msqid_ds info{};
    int qid = msgget(Key(qout).get_ipc_key(), 0);
    ASSERT_EQ(msgctl(qid, IPC_STAT, &info), 0);
    info.msg_qbytes = 2048;
    ASSERT_EQ(msgctl(qid, IPC_SET, &info), 0);

    const int total = 100;
    for (int i = 0; i < total; ++i) {
        peer.send("35=8|37=O" + std::to_string(i) +
                      "|17=E|150=0|39=0|55=IBM|54=1|38=100|58=" + std::string(200, 'x'),
                  nextSeq++);
    }
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_LT(cell->In.pend, total) << "the queue cannot have taken them all";

    for (int i = 0; i < total; ++i) {
        std::string m;
        ASSERT_TRUE(waitUntil([&] { return !(m = output->read(0, NoWaitMode)).empty(); }, 5000))
            << "message " << i;
        EXPECT_EQ(FixPeer::field(m, 37), "O" + std::to_string(i));
        EXPECT_EQ(FixPeer::field(m, 34), std::to_string(i + 2));
        std::this_thread::sleep_for(milliseconds(2));
    }
    EXPECT_EQ(cell->In.pend, total);
    EXPECT_EQ(cell->In.seq, total + 1);
    EXPECT_EQ(cell->status, status_Online);
}

TEST_F(GatewayFaults, InputQueueRemovedUnderAWaitingDispatcherEndsTheProcessWithStatus255) {
    logOn();
    // Let the dispatcher settle into its receive.
    std::this_thread::sleep_for(milliseconds(200));
    int qid = msgget(Key(qin).get_ipc_key(), 0);
    ASSERT_EQ(msgctl(qid, IPC_RMID, nullptr), 0);

    ProcessResult r = gw->wait(milliseconds(10000));
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE((r.out + r.err).find("Fail to read from MsgQueue."), std::string::npos)
        << r.out << r.err;
}

// --- Numbers at the edges of their range --------------------------------------------------------

TEST_F(GatewayFaults, SequenceResetToTheLowestIntEndsTheSession) {
    logOn();
    peer.send("35=4|123=Y|36=-2147483648", nextSeq++);
    expectEndsByItself(10000);
}

TEST_F(GatewayFaults, SequenceResetWithoutANewNumberEndsTheSession) {
    logOn();
    peer.send("35=4|123=Y", nextSeq++);
    expectEndsByItself(10000);
}

TEST_F(GatewayFaults, CounterpartyThatUsedTheLastNumberCannotGoOn) {
    logOn();
    peer.send("35=4|123=Y|36=2147483647", nextSeq++);
    peer.send("35=0", 2147483647);
    ASSERT_TRUE(waitUntil([&] { return cell->In.seq == 2147483647; }, 5000)) << cell->In.seq;
    peer.send("35=0", 5);
    expectEndsByItself(10000);
    EXPECT_EQ(cell->In.seq, 2147483647);
}

TEST_F(GatewayFaults, RestartAfterAnIncomingLogEndingAtTheLastNumberRefusesTheLogon) {
    home.writeFile(logPath("in"), FixPeer::soh(peer.make("35=0", 2147483647)) + "\n");
    ASSERT_GT(peer.listen(), 0);
    start();
    peer.send("35=A|98=0|108=30", 2147483647);
    ProcessResult r = gw->wait(milliseconds(10000));
    ASSERT_TRUE(r.exited) << "signal " << r.signal << "\n" << r.err;
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.out.find("is less than expected [2147483648]."), std::string::npos) << r.out;
}

TEST_F(GatewayFaults, OurLastNumberUsedEndsTheSessionAndTheOrderStaysInTheJournal) {
    logOn();
    cell->Out.seq = 2147483646;  // as renumber sets it on a live session
    input->write(FixPeer::soh("35=D|11=LAST|55=IBM|54=1|38=100|40=1"), WaitMode, 1);
    std::string last = peer.readType("D", 5000);
    EXPECT_EQ(FixPeer::field(last, 34), "2147483647");
    input->write(FixPeer::soh("35=D|11=NONE|55=IBM|54=1|38=100|40=1"), WaitMode, 1);
    expectEndsByItself(10000, 1);  // the session could not go on: a failure, not an orderly end
    EXPECT_EQ(cell->Out.seq, 2147483647);
    // Nothing went out numbered past the last int, and the order waits in the journal for the
    // site's next session.
    for (std::string m; !(m = peer.read(300)).empty();) {
        EXPECT_NE(FixPeer::field(m, 11), "NONE") << FixPeer::bars(m);
    }
    EXPECT_TRUE(drainInput().empty());
    Journal journal(home.logsDir() + "/" + site + ".journal");
    std::vector<int> held = journal.held();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(FixPeer::field(journal.text(held[0]), 11), "NONE");
}

// --- A session ended in the middle of a burst --------------------------------------------------

class EndedMidBurst : public GatewayFaults, public ::testing::WithParamInterface<std::string> {};

// Queues padded orders prefix<first>, prefix<first + 1>, ... until two have waited on the queue,
// which then still has room, through 30 looks in a row (a busy session lets a few wait for a
// moment, a stopped one for good, a slow one for a while); returns how many were queued.
int feedUntilTwoWait(const std::string& queue, const std::string& prefix, int most, int first) {
    int qid = msgget(Key(queue).get_ipc_key(), 0);
    msqid_ds info{};
    MBUF buf;
    buf.mtype = 1;
    int n = 0;
    for (int pass = 0, still = 0; n < most && still < 30 && pass < 100 * most; ++pass) {
        if (msgctl(qid, IPC_STAT, &info) != 0) break;
        still = info.msg_qnum >= 2 ? still + 1 : 0;
        std::string text = FixPeer::soh(orderFields(prefix + std::to_string(first + n)));
        text.copy(buf.mtext, text.size());
        if (still == 0 && msgsnd(qid, &buf, text.size(), IPC_NOWAIT) == 0) {
            ++n;
        } else {
            std::this_thread::sleep_for(milliseconds(still > 0 ? 10 : 1));
        }
    }
    return n;
}

// The counterparty reads nothing, so the session stops taking texts: the pipe and the journal
// hold some, the queue two more and has room for others. However the session ends (a row), the
// next one sends every order once (new, or resent when the end cut it off the wire), numbered in
// the order the application queued it.
TEST_P(EndedMidBurst, EveryOrderGoesOutOnceInTheOrderQueued) {
    const std::string journalPath = home.logsDir() + "/" + site + ".journal", by = GetParam();
    logOn(30, 2048);
    // A slow build lets orders wait before the session stops taking them: it is fed again.
    int total = 0;
    for (int round = 0; round < 10 && total < 5000 && Journal::countHeld(journalPath) <= 0;
         ++round) {
        total += feedUntilTwoWait(qin, "M-", 5000 - total, total);
        ASSERT_GT(sentWhenSendingStops(), 0);
    }
    ASSERT_LT(total, 5000) << "the gateway never stopped taking orders";
    ASSERT_GT(Journal::countHeld(journalPath), 0) << "no text waits in the pipe";
    OrderLedger ledger;
    if (by == "PeerClose") peer.disconnect();
    if (by == "PeerLogout") peer.send("35=5", nextSeq++);
    if (by == "Terminate" || by == "Kill") gw->kill(by == "Kill" ? SIGKILL : SIGTERM);
    for (std::string m; by != "PeerClose" && !(m = peer.read(1000)).empty();) ledger.take(m);
    ProcessResult ended = gw->wait(milliseconds(15000));
    ASSERT_FALSE(ended.timedOut) << ended.out;
    if (by != "Kill") {
        EXPECT_NE(ended.out.find("stay in the journal for the next session of the site."),
                  std::string::npos)
            << ended.out;
    }
    EXPECT_GT(Journal::countHeld(journalPath), 0);

    int receivedBefore = ledger.highest();
    peer.disconnect();
    start();
    ledger.take(logon);
    peer.send("35=A|98=0|108=30", nextSeq++);
    // Whatever the end cut off the wire is in the outgoing log: ask for it again.
    peer.send("35=2|7=" + std::to_string(receivedBefore + 1) + "|16=0", nextSeq++);
    ledger.takeUntilAll(peer, total);
    ledger.expectNoneLost("M-", total, drainInput(), by);
    int i = 0;
    for (const auto& order : ledger.byNumber()) {
        ASSERT_EQ(order.second, "M-" + std::to_string(i++))
            << "out of place: number " << order.first;
    }
    EXPECT_EQ(i, total);
    EXPECT_EQ(Journal::countHeld(journalPath), 0);
}

INSTANTIATE_TEST_SUITE_P(Endings, EndedMidBurst,
                         ::testing::Values("PeerClose", "PeerLogout", "Terminate", "Kill"),
                         [](const ::testing::TestParamInfo<std::string>& row) {
                             return row.param;
                         });

// --- The acceptor ------------------------------------------------------------------------------

class AcceptorFaults : public GatewayTest {
  protected:
    // Starts gatelisten on a free port and waits until it listens; gw stays empty when it never
    // did.
    void startAcceptor() {
        gw.reset();
        gw = startGatelisten(port);
    }

    int port = 0;
};

TEST_F(AcceptorFaults, GarbageFromOneOf32LiveSitesEndsOnlyThatSession) {
    std::vector<std::string> sites;
    for (int i = 0; i < maxCells; ++i) {
        std::string name = "S" + std::to_string(100 + i);
        sites.push_back(name);
        shm->registerName(name)->status = ' ';
        home.writeCfg(name, acceptorCfg(name));
    }
    startAcceptor();
    ASSERT_TRUE(gw) << "gatelisten did not start listening";

    // The application side: takes every delivered message as it comes, counted by sender.
    std::atomic<bool> stop{false};
    std::atomic<int> deliveredCount{0};
    std::map<std::string, int> deliveredBy;
    std::thread application([&] {
        MsgQueue out(qout, 0, 0);
        while (!stop) {
            std::string m = out.read(0, NoWaitMode);
            if (m.empty()) {
                std::this_thread::sleep_for(milliseconds(2));
                continue;
            }
            ++deliveredBy[FixPeer::field(m, 49)];
            ++deliveredCount;
        }
    });
    struct StopApplication {
        std::atomic<bool>& stop;
        std::thread& t;
        ~StopApplication() {
            stop = true;
            if (t.joinable()) t.join();
        }
    } stopApplication{stop, application};

    std::vector<std::unique_ptr<FixPeer>> peers;
    for (const std::string& name : sites) {
        peers.push_back(std::make_unique<FixPeer>(name, "GATE"));
        ASSERT_TRUE(peers.back()->connect(port)) << name;
        peers.back()->send("35=A|98=0|108=30", 1);
        ASSERT_EQ(FixPeer::field(peers.back()->read(10000), 35), "A") << name;
    }
    for (int i = 0; i < maxCells; ++i) {
        ASSERT_TRUE(
            waitUntil([&] { return shm->getCell(sites[i])->status == status_Online; }, 5000))
            << sites[i];
    }

    const int bad = 13;
    const int rounds = 5;
    peers[bad]->sendRaw(
        "8=FIX.4.2\x01"
        "9=12x\x01"
        "35=0\x01"
        "10=000\x01garbage garbage garbage");
    for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < maxCells; ++i) {
            if (i == bad) continue;
            peers[i]->send("35=8|37=O" + std::to_string(r) + "|17=E|150=0|39=0|55=IBM|54=1|38=1",
                           2 + r);
            input->write(FixPeer::soh("35=D|11=" + sites[i] + "-" + std::to_string(r) +
                                      "|55=IBM|54=1|38=1|40=1"),
                         WaitMode, i + 1);
        }
    }

    EXPECT_TRUE(peers[bad]->waitClosed(10000)) << "the garbage sender is dropped";
    EXPECT_TRUE(
        waitUntil([&] { return shm->getCell(sites[bad])->status == status_Shutdown; }, 5000));
    for (int i = 0; i < maxCells; ++i) {
        if (i == bad) continue;
        for (int r = 0; r < rounds; ++r) {
            std::string order = peers[i]->readType("D", 10000);
            EXPECT_EQ(FixPeer::field(order, 11), sites[i] + "-" + std::to_string(r)) << sites[i];
        }
        EXPECT_EQ(shm->getCell(sites[i])->status, status_Online) << sites[i];
        // Its last execution may be handled after its last order went out.
        MemoryCell* cell = shm->getCell(sites[i]);
        EXPECT_TRUE(waitUntil([&] { return cell->In.seq == 1 + rounds; }, 5000))
            << sites[i] << " " << cell->In.seq;
    }
    const int expectedTotal = (maxCells - 1) * rounds;
    EXPECT_TRUE(waitUntil([&] { return deliveredCount == expectedTotal; }, 10000))
        << deliveredCount;
    EXPECT_TRUE(gw->running()) << "the acceptor goes on serving";
    stop = true;
    application.join();
    for (int i = 0; i < maxCells; ++i) {
        int expected = i == bad ? 0 : rounds;
        EXPECT_EQ(shm->getCell(sites[i])->In.pend, expected) << sites[i];
        EXPECT_EQ(deliveredBy[sites[i]], expected) << sites[i];
    }
    gw->stop(milliseconds(3000));
}

// The same at the acceptor: its session journals the site's texts the same way.
TEST_F(AcceptorFaults, KillInTheMiddleOfABurstThenRestartLosesNoOrder) {
    const int total = 4000;
    MemoryCell* cell = shm->registerName("BRK1");  // cell 0: the orders' queue type is 1
    cell->status = ' ';
    home.writeCfg("BRK1", acceptorCfg("BRK1"));
    startAcceptor();
    ASSERT_TRUE(gw) << "gatelisten did not start listening";
    FixPeer peer("BRK1", "GATE");
    int nextSeq = 1;
    OrderLedger ledger;
    ASSERT_TRUE(peer.connect(port));
    peer.send("35=A|98=0|108=30", nextSeq++);
    std::string reply = peer.read(10000);
    ASSERT_EQ(FixPeer::field(reply, 35), "A") << FixPeer::bars(reply);
    ledger.take(reply);

    Feeder feeder(qin, "L-", total, false);
    for (int i = 0; i < total && cell->Out.proc < 1500; ++i) {
        std::string m = peer.read(5000);
        ASSERT_FALSE(m.empty());
        ledger.take(m);
    }
    RecordProperty("in_hand_at_kill",
                   killWithTextsInHand(*gw, home.logsDir() + "/BRK1.journal", 5000));
    ASSERT_EQ(gw->wait(milliseconds(5000)).signal, SIGKILL);
    for (std::string m; !(m = peer.read(500)).empty();) ledger.take(m);
    int receivedBefore = ledger.highest();
    peer.disconnect();

    startAcceptor();
    ASSERT_TRUE(gw) << "gatelisten did not start listening again";
    ASSERT_TRUE(peer.connect(port));
    peer.send("35=A|98=0|108=30", nextSeq++);
    reply = peer.read(10000);
    ASSERT_EQ(FixPeer::field(reply, 35), "A") << FixPeer::bars(reply) << gw->output();
    ledger.take(reply);
    peer.send("35=2|7=" + std::to_string(receivedBefore + 1) + "|16=0", nextSeq++);
    ledger.takeUntilAll(peer, total);
    ASSERT_TRUE(waitUntil([&] { return feeder.finished.load(); }, 10000));
    std::vector<std::string> queued;
    for (std::string t; !(t = input->read(0, NoWaitMode)).empty();) queued.push_back(t);
    ledger.expectNoneLost("L-", total, queued, "acceptor killed and restarted");
    gw->stop(milliseconds(3000));
}

}  // namespace
