#include "SignalStorm.h"

#include <signal.h>

SignalStorm::SignalStorm(pid_t target, int signal, std::chrono::microseconds interval)
    : pid(target), sig(signal), every(interval) {
    sender = std::thread([this] {
        while (!done.load()) {
            if (::kill(pid, sig) == 0) sent.fetch_add(1);
            std::this_thread::sleep_for(every);
        }
    });
}

SignalStorm::~SignalStorm() {
    stop();
}

long SignalStorm::stop() {
    done.store(true);
    if (sender.joinable()) sender.join();
    return sent.load();
}
