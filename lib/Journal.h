// Journal: the outbound texts a site's dispatcher has taken off the input queue and its session
// has not yet written into the outgoing log, kept in a file mapped into memory. The dispatcher's
// receive writes each message straight into a slot of the mapping, so from the moment a message
// leaves the queue it is in the file, and a process killed at any instruction leaves it there.
// A slot is freed once its text is in the outgoing log; before that write the session stamps the
// slot with the MsgSeqNum and log date it is about to use, which tells a later run whether the log
// got it. Opening a journal left by a killed run and calling recover() frees the slots the logs
// already hold and keeps the rest, oldest first, to be sent before anything newer. The journal is
// the one home of a text between queue and log: a session that ends leaves its unsent texts held
// here, in their order, for the site's next session, and never hands them back to the queue.
//
// File: fix_home + "/logs/" + site + ".journal", a fixed header and `slots` slots; a journal
// without a path lives in memory only (for a dispatcher used on its own).
// Thread contract: one dispatcher thread takes slots (acquire, then receive into buffer()), one
// session thread stamps and releases them; the free list is under a lock and a semaphore counts
// the free slots. held() and recover() run while the dispatcher is stopped.
#pragma once

#include <semaphore.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Log.h"
#include "MsgQueue.h"

// The journal is locked by another session: its site is served elsewhere. The text is
// "Fail to lock the journal file: " + path.
class JournalBusy : public LogException {
  public:
    using LogException::LogException;
};

class Journal {
  public:
    // Texts in flight between queue and log at most; the dispatcher waits when all are taken.
    static constexpr int slots = 64;
    // Slot stamp that earlier programs left on a text they were handing back to the input queue;
    // recover() keeps such a text held, unnumbered, like one never logged.
    static constexpr int returning = -1;

    // A journal in memory only.
    Journal();
    // Maps path, creating it (mode 0640) when missing, and locks it for this object's life: two
    // sessions working one site's journal would free each other's texts. Throws LogException
    // "Fail to open the journal file: " + path + ": " + the reason when it cannot or the file is
    // not a journal of this layout, and JournalBusy "Fail to lock the journal file: " + path when
    // another session holds it.
    explicit Journal(const std::string& path);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Dispatcher side. Waits for a free slot and readies it for a receive: the index, or -1 when
    // a signal cut the wait short (or, without wait, when no slot is free).
    int acquire(bool wait = true);
    // The receive buffer of a slot: the queue writes its type and text here.
    MBUF& buffer(int slot);
    // The text and the queue type of an occupied slot.
    std::string text(int slot) const;
    long type(int slot) const;

    // Session side. Records the MsgSeqNum and log date (YYYYMMDD) the text is about to be logged
    // under; call before the log write.
    void stamp(int slot, int seq, int date);
    // The text is in the log, was refused, or the receive left the slot empty: the slot is free
    // again.
    void release(int slot);

    // Dispatcher side, for a site fed from a stream: the text of stream sequence `streamSeq` goes
    // into a slot from acquire(); the slot counts as held only once text and sequence are in.
    void fill(int slot, const std::string& text, std::uint64_t streamSeq);
    // Whether the journal is fed from a stream (else from a queue); recorded in the file. False,
    // with nothing changed, when a queue's texts are held and a stream would feed it.
    bool useStream(bool stream);
    // The highest stream sequence whose text this journal has taken (held or freed since), so a
    // text the stream delivers again after a crash is recognised: 0 before any.
    std::uint64_t streamTaken() const;
    // The stream sequence of a held slot's text (0 when the journal is fed from a queue).
    std::uint64_t streamSeqOf(int slot) const;
    // A site taken over from another gateway: the texts held here are stale (the stream gives
    // again what the other did not send), so they are dropped and the stream is taken as far as
    // `taken`. Run while the dispatcher is stopped.
    void restartStream(std::uint64_t taken);

    // How many texts the journal file at path holds right now, without taking it over (for
    // watching a running gateway); -1 when it is not a journal.
    static int countHeld(const std::string& path);

    // Occupied slots, oldest first.
    std::vector<int> held() const;
    // After a killed run: frees every held slot whose stamp the log of its date covers
    // (lastLogged(date) gives that log's highest MsgSeqNum) and clears the stamp of the rest,
    // which stay held in order. Returns how many stay held.
    int recover(const std::function<int(int date)>& lastLogged);

  private:
    struct Slot;
    struct Header;

    static bool sameLayout(const Header& h);
    void map(bool fresh, const std::string& failure);
    Slot& slot(int index) const;

    int fd = -1;
    void* base = nullptr;
    size_t length = 0;
    Header* header = nullptr;
    Slot* table = nullptr;
    long nextOrder = 1;

    std::mutex lock;
    std::deque<int> freeSlots;
    sem_t freeCount;
};
