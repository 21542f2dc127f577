#include "FixServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <iostream>
#include <vector>

#include "Common.h"

std::atomic<int> FixServer::started{0};
std::mutex FixServer::sitesLock;
std::condition_variable FixServer::siteReleased;
std::set<int> FixServer::liveSites;
std::map<int, std::unique_ptr<Dispatcher>> FixServer::parkedSites;

namespace {

// The dotted IPv4 address of the socket's peer; empty when there is none.
std::string peerOf(const Socket& s) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    char text[INET_ADDRSTRLEN] = "";
    if (::getpeername(s.getSocket(), reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        addr.sin_family != AF_INET || !::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text))
        return std::string();
    return text;
}

}  // namespace

FixServer::FixServer() : Session(SessionCore::Role::Acceptor) {}

FixServer::FixServer(Socket& s) : Session(s, SessionCore::Role::Acceptor), peerAddress(peerOf(s)) {}

FixServer::FixServer(std::unique_ptr<Socket> s, std::string peer)
    : Session(*s, SessionCore::Role::Acceptor),
      ownedSock(std::move(s)),
      peerAddress(peer.empty() ? peerOf(*ownedSock) : std::move(peer)) {}

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
    // Nothing of the site (cell, logs, journal, sequence file) is touched before this.
    if (!admitted()) return RefusedLogon;
    if (cfg.jetStream()) {
        try {
            checkStreams();
        } catch (const NatsException& e) {
            show("Logon of site [" + site + "] from [" + peerAddress +
                 "] refused: " + clause(e.what()) + ".\n");
            return RefusedNoStreams;
        }
    }
    if (cfg.standby()) {
        SiteStandby* mine = standbyFor ? standbyFor(site) : nullptr;
        if (mine == nullptr || !mine->mayAct()) return refuseNotActive(mine);
        useStandby(mine);
    }
    attachCore(*siteCell);
    if (!core.usableLogon(logon, std::time(nullptr))) {
        switch (core.logonFault()) {
            case SessionCore::LogonFault::CompIDs:
                show("Logon CompIDs do not match the configuration of site [" + site + "].\n");
                break;
            case SessionCore::LogonFault::SendingTime:
                show("Logon of site [" + site + "] from [" + peerAddress +
                     "] refused: SendingTime accuracy problem.\n");
                break;
            case SessionCore::LogonFault::BeginString:
            case SessionCore::LogonFault::ApplVerID:
                show("Logon of site [" + site + "] from [" + peerAddress +
                     "] refused: " + core.logonRefusal() + ".\n");
                break;
            default:
                show("Logon of site [" + site + "] from [" + peerAddress +
                     "] refused: the message does not validate.\n");
                break;
        }
        return RefusedLogon;
    }
    if (!claimSite(static_cast<int>(type - 1))) return RefusedSiteBusy;
    // The same Journal object as the ended session's: its lock is per open file, so opening the
    // file again here would find it locked. The site's lock on the table comes with it.
    journal = takeParked(static_cast<int>(type - 1), siteLock);
    // The site may be live in another process on the same table: nothing touches its cell
    // before this session holds the site's journal and lock.
    try {
        lockSite();
    } catch (const JournalBusy&) {
        return RefusedSiteBusy;
    }
    cell = siteCell;
    if (refusedOutsideWindow()) return RefusedOutsideWindow;

    openLogs(false);
    // A Logon refused as numbered too low leaves the cell as it found it (status and numbers):
    // the logs' numbers go into the cell to judge the Logon, and stay only for a session that runs.
    const int inBefore = cell->In.seq, outBefore = cell->Out.seq;
    restoreSequences();
    // A Logon with ResetSeqNumFlag starts both numberings again; it is then number 1 of the new.
    if (core.logonAsksReset()) core.resetNumbers();
    recordInbound(&logon, 1);
    inLog.write(logon);
    noteLogged();
    SessionCore::LogonNumber number = core.logonNumber();
    if (number == SessionCore::LogonNumber::Below) {
        if (core.rules() == SessionCore::Rules::Standard) core.refuseLowLogon();
        cell->In.seq = inBefore;
        cell->Out.seq = outBefore;
        return RefusedSeqLow;
    }
    setCellStatus(status_Online);

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

int FixServer::refuseNotActive(SiteStandby* mine) {
    // Closed without a word: any message carries a MsgSeqNum the counterparty counts, a Logout
    // too, and the active gateway, which owns the site's numbers, would never know of it.
    show("Logon of site [" + site + "] from [" + peerAddress + "] refused: " +
         (mine == nullptr ? std::string("no standby is running for it")
                          : "it is active on another gateway") +
         "; the connection is closed.\n");
    return RefusedNotActive;
}

bool FixServer::refusedOutsideWindow() {
    std::time_t now = std::time(nullptr);
    const Schedule& schedule = cfg.schedule();
    if (!cfg.namesSchedule() || schedule.inWindow(now)) return false;
    openLogs(false);
    restoreSequences();
    std::optional<std::time_t> opens = schedule.nextOpen(now);
    std::string when = opens ? schedule.local(*opens) : std::string("never");
    core.sendLogout("Outside the session window; it opens at " + when);
    comm.flush();
    show("Logon of site [" + site + "] from [" + peerAddress +
         "] refused: outside the window, which opens at " + when + ".\n");
    return true;
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

bool FixServer::admitted() {
    const std::string refused = "Logon of site [" + site + "] from [" + peerAddress + "] refused: ";
    FixConfig::Role role = cfg.role();
    if (role == FixConfig::Role::Initiator ||
        (role == FixConfig::Role::Unset && markedInitiator(site))) {
        show(refused + "the site is served by an initiator.\n");
        return false;
    }
    if (!cfg.allows(peerAddress)) {
        show(refused + "address not allowed.\n");
        return false;
    }
    return true;
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

void FixServer::leaveJournal(std::unique_ptr<Journal> held, std::unique_ptr<SiteLock> lock) {
    // A site fed from a stream has nothing on the shared queue to move.
    if (claimedIndex < 0 || stopRequestedForAll() || streamSite()) return;
    std::unique_ptr<Dispatcher> parked =
        Dispatcher::park(*shm, qinName, site, claimedIndex + 1, std::move(held), std::move(lock));
    if (!parked) return;
    std::vector<std::unique_ptr<Dispatcher>> over;
    {
        std::lock_guard<std::mutex> lock(sitesLock);
        for (auto it = parkedSites.begin(); it != parkedSites.end();) {
            if (it->second->parkOver() || it->first == claimedIndex) {
                over.push_back(std::move(it->second));
                it = parkedSites.erase(it);
            } else {
                ++it;
            }
        }
        parkedSites[claimedIndex] = std::move(parked);
    }
    for (auto& d : over) d->stop();
}

std::unique_ptr<Journal> FixServer::takeParked(int index, std::unique_ptr<SiteLock>& lock) {
    std::unique_ptr<Dispatcher> parked;
    {
        std::lock_guard<std::mutex> lock(sitesLock);
        auto it = parkedSites.find(index);
        if (it == parkedSites.end()) return nullptr;
        parked = std::move(it->second);
        parkedSites.erase(it);
    }
    return parked->unpark(lock);
}

void FixServer::endParking() {
    std::map<int, std::unique_ptr<Dispatcher>> all;
    {
        std::lock_guard<std::mutex> lock(sitesLock);
        all.swap(parkedSites);
    }
    for (auto& entry : all) entry.second->stop();
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

std::string FixServer::who() const {
    const std::string& name = site.empty() ? peerAddress : site;
    return name.empty() ? std::string() : "[" + name + "] ";
}

void FixServer::show(const std::string& text) const {
    std::cout << who() + text << std::flush;
}

void FixServer::console(const std::string& line, int level) {
    // Protocol tracing stays off at the acceptor; the engine's notices still show.
    if (level >= Normal) slog.printlog(who() + line, level);
}
