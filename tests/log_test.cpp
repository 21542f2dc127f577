#include "Log.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Journal.h"
#include "SeqFile.h"
#include "TempHome.h"

namespace {

// A logged message with the given MsgSeqNum (none when seq is negative), '|' written for SOH.
std::string msg(int seq, const std::string& extra = "") {
    std::string m = "8=FIX.4.2|9=40|35=D|49=DESKA|56=BRK1|";
    if (seq >= 0) m += "34=" + std::to_string(seq) + "|";
    m += extra + "10=000|";
    for (char& c : m)
        if (c == '|') c = '\x01';
    return m;
}

// Every non-empty line of one replay, as the sessions read it.
std::vector<std::string> replay(Log& log) {
    std::vector<std::string> lines;
    log.openInput();
    int reads = 0;
    for (; !log.isInputEOF() && reads < 100000; ++reads) {
        std::string line = log.getNextLine();
        if (!line.empty()) lines.push_back(line);
    }
    if (reads == 100000) ADD_FAILURE() << "the replay never reached the end of the file";
    log.closeInput();
    return lines;
}

class LogTest : public ::testing::Test {
  protected:
    std::string path(const std::string& name = "BRK1.out.20260307") {
        return home.logsDir() + "/" + name;
    }
    TempHome home;
};

}  // namespace

TEST_F(LogTest, OpeningScansForTheHighestSequenceNumber) {
    std::string text;
    for (int s : {1, 2, 3, 10, 4}) text += msg(s) + "\n";
    text += "\n" + msg(-1) + "\n" + "not a message at all\n";
    home.writeFile("logs/BRK1.in.20260307", text);
    Log log;
    log.openLog(path("BRK1.in.20260307"));
    EXPECT_EQ(log.getLastSeq(), 10);
}

TEST_F(LogTest, OpeningAMissingFileCreatesItEmptyAtZero) {
    Log log;
    log.openLog(path());
    EXPECT_EQ(log.getLastSeq(), 0);
    EXPECT_TRUE(home.exists("logs/BRK1.out.20260307"));
    EXPECT_EQ(home.readFile("logs/BRK1.out.20260307"), "");
}

TEST_F(LogTest, AFileThatCannotBeCreatedThrowsWithItsPath) {
    const std::string bad = home.root() + "/nodir/BRK1.in.20260307";
    for (int withScan = 0; withScan < 2; ++withScan) {
        try {
            if (withScan) {
                Log log;
                log.openLog(bad);
                EXPECT_EQ(log.getLastSeq(), 0);
            } else {
                Log log(bad);
            }
            ADD_FAILURE() << "opened " << bad;
        } catch (const LogException& e) {
            EXPECT_EQ(std::string(e.what()),
                      "Fail to open the Log file: " + bad + ": No such file or directory");
        }
    }
}

TEST_F(LogTest, LogsSequenceFilesAndJournalsAreMadeOwnerReadWriteGroupRead) {
    // With no umask to narrow it, the mode asked for at creation is what the file gets.
    mode_t before = umask(0);
    const std::pair<std::string, std::function<void(const std::string&)>> rows[] = {
        {"BRK1.in.20260307", [](const std::string& p) { Log log(p); }},
        {"BRK1.out.20260307", [](const std::string& p) { Log().openLog(p); }},
        {"BRK1.seq.20260307", [](const std::string& p) { SeqFile(p).set(3); }},
        {"BRK1.journal", [](const std::string& p) { Journal journal(p); }},
    };
    for (const auto& [file, make] : rows) {
        make(path(file));
        struct stat st {};
        EXPECT_EQ(stat(path(file).c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 0777, 0640u) << file;
    }
    umask(before);
}

TEST_F(LogTest, SequenceNumberIsReadAfterASeparatorOnly) {
    EXPECT_EQ(Log::getSeq(msg(17)), 17);
    EXPECT_EQ(Log::getSeq(msg(-1)), 0);
    EXPECT_EQ(Log::getSeq(msg(-1, "134=9|")), 0) << "134 is not 34";
    EXPECT_EQ(Log::getSeq(msg(5, "34=6|")), 5) << "the first field 34 counts";
    EXPECT_EQ(Log::getSeq(msg(-1, "34=|")), 0);
    EXPECT_EQ(Log::getSeq(msg(-1, "34=99999999999|")), 0) << "out of range is no number";
    EXPECT_EQ(Log::getSeq(""), 0);
}

TEST_F(LogTest, WriteAppendsOneFlushedLineAndTakesItsSequenceNumber) {
    Log log;
    log.openLog(path());
    log.write(msg(9));
    EXPECT_EQ(home.readFile("logs/BRK1.out.20260307"), msg(9) + "\n")
        << "readable by others as soon as write returns";
    log.write(msg(5));
    EXPECT_EQ(log.getLastSeq(), 5) << "the last written, not the highest";
    log.write(msg(-1));
    EXPECT_EQ(log.getLastSeq(), 0);
    EXPECT_EQ(home.readFile("logs/BRK1.out.20260307"),
              msg(9) + "\n" + msg(5) + "\n" + msg(-1) + "\n");
}

TEST_F(LogTest, ReopeningOnTheSameDayResumesAndAppends) {
    {
        Log first;
        first.openLog(path());
        for (int s = 1; s <= 3; ++s) first.write(msg(s));
    }
    Log again;
    again.openLog(path());
    EXPECT_EQ(again.getLastSeq(), 3);
    again.write(msg(4));
    EXPECT_EQ(replay(again), (std::vector<std::string>{msg(1), msg(2), msg(3), msg(4)}));

    Log noScan(path());
    EXPECT_EQ(noScan.getLastSeq(), 0) << "the plain constructor does not scan";
}

TEST_F(LogTest, EveryReplayStartsAtTheFirstLine) {
    Log log;
    log.openLog(path());
    log.write(msg(1));
    log.write(msg(2));
    EXPECT_EQ(replay(log), (std::vector<std::string>{msg(1), msg(2)}));
    log.write(msg(3));
    EXPECT_EQ(replay(log), (std::vector<std::string>{msg(1), msg(2), msg(3)}))
        << "a second replay starts over and sees lines written since";

    // A replay abandoned half-way does not move the start of the next one.
    log.openInput();
    EXPECT_EQ(log.getNextLine(), msg(1));
    EXPECT_EQ(replay(log), (std::vector<std::string>{msg(1), msg(2), msg(3)}));
}

TEST_F(LogTest, TheReaderReportsTheEndRightAfterTheLastLineAndSkipsNothing) {
    home.writeFile("logs/BRK1.out.20260307", msg(1) + "\n\n" + msg(2) + "\n");
    Log log;
    log.openLog(path());
    log.openInput();
    EXPECT_FALSE(log.isInputEOF());
    EXPECT_EQ(log.getNextLine(), msg(1));
    EXPECT_EQ(log.getNextLine(), "") << "an empty line";
    EXPECT_EQ(log.getNextLine(), msg(2));
    EXPECT_TRUE(log.isInputEOF());
    EXPECT_EQ(log.getNextLine(), "");
    log.closeInput();
}

TEST_F(LogTest, OverLongLinesAreReadWholeAtTheScanAndInReplays) {
    const std::string longer = msg(40, "58=" + std::string(5000, 'x') + "|");
    const std::string huge = msg(7, "58=" + std::string(200000, 'y') + "|");
    home.writeFile("logs/BRK1.out.20260307",
                   msg(1) + "\n" + longer + "\n" + huge + "\n" + msg(2) + "\n");
    Log log;
    log.openLog(path());
    EXPECT_EQ(log.getLastSeq(), 40) << "the scan read the 5000-byte line";
    std::vector<std::string> lines = replay(log);
    ASSERT_EQ(lines.size(), 4u) << "the replay went on past the long lines";
    EXPECT_EQ(lines[1], longer);
    EXPECT_EQ(lines[2], huge);
    EXPECT_EQ(lines[3], msg(2));
}

TEST_F(LogTest, AReplayOfAFileThatCannotBeOpenedEndsAtOnce) {
    Log never;
    never.openInput();
    EXPECT_TRUE(never.isInputEOF());
    EXPECT_EQ(never.getNextLine(), "");
    never.closeInput();

    Log log;
    log.openLog(path());
    log.write(msg(1));
    ASSERT_EQ(std::remove(path().c_str()), 0);
    EXPECT_TRUE(replay(log).empty());
}

TEST_F(LogTest, WriteAllAppendsEveryLineOrNone) {
    const std::vector<std::string> batch = {msg(3), msg(4, "58=x|"), msg(5), msg(99)};
    struct Case {
        std::size_t count;
        long sizeLimit;  // RLIMIT_FSIZE in the writing process; 0: none
        bool written;
    } cases[] = {{3, 0, true}, {1, 0, true}, {3, 100, false}, {4, 1, false}};
    int n = 0;
    for (const Case& c : cases) {
        std::string name = "BRK1.out.2026030" + std::to_string(++n);
        {
            Log first;
            first.openLog(path(name));
            first.write(msg(2));
        }
        // The limit goes into a child of its own, so the test process keeps writing freely.
        auto child = [&] {
            signal(SIGXFSZ, SIG_IGN);
            if (c.sizeLimit > 0) {
                rlimit lim{static_cast<rlim_t>(c.sizeLimit), static_cast<rlim_t>(c.sizeLimit)};
                setrlimit(RLIMIT_FSIZE, &lim);
            }
            Log log;
            log.openLog(path(name));
            try {
                log.writeAll(batch, c.count);
            } catch (const LogException& e) {
                // The file size limit refuses with EFBIG.
                bool named = std::string(e.what()) ==
                             "Fail to write the Log file: " + path(name) + ": File too large";
                std::_Exit(named && log.getLastSeq() == 2 ? 2 : 3);
            }
            std::_Exit(log.getLastSeq() == Log::getSeq(batch[c.count - 1]) ? 1 : 3);
        };
        EXPECT_EXIT(child(), ::testing::ExitedWithCode(c.written ? 1 : 2), "")
            << c.count << " lines, limit " << c.sizeLimit;
        std::string expected = msg(2) + "\n";
        for (std::size_t i = 0; c.written && i < c.count; ++i) expected += batch[i] + "\n";
        EXPECT_EQ(home.readFile("logs/" + name), expected) << "no part of a failed batch stays";
    }
}
