#include "FixServer.h"

#include <chrono>
#include <iostream>

#include "Common.h"

std::atomic<int> FixServer::started{0};
std::mutex FixServer::sitesLock;
std::condition_variable FixServer::siteReleased;
std::set<int> FixServer::liveSites;

namespace {

// One write per line, so lines of sessions on other threads do not mix within a line.
void show(const std::string& text) {
    std::cout << text << std::flush;
}

}  // namespace

FixServer::FixServer() : Session(SessionCore::Role::Acceptor) {}

FixServer::FixServer(Socket& s) : Session(s, SessionCore::Role::Acceptor) {}

FixServer::FixServer(std::unique_ptr<Socket> s)
    : Session(*s, SessionCore::Role::Acceptor), ownedSock(std::move(s)) {}

FixServer::~FixServer() {
    // A session that never ran still holds the connection it was given.
    if (ownedSock) closeConnection();
}

int FixServer::Start() {
    started.fetch_add(1);
    int result = Thread::Start();
    if (result != 0) {
        started.fetch_sub(1);
        return result;
    }
    detach();
    launched.set_value();
    return 0;
}

void FixServer::Run() {
    launch.wait();
    Server();
    delete this;
    started.fetch_sub(1);
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
    MemoryCell* siteCell = shm->getCell(site);
    long type = shm->getCellId(site) + 1;
    cfg.load(site);
    attachCore(*siteCell);
    if (!core.usableLogon(logon, std::time(nullptr))) {
        switch (core.logonFault()) {
            case SessionCore::LogonFault::CompIDs:
                show("Logon CompIDs do not match the configuration of site [" + site + "].\n");
                break;
            case SessionCore::LogonFault::SendingTime:
                show("Logon of site [" + site + "] refused: SendingTime accuracy problem.\n");
                break;
            default:
                show("Logon of site [" + site + "] refused: the message does not validate.\n");
                break;
        }
        return RefusedLogon;
    }
    if (!claimSite(static_cast<int>(type - 1))) return RefusedSiteBusy;
    // The site may be live in another process on the same table: nothing touches its cell
    // before this session holds the site's journal and lock.
    try {
        lockSite();
    } catch (const JournalBusy&) {
        return RefusedSiteBusy;
    }
    cell = siteCell;

    openLogs(false);
    restoreSequences();
    setCellStatus(status_Online);
    // A Logon with ResetSeqNumFlag starts both numberings again; it is then number 1 of the new.
    if (core.logonAsksReset()) core.resetNumbers();
    inLog.write(logon);
    SessionCore::LogonNumber number = core.logonNumber();
    if (number == SessionCore::LogonNumber::Below) {
        if (core.rules() == SessionCore::Rules::Standard) core.refuseLowLogon();
        return RefusedSeqLow;
    }

    sendLogonReply();
    if (number == SessionCore::LogonNumber::Expected) {
        core.countLogon();
    } else {
        core.sendResendReq();
    }
    startDispatcher(type);
    sock->setBlockingMode(Socket::nonBlock);
    runLoop();
    return 0;
}

void FixServer::sendLogonReply() {
    core.sendLogonReply();
}

int FixServer::recvLogon() {
    site.clear();
    logon = comm.recvWithin(logonWait);
    if (logon.empty()) return RefusedLogon;
    Fix first;
    first.message = logon;
    site = first.getTagValue(TagSenderCompID);
    if (first.getTagValue(TagMsgType) != "A") return RefusedLogon;
    if (site.empty() || first.getMsgSeqNum() <= 0) return RefusedLogon;
    // A HeartBtInt below 0 is no interval at all.
    if (first.getTagIntValue(TagHeartBtInt) < 0) return RefusedLogon;
    return Success;
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

void FixServer::console(const std::string& line, int level) {
    // Protocol tracing stays off at the acceptor; the engine's notices still show.
    if (level >= Normal) slog.printlog(line, level);
}
