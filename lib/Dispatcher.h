// Dispatcher: the thread that carries a site's outbound application texts from the input message
// queue into its session's pipe, forwarding only while the site's cell shows the session up ('O',
// 'H', 'T'). A session creates one after its logon and stops it at its end.
// Every text is received straight into a slot of the site's Journal and stays there until the
// session has logged it, so no text is ever only in a thread's hands or in the pipe: what a killed
// run left in the journal goes out first when the dispatcher starts again. A text that cannot
// travel as one message (empty, or holding a newline or a NUL) is refused with a line on standard
// error and its slot freed, so it never takes a MsgSeqNum.
// A session that sleeps can take a text straight from the dispatcher's thread (sendDirectWith):
// that saves waking the session's thread for it. The pipe is the way whenever it holds a text,
// so texts keep their order.
// Fed from a stream (useStream): texts come from the site's JetStream consumer instead of the
// queue, as many at a time as the journal has free slots, so every text fetched has a slot. Each
// is put into its slot with its stream sequence and only then acknowledged; a text the stream
// delivers again (a crash came between the two) is at or below the journal's streamTaken() and is
// acknowledged without being taken twice.
// Parked (park()): when an acceptor session ends, a dispatcher for the same Journal object only
// moves the site's own texts from the queue into the journal, so texts for a site without a
// session never fill a queue that other sites share. It keeps the site's lock on the table with
// the journal, and lets go of both (closing the journal, so its lock too) when the journal is full
// (one console line, the rest wait on the queue), after parkIdleSeconds without a text, or when
// stopped; the site's next session takes the journal over with unpark() or opens its file again.
// Thread contract: the owning session calls Setup, useJournal, sendDirectWith, Start, stop and
// takeForwarded; the dispatcher thread only reads the cell's status, receives from its own queue
// object into the journal, calls the session's direct sender and writes the pipe. The record of
// forwarded slots is the only state both touch, under a lock. Whoever holds a parked dispatcher
// (the acceptor's record of parked sites, under its lock) calls unpark or stop. A queue, table or
// pipe failure on the dispatcher thread ends the process with status 255.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Journal.h"
#include "MsgQueue.h"
#include "Pipe.h"
#include "Shm.h"
#include "SiteLock.h"
#include "StreamInlet.h"
#include "Thread.h"

class Dispatcher : public Thread {
  public:
    Dispatcher(Shm& shm, Pipe& p, std::string& qin);
    // Stops the thread first: a parked one may still run when its holder lets go of it.
    ~Dispatcher() override { stop(); }

    // The site whose cell gates forwarding, and the queue message type to take (0: any).
    void Setup(std::string& site, long mtype);
    // Creates the thread; returns pthread_create's result.
    int Start();
    // Installs the do-nothing handler of the signal stop() wakes the thread with (SIGUSR2), without
    // SA_RESTART so it cuts waits short. A program calls it at its start: the signal's default
    // action would end the process if one arrived from outside before the first Start().
    static void installWakeHandler();
    void Run() override { dispatch(); }
    // The thread's body: returns only once stop() asked it to.
    void dispatch();

    // Makes the thread stop receiving and waits until it has ended. A receive that is waiting is
    // interrupted, so no message is taken off the queue after this returns. Safe to call when the
    // thread was never started, and more than once.
    void stop();

    // The journal whose slots the texts travel in; without one the dispatcher keeps its own in
    // memory. Call before Start().
    void useJournal(Journal& j) { journal = &j; }
    Journal& journalInUse() { return *journal; }
    // Takes texts from `inlet` instead of the queue; call before Start().
    void useStream(StreamInlet& inlet) { stream = &inlet; }
    // Texts the stream's consumer held for this site at the latest fetch.
    std::uint64_t streamPending() const { return pendingInStream.load(); }
    // The session's sender for a text (by its slot) when no text is in the pipe ahead of it;
    // it returns false to leave the text to the pipe. Call before Start().
    void sendDirectWith(std::function<bool(int, const std::string&)> sender) {
        direct = std::move(sender);
    }

    // Seconds a parked dispatcher waits for another text of its site before it lets go.
    static constexpr int parkIdleSeconds = 3;
    // A parked dispatcher of `site` (queue type `type`, never 0) holding `held` and the site's
    // lock; nullptr when no thread could be had (both are then let go of).
    static std::unique_ptr<Dispatcher> park(Shm& shm, const std::string& qin,
                                            const std::string& site, long type,
                                            std::unique_ptr<Journal> held,
                                            std::unique_ptr<SiteLock> lock);
    // Stops a parked dispatcher and hands its journal and the site's lock over; nullptr (and no
    // lock) when it had let go of them.
    std::unique_ptr<Journal> unpark(std::unique_ptr<SiteLock>& lock);
    // The parked thread has ended by itself (full or idle): stop() only joins it.
    bool parkOver() const { return finished.load(); }

    // The journal slot of the oldest forwarded text the session has not yet taken from the pipe,
    // -1 when there is none; the session calls it once per text it reads. After stop(), the
    // journal's held slots are exactly the texts the session did not log.
    int takeForwarded();

  private:
    // A parked dispatcher: no pipe.
    Dispatcher(Shm& shm, const std::string& qin) : shm(&shm), p(nullptr), mtype(0), qname(qin) {}
    void forwardOne();
    // Takes the next texts of the stream into free slots and hands them on.
    void forwardFromStream();
    // Hands the texts of `batch` (their lines in `lines`) on: directly, or through the pipe.
    void writeFromStream();
    // Writes `lines` (the texts of the slots in `batch`) into the pipe, recording the slots as
    // forwarded; gives up only when stopped.
    void writeBatch();
    // The parked thread's body: see park().
    void holdParked();
    // Hands the text of a slot to the session (directly, or through the pipe, with gather
    // together with the texts waiting behind it on the queue), or refuses it and frees the slot.
    void forward(int slot, const std::string& text, bool gather = true);
    // Adds the texts already waiting on the queue to `batch` and `lines`, without waiting.
    void takeWaiting();
    // An empty text, or one holding a newline or a NUL, cannot travel as one message (reported on
    // standard error), nor can one longer than the pipe carries (reported on standard output):
    // true, so the caller frees its slot.
    bool unusable(const std::string& text) const;

    Shm* shm;
    Pipe* p;
    std::unique_ptr<MsgQueue> q;
    long mtype;
    std::string qname;
    std::string site;

    StreamInlet* stream = nullptr;
    // The highest stream sequence taken or refused (0: not yet read from the journal), and
    // whether the consumer starts afresh, so whatever it delivers first is where the stream goes
    // on.
    std::uint64_t seen = 0;
    bool afterRewind = true;
    std::atomic<std::uint64_t> pendingInStream{0};
    Journal* journal = nullptr;
    std::unique_ptr<Journal> ownJournal;
    std::atomic<bool> stopping{false};
    std::atomic<bool> finished{false};
    std::mutex forwardedLock;
    std::deque<int> forwarded;
    std::function<bool(int, const std::string&)> direct;
    bool parked = false;
    std::unique_ptr<SiteLock> siteLock;

    // Texts written to the pipe in one write at most.
    static constexpr std::size_t maxBatch = 32;
    // The slots and the lines of the pipe write being made.
    std::vector<int> batch;
    std::string lines;
};
