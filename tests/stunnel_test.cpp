// The TLS deployment of the examples: gateconnect reaches gatelisten through a stunnel client and
// a stunnel server, each run from the example configuration with this test's ports and a
// self-signed certificate made here, and orders and executions cross the TLS link.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Ipc.h"
#include "MsgQueue.h"
#include "Process.h"
#include "TempHome.h"
#include "TestUtil.h"

namespace {

using std::chrono::milliseconds;

const std::string examples = std::string(FIXGATE_SOURCE_DIR) + "/examples";

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The example configuration with the given keys' values replaced, without a pid file or a change
// of user, as a test can run it.
std::string stunnelConfig(const std::string& example, std::map<std::string, std::string> values) {
    values["setuid"] = values["setgid"] = "";
    std::istringstream lines(readFile(examples + "/stunnel/" + example));
    std::string out = "pid =\n";
    for (std::string line; std::getline(lines, line);) {
        std::string key = line.substr(0, line.find(" ="));
        auto it = values.find(key);
        if (it == values.end()) {
            out += line + "\n";
        } else if (!it->second.empty()) {
            out += key + " = " + it->second + "\n";
        }
    }
    return out;
}

class StunnelPath : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* path : {"/usr/bin/stunnel4", "/usr/bin/stunnel"})
            if (access(path, X_OK) == 0) stunnel = path;
        if (stunnel.empty())
            GTEST_SKIP()
                << "stunnel is not installed (apt-get install stunnel4): TLS path not tested";
        table = ipc.name();
        for (std::string* q : {&acceptorIn, &acceptorOut, &initiatorIn, &initiatorOut}) {
            *q = ipc.name();
            MsgQueue(*q, 0, IPC_CREAT);
        }
        ProcessResult made = runProgram("tablemake", {table});
        ASSERT_EQ(made.exitCode, 0) << made.err;
        ProcessResult loaded = runProgram("siteload", {table, examples + "/sites.txt"});
        ASSERT_EQ(loaded.exitCode, 0) << loaded.out;
        acceptor.writeCfg("BUYSIDE", readFile(examples + "/acceptor/cfg/BUYSIDE.fix"));
        initiator.writeCfg("SELLSIDE", readFile(examples + "/initiator/cfg/SELLSIDE.fix"));
    }

    void TearDown() override {
        for (auto* p : {&gateconnect, &client, &server, &orderfill, &gatelisten})
            if (*p) (*p)->stop(milliseconds(3000));
    }

    ProcessOptions in(const TempHome& home) {
        ProcessOptions o;
        o.cwd = home.root();
        o.env = {{"FIXHOME", home.root()}};
        return o;
    }

    std::unique_ptr<BackgroundProcess> startStunnel(const std::string& name,
                                                    const std::string& text) {
        std::string conf = certs.writeFile(name, text);
        auto p = std::make_unique<BackgroundProcess>(stunnel, std::vector<std::string>{conf});
        bool ready = waitUntil(
            [&] { return p->errors().find("Configuration successful") != std::string::npos; },
            10000);
        EXPECT_TRUE(ready) << name << ": " << p->errors();
        return p;
    }

    IpcNames ipc;
    TempHome acceptor, initiator, certs;
    std::string stunnel, table, acceptorIn, acceptorOut, initiatorIn, initiatorOut;
    std::unique_ptr<BackgroundProcess> gatelisten, orderfill, server, client, gateconnect;
};

TEST_F(StunnelPath, OrdersAndExecutionsCrossTheTlsLinkBetweenTheGateways) {
    std::string cert = certs.root() + "/cert.pem", key = certs.root() + "/key.pem";
    ProcessResult openssl =
        runProgram("/usr/bin/openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt",
                                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
                                        "-subj", "/CN=localhost", "-keyout", key, "-out", cert});
    ASSERT_EQ(openssl.exitCode, 0) << openssl.err;

    int plainPort = freePort();
    gatelisten = std::make_unique<BackgroundProcess>(
        "gatelisten",
        std::vector<std::string>{table, "-p", std::to_string(plainPort), "-i", acceptorIn, "-o",
                                 acceptorOut},
        in(acceptor));
    ASSERT_TRUE(gatelisten->waitForOutput("Socket service", milliseconds(5000)))
        << gatelisten->output() << gatelisten->errors();
    orderfill = std::make_unique<BackgroundProcess>(
        "orderfill", std::vector<std::string>{table, acceptorOut, acceptorIn});

    int tlsPort = freePort();
    server = startStunnel(
        "acceptor.conf",
        stunnelConfig("acceptor.conf", {{"accept", "127.0.0.1:" + std::to_string(tlsPort)},
                                        {"connect", "127.0.0.1:" + std::to_string(plainPort)},
                                        {"cert", cert},
                                        {"key", key}}));
    int localPort = freePort();
    client = startStunnel(
        "initiator.conf",
        stunnelConfig("initiator.conf", {{"accept", "127.0.0.1:" + std::to_string(localPort)},
                                         {"connect", "127.0.0.1:" + std::to_string(tlsPort)},
                                         {"CAfile", cert},
                                         {"checkHost", "localhost"}}));

    gateconnect = std::make_unique<BackgroundProcess>(
        "gateconnect",
        std::vector<std::string>{table, "SELLSIDE", "127.0.0.1", std::to_string(localPort), "-i",
                                 initiatorIn, "-o", initiatorOut},
        in(initiator));
    ASSERT_TRUE(gateconnect->waitForOutput("<-LOGON>", milliseconds(10000)))
        << gateconnect->output() << gateconnect->errors() << client->errors() << server->errors();

    ProcessResult fed =
        runProgram("scriptfeed", {table, initiatorIn, "SELLSIDE", examples + "/demo/orders.txt"});
    ASSERT_EQ(fed.exitCode, 0) << fed.err;

    MsgQueue executions(initiatorOut, 0, 0);
    std::vector<std::string> received;
    waitUntil(
        [&] {
            std::string text = executions.read(0, IPC_NOWAIT);
            if (!text.empty()) received.push_back(text);
            return received.size() == 3;
        },
        15000);
    ASSERT_EQ(received.size(), 3u) << gateconnect->output() << orderfill->output();
    for (std::size_t i = 0; i < received.size(); ++i) {
        EXPECT_NE(received[i].find("\x01"
                                   "35=8\x01"),
                  std::string::npos)
            << received[i];
        EXPECT_NE(received[i].find("\x01"
                                   "11=DEMO-" +
                                   std::to_string(i + 1) + "\x01"),
                  std::string::npos)
            << received[i];
    }
    // The TLS handshake happened on both ends (stunnel logs the accepted connection).
    EXPECT_NE(server->errors().find("accepted connection"), std::string::npos) << server->errors();
    EXPECT_NE(client->errors().find("Certificate accepted"), std::string::npos) << client->errors();
}

}  // namespace
