// SessionCore: the FIX session rules of one session, without I/O. Inbound messages and the clock
// go in; what to send, what to send again, what to deliver and what to say come out through a
// SessionPort. Its state is the site's cell (numbers, counters, status letter), so the table shows
// every change as it happens, and a test can hand it a cell of its own.
//
// Two rule sets live here side by side, chosen per site:
// - Today's (the default): a message above the expected number is dropped and asked for again, any
//   failed check ends the session, and the roles differ in their idle rule and in what answers a
//   Heartbeat or a Reject.
// - The standard FIX session rules: messages above a gap are kept (up to maxQueued) and processed
//   in order once it is filled, with one ResendRequest per gap (a ResendRequest above the gap is
//   answered at once and counted in its turn; a Logout above it waits at most logoutGrace
//   seconds for the gap to be filled, then is answered); a garbled message
//   is ignored; faults of a well-formed message are answered with a session-level Reject built
//   from the site's Reject template, or with a Logout naming them; SendingTime is checked against
//   the clock; heartbeats and TestRequests follow the two clocks of what was sent and what was
//   received.
// With a data dictionary in the site's configuration, the standard rules also validate every
// inbound message taken in sequence against it (Validator); a failure is answered with a Reject
// naming the reason and the tag, the message counts, and it is neither delivered nor acted on.
// In both, an inbound application message counts only once the port has delivered it, numbers
// never go back (but for a Logon with ResetSeqNumFlag under the standard rules, which starts both
// at 1), and a Logout is answered with a Logout.
//
// Under the standard rules the site's BeginString decides what differs between FIX versions:
// FIX 4.0 and 4.1 ask for "everything from here on" with EndSeqNo 999999, send Rejects with 45
// and 58 only and SendingTime in whole seconds, and 4.0 knows no ResetSeqNumFlag; FIX 4.2 sends
// 373 only for the reasons it defines (0-11), naming any other in 58 alone. FIXT.1.1 sessions
// (BeginString "FIXT.1.1") follow FIX 4.4 and add the application version: every Logon carries
// DefaultApplVerID (1137), one the site accepts; a message naming another ApplVerID (1128) than
// those is rejected with reason 18; each message is validated against the dictionary of its
// ApplVerID (the agreed one when it names none). The session messages
// these rules build carry their fields in tag order (8, 9, 35, the header, then the body), and
// an answer to a message sent on behalf of or for delivery to a third party carries its routing
// fields swapped.
//
// Thread contract: one session thread; the cell's status is written with atomic byte stores
// because other threads and programs read it.
#pragma once

#include <ctime>
#include <deque>
#include <limits>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Fix.h"
#include "FixConfig.h"
#include "MemoryCell.h"
#include "SessionPort.h"
#include "Tag.h"
#include "Validator.h"

class SessionCore {
  public:
    enum class Role { Initiator, Acceptor };
    // A site chooses with a line "@ {rules=standard}" in its configuration file.
    enum class Rules { Today, Standard };

    // Seconds SendingTime may stand from our clock under the standard rules.
    static constexpr int sendingTimeTolerance = 120;
    // Messages kept above a gap under the standard rules; past that a message is dropped and
    // asked for again once the gap is filled.
    static constexpr std::size_t maxQueued = 10000;
    // Seconds a Logout kept above a gap waits for the gap to be filled before it is answered.
    static constexpr int logoutGrace = 3;
    // RefTagID of a Reject that names no tag (0 and negative tags are named as written).
    static constexpr int noTag = std::numeric_limits<int>::min();

    SessionCore(Role role, SessionPort& port);

    // The site's templates and cell and its rules; before anything else. The site's name only
    // appears in console lines.
    void attach(const FixConfig& config, MemoryCell& siteCell, Rules rules,
                const std::string& siteName = std::string());
    Rules rules() const { return ruleSet; }
    Role role() const { return who; }

    // --- Logon ---
    // The Logon (initiator) from the Logon template; with `reset` (standard rules, FIX 4.1 on)
    // both numbers start again at 1 first and the Logon carries ResetSeqNumFlag.
    void sendLogon(bool reset = false);
    // The acceptor's answer, carrying the peer's HeartBtInt.
    void sendLogonReply();
    // True when `msg` is a Logon (or Logon reply) this site can take: MsgType A, a MsgSeqNum, the
    // site's CompIDs, a HeartBtInt of 0 or more, a valid frame (today: at the initiator only) and,
    // under the standard rules, a SendingTime within the tolerance. Takes its HeartBtInt. Reads
    // the cell, never writes it.
    bool usableLogon(const std::string& msg, std::time_t now);
    // Why the last usableLogon() said no. BeginString: another version than the site's;
    // ApplVerID: a FIXT.1.1 Logon whose DefaultApplVerID is missing or not one the site accepts.
    enum class LogonFault { None, NotLogon, CompIDs, Invalid, SendingTime, BeginString, ApplVerID };
    LogonFault logonFault() const { return fault; }
    // The BeginString or ApplVerID fault in words: "BeginString FIX.4.4 where the site speaks
    // FIXT.1.1", "no DefaultApplVerID (1137)", "DefaultApplVerID 7 is not one the site accepts
    // (9)".
    std::string logonRefusal() const;
    // FIXT.1.1: the application version agreed at the Logon (the accepted Logon's 1137).
    const std::string& applVerID() const { return agreedApplVer; }
    // Where the usable Logon stands against the expected number.
    enum class LogonNumber { Expected, Above, Below };
    LogonNumber logonNumber() const;
    // The Logout that answers a Logon numbered below the expected number (standard rules).
    void refuseLowLogon();
    // Counts an accepted Logon (numbered as expected).
    void countLogon();
    // The usable Logon carries ResetSeqNumFlag Y where these rules and the version honour it.
    bool logonAsksReset() const;
    // Both numbers start again at 1: the port puts the old records aside, messages kept above a
    // gap are dropped, and the next Logon reply carries ResetSeqNumFlag Y.
    void resetNumbers();
    // Initiator: a Logon reply that reset the counterparty's numbers without our asking restarts
    // our expected number (ours went out already).
    void followLogonReset();

    // --- After the Logon ---
    // Handles one inbound message that is already in the incoming log.
    void processMsg(const std::string& msg, std::time_t now);
    // An application message waits for the port to take it (the application is slow). Inbound
    // messages are still taken and kept in order behind it, up to maxQueued, as messages above a
    // gap are; where waiting would cost the session, a session message among them acts at once:
    // a TestRequest and a ResendRequest are answered, a Logout is answered and ends the session
    // (what waits stays uncounted, so the next session asks for it again).
    bool holding() const { return !undelivered.empty(); }
    // Whether the socket may be read: not in the first milliseconds of a hold (until the wait
    // between offers has grown to its longest), so an application that is only briefly behind
    // costs nothing, and not once maxQueued messages wait behind the held one.
    bool takesInput() const {
        return !holding() ||
               (roomWait >= roomLongestWait && queued.size() + behind.size() < maxQueued);
    }
    // False for a message that must wait until the held one is delivered because its effect
    // depends on what came before it (a Reset-mode SequenceReset, a Logon): the socket must not
    // be read past it until then.
    bool takesNow(const std::string& msg);
    // Offers the waiting message again and, once it is taken, goes on with the messages kept
    // behind it that are now next in line; true when the waiting message was delivered.
    bool deliverHeld();
    // Microseconds the session may sleep before the core wants to act again: a short wait
    // between offers while holding (from 50 us, doubled up to 5 ms), else a second.
    long wakeIn() const;
    // Called at least once a second while holding: after slowNotice seconds, and every
    // slowRepeat after, a console line says the application is slow; once the hold has lasted
    // the site's appstall limit the session ends with a Logout saying our side cannot take
    // messages. False when the session is over.
    bool watchHold(std::time_t now);
    // Microseconds between offers of a held message to a full output queue (System V queues
    // cannot be waited on for room without blocking): from the shortest, doubled while it stays
    // full, up to the longest. An application that reads makes room within microseconds; one
    // that has stopped costs a wake-up per 5 ms.
    static constexpr long roomFirstWait = 50;
    static constexpr long roomLongestWait = 5000;
    // What a held message waits for, as the slow-application line names it.
    void waitsFor(const std::string& what) { holdTarget = what; }
    // Seconds of holding before the first slow-application line, and between the next ones.
    static constexpr int slowNotice = 5;
    static constexpr int slowRepeat = 60;
    // One step of the idle rule. Today's rules: called after a quiet interval. Standard rules:
    // called at least once a second with the times of the last receive and the last send. False
    // when the session is over.
    bool idle(std::time_t now, std::time_t lastIn, std::time_t lastOut);

    // With `answering`, it answers the TestRequest in `in` (its routing fields swapped).
    void sendHeartbeat(const std::string& testReqID, bool answering = false);
    void sendTestReq();
    // Asks for everything from In.seq + 1 on.
    void sendResendReq();
    // A Logout from the template, with Text when given; the session then waits for the answer.
    // With `answering`, it answers `in` (its routing fields swapped).
    void sendLogout(const std::string& text, bool answering = false);
    bool logoutSent() const { return loggingOut; }
    // The counterparty answered our Logout.
    bool logoutAnswered() const { return answered; }
    // Answers a ResendRequest from the outgoing log (see Session for the guarantees).
    void answerResend(int beginSeq, int endSeq);

    // A new application message for `text` numbered seq.
    const std::string& buildApplication(const std::string& text, int seq);
    // The MsgSeqNum for the next outbound message. Throws std::runtime_error when Out.seq is
    // already the highest int.
    int nextOutSeq() const;
    static int nextAfter(int seq);

    // The heartbeat interval agreed at the Logon (0: none).
    int heartBtInt = 0;
    // The session ended through a failure of our own side.
    bool failed = false;

    char status() const { return __atomic_load_n(&cell->status, __ATOMIC_RELAXED); }
    void setStatus(char s) { __atomic_store_n(&cell->status, s, __ATOMIC_RELAXED); }

    // The message names this site's counterparty as sender and this site as target.
    bool fromCounterparty(const Fix& m) const;
    // SessionRejectReason of every Reject the standard rules send, and its Text.
    static const char* rejectText(int reason);
    // True for 0-5 and A.
    static bool isSessionLevel(const std::string& type);

  private:
    void receivedToday(const std::string& msg);
    void receivedStandard(const std::string& msg, std::time_t now);
    // A standard-rules message numbered as expected; its checks, then its effect.
    void processStandard(const std::string& msg);
    // Checks `in` against the site's dictionary, if any (on a FIXT.1.1 site the one of its
    // ApplVerID); a fault is rejected (and counted when it is the expected number) and false
    // returned.
    bool validates(int seq, const std::string& type);
    // FIXT.1.1: an ApplVerID (1128) the site does not accept is rejected (reason 18); false then.
    bool applVerOk(int seq, const std::string& type);
    bool acceptsApplVer(const std::string& v) const;
    // The validator for messages of ApplVerID v ("" on a FIX 4.x site), or nullptr.
    Validator* validatorFor(const std::string& v) const;
    // The messages kept above a gap that are now next in line.
    void drainQueued();
    // Today's effect of a session message numbered as expected, once counted.
    void sessionMessage(const std::string& type, const std::string& msg);
    void sequenceReset(bool standard);
    void deliverOrHold(const std::string& msg);
    // Today's rules while holding: the message is kept in line, and answered at once when it is a
    // TestRequest, a ResendRequest or a Logout.
    void keepBehindToday(const std::string& msg);
    // Today's rules: the messages kept behind a delivered one, in order.
    void drainToday();
    // The highest number received without a hole above the held message.
    void extendLine();
    void count();
    // Counts an application message the port has delivered, and its pending entry.
    void countDelivered();
    // Counts the message when it is the one expected, then rejects it.
    void reject(int refSeq, const std::string& refType, int reason, int refTag = noTag);
    // A Reject from the site's Reject template: 45, 371 (unless noTag), 372, 373 and its 58, as
    // far as the version has them.
    void sendReject(int refSeq, const std::string& refType, int reason, int refTag = noTag);
    // A Logout naming the fault, answering `in`, then the end.
    void endWithLogout(const std::string& text);
    // PossDupFlag Y needs an OrigSendingTime no later than SendingTime: a fault is rejected (and
    // the second ends the session); false then.
    bool origSendingTimeOk(int seq, const std::string& type);
    // A SenderCompID or TargetCompID missing or empty is rejected naming it; false then.
    bool fieldsOk(int seq, const std::string& type);
    // The tag (49 or 56) that is missing or empty in `in`, or 0.
    int absentCompID() const;
    // A Logon with ResetSeqNumFlag inside the session: numbers back to 1 and answered in kind.
    void resetInSession(int seq);
    // The routing fields of `in` as an answer carries them: 115 as 128, 116 as 129, 144 as 145
    // and back.
    std::string routingAnswer() const;
    void end(const std::string& line);
    // SendingTime (or OrigSendingTime) as seconds since the epoch; -1 when it is not a timestamp.
    static std::time_t utcSeconds(const std::string& text);
    static bool validMsgType(const std::string& type, int fixVersion);
    // SendingTime of `in` within the tolerance of `now`.
    bool sendingTimeOk(std::time_t now) const;
    void gapFill(int nextSeq, int newSeq);
    // The session messages of the standard rules put their fields in tag order.
    void orderSessionFields(char templ);
    void say(const std::string& line, int level) { port.console(line, level); }
    static std::string field(int tag, const std::string& value);
    // Builds into fix from the site's template `templ` (read in place) and data.
    void build(char templ, const std::string& data, int seq);

    Role who;
    SessionPort& port;
    Rules ruleSet = Rules::Today;
    const FixConfig* cfg = nullptr;
    MemoryCell* cell = nullptr;
    std::string version;
    // The version as a number: 40 for FIX.4.0 ... 44 for FIX.4.4, 50 for FIXT.1.1.
    int fixVersion = 44;
    // The next Logon reply carries ResetSeqNumFlag Y; and whether we asked for a reset ourselves.
    bool replyReset = false;
    bool resetAsked = false;
    // We answered a reset inside the session and nothing has come since: a Logon with
    // ResetSeqNumFlag now is the counterparty's reply, not a new request.
    bool resetAnswered = false;
    std::string peerCompID, selfCompID;
    // Standard rules with a dictionary only: by ApplVerID on a FIXT.1.1 site, else one under "".
    std::map<std::string, std::unique_ptr<Validator>> validators;
    // FIXT.1.1: the ApplVerIDs the site accepts (the first is its default), and the one agreed at
    // the Logon. Both empty on a FIX 4.x site.
    std::vector<std::string> applVers;
    std::string agreedApplVer;
    Fix fix;  // what is being built
    Fix in;   // what is being read
    int testReqID = 0;
    std::string undelivered;
    // Holding: the held message's number, the highest number received in line behind it, since
    // when it waits, the latest slow-application line, and the current wait between offers (us).
    int heldSeq = 0;
    int lineTop = 0;
    std::time_t heldSince = 0;
    std::time_t slowSaid = 0;
    long roomWait = 0;
    // The latest time handed in (processMsg, idle, watchHold).
    std::time_t clockNow = 0;
    // The socket was not read for the bound (the idle rule then measures silence from the
    // resumption, not from the last read).
    bool readingStopped = false;
    std::time_t resumedAt = 0;
    int stallLimit = FixConfig::defaultAppStall;
    std::string holdTarget = "room on the output queue";
    // Today's rules: what arrived behind the held message, in arrival order.
    std::deque<std::string> behind;
    std::string site;
    // Standard rules: messages above a gap by MsgSeqNum, the end of the gap last asked for, and
    // when a TestRequest went out unanswered (0: none).
    std::map<int, std::string> queued;
    int askedUpTo = 0;
    // The highest number dropped past maxQueued, and the kept TestRequests and ResendRequests
    // already answered.
    int droppedUpTo = 0;
    std::set<int> answeredAhead;
    // A Logout kept above a gap (its MsgSeqNum; 0: none) and when it came.
    int logoutKept = 0;
    std::time_t logoutKeptAt = 0;
    std::time_t testReqSent = 0;
    bool loggingOut = false;
    bool answered = false;
    LogonFault fault = LogonFault::None;
};
