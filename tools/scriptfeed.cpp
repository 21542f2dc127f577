// scriptfeed shm mq target script [-j servers]
//
// Plays a trading application on the sending side: every message line of the script becomes one
// queue message for the target site's gateway, addressed by the site's cell index + 1 and counted
// in the cell's Out.pend. Every line read is echoed. Lines whose message would not fit a queue
// message are reported on standard error and skipped, so one bad line never stops the rest of the
// script.
//
// With -j the texts go to the target's JetStream subject fixgate.<target>.out instead (mq is not
// opened: '-' by convention), each under the id "scriptfeed:<host>:<pid>:<n>", and the program
// ends only once the stream has stored every text, or with status 255 saying how many it did
// not. An application on another host has no site table of the gateway's: shm '-' leaves the
// table alone; a table named counts Out.pend as for the queue.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "MemoryCell.h"
#include "MsgQueue.h"
#include "NatsLink.h"
#include "Options.h"
#include "ScriptLine.h"
#include "Shm.h"
#include "StreamNames.h"
#include "StreamOutlet.h"

namespace {

// Publishes not yet acknowledged at once; and how long the outlet may go without taking a text
// or storing one before the servers count as gone.
constexpr std::size_t streamWindow = 256;
constexpr long stallMs = 6 * StreamOutlet::ackWaitMs;

// Sends one text; the largest text it takes.
struct Sink {
    std::function<void(const std::string&)> send;
    std::size_t limit;
    const char* what;
};

void feed(std::istream& script, const Sink& sink) {
    std::string line;
    long number = 0;
    while (!script.eof()) {
        std::size_t length = ScriptLine::read(script, line);
        ++number;
        ScriptLine entry(line);
        if (!entry.isComment()) {
            // A cut line would send a different message, so an over-long line is skipped whole.
            std::string text = length > ScriptLine::maxLength ? std::string() : entry.message();
            if (text.empty() || text.size() > sink.limit) {
                std::cerr << "Skip script line " << number << ": its message would exceed the "
                          << sink.what << " limit of " << sink.limit << " bytes." << std::endl;
            } else {
                sink.send(text);
            }
        }
        // Flushed per line so an operator sees progress while a full queue holds the writer.
        std::cout << line << std::endl;
    }
}

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

// The stream's refusal (or the wait given up) as the program's failure line.
struct NotStored {
    std::size_t count;
    std::string fault;
};

// Offers one text, waiting while the window is full or the link down, as a queue write waits
// while the queue is full; gives up after stallMs without progress.
void offer(StreamOutlet& outlet, const std::string& id, const std::string& text) {
    auto start = std::chrono::steady_clock::now();
    while (!outlet.offer(id, text)) {
        if (outlet.takeAcknowledged() > 0) start = std::chrono::steady_clock::now();
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(stallMs))
            throw NotStored{outlet.waiting() + 1, outlet.lastFault()};
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    outlet.takeAcknowledged();
}

int feedStream(std::istream& script, const std::string& shmName, const std::string& target,
               const std::string& servers) {
    std::string refusal = StreamNames::refusal(target);
    if (!refusal.empty()) {
        std::cerr << refusal << std::endl << std::endl;
        return 255;
    }
    std::unique_ptr<Shm> shm;
    MemoryCell* cell = nullptr;
    if (shmName != "-") {
        shm = std::make_unique<Shm>(shmName);
        cell = shm->getCell(target);
    }
    NatsLink link(NatsLink::Settings::withServers(servers), "scriptfeed " + target);
    std::string stream = StreamNames::outStream(target), subject = StreamNames::outSubject(target);
    link.checkStream(stream, subject);
    StreamOutlet outlet(link, stream, subject, streamWindow);
    std::string prefix = "scriptfeed:" + hostName() + ":" + std::to_string(getpid()) + ":";
    long n = 0;
    try {
        Sink sink{[&](const std::string& text) {
                      offer(outlet, prefix + std::to_string(++n), text);
                      if (cell != nullptr) cell->Out.pend++;
                  },
                  ScriptLine::maxLength + 1, "script line"};
        feed(script, sink);
        std::size_t left = outlet.drain(stallMs);
        if (left > 0) throw NotStored{left, outlet.lastFault()};
    } catch (NotStored& e) {
        std::cerr << "Fail to store " << e.count << " of " << n << " message(s) on stream "
                  << stream << (e.fault.empty() ? "" : ": " + e.fault) << std::endl
                  << std::endl;
        return 255;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options(argc, argv);
    bool stream = options.is_present('j');
    // A lone '-' is no argument to Options, so with -j the words count from the end: the script,
    // the target, and the table when given.
    if (stream && options.getCount() >= 3 && options.getCount() <= 5 &&
        !options.getOption('j').empty()) {
        int n = options.getCount();
        std::string path = options.getArgument(n - 1);
        std::ifstream script(path);
        if (!script.is_open()) {
            std::cout << "Fail to open the script file[" << path << "]. " << std::strerror(errno)
                      << std::endl
                      << std::endl;
            return 255;
        }
        try {
            return feedStream(script, n >= 4 ? options.getArgument(1) : "-",
                              options.getArgument(n - 2), options.getOption('j'));
        } catch (ShmException& e) {
            std::cerr << e.what() << std::endl << std::endl;
            return 255;
        } catch (NatsException& e) {
            std::cerr << e.what() << std::endl << std::endl;
            return 255;
        }
    }
    if (stream || options.getCount() < 5) {
        std::cout << "Usage: scriptfeed shm mq target script [-j servers]" << std::endl
                  << std::endl;
        return 255;
    }
    std::string shmName = options.getArgument(1);
    std::string queueName = options.getArgument(2);
    std::string target = options.getArgument(3);
    std::string path = options.getArgument(4);

    std::ifstream script(path);
    if (!script.is_open()) {
        std::cout << "Fail to open the script file[" << path << "]. " << std::strerror(errno)
                  << std::endl
                  << std::endl;
        return 255;
    }
    try {
        Shm shm(shmName);
        MsgQueue queue(queueName, 0, 0);
        MemoryCell* cell = shm.getCell(target);
        long type = shm.getCellId(target) + 1;
        feed(script, Sink{[&](const std::string& text) {
                              queue.write(text, WaitMode, type);
                              cell->Out.pend++;
                          },
                          static_cast<std::size_t>(maxMsgText), "queue"});
    } catch (ShmException& e) {
        std::cerr << e.what() << std::endl << std::endl;
        return 255;
    } catch (MQException& e) {
        std::cerr << e.what() << std::endl << std::endl;
        return 255;
    }
    return 0;
}
