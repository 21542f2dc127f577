#include "GatewayTest.h"

#include <sys/ipc.h>

#include <chrono>

void GatewayTest::SetUp() {
    table = ipc.name();
    qin = ipc.name();
    qout = ipc.name();
    shm = std::make_unique<Shm>(table);
    input = std::make_unique<MsgQueue>(qin, 0, IPC_CREAT);
    output = std::make_unique<MsgQueue>(qout, 0, IPC_CREAT);
}

void GatewayTest::TearDown() {
    if (gw) gw->stop(std::chrono::milliseconds(2000));
}

ProcessOptions GatewayTest::options() const {
    ProcessOptions o;
    o.cwd = home.root();
    o.env = {{"FIXHOME", home.root()}};
    return o;
}
