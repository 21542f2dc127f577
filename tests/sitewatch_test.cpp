// sitewatch in a real terminal: it runs inside a private tmux server at 80x24 and the test reads
// the screen back with capture-pane; the batch and metrics forms run without one. Times are shown
// in UTC (TZ=UTC for the monitor), so the expected rows can be written out column by column.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Common.h"
#include "Ipc.h"
#include "Key.h"
#include "LeaseState.h"
#include "LogException.h"
#include "Process.h"
#include "Shm.h"
#include "StreamState.h"
#include "TempHome.h"
#include "TestUtil.h"

namespace {

using std::chrono::milliseconds;

std::string findTmux() {
    for (const char* path : {"/usr/bin/tmux", "/usr/local/bin/tmux", "/bin/tmux"}) {
        if (access(path, X_OK) == 0) return path;
    }
    return "";
}

// One private tmux server (its own socket in a private folder) holding one 80x24 session; the
// server is killed and the socket removed at the end.
class Terminal {
  public:
    explicit Terminal(const std::string& tmux) : tmux(tmux), socket(folder.root() + "/tmux") {}
    ~Terminal() { run({"kill-server"}); }

    bool start(const std::string& command) {
        ProcessResult r = run({"new-session", "-d", "-x", "80", "-y", "24", command});
        return r.exited && r.exitCode == 0;
    }

    // The 24 screen rows, trailing blanks removed as capture-pane does.
    std::vector<std::string> screen() {
        std::vector<std::string> rows;
        ProcessResult r = run({"capture-pane", "-p"});
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) rows.push_back(line);
        rows.resize(24);
        return rows;
    }

    // Polls the screen until row `row` equals `text` (bounded); returns the last screen seen.
    std::vector<std::string> waitForRow(int row, const std::string& text) {
        std::vector<std::string> rows;
        for (int i = 0; i < 100; ++i) {
            rows = screen();
            if (rows[row] == text) break;
            std::this_thread::sleep_for(milliseconds(50));
        }
        return rows;
    }

    void press(const std::string& key) { run({"send-keys", key}); }

  private:
    ProcessResult run(std::vector<std::string> args) {
        args.insert(args.begin(), {"-S", socket, "-f", "/dev/null"});
        ProcessOptions options;
        options.unsetEnv = {"TMUX"};
        options.timeout = milliseconds(10000);
        return runProgram(tmux, args, options);
    }

    TempHome folder;
    std::string tmux;
    std::string socket;
};

const std::string rule(80, '-');
const std::string inboundOutbound =
    "                     Inbound                            Outbound";
const std::string headings =
    "Dest           Seq    Pend    Proc    Last     Seq    Pend    Proc   Last    S";

std::string centred(const std::string& title) {
    return std::string((80 - title.size()) / 2, ' ') + title;
}

// Cell 0: ALPHA, online, with inbound time 13:01:02 UTC; shown as alphaRow below.
void registerAlpha(Shm& shm) {
    MemoryCell* alpha = shm.registerName("ALPHA");
    alpha->In = Counters{123, 10, 3, 13 * 3600 + 62};
    alpha->Out = Counters{45, 5, 2, 0};
    alpha->status = 'O';
}

class SiteWatch : public ::testing::Test {
  protected:
    void SetUp() override {
        tmux = findTmux();
        if (tmux.empty()) GTEST_SKIP() << "tmux is not installed";
        table = ipc.name();
        shm.emplace(table);
        registerAlpha(*shm);

        shm->registerName("SPARE");
        MemoryCell* bravo = shm->registerName("BRAVO");
        bravo->In = Counters{-1234567, 1, 3, 0};
        bravo->status = 'H';
        shm->clearCell(1);

        for (int i = 3; i < 16; ++i) shm->getCell(i)->name[0] = '\0';
        std::strcpy(shm->getCell(16)->name, "HIDDEN");
        shm->getCell(16)->status = 'O';
    }

    std::string watch(const std::string& mem, const std::string& interval) {
        return "env TZ=UTC " + programPath("sitewatch") + " " + mem + " " + interval;
    }

    IpcNames ipc;
    std::string tmux;
    std::string table;
    std::optional<Shm> shm;
};

// Columns: name from 0; In seq/pend/proc end in 17, 25, 33; In last from 36; Out seq/pend/proc end
// in 49, 57, 65; Out last from 68; status in 77. Pend shows pend - proc.
const std::string alphaRow =
    "ALPHA          123       7       3  13:01:02    45       3       2  00:00:00 O";
const std::string bravoRow =
    "BRAVO     -1234567      -2       3  00:00:00     0       0       0  00:00:00 H";

TEST_F(SiteWatch, ScreenShowsTheFrameAndEachRegisteredSiteAtItsColumns) {
    Terminal terminal(tmux);
    ASSERT_TRUE(terminal.start(watch(table, "1")));
    std::vector<std::string> rows = terminal.waitForRow(8, alphaRow);

    EXPECT_EQ(rows[0], "");
    EXPECT_EQ(rows[1], centred("Sitewatch [" + table + "]"));
    EXPECT_TRUE(std::regex_match(rows[3], std::regex(" {56}TIME: \\d\\d:\\d\\d:\\d\\d")))
        << rows[3];
    EXPECT_EQ(rows[4], rule);
    EXPECT_EQ(rows[5], inboundOutbound);
    EXPECT_EQ(rows[6], headings);
    EXPECT_EQ(rows[7], rule);
    EXPECT_EQ(rows[8], alphaRow);
    EXPECT_EQ(rows[9], "") << "a free cell keeps its blank row";
    EXPECT_EQ(rows[10], bravoRow);
    for (int r = 11; r < 24; ++r) EXPECT_EQ(rows[r], "") << "row " << r;
    for (const std::string& row : rows) {
        EXPECT_EQ(row.find("HIDDEN"), std::string::npos) << "cell 16 is never shown";
        EXPECT_LE(row.size(), 80u);
    }
}

TEST_F(SiteWatch, ChangedCellIsShownAfterTheNextRefresh) {
    Terminal terminal(tmux);
    ASSERT_TRUE(terminal.start(watch(table, "1")));
    ASSERT_EQ(terminal.waitForRow(8, alphaRow)[8], alphaRow);

    MemoryCell* alpha = shm->getCell("ALPHA");
    alpha->In.seq = 98765;
    alpha->In.proc = 10;
    alpha->status = 'S';
    std::strcpy(shm->getCell(1)->name, "LATE");
    const std::string changed =
        "ALPHA        98765       0      10  13:01:02    45       3       2  00:00:00 S";
    std::vector<std::string> rows = terminal.waitForRow(8, changed);
    EXPECT_EQ(rows[8], changed);
    EXPECT_EQ(rows[9],
              "LATE             0       0       0  00:00:00     0       0       0  00:00:00");
}

TEST_F(SiteWatch, SiteDownInItsWindowIsCountedAndTheKeySShowsTheSchedules) {
    TempHome home;
    home.writeCfg("ALPHA", "@ {zone=UTC window=nonstop reset=never}\n");
    shm->getCell("ALPHA")->status = 'S';
    Terminal terminal(tmux);
    ASSERT_TRUE(terminal.start("cd " + home.root() + " && " + watch(table, "1")));
    const std::string alphaEnded = alphaRow.substr(0, 77) + "S";
    std::vector<std::string> rows = terminal.waitForRow(8, alphaEnded);
    ASSERT_EQ(rows[8], alphaEnded);
    EXPECT_EQ(rows[3].substr(0, 32), "DOWN IN WINDOW: 1 (s: schedules)");

    terminal.press("s");
    const std::string alphaSchedule =
        "ALPHA            yes    no  always                       never";
    rows = terminal.waitForRow(8, alphaSchedule);
    EXPECT_EQ(rows[6], "Dest             Should Up  Window                       Next reset");
    EXPECT_EQ(rows[8], alphaSchedule);
    EXPECT_EQ(rows[10], "BRAVO            -      yes no cfg");
}

// The key j shows the JetStream page: ALPHA's gateway wrote its state just now, BRAVO has none.
TEST_F(SiteWatch, TheKeyJShowsTheJetStreamSideOfEachSite) {
    TempHome home;
    const StreamState alpha{"connected", 31, 7, std::time(nullptr)};
    ASSERT_TRUE(alpha.write(home.logsDir() + "/ALPHA.stream"));
    Terminal terminal(tmux);
    ASSERT_TRUE(terminal.start("cd " + home.root() + " && FIXHOME=. " + watch(table, "1")));
    ASSERT_EQ(terminal.waitForRow(8, alphaRow)[8], alphaRow);
    terminal.press("j");
    const std::string headings =
        "Dest             Link            Pending   Unacked   Age Role     Active   Since";
    std::vector<std::string> rows = terminal.waitForRow(6, headings);
    EXPECT_EQ(rows[6], headings);
    EXPECT_EQ(rows[5].substr(0, 58), "                  JetStream application side (j: counters)");
    EXPECT_EQ(rows[8].substr(0, 50), "ALPHA            connected            31         7");
    EXPECT_EQ(rows[10], "BRAVO            -");
    terminal.press("j");
    EXPECT_EQ(terminal.waitForRow(8, alphaRow)[8], alphaRow);
}

TEST_F(SiteWatch, TableNameTooLongForTheTitleIsCutToEightyColumns) {
    // Leading zeros keep the name all-digit, so it still names this test's private table.
    std::string longName = std::string(90, '0') + table;
    Terminal terminal(tmux);
    ASSERT_TRUE(terminal.start(watch(longName, "1")));
    std::vector<std::string> rows = terminal.waitForRow(8, alphaRow);
    EXPECT_EQ(rows[1], "Sitewatch [" + std::string(68, '0') + "]");
    EXPECT_EQ(rows[2], "") << "the title must not wrap onto the next row";
    EXPECT_EQ(rows[8], alphaRow);
}

TEST_F(SiteWatch, TableThatCannotBeOpenedEndsWithTheMessageAndStatusOne) {
    // A smaller segment under the name makes the 2560-byte request fail.
    std::string small = ipc.name();
    int id = shmget(Key(small).get_ipc_key(), 100, IPC_CREAT | 0666);
    ASSERT_GE(id, 0);

    TempHome home;
    Terminal terminal(tmux);
    ASSERT_TRUE(terminal.start("cd " + home.root() + " && " + watch(small, "1") +
                               " 2>err; echo $? >status"));
    for (int i = 0; i < 100 && home.readFile("status").find('\n') == std::string::npos; ++i)
        std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(home.readFile("status"), "1\n");
    EXPECT_EQ(home.readFile("err"),
              "Fail to create a share memory. [" + small + "]: Invalid argument\n");
}

// The forms for scripts and metrics need no terminal; they show every registered cell, cell 16 and
// later included.
class SiteWatchBatch : public ::testing::Test {
  protected:
    void SetUp() override {
        table = ipc.name();
        shm.emplace(table);
        registerAlpha(*shm);
        MemoryCell* quoted = shm->registerName("Q\"B\\C");
        quoted->In = Counters{0, 0, 0, 0};
        quoted->Out = Counters{0, 0, 0, 0};
        quoted->status = ' ';
        std::strcpy(shm->getCell(16)->name, "LATE");
        shm->getCell(16)->status = 'S';
    }

    ProcessResult watch(const std::vector<std::string>& args) {
        ProcessOptions options;
        options.env = {{"TZ", "UTC"}};
        options.cwd = home.root();  // its cfg/ holds the schedules, when a test writes any
        return runProgram("sitewatch", args, options);
    }

    // Four sites with schedules around the test's own clock, in UTC unless named: INSIDE's window
    // opened an hour ago and closes in an hour (online); OUTSIDE's opens in an hour (ended, no
    // resets); NONSTOP runs in Tokyo with a reset at 17:00 there (logon in progress: should be up
    // but is not); REFUSED names a zone that does not exist.
    void writeSchedules() {
        std::time_t now = std::time(nullptr), minute = now / 60 * 60;
        home.writeCfg("INSIDE", "@ {zone=UTC window=daily:" + utc(minute - 3600, "%H:%M") + "-" +
                                    utc(minute + 3600, "%H:%M") + "}\n");
        home.writeCfg("OUTSIDE", "@ {zone=UTC window=daily:" + utc(minute + 3600, "%H:%M") + "-" +
                                     utc(minute + 7200, "%H:%M") + " reset=never}\n");
        home.writeCfg("NONSTOP", "@ {zone=Asia/Tokyo window=nonstop reset=daily:17:00}\n");
        home.writeCfg("REFUSED", "~ {8=FIX.4.2}\n@ {zone=Mars/Base}\n");
        shm->registerName("INSIDE")->status = 'O';
        shm->registerName("OUTSIDE")->status = 'S';
        shm->registerName("NONSTOP")->status = 'I';
        shm->registerName("REFUSED")->status = 'O';
        insideCloses = minute + 3600;
        insideResets = minute - 3600 + 86400;  // at the next opening
        outsideOpens = minute + 3600;
        tokyoReset = now - now % 86400 + 8 * 3600;  // 17:00 JST is 08:00 UTC
        if (tokyoReset <= now) tokyoReset += 86400;
    }

    // An instant on the UTC clock in strftime's format.
    static std::string utc(std::time_t at, const char* format) {
        std::tm parts{};
        gmtime_r(&at, &parts);
        char text[32];
        std::strftime(text, sizeof text, format, &parts);
        return text;
    }

    // An instant as the site's zone shows it, the zone given as hours east of UTC.
    static std::string shown(std::time_t at, int hoursEast, const std::string& abbreviation) {
        return utc(at + hoursEast * 3600, "%a %m-%d %H:%M ") + abbreviation;
    }

    // Dest from column 0, Should from 17, Up from 24, Window from 28, Next reset from 57.
    static std::string scheduleRow(const std::string& site, const std::string& should,
                                   const std::string& up, const std::string& window,
                                   const std::string& reset = "") {
        char text[256];
        std::snprintf(text, sizeof text, "%-17s%-7s%-4s%-29s%s", site.c_str(), should.c_str(),
                      up.c_str(), window.c_str(), reset.c_str());
        std::string row = text;
        return row.erase(row.find_last_not_of(' ') + 1);
    }

    bool hasLine(const std::string& text, const std::string& line) {
        return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
    }

    IpcNames ipc;
    TempHome home;
    std::string table;
    std::optional<Shm> shm;
    std::time_t insideCloses = 0, insideResets = 0, outsideOpens = 0, tokyoReset = 0;
};

const std::string scheduleHeadings =
    "Dest             Should Up  Window                       Next reset";

TEST_F(SiteWatchBatch, BatchPrintsTheHeadingsAndEveryRegisteredSiteOnceAndEnds) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{table, "-b"}, {"-b", table, "5"}}) {
        ProcessResult r = watch(args);
        ASSERT_TRUE(r.exited) << r.err;
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out,
                  inboundOutbound + "\n" + headings + "\n" + alphaRow + "\n" +
                      "Q\"B\\C            0       0       0  00:00:00     0       0       0  "
                      "00:00:00\n" +
                      "LATE             0       0       0  00:00:00     0       0       0  "
                      "00:00:00 S\n" +
                      "\n" + scheduleHeadings + "\n" + scheduleRow("ALPHA", "-", "yes", "no cfg") +
                      "\n" + scheduleRow("Q\"B\\C", "-", "no", "no cfg") + "\n" +
                      scheduleRow("LATE", "-", "no", "no cfg") + "\n");
    }
}

// Each site a row: its line under the schedule headings, then its gauges (-1: no such series).
TEST_F(SiteWatchBatch, SchedulesAndTheirGaugesFollowEachSitesZoneAndARefusedFileIsNamedOnce) {
    writeSchedules();
    ProcessResult r = watch({table, "-b"});
    ProcessResult m = watch({table, "-b", "-m", home.root() + "/fixgate.prom"});
    ASSERT_TRUE(r.exited && m.exited) << r.err << m.err;
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(m.exitCode, 0) << m.err;
    std::string schedules = r.out.substr(r.out.find("\n\n") + 2);
    std::string text = home.readFile("fixgate.prom");
    const std::string gauges[] = {"fixgate_site_should_be_up", "fixgate_site_up",
                                  "fixgate_site_window_next_edge_seconds",
                                  "fixgate_site_next_reset_seconds", "fixgate_site_cfg_ok"};
    struct Site {
        std::string name, should, up, window, reset;
        long shouldBeUp, isUp, nextEdge, nextReset, cfgOk;  // as gauges[]
    };
    const Site sites[] = {
        {"INSIDE", "yes", "yes", "closes " + shown(insideCloses, 0, "UTC"),
         shown(insideResets, 0, "UTC"), 1, 1, insideCloses, insideResets, 1},
        {"OUTSIDE", "no", "no", "opens " + shown(outsideOpens, 0, "UTC"), "never", 0, 0,
         outsideOpens, -1, 1},
        {"NONSTOP", "yes", "no", "always", shown(tokyoReset, 9, "JST"), 1, 0, -1, tokyoReset, 1},
        {"REFUSED", "-", "yes",
         "refused, line 2: zone 'Mars/Base': not a time zone of the system's zone database", "", -1,
         1, -1, -1, 0},
        {"ALPHA", "-", "yes", "no cfg", "", -1, 1, -1, -1, 0},
    };
    for (const Site& site : sites) {
        SCOPED_TRACE(site.name);
        std::string row = scheduleRow(site.name, site.should, site.up, site.window, site.reset);
        EXPECT_TRUE(hasLine(schedules, row.substr(0, 80))) << row << "\n" << schedules;
        const long values[] = {site.shouldBeUp, site.isUp, site.nextEdge, site.nextReset,
                               site.cfgOk};
        for (int i = 0; i < 5; ++i) {
            std::string series =
                gauges[i] + "{table=\"" + table + "\",site=\"" + site.name + "\"} ";
            if (values[i] < 0) {
                EXPECT_EQ(text.find(series), std::string::npos) << series << text;
            } else {
                EXPECT_TRUE(hasLine(text, series + std::to_string(values[i]))) << series << text;
            }
        }
    }
    EXPECT_TRUE(hasLine(text, "# TYPE fixgate_site_should_be_up gauge")) << text;
    EXPECT_EQ(r.err.find("site REFUSED: Malformed setting"), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(m.err.find("REFUSED.fix line 2"), std::string::npos) << m.err;
}

TEST_F(SiteWatchBatch, MetricsFileHoldsEachGaugePerSiteWithEscapedLabels) {
    shm->getCell(1)->In.last = std::time(nullptr) - 30;
    std::string file = home.root() + "/fixgate.prom";
    ProcessResult r = watch({table, "-b", "-m", file});
    ASSERT_TRUE(r.exited) << r.err;
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string text = home.readFile("fixgate.prom");
    std::string alpha = "{table=\"" + table + "\",site=\"ALPHA\"}";
    std::string quoted = "{table=\"" + table + "\",site=\"Q\\\"B\\\\C\"}";
    for (const std::string& line :
         {"fixgate_site_in_seq" + alpha + " 123", "fixgate_site_in_pending" + alpha + " 7",
          "fixgate_site_in_processed" + alpha + " 3", "fixgate_site_out_seq" + alpha + " 45",
          "fixgate_site_out_pending" + alpha + " 3", "fixgate_site_out_processed" + alpha + " 2",
          "fixgate_site_status" + alpha.substr(0, alpha.size() - 1) + ",status=\"O\"} 1",
          "fixgate_site_status" + alpha.substr(0, alpha.size() - 1) + ",status=\"S\"} 0",
          "fixgate_site_status" + quoted.substr(0, quoted.size() - 1) + ",status=\"O\"} 0",
          "fixgate_site_out_seq{table=\"" + table + "\",site=\"LATE\"} 0",
          std::string("# TYPE fixgate_site_in_idle_seconds gauge")})
        EXPECT_TRUE(hasLine(text, line)) << line << "\n" << text;
    std::smatch idle;
    ASSERT_TRUE(std::regex_search(
        text, idle,
        std::regex("\nfixgate_site_in_idle_seconds\\{[^\n]*site=\"Q[^\n]*\\} (\\d+)\n")))
        << text;
    EXPECT_GE(std::stoi(idle[1]), 30);
    EXPECT_LT(std::stoi(idle[1]), 90);
    EXPECT_FALSE(home.exists("fixgate.prom.tmp"));
}

TEST_F(SiteWatchBatch, MetricsFileIsReplacedAtEveryIntervalUntilTheSignal) {
    std::string file = home.root() + "/fixgate.prom";
    BackgroundProcess watcher("sitewatch", {table, "1", "-m" + file});
    std::string before = "fixgate_site_in_seq{table=\"" + table + "\",site=\"ALPHA\"} 123";
    ASSERT_TRUE(waitUntil([&] { return hasLine(home.readFile("fixgate.prom"), before); }, 5000));
    shm->getCell("ALPHA")->In.seq = 124;
    std::string after = "fixgate_site_in_seq{table=\"" + table + "\",site=\"ALPHA\"} 124";
    EXPECT_TRUE(waitUntil([&] { return hasLine(home.readFile("fixgate.prom"), after); }, 5000))
        << home.readFile("fixgate.prom");
    ProcessResult end = watcher.stop();
    EXPECT_EQ(end.signal, SIGTERM) << end.err;
}

TEST_F(SiteWatchBatch, RepeatedMetricsNameARefusalOnceAndReadTheFileAgainOnceItChanged) {
    writeSchedules();
    std::string file = home.root() + "/fixgate.prom";
    ProcessOptions options;
    options.cwd = home.root();
    BackgroundProcess watcher("sitewatch", {table, "1", "-m", file}, options);
    std::string refused = "fixgate_site_cfg_ok{table=\"" + table + "\",site=\"REFUSED\"} ";
    ASSERT_TRUE(
        waitUntil([&] { return hasLine(home.readFile("fixgate.prom"), refused + "0"); }, 5000));
    home.writeCfg("REFUSED", "~ {8=FIX.4.2}\n@ {zone=Europe/London window=nonstop}\n");
    // Looked at again within reloadSeconds (5) of the last look.
    EXPECT_TRUE(
        waitUntil([&] { return hasLine(home.readFile("fixgate.prom"), refused + "1"); }, 10000))
        << home.readFile("fixgate.prom");
    ProcessResult end = watcher.stop();
    EXPECT_EQ(std::count(end.err.begin(), end.err.end(), '\n'), 1) << end.err;
    EXPECT_NE(end.err.find("REFUSED.fix line 2"), std::string::npos) << end.err;
}

TEST_F(SiteWatchBatch, MetricsFileThatCannotBeWrittenEndsWithTheMessageAndStatusOne) {
    std::string file = home.root() + "/missing/fixgate.prom";
    ProcessResult r = watch({table, "-b", "-m", file});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Fail to write the metrics file: " + file + "\n");
}

// Sites whose gateway wrote a stream state in the last 5 seconds get JetStream rows after the
// schedules and three gauges each; a state left from a stopped gateway (LATE) counts for nothing.
// A lease state of the last 15 seconds (sites kept by two gateways) adds this host's role, the
// active gateway (5 columns) and since when (UTC here), and two gauges; a standby (SPARE) has
// a lease state without a stream state.
TEST_F(SiteWatchBatch, RecentStreamStatesGiveJetStreamRowsAndGauges) {
    std::time_t now = std::time(nullptr);
    ASSERT_TRUE(StreamState({"connected", 4, 2, now}).write(home.logsDir() + "/ALPHA.stream"));
    ASSERT_TRUE(StreamState({"closed", 0, 1024, now}).write(home.logsDir() + "/Q\"B\\C.stream"));
    ASSERT_TRUE(StreamState({"connected", 9, 9, now - 60}).write(home.logsDir() + "/LATE.stream"));
    shm->registerName("SPARE");
    shm->registerName("START");
    const std::string at = " at=" + std::to_string(now);
    home.writeFile("logs/ALPHA.lease", "role=active holder=gw-a since=1700000000" + at);
    home.writeFile("logs/SPARE.lease", "role=standby holder=gateway-b since=1700003600" + at);
    home.writeFile("logs/START.lease", "role=starting holder=- since=0" + at);
    home.writeFile("logs/LATE.lease",
                   "role=active holder=gw-a since=1 at=" + std::to_string(now - 60));
    ProcessOptions options;
    options.env = {{"TZ", "UTC"}, {"FIXHOME", home.root()}};
    ProcessResult r = runProgram("sitewatch", {table, "-b"}, options);
    ProcessResult m =
        runProgram("sitewatch", {table, "-b", "-m", home.root() + "/m.prom"}, options);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(m.exitCode, 0) << m.err;
    // Dest from 0, Link from 17; Pending, Unacked and Age end in columns 39, 49 and 55.
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex("\n\nDest {13}Link {12}Pending {3}Unacked {3}Age Role "
                          " {4}Active {3}Since\n"
                          "ALPHA {12}connected {13}4 {9}2 {5}[01] active   gw-a  22:13:20\n"
                          "Q\"B\\\\C {12}closed {16}0 {6}1024 {5}[01]\n"
                          "SPARE {12}- {39}standby  gatew 23:13:20\n"
                          "START {12}- {39}starting - {12}-\n$")))
        << r.out;
    std::string text = home.readFile("m.prom");
    const std::pair<std::string, long> gauges[] = {
        // -1: no such series
        {"stream_connected{S=ALPHA} ", 1},
        {"stream_pending{S=ALPHA} ", 4},
        {"stream_unacked{S=ALPHA} ", 2},
        {"stream_connected{S=Q\\\"B\\\\C} ", 0},
        {"stream_unacked{S=Q\\\"B\\\\C} ", 1024},
        {"stream_connected{S=LATE} ", -1},
        {"stream_pending{S=SPARE} ", -1},
        {"site_active{S=ALPHA} ", 1},
        {"site_active_since_seconds{S=ALPHA} ", 1700000000},
        {"site_active{S=SPARE} ", 0},
        {"site_active_since_seconds{S=SPARE} ", 1700003600},
        {"site_active{S=START} ", 0},
        {"site_active_since_seconds{S=START} ", -1},
        {"site_active{S=LATE} ", -1},
        {"site_active{S=Q\\\"B\\\\C} ", -1}};
    for (const auto& [name, value] : gauges) {
        std::string series =
            "fixgate_" + std::regex_replace(name, std::regex("S=(.*)\\}"),
                                            "table=\"" + table + "\",site=\"$1\"}");
        std::size_t at = text.find(series);
        EXPECT_EQ(at == std::string::npos, value < 0) << series << text;
        EXPECT_TRUE(value < 0 || hasLine(text, series + std::to_string(value))) << text;
    }
}

// The lease line as the gateway writes it, what a reader refuses to take for one, and how long a
// written line counts as recent.
TEST(LeaseStateLine, WrittenLinesReadBackAndOtherLinesReadAsNone) {
    TempHome home;
    struct Home {
        std::string saved = fix_home;
        ~Home() { fix_home = saved; }
    } restore;
    fix_home = home.root();
    const std::pair<std::string, bool> cases[] = {
        {"role=starting holder=- since=0 at=1700000001", true},
        {"role=leader holder=gw-a since=1 at=1", false},
        {"role=active holder= since=1 at=1", false},
        {"role=active holder=gw-a since=-1 at=1", false},
        {"role=active holder=gw-a since=1 at=1x", false},
        {"holder=gw-a role=active since=1 at=1", false},
        {"role=active holder=gw a since=1 at=1", false},
    };
    for (const auto& [text, taken] : cases) {
        home.writeFile("logs/S.lease", text);
        std::optional<LeaseStatus> read = LeaseState::read("S");
        EXPECT_EQ(read.has_value(), taken) << text;
        EXPECT_EQ(read ? LeaseState::line(*read) : text, text);
    }
    // Refused rather than written as a line no reader takes, or not written at all.
    EXPECT_THROW(LeaseState::write("S", {"active", "gw a", 1, 1}), LogException);
    EXPECT_THROW(LeaseState::write("missing/S", {"active", "gw-a", 1, 1}), LogException);
    EXPECT_FALSE(LeaseState::read("none").has_value());
    LeaseState::write("S", {"standby", "gw-b", 1700000000, 1700000100});
    EXPECT_EQ(home.readFile("logs/S.lease"),
              "role=standby holder=gw-b since=1700000000 at=1700000100\n");
    for (const auto& [now, taken] : std::vector<std::pair<std::time_t, bool>>{
             {1700000115, true}, {1700000116, false}, {1700000085, true}, {1700000084, false}})
        EXPECT_EQ(LeaseState::recent("S", now).has_value(), taken) << now;
    EXPECT_FALSE(LeaseState::recent("S", 1700000106, 5).has_value());
}

// The state line as the gateway writes it, and what a reader refuses to take for one.
TEST(StreamStateLine, WrittenLinesReadBackAndOtherLinesReadAsNone) {
    TempHome home;
    StreamState state{"closed", 12, 0, 1700000000};
    ASSERT_TRUE(state.write(home.root() + "/w.stream"));
    EXPECT_EQ(home.readFile("w.stream"), "link=closed pending=12 unacked=0 at=1700000000\n");
    const std::pair<std::string, bool> cases[] = {
        {"link=reconnecting pending=3 unacked=5 at=1700000001", true},
        {"link=up pending=3 unacked=5 at=1", false},
        {"link=connected pending=-3 unacked=5 at=1", false},
        {"link=connected pending=3 unacked=5", false},
        {"link=connected pending=3 unacked=5 at=17x", false},
        {"link=connected unacked=5 pending=3 at=1", false},
        {"link=connected pending=3 unacked=5 at=1 more", false},
    };
    for (const auto& [text, taken] : cases) {
        std::optional<StreamState> read = StreamState::read(home.writeFile("s.stream", text));
        EXPECT_EQ(read.has_value(), taken) << text;
        EXPECT_EQ(read ? read->line() : text, text);
    }
    EXPECT_FALSE(state.write(home.root() + "/missing/w.stream"));
    EXPECT_FALSE(StreamState::read(home.root() + "/none.stream").has_value());
}

TEST(SiteWatchUsage, NoTableNamePrintsTheUsageLineAndEndsWith255) {
    ProcessResult r = runProgram("sitewatch", {});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, "Usage: sitewatch MEM [interval] [-b] [-m file]\n");
}

}  // namespace
