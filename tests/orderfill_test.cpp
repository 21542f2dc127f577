// The example application orderfill run as a process between two queues: it keeps taking orders
// while the answers queue is full, hands every fill over in order once there is room, and says so
// when a stop leaves fills it could not hand over.
#include <gtest/gtest.h>
#include <nats/nats.h>
#include <signal.h>
#include <sys/msg.h>

#include <chrono>
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
// id "orderfill:<site>:<order's sequence>", the order acknowledged once its fill is stored. A run
// whose acknowledgements were lost (here: its consumer deleted) takes every order again, and the
// fills it makes again are stored once.
TEST(OrderFillStream, FillsEachOrderOnceUnderItsSequenceAlsoWhenOrdersComeAgain) {
    ProcessResult down = runProgram("orderfill", {"-j", "nats://127.0.0.1:1", "-s", "BRK1"});
    EXPECT_EQ(down.exitCode, 1);
    EXPECT_EQ(down.err.rfind("orderfill: Fail to reach the NATS servers [nats://127.0.0.1:1]", 0),
              0u)
        << down.err;
    if (!NatsCluster::available()) GTEST_SKIP() << "nats-server is not installed";
    NatsCluster cluster(1);
    NatsLink link(NatsLink::Settings::withServers(cluster.servers()), "orderfill test");
    const std::string in = StreamNames::inStream("BRK1"), out = StreamNames::outStream("BRK1");
    StreamSetup::apply(link, in, StreamNames::inSubject("BRK1"), {});
    StreamSetup::apply(link, out, StreamNames::outSubject("BRK1"), {});
    StreamOutlet orders(link, in, StreamNames::inSubject("BRK1"), 64);
    FixPeer broker("BRK1", "GATE");
    for (int i = 1; i <= 20; ++i)
        ASSERT_TRUE(orders.offer(std::to_string(i),
                                 broker.make("35=D|11=O" + std::to_string(i) + "|55=IBM|38=9", i)));
    ASSERT_EQ(orders.drain(5000), 0u) << orders.lastFault();

    for (const char* count : {"5", "20"}) {
        ProcessResult r =
            runProgram("orderfill", {"-j", cluster.servers(), "-s", "BRK1", "-n", count, "-q"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, std::string("orderfill: ") + count + " order(s) filled\n");
        jsErrCode code = static_cast<jsErrCode>(0);
        ASSERT_EQ(js_DeleteConsumer(link.jetStream(), in.c_str(), "orderfill", nullptr, &code),
                  NATS_OK);
    }
    StreamInlet inlet(link, out, StreamNames::outSubject("BRK1"), "check");
    std::vector<StreamInlet::Message> fills;
    for (int i = 0; i < 10 && fills.size() <= 20; ++i)
        for (auto& m : inlet.fetch(30, fills.size() < 20 ? 500 : 200)) fills.push_back(m);
    ASSERT_EQ(fills.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(fills[i].header("Nats-Msg-Id"), "orderfill:BRK1:" + std::to_string(i + 1));
        EXPECT_EQ(FixPeer::field(fills[i].text, 11), "O" + std::to_string(i + 1));
        EXPECT_EQ(FixPeer::field(fills[i].text, 39), "2");
    }
}

}  // namespace
