#include "PeerApplication.h"

#include <quickfix/Message.h>
#include <quickfix/Session.h>

#include <cstdlib>
#include <sstream>

namespace {

std::string fieldOr(const FIX::FieldMap& map, int tag, const std::string& fallback) {
    return map.isSetField(tag) ? map.getField(tag) : fallback;
}

}  // namespace

void PeerApplication::onLogon(const FIX::SessionID&) {
    recorder.record("LOGON");
}

void PeerApplication::onLogout(const FIX::SessionID&) {
    recorder.record("LOGOUT");
}

void PeerApplication::toAdmin(FIX::Message& message, const FIX::SessionID&) {
    // Gap fills (123=Y) of QuickFIX's own resends are left alone.
    if (fieldOr(message.getHeader(), 35, "") != "4" || fieldOr(message, 123, "N") == "Y") return;
    const int seq = resetSeq.exchange(-1);
    if (seq >= 0) message.getHeader().setField(34, std::to_string(seq));
}

void PeerApplication::fromAdmin(const FIX::Message& message, const FIX::SessionID&) noexcept {
    try {
        if (fieldOr(message.getHeader(), 35, "") == "3")
            recorder.record("REJECT", message.toString());
    } catch (const std::exception& e) {
        recorder.record("APP-ERROR", e.what());
    }
}

void PeerApplication::fromApp(const FIX::Message& message, const FIX::SessionID&) noexcept {
    try {
        if (fieldOr(message.getHeader(), 35, "") == "D") {
            recorder.record("ORDER", message.toString());
            fill(message);
        } else {
            recorder.record("APP", message.toString());
        }
    } catch (const std::exception& e) {
        recorder.record("APP-ERROR", e.what());
    }
}

void PeerApplication::fill(const FIX::Message& order) {
    sendExecution(fieldOr(order, 11, "NONE"), fieldOr(order, 55, "NONE"), fieldOr(order, 54, "1"),
                  fieldOr(order, 38, "0"), fieldOr(order, 44, "0"));
}

void PeerApplication::sendExecution(const std::string& clOrdId, const std::string& symbol,
                                    const std::string& side, const std::string& qty,
                                    const std::string& price) {
    FIX::Message report = execution(clOrdId, symbol, side, qty, price);
    FIX::Session::sendToTarget(report, session);
}

FIX::Message PeerApplication::execution(const std::string& clOrdId, const std::string& symbol,
                                        const std::string& side, const std::string& qty,
                                        const std::string& price) {
    const int n = ++executions;
    FIX::Message report;
    report.getHeader().setField(35, "8");
    report.setField(37, "QF-ORD-" + std::to_string(n));
    report.setField(17, "QF-EXE-" + std::to_string(n));
    // FIX 5.0 SP2 has no ExecTransType and calls a fill a Trade (F); FIX.4.2 a Fill (2).
    if (session.isFIXT()) {
        report.setField(150, "F");
    } else {
        report.setField(20, "0");
        report.setField(150, "2");
    }
    report.setField(39, "2");
    report.setField(11, clOrdId);
    report.setField(55, symbol);
    report.setField(54, side);
    report.setField(38, qty);
    report.setField(32, qty);
    report.setField(31, price);
    report.setField(151, "0");
    report.setField(14, qty);
    report.setField(6, price);
    return report;
}

void PeerApplication::command(const std::string& line) {
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    FIX::Session* live = FIX::Session::lookupSession(session);
    if (verb.empty()) return;
    recorder.record("COMMAND", line);
    if (live == nullptr) {
        recorder.record("COMMAND-FAILED", "no session");
    } else if (verb == "logout") {
        live->logout();
    } else if (verb == "skip") {
        // Jumping the outbound number makes the next message arrive above the expected one.
        int gap = 0;
        words >> gap;
        live->setNextSenderMsgSeqNum(live->getExpectedSenderNum() + gap);
    } else if (verb == "testreq") {
        std::string id;
        words >> id;
        FIX::Message request;
        request.getHeader().setField(35, "1");
        request.setField(112, id.empty() ? std::string("TEST") : id);
        FIX::Session::sendToTarget(request, session);
    } else if (verb == "reset") {
        // A SequenceReset in Reset mode (123=N) that jumps the number after its own by `jump`;
        // "reset N SEQ" numbers the SequenceReset itself SEQ (0 included).
        int jump = 0;
        std::string seq;
        words >> jump >> seq;
        const int next = live->getExpectedSenderNum() + 1 + jump;
        resetSeq = seq.empty() ? -1 : std::atoi(seq.c_str());
        FIX::Message reset;
        reset.getHeader().setField(35, "4");
        reset.setField(123, "N");
        reset.setField(36, std::to_string(next));
        FIX::Session::sendToTarget(reset, session);
        live->setNextSenderMsgSeqNum(next);
    } else if (verb == "logon-reset") {
        // A Logon with ResetSeqNumFlag inside the session: QuickFIX starts both its numbers at 1
        // and sends it as number 1.
        FIX::Message logon;
        logon.getHeader().setField(35, "A");
        logon.setField(98, "0");
        logon.setField(108, std::to_string(live->getHeartBtInt().getValue()));
        logon.setField(141, "Y");
        if (session.isFIXT()) logon.setField(1137, live->getSenderDefaultApplVerID());
        FIX::Session::sendToTarget(logon, session);
    } else if (verb == "send") {
        // "send TYPE TAG=VALUE...": a message of any type; header tags go to the header.
        std::string type, change;
        words >> type;
        FIX::Message message;
        message.getHeader().setField(35, type);
        while (words >> change) {
            std::size_t eq = change.find('=');
            int tag = std::atoi(change.substr(0, eq).c_str());
            if (FIX::Message::isHeaderField(tag))
                message.getHeader().setField(tag, change.substr(eq + 1));
            else
                message.setField(tag, change.substr(eq + 1));
        }
        FIX::Session::sendToTarget(message, session);
    } else if (verb == "exec") {
        std::string id;
        words >> id;
        sendExecution(id.empty() ? "UNSOLICITED-" + std::to_string(executions + 1) : id, "IBM", "1",
                      "100", "10");
    } else if (verb == "exec-with" || verb == "exec-without") {
        // An execution with one field more ("exec-with ID 9999=X") or one fewer
        // ("exec-without ID 6"): QuickFIX sends what it is given, unchecked. A header tag
        // (e.g. ApplVerID 1128) goes to the header.
        std::string id, change;
        words >> id >> change;
        FIX::Message report = execution(id, "IBM", "1", "100", "10");
        std::size_t eq = change.find('=');
        int tag = std::atoi(change.substr(0, eq).c_str());
        FIX::FieldMap& part = FIX::Message::isHeaderField(tag)
                                  ? static_cast<FIX::FieldMap&>(report.getHeader())
                                  : static_cast<FIX::FieldMap&>(report);
        if (verb == "exec-with")
            part.setField(tag, change.substr(eq + 1));
        else
            part.removeField(tag);
        FIX::Session::sendToTarget(report, session);
    } else {
        recorder.record("COMMAND-FAILED", "unknown command");
    }
}
