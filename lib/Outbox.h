// Outbox: the one way out of a session for new outbound messages, and so the one place that
// decides their order on the wire. An application text is built with the next MsgSeqNum, its
// journal slot stamped with that number, the message logged, the slot freed and the message
// sent; a session message of the rules is logged, then sent. All of it happens under one lock:
// the session's loop holds it except while it sleeps, and the dispatcher's thread may send a
// text directly (sendDirect) only then, only when the session allows it (nothing ahead of the
// text in the pipe, nothing unread, nothing pending), and only under the same lock, so a direct
// text can never overtake one the loop is sending or has yet to take from the pipe.
//
// Durability: the stamp goes on before the log write and the slot is freed after it, so a run
// killed in between finds the log holding the stamped number and sends the text neither twice
// nor never; a message is logged before it is sent, so a killed run never numbers a new message
// with a number the counterparty has seen.
//
// Thread contract: the session thread calls everything but sendDirect, holding hold(); the
// dispatcher's thread calls sendDirect.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Comm.h"
#include "Journal.h"
#include "Log.h"
#include "MemoryCell.h"
#include "Pipe.h"
#include "SessionCore.h"

class Outbox {
  public:
    // Messages logged with one write and sent with one send at most.
    static constexpr std::size_t maxBatch = 64;

    // The session's rules, outgoing log and stream, and its cell, journal (none: texts carry no
    // slot) and the date (YYYYMMDD) of its open logs, read as the session sets them.
    Outbox(SessionCore& core, Log& outLog, Comm& comm, MemoryCell* const& cell,
           const std::unique_ptr<Journal>& journal, const int& logDay);
    // Whether the dispatcher may send directly right now, asked under the lock; before Start().
    void allowDirectWhen(std::function<bool()> allowed) { directAllowed = std::move(allowed); }
    // Called before new messages are logged (messages, their journal slots or -1, how many) and,
    // with none, before a resend goes out; it throws LogException when they must not go, which
    // leaves them unlogged and unsent as a log that refused them does. For a site whose state
    // another gateway follows.
    using Gate = std::function<void(const std::string* msgs, const int* slots, std::size_t n)>;
    void gateWith(Gate g) { gate = std::move(g); }
    // The numbers of the messages logged last are what the gate saw: called after the log write.
    void afterLogWith(std::function<void()> f) { afterLog = std::move(f); }

    // The lock the session's loop holds.
    std::mutex& lock() { return work; }
    // Releases the held lock around `wait` and lets direct sends happen meanwhile.
    void sleep(std::unique_lock<std::mutex>& hold, const std::function<void()>& wait);

    // Session thread: takes the texts waiting in the pipe (up to maxBatch; `slotOf` gives each
    // one's journal slot, -1 for none), numbers them, logs them with one write and sends them
    // with one send. False when the pipe held none. Throws LogException when the log cannot
    // take them: their slots lose their stamps and the texts stay held, unnumbered.
    bool sendFromPipe(Pipe& p, const std::function<int()>& slotOf);
    // Session thread: a session message of the rules, logged then sent. Throws LogException when
    // the log cannot take it; Out.seq then goes back to the number before it.
    void sendNew(const std::string& msg);
    // Session thread: a resend or gap fill, sent without being logged.
    void sendAgain(const std::string& msg);

    // Dispatcher thread: stamps, logs and sends the text of `slot` like the loop would, when the
    // loop sleeps and allows it; true then. False leaves the text to the pipe. Sets `wake` when
    // output is left pending that the sleeping loop must flush.
    bool sendDirect(int slot, const std::string& text, bool& wake);

  private:
    // Builds the message for `text` numbered seq into batch[i] and stamps its slot.
    void stage(std::size_t i, int slot, const std::string& text, int seq);
    // Logs the first n staged messages with one write, frees their slots, sends them.
    void logAndSend(std::size_t n);

    SessionCore& core;
    Log& outLog;
    Comm& comm;
    MemoryCell* const& cell;
    const std::unique_ptr<Journal>& journal;
    const int& logDay;
    std::function<bool()> directAllowed;
    Gate gate;
    std::function<void()> afterLog;
    std::mutex work;
    // The loop sleeps and has let go of `work`.
    bool sleeping = false;
    std::vector<std::string> batch;
    std::vector<int> slots;
};
