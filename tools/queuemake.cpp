// queuemake MQ [-b bytes] [-m mode] [-g group]: creates a message queue under a name, or reuses
// an existing one with its messages, and gives it a byte limit (msg_qbytes). A new queue is owner
// and group read-write (0660) in the creating process's group unless -m (octal) or -g (a group
// name or number) says otherwise; an existing queue keeps its access unless they are given. The
// system's default of 16 KiB fills under load and stalls a gateway and its application against each
// other, so a queue gets 4 MiB unless -b says otherwise. An existing queue gets the limit when -b
// is given, or when its own is lower than the default; a larger one is never lowered behind the
// operator's back. Above /proc/sys/kernel/msgmnb only a privileged process may raise the limit: the
// queue then keeps the limit it has, a line on standard error says which, and the exit status is 2
// when -b asked for the refused limit (0 when only the default was refused, so an unprivileged
// operator's scripts work as before).
#include <sys/ipc.h>

#include <iostream>
#include <string>

#include "IpcAccess.h"
#include "MsgQueue.h"
#include "Options.h"

namespace {

constexpr unsigned long defaultByteLimit = 4UL * 1024 * 1024;
// A queue must take one whole text of the largest size, or a writer waits forever.
constexpr unsigned long minByteLimit = msgBufferSize;
constexpr unsigned long maxByteLimit = 0x7fffffffUL;
constexpr int exitLimitRefused = 2;

int usage() {
    std::cout << "Usage: queuemake MQ [-b bytes] [-m mode] [-g group]" << std::endl << std::endl;
    return 255;
}

// The -b value: decimal digits only, within the limits above; 0 when it is not.
unsigned long byteLimit(const std::string& text) {
    if (text.empty() || text.size() > 10) return 0;
    unsigned long bytes = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        bytes = bytes * 10 + static_cast<unsigned long>(c - '0');
    }
    return bytes >= minByteLimit && bytes <= maxByteLimit ? bytes : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options(argc, argv);
    if (options.getCount() < 2) return usage();
    bool asked = options.is_present('b');
    unsigned long wanted = asked ? byteLimit(options.getOption('b')) : defaultByteLimit;
    if (wanted == 0) return usage();
    IpcAccess access;
    std::string refusal;
    if (!IpcAccess::fromOptions(options, access, refusal)) {
        std::cerr << refusal << std::endl;
        return 255;
    }
    std::string name = options.getArgument(1);
    try {
        MsgQueue queue(name, 0, IPC_CREAT, access);
        std::cout << "Msgqueue [" << name << ", " << queue.getId() << "] was created successfully."
                  << std::endl;
        unsigned long current = queue.byteLimit();
        if (current == wanted || (!asked && current > wanted)) return 0;
        if (queue.setByteLimit(wanted)) return 0;
        std::cerr << "Msgqueue [" << name << "] keeps its limit of " << current
                  << " bytes: only a privileged process may raise it to " << wanted
                  << " bytes, above /proc/sys/kernel/msgmnb." << std::endl;
        return asked ? exitLimitRefused : 0;
    } catch (const MQException& e) {
        std::cerr << e.what() << std::endl;
        return 1;
    }
}
