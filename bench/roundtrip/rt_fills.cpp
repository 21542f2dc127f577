// rt_fills TABLE ORDERS ANSWERS
//
// The fill side of our round trip: takes every order gatelisten delivers to its output queue
// ORDERS and writes one ExecutionReport echoing its ClOrdID to gatelisten's input queue ANSWERS,
// addressed to the sending site (queue message type: that site's cell index + 1). Ends on SIGTERM
// or when the queues are removed. At most a window of orders is in flight, far below a queue's
// byte limit, so a blocking write never waits on the gateway.
#include <signal.h>

#include <iostream>
#include <map>
#include <string>

#include "MsgQueue.h"
#include "Shm.h"

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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "Usage: rt_fills TABLE ORDERS ANSWERS" << std::endl;
        return 255;
    }
    struct sigaction stop = {};
    stop.sa_handler = onStop;  // no SA_RESTART: the signal ends a waiting receive
    sigaction(SIGTERM, &stop, nullptr);
    try {
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
            std::string id = std::to_string(n);
            answers.write(
                "35=8\x01"
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
                    "6=101.25\x01",
                WaitMode, type);
        }
    } catch (const std::exception& e) {
        if (!stopRequested) std::cerr << "rt_fills: " << e.what() << std::endl;
        return stopRequested ? 0 : 1;
    }
    return 0;
}
