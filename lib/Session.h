// Session: the FIX session engine both gateway roles run on one TCP connection. It holds what the
// initiator (FixClient) and the acceptor share: the loop over pipe and socket, the send steps,
// delivery of inbound application messages to the output queue, validation and the common part of
// message handling, asking for and answering resends, and the shutdown that stops the dispatcher
// and gives undelivered outbound texts back to the input queue. A role supplies the differences
// through the hooks at the bottom: its idle rule, what it does with an inbound Heartbeat, Reject
// and Logout, how it answers a ResendRequest (the operation's name differs), and its console.
//
// The loop, in short: each pass flushes pending socket output, handles at most one whole inbound
// message, sends at most one text from the pipe, and only when it did neither sleeps in one
// select on socket and pipe (at most 5 s and never past the end of the quiet interval, also woken
// by writability while output is pending). When nothing moved for a heartbeat interval the role's
// idle rule decides what happens next; a HeartBtInt of 0 means no idle rule at all.
//
// An inbound application message counts (In.seq, the site's SeqFile) only once it is on the
// output queue. The queue is never waited on: when it is full the message is held, the socket is
// not read until the message is delivered, and the session keeps heartbeating, so one application
// that stops reading never stops sessions of other sites and never the outbound side.
//
// Thread contract: a Session runs on one thread (the caller's, or its own after Start()); only its
// dispatcher runs beside it, joined through the pipe and the cell's status. The output queue is
// shared with other sessions of the process and written under the program's Mutex only.
#pragma once

#include <list>
#include <memory>
#include <string>

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
#include "Shm.h"
#include "SiteLock.h"
#include "Socket.h"
#include "Tag.h"
#include "Thread.h"

// Template keys handed to FixConfig::getMsgTemplate.
constexpr char Logon = 'A';
constexpr char Heartbeat = '0';
constexpr char Testreq = '1';
constexpr char Resendreq = '2';
constexpr char Seqreset = '4';
constexpr char Data = '*';

class Session : public Thread {
  public:
    // Seconds the idle wait sleeps at most.
    static constexpr int idleWait = 5;
    // Seconds a session waits for the first whole message of the counterparty.
    static constexpr int logonWait = 30;
    // Unsent socket output (bytes) above which the session takes no new outbound text.
    static constexpr std::size_t maxPendingOutput = 1 << 20;

    ~Session() override;

    // The table, the lock around output-queue writes, the output queue and the name of the input
    // queue the dispatcher reads. Called once, before the session runs.
    void Setup(Shm& shm, Mutex& mutex, MsgQueue& qout, std::string& qin);

    // The cell's status is 'O'.
    bool isLoggedOn() const;

    // Handles one received message that is already in the incoming log.
    void processMsg(std::string& msg);
    // True once the session has ended through a failure of its own side (a log it could not
    // write, an inbound message the output queue could not take), which the program must report.
    // The roles set it for every exception that ends the loop but a socket's.
    bool hasFailed() const { return failed; }

    void sendTestReq();
    void sendHeartbeat(std::string id);
    // Appends a whole message to the outgoing log, then sends it and stamps Out.last. A message
    // the log cannot take is not sent, Out.seq goes back to the number before it, and the
    // LogException passes on.
    void sendMsg(std::string& msg);
    // Offers an inbound application message to the output queue as type 1, under the lock,
    // without waiting: false when the queue is full. A message longer than a queue message can
    // never be delivered: the session is marked failed and ends.
    bool writeMsgQueue(const std::string& msg);

    // Asks for everything from In.seq + 1 on.
    void sendResendReq();
    // SequenceReset-GapFill numbered nextSeq announcing newSeq; not logged.
    void gapFill(int nextSeq, int newSeq);
    // A logged message sent again as a possible duplicate; not logged.
    void resendMessage(std::string& msg);

    // Asks every session of the process to end in order at its next pass, as if 'S' had been
    // written into its cell. Safe to call from a signal handler.
    static void requestStop();

    // The text of the latest console line of this session.
    const std::string& lastLine() const { return msg; }

  protected:
    Session();
    explicit Session(Socket& s);

    // Opens the day's incoming and outgoing logs of `site` below the installation root; with
    // announce, a console line names each.
    void openLogs(bool announce = true);
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
    // Runs the loop until the cell shows 'S' or the idle rule gives up.
    void runLoop();
    // Status 'S'; stops the dispatcher and puts every text it took that was not logged back on
    // the input queue under its own type, oldest first; pushes out pending socket output for a
    // short while.
    void endSession();

    // Stops the dispatcher and lets go of the site's journal and lock, so a later session of the
    // site can take it over. Safe to call more than once.
    void releaseJournal();

    // Answers a ResendRequest from the outgoing log: every logged business message of the range
    // goes again as a possible duplicate; session messages, and lines that no longer validate,
    // are gap filled. A bounded request is answered up to its EndSeqNo and no further. Never
    // lowers Out.seq; an open-ended request (end 0) always leaves the counterparty expecting
    // Out.seq + 1.
    void answerResend(int beginSeq, int endSeq);

    // The cell's status letter. The dispatcher (and programs outside) read it while this thread
    // writes it, so every access is a single atomic byte load or store.
    char cellStatus() const { return __atomic_load_n(&cell->status, __ATOMIC_RELAXED); }
    void setCellStatus(char s) { __atomic_store_n(&cell->status, s, __ATOMIC_RELAXED); }

    // The MsgSeqNum for the next outbound message. Throws std::runtime_error when Out.seq is
    // already the highest int: the session then ends instead of numbering below zero.
    int nextOutSeq() const;
    static int nextAfter(int seq);

    // The message in fix names this site's counterparty as sender and this site as target.
    bool fromCounterparty() const;

    // A console line: kept as the latest line, then shown by the role.
    void say(const std::string& text, int level);
    // One field in wire form: number, '=', value, SOH.
    static std::string field(int tag, const std::string& value);

    // The role's differences.
    // One step of the idle rule after a quiet interval; false leaves the loop.
    virtual bool onIdle() = 0;
    virtual void onHeartbeat() = 0;
    virtual void onReject(std::string& message) = 0;
    virtual void onLogout() = 0;
    // Answers a ResendRequest under the role's own name for the operation.
    virtual void onResendRequest(int beginSeq, int endSeq) = 0;
    // Shows one console line; level 0 is protocol tracing.
    virtual void console(const std::string& line, int level) = 0;

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
    Fix fix;
    int timeout = 0;
    int testReqID = 0;
    std::list<Tag> tagList;
    // The latest console line; one per session, so sessions on other threads never share it.
    std::string msg;
    // The session ended through a failure of its own side; see hasFailed().
    bool failed = false;

  private:
    // Seconds the idle wait may sleep: what is left of the quiet interval, 1 to idleWait.
    int quietWait() const;
    // Stamps and sends one outbound application text from the pipe.
    void sendApplication(std::string& text);
    // The inbound application message waiting for room on the output queue goes there now if it
    // can, and then counts; true when it went (or none was waiting).
    bool deliverHeld();
    // One pass of the loop while a message waits for the output queue: outbound texts still go,
    // and so do heartbeats, since it is our side that does not read.
    void waitForQueueRoom(bool takeOutbound);
    void countDelivered();
    void putBackUnsent();
    void flushBeforeEnd();

    std::unique_ptr<Dispatcher> dispatcher;
    // An accepted inbound application message the output queue had no room for; not counted yet.
    std::string undelivered;
};
