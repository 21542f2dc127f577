// The session rules played case by case on a SessionCore with a fake port: messages in, what is
// sent, sent again and delivered out, and the cell's numbers and status after. The clock is fixed:
// every inbound message is stamped relative to `t0`, and `t0` is the core's now.
#include "SessionCore.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "FixPeer.h"
#include "TempHome.h"

namespace {

using Rules = SessionCore::Rules;
using Role = SessionCore::Role;
using Fault = SessionCore::LogonFault;
constexpr Rules Std = Rules::Standard;
constexpr Rules Today = Rules::Today;
constexpr Role Acc = Role::Acceptor;
constexpr Role Ini = Role::Initiator;

const std::time_t t0 = 1767268800;  // 20260101-12:00:00 UTC

std::string stamp(int skew) {
    std::time_t t = t0 + skew;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H:%M:%S", &tm);
    return text;
}

// A message (fields from MsgType on) from the counterparty BRK1 to us (GATE) whose SendingTime
// stands `skew` s from t0.
std::string msg(const std::string& fields, int seq, int skew = 0, const std::string& from = "BRK1",
                const std::string& to = "GATE", const std::string& version = "FIX.4.2") {
    return FixPeer(from, to, version).make("35=" + fields, seq, stamp(skew));
}
// A possible duplicate first sent a minute ago.
std::string dup(const std::string& fields, int seq) {
    return msg(fields + "|43=Y|122=" + stamp(-60), seq);
}
std::string badSum(std::string m) {
    std::size_t at = m.size() - 2;
    m[at] = m[at] == '0' ? '1' : '0';
    return m;
}
// BodyLength one too high, CheckSum right for the bytes.
std::string badLength(const std::string& m) {
    std::string body = FixPeer::bars(m.substr(m.find("\x01"
                                                     "35=") +
                                              1));
    body = body.substr(0, body.rfind("10="));
    std::string framed = FixPeer::frame("FIX.4.2", body);
    std::size_t at = framed.find(
                         "\x01"
                         "9=") +
                     3;
    std::size_t end = framed.find('\x01', at);
    framed.replace(at, end - at, std::to_string(std::stoi(framed.substr(at, end - at)) + 1));
    framed = framed.substr(0, framed.rfind("10="));
    return framed + "10=" + FixPeer::checksum(framed) + "\x01";
}
std::string framedBody(const std::string& body) {
    return FixPeer::frame("FIX.4.2", body);
}

// "type@MsgSeqNum" and the fields a case checks, in wire order. A gap fill's OrigSendingTime is
// its own build time (the real clock), so only its presence shows.
std::string brief(const std::string& m) {
    static const std::vector<std::string> keys = {"45",  "371", "372", "373", "58",  "7",   "16",
                                                  "36",  "123", "43",  "122", "112", "108", "141",
                                                  "115", "116", "128", "129", "144", "145", "1137"};
    std::string type = FixPeer::field(m, 35);
    std::string out = type + "@" + FixPeer::field(m, 34);
    std::string bars = FixPeer::bars(m);
    for (std::size_t at = 0; at < bars.size();) {
        std::size_t end = bars.find('|', at);
        std::string f = bars.substr(at, end - at);
        std::string tag = f.substr(0, f.find('='));
        for (const auto& k : keys) {
            if (tag != k) continue;
            out += " " + (tag == "122" && type == "4" ? std::string("122=*") : f);
        }
        at = end + 1;
    }
    return out;
}

struct FakePort : SessionPort {
    std::vector<std::string> sent, again, lines, outLog;
    std::vector<std::string> raw;  // every message sent, new or again, as it went out
    std::vector<int> delivered;
    bool full = false;  // the output queue takes nothing
    int quietRestarts = 0;
    int resets = 0;
    const MemoryCell* cell = nullptr;
    int recorded = 0;  // In.seq at the last inboundCounted()

    void sendNew(const std::string& m) override {
        sent.push_back(brief(m));
        raw.push_back(m);
    }
    void sendAgain(const std::string& m) override {
        again.push_back(brief(m));
        raw.push_back(m);
    }
    bool deliver(const std::string& m) override {
        if (full) return false;
        delivered.push_back(std::stoi(FixPeer::field(m, 34)));
        return true;
    }
    void replayOutgoing(const std::function<void(const std::string&)>& each) override {
        for (const auto& l : outLog) each(l);
    }
    void inboundCounted() override { recorded = cell->In.seq; }
    void restartQuietInterval() override { ++quietRestarts; }
    void numbersReset() override { ++resets; }
    void console(const std::string& l, int) override { lines.push_back(l); }
};

const char* siteCfg =
    "~ {8=FIX.4.2,9=,35=,49=GATE,56=BRK1,34=,52=}\n"
    "A {98=0,108=30}\n"
    "0 {}\n"
    "1 {112=}\n"
    "2 {7=,16=}\n"
    "3 {}\n"
    "4 {123=Y,36=}\n"
    "5 {58=Bye}\n";

// A core on a fresh cell: we expect 5 next and sent 1-7 (Logon, an order, a Heartbeat, a
// TestRequest, two orders, a Heartbeat), HeartBtInt 30, online.
struct Harness {
    TempHome home;
    FixConfig cfg;
    MemoryCell cell{};
    FakePort port;
    std::unique_ptr<SessionCore> core;

    // `settings`: more items of the setting line ("applver=9,8").
    explicit Harness(Rules rules, Role role = Acc, const std::string& version = "FIX.4.2",
                     const std::string& dictionary = "", const std::string& settings = "") {
        std::string cfgText = siteCfg;
        cfgText.replace(cfgText.find("FIX.4.2"), 7, version);
        std::string setting = "@ {rules=standard" +
                              (dictionary.empty() ? "" : " dictionary=" + dictionary) +
                              (settings.empty() ? "" : " " + settings) + "}\n";
        std::string todayLine = settings.empty() ? "" : "@ {" + settings + "}\n";
        home.writeCfg("BRK1", (rules == Std ? setting : todayLine) + cfgText);
        home.enter();
        cfg.load("BRK1");
        home.leave();
        cell.In.seq = port.recorded = 4;
        cell.Out.seq = 7;
        cell.status = status_Online;
        port.cell = &cell;
        const char* types = "AD01DD0";
        for (int seq = 1; seq <= 7; ++seq) {
            std::string body =
                "35=" + std::string(1, types[seq - 1]) + (types[seq - 1] == 'D' ? "|11=o" : "");
            port.outLog.push_back(
                FixPeer("GATE", "BRK1", version).make(body, seq, stamp(-3600 + seq)));
        }
        core = std::make_unique<SessionCore>(role, port);
        core->attach(cfg, cell, cfg.standardRules() ? Std : Today);
        core->heartBtInt = 30;
    }
    void in(const std::string& m) { core->processMsg(m, t0); }
};

struct Case {
    const char* name;
    Rules rules;
    Role role;
    std::vector<std::string> in;
    std::vector<std::string> sent;   // new, logged
    std::vector<std::string> again;  // resent or gap-filled
    std::vector<int> delivered;      // MsgSeqNums
    int inSeq;
    char status;
    int resets;  // numbers started again at 1 (then our Out.seq counts from there)
};

Case row(const char* name, Rules rules, Role role, std::vector<std::string> in,
         std::vector<std::string> sent, std::vector<std::string> again, std::vector<int> delivered,
         int inSeq, char status, int resets = 0) {
    return {name,
            rules,
            role,
            std::move(in),
            std::move(sent),
            std::move(again),
            std::move(delivered),
            inSeq,
            status,
            resets};
}

void play(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h(c.rules, c.role);
        ASSERT_EQ(h.core->rules(), c.rules);
        for (const auto& m : c.in) {
            if (m == "@T") {
                h.cell.status = status_TestReq;
            } else if (m == "#") {
                h.port.full = !h.port.full;
                if (!h.port.full) {
                    EXPECT_TRUE(h.core->deliverHeld());
                }
            } else {
                h.in(m);
            }
        }
        EXPECT_EQ(h.port.sent, c.sent);
        EXPECT_EQ(h.port.again, c.again);
        EXPECT_EQ(h.port.delivered, c.delivered);
        EXPECT_EQ(h.cell.In.seq, c.inSeq);
        EXPECT_EQ(h.port.recorded, c.inSeq);  // every move of In.seq is reported
        EXPECT_EQ(h.cell.status, c.status);
        EXPECT_EQ(h.port.resets, c.resets);
        EXPECT_EQ(h.cell.Out.seq, c.resets > 0 ? 1 : 7 + static_cast<int>(c.sent.size()));
    }
}

const char* tooLow = "5@8 58=MsgSeqNum too low, expecting 5 but received 3";
const char* resend5 = "2@8 7=5 16=0";
const char* tooLow1 = "5@8 58=MsgSeqNum too low, expecting 5 but received 1";

// --- Logon ---------------------------------------------------------------------------------

TEST(SessionCoreLogon, LogonIsTakenOnlyWithTheSitesCompIDsAValidFrameAndAClockWithinTwoMinutes) {
    struct Row {
        const char* name;
        Rules rules;
        Role role;
        std::string logon;
        Fault fault;
    };
    const std::string A = "A|98=0|108=30";
    std::vector<Row> rows = {
        {"valid", Std, Acc, msg(A, 5), Fault::None},
        {"SendingTime 119 s ahead", Std, Acc, msg(A, 5, 119), Fault::None},
        {"SendingTime 119 s behind", Std, Acc, msg(A, 5, -119), Fault::None},
        {"first message not a Logon", Std, Acc, msg("D|11=a", 5), Fault::NotLogon},
        {"negative HeartBtInt", Std, Acc, msg("A|98=0|108=-1", 5), Fault::NotLogon},
        {"wrong SenderCompID", Std, Acc, msg(A, 5, 0, "BRK2"), Fault::CompIDs},
        {"wrong TargetCompID", Std, Ini, msg(A, 5, 0, "BRK1", "GATX"), Fault::CompIDs},
        {"SendingTime 121 s ahead", Std, Acc, msg(A, 5, 121), Fault::SendingTime},
        {"SendingTime 121 s behind", Std, Ini, msg(A, 5, -121), Fault::SendingTime},
        {"wrong BeginString", Std, Acc, msg(A, 5, 0, "BRK1", "GATE", "FIX.4.4"),
         Fault::BeginString},
        {"wrong CheckSum", Std, Acc, badSum(msg(A, 5)), Fault::Invalid},
        {"wrong BodyLength", Std, Acc, badLength(msg(A, 5)), Fault::Invalid},
        // today: no clock check, and the acceptor takes the Logon as framed
        {"today: SendingTime 121 s off", Today, Acc, msg(A, 5, 121), Fault::None},
        {"today: acceptor, wrong CheckSum", Today, Acc, badSum(msg(A, 5)), Fault::None},
        {"today: initiator, wrong CheckSum", Today, Ini, badSum(msg(A, 5)), Fault::Invalid},
        {"today: wrong SenderCompID", Today, Acc, msg(A, 5, 0, "BRK2"), Fault::CompIDs},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Harness h(r.rules, r.role);
        EXPECT_EQ(h.core->usableLogon(r.logon, t0), r.fault == Fault::None);
        EXPECT_EQ(h.core->logonFault(), r.fault);
        EXPECT_EQ(h.cell.In.seq, 4);  // a Logon under test writes nothing
        EXPECT_TRUE(h.port.sent.empty());
    }
}

TEST(SessionCoreLogon, ValidLogonWithExpectedNumberIsAnsweredWithItsHeartBtInt) {
    Harness h(Std);
    ASSERT_TRUE(h.core->usableLogon(msg("A|98=0|108=45", 5), t0));
    EXPECT_EQ(h.core->logonNumber(), SessionCore::LogonNumber::Expected);
    h.core->sendLogonReply();
    h.core->countLogon();
    EXPECT_EQ(h.port.sent, std::vector<std::string>{"A@8 108=45"});
    EXPECT_EQ(h.core->heartBtInt, 45);
    EXPECT_EQ(h.port.recorded, 5);
}

TEST(SessionCoreLogon, ValidLogonWithNumberTooHighAnswersThenAsksForTheGapOnce) {
    Harness h(Std);
    ASSERT_TRUE(h.core->usableLogon(msg("A|98=0|108=30", 9), t0));
    EXPECT_EQ(h.core->logonNumber(), SessionCore::LogonNumber::Above);
    h.core->sendLogonReply();
    h.core->sendResendReq();
    h.in(msg("D|11=a", 10));  // above the gap already asked for: kept, not asked again
    h.in(dup("4|123=Y|36=10", 5));
    EXPECT_EQ(h.port.sent, (std::vector<std::string>{"A@8 108=30", "2@9 7=5 16=0"}));
    EXPECT_EQ(h.port.delivered, std::vector<int>{10});
    EXPECT_EQ(h.cell.In.seq, 10);
}

TEST(SessionCoreLogon, LogonWithNumberTooLowIsRefusedWithALogoutNamingBothNumbers) {
    Harness h(Std);
    ASSERT_TRUE(h.core->usableLogon(msg("A|98=0|108=30", 3), t0));
    EXPECT_EQ(h.core->logonNumber(), SessionCore::LogonNumber::Below);
    h.core->refuseLowLogon();
    EXPECT_EQ(h.port.sent, std::vector<std::string>{tooLow});
    EXPECT_EQ(h.cell.In.seq, 4);
}

// --- Every inbound message -----------------------------------------------------------------

TEST(SessionCoreInbound, EachMessageIsProcessedRejectedIgnoredOrEndsTheSessionAsItsCaseSays) {
    const std::string D = "D|11=a";
    const char* rejectCompID = "3@8 45=5 58=CompID problem 372=D 373=9";
    const char* rejectTime = "3@8 45=5 58=SendingTime accuracy problem 372=D 373=10";
    const char* logoutTime = "5@9 58=SendingTime accuracy problem";
    play({
        row("S1 number as expected is delivered", Std, Acc, {msg(D, 5)}, {}, {}, {5}, 5, 'O'),
        row("S2 messages above a gap are kept, asked for once and processed in order", Std, Acc,
            {msg(D, 7), msg(D, 8), msg(D, 5), msg(D, 6)}, {resend5}, {}, {5, 6, 7, 8}, 8, 'O'),
        row("S2 a second hole is asked for once the first is filled", Std, Acc,
            {msg(D, 7), msg(D, 10), msg(D, 5), msg(D, 6)}, {resend5, "2@9 7=8 16=0"}, {}, {5, 6, 7},
            7, 'O'),
        row("S3 PossDup duplicate is ignored", Std, Acc, {dup(D, 3)}, {}, {}, {}, 4, 'O'),
        row("S4 number too low without PossDup logs out", Std, Acc, {msg(D, 3)}, {tooLow}, {}, {},
            4, 'S'),
        row("S5 wrong CheckSum is ignored, its gap asked for at the next message", Std, Acc,
            {badSum(msg(D, 5)), msg(D, 6)}, {resend5}, {}, {}, 4, 'O'),
        row("S5 wrong BodyLength likewise", Std, Acc, {badLength(msg(D, 5)), msg(D, 6)}, {resend5},
            {}, {}, 4, 'O'),
        row("S5 MsgType not the third field likewise", Std, Acc,
            {framedBody("49=BRK1|35=D|56=GATE|34=5|52=" + stamp(0) + "|11=a|"), msg(D, 6)},
            {resend5}, {}, {}, 4, 'O'),
        row("S6 wrong BeginString logs out", Std, Acc, {msg(D, 5, 0, "BRK1", "GATE", "FIX.4.4")},
            {"5@8 58=Incorrect BeginString"}, {}, {}, 4, 'S'),
        row("S7 wrong SenderCompID is rejected, then logout", Std, Acc, {msg(D, 5, 0, "BRK2")},
            {rejectCompID, "5@9 58=CompID problem"}, {}, {}, 5, 'S'),
        row("S7 wrong TargetCompID likewise", Std, Acc, {msg(D, 5, 0, "BRK1", "OTHER")},
            {rejectCompID, "5@9 58=CompID problem"}, {}, {}, 5, 'S'),
        row("S8 SendingTime 119 s off is fine", Std, Acc, {msg(D, 5, 119), msg(D, 6, -119)}, {}, {},
            {5, 6}, 6, 'O'),
        row("S8 SendingTime 121 s ahead is rejected, then logout", Std, Acc, {msg(D, 5, 121)},
            {rejectTime, logoutTime}, {}, {}, 5, 'S'),
        row("S8 SendingTime 121 s behind likewise", Std, Acc, {msg(D, 5, -121)},
            {rejectTime, logoutTime}, {}, {}, 5, 'S'),
        row("S8 SendingTime not a timestamp names the tag", Std, Acc,
            {FixPeer("BRK1", "GATE").make("35=" + D, 5, "20260101-1200")},
            {"3@8 45=5 58=SendingTime accuracy problem 371=52 372=D 373=10", logoutTime}, {}, {}, 5,
            'S'),
        row("S9 PossDup without OrigSendingTime is rejected", Std, Acc, {msg(D + "|43=Y", 5)},
            {"3@8 45=5 58=Required tag missing 371=122 372=D 373=1"}, {}, {}, 5, 'O'),
        row("S10 OrigSendingTime after SendingTime is rejected, then logout", Std, Acc,
            {msg(D + "|43=Y|122=" + stamp(5), 5)}, {rejectTime, logoutTime}, {}, {}, 5, 'S'),
        row("S11 invalid MsgType is rejected", Std, Acc, {msg("XX|11=a", 5)},
            {"3@8 45=5 58=Invalid MsgType 371=35 372=XX 373=11"}, {}, {}, 5, 'O'),
        row("S12 business message reject goes to the application", Std, Acc,
            {msg("j|45=3|372=D|380=3", 5)}, {}, {}, {5}, 5, 'O'),
        row("S13 PossResend message is delivered", Std, Acc, {msg(D + "|97=Y", 5)}, {}, {}, {5}, 5,
            'O'),
        row("S13 PossDup at the expected number is delivered", Std, Acc, {dup(D, 5)}, {}, {}, {5},
            5, 'O'),
        row("S14 Reject received is counted", Std, Ini, {msg("3|45=2|373=1", 5)}, {}, {}, {}, 5,
            'O'),
        row("A1 reset-mode SequenceReset numbered 0 moves the expected number", Std, Acc,
            {msg("4|36=20", 0)}, {}, {}, {}, 19, 'O'),
        row("A1 ... and one numbered 0 going back is rejected", Std, Acc, {msg("4|36=3", 0)},
            {"3@8 45=0 58=Value is incorrect (out of range) for this tag 371=36 372=4 373=5"}, {},
            {}, 4, 'O'),
        row("A3 PossDup below the expected number without OrigSendingTime is rejected", Std, Acc,
            {msg(D + "|43=Y", 3)}, {"3@8 45=3 58=Required tag missing 371=122 372=D 373=1"}, {}, {},
            4, 'O'),
        row("A3 ... with OrigSendingTime after SendingTime is rejected, then logout", Std, Acc,
            {msg(D + "|43=Y|122=" + stamp(5), 3)},
            {"3@8 45=3 58=SendingTime accuracy problem 372=D 373=10", logoutTime}, {}, {}, 4, 'S'),
        row("A4 missing TargetCompID is a required tag missing; the session goes on", Std, Acc,
            {framedBody("35=D|49=BRK1|34=5|52=" + stamp(0) + "|11=a|"), msg(D, 6)},
            {"3@8 45=5 58=Required tag missing 371=56 372=D 373=1"}, {}, {6}, 6, 'O'),
        row("A4 empty SenderCompID is a tag without a value", Std, Acc,
            {framedBody("35=D|49=|56=GATE|34=5|52=" + stamp(0) + "|11=a|")},
            {"3@8 45=5 58=Tag specified without a value 371=49 372=D 373=4"}, {}, {}, 5, 'O'),
        row("A8 a Reject answers on-behalf-of fields as deliver-to ones", Std, Acc,
            {msg("XX|115=CUST|116=DESK|144=NY|11=a", 5)},
            {"3@8 128=CUST 129=DESK 145=NY 45=5 58=Invalid MsgType 371=35 372=XX 373=11"}, {}, {},
            5, 'O'),
        row("A8 a Heartbeat answering a TestRequest swaps deliver-to fields back", Std, Acc,
            {msg("1|128=BRK2|129=OPS|112=abc", 5)}, {"0@8 115=BRK2 116=OPS 112=abc"}, {}, {}, 5,
            'O'),
        row("today: an answer carries no routing fields", Today, Acc,
            {msg("1|115=CUST|112=abc", 5)}, {"0@8 112=abc"}, {}, {}, 5, 'O'),
        row("S15 header fields in an unusual order", Std, Acc,
            {framedBody("35=D|52=" + stamp(0) + "|34=5|56=GATE|49=BRK1|11=a|")}, {}, {}, {5}, 5,
            'O'),
        // today's rules
        row("today: messages above the expected number are dropped and asked for each time", Today,
            Acc, {msg(D, 7), msg(D, 8)}, {resend5, "2@9 7=5 16=0"}, {}, {}, 4, 'O'),
        row("today: PossDup duplicate is ignored", Today, Acc, {dup(D, 3)}, {}, {}, {}, 4, 'O'),
        row("today: number too low ends without Logout", Today, Acc, {msg(D, 3)}, {}, {}, {}, 4,
            'S'),
        row("today: garbled message ends the session", Today, Acc, {badSum(msg(D, 5))}, {}, {}, {},
            4, 'S'),
        row("today: wrong BeginString ends without Logout", Today, Acc,
            {msg(D, 5, 0, "BRK1", "GATE", "FIX.4.4")}, {}, {}, {}, 4, 'S'),
        row("today: wrong CompID ends without Reject", Today, Acc, {msg(D, 5, 0, "BRK2")}, {}, {},
            {}, 4, 'S'),
        row("today: SendingTime is not checked", Today, Acc, {msg(D, 5, 121)}, {}, {}, {5}, 5, 'O'),
        row("today: PossDup without OrigSendingTime is delivered", Today, Acc,
            {msg(D + "|43=Y", 5)}, {}, {}, {5}, 5, 'O'),
        row("today: any MsgType that is not a session message is delivered", Today, Acc,
            {msg("XX|11=a", 5)}, {}, {}, {5}, 5, 'O'),
    });
}

TEST(SessionCoreInbound, SessionMessagesAreAnsweredAsTheRulesAndRoleSay) {
    const std::string T = "1|112=abc";
    play({
        row("H2 TestRequest is answered with its TestReqID", Std, Acc, {msg(T, 5)}, {"0@8 112=abc"},
            {}, {}, 5, 'O'),
        row("H2 at the initiator too", Std, Ini, {msg(T, 5)}, {"0@8 112=abc"}, {}, {}, 5, 'O'),
        row("today: TestRequest answered by the acceptor", Today, Acc, {msg(T, 5)}, {"0@8 112=abc"},
            {}, {}, 5, 'O'),
        row("today: TestRequest answered by the initiator", Today, Ini, {msg(T, 5)},
            {"0@8 112=abc"}, {}, {}, 5, 'O'),
        row("Heartbeat is counted, not answered", Std, Ini, {msg("0", 5)}, {}, {}, {}, 5, 'O'),
        row("today: the acceptor does not answer a Heartbeat", Today, Acc, {msg("0", 5)}, {}, {},
            {}, 5, 'O'),
        row("today: the initiator answers a Heartbeat", Today, Ini, {msg("0", 5)}, {"0@8"}, {}, {},
            5, 'O'),
        row("today: the acceptor logs a Reject", Today, Acc, {msg("3|45=2", 5)}, {}, {}, {}, 5,
            'O'),
        row("today: the initiator answers a Reject with a Heartbeat", Today, Ini,
            {msg("3|45=2", 5)}, {"0@8"}, {}, {}, 5, 'O'),
        row("O2 unsolicited Logout is answered, then the end", Std, Acc, {msg("5", 5)},
            {"5@8 58=Bye"}, {}, {}, 5, 'S'),
        row("O2 a Logout above an open gap waits in line with what is kept", Std, Acc,
            {msg("D|11=a", 7), msg("5", 8)}, {resend5}, {}, {}, 4, 'O'),
        row("O2 ... and is answered in its turn once the gap is filled", Std, Acc,
            {msg("D|11=a", 7), msg("5", 8), msg("D|11=a", 5), msg("0", 6)}, {resend5, "5@9 58=Bye"},
            {}, {5, 7}, 8, 'S'),
        row("O2 at the initiator too", Std, Ini, {msg("5", 5)}, {"5@8 58=Bye"}, {}, {}, 5, 'S'),
        row("today: O2 at the acceptor", Today, Acc, {msg("5", 5)}, {"5@8 58=Bye"}, {}, {}, 5, 'S'),
        row("today: O2 at the initiator", Today, Ini, {msg("5", 5)}, {"5@8 58=Bye"}, {}, {}, 5,
            'S'),
    });
}

TEST(SessionCoreInbound, FullApplicationQueueHoldsAMessageUncountedThenTheKeptOnesFollow) {
    for (Rules rules : {Std, Today}) {
        SCOPED_TRACE(rules == Std ? "standard" : "today");
        Harness h(rules);
        if (rules == Std) h.in(msg("D|11=a", 6));
        h.port.full = true;
        h.in(msg("D|11=a", 5));
        EXPECT_TRUE(h.core->holding());
        EXPECT_FALSE(h.core->deliverHeld());
        EXPECT_EQ(h.cell.In.seq, 4);
        h.port.full = false;
        EXPECT_TRUE(h.core->deliverHeld());
        EXPECT_EQ(h.port.delivered, (rules == Std ? std::vector<int>{5, 6} : std::vector<int>{5}));
        EXPECT_EQ(h.port.recorded, h.cell.In.seq);
    }
}

TEST(SessionCoreInbound, PastTheBoundOfKeptMessagesTheRestIsAskedForAgainOnceTheGapIsFilled) {
    Harness h(Std);
    const int last = 6 + static_cast<int>(SessionCore::maxQueued);  // one too many
    for (int seq = 6; seq <= last; ++seq) h.in(msg("D|11=a", seq));
    h.in(msg("D|11=a", 5));
    EXPECT_EQ(h.port.delivered.size(), SessionCore::maxQueued + 1);
    EXPECT_EQ(h.cell.In.seq, last - 1);
    EXPECT_EQ(h.port.sent,
              (std::vector<std::string>{resend5, "2@9 7=" + std::to_string(last) + " 16=0"}));
}

// While the application takes nothing ("#" turns the queue full, and back, offering the held
// message again), messages behind the held one are read and kept in line, and what the
// counterparty asks of the session is answered at once. "@T": our TestRequest is out.
TEST(SessionCoreHold, BehindAHeldMessageTheSessionStillAnswersAndKeepsTheRestInLine) {
    const std::string D = "D|11=a", T = "1|112=X", R = "2|7=2|16=2";
    const char* beat = "0@8 112=X";
    const char* resent = "D@2 43=Y 122=20260101-11:00:02";
    const char* resentToday = "D@2 122=20260101-11:00:02 43=Y";  // today's header order
    const char* bye = "5@8 58=Bye";
    play({
        row("H1 kept in line, no ResendRequest", Std, Acc,
            {"#", msg(D, 5), msg(D, 6), msg(D, 7), "#"}, {}, {}, {5, 6, 7}, 7, 'O'),
        row("H2 TestRequest answered at once, once", Std, Acc,
            {"#", msg(D, 5), msg(T, 6), msg(D, 7), "#"}, {beat}, {}, {5, 7}, 7, 'O'),
        row("H3 ResendRequest answered at once, once", Std, Acc, {"#", msg(D, 5), msg(R, 6), "#"},
            {}, {resent}, {5}, 6, 'O'),
        row("H4 Logout answered at once, the held one uncounted", Std, Acc,
            {"#", msg(D, 5), msg("5", 6)}, {bye}, {}, {}, 4, 'S'),
        row("H5 a hole above the line is asked for from after it", Std, Acc,
            {"#", msg(D, 5), msg(D, 6), msg(D, 8), "#"}, {"2@8 7=7 16=0"}, {}, {5, 6}, 6, 'O'),
        row("H6 the held number again is a duplicate", Std, Acc, {"#", msg(D, 5), msg(D, 5), "#"},
            {}, {}, {5}, 5, 'O'),
        row("today: H1, H2", Today, Acc, {"#", msg(D, 5), msg(D, 6), msg(T, 7), msg(D, 8), "#"},
            {beat}, {}, {5, 6, 8}, 8, 'O'),
        row("today: H3", Today, Acc, {"#", msg(D, 5), msg(R, 6), "#"}, {}, {resentToday}, {5}, 6,
            'O'),
        row("today: H4", Today, Acc, {"#", msg(D, 5), msg("5", 6)}, {bye}, {}, {}, 4, 'S'),
        row("today: a message behind it answers our TestRequest", Today, Acc,
            {"@T", "#", msg(D, 5), msg("0", 6)}, {}, {}, {}, 4, 'O'),
    });
}

TEST(SessionCoreHold, ResetsWaitForTheHeldMessageAndOffersComeFasterThanTheClock) {
    Harness h(Std);
    h.port.full = true;
    EXPECT_EQ(h.core->wakeIn(), 1000000L);
    h.in(msg("D|11=a", 5));
    EXPECT_FALSE(h.core->takesNow(msg("4|36=20", 0)));
    EXPECT_FALSE(h.core->takesNow(msg("A|98=0|108=30|141=Y", 1)));
    EXPECT_TRUE(h.core->takesNow(msg("4|123=Y|36=20", 6)));
    EXPECT_EQ(h.core->wakeIn(), 50);
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(h.core->deliverHeld());
    EXPECT_EQ(h.core->wakeIn(), 5000);
}

// Reading stops only at the bound; then silence is ours: Heartbeats go on, no TestRequest, and
// only the stall limit ends the session, with a Logout that says so.
TEST(SessionCoreHold, AStalledApplicationIsReportedThenEndsTheSessionOnlyAtItsLimit) {
    Harness h(Std);
    h.port.full = true;
    const int last = 5 + static_cast<int>(SessionCore::maxQueued);
    h.in(msg("D|11=a", 5));
    // A brief hold reads nothing; a longer one reads up to the bound.
    EXPECT_FALSE(h.core->takesInput());
    for (int i = 0; i < 7; ++i) h.core->deliverHeld();
    for (int seq = 6; seq <= last; ++seq) {
        EXPECT_TRUE(h.core->takesInput());
        h.in(msg("D|11=a", seq));
    }
    EXPECT_FALSE(h.core->takesInput());
    EXPECT_TRUE(h.core->idle(t0 + 200, t0, t0));
    h.port.lines.clear();
    EXPECT_TRUE(h.core->watchHold(t0 + 4));
    EXPECT_TRUE(h.port.lines.empty());
    EXPECT_TRUE(h.core->watchHold(t0 + 5));
    ASSERT_EQ(h.port.lines.size(), 1u);
    EXPECT_EQ(h.port.lines[0],
              "Application is slow: site [] has waited 5 s for room on the output queue; " +
                  std::to_string(SessionCore::maxQueued + 1) + " messages wait.");
    EXPECT_TRUE(h.core->watchHold(t0 + 299));
    EXPECT_EQ(h.port.sent, std::vector<std::string>{"0@8"});
    EXPECT_FALSE(h.core->watchHold(t0 + 300));
    EXPECT_EQ(h.port.sent.back(),
              "5@9 58=Our side cannot take messages: its application has taken none for 300 s");
    EXPECT_EQ(h.cell.status, 'S');
    EXPECT_EQ(h.cell.In.seq, 4);
}

TEST(SessionCoreReset, ALogonWithResetSeqNumFlagStartsBothNumbersAgainAndIsAnsweredInKind) {
    const std::string reset = "A|98=0|108=30|141=Y";
    {
        SCOPED_TRACE("A7 at the start of the session");
        Harness h(Std);
        ASSERT_TRUE(h.core->usableLogon(msg(reset, 1), t0));
        ASSERT_TRUE(h.core->logonAsksReset());
        h.core->resetNumbers();
        EXPECT_EQ(h.core->logonNumber(), SessionCore::LogonNumber::Expected);
        h.core->sendLogonReply();
        h.core->countLogon();
        EXPECT_EQ(h.port.sent, std::vector<std::string>{"A@1 108=30 141=Y"});
        EXPECT_EQ(h.port.resets, 1);
        EXPECT_EQ(h.cell.In.seq, 1);
    }
    {
        SCOPED_TRACE("FIX 4.0 has no ResetSeqNumFlag: a Logon numbered 1 is too low");
        Harness h(Std, Acc, "FIX.4.0");
        h.in(msg(reset, 1, 0, "BRK1", "GATE", "FIX.4.0"));
        EXPECT_EQ(h.port.resets, 0);
        EXPECT_EQ(h.port.sent, std::vector<std::string>{tooLow1});
    }
    play({
        row("A7 inside the session: numbers back to 1, kept messages dropped", Std, Acc,
            {msg("D|11=a", 9), msg(reset, 1), msg("D|11=b", 2)}, {resend5, "A@1 108=30 141=Y"}, {},
            {2}, 2, 'O', 1),
        row("A7 an acceptor's reply to our answer confirms the reset: not answered again", Std, Ini,
            {msg(reset, 1), msg(reset, 2), msg("D|11=b", 3)}, {"A@1 108=30 141=Y"}, {}, {3}, 3, 'O',
            1),
        row("today's rules count it and ignore it", Today, Acc, {msg(reset, 5)}, {}, {}, {}, 5,
            'O'),
    });
}

// The tags of a message in wire order, "8 9 35 34 ...".
std::string tagOrder(const std::string& m) {
    std::string out;
    std::string bars = FixPeer::bars(m);
    for (std::size_t at = 0; at < bars.size();) {
        std::size_t end = bars.find('|', at);
        out += (out.empty() ? "" : " ") + bars.substr(at, bars.find('=', at) - at);
        at = end + 1;
    }
    return out;
}

TEST(SessionCoreVersions, TheSitesBeginStringDecidesRejectFieldsTheResendEndTheClockAndReasons) {
    const std::string order42 = "D|11=C1|21=1|55=IBM|54=1|60=20260101-10:00:00|38=100|40=2|44=10";
    const std::string order44 = "D|11=C1|55=IBM|54=1|60=20260101-10:00:00|38=100|40=2|44=10";
    auto at = [](const char* version, const std::string& fields, int seq = 5) {
        return msg(fields, seq, 0, "BRK1", "GATE", version);
    };
    struct Row {
        const char* name;
        const char* version;
        const char* dictionary;  // "" for none
        std::string in;
        std::string sent;
        int inSeq;
        std::size_t sendingTime;  // length of 52 in what was sent
    } rows[] = {
        {"4.0: a Reject has 45 and 58 only", "FIX.4.0", "", at("FIX.4.0", "XX|11=a"),
         "3@8 45=5 58=Invalid MsgType", 5, 17},
        {"4.1 likewise", "FIX.4.1", "", at("FIX.4.1", "XX|11=a"), "3@8 45=5 58=Invalid MsgType", 5,
         17},
        {"4.2: 371, 372 and 373 for a reason it defines", "FIX.4.2", "", at("FIX.4.2", "XX|11=a"),
         "3@8 45=5 58=Invalid MsgType 371=35 372=XX 373=11", 5, 21},
        {"4.0: a gap is asked for up to 999999", "FIX.4.0", "", at("FIX.4.0", "D|11=a", 7),
         "2@8 7=5 16=999999", 4, 17},
        {"4.4: up to 0", "FIX.4.4", "", at("FIX.4.4", "D|11=a", 7), "2@8 7=5 16=0", 4, 21},
        {"A6 tag 0", "FIX.4.4", "FIX44.xml", at("FIX.4.4", order44 + "|0=x"),
         "3@8 45=5 58=Invalid tag number 371=0 372=D 373=0", 5, 21},
        {"A6 a negative tag", "FIX.4.4", "FIX44.xml", at("FIX.4.4", order44 + "|-1=x"),
         "3@8 45=5 58=Invalid tag number 371=-1 372=D 373=0", 5, 21},
        {"A5 header fields after the body name the first of them", "FIX.4.4", "FIX44.xml",
         FixPeer::frame("FIX.4.4", "35=" + order44 + "|49=BRK1|56=GATE|34=5|52=" + stamp(0) + "|"),
         "3@8 45=5 58=Tag specified out of required order 371=49 372=D 373=14", 5, 21},
        {"4.2: a tag repeated is said in 58 alone", "FIX.4.2", "FIX42.xml",
         at("FIX.4.2", order42 + "|58=a|58=b"),
         "3@8 45=5 58=Tag appears more than once 371=58 372=D", 5, 21},
        {"4.4: the same carries 373=13", "FIX.4.4", "FIX44.xml",
         at("FIX.4.4", order44 + "|58=a|58=b"),
         "3@8 45=5 58=Tag appears more than once 371=58 372=D 373=13", 5, 21},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Harness h(Std, Acc, r.version, r.dictionary);
        h.in(r.in);
        EXPECT_EQ(h.port.sent, std::vector<std::string>{r.sent});
        EXPECT_EQ(h.cell.In.seq, r.inSeq);
        EXPECT_TRUE(h.port.delivered.empty());
        ASSERT_FALSE(h.port.raw.empty());
        EXPECT_EQ(FixPeer::field(h.port.raw.back(), 52).size(), r.sendingTime);
    }
}

TEST(SessionCoreVersions, SessionMessagesAndResentHeadersCarryTheirFieldsInTagOrder) {
    Harness h(Std);
    h.in(msg("XX|11=a", 5));     // a Reject
    h.in(msg("2|7=1|16=2", 6));  // a gap fill for 1, then the order 2 resent
    ASSERT_EQ(h.port.raw.size(), 3u);
    EXPECT_EQ(tagOrder(h.port.raw[0]), "8 9 35 34 49 52 56 45 58 371 372 373 10");
    EXPECT_EQ(tagOrder(h.port.raw[1]), "8 9 35 34 43 49 52 56 122 36 123 10");
    EXPECT_EQ(tagOrder(h.port.raw[2]), "8 9 35 34 43 49 52 56 122 11 10");
}

// --- FIXT.1.1 ----------------------------------------------------------------------------

TEST(SessionCoreFixt, TheLogonAgreesAnApplicationVersionTheSiteAcceptsAndOthersAreRefused) {
    auto logon = [](const char* version, const std::string& fields) {
        return msg("A|98=0|108=30" + fields, 5, 0, "BRK1", "GATE", version);
    };
    struct Row {
        const char* name;
        const char* site;  // the site's BeginString
        Rules rules;
        std::string logon;
        Fault fault;
        const char* refusal;  // logonRefusal(), or the version agreed when taken
    } rows[] = {
        {"the default", "FIXT.1.1", Std, logon("FIXT.1.1", "|1137=9"), Fault::None, "9"},
        {"another the site lists", "FIXT.1.1", Std, logon("FIXT.1.1", "|1137=8"), Fault::None, "8"},
        {"today's rules check it too", "FIXT.1.1", Today, logon("FIXT.1.1", "|1137=7"),
         Fault::ApplVerID, "DefaultApplVerID 7 is not one the site accepts (9,8)"},
        {"no DefaultApplVerID", "FIXT.1.1", Std, logon("FIXT.1.1", ""), Fault::ApplVerID,
         "no DefaultApplVerID (1137)"},
        {"one the site does not list", "FIXT.1.1", Std, logon("FIXT.1.1", "|1137=7"),
         Fault::ApplVerID, "DefaultApplVerID 7 is not one the site accepts (9,8)"},
        {"FIX.4.4 to a FIXT.1.1 site", "FIXT.1.1", Std, logon("FIX.4.4", "|1137=9"),
         Fault::BeginString, "BeginString FIX.4.4 where the site speaks FIXT.1.1"},
        {"FIXT.1.1 to a FIX.4.4 site", "FIX.4.4", Std, logon("FIXT.1.1", "|1137=9"),
         Fault::BeginString, "BeginString FIXT.1.1 where the site speaks FIX.4.4"},
        {"a BeginString of nine characters", "FIXT.1.1", Std, logon("FIXT.1.10", "|1137=9"),
         Fault::BeginString, "BeginString FIXT.1.10 where the site speaks FIXT.1.1"},
        {"a BeginString of three characters", "FIX.4.4", Std, logon("FIX", ""), Fault::BeginString,
         "BeginString FIX where the site speaks FIX.4.4"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        bool fixt = std::string(r.site) == "FIXT.1.1";
        Harness h(r.rules, Acc, r.site, "", fixt ? "applver=9,8" : "");
        EXPECT_EQ(h.core->usableLogon(r.logon, t0), r.fault == Fault::None);
        EXPECT_EQ(h.core->logonFault(), r.fault);
        if (r.fault == Fault::None) {
            EXPECT_EQ(h.core->applVerID(), r.refusal);
            h.core->sendLogonReply();
            EXPECT_EQ(h.port.sent,
                      std::vector<std::string>{"A@8 108=30 1137=" + std::string(r.refusal)});
        } else {
            EXPECT_EQ(h.core->logonRefusal(), r.refusal);
            EXPECT_TRUE(h.port.sent.empty());
        }
    }
}

TEST(SessionCoreFixt, EachMessageIsHeldToTheSitesApplicationVersionsAndItsBeginString) {
    auto at = [](const std::string& fields, int seq = 5, const char* version = "FIXT.1.1") {
        return msg(fields, seq, 0, "BRK1", "GATE", version);
    };
    struct Row {
        const char* name;
        std::string in;
        std::vector<std::string> sent;
        std::vector<int> delivered;
        int inSeq;
        char status;
    } rows[] = {
        {"no ApplVerID: the agreed one", at("D|11=a"), {}, {5}, 5, status_Online},
        {"an ApplVerID the site lists", at("D|1128=8|11=a"), {}, {5}, 5, status_Online},
        {"one it does not list is rejected, counted and not delivered",
         at("D|1128=7|11=a"),
         {"3@8 45=5 58=Invalid/unsupported application version 371=1128 372=D 373=18"},
         {},
         5,
         status_Online},
        {"an empty one",
         at("D|1128=|11=a"),
         {"3@8 45=5 58=Tag specified without a value 371=1128 372=D 373=4"},
         {},
         5,
         status_Online},
        {"FIX 5.0 message types go past BZ", at("CD|11=a"), {}, {5}, 5, status_Online},
        {"a FIX.4.4 message ends the session",
         at("D|11=a", 5, "FIX.4.4"),
         {"5@8 58=Incorrect BeginString"},
         {},
         4,
         status_Shutdown},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Harness h(Std, Acc, "FIXT.1.1", "", "applver=9,8");
        h.in(r.in);
        EXPECT_EQ(h.port.sent, r.sent);
        EXPECT_EQ(h.port.delivered, r.delivered);
        EXPECT_EQ(h.cell.In.seq, r.inSeq);
        EXPECT_EQ(h.cell.status, r.status);
    }
    // Our own Logon names the site's default.
    Harness h(Std, Ini, "FIXT.1.1", "", "applver=9,8");
    h.core->sendLogon();
    EXPECT_EQ(h.port.sent, std::vector<std::string>{"A@8 108=30 1137=9"});
}

// --- Resend --------------------------------------------------------------------------------

TEST(SessionCoreResend, ResendRequestResendsOrdersAndGapFillsSessionMessagesForExactlyTheRange) {
    // Our log: 1 Logon, 2 order, 3 Heartbeat, 4 TestRequest, 5 and 6 orders, 7 Heartbeat.
    // Header in tag order (43 before 122), then the gap fill's body (36 before 123).
    auto g = [](int seq, int next) {
        return "4@" + std::to_string(seq) + " 43=Y 122=* 36=" + std::to_string(next) + " 123=Y";
    };
    const std::string o2 = "D@2 43=Y 122=" + stamp(-3598);
    const std::string o5 = "D@5 43=Y 122=" + stamp(-3595);
    const std::string o6 = "D@6 43=Y 122=" + stamp(-3594);
    play({
        row("R1 everything", Std, Acc, {msg("2|7=1|16=0", 5)}, {},
            {g(1, 2), o2, g(3, 5), o5, o6, g(7, 8)}, {}, 5, 'O'),
        row("R1 a closed range", Std, Acc, {msg("2|7=2|16=5", 5)}, {}, {o2, g(3, 5), o5}, {}, 5,
            'O'),
        row("R1 session messages only", Std, Acc, {msg("2|7=3|16=4", 5)}, {}, {g(3, 5)}, {}, 5,
            'O'),
        row("R1 up to the last sent", Std, Acc, {msg("2|7=6|16=0", 5)}, {}, {o6, g(7, 8)}, {}, 5,
            'O'),
        // today's rules keep the header as logged, 122 and 43 placed after 52
        row("today: gap fills carry no PossDupFlag", Today, Acc, {msg("2|7=1|16=3", 5)}, {},
            {"4@1 123=Y 36=2", "D@2 122=" + stamp(-3598) + " 43=Y", "4@3 123=Y 36=4"}, {}, 5, 'O'),
        // our own ResendRequest (8) is covered by the gap fill too
        row("R2 a ResendRequest above our own open gap is answered at once", Std, Acc,
            {msg("D|11=a", 7), msg("2|7=6|16=0", 8)}, {resend5}, {o6, g(7, 9)}, {}, 4, 'O'),
        row("R2 ... and counted, not answered again, once the gap is filled", Std, Acc,
            {msg("D|11=a", 7), msg("2|7=6|16=0", 8), msg("D|11=a", 5), msg("D|11=a", 6)}, {resend5},
            {o6, g(7, 9)}, {5, 6, 7}, 8, 'O'),
        row("R2 one at the expected number while ours is open", Std, Acc,
            {msg("D|11=a", 7), msg("2|7=6|16=0", 5)}, {resend5}, {o6, g(7, 9)}, {}, 5, 'O'),
    });
}

TEST(SessionCoreResend, SequenceResetsMoveTheExpectedNumberOnlyForwardAsTheirModeSays) {
    const char* badValue =
        "3@8 45=5 58=Value is incorrect (out of range) for this tag 371=36 372=4 373=5";
    play({
        row("R3 gap fill at the expected number moves it", Std, Acc, {msg("4|123=Y|36=9", 5)}, {},
            {}, {}, 8, 'O'),
        row("R3 gap fill not past its own number is rejected", Std, Acc, {msg("4|123=Y|36=5", 5)},
            {badValue}, {}, {}, 5, 'O'),
        row("R4 gap fill above the expected number waits for the gap", Std, Acc,
            {msg("4|123=Y|36=9", 7), msg("D|11=a", 5), msg("D|11=a", 6)}, {resend5}, {}, {5, 6}, 8,
            'O'),
        row("R5 PossDup gap fill below the expected number is ignored", Std, Acc,
            {dup("4|123=Y|36=4", 3)}, {}, {}, {}, 4, 'O'),
        row("R5 gap fill below without PossDup logs out", Std, Acc, {msg("4|123=Y|36=4", 3)},
            {tooLow}, {}, {}, 4, 'S'),
        row("R6 reset forward, its own number not checked", Std, Acc, {msg("4|36=20", 99)}, {}, {},
            {}, 19, 'O'),
        row("R6 reset numbered below the expected one", Std, Acc, {msg("4|123=N|36=20", 2)}, {}, {},
            {}, 19, 'O'),
        row("R6 reset to the expected number changes nothing", Std, Acc, {msg("4|36=5", 5)}, {}, {},
            {}, 4, 'O'),
        row("R6 reset backwards is rejected", Std, Acc, {msg("4|36=3", 5)}, {badValue}, {}, {}, 4,
            'O'),
        row("R6 reset to a kept message lets it through", Std, Acc,
            {msg("D|11=a", 8), msg("4|36=8", 5)}, {resend5}, {}, {8}, 8, 'O'),
        // today's rules: a reset is numbered like any message and never answered with a Reject
        row("today: reset numbered above asks for the gap", Today, Acc, {msg("4|36=20", 9)},
            {resend5}, {}, {}, 4, 'O'),
        row("today: reset forward", Today, Acc, {msg("4|36=20", 5)}, {}, {}, {}, 19, 'O'),
        row("today: reset backwards is ignored", Today, Acc, {msg("4|36=3", 5)}, {}, {}, {}, 5,
            'O'),
        row("today: gap fill not past its own number is ignored", Today, Acc,
            {msg("4|123=Y|36=5", 5)}, {}, {}, {}, 5, 'O'),
    });
}

// --- Heartbeat, TestRequest and Logout -----------------------------------------------------

TEST(SessionCoreIdle, HeartbeatAfterSilenceTestRequestAfterAMarginLogoutWhenItGoesUnanswered) {
    Harness h(Std);
    SessionCore& c = *h.core;
    EXPECT_TRUE(c.idle(t0, t0, t0 - 29));
    EXPECT_TRUE(h.port.sent.empty());
    EXPECT_TRUE(c.idle(t0, t0, t0 - 30));  // H1
    EXPECT_TRUE(c.idle(t0, t0 - 35, t0));  // HeartBtInt plus a fifth is tolerated
    EXPECT_EQ(h.port.sent, std::vector<std::string>{"0@8"});
    EXPECT_TRUE(c.idle(t0, t0 - 36, t0));  // H3
    EXPECT_EQ(h.cell.status, status_TestReq);
    EXPECT_TRUE(c.idle(t0 + 29, t0 - 36, t0 + 29));
    EXPECT_FALSE(c.idle(t0 + 30, t0 - 36, t0 + 30));
    EXPECT_EQ(h.port.sent,
              (std::vector<std::string>{"0@8", "1@9 112=1", "5@10 58=No answer to TestRequest"}));
    EXPECT_EQ(h.cell.status, status_Shutdown);
}

TEST(SessionCoreIdle, AnsweredTestRequestKeepsTheSessionUpAndHeartBtIntZeroMeansNoIdleRule) {
    Harness h(Std);
    EXPECT_TRUE(h.core->idle(t0, t0 - 36, t0));
    h.in(msg("0|112=1", 5));
    EXPECT_TRUE(h.core->idle(t0 + 30, t0, t0 + 30));
    EXPECT_EQ(h.cell.status, status_Online);
    EXPECT_EQ(h.port.sent, std::vector<std::string>{"1@8 112=1"});

    Harness z(Std);  // H4
    z.core->heartBtInt = 0;
    EXPECT_TRUE(z.core->idle(t0 + 1000, t0, t0));
    EXPECT_TRUE(z.port.sent.empty());
}

TEST(SessionCoreIdle, ALogoutKeptAboveAGapThatStaysOpenIsAnsweredAfterItsGrace) {
    Harness h(Std);
    h.in(msg("5", 8));
    EXPECT_TRUE(h.core->idle(t0 + SessionCore::logoutGrace - 1, t0, t0));
    EXPECT_EQ(h.cell.status, status_Online);
    EXPECT_FALSE(h.core->idle(t0 + SessionCore::logoutGrace, t0, t0));
    EXPECT_EQ(h.port.sent, (std::vector<std::string>{resend5, "5@9 58=Bye"}));
    EXPECT_EQ(h.cell.status, status_Shutdown);
    EXPECT_EQ(h.cell.In.seq, 4);  // the gap stays open for the next session to ask for
}

TEST(SessionCoreIdle, TodayEachQuietIntervalStepsOnlineHeartbeatTestRequestThenEndPerRole) {
    for (Role role : {Ini, Acc}) {
        SCOPED_TRACE(role == Ini ? "initiator" : "acceptor");
        Harness h(Today, role);
        EXPECT_TRUE(h.core->idle(t0, 0, 0));
        EXPECT_EQ(h.cell.status, status_Heartbeat);
        EXPECT_TRUE(h.core->idle(t0, 0, 0));
        EXPECT_EQ(h.cell.status, status_TestReq);
        EXPECT_FALSE(h.core->idle(t0, 0, 0));
        // the initiator only restarts its interval where the acceptor sends a Heartbeat
        EXPECT_EQ(h.port.quietRestarts, role == Ini ? 1 : 0);
        EXPECT_EQ(h.port.sent, (role == Ini ? std::vector<std::string>{"1@8 112=1"}
                                            : std::vector<std::string>{"0@8", "1@9 112=1"}));
    }
}

TEST(SessionCoreLogout, OurLogoutAnsweredEndsTheSessionWithoutAnotherLogout) {
    for (Rules rules : {Std, Today}) {
        SCOPED_TRACE(rules == Std ? "standard" : "today");
        Harness h(rules, Ini);
        h.core->sendLogout("");  // O1: the driver waits for the answer
        EXPECT_TRUE(h.core->logoutSent());
        EXPECT_FALSE(h.core->logoutAnswered());
        h.in(msg("5", 5));  // O3
        EXPECT_TRUE(h.core->logoutAnswered());
        EXPECT_EQ(h.port.sent, std::vector<std::string>{"5@8 58=Bye"});
        EXPECT_EQ(h.cell.status, status_Shutdown);
        EXPECT_EQ(h.cell.In.seq, 5);
    }
}

}  // namespace
