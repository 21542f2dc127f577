// rt_orders TABLE SITE INPUT OUTPUT PREFIX
//
// The order side of our round trip: puts NewOrderSingle texts on gateconnect's input queue INPUT
// (queue message type: the cell index of SITE + 1) and takes the ExecutionReports from its output
// queue OUTPUT, one phase per command on standard input (Command.h). Ping-pong and window run in
// one thread; a paced phase sends from a second thread on a fixed clock while this one reads.
// A watchdog interrupts a receive that waits longer than stallSeconds for a report.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <iostream>
#include <thread>

#include "Command.h"
#include "MsgQueue.h"
#include "Shm.h"

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
        std::string text = "35=D" + std::string(1, soh) + "11=" + trips.clOrdId(i) + soh +
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
        size_t at = report.find(
            "\x01"
            "11=");
        std::string id;
        if (at != std::string::npos) id = report.substr(at + 4, report.find(soh, at + 4) - at - 4);
        ++heartbeat;
        return trips.answered(id);
    }

    long type;
    MsgQueue input;
    MsgQueue output;
    std::string inputName;
    RoundTrips trips;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::cerr << "Usage: rt_orders TABLE SITE INPUT OUTPUT PREFIX" << std::endl;
        return 255;
    }
    struct sigaction wake = {};
    wake.sa_handler = onWake;  // no SA_RESTART: the signal ends a waiting receive
    sigaction(SIGUSR1, &wake, nullptr);
    try {
        OrderSide side(argv);
        std::thread(watch, pthread_self()).detach();
        Command c;
        while (c.read(std::cin)) {
            if (c.verb.empty()) {
                std::cout << "fail unknown command" << std::endl;
                continue;
            }
            side.run(c);
        }
    } catch (const std::exception& e) {
        std::cout << "fail " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
