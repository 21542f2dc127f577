// QuickFixPeer: runs the QuickFIX counterparty program (qfpeer) for one test, in a folder of the
// test's choosing, and reads its record: what QuickFIX received ("IN"), sent ("OUT"), logged as
// session events ("EVENT"), and what reached its application ("ORDER", "LOGON", "LOGOUT"). Commands
// (logout, skip N, reset N [SEQ], logon-reset, testreq ID, exec [ClOrdID], send TYPE TAG=VALUE...)
// are appended to its control file. The process is ended by its pid. Thread contract: one object
// per test thread.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "Process.h"

class QuickFixPeer {
  public:
    // Starts "qfpeer <mode>" for the session sender -> target on 127.0.0.1:port; for an
    // initiator, heartbeat is the HeartBtInt it asks for; extra arguments follow the others. Throws
    // std::runtime_error when the program does not start and record READY within a few seconds.
    QuickFixPeer(const std::string& mode, const std::string& sender, const std::string& target,
                 int port, const std::string& dir, int heartbeat = 30,
                 const std::vector<std::string>& extra = {});
    ~QuickFixPeer();

    // Payloads of the record lines of this kind, in order.
    std::vector<std::string> records(const std::string& kind) const;
    // Payloads of this kind that contain text (e.g. "\x01" "35=8\x01").
    std::vector<std::string> records(const std::string& kind, const std::string& text) const;
    // Polls the record until at least count lines of this kind contain text, within limit.
    bool waitFor(const std::string& kind, const std::string& text, std::size_t count,
                 std::chrono::milliseconds limit) const;
    // What QuickFIX objected to at the session level: Reject (35=3) or BusinessMessageReject
    // (35=j) messages it sent, and events that report a rejected or refused message.
    std::vector<std::string> complaints() const;
    // Everything recorded, SOH shown as '|', for failure messages.
    std::string transcript() const;

    void command(const std::string& line) const;
    BackgroundProcess& process() { return *program; }

  private:
    std::string recordPath;
    std::string controlPath;
    std::unique_ptr<BackgroundProcess> program;
};

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0 and released).
int freeLoopbackPort();
