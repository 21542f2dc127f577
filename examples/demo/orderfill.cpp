// orderfill shm orders answers [-n count] [-q]
//
// A small trading application for the acceptor's side of the demo. It takes every order a
// gateway delivers to the queue "orders", fills it completely at its limit price and puts the
// ExecutionReport on the queue "answers", addressed to the site that sent the order: the queue
// message type is that site's cell index + 1, which is how an acceptor's sessions tell their
// traffic apart. Like any application it counts what it takes (In.proc of the sender) and what
// it hands over (Out.pend of the addressee). With -n it stops after that many orders; with -q it
// prints only its final count and its errors (for load tests).
//
// It never waits on one queue while the other fills: a gateway blocked writing orders to a full
// queue stops reading answers, so an application blocked writing answers would stall both for
// good. Answers the queue cannot take now wait here, in order, and go out first on every pass;
// orders are taken without waiting, and only a pass that moved nothing sleeps a millisecond.
#include <time.h>

#include <csignal>
#include <deque>
#include <iostream>
#include <string>

#include "Common.h"
#include "Fix.h"
#include "MsgParts.h"
#include "MsgQueue.h"
#include "Options.h"
#include "Shm.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
    stopRequested = 1;
}

int usage() {
    std::cout << "Usage: orderfill shm orders answers [-n count] [-q]" << std::endl;
    return 255;
}

// How long answers still waiting for room get after a stop signal before they are given up.
constexpr int stopGraceMillis = 1000;

bool quiet = false;

struct Answer {
    std::string sender;
    MemoryCell* cell;
    long type;
    std::string report;
};

void pauseMillis(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

std::string field(int tag, const std::string& value) {
    return std::to_string(tag) + "=" + value + soh;
}

// The business fields of a complete fill of the order; the gateway adds header and trailer.
std::string execution(const Fix& order, int n) {
    std::string price = order.getTagValue(44).empty() ? "0" : order.getTagValue(44);
    std::string qty = order.getTagValue(38).empty() ? "0" : order.getTagValue(38);
    return field(35, "8") + field(37, "FILL-" + std::to_string(n)) +
           field(17, "EXEC-" + std::to_string(n)) + field(20, "0") + field(150, "2") +
           field(39, "2") + field(11, order.getTagValue(11)) + field(55, order.getTagValue(55)) +
           field(54, order.getTagValue(54)) + field(38, qty) + field(32, qty) + field(31, price) +
           field(151, "0") + field(14, qty) + field(6, price);
}

// Handles one delivered message; returns true when it was an order whose fill now waits in
// `waiting`.
bool answer(Shm& shm, std::deque<Answer>& waiting, const Fix& message, int n) {
    std::string sender = message.getTagValue(TagSenderCompID);
    if (sender.empty()) {
        std::cerr << "orderfill: skipped a message without SenderCompID: " << message.printable()
                  << std::endl;
        return false;
    }
    MemoryCell* cell = shm.getCell(sender);
    cell->In.proc++;
    if (message.getMsgType() != 'D') {
        std::cout << "orderfill: took " << message.printable() << " (not an order)" << std::endl;
        return false;
    }
    long type = shm.getCellId(sender) + 1;
    if (!quiet) {
        std::cout << "orderfill: order from " << sender << ": " << message.printable() << std::endl;
    }
    waiting.push_back(Answer{sender, cell, type, execution(message, n)});
    return true;
}

// Puts waiting answers on the queue, oldest first, as far as it has room; how many went.
int sendWaiting(MsgQueue& answers, std::deque<Answer>& waiting) {
    int sent = 0;
    while (!waiting.empty()) {
        Answer& a = waiting.front();
        if (!answers.offer(a.report, a.type)) break;
        a.cell->Out.pend++;
        if (!quiet) {
            std::cout << "orderfill: execution for " << a.sender << " (queue type " << a.type
                      << "): " << Fix(a.report).printable() << std::endl;
        }
        waiting.pop_front();
        ++sent;
    }
    return sent;
}

}  // namespace

int main(int argc, char** argv) {
    Options options(argc, argv);
    if (options.getCount() < 4) return usage();
    int limit = options.getOptionNum('n');
    quiet = options.is_present('q');
    struct sigaction stop = {};
    stop.sa_handler = onStopSignal;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    try {
        Shm shm(options.getArgument(1));
        MsgQueue orders(options.getArgument(2), 0, 0);
        MsgQueue answers(options.getArgument(3), 0, 0);
        int filled = 0;
        std::deque<Answer> waiting;
        // A message longer than a queue message comes in parts; a part alone is no order.
        MsgParts parts;
        while (!stopRequested && (limit <= 0 || filled < limit)) {
            bool moved = sendWaiting(answers, waiting) > 0;
            Fix message(orders.read(1, NoWaitMode));
            if (MsgParts::isPart(message.message)) {
                std::string whole;
                if (parts.take(message.message, whole) != MsgParts::Taken::Whole) continue;
                message.message = whole;
            }
            if (!message.message.empty()) {
                moved = true;
                try {
                    if (answer(shm, waiting, message, filled + 1)) ++filled;
                } catch (ShmException& e) {
                    std::cerr << "orderfill: " << e.what() << " " << message.printable()
                              << std::endl;
                }
            }
            if (!moved) pauseMillis(1);
        }
        // Fills already made still go out; after a stop signal only for a short while.
        for (int waited = 0; !waiting.empty() && (!stopRequested || waited < stopGraceMillis);
             ++waited) {
            if (sendWaiting(answers, waiting) == 0) pauseMillis(1);
        }
        std::cout << "orderfill: " << filled << " order(s) filled" << std::endl;
        if (!waiting.empty()) {
            std::cerr << "orderfill: " << waiting.size()
                      << " execution(s) not delivered: the answers queue had no room." << std::endl;
            return 1;
        }
    } catch (MQException& e) {
        std::cerr << e.what() << std::endl;
        return 1;
    } catch (ShmException& e) {
        std::cerr << e.what() << std::endl;
        return 1;
    }
    return 0;
}
