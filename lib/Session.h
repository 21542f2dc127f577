// Session: the world around the session rules (SessionCore) for one TCP connection, shared by
// both gateway roles: the loop over pipe and socket, the logs, the site's journal, sequence file
// and lock, delivery of inbound application messages to the output queue, the dispatcher, and the
// shutdown that gives undelivered outbound texts back to the input queue. The rules themselves,
// of both rule sets and both roles, live in the core; FixClient and FixServer add how a
// connection is made and logged on, and their console.
//
// The loop, in short: each pass flushes pending socket output, takes every whole message the
// socket holds (logged together with one write) and handles the first, sends every text waiting
// in the pipe (logged together with one write, sent with one send), and only when it did neither
// sleeps in one poll on socket and pipe (at most a second, also woken by writability while
// output is pending), after which the idle rule looks again. A socket or pipe that a read has
// drained is read again only once the poll reports it readable. A HeartBtInt of 0 means no
// idle rule.
//
// While the loop sleeps, the dispatcher may stamp, log and send an outbound text itself
// (sendDirect), under the session's lock, so an idle session costs no thread hand-off; the order
// of texts is kept because it does so only when the pipe holds none.
//
// An inbound application message counts (In.seq, the site's SeqFile) only once it is on the
// output queue. The queue is never waited on: when it is full the message is held, the socket is
// not read until the message is delivered, and the session keeps heartbeating, so one application
// that stops reading never stops sessions of other sites and never the outbound side.
//
// A termination signal (requestStop) or 'S' written into the cell by an operator ends a logged-on
// session with a Logout; the session waits up to logoutWait seconds for the answer, then closes.
//
// Thread contract: a Session runs on one thread (the caller's, or its own after Start()); only its
// dispatcher runs beside it, joined through the pipe, the cell's status and sendDirect, which
// runs under `work`, the lock the loop holds except while it sleeps. The output queue is
// shared with other sessions of the process and written under the program's Mutex only.
#pragma once

#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Comm.h"
#include "Converter.h"
#include "Dispatcher.h"
#include "Fix.h"
#include "FixConfig.h"
#include "Journal.h"
#include "Log.h"
#include "MemoryCell.h"
#include "MsgQueue.h"
#include "Mutex.h"
#include "Pipe.h"
#include "SeqFile.h"
#include "SessionCore.h"
#include "SessionPort.h"
#include "Shm.h"
#include "SiteLock.h"
#include "Socket.h"
#include "Tag.h"
#include "Thread.h"

class Session : public Thread, protected SessionPort {
  public:
    // Seconds the idle wait sleeps at most.
    static constexpr int idleWait = 1;
    // Seconds a session waits for the first whole message of the counterparty.
    static constexpr int logonWait = 30;
    // Seconds a session that sent a Logout waits for the answer.
    static constexpr int logoutWait = 3;
    // Unsent socket output (bytes) above which the session takes no new outbound text.
    static constexpr std::size_t maxPendingOutput = 1 << 20;
    // Messages logged with one write, in each direction.
    static constexpr std::size_t maxBatch = 64;

    ~Session() override;

    // The table, the lock around output-queue writes, the output queue and the name of the input
    // queue the dispatcher reads. Called once, before the session runs.
    void Setup(Shm& shm, Mutex& mutex, MsgQueue& qout, std::string& qin);

    // The cell's status is 'O'.
    bool isLoggedOn() const;

    // Asks every session of the process to end in order at its next pass, as if 'S' had been
    // written into its cell. Safe to call from a signal handler.
    static void requestStop();
    // True once requestStop() was called.
    static bool stopRequestedForAll();
    // SIGTERM, SIGINT and SIGHUP call requestStop().
    static void stopOnTerminationSignals();

    // Offers an inbound application message to the output queue as type 1, under the lock,
    // without waiting: false when the queue is full. A message longer than a queue message can
    // never be delivered: the session is marked failed and ends.
    bool writeMsgQueue(const std::string& msg);

    // fix_home + "/logs/" + site + ".initiator": left by an initiator that served the site from
    // this FIXHOME, so the acceptor never takes a Logon for it, even while that initiator is down.
    static std::string initiatorMarkPath(const std::string& site);
    // Creates the mark when it is missing (it is never removed by the programs). Throws
    // LogException "Fail to write the initiator mark file: " + path when it cannot.
    static void markInitiator(const std::string& site);
    // The site's mark is there.
    static bool markedInitiator(const std::string& site);

    // The text of the latest console line of this session.
    const std::string& lastLine() const { return msg; }

    // Why the session ended, in a few words for the operator ("Logout received: <Text>",
    // "connection closed by the counterparty", ...); empty while it runs.
    const std::string& endReason() const { return ending; }
    // A console sentence (or an exception's text) as a clause of a longer line: without its
    // closing period.
    static std::string clause(std::string text);

  protected:
    Session(SessionCore::Role role);
    Session(Socket& s, SessionCore::Role role);

    // Opens the day's incoming and outgoing logs of `site` below the installation root; with
    // announce, a console line names each.
    void openLogs(bool announce = true);
    // Hands the loaded configuration, the site's cell and its rule set to the core; the cell is
    // only read until the session owns the site.
    void attachCore(MemoryCell& siteCell);
    // Takes the site's journal and the site's lock on the table: from here on this session is the
    // site's one live session in any process. Throws JournalBusy when another session holds
    // either. Safe to call again once it has succeeded.
    void lockSite();
    // After lockSite(): the cell's In.seq from the day's SeqFile (from the highest number in the
    // incoming log for a day without one) and Out.seq from the highest number in the outgoing
    // log; then keeps only the journal texts a killed run left there that no log holds.
    void restoreSequences();
    // Makes the day's SeqFile hold In.seq (after a message was accepted, or renumber set it).
    void recordInSeq();
    // Creates the pipe and starts the dispatcher reading queue type `type` (0: any).
    void startDispatcher(long type);
    // Runs the loop until the session is over.
    void runLoop();
    // Status 'S'; pushes out pending socket output for a short while, stops the dispatcher (every
    // text it took that was not logged stays held in the journal, oldest first, with a console
    // line saying how many), and lets go of the journal.
    void endSession();
    // Stops the dispatcher and lets go of the site's journal and lock (through leaveJournal), so a
    // later session of the site can take them over. Safe to call more than once.
    void releaseJournal();
    // Receives the journal and the site's lock a session lets go of; this one lets go of both.
    virtual void leaveJournal(std::unique_ptr<Journal> held, std::unique_ptr<SiteLock> lock) {
        held.reset();
        lock.reset();
    }

    char cellStatus() const { return core.status(); }
    void setCellStatus(char s) { core.setStatus(s); }

    // A console line: kept as the latest line, then shown by the role.
    void say(const std::string& text, int level);

    // SessionPort: what the rules ask of the world.
    void sendNew(const std::string& msg) override;
    void sendAgain(const std::string& msg) override;
    bool deliver(const std::string& msg) override;
    void replayOutgoing(const std::function<void(const std::string&)>& each) override;
    void inboundCounted() override;
    void numbersReset() override;
    void restartQuietInterval() override;
    void console(const std::string& line, int level) override = 0;

    std::string site;
    std::string qinName;
    Shm* shm = nullptr;
    MemoryCell* cell = nullptr;
    Socket* sock = nullptr;
    Mutex* mutex = nullptr;
    MsgQueue* mqOut = nullptr;
    std::unique_ptr<Pipe> p;
    Converter cvt;
    FixConfig cfg;
    Comm comm;
    Log inLog;
    Log outLog;
    // Date (YYYYMMDD) of the open logs.
    int logDay = 0;
    std::unique_ptr<Journal> journal;
    std::unique_ptr<SiteLock> siteLock;
    std::unique_ptr<SeqFile> inSeq;
    SessionCore core;
    // The latest console line; one per session, so sessions on other threads never share it.
    std::string msg;
    // See endReason().
    std::string ending;

  private:
    // Reads every whole message the socket holds (up to maxBatch), logs them with one write and
    // queues them for processing; false when none came.
    bool readInbound(std::time_t now);
    // Stamps the texts waiting in the pipe (up to maxBatch), logs them with one write, then sends
    // them with one send; false when the pipe held none.
    bool sendApplications();
    // Called by the dispatcher's thread for a text it has just taken: when the loop sleeps and
    // nothing is ahead of the text, stamps, logs and sends it like the loop would, and returns
    // true. False leaves the text to the pipe.
    bool sendDirect(int slot, const std::string& text);
    // Builds the message for text numbered seq into outBatch[i] and stamps its journal slot
    // (-1: none) with the number.
    void stage(std::size_t i, int slot, const std::string& text, int seq);
    // Logs the first n staged messages with one write, then frees their slots and sends them with
    // one send. When the log write fails the slots lose their stamps (the texts stay held,
    // unnumbered) and LogException passes on.
    void logAndSend(std::size_t n);
    // Sleeps in one poll on socket and pipe (see the loop) without holding `work`.
    void sleepUntilReady(std::unique_lock<std::mutex>& hold, bool takeOutbound);
    // One pass of the loop while a message waits for the output queue: outbound texts still go,
    // and so do heartbeats, since it is our side that does not read.
    void waitForQueueRoom(std::unique_lock<std::mutex>& hold, bool takeOutbound);
    // An operator's 'S' or a termination signal: a logged-on session says Logout first. True when
    // the loop must end now.
    bool stopRequested();
    // Stops the dispatcher and says how many unsent texts stay in the journal.
    void keepUnsent();
    void flushBeforeEnd();
    // Sets `ending` once the rules (not our stop) have ended the session: by the Logout that went
    // out (answering the counterparty's, or naming a fault), else our own failure, else a message
    // that failed the checks.
    void endedByRules();
    // Sets `ending` for a stop (signal or operator) and how its Logout fared.
    void endedByStop(const std::string& outcome);

    std::unique_ptr<Dispatcher> dispatcher;
    // Held by the loop except while it sleeps; sendDirect runs under it.
    std::mutex work;
    // The loop sleeps and leaves the socket to sendDirect (under `work`).
    bool sleeping = false;
    // The pipe may hold bytes not yet read: a read took all it asked for, or the poll saw it
    // readable.
    bool pipeReady = true;
    // Microseconds of the latest wait for room on the full output queue (0: none since the last
    // delivery).
    long roomWait = 0;
    // Logged inbound messages not yet handled, oldest first.
    std::deque<std::string> received;
    // Reused buffers of the batches.
    std::vector<std::string> inBatch;
    std::vector<std::string> outBatch;
    std::vector<int> outSlots;
    // The session said Logout on a stop and waits for the answer until then (0: it did not).
    std::time_t logoutDeadline = 0;
    // The stop came from a termination signal (else from 'S' written into the cell).
    bool stopBySignal = false;
    // The loop hands the rules a Logout now.
    bool takingLogout = false;
    // A Logout went out during the loop, its Text, and whether it answered the one being taken.
    bool logoutOut = false, logoutAnswer = false;
    std::string logoutOutText;
    // A Logout came in during the loop, and the Text of the latest.
    bool logoutIn = false;
    std::string logoutInText;
};
