// orderfill shm orders answers [-n count] [-q]
// orderfill shm - - -j servers -s site[,site...] [-n count] [-q]
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
//
// With -j it takes the orders from the sites' JetStream streams FIXGATE_<site>_IN (its durable
// consumer "orderfill") and publishes each fill to the site's fixgate.<site>.out under the id
// "orderfill:<site>:<order's stream sequence>". An order is acknowledged only once the stream
// has stored its fill, so an order taken again after a crash gets the same fill, with the same
// id, which the stream stores once. A table named counts in the site's cell (Out.pend once a
// fill is stored); shm '-' counts nowhere (an application on another host).
#include <time.h>

#include <algorithm>
#include <csignal>
#include <deque>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Common.h"
#include "Fix.h"
#include "MsgParts.h"
#include "MsgQueue.h"
#include "Options.h"
#include "Shm.h"
#include "StreamInlet.h"
#include "StreamNames.h"
#include "StreamOutlet.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
    stopRequested = 1;
}

int usage() {
    std::cout
        << "Usage: orderfill shm orders answers [-n count] [-q] [-j servers -s site[,site...]]"
        << std::endl;
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
// An order over FIXT.1.1 is FIX 5.0, which has no ExecTransType (20) and calls a fill a Trade
// (150=F); a FIX 4.x order gets the FIX.4.2 fill.
std::string execution(const Fix& order, int n) {
    std::string price = order.getTagValue(44).empty() ? "0" : order.getTagValue(44);
    std::string qty = order.getTagValue(38).empty() ? "0" : order.getTagValue(38);
    // BeginString opens the message, where the tag lookups (which look for SOH first) miss it.
    bool fix5 = order.message.rfind("8=FIXT.", 0) == 0;
    return field(35, "8") + field(37, "FILL-" + std::to_string(n)) +
           field(17, "EXEC-" + std::to_string(n)) +
           (fix5 ? field(150, "F") : field(20, "0") + field(150, "2")) + field(39, "2") +
           field(11, order.getTagValue(11)) + field(55, order.getTagValue(55)) +
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

// One site's JetStream side: orders in, fills out, and the orders whose fills wait to be stored
// (their acknowledgement waits with them), in offer order.
struct StreamSite {
    std::string name;
    std::unique_ptr<StreamInlet> orders;
    std::unique_ptr<StreamOutlet> fills;
    std::deque<StreamInlet::Message> unstored;
    std::set<std::uint64_t> taken;  // stream sequences of the unstored orders
    MemoryCell* cell = nullptr;     // the site's cell, when there is a table that has it
    // Fills made and not yet taken by the outlet (its window full or the link down).
    std::deque<std::pair<std::string, std::string>> unoffered;
};

constexpr std::size_t fillWindow = 256;

// Offers waiting fills and acknowledges the orders of the stored ones; true when anything moved.
bool settle(StreamSite& site) {
    bool moved = false;
    while (!site.unoffered.empty() &&
           site.fills->offer(site.unoffered.front().first, site.unoffered.front().second)) {
        site.unoffered.pop_front();
        moved = true;
    }
    for (std::size_t stored = site.fills->takeAcknowledged(); stored > 0; --stored) {
        site.orders->ack(site.unstored.front());
        site.taken.erase(site.unstored.front().streamSeq);
        if (site.cell != nullptr) site.cell->Out.pend++;
        site.unstored.pop_front();
        moved = true;
    }
    return moved;
}

// Takes one site's orders: the fill of each is queued for the site's outlet.
int takeOrders(StreamSite& site, int most) {
    int filled = 0;
    for (const StreamInlet::Message& m : site.orders->fetch(most, 50)) {
        // An order whose fill waits longer than the consumer's wait comes again; it has a fill.
        if (!site.taken.insert(m.streamSeq).second) continue;
        Fix message(m.text);
        if (site.cell != nullptr) site.cell->In.proc++;
        if (message.getMsgType() != 'D') {
            std::cout << "orderfill: took " << message.printable() << " (not an order)"
                      << std::endl;
            site.orders->ack(m);
            continue;
        }
        if (!quiet) {
            std::cout << "orderfill: order from " << site.name << ": " << message.printable()
                      << std::endl;
        }
        std::string id = "orderfill:" + site.name + ":" + std::to_string(m.streamSeq);
        // Numbered by the order's place in its stream, so the fill made again is the same text.
        std::string report = execution(message, static_cast<int>(m.streamSeq));
        if (!quiet) {
            std::cout << "orderfill: execution for " << site.name << " (" << id
                      << "): " << Fix(report).printable() << std::endl;
        }
        site.unoffered.emplace_back(id, report);
        site.unstored.push_back(m);
        ++filled;
    }
    return filled;
}

int fillStreams(Shm* shm, const std::string& servers, const std::vector<std::string>& names,
                int limit) {
    NatsLink link(NatsLink::Settings::withServers(servers), "orderfill");
    std::vector<StreamSite> sites;
    for (const std::string& name : names) {
        StreamSite site;
        site.name = name;
        if (shm != nullptr) {
            try {
                site.cell = shm->getCell(name);
            } catch (ShmException& e) {
                std::cerr << "orderfill: " << e.what() << " " << name << std::endl;
            }
        }
        site.orders = std::make_unique<StreamInlet>(link, StreamNames::inStream(name),
                                                    StreamNames::inSubject(name), "orderfill");
        link.checkStream(StreamNames::outStream(name), StreamNames::outSubject(name));
        site.fills = std::make_unique<StreamOutlet>(link, StreamNames::outStream(name),
                                                    StreamNames::outSubject(name), fillWindow);
        sites.push_back(std::move(site));
    }
    int filled = 0;
    while (!stopRequested && (limit <= 0 || filled < limit)) {
        bool moved = false;
        for (StreamSite& site : sites) {
            moved = settle(site) || moved;
            // An outlet that takes nothing holds its site's orders back, as a full queue does.
            if (!site.unoffered.empty()) continue;
            int most = limit > 0 ? std::min(64, limit - filled) : 64;
            if (most <= 0) break;
            int taken = takeOrders(site, most);
            filled += taken;
            moved = moved || taken > 0;
        }
        if (!moved) pauseMillis(1);
    }
    // Fills made still go out and their orders are acknowledged; after a stop signal only for a
    // short while, and never longer than an acknowledgement may take.
    std::size_t left = 0;
    for (StreamSite& site : sites) {
        for (long waited = 0; !site.unoffered.empty() || site.fills->waiting() > 0; ++waited) {
            if (waited >= (stopRequested ? stopGraceMillis : 2 * StreamOutlet::ackWaitMs)) break;
            if (!settle(site)) pauseMillis(1);
        }
        settle(site);
        left += site.unstored.size();
    }
    std::cout << "orderfill: " << filled << " order(s) filled" << std::endl;
    if (left > 0) {
        std::cerr << "orderfill: " << left << " execution(s) not stored on their streams";
        for (StreamSite& site : sites) {
            std::string fault = site.fills->lastFault();
            if (!site.unstored.empty() && !fault.empty())
                std::cerr << "; " << site.name << ": " << fault;
        }
        std::cerr << "." << std::endl;
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options(argc, argv);
    if (options.getCount() < 4 && !options.is_present('j')) return usage();
    int limit = options.getOptionNum('n');
    quiet = options.is_present('q');
    struct sigaction stop = {};
    stop.sa_handler = onStopSignal;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    if (options.is_present('j')) {
        std::vector<std::string> sites = StreamNames::siteList(options.getOption('s'));
        if (options.getCount() > 4 || options.getOption('j').empty() || sites.empty())
            return usage();
        try {
            std::unique_ptr<Shm> shm;
            // A lone '-' is no argument to Options: without a first word there is no table.
            if (options.getCount() >= 2) shm = std::make_unique<Shm>(options.getArgument(1));
            return fillStreams(shm.get(), options.getOption('j'), sites, limit);
        } catch (ShmException& e) {
            std::cerr << e.what() << std::endl;
            return 1;
        } catch (NatsException& e) {
            std::cerr << "orderfill: " << e.what() << std::endl;
            return 1;
        }
    }
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
