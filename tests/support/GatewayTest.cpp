#include "GatewayTest.h"

#include <sys/ipc.h>

#include <chrono>
#include <string>
#include <vector>

#include "TestUtil.h"

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

std::unique_ptr<BackgroundProcess> GatewayTest::startGatelisten(int& port) const {
    return startGatelisten(port, options());
}

std::unique_ptr<BackgroundProcess> GatewayTest::startGatelisten(int& port,
                                                                const ProcessOptions& where) const {
    for (int attempt = 0; attempt < 3; ++attempt) {
        port = freePort();
        auto p = std::make_unique<BackgroundProcess>(
            "gatelisten",
            std::vector<std::string>{table, "-p", std::to_string(port), "-i", qin, "-o", qout},
            where);
        std::string ready = "Socket service [" + std::to_string(port) + "] was created.";
        if (p->waitForOutput(ready, std::chrono::milliseconds(5000))) return p;
    }
    return nullptr;
}

ProcessOptions GatewayTest::options() const {
    ProcessOptions o;
    o.cwd = home.root();
    o.env = {{"FIXHOME", home.root()}};
    return o;
}
