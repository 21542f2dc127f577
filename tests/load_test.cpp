// One gatelisten under load, as a new user would run it: queues made by queuemake, orderfill
// answering every order, and counterparties that each keep a fixed number of orders in flight
// (a new NewOrderSingle for every ExecutionReport). First 2 sites with 300 in flight, then 31
// sites with 50, each for FIXGATE_LOAD_SECONDS seconds (60 by default). Every site must trade to
// the end, every order get its report, every Logout its answer, and the gateway's threads and
// descriptors return to their count before the first connection. The same holds with an
// application that waits for room for each fill before it takes the next order, and with one that
// makes plain blocking queue calls while 31 sites log out with orders in flight: the fills for
// sites that have left must not stop the others, and the gateway then burns no CPU. Every wait has
// a limit, so a gateway that stalls fails the test instead of hanging it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Fix.h"
#include "FixPeer.h"
#include "GatewayTest.h"
#include "Ipc.h"
#include "MemoryCell.h"
#include "Process.h"
#include "TestUtil.h"

namespace {

using namespace std::chrono;
using Clock = steady_clock;

const std::string gate = "GATE";
// Once trading stops, how long the orders in flight may take to get their reports.
constexpr seconds drainLimit{20};
// How long logons, logouts and the release of ended sessions may take.
constexpr seconds settleLimit{10};
// A site trades to the end when its last report came within this much of the phase's end.
constexpr seconds endMargin{2};

std::string siteCfg(const std::string& site) {
    return "~ {8=FIX.4.2,9=,35=,49=" + gate + ",56=" + site +
           ",34=,52=}\nA {98=0,108=30}\n0 {}\n1 {112=}\n2 {7=,16=}\n4 {123=Y,36=}\n5 {58=Bye}\n";
}

// utime + stime of a process in clock ticks (fields 14 and 15 of its stat, counted from the state
// after the name, which is field 3); -1 when it cannot be read.
long cpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line, skip;
    if (!std::getline(in, line) || line.rfind(')') == std::string::npos) return -1;
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    for (int i = 3; i < 14; ++i) fields >> skip;
    long utime = -1, stime = -1;
    return fields >> utime >> stime ? utime + stime : -1;
}

seconds phaseLength() {
    const char* text = std::getenv("FIXGATE_LOAD_SECONDS");
    int n = text != nullptr ? std::atoi(text) : 0;
    return seconds(n > 0 ? n : 60);
}

// One counterparty over a non-blocking connection: its own numbering, the orders it has in
// flight, and whatever a sound gateway would never send it.
struct Counterparty {
    explicit Counterparty(const std::string& name) : site(name), writer(name, gate) {}

    std::string site;
    FixPeer writer;  // frames messages with the site's header; its own socket stays unused
    int fd = -1;
    int nextOut = 1;
    int expectIn = 0;  // the gateway's next MsgSeqNum; 0 until its Logon reply
    std::string inbox, outbox;
    std::set<std::string> inFlight;
    long ordersSent = 0, reports = 0;
    Clock::time_point lastReport;
    bool loggedOn = false, logoutAnswered = false;
    bool leaving = false;  // its Logout went out: no new orders
    std::vector<std::string> faults;
};

bool connectTo(Counterparty& c, int port) {
    c.fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (c.fd < 0 || ::connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return false;
    ::fcntl(c.fd, F_SETFL, ::fcntl(c.fd, F_GETFL) | O_NONBLOCK);
    c.inbox.clear();
    c.outbox.clear();
    c.expectIn = 0;
    c.loggedOn = c.logoutAnswered = c.leaving = false;
    return true;
}

void flush(Counterparty& c) {
    while (!c.outbox.empty()) {
        ssize_t n = ::send(c.fd, c.outbox.data(), c.outbox.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        c.outbox.erase(0, static_cast<size_t>(n));
    }
}

void queue(Counterparty& c, const std::string& fields) {
    c.outbox += c.writer.make(fields, c.nextOut++);
    flush(c);
}

void sendOrder(Counterparty& c) {
    std::string id = c.site + "-" + std::to_string(++c.ordersSent);
    c.inFlight.insert(id);
    queue(c, "35=D|11=" + id + "|21=1|55=IBM|54=1|38=100|40=2|44=10");
}

// The first whole message in the inbox, cut by its BodyLength; empty when none is complete.
std::string cut(std::string& inbox) {
    size_t start = inbox.find(
        "\x01"
        "9=");
    if (start == std::string::npos) return std::string();
    size_t end = inbox.find('\x01', start + 3);
    if (end == std::string::npos) return std::string();
    size_t total = end + 1 + std::stoul(inbox.substr(start + 3, end - start - 3)) + 7;
    if (inbox.size() < total) return std::string();
    std::string msg = inbox.substr(0, total);
    inbox.erase(0, total);
    return msg;
}

void handle(Counterparty& c, const std::string& msg, bool trading) {
    int seq = std::atoi(FixPeer::field(msg, 34).c_str());
    if (c.expectIn != 0 && seq != c.expectIn) {
        c.faults.push_back("MsgSeqNum " + std::to_string(seq) + " where " +
                           std::to_string(c.expectIn) + " was due");
    }
    c.expectIn = seq + 1;
    std::string type = FixPeer::field(msg, 35);
    if (type == "A") {
        c.loggedOn = true;
    } else if (type == "8") {
        if (c.inFlight.erase(FixPeer::field(msg, 11)) == 0) {
            c.faults.push_back("report for no order in flight: " + FixPeer::bars(msg));
        }
        ++c.reports;
        c.lastReport = Clock::now();
        if (trading && !c.leaving) sendOrder(c);
    } else if (type == "1") {
        queue(c, "35=0|112=" + FixPeer::field(msg, 112));
    } else if (type == "5") {
        c.logoutAnswered = true;
    } else if (type != "0") {
        c.faults.push_back("unexpected " + FixPeer::bars(msg));
    }
}

// Serves every counterparty's connection until done() holds or the time limit passes; true when
// done() held.
bool pump(std::vector<Counterparty*>& sites, bool trading, const std::function<bool()>& done,
          Clock::time_point limit) {
    std::vector<pollfd> fds(sites.size());
    char buf[65536];
    while (!done()) {
        if (Clock::now() >= limit) return false;
        for (size_t i = 0; i < sites.size(); ++i) {
            short events = POLLIN | (sites[i]->outbox.empty() ? 0 : POLLOUT);
            fds[i] = pollfd{sites[i]->fd, events, 0};
        }
        if (::poll(fds.data(), fds.size(), 50) < 0) return false;
        for (size_t i = 0; i < sites.size(); ++i) {
            Counterparty& c = *sites[i];
            if (fds[i].revents & POLLOUT) flush(c);
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
            if (n > 0) c.inbox.append(buf, static_cast<size_t>(n));
            for (std::string m; !(m = cut(c.inbox)).empty();) handle(c, m, trading);
        }
    }
    return true;
}

class Load : public GatewayTest {
  protected:
    void SetUp() override {
        GatewayTest::SetUp();
        for (int i = 0; i < 31; ++i) {
            std::string name = "L" + std::to_string(10 + i);
            shm->registerName(name)->status = ' ';
            home.writeCfg(name, siteCfg(name));
            sites.push_back(std::make_unique<Counterparty>(name));
        }
        // The operator's way: queuemake gives both queues its default limit where it may.
        for (const std::string& q : {qin, qout}) {
            ProcessResult made = runProgram("queuemake", {q});
            ASSERT_EQ(made.exitCode, 0) << made.err;
            if (!made.err.empty()) std::cout << "queuemake: " << made.err;
        }
        gw = startGatelisten(port);
        ASSERT_TRUE(gw) << "gatelisten did not start listening";
        // Measured before the first session thread, which brings the sanitizer's own with it.
        threads = threadCount(gw->pid()) + sanitizerThreads;
        descriptors = openDescriptors(gw->pid());
    }

    void TearDown() override {
        for (auto& c : sites) {
            if (c->fd >= 0) ::close(c->fd);
        }
        if (application) application->stop(milliseconds(3000));
        naiveStop = true;
        if (naive.joinable()) naive.join();
        GatewayTest::TearDown();
        if (plain.joinable()) {
            // Removing the queues ends a blocking call of the plain application.
            IpcNames::removeQueue(qout);
            IpcNames::removeQueue(qin);
            plain.join();
        }
    }

    // One phase: the first `count` sites log on, keep `inFlight` orders each for the phase's
    // length, let the last ones get their reports (unless not `drain`: they log out with their
    // orders in flight), log out, and the gateway lets go of them.
    void phase(size_t count, int inFlight, seconds length, bool drain = true) {
        std::vector<Counterparty*> active;
        for (size_t i = 0; i < count; ++i) active.push_back(sites[i].get());
        for (Counterparty* c : active) {
            ASSERT_TRUE(connectTo(*c, port)) << c->site;
            queue(*c, "35=A|98=0|108=30");
        }
        auto all = [&](const std::function<bool(const Counterparty&)>& f) {
            return std::all_of(active.begin(), active.end(),
                               [&](Counterparty* c) { return f(*c); });
        };
        ASSERT_TRUE(pump(
            active, false, [&] { return all([](auto& c) { return c.loggedOn; }); },
            Clock::now() + settleLimit))
            << gw->output();

        std::vector<long> before;
        for (Counterparty* c : active) {
            before.push_back(c->reports);
            for (int i = 0; i < inFlight; ++i) sendOrder(*c);
        }
        const Clock::time_point end = Clock::now() + length;
        pump(
            active, true, [] { return false; }, end);
        bool drained = drain && pump(
                                    active, false,
                                    [&] { return all([](auto& c) { return c.inFlight.empty(); }); },
                                    Clock::now() + drainLimit);

        long least = -1, most = 0, total = 0;
        for (size_t i = 0; i < count; ++i) {
            Counterparty* c = active[i];
            long reports = c->reports - before[i];
            least = least < 0 ? reports : std::min(least, reports);
            most = std::max(most, reports);
            total += reports;
            EXPECT_TRUE(!drain || c->inFlight.empty())
                << c->site << ": " << c->inFlight.size() << " orders without report";
            EXPECT_GE(c->lastReport, end - endMargin)
                << c->site << " stopped trading "
                << duration_cast<milliseconds>(end - c->lastReport).count() << " ms before the end";
            EXPECT_EQ(c->faults, std::vector<std::string>{}) << c->site;
        }
        std::cout << count << " sites x " << inFlight << " in flight for " << length.count()
                  << " s: " << total << " reports, per site " << least << " to " << most
                  << (drained || !drain ? "" : "; NOT DRAINED") << std::endl;

        auto leave = [](Counterparty& c) {
            c.leaving = true;
            queue(c, "35=5");
        };
        if (!drain) {
            // Half leave while the rest trade on for a second: the fills for the sites that left
            // meet a queue the others still use.
            for (size_t i = 0; i < active.size(); i += 2) leave(*active[i]);
            pump(
                active, true, [] { return false; }, Clock::now() + seconds(1));
        }
        for (Counterparty* c : active) {
            if (!c->leaving) leave(*c);
        }
        bool answered = pump(
            active, false, [&] { return all([](auto& c) { return c.logoutAnswered; }); },
            Clock::now() + settleLimit);
        for (Counterparty* c : active) {
            EXPECT_TRUE(c->logoutAnswered) << c->site << "'s Logout went unanswered";
            ::close(c->fd);
            c->fd = -1;
        }
        EXPECT_TRUE(answered);
        EXPECT_TRUE(waitUntil(
            [&] {
                return threadCount(gw->pid()) == threads &&
                       openDescriptors(gw->pid()) == descriptors;
            },
            static_cast<int>(milliseconds(settleLimit).count())))
            << "threads " << threadCount(gw->pid()) << " (at start " << threads << "), descriptors "
            << openDescriptors(gw->pid()) << " (at start " << descriptors << ")";
        EXPECT_TRUE(gw->running());
    }

    // An application written the simple way: it fills one order at a time and does not take
    // the next order until the queue has taken its fill.
    void startNaiveApplication() {
        naive = std::thread([this] {
            MsgQueue orders(qout, 0, 0), answers(qin, 0, 0);
            while (!naiveStop) {
                Fix order(orders.read(1, NoWaitMode));
                if (order.message.empty()) {
                    std::this_thread::sleep_for(milliseconds(1));
                    continue;
                }
                // A full fill, as long as orderfill's.
                std::string fill = FixPeer::soh(
                    "35=8|37=F-" + order.getTagValue(11) + "|17=E-" + order.getTagValue(11) +
                    "|20=0|150=2|39=2|11=" + order.getTagValue(11) +
                    "|55=IBM|54=1|38=100|32=100|31=10|151=0|14=100|6=10|");
                long type = shm->getCellId(order.getTagValue(49)) + 1;
                while (!naiveStop && !answers.offer(fill, type)) {
                    std::this_thread::sleep_for(milliseconds(1));
                }
            }
        });
    }

    // An application written the plainest way: a blocking read for the next order, a blocking
    // write for its fill. It ends when its queues are removed.
    void startPlainApplication() {
        plain = std::thread([this] {
            try {
                MsgQueue orders(qout, 0, 0), fills(qin, 0, 0);
                for (;;) {
                    Fix order(orders.read(0, WaitMode));
                    if (order.message.empty()) continue;  // a signal cut the wait short
                    std::string id = order.getTagValue(11);
                    fills.write(FixPeer::soh("35=8|37=F-" + id + "|17=E-" + id +
                                             "|20=0|150=2|39=2|11=" + id +
                                             "|55=IBM|54=1|38=100|32=100|31=10|151=0|14=100|6=10|"),
                                WaitMode, shm->getCellId(order.getTagValue(49)) + 1);
                }
            } catch (const MQException&) {
            }
        });
    }

    std::vector<std::unique_ptr<Counterparty>> sites;
    std::unique_ptr<BackgroundProcess> application;
    std::thread plain;
    std::thread naive;
    std::atomic<bool> naiveStop{false};
    int port = 0;
    int threads = 0;
    int descriptors = 0;
};

TEST_F(Load, TwoSitesWith300InFlightThen31With50TradeToTheEndAndEndCleanly) {
    application = std::make_unique<BackgroundProcess>(
        "orderfill", std::vector<std::string>{table, qout, qin, "-q"});
    phase(2, 300, phaseLength());
    if (HasFailure()) return;
    phase(31, 50, phaseLength());
    long reports = 0;
    for (auto& c : sites) reports += c->reports;
    ProcessResult filled = application->stop(milliseconds(3000));
    EXPECT_EQ(filled.exitCode, 0) << filled.err;
    EXPECT_EQ(filled.out, "orderfill: " + std::to_string(reports) + " order(s) filled\n");
}

// An application that waits for room for each fill before it takes the next order: the gateway
// must go on carrying its fills out, or the fills fill the input queue, the orders the output
// queue, and gateway and application wait for each other for good.
TEST_F(Load, AnApplicationThatWaitsOnOneQueueAtATimeCannotStopTheGateway) {
    // Queues of the system's usual size, which 300 fills in flight overflow wherever this runs.
    for (const std::string& q : {qin, qout}) {
        ASSERT_EQ(runProgram("queuemake", {q, "-b", "16384"}).exitCode, 0);
    }
    startNaiveApplication();
    phase(2, 300, std::min(phaseLength(), seconds(15)));
}

// The fault this guards against: the fills for sites that have logged out fill the shared input
// queue, the application blocks writing them and stops reading the output queue, and every session
// waiting for room there stops reading its socket and never answers its Logout.
TEST_F(Load, SitesThatLogOutWithOrdersInFlightNeverStopAPlainBlockingApplication) {
    for (const std::string& q : {qin, qout}) {
        ASSERT_EQ(runProgram("queuemake", {q, "-b", "16384"}).exitCode, 0);
    }
    startPlainApplication();
    phase(31, 50, phaseLength() / 2, false);
    if (HasFailure()) return;
    // Ended sessions leave nothing that polls or spins.
    long before = cpuTicks(gw->pid());
    std::this_thread::sleep_for(seconds(2));
    long after = cpuTicks(gw->pid());
    ASSERT_GE(before, 0);
    EXPECT_LE(after - before, sysconf(_SC_CLK_TCK) / 10)
        << "CPU ticks used over 2 s after every session ended";
}

}  // namespace
