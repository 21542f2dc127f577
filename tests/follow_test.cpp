// The standby's copy of the active gateway's state, through a real state stream: each step writes
// records as the active gateway does, and the follower must leave this host's files as the
// active gateway's own session left its. Skipped where nats-server is not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Common.h"
#include "NatsCluster.h"
#include "NatsLink.h"
#include "Process.h"
#include "SeqFile.h"
#include "StateFollower.h"
#include "StateReader.h"
#include "StateWriter.h"
#include "TempHome.h"
#include "TestUtil.h"

namespace {

const std::string day = "20261210";

std::string message(int seq, const char* type = "0") {
    return "8=FIX.4.2\x01"
           "9=5\x01"
           "35=" +
           std::string(type) +
           "\x01"
           "34=" +
           std::to_string(seq) +
           "\x01"
           "10=000\x01";
}

struct Rec {
    const char* kind;
    std::string text;
    std::uint64_t order = 0;
};

struct Step {
    const char* what;
    std::vector<Rec> records;
    std::vector<int> outSeqs;  // MsgSeqNums of the day's outgoing log afterwards, in order
    std::size_t inLines;
    int inSeq;
    std::string keptFile;  // a file that must exist afterwards (relative to the root)
};

std::vector<int> seqsOf(const std::string& log) {
    std::vector<int> seqs;
    for (const std::string& line : nonEmptyLines(log)) {
        std::size_t at = line.find(
            "\x01"
            "34=");
        if (at != std::string::npos) seqs.push_back(std::stoi(line.substr(at + 4)));
    }
    return seqs;
}

TEST(Follow, RecordsBecomeTheLogsSequenceFileAndPeriodTheActiveGatewayKept) {
    if (!NatsCluster::available()) GTEST_SKIP() << "nats-server is not installed";
    NatsCluster cluster(1);
    TempHome home;
    fix_home = home.root();
    const std::string site = "F" + std::to_string(getpid());
    ProcessResult made = runProgram("streammake", {site, "-j", cluster.servers(), "-l", "5"});
    ASSERT_EQ(made.exitCode, 0) << made.out << made.err;
    NatsLink link(NatsLink::Settings::withServers(cluster.servers()), "follow_test");
    StateWriter writer(link, site);
    writer.begin(0);
    StateReader reader(link, site, 0);
    StateFollower follower(site);

    const std::string period = "1796860800 2026-12-10 00:00:00 UTC";
    const Step steps[] = {
        {"outbound messages go into the day's outgoing log",
         {{"out", message(1)}, {"out", message(2, "D"), 5}},
         {1, 2},
         0,
         0,
         ""},
        {"an outbound number the log holds already is not written twice",
         {{"out", message(2, "D"), 5}, {"out", message(3, "D"), 7}},
         {1, 2, 3},
         0,
         0,
         ""},
        {"a batch in one record: each message a line, those the log holds skipped",
         {{"out", message(3, "D") + "\n" + message(4) + "\n" + message(5, "D"), 9}},
         {1, 2, 3, 4, 5},
         0,
         0,
         ""},
        {"inbound messages are appended as they came, second copies too",
         {{"in", message(1)}, {"in", message(2) + "\n" + message(2)}},
         {1, 2, 3, 4, 5},
         3,
         0,
         ""},
        {"the sequence file takes the number a restart expects",
         {{"inseq", "2"}},
         {1, 2, 3, 4, 5},
         3,
         2,
         ""},
        {"a reset keeps both logs aside and starts again",
         {{"reset", "20261210-101010"}},
         {},
         0,
         0,
         "logs/" + site + ".out." + day + ".reset-20261210-101010"},
        {"the new numbering goes on in the fresh logs",
         {{"out", message(1)}, {"in", message(1)}, {"inseq", "1"}, {"period", period}},
         {1},
         1,
         1,
         "logs/" + site + ".period"},
    };
    std::uint64_t written = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        for (const Rec& r : step.records) {
            StateWriter::Headers extra{{StateFollower::dayHeader, day}};
            if (r.order > 0)
                extra.emplace_back(StateFollower::orderHeader, std::to_string(r.order));
            writer.add(r.kind, r.text, extra);
            ++written;
        }
        ASSERT_TRUE(writer.confirm(5000)) << writer.fault();
        for (int i = 0; i < 50 && follower.applied() < written; ++i) {
            for (const StateReader::Record& r : reader.fetch(64, 200)) follower.apply(r);
        }
        ASSERT_EQ(follower.applied(), written);
        follower.save();
        EXPECT_EQ(seqsOf(home.readFile("logs/" + site + ".out." + day)), step.outSeqs);
        EXPECT_EQ(nonEmptyLines(home.readFile("logs/" + site + ".in." + day)).size(), step.inLines);
        EXPECT_EQ(SeqFile(home.root() + "/logs/" + site + ".seq." + day).get(), step.inSeq);
        if (!step.keptFile.empty()) {
            EXPECT_FALSE(home.readFile(step.keptFile).empty());
        }
    }
    EXPECT_EQ(home.readFile("logs/" + site + ".period"), period + "\n");

    // A restarted standby goes on from where it stood, with the highest order recorded as sent.
    follower.close();
    StateFollower again(site);
    EXPECT_EQ(again.applied(), written);
    EXPECT_EQ(again.lastOrder(), 9u);
}

}  // namespace
