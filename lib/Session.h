// Session: the world around the session rules (SessionCore) for one TCP connection, shared by
// both gateway roles: the loop over pipe and socket, the logs, the site's journal, sequence file
// and lock, delivery of inbound application messages to the output queue, the dispatcher, and the
// shutdown that leaves unsent outbound texts in the journal for the next session. The rules
// themselves, of both rule sets and both roles, live in the core; FixClient and FixServer add how a
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
// Every new outbound message leaves through the Outbox, which numbers, logs and sends under one
// lock; while the loop sleeps, the dispatcher may send a text through it directly, so an idle
// session costs no thread hand-off.
//
// An inbound application message counts (In.seq, the site's SeqFile) only once it is on the
// output queue. The queue is never waited on: when it is full the core holds the message and
// offers it again at short, growing intervals it chooses (wakeIn), delivering what waits behind
// it as fast as the application takes it. Once the hold outlasts its first few milliseconds the
// socket is read on, up to the core's bound, so the counterparty's TestRequests, ResendRequests and
// Logout are answered; past the bound only a close is watched for. The session keeps heartbeating,
// so one application that stops reading never stops sessions of other sites, never the outbound
// side, and never makes the counterparty look silent. A message longer than a queue message goes as
// numbered parts (MsgParts) and counts once its last part is on the queue; a queue that fills
// between parts holds the rest, and the next offer goes on with the next part.
//
// A site whose applications use JetStream (FixConfig::jetStream, with a link given by
// useBroker) takes its outbound texts from the stream's consumer (the dispatcher) and publishes
// every inbound application message to its inbound stream (StreamOutlet), at most inboundWindow
// waiting for their acknowledgement. The core counts a message once it is published; the number
// a restart expects (the SeqFile) moves only as acknowledgements arrive, in order, so a restart
// asks the counterparty again for what the stream may not hold, and the message id
// (streamIdPrefix + MsgSeqNum) makes a publish repeated after a crash count once. A full window,
// or a link that is down, holds the message as a full queue does.
//
// A termination signal (requestStop) or 'S' written into the cell by an operator ends a logged-on
// session with a Logout; the session waits up to logoutWait seconds for the answer, then closes.
// So does the site's schedule, when the site names one, at its window's close or its next reset.
// Logs, sequence file and journal stamps belong to the schedule's period, named after its start
// date in the site's zone; the start is recorded beside them (periodPath), so a restart knows
// from that record, not from file times, whether it resumes or starts at 1.
//
// Thread contract: a Session runs on one thread (the caller's, or its own after Start()); only its
// dispatcher runs beside it, joined through the pipe, the cell's status and the Outbox's direct
// send, which runs under the Outbox's lock, held by the loop except while it sleeps. The output
// queue is
// shared with other sessions of the process and written under the program's Mutex only.
#pragma once

#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
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
#include "Outbox.h"
#include "Pipe.h"
#include "SeqFile.h"
#include "SessionCore.h"
#include "SessionPort.h"
#include "Shm.h"
#include "SiteLock.h"
#include "SiteStandby.h"
#include "Socket.h"
#include "StreamInlet.h"
#include "StreamOutlet.h"
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

    // The table, the lock around output-queue writes, the output queue (none for a site whose
    // applications use JetStream) and the name of the input queue the dispatcher reads. Called
    // once, before the session runs.
    void Setup(Shm& shm, Mutex& mutex, MsgQueue* qout, std::string& qin);

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
    // without waiting: false when the queue is full. A message longer than a queue message goes
    // as MsgParts, each part under the lock of its own: true once the last one is on the queue,
    // false when the queue filled first; offered again, it goes on with the part that did not fit.
    bool writeMsgQueue(const std::string& msg);

    // The JetStream link for sites whose applications use it (none: such a site cannot log on).
    void useBroker(NatsLink* link) { broker = link; }
    // This gateway's side of a site served by two gateways (FixConfig::standby): every message
    // is recorded through it before it goes on the wire or counts, and the session acts only
    // while it may. Before the session runs.
    void useStandby(SiteStandby* s);
    // Inbound publishes waiting for their acknowledgement at most, per session.
    static constexpr std::size_t inboundWindow = 1024;
    // Seconds a session that ends waits for the acknowledgements of its inbound publishes.
    static constexpr int inboundDrainSeconds = 5;

    // fix_home + "/logs/" + site + ".initiator": left by an initiator that served the site from
    // this FIXHOME, so the acceptor never takes a Logon for it, even while that initiator is down.
    static std::string initiatorMarkPath(const std::string& site);
    // Creates the mark when it is missing (it is never removed by the programs). Throws
    // LogException "Fail to write the initiator mark file: " + path when it cannot.
    static void markInitiator(const std::string& site);
    // The site's mark is there.
    static bool markedInitiator(const std::string& site);

    // The session ended with our Logout at the end of the site's window or at a reset instant.
    bool endedOnSchedule() const { return scheduleEnd != ScheduleEnd::None; }
    // The session ended on an 'S' an operator wrote into the cell.
    bool stoppedByOperator() const { return byOperator; }
    // fix_home + "/logs/" + site + ".period": the start instant of the site's current period
    // (the last reset it passed), as decimal seconds, then the same on the site's clock.
    static std::string periodPath(const std::string& site);

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

    // Opens the period's incoming and outgoing logs of `site` below the installation root (the
    // configuration loaded first names the schedule); with announce, a console line names each.
    void openLogs(bool announce = true);
    // Hands the loaded configuration, the site's cell and its rule set to the core; the cell is
    // only read until the session owns the site.
    void attachCore(MemoryCell& siteCell);
    // Takes the site's journal and the site's lock on the table: from here on this session is the
    // site's one live session in any process. Throws JournalBusy when another session holds
    // either, ShmException when the table's site locks cannot be had. Safe to call again once it
    // has succeeded.
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

    // The site takes its applications through JetStream and a link is there for it.
    bool streamSite() const { return broker != nullptr && cfg.jetStream(); }
    // The site is served by two gateways and this session records through the standby.
    bool standbySite() const { return standby != nullptr && cfg.standby(); }
    // Records inbound messages before they are logged and handled; throws LogException when
    // they must not count (see SiteStandby::confirm). Nothing for other sites.
    void recordInbound(const std::string* msgs, std::size_t n);
    // After the log write of what was recorded last.
    void noteLogged();
    SiteStandby* standby = nullptr;
    // Throws NatsException when the site's streams are missing or take other subjects.
    void checkStreams();

    std::string site;
    std::string qinName;
    NatsLink* broker = nullptr;
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
    // Date (YYYYMMDD) of the open logs: the start date of their period in the site's zone.
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
    // After the journal's recovery, for a stream site: the outlet and the inlet, the journal fed
    // from the stream, and In.seq past what the inbound stream already holds of this period.
    void openStreams();
    // "<site>:<period date>:<resets in the period>:" from the period's kept logs.
    std::string streamIdPrefix() const;
    // Hands over the inbound publishes the stream has stored.
    void collectAcknowledged();
    // At the end: waits a little for the acknowledgements still due and records what counts.
    void settleInbound();
    // The Outbox's gate for a standby site: outbound messages recorded before they are logged.
    void recordOutbound(const std::string* msgs, const int* slots, std::size_t n);
    // The standby site's lease or state stream no longer lets this gateway act: true once the
    // session has been ended without a word to the counterparty.
    bool fenced();
    // The line of the period file for the open period.
    std::string periodLine() const;
    std::uint64_t lastRecorded = 0;
    // The .stream state file, at most once a second.
    void writeStreamState(std::time_t now);
    // The parts of a message longer than a queue message, from the first not yet on the queue.
    bool writeParts(const std::string& msg);
    // Reads every whole message the socket holds (up to maxBatch), logs them with one write and
    // queues them for processing; false when none came.
    bool readInbound(std::time_t now);
    // Called by the dispatcher's thread for a text it has just taken: true when the Outbox sent
    // it directly; false leaves the text to the pipe.
    bool sendDirect(int slot, const std::string& text);
    // The Outbox may send directly: the session is up, not logging out, nothing pending, and
    // nothing unread that could be the end of the connection.
    bool directAllowed();
    // Sleeps in one poll on socket and pipe (see the loop) without holding the Outbox's lock.
    void sleepUntilReady(std::unique_lock<std::mutex>& hold, bool takeOutbound);
    // Sleeps while a message waits for the output queue, as long as the core asks, woken early by
    // an outbound text, by room for pending output, by the counterparty (when still reading) or
    // by its close.
    void waitForRoom(std::unique_lock<std::mutex>& hold, bool takeOutbound, bool reading);
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
    // Sets `ending` for a stop (signal, operator or schedule) and how its Logout fared.
    void endedByStop(const std::string& outcome);

    // The period now belongs to, from the site's schedule and the start it recorded; also when
    // a session of a site that names a schedule must end (its window's close or next reset).
    void choosePeriod(std::time_t now);
    // After the journal's recovery, with `unsent` texts it kept: a new period whose predecessor
    // left inbound numbers unaccepted or texts unsent says so once; the period is recorded.
    void notePeriod(int unsent);
    // The previous period's inbound numbers logged but never accepted: [first, last], or
    // first > last when none.
    std::pair<int, int> gapLeft(int date) const;
    void recordPeriod() const;
    // At the window's close or a reset instant a logged-on session says Logout.
    void endOnSchedule(std::time_t now);

    // The period of the open logs, the start the site had recorded, and whether a reset
    // instant has passed since it.
    Schedule::Period period{0, 0};
    std::optional<std::time_t> periodRecorded;
    bool periodBegins = false;
    // When the session must end on schedule (0: never) and why it did.
    std::time_t scheduleEndsAt = 0;
    enum class ScheduleEnd { None, Window, Reset } scheduleEnd = ScheduleEnd::None;
    bool byOperator = false;

    std::unique_ptr<StreamOutlet> outlet;
    std::unique_ptr<StreamInlet> inlet;
    // MsgSeqNum of the inbound publishes not yet acknowledged, oldest first; and the id prefix.
    std::deque<int> unacked;
    std::string idPrefix;
    std::time_t stateWritten = 0;

    std::unique_ptr<Dispatcher> dispatcher;
    Outbox outbox{core, outLog, comm, cell, journal, logDay};
    // The pipe may hold bytes not yet read: a read took all it asked for, or the poll saw it
    // readable.
    bool pipeReady = true;
    // The message going in parts (its MsgSeqNum and length; 0: none) and the parts already on the
    // queue, so an offer after a full queue never writes a part twice.
    int partSeq = 0;
    std::size_t partLength = 0;
    int partsWritten = 0;
    // Logged inbound messages not yet handled, oldest first.
    std::deque<std::string> received;
    // Reused buffer of the inbound batch.
    std::vector<std::string> inBatch;
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
