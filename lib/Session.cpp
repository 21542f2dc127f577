#include "Session.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <limits>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "Common.h"
#include "Syslog.h"
#include "Time.h"

namespace {

// Seconds the shutdown keeps pushing pending socket output before it gives up on a slow peer.
constexpr int finalFlushSeconds = 2;
// How long the shutdown waits for room on a full input queue to give unsent texts back.
constexpr std::chrono::seconds putBackWait{1};

// Set by requestStop(), typically from a termination signal's handler.
std::atomic<bool> stopAll{false};
static_assert(std::atomic<bool>::is_always_lock_free, "requestStop must be async-signal-safe");

// Validation result of a well-framed message from someone other than the site's counterparty.
constexpr int InvalidCompID = -6;

// Session-level MsgTypes; every other type is business the application must see.
bool isSessionLevel(const std::string& type) {
    return type.size() == 1 &&
           (type[0] == msgTypeHeartbeat || type[0] == msgTypeTestReq ||
            type[0] == msgTypeResendReq || type[0] == msgTypeReject || type[0] == msgTypeSeqReset ||
            type[0] == msgTypeLogout || type[0] == msgTypeLogon);
}

// Milliseconds a session holding an undelivered message waits between offers to the full output
// queue; System V queues cannot be waited on for room without blocking the whole send.
constexpr int queueRoomPoll = 5;

}  // namespace

Session::Session() = default;

Session::Session(Socket& s) : sock(&s) {}

Session::~Session() {
    if (dispatcher) dispatcher->stop();
}

void Session::requestStop() {
    stopAll.store(true);
}

void Session::Setup(Shm& table, Mutex& lock, MsgQueue& qout, std::string& qin) {
    shm = &table;
    mutex = &lock;
    mqOut = &qout;
    qinName = qin;
    testReqID = 0;
}

bool Session::isLoggedOn() const {
    return cell != nullptr && cellStatus() == status_Online;
}

void Session::say(const std::string& text, int level) {
    msg = text;
    console(msg, level);
}

std::string Session::field(int tag, const std::string& value) {
    std::string f = Converter::to_string(tag);
    f += equ;
    f += value;
    f += soh;
    return f;
}

void Session::openLogs(bool announce) {
    Time clock;
    std::string date = clock.getLogDate();
    std::string path = fix_home + "/logs/" + site + ".in." + date;
    inLog.openLog(path);
    if (announce) say("Incoming FIX log [" + path + "] was opened.", Normal);
    path = fix_home + "/logs/" + site + ".out." + date;
    outLog.openLog(path);
    logDay = Converter::to_int(date);
    if (announce) say("Outgoing FIX log [" + path + "] was opened.", Normal);
}

void Session::lockSite() {
    if (!journal) journal = std::make_unique<Journal>(fix_home + "/logs/" + site + ".journal");
    if (!siteLock) siteLock = SiteLock::take(shm->getKey(), shm->getCellId(site));
    if (!siteLock) {
        journal.reset();
        throw JournalBusy("Site [" + site + "] is served by another session on this table.");
    }
}

void Session::restoreSequences() {
    // The journal's lock first: a second gateway for a site already served must fail before it
    // touches the live session's numbers in the cell.
    lockSite();
    std::string day = Converter::to_string(logDay);
    inSeq = std::make_unique<SeqFile>(fix_home + "/logs/" + site + ".seq." + day);
    // A day logged before sequence files existed resumes from its incoming log, as it always did.
    if (!inSeq->recorded()) inSeq->set(inLog.getLastSeq());
    cell->In.seq = inSeq->get();
    cell->Out.seq = outLog.getLastSeq();
    int kept = journal->recover([this](int day) {
        if (day == logDay) return outLog.getLastSeq();
        std::string path = fix_home + "/logs/" + site + ".out." + Converter::to_string(day);
        if (access(path.c_str(), F_OK) != 0) return 0;
        Log earlier;
        earlier.openLog(path);
        return earlier.getLastSeq();
    });
    if (kept > 0) {
        say(Converter::to_string(kept) +
                " outbound messages left unsent by an earlier run go first.",
            Normal);
    }
}

void Session::recordInSeq() {
    if (inSeq && inSeq->get() != cell->In.seq) inSeq->set(cell->In.seq);
}

void Session::startDispatcher(long type) {
    p = std::make_unique<Pipe>();
    p->setBlockingMode(nonBlockMode);
    dispatcher = std::make_unique<Dispatcher>(*shm, *p, qinName);
    dispatcher->Setup(site, type);
    if (journal) dispatcher->useJournal(*journal);
    dispatcher->Start();
}

void Session::runLoop() {
    while (cellStatus() != status_Shutdown) {
        if (stopAll.load()) {
            setCellStatus(status_Shutdown);
            say("System Shutdown: stop requested.", 0);
            break;
        }
        comm.flush();
        // Picks up a number renumber wrote into the cell, so a restart keeps it too.
        recordInSeq();
        bool act = false;

        // Inbound first: a peer that has closed is noticed before an outbound text goes into the
        // dead connection, so the text stays in the pipe and goes back on the input queue. While
        // a message waits for the output queue nothing more is read: it must count first.
        bool holding = !undelivered.empty() && !deliverHeld();
        std::string in = holding ? std::string() : comm.recv();
        if (!in.empty()) {
            act = true;
            cell->In.last = std::time(nullptr);
            inLog.write(in);
            processMsg(in);
            recordInSeq();
        } else if (holding) {
            // the socket keeps what the counterparty sends until the application makes room
        } else if (comm.isBroken()) {
            setCellStatus(status_Shutdown);
            say("FIX Message: Unframeable data from remote server.", 0);
            break;
        } else if (comm.isClosed()) {
            setCellStatus(status_Shutdown);
            say("FIX Message: Connection closed by remote server.", 0);
            break;
        }
        if (cellStatus() == status_Shutdown) break;

        // A counterparty that does not read gets no new outbound text until it takes what is
        // pending, so the rest waits in the journal and on the input queue, not in this process.
        bool takeOutbound = comm.pending() < maxPendingOutput;
        std::string out = takeOutbound ? p->readMsg() : std::string();
        if (!out.empty()) {
            act = true;
            sendApplication(out);
        }

        if (act) continue;
        if (holding) {
            waitForQueueRoom(takeOutbound);
            continue;
        }
        // HeartBtInt 0: the counterparty asked for no heartbeats, so silence is never a fault.
        if (timeout <= 0 || comm.isActive(timeout)) {
            try {
                comm.selectWithEvent(takeOutbound ? p->getReaderId() : -1, quietWait());
            } catch (const SocketException&) {
                if (!stopAll.load()) throw;  // the wait was cut short by the stop signal
            }
            continue;
        }
        if (!onIdle()) break;
    }
}

void Session::waitForQueueRoom(bool takeOutbound) {
    if (timeout > 0 && !comm.isActive(timeout)) {
        // The counterparty is not silent, we are not reading it: no TestRequest, no end.
        sendHeartbeat("");
        comm.timeReset();
    }
    // Woken early by an outbound text to send or by room for pending output; a poll, not a
    // sleep, so neither waits the few milliseconds.
    pollfd wake[2];
    nfds_t n = 0;
    if (takeOutbound) wake[n++] = {p->getReaderId(), POLLIN, 0};
    if (comm.pending() > 0) wake[n++] = {sock->getSocket(), POLLOUT, 0};
    poll(wake, n, queueRoomPoll);
}

bool Session::deliverHeld() {
    if (undelivered.empty()) return true;
    if (!writeMsgQueue(undelivered)) return false;
    undelivered.clear();
    countDelivered();
    return true;
}

void Session::countDelivered() {
    cell->In.seq += 1;
    cell->In.pend += 1;
    recordInSeq();
}

int Session::quietWait() const {
    // Sleep no longer than the quiet interval still has to run, so the idle rule acts on time.
    time_t last = std::max(comm.getRecvTime(), comm.getSendTime());
    long left = timeout - static_cast<long>(std::time(nullptr) - last);
    return static_cast<int>(std::clamp(left, 1L, static_cast<long>(idleWait)));
}

void Session::sendApplication(std::string& text) {
    int slot = dispatcher ? dispatcher->takeForwarded() : -1;
    cfg.getMsgTemplate(tagList, Data);
    int seq = nextOutSeq();
    fix.build(tagList, text, seq);
    // The slot is freed only once the log has the message, and its stamp tells a run after a
    // kill in between that the log has it, so the text is sent neither twice nor never.
    if (slot >= 0) dispatcher->journalInUse().stamp(slot, seq, logDay);
    try {
        outLog.write(fix.message);
    } catch (const LogException&) {
        // Not logged, so neither sent nor numbered: the text stays held and goes back.
        if (slot >= 0) dispatcher->journalInUse().stamp(slot, 0, 0);
        throw;
    }
    cell->Out.seq = seq;
    if (slot >= 0) dispatcher->journalInUse().release(slot);
    comm.send(fix.message);
    cell->Out.last = std::time(nullptr);
    cell->Out.proc += 1;
}

int Session::nextOutSeq() const {
    return nextAfter(cell->Out.seq);
}

int Session::nextAfter(int seq) {
    if (seq >= std::numeric_limits<int>::max()) {
        throw std::runtime_error("Outbound MsgSeqNum has reached its highest value.");
    }
    return seq + 1;
}

bool Session::fromCounterparty() const {
    std::string peer = cfg.getHeaderTagDefinition(TagTargetCompID);
    std::string self = cfg.getHeaderTagDefinition(TagSenderCompID);
    if (!peer.empty() && fix.getTagValue(TagSenderCompID) != peer) return false;
    if (!self.empty() && fix.getTagValue(TagTargetCompID) != self) return false;
    return true;
}

void Session::processMsg(std::string& m) {
    fix.message = m;
    if (cell->In.seq == std::numeric_limits<int>::max()) {
        // The counterparty has used the last number there is; no further message can be in order.
        setCellStatus(status_Shutdown);
        say("Failed to verify FIX header information.", 0);
        return;
    }
    std::string version = cfg.getHeaderTagDefinition(TagBeginString);
    int r = fix.validate(version, cell->In.seq + 1);
    if ((r == Valid || r == InvalidSeqGreater || r == InvalidSeqLess) && !fromCounterparty()) {
        r = InvalidCompID;
    }
    if (r == InvalidSeqGreater) {
        sendResendReq();
        return;
    }
    if (r == InvalidSeqLess && fix.getTagCharValue(TagPossDupFlag) == Yes) {
        say("FIX Message: Ignored duplicate [" + Converter::to_string(fix.getMsgSeqNum()) + "].",
            0);
        return;
    }
    if (r != Valid) {
        setCellStatus(status_Shutdown);
        say("Failed to verify FIX header information.", 0);
        return;
    }

    setCellStatus(status_Online);
    std::string type = fix.getTagValue(TagMsgType);
    if (!isSessionLevel(type)) {
        // Counted once the application has it; a full queue holds it until there is room.
        if (writeMsgQueue(m)) {
            countDelivered();
        } else if (!failed) {
            undelivered = m;
        }
        return;
    }
    // Recorded before it is acted on: a restart never answers a message twice.
    cell->In.seq += 1;
    recordInSeq();
    switch (type[0]) {
        case msgTypeHeartbeat:
            onHeartbeat();
            break;
        case msgTypeTestReq:
            sendHeartbeat(fix.getTagValue(TagTestReqID));
            say("FIX Message: <-TESTREQ>", 0);
            break;
        case msgTypeResendReq: {
            int begin = fix.getTagIntValue(TagBeginSeqNo);
            int end = fix.getTagIntValue(TagEndSeqNo);
            onResendRequest(begin, end);
            break;
        }
        case msgTypeReject:
            onReject(m);
            break;
        case msgTypeSeqReset: {
            int next = fix.getTagIntValue(TagNewSeqNo);
            if (next < 1) {
                // Missing, zero or negative: no message can carry such a number.
                setCellStatus(status_Shutdown);
                say("Failed to verify FIX header information.", 0);
                break;
            }
            if (next - 1 < cell->In.seq) {
                // Going back would hand the application messages it already has.
                say("FIX Message: <SEQRESET " + Converter::to_string(next) +
                        "> ignored: below the expected MsgSeqNum " +
                        Converter::to_string(cell->In.seq + 1L) + ".",
                    Warning);
                break;
            }
            cell->In.seq = next - 1;
            recordInSeq();
            say("FIX Message: <SEQRESET " + Converter::to_string(cell->In.seq) + ">", 0);
            break;
        }
        case msgTypeLogout:
            onLogout();
            break;
        default:  // a Logon after the session is up is counted and ignored
            break;
    }
}

void Session::sendMsg(std::string& m) {
    // Logged before it goes out: a process killed in between must not come back and number a new
    // message with a number the counterparty has seen. A message logged but never sent is a gap
    // the counterparty asks for and gets as a resend, and a send that fails leaves it there too.
    try {
        outLog.write(m);
    } catch (const LogException&) {
        cell->Out.seq = Log::getSeq(m) - 1;
        throw;
    }
    comm.send(m);
    cell->Out.last = std::time(nullptr);
}

void Session::sendHeartbeat(std::string id) {
    cfg.getMsgTemplate(tagList, Heartbeat);
    cell->Out.seq = nextOutSeq();
    if (id.empty()) {
        fix.build(tagList, msgTypeHeartbeat, cell->Out.seq);
    } else {
        std::string data = field(TagMsgType, "0") + field(TagTestReqID, id);
        fix.build(tagList, data, cell->Out.seq);
    }
    sendMsg(fix.message);
    say("FIX Message: <HEARTBEAT>", 0);
}

void Session::sendTestReq() {
    cfg.getMsgTemplate(tagList, Testreq);
    testReqID += 1;
    std::string data =
        field(TagMsgType, "1") + field(TagTestReqID, Converter::to_string(testReqID));
    cell->Out.seq = nextOutSeq();
    fix.build(tagList, data, cell->Out.seq);
    sendMsg(fix.message);
    say("FIX Message: <TESTREQ>", 0);
}

bool Session::writeMsgQueue(const std::string& m) {
    if (m.size() > static_cast<size_t>(maxMsgText)) {
        // No queue message can carry it; counting it would lose it, so the session ends and a
        // restart asks for it again.
        failed = true;
        setCellStatus(status_Shutdown);
        say("Inbound message [" + Converter::to_string(Log::getSeq(m)) + "] of " +
                Converter::to_string(static_cast<long>(m.size())) +
                " bytes is longer than a queue message (" + Converter::to_string(maxMsgText) +
                " bytes); the session ends without counting it.",
            Fatal);
        return false;
    }
    bool taken = false;
    mutex->lock();
    try {
        taken = mqOut->offer(m, writeType);
    } catch (...) {
        mutex->unlock();
        throw;
    }
    mutex->unlock();
    return taken;
}

void Session::sendResendReq() {
    int from = cell->In.seq + 1;
    std::string data = field(TagMsgType, "2") + field(TagBeginSeqNo, Converter::to_string(from)) +
                       field(TagEndSeqNo, "0");
    cfg.getMsgTemplate(tagList, Resendreq);
    cell->Out.seq = nextOutSeq();
    fix.build(tagList, data, cell->Out.seq);
    sendMsg(fix.message);
    say("FIX Message: <RESENDREQ " + Converter::to_string(from) + ">", 0);
}

void Session::gapFill(int nextSeq, int newSeq) {
    std::string data = field(TagMsgType, "4") + field(TagNewSeqNo, Converter::to_string(newSeq));
    cfg.getMsgTemplate(tagList, Seqreset);
    fix.build(tagList, data, nextSeq);
    comm.send(fix.message);
    cell->Out.last = std::time(nullptr);
}

void Session::resendMessage(std::string& m) {
    fix.buildResendMessage(m);
    comm.send(fix.message);
    cell->Out.last = std::time(nullptr);
}

void Session::answerResend(int beginSeq, int endSeq) {
    // A request can only ask for numbers from 1 on.
    int begin = std::max(beginSeq, 1);
    int covered = begin - 1;  // last number resent or gap filled
    int highest = 0;          // the highest number in the log
    std::string version = cfg.getHeaderTagDefinition(TagBeginString);
    Fix line;
    outLog.openInput();
    while (!outLog.isInputEOF()) {
        line.message = outLog.getNextLine();
        int seq = Log::getSeq(line.message);
        highest = std::max(highest, seq);
        if (seq <= covered || (endSeq != 0 && seq > endSeq)) continue;
        // Session messages are never replayed; a line a crash or a full disk cut short is not a
        // message any more and is covered by a gap fill, never re-sealed and sent as whole.
        if (isSessionLevel(line.getTagValue(TagMsgType)) || line.validate(version, 0) != Valid) {
            continue;
        }
        if (seq > covered + 1) gapFill(covered + 1, seq);
        resendMessage(line.message);
        covered = seq;
    }
    outLog.closeInput();

    // An open-ended answer covers everything up to the last number ever sent, so the next new
    // message (Out.seq + 1) is exactly what the counterparty expects and no number is used twice.
    // A bounded one covers what it asked for, as far as it exists, and nothing past it.
    int top = std::max(cell->Out.seq, highest);
    int last = endSeq == 0 ? top : std::min(endSeq, top);
    if (covered < last) gapFill(covered + 1, nextAfter(last));
    if (endSeq == 0) cell->Out.seq = top;
}

void Session::endSession() {
    if (cell != nullptr) {
        setCellStatus(status_Shutdown);
        recordInSeq();
    }
    flushBeforeEnd();
    putBackUnsent();
    releaseJournal();
}

void Session::releaseJournal() {
    if (dispatcher) dispatcher->stop();
    inSeq.reset();
    journal.reset();
    siteLock.reset();
}

void Session::flushBeforeEnd() {
    if (sock == nullptr) return;
    try {
        Time start;
        while (comm.pending() > 0 && !comm.isClosed() && !comm.isBroken() &&
               start.past() < finalFlushSeconds) {
            if (comm.flush() == 0) comm.selectWithEvent(-1, 1);
        }
    } catch (const SocketException&) {
        // The connection is gone; what was pending can only be recovered by a resend.
    }
}

void Session::putBackUnsent() {
    if (!dispatcher) return;
    dispatcher->stop();
    Journal& inFlight = dispatcher->journalInUse();
    std::vector<int> back = inFlight.held();
    if (back.empty()) return;
    int returned = 0;
    try {
        MsgQueue input(qinName, 0, 0);
        // Nobody may be reading a full queue: after a short wait for room, the rest stays in the
        // journal, which the site's next session sends first, rather than the session never ending.
        auto deadline = std::chrono::steady_clock::now() + putBackWait;
        for (int slot : back) {
            inFlight.stamp(slot, Journal::returning, 0);
            bool taken = input.offer(inFlight.text(slot), inFlight.type(slot));
            while (!taken && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                taken = input.offer(inFlight.text(slot), inFlight.type(slot));
            }
            if (!taken) {
                inFlight.stamp(slot, 0, 0);
                break;
            }
            inFlight.release(slot);
            ++returned;
        }
    } catch (const std::exception& e) {
        say(std::string("Could not put unsent outbound messages back: ") + e.what(), Fatal);
    }
    if (returned > 0) {
        say(Converter::to_string(returned) +
                " unsent outbound messages were put back on MsgQueue [" + qinName + "].",
            Normal);
    }
    int kept = static_cast<int>(back.size()) - returned;
    if (kept > 0) {
        say(Converter::to_string(kept) +
                " unsent outbound messages stay in the journal for the next session of the site.",
            Normal);
    }
}
