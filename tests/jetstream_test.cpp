// A site whose applications reach the gateway through JetStream, end to end under faults: the test
// publishes orders to the site's OUT stream, gateconnect sends them to our gatelisten, where
// orderfill (queues) fills each one, and the executions come back onto the IN stream, which an
// application (qdrain) drains. One fault per row, mid-flow; afterwards every order reached the
// counterparty once as a new message and in order, every execution is on the IN stream once and
// in MsgSeqNum order, and no consumer holds anything. A second table covers what the gateways
// refuse at start and which texts the gateway refuses. Skipped where nats-server is missing.
#include <gtest/gtest.h>
#include <nats/nats.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FixPeer.h"
#include "GatewayTest.h"
#include "NatsCluster.h"
#include "NatsLink.h"
#include "OrderFlow.h"
#include "Process.h"
#include "StreamInlet.h"
#include "StreamNames.h"
#include "StreamOutlet.h"
#include "StreamSetup.h"
#include "TempHome.h"
#include "TestUtil.h"
#include "Time.h"

namespace {

using namespace std::chrono;
using namespace orderflow;
using Clock = steady_clock;

const std::string site = "SELLSIDE";    // served by gateconnect, applications on JetStream
const std::string counter = "BUYSIDE";  // served by gatelisten, applications on queues
constexpr seconds rowLimit{150};        // a whole flow, the fault included
constexpr seconds settleLimit{75};      // consumers drained once the last execution is stored

// Messages the stream holds; -1 when the servers do not answer.
std::int64_t stored(NatsLink& link, const std::string& stream) {
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    if (js_GetStreamInfo(&info, link.jetStream(), stream.c_str(), nullptr, &code) != NATS_OK)
        return -1;
    auto n = static_cast<std::int64_t>(info->State.Msgs);
    jsStreamInfo_Destroy(info);
    return n;
}

// What a durable consumer still holds: not yet delivered, delivered and not acknowledged.
struct Held {
    bool known = false;
    std::uint64_t pending = 0;
    std::int64_t ackPending = 0;
    std::uint64_t ackFloor = 0;  // the stream sequence up to which everything is acknowledged
    bool empty() const { return known && pending == 0 && ackPending == 0; }
};

Held held(NatsLink& link, const std::string& stream, const std::string& durable) {
    jsConsumerInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    Held h;
    if (js_GetConsumerInfo(&info, link.jetStream(), stream.c_str(), durable.c_str(), nullptr,
                           &code) != NATS_OK)
        return h;
    h = {true, info->NumPending, info->NumAckPending, info->AckFloor.Stream};
    jsConsumerInfo_Destroy(info);
    return h;
}

std::string describe(const Held& h) {
    if (!h.known) return "unknown";
    return "pending " + std::to_string(h.pending) + ", unacknowledged " +
           std::to_string(h.ackPending);
}

// Everything the IN stream holds, read through a consumer of the test's own.
struct Inbound {
    std::vector<std::string> clOrdIds;  // of the executions, in stream order
    std::set<std::string> msgIds;
    int repeatedIds = 0;
    std::vector<std::string> outOfOrder;  // ids whose MsgSeqNum does not rise
};

// Reads until the consumer has seen `held` messages; a cluster that lost a server may answer
// the first fetches of a new consumer late, so only a long run of empty fetches ends it sooner.
Inbound readInbound(NatsLink& link, std::int64_t held) {
    // A cluster that lost a server may still be choosing its leaders: a few tries.
    std::unique_ptr<StreamInlet> made;
    for (int attempt = 0; attempt < 10 && !made; ++attempt) {
        try {
            made = std::make_unique<StreamInlet>(link, StreamNames::inStream(site),
                                                 StreamNames::inSubject(site), "audit");
        } catch (const NatsException&) {
            if (attempt == 9) throw;
        }
    }
    Inbound in;
    long lastSeq = 0;
    std::int64_t seen = 0;
    for (int empty = 0; seen < held && empty < 30;) {
        std::vector<StreamInlet::Message> batch = made->fetch(256, 1000);
        if (batch.empty()) ++empty;
        for (const StreamInlet::Message& m : batch) {
            ++seen;
            std::string id = m.header("Nats-Msg-Id");
            if (!in.msgIds.insert(id).second) ++in.repeatedIds;
            long seq = std::atol(id.substr(id.rfind(':') + 1).c_str());
            if (seq <= lastSeq) in.outOfOrder.push_back(id);
            lastSeq = seq;
            if (FixPeer::field("\x01" + m.text, 35) == "8")
                in.clOrdIds.push_back(FixPeer::field("\x01" + m.text, 11));
            made->ack(m);
        }
    }
    return in;
}

// The orders in a FIX log: ClOrdIDs in the order of their first copies, those copied again
// without PossDupFlag=Y, and the Logons.
struct Orders {
    std::vector<std::string> first, newAgain;
    int logons = 0;
};

Orders ordersIn(const std::string& log) {
    Orders o;
    std::set<std::string> seen;
    for (const std::string& line : nonEmptyLines(log)) {
        std::string type = FixPeer::field(line, 35);
        if (type == "A") ++o.logons;
        if (type != "D") continue;
        std::string id = FixPeer::field(line, 11);
        if (seen.insert(id).second) {
            o.first.push_back(id);
        } else if (FixPeer::field(line, 43) != "Y") {
            o.newAgain.push_back(id);
        }
    }
    return o;
}

// The gateway and the acceptor's site share one site table; each has its own FIXHOME.
class JetStreamSite : public GatewayTest {
  protected:
    void SetUp() override {
        if (!NatsCluster::available()) GTEST_SKIP() << "nats-server is not installed";
        GatewayTest::SetUp();
        shm->registerName(counter)->status = ' ';
        shm->registerName(site)->status = ' ';
        home.writeCfg(counter, example("acceptor/cfg/BUYSIDE.fix"));
        initiator.writeCfg(site, example("initiator/cfg/SELLSIDE.fix") + "@ {apps=jetstream}\n");
    }

    void TearDown() override {
        for (auto* p : {&reader, &gateconnect, &filler}) {
            if (*p) (*p)->stop(milliseconds(3000));
        }
        GatewayTest::TearDown();
    }

    ProcessOptions initiatorOptions() const {
        ProcessOptions o;
        o.cwd = initiator.root();
        o.env = {{"FIXHOME", initiator.root()}};
        return o;
    }

    std::unique_ptr<BackgroundProcess> startGateconnect(int port, const std::string& servers) {
        return std::make_unique<BackgroundProcess>(
            "gateconnect",
            std::vector<std::string>{table, site, "127.0.0.1", std::to_string(port), "-j", servers},
            initiatorOptions());
    }

    std::string logPath(const std::string& s, const char* direction) const {
        return "logs/" + s + "." + direction + "." + Time().getLogDate();
    }

    TempHome initiator;
    std::unique_ptr<BackgroundProcess> reader, gateconnect, filler;
};

enum class Fault { KillGateway, KillOneServer, StopAllServers, KillReader };

struct FaultCase {
    const char* behaviour;
    Fault fault;
};

// Rows are named by their behaviour in test listings.
void PrintTo(const FaultCase& row, std::ostream* os) {
    *os << row.behaviour;
}

const FaultCase faultCases[] = {
    // Fails now, a fault of the gateway: one batch of up to 32 orders the killed gateconnect had
    // fetched and not yet journalled is never sent. The restarted one takes the newer orders
    // first; the old ones come again only after the consumer's wait, below the journal's highest
    // taken sequence, and are acknowledged as if sent before.
    {"gateconnect killed -9 and started again on its FIXHOME", Fault::KillGateway},
    {"one server of three killed -9 and left down", Fault::KillOneServer},
    {"every server stopped for 10 s while the FIX session stays logged on", Fault::StopAllServers},
    {"the application reading the IN stream killed -9 and started again", Fault::KillReader},
};

class JetStreamFaults : public JetStreamSite, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(JetStreamFaults, EveryOrderGoesOutOnceAndEveryExecutionComesInOnce) {
    const FaultCase& row = GetParam();
    const int n = fromEnvironment("FIXGATE_JS_ORDERS", 10000);
    NatsCluster cluster(3);
    const std::string servers = cluster.servers();
    ProcessResult made = runProgram("streammake", {site, "-j", servers, "-r", "3"});
    ASSERT_EQ(made.exitCode, 0) << made.out << made.err;
    for (const std::string& q : {qin, qout}) ASSERT_EQ(runProgram("queuemake", {q}).exitCode, 0);

    filler = std::make_unique<BackgroundProcess>("orderfill",
                                                 std::vector<std::string>{table, qout, qin, "-q"});
    int port = 0;
    gw = startGatelisten(port);
    ASSERT_TRUE(gw) << "gatelisten did not start listening";
    gateconnect = startGateconnect(port, servers);
    ASSERT_TRUE(gateconnect->waitForOutput("<-LOGON>", milliseconds(15000)))
        << gateconnect->output() << gateconnect->errors();
    const std::vector<std::string> readerArgs{table, "-", "-j", servers, "-s", site, "-d", "app"};
    reader = std::make_unique<BackgroundProcess>("qdrain", readerArgs);
    NatsLink link(NatsLink::Settings::withServers(servers), "jetstream_test");
    const std::string out = StreamNames::outStream(site), in = StreamNames::inStream(site);
    // The flow starts once the application has its consumer.
    ASSERT_TRUE(waitUntil([&] { return held(link, in, "app").known; }, 10000)) << reader->errors();

    StreamOutlet outlet(link, StreamNames::outStream(site), StreamNames::outSubject(site), 1000);
    int offered = 0;
    std::size_t acknowledged = 0;
    bool faulted = false, readerAcknowledged = false;
    std::int64_t executions = 0;
    const Clock::time_point start = Clock::now(), limit = start + rowLimit;
    Clock::time_point nextLook = start, faultAt{};
    // A small flow (the sanitizer builds') may be through before the application's first
    // acknowledgement: the fault still comes, while the application drains.
    while (Clock::now() < limit &&
           (!faulted || acknowledged < static_cast<std::size_t>(n) || executions < n)) {
        while (offered < n &&
               outlet.offer("app:" + std::to_string(offered + 1), order(clOrdId(offered + 1))))
            ++offered;
        acknowledged += outlet.takeAcknowledged();
        if (Clock::now() >= nextLook) {
            executions = stored(link, in);
            readerAcknowledged = readerAcknowledged || held(link, in, "app").ackFloor > 0;
            nextLook = Clock::now() + milliseconds(100);
        }
        // Mid-flow, and the application is at work.
        if (!faulted && executions >= n / 3 && readerAcknowledged) {
            faulted = true;
            faultAt = Clock::now();
            switch (row.fault) {
                case Fault::KillGateway:
                    gateconnect->kill(SIGKILL);
                    gateconnect->wait(milliseconds(5000));
                    gateconnect = startGateconnect(port, servers);
                    break;
                case Fault::KillOneServer:
                    cluster.kill(0);
                    break;
                case Fault::StopAllServers:
                    cluster.stopAll();
                    std::this_thread::sleep_for(seconds(10));
                    EXPECT_TRUE(gateconnect->running()) << gateconnect->errors();
                    cluster.startAll();
                    break;
                case Fault::KillReader:
                    reader->kill(SIGKILL);
                    reader->wait(milliseconds(5000));
                    reader = std::make_unique<BackgroundProcess>("qdrain", readerArgs);
                    break;
            }
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    std::cout << row.behaviour << ": " << offered << " offered, " << acknowledged << " stored, "
              << executions << " executions in "
              << duration_cast<milliseconds>(Clock::now() - start).count() << " ms (fault after "
              << duration_cast<milliseconds>(faultAt - start).count() << " ms)" << std::endl;
    EXPECT_TRUE(faulted) << "the flow never reached a third of the executions";
    EXPECT_EQ(acknowledged, static_cast<std::size_t>(n)) << outlet.lastFault();

    // Both consumers reach the end of their streams; the gateway's own says the orders all went.
    const Clock::time_point settling = Clock::now();
    waitUntil(
        [&] {
            return held(link, out, StreamNames::gatewayConsumer).empty() &&
                   held(link, in, "app").empty();
        },
        static_cast<int>(duration_cast<milliseconds>(settleLimit).count()));
    std::cout << "consumers settled in "
              << duration_cast<milliseconds>(Clock::now() - settling).count() << " ms" << std::endl;
    EXPECT_TRUE(held(link, out, StreamNames::gatewayConsumer).empty())
        << "gateway: " << describe(held(link, out, StreamNames::gatewayConsumer));
    EXPECT_TRUE(held(link, in, "app").empty())
        << "qdrain: " << describe(held(link, in, "app")) << "\n"
        << reader->errors();

    // The test's own link may have been on the killed server: ask until the cluster answers.
    std::int64_t inHeld = -1;
    waitUntil([&] { return (inHeld = stored(link, in)) >= 0; }, 10000);
    EXPECT_GE(inHeld, n) << "what " << in << " holds";
    Inbound inbound = readInbound(link, inHeld);
    EXPECT_EQ(inbound.repeatedIds, 0);
    EXPECT_EQ(inbound.outOfOrder, std::vector<std::string>{});
    EXPECT_EQ(difference(inbound.clOrdIds, expectedIds(n)), "none") << "executions on " << in;
    // Acknowledgements are not waited for, so the last ones may still be on their way.
    EXPECT_TRUE(waitUntil([&] { return held(link, in, "audit").empty(); }, 10000))
        << describe(held(link, in, "audit"));

    const bool stillRunning = gateconnect->running();
    ProcessResult end = gateconnect->stop(milliseconds(5000));
    EXPECT_TRUE(stillRunning) << "exit " << end.exitCode << ", signal " << end.signal << "\n"
                              << end.out << end.err;
    Orders sent = ordersIn(home.readFile(logPath(counter, "in")));
    EXPECT_EQ(difference(sent.first, expectedIds(n)), "none") << "orders at the counterparty\n"
                                                              << end.out << end.err;
    EXPECT_EQ(sent.newAgain, std::vector<std::string>{}) << "orders sent again as new";
    if (row.fault == Fault::StopAllServers) {
        EXPECT_EQ(sent.logons, 1) << "the session logged on again while the servers were down";
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, JetStreamFaults, ::testing::ValuesIn(faultCases));

// Start-up refusals of gateconnect: it names the fault and ends before it reaches the
// counterparty.
enum class Setup { Unreachable, NoStreams, OtherSubject };

struct StartCase {
    const char* behaviour;
    Setup setup;
    const char* line;  // in gateconnect's output
};

// Rows are named by their behaviour in test listings.
void PrintTo(const StartCase& row, std::ostream* os) {
    *os << row.behaviour;
}

const StartCase startCases[] = {
    {"servers nobody serves", Setup::Unreachable, "Fail to reach the NATS servers"},
    {"a site without streams", Setup::NoStreams,
     "Stream FIXGATE_SELLSIDE_OUT does not exist on the NATS servers"},
    {"an OUT stream on another subject", Setup::OtherSubject,
     "Stream FIXGATE_SELLSIDE_OUT does not take subject fixgate.SELLSIDE.out"},
};

class JetStreamStart : public JetStreamSite, public ::testing::WithParamInterface<StartCase> {};

TEST_P(JetStreamStart, GateconnectRefusesBeforeItConnects) {
    const StartCase& row = GetParam();
    NatsCluster cluster(1);
    std::string servers = cluster.servers();
    if (row.setup == Setup::Unreachable) servers = "nats://127.0.0.1:" + std::to_string(freePort());
    if (row.setup == Setup::OtherSubject) {
        NatsLink link(NatsLink::Settings::withServers(servers), "jetstream_test");
        StreamSetup::apply(link, "FIXGATE_SELLSIDE_OUT", "other.subject", StreamSettings{});
    }
    FixPeer peer(site, counter);
    int port = peer.listen();
    gateconnect = startGateconnect(port, servers);
    ProcessResult end = gateconnect->wait(milliseconds(20000));
    EXPECT_TRUE(end.exited && end.exitCode != 0) << end.exitCode << " " << end.signal;
    EXPECT_NE((end.out + end.err).find(row.line), std::string::npos) << end.out << end.err;
    EXPECT_FALSE(peer.accept(200)) << "gateconnect reached the counterparty";
}

INSTANTIATE_TEST_SUITE_P(Rows, JetStreamStart, ::testing::ValuesIn(startCases));

// gatelisten refuses the Logon of a JetStream site whose streams are missing and still serves a
// queue site beside it.
TEST_F(JetStreamSite, GatelistenRefusesASiteWithoutStreamsAndServesTheOthers) {
    NatsCluster cluster(1);
    std::string cfg = example("acceptor/cfg/BUYSIDE.fix");
    const std::string role = "@ {role=acceptor}";
    ASSERT_NE(cfg.find(role), std::string::npos);
    home.writeCfg(counter,
                  cfg.replace(cfg.find(role), role.size(), "@ {role=acceptor apps=jetstream}"));
    shm->registerName("QSITE")->status = ' ';
    home.writeCfg("QSITE",
                  "~ {8=FIX.4.2,9=,35=,49=SELLSIDE,56=QSITE,34=,52=}\nA {98=0,108=30}\n"
                  "0 {}\n1 {112=}\n2 {7=,16=}\n3 {}\n4 {123=Y}\n5 {}\n");
    int port = freePort();
    gw = std::make_unique<BackgroundProcess>(
        "gatelisten",
        std::vector<std::string>{table, "-p", std::to_string(port), "-i", qin, "-o", qout, "-j",
                                 cluster.servers()},
        options());
    ASSERT_TRUE(gw->waitForOutput("Socket service [" + std::to_string(port) + "] was created.",
                                  milliseconds(10000)))
        << gw->output() << gw->errors();

    struct Row {
        const char* sender;
        bool served;
    };
    for (const Row& row : {Row{"BUYSIDE", false}, Row{"QSITE", true}}) {
        FixPeer peer(row.sender, site);
        ASSERT_TRUE(peer.connect(port));
        peer.send("35=A|98=0|108=30", 1);
        EXPECT_EQ(!peer.readType("A", 5000).empty(), row.served) << row.sender;
    }
    EXPECT_TRUE(gw->waitForOutput("Thread Exit [-5]", milliseconds(5000))) << gw->output();
    EXPECT_NE(gw->output().find("FIXGATE_BUYSIDE_"), std::string::npos) << gw->output();
}

// Texts the gateway cannot send are reported, acknowledged and skipped; the next one goes out.
struct TextCase {
    const char* behaviour;
    std::string text;
    const char* reason;  // in gateconnect's line on standard error
};

// Rows are named by their behaviour in test listings.
void PrintTo(const TextCase& row, std::ostream* os) {
    *os << row.behaviour;
}

const TextCase textCases[] = {
    {"an empty text", "", "it is empty"},
    {"a text with a newline", FixPeer::soh("35=D|11=BAD|58=two\nlines|"), "it holds a newline"},
};

class JetStreamTexts : public JetStreamSite, public ::testing::WithParamInterface<TextCase> {};

TEST_P(JetStreamTexts, ARefusedTextIsAcknowledgedAndTheNextGoesOut) {
    const TextCase& row = GetParam();
    NatsCluster cluster(1);
    ASSERT_EQ(runProgram("streammake", {site, "-j", cluster.servers()}).exitCode, 0);
    FixPeer peer(site, counter);
    int port = peer.listen();
    gateconnect = startGateconnect(port, cluster.servers());
    ASSERT_TRUE(peer.accept(15000)) << gateconnect->output() << gateconnect->errors();
    ASSERT_FALSE(peer.readType("A", 5000).empty());
    peer.send("35=A|98=0|108=30", 1);

    NatsLink link(NatsLink::Settings::withServers(cluster.servers()), "jetstream_test");
    StreamOutlet outlet(link, StreamNames::outStream(site), StreamNames::outSubject(site), 8);
    ASSERT_TRUE(outlet.offer("bad", row.text));
    ASSERT_TRUE(outlet.offer("good", order("GOOD")));
    EXPECT_EQ(outlet.drain(10000), 0u) << outlet.lastFault();

    std::string next = peer.readType("D", 10000);
    EXPECT_EQ(FixPeer::field(next, 11), "GOOD") << FixPeer::bars(next);
    EXPECT_TRUE(gateconnect->running());
    EXPECT_NE(gateconnect->errors().find(row.reason), std::string::npos) << gateconnect->errors();
    const std::string out = StreamNames::outStream(site);
    EXPECT_TRUE(
        waitUntil([&] { return held(link, out, StreamNames::gatewayConsumer).empty(); }, 10000))
        << describe(held(link, out, StreamNames::gatewayConsumer));
}

INSTANTIATE_TEST_SUITE_P(Rows, JetStreamTexts, ::testing::ValuesIn(textCases));

}  // namespace
