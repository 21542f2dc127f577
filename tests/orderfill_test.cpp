// The example application orderfill run as a process between two queues: it keeps taking orders
// while the answers queue is full, hands every fill over in order once there is room, and says so
// when a stop leaves fills it could not hand over.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/msg.h>

#include <chrono>
#include <string>
#include <vector>

#include "FixPeer.h"
#include "GatewayTest.h"
#include "Key.h"
#include "MemoryCell.h"
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

}  // namespace
