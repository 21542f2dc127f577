#include "Dispatcher.h"

#include <signal.h>
#include <time.h>

#include <iostream>
#include <mutex>

#include "MemoryCell.h"

namespace {

// stop() pokes the dispatcher thread with this signal. The handler does nothing; it is installed
// without SA_RESTART so a waiting msgrcv (or a pipe write) returns EINTR instead of resuming.
constexpr int wakeSignal = SIGUSR2;

void onWake(int) {}

void installWakeHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_handler = onWake;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        sigaction(wakeSignal, &sa, nullptr);
    });
}

void pause(long nanoseconds) {
    timespec ts{nanoseconds / 1000000000L, nanoseconds % 1000000000L};
    nanosleep(&ts, nullptr);  // a wake signal cuts it short, which is what stop() wants
}

bool sessionUp(char status) {
    return status == status_Online || status == status_Heartbeat || status == status_TestReq;
}

}  // namespace

Dispatcher::Dispatcher(Shm& shm, Pipe& p, std::string& qin)
    : shm(&shm), p(&p), mtype(0), qname(qin) {}

void Dispatcher::Setup(std::string& siteName, long type) {
    site = siteName;
    mtype = type;
}

int Dispatcher::Start() {
    installWakeHandler();
    return Thread::Start();
}

void Dispatcher::dispatch() {
    // Termination signals belong to the session's thread, whose wait they cut short.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    try {
        MemoryCell* cell = shm->getCell(site);
        q = std::make_unique<MsgQueue>(qname, mtype, 0);
        while (!stopping.load()) {
            if (sessionUp(__atomic_load_n(&cell->status, __ATOMIC_RELAXED))) {
                forwardOne();
            } else {
                pause(1000000000L);
            }
        }
    } catch (const std::exception& e) {
        std::cout << e.what() << std::endl;
        std::_Exit(255);
    }
    finished.store(true);
}

void Dispatcher::forwardOne() {
    std::string text = q->read(mtype, WaitMode);
    if (text.empty()) return;  // an empty text, or the wait was interrupted
    long type = q->lastType();
    if (static_cast<int>(text.size()) > Pipe::maxText) {
        // The pipe cannot carry it whole; report it rather than end every session of the process.
        std::cout << "Dispatcher [" << site << "] dropped an outbound text of " << text.size()
                  << " bytes: longer than the pipe carries." << std::endl;
        return;
    }
    {
        std::lock_guard<std::mutex> guard(typesLock);
        forwardedTypes.push_back(type);
    }
    try {
        p->writeMsg(text);
    } catch (const PipeException&) {
        if (!stopping.load()) throw;
        // Interrupted by stop(): a write of at most PIPE_BUF bytes either happens whole or not at
        // all, so the text is still ours to give back.
        std::lock_guard<std::mutex> guard(typesLock);
        forwardedTypes.pop_back();
        unsent = text;
        unsentType = type;
        stopping.store(true);
    }
}

void Dispatcher::stop() {
    if (!joinable()) return;
    stopping.store(true);
    // The thread may be just about to enter its receive when the first signal lands, so keep
    // poking until it reports that it has left its loop.
    while (!finished.load()) {
        pthread_kill(id, wakeSignal);
        pause(1000000L);
    }
    join();
}

long Dispatcher::takeForwardedType() {
    std::lock_guard<std::mutex> guard(typesLock);
    if (forwardedTypes.empty()) return writeType;
    long type = forwardedTypes.front();
    forwardedTypes.pop_front();
    return type;
}

bool Dispatcher::takeUnsent(std::string& text, long& type) {
    if (unsent.empty()) return false;
    text.swap(unsent);
    unsent.clear();
    type = unsentType;
    return true;
}
