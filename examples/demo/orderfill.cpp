// orderfill shm orders answers [-n count]
//
// A small trading application for the acceptor's side of the demo. It takes every order a
// gateway delivers to the queue "orders", fills it completely at its limit price and puts the
// ExecutionReport on the queue "answers", addressed to the site that sent the order: the queue
// message type is that site's cell index + 1, which is how an acceptor's sessions tell their
// traffic apart. Like any application it counts what it takes (In.proc of the sender) and what
// it hands over (Out.pend of the addressee). With -n it stops after that many orders.
#include <csignal>
#include <iostream>
#include <string>

#include "Common.h"
#include "Fix.h"
#include "MsgQueue.h"
#include "Options.h"
#include "Shm.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
    stopRequested = 1;
}

int usage() {
    std::cout << "Usage: orderfill shm orders answers [-n count]" << std::endl;
    return 255;
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

// Handles one delivered message; returns true when it was an order that got its fill.
bool answer(Shm& shm, MsgQueue& answers, const Fix& message, int n) {
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
    Fix report(execution(message, n));
    std::cout << "orderfill: order from " << sender << ": " << message.printable() << std::endl;
    answers.write(report.message, WaitMode, type);
    cell->Out.pend++;
    std::cout << "orderfill: execution for " << sender << " (queue type " << type
              << "): " << report.printable() << std::endl;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options(argc, argv);
    if (options.getCount() < 4) return usage();
    int limit = options.getOptionNum('n');
    struct sigaction stop = {};
    stop.sa_handler = onStopSignal;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    try {
        Shm shm(options.getArgument(1));
        MsgQueue orders(options.getArgument(2), 0, 0);
        MsgQueue answers(options.getArgument(3), 0, 0);
        int filled = 0;
        while (!stopRequested && (limit <= 0 || filled < limit)) {
            Fix message(orders.read(1, WaitMode));
            // An empty text means a signal interrupted the wait; the loop test decides.
            if (message.message.empty()) continue;
            try {
                if (answer(shm, answers, message, filled + 1)) ++filled;
            } catch (ShmException& e) {
                std::cerr << "orderfill: " << e.what() << " " << message.printable() << std::endl;
            }
        }
        std::cout << "orderfill: " << filled << " order(s) filled" << std::endl;
    } catch (MQException& e) {
        std::cerr << e.what() << std::endl;
        return 1;
    } catch (ShmException& e) {
        std::cerr << e.what() << std::endl;
        return 1;
    }
    return 0;
}
