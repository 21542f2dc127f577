#include "FixServer.h"

#include <chrono>
#include <iostream>

#include "Common.h"

std::mutex FixServer::sitesLock;
std::condition_variable FixServer::siteReleased;
std::set<int> FixServer::liveSites;

namespace {

// One write per line, so lines of sessions on other threads do not mix within a line.
void show(const std::string& text) {
    std::cout << text << std::flush;
}

}  // namespace

FixServer::FixServer() = default;

FixServer::FixServer(Socket& s) : Session(s) {}

FixServer::FixServer(std::unique_ptr<Socket> s) : Session(*s), ownedSock(std::move(s)) {}

FixServer::~FixServer() {
    // A session that never ran still holds the connection it was given.
    if (ownedSock) closeConnection();
}

int FixServer::Start() {
    int result = Thread::Start();
    if (result != 0) return result;
    detach();
    launched.set_value();
    return 0;
}

void FixServer::Run() {
    launch.wait();
    Server();
    delete this;
}

int FixServer::Server() {
    status = status_Init;
    int code = 0;
    try {
        comm.setup(*sock);
        code = logOnAndRun();
    } catch (const std::exception& e) {
        show(std::string(e.what()) + "\n");
    }
    if (code != 0) {
        show("Thread Exit [" + Converter::to_string(code) + "]\n");
        status = 'D';
    } else if (cell != nullptr) {
        endSession();
    }
    closeConnection();
    releaseJournal();
    releaseSite();
    return code;
}

int FixServer::logOnAndRun() {
    if (recvLogon() != 0) return RefusedLogon;
    int n = fix.getMsgSeqNum();
    MemoryCell* siteCell = shm->getCell(site);
    long type = shm->getCellId(site) + 1;
    cfg.load(site);
    if (!fromCounterparty()) {
        show("Logon CompIDs do not match the configuration of site [" + site + "].\n");
        return RefusedLogon;
    }
    if (!claimSite(static_cast<int>(type - 1))) return RefusedSiteBusy;
    // The site may be live in another process on the same table: nothing touches its cell
    // before this session holds the site's journal.
    try {
        lockSite();
    } catch (const JournalBusy&) {
        return RefusedSiteBusy;
    }
    cell = siteCell;

    openLogs(false);
    restoreSequences();
    setCellStatus(status_Online);
    inLog.write(fix.message);
    // Counted wide: a log ending at the last int leaves no number a Logon could carry.
    long expected = static_cast<long>(cell->In.seq) + 1;
    if (n < expected) return RefusedSeqLow;

    sendLogonReply();
    if (n == expected) {
        cell->In.seq = n;
        recordInSeq();
    } else {
        sendResendReq();
    }
    startDispatcher(type);
    sock->setBlockingMode(Socket::nonBlock);
    runLoop();
    return 0;
}

int FixServer::recvLogon() {
    site.clear();
    std::string first = comm.recvWithin(logonWait);
    if (first.empty()) return RefusedLogon;
    fix.message = first;
    site = fix.getTagValue(TagSenderCompID);
    // 0 (or none) asks for no heartbeats; below 0 is no interval at all.
    timeout = fix.getTagIntValue(TagHeartBtInt);
    if (fix.getTagValue(TagMsgType) != "A" || timeout < 0) return RefusedLogon;
    if (site.empty() || fix.getMsgSeqNum() <= 0) return RefusedLogon;
    return Success;
}

void FixServer::sendLogonReply() {
    std::string data = field(TagMsgType, std::string(1, msgTypeLogon)) +
                       field(TagHeartBtInt, cvt.to_string(timeout));
    cfg.getMsgTemplate(tagList, Logon);
    cell->Out.seq = nextOutSeq();
    fix.build(tagList, data, cell->Out.seq);
    sendMsg(fix.message);
}

void FixServer::processResend(int beginSeq, int endSeq) {
    answerResend(beginSeq, endSeq);
}

bool FixServer::claimSite(int index) {
    std::unique_lock<std::mutex> lock(sitesLock);
    bool free = siteReleased.wait_for(lock, std::chrono::seconds(releaseWait),
                                      [&] { return liveSites.count(index) == 0; });
    if (!free) return false;
    liveSites.insert(index);
    claimedIndex = index;
    return true;
}

void FixServer::releaseSite() {
    if (claimedIndex < 0) return;
    {
        std::lock_guard<std::mutex> lock(sitesLock);
        liveSites.erase(claimedIndex);
    }
    claimedIndex = -1;
    siteReleased.notify_all();
}

void FixServer::closeConnection() {
    if (p) p->close();
    if (sock == nullptr || sock->getSocket() < 0) return;
    try {
        sock->closeOff();
    } catch (const SocketException& e) {
        show(std::string(e.what()) + "\n");
    }
}

bool FixServer::onIdle() {
    switch (cellStatus()) {
        case status_Online:
            sendHeartbeat("");
            setCellStatus(status_Heartbeat);
            return true;
        case status_Heartbeat:
            sendTestReq();
            setCellStatus(status_TestReq);
            return true;
        default:
            return false;
    }
}

void FixServer::onHeartbeat() {
    setCellStatus(status_Online);
}

void FixServer::onReject(std::string& message) {
    show("REJECT: " + message + "\n\n");
}

void FixServer::onLogout() {
    cfg.getMsgTemplate(tagList, FixConfig::Logout);
    cell->Out.seq = nextOutSeq();
    fix.build(tagList, msgTypeLogout, cell->Out.seq);
    sendMsg(fix.message);
    setCellStatus(status_Shutdown);
}

void FixServer::onResendRequest(int beginSeq, int endSeq) {
    processResend(beginSeq, endSeq);
}

void FixServer::console(const std::string& line, int level) {
    // Protocol tracing stays off at the acceptor; the engine's notices still show.
    if (level >= Normal) slog.printlog(line, level);
}
