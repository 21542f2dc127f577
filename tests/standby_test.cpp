// A site served by two gateways, as on two hosts: two FIXHOMEs and two site tables, gateway A and
// gateway B. The active one holds the site's lease and sends; the standby follows the site's state
// stream and takes over once the lease lapses. Everything is real: three nats-server, the two
// gateways and QuickFIX as the counterparty on 127.0.0.1; a stopped process (SIGSTOP) stands for a
// partitioned host. The test publishes orders to the site's OUT stream, QuickFIX fills each one,
// and the executions come back onto the IN stream. One fault per row, mid-flow; afterwards no
// order or execution is lost, no MsgSeqNum stands for two different messages (at QuickFIX and in
// both gateways' logs together), second copies come only as PossDupFlag=Y resends, QuickFIX
// complains of nothing, and it was logged on again soon after the lease lapsed. Skipped where
// nats-server or QuickFIX is missing.
#include <gtest/gtest.h>
#include <nats/nats.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FixPeer.h"
#include "Ipc.h"
#include "MsgQueue.h"
#include "NatsCluster.h"
#include "NatsLink.h"
#include "OrderFlow.h"
#include "Process.h"
#include "QuickFixPeer.h"
#include "Shm.h"
#include "StreamInlet.h"
#include "StreamNames.h"
#include "StreamOutlet.h"
#include "TempHome.h"
#include "TestUtil.h"
#include "Time.h"

namespace {

using namespace std::chrono;
using namespace orderflow;
using Clock = steady_clock;

constexpr int lifetime = 4;  // seconds the lease lives unrenewed
// Logged on again within the lease's lifetime and a takeover's few seconds (reading the stream,
// connecting, the logon's resend).
constexpr seconds relogonLimit{lifetime + 10};
constexpr seconds rowLimit{120};
constexpr seconds settleLimit{60};

// A message without the fields a resend changes (BodyLength, CheckSum, SendingTime, PossDupFlag,
// PossResend, OrigSendingTime), its fields sorted, so a resend compares equal to its first copy
// even where it puts the header's fields in another order.
std::string essence(const std::string& message) {
    static const std::set<int> resendFields{9, 10, 43, 52, 97, 122};
    std::vector<std::string> kept;
    std::size_t at = 0;
    while (at < message.size()) {
        std::size_t end = message.find('\x01', at);
        if (end == std::string::npos) end = message.size();
        if (!resendFields.count(std::atoi(message.c_str() + at)))
            kept.push_back(message.substr(at, end - at));
        at = end + 1;
    }
    std::sort(kept.begin(), kept.end());
    std::string text;
    for (const std::string& f : kept) text += f + "|";
    return text;
}

// MsgSeqNums that stand for two different messages among these; a gap fill stands in for the
// session messages it covers, so it is left out.
std::vector<std::string> numbersUsedTwice(const std::vector<std::string>& messages) {
    std::map<long, std::string> first;
    std::vector<std::string> twice;
    for (const std::string& m : messages) {
        std::string sep = "\x01" + m;
        if (FixPeer::field(sep, 35) == "4" && FixPeer::field(sep, 123) == "Y") continue;
        long seq = std::atol(FixPeer::field(sep, 34).c_str());
        auto known = first.emplace(seq, essence(m));
        if (!known.second && known.first->second != essence(m))
            twice.push_back(std::to_string(seq) + ": " + known.first->second + " / " + essence(m));
    }
    return twice;
}

// The ClOrdIDs of the messages of one type, in the order of their first copies, and those
// copied again without PossDupFlag=Y.
struct Copies {
    std::vector<std::string> first, newAgain;
};

Copies copiesOf(const std::vector<std::string>& messages, const std::string& type) {
    Copies c;
    std::set<std::string> seen;
    for (const std::string& m : messages) {
        std::string sep = "\x01" + m;
        if (FixPeer::field(sep, 35) != type) continue;
        std::string id = FixPeer::field(sep, 11);
        if (seen.insert(id).second)
            c.first.push_back(id);
        else if (FixPeer::field(sep, 43) != "Y")
            c.newAgain.push_back(id);
    }
    return c;
}

// The value of `key=` in a line of key=value words; empty when absent.
std::string word(const std::string& line, const std::string& key) {
    std::size_t at = line.find(key + "=");
    while (at != std::string::npos && at > 0 && line[at - 1] != ' ')
        at = line.find(key + "=", at + 1);
    if (at == std::string::npos) return "";
    at += key.size() + 1;
    return line.substr(at, line.find_first_of(" \n", at) - at);
}

// What a stream or consumer holds, through the test's own link; unknown when the servers do not
// answer (a cluster that lost a member may still be electing).
struct StreamState {
    std::int64_t msgs = -1;
    std::uint64_t lastSeq = 0;
};

StreamState streamState(NatsLink& link, const std::string& stream) {
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    StreamState s;
    if (js_GetStreamInfo(&info, link.jetStream(), stream.c_str(), nullptr, &code) != NATS_OK)
        return s;
    s = {static_cast<std::int64_t>(info->State.Msgs), info->State.LastSeq};
    jsStreamInfo_Destroy(info);
    return s;
}

// Index of the server leading a stream's group ("n0".."n2"); -1 when unknown.
int leaderOf(NatsLink& link, const std::string& stream) {
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    if (js_GetStreamInfo(&info, link.jetStream(), stream.c_str(), nullptr, &code) != NATS_OK)
        return -1;
    int leader = -1;
    if (info->Cluster != nullptr && info->Cluster->Leader != nullptr &&
        info->Cluster->Leader[0] == 'n')
        leader = std::atoi(info->Cluster->Leader + 1);
    jsStreamInfo_Destroy(info);
    return leader;
}

bool consumerEmpty(NatsLink& link, const std::string& stream, const std::string& durable) {
    jsConsumerInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    if (js_GetConsumerInfo(&info, link.jetStream(), stream.c_str(), durable.c_str(), nullptr,
                           &code) != NATS_OK)
        return false;
    bool empty = info->NumPending == 0 && info->NumAckPending == 0;
    jsConsumerInfo_Destroy(info);
    return empty;
}

// The lease's holder as the bucket has it: the gateway's name, "-" when nobody holds it, empty
// when the servers do not answer.
std::string leaseHolder(NatsLink& link, const std::string& site) {
    kvStore* kv = nullptr;
    if (js_KeyValue(&kv, link.jetStream(), StreamNames::leaseBucket(site).c_str()) != NATS_OK)
        return "";
    kvEntry* entry = nullptr;
    natsStatus s = kvStore_Get(&entry, kv, StreamNames::leaseKey);
    std::string holder = s == NATS_NOT_FOUND ? "-" : "";
    if (s == NATS_OK) {
        std::string value = kvEntry_ValueString(entry);
        holder = value.substr(0, value.find(' '));
        kvEntry_Destroy(entry);
    }
    kvStore_Destroy(kv);
    return holder;
}

// Executions on the IN stream, read through a consumer of the test's own: their ClOrdIDs in
// stream order, and message ids the stream holds twice.
struct Inbound {
    std::vector<std::string> clOrdIds;
    int repeatedIds = 0;
};

Inbound readInbound(NatsLink& link, const std::string& site, std::int64_t held) {
    std::unique_ptr<StreamInlet> inlet;
    for (int attempt = 0; attempt < 10 && !inlet; ++attempt) {
        try {
            inlet = std::make_unique<StreamInlet>(link, StreamNames::inStream(site),
                                                  StreamNames::inSubject(site), "audit");
        } catch (const NatsException&) {
            if (attempt == 9) throw;
        }
    }
    Inbound in;
    std::set<std::string> ids;
    std::int64_t seen = 0;
    for (int empty = 0; seen < held && empty < 30;) {
        std::vector<StreamInlet::Message> batch = inlet->fetch(256, 1000);
        if (batch.empty()) ++empty;
        for (const StreamInlet::Message& m : batch) {
            ++seen;
            if (!ids.insert(m.header("Nats-Msg-Id")).second) ++in.repeatedIds;
            if (FixPeer::field("\x01" + m.text, 35) == "8")
                in.clOrdIds.push_back(FixPeer::field("\x01" + m.text, 11));
            inlet->ack(m);
        }
    }
    return in;
}

// Which of our gateways serves the site: gateconnect against a QuickFIX acceptor, or gatelisten
// on two ports that a QuickFIX initiator tries in turn.
enum class Role { Connect, Listen };

// One gateway of the pair, on its own "host": FIXHOME, site table and queues.
struct Gateway {
    std::string name;
    TempHome home;
    std::string table, qin, qout;
    int port = 0;  // where gatelisten listens
    std::unique_ptr<BackgroundProcess> process;

    std::string logLines(const std::string& site, const char* direction) const {
        return home.readFile("logs/" + site + "." + direction + "." + Time().getLogDate());
    }
    std::string role(const std::string& site) const {
        return word(home.readFile("logs/" + site + ".lease"), "role");
    }
    // The last lines the gateway printed, for a failure's message.
    std::string failure() const {
        if (!process) return name + ": not running";
        std::vector<std::string> lines = nonEmptyLines(process->output() + process->errors());
        std::string text = name + ":";
        for (std::size_t i = lines.size() > 40 ? lines.size() - 40 : 0; i < lines.size(); ++i)
            text += "\n  " + lines[i];
        return text;
    }
};

class StandbySite : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!NatsCluster::available()) GTEST_SKIP() << "nats-server is not installed";
        if (std::string(QFPEER_PATH).empty() || access(QFPEER_PATH, X_OK) != 0)
            GTEST_SKIP() << "QuickFIX's counterparty (qfpeer) has not been built";
    }

    void TearDown() override {
        for (Gateway* g : {&a, &b}) {
            if (g->process) {
                g->process->kill(SIGCONT);
                g->process->stop(milliseconds(3000));
            }
        }
        peer.reset();
    }

    std::string site() const { return role == Role::Connect ? "SELLSIDE" : "BUYSIDE"; }
    std::string them() const { return role == Role::Connect ? "BUYSIDE" : "SELLSIDE"; }

    // Servers, streams with the lease's lifetime, and both gateways' homes and tables.
    void prepare(Role r) {
        role = r;
        cluster = std::make_unique<NatsCluster>(3);
        servers = cluster->servers();
        ProcessResult made = runProgram(
            "streammake", {site(), "-j", servers, "-r", "3", "-l", std::to_string(lifetime)});
        ASSERT_EQ(made.exitCode, 0) << made.out << made.err;
        link = std::make_unique<NatsLink>(NatsLink::Settings::withServers(servers), "standby_test");
        // The standard session rules, as QuickFIX keeps them: after a takeover both sides may
        // ask for a resend at once, and a ResendRequest above a gap is answered at once.
        std::string cfg = example(role == Role::Connect ? "initiator/cfg/SELLSIDE.fix"
                                                        : "acceptor/cfg/BUYSIDE.fix");
        cfg = std::regex_replace(cfg, std::regex("108=30"), "108=1") +
              "@ {rules=standard apps=jetstream standby=yes}\n";
        a.name = "A";
        b.name = "B";
        for (Gateway* g : {&a, &b}) {
            g->table = ipc.name();
            g->qin = ipc.name();
            g->qout = ipc.name();
            Shm(g->table).registerName(site())->status = ' ';
            MsgQueue(g->qin, 0, IPC_CREAT);
            MsgQueue(g->qout, 0, IPC_CREAT);
            g->home.writeCfg(site(), cfg);
            g->port = freePort();
        }
    }

    void start(Gateway& g) {
        ProcessOptions o;
        o.cwd = g.home.root();
        o.env = {{"FIXHOME", g.home.root()}};
        if (role == Role::Connect) {
            g.process = std::make_unique<BackgroundProcess>(
                "gateconnect",
                std::vector<std::string>{g.table, site(), "127.0.0.1", std::to_string(qfPort), "-j",
                                         servers, "-g", g.name},
                o);
        } else {
            g.process = std::make_unique<BackgroundProcess>(
                "gatelisten",
                std::vector<std::string>{g.table, "-p", std::to_string(g.port), "-i", g.qin, "-o",
                                         g.qout, "-j", servers, "-g", g.name},
                o);
        }
    }

    // QuickFIX as the site's counterparty: the acceptor both gateconnects are given, or the
    // initiator that tries A's port and then B's.
    void startPeer() {
        if (role == Role::Connect) {
            qfPort = freeLoopbackPort();
            peer =
                std::make_unique<QuickFixPeer>("acceptor", site(), them(), qfPort, peerHome.root(),
                                               1, std::vector<std::string>{"--max-seconds", "900"});
        } else {
            peer = std::make_unique<QuickFixPeer>(
                "initiator", site(), them(), a.port, peerHome.root(), 1,
                std::vector<std::string>{"--max-seconds", "900", "--alternate",
                                         "127.0.0.1:" + std::to_string(b.port)});
        }
    }

    bool waitRole(const Gateway& g, const std::string& want, int limitMs) {
        return waitUntil(
            [&] {
                std::this_thread::sleep_for(milliseconds(20));
                return g.role(site()) == want;
            },
            limitMs);
    }

    // A first, until it is active; then B, until it follows as the standby; then the
    // counterparty.
    void startPair() {
        if (role == Role::Connect) startPeer();
        start(a);
        ASSERT_TRUE(waitRole(a, "active", 20000)) << a.failure();
        start(b);
        ASSERT_TRUE(waitRole(b, "standby", 20000)) << b.failure();
        if (role == Role::Listen) startPeer();
        ASSERT_TRUE(peer->waitFor("LOGON", "", 1, milliseconds(15000)))
            << peer->transcript() << a.failure();
    }

    std::size_t logons() const { return peer->records("LOGON").size(); }

    Role role = Role::Connect;
    IpcNames ipc;
    TempHome peerHome;
    std::unique_ptr<NatsCluster> cluster;
    std::string servers;
    std::unique_ptr<NatsLink> link;
    int qfPort = 0;
    Gateway a, b;
    std::unique_ptr<QuickFixPeer> peer;
};

enum class Fault { KillActive, StopActive, KillServerInTakeover, RestartStandby };

struct FaultCase {
    const char* behaviour;
    Role role;
    Fault fault;
};

// Rows are named by their behaviour in test listings.
void PrintTo(const FaultCase& row, std::ostream* os) {
    *os << row.behaviour;
}

const FaultCase faultCases[] = {
    {"the active gateconnect killed -9: the standby takes over", Role::Connect, Fault::KillActive},
    {"the active gateconnect stopped longer than the lease lives, then let run again",
     Role::Connect, Fault::StopActive},
    {"a server killed -9 while the standby takes over from a killed active", Role::Connect,
     Fault::KillServerInTakeover},
    {"the standby killed -9 and started again while the active runs", Role::Connect,
     Fault::RestartStandby},
    {"the active gatelisten killed -9: QuickFIX logs on at the other address", Role::Listen,
     Fault::KillActive},
};

class StandbyFaults : public StandbySite, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(StandbyFaults, NothingIsLostOrNumberedTwiceAndTheCounterpartyComplainsOfNothing) {
    const FaultCase& row = GetParam();
    const int n = fromEnvironment("FIXGATE_JS_ORDERS", 10000);
    prepare(row.role);
    if (HasFatalFailure()) return;
    startPair();
    if (HasFatalFailure()) return;
    const bool takeover = row.fault != Fault::RestartStandby;
    const std::string in = StreamNames::inStream(site()), out = StreamNames::outStream(site());

    StreamOutlet outlet(*link, out, StreamNames::outSubject(site()), 1000);
    int offered = 0;
    std::size_t acknowledged = 0;
    std::int64_t executions = 0;
    bool faulted = false;
    const std::size_t logonsBefore = logons();
    const Clock::time_point began = Clock::now(), limit = began + rowLimit;
    Clock::time_point nextLook = began, faultAt{}, relogonAt{};
    while (Clock::now() < limit &&
           (!faulted || acknowledged < static_cast<std::size_t>(n) || executions < n ||
            (takeover && relogonAt == Clock::time_point{}))) {
        while (offered < n &&
               outlet.offer("app:" + std::to_string(offered + 1), order(clOrdId(offered + 1))))
            ++offered;
        acknowledged += outlet.takeAcknowledged();
        if (Clock::now() >= nextLook) {
            std::int64_t now = streamState(*link, in).msgs;
            if (now >= 0) executions = now;
            // QuickFIX's record grows by megabytes: read it only until the next logon shows.
            if (faulted && takeover && relogonAt == Clock::time_point{} && logons() > logonsBefore)
                relogonAt = Clock::now();
            nextLook = Clock::now() + milliseconds(200);
        }
        if (!faulted && executions >= n / 3) {
            faulted = true;
            faultAt = Clock::now();
            const int leader = leaderOf(*link, StreamNames::stateStream(site()));
            switch (row.fault) {
                case Fault::KillActive:
                    a.process->kill(SIGKILL);
                    a.process->wait(milliseconds(5000));
                    break;
                case Fault::StopActive:
                    // Stopped until the standby has taken over, and never less than the lease's
                    // lifetime and a second.
                    a.process->kill(SIGSTOP);
                    waitUntil(
                        [&] {
                            std::this_thread::sleep_for(milliseconds(20));
                            return Clock::now() - faultAt > seconds(lifetime + 1) &&
                                   b.role(site()) == "active";
                        },
                        (lifetime + 20) * 1000);
                    a.process->kill(SIGCONT);
                    break;
                case Fault::KillServerInTakeover:
                    a.process->kill(SIGKILL);
                    a.process->wait(milliseconds(5000));
                    // The lease lapsed or was just taken: the takeover is under way.
                    EXPECT_TRUE(waitUntil(
                        [&] {
                            std::string holder = leaseHolder(*link, site());
                            return !holder.empty() && holder != a.name;
                        },
                        (lifetime + 20) * 1000))
                        << "the lease never lapsed";
                    ASSERT_GE(leader, 0) << "no leader of " << StreamNames::stateStream(site());
                    cluster->kill(leader);
                    break;
                case Fault::RestartStandby:
                    b.process->kill(SIGKILL);
                    b.process->wait(milliseconds(5000));
                    start(b);
                    break;
            }
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    std::cout << row.behaviour << ": " << offered << " offered, " << acknowledged << " stored, "
              << executions << " executions in "
              << duration_cast<milliseconds>(Clock::now() - began).count()
              << " ms; logged on again "
              << (relogonAt == Clock::time_point{}
                      ? std::string("never")
                      : std::to_string(duration_cast<milliseconds>(relogonAt - faultAt).count()) +
                            " ms after the fault")
              << std::endl;
    ASSERT_TRUE(faulted) << "the flow never reached a third of the executions\n"
                         << a.failure() << "\n"
                         << b.failure();
    EXPECT_EQ(acknowledged, static_cast<std::size_t>(n)) << outlet.lastFault();
    if (takeover) {
        EXPECT_NE(relogonAt, Clock::time_point{}) << "QuickFIX never logged on again\n"
                                                  << b.failure();
        // A killed server's streams elect new leaders first, which takes the cluster seconds.
        const seconds election{row.fault == Fault::KillServerInTakeover ? 10 : 0};
        // The sanitizer builds run these rows beside other tests, where the elections of a
        // cluster on a loaded machine take longer still: they allow more (FIXGATE_JS_SLACK s).
        const seconds slack{fromEnvironment("FIXGATE_JS_SLACK", 0)};
        EXPECT_LE(relogonAt - faultAt, relogonLimit + election + slack)
            << duration_cast<milliseconds>(relogonAt - faultAt).count() << " ms";
    } else {
        EXPECT_EQ(logons(), logonsBefore) << "the session broke while the standby restarted";
    }

    // Who ends active: B after a takeover, A otherwise; the other, if it runs, follows.
    Gateway& active = takeover ? b : a;
    Gateway& other = takeover ? a : b;
    const bool otherRuns = other.process && other.process->running();
    EXPECT_EQ(otherRuns, row.fault == Fault::StopActive || row.fault == Fault::RestartStandby);
    EXPECT_TRUE(waitUntil([&] { return leaseHolder(*link, site()) == active.name; }, 10000))
        << "the bucket names " << leaseHolder(*link, site());
    EXPECT_EQ(active.role(site()), "active");
    if (otherRuns) {
        // The old active, let run again, ends its session without a word and follows.
        EXPECT_TRUE(waitRole(other, "standby", 10000)) << other.failure();
    }

    // The gateway's consumer reaches the end of the OUT stream.
    EXPECT_TRUE(waitUntil([&] { return consumerEmpty(*link, out, StreamNames::gatewayConsumer); },
                          static_cast<int>(duration_cast<milliseconds>(settleLimit).count())))
        << active.failure();
    // The follower reaches the stream's end as it stands now.
    if (otherRuns) {
        std::uint64_t end = 0;
        waitUntil(
            [&] {
                return (end = streamState(*link, StreamNames::stateStream(site())).lastSeq) > 0;
            },
            10000);
        EXPECT_TRUE(waitUntil(
            [&] {
                std::this_thread::sleep_for(milliseconds(20));
                std::string applied =
                    word(other.home.readFile("logs/" + site() + ".follow"), "applied");
                return std::strtoull(applied.c_str(), nullptr, 10) >= end;
            },
            30000))
            << other.home.readFile("logs/" + site() + ".follow") << " where the stream ends at "
            << end;
    }

    // QuickFIX: every order once as new, in the order of their numbers (as its application got
    // them; a resend may come in behind newer messages); no number for two messages; no
    // complaint.
    const std::string story = a.failure() + "\n" + b.failure();
    std::vector<std::string> received = peer->records("IN");
    EXPECT_EQ(difference(copiesOf(peer->records("ORDER"), "D").first, expectedIds(n)), "none")
        << "orders at QuickFIX's application\n"
        << story;
    EXPECT_EQ(copiesOf(received, "D").newAgain, std::vector<std::string>{})
        << "orders sent again as new";
    EXPECT_EQ(numbersUsedTwice(received), std::vector<std::string>{}) << "at QuickFIX";
    std::vector<std::string> complaints = peer->complaints();
    EXPECT_EQ(complaints, std::vector<std::string>{});

    // Both gateways' outgoing logs together hold each number for one message only; what the
    // other logged, the active holds too (it went through the state stream first).
    std::vector<std::string> activeOut = nonEmptyLines(active.logLines(site(), "out"));
    std::vector<std::string> otherOut = nonEmptyLines(other.logLines(site(), "out"));
    std::vector<std::string> both = activeOut;
    both.insert(both.end(), otherOut.begin(), otherOut.end());
    EXPECT_EQ(numbersUsedTwice(both), std::vector<std::string>{}) << "in the gateways' logs";
    for (const char* direction : {"out", "in"}) {
        std::vector<std::string> mine = nonEmptyLines(active.logLines(site(), direction));
        std::set<std::string> held(mine.begin(), mine.end());
        int missing = 0;
        std::string firstMissing;
        for (const std::string& line : nonEmptyLines(other.logLines(site(), direction))) {
            if (held.count(line)) continue;
            if (missing++ == 0) firstMissing = FixPeer::bars(line);
        }
        EXPECT_EQ(missing, 0) << direction << " log of " << other.name << " holds what "
                              << active.name << "'s lacks, first: " << firstMissing;
    }
    // A follower that runs holds every order and every execution (the restarted one caught up).
    if (otherRuns) {
        EXPECT_EQ(difference(copiesOf(otherOut, "D").first, expectedIds(n)), "none")
            << "orders in " << other.name << "'s log";
        std::vector<std::string> fills =
            copiesOf(nonEmptyLines(other.logLines(site(), "in")), "8").first;
        EXPECT_EQ(difference(fills, expectedIds(n)), "none")
            << "executions in " << other.name << "'s log";
    }

    // The IN stream holds every execution once, in order.
    std::int64_t inHeld = -1;
    waitUntil([&] { return (inHeld = streamState(*link, in).msgs) >= 0; }, 10000);
    EXPECT_GE(inHeld, n) << "what " << in << " holds";
    Inbound inbound = readInbound(*link, site(), inHeld);
    EXPECT_EQ(inbound.repeatedIds, 0);
    EXPECT_EQ(difference(inbound.clOrdIds, expectedIds(n)), "none")
        << "executions on " << in << "\n"
        << story;
}

INSTANTIATE_TEST_SUITE_P(Rows, StandbyFaults, ::testing::ValuesIn(faultCases));

// Both gateways of a site started in the same instant, again and again: each time exactly one
// takes the lease and logs on, the other follows, and the bucket names the one that says it is
// active. Stopping the active releases the lease for the next start.
TEST_F(StandbySite, BothStartedAtOnceExactlyOneBecomesActiveEveryTime) {
    const int starts = fromEnvironment("FIXGATE_JS_STARTS", 10);
    prepare(Role::Connect);
    if (HasFatalFailure()) return;
    startPeer();
    std::map<std::string, int> wins;
    for (int k = 0; k < starts; ++k) {
        for (Gateway* g : {&a, &b})
            std::remove((g->home.logsDir() + "/" + site() + ".lease").c_str());
        start(a);
        start(b);
        bool bothActive = false;
        auto settled = [&] {
            std::string ra = a.role(site()), rb = b.role(site());
            bothActive = bothActive || (ra == "active" && rb == "active");
            return (ra == "active" && rb == "standby") || (ra == "standby" && rb == "active");
        };
        ASSERT_TRUE(waitUntil(settled, 20000))
            << "start " << k << ": " << a.role(site()) << " / " << b.role(site()) << "\n"
            << a.failure() << "\n"
            << b.failure();
        // A second active would show within one of the standby's tries (every second at most).
        waitUntil([&] { return !settled(); }, 1500);
        EXPECT_FALSE(bothActive) << "start " << k << "\n" << a.failure() << "\n" << b.failure();
        Gateway& active = a.role(site()) == "active" ? a : b;
        Gateway& standby = &active == &a ? b : a;
        ++wins[active.name];
        EXPECT_EQ(standby.role(site()), "standby") << "start " << k;
        EXPECT_EQ(leaseHolder(*link, site()), active.name) << "start " << k;
        EXPECT_TRUE(
            peer->waitFor("LOGON", "", static_cast<std::size_t>(k + 1), milliseconds(10000)))
            << "start " << k << ": " << active.failure();
        standby.process->stop(milliseconds(5000));
        ProcessResult end = active.process->stop(milliseconds(5000));
        EXPECT_TRUE(end.exited) << end.out << end.err;
        EXPECT_EQ(leaseHolder(*link, site()), "-") << "start " << k << ": the lease was kept";
    }
    std::cout << "A active " << wins["A"] << " times, B " << wins["B"] << " times" << std::endl;
    EXPECT_EQ(peer->complaints(), std::vector<std::string>{});
}

}  // namespace
