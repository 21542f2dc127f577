// The demo script run as a newcomer runs it (through its own bash, against the built programs):
// the orders come back as executions, the counters add up, and nothing it started or created is
// left behind, whether it finishes or is interrupted with Ctrl-C.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "Ipc.h"
#include "Process.h"
#include "TempHome.h"

namespace {

using std::chrono::milliseconds;

const std::string demoScript = std::string(FIXGATE_SOURCE_DIR) + "/examples/demo/demo.sh";

ProcessOptions demoOptions(const TempHome& home) {
    ProcessOptions options;
    options.cwd = home.root();
    options.env = {{"DEMO_DIR", home.root() + "/demo"}};
    options.timeout = milliseconds(60000);
    return options;
}

std::vector<std::string> matches(const std::string& text, const std::string& pattern) {
    std::vector<std::string> found;
    std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
         ++it)
        found.push_back((*it)[1]);
    return found;
}

// Everything the demo reported creating or starting is gone again.
void expectNothingLeft(const std::string& out) {
    std::vector<std::string> tables = matches(out, R"(Shared memory \[(\d+),)");
    std::vector<std::string> queues = matches(out, R"(Msgqueue \[(\d+),)");
    std::vector<std::string> pids = matches(out, R"(started \w+ \(pid (\d+)\))");
    EXPECT_EQ(tables.size(), 1u) << out;
    EXPECT_EQ(queues.size(), 4u) << out;
    EXPECT_FALSE(pids.empty()) << out;
    for (const std::string& t : tables) {
        EXPECT_FALSE(IpcNames::tableExists(t)) << "site table " << t << " left behind";
        IpcNames::removeTable(t);
    }
    for (const std::string& q : queues) {
        EXPECT_FALSE(IpcNames::queueExists(q)) << "queue " << q << " left behind";
        IpcNames::removeQueue(q);
    }
    for (const std::string& p : pids) {
        pid_t pid = static_cast<pid_t>(std::stol(p));
        bool gone = ::kill(pid, 0) != 0 && errno == ESRCH;
        EXPECT_TRUE(gone) << "process " << pid << " still runs";
    }
}

// The demo with each BeginString DEMO_FIX offers, and what every execution then carries: a
// FIX.4.2 fill, or a FIX 5.0 SP2 Trade (150=F, no ExecTransType) both sites' dictionaries allow.
struct DemoVersion {
    std::string setting;
    std::string beginString;  // as a pattern
    std::string execType;
};

void PrintTo(const DemoVersion& v, std::ostream* out) {
    *out << v.beginString;
}

class DemoRun : public ::testing::TestWithParam<DemoVersion> {};

TEST_P(DemoRun, OrdersComeBackAsExecutionsAndNothingIsLeftBehind) {
    TempHome home;
    ProcessOptions options = demoOptions(home);
    if (GetParam().setting.empty())
        options.unsetEnv = {"DEMO_FIX"};
    else
        options.env.push_back({"DEMO_FIX", GetParam().setting});
    ProcessResult r = runProgram("/bin/bash", {demoScript, FIXGATE_BIN_DIR}, options);

    ASSERT_TRUE(r.exited) << r.out << r.err;
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    std::vector<std::string> executions =
        matches(r.out, R"(\[qdrain\] (8=)" + GetParam().beginString + R"(\|.*\|35=8\|.*))");
    ASSERT_EQ(executions.size(), 3u) << r.out;
    EXPECT_NE(executions[0].find("|11=DEMO-1|"), std::string::npos) << executions[0];
    EXPECT_NE(executions[1].find("|11=DEMO-2|"), std::string::npos) << executions[1];
    EXPECT_NE(executions[2].find("|11=DEMO-3|"), std::string::npos) << executions[2];
    for (const std::string& e : executions)
        EXPECT_NE(e.find("|150=" + GetParam().execType + "|"), std::string::npos) << e;
    // Each side took and handled three application messages in each direction.
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(BUYSIDE +In: seq +\d+ pend +3 proc +3 +)"
                                                    R"(Out: seq +\d+ pend +3 proc +3)")))
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(SELLSIDE +In: seq +\d+ pend +3 proc +3 +)"
                                                    R"(Out: seq +\d+ pend +3 proc +3)")))
        << r.out;
    EXPECT_TRUE(home.exists("demo/initiator/logs")) << r.out;
    expectNothingLeft(r.out);
}

INSTANTIATE_TEST_SUITE_P(Versions, DemoRun,
                         ::testing::Values(DemoVersion{"", R"(FIX\.4\.2)", "2"},
                                           DemoVersion{"FIXT.1.1", R"(FIXT\.1\.1)", "F"}),
                         [](const ::testing::TestParamInfo<DemoVersion>& info) {
                             return info.param.setting.empty() ? std::string("Default")
                                                               : std::string("Fixt");
                         });

TEST(Demo, CtrlCStopsEveryProcessAndRemovesTheTableAndQueues) {
    TempHome home;
    BackgroundProcess demo("/bin/bash", {demoScript, FIXGATE_BIN_DIR}, demoOptions(home));
    ASSERT_TRUE(demo.waitForOutput("started gateconnect", milliseconds(30000)))
        << demo.output() << demo.errors();

    demo.kill(SIGINT);
    ProcessResult r = demo.wait(milliseconds(20000));
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 130) << r.out << r.err;
    EXPECT_NE(r.out.find("removed site table"), std::string::npos) << r.out;
    expectNothingLeft(r.out);
}

}  // namespace
