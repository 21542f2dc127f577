// Drives the session rules (SessionCore) directly, the way a certifier tests a session: either
// rule set, either role, with or without the version's shipped dictionary, against arbitrary
// inbound messages and clock steps, through a port that records everything. It checks that no
// two new messages carry one MsgSeqNum (each is above the last and is the cell's Out.seq, and no
// gap fill promises a number past the next one), that a message is delivered only as the expected
// one and never twice unless PossDupFlag Y, that everything sent again is a possible duplicate
// (today's gap fills excepted), that every move of In.seq is reported, and that In.seq and
// Out.seq never go back, except for the reset a Logon with 141=Y asks for: our Logon with 141=Y
// is then number 1 and numbers start again.
//
// Input: four bytes, then one step per line. Byte 0 & 1: standard rules; byte 1 & 1: acceptor;
// byte 2 & 1: the version's dictionary (standard rules, FIX 4.2-4.4); byte 2 & 2: HeartBtInt 0
// instead of 30; byte 3: FIX.4.<(b & 15) % 5>. The session is up, expecting 5, having sent 1-7.
//   ~N      the clock moves N s (0-999), then idle(now, lastIn, lastOut) and watchHold(now)
//   #       the application's queue turns full / not full; a waiting message is offered again
//   ^B,E    answerResend(B, E)
//   !bytes  raw bytes in ('|' for SOH)
//   fields  a message from 35= on ('|' for SOH), framed with BodyLength and CheckSum; NOW and AGO
//           stand for a SendingTime of now and a minute ago, EXP for the expected MsgSeqNum.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "Common.h"
#include "SessionCore.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

const char* const versions[] = {"FIX.4.0", "FIX.4.1", "FIX.4.2", "FIX.4.3", "FIX.4.4"};
const bool shipped[] = {false, false, true, true, true};  // a dictionary comes with the suite
const std::time_t t0 = 1767268800;                        // 20260101-12:00:00 UTC
FixConfig configs[2][5][2];                               // [standard][version][dictionary]
std::vector<std::string> firstLog[5];                     // our messages 1-7 per version

std::string stamp(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H:%M:%S", &tm);
    return text;
}

std::string frame(const std::string& version, std::string body) {
    for (char& c : body)
        if (c == '|') c = soh;
    std::string m = "8=" + version + '\x01' + "9=" + std::to_string(body.size()) + '\x01' + body;
    unsigned sum = 0;
    for (char c : m) sum += static_cast<unsigned char>(c);
    char digits[8];
    std::snprintf(digits, sizeof digits, "%03u", sum % 256);
    return m + "10=" + digits + '\x01';
}

std::string field(const std::string& m, const char* tag) {
    std::string key = std::string(1, soh) + tag + "=";
    std::size_t at = m.find(key);
    if (at == std::string::npos) return "";
    at += key.size();
    return m.substr(at, m.find(soh, at) - at);
}

int number(const std::string& m, const char* tag) {
    return static_cast<int>(std::strtol(field(m, tag).c_str(), nullptr, 10));
}

void replaceAll(std::string& s, const std::string& from, const std::string& to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

struct RecordingPort : SessionPort {
    MemoryCell& cell;
    const std::time_t& now;
    bool standard;
    std::vector<std::string> log;  // the outgoing log
    std::set<int> delivered;
    int lastNew = 7;
    std::time_t lastOut = t0;
    bool full = false;
    bool reset = false;  // a Logon with 141=Y went out in this step
    int recorded = 4;    // In.seq as last reported

    RecordingPort(MemoryCell& c, const std::time_t& n, bool s) : cell(c), now(n), standard(s) {}

    void sendNew(const std::string& m) override {
        int seq = number(m, "34");
        // After a reset both numbers start again; our Logon is number 1.
        if (field(m, "35") == "A" && field(m, "141") == "Y") require(reset && seq == 1);
        require(seq > lastNew && seq == cell.Out.seq);
        lastNew = seq;
        log.push_back(m);
        lastOut = now;
    }
    void sendAgain(const std::string& m) override {
        // Only numbers already used go out again, and a gap fill leads to our next new number.
        require(number(m, "34") >= 1 && number(m, "34") <= lastNew);
        bool gapFill = field(m, "35") == "4";
        if (gapFill) require(number(m, "36") <= lastNew + 1);
        if (standard || !gapFill) require(field(m, "43") == "Y");
        lastOut = now;
    }
    bool deliver(const std::string& m) override {
        if (full) return false;
        int seq = number(m, "34");
        require(seq == cell.In.seq + 1);  // in order: the expected message, counted once taken
        require(delivered.insert(seq).second || field(m, "43") == "Y");
        return true;
    }
    void replayOutgoing(const std::function<void(const std::string&)>& each) override {
        for (const std::string& line : log) each(line);
    }
    void inboundCounted() override { recorded = cell.In.seq; }
    void restartQuietInterval() override {}
    void numbersReset() override {
        log.clear();
        delivered.clear();
        lastNew = 0;
        reset = true;
    }
    void console(const std::string&, int) override {}
};

}  // namespace

// Every configuration is read once, in a private folder removed straight after.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/fixgate-corefuzz-XXXXXX";
    char here[4096];
    require(getcwd(here, sizeof here) != nullptr && mkdtemp(dir) != nullptr);
    require(chdir(dir) == 0 && mkdir("cfg", 0700) == 0);
    for (int v = 0; v < 5; ++v) {
        const char* types = "AD01DD0";
        for (int seq = 1; seq <= 7; ++seq) {
            std::string body = "35=" + std::string(1, types[seq - 1]) +
                               "|49=GATE|56=BRK1|34=" + std::to_string(seq) +
                               "|52=" + stamp(t0 - 3600 + seq) + "|";
            firstLog[v].push_back(
                frame(versions[v], body + (types[seq - 1] == 'D' ? "11=o|" : "")));
        }
        for (int standard = 0; standard < 2; ++standard) {
            for (int dict = 0; dict < 2; ++dict) {
                if (dict && !(standard && shipped[v])) continue;
                std::string site = "S" + std::to_string(standard * 100 + v * 10 + dict);
                std::string text = std::string("~ {8=") + versions[v] +
                                   ",9=,35=,49=GATE,56=BRK1,34=,52=}\n"
                                   "A {98=0,108=30}\n0 {}\n1 {112=}\n2 {7=,16=}\n3 {}\n"
                                   "4 {123=Y,36=}\n5 {58=Bye}\n";
                if (standard) text += "@ {rules=standard}\n";
                if (dict)
                    text += std::string("@ {dictionary=") + FIXGATE_SOURCE_DIR + "/dict/FIX4" +
                            std::to_string(v) + ".xml}\n";
                std::ofstream("cfg/" + site + ".fix") << text;
                configs[standard][v][dict].load(site);
                require(configs[standard][v][dict].standardRules() == (standard != 0));
                require((configs[standard][v][dict].dictionary() != nullptr) == (dict != 0));
                unlink(("cfg/" + site + ".fix").c_str());
            }
        }
    }
    require(rmdir("cfg") == 0 && chdir(here) == 0 && rmdir(dir) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    bool standard = data[0] & 1;
    int v = (data[3] & 15) % 5;
    bool dict = standard && (data[2] & 1) && shipped[v];
    MemoryCell cell{};
    cell.In.seq = 4;
    cell.Out.seq = 7;
    cell.status = status_Online;
    std::time_t now = t0, lastIn = t0;
    RecordingPort port(cell, now, standard);
    port.log = firstLog[v];
    SessionCore core(data[1] & 1 ? SessionCore::Role::Acceptor : SessionCore::Role::Initiator,
                     port);
    core.attach(configs[standard][v][dict], cell,
                standard ? SessionCore::Rules::Standard : SessionCore::Rules::Today);
    core.heartBtInt = data[2] & 2 ? 0 : 30;

    std::string text(reinterpret_cast<const char*>(data) + 4, size - 4);
    bool goesOn = true;
    // The session stops at its end, as the gateway's loop does.
    for (std::size_t start = 0; start < text.size() && goesOn && cell.status != status_Shutdown &&
                                !core.logoutAnswered();) {
        std::size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        int inBefore = cell.In.seq, outBefore = cell.Out.seq;
        port.reset = false;
        if (line[0] == '~') {
            now += std::clamp(std::atol(line.c_str() + 1), 0L, 999L);
            goesOn = core.idle(now, lastIn, port.lastOut) && core.watchHold(now);
        } else if (line[0] == '#') {
            port.full = !port.full;
            if (core.holding()) core.deliverHeld();
        } else if (line[0] == '^') {
            char* rest = nullptr;
            long begin = std::strtol(line.c_str() + 1, &rest, 10);
            long endSeq = *rest == ',' ? std::strtol(rest + 1, nullptr, 10) : 0;
            core.answerResend(static_cast<int>(std::clamp(begin, long{INT_MIN}, long{INT_MAX})),
                              static_cast<int>(std::clamp(endSeq, long{INT_MIN}, long{INT_MAX})));
        } else {
            if (core.holding()) core.deliverHeld();
            std::string msg;
            if (line[0] == '!') {
                msg = line.substr(1);
                replaceAll(msg, "|", std::string(1, soh));
            } else {
                replaceAll(line, "NOW", stamp(now));
                replaceAll(line, "AGO", stamp(now - 60));
                replaceAll(line, "EXP", std::to_string(cell.In.seq + 1L));
                msg = frame(versions[v], line);
            }
            // Behind a waiting message the gateway reads up to the core's bound, and not past a
            // message that must wait for it; such a message is taken here as never read.
            if (core.takesInput() && core.takesNow(msg)) {
                lastIn = now;
                core.processMsg(msg, now);
            }
        }
        if (!port.reset) require(cell.In.seq >= inBefore && cell.Out.seq >= outBefore);
        require(port.recorded == cell.In.seq);  // every move survives a restart
    }
    return 0;
}
