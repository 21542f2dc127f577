// FixServer: the acceptor's FIX session for one accepted connection. The counterparty names its
// site by the SenderCompID of its Logon; the session then opens that site's logs and
// configuration, restores its numbers, answers the Logon (echoing the peer's HeartBtInt), starts
// a dispatcher for the site's queue type (cell index + 1) and runs the shared Session loop. What
// is particular to the acceptor lives here: refusing a Logon with a code, one live session per
// site in the process, refusing a site that is not the acceptor's to serve or a peer address the
// site does not allow, and closing the connection at the end; its rules (today's idle rule:
// Heartbeat, then TestRequest, then end; inbound Rejects printed) are the core's, for the
// acceptor role. When a session ends, its site's journal is parked (see Dispatcher::park) for the
// site's next session in this process, unless the whole process is stopping. Every console line of
// a session starts with "[site] ", or "[peer address] " while no site is known yet.
//
// Thread contract: one thread runs Server(), normally the detached one Start() creates, which
// deletes the session (and a socket it owns) when it has ended. Sessions of one process share
// only the site table, the output queue (written under the program's Mutex) and the records of
// live and parked sites, which are guarded by their own lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "Session.h"
#include "Syslog.h"

class FixServer : public Session {
  public:
    // Codes with which a session ends before its loop, shown as "Thread Exit [code]".
    // The first message is not a usable Logon (none within logonWait seconds, another type, no
    // SenderCompID, MsgSeqNum 0 or less), or the site is not the acceptor's to serve for this
    // peer (an initiator's site, or an address the site does not allow).
    static constexpr int RefusedLogon = -1;
    // The site already has a live session in this process.
    static constexpr int RefusedSiteBusy = -2;
    // The Logon is numbered below the expected MsgSeqNum; the cell is left as it was.
    static constexpr int RefusedSeqLow = -3;
    // The site's window is closed: a Logout said when it opens.
    static constexpr int RefusedOutsideWindow = -4;
    // The site's applications use JetStream and its streams cannot be had (no servers named,
    // a stream missing or taking other subjects); nothing of the site was touched.
    static constexpr int RefusedNoStreams = -5;
    // The site is served by two gateways and the other one is active: closed without a word.
    static constexpr int RefusedNotActive = -6;
    // This process's standby of a site served by two gateways (none: it serves no such site).
    static inline std::function<SiteStandby*(const std::string& site)> standbyFor;
    // Seconds a Logon waits for an ending session of its site to finish its shutdown before it is
    // refused as a second session: a counterparty whose connection just dropped is let back in.
    static constexpr int releaseWait = 3;

    FixServer();
    // The socket is not owned.
    explicit FixServer(Socket& s);
    // The socket is owned and deleted with the session. `peer` is the dotted IPv4 address of the
    // counterparty; when empty it is asked of the socket.
    explicit FixServer(std::unique_ptr<Socket> s, std::string peer = std::string());
    ~FixServer() override;

    // Runs Server() on a detached thread of its own; returns pthread_create's result. On success
    // the object belongs to that thread, which deletes it at its end, so it must have been made
    // with new and the caller must not touch it again. On failure the caller still owns it.
    int Start();
    void Run() override;

    // The whole session, from the Logon to the closed connection. Returns 0 after a session that
    // logged on, or the refusal code. Every ending closes the socket and releases the site, the
    // pipe and the dispatcher; failures of the table, logs, configuration, queues, pipe or socket
    // are printed on standard output and end only this session.
    int Server();

    // Reads the first whole message within logonWait seconds into `logon` and takes the site
    // from it; 0 when it can be a Logon (MsgType A, a SenderCompID, a MsgSeqNum above 0),
    // RefusedLogon otherwise.
    int recvLogon();
    // Logon answer from the site's Logon template, carrying the peer's own HeartBtInt.
    void sendLogonReply();
    // After the site's configuration is loaded: true when this acceptor may serve the site for
    // this peer. A site configured role=initiator, or one an initiator of this FIXHOME has marked
    // and that is not configured role=acceptor, is an initiator's; a site that names allowed
    // addresses takes only those. A refusal costs one console line naming site and address.
    bool admitted();

    // 'I' while the session runs, 'D' once it has ended with a refusal code.
    char threadStatus() const { return status; }
    // Sessions started with Start() whose thread has not ended yet.
    static int running() { return started.load(); }
    // Stops every parked dispatcher and closes its journal; the program calls it once its
    // sessions have ended.
    static void endParking();

  protected:
    void console(const std::string& line, int level) override;
    // Parks the journal and the site's lock for the site's next session (see Dispatcher::park);
    // lets go of them when the process is stopping or no site is held.
    void leaveJournal(std::unique_ptr<Journal> held, std::unique_ptr<SiteLock> lock) override;

  private:
    // Logon to the end of the loop; returns 0 or a refusal code.
    int logOnAndRun();
    // Outside the site's window (once the site is held): a Logout whose Text says when the
    // window opens, logged and numbered like any other; the Logon is not counted. True when
    // the Logon was refused so.
    bool refusedOutsideWindow();
    // A Logon for a standby site this gateway is not active for: the connection is closed.
    int refuseNotActive(SiteStandby* mine);
    // Marks the site of cell `index` live in this process, waiting up to releaseWait seconds for
    // an earlier session of the site to finish; false when it is still live.
    bool claimSite(int index);
    void releaseSite();
    // The journal (and into `lock` the site's lock) parked for cell `index`, once its dispatcher
    // has stopped; nullptr when there is none (or it had let go of them).
    static std::unique_ptr<Journal> takeParked(int index, std::unique_ptr<SiteLock>& lock);
    // Closes the socket and the pipe; a failure to close only costs a console line.
    void closeConnection();
    // "[site] ", or "[peer address] " before the Logon named a site; empty when neither is known.
    std::string who() const;
    // One line on standard output, with who() in front, in one write so lines of sessions on
    // other threads do not mix within a line.
    void show(const std::string& text) const;

    std::unique_ptr<Socket> ownedSock;
    std::string peerAddress;
    std::string logon;
    Syslog slog{Normal};
    char status = status_Init;
    // Cell index of the site this session holds live; -1 when it holds none.
    int claimedIndex = -1;
    // Start() lets its thread run only once the creator is done with the object.
    std::promise<void> launched;
    std::future<void> launch = launched.get_future();

    // Cell indexes of the sites with a live session in this process.
    static std::atomic<int> started;
    static std::mutex sitesLock;
    static std::condition_variable siteReleased;
    static std::set<int> liveSites;
    // Parked dispatchers by cell index; those that ended by themselves are joined on the next
    // park.
    static std::map<int, std::unique_ptr<Dispatcher>> parkedSites;
};
