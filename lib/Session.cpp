#include "Session.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "Common.h"
#include "MsgParts.h"
#include "StreamNames.h"
#include "StreamState.h"
#include "Syslog.h"
#include "Time.h"

namespace {

// Seconds the shutdown keeps pushing pending socket output before it gives up on a slow peer.
constexpr int finalFlushSeconds = 2;

// Set by requestStop(), typically from a termination signal's handler.
std::atomic<bool> stopAll{false};
static_assert(std::atomic<bool>::is_always_lock_free, "requestStop must be async-signal-safe");

// True when m is a Logout; its Text then goes to text. MsgType is the third field of every
// framed message, so only the header's first bytes are looked at.
bool isLogout(const std::string& m, std::string& text) {
    std::size_t second = m.find(soh);
    std::size_t third = second == std::string::npos ? second : m.find(soh, second + 1);
    static const std::string logoutType = std::string("35=5") + soh;
    if (third == std::string::npos || m.compare(third + 1, logoutType.size(), logoutType) != 0)
        return false;
    Fix logout;
    logout.message = m;
    text = logout.getTagValue(TagText);
    return true;
}

// ": text" when there is a text.
std::string withText(const std::string& text) {
    return text.empty() ? std::string() : ": " + text;
}

}  // namespace

Session::Session(SessionCore::Role role) : core(role, *this) {}

Session::Session(Socket& s, SessionCore::Role role) : sock(&s), core(role, *this) {}

Session::~Session() {
    if (dispatcher) dispatcher->stop();
}

void Session::requestStop() {
    stopAll.store(true);
}

bool Session::stopRequestedForAll() {
    return stopAll.load();
}

void Session::stopOnTerminationSignals() {
    struct sigaction sa {};
    sa.sa_handler = [](int) { requestStop(); };
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
}

std::string Session::initiatorMarkPath(const std::string& site) {
    return fix_home + "/logs/" + site + ".initiator";
}

void Session::markInitiator(const std::string& site) {
    std::string path = initiatorMarkPath(site);
    if (markedInitiator(site)) return;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) throw LogException("Fail to write the initiator mark file: " + path);
    const std::string text = "Site " + site + " is served by gateconnect from this FIXHOME.\n";
    bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (::close(fd) != 0 || !written)
        throw LogException("Fail to write the initiator mark file: " + path);
}

bool Session::markedInitiator(const std::string& site) {
    return ::access(initiatorMarkPath(site).c_str(), F_OK) == 0;
}

void Session::Setup(Shm& table, Mutex& lock, MsgQueue* qout, std::string& qin) {
    shm = &table;
    mutex = &lock;
    mqOut = qout;
    qinName = qin;
}

bool Session::isLoggedOn() const {
    return cell != nullptr && cellStatus() == status_Online;
}

void Session::say(const std::string& text, int level) {
    msg = text;
    console(msg, level);
}

void Session::openLogs(bool announce) {
    choosePeriod(std::time(nullptr));
    std::string date = Converter::to_string(period.date);
    std::string path = fix_home + "/logs/" + site + ".in." + date;
    inLog.openLog(path);
    if (announce) say("Incoming FIX log [" + path + "] was opened.", Normal);
    path = fix_home + "/logs/" + site + ".out." + date;
    outLog.openLog(path);
    logDay = Converter::to_int(date);
    if (announce) say("Outgoing FIX log [" + path + "] was opened.", Normal);
}

void Session::attachCore(MemoryCell& siteCell) {
    bool standard = cfg.standardRules();
    core.attach(cfg, siteCell, standard ? SessionCore::Rules::Standard : SessionCore::Rules::Today,
                site);
    // The standard rules ignore a garbled message; the stream then finds the next one.
    comm.setResync(standard);
}

void Session::lockSite() {
    if (!journal) journal = std::make_unique<Journal>(fix_home + "/logs/" + site + ".journal");
    if (!siteLock) siteLock = SiteLock::take(*shm, shm->getCellId(site));
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
    // Texts this gateway took while it last served the site may have gone out from the other
    // one since: the stream gives again whatever the records do not show as sent.
    if (standbySite() && journal->useStream(true)) journal->restartStream(standby->sentOrder());
    int kept = journal->recover([this](int day) {
        if (day == logDay) return outLog.getLastSeq();
        std::string path = fix_home + "/logs/" + site + ".out." + Converter::to_string(day);
        if (access(path.c_str(), F_OK) != 0) return 0;
        Log earlier;
        earlier.openLog(path);
        return earlier.getLastSeq();
    });
    notePeriod(kept);
    if (standbySite()) standby->record("period", periodLine(), logDay);
    if (streamSite()) {
        openStreams();
    } else {
        journal->useStream(false);
    }
    if (kept > 0) {
        say(Converter::to_string(kept) +
                " outbound messages left unsent by an earlier session go first.",
            Normal);
    }
}

void Session::recordInSeq() {
    if (!inSeq) return;
    // A message published and not yet acknowledged does not count for a restart.
    int durable = cell->In.seq;
    if (!unacked.empty()) durable = std::min(durable, unacked.front() - 1);
    if (inSeq->get() == durable) return;
    inSeq->set(durable);
    if (standbySite()) standby->record("inseq", Converter::to_string(durable), logDay);
}

void Session::checkStreams() {
    std::string why = StreamNames::refusal(site);
    if (!why.empty()) throw NatsException(why);
    if (broker == nullptr)
        throw NatsException("Site [" + site +
                            "] takes its applications through JetStream, and no NATS servers are "
                            "named: give -j or FIXGATE_NATS_SERVERS.");
    broker->checkStream(StreamNames::outStream(site), StreamNames::outSubject(site));
    broker->checkStream(StreamNames::inStream(site), StreamNames::inSubject(site));
}

void Session::openStreams() {
    if (outlet) return;
    if (!journal->useStream(true)) {
        throw LogException("Site [" + site + "]: the journal holds " +
                           Converter::to_string(static_cast<long>(journal->held().size())) +
                           " texts taken from the input queue; serve the site with queues "
                           "(apps=queues) until they are sent.");
    }
    outlet = std::make_unique<StreamOutlet>(*broker, StreamNames::inStream(site),
                                            StreamNames::inSubject(site), inboundWindow);
    inlet = std::make_unique<StreamInlet>(
        *broker, StreamNames::outStream(site), StreamNames::outSubject(site),
        StreamNames::gatewayConsumer, true, journal->streamTaken(), standbySite());
    unacked.clear();
    idPrefix = streamIdPrefix();
    core.waitsFor("stream " + StreamNames::inStream(site) + " to take messages");
    // Publishes a killed run made whose acknowledgements it never saw: the stream holds them in
    // order, so everything up to its last one of this numbering counts.
    std::string last = outlet->lastStoredId();
    if (last.size() > idPrefix.size() && last.compare(0, idPrefix.size(), idPrefix) == 0) {
        int stored = Converter::to_int(last.substr(idPrefix.size()));
        if (stored > cell->In.seq) {
            cell->In.seq = stored;
            inSeq->set(stored);
            say("Inbound messages up to [" + Converter::to_string(stored) + "] are on stream " +
                    StreamNames::inStream(site) + " already: the session expects " +
                    Converter::to_string(stored + 1L) + ".",
                Normal);
        }
    }
}

std::string Session::streamIdPrefix() const {
    // Each sequence reset of the period kept the incoming log aside once: the count tells the
    // numberings apart, the same after a restart.
    std::string date = Converter::to_string(logDay);
    std::string kept = site + ".in." + date + ".reset-";
    int resets = 0;
    if (DIR* d = opendir((fix_home + "/logs").c_str())) {
        while (dirent* e = readdir(d)) {
            if (std::strncmp(e->d_name, kept.c_str(), kept.size()) == 0) ++resets;
        }
        closedir(d);
    }
    return site + ":" + date + ":" + Converter::to_string(resets) + ":";
}

void Session::collectAcknowledged() {
    if (!outlet) return;
    for (std::size_t n = outlet->takeAcknowledged(); n > 0 && !unacked.empty(); --n)
        unacked.pop_front();
}

void Session::writeStreamState(std::time_t now) {
    if (!outlet || now == stateWritten) return;
    stateWritten = now;
    StreamState state;
    state.link = broker->state();
    state.pending = dispatcher ? static_cast<long>(dispatcher->streamPending()) : 0;
    state.unacked = static_cast<long>(outlet->waiting());
    state.at = now;
    // Only a display: a file that cannot be written leaves the monitor with an older line.
    state.write(StreamState::path(site));
}

void Session::startDispatcher(long type) {
    p = std::make_unique<Pipe>();
    p->setBlockingMode(nonBlockMode);
    dispatcher = std::make_unique<Dispatcher>(*shm, *p, qinName);
    dispatcher->Setup(site, type);
    if (journal) dispatcher->useJournal(*journal);
    if (inlet) dispatcher->useStream(*inlet);
    outbox.allowDirectWhen([this] { return directAllowed(); });
    dispatcher->sendDirectWith(
        [this](int slot, const std::string& text) { return sendDirect(slot, text); });
    dispatcher->Start();
}

void Session::runLoop() {
    std::unique_lock<std::mutex> hold(outbox.lock());
    comm.setReadOnWake(true);
    std::time_t lastTick = 0;
    for (;;) {
        if (fenced()) break;
        if (stopRequested()) break;
        endOnSchedule(std::time(nullptr));
        comm.flush();
        collectAcknowledged();
        // Picks up a number renumber wrote into the cell, so a restart keeps it too.
        recordInSeq();
        bool act = false;
        // The rules ended the session in this pass (on a message, or on one they held); any
        // other 'S' is an operator's.
        bool ruled = false;
        auto rules = [&](auto step) {
            bool up = cellStatus() != status_Shutdown;
            step();
            ruled = ruled || (up && cellStatus() == status_Shutdown);
        };
        std::time_t now = std::time(nullptr);

        // A message waiting for the output queue goes first: it must count before those behind.
        if (core.holding()) rules([&] { act = core.deliverHeld(); });
        // Inbound next: a peer that has closed is noticed before an outbound text goes into the
        // dead connection, so the text stays in the journal. While the application is slow the
        // core takes messages up to its bound; past it only a close is watched for.
        auto reading = [&] { return received.empty() || core.takesNow(received.front()); };
        bool reads = core.takesInput() && reading();
        if (reads && received.empty()) readInbound(now);
        reads = reads && reading();
        if (reads && !received.empty()) {
            act = true;
            std::string in = std::move(received.front());
            received.pop_front();
            std::string text;
            takingLogout = isLogout(in, text);
            if (takingLogout) {
                logoutIn = true;
                logoutInText = text;
            }
            rules([&] { core.processMsg(in, now); });
            takingLogout = false;
        } else if (comm.isBroken()) {
            setCellStatus(status_Shutdown);
            say("FIX Message: Unframeable data from remote server.", 0);
            if (logoutDeadline != 0) {
                endedByStop("unframeable data before the Logout answer");
            } else {
                ending = "unframeable data from the counterparty";
            }
            break;
        } else if (comm.isClosed() || (!reads && sock->hungUp())) {
            setCellStatus(status_Shutdown);
            say("FIX Message: Connection closed by remote server.", 0);
            if (logoutDeadline != 0) {
                endedByStop("connection closed before the Logout answer");
            } else {
                ending = "connection closed by the counterparty";
            }
            break;
        }
        if (logoutDeadline == 0 && cellStatus() == status_Shutdown) {
            // An operator's 'S' that came after the pass began: the next pass says Logout.
            if (!ruled && !core.failed) continue;
            endedByRules();
            break;
        }
        if (core.logoutAnswered()) {
            endedByStop("Logout answered");
            break;
        }

        // A counterparty that does not read gets no new outbound text until it takes what is
        // pending, so the rest waits in the journal and on the input queue, not in this process.
        // Nothing new goes out after our Logout.
        bool takeOutbound = comm.pending() < maxPendingOutput && logoutDeadline == 0;
        if (takeOutbound && (pipeReady || p->hasMessage())) {
            if (sock->hungUp()) {
                // A close that came after the last read: the next pass meets it before a text
                // goes into it.
                comm.noteReadable();
                continue;
            }
            bool drains = !p->hasMessage();
            auto slotOf = [this] { return dispatcher ? dispatcher->takeForwarded() : -1; };
            if (outbox.sendFromPipe(*p, slotOf)) act = true;
            if (drains) pipeReady = p->mayHaveMore();
        }

        // The standard rules watch both clocks at least once a second, busy or not, and a held
        // message is watched as often under either rules.
        bool standard = core.rules() == SessionCore::Rules::Standard;
        if (logoutDeadline == 0 && now != lastTick) {
            lastTick = now;
            writeStreamState(now);
            bool up = !standard || core.idle(now, comm.getRecvTime(), comm.getSendTime());
            if (!up || !core.watchHold(now)) {
                endedByRules();
                break;
            }
            // An 'S' written meanwhile is the operator's: the next pass says Logout.
            if (cellStatus() == status_Shutdown) continue;
        }
        if (act) continue;
        // HeartBtInt 0: the counterparty asked for no heartbeats, so silence is never a fault.
        bool quiet = !standard && logoutDeadline == 0 && core.heartBtInt > 0 &&
                     !comm.isActive(core.heartBtInt);
        if (quiet && !core.takesInput()) {
            // Today's rules, not reading because our application is slow: the silence is ours.
            core.sendHeartbeat("");
            comm.timeReset();
            continue;
        }
        if (quiet && !core.idle(now, comm.getRecvTime(), comm.getSendTime())) {
            ending = "no answer to our TestRequest within " +
                     Converter::to_string(core.heartBtInt) + " s";
            break;
        }
        if (quiet) continue;
        if (core.holding()) {
            waitForRoom(hold, takeOutbound, core.takesInput());
        } else {
            sleepUntilReady(hold, takeOutbound);
        }
    }
}

void Session::endedByRules() {
    // An answer carries the Logout template's own Text; a Logout naming a fault carries the
    // fault. A Logout kept above a gap is answered later, by the idle rule.
    std::string templateText;
    if (const std::list<Tag>* logout = cfg.bodyTemplate(FixConfig::Logout)) {
        for (const Tag& t : *logout) {
            if (t.tag == TagText) templateText = t.value;
        }
    }
    bool answer = logoutOut && (logoutAnswer || logoutIn) && logoutOutText == templateText;
    if (answer) {
        ending = "Logout received" + withText(logoutInText);
    } else if (logoutOut) {
        ending = "Logout sent" + withText(logoutOutText);
    } else if (core.failed) {
        ending = "our own failure: " + clause(msg);
    } else {
        // Today's rules end on a frame, number or CompID fault without a word to the peer.
        ending = "a message from the counterparty failed the session checks";
    }
}

std::string Session::clause(std::string text) {
    while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
    return text;
}

void Session::endedByStop(const std::string& outcome) {
    const char* by = stopBySignal ? "termination signal, " : "stop written into the cell, ";
    if (scheduleEnd == ScheduleEnd::Window) by = "end of the window, ";
    if (scheduleEnd == ScheduleEnd::Reset) by = "sequence reset on schedule, ";
    byOperator = !stopBySignal && scheduleEnd == ScheduleEnd::None;
    ending = by + outcome;
}

std::string Session::periodPath(const std::string& siteName) {
    return fix_home + "/logs/" + siteName + ".period";
}

void Session::choosePeriod(std::time_t now) {
    const Schedule& schedule = cfg.schedule();
    periodRecorded.reset();
    FILE* f = std::fopen(periodPath(site).c_str(), "re");
    long long start = 0;
    if (f != nullptr) {
        if (std::fscanf(f, "%lld", &start) == 1 && start > 0)
            periodRecorded = static_cast<std::time_t>(start);
        std::fclose(f);
    }
    period = schedule.period(now, periodRecorded);
    // Without a record (a new site, or one from before periods were recorded) the files of the
    // period's date are resumed, as they always were.
    periodBegins = periodRecorded && schedule.resetDue(periodRecorded, now);
    scheduleEnd = ScheduleEnd::None;
    scheduleEndsAt = 0;
    if (!cfg.namesSchedule()) return;
    std::optional<std::time_t> close = schedule.nextClose(now);
    std::optional<std::time_t> reset = schedule.nextReset(now);
    if (close) scheduleEndsAt = *close;
    if (reset && (!close || *reset < *close)) scheduleEndsAt = *reset;
}

std::pair<int, int> Session::gapLeft(int date) const {
    std::string day = Converter::to_string(date);
    std::string in = fix_home + "/logs/" + site + ".in." + day;
    if (access(in.c_str(), F_OK) != 0) return {1, 0};
    Log earlier;
    earlier.openLog(in);
    int logged = earlier.getLastSeq();
    std::string seq = fix_home + "/logs/" + site + ".seq." + day;
    int accepted = logged;
    if (access(seq.c_str(), F_OK) == 0) {
        SeqFile file(seq);
        if (file.recorded()) accepted = file.get();
    }
    return {accepted + 1, logged};
}

void Session::notePeriod(int unsent) {
    if (periodBegins) {
        int before = cfg.schedule().period(*periodRecorded, periodRecorded).date;
        std::pair<int, int> gap = before == period.date ? std::make_pair(1, 0) : gapLeft(before);
        if (gap.first <= gap.second || unsent > 0) {
            // The counterparty will not be asked again in the new numbering: the operator
            // reconciles by hand. The unsent texts still go first, under new numbers.
            std::string what =
                "Site [" + site + "] period " + Converter::to_string(before) + " ended with ";
            if (gap.first <= gap.second) {
                what += "inbound messages " + Converter::to_string(gap.first) + " to " +
                        Converter::to_string(gap.second) + " never accepted";
                if (unsent > 0) what += " and ";
            }
            if (unsent > 0)
                what += Converter::to_string(unsent) +
                        (unsent == 1 ? " outbound text" : " outbound texts") +
                        " never sent (sent first now)";
            say("ATTENTION: " + what + "; period " + Converter::to_string(period.date) +
                    " starts at 1. Reconcile with the counterparty.",
                Fatal);
        }
    }
    if (!periodRecorded || *periodRecorded != period.start) recordPeriod();
}

std::string Session::periodLine() const {
    return Converter::to_string(static_cast<long>(period.start)) + " " +
           cfg.schedule().local(period.start) + "\n";
}

void Session::recordPeriod() const {
    StateFollower::writePeriod(site, periodLine());
}

void Session::endOnSchedule(std::time_t now) {
    if (scheduleEndsAt == 0 || now < scheduleEndsAt || logoutDeadline != 0) return;
    if (!core.logoutSent() && cellStatus() != status_Shutdown) {
        // Still inside the window: the edge was a reset instant.
        bool reset = cfg.schedule().inWindow(now);
        scheduleEnd = reset ? ScheduleEnd::Reset : ScheduleEnd::Window;
        say(reset ? "Sequence reset due: the session logs out and starts again at 1."
                  : "End of the window: the session logs out.",
            Normal);
        setCellStatus(status_Shutdown);
        core.sendLogout(reset ? "Session ended on schedule: sequence reset"
                              : "Session ended on schedule");
        logoutDeadline = now + logoutWait;
    }
}

void Session::sleepUntilReady(std::unique_lock<std::mutex>& hold, bool takeOutbound) {
    // A second at most: the idle rule acts on time, and a stop by signal (which may land on
    // another thread) or by the operator is seen within a second.
    int fd = takeOutbound ? p->getReaderId() : -1;
    bool alsoWritable = comm.pending() > 0;
    int ready = 0;
    outbox.sleep(hold, [&] { ready = sock->selectEvent(fd, idleWait, alsoWritable); });
    if (ready & Socket::socketReady) comm.noteReadable();
    if (ready & Socket::fdReady) pipeReady = true;
}

bool Session::readInbound(std::time_t now) {
    std::size_t n = 0;
    for (; n < maxBatch; ++n) {
        std::string in = comm.recv();
        if (in.empty()) break;
        if (inBatch.size() <= n) inBatch.emplace_back();
        inBatch[n] = std::move(in);
    }
    if (n == 0) return false;
    cell->In.last = now;
    recordInbound(inBatch.data(), n);
    inLog.writeAll(inBatch, n);
    noteLogged();
    for (std::size_t i = 0; i < n; ++i) received.push_back(std::move(inBatch[i]));
    return true;
}

bool Session::stopRequested() {
    if (logoutDeadline != 0) {
        if (std::time(nullptr) < logoutDeadline) return false;
        endedByStop("Logout not answered within " + Converter::to_string(logoutWait) + " s");
        return true;
    }
    bool operatorStop = cellStatus() == status_Shutdown;
    if (!stopAll.load() && !operatorStop) return false;
    stopBySignal = stopAll.load();
    if (stopBySignal) say("System Shutdown: stop requested.", 0);
    // The dispatcher stops forwarding at once; the counterparty hears why the session ends.
    setCellStatus(status_Shutdown);
    core.sendLogout("");
    logoutDeadline = std::time(nullptr) + logoutWait;
    return false;
}

void Session::waitForRoom(std::unique_lock<std::mutex>& hold, bool takeOutbound, bool reading) {
    pollfd wake[2];
    nfds_t n = 0;
    if (takeOutbound) wake[n++] = {p->getReaderId(), POLLIN, 0};
    // A close always wakes it, so a session that has stopped reading still ends with its peer.
    short events = POLLRDHUP;
    if (reading) events |= POLLIN;
    if (comm.pending() > 0) events |= POLLOUT;
    wake[n++] = {sock->getSocket(), events, 0};
    long us = core.wakeIn();
    timespec wait{us / 1000000, (us % 1000000) * 1000};
    outbox.sleep(hold, [&] { ppoll(wake, n, &wait, nullptr); });
    if (reading && (wake[n - 1].revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)))
        comm.noteReadable();
    pipeReady = true;
}

bool Session::directAllowed() {
    // Outbound messages of a standby site are recorded in batches from the pipe.
    if (standbySite()) return false;
    char status = cellStatus();
    bool up = status == status_Online || status == status_Heartbeat || status == status_TestReq;
    if (!up || logoutDeadline != 0 || comm.pending() > 0) return false;
    // Inbound first, as in the loop: the loop handles whatever the socket holds, which may be
    // the end of the connection, before a new text goes out.
    return received.empty() && !sock->waitReadable(0);
}

bool Session::sendDirect(int slot, const std::string& text) {
    bool wake = false;
    if (!outbox.sendDirect(slot, text, wake)) return false;
    // The loop sleeps without watching for room on the socket; an empty line wakes it to flush.
    if (wake) p->writeMsg(std::string());
    return true;
}

void Session::sendNew(const std::string& m) {
    // Logged before it goes out: a process killed in between must not come back and number a new
    // message with a number the counterparty has seen. A message logged but never sent is a gap
    // the counterparty asks for and gets as a resend, and a send that fails leaves it there too.
    outbox.sendNew(m);
    std::string text;
    if (isLogout(m, text)) {
        logoutOut = true;
        logoutOutText = text;
        logoutAnswer = takingLogout;
    }
}

void Session::sendAgain(const std::string& m) {
    outbox.sendAgain(m);
}

bool Session::deliver(const std::string& m) {
    if (!outlet) return writeMsgQueue(m);
    int seq = Log::getSeq(m);
    if (!outlet->offer(idPrefix + Converter::to_string(seq), m)) return false;
    unacked.push_back(seq);
    return true;
}

bool Session::writeMsgQueue(const std::string& m) {
    if (mqOut == nullptr)
        throw MQException("No output queue: the site takes its applications through JetStream.");
    if (m.size() > static_cast<size_t>(maxMsgText)) return writeParts(m);
    std::lock_guard<Mutex> guard(*mutex);
    return mqOut->offer(m, writeType);
}

bool Session::writeParts(const std::string& m) {
    int seq = Log::getSeq(m);
    int n = MsgParts::count(m.size());
    if (seq != partSeq || m.size() != partLength) {
        partSeq = seq;
        partLength = m.size();
        partsWritten = 0;
        say("Inbound message [" + Converter::to_string(seq) + "] of " +
                Converter::to_string(static_cast<long>(m.size())) +
                " bytes is longer than a queue message; it goes to the application in " +
                Converter::to_string(n) + " parts.",
            Normal);
    }
    while (partsWritten < n) {
        std::string part = MsgParts::part(site, seq, m, partsWritten + 1);
        // One part at a time: the other sites' sessions write between them.
        std::lock_guard<Mutex> guard(*mutex);
        if (!mqOut->offer(part, writeType)) return false;
        ++partsWritten;
    }
    partSeq = 0;
    partLength = 0;
    partsWritten = 0;
    return true;
}

void Session::replayOutgoing(const std::function<void(const std::string&)>& each) {
    outLog.openInput();
    while (!outLog.isInputEOF()) each(outLog.getNextLine());
    outLog.closeInput();
}

void Session::inboundCounted() {
    recordInSeq();
}

void Session::numbersReset() {
    // What the day's logs hold belongs to the old numbering. Kept beside them under the time of
    // the reset, so a restart today resumes the new numbers and a resend replays none of the old.
    std::string when = Time().getLogTime();
    when.erase(std::remove(when.begin(), when.end(), ':'), when.end());
    if (standbySite()) {
        standby->record("reset", when, logDay);
        lastRecorded = standby->confirm();
    }
    for (Log* log : {&inLog, &outLog}) {
        std::string kept = StateFollower::setAside(*log, when);
        if (!kept.empty()) say("FIX log kept as [" + kept + "] after a sequence reset.", Normal);
    }
    noteLogged();
    if (outlet) {
        // The old numbering's publishes settle first; the new one gets ids of its own.
        outlet->drain(inboundDrainSeconds * 1000L);
        collectAcknowledged();
        unacked.clear();
        idPrefix = streamIdPrefix();
    }
    if (inSeq) inSeq->set(0);
}

void Session::restartQuietInterval() {
    comm.timeReset();
}

void Session::endSession() {
    if (cell != nullptr) {
        setCellStatus(status_Shutdown);
        recordInSeq();
    }
    flushBeforeEnd();
    settleInbound();
    keepUnsent();
    releaseJournal();
    inlet.reset();
    outlet.reset();
}

void Session::settleInbound() {
    if (!outlet || cell == nullptr) return;
    std::size_t left = outlet->drain(inboundDrainSeconds * 1000L);
    collectAcknowledged();
    recordInSeq();
    if (left > 0) {
        say(Converter::to_string(static_cast<long>(left)) +
                " inbound messages have no acknowledgement from stream " +
                StreamNames::inStream(site) + " (" + outlet->lastFault() +
                "): the next session asks the counterparty for them again.",
            Normal);
    }
}

void Session::releaseJournal() {
    if (dispatcher) dispatcher->stop();
    inSeq.reset();
    if (journal) leaveJournal(std::move(journal), std::move(siteLock));
    journal.reset();
    siteLock.reset();
}

void Session::flushBeforeEnd() {
    // A gateway that may not act for the site any more sends nothing, not even what is pending.
    if (sock == nullptr || (standbySite() && !standby->mayAct())) return;
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

void Session::keepUnsent() {
    if (!dispatcher) return;
    dispatcher->stop();
    // Put back on the queue they would land behind newer texts; held, they go first next time.
    std::size_t kept = dispatcher->journalInUse().held().size();
    if (kept > 0) {
        say(Converter::to_string(static_cast<long>(kept)) +
                " unsent outbound messages stay in the journal for the next session of the site.",
            Normal);
    }
}

void Session::useStandby(SiteStandby* s) {
    standby = s;
    outbox.gateWith([this](const std::string* msgs, const int* slots, std::size_t n) {
        recordOutbound(msgs, slots, n);
    });
    outbox.afterLogWith([this] { noteLogged(); });
}

void Session::recordOutbound(const std::string* msgs, const int* slots, std::size_t n) {
    if (!standbySite()) return;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t order = slots[i] >= 0 && journal ? journal->streamSeqOf(slots[i]) : 0;
        standby->record("out", msgs[i], logDay, order);
    }
    // With none (a resend) it only asks whether this gateway may still act.
    lastRecorded = standby->confirm();
}

void Session::recordInbound(const std::string* msgs, std::size_t n) {
    if (!standbySite()) return;
    for (std::size_t i = 0; i < n; ++i) standby->record("in", msgs[i], logDay);
    lastRecorded = standby->confirm();
}

void Session::noteLogged() {
    if (standbySite()) standby->logged(lastRecorded);
}

bool Session::fenced() {
    if (!standbySite() || standby->mayAct()) return false;
    // Another gateway may be acting for the site already: not a byte more on this connection.
    setCellStatus(status_Shutdown);
    core.failed = true;
    ending = "gateway " + standby->gatewayName() + " may no longer act for the site";
    say("Site [" + site + "]: " + ending + "; the connection is closed without a Logout.", Fatal);
    return true;
}
