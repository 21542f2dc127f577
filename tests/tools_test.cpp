// The operator programs tablemake, queuemake, siteload and renumber, run as processes: usage texts
// and exit statuses, success lines with the real ids, and the table as each run leaves it; and
// every program's usage line against its manual page.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "Ipc.h"
#include "Key.h"
#include "MemoryCell.h"
#include "MsgQueue.h"
#include "Process.h"

namespace {

// The table's 32 cells, mapped straight from the system, not through Shm.
class Table {
  public:
    explicit Table(const std::string& name) {
        id = shmget(Key(name).get_ipc_key(), 0, 0);
        void* at = id < 0 ? reinterpret_cast<void*>(-1) : shmat(id, nullptr, 0);
        cells = at == reinterpret_cast<void*>(-1) ? nullptr : static_cast<MemoryCell*>(at);
    }
    ~Table() {
        if (cells != nullptr) shmdt(cells);
    }
    bool ok() const { return cells != nullptr; }
    bool allZero() const {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(cells);
        for (size_t i = 0; i < tableSize; ++i) {
            if (bytes[i] != 0) return false;
        }
        return true;
    }
    MemoryCell& operator[](int i) { return cells[i]; }
    int id = -1;
    MemoryCell* cells = nullptr;
};

// A file in a private temporary folder, removed at the end.
class TempFile {
  public:
    explicit TempFile(const std::string& contents) {
        char templ[] = "/tmp/fixgate-list-XXXXXX";
        int fd = mkstemp(templ);
        EXPECT_GE(fd, 0);
        path = templ;
        if (fd >= 0) {
            EXPECT_EQ(write(fd, contents.data(), contents.size()),
                      static_cast<ssize_t>(contents.size()));
            close(fd);
        }
    }
    ~TempFile() { unlink(path.c_str()); }
    std::string path;
};

std::string names(int count, const std::string& prefix) {
    std::string list;
    for (int i = 0; i < count; ++i) list += prefix + std::to_string(i) + "\n";
    return list;
}

void fillCell(MemoryCell& cell, const char* name, int base) {
    std::memset(cell.name, 0, sizeof cell.name);
    std::strcpy(cell.name, name);
    cell.In = Counters{base + 1, base + 2, base + 3, base + 4};
    cell.Out = Counters{base + 5, base + 6, base + 7, base + 8};
    cell.status = status_Online;
    cell.future = 'z';
}

}  // namespace

// A manual page's SYNOPSIS as a terminal shows it: the words of the alternating-font requests
// (.BR, .IR, ...) joined without blanks, the others with one, and "\-" printed as "-".
std::string synopsisOf(const std::string& program) {
    std::ifstream page(std::string(FIXGATE_SOURCE_DIR) + "/man/" + program + ".1");
    std::string line, text;
    while (std::getline(page, line) && line != ".SH SYNOPSIS") continue;
    while (std::getline(page, line) && line.rfind(".SH", 0) != 0) {
        std::istringstream words(line);
        std::string request, word, shown;
        words >> request;
        while (words >> word) shown += (shown.empty() || request.size() == 3 ? "" : " ") + word;
        for (auto at = shown.find("\\-"); at != std::string::npos; at = shown.find("\\-"))
            shown.erase(at, 1);
        if (!shown.empty()) text += (text.empty() ? "" : " ") + shown;
    }
    return text;
}

TEST(ManualPages, EveryProgramsUsageLineIsItsSynopsis) {
    for (const char* program : {"gateconnect", "gatelisten", "siteload", "tablemake", "queuemake",
                                "renumber", "sitewatch", "scriptfeed", "qdrain"}) {
        ProcessResult r = runProgram(program, {});
        EXPECT_EQ(r.exitCode, 255) << program;
        // The first line, without the blanks some programs leave at its end.
        std::string usage = r.out.substr(0, r.out.find_last_not_of(' ', r.out.find('\n') - 1) + 1);
        EXPECT_EQ(usage, "Usage: " + synopsisOf(program)) << program;
    }
}

TEST(Tablemake, WithoutATableNameShowsUsage) {
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"-x", "5"}}) {
        ProcessResult r = runProgram("tablemake", args);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.exitCode, 255);
        EXPECT_EQ(r.out, "Usage: tablemake SHM [-m mode] [-g group]\n");
    }
}

TEST(Tablemake, CreatesAZeroTableAndReportsItsRealId) {
    IpcNames ipc;
    std::string name = ipc.name();
    ProcessResult r = runProgram("tablemake", {name});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    Table table(name);
    ASSERT_TRUE(table.ok());
    EXPECT_EQ(r.out, "Shared memory [" + name + ", " + std::to_string(table.id) +
                         "] is created successfully.\n\n");
    struct shmid_ds ds;
    ASSERT_EQ(shmctl(table.id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, 2560u);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0660u);
    EXPECT_EQ(ds.shm_perm.gid, getegid());
    EXPECT_TRUE(table.allZero());
}

TEST(Tablemake, SecondRunKeepsTheIdAndWipesEverySite) {
    IpcNames ipc;
    std::string name = ipc.name();
    ProcessResult first = runProgram("tablemake", {name});
    ASSERT_EQ(first.exitCode, 0);
    Table table(name);
    ASSERT_TRUE(table.ok());
    fillCell(table[0], "ONE", 0);
    fillCell(table[31], "LAST", 100);
    ProcessResult second = runProgram("tablemake", {name});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.out, first.out);
    EXPECT_TRUE(table.allZero());
}

TEST(Tablemake, UnusableSegmentUnderTheKeyFailsWithStatusOne) {
    IpcNames ipc;
    std::string name = ipc.name();
    ASSERT_GE(shmget(Key(name).get_ipc_key(), 100, IPC_CREAT | 0666), 0);
    ProcessResult r = runProgram("tablemake", {name});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Fail to create a share memory. [" + name + "]: Invalid argument\n");
    EXPECT_EQ(r.out, "");
}

TEST(Queuemake, WithoutAQueueNameShowsUsage) {
    ProcessResult r = runProgram("queuemake", {});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, "Usage: queuemake MQ [-b bytes] [-m mode] [-g group]\n\n");
}

TEST(Queuemake, ByteLimitThatIsNotANumberOfBytesShowsUsageAndCreatesNothing) {
    IpcNames ipc;
    std::string name = ipc.name();
    // Below 4096 a queue could never take the longest text.
    for (std::string bytes : {"", "abc", "4095", "-5", "0", "12k", "2147483648", "99999999999"}) {
        ProcessResult r = runProgram("queuemake", {name, "-b", bytes});
        EXPECT_EQ(r.exitCode, 255) << bytes;
        EXPECT_EQ(r.out, "Usage: queuemake MQ [-b bytes] [-m mode] [-g group]\n\n") << bytes;
        EXPECT_FALSE(IpcNames::queueExists(name)) << bytes;
    }
}

namespace {

unsigned long queueBytes(const std::string& name) {
    struct msqid_ds ds {};
    int id = msgget(Key(name).get_ipc_key(), 0);
    if (id < 0 || msgctl(id, IPC_STAT, &ds) < 0) return 0;
    return ds.msg_qbytes;
}

void setQueueBytes(const std::string& name, unsigned long bytes) {
    struct msqid_ds ds {};
    int id = msgget(Key(name).get_ipc_key(), 0);
    ASSERT_EQ(msgctl(id, IPC_STAT, &ds), 0);
    ds.msg_qbytes = bytes;
    ASSERT_EQ(msgctl(id, IPC_SET, &ds), 0);
}

// /proc/sys/kernel/msgmnb: the highest limit an unprivileged process may give a queue.
unsigned long systemCeiling() {
    unsigned long ceiling = 0;
    std::ifstream("/proc/sys/kernel/msgmnb") >> ceiling;
    return ceiling;
}

// Whether this process may give a queue a limit above the ceiling.
bool mayRaisePast(unsigned long ceiling) {
    IpcNames ipc;
    MsgQueue probe(ipc.name(), 0, IPC_CREAT);
    return probe.setByteLimit(ceiling + 4096);
}

}  // namespace

// Rows within the system's ceiling hold for any user; the default (4 MiB) lies above the usual
// ceiling of 16 KiB, so where this process may not raise a limit past it, queuemake keeps the
// queue's own limit and says so.
TEST(Queuemake, GivesTheAskedOrDefaultLimitAndNeverLowersOneUnasked) {
    unsigned long ceiling = systemCeiling();
    ASSERT_GE(ceiling, 16384u);
    const unsigned long MiB = 1024 * 1024;
    bool privileged = mayRaisePast(ceiling);
    struct Case {
        unsigned long before;  // 0: no queue yet
        std::string bytes;     // empty: no -b
        unsigned long after;
        bool refused;  // a line on standard error names the limit kept
    };
    std::vector<Case> cases{{0, "8192", 8192, false},
                            {8192, "12288", 12288, false},
                            {16384, "4096", 4096, false},
                            {0, "", privileged ? 4 * MiB : ceiling, !privileged},
                            {8192, "", privileged ? 4 * MiB : 8192, !privileged}};
    if (privileged) cases.push_back({8 * MiB, "", 8 * MiB, false});
    for (const Case& c : cases) {
        IpcNames ipc;
        std::string name = ipc.name();
        if (c.before != 0) {
            MsgQueue made(name, 0, IPC_CREAT);
            setQueueBytes(name, c.before);
        }
        std::vector<std::string> args{name};
        if (!c.bytes.empty()) args.insert(args.end(), {"-b", c.bytes});
        ProcessResult r = runProgram("queuemake", args);
        std::string row = std::to_string(c.before) + " -b " + c.bytes;
        EXPECT_EQ(r.exitCode, 0) << row << r.err;
        bool named =
            r.err.find("keeps its limit of " + std::to_string(c.after)) != std::string::npos;
        EXPECT_EQ(named, c.refused) << row << r.err;
        EXPECT_EQ(queueBytes(name), c.after) << row;
    }
}

TEST(Queuemake, LimitTheSystemRefusesIsKeptAndNamedOnStandardError) {
    unsigned long ceiling = systemCeiling();
    ASSERT_GT(ceiling, 0u);
    // A privileged run could raise any limit: run it without the capability that allows it.
    std::vector<std::string> launcher;
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0)
            GTEST_SKIP() << "needs setpriv to drop privilege";
        launcher = {"--bounding-set=-sys_resource", programPath("queuemake")};
    }
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), launcher.begin(), launcher.end());
        return runProgram(launcher.empty() ? "queuemake" : "/usr/bin/setpriv", args);
    };
    IpcNames ipc;
    std::string name = ipc.name();
    std::string asked = std::to_string(ceiling + 4096);
    ProcessResult r = run({name, "-b", asked});
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    EXPECT_NE(r.out.find("Msgqueue [" + name + ", "), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "Msgqueue [" + name + "] keeps its limit of " + std::to_string(ceiling) +
                         " bytes: only a privileged process may raise it to " + asked +
                         " bytes, above /proc/sys/kernel/msgmnb.\n");
    EXPECT_EQ(queueBytes(name), ceiling);
    if (ceiling < 4 * 1024 * 1024) {
        ProcessResult unasked = run({name});
        EXPECT_EQ(unasked.exitCode, 0) << unasked.err;
        EXPECT_NE(unasked.err.find("keeps its limit of " + std::to_string(ceiling)),
                  std::string::npos)
            << unasked.err;
        EXPECT_EQ(queueBytes(name), ceiling);
    }
}

TEST(Queuemake, CreatesTheQueueAndReusesItWithItsMessages) {
    IpcNames ipc;
    std::string name = ipc.name();
    ProcessResult first = runProgram("queuemake", {name});
    EXPECT_EQ(first.exitCode, 0) << first.err;
    int id = msgget(Key(name).get_ipc_key(), 0);
    ASSERT_GE(id, 0);
    EXPECT_EQ(first.out,
              "Msgqueue [" + name + ", " + std::to_string(id) + "] was created successfully.\n");
    struct msqid_ds ds;
    ASSERT_EQ(msgctl(id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.msg_perm.mode & 0777, 0660u);
    EXPECT_EQ(ds.msg_perm.gid, getegid());

    MsgQueue queue(name, 0, 0);
    queue.write(std::string("35=D\x01"), WaitMode, 3);
    ProcessResult second = runProgram("queuemake", {name});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.out, first.out);
    EXPECT_EQ(queue.read(3, NoWaitMode), "35=D\x01");
}

TEST(Queuemake, TableAndQueueOfOneNameDoNotCollide) {
    IpcNames ipc;
    std::string name = ipc.alphaName() + "tail";
    ASSERT_EQ(runProgram("tablemake", {name}).exitCode, 0);
    ASSERT_EQ(runProgram("queuemake", {name}).exitCode, 0);
    EXPECT_TRUE(IpcNames::tableExists(name));
    EXPECT_TRUE(IpcNames::queueExists(name));
    // Only the first four characters count: another tail names the same queue.
    MsgQueue same(name.substr(0, 4) + "other", 0, 0);
    EXPECT_EQ(same.getId(), msgget(Key(name).get_ipc_key(), 0));
}

TEST(Siteload, WithoutBothArgumentsShowsUsage) {
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"123"}}) {
        ProcessResult r = runProgram("siteload", args);
        EXPECT_EQ(r.exitCode, 255);
        EXPECT_EQ(r.out, "Usage: siteload mem site_cfg \n\n");
    }
}

TEST(Siteload, UnreadableListFailsWithoutTouchingTheTable) {
    IpcNames ipc;
    std::string name = ipc.name();
    ProcessResult r = runProgram("siteload", {name, "/nonexistent/sites.txt"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out,
              "Fail to open the site configuration file. /nonexistent/sites.txt: No such file or "
              "directory\n");
    EXPECT_FALSE(IpcNames::tableExists(name));

    // A directory is no list either: it must not pass for an empty one and free every cell.
    r = runProgram("siteload", {name, "/tmp"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, "Fail to open the site configuration file. /tmp: Is a directory\n");
    EXPECT_FALSE(IpcNames::tableExists(name));
}

TEST(Siteload, LoadsListedSitesInOrderAndFreesTheRest) {
    IpcNames ipc;
    std::string name = ipc.name();
    ASSERT_EQ(runProgram("tablemake", {name}).exitCode, 0);
    Table table(name);
    ASSERT_TRUE(table.ok());
    for (int i = 0; i < maxCells; ++i) fillCell(table[i], "OLD", i * 10);

    TempFile list("ALPHA\n* a comment\n\nBRAVO\nCHARLIE\n*another\n");
    time_t before = std::time(nullptr);
    ProcessResult r = runProgram("siteload", {name, list.path});
    time_t after = std::time(nullptr);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Site: ALPHA is loaded.\nSite: BRAVO is loaded.\nSite: CHARLIE is loaded.\n");
    const char* expected[] = {"ALPHA", "BRAVO", "CHARLIE"};
    for (int i = 0; i < 3; ++i) {
        MemoryCell& c = table[i];
        EXPECT_STREQ(c.name, expected[i]);
        EXPECT_EQ(c.In.seq, 0);
        EXPECT_EQ(c.In.pend, 0);
        EXPECT_EQ(c.In.proc, 0);
        EXPECT_EQ(c.Out.seq, 0);
        EXPECT_EQ(c.Out.pend, 0);
        EXPECT_EQ(c.Out.proc, 0);
        EXPECT_GE(c.In.last, before);
        EXPECT_LE(c.In.last, after);
        EXPECT_EQ(c.Out.last, c.In.last);
        EXPECT_EQ(c.status, ' ');
        EXPECT_EQ(c.future, ' ');
    }
    // Later cells only lose their name.
    for (int i = 3; i < maxCells; ++i) {
        EXPECT_EQ(table[i].name[0], '\0');
        EXPECT_EQ(table[i].In.seq, i * 10 + 1);
        EXPECT_EQ(table[i].Out.proc, i * 10 + 7);
        EXPECT_EQ(table[i].status, status_Online);
    }
}

TEST(Siteload, NamesAreCutTo16CharactersAndKeptAsTheyStand) {
    IpcNames ipc;
    std::string name = ipc.name();
    std::string huge(500, 'H');
    TempFile list("ABCDEFGHIJKLMNOPQRST\nSPACED  \nCRLF\r\n" + huge + "\nTWICE\nTWICE");
    ProcessResult r = runProgram("siteload", {name, list.path});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "Site: ABCDEFGHIJKLMNOP is loaded.\nSite: SPACED   is loaded.\n"
              "Site: CRLF\r is loaded.\nSite: HHHHHHHHHHHHHHHH is loaded.\n"
              "Site: TWICE is loaded.\nSite: TWICE is loaded.\n");
    Table table(name);
    ASSERT_TRUE(table.ok());
    EXPECT_STREQ(table[0].name, "ABCDEFGHIJKLMNOP");
    EXPECT_STREQ(table[1].name, "SPACED  ");
    EXPECT_STREQ(table[2].name, "CRLF\r");
    EXPECT_STREQ(table[3].name, "HHHHHHHHHHHHHHHH");
    EXPECT_STREQ(table[4].name, "TWICE");
    EXPECT_STREQ(table[5].name, "TWICE");
    EXPECT_EQ(table[6].name[0], '\0');
    // Nothing spilled past a name into the counters.
    EXPECT_EQ(table[3].In.seq, 0);
}

TEST(Siteload, StopsAfter32SitesWithAWarning) {
    for (int count : {32, 40}) {
        IpcNames ipc;
        std::string name = ipc.name();
        TempFile list(names(count, "S"));
        ProcessResult r = runProgram("siteload", {name, list.path});
        EXPECT_EQ(r.exitCode, 0);
        std::string expected;
        for (int i = 0; i < 32; ++i) expected += "Site: S" + std::to_string(i) + " is loaded.\n";
        expected += "Fail to load more sites.\n";
        EXPECT_EQ(r.out, expected) << count << " sites";
        Table table(name);
        ASSERT_TRUE(table.ok());
        EXPECT_STREQ(table[31].name, "S31");
    }
}

TEST(Siteload, ListOfOnlyCommentsFreesEveryCellSilently) {
    IpcNames ipc;
    std::string name = ipc.name();
    ASSERT_EQ(runProgram("tablemake", {name}).exitCode, 0);
    Table table(name);
    ASSERT_TRUE(table.ok());
    for (int i = 0; i < maxCells; ++i) fillCell(table[i], "OLD", 0);
    TempFile list("* nothing here\n\n");
    ProcessResult r = runProgram("siteload", {name, list.path});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    for (int i = 0; i < maxCells; ++i) EXPECT_EQ(table[i].name[0], '\0');
}

TEST(Siteload, UnusableTableFailsBeforeWritingAnything) {
    IpcNames ipc;
    std::string name = ipc.name();
    ASSERT_GE(shmget(Key(name).get_ipc_key(), 100, IPC_CREAT | 0666), 0);
    TempFile list("ALPHA\n");
    ProcessResult r = runProgram("siteload", {name, list.path});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.err, "Fail to create a share memory. [" + name + "]: Invalid argument\n");
    EXPECT_EQ(r.out, "");
}

struct RenumberTest : ::testing::Test {
    IpcNames ipc;
    std::string name = ipc.name();
    std::unique_ptr<Table> table;
    void SetUp() override {
        ASSERT_EQ(runProgram("tablemake", {name}).exitCode, 0);
        table.reset(new Table(name));
        ASSERT_TRUE(table->ok());
        fillCell((*table)[0], "FIRST", 0);
        fillCell((*table)[1], "SITE", 100);
    }
    // Every field but the sequence numbers is as fillCell left it.
    void expectRestUnchanged(int index, int base) {
        MemoryCell& c = (*table)[index];
        EXPECT_EQ(c.In.pend, base + 2);
        EXPECT_EQ(c.In.proc, base + 3);
        EXPECT_EQ(c.In.last, base + 4);
        EXPECT_EQ(c.Out.pend, base + 6);
        EXPECT_EQ(c.Out.proc, base + 7);
        EXPECT_EQ(c.Out.last, base + 8);
        EXPECT_EQ(c.status, status_Online);
        EXPECT_EQ(c.future, 'z');
    }
};

TEST_F(RenumberTest, WithoutTableAndSiteShowsUsage) {
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{name, "-i", "4"}}) {
        ProcessResult r = runProgram("renumber", args);
        EXPECT_EQ(r.exitCode, 255);
        EXPECT_EQ(r.out, "Usage: renumber mem site [-i In.seq] [-o Out.seq] \n\n");
    }
    EXPECT_EQ((*table)[1].In.seq, 101);
}

TEST_F(RenumberTest, SetsBothNumbersAndNothingElse) {
    ProcessResult r = runProgram("renumber", {name, "SITE", "-i", "250", "-o7"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ((*table)[1].In.seq, 250);
    EXPECT_EQ((*table)[1].Out.seq, 7);
    EXPECT_STREQ((*table)[1].name, "SITE");
    expectRestUnchanged(1, 100);
    EXPECT_EQ((*table)[0].In.seq, 1);
    EXPECT_EQ((*table)[0].Out.seq, 5);
    expectRestUnchanged(0, 0);
}

// SITE starts at In.seq 101 and Out.seq 105 in every row.
TEST_F(RenumberTest, EachOptionSetsOnlyItsOwnNumberAndNoOptionSetsBothToZero) {
    struct Case {
        std::vector<std::string> options;
        int in, out;
    };
    const std::vector<Case> cases = {
        {{"-i", "100"}, 100, 105},
        {{"-o", "7"}, 101, 7},
        {{"-o0"}, 101, 0},
        {{"-i", "3", "-o", "4"}, 3, 4},
        {{}, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{name, "SITE"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        SCOPED_TRACE(::testing::PrintToString(args));
        (*table)[1].In.seq = 101;
        (*table)[1].Out.seq = 105;
        EXPECT_EQ(runProgram("renumber", args).exitCode, 0);
        EXPECT_EQ((*table)[1].In.seq, c.in);
        EXPECT_EQ((*table)[1].Out.seq, c.out);
        expectRestUnchanged(1, 100);
    }
}

TEST_F(RenumberTest, UnknownSiteFailsAndChangesNoCell) {
    ProcessResult r = runProgram("renumber", {name, "NOSUCH", "-i", "9", "-o", "9"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.err, "Fail to find the target connection.\n");
    EXPECT_EQ((*table)[0].In.seq, 1);
    EXPECT_EQ((*table)[1].In.seq, 101);
    EXPECT_EQ((*table)[1].Out.seq, 105);
}

TEST_F(RenumberTest, ValueThatIsNotASequenceNumberIsRefusedTouchingNothing) {
    for (auto args : {std::vector<std::string>{"-i", "abc"}, std::vector<std::string>{"-o", "-3"},
                      std::vector<std::string>{"-i", "5", "-o"},
                      std::vector<std::string>{"-o", "99999999999"}}) {
        std::vector<std::string> full{name, "SITE"};
        full.insert(full.end(), args.begin(), args.end());
        ProcessResult r = runProgram("renumber", full);
        EXPECT_EQ(r.exitCode, 255) << args[0] << " " << args.back();
        EXPECT_NE(r.err.find("Invalid sequence number"), std::string::npos) << r.err;
        EXPECT_EQ((*table)[1].In.seq, 101);
        EXPECT_EQ((*table)[1].Out.seq, 105);
    }
    // Text after the number is ignored, as the number conversion reads it.
    EXPECT_EQ(runProgram("renumber", {name, "SITE", "-i", " 12ab"}).exitCode, 0);
    EXPECT_EQ((*table)[1].In.seq, 12);
}

// --- Access by group: who may reach the table and the queues ------------------------------------

namespace {

// A group no test process belongs to; the system takes any number as an IPC object's group.
constexpr gid_t tradingGroup = 54321;

// Mode bits and group of the table (tablemake) or the queue (queuemake) under name; {-1, 0}: none.
std::pair<int, gid_t> accessOf(const std::string& tool, const std::string& name) {
    const bool table = tool == "tablemake";
    struct shmid_ds shm {};
    struct msqid_ds msq {};
    int id = table ? shmget(Key(name).get_ipc_key(), 0, 0) : msgget(Key(name).get_ipc_key(), 0);
    if (id < 0 || (table ? shmctl(id, IPC_STAT, &shm) : msgctl(id, IPC_STAT, &msq)) != 0)
        return {-1, 0};
    const struct ipc_perm& perm = table ? shm.shm_perm : msq.msg_perm;
    return {static_cast<int>(perm.mode & 0777), perm.gid};
}

// Runs a program as user nobody, a member of tradingGroup or of no group beyond nogroup.
ProcessResult runAsNobody(const std::string& program, std::vector<std::string> args, bool member) {
    std::string groups = member ? "--groups=" + std::to_string(tradingGroup) : "--clear-groups";
    args.insert(args.begin(), {"--reuid=nobody", "--regid=nogroup", groups, programPath(program)});
    return runProgram("/usr/bin/setpriv", args);
}

}  // namespace

// -m and -g of tablemake and queuemake: a new object gets what is asked, a bad mode or group is
// refused before anything is made, and an existing object keeps its access unless asked.
TEST(AccessByGroup, ModeAndGroupOptionsOfTablemakeAndQueuemake) {
    const gid_t own = getegid();
    const struct group* nogroup = getgrnam("nogroup");
    const gid_t named = nogroup != nullptr ? nogroup->gr_gid : tradingGroup;
    const std::string trading = std::to_string(tradingGroup);
    const std::string namedText = nogroup != nullptr ? "nogroup" : trading;
    auto badMode = [](const std::string& m) {
        return "Invalid mode for -m: \"" + m + "\" (octal, at most 0777).\n";
    };
    auto badGroup = [](const std::string& g) { return "Unknown group for -g: \"" + g + "\".\n"; };
    // On the object of the rows before (first made open to everyone) or a new name: the options,
    // the refusal (empty: succeeds), and the mode (-1: nothing made) and group the object then has.
    const std::tuple<bool, std::string, std::string, int, gid_t> rows[] = {
        {false, "-m 600", "", 0600, own},
        {false, "-m 0640 -g " + trading, "", 0640, tradingGroup},
        {false, "-g " + namedText, "", 0660, named},
        {false, "-m 9", badMode("9"), -1, 0},
        {false, "-m rw", badMode("rw"), -1, 0},
        {false, "-m 0x1b0", badMode("0x1b0"), -1, 0},
        {false, "-m 1777", badMode("1777"), -1, 0},
        {false, "-m 06600", badMode("06600"), -1, 0},
        {false, "-g no-such-group-zq", badGroup("no-such-group-zq"), -1, 0},
        {false, "-m 660 -g 99999999999", badGroup("99999999999"), -1, 0},
        {true, "", "", 0666, own},
        {true, "-m 640", "", 0640, own},
        {true, "-g " + trading, "", 0640, tradingGroup},
        {true, "", "", 0640, tradingGroup},
    };
    for (const std::string tool : {"tablemake", "queuemake"}) {
        IpcNames ipc;
        const std::string existing = ipc.name();
        const key_t key = Key(existing).get_ipc_key();
        ASSERT_GE(tool == "tablemake" ? shmget(key, tableSize, IPC_CREAT | 0666)
                                      : msgget(key, IPC_CREAT | 0666),
                  0);
        for (const auto& [onExisting, options, err, mode, group] : rows) {
            SCOPED_TRACE(tool + " " + options);
            std::vector<std::string> args = {onExisting ? existing : ipc.name()};
            std::istringstream words(options);
            for (std::string word; words >> word;) args.push_back(word);
            ProcessResult r = runProgram(tool, args);
            EXPECT_EQ(r.exitCode, err.empty() ? 0 : 255);
            EXPECT_EQ(r.out.empty(), !err.empty()) << r.out;
            if (!err.empty()) {  // a success may warn of limits
                EXPECT_EQ(r.err, err);
            }
            EXPECT_EQ(accessOf(tool, args[0]), std::make_pair(mode, group));
        }
    }
}

TEST(AccessByGroup, OutsidersAreRefusedByNameAndMembersTrade) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0 || getgrnam("nogroup") == nullptr)
        GTEST_SKIP() << "needs root and setpriv to run as another user";
    IpcNames ipc;
    const std::string table = ipc.name(), queue = ipc.name(), closed = ipc.name();
    const std::string group = std::to_string(tradingGroup);
    ASSERT_EQ(runProgram("tablemake", {table, "-g", group}).exitCode, 0);
    ASSERT_EQ(runProgram("queuemake", {queue, "-g", group}).exitCode, 0);
    ASSERT_EQ(runProgram("queuemake", {closed}).exitCode, 0);  // of the owner's group only
    TempFile sites("BRK1\n"), script("35=D|55=IBM|54=1|38=100\n");
    ASSERT_EQ(runProgram("siteload", {table, sites.path}).exitCode, 0);
    // Readable by nobody, so only the table and the queues stand in the way.
    ASSERT_EQ(chmod(script.path.c_str(), 0644) | chmod(sites.path.c_str(), 0644), 0);
    Table cells(table);
    ASSERT_TRUE(cells.ok());
    cells[0].In.seq = 7;

    const std::string denied =
        "Fail to attach the shared memory [" + table + "]: Permission denied\n";
    const std::string noQueue =
        "Fail to create the message queue. [" + queue + "]: Permission denied\n";
    const std::string notOwner =
        "Fail to set the access of the shared memory [" + table + "]: Operation not permitted\n";
    const std::string closedQueue =
        "Fail to connect the message queue. [" + closed + "]: Permission denied\n\n";
    // A member or not, the program and its arguments, its exit status and error output.
    const std::tuple<bool, std::string, std::vector<std::string>, int, std::string> rows[] = {
        {false, "scriptfeed", {table, queue, "BRK1", script.path}, 255, denied + "\n"},
        {false, "sitewatch", {table, "-b"}, 1, denied},
        {false, "qdrain", {table, queue}, 255, denied + "\n"},
        {false, "renumber", {table, "BRK1", "-i", "1"}, 255, denied},
        {false, "siteload", {table, sites.path}, 255, denied},
        {false, "tablemake", {table}, 1, denied},
        {false, "queuemake", {queue}, 1, noQueue},
        {true, "scriptfeed", {table, queue, "BRK1", script.path}, 0, ""},
        {true, "sitewatch", {table, "-b"}, 0, ""},
        // Changing the access takes the owner; the table's group alone opens no queue.
        {true, "tablemake", {table, "-m", "666"}, 1, notOwner},
        {true, "scriptfeed", {table, closed, "BRK1", script.path}, 255, closedQueue},
    };
    for (const auto& [member, program, args, status, err] : rows) {
        ProcessResult r = runAsNobody(program, args, member);
        EXPECT_EQ(r.exitCode, status) << program << " " << r.out << r.err;
        EXPECT_EQ(r.err, err) << program;
    }
    // The member's one order went through alone; nobody wiped, reloaded or opened up the table.
    struct msqid_ds ds {};
    ASSERT_EQ(msgctl(msgget(Key(queue).get_ipc_key(), 0), IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.msg_qnum, 1u);
    EXPECT_EQ(cells[0].Out.pend, 1);
    EXPECT_STREQ(cells[0].name, "BRK1");
    EXPECT_EQ(cells[0].In.seq, 7);
    EXPECT_EQ(accessOf("tablemake", table), std::make_pair(0660, tradingGroup));
}
