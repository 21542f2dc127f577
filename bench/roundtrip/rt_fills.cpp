// rt_fills TABLE ORDERS ANSWERS
// rt_fills --jetstream SERVERS SITE
//
// The fill side of our round trip: takes every order gatelisten delivers to its output queue
// ORDERS and writes one ExecutionReport echoing its ClOrdID to gatelisten's input queue ANSWERS,
// addressed to the sending site (queue message type: that site's cell index + 1). Ends on SIGTERM
// or when the queues are removed. At most a window of orders is in flight, far below a queue's
// byte limit, so a blocking write never waits on the gateway.
// With --jetstream the site's applications are on JetStream: orders come from the site's inbound
// stream through our durable consumer "rt_fills", fills go to its outbound subject with id
// "rt_fills:<site>:<order's stream sequence>", and an order is acknowledged once its fill is
// stored.
#include <signal.h>

#include <chrono>
#include <deque>
#include <iostream>
#include <map>
#include <string>
#include <thread>

#include "MsgQueue.h"
#include "Shm.h"
#include "StreamInlet.h"
#include "StreamNames.h"
#include "StreamOutlet.h"

namespace {

volatile sig_atomic_t stopRequested = 0;

void onStop(int) {
    stopRequested = 1;
}

// The value of tag in a message text ("" when absent).
std::string field(const std::string& text, const char* tag) {
    std::string key = std::string("\x01") + tag + "=";
    size_t at = text.find(key);
    if (at == std::string::npos) return "";
    at += key.size();
    return text.substr(at, text.find('\x01', at) - at);
}

// One ExecutionReport filling the order, echoing its ClOrdID; id numbers the report.
std::string fillText(const std::string& order, const std::string& id) {
    return "35=8\x01"
           "37=O" +
           id +
           "\x01"
           "17=E" +
           id +
           "\x01"
           "20=0\x01"
           "150=2\x01"
           "39=2\x01"
           "11=" +
           field(order, "11") +
           "\x01"
           "55=IBM\x01"
           "54=1\x01"
           "38=100\x01"
           "32=100\x01"
           "31=101.25\x01"
           "151=0\x01"
           "14=100\x01"
           "6=101.25\x01";
}

// Fills every order of a JetStream site until SIGTERM. The outlet's window is far above the
// orders in flight, so an offer waits only while the link is down.
void fillFromStream(const std::string& servers, const std::string& site) {
    NatsLink link(NatsLink::Settings::withServers(servers), "rt_fills " + site);
    StreamInlet orders(link, StreamNames::inStream(site), StreamNames::inSubject(site), "rt_fills");
    StreamOutlet fills(link, StreamNames::outStream(site), StreamNames::outSubject(site), 1024);
    std::deque<StreamInlet::Message> unstored;  // orders whose fills are not yet stored
    auto acknowledgeStored = [&] {
        for (std::size_t n = fills.takeAcknowledged(); n > 0 && !unstored.empty(); --n) {
            orders.ack(unstored.front());
            unstored.pop_front();
        }
    };
    while (!stopRequested) {
        for (StreamInlet::Message& m : orders.fetch(256, 100)) {
            std::string seq = std::to_string(m.streamSeq);
            std::string text = fillText(m.text, seq);
            while (!fills.offer("rt_fills:" + site + ":" + seq, text)) {
                if (stopRequested) return;
                acknowledgeStored();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            unstored.push_back(std::move(m));
        }
        acknowledgeStored();
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool jetstream = argc == 4 && std::string(argv[1]) == "--jetstream";
    if (argc != 4) {
        std::cerr << "Usage: rt_fills TABLE ORDERS ANSWERS\n"
                     "       rt_fills --jetstream SERVERS SITE"
                  << std::endl;
        return 255;
    }
    struct sigaction stop = {};
    stop.sa_handler = onStop;  // no SA_RESTART: the signal ends a waiting receive
    sigaction(SIGTERM, &stop, nullptr);
    try {
        if (jetstream) {
            fillFromStream(argv[2], argv[3]);
            return 0;
        }
        Shm table(argv[1]);
        MsgQueue orders(argv[2], 0, 0);
        MsgQueue answers(argv[3], 0, 0);
        std::map<std::string, long> types;
        for (long n = 1; !stopRequested; ++n) {
            std::string order = orders.read(readerType, WaitMode);
            if (order.empty()) continue;
            std::string sender = field(order, "49");
            long& type = types[sender];
            if (type == 0) type = table.getCellId(sender) + 1;
            answers.write(fillText(order, std::to_string(n)), WaitMode, type);
        }
    } catch (const std::exception& e) {
        if (!stopRequested) std::cerr << "rt_fills: " << e.what() << std::endl;
        return stopRequested ? 0 : 1;
    }
    return 0;
}
