#include "Dispatcher.h"

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <mutex>
#include <vector>

#include "MemoryCell.h"

namespace {

// stop() pokes the dispatcher thread with this signal. The handler does nothing; it is installed
// without SA_RESTART so a waiting msgrcv (or a pipe write) returns EINTR instead of resuming.
constexpr int wakeSignal = SIGUSR2;

void onWake(int) {}

void pause(long nanoseconds) {
    timespec ts{nanoseconds / 1000000000L, nanoseconds % 1000000000L};
    nanosleep(&ts, nullptr);  // a wake signal cuts it short, which is what stop() wants
}

// Nanoseconds a parked dispatcher sleeps when the queue holds nothing for its site: from the
// shortest, doubled while nothing comes, up to the longest.
constexpr long parkFirstWait = 1000000L;
constexpr long parkLongestWait = 50000000L;

bool sessionUp(char status) {
    return status == status_Online || status == status_Heartbeat || status == status_TestReq;
}

}  // namespace

void Dispatcher::installWakeHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_handler = onWake;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        sigaction(wakeSignal, &sa, nullptr);
    });
}

Dispatcher::Dispatcher(Shm& shm, Pipe& p, std::string& qin)
    : shm(&shm), p(&p), mtype(0), qname(qin) {}

void Dispatcher::Setup(std::string& siteName, long type) {
    site = siteName;
    mtype = type;
}

int Dispatcher::Start() {
    installWakeHandler();
    if (journal == nullptr) {
        ownJournal = std::make_unique<Journal>();
        journal = ownJournal.get();
    }
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
        if (stream == nullptr) q = std::make_unique<MsgQueue>(qname, mtype, 0);
        if (parked) {
            holdParked();
            finished.store(true);
            return;
        }
        MemoryCell* cell = shm->getCell(site);
        // Texts an earlier run took off the queue and never logged go before anything newer.
        std::vector<int> backlog = journal->held();
        size_t next = 0;
        while (!stopping.load()) {
            if (!sessionUp(__atomic_load_n(&cell->status, __ATOMIC_RELAXED))) {
                pause(1000000000L);
            } else if (next < backlog.size()) {
                int slot = backlog[next++];
                // Newer texts wait until the whole backlog is on its way (from a queue, they go
                // along with its last one; a stream's come through the next fetch).
                forward(slot, journal->text(slot), next == backlog.size() && stream == nullptr);
            } else if (stream != nullptr) {
                forwardFromStream();
            } else {
                forwardOne();
            }
        }
    } catch (const std::exception& e) {
        // The process ends with it, so the line says whose dispatcher it was.
        std::cout << "Dispatcher [" << site << "] ended the program: " << e.what() << std::endl;
        std::_Exit(255);
    }
    finished.store(true);
}

std::unique_ptr<Dispatcher> Dispatcher::park(Shm& shm, const std::string& qin,
                                             const std::string& siteName, long type,
                                             std::unique_ptr<Journal> held,
                                             std::unique_ptr<SiteLock> lock) {
    auto d = std::unique_ptr<Dispatcher>(new Dispatcher(shm, qin));
    d->siteLock = std::move(lock);
    d->site = siteName;
    d->mtype = type;
    d->parked = true;
    d->ownJournal = std::move(held);
    d->journal = d->ownJournal.get();
    if (d->Start() != 0) return nullptr;
    return d;
}

std::unique_ptr<Journal> Dispatcher::unpark(std::unique_ptr<SiteLock>& lock) {
    stop();
    journal = nullptr;
    lock = std::move(siteLock);
    return std::move(ownJournal);
}

void Dispatcher::holdParked() {
    // Nothing is forwarded: the texts wait in the journal, in the order taken, for the next
    // session. A poll, since a queue receive cannot wait with a limit.
    long wait = parkFirstWait;
    auto lastText = std::chrono::steady_clock::now();
    while (!stopping.load()) {
        int slot = journal->acquire(false);
        if (slot < 0) {
            std::cout << "Dispatcher [" << site << "] holds " << journal->held().size()
                      << " unsent outbound messages, a full journal: the site's next ones wait on "
                         "MsgQueue ["
                      << qname << "]." << std::endl;
            break;
        }
        int length = q->receive(journal->buffer(slot), mtype, NoWaitMode);
        if (length >= 0) {
            std::string text(journal->buffer(slot).mtext, static_cast<size_t>(length));
            if (unusable(text)) journal->release(slot);
            wait = parkFirstWait;
            lastText = std::chrono::steady_clock::now();
            continue;
        }
        journal->release(slot);
        if (std::chrono::steady_clock::now() - lastText >= std::chrono::seconds(parkIdleSeconds))
            break;
        pause(wait);
        wait = std::min(wait * 2, parkLongestWait);
    }
    // Ended by itself: the journal and the locks go, so any session of the site, in any process,
    // may take them.
    if (!stopping.load()) {
        journal = nullptr;
        ownJournal.reset();
        siteLock.reset();
    }
}

void Dispatcher::forwardOne() {
    int slot = journal->acquire();
    if (slot < 0) return;  // the wait for a free slot was interrupted
    int length = q->receive(journal->buffer(slot), mtype, WaitMode);
    if (length < 0) {
        journal->release(slot);  // the wait was interrupted; the loop decides whether to wait again
        return;
    }
    // Measured by the received length, so a NUL inside the text is seen.
    forward(slot, std::string(journal->buffer(slot).mtext, static_cast<size_t>(length)));
}

void Dispatcher::forwardFromStream() {
    // Slots first: a text fetched and left unacknowledged would come again only after the
    // consumer's wait, behind newer ones.
    std::vector<int> free;
    int first = journal->acquire();
    if (first < 0) return;  // the wait for a free slot was interrupted
    free.push_back(first);
    while (free.size() < static_cast<std::size_t>(Journal::slots)) {
        int more = journal->acquire(false);
        if (more < 0) break;
        free.push_back(more);
    }
    // A short wait, so stop() is seen within it.
    std::vector<StreamInlet::Message> got = stream->fetch(static_cast<int>(free.size()), 200);
    if (!got.empty()) pendingInStream.store(stream->pending());
    if (seen == 0) seen = journal->streamTaken();
    std::size_t used = 0, done = 0;
    batch.clear();
    lines.clear();
    for (const StreamInlet::Message& m : got) {
        // Delivered again: already taken or refused.
        if (m.streamSeq != 0 && m.streamSeq <= seen) {
            ++done;
            continue;
        }
        // A hole: messages on their way when a server died never arrived, and the consumer
        // counts them delivered. Read again from the hole, in order; after a remake (or at
        // the start) whatever comes first is where the stream goes on.
        if (m.streamSeq > seen + 1 && !afterRewind) {
            afterRewind = true;
            stream->rewind(seen);
            break;
        }
        afterRewind = false;
        seen = std::max(seen, m.streamSeq);
        ++done;
        if (unusable(m.text)) continue;
        int slot = free[used++];
        journal->fill(slot, m.text, m.streamSeq);
        batch.push_back(slot);
        lines += m.text;
        lines += Pipe::Nl;
    }
    // Every text taken is in the journal (or refused): one acknowledgement covers them.
    stream->ackThrough(got, done);
    for (std::size_t i = used; i < free.size(); ++i) journal->release(free[i]);
    writeFromStream();
}

void Dispatcher::writeFromStream() {
    if (batch.empty()) return;
    if (batch.size() == 1 && direct) {
        bool nothingAhead;
        {
            std::lock_guard<std::mutex> guard(forwardedLock);
            nothingAhead = forwarded.empty();
        }
        std::string text = lines.substr(0, lines.size() - 1);
        if (nothingAhead && direct(batch.front(), text)) return;
    }
    // Up to Journal::slots texts of at most Pipe::maxText bytes: in atomic writes of at most
    // Pipe::BufferSize bytes each.
    std::vector<int> all = batch;
    std::string text = lines;
    std::size_t at = 0;
    batch.clear();
    lines.clear();
    for (int slot : all) {
        std::size_t end = text.find(Pipe::Nl, at) + 1;
        if (!lines.empty() &&
            lines.size() + (end - at) > static_cast<std::size_t>(Pipe::BufferSize)) {
            writeBatch();
            batch.clear();
            lines.clear();
        }
        batch.push_back(slot);
        lines.append(text, at, end - at);
        at = end;
    }
    writeBatch();
}

bool Dispatcher::unusable(const std::string& text) const {
    // The pipe frames texts by newline and the journal measures them up to a NUL: either inside a
    // text would send its pieces as separate messages, each with a number of its own.
    const char* reason = nullptr;
    if (text.empty()) {
        reason = "it is empty";
    } else if (text.find(Pipe::Nl) != std::string::npos) {
        reason = "it holds a newline";
    } else if (text.find('\0') != std::string::npos) {
        reason = "it holds a NUL byte";
    }
    if (reason != nullptr) {
        std::cerr << "Dispatcher [" << site << "] refused an outbound text of " << text.size()
                  << " bytes: " << reason << "." << std::endl;
        return true;
    }
    if (static_cast<int>(text.size()) > Pipe::maxText && stream != nullptr) {
        // A stream carries texts a queue message never could: refused like the others.
        std::cerr << "Dispatcher [" << site << "] refused an outbound text of " << text.size()
                  << " bytes: it is longer than " << Pipe::maxText << " bytes." << std::endl;
        return true;
    }
    if (static_cast<int>(text.size()) > Pipe::maxText) {
        // The pipe cannot carry it whole; report it rather than end every session of the process.
        std::cout << "Dispatcher [" << site << "] dropped an outbound text of " << text.size()
                  << " bytes: longer than the pipe carries." << std::endl;
        return true;
    }
    return false;
}

void Dispatcher::forward(int slot, const std::string& text, bool gather) {
    if (unusable(text)) {
        journal->release(slot);
        return;
    }
    if (direct) {
        bool nothingAhead;
        {
            std::lock_guard<std::mutex> guard(forwardedLock);
            nothingAhead = forwarded.empty();
        }
        // Only this thread adds entries, so an empty record stays empty until it does.
        if (nothingAhead && direct(slot, text)) return;
    }
    batch.assign(1, slot);
    lines.assign(text);
    lines += Pipe::Nl;
    if (gather) takeWaiting();
    writeBatch();
}

void Dispatcher::writeBatch() {
    {
        std::lock_guard<std::mutex> guard(forwardedLock);
        forwarded.insert(forwarded.end(), batch.begin(), batch.end());
    }
    // A signal cuts a wait for room in the pipe short; a write of at most PIPE_BUF bytes happens
    // whole or not at all, so nothing reached the pipe. Only stop() ends the attempts: the texts
    // then stay held in their slots. Any other signal is no reason to give up.
    while (!p->writeBuf(lines.data(), static_cast<int>(lines.size()))) {
        if (stopping.load()) {
            std::lock_guard<std::mutex> guard(forwardedLock);
            forwarded.erase(forwarded.end() - static_cast<long>(batch.size()), forwarded.end());
            return;
        }
    }
}

void Dispatcher::takeWaiting() {
    // The session is busy, so texts queue up behind this one: those already waiting go along in
    // the same write, as long as it stays one atomic pipe write (a text that would not fit stays
    // on the queue). A receive that finds nothing ends it, so a quiet queue costs one call.
    while (batch.size() < maxBatch) {
        int room = Pipe::BufferSize - static_cast<int>(lines.size()) - 1;
        if (room <= 0) return;
        int slot = journal->acquire(false);
        if (slot < 0) return;
        int length = q->receive(journal->buffer(slot), mtype, NoWaitMode, room);
        if (length < 0) {
            journal->release(slot);
            return;
        }
        std::string text(journal->buffer(slot).mtext, static_cast<size_t>(length));
        if (unusable(text)) {
            journal->release(slot);
            continue;
        }
        batch.push_back(slot);
        lines += text;
        lines += Pipe::Nl;
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

int Dispatcher::takeForwarded() {
    std::lock_guard<std::mutex> guard(forwardedLock);
    if (forwarded.empty()) return -1;
    int slot = forwarded.front();
    forwarded.pop_front();
    return slot;
}
