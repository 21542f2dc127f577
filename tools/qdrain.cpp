// qdrain shm mq [-t n]
// qdrain shm - -j servers -s site[,site...] [-d durable]
//
// Plays a trading application on the receiving side: takes every message a gateway delivers to the
// queue, counts it in the In.proc of the cell named by its SenderCompID (49) and prints it with
// each SOH shown as "<SOH>". A text it cannot attribute (empty, or without a sender) is reported on
// standard error and counted nowhere, since an empty name would match a free cell. A message the
// gateway delivered in parts (MsgParts) is put back together and then taken like any other; a
// part that does not follow its site's parts so far is reported and dropped with them.
//
// With -j it drains the JetStream streams FIXGATE_<site>_IN of the sites named by -s through its
// durable consumer (-d, "qdrain" by default), so a second run goes on where the first stopped. A
// stream message is whole (there are no parts) and is acknowledged once printed: a message not yet
// printed when the program ends comes again. An application on another host has no site table of
// the gateway's: shm '-' counts nowhere.
#include <cctype>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Fix.h"
#include "MemoryCell.h"
#include "MsgParts.h"
#include "MsgQueue.h"
#include "Options.h"
#include "Shm.h"
#include "StreamInlet.h"
#include "StreamNames.h"

namespace {

int usage() {
    std::cout << "Usage: qdrain shm mq [-t n] [-j servers -s site[,site...] [-d durable]] "
              << std::endl
              << std::endl;
    return 255;
}

// A type must be a decimal number; anything else would silently turn into 0, "any type".
bool isNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    return i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
}

// Counts the message in its sender's cell (when there is a table) and prints it.
void take(Shm* shm, Fix& fix) {
    std::string sender = fix.getTagValue(TagSenderCompID);
    if (sender.empty()) {
        std::cerr << "Skip a message without SenderCompID (49): " << fix.printable() << std::endl;
        return;
    }
    if (shm != nullptr) shm->getCell(sender)->In.proc++;
    std::cout << fix.printable() << std::endl << std::endl;
}

void drain(Shm& shm, MsgQueue& queue, long type) {
    Fix fix;
    MsgParts parts;
    for (;;) {
        fix.message = queue.read(type, WaitMode);
        if (fix.message.empty()) {
            std::cerr << "Skip an empty message." << std::endl;
            continue;
        }
        if (MsgParts::isPart(fix.message)) {
            std::string whole;
            MsgParts::Taken taken = parts.take(fix.message, whole);
            if (taken == MsgParts::Taken::Stray) {
                std::cerr << "Skip a part out of order: "
                          << fix.message.substr(0, fix.message.find('\n')) << std::endl;
            }
            if (taken != MsgParts::Taken::Whole) continue;
            fix.message = std::move(whole);
        }
        take(&shm, fix);
    }
}

// Drains the sites' inbound streams until a signal ends the program; each message is
// acknowledged once printed (or refused as unattributable), so none is lost to a stop.
void drainStreams(Shm* shm, const std::string& servers, const std::vector<std::string>& sites,
                  const std::string& durable) {
    NatsLink link(NatsLink::Settings::withServers(servers), "qdrain " + durable);
    std::vector<std::unique_ptr<StreamInlet>> inlets;
    for (const std::string& site : sites) {
        inlets.push_back(std::make_unique<StreamInlet>(link, StreamNames::inStream(site),
                                                       StreamNames::inSubject(site), durable));
    }
    // Each site's wait is short, so one quiet site never holds the others back for long.
    const long waitMs = 500 / static_cast<long>(inlets.size()) + 1;
    Fix fix;
    for (;;) {
        for (auto& inlet : inlets) {
            for (const StreamInlet::Message& m : inlet->fetch(64, waitMs)) {
                fix.message = m.text;
                if (fix.message.empty()) {
                    std::cerr << "Skip an empty message." << std::endl;
                } else {
                    try {
                        take(shm, fix);
                    } catch (ShmException&) {
                        // As from a queue, the message that ends the program is gone.
                        inlet->ack(m);
                        throw;
                    }
                }
                inlet->ack(m);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options(argc, argv);
    if (options.is_present('j')) {
        if (options.getCount() > 3 || options.getOption('j').empty() || options.is_present('t'))
            return usage();
        std::vector<std::string> sites = StreamNames::siteList(options.getOption('s'));
        if (sites.empty() || (options.is_present('d') && options.getOption('d').empty()))
            return usage();
        std::string durable = options.is_present('d') ? options.getOption('d') : "qdrain";
        try {
            std::unique_ptr<Shm> shm;
            // A lone '-' is no argument to Options: without a first word there is no table.
            if (options.getCount() >= 2) shm = std::make_unique<Shm>(options.getArgument(1));
            drainStreams(shm.get(), options.getOption('j'), sites, durable);
        } catch (ShmException& e) {
            std::cerr << e.what() << std::endl << std::endl;
            return 255;
        } catch (NatsException& e) {
            std::cerr << e.what() << std::endl << std::endl;
            return 255;
        }
        return 0;
    }
    if (options.getCount() < 3) return usage();
    long type = readerType;
    if (options.is_present('t')) {
        if (!isNumber(options.getOption('t'))) return usage();
        type = options.getOptionNum('t');
    }
    std::string shmName = options.getArgument(1);
    std::string queueName = options.getArgument(2);
    try {
        Shm shm(shmName);
        MsgQueue queue(queueName, 0, 0);
        drain(shm, queue, type);
    } catch (ShmException& e) {
        std::cerr << e.what() << std::endl << std::endl;
        return 255;
    } catch (MQException& e) {
        std::cerr << e.what() << std::endl << std::endl;
        return 255;
    }
    return 0;
}
