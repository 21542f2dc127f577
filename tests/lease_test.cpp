// The lease of a site kept by two gateways, and its state stream, against real nats-server
// processes: one server for the tables (each row on a site of its own), a cluster of three for
// what must outlive the loss of a member. Skipped where nats-server is not installed.
#include <gtest/gtest.h>
#include <time.h>

#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "NatsCluster.h"
#include "NatsLink.h"
#include "SiteLease.h"
#include "StateReader.h"
#include "StateWriter.h"
#include "StreamNames.h"
#include "StreamSetup.h"

namespace {

void pause(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// What the servers answer once a member just lost is replaced: asked again for a while.
template <class Ask>
auto askUntilAnswered(Ask ask) {
    for (int attempt = 1;; ++attempt) {
        try {
            return ask();
        } catch (const NatsException& e) {
            if (attempt == 20) throw;
            std::cout << "asked again: " << e.what() << std::endl;
            pause(500);
        }
    }
}

// A site's state stream and a lease bucket of `lifetime` seconds.
void makeSite(NatsLink& link, const std::string& site, long lifetime, int replicas = 1) {
    StreamSettings settings;
    settings.replicas = replicas;
    StreamSetup::apply(link, StreamNames::stateStream(site), StreamNames::stateSubject(site),
                       settings);
    StreamSetup::applyLease(link, StreamNames::leaseBucket(site), lifetime, replicas);
}

class Lease : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (NatsCluster::available()) cluster = std::make_unique<NatsCluster>(1);
    }
    static void TearDownTestSuite() { cluster.reset(); }
    void SetUp() override {
        if (!NatsCluster::available()) GTEST_SKIP() << "nats-server is not installed";
        ASSERT_TRUE(cluster) << "the server did not start";
        link = std::make_unique<NatsLink>(NatsLink::Settings::withServers(cluster->servers()),
                                          "lease_test");
    }

    static std::unique_ptr<NatsCluster> cluster;
    std::unique_ptr<NatsLink> link;
};
std::unique_ptr<NatsCluster> Lease::cluster;

// What gateway A or B does, and what it must answer.
enum class Op { Take, Renew, Release, Lapse };
struct LeaseStep {
    char gateway;  // 'A' or 'B'
    Op op;
    bool answer;  // of take/renew; held() afterwards for release and lapse
};
struct LeaseRow {
    const char* behaviour;
    std::vector<LeaseStep> steps;
    const char* holder;  // the holder named at the end; "" none
    bool heldA, freshA, heldB;
};

const LeaseRow leaseRows[] = {
    {"the first take wins and the second is refused",
     {{'A', Op::Take, true}, {'B', Op::Take, false}},
     "A",
     true,
     true,
     false},
    {"renewing keeps the lease from the other",
     {{'A', Op::Take, true},
      {'A', Op::Renew, true},
      {'B', Op::Take, false},
      {'A', Op::Renew, true},
      {'A', Op::Take, true}},
     "A",
     true,
     true,
     false},
    {"a renew by a gateway that never took it says false",
     {{'A', Op::Take, true}, {'B', Op::Renew, false}},
     "A",
     true,
     true,
     false},
    {"a lease not renewed lapses, the other takes it and the first's renew says false",
     {{'A', Op::Take, true},
      {'A', Op::Lapse, true},
      {'B', Op::Take, true},
      {'A', Op::Renew, false}},
     "B",
     false,
     false,
     true},
    {"a released lease is taken by the other at once",
     {{'A', Op::Take, true}, {'A', Op::Release, false}, {'B', Op::Take, true}},
     "B",
     false,
     false,
     true},
    {"a release by a gateway whose lease lapsed leaves the new holder's lease",
     {{'A', Op::Take, true},
      {'A', Op::Lapse, true},
      {'B', Op::Take, true},
      {'A', Op::Release, false},
      {'A', Op::Take, false}},
     "B",
     false,
     false,
     true},
    {"a lapsed lease is taken again by its former holder",
     {{'A', Op::Take, true}, {'A', Op::Lapse, true}, {'A', Op::Take, true}},
     "A",
     true,
     true,
     false},
    {"a released lease is taken again by its former holder",
     {{'A', Op::Take, true},
      {'A', Op::Release, false},
      {'A', Op::Take, true},
      {'B', Op::Take, false}},
     "A",
     true,
     true,
     false},
    {"nobody took it: no holder", {{'B', Op::Renew, false}}, "", false, false, false},
};

TEST_F(Lease, TakeRenewLapseAndReleaseDecideOneHolder) {
    int n = 0;
    for (const LeaseRow& row : leaseRows) {
        SCOPED_TRACE(row.behaviour);
        std::string site = "L" + std::to_string(++n);
        makeSite(*link, site, 2);
        SiteLease a(*link, site, "A"), b(*link, site, "B");
        ASSERT_EQ(a.lifetimeMs(), 2000);
        std::time_t before = std::time(nullptr);
        for (const LeaseStep& step : row.steps) {
            SiteLease& g = step.gateway == 'A' ? a : b;
            switch (step.op) {
                case Op::Take:
                    EXPECT_EQ(g.take(), step.answer) << step.gateway << " take " << g.fault();
                    break;
                case Op::Renew:
                    EXPECT_EQ(g.renew(), step.answer) << step.gateway << " renew " << g.fault();
                    break;
                case Op::Release:
                    g.release();
                    EXPECT_EQ(g.held(), step.answer);
                    break;
                case Op::Lapse: {
                    // Read through the other gateway, so the holder's own view stays as it was.
                    SiteLease& other = step.gateway == 'A' ? b : a;
                    bool gone = false;
                    for (int i = 0; i < 100 && !gone; ++i, pause(100)) gone = !other.holder();
                    ASSERT_TRUE(gone) << "the lease never lapsed";
                    EXPECT_EQ(g.held(), step.answer) << "nothing told the holder yet";
                    EXPECT_FALSE(g.fresh()) << "a lapsed lease is not fresh";
                    break;
                }
            }
        }
        EXPECT_EQ(a.held(), row.heldA);
        EXPECT_EQ(a.fresh(), row.freshA);
        EXPECT_EQ(b.held(), row.heldB);
        std::optional<SiteLease::Holder> h = a.holder();
        EXPECT_EQ(h ? h->gateway : "", row.holder);
        if (h) {
            EXPECT_GE(h->since, before);
        }
        SiteLease& named = *row.holder == 'B' ? b : a;
        if (h) {
            EXPECT_EQ(named.since(), h->since);
        }
    }
}

TEST_F(Lease, AMissingBucketIsRefusedWithTheCommandThatMakesIt) {
    try {
        SiteLease lease(*link, "NOBUCKET", "A");
        ADD_FAILURE() << "bound a bucket that does not exist";
    } catch (const NatsException& e) {
        std::string what = e.what();
        EXPECT_NE(what.find("FIXGATE_NOBUCKET_LEASE"), std::string::npos) << what;
        EXPECT_NE(what.find("streammake NOBUCKET -l seconds"), std::string::npos) << what;
    }
}

// Writers 0 and 1 on one site's stream, and what the stream holds afterwards.
enum class Act { Begin, BeginAtEnd, Add, Confirm };
struct WriteStep {
    int writer;
    Act act;
    std::uint64_t value;  // Begin: the last sequence; Add: records to add; Confirm: true/false
};
struct WriteRow {
    const char* behaviour;
    std::vector<WriteStep> steps;
    std::vector<std::string> texts;  // "<writer>.<n>": the n-th record added by that writer
};

const WriteRow writeRows[] = {
    {"records come back in order",
     {{0, Act::Begin, 0}, {0, Act::Add, 3}, {0, Act::Confirm, true}},
     {"0.1", "0.2", "0.3"}},
    {"a batch of 64 is confirmed at once",
     {{0, Act::Begin, 0},
      {0, Act::Add, 64},
      {0, Act::Confirm, true},
      {0, Act::Add, 1},
      {0, Act::Confirm, true}},
     {}},
    {"a second writer's record fences the first",
     {{0, Act::Begin, 0},
      {0, Act::Add, 2},
      {0, Act::Confirm, true},
      {1, Act::BeginAtEnd, 0},
      {1, Act::Add, 1},
      {1, Act::Confirm, true},
      {0, Act::Add, 1},
      {0, Act::Confirm, false},
      {0, Act::Add, 1},
      {0, Act::Confirm, false}},
     {"0.1", "0.2", "1.1"}},
    {"an empty stream fences too",
     {{0, Act::Begin, 0},
      {1, Act::Begin, 0},
      {1, Act::Add, 1},
      {1, Act::Confirm, true},
      {0, Act::Add, 1},
      {0, Act::Confirm, false}},
     {"1.1"}},
    {"a writer begun at the end again writes on after a refusal",
     {{0, Act::Begin, 0},
      {1, Act::Begin, 0},
      {1, Act::Add, 1},
      {1, Act::Confirm, true},
      {0, Act::Add, 2},
      {0, Act::Confirm, false},
      {0, Act::BeginAtEnd, 0},
      {0, Act::Add, 1},
      {0, Act::Confirm, true}},
     {"1.1", "0.3"}},
    {"nothing added confirms at once", {{0, Act::Begin, 0}, {0, Act::Confirm, true}}, {}},
};

TEST_F(Lease, StateWritersAreFencedAndTheReaderHandsBackWhatWasStored) {
    int n = 0;
    for (const WriteRow& row : writeRows) {
        SCOPED_TRACE(row.behaviour);
        std::string site = "W" + std::to_string(++n);
        makeSite(*link, site, 6);
        StateWriter writers[] = {StateWriter(*link, site), StateWriter(*link, site)};
        StateReader reader(*link, site, 0);
        int added[2] = {0, 0};
        for (const WriteStep& step : row.steps) {
            StateWriter& w = writers[step.writer];
            const std::string who = std::to_string(step.writer);
            if (step.act == Act::Begin) w.begin(step.value);
            if (step.act == Act::BeginAtEnd) w.begin(reader.streamLast());
            for (std::uint64_t i = 0; step.act == Act::Add && i < step.value; ++i) {
                std::string day = "2026121" + std::to_string(added[step.writer] % 10);
                w.add("out", who + "." + std::to_string(++added[step.writer]),
                      {{"Fixgate-Day", day}});
            }
            if (step.act == Act::Confirm) {
                EXPECT_EQ(w.confirm(5000), step.value != 0) << who << ": " << w.fault();
                EXPECT_EQ(w.broken(), step.value == 0);
                if (step.value == 0) {
                    EXPECT_NE(w.fault(), "");
                } else {
                    EXPECT_EQ(w.lastStored(), reader.streamLast());
                }
            }
        }
        std::size_t expected =
            row.texts.empty() ? static_cast<std::size_t>(added[0]) : row.texts.size();
        std::vector<StateReader::Record> got;
        for (int i = 0; i < 50 && got.size() < expected; ++i) {
            std::vector<StateReader::Record> more = reader.fetch(100, 200);
            got.insert(got.end(), more.begin(), more.end());
        }
        EXPECT_TRUE(reader.fetch(10, 200).empty()) << "more than was stored";
        ASSERT_EQ(got.size(), expected);
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].seq, i + 1);
            EXPECT_EQ(got[i].kind, "out");
            if (!row.texts.empty()) {
                EXPECT_EQ(got[i].text, row.texts[i]);
            }
            std::string n = got[i].text.substr(got[i].text.find('.') + 1);
            EXPECT_EQ(got[i].header("Fixgate-Day"),
                      "2026121" + std::to_string((std::stoi(n) - 1) % 10));
            EXPECT_EQ(got[i].header("Fixgate-Order"), "");
        }
    }
}

// Reading from the middle, while a writer goes on, with every kind and its extra headers.
TEST_F(Lease, AReaderFollowsAWriterFromASequenceWithKindsAndHeaders) {
    makeSite(*link, "F1", 6);
    StateWriter writer(*link, "F1");
    writer.begin(0);
    const char* kinds[] = {"active", "period", "out", "in", "inseq", "reset"};
    const int total = 2000;
    StateReader reader(*link, "F1", 100);
    std::uint64_t next = 101;
    for (int k = 1; k <= total; ++k) {
        writer.add(kinds[k % 6], "record " + std::to_string(k),
                   {{"Fixgate-Order", std::to_string(k * 7)}, {"Fixgate-Day", "20261210"}});
        if (k % 64 != 0 && k != total) continue;
        ASSERT_TRUE(writer.confirm(5000)) << writer.fault();
        for (const StateReader::Record& r : reader.fetch(64, 0)) {
            ASSERT_EQ(r.seq, next++);
            EXPECT_EQ(r.kind, kinds[r.seq % 6]);
            EXPECT_EQ(r.text, "record " + std::to_string(r.seq));
            EXPECT_EQ(r.header("Fixgate-Order"), std::to_string(r.seq * 7));
        }
    }
    for (int i = 0; i < 200 && next <= total; ++i) {
        for (const StateReader::Record& r : reader.fetch(500, 200)) ASSERT_EQ(r.seq, next++);
    }
    EXPECT_EQ(next, static_cast<std::uint64_t>(total) + 1);
    EXPECT_EQ(reader.lastSeq(), static_cast<std::uint64_t>(total));
    EXPECT_EQ(reader.streamLast(), static_cast<std::uint64_t>(total));
    EXPECT_TRUE(reader.fetch(10, 300).empty()) << "more than was written";
}

// A member of three killed while a lease is held and the state stream is being read: the lease
// is renewed through the others, and the reader neither skips nor repeats a record.
TEST(LeaseCluster, ALeaseAndTheStateStreamOutliveAKilledMember) {
    if (!NatsCluster::available()) GTEST_SKIP() << "nats-server is not installed";
    NatsCluster cluster(3);
    NatsLink link(NatsLink::Settings::withServers(cluster.servers()), "lease_test");
    const int total = 600;
    for (int victim = 0; victim < 3; ++victim) {
        SCOPED_TRACE("server " + std::to_string(victim) + " killed");
        std::string site = "K" + std::to_string(victim);
        // Longer than the servers take to elect a new leader for the bucket (up to ten seconds).
        askUntilAnswered([&] { makeSite(link, site, 20, 3); });
        SiteLease a(link, site, "A"), b(link, site, "B");
        ASSERT_TRUE(a.take()) << a.fault();
        StateWriter writer(link, site);
        writer.begin(0);
        for (int k = 1; k <= total; ++k) writer.add("in", std::to_string(k));
        ASSERT_TRUE(writer.confirm(10000)) << writer.fault();
        StateReader reader(link, site, 0);
        std::uint64_t next = 1;
        for (const StateReader::Record& r : reader.fetch(total / 3, 2000)) ASSERT_EQ(r.seq, next++);
        cluster.kill(victim);
        bool renewed = false;
        for (int i = 0; i < 160 && !renewed; ++i) {
            renewed = a.renew();
            if (!renewed) pause(250);
        }
        EXPECT_TRUE(renewed) << a.fault();
        EXPECT_TRUE(a.held());
        EXPECT_FALSE(b.take()) << "taken while A renews";
        for (int i = 0; i < 100 && next <= total; ++i) {
            for (const StateReader::Record& r : reader.fetch(100, 200)) ASSERT_EQ(r.seq, next++);
        }
        EXPECT_EQ(next, static_cast<std::uint64_t>(total) + 1);
        // The fence holds on three replicas too, for a batch in flight.
        auto taker = askUntilAnswered([&] { return std::make_unique<StateWriter>(link, site); });
        taker->begin(askUntilAnswered([&] { return reader.streamLast(); }));
        taker->add("active", "B");
        EXPECT_TRUE(taker->confirm(10000)) << taker->fault();
        for (int k = 0; k < 3; ++k) writer.add("in", "late");
        EXPECT_FALSE(writer.confirm(10000));
        a.release();
        cluster.start(victim);
    }
}

}  // namespace
