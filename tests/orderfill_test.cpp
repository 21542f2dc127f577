// The example application orderfill run as a process between two queues: it keeps taking orders
// while the answers queue is full, hands every fill over in order once there is room, and says so
// when a stop leaves fills it could not hand over.
#include <gtest/gtest.h>
#include <nats/nats.h>
#include <signal.h>
#include <sys/msg.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "FixPeer.h"
#include "GatewayTest.h"
#include "Key.h"
#include "MemoryCell.h"
#include "NatsCluster.h"
#include "NatsLink.h"
#include "StreamInlet.h"
#include "StreamNames.h"
#include "StreamOutlet.h"
#include "StreamSetup.h"
#include "TestUtil.h"

namespace {

using namespace std::chrono;

// Messages waiting on a queue.
long waitingOn(const std::string& name) {
    msqid_ds ds{};
    int id = msgget(Key(name).get_ipc_key(), 0);
    if (id < 0 || msgctl(id, IPC_STAT, &ds) < 0) return -1;
    return static_cast<long>(ds.msg_qnum);
}

class OrderFill : public GatewayTest {
  protected:
    void SetUp() override {
        GatewayTest::SetUp();
        shm->registerName("SPARE");
        cell = shm->registerName("BRK1");
        // Room for a few fills only, so the answers queue is full long before the orders end.
        ASSERT_TRUE(input->setByteLimit(4096));
        FixPeer broker("BRK1", "GATE");
        for (int i = 1; i <= orders; ++i) {
            output->write(
                broker.make("35=D|11=O" + std::to_string(i) + "|55=IBM|54=1|38=100|44=10", i),
                WaitMode, 1);
        }
        gw = std::make_unique<BackgroundProcess>("orderfill",
                                                 std::vector<std::string>{table, qout, qin, "-q"});
        // Every order is taken although the first fills already fill the answers queue.
        ASSERT_TRUE(waitUntil([&] { return waitingOn(qout) == 0; }, 5000))
            << waitingOn(qout) << " orders left; " << gw->errors();
        EXPECT_EQ(cell->In.proc, orders);
        EXPECT_LT(cell->Out.pend, orders);
    }

    static constexpr int orders = 100;
    MemoryCell* cell = nullptr;
};

TEST_F(OrderFill, KeepsTakingOrdersWhileItsAnswersWaitForRoomAndHandsEveryFillOverInOrder) {
    std::vector<std::string> fills;
    waitUntil(
        [&] {
            for (std::string t; !(t = input->read(2, NoWaitMode)).empty();) fills.push_back(t);
            return fills.size() == static_cast<size_t>(orders);
        },
        5000);
    ASSERT_EQ(fills.size(), static_cast<size_t>(orders));
    for (int i = 0; i < orders; ++i) {
        EXPECT_EQ(FixPeer::field(fills[i], 11), "O" + std::to_string(i + 1));
        EXPECT_EQ(FixPeer::field(fills[i], 39), "2");
    }
    EXPECT_EQ(cell->Out.pend, orders);
    ProcessResult r = gw->stop();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "orderfill: 100 order(s) filled\n");
}

TEST_F(OrderFill, StopWithFillsStillWaitingForRoomSaysHowManyAndFails) {
    long handedOver = cell->Out.pend;
    ProcessResult r = gw->stop();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "orderfill: " + std::to_string(orders - handedOver) +
                         " execution(s) not delivered: the answers queue had no room.\n");
    EXPECT_EQ(waitingOn(qin), handedOver);
}

// With -j orders come from the site's inbound stream and fills go to its outbound stream under the
// id "orderfill:<site>:<order's sequence>": a run killed mid-way and started again leaves each
// fill stored once, since an order is acknowledged only after its fill is stored.
class OrderFillStream : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!NatsCluster::available()) GTEST_SKIP() << "nats-server is not installed";
        cluster = std::make_unique<NatsCluster>(1);
        link = std::make_unique<NatsLink>(NatsLink::Settings::withServers(cluster->servers()),
                                          "orderfill test");
        for (bool in : {true, false}) {
            StreamSetup::apply(
                *link, in ? StreamNames::inStream("BRK1") : StreamNames::outStream("BRK1"),
                in ? StreamNames::inSubject("BRK1") : StreamNames::outSubject("BRK1"), {});
        }
        StreamOutlet orders(*link, StreamNames::inStream("BRK1"), StreamNames::inSubject("BRK1"),
                            64);
        FixPeer broker("BRK1", "GATE");
        for (int i = 1; i <= count; ++i) {
            std::string order =
                broker.make("35=D|11=O" + std::to_string(i) + "|55=IBM|54=1|38=100|44=10", i);
            ASSERT_TRUE(orders.offer(std::to_string(i), order));
        }
        ASSERT_EQ(orders.drain(5000), 0u) << orders.lastFault();
    }

    // Every fill on the outbound stream by its id, read until `want` are there or a bounded wait.
    std::map<std::string, std::string> fills(std::size_t want, int rounds) {
        StreamInlet inlet(*link, StreamNames::outStream("BRK1"), StreamNames::outSubject("BRK1"),
                          "check");
        for (int i = 0; i < rounds && seen.size() < want; ++i) {
            for (const auto& m : inlet.fetch(count, 500)) {
                ++stored;
                seen[m.header("Nats-Msg-Id")] = m.text;
                inlet.ack(m);
            }
        }
        return seen;
    }

    std::vector<std::string> args() { return {"-j", cluster->servers(), "-s", "BRK1"}; }

    static constexpr int count = 20;
    std::unique_ptr<NatsCluster> cluster;
    std::unique_ptr<NatsLink> link;
    std::map<std::string, std::string> seen;
    std::size_t stored = 0;
};

TEST_F(OrderFillStream, AnswersEveryOrderWithOneFillUnderTheOrdersSequence) {
    std::vector<std::string> a = args();
    a.insert(a.end(), {"-n", std::to_string(count), "-q"});
    ProcessResult r = runProgram("orderfill", a);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "orderfill: 20 order(s) filled\n");
    fills(count, 10);
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(stored, seen.size());
    for (int i = 1; i <= count; ++i) {
        std::string id = "orderfill:BRK1:" + std::to_string(i);
        ASSERT_EQ(seen.count(id), 1u) << id;
        EXPECT_EQ(FixPeer::field(seen[id], 11), "O" + std::to_string(i));
        EXPECT_EQ(FixPeer::field(seen[id], 39), "2");
    }
}

// A run that stored its fills and died before acknowledging their orders is a consumer that
// has lost its acknowledgements: here it is deleted, so every order comes again.
TEST_F(OrderFillStream, OrdersTakenAgainAfterLostAcknowledgementsStoreEachFillOnce) {
    std::vector<std::string> a = args();
    a.insert(a.end(), {"-n", "5", "-q"});
    ProcessResult first = runProgram("orderfill", a);
    ASSERT_TRUE(first.exited);
    ASSERT_EQ(first.exitCode, 0) << first.err;
    jsErrCode code = static_cast<jsErrCode>(0);
    ASSERT_EQ(js_DeleteConsumer(link->jetStream(), StreamNames::inStream("BRK1").c_str(),
                                "orderfill", nullptr, &code),
              NATS_OK);
    a = args();
    a.insert(a.end(), {"-n", std::to_string(count), "-q"});
    ProcessResult again = runProgram("orderfill", a);
    ASSERT_TRUE(again.exited);
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(again.out, "orderfill: 20 order(s) filled\n");
    fills(count + 1, 4);
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(stored, static_cast<std::size_t>(count));
}

TEST(OrderFillStreamRefusal, UnreachableServersEndWithALineAndMissingSitesWithTheUsage) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    } cases[] = {
        {{"-j", "nats://127.0.0.1:1", "-s", "BRK1"},
         1,
         "",
         "orderfill: Fail to reach the NATS servers [nats://127.0.0.1:1]"},
        {{"-j", "nats://127.0.0.1:1"}, 255, "Usage: orderfill", ""},
        {{"-j", "nats://127.0.0.1:1", "-s", "B*"}, 255, "Usage: orderfill", "Site [B*] cannot"},
    };
    for (const Case& c : cases) {
        ProcessResult r = runProgram("orderfill", c.args);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exitCode, c.status) << r.err;
        EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << r.out;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    }
}

}  // namespace
