#include "FixClient.h"

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
    openLogs();
    cfg.load(site);
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
    } catch (const PipeException&) {
        core.failed = true;
        msg = "System Shutdown: Caught exception in Pipe operation.";
    } catch (const MQException&) {
        core.failed = true;
        msg = "System Shutdown: Caught exception in MsgQueue operation.";
    } catch (const SocketException&) {
        msg = "System Shutdown: Caught exception in Socket operation.";
    } catch (const std::exception& e) {
        // Anything else still ends the session in order, so no outbound text is lost.
        core.failed = true;
        msg = std::string("System Shutdown: ") + e.what();
    }
    // Our own failures are news for the operator; a peer's end is the usual trace line.
    console(msg, core.failed ? Fatal : 0);
    endSession();
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
        say("Error: Fail to receive <-LOGON> reply.", Fatal);
        return;
    }
    SessionCore::LogonNumber number = core.logonNumber();
    if (number == SessionCore::LogonNumber::Below) {
        // In.seq comes from the day's records, where a counterparty may have left any number:
        // counted wide, so a record at the last int asks for a number no message can carry.
        long expected = static_cast<long>(cell->In.seq) + 1;
        if (core.rules() == SessionCore::Rules::Standard) core.refuseLowLogon();
        say("Error: Received incoming message sequencenumber [" +
                Converter::to_string(Log::getSeq(reply)) + "] is less than expected [" +
                Converter::to_string(expected) + "].\nSystem Shutdown.",
            Fatal);
        return;
    }
    loggedOn = true;
    inLog.write(reply);
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

void FixClient::console(const std::string& line, int level) {
    if (slog) slog->printlog(line, level);
}
