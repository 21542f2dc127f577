// gatelisten driven as a real process by scripted counterparties that connect to it: the Logon and
// its refusals, one live session per site, several sites at once routed by queue type, reconnects,
// the session-level messages, the idle rule, broken input, release of ended sessions, and a
// gateconnect logged on to it. Every test has its own table, queues, FIXHOME and port, and ends
// the program by its pid.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "FixPeer.h"
#include "GatewayTest.h"
#include "Ipc.h"
#include "Journal.h"
#include "Key.h"
#include "MemoryCell.h"
#include "MsgQueue.h"
#include "Process.h"
#include "Shm.h"
#include "SignalStorm.h"
#include "TempHome.h"
#include "TestUtil.h"
#include "Time.h"

namespace {

using namespace std::chrono;

// The gateway's own CompID towards every site.
const std::string gate = "GATE";

std::string siteCfg(const std::string& site) {
    return "* acceptor test site\n"
           "~ {8=FIX.4.2,9=,35=,49=" +
           gate + ",56=" + site +
           ",34=,52=}\n"
           "A {98=0,108=30}\n"
           "0 {}\n"
           "1 {112=}\n"
           "2 {7=,16=}\n"
           "4 {123=Y,36=}\n"
           "5 {58=Bye}\n";
}

class Acceptor : public GatewayTest {
  protected:
    void SetUp() override {
        GatewayTest::SetUp();
        // A first cell that no counterparty uses, so a site's queue type (index + 1) differs from
        // its index and from type 1.
        shm->registerName("SPARE")->status = ' ';
        brk1 = shm->registerName("BRK1");
        brk2 = shm->registerName("BRK2");
        brk1->status = ' ';
        brk2->status = ' ';
        home.writeCfg("BRK1", siteCfg("BRK1"));
        home.writeCfg("BRK2", siteCfg("BRK2"));
    }

    // Starts gatelisten on a free port and waits until it listens. A launcher (a program and its
    // arguments) may run it.
    void start(const std::vector<std::string>& launcher = {}) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            port = freePort();
            std::vector<std::string> args{table, "-p", std::to_string(port), "-i", qin, "-o", qout};
            if (!listenAddress.empty()) args.insert(args.end(), {"-a", listenAddress});
            std::string program = "gatelisten";
            if (!launcher.empty()) {
                args.insert(args.begin(), programPath(program));
                args.insert(args.begin(), launcher.begin() + 1, launcher.end());
                program = launcher[0];
            }
            gw = std::make_unique<BackgroundProcess>(program, args, options());
            std::string service = std::to_string(port);
            if (!listenAddress.empty()) service = listenAddress + ":" + service;
            std::string ready = "Socket service [" + service + "] was created.";
            if (gw->waitForOutput(ready, milliseconds(5000))) return;
            gw->stop(milliseconds(1000));
        }
        FAIL() << "gatelisten did not start listening";
    }

    std::unique_ptr<FixPeer> connect(const std::string& site) {
        auto peer = std::make_unique<FixPeer>(site, gate);
        EXPECT_TRUE(peer->connect(port));
        return peer;
    }

    // Logs the peer on with MsgSeqNum seq and HeartBtInt hb; returns the gateway's reply.
    std::string logOn(FixPeer& peer, int seq = 1, int hb = 30) {
        peer.send("35=A|98=0|108=" + std::to_string(hb), seq);
        return peer.read(5000);
    }

    // A connected and logged-on counterparty for site, numbered from 1.
    std::unique_ptr<FixPeer> session(const std::string& site, int hb = 30) {
        auto peer = connect(site);
        std::string reply = logOn(*peer, 1, hb);
        EXPECT_EQ(FixPeer::field(reply, 35), "A") << FixPeer::bars(reply);
        return peer;
    }

    void putOutbound(const std::string& fields, long type) {
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

    std::string logPath(const std::string& site, const std::string& direction) {
        return "logs/" + site + "." + direction + "." + Time().getLogDate();
    }

    std::string cellBytes() {
        return std::string(reinterpret_cast<const char*>(shm->getCell(0)), tableSize);
    }

    // A stranger logs on as site from `from` with an execution and a SequenceReset to 999 at once:
    // closed unanswered, the console names the reason, the table, logs and output queue untouched.
    // `version` and `logon`: the stranger's BeginString and Logon fields.
    void expectStrangerRefused(const std::string& site, const std::string& reason,
                               const std::string& from = "127.0.0.1",
                               const std::string& version = "FIX.4.2",
                               const std::string& logon = "35=A|98=0|108=30") {
        auto logs = [this] {  // every file below logs/ with its content
            std::map<std::string, std::string> files;
            for (const auto& e : std::filesystem::directory_iterator(home.logsDir()))
                files[e.path().filename()] = home.readFile("logs/" + e.path().filename().string());
            return files;
        };
        std::string cells = cellBytes();
        auto before = logs();
        FixPeer stranger(site, gate, version);
        ASSERT_TRUE(stranger.connect(port, "127.0.0.1", from));
        stranger.sendRaw(stranger.make(logon, 1, Time().getCurrentGMTime()) +
                         stranger.make("35=8|37=X|17=X|150=2|39=2|55=IBM|54=1|38=100", 2) +
                         stranger.make("35=4|123=Y|36=999", 3));
        EXPECT_TRUE(stranger.waitClosed(5000));
        std::string line = "[" + site + "] Logon of site [" + site + "] from [" + from +
                           "] refused: " + reason + ".\n";
        EXPECT_TRUE(gw->waitForOutput(line, milliseconds(3000))) << gw->output();
        EXPECT_TRUE(gw->waitForOutput("[" + site + "] Thread Exit [-1]\n", milliseconds(3000)));
        EXPECT_TRUE(cellBytes() == cells) << "the table changed";
        EXPECT_EQ(logs(), before);
        EXPECT_EQ(output->read(0, NoWaitMode), "");
    }

    std::string listenAddress;
    MemoryCell* brk1 = nullptr;
    MemoryCell* brk2 = nullptr;
    int port = 0;
};

// --- The Logon -------------------------------------------------------------------------------

TEST_F(Acceptor, FirstLogonOfTheDayIsAnsweredWithOneAndThePeersOwnInterval) {
    start();
    auto peer = connect("BRK1");
    std::string logon = peer->send("35=A|98=0|108=7", 1);
    std::string reply = peer->read(5000);
    ASSERT_TRUE(FixPeer::wellFormed(reply)) << FixPeer::bars(reply);
    EXPECT_EQ(FixPeer::field(reply, 35), "A");
    EXPECT_EQ(FixPeer::field(reply, 34), "1");
    EXPECT_EQ(FixPeer::field(reply, 108), "7");
    EXPECT_EQ(FixPeer::field(reply, 98), "0");
    EXPECT_EQ(FixPeer::field(reply, 49), gate);
    EXPECT_EQ(FixPeer::field(reply, 56), "BRK1");
    ASSERT_TRUE(waitUntil([&] { return brk1->In.seq == 1; }, 3000));
    EXPECT_EQ(brk1->Out.seq, 1);
    EXPECT_EQ(brk1->status, status_Online);
    EXPECT_EQ(nonEmptyLines(home.readFile(logPath("BRK1", "in"))), std::vector<std::string>{logon});
    EXPECT_EQ(nonEmptyLines(home.readFile(logPath("BRK1", "out"))),
              std::vector<std::string>{reply});

    std::string out = gw->output();
    EXPECT_NE(out.find(" Program: gatelisten"), std::string::npos) << out;
    EXPECT_NE(out.find("Shared Memory [" + table + "] was attached."), std::string::npos);
    EXPECT_NE(out.find("MsgQueue [" + qout + "] was attached."), std::string::npos);
    EXPECT_NE(out.find("New thread created for client [127.0.0.1]."), std::string::npos);
    // The acceptor announces neither the logs nor the configuration.
    EXPECT_EQ(out.find("was opened."), std::string::npos) << out;
}

TEST_F(Acceptor, LogonSplitAcrossSegmentsIsReadWhole) {
    start();
    auto peer = connect("BRK1");
    FixPeer writer("BRK1", gate);
    std::string logon = writer.make("35=A|98=0|108=30", 1);
    peer->sendRaw(logon.substr(0, 20));
    std::this_thread::sleep_for(milliseconds(200));
    peer->sendRaw(logon.substr(20));
    EXPECT_EQ(FixPeer::field(peer->read(5000), 35), "A");
}

TEST_F(Acceptor, LogonAboveExpectedIsAnsweredThenAsksForTheGap) {
    FixPeer old("BRK1", gate);
    home.writeFile(logPath("BRK1", "in"), old.make("35=A", 1) + "\n" + old.make("35=0", 2) + "\n");
    start();
    auto peer = connect("BRK1");
    std::string reply = logOn(*peer, 5);
    EXPECT_EQ(FixPeer::field(reply, 35), "A");
    EXPECT_EQ(FixPeer::field(reply, 34), "1");
    std::string ask = peer->read(5000);
    EXPECT_EQ(FixPeer::field(ask, 35), "2");
    EXPECT_EQ(FixPeer::field(ask, 34), "2");
    EXPECT_EQ(FixPeer::field(ask, 7), "3");
    EXPECT_EQ(FixPeer::field(ask, 16), "0");
    // The gap is still expected.
    EXPECT_EQ(brk1->In.seq, 2);
}

// The day's logs say 4 came in; the cell shows other numbers (a session of another day, or
// renumber). The refusal judges by the logs and leaves the cell as it found it.
TEST_F(Acceptor, LogonBelowExpectedIsRefusedAndLeavesTheCellAsItWas) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},  // today's rules close without a word
        {"@ {rules=standard}\n", "MsgSeqNum too low, expecting 5 but received 2"},
    };
    FixPeer old("BRK1", gate);
    std::string inLog;
    for (int seq = 1; seq <= 4; ++seq) inLog += old.make("35=0", seq) + "\n";
    start();
    for (const auto& [rules, answer] : cases) {
        SCOPED_TRACE(rules);
        home.writeCfg("BRK1", rules + siteCfg("BRK1"));
        home.writeFile(logPath("BRK1", "in"), inLog);
        brk1->status = status_Shutdown;
        brk1->In.seq = 17;
        brk1->Out.seq = 9;
        auto peer = connect("BRK1");
        peer->sendRaw(peer->make("35=A|98=0|108=30", 2, Time().getCurrentGMTime()));
        EXPECT_EQ(FixPeer::field(peer->read(5000), 58), answer);
        // The connection closes once the session is over.
        EXPECT_TRUE(peer->waitClosed(5000));
        EXPECT_EQ(brk1->status, status_Shutdown);
        EXPECT_EQ(brk1->In.seq, 17);
        EXPECT_EQ(brk1->Out.seq, 9);
    }
    std::string out = gw->output();
    EXPECT_NE(out.find("Thread Exit [-3]"), out.rfind("Thread Exit [-3]")) << out;
}

TEST_F(Acceptor, FirstMessagesThatAreNoUsableLogonAreRefusedAndClosed) {
    start();
    std::string before = cellBytes();
    FixPeer writer("BRK1", gate);
    const std::vector<std::string> firsts = {
        writer.make("35=0", 1),
        FixPeer::frame("FIX.4.2", "35=A|56=GATE|34=1|52=20260101-00:00:00|98=0|108=30|"),
        writer.make("35=A|98=0|108=30", 0),
        "this is not FIX at all, not even close to it\x01",
    };
    auto refusalsShown = [&] {
        std::string out = gw->output();
        int n = 0;
        for (size_t at = out.find("Thread Exit [-1]\n"); at != std::string::npos;
             at = out.find("Thread Exit [-1]\n", at + 1)) {
            ++n;
        }
        return n;
    };
    int refusals = 0;
    for (const std::string& first : firsts) {
        auto peer = connect("BRK1");
        peer->sendRaw(first);
        EXPECT_TRUE(peer->waitClosed(5000)) << FixPeer::bars(first);
        EXPECT_EQ(peer->read(100), "");
        ++refusals;
        EXPECT_TRUE(waitUntil([&] { return refusalsShown() == refusals; }, 3000)) << gw->output();
    }
    // A peer that closes before sending anything.
    connect("BRK1")->disconnect();
    EXPECT_TRUE(waitUntil([&] { return refusalsShown() == refusals + 1; }, 3000)) << gw->output();
    EXPECT_EQ(cellBytes(), before);
    EXPECT_FALSE(home.exists(logPath("BRK1", "in")));
}

TEST_F(Acceptor, SiteLocksThatCannotBeHadRefuseTheLogonWithOneLineAndTouchNothing) {
    // A set of another size under the table's key: the system hands out no lock for any site.
    int tooSmall = semget(shm->getKey(), 1, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(tooSmall, 0);
    start();
    std::string before = cellBytes();
    auto peer = connect("BRK1");
    peer->send("35=A|98=0|108=30", 1);
    EXPECT_TRUE(peer->waitClosed(5000));
    const std::string line =
        "[BRK1] Fail to open the site locks of the table [" + table + "]: Invalid argument\n";
    EXPECT_TRUE(gw->waitForOutput(line, milliseconds(3000))) << gw->output();
    EXPECT_EQ(cellBytes(), before);
    semctl(tooSmall, 0, IPC_RMID);
    // With the locks to be had again, the site logs on.
    session("BRK1");
    std::string out = gw->output();
    EXPECT_EQ(out.find(line), out.rfind(line)) << out;
}

TEST_F(Acceptor, UnknownSenderCompIdCostsOneLineAndTheConnection) {
    start();
    std::string before = cellBytes();
    auto peer = connect("NOBODY");
    peer->send("35=A|98=0|108=30", 1);
    EXPECT_TRUE(peer->waitClosed(5000));
    EXPECT_TRUE(gw->waitForOutput("Fail to find the target connection.\n", milliseconds(3000)));
    EXPECT_EQ(cellBytes(), before);
    // The program goes on accepting.
    auto other = session("BRK2");
    EXPECT_TRUE(waitUntil([&] { return brk2->status == status_Online; }, 3000));
}

TEST_F(Acceptor, SiteWithoutConfigurationEndsOnlyItsOwnSession) {
    std::remove(home.cfgPath("BRK1").c_str());
    start();
    std::string before = cellBytes();
    auto peer = connect("BRK1");
    peer->send("35=A|98=0|108=30", 1);
    EXPECT_TRUE(peer->waitClosed(5000));
    EXPECT_EQ(peer->read(100), "");
    EXPECT_TRUE(
        gw->waitForOutput("Fail to open client FIX configuration file.\n", milliseconds(3000)));
    // The session never became the site's live one, so the cell is not its to write.
    EXPECT_EQ(cellBytes(), before);
    auto other = session("BRK2");
    EXPECT_TRUE(waitUntil([&] { return brk2->status == status_Online; }, 3000));
}

TEST_F(Acceptor, SecondLogonForALiveSiteIsRefusedAndTheFirstSessionGoesOn) {
    start();
    auto first = session("BRK1");
    auto second = connect("BRK1");
    second->send("35=A|98=0|108=30", 2);
    EXPECT_TRUE(second->waitClosed(8000));
    EXPECT_EQ(second->read(100), "");
    EXPECT_NE(gw->output().find("Thread Exit [-2]\n"), std::string::npos) << gw->output();
    EXPECT_EQ(brk1->status, status_Online);
    EXPECT_EQ(brk1->In.seq, 1);
    EXPECT_EQ(brk1->Out.seq, 1);

    first->send("35=1|112=STILL", 2);
    std::string answer = first->read(5000);
    EXPECT_EQ(FixPeer::field(answer, 35), "0");
    EXPECT_EQ(FixPeer::field(answer, 112), "STILL");
    EXPECT_EQ(FixPeer::field(answer, 34), "2");
    putOutbound("35=D|11=FIRST", 2);
    EXPECT_EQ(FixPeer::field(first->readType("D", 5000), 11), "FIRST");
}

// --- Who may log on as a site ----------------------------------------------------------------

TEST_F(Acceptor, OnlySitesConfiguredForTheAcceptorAreServedAndARefusalWritesNothing) {
    // Site, its setting line, whether gateconnect of this FIXHOME ran for it (and is down),
    // refused.
    const std::tuple<std::string, std::string, bool, bool> rows[] = {
        {"ROLEI", "@ {role=initiator}\n", false, true},
        {"MARKED", "", true, true},
        {"ROLEA", "@ {role=acceptor}\n", true, false},
        {"NOROLE", "", false, false},
    };
    for (const auto& [site, setting, initiatorRan, refused] : rows) {
        shm->registerName(site)->status = ' ';
        home.writeCfg(site, setting + siteCfg(site));
        home.writeFile(logPath(site, "in"), FixPeer(site, gate).make("35=A", 1) + "\n");
        if (!initiatorRan) continue;
        // Nobody listens on the port: gateconnect ends, or refuses a site of the acceptor first.
        ProcessResult r = runProgram(
            "gateconnect",
            {table, site, "127.0.0.1", std::to_string(freePort()), "-i", qin, "-o", qout},
            options());
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, refused ? "Fail to connect the remote server.\n"
                                 : "Site [ROLEA] is configured for the acceptor (role=acceptor "
                                   "in ./cfg/ROLEA.fix): gateconnect does not serve it.\n");
        EXPECT_EQ(home.exists("logs/" + site + ".initiator"), refused);
    }
    start();
    for (const auto& [site, setting, initiatorRan, refused] : rows) {
        SCOPED_TRACE(site);
        if (refused) {
            expectStrangerRefused(site, "the site is served by an initiator");
            continue;
        }
        auto peer = connect(site);
        EXPECT_EQ(FixPeer::field(logOn(*peer, 2), 35), "A") << gw->output();
        MemoryCell* cell = shm->getCell(site);
        EXPECT_TRUE(waitUntil([&] { return cell->In.seq == 2; }, 3000));
    }
}

// A FIXT.1.1 site and a FIX.4.4 site side by side under the standard rules: a Logon of the other
// version, of a BeginString of another length, or without an application version the FIXT.1.1
// site accepts is closed unanswered and touches nothing; then both log on.
TEST_F(Acceptor, LogonsOfAnotherVersionOrApplicationVersionAreRefusedAndTheOtherSiteLogsOn) {
    auto cfg = [](const std::string& site, const std::string& version,
                  const std::string& settings) {
        std::string text = siteCfg(site);
        text.replace(text.find("FIX.4.2"), 7, version);
        return "@ {rules=standard" + settings + "}\n" + text;
    };
    shm->registerName("FIXT1")->status = ' ';
    shm->registerName("F44")->status = ' ';
    home.writeCfg("FIXT1", cfg("FIXT1", "FIXT.1.1", " applver=9"));
    home.writeCfg("F44", cfg("F44", "FIX.4.4", ""));
    start();
    const std::string logon = "35=A|98=0|108=30";
    const struct {
        const char* site;
        const char* version;
        std::string logon;
        const char* reason;
    } rows[] = {
        {"FIXT1", "FIXT.1.1", logon, "no DefaultApplVerID (1137)"},
        {"FIXT1", "FIXT.1.1", logon + "|1137=7",
         "DefaultApplVerID 7 is not one the site accepts (9)"},
        {"FIXT1", "FIX.4.4", logon + "|1137=9",
         "BeginString FIX.4.4 where the site speaks FIXT.1.1"},
        {"F44", "FIXT.1.1", logon + "|1137=9",
         "BeginString FIXT.1.1 where the site speaks FIX.4.4"},
        {"F44", "FIX.4.44", logon, "BeginString FIX.4.44 where the site speaks FIX.4.4"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.site) + " " + r.version + " " + r.logon);
        expectStrangerRefused(r.site, r.reason, "127.0.0.1", r.version, r.logon);
    }
    // The standard rules check every SendingTime against the clock.
    auto now = [] { return Time().getCurrentGMTime(); };
    FixPeer fixt("FIXT1", gate, "FIXT.1.1");
    ASSERT_TRUE(fixt.connect(port));
    fixt.sendRaw(fixt.make(logon + "|1137=9", 1, now()));
    std::string reply = fixt.read(5000);
    EXPECT_EQ(FixPeer::field(reply, 8), "FIXT.1.1") << FixPeer::bars(reply);
    EXPECT_EQ(FixPeer::field(reply, 35), "A");
    EXPECT_EQ(FixPeer::field(reply, 1137), "9");
    auto f44 = std::make_unique<FixPeer>("F44", gate, "FIX.4.4");
    ASSERT_TRUE(f44->connect(port));
    f44->sendRaw(f44->make(logon, 1, now()));
    EXPECT_EQ(FixPeer::field(f44->read(5000), 35), "A");
    // An order on the FIXT.1.1 session reaches the application as it came.
    std::string order = fixt.make("35=D|11=FX1|55=IBM|54=1|38=100|40=1", 2, now());
    fixt.sendRaw(order);
    long type = 0;
    EXPECT_EQ(delivered(type), order) << gw->output();
}

TEST_F(Acceptor, LogonFromAnAddressTheSiteDoesNotAllowIsRefusedAndNamed) {
    home.writeCfg("BRK1", "@ {allow=127.0.0.1,10.0.0.0/8}\n" + siteCfg("BRK1"));
    start();
    expectStrangerRefused("BRK1", "address not allowed", "127.0.0.2");
    // The allowed address logs on, and the session's lines name the site.
    auto peer = session("BRK1");
    EXPECT_TRUE(waitUntil([&] { return brk1->status == status_Online; }, 3000));
    peer->send("35=3|45=1|58=CHECK", 2);
    EXPECT_TRUE(gw->waitForOutput("[BRK1] REJECT: ", milliseconds(3000))) << gw->output();
}

TEST_F(Acceptor, ListenAddressIsHonouredAndABadOneIsRefused) {
    listenAddress = "127.0.0.2";
    start();
    FixPeer elsewhere("BRK1", gate);
    EXPECT_FALSE(elsewhere.connect(port, "127.0.0.1"));
    FixPeer peer("BRK1", gate);
    ASSERT_TRUE(peer.connect(port, "127.0.0.2"));
    EXPECT_EQ(FixPeer::field(logOn(peer), 35), "A");

    ProcessOptions quick = options();
    quick.timeout = milliseconds(5000);  // a program that listens instead is killed by then
    for (const std::string bad : {"127.1", "localhost", "", "300.0.0.1", "10.0.0.1/8"}) {
        ProcessResult r = runProgram("gatelisten", {table, "-o", qout, "-a", bad}, quick);
        EXPECT_EQ(r.exitCode, 255) << bad << r.out;
        EXPECT_EQ(r.out, "Listen address [" + bad + "] is not a dotted IPv4 address.\n") << bad;
    }
}

// --- Several sites ---------------------------------------------------------------------------

TEST_F(Acceptor, QueueTypeSelectsTheSiteAndBothSitesDeliverIntact) {
    start();
    auto one = session("BRK1");
    auto two = session("BRK2");
    ASSERT_TRUE(waitUntil([&] { return brk2->status == status_Online; }, 3000));

    // BRK1 sits in cell 1, so its type is 2; BRK2's is 3.
    putOutbound("35=D|11=FOR-ONE|55=IBM", 2);
    std::string order = one->readType("D", 5000);
    EXPECT_EQ(FixPeer::field(order, 11), "FOR-ONE");
    EXPECT_EQ(FixPeer::field(order, 56), "BRK1");
    EXPECT_EQ(FixPeer::field(order, 34), "2");
    EXPECT_TRUE(FixPeer::wellFormed(order));
    EXPECT_EQ(FixPeer::bars(two->read(500)), "");
    putOutbound("35=D|11=FOR-TWO", 3);
    EXPECT_EQ(FixPeer::field(two->readType("D", 5000), 11), "FOR-TWO");
    EXPECT_TRUE(waitUntil([&] { return brk1->Out.proc == 1 && brk2->Out.proc == 1; }, 3000));

    std::string fromOne = one->send("35=8|11=FOR-ONE|150=0", 2);
    std::string fromTwo = two->send("35=8|11=FOR-TWO|150=0", 2);
    long type = 0;
    std::vector<std::string> got;
    for (int i = 0; i < 2; ++i) {
        got.push_back(delivered(type));
        EXPECT_EQ(type, 1);
    }
    std::sort(got.begin(), got.end());
    std::vector<std::string> sent{fromOne, fromTwo};
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(got, sent);
    EXPECT_EQ(brk1->In.pend, 1);
    EXPECT_EQ(brk2->In.pend, 1);
}

TEST_F(Acceptor, SiteThatReconnectsAtOnceGetsEveryMessageQueuedMeanwhile) {
    start();
    auto peer = session("BRK1");
    peer->disconnect();
    putOutbound("35=D|11=DURING", 2);
    auto again = connect("BRK1");
    auto begin = steady_clock::now();
    std::string reply = logOn(*again, 2);
    EXPECT_EQ(FixPeer::field(reply, 35), "A");
    EXPECT_LT(steady_clock::now() - begin, milliseconds(2500));
    putOutbound("35=D|11=AFTER", 2);

    std::vector<std::string> orders;
    for (int i = 0; i < 2; ++i) orders.push_back(FixPeer::field(again->readType("D", 5000), 11));
    EXPECT_EQ(orders, (std::vector<std::string>{"DURING", "AFTER"}));
    EXPECT_EQ(input->read(0, NoWaitMode), "");
    EXPECT_EQ(brk1->status, status_Online);
}

TEST_F(Acceptor, QueuedOrdersAreSentOrKeptUnderTheSitesTypeWhenTheSessionEnds) {
    start();
    auto peer = session("BRK1");
    const int count = 150;
    for (int i = 0; i < count; ++i) putOutbound("35=D|11=Q" + std::to_string(i), 2);
    peer->send("35=5", 2);
    ASSERT_TRUE(waitUntil([&] { return brk1->status == status_Shutdown; }, 5000));

    std::multiset<std::string> seen;
    for (std::string m = peer->read(1000); !m.empty(); m = peer->read(300)) {
        if (FixPeer::field(m, 35) == "D") seen.insert(FixPeer::field(m, 11));
    }
    size_t onWire = seen.size();
    // Whatever was not sent waits for the site's next session under the site's own type: in the
    // journal, which the acceptor parks until it is full, and on the queue behind it.
    gw->stop();
    Journal journal(home.logsDir() + "/BRK1.journal");
    for (int slot : journal.held()) {
        EXPECT_EQ(journal.type(slot), 2);
        seen.insert(FixPeer::field(journal.text(slot), 11));
    }
    for (int i = 0; i < count; ++i) {
        std::string text = input->read(0, NoWaitMode);
        if (text.empty()) break;
        EXPECT_EQ(input->lastType(), 2);
        seen.insert(FixPeer::field(text, 11));
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(count)) << onWire << " sent";
    for (int i = 0; i < count; ++i) EXPECT_EQ(seen.count("Q" + std::to_string(i)), 1u) << i;
    EXPECT_EQ(brk1->Out.proc, static_cast<int>(onWire));
}

// A site whose session has ended keeps getting texts (fewer, or more, than its journal holds) on
// a queue of 32 such texts shared with a live site: without the ended site's texts moving into its
// journal, the application could not write them all, nor then the live site's.
class ParkedSite : public Acceptor, public ::testing::WithParamInterface<int> {};

TEST_P(ParkedSite, TextsOfAnEndedSessionNeverStopAnotherSiteAndGoFirstWhenItComesBack) {
    const int texts = GetParam();
    const bool full = texts > Journal::slots;
    msqid_ds info{};
    int qid = msgget(Key(qin).get_ipc_key(), 0);
    ASSERT_EQ(msgctl(qid, IPC_STAT, &info), 0);
    info.msg_qbytes = 32 * 128;
    ASSERT_EQ(msgctl(qid, IPC_SET, &info), 0);
    // Waits for room as a blocking application would, within a limit.
    auto write = [&](const std::string& id, long type) {
        std::string t = FixPeer::soh("35=D|11=" + id + "|55=IBM|54=1|38=100|40=1|58=");
        t += std::string(128 - t.size() - 1, 'p') + '\x01';
        MsgQueue in(qin, 0, 0);
        return waitUntil([&] { return in.offer(t, type); }, 5000);
    };

    start();
    auto one = session("BRK1");
    auto two = session("BRK2");
    one->send("35=5", 2);
    ASSERT_EQ(FixPeer::field(one->readType("5", 5000), 35), "5");
    ASSERT_TRUE(waitUntil([&] { return brk1->status == status_Shutdown; }, 5000));
    for (int i = 0; i < texts; ++i) ASSERT_TRUE(write("P-" + std::to_string(i), 2)) << i;
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(write("L-" + std::to_string(i), 3)) << i;
        EXPECT_EQ(FixPeer::field(two->readType("D", 5000), 11), "L-" + std::to_string(i));
    }
    const std::string line = "Dispatcher [BRK1] holds 64 unsent outbound messages, a full journal";
    EXPECT_EQ(gw->waitForOutput(line, milliseconds(full ? 3000 : 300)), full) << gw->output();

    // Back at once: the parked journal (or, once let go, its file) goes first, then the queue.
    one = connect("BRK1");
    ASSERT_EQ(FixPeer::field(logOn(*one, 3), 35), "A") << gw->output();
    for (int i = 0; i < texts; ++i) {
        std::string order = one->readType("D", 5000);
        ASSERT_EQ(FixPeer::field(order, 11), "P-" + std::to_string(i)) << FixPeer::bars(order);
    }
    EXPECT_TRUE(one->quiet(300)) << "an order went out twice";
    EXPECT_EQ(input->read(0, NoWaitMode), "");
    EXPECT_EQ(brk1->status, status_Online);
}

INSTANTIATE_TEST_SUITE_P(Rows, ParkedSite, ::testing::Values(50, Journal::slots + 24),
                         [](const auto& row) -> std::string {
                             return row.param > Journal::slots ? "OverflowTheJournal"
                                                               : "FitTheJournal";
                         });

// A parked site stays this process's until the parked journal is let go of: another process on
// the table refuses the site as busy meanwhile, and serves it once the journal has gone idle.
TEST_F(Acceptor, AnotherProcessServesAParkedSiteOnceItsJournalIsLetGo) {
    start();
    int otherPort = 0;
    std::unique_ptr<BackgroundProcess> other = startGatelisten(otherPort);
    ASSERT_TRUE(other) << "the second gatelisten did not start listening";
    auto one = session("BRK1");
    one->send("35=5", 2);
    ASSERT_EQ(FixPeer::field(one->readType("5", 5000), 35), "5");
    ASSERT_TRUE(waitUntil([&] { return brk1->status == status_Shutdown; }, 5000));

    FixPeer early("BRK1", gate);
    ASSERT_TRUE(early.connect(otherPort));
    early.send("35=A|98=0|108=30", 3);
    EXPECT_TRUE(early.waitClosed(5000)) << "served while parked in the first process";
    EXPECT_TRUE(other->waitForOutput("[BRK1] Thread Exit [-2]\n", milliseconds(3000)))
        << other->output();

    std::string reply;
    for (int attempt = 0; attempt < 20 && FixPeer::field(reply, 35) != "A"; ++attempt) {
        std::this_thread::sleep_for(milliseconds(500));
        auto late = std::make_unique<FixPeer>("BRK1", gate);
        ASSERT_TRUE(late->connect(otherPort));
        late->send("35=A|98=0|108=30", 3);
        if (FixPeer::field(reply = late->read(3000), 35) == "A") one = std::move(late);
    }
    EXPECT_EQ(FixPeer::field(reply, 35), "A") << other->output();
    EXPECT_EQ(brk1->status, status_Online);
    one.reset();
    other->stop();
}

// --- Session-level messages ------------------------------------------------------------------

TEST_F(Acceptor, HeartbeatIsNotAnsweredRejectIsPrintedTestRequestIsAnswered) {
    start();
    auto peer = session("BRK1");
    peer->send("35=0", 2);
    EXPECT_TRUE(peer->quiet(700));
    std::string reject = peer->send("35=3|45=1|58=bad", 3);
    EXPECT_TRUE(gw->waitForOutput("REJECT: " + reject + "\n\n", milliseconds(3000)))
        << gw->output();
    peer->send("35=1|112=PING", 4);
    std::string hb = peer->read(5000);
    EXPECT_EQ(FixPeer::field(hb, 35), "0");
    EXPECT_EQ(FixPeer::field(hb, 112), "PING");
    EXPECT_EQ(brk1->In.seq, 4);
    long type = 0;
    EXPECT_EQ(delivered(type, 100), "");
}

TEST_F(Acceptor, LogoutIsAnsweredFromTheTemplateAndEndsTheSession) {
    start();
    auto peer = session("BRK1");
    peer->send("35=5", 2);
    std::string answer = peer->read(5000);
    EXPECT_EQ(FixPeer::field(answer, 35), "5");
    EXPECT_EQ(FixPeer::field(answer, 58), "Bye");
    EXPECT_EQ(FixPeer::field(answer, 34), "2");
    EXPECT_TRUE(peer->waitClosed(5000));
    EXPECT_TRUE(waitUntil([&] { return brk1->status == status_Shutdown; }, 3000));
    EXPECT_EQ(brk1->In.seq, 2);
    EXPECT_TRUE(gw->running());
}

TEST_F(Acceptor, QuietCounterpartyGetsAHeartbeatThenATestRequestThenIsDropped) {
    start();
    auto peer = session("BRK1", 1);
    std::string hb = peer->read(8000);
    EXPECT_EQ(FixPeer::field(hb, 35), "0");
    EXPECT_EQ(FixPeer::field(hb, 112), "");
    EXPECT_TRUE(waitUntil([&] { return brk1->status != status_Online; }, 1000));
    EXPECT_EQ(brk1->status, status_Heartbeat);
    std::string test = peer->read(8000);
    EXPECT_EQ(FixPeer::field(test, 35), "1");
    EXPECT_EQ(FixPeer::field(test, 112), "1");
    EXPECT_TRUE(peer->waitClosed(8000));
    EXPECT_TRUE(waitUntil([&] { return brk1->status == status_Shutdown; }, 3000));
}

// --- Broken input and release of ended sessions ----------------------------------------------

TEST_F(Acceptor, UnframeableInputEndsOnlyThatSession) {
    start();
    auto steady = session("BRK2");
    const std::vector<std::string> breakers = {
        "8=FIX.4.2\x01"
        "9=abc\x01"
        "35=0\x01"
        "10=000\x01",
        "8=FIX.4.2\x01"
        "9=99999999\x01"
        "35=0\x01",
    };
    int seq = 1;
    for (const std::string& bytes : breakers) {
        // Each Logon of the site continues its numbering from the day's log.
        auto peer = connect("BRK1");
        ASSERT_EQ(FixPeer::field(logOn(*peer, seq++), 35), "A");
        peer->sendRaw(bytes);
        EXPECT_TRUE(peer->waitClosed(5000)) << FixPeer::bars(bytes);
        EXPECT_TRUE(waitUntil([&] { return brk1->status == status_Shutdown; }, 3000));
    }
    steady->send("35=1|112=ALIVE", 2);
    EXPECT_EQ(FixPeer::field(steady->read(5000), 112), "ALIVE");
    EXPECT_TRUE(gw->running());
}

TEST_F(Acceptor, ManyLogonLogoutCyclesLeaveThreadsAndDescriptorsWhereTheyWere) {
    start();
    int seq = 1;
    // One session's life, then a connection refused for not logging on.
    auto cycle = [&](int i) {
        FixPeer peer("BRK1", gate);
        ASSERT_TRUE(peer.connect(port)) << "cycle " << i;
        peer.send("35=A|98=0|108=30", seq++);
        ASSERT_EQ(FixPeer::field(peer.read(5000), 35), "A") << "cycle " << i;
        peer.send("35=5", seq++);
        ASSERT_EQ(FixPeer::field(peer.readType("5", 5000), 35), "5") << "cycle " << i;
        ASSERT_TRUE(peer.waitClosed(5000)) << "cycle " << i;
        FixPeer stranger("BRK1", gate);
        ASSERT_TRUE(stranger.connect(port)) << "cycle " << i;
        stranger.send("35=0", 1);
        ASSERT_TRUE(stranger.waitClosed(5000)) << "cycle " << i;
    };
    // A first cycle lets the process make whatever it makes once (a sanitizer's helper thread).
    cycle(0);
    pid_t pid = gw->pid();
    // The first cycle's threads are ending at about this time; the fewest seen is the base.
    int base = threadCount(pid);
    waitUntil([&] { return (base = std::min(base, threadCount(pid))) < 0; }, 300);
    int fds = openDescriptors(pid);
    ASSERT_GT(fds, 0);
    const int cycles = 200;
    for (int i = 1; i <= cycles; ++i) {
        cycle(i);
        if (HasFatalFailure()) return;
    }
    int threads = 0;
    EXPECT_TRUE(waitUntil([&] { return (threads = threadCount(pid)) == base; }, 5000))
        << threads << " threads, " << base << " before";
    EXPECT_TRUE(waitUntil([&] { return openDescriptors(pid) == fds; }, 5000))
        << openDescriptors(pid) << " descriptors, " << fds << " before";
    EXPECT_EQ(brk1->In.seq, 2 * (cycles + 1));
}

TEST_F(Acceptor, RunningOutOfDescriptorsHoldsNewConnectionsBackWithoutEndingTheProgram) {
    // Room for the program's own descriptors and two sessions (each holds its socket, two logs,
    // its journal and a pipe), so the descriptors the idle connections give back serve the late
    // one.
    const int limit = 24;
    start({"/usr/bin/prlimit", "--nofile=" + std::to_string(limit)});
    auto steady = session("BRK2");
    pid_t pid = gw->pid();
    ASSERT_TRUE(waitUntil([&] { return threadCount(pid) == 3 + sanitizerThreads; }, 3000));
    // Connections that never log on take the remaining descriptors.
    const int base = openDescriptors(pid, limit);
    std::vector<std::unique_ptr<FixPeer>> idle;
    for (int n = base; n < limit; ++n) idle.push_back(connect("BRK1"));
    ASSERT_TRUE(waitUntil([&] { return openDescriptors(pid, limit) == limit; }, 3000));

    auto accepted = [&] {
        std::string out = gw->output();
        int n = 0;
        for (size_t at = 0; (at = out.find("New thread created", at)) != std::string::npos; ++at)
            ++n;
        return n;
    };
    const int before = accepted();
    auto late = connect("BRK1");
    // Held back: with no descriptor free the connection is not taken and no session starts.
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_EQ(accepted(), before);
    EXPECT_TRUE(gw->running());
    idle.clear();
    // Taken once the idle sessions have ended and given their descriptors back.
    EXPECT_TRUE(waitUntil(
        [&] { return accepted() == before + 1 && openDescriptors(pid, limit) == base + 1; }, 5000))
        << openDescriptors(pid, limit) << " descriptors, " << base << " before";
    late->send("35=A|98=0|108=30", 1);
    EXPECT_EQ(FixPeer::field(late->read(5000), 35), "A") << gw->output() << gw->errors();
    late->send("35=1|112=LATE", 2);
    EXPECT_EQ(FixPeer::field(late->read(5000), 112), "LATE") << "the late session stays up";
    steady->send("35=1|112=STILL", 2);
    EXPECT_EQ(FixPeer::field(steady->read(5000), 112), "STILL");
    EXPECT_TRUE(gw->running());
}

// --- The program -----------------------------------------------------------------------------

TEST(GatelistenProgram, NoArgumentsPrintTheUsageText) {
    ProcessResult r = runProgram("gatelisten", {"-p", "7000"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out,
              "Usage: gatelisten mem [-p port] [-a address] [-i queue] [-o queue] [-j servers] "
              "[-g gateway]\n\n");
}

TEST_F(Acceptor, PortThatIsNotOneIsRefusedWithTheUsageText) {
    std::vector<std::vector<std::string>> portArgs{{"-p", "abc"}, {"-p"},          {"-p", "0"},
                                                   {"-p", "-5"},  {"-p", "65536"}, {"-p", "70001"},
                                                   {"-p6001x"},   {"-p", ""},      {"-p", "+80"}};
    ProcessOptions quick = options();
    quick.timeout = milliseconds(5000);  // a program that listens instead is killed by then
    for (const auto& p : portArgs) {
        std::vector<std::string> args{table, "-o", qout};
        args.insert(args.end(), p.begin(), p.end());
        ProcessResult r = runProgram("gatelisten", args, quick);
        EXPECT_EQ(r.exitCode, 255) << p.back() << r.out;
        EXPECT_EQ(r.out,
                  "Usage: gatelisten mem [-p port] [-a address] [-i queue] [-o queue] [-j servers] "
                  "[-g gateway]\n\n")
            << p.back();
    }
}

TEST_F(Acceptor, StartupFailuresEndTheProgramWithTheirMessage) {
    // A missing output queue.
    IpcNames spare;
    std::string missing = spare.name();
    ProcessResult r = runProgram(
        "gatelisten", {table, "-p", std::to_string(freePort()), "-o", missing}, options());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "Fail to connect the message queue. [" + missing + "]: No such file or directory\n");

    // A port another socket holds.
    FixPeer holder("X", "Y");
    int held = holder.listen();
    r = runProgram("gatelisten", {table, "-p", std::to_string(held), "-o", qout}, options());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Failed to bind socket.\n");
    EXPECT_NE(r.out.find("MsgQueue [" + qout + "] was attached."), std::string::npos);
}

TEST_F(Acceptor, UpperCaseOptionsAreAcceptedButChangeNothing) {
    IpcNames spare;
    std::string missing = spare.name();
    std::string listenPort = std::to_string(freePort());
    BackgroundProcess quiet(
        "gatelisten", {table, "-o", qout, "-O", missing, "-p", listenPort, "-P", "1"}, options());
    EXPECT_TRUE(
        quiet.waitForOutput("Socket service [" + listenPort + "] was created.", milliseconds(5000)))
        << quiet.output() << quiet.errors();
    EXPECT_NE(quiet.output().find("MsgQueue [" + qout + "] was attached."), std::string::npos);
    quiet.stop(milliseconds(1000));
}

TEST_F(Acceptor, FiveHundredConnectionsOpenedAtOnceAllReachTheProgram) {
    // A connect that finds the listen queue full waits out SYN retries (1 s, 3 s, ...), so with
    // a short queue many of these would neither complete nor be accepted within the limits below.
    constexpr int count = 500;
    start();
    std::vector<pollfd> fds;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < count; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0);
        fds.push_back(pollfd{fd, POLLOUT, 0});
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    int established = 0;
    auto deadline = steady_clock::now() + milliseconds(5000);
    while (established < count && steady_clock::now() < deadline) {
        ASSERT_GE(::poll(fds.data(), fds.size(), 100), 0);
        for (pollfd& p : fds) {
            if (p.fd < 0 || p.revents == 0) continue;
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            EXPECT_EQ(err, 0);
            ++established;
            p.fd = -p.fd - 1;  // poll skips negative descriptors; the socket stays open
        }
    }
    EXPECT_EQ(established, count);
    auto accepted = [&] {
        std::string out = gw->output();
        int n = 0;
        for (size_t at = 0; (at = out.find("New thread created for client", at)) != out.npos; ++at)
            ++n;
        return n;
    };
    EXPECT_TRUE(waitUntil([&] { return accepted() == count; }, 5000)) << accepted();
    for (pollfd& p : fds) ::close(p.fd < 0 ? -p.fd - 1 : p.fd);
    EXPECT_TRUE(gw->running());
}

TEST_F(Acceptor, SignalsFromOutsideNeverEndASessionNorTheProgram) {
    start();
    // Before any session has started a dispatcher, the signal's default action would end it.
    for (int i = 0; i < 20; ++i) gw->kill(SIGUSR2);
    std::this_thread::sleep_for(milliseconds(100));
    ASSERT_TRUE(gw->running()) << gw->errors();
    auto peer = session("BRK1");
    SignalStorm storm(gw->pid(), SIGUSR2, microseconds(500));
    constexpr int orders = 200;
    int seq = 2;
    for (int i = 1; i <= orders; ++i) {
        std::string id = "O" + std::to_string(i);
        peer->send("35=D|11=" + id + "|55=IBM|54=1|38=100", seq++);
        long type = 0;
        ASSERT_EQ(FixPeer::field(delivered(type, 5000), 11), id) << gw->output();
        putOutbound("35=8|11=" + id + "|150=2|39=2|", 2);
        ASSERT_EQ(FixPeer::field(peer->readType("8", 5000), 11), id) << gw->output();
    }
    // A fast session may finish before the storm has sent as many: it goes on a while longer.
    waitUntil([&] { return storm.count() > orders; }, 5000);
    EXPECT_GT(storm.stop(), orders);
    EXPECT_EQ(brk1->status, status_Online);
    EXPECT_EQ(brk1->In.seq, orders + 1);
    EXPECT_EQ(brk1->Out.seq, orders + 1);
    peer->send("35=5", seq);
    EXPECT_EQ(FixPeer::field(peer->readType("5", 5000), 35), "5");
    EXPECT_TRUE(gw->running());
}

// --- Both gateways ---------------------------------------------------------------------------

TEST_F(Acceptor, GateconnectLoggedOnToGatelistenCarriesOrdersAndExecutions) {
    // The desk's side: its own table, queues and home, with the broker as its site.
    IpcNames deskIpc;
    std::string deskTable = deskIpc.name(), deskIn = deskIpc.name(), deskOut = deskIpc.name();
    Shm deskShm(deskTable);
    MemoryCell* broker = deskShm.registerName("BRK1");
    broker->status = ' ';
    MsgQueue deskInput(deskIn, 0, IPC_CREAT);
    MsgQueue deskOutput(deskOut, 0, IPC_CREAT);
    TempHome deskHome;
    deskHome.writeCfg("BRK1",
                      "~ {8=FIX.4.2,9=,35=,49=BRK1,56=GATE,34=,52=}\n"
                      "A {98=0,108=30}\n0 {}\n1 {112=}\n2 {7=,16=}\n4 {123=Y,36=}\n5 {}\n");
    start();
    ProcessOptions o;
    o.cwd = deskHome.root();
    o.env = {{"FIXHOME", deskHome.root()}};
    BackgroundProcess desk(
        "gateconnect",
        {deskTable, "BRK1", "127.0.0.1", std::to_string(port), "-i", deskIn, "-o", deskOut}, o);
    ASSERT_TRUE(waitUntil([&] { return broker->status == status_Online; }, 5000))
        << desk.output() << gw->output();
    ASSERT_TRUE(waitUntil([&] { return brk1->status == status_Online; }, 5000));

    // The desk's application sends an order; the broker's application gets it whole.
    deskInput.write(FixPeer::soh("35=D|11=ORD1|55=IBM|54=1|38=100|"), WaitMode, 1);
    long type = 0;
    std::string order = delivered(type, 5000);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(FixPeer::field(order, 35), "D");
    EXPECT_EQ(FixPeer::field(order, 11), "ORD1");
    EXPECT_EQ(FixPeer::field(order, 49), "BRK1");
    EXPECT_TRUE(FixPeer::wellFormed(order));

    // The broker's application answers with an execution addressed to the desk's site.
    putOutbound("35=8|11=ORD1|150=2|39=2|", 2);
    std::string execution;
    waitUntil(
        [&] {
            execution = deskOutput.read(0, NoWaitMode);
            return !execution.empty();
        },
        5000);
    EXPECT_EQ(FixPeer::field(execution, 35), "8");
    EXPECT_EQ(FixPeer::field(execution, 11), "ORD1");
    EXPECT_EQ(FixPeer::field(execution, 49), gate);

    // Each side counts a message after it has passed it on, so the count may trail its arrival.
    EXPECT_TRUE(waitUntil([&] { return broker->Out.proc == 1 && broker->In.pend == 1; }, 5000));
    EXPECT_TRUE(waitUntil([&] { return brk1->In.pend == 1 && brk1->Out.proc == 1; }, 5000));
    EXPECT_EQ(broker->Out.proc, 1);
    EXPECT_EQ(broker->In.pend, 1);
    EXPECT_EQ(brk1->In.pend, 1);
    EXPECT_EQ(brk1->Out.proc, 1);
    desk.stop(milliseconds(2000));
}

// The window opened a minute ago and closes three seconds from now (UTC): the session ends with a
// Logout on schedule, and a Logon after it hears that the window opens tomorrow.
TEST_F(Acceptor, AWindowEndsWithALogoutAndALogonOutsideItHearsWhenItOpens) {
    std::time_t open = std::time(nullptr) - 60;
    home.writeCfg("BRK1", siteCfg("BRK1") + "@ {zone=UTC window=" + daily(open, open + 63) + "}\n");
    start();
    auto peer = session("BRK1");
    EXPECT_EQ(FixPeer::field(peer->readType("5", 8000), 58), "Session ended on schedule");
    peer->send("35=5", 2);
    EXPECT_TRUE(peer->waitClosed(5000));

    auto late = connect("BRK1");
    std::string answer = logOn(*late, 3);
    EXPECT_EQ(FixPeer::field(answer, 35), "5") << FixPeer::bars(answer);
    EXPECT_EQ(FixPeer::field(answer, 58), "Outside the session window; it opens at " +
                                              utc(open + 86400, "%Y-%m-%d %H:%M:%S") + " UTC");
    EXPECT_TRUE(late->waitClosed(5000));
    EXPECT_TRUE(gw->waitForOutput(
        "[BRK1] Logon of site [BRK1] from [127.0.0.1] refused: outside the window",
        milliseconds(3000)))
        << gw->output();
    // The refused Logon was not counted: the incoming log holds the first session's two only.
    EXPECT_EQ(nonEmptyLines(home.readFile("logs/BRK1.in." + utc(open, "%Y%m%d"))).size(), 2u);
}

// Non-stop with a daily reset three seconds from now: the session logs out at the reset, and the
// counterparty's next Logon starts both numbers at 1 in the period's own files.
TEST_F(Acceptor, AResetInsideTheWindowLogsOutAndTheNextLogonStartsAtOne) {
    std::time_t reset = std::time(nullptr) + 3;
    home.writeCfg("BRK1", siteCfg("BRK1") + "@ {zone=UTC reset=" + daily(reset) + "}\n");
    start();
    auto peer = session("BRK1");
    peer->send("35=0", 2);
    std::string logout = peer->readType("5", 8000);
    EXPECT_EQ(FixPeer::field(logout, 58), "Session ended on schedule: sequence reset");
    EXPECT_EQ(FixPeer::field(logout, 34), "2");
    peer->send("35=5", 3);
    EXPECT_TRUE(peer->waitClosed(5000));

    auto again = connect("BRK1");
    std::string reply = logOn(*again, 1);
    EXPECT_EQ(FixPeer::field(reply, 35), "A") << FixPeer::bars(reply);
    EXPECT_EQ(FixPeer::field(reply, 34), "1");
    auto lines = [&](std::time_t day) {
        return nonEmptyLines(home.readFile("logs/BRK1.out." + utc(day, "%Y%m%d"))).size();
    };
    EXPECT_EQ(lines(reset), 1u);
    EXPECT_EQ(lines(reset - 86400), 2u);
}

}  // namespace
