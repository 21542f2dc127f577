#include "SessionCore.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "Common.h"
#include "Converter.h"
#include "Log.h"
#include "Syslog.h"

namespace {

// Heartbeat intervals a counterparty may stay silent beyond before the standard rules test it.
int testMargin(int heartBtInt) {
    return std::max(1, heartBtInt / 5);
}

// "FIX.4.2" as 42, "FIXT.1.1" as 50; anything else is taken for the latest FIX 4 (44).
int versionNumber(const std::string& begin) {
    if (begin.size() == 7 && begin.compare(0, 4, "FIX.") == 0 && begin[5] == '.' &&
        begin[4] >= '0' && begin[4] <= '9' && begin[6] >= '0' && begin[6] <= '9') {
        return (begin[4] - '0') * 10 + (begin[6] - '0');
    }
    return begin.compare(0, 5, "FIXT.") == 0 ? 50 : 44;
}

// EndSeqNo meaning "everything from BeginSeqNo on" before FIX 4.2.
constexpr int infinityBefore42 = 999999;

}  // namespace

SessionCore::SessionCore(Role role, SessionPort& p) : who(role), port(p) {}

void SessionCore::attach(const FixConfig& config, MemoryCell& siteCell, Rules rules,
                         const std::string& siteName) {
    cfg = &config;
    site = siteName;
    stallLimit = config.appStall();
    cell = &siteCell;
    ruleSet = rules;
    version = cfg->getHeaderTagDefinition(TagBeginString);
    fixVersion = versionNumber(version);
    // Looked up once: every inbound message is checked against them.
    peerCompID = cfg->getHeaderTagDefinition(TagTargetCompID);
    selfCompID = cfg->getHeaderTagDefinition(TagSenderCompID);
    // UTCTimestamp has milliseconds from FIX 4.2 on; the standard rules use them there.
    fix.setMilliseconds(rules == Rules::Standard && fixVersion >= 42);
    applVers = cfg->applVerIDs();
    agreedApplVer = cfg->defaultApplVerID();
    validators.clear();
    if (rules == Rules::Standard) {
        if (applVers.empty()) {
            if (cfg->dictionary())
                validators[std::string()] = std::make_unique<Validator>(cfg->dictionary());
        } else {
            for (const std::string& v : applVers)
                if (auto dict = cfg->dictionaryFor(v))
                    validators[v] = std::make_unique<Validator>(std::move(dict));
        }
    }
}

Validator* SessionCore::validatorFor(const std::string& v) const {
    auto it = validators.find(v);
    return it == validators.end() ? nullptr : it->second.get();
}

bool SessionCore::acceptsApplVer(const std::string& v) const {
    return std::find(applVers.begin(), applVers.end(), v) != applVers.end();
}

bool SessionCore::applVerOk(int seq, const std::string& type) {
    if (applVers.empty() || !in.hasTag(TagApplVerID)) return true;
    std::string named = in.getTagValue(TagApplVerID);
    if (named.empty()) {
        reject(seq, type, 4, TagApplVerID);
        return false;
    }
    if (acceptsApplVer(named)) return true;
    say("FIX Message: [" + Converter::to_string(seq) + "] " + type + " refused: ApplVerID " +
            named + " is not one the site accepts; not delivered.",
        Warning);
    reject(seq, type, 18, TagApplVerID);
    return false;
}

bool SessionCore::validates(int seq, const std::string& type) {
    if (validators.empty()) return true;
    // A FIXT.1.1 application message is checked against the dictionary of the version it names.
    std::string v = agreedApplVer;
    if (!applVers.empty() && !isSessionLevel(type) && in.hasTag(TagApplVerID))
        v = in.getTagValue(TagApplVerID);
    Validator* validator = validatorFor(v);
    if (validator == nullptr) return true;
    Validator::Fault f = validator->check(in.message);
    if (f.ok()) return true;
    say("FIX Message: [" + Converter::to_string(seq) + "] " + type + " refused: tag " +
            (f.tag == noTag ? std::string("?") : Converter::to_string(f.tag)) + ", " +
            rejectText(f.reason) + (isSessionLevel(type) ? "." : "; not delivered."),
        Warning);
    reject(seq, type, f.reason, f.tag);
    return false;
}

std::string SessionCore::field(int tag, const std::string& value) {
    std::string f = Converter::to_string(tag);
    f += equ;
    f += value;
    f += soh;
    return f;
}

bool SessionCore::isSessionLevel(const std::string& type) {
    return type.size() == 1 &&
           (type[0] == msgTypeHeartbeat || type[0] == msgTypeTestReq ||
            type[0] == msgTypeResendReq || type[0] == msgTypeReject || type[0] == msgTypeSeqReset ||
            type[0] == msgTypeLogout || type[0] == msgTypeLogon);
}

bool SessionCore::validMsgType(const std::string& type, int fixVersion) {
    auto alnum = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    };
    auto upper = [](char c) { return c >= 'A' && c <= 'Z'; };
    // One character of 0-9, A-Z, a-z; two letters from AA on as FIX 4.3 and 4.4 add them (FIX 5.0
    // goes on past BZ); any user-defined type (U...).
    if (type.size() == 1) return alnum(type[0]);
    if (!type.empty() && type[0] == 'U') return true;
    if (type.size() != 2 || !upper(type[1])) return false;
    return fixVersion >= 50 ? upper(type[0]) : type[0] == 'A' || type[0] == 'B';
}

const char* SessionCore::rejectText(int reason) {
    switch (reason) {
        case 0:
            return "Invalid tag number";
        case 1:
            return "Required tag missing";
        case 2:
            return "Tag not defined for this message type";
        case 3:
            return "Undefined Tag";
        case 4:
            return "Tag specified without a value";
        case 5:
            return "Value is incorrect (out of range) for this tag";
        case 6:
            return "Incorrect data format for value";
        case 9:
            return "CompID problem";
        case 10:
            return "SendingTime accuracy problem";
        case 11:
            return "Invalid MsgType";
        case 13:
            return "Tag appears more than once";
        case 14:
            return "Tag specified out of required order";
        case 15:
            return "Repeating group fields out of order";
        case 16:
            return "Incorrect NumInGroup count for repeating group";
        case 18:
            return "Invalid/unsupported application version";
        default:
            return "Other";
    }
}

std::time_t SessionCore::utcSeconds(const std::string& text) {
    int y, mo, d, h, mi, s;
    char dash, c1, c2;
    if (text.size() < 17 ||
        std::sscanf(text.c_str(), "%4d%2d%2d%c%2d%c%2d%c%2d", &y, &mo, &d, &dash, &h, &c1, &mi, &c2,
                    &s) != 9 ||
        dash != '-' || c1 != ':' || c2 != ':' || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 ||
        mi > 59 || s > 60) {
        return -1;
    }
    std::tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    return timegm(&t);
}

bool SessionCore::fromCounterparty(const Fix& m) const {
    if (!peerCompID.empty() && m.getTagValue(TagSenderCompID) != peerCompID) return false;
    if (!selfCompID.empty() && m.getTagValue(TagTargetCompID) != selfCompID) return false;
    return true;
}

int SessionCore::nextOutSeq() const {
    return nextAfter(cell->Out.seq);
}

int SessionCore::nextAfter(int seq) {
    if (seq >= std::numeric_limits<int>::max()) {
        throw std::runtime_error("Outbound MsgSeqNum has reached its highest value.");
    }
    return seq + 1;
}

// --- Logon ---------------------------------------------------------------------------------

void SessionCore::sendLogon(bool reset) {
    std::string data = field(TagMsgType, std::string(1, msgTypeLogon));
    if (reset && ruleSet == Rules::Standard && fixVersion >= 41) {
        resetNumbers();
        replyReset = false;
        resetAsked = true;
        data += field(TagResetSeqNumFlag, "Y");
    }
    if (!agreedApplVer.empty()) data += field(TagDefaultApplVerID, agreedApplVer);
    cell->Out.seq = nextOutSeq();
    build(FixConfig::Logon, data, cell->Out.seq);
    port.sendNew(fix.message);
    say("FIX Message: <LOGON>", Warning);
}

void SessionCore::sendLogonReply() {
    std::string data = field(TagMsgType, std::string(1, msgTypeLogon)) +
                       field(TagHeartBtInt, Converter::to_string(heartBtInt));
    if (replyReset) data += field(TagResetSeqNumFlag, "Y");
    if (!agreedApplVer.empty()) data += field(TagDefaultApplVerID, agreedApplVer);
    replyReset = false;
    cell->Out.seq = nextOutSeq();
    build(FixConfig::Logon, data, cell->Out.seq);
    port.sendNew(fix.message);
}

bool SessionCore::usableLogon(const std::string& msg, std::time_t now) {
    in.message = msg;
    bool standard = ruleSet == Rules::Standard;
    // 0 (or none) asks for no heartbeats; below 0 is no interval at all.
    heartBtInt = in.getTagIntValue(TagHeartBtInt);
    fault = LogonFault::None;
    if (in.getTagValue(TagMsgType) != "A" || in.getMsgSeqNum() <= 0 || heartBtInt < 0) {
        fault = LogonFault::NotLogon;
    } else if (!fromCounterparty(in)) {
        fault = LogonFault::CompIDs;
    } else if (int r = (who == Role::Initiator || standard) ? in.validate(version, 0) : Valid;
               r != Valid) {
        // Today the acceptor takes the Logon as framed; the initiator, and the standard rules,
        // check it whole.
        fault = r == InvalidBeginString ? LogonFault::BeginString : LogonFault::Invalid;
    } else if (standard && !sendingTimeOk(now)) {
        fault = LogonFault::SendingTime;
    } else if (!applVers.empty() && !acceptsApplVer(in.getTagValue(TagDefaultApplVerID))) {
        // A FIXT.1.1 session without an application version both sides accept cannot begin.
        fault = LogonFault::ApplVerID;
    }
    Validator* validator = validatorFor(applVers.empty() ? std::string() : cfg->defaultApplVerID());
    if (fault == LogonFault::None && validator) {
        Validator::Fault f = validator->check(msg);
        if (!f.ok()) {
            fault = LogonFault::Invalid;
            say("FIX Message: Logon refused: tag " + Converter::to_string(f.tag) + ", " +
                    rejectText(f.reason) + ".",
                Warning);
        }
    }
    if (fault == LogonFault::None && !applVers.empty())
        agreedApplVer = in.getTagValue(TagDefaultApplVerID);
    return fault == LogonFault::None;
}

bool SessionCore::sendingTimeOk(std::time_t now) const {
    std::time_t sent = utcSeconds(in.getTagValue(TagSendingTime));
    return sent >= 0 && std::labs(static_cast<long>(now - sent)) <= sendingTimeTolerance;
}

std::string SessionCore::logonRefusal() const {
    if (fault == LogonFault::BeginString) {
        std::size_t end = in.message.find(soh);
        std::string begin = in.message.compare(0, 2, "8=") == 0 && end != std::string::npos
                                ? in.message.substr(2, end - 2)
                                : std::string("missing");
        return "BeginString " + begin + " where the site speaks " + version;
    }
    if (fault != LogonFault::ApplVerID) return std::string();
    std::string named = in.getTagValue(TagDefaultApplVerID);
    std::string accepted;
    for (const std::string& v : applVers) accepted += (accepted.empty() ? "" : ",") + v;
    if (!in.hasTag(TagDefaultApplVerID)) return "no DefaultApplVerID (1137)";
    return "DefaultApplVerID " + named + " is not one the site accepts (" + accepted + ")";
}

SessionCore::LogonNumber SessionCore::logonNumber() const {
    // Counted wide: a log ending at the last int leaves no number a Logon could carry.
    long expected = static_cast<long>(cell->In.seq) + 1;
    int n = in.getMsgSeqNum();
    if (n < expected) return LogonNumber::Below;
    return n == expected ? LogonNumber::Expected : LogonNumber::Above;
}

void SessionCore::refuseLowLogon() {
    sendLogout("MsgSeqNum too low, expecting " + Converter::to_string(cell->In.seq + 1L) +
               " but received " + Converter::to_string(in.getMsgSeqNum()));
}

void SessionCore::countLogon() {
    cell->In.seq = in.getMsgSeqNum();
    port.inboundCounted();
}

bool SessionCore::logonAsksReset() const {
    // ResetSeqNumFlag came with FIX 4.1.
    return ruleSet == Rules::Standard && fixVersion >= 41 &&
           in.getTagCharValue(TagResetSeqNumFlag) == Yes;
}

void SessionCore::resetNumbers() {
    port.numbersReset();
    cell->In.seq = 0;
    cell->Out.seq = 0;
    port.inboundCounted();
    queued.clear();
    behind.clear();
    lineTop = 0;
    askedUpTo = 0;
    droppedUpTo = 0;
    answeredAhead.clear();
    logoutKept = 0;
    replyReset = true;
    say("FIX Message: sequence numbers reset to 1.", Warning);
}

void SessionCore::followLogonReset() {
    if (!logonAsksReset() || resetAsked) return;
    cell->In.seq = 0;
    port.inboundCounted();
}

void SessionCore::resetInSession(int seq) {
    resetNumbers();
    sendLogonReply();
    resetAnswered = true;
    if (seq == 1) {
        count();
    } else if (seq > 1) {
        sendResendReq();
    }
}

// --- Inbound -------------------------------------------------------------------------------

void SessionCore::processMsg(const std::string& msg, std::time_t now) {
    clockNow = now;
    if (cell->In.seq == std::numeric_limits<int>::max()) {
        // The counterparty has used the last number there is; no further message can be in order.
        end("Failed to verify FIX header information.");
        return;
    }
    if (ruleSet == Rules::Standard) {
        receivedStandard(msg, now);
    } else if (holding()) {
        keepBehindToday(msg);
    } else {
        receivedToday(msg);
    }
}

void SessionCore::count() {
    cell->In.seq += 1;
    port.inboundCounted();
}

void SessionCore::countDelivered() {
    count();
    cell->In.pend += 1;
}

void SessionCore::deliverOrHold(const std::string& msg) {
    // Counted once the application has it; a full queue holds it until there is room.
    if (port.deliver(msg)) {
        countDelivered();
    } else if (status() != status_Shutdown) {
        undelivered = msg;
        heldSeq = cell->In.seq + 1;
        lineTop = heldSeq;
        extendLine();
        heldSince = clockNow;
        slowSaid = 0;
        roomWait = roomFirstWait;
    }
}

void SessionCore::extendLine() {
    while (queued.count(lineTop + 1) != 0) ++lineTop;
}

bool SessionCore::deliverHeld() {
    if (undelivered.empty()) return false;
    if (!port.deliver(undelivered)) {
        roomWait = std::min(roomWait * 2, roomLongestWait);
        return false;
    }
    undelivered.clear();
    countDelivered();
    if (ruleSet == Rules::Standard) {
        drainQueued();
    } else {
        drainToday();
    }
    return true;
}

bool SessionCore::takesNow(const std::string& msg) {
    if (!holding() || ruleSet != Rules::Standard) return true;
    in.message = msg;
    std::string type = in.getTagValue(TagMsgType);
    return type != "A" && !(type == "4" && in.getTagCharValue(TagGapFillFlag) != Yes);
}

long SessionCore::wakeIn() const {
    return holding() ? std::max(roomWait, roomFirstWait) : 1000000L;
}

bool SessionCore::watchHold(std::time_t now) {
    if (!holding() || status() == status_Shutdown) return true;
    clockNow = now;
    long held = static_cast<long>(now - heldSince);
    std::string waited = Converter::to_string(held) + " s";
    if (stallLimit > 0 && held >= stallLimit) {
        say("Application of site [" + site + "] has taken no message for " + waited +
                "; the session logs out.",
            Fatal);
        endWithLogout("Our side cannot take messages: its application has taken none for " +
                      waited);
        return false;
    }
    if (held >= slowNotice && (slowSaid == 0 || now - slowSaid >= slowRepeat)) {
        slowSaid = now;
        say("Application is slow: site [" + site + "] has waited " + waited + " for " + holdTarget +
                "; " + Converter::to_string(static_cast<long>(queued.size() + 1)) +
                " messages wait.",
            Warning);
    }
    return true;
}

void SessionCore::keepBehindToday(const std::string& msg) {
    // Checked in full in its turn (receivedToday); on arrival only what must be answered now is
    // looked at, so a slow application costs the session little per message.
    in.message = msg;
    std::string type = in.getTagValue(TagMsgType);
    if ((type == "1" || type == "2" || type == "5") && in.validate(version, 0) == Valid &&
        fromCounterparty(in) && in.getMsgSeqNum() > heldSeq) {
        if (type == "5") {
            sessionMessage(type, msg);
            return;
        }
        if (answeredAhead.insert(in.getMsgSeqNum()).second) {
            if (type == "1") {
                sendHeartbeat(in.getTagValue(TagTestReqID), true);
            } else {
                answerResend(in.getTagIntValue(TagBeginSeqNo), in.getTagIntValue(TagEndSeqNo));
            }
        }
    }
    // The counterparty is alive: today's idle rule starts over, as for a message handled now.
    if (!loggingOut) setStatus(status_Online);
    behind.push_back(msg);
}

void SessionCore::drainToday() {
    while (!holding() && status() != status_Shutdown && !behind.empty()) {
        std::string next = std::move(behind.front());
        behind.pop_front();
        receivedToday(next);
    }
    if (!holding()) answeredAhead.clear();
}

void SessionCore::end(const std::string& line) {
    setStatus(status_Shutdown);
    say(line, 0);
}

void SessionCore::receivedToday(const std::string& msg) {
    in.message = msg;
    int r = in.validate(version, cell->In.seq + 1);
    // A well-framed message from someone other than the site's counterparty fails like a wrong
    // checksum, so it is never attributed to this site.
    if ((r == Valid || r == InvalidSeqGreater || r == InvalidSeqLess) && !fromCounterparty(in)) {
        r = InvalidChecksum;
    }
    if (r == InvalidSeqGreater) {
        sendResendReq();
        return;
    }
    if (r == InvalidSeqLess && in.getTagCharValue(TagPossDupFlag) == Yes) {
        say("FIX Message: Ignored duplicate [" + Converter::to_string(in.getMsgSeqNum()) + "].", 0);
        return;
    }
    if (r != Valid) {
        end("Failed to verify FIX header information.");
        return;
    }
    if (!loggingOut) setStatus(status_Online);
    std::string type = in.getTagValue(TagMsgType);
    if (!isSessionLevel(type)) {
        deliverOrHold(msg);
        return;
    }
    // Recorded before it is acted on: a restart never answers a message twice.
    count();
    // Answered on arrival, behind a held message.
    if ((type == "1" || type == "2") && answeredAhead.erase(in.getMsgSeqNum()) > 0) return;
    sessionMessage(type, msg);
}

void SessionCore::receivedStandard(const std::string& msg, std::time_t now) {
    in.message = msg;
    int r = in.validate(version, 0);
    static const char lengthKey[] =
        "\x01"
        "9=";
    std::size_t afterLength = msg.find(soh, msg.find(lengthKey) + 1);
    bool typeThird =
        afterLength != std::string::npos && msg.compare(afterLength + 1, 3, "35=") == 0;
    if (r == InvalidBeginString && msg.compare(0, 2, "8=") == 0 && typeThird) {
        endWithLogout("Incorrect BeginString");
        return;
    }
    if (r != Valid || !typeThird) {
        // Not a message any more: not counted, the session goes on, and the gap it leaves is asked
        // for when the next one comes.
        say("FIX Message: Garbled message ignored.", Warning);
        return;
    }
    testReqSent = 0;
    int seq = in.getMsgSeqNum();
    std::string type = in.getTagValue(TagMsgType);
    // In Reset mode a SequenceReset's own number is not looked at, whatever it is (0 included).
    bool resetMode = type == "4" && in.getTagCharValue(TagGapFillFlag) != Yes;
    if (seq <= 0 && !resetMode) {
        endWithLogout("MsgSeqNum missing");
        return;
    }
    // A CompID that is missing or empty is a fault of the message, rejected in its turn; only a
    // wrong one ends the session.
    if (!fromCounterparty(in) && absentCompID() == 0) {
        reject(seq, type, 9);
        endWithLogout(rejectText(9));
        return;
    }
    std::time_t sent = utcSeconds(in.getTagValue(TagSendingTime));
    if (sent < 0 || std::labs(static_cast<long>(now - sent)) > sendingTimeTolerance) {
        reject(seq, type, 10, sent < 0 ? TagSendingTime : noTag);
        endWithLogout(rejectText(10));
        return;
    }
    if (!loggingOut) setStatus(status_Online);
    if (type == "A" && logonAsksReset()) {
        if (resetAnswered) {
            // The counterparty's reply to our answer (an acceptor takes any Logon for a request):
            // it confirms the reset; answering it again would never end.
            resetAnswered = false;
            if (seq <= cell->In.seq + 1) {
                cell->In.seq = std::max(cell->In.seq, seq);
                port.inboundCounted();
                return;
            }
        } else {
            resetInSession(seq);
            return;
        }
    }
    resetAnswered = false;
    if (resetMode) {
        if (!fieldsOk(seq, type) || !validates(seq, type)) return;
        sequenceReset(true);  // Reset mode: its MsgSeqNum is not checked
        drainQueued();        // messages kept above a gap may be next in line now
        return;
    }
    int expected = cell->In.seq + 1;
    if (holding() && seq == expected) {
        say("FIX Message: Ignored duplicate [" + Converter::to_string(seq) + "].", 0);
        return;
    }
    if (seq > expected) {
        if (type == "5" && (loggingOut || holding())) {
            // The answer to ours, or a Logout while our application is slow (the counterparty
            // must not wait for it): the session ends, and what waits is asked for by the next.
            sessionMessage(type, msg);
            return;
        }
        if (type == "1" && holding() && answeredAhead.insert(seq).second) {
            sendHeartbeat(in.getTagValue(TagTestReqID), true);
        }
        // A Logout above the gap waits in line like any message, so what comes before it is not
        // lost; idle() answers it anyway should the gap stay open for logoutGrace seconds.
        if (type == "5" && logoutKept == 0) {
            logoutKept = seq;
            logoutKeptAt = now;
        }
        if (type == "2" && queued.count(seq) == 0 && answeredAhead.insert(seq).second) {
            // Answered at once: the counterparty may wait for this answer before it fills our gap.
            answerResend(in.getTagIntValue(TagBeginSeqNo), in.getTagIntValue(TagEndSeqNo));
        }
        if (queued.size() < maxQueued) {
            queued.emplace(seq, msg);
        } else {
            droppedUpTo = std::max(droppedUpTo, seq);
            say("FIX Message: [" + Converter::to_string(seq) +
                    "] dropped: too many messages above the gap; it is asked for again.",
                Warning);
        }
        // While holding, numbers up to lineTop are all here: only a hole above them is a gap.
        int top = holding() ? lineTop : cell->In.seq;
        if (seq > top + 1 && askedUpTo < top + 1) {
            sendResendReq();
            askedUpTo = seq - 1;
        }
        if (holding()) extendLine();
        return;
    }
    if (seq < expected) {
        if (in.getTagCharValue(TagPossDupFlag) == Yes) {
            // A duplicate still has to say when it was first sent, and not after it was resent.
            if (!origSendingTimeOk(seq, type)) return;
            say("FIX Message: Ignored duplicate [" + Converter::to_string(seq) + "].", 0);
            return;
        }
        endWithLogout("MsgSeqNum too low, expecting " + Converter::to_string(expected) +
                      " but received " + Converter::to_string(seq));
        return;
    }
    processStandard(msg);
    drainQueued();
}

void SessionCore::processStandard(const std::string& msg) {
    in.message = msg;
    int seq = in.getMsgSeqNum();
    std::string type = in.getTagValue(TagMsgType);
    if (in.getTagCharValue(TagPossDupFlag) == Yes && !origSendingTimeOk(seq, type)) return;
    if (!fieldsOk(seq, type)) return;
    if (!validMsgType(type, fixVersion)) {
        reject(seq, type, 11, TagMsgType);
        return;
    }
    if (!applVerOk(seq, type) || !validates(seq, type)) return;
    if (!isSessionLevel(type)) {
        deliverOrHold(msg);
        return;
    }
    count();
    // Answered when it arrived.
    if ((type == "1" || type == "2") && answeredAhead.erase(seq) > 0) return;
    sessionMessage(type, msg);
}

bool SessionCore::origSendingTimeOk(int seq, const std::string& type) {
    std::string orig = in.getTagValue(TagOrigSendingTime);
    if (orig.empty()) {
        reject(seq, type, 1, TagOrigSendingTime);
        return false;
    }
    std::time_t first = utcSeconds(orig);
    if (first < 0 || first > utcSeconds(in.getTagValue(TagSendingTime))) {
        reject(seq, type, 10);
        endWithLogout(rejectText(10));
        return false;
    }
    return true;
}

int SessionCore::absentCompID() const {
    for (int tag : {TagSenderCompID, TagTargetCompID}) {
        if (!in.hasTag(tag) || in.getTagValue(tag).empty()) return tag;
    }
    return 0;
}

bool SessionCore::fieldsOk(int seq, const std::string& type) {
    if (int tag = absentCompID()) {
        reject(seq, type, in.hasTag(tag) ? 4 : 1, tag);
        return false;
    }
    return true;
}

void SessionCore::drainQueued() {
    while (!holding() && status() != status_Shutdown && !queued.empty()) {
        auto first = queued.begin();
        if (first->first <= cell->In.seq) {
            queued.erase(first);  // filled meanwhile (a gap fill jumped past it)
            continue;
        }
        if (first->first != cell->In.seq + 1) break;
        std::string next = std::move(first->second);
        queued.erase(first);
        processStandard(next);
    }
    answeredAhead.erase(answeredAhead.begin(), answeredAhead.upper_bound(cell->In.seq));
    // A second hole above the first one, or messages dropped past the bound: asked for once the
    // first hole is filled.
    int nextKept = !queued.empty()              ? queued.begin()->first
                   : droppedUpTo > cell->In.seq ? droppedUpTo + 1
                                                : 0;
    if (nextKept != 0 && !holding() && status() != status_Shutdown &&
        askedUpTo < cell->In.seq + 1) {
        sendResendReq();
        askedUpTo = nextKept - 1;
    }
}

void SessionCore::sessionMessage(const std::string& type, const std::string& msg) {
    bool standard = ruleSet == Rules::Standard;
    switch (type[0]) {
        case msgTypeHeartbeat:
            if (!loggingOut) setStatus(status_Online);
            // Today the initiator answers every Heartbeat with one of its own.
            if (!standard && who == Role::Initiator) sendHeartbeat("");
            break;
        case msgTypeTestReq:
            // Its TestReqID, even empty, makes the Heartbeat an answer to it.
            sendHeartbeat(in.getTagValue(TagTestReqID), true);
            say("FIX Message: <-TESTREQ>", 0);
            break;
        case msgTypeResendReq:
            answerResend(in.getTagIntValue(TagBeginSeqNo), in.getTagIntValue(TagEndSeqNo));
            break;
        case msgTypeReject:
            if (standard || who == Role::Acceptor) {
                say("REJECT: " + msg + "\n", Normal);
            } else {
                sendHeartbeat("");
            }
            break;
        case msgTypeSeqReset:
            sequenceReset(standard);
            break;
        case msgTypeLogout:
            logoutKept = 0;
            if (loggingOut) {
                // The answer to ours: the session is over.
                answered = true;
                setStatus(status_Shutdown);
                say("FIX Message: <LOGOUT> answered.", 0);
            } else {
                sendLogout("", true);
                setStatus(status_Shutdown);
                say("FIX Message: <LOGOUT>\nSystem Shutdown!", 0);
            }
            break;
        default:  // a Logon after the session is up is counted and ignored
            break;
    }
}

void SessionCore::sequenceReset(bool standard) {
    int seq = in.getMsgSeqNum();
    int next = in.getTagIntValue(TagNewSeqNo);
    bool gapFill = in.getTagCharValue(TagGapFillFlag) == Yes;
    if (!standard) {
        if (next < 1) {
            // Missing, zero or negative: no message can carry such a number.
            end("Failed to verify FIX header information.");
            return;
        }
        if (next - 1 < cell->In.seq) {
            // Going back would hand the application messages it already has.
            say("FIX Message: <SEQRESET " + Converter::to_string(next) +
                    "> ignored: below the expected MsgSeqNum " +
                    Converter::to_string(cell->In.seq + 1L) + ".",
                Warning);
            return;
        }
        cell->In.seq = next - 1;
        port.inboundCounted();
        say("FIX Message: <SEQRESET " + Converter::to_string(cell->In.seq) + ">", 0);
        return;
    }
    if (in.getTagValue(TagNewSeqNo).empty()) {
        sendReject(seq, "4", 1, TagNewSeqNo);
        return;
    }
    if (gapFill) {
        // Counted already; it moves the expected number forward or is refused.
        if (next > seq) {
            cell->In.seq = next - 1;
            port.inboundCounted();
            say("FIX Message: <SEQRESET " + Converter::to_string(cell->In.seq) + ">", 0);
        } else {
            sendReject(seq, "4", 5, TagNewSeqNo);
        }
        return;
    }
    long expected = cell->In.seq + 1L;
    if (next > expected) {
        cell->In.seq = next - 1;
        port.inboundCounted();
        say("FIX Message: <SEQRESET " + Converter::to_string(cell->In.seq) + ">", 0);
    } else if (next == expected) {
        say("FIX Message: <SEQRESET " + Converter::to_string(next) + "> changes nothing.", Warning);
    } else {
        sendReject(seq, "4", 5, TagNewSeqNo);
    }
}

void SessionCore::reject(int refSeq, const std::string& refType, int reason, int refTag) {
    // A rejected message still counts, when it is the one expected.
    if (refSeq == cell->In.seq + 1) count();
    sendReject(refSeq, refType, reason, refTag);
}

void SessionCore::sendReject(int refSeq, const std::string& refType, int reason, int refTag) {
    std::string data = field(TagMsgType, "3") + field(TagRefSeqNum, Converter::to_string(refSeq));
    // Before FIX 4.2 a Reject has only 45 and 58; FIX 4.2 defines the reasons up to 11, and a
    // later one is said in 58 alone.
    bool standard = ruleSet == Rules::Standard;
    if (!standard || fixVersion >= 42) {
        if (refTag != noTag) data += field(TagRefTagID, Converter::to_string(refTag));
        if (!refType.empty()) data += field(TagRefMsgType, refType);
        if (!standard || fixVersion >= 43 || reason <= 11) {
            data += field(TagSessionRejectReason, Converter::to_string(reason));
        }
    }
    data += field(TagText, rejectText(reason));
    if (standard) data += routingAnswer();
    cell->Out.seq = nextOutSeq();
    build(FixConfig::Reject, data, cell->Out.seq);
    port.sendNew(fix.message);
    say("FIX Message: <REJECT " + Converter::to_string(refSeq) + " " + rejectText(reason) + ">",
        Warning);
}

void SessionCore::endWithLogout(const std::string& text) {
    sendLogout(text, true);
    end("FIX Message: <LOGOUT " + text + ">");
}

// --- Outbound ------------------------------------------------------------------------------

void SessionCore::sendHeartbeat(const std::string& id, bool answering) {
    cell->Out.seq = nextOutSeq();
    std::string data = field(TagMsgType, "0");
    if (!id.empty()) data += field(TagTestReqID, id);
    if (answering && ruleSet == Rules::Standard) data += routingAnswer();
    build(FixConfig::Heartbeat, data, cell->Out.seq);
    port.sendNew(fix.message);
    say("FIX Message: <HEARTBEAT>", 0);
}

void SessionCore::sendTestReq() {
    testReqID += 1;
    std::string data =
        field(TagMsgType, "1") + field(TagTestReqID, Converter::to_string(testReqID));
    cell->Out.seq = nextOutSeq();
    build(FixConfig::Testreq, data, cell->Out.seq);
    port.sendNew(fix.message);
    say("FIX Message: <TESTREQ>", 0);
}

void SessionCore::sendResendReq() {
    // Behind a held message, what is here in line is not asked for again.
    int from = (holding() ? lineTop : cell->In.seq) + 1;
    std::string infinity = ruleSet == Rules::Standard && fixVersion < 42
                               ? Converter::to_string(infinityBefore42)
                               : std::string("0");
    std::string data = field(TagMsgType, "2") + field(TagBeginSeqNo, Converter::to_string(from)) +
                       field(TagEndSeqNo, infinity);
    cell->Out.seq = nextOutSeq();
    build(FixConfig::Resendreq, data, cell->Out.seq);
    port.sendNew(fix.message);
    say("FIX Message: <RESENDREQ " + Converter::to_string(from) + ">", 0);
    // The gap asked for runs at least through the message that showed it: a Logon above the
    // expected number is not kept, so the answer covers it too and later ones wait for it.
    if (ruleSet == Rules::Standard) askedUpTo = std::max({askedUpTo, from, in.getMsgSeqNum()});
}

void SessionCore::sendLogout(const std::string& text, bool answering) {
    std::string data = field(TagMsgType, "5");
    if (!text.empty()) data += field(TagText, text);
    if (answering && ruleSet == Rules::Standard) data += routingAnswer();
    cell->Out.seq = nextOutSeq();
    build(FixConfig::Logout, data, cell->Out.seq);
    port.sendNew(fix.message);
    loggingOut = true;
}

const std::string& SessionCore::buildApplication(const std::string& text, int seq) {
    build(FixConfig::Header, text, seq);
    return fix.message;
}

void SessionCore::build(char templ, const std::string& data, int seq) {
    fix.build(cfg->headerTemplate(), cfg->bodyTemplate(templ), data, seq);
    if (templ != FixConfig::Header) orderSessionFields(templ);
}

void SessionCore::orderSessionFields(char templ) {
    // A Logon body may hold a group (NoMsgTypes), whose order is its meaning.
    if (ruleSet == Rules::Standard) fix.orderFields(templ != FixConfig::Logon);
}

std::string SessionCore::routingAnswer() const {
    static const int swaps[][2] = {{TagOnBehalfOfCompID, TagDeliverToCompID},
                                   {TagOnBehalfOfSubID, TagDeliverToSubID},
                                   {TagOnBehalfOfLocationID, TagDeliverToLocationID},
                                   {TagDeliverToCompID, TagOnBehalfOfCompID},
                                   {TagDeliverToSubID, TagOnBehalfOfSubID},
                                   {TagDeliverToLocationID, TagOnBehalfOfLocationID}};
    std::string out;
    for (const auto& swap : swaps) {
        if (in.hasTag(swap[0])) out += field(swap[1], in.getTagValue(swap[0]));
    }
    return out;
}

void SessionCore::gapFill(int nextSeq, int newSeq) {
    std::string data = field(TagMsgType, "4") + field(TagNewSeqNo, Converter::to_string(newSeq));
    fix.build(cfg->headerTemplate(), cfg->bodyTemplate(FixConfig::Seqreset), data, nextSeq);
    // Under the standard rules a gap fill is a possible duplicate like the messages it replaces;
    // its fields are put in order once that is stamped.
    if (ruleSet == Rules::Standard) fix.buildResendMessage(fix.message);
    orderSessionFields(FixConfig::Seqreset);
    port.sendAgain(fix.message);
}

void SessionCore::answerResend(int beginSeq, int endSeq) {
    bool standard = ruleSet == Rules::Standard;
    if (standard && fixVersion < 42 && endSeq == infinityBefore42) endSeq = 0;
    // A request can only ask for numbers from 1 on.
    int begin = std::max(beginSeq, 1);
    int covered = begin - 1;  // last number resent or gap filled
    int highest = 0;          // the highest number in the log
    Fix line;
    port.replayOutgoing([&](const std::string& text) {
        line.message = text;
        int seq = Log::getSeq(line.message);
        highest = std::max(highest, seq);
        if (seq <= covered || (endSeq != 0 && seq > endSeq)) return;
        // Session messages are never replayed; a line a crash or a full disk cut short is not a
        // message any more and is covered by a gap fill, never re-sealed and sent as whole.
        if (isSessionLevel(line.getTagValue(TagMsgType)) || line.validate(version, 0) != Valid) {
            return;
        }
        if (seq > covered + 1) gapFill(covered + 1, seq);
        fix.buildResendMessage(line.message);
        // Its header in tag order; its body exactly as first sent.
        if (standard) fix.orderFields(false);
        port.sendAgain(fix.message);
        covered = seq;
    });

    // An open-ended answer covers everything up to the last number ever sent, so the next new
    // message (Out.seq + 1) is exactly what the counterparty expects and no number is used twice.
    // A bounded one covers what it asked for, as far as it exists, and nothing past it.
    int top = std::max(cell->Out.seq, highest);
    int last = endSeq == 0 ? top : std::min(endSeq, top);
    if (covered < last) gapFill(covered + 1, nextAfter(last));
    if (endSeq == 0) cell->Out.seq = top;
}

// --- Idle ----------------------------------------------------------------------------------

bool SessionCore::idle(std::time_t now, std::time_t lastIn, std::time_t lastOut) {
    clockNow = now;
    if (logoutKept != 0 && now - logoutKeptAt >= logoutGrace) {
        auto kept = queued.find(logoutKept);
        logoutKept = 0;
        if (kept != queued.end()) {
            in.message = kept->second;
            queued.erase(kept);
            sessionMessage("5", in.message);
            return false;
        }
    }
    if (ruleSet == Rules::Today) {
        switch (status()) {
            case status_Online:
                if (who == Role::Initiator) {
                    port.restartQuietInterval();
                } else {
                    sendHeartbeat("");
                }
                setStatus(status_Heartbeat);
                return true;
            case status_Heartbeat:
                sendTestReq();
                setStatus(status_TestReq);
                return true;
            default:
                if (who == Role::Initiator) say("FIX Message: No response from remote server.", 0);
                return false;
        }
    }
    if (heartBtInt <= 0) return true;
    if (!takesInput()) {
        // The socket is not read because our application is slow: silence is ours, not the
        // counterparty's, so it is neither tested nor ended; it still hears from us.
        readingStopped = true;
        testReqSent = 0;
        if (now - lastOut >= heartBtInt) sendHeartbeat("");
        return true;
    }
    if (readingStopped) {
        readingStopped = false;
        resumedAt = now;
    }
    lastIn = std::max(lastIn, resumedAt);
    if (testReqSent != 0 && now - testReqSent >= heartBtInt) {
        endWithLogout("No answer to TestRequest");
        return false;
    }
    if (testReqSent == 0 && now - lastIn >= heartBtInt + testMargin(heartBtInt)) {
        sendTestReq();
        testReqSent = now;
        if (!loggingOut) setStatus(status_TestReq);
        return true;
    }
    if (now - lastOut >= heartBtInt) sendHeartbeat("");
    return true;
}
