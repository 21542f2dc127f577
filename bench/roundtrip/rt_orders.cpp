// rt_orders TABLE SITE INPUT OUTPUT PREFIX
// rt_orders --jetstream SERVERS SITE PREFIX
//
// The order side of our round trip: puts NewOrderSingle texts on gateconnect's input queue INPUT
// (queue message type: the cell index of SITE + 1) and takes the ExecutionReports from its output
// queue OUTPUT, one phase per command on standard input (Command.h). Ping-pong and window run in
// one thread; a paced phase sends from a second thread on a fixed clock while this one reads.
// A watchdog interrupts a receive that waits longer than stallSeconds for a report.
// With --jetstream the site's applications are on JetStream: orders are published to the site's
// outbound subject (StreamOutlet) and reports read from its inbound stream through our own durable
// consumer "rt_orders" (StreamInlet); ping-pong and window only.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <deque>
#include <iostream>
#include <memory>
#include <thread>

#include "Command.h"
#include "MsgQueue.h"
#include "Shm.h"
#include "StreamInlet.h"
#include "StreamNames.h"
#include "StreamOutlet.h"

namespace {

const char soh = '\x01';

std::atomic<long> heartbeat{0};
std::atomic<bool> armed{false};
std::atomic<bool> stalled{false};

void onWake(int) {}

// Sends SIGUSR1 to the receiving thread while an armed phase sees no report for stallSeconds.
void watch(pthread_t receiver) {
    long seen = -1;
    auto since = std::chrono::steady_clock::now();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        long beat = heartbeat.load();
        auto now = std::chrono::steady_clock::now();
        if (!armed.load() || beat != seen) {
            seen = armed.load() ? beat : -1;
            since = now;
        } else if (now - since > std::chrono::seconds(stallSeconds)) {
            stalled = true;
            pthread_kill(receiver, SIGUSR1);
        }
    }
}

std::string orderText(const std::string& clOrdId) {
    return "35=D" + std::string(1, soh) + "11=" + clOrdId + soh +
           "1=ACCOUNT-01\x01"
           "21=1\x01"
           "55=IBM\x01"
           "54=1\x01"
           "38=100\x01"
           "40=2\x01"
           "44=101.25\x01"
           "59=0\x01"
           "60=20260101-12:00:00\x01"
           "15=USD\x01"
           "100=XNYS\x01";
}

// Notes the report's ClOrdID as answered; false when it answers no order of the phase or answers
// one twice.
bool answered(RoundTrips& trips, const std::string& report) {
    size_t at = report.find(
        "\x01"
        "11=");
    std::string id;
    if (at != std::string::npos) id = report.substr(at + 4, report.find(soh, at + 4) - at - 4);
    ++heartbeat;
    return trips.answered(id);
}

class OrderSide {
  public:
    OrderSide(char** argv)
        : type(Shm(argv[1]).getCellId(argv[2]) + 1),
          input(argv[3], 0, 0),
          output(argv[4], 0, 0),
          inputName(argv[3]),
          trips(argv[5]) {}

    void run(const Command& c) {
        trips.begin(c.count);
        stalled = false;
        armed = true;
        if (c.verb == "pingpong") {
            for (long i = 0; i < c.count; ++i) {
                send(input, i);
                if (!receiveOne()) break;
            }
        } else if (c.verb == "window") {
            for (long sent = 0; trips.answeredCount() < c.count;) {
                while (sent < c.count && sent - trips.answeredCount() < c.inflight)
                    send(input, sent++);
                if (!receiveOne()) break;
            }
        } else {
            std::thread sender([&] {
                MsgQueue queue(inputName, 0, 0);
                auto start = std::chrono::steady_clock::now();
                for (long i = 0; i < c.count && !stalled; ++i) {
                    std::this_thread::sleep_until(
                        start + std::chrono::duration<double>(static_cast<double>(i) / c.rate));
                    send(queue, i);
                }
            });
            while (trips.answeredCount() < c.count && receiveOne()) {
            }
            sender.join();
        }
        armed = false;
        c.answer(trips);
    }

  private:
    void send(MsgQueue& queue, long i) {
        std::string text = orderText(trips.clOrdId(i));
        trips.sent(i);
        queue.write(text, WaitMode, type);
    }

    // Takes one report; false when it was no first report of an order of the phase or the wait
    // stalled.
    bool receiveOne() {
        std::string report;
        while (report.empty()) {
            if (stalled) return false;
            report = output.read(readerType, WaitMode);
        }
        return answered(trips, report);
    }

    long type;
    MsgQueue input;
    MsgQueue output;
    std::string inputName;
    RoundTrips trips;
};

// The same order side for a site whose applications are on JetStream. One thread publishes and
// reads: a report is fetched as soon as it is on the inbound stream, and the outlet hears of
// stored orders whenever the loop comes round.
class StreamOrderSide {
  public:
    StreamOrderSide(const std::string& servers, const std::string& site, const std::string& prefix)
        : link(NatsLink::Settings::withServers(servers), "rt_orders " + site),
          outlet(link, StreamNames::outStream(site), StreamNames::outSubject(site), outletWindow),
          inlet(link, StreamNames::inStream(site), StreamNames::inSubject(site), "rt_orders"),
          trips(prefix) {}

    void run(const Command& c) {
        if (c.verb == "paced") {
            std::cout << "fail paced: not offered with --jetstream" << std::endl;
            return;
        }
        trips.begin(c.count);
        stalled = false;
        armed = true;
        long inflight = c.verb == "pingpong" ? 1 : c.inflight;
        for (long sent = 0; trips.answeredCount() < c.count;) {
            while (sent < c.count && sent - trips.answeredCount() < inflight && send(sent)) ++sent;
            if (sent == trips.answeredCount()) {
                // Nothing out, and the outlet took nothing: offer again shortly.
                if (stalled) break;
                outlet.takeAcknowledged();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            if (!receiveOne()) break;
        }
        armed = false;
        c.answer(trips);
    }

  private:
    // Orders published and not yet stored stay within this; the window phase keeps fewer in flight.
    static constexpr std::size_t outletWindow = 1024;

    // False when the outlet takes nothing now (full, or the link is down): the loop reads reports
    // meanwhile and offers again.
    bool send(long i) {
        std::string id = trips.clOrdId(i);
        std::string text = orderText(id);
        trips.sent(i);
        return outlet.offer("rt_orders:" + id, text);
    }

    bool receiveOne() {
        while (fetched.empty()) {
            if (stalled) return false;
            outlet.takeAcknowledged();
            for (StreamInlet::Message& m : inlet.fetch(256, 100)) fetched.push_back(std::move(m));
        }
        StreamInlet::Message m = std::move(fetched.front());
        fetched.pop_front();
        inlet.ack(m);
        return answered(trips, m.text);
    }

    NatsLink link;
    StreamOutlet outlet;
    StreamInlet inlet;
    RoundTrips trips;
    std::deque<StreamInlet::Message> fetched;
};

}  // namespace

int main(int argc, char** argv) {
    bool jetstream = argc == 5 && std::string(argv[1]) == "--jetstream";
    if (argc != 6 && !jetstream) {
        std::cerr << "Usage: rt_orders TABLE SITE INPUT OUTPUT PREFIX\n"
                     "       rt_orders --jetstream SERVERS SITE PREFIX"
                  << std::endl;
        return 255;
    }
    struct sigaction wake = {};
    wake.sa_handler = onWake;  // no SA_RESTART: the signal ends a waiting receive
    sigaction(SIGUSR1, &wake, nullptr);
    try {
        std::unique_ptr<OrderSide> queues;
        std::unique_ptr<StreamOrderSide> streams;
        if (jetstream)
            streams = std::make_unique<StreamOrderSide>(argv[2], argv[3], argv[4]);
        else
            queues = std::make_unique<OrderSide>(argv);
        std::thread(watch, pthread_self()).detach();
        Command c;
        while (c.read(std::cin)) {
            if (c.verb.empty()) {
                std::cout << "fail unknown command" << std::endl;
                continue;
            }
            if (streams)
                streams->run(c);
            else
                queues->run(c);
        }
    } catch (const std::exception& e) {
        std::cout << "fail " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
