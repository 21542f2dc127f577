// qdrain shm mq [-t n]
//
// Plays a trading application on the receiving side: takes every message a gateway delivers to the
// queue, counts it in the In.proc of the cell named by its SenderCompID (49) and prints it with
// each SOH shown as "<SOH>". A text it cannot attribute (empty, or without a sender) is reported on
// standard error and counted nowhere, since an empty name would match a free cell. A message the
// gateway delivered in parts (MsgParts) is put back together and then taken like any other; a
// part that does not follow its site's parts so far is reported and dropped with them.
#include <cctype>
#include <iostream>
#include <string>

#include "Fix.h"
#include "MemoryCell.h"
#include "MsgParts.h"
#include "MsgQueue.h"
#include "Options.h"
#include "Shm.h"

namespace {

int usage() {
    std::cout << "Usage: qdrain shm mq [-t n] " << std::endl << std::endl;
    return 255;
}

// A type must be a decimal number; anything else would silently turn into 0, "any type".
bool isNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    return i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
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
        std::string sender = fix.getTagValue(TagSenderCompID);
        if (sender.empty()) {
            std::cerr << "Skip a message without SenderCompID (49): " << fix.printable()
                      << std::endl;
            continue;
        }
        shm.getCell(sender)->In.proc++;
        std::cout << fix.printable() << std::endl << std::endl;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options(argc, argv);
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
