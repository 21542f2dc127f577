// scriptfeed shm mq target script
//
// Plays a trading application on the sending side: every message line of the script becomes one
// queue message for the target site's gateway, addressed by the site's cell index + 1 and counted
// in the cell's Out.pend. Every line read is echoed. Lines whose message would not fit a queue
// message are reported on standard error and skipped, so one bad line never stops the rest of the
// script.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "MemoryCell.h"
#include "MsgQueue.h"
#include "Options.h"
#include "ScriptLine.h"
#include "Shm.h"

namespace {

void feed(std::istream& script, MsgQueue& queue, long type, MemoryCell* cell) {
    std::string line;
    long number = 0;
    while (!script.eof()) {
        std::size_t length = ScriptLine::read(script, line);
        ++number;
        ScriptLine entry(line);
        if (!entry.isComment()) {
            // A cut line would send a different message, so an over-long line is skipped whole.
            std::string text = length > ScriptLine::maxLength ? std::string() : entry.message();
            if (text.empty() || text.size() > static_cast<std::size_t>(maxMsgText)) {
                std::cerr << "Skip script line " << number
                          << ": its message would exceed the queue limit of " << maxMsgText
                          << " bytes." << std::endl;
            } else {
                queue.write(text, WaitMode, type);
                cell->Out.pend++;
            }
        }
        // Flushed per line so an operator sees progress while a full queue holds the writer.
        std::cout << line << std::endl;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options(argc, argv);
    if (options.getCount() < 5) {
        std::cout << "Usage: scriptfeed shm mq target script" << std::endl << std::endl;
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
        feed(script, queue, type, cell);
    } catch (ShmException& e) {
        std::cerr << e.what() << std::endl << std::endl;
        return 255;
    } catch (MQException& e) {
        std::cerr << e.what() << std::endl << std::endl;
        return 255;
    }
    return 0;
}
