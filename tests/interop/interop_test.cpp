// Our gateways against QuickFIX, an independent FIX engine: FIX.4.2 with its default validation
// and no data dictionary, and (FixtSession) FIX 5.0 SP2 over FIXT.1.1 with both dictionaries,
// over 127.0.0.1. Each test runs one real session in one role:
// gateconnect logging on to a QuickFIX acceptor, or a QuickFIX initiator logging on to
// gatelisten. Both sides use the example site configurations shipped in examples/. QuickFIX's
// record (what it received, sent and logged) is the judge: it must never reject anything we send.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FrameRelay.h"
#include "Ipc.h"
#include "MsgQueue.h"
#include "Process.h"
#include "QuickFixPeer.h"
#include "Shm.h"
#include "TempHome.h"
#include "TestUtil.h"

namespace {

using std::chrono::milliseconds;

const std::string SOH = "\x01";

enum class Role { Initiator, Acceptor };

void PrintTo(Role role, std::ostream* out) {
    *out << (role == Role::Initiator ? "our initiator" : "our acceptor");
}

std::string roleName(const ::testing::TestParamInfo<Role>& info) {
    return info.param == Role::Initiator ? "gateconnect" : "gatelisten";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string field(const std::string& tag, const std::string& value) {
    return SOH + tag + "=" + value + SOH;
}

std::string order(const std::string& clOrdId) {
    return "35=D" + SOH + "11=" + clOrdId + SOH + "21=1" + SOH + "55=IBM" + SOH + "54=1" + SOH +
           "38=100" + SOH + "40=2" + SOH + "44=10.5" + SOH;
}

// MsgSeqNum (34) of a message; 0 when it has none.
int seqOf(const std::string& message) {
    std::size_t at = message.find(SOH + "34=");
    return at == std::string::npos ? 0 : std::atoi(message.c_str() + at + 4);
}

std::string shown(std::string text) {
    for (char& c : text)
        if (c == '\x01') c = '|';
    return text;
}

// One real session between one of our gateways and QuickFIX. Our site is the counterparty as
// our gateway names it: SELLSIDE for BUYSIDE's gateconnect, BUYSIDE for SELLSIDE's gatelisten.
class InteropSession : public ::testing::TestWithParam<Role> {
  protected:
    void SetUp() override {
        Shm shm(table);
        // Another site first, so the acceptor's site is addressed by a type other than 1.
        shm.registerName("OTHERSITE");
        shm.registerName("BUYSIDE");
        shm.registerName("SELLSIDE");
        MsgQueue(qin, 0, IPC_CREAT);
        MsgQueue(qout, 0, IPC_CREAT);
    }

    bool initiator() const { return GetParam() == Role::Initiator; }
    std::string site() const { return initiator() ? "SELLSIDE" : "BUYSIDE"; }
    std::string peerId() const { return site(); }
    std::string ourId() const { return initiator() ? "BUYSIDE" : "SELLSIDE"; }

    // Installs the example configuration of our site with the given HeartBtInt in its Logon.
    void installConfig(int heartbeat) {
        std::string path = std::string(FIXGATE_SOURCE_DIR) + "/examples/" +
                           (initiator() ? "initiator" : "acceptor") + "/cfg/" + site() + ".fix";
        std::string text = readFile(path);
        ASSERT_FALSE(text.empty()) << "missing example configuration " << path;
        text = std::regex_replace(text, std::regex("108=[0-9]+"),
                                  "108=" + std::to_string(heartbeat) + logonExtra);
        home.writeCfg(site(), std::regex_replace(text, std::regex("8=FIX\\.4\\.2,"),
                                                 "8=" + beginString + ",") +
                                  cfgExtra);
    }

    // Starts both sides and waits until QuickFIX reports the logon; false when the test cannot
    // go on (skipped or failed).
    bool logOn(int heartbeat = 30) {
        start(heartbeat);
        return !IsSkipped() && !HasFatalFailure();
    }

    void start(int heartbeat) {
        std::string program = initiator() ? "gateconnect" : "gatelisten";
        if (access(programPath(program).c_str(), X_OK) != 0)
            GTEST_SKIP() << program << " has not been built";
        installConfig(heartbeat);
        if (HasFatalFailure()) return;
        if (initiator()) {
            peer.reset(
                new QuickFixPeer("acceptor", peerId(), ourId(), port, home.root(), 30, peerExtra));
            startGateway();
        } else {
            startGateway();
            if (HasFatalFailure()) return;
            peer.reset(new QuickFixPeer("initiator", peerId(), ourId(), connectPort(), home.root(),
                                        heartbeat, peerExtra));
        }
        ASSERT_TRUE(peer->waitFor("LOGON", "", 1, milliseconds(10000)))
            << peer->transcript() << "\n--- gateway:\n"
            << gateway->output() << gateway->errors();
        ASSERT_TRUE(settled()) << peer->transcript() << "\n--- gateway:\n"
                               << gateway->output() << gateway->errors();
    }

    // Waits until our cell has counted everything QuickFIX sent and received so far: QuickFIX
    // reports the logon as soon as it has the reply, which may be before our side counted it.
    bool settled() {
        auto deadline = std::chrono::steady_clock::now() + milliseconds(5000);
        for (;;) {
            std::vector<std::string> sent = peer->records("OUT");
            std::vector<std::string> received = peer->records("IN");
            MemoryCell now = cell();
            if (!sent.empty() && !received.empty() && now.In.seq == seqOf(sent.back()) &&
                now.Out.seq == seqOf(received.back()))
                return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(milliseconds(20));
        }
    }

    // Starts our gateway (again) in the test's home; an acceptor is waited for until it listens.
    void startGateway() {
        ProcessOptions options;
        options.cwd = home.root();
        options.env = {{"FIXHOME", home.root()}};
        if (initiator()) {
            gateway.reset(new BackgroundProcess(
                "gateconnect",
                {table, site(), "127.0.0.1", std::to_string(connectPort()), "-i", qin, "-o", qout},
                options));
        } else {
            gateway.reset(new BackgroundProcess(
                "gatelisten", {table, "-p", std::to_string(port), "-i", qin, "-o", qout}, options));
            ASSERT_TRUE(gateway->waitForOutput("Socket service [" + std::to_string(port) + "]",
                                               milliseconds(5000)))
                << gateway->output() << gateway->errors();
        }
    }

    // Puts an application message on our input queue, addressed as the application would.
    void send(const std::string& text) {
        long type = initiator() ? 1 : Shm(table).getCellId(site()) + 1;
        MsgQueue(qin, 0, 0).write(text, WaitMode, type);
    }

    // Takes up to count messages from our output queue within limit.
    std::vector<std::string> delivered(std::size_t count, milliseconds limit) {
        std::vector<std::string> got;
        MsgQueue queue(qout, 0, 0);
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            std::string text = queue.read(1, NoWaitMode);
            if (text.empty())
                std::this_thread::sleep_for(milliseconds(20));
            else
                got.push_back(text);
        }
        return got;
    }

    MemoryCell cell() { return *Shm(table).getCell(site()); }

    // Where the initiating side connects: the relay when the test has one.
    int connectPort() const { return relay ? relay->port() : port; }

    // Our outgoing message log of today (the only one in this fresh home).
    std::vector<std::string> outgoingLog() {
        std::vector<std::string> found;
        DIR* dir = opendir(home.logsDir().c_str());
        if (dir == nullptr) return found;
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.rfind(site() + ".out.", 0) == 0)
                found = nonEmptyLines(readFile(home.logsDir() + "/" + name));
        }
        closedir(dir);
        return found;
    }

    void expectNoComplaints() {
        std::vector<std::string> complaints = peer->complaints();
        EXPECT_TRUE(complaints.empty()) << "QuickFIX complained:\n"
                                        << shown(complaints.front()) << "\n--- record:\n"
                                        << peer->transcript();
    }

    // QuickFIX objected to nothing and logged no error.
    void expectCleanRecord() {
        expectNoComplaints();
        for (const std::string& e : peer->records("EVENT")) {
            std::string lower = e;
            std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
            EXPECT_EQ(lower.find("error"), std::string::npos) << e;
        }
    }

    IpcNames ipc;
    TempHome home;
    std::string table = ipc.name();
    std::string qin = ipc.name();
    std::string qout = ipc.name();
    int port = freeLoopbackPort();
    // Our site's BeginString and what its Logon carries after HeartBtInt.
    std::string beginString = "FIX.4.2";
    std::string logonExtra;
    // Appended to our site's configuration, and to QuickFIX's command line.
    std::string cfgExtra;
    std::vector<std::string> peerExtra;
    std::unique_ptr<FrameRelay> relay;
    std::unique_ptr<QuickFixPeer> peer;
    std::unique_ptr<BackgroundProcess> gateway;
};

TEST_P(InteropSession, OrdersReachQuickFixAndItsExecutionsArriveByteForByte) {
    if (!logOn()) return;
    send(order("IOP-1"));
    send(order("IOP-2"));

    std::vector<std::string> executions = delivered(2, milliseconds(10000));
    ASSERT_EQ(executions.size(), 2u) << peer->transcript();
    std::vector<std::string> sent = peer->records("OUT", field("35", "8"));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(executions[0], sent[0]);
    EXPECT_EQ(executions[1], sent[1]);
    EXPECT_NE(executions[0].find(field("11", "IOP-1")), std::string::npos);
    EXPECT_NE(executions[1].find(field("11", "IOP-2")), std::string::npos);

    std::vector<std::string> orders = peer->records("ORDER");
    ASSERT_EQ(orders.size(), 2u);
    EXPECT_NE(orders[0].find(field("11", "IOP-1")), std::string::npos);
    EXPECT_NE(orders[1].find(field("11", "IOP-2")), std::string::npos);
    EXPECT_EQ(cell().In.pend, 2);
    EXPECT_EQ(cell().Out.proc, 2);

    // Whatever we logged as sent is what QuickFIX received, byte for byte.
    std::vector<std::string> received = peer->records("IN");
    for (const std::string& line : outgoingLog())
        EXPECT_NE(std::find(received.begin(), received.end(), line), received.end())
            << "QuickFIX never received " << shown(line);
    expectNoComplaints();
}

TEST_P(InteropSession, HeartbeatsKeepTheSessionUpPastThreeIntervals) {
    // Two-second intervals leave room for slow (sanitizer) builds; three of them pass in 6 s.
    if (!logOn(2)) return;
    std::this_thread::sleep_for(milliseconds(7000));

    EXPECT_TRUE(gateway->running());
    EXPECT_TRUE(peer->records("LOGOUT").empty()) << peer->transcript();
    EXPECT_NE(cell().status, 'S');
    EXPECT_FALSE(peer->records("IN", field("35", "0")).empty()) << peer->transcript();
    EXPECT_FALSE(peer->records("OUT", field("35", "0")).empty()) << peer->transcript();

    send(order("AFTER-IDLE"));
    EXPECT_EQ(delivered(1, milliseconds(10000)).size(), 1u) << peer->transcript();
    expectNoComplaints();
}

TEST_P(InteropSession, QuickFixAcceptsOurAnswerWhenItFindsAGapInOurNumbers) {
    if (!logOn()) return;
    send(order("BEFORE-GAP"));
    ASSERT_EQ(delivered(1, milliseconds(10000)).size(), 1u) << peer->transcript();

    MemoryCell now = cell();
    ProcessResult r = runProgram("renumber", {table, site(), "-i", std::to_string(now.In.seq), "-o",
                                              std::to_string(now.Out.seq + 5)});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    send(order("ABOVE-GAP"));

    // QuickFIX asks for the missing numbers, takes our gap fill and the order, and fills it.
    std::vector<std::string> executions = delivered(1, milliseconds(10000));
    ASSERT_EQ(executions.size(), 1u) << peer->transcript();
    EXPECT_NE(executions[0].find(field("11", "ABOVE-GAP")), std::string::npos);
    EXPECT_EQ(peer->records("OUT", field("35", "2")).size(), 1u) << peer->transcript();
    EXPECT_FALSE(peer->records("IN", field("123", "Y")).empty()) << peer->transcript();
    EXPECT_FALSE(peer->records("IN", field("43", "Y")).empty()) << peer->transcript();
    EXPECT_EQ(peer->records("ORDER", field("11", "ABOVE-GAP")).size(), 1u) << peer->transcript();

    // And the session goes on in sequence.
    send(order("AFTER-GAP"));
    executions = delivered(1, milliseconds(10000));
    ASSERT_EQ(executions.size(), 1u) << peer->transcript();
    EXPECT_NE(executions[0].find(field("11", "AFTER-GAP")), std::string::npos);
    EXPECT_EQ(peer->records("OUT", field("35", "2")).size(), 1u) << peer->transcript();
    EXPECT_TRUE(peer->records("LOGOUT").empty()) << peer->transcript();
    expectNoComplaints();
}

TEST_P(InteropSession, OurGapFillOverSessionMessagesLeavesQuickFixExpectingOurNextNumber) {
    if (!logOn()) return;
    MemoryCell now = cell();
    ProcessResult r = runProgram("renumber", {table, site(), "-i", std::to_string(now.In.seq), "-o",
                                              std::to_string(now.Out.seq + 5)});
    ASSERT_EQ(r.exitCode, 0) << r.err;

    // Only a Heartbeat (our answer to the TestRequest) stands above the gap, so the whole answer
    // is one gap fill; it must announce a number our next message really carries.
    peer->command("testreq GAP-PROBE");
    ASSERT_TRUE(peer->waitFor("IN", field("112", "GAP-PROBE"), 1, milliseconds(10000)))
        << peer->transcript();
    ASSERT_TRUE(peer->waitFor("IN", field("123", "Y"), 1, milliseconds(10000)))
        << peer->transcript();
    std::vector<std::string> fills = peer->records("IN", field("123", "Y"));

    send(order("AFTER-FILL"));
    std::vector<std::string> executions = delivered(1, milliseconds(10000));
    ASSERT_EQ(executions.size(), 1u) << peer->transcript();
    EXPECT_NE(executions[0].find(field("11", "AFTER-FILL")), std::string::npos);
    std::vector<std::string> orders = peer->records("IN", field("11", "AFTER-FILL"));
    ASSERT_EQ(orders.size(), 1u);
    EXPECT_NE(fills.back().find(field("36", std::to_string(seqOf(orders[0])))), std::string::npos)
        << shown(fills.back());
    EXPECT_TRUE(peer->records("LOGOUT").empty()) << peer->transcript();
    expectNoComplaints();
}

TEST_P(InteropSession, QuickFixAnswersOurResendRequestAndTheSessionContinuesInSequence) {
    if (!logOn()) return;
    int expected = cell().In.seq + 1;
    peer->command("skip 3");
    peer->command("exec");

    // The report numbered three too high is dropped; QuickFIX's answer brings it again.
    std::vector<std::string> executions = delivered(1, milliseconds(10000));
    ASSERT_EQ(executions.size(), 1u) << peer->transcript();
    EXPECT_NE(executions[0].find(field("11", "UNSOLICITED-1")), std::string::npos);
    EXPECT_NE(executions[0].find(field("43", "Y")), std::string::npos);
    std::vector<std::string> requests = peer->records("IN", field("35", "2"));
    ASSERT_EQ(requests.size(), 1u) << peer->transcript();
    EXPECT_NE(requests[0].find(field("7", std::to_string(expected))), std::string::npos);
    EXPECT_NE(requests[0].find(field("16", "0")), std::string::npos);

    send(order("AFTER-RESEND"));
    executions = delivered(1, milliseconds(10000));
    ASSERT_EQ(executions.size(), 1u) << peer->transcript();
    EXPECT_NE(executions[0].find(field("11", "AFTER-RESEND")), std::string::npos);
    EXPECT_EQ(executions[0].find(field("43", "Y")), std::string::npos);
    EXPECT_EQ(peer->records("IN", field("35", "2")).size(), 1u) << peer->transcript();
    ASSERT_FALSE(peer->records("OUT").empty());
    EXPECT_EQ(cell().In.seq, seqOf(peer->records("OUT").back()));
    EXPECT_TRUE(peer->records("LOGOUT").empty()) << peer->transcript();
    expectNoComplaints();
}

INSTANTIATE_TEST_SUITE_P(BothRoles, InteropSession,
                         ::testing::Values(Role::Initiator, Role::Acceptor), roleName);

using InitiatorSession = InteropSession;

TEST_P(InitiatorSession, LogoutFromQuickFixEndsOurSessionCleanly) {
    if (!logOn()) return;
    peer->command("logout");

    ProcessResult end = gateway->wait(milliseconds(10000));
    EXPECT_TRUE(end.exited) << end.out << end.err;
    EXPECT_EQ(end.exitCode, 0) << end.out << end.err;
    EXPECT_EQ(cell().status, 'S');
    EXPECT_TRUE(peer->waitFor("LOGOUT", "", 1, milliseconds(5000))) << peer->transcript();
    expectNoComplaints();
}

TEST_P(InitiatorSession, RestartedTheSameDayItResumesItsNumbersAndQuickFixAcceptsThem) {
    if (!logOn()) return;
    send(order("BEFORE-RESTART"));
    ASSERT_EQ(delivered(1, milliseconds(10000)).size(), 1u) << peer->transcript();

    gateway->stop();
    startGateway();
    ASSERT_TRUE(peer->waitFor("LOGON", "", 2, milliseconds(10000)))
        << peer->transcript() << "\n--- gateway:\n"
        << gateway->output() << gateway->errors();

    send(order("AFTER-RESTART"));
    std::vector<std::string> executions = delivered(1, milliseconds(10000));
    ASSERT_EQ(executions.size(), 1u) << peer->transcript();
    EXPECT_NE(executions[0].find(field("11", "AFTER-RESTART")), std::string::npos);
    // Both sides went on where they were: nobody had to ask for anything again.
    EXPECT_TRUE(peer->records("IN", field("35", "2")).empty()) << peer->transcript();
    EXPECT_TRUE(peer->records("OUT", field("35", "2")).empty()) << peer->transcript();
    std::vector<std::string> logons = peer->records("IN", field("35", "A"));
    ASSERT_EQ(logons.size(), 2u) << peer->transcript();
    // The order, then the Logout with which the stopped gateway ended its session.
    EXPECT_EQ(seqOf(logons[1]), seqOf(logons[0]) + 3);
    EXPECT_EQ(peer->records("IN", field("35", "5")).size(), 1u) << peer->transcript();
    expectNoComplaints();
}

INSTANTIATE_TEST_SUITE_P(Initiator, InitiatorSession, ::testing::Values(Role::Initiator), roleName);

using AcceptorSession = InteropSession;

TEST_P(AcceptorSession, LogoutFromQuickFixIsAnsweredWithALogoutAndEndsOnlyThatSession) {
    if (!logOn()) return;
    peer->command("logout");

    ASSERT_TRUE(peer->waitFor("LOGOUT", "", 1, milliseconds(10000))) << peer->transcript();
    EXPECT_EQ(peer->records("IN", field("35", "5")).size(), 1u) << peer->transcript();
    EXPECT_FALSE(peer->records("EVENT", "Received logout response").empty()) << peer->transcript();
    auto deadline = std::chrono::steady_clock::now() + milliseconds(5000);
    while (cell().status != 'S' && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(cell().status, 'S');
    EXPECT_TRUE(gateway->running()) << gateway->output() << gateway->errors();
    expectNoComplaints();
}

TEST_P(AcceptorSession, QuickFixLoggingOnAgainContinuesBothSidesNumbers) {
    if (!logOn()) return;
    send(order("FIRST-SESSION"));
    ASSERT_EQ(delivered(1, milliseconds(10000)).size(), 1u) << peer->transcript();

    // A new QuickFIX process on the same message store logs on with its next number.
    peer.reset();
    peer.reset(new QuickFixPeer("initiator", peerId(), ourId(), port, home.root()));
    ASSERT_TRUE(peer->waitFor("LOGON", "", 1, milliseconds(10000)))
        << peer->transcript() << "\n--- gateway:\n"
        << gateway->output() << gateway->errors();
    std::vector<std::string> logons = peer->records("OUT", field("35", "A"));
    ASSERT_EQ(logons.size(), 1u) << peer->transcript();
    EXPECT_GT(seqOf(logons[0]), 1) << shown(logons[0]);

    send(order("SECOND-SESSION"));
    std::vector<std::string> executions = delivered(1, milliseconds(10000));
    ASSERT_EQ(executions.size(), 1u) << peer->transcript();
    EXPECT_NE(executions[0].find(field("11", "SECOND-SESSION")), std::string::npos);
    // Our Logout answer to the first QuickFIX may never have reached it; any such gap is closed
    // by resend without a complaint.
    EXPECT_TRUE(peer->records("LOGOUT").empty()) << peer->transcript();
    EXPECT_TRUE(gateway->running());
    expectNoComplaints();
}

INSTANTIATE_TEST_SUITE_P(Acceptor, AcceptorSession, ::testing::Values(Role::Acceptor), roleName);

using ScheduledSession = InteropSession;

// Both engines on the same window in UTC, closing a few seconds after the Logon: the session ends
// with Logouts (QuickFIX does not wait for an answer at its end time), nothing sent before is
// lost, QuickFIX complains of nothing, and our side stays for the next window (gateconnect
// waiting, gatelisten listening).
TEST_P(ScheduledSession, BothEndAtTheWindowsCloseWithALogoutAndNothingLost) {
    std::time_t open = std::time(nullptr) - 60, close = open + 65;
    cfgExtra =
        "@ {zone=UTC window=daily:" + utc(open, "%H:%M:%S") + "-" + utc(close, "%H:%M:%S") + "}\n";
    peerExtra = {"--start", utc(open, "%H:%M:%S"), "--end", utc(close, "%H:%M:%S")};
    if (!logOn()) return;
    send(order("BEFORE-CLOSE"));
    ASSERT_EQ(delivered(1, milliseconds(10000)).size(), 1u) << peer->transcript();

    ASSERT_TRUE(peer->waitFor("LOGOUT", "", 1, milliseconds(15000))) << peer->transcript();
    // QuickFIX says Logout at its end time and disconnects without waiting for the answer; our
    // side said Logout too, first or in answer (logged before it is sent).
    EXPECT_FALSE(peer->records("OUT", field("35", "5")).empty() &&
                 peer->records("IN", field("35", "5")).empty())
        << peer->transcript();
    std::vector<std::string> ours = outgoingLog();
    ASSERT_FALSE(ours.empty());
    EXPECT_NE(ours.back().find(field("35", "5")), std::string::npos) << shown(ours.back());
    EXPECT_TRUE(waitUntil([&] { return cell().status == 'S'; }, 5000)) << cell().status;
    if (initiator()) {
        EXPECT_TRUE(gateway->waitForOutput("Outside the window: waiting for it to open at " +
                                               utc(open + 86400, "%Y-%m-%d %H:%M:%S") + " UTC.",
                                           milliseconds(5000)))
            << gateway->output();
    }
    EXPECT_TRUE(gateway->running()) << gateway->output() << gateway->errors();
    expectNoComplaints();
}

// The window closes a few seconds in and opens again a second later, the same on both engines
// (QuickFIX given StartTime equal to EndTime does nothing at that instant): both log out at the
// close, both start the next window at 1, and each order arrives once.
TEST_P(ScheduledSession, TheNextWindowStartsBothSidesAtOneAndLosesNothing) {
    std::time_t close = std::time(nullptr) + 6;
    std::string from = utc(close + 1, "%H:%M:%S"), to = utc(close, "%H:%M:%S");
    cfgExtra = "@ {zone=UTC window=daily:" + from + "-" + to + "}\n";
    peerExtra = {"--start", from, "--end", to};
    if (!logOn()) return;
    send(order("BEFORE-CLOSE"));
    ASSERT_EQ(delivered(1, milliseconds(10000)).size(), 1u) << peer->transcript();

    ASSERT_TRUE(peer->waitFor("LOGON", "", 2, milliseconds(15000)))
        << peer->transcript() << "\n--- gateway:\n"
        << gateway->output();
    EXPECT_FALSE(peer->records("OUT", field("35", "5")).empty()) << peer->transcript();
    for (const char* way : {"IN", "OUT"}) {
        std::vector<std::string> logons = peer->records(way, field("35", "A"));
        ASSERT_EQ(logons.size(), 2u) << peer->transcript();
        EXPECT_EQ(seqOf(logons[1]), 1) << way << " " << shown(logons[1]);
        EXPECT_TRUE(peer->records(way, field("35", "2")).empty()) << peer->transcript();
    }
    send(order("AFTER-OPEN"));
    std::vector<std::string> got = delivered(2, milliseconds(3000));
    ASSERT_EQ(got.size(), 1u) << peer->transcript();
    EXPECT_NE(got[0].find(field("11", "AFTER-OPEN")), std::string::npos) << shown(got[0]);
    EXPECT_EQ(peer->records("ORDER").size(), 2u) << peer->transcript();
    expectCleanRecord();
}

INSTANTIATE_TEST_SUITE_P(BothRoles, ScheduledSession,
                         ::testing::Values(Role::Initiator, Role::Acceptor), roleName);

// Our site on the standard FIX session rules, with a relay between the engines that can garble
// one frame from QuickFIX on its way to us.
class StandardRulesSession : public InteropSession {
  protected:
    bool logOnThroughRelay() {
        cfgExtra = "@ {rules=standard}\n";
        relay.reset(new FrameRelay(
            port, initiator() ? FrameRelay::Watch::FromBack : FrameRelay::Watch::FromClient));
        return logOn();
    }

    // The ClOrdIDs of up to count messages taken from our output queue within limit.
    std::vector<std::string> deliveredIds(std::size_t count, milliseconds limit) {
        std::vector<std::string> ids;
        for (const std::string& m : delivered(count, limit)) {
            std::size_t at = m.find(SOH + "11=");
            ids.push_back(at == std::string::npos
                              ? shown(m)
                              : m.substr(at + 4, m.find(SOH, at + 4) - (at + 4)));
        }
        return ids;
    }

    std::vector<std::string> resendRequests() { return peer->records("IN", field("35", "2")); }
};

using Ids = std::vector<std::string>;

TEST_P(StandardRulesSession, GapResetAndGarbledFrameLoseNothingAndOurStopEndsWithLogouts) {
    if (!logOnThroughRelay()) return;

    // Three messages above a gap: kept, asked for once, processed in order once filled.
    peer->command("skip 3");
    for (const char* id : {"ABOVE-1", "ABOVE-2", "ABOVE-3"})
        peer->command(std::string("exec ") + id);
    EXPECT_EQ(deliveredIds(3, milliseconds(10000)), (Ids{"ABOVE-1", "ABOVE-2", "ABOVE-3"}))
        << peer->transcript();
    EXPECT_EQ(resendRequests().size(), 1u) << peer->transcript();

    // A Reset-mode SequenceReset moves our expected number; nothing is asked for.
    peer->command("reset 5");
    peer->command("exec AFTER-RESET");
    EXPECT_EQ(deliveredIds(1, milliseconds(10000)), Ids{"AFTER-RESET"}) << peer->transcript();
    EXPECT_EQ(resendRequests().size(), 1u) << peer->transcript();

    // A frame with a wrong CheckSum is ignored; the next message finds the gap and QuickFIX's
    // resend brings it as a possible duplicate.
    relay->arm(field("11", "GARBLED"));
    peer->command("exec GARBLED");
    peer->command("exec AFTER-GARBLED");
    std::vector<std::string> got = delivered(2, milliseconds(10000));
    EXPECT_EQ(relay->garbled(), 1);
    ASSERT_EQ(got.size(), 2u) << peer->transcript();
    EXPECT_NE(got[0].find(field("11", "GARBLED")), std::string::npos) << shown(got[0]);
    EXPECT_NE(got[0].find(field("43", "Y")), std::string::npos) << shown(got[0]);
    EXPECT_NE(got[0].find(SOH + "122="), std::string::npos) << shown(got[0]);
    EXPECT_NE(got[1].find(field("11", "AFTER-GARBLED")), std::string::npos) << shown(got[1]);
    EXPECT_EQ(resendRequests().size(), 2u) << peer->transcript();

    // Our own order still goes through, and nothing crosses twice: no further delivery.
    send(order("OURS-1"));
    EXPECT_EQ(deliveredIds(1, milliseconds(10000)), Ids{"OURS-1"}) << peer->transcript();
    EXPECT_EQ(deliveredIds(1, milliseconds(1500)), Ids{}) << peer->transcript();
    EXPECT_EQ(peer->records("ORDER").size(), 1u) << peer->transcript();
    ASSERT_TRUE(settled()) << peer->transcript();

    // Stopped by a termination signal, our gateway logs out and QuickFIX answers.
    gateway->kill(SIGTERM);
    ProcessResult end = gateway->wait(milliseconds(10000));
    EXPECT_TRUE(end.exited) << "ended by signal " << end.signal << "\n" << end.out << end.err;
    EXPECT_EQ(end.exitCode, 0) << end.out << end.err;
    EXPECT_EQ(peer->records("IN", field("35", "5")).size(), 1u) << peer->transcript();
    std::vector<std::string> answers = peer->records("OUT", field("35", "5"));
    ASSERT_EQ(answers.size(), 1u) << peer->transcript();
    EXPECT_EQ(cell().In.seq, seqOf(answers[0])) << "our side did not take QuickFIX's Logout";
    EXPECT_TRUE(peer->waitFor("LOGOUT", "", 1, milliseconds(5000))) << peer->transcript();
    expectCleanRecord();
}

TEST_P(StandardRulesSession, LogoutFromQuickFixAboveAGarbledFrameIsAnsweredOnceTheGapIsFilled) {
    if (!logOnThroughRelay()) return;
    send(order("BEFORE-LOGOUT"));
    EXPECT_EQ(deliveredIds(1, milliseconds(10000)), Ids{"BEFORE-LOGOUT"}) << peer->transcript();

    relay->arm(field("11", "LAST"));
    peer->command("exec LAST");
    peer->command("logout");

    ASSERT_TRUE(peer->waitFor("LOGOUT", "", 1, milliseconds(10000))) << peer->transcript();
    EXPECT_EQ(relay->garbled(), 1);
    EXPECT_EQ(deliveredIds(2, milliseconds(2000)), Ids{"LAST"}) << peer->transcript();
    EXPECT_EQ(resendRequests().size(), 1u) << peer->transcript();
    EXPECT_EQ(peer->records("IN", field("35", "5")).size(), 1u) << peer->transcript();
    EXPECT_FALSE(peer->records("EVENT", "Received logout response").empty()) << peer->transcript();
    std::vector<std::string> logouts = peer->records("OUT", field("35", "5"));
    ASSERT_EQ(logouts.size(), 1u) << peer->transcript();
    if (initiator()) {
        ProcessResult end = gateway->wait(milliseconds(10000));
        EXPECT_TRUE(end.exited) << end.out << end.err;
        EXPECT_EQ(end.exitCode, 0) << end.out << end.err;
    } else {
        auto deadline = std::chrono::steady_clock::now() + milliseconds(5000);
        while (cell().status != 'S' && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(20));
        EXPECT_EQ(cell().status, 'S');
        EXPECT_TRUE(gateway->running()) << gateway->output() << gateway->errors();
    }
    EXPECT_EQ(cell().In.seq, seqOf(logouts[0]));
    EXPECT_EQ(peer->records("ORDER").size(), 1u) << peer->transcript();
    expectCleanRecord();
}

TEST_P(StandardRulesSession, OperatorStopSendsALogoutThatQuickFixAnswers) {
    if (!logOnThroughRelay()) return;
    send(order("BEFORE-STOP"));
    EXPECT_EQ(deliveredIds(1, milliseconds(10000)), Ids{"BEFORE-STOP"}) << peer->transcript();

    __atomic_store_n(&Shm(table).getCell(site())->status, 'S', __ATOMIC_RELAXED);
    ASSERT_TRUE(peer->waitFor("LOGOUT", "", 1, milliseconds(10000))) << peer->transcript();
    EXPECT_EQ(peer->records("IN", field("35", "5")).size(), 1u) << peer->transcript();
    std::vector<std::string> answers = peer->records("OUT", field("35", "5"));
    ASSERT_EQ(answers.size(), 1u) << peer->transcript();
    if (initiator()) {
        ProcessResult end = gateway->wait(milliseconds(10000));
        EXPECT_TRUE(end.exited) << end.out << end.err;
        EXPECT_EQ(end.exitCode, 0) << end.out << end.err;
    } else {
        EXPECT_TRUE(gateway->running()) << gateway->output() << gateway->errors();
    }
    auto deadline = std::chrono::steady_clock::now() + milliseconds(5000);
    while (cell().In.seq != seqOf(answers[0]) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(cell().In.seq, seqOf(answers[0])) << "our side did not take QuickFIX's Logout";
    EXPECT_EQ(peer->records("ORDER").size(), 1u) << peer->transcript();
    expectCleanRecord();
}

INSTANTIATE_TEST_SUITE_P(BothRoles, StandardRulesSession,
                         ::testing::Values(Role::Initiator, Role::Acceptor), roleName);

// Exchanges QuickFIX starts inside a live session on the standard rules, as rows: what it sends
// (fields one of its outgoing messages carries) and our answer (fields one message it receives
// carries, none when nothing answers; `absent` must not be in it).
struct Exchange {
    std::string name;
    std::vector<std::string> commands;
    std::vector<std::string> sent;
    std::vector<std::string> answer;
    std::vector<std::string> absent;
};

const std::vector<Exchange>& exchanges() {
    static const std::vector<Exchange> rows = {
        // A Reset-mode SequenceReset numbered 0: its number is not looked at, nothing is asked.
        {"ResetNumberedZero", {"reset 4 0"}, {"35=4", "34=0", "123=N"}, {}, {}},
        // A message of no valid type sent on behalf of a client: the Reject goes back to it.
        {"RoutedInvalidType",
         {"send ZZ 115=CLIENT7 116=DESK3 58=ROUTED"},
         {"35=ZZ", "115=CLIENT7"},
         {"35=3", "372=ZZ", "373=11", "128=CLIENT7", "129=DESK3"},
         {"115=", "116="}},
        // A TestRequest for delivery to a third party: the Heartbeat comes from it.
        {"RoutedTestRequest",
         {"send 1 112=ROUTED-PROBE 128=CLIENT8 129=DESK4 145=ROOM9"},
         {"35=1", "128=CLIENT8"},
         {"35=0", "112=ROUTED-PROBE", "115=CLIENT8", "116=DESK4", "144=ROOM9"},
         {"128=", "129=", "145="}},
        // A Logon with ResetSeqNumFlag inside the session: both sides start again at 1.
        {"LogonResetInsideSession",
         {"logon-reset"},
         {"35=A", "34=1", "141=Y"},
         {"35=A", "34=1", "141=Y"},
         {}},
    };
    return rows;
}

class QuickFixExchanges : public StandardRulesSession {
  protected:
    // Records of this kind that carry every one of the fields.
    std::vector<std::string> carrying(const std::string& kind,
                                      const std::vector<std::string>& fields) {
        std::vector<std::string> found;
        for (const std::string& r : peer->records(kind, SOH + fields.at(0) + SOH)) {
            bool all = std::all_of(fields.begin(), fields.end(), [&](const std::string& f) {
                return r.find(SOH + f + SOH) != std::string::npos;
            });
            if (all) found.push_back(r);
        }
        return found;
    }

    std::vector<std::string> waitCarrying(const std::string& kind,
                                          const std::vector<std::string>& fields) {
        auto deadline = std::chrono::steady_clock::now() + milliseconds(10000);
        while (carrying(kind, fields).empty() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(20));
        return carrying(kind, fields);
    }

    // QuickFIX's record up to a bound: a side that keeps repeating itself fills it fast.
    std::string excerpt() const {
        std::string text = peer->transcript();
        std::size_t at = 0;
        for (int line = 0; line < 200 && at != std::string::npos; ++line)
            at = text.find('\n', at + 1);
        return at == std::string::npos ? text : text.substr(0, at) + "\n[record cut]";
    }

    // Our order and an unsolicited execution from QuickFIX cross; each arrives exactly once.
    void crossOrders(const std::string& tag) {
        send(order("OURS-" + tag));
        peer->command("exec QF-" + tag);
        Ids got = deliveredIds(2, milliseconds(10000));
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, (Ids{"OURS-" + tag, "QF-" + tag})) << excerpt();
        EXPECT_TRUE(peer->waitFor("ORDER", field("11", "OURS-" + tag), 1, milliseconds(5000)))
            << excerpt();
    }
};

TEST_P(QuickFixExchanges, EachIsAnsweredCleanlyAndOrdersAroundItArriveOnce) {
    cfgExtra = "@ {rules=standard}\n";
    if (!logOn()) return;
    crossOrders("START");
    std::size_t rejects = 0;
    for (const Exchange& x : exchanges()) {
        SCOPED_TRACE(x.name);
        for (const std::string& line : x.commands) peer->command(line);
        ASSERT_FALSE(waitCarrying("OUT", x.sent).empty()) << excerpt();
        if (!x.answer.empty()) {
            ASSERT_FALSE(waitCarrying("IN", x.answer).empty()) << excerpt();
        }
        crossOrders("AFTER-" + x.name);
        // Counted once the orders crossed: a message that one side keeps repeating shows here.
        std::vector<std::string> sent = carrying("OUT", x.sent);
        EXPECT_EQ(sent.size(), 1u) << excerpt();
        if (!x.answer.empty()) {
            std::vector<std::string> answers = carrying("IN", x.answer);
            ASSERT_EQ(answers.size(), 1u) << excerpt();
            for (const std::string& f : x.absent)
                EXPECT_EQ(answers[0].find(SOH + f), std::string::npos) << shown(answers[0]);
            if (x.answer[0] == "35=3") {
                ++rejects;
                EXPECT_NE(answers[0].find(field("45", std::to_string(seqOf(sent.at(0))))),
                          std::string::npos)
                    << shown(answers[0]);
            }
        }
        EXPECT_EQ(peer->records("IN", field("35", "3")).size(), rejects) << excerpt();
    }
    // Nothing more arrives on either side, nobody asked for anything again, and both sides
    // agree on the numbers.
    EXPECT_EQ(deliveredIds(1, milliseconds(1500)), Ids{}) << excerpt();
    EXPECT_EQ(peer->records("ORDER").size(), exchanges().size() + 1) << excerpt();
    EXPECT_TRUE(resendRequests().empty()) << excerpt();
    EXPECT_TRUE(peer->records("OUT", field("35", "2")).empty()) << excerpt();
    EXPECT_TRUE(peer->records("LOGOUT").empty()) << excerpt();
    EXPECT_TRUE(settled()) << excerpt();
    expectCleanRecord();
}

INSTANTIATE_TEST_SUITE_P(BothRoles, QuickFixExchanges,
                         ::testing::Values(Role::Initiator, Role::Acceptor), roleName);

// Our site on the standard rules with the shipped FIX 4.2 dictionary: QuickFIX sends executions
// with an undefined tag and without a required field; both are answered with Rejects QuickFIX
// takes as such, neither reaches our application, and the session goes on.
class DictionarySession : public InteropSession {};

TEST_P(DictionarySession, UndefinedTagAndMissingRequiredFieldAreRejectedAndTheSessionGoesOn) {
    cfgExtra = "@ {rules=standard dictionary=FIX42.xml}\n";
    if (!logOn()) return;
    peer->command("exec-with UNDEFINED 9999=X");
    peer->command("exec-without MISSING 6");
    peer->command("exec AFTER");
    ASSERT_TRUE(peer->waitFor("REJECT", "", 2, milliseconds(10000)))
        << peer->transcript() << "\n--- gateway:\n"
        << gateway->output();
    std::vector<std::string> rejects = peer->records("REJECT");
    ASSERT_EQ(rejects.size(), 2u) << peer->transcript();
    EXPECT_NE(rejects[0].find(field("373", "0")), std::string::npos) << shown(rejects[0]);
    EXPECT_NE(rejects[0].find(field("371", "9999")), std::string::npos) << shown(rejects[0]);
    EXPECT_NE(rejects[1].find(field("373", "1")), std::string::npos) << shown(rejects[1]);
    EXPECT_NE(rejects[1].find(field("371", "6")), std::string::npos) << shown(rejects[1]);

    std::vector<std::string> got = delivered(2, milliseconds(3000));
    ASSERT_EQ(got.size(), 1u) << peer->transcript();
    EXPECT_NE(got[0].find(field("11", "AFTER")), std::string::npos) << shown(got[0]);
    EXPECT_TRUE(peer->records("LOGOUT").empty()) << peer->transcript();
    ASSERT_TRUE(settled()) << peer->transcript();
    send(order("OURS-AFTER-REJECTS"));
    EXPECT_TRUE(peer->waitFor("ORDER", field("11", "OURS-AFTER-REJECTS"), 1, milliseconds(10000)))
        << peer->transcript();
    EXPECT_TRUE(gateway->running());
    // QuickFIX objected to nothing we sent: it sent no Reject of its own.
    EXPECT_TRUE(peer->records("OUT", field("35", "3")).empty()) << peer->transcript();
    EXPECT_TRUE(peer->records("OUT", field("35", "j")).empty()) << peer->transcript();
}

INSTANTIATE_TEST_SUITE_P(BothRoles, DictionarySession,
                         ::testing::Values(Role::Initiator, Role::Acceptor), roleName);

// FIX 5.0 SP2 over FIXT.1.1 on the standard rules: our site validates against the transport and
// application dictionaries, QuickFIX against its own reading of the same two files, so anything
// either side sends that the other's reading does not allow shows as a Reject.
class FixtSession : public InteropSession {
  protected:
    void SetUp() override {
        InteropSession::SetUp();
        const std::string dictionaries = std::string(FIXGATE_SOURCE_DIR) + "/dict";
        for (const char* name : {"FIXT11.xml", "FIX50SP2.xml"})
            ASSERT_EQ(access((dictionaries + "/" + name).c_str(), R_OK), 0)
                << "missing dictionary " << name;
        beginString = "FIXT.1.1";
        logonExtra = ",1137=9";
        cfgExtra =
            "@ {rules=standard dictionary=FIXT11.xml appdictionary=FIX50SP2.xml applver=9}\n";
        peerExtra = {"--begin", "FIXT.1.1", "--dictionaries", dictionaries};
    }

    // A FIX 5.0 SP2 NewOrderSingle body, as a script line ("|" between fields) or as a text.
    static std::string order50(const std::string& clOrdId, const std::string& soh = SOH) {
        std::string text;
        for (std::string f : {"35=D", "11=", "21=1", "55=IBM", "54=1", "60=20261210-12:00:00.000",
                              "38=100", "40=2", "44=10.5"})
            text += (f == "11=" ? f + clOrdId : f) + soh;
        return text;
    }

    // Orders through scriptfeed, as an application script gives them to our gateway.
    void feed(const std::vector<std::string>& ids) {
        std::string script = "* FIX 5.0 SP2 orders\n";
        for (const std::string& id : ids) script += order50(id, "|") + "\n";
        ProcessResult r =
            runProgram("scriptfeed", {table, qin, site(), home.writeFile("orders.txt", script)});
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    }

    // How often qdrain printed a message carrying the field, waiting until it did at least count
    // times.
    std::size_t drainedWith(const std::string& tag, const std::string& value, std::size_t count) {
        const std::string text = tag + "=" + value + "<SOH>";
        auto seen = [&] {
            std::string out = drain->output();
            std::size_t n = 0;
            for (std::size_t at = out.find(text); at != std::string::npos;
                 at = out.find(text, at + 1))
                n += at > 0 && (out[at - 1] == '>' || out[at - 1] == '\n');
            return n;
        };
        waitUntil([&] { return seen() >= count; }, 10000);
        return seen();
    }

    std::unique_ptr<BackgroundProcess> drain;
};

TEST_P(FixtSession, OrdersAndExecutionsCrossThroughTheToolsBothGapsAreFilledAndLogoutEndsIt) {
    if (!logOn()) return;
    for (const char* way : {"IN", "OUT"}) {
        std::vector<std::string> logons = peer->records(way, field("35", "A"));
        ASSERT_EQ(logons.size(), 1u) << peer->transcript();
        EXPECT_EQ(logons[0].rfind("8=FIXT.1.1" + SOH, 0), 0u) << shown(logons[0]);
        EXPECT_NE(logons[0].find(field("1137", "9")), std::string::npos) << shown(logons[0]);
    }
    drain.reset(new BackgroundProcess("qdrain", {table, qout}));

    feed({"FIXT-1", "FIXT-2"});
    EXPECT_EQ(drainedWith("11", "FIXT-2", 1), 1u) << drain->output() << peer->transcript();
    EXPECT_EQ(peer->records("ORDER").size(), 2u) << peer->transcript();

    // A gap in our numbers: QuickFIX asks, takes our gap fill and then the order.
    MemoryCell now = cell();
    ProcessResult r = runProgram("renumber", {table, site(), "-i", std::to_string(now.In.seq), "-o",
                                              std::to_string(now.Out.seq + 5)});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    feed({"ABOVE-OUR-GAP"});
    EXPECT_EQ(drainedWith("11", "ABOVE-OUR-GAP", 1), 1u) << peer->transcript();
    EXPECT_EQ(peer->records("OUT", field("35", "2")).size(), 1u) << peer->transcript();
    EXPECT_FALSE(peer->records("IN", field("123", "Y")).empty()) << peer->transcript();

    // A gap in QuickFIX's numbers: we ask, and its resend brings the execution.
    peer->command("skip 3");
    peer->command("exec ABOVE-ITS-GAP");
    EXPECT_EQ(drainedWith("11", "ABOVE-ITS-GAP", 1), 1u) << peer->transcript();
    EXPECT_EQ(peer->records("IN", field("35", "2")).size(), 1u) << peer->transcript();

    peer->command("logout");
    ASSERT_TRUE(peer->waitFor("LOGOUT", "", 1, milliseconds(10000))) << peer->transcript();
    EXPECT_EQ(peer->records("IN", field("35", "5")).size(), 1u) << peer->transcript();
    if (initiator()) {
        ProcessResult end = gateway->wait(milliseconds(10000));
        EXPECT_EQ(end.exitCode, 0) << end.out << end.err;
    } else {
        EXPECT_TRUE(waitUntil([&] { return cell().status == 'S'; }, 5000)) << cell().status;
        EXPECT_TRUE(gateway->running()) << gateway->output() << gateway->errors();
    }
    // Every execution reached qdrain once, and it counted each.
    for (const char* id : {"FIXT-1", "FIXT-2", "ABOVE-OUR-GAP", "ABOVE-ITS-GAP"})
        EXPECT_EQ(drainedWith("11", id, 1), 1u) << id << "\n" << drain->output();
    EXPECT_EQ(cell().In.proc, 4);
    EXPECT_EQ(peer->records("ORDER").size(), 3u) << peer->transcript();
    expectCleanRecord();
}

// Executions from QuickFIX our site's dictionaries do not allow, as rows: the Reject's reason
// (373) and the tag it names (371).
struct BadExecution {
    std::string command;
    std::string reason;
    std::string tag;
};

TEST_P(FixtSession, InvalidFieldsAreRejectedAndTheSessionGoesOn) {
    const std::vector<BadExecution> rows = {
        {"exec-with UNDEFINED 9999=X", "0", "9999"},  // a tag no dictionary defines
        {"exec-with BADSIDE 54=Z", "5", "54"},        // a value outside the field's set
        {"exec-with OTHERAPP 1128=8", "18", "1128"},  // an application version not accepted
    };
    if (!logOn()) return;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].command);
        peer->command(rows[i].command);
        ASSERT_TRUE(peer->waitFor("REJECT", "", i + 1, milliseconds(10000)))
            << peer->transcript() << "\n--- gateway:\n"
            << gateway->output();
        std::string reject = peer->records("REJECT").back();
        std::vector<std::string> sent = peer->records("OUT", field("35", "8"));
        EXPECT_NE(reject.find(field("45", std::to_string(seqOf(sent.back())))), std::string::npos)
            << shown(reject);
        EXPECT_NE(reject.find(field("373", rows[i].reason)), std::string::npos) << shown(reject);
        EXPECT_NE(reject.find(field("371", rows[i].tag)), std::string::npos) << shown(reject);
    }
    peer->command("exec AFTER");
    std::vector<std::string> got = delivered(2, milliseconds(3000));
    ASSERT_EQ(got.size(), 1u) << peer->transcript();
    EXPECT_NE(got[0].find(field("11", "AFTER")), std::string::npos) << shown(got[0]);
    send(order50("OURS-AFTER-REJECTS"));
    EXPECT_TRUE(peer->waitFor("ORDER", field("11", "OURS-AFTER-REJECTS"), 1, milliseconds(10000)))
        << peer->transcript();
    EXPECT_EQ(peer->records("REJECT").size(), rows.size()) << peer->transcript();
    EXPECT_TRUE(peer->records("LOGOUT").empty()) << peer->transcript();
    expectCleanRecord();
}

INSTANTIATE_TEST_SUITE_P(BothRoles, FixtSession, ::testing::Values(Role::Initiator, Role::Acceptor),
                         roleName);

}  // namespace
