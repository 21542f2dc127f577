// Base fixture of the tests that run a gateway program: a private site table, input and output
// queues and FIXHOME for each test, all removed afterwards, and the gateway (if one was started)
// stopped by its pid. A derived fixture registers its cells and writes its site configurations
// in its own SetUp after calling this one.
//
// Thread contract: one fixture per test, used from the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Ipc.h"
#include "MsgQueue.h"
#include "Process.h"
#include "Shm.h"
#include "TempHome.h"

class GatewayTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Working folder and FIXHOME both in the test's home.
    ProcessOptions options() const;

    // Starts gatelisten with the test's table and queues on a free port and waits until it
    // listens; nullptr when it never did on three ports in a row. `port` gets the port it took.
    std::unique_ptr<BackgroundProcess> startGatelisten(int& port) const;
    std::unique_ptr<BackgroundProcess> startGatelisten(int& port,
                                                       const ProcessOptions& where) const;

    IpcNames ipc;
    TempHome home;
    std::string table, qin, qout;
    std::unique_ptr<Shm> shm;
    std::unique_ptr<MsgQueue> input, output;
    std::unique_ptr<BackgroundProcess> gw;
};
