// FixClient: the initiator's FIX session for one site over a connection the program has opened.
// It logs on, restores the site's numbers from the period's logs, starts the dispatcher and runs
// the shared Session loop until the session is over. What is particular to the initiator lives
// here: sending the Logon and taking its reply, and its console lines; its rules (today's idle
// rule: reset, then TestRequest, then give up; a Heartbeat or Reject answered with a Heartbeat) are
// the core's, for the initiator role. Thread contract: one thread runs Client() (the caller's, or
// the one Start() creates); see Session for the dispatcher beside it.
#pragma once

#include <memory>
#include <string>

#include "Session.h"
#include "Syslog.h"

class FixClient : public Session {
  public:
    // Client() results.
    static constexpr int LogonFailed = -1;
    // The session ran and ended through a failure of our side (see SessionCore::failed).
    static constexpr int SessionFailed = -2;

    FixClient();
    FixClient(Socket& s, std::string& site);

    // Runs Client() on a thread of its own; returns pthread_create's result.
    int Start();
    void Run() override;

    // The whole session, from opening the logs to the shutdown. Returns 0 after a session that
    // logged on and ended in order, SessionFailed after one that ended through a failure of our
    // side, LogonFailed when it never logged on (the reply was missing, invalid, from someone
    // other than the site's counterparty or numbered too low, or the connection failed first).
    // A missing cell, site locks that cannot be had, a log or the configuration leave as
    // ShmException, LogException or CfgException before anything is sent. endReason() then says
    // why the session ended.
    int Client();

    // The Logon from the site's template, numbered Out.seq + 1 (1 with askReset).
    void sendLogon();
    // The Logon asks the counterparty to start both numbers again at 1 (ResetSeqNumFlag Y; the
    // standard rules, FIX 4.1 on).
    void askReset(bool on) { resetOnLogon = on; }
    // 0 when the first whole message within logonWait seconds is a Logon the site can take,
    // Fail otherwise; the reply is then in `reply`.
    int recvLogonReply();

  protected:
    void console(const std::string& line, int level) override;

  private:
    // Logon to the end of the loop.
    void logonAndRun();
    // Why recvLogonReply() said no, for the end line.
    std::string logonRefused() const;

    std::unique_ptr<Syslog> slog;
    std::string reply;
    // The Logon reply was accepted; a session that never got there ends as a logon failure.
    bool loggedOn = false;
    bool resetOnLogon = false;
};
