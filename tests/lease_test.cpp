// The lease of a site kept by two gateways, and its state stream, against real nats-server
// processes: one server for the tables (each row on a site of its own), a cluster of three for
// what must outlive the loss of a member. Skipped where nats-server is not installed.
#include <gtest/gtest.h>
#include <time.h>

#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
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

// Steps "<gateway> <act> <answer>": gateway A or B takes, renews, releases or lets the lease
// lapse; the answer is take's or renew's, else held() afterwards. At the end: the holder named
// ("-" none) and A's held() and fresh() and B's held() as 0/1.
struct LeaseRow {
    const char* behaviour;
    const char* steps;
    const char* holder;
    const char* heldFreshHeld;
};

const LeaseRow leaseRows[] = {
    {"the first take wins and the second is refused", "A take 1; B take 0", "A", "110"},
    {"renewing keeps the lease from the other",
     "A take 1; A renew 1; B take 0; A renew 1; A take 1", "A", "110"},
    {"a renew by a gateway that never took it says false", "A take 1; B renew 0", "A", "110"},
    {"a lease not renewed lapses, the other takes it and the first's renew says false",
     "A take 1; A lapse 1; B take 1; A renew 0", "B", "001"},
    {"a released lease is taken by the other at once", "A take 1; A release 0; B take 1", "B",
     "001"},
    {"a release by a gateway whose lease lapsed leaves the new holder's lease",
     "A take 1; A lapse 1; B take 1; A release 0; A take 0", "B", "001"},
    {"a lapsed lease is taken again by its former holder", "A take 1; A lapse 1; A take 1", "A",
     "110"},
    {"a released lease is taken again by its former holder",
     "A take 1; A release 0; A take 1; B take 0", "A", "110"},
    {"nobody took it: no holder", "B renew 0", "-", "000"},
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
        std::istringstream steps(row.steps);
        std::string who, act;
        bool answer;
        for (char semicolon; steps >> who >> act >> answer; steps >> semicolon) {
            SCOPED_TRACE(who + " " + act);
            SiteLease& g = who == "A" ? a : b;
            if (act == "take" || act == "renew") {
                bool said = act == "take" ? g.take() : g.renew();
                EXPECT_EQ(said, answer) << g.fault();
            }
            if (act == "release") g.release();
            if (act == "lapse") {
                // Read through the other gateway, so the holder's own view stays as it was.
                bool gone = false;
                for (int i = 0; i < 100 && !gone; ++i, pause(100))
                    gone = !(who == "A" ? b : a).holder();
                ASSERT_TRUE(gone) << "the lease never lapsed";
                EXPECT_FALSE(g.fresh()) << "a lapsed lease is not fresh";
            }
            if (act == "release" || act == "lapse") {
                EXPECT_EQ(g.held(), answer);
            }
        }
        EXPECT_EQ(std::string() + "01"[a.held()] + "01"[a.fresh()] + "01"[b.held()],
                  row.heldFreshHeld);
        std::optional<SiteLease::Holder> h = a.holder();
        EXPECT_EQ(h ? h->gateway : "-", row.holder);
        if (h) {
            EXPECT_GE(h->since, before);
            EXPECT_EQ((*row.holder == 'A' ? a : b).since(), h->since);
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

// Steps "<writer> <act> <n>" of writers 0 and 1 on one site's stream: begin n, begin at the
// stream's end (n unused), add n records, confirm (n: the answer). The records the stream holds
// afterwards, "<writer>.<k>" being the k-th record that writer added; empty: writer 0's, all.
struct WriteRow {
    const char* behaviour;
    const char* steps;
    const char* stored;
};

const WriteRow writeRows[] = {
    {"records come back in order", "0 begin 0; 0 add 3; 0 confirm 1", "0.1 0.2 0.3"},
    {"a batch of 64 is confirmed at once", "0 begin 0; 0 add 64; 0 confirm 1; 0 add 1; 0 confirm 1",
     ""},
    {"a second writer's record fences the first",
     "0 begin 0; 0 add 2; 0 confirm 1; 1 end 0; 1 add 1; 1 confirm 1; 0 add 1; 0 confirm 0; "
     "0 add 1; 0 confirm 0",
     "0.1 0.2 1.1"},
    {"an empty stream fences too",
     "0 begin 0; 1 begin 0; 1 add 1; 1 confirm 1; 0 add 1; 0 confirm 0", "1.1"},
    {"a refused batch refuses all its records, and a writer begun at the end writes on",
     "0 begin 0; 1 begin 0; 1 add 1; 1 confirm 1; 0 add 2; 0 confirm 0; 0 end 0; 0 add 1; "
     "0 confirm 1",
     "1.1 0.3"},
    {"nothing added confirms at once", "0 begin 0; 0 confirm 1", ""},
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
        std::istringstream steps(row.steps);
        int who;
        std::string act;
        std::uint64_t value;
        for (char semicolon; steps >> who >> act >> value; steps >> semicolon) {
            StateWriter& w = writers[who];
            if (act == "begin") w.begin(value);
            if (act == "end") w.begin(reader.streamLast());
            for (std::uint64_t i = 0; act == "add" && i < value; ++i) {
                std::string day = "2026121" + std::to_string(added[who] % 10);
                w.add("out", std::to_string(who) + "." + std::to_string(++added[who]),
                      {{"Fixgate-Day", day}});
            }
            if (act != "confirm") continue;
            EXPECT_EQ(w.confirm(5000), value != 0) << who << ": " << w.fault();
            EXPECT_EQ(w.broken(), value == 0);
            if (value == 0) {
                EXPECT_NE(w.fault(), "");
            } else {
                EXPECT_EQ(w.lastStored(), reader.streamLast());
            }
        }
        std::vector<std::string> expected;
        std::istringstream stored(row.stored);
        for (std::string t; stored >> t;) expected.push_back(t);
        for (int k = 1; *row.stored == '\0' && k <= added[0]; ++k)
            expected.push_back("0." + std::to_string(k));
        std::vector<StateReader::Record> got;
        for (int i = 0; i < 50 && got.size() < expected.size(); ++i) {
            std::vector<StateReader::Record> more = reader.fetch(100, 200);
            got.insert(got.end(), more.begin(), more.end());
        }
        EXPECT_TRUE(reader.fetch(10, 200).empty()) << "more than was stored";
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].seq, i + 1);
            EXPECT_EQ(got[i].kind, "out");
            EXPECT_EQ(got[i].text, expected[i]);
            int k = std::stoi(got[i].text.substr(2));
            EXPECT_EQ(got[i].header("Fixgate-Day"), "2026121" + std::to_string((k - 1) % 10));
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

// Two gateways on links to different members taking a free lease in the same instant, again and
// again, the lease released or lapsed in between: exactly one of them holds it every time.
TEST(LeaseCluster, TwoGatewaysTakingAFreeLeaseAtOnceLeaveOneHolder) {
    if (!NatsCluster::available()) GTEST_SKIP() << "nats-server is not installed";
    NatsCluster cluster(3);
    NatsLink linkA(NatsLink::Settings::withServers(cluster.url(0)), "lease_test A");
    NatsLink linkB(NatsLink::Settings::withServers(cluster.url(1)), "lease_test B");
    askUntilAnswered([&] { makeSite(linkA, "RACE", 2, 3); });
    SiteLease a(linkA, "RACE", "A"), b(linkB, "RACE", "B");
    int both = 0, none = 0;
    for (int round = 0; round < 40; ++round) {
        bool tookA = false, tookB = false;
        std::thread other([&] { tookB = b.take(); });
        tookA = a.take();
        other.join();
        both += tookA && tookB;
        none += !tookA && !tookB;
        // Mostly released; every tenth round the holder just stops and the value ages out.
        if (round % 10 == 9) {
            pause(2500);
            for (SiteLease* l : {&a, &b}) l->holder();
        } else {
            a.release();
            b.release();
        }
    }
    EXPECT_EQ(both, 0) << "rounds where both took the lease";
    EXPECT_EQ(none, 0) << "rounds where neither did: " << a.fault() << " / " << b.fault();
}

}  // namespace
