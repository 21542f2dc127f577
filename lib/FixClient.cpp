#include "FixClient.h"

#include <cerrno>
#include <exception>
#include <iostream>

#include "Common.h"

FixClient::FixClient() : Session(SessionCore::Role::Initiator) {}

FixClient::FixClient(Socket& s, std::string& siteName) : Session(s, SessionCore::Role::Initiator) {
    site = siteName;
}

int FixClient::Start() {
    return Thread::Start();
}

void FixClient::Run() {
    try {
        Client();
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
    }
}

int FixClient::Client() {
    slog = std::make_unique<Syslog>(Normal);
    comm.setup(*sock);
    // The configuration first: the site's schedule names the period the logs belong to. One
    // that cannot be read is reported after the logs are opened, as it always was.
    std::exception_ptr cfgFault;
    try {
        cfg.load(site);
    } catch (const CfgException&) {
        cfgFault = std::current_exception();
    }
    openLogs();
    if (cfgFault) std::rethrow_exception(cfgFault);
    say("FIX Site [" + site + "] Configuration was loaded.", Normal);
    cell = shm->getCell(site);
    attachCore(*cell);
    restoreSequences();
    say("Setup FIX sequence numbers. SEQ IN: " + Converter::to_string(cell->In.seq) +
            " SEQ OUT: " + Converter::to_string(cell->Out.seq),
        Warning);

    loggedOn = false;
    try {
        logonAndRun();
    } catch (const PipeException& e) {
        core.failed = true;
        msg = "System Shutdown: Caught exception in Pipe operation.";
        ending = "our own failure: " + clause(e.what());
    } catch (const MQException& e) {
        core.failed = true;
        msg = "System Shutdown: Caught exception in MsgQueue operation.";
        ending = "our own failure: " + clause(e.what());
    } catch (const SocketException& e) {
        msg = "System Shutdown: Caught exception in Socket operation.";
        // A reset is the counterparty's doing (or a TLS tunnel's in front of it that refused us).
        bool reset = e.error() == ECONNRESET || e.error() == EPIPE;
        if (reset) {
            ending = loggedOn ? "connection reset by the counterparty"
                              : "connection reset before the Logon reply";
        } else {
            ending = std::string(loggedOn ? "connection failed: "
                                          : "connection failed before the Logon reply: ") +
                     e.withReason();
        }
    } catch (const std::exception& e) {
        // Anything else still ends the session in order, so no outbound text is lost.
        core.failed = true;
        msg = std::string("System Shutdown: ") + e.what();
        ending = "our own failure: " + clause(e.what());
    }
    if (ending.empty()) ending = clause(msg);
    // Our own failures are news for the operator; a peer's end is the usual trace line.
    console(msg, core.failed ? Fatal : 0);
    endSession();
    // The dispatcher has stopped: its pipe goes with the session, so a process that runs one
    // session after another keeps no descriptor of the ones before.
    if (p) p->close();
    slog.reset();
    if (!loggedOn) return LogonFailed;
    return core.failed ? SessionFailed : 0;
}

void FixClient::sendLogon() {
    core.sendLogon(resetOnLogon);
}

int FixClient::recvLogonReply() {
    reply = comm.recvWithin(logonWait);
    if (reply.empty() || !core.usableLogon(reply, std::time(nullptr))) return Fail;
    core.followLogonReset();
    say("FIX Message: <-LOGON>", Warning);
    setCellStatus(status_Online);
    return Success;
}

void FixClient::logonAndRun() {
    sendLogon();
    if (recvLogonReply() != Success) {
        ending = logonRefused();
        say("Error: Fail to receive <-LOGON> reply.", Fatal);
        return;
    }
    SessionCore::LogonNumber number = core.logonNumber();
    if (number == SessionCore::LogonNumber::Below) {
        // In.seq comes from the day's records, where a counterparty may have left any number:
        // counted wide, so a record at the last int asks for a number no message can carry.
        long expected = static_cast<long>(cell->In.seq) + 1;
        ending = "Logon reply numbered too low: " + Converter::to_string(Log::getSeq(reply)) +
                 ", expecting " + Converter::to_string(expected);
        if (core.rules() == SessionCore::Rules::Standard) {
            core.refuseLowLogon();
            ending += ", Logout sent";
        }
        say("Error: Received incoming message sequencenumber [" +
                Converter::to_string(Log::getSeq(reply)) + "] is less than expected [" +
                Converter::to_string(expected) + "].\nSystem Shutdown.",
            Fatal);
        return;
    }
    loggedOn = true;
    recordInbound(&reply, 1);
    inLog.write(reply);
    noteLogged();
    if (number == SessionCore::LogonNumber::Above) {
        core.sendResendReq();
    } else {
        core.countLogon();
    }
    startDispatcher(0);
    say("Thread [DP] was created.", Fatal);
    sock->setBlockingMode(Socket::nonBlock);
    runLoop();
}

std::string FixClient::logonRefused() const {
    if (reply.empty()) {
        if (comm.isClosed()) return "connection closed before the Logon reply";
        if (comm.isBroken()) return "unframeable data instead of the Logon reply";
        return "no Logon reply within " + Converter::to_string(logonWait) + " s";
    }
    Fix answer;
    answer.message = reply;
    std::string type = answer.getTagValue(TagMsgType);
    switch (core.logonFault()) {
        case SessionCore::LogonFault::NotLogon:
            if (type == "5") {
                std::string text = answer.getTagValue(TagText);
                return "Logout received instead of the Logon reply" +
                       (text.empty() ? std::string() : ": " + text);
            }
            if (type != "A") return "MsgType " + type + " received instead of the Logon reply";
            return "Logon reply without a MsgSeqNum or with a negative HeartBtInt";
        case SessionCore::LogonFault::CompIDs:
            return "Logon reply from other CompIDs: 49=" + answer.getTagValue(TagSenderCompID) +
                   ", 56=" + answer.getTagValue(TagTargetCompID);
        case SessionCore::LogonFault::SendingTime:
            return "Logon reply SendingTime more than " +
                   Converter::to_string(SessionCore::sendingTimeTolerance) + " s from our clock";
        case SessionCore::LogonFault::BeginString:
        case SessionCore::LogonFault::ApplVerID:
            return "Logon reply refused: " + core.logonRefusal();
        default:
            return "Logon reply failed the frame or dictionary checks";
    }
}

void FixClient::console(const std::string& line, int level) {
    if (slog) slog->printlog(line, level);
}
