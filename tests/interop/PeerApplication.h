// PeerApplication: the business side of the QuickFIX counterparty. Every NewOrderSingle it
// receives is filled at once with one ExecutionReport of the session's version (FIX.4.2, or
// FIX 5.0 SP2 on a FIXT.1.1 session); every callback is written to the Recorder.
// It also carries out the test's commands on the live session (logout, skipping outbound
// numbers, a Reset-mode SequenceReset, a Logon resetting both numbers, a TestRequest, an
// unsolicited ExecutionReport, a message of any type with fields of the test's choosing).
// Thread contract: QuickFIX calls the callbacks from its session thread; the command functions
// are called from the program's main thread and only use QuickFIX's thread-safe session calls.
#ifndef INTEROP_PEERAPPLICATION_H
#define INTEROP_PEERAPPLICATION_H

#include <quickfix/Application.h>
#include <quickfix/SessionID.h>

#include <atomic>
#include <string>

#include "Recorder.h"

class PeerApplication : public FIX::Application {
  public:
    PeerApplication(Recorder& recorder, const FIX::SessionID& session)
        : recorder(recorder), session(session) {}

    void onCreate(const FIX::SessionID&) override {}
    void onLogon(const FIX::SessionID&) override;
    void onLogout(const FIX::SessionID&) override;
    // Gives the next SequenceReset the MsgSeqNum a "reset" command asked for: QuickFIX numbers
    // every message itself just before this call.
    void toAdmin(FIX::Message& message, const FIX::SessionID&) override;
    // The callbacks never throw: nothing here should make QuickFIX reject or refuse a message,
    // so every reject in the record comes from QuickFIX's own session checks.
    void toApp(FIX::Message&, const FIX::SessionID&) noexcept override {}
    // Session-level Rejects that reach QuickFIX's application are recorded as "REJECT".
    void fromAdmin(const FIX::Message& message, const FIX::SessionID&) noexcept override;
    void fromApp(const FIX::Message& message, const FIX::SessionID&) noexcept override;

    // Runs one command line of the control file; unknown commands are recorded and ignored.
    void command(const std::string& line);

  private:
    void fill(const FIX::Message& order);
    FIX::Message execution(const std::string& clOrdId, const std::string& symbol,
                           const std::string& side, const std::string& qty,
                           const std::string& price);
    void sendExecution(const std::string& clOrdId, const std::string& symbol,
                       const std::string& side, const std::string& qty, const std::string& price);

    Recorder& recorder;
    FIX::SessionID session;
    std::atomic<int> executions{0};
    // MsgSeqNum for the next outgoing SequenceReset; -1 leaves QuickFIX's own.
    std::atomic<int> resetSeq{-1};
};

#endif
