#include "FixClient.h"

#include <iostream>

#include "Common.h"

FixClient::FixClient() = default;

FixClient::FixClient(Socket& s, std::string& siteName) : Session(s) {
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
    restoreSequences();
    say("Setup FIX sequence numbers. SEQ IN: " + Converter::to_string(cell->In.seq) +
            " SEQ OUT: " + Converter::to_string(cell->Out.seq),
        Warning);

    loggedOn = false;
    try {
        logonAndRun();
    } catch (const PipeException&) {
        failed = true;
        msg = "System Shutdown: Caught exception in Pipe operation.";
    } catch (const MQException&) {
        failed = true;
        msg = "System Shutdown: Caught exception in MsgQueue operation.";
    } catch (const SocketException&) {
        msg = "System Shutdown: Caught exception in Socket operation.";
    } catch (const std::exception& e) {
        // Anything else still ends the session in order, so no outbound text is lost.
        failed = true;
        msg = std::string("System Shutdown: ") + e.what();
    }
    // Our own failures are news for the operator; a peer's end is the usual trace line.
    console(msg, failed ? Fatal : 0);
    endSession();
    slog.reset();
    if (!loggedOn) return LogonFailed;
    return failed ? SessionFailed : 0;
}

void FixClient::logonAndRun() {
    sendLogon();
    if (recvLogonReply() != 0) {
        say("Error: Fail to receive <-LOGON> reply.", Fatal);
        return;
    }
    int n = fix.getMsgSeqNum();
    // In.seq comes from the day's incoming log, where a counterparty may have left any number:
    // counted wide, so a log ending at the last int asks for a number no message can carry.
    long expected = static_cast<long>(cell->In.seq) + 1;
    if (n < expected) {
        say("Error: Received incoming message sequencenumber [" + Converter::to_string(n) +
                "] is less than expected [" + Converter::to_string(expected) +
                "].\nSystem Shutdown.",
            Fatal);
        return;
    }
    loggedOn = true;
    inLog.write(fix.message);
    if (n > expected) {
        sendResendReq();
    } else {
        cell->In.seq += 1;
        recordInSeq();
    }
    startDispatcher(0);
    say("Thread [DP] was created.", Fatal);
    sock->setBlockingMode(Socket::nonBlock);
    runLoop();
}

void FixClient::sendLogon() {
    cfg.getMsgTemplate(tagList, Logon);
    cell->Out.seq = nextOutSeq();
    fix.build(tagList, msgTypeLogon, cell->Out.seq);
    sendMsg(fix.message);
    say("FIX Message: <LOGON>", Warning);
}

int FixClient::recvLogonReply() {
    std::string version = cfg.getHeaderTagDefinition(TagBeginString);
    fix.message = comm.recvWithin(logonWait);
    if (fix.message.empty() || fix.validate(version, 0) != Valid ||
        fix.getTagValue(TagMsgType) != "A" || !fromCounterparty()) {
        return Fail;
    }
    // 0 (or none) asks for no heartbeats; below 0 is no interval at all.
    timeout = fix.getTagIntValue(TagHeartBtInt);
    if (timeout < 0) return Fail;
    say("FIX Message: <-LOGON>", Warning);
    setCellStatus(status_Online);
    return Success;
}

void FixClient::processResendReq(int beginSeq, int endSeq) {
    answerResend(beginSeq, endSeq);
}

bool FixClient::onIdle() {
    switch (cellStatus()) {
        case status_Online:
            comm.timeReset();
            setCellStatus(status_Heartbeat);
            return true;
        case status_Heartbeat:
            sendTestReq();
            setCellStatus(status_TestReq);
            return true;
        default:
            say("FIX Message: No response from remote server.", 0);
            return false;
    }
}

void FixClient::onHeartbeat() {
    setCellStatus(status_Online);
    sendHeartbeat("");
}

void FixClient::onReject(std::string&) {
    sendHeartbeat("");
}

void FixClient::onLogout() {
    setCellStatus(status_Shutdown);
    say("FIX Message: <LOGOUT>\nSystem Shutdown!", 0);
}

void FixClient::onResendRequest(int beginSeq, int endSeq) {
    processResendReq(beginSeq, endSeq);
}

void FixClient::console(const std::string& line, int level) {
    if (slog) slog->printlog(line, level);
}
