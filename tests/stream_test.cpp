// A site's JetStream side against real nats-server processes: one cluster of three for the whole
// binary (starting one takes seconds), each case on a site of its own so the cases do not meet.
// Skipped where nats-server is not installed.
#include <gtest/gtest.h>
#include <nats/nats.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "NatsCluster.h"
#include "NatsLink.h"
#include "Process.h"
#include "SiteLease.h"
#include "StreamInlet.h"
#include "StreamNames.h"
#include "StreamOutlet.h"
#include "StreamSetup.h"
#include "TestUtil.h"

namespace {

class Stream : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (NatsCluster::available()) cluster = std::make_unique<NatsCluster>(3);
    }
    static void TearDownTestSuite() { cluster.reset(); }
    void SetUp() override {
        if (!NatsCluster::available()) GTEST_SKIP() << "nats-server is not installed";
        ASSERT_TRUE(cluster) << "the cluster did not start";
        // A case before may have killed and restarted a member that is still catching up.
        cluster->awaitJetStream();
    }

    static std::unique_ptr<NatsCluster> cluster;
};
std::unique_ptr<NatsCluster> Stream::cluster;

// A stream's settings as the servers hold them.
struct Held {
    std::int64_t replicas = 0;
    std::int64_t duplicateSeconds = 0;
    std::int64_t maxMessages = 0, maxBytes = 0, maxAgeSeconds = 0;
    int storage = -1;
    std::string subject;
};

Held held(NatsLink& link, const std::string& stream) {
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    Held h;
    if (js_GetStreamInfo(&info, link.jetStream(), stream.c_str(), nullptr, &code) != NATS_OK)
        return h;
    const jsStreamConfig& c = *info->Config;
    h = {c.Replicas,
         c.Duplicates / 1000000000,
         c.MaxMsgs,
         c.MaxBytes,
         c.MaxAge / 1000000000,
         c.Storage,
         c.SubjectsLen == 1 ? c.Subjects[0] : "?"};
    jsStreamInfo_Destroy(info);
    return h;
}

// A stream of another application that takes the subject first.
void occupy(NatsLink& link, const std::string& subject) {
    StreamSetup::apply(link, "OTHER_APPLICATION", subject, StreamSettings{});
}

struct MakeCase {
    const char* behaviour;
    std::vector<std::string> args;  // "$S": the cluster's servers, "$DEAD": a port nobody serves
    const char* takenSubject;       // taken by another stream first, or nullptr
    int status;
    std::vector<std::string> out;  // the lines printed, in order (the usage line: its start)
    const char* err;               // the start of the one line on standard error, or ""
    Held stored;                   // FIXGATE_<site>_OUT as held afterwards (status 0)
    long lifetime = 0;             // -l: the lease bucket's lifetime afterwards (s)
};

const std::string dead = "nats://127.0.0.1:" + std::to_string(freePort());

const MakeCase makeCases[] = {
    {"a new site gets both streams, one replica, a window of 600 s and no limits",
     {"A1", "-j", "$S"},
     nullptr,
     0,
     {"Stream FIXGATE_A1_OUT created: subject fixgate.A1.out, 1 replica, duplicate window 600 s.",
      "Stream FIXGATE_A1_IN created: subject fixgate.A1.in, 1 replica, duplicate window 600 s."},
     "",
     {1, 600, -1, -1, 0, js_FileStorage, "fixgate.A1.out"}},
    {"the same settings again are an update, not a new stream",
     {"A1", "-j", "$S"},
     nullptr,
     0,
     {"Stream FIXGATE_A1_OUT updated: subject fixgate.A1.out, 1 replica, duplicate window 600 s.",
      "Stream FIXGATE_A1_IN updated: subject fixgate.A1.in, 1 replica, duplicate window 600 s."},
     "",
     {1, 600, -1, -1, 0, js_FileStorage, "fixgate.A1.out"}},
    {"three replicas, a window and limits reach the servers",
     {"A2", "-j", "$S", "-r", "3", "-d", "120", "-n", "1000", "-b", "1048576", "-a", "3600"},
     nullptr,
     0,
     {"Stream FIXGATE_A2_OUT created: subject fixgate.A2.out, 3 replicas, duplicate window 120 s.",
      "Stream FIXGATE_A2_IN created: subject fixgate.A2.in, 3 replicas, duplicate window 120 s."},
     "",
     {3, 120, 1000, 1048576, 3600, js_FileStorage, "fixgate.A2.out"}},
    {"making a site again takes the new settings and drops the limits not given",
     {"A2", "-j", "$S", "-r", "3", "-d", "300"},
     nullptr,
     0,
     {"Stream FIXGATE_A2_OUT updated: subject fixgate.A2.out, 3 replicas, duplicate window 300 s.",
      "Stream FIXGATE_A2_IN updated: subject fixgate.A2.in, 3 replicas, duplicate window 300 s."},
     "",
     {3, 300, -1, -1, 0, js_FileStorage, "fixgate.A2.out"}},
    {"five replicas on three servers are refused with the servers' reason",
     {"A3", "-j", "$S", "-r", "5"},
     nullptr,
     1,
     {},
     "Error: Fail to make stream FIXGATE_A3_OUT: no suitable peers for placement",
     {}},
    {"a subject another stream takes is refused with the servers' reason",
     {"A4", "-j", "$S"},
     "fixgate.A4.out",
     1,
     {},
     "Error: Fail to make stream FIXGATE_A4_OUT: subjects overlap with an existing stream",
     {}},
    {"servers nobody serves are named in the refusal",
     {"A5", "-j", "$DEAD"},
     nullptr,
     1,
     {},
     "Error: Fail to reach the NATS servers [nats://127.0.0.1:",
     {}},
    {"no servers named anywhere", {"A6"}, nullptr, 1, {}, "Error: No NATS servers named", {}},
    {"a site name with a dot is refused before any server is asked",
     {"A.7", "-j", "$DEAD"},
     nullptr,
     1,
     {},
     "Error: Site [A.7] cannot use JetStream",
     {}},
    {"a lease lifetime also makes the state stream and the lease bucket",
     {"A9", "-j", "$S", "-l", "6"},
     nullptr,
     0,
     {"Stream FIXGATE_A9_OUT created: subject fixgate.A9.out, 1 replica, duplicate window 600 s.",
      "Stream FIXGATE_A9_IN created: subject fixgate.A9.in, 1 replica, duplicate window 600 s.",
      "Stream FIXGATE_A9_STATE created: subject fixgate.A9.state, 1 replica, duplicate window "
      "600 s.",
      "Lease bucket FIXGATE_A9_LEASE created: lifetime 6 s, 1 replica."},
     "",
     {1, 600, -1, -1, 0, js_FileStorage, "fixgate.A9.out"},
     6},
    {"another lifetime updates the lease bucket",
     {"A9", "-j", "$S", "-l", "4"},
     nullptr,
     0,
     {"Stream FIXGATE_A9_OUT updated: subject fixgate.A9.out, 1 replica, duplicate window 600 s.",
      "Stream FIXGATE_A9_IN updated: subject fixgate.A9.in, 1 replica, duplicate window 600 s.",
      "Stream FIXGATE_A9_STATE updated: subject fixgate.A9.state, 1 replica, duplicate window "
      "600 s.",
      "Lease bucket FIXGATE_A9_LEASE updated: lifetime 4 s, 1 replica."},
     "",
     {1, 600, -1, -1, 0, js_FileStorage, "fixgate.A9.out"},
     4},
    {"a lease of three replicas on three servers",
     {"A10", "-j", "$S", "-r", "3", "-l", "6"},
     nullptr,
     0,
     {"Stream FIXGATE_A10_OUT created: subject fixgate.A10.out, 3 replicas, duplicate window 600 "
      "s.",
      "Stream FIXGATE_A10_IN created: subject fixgate.A10.in, 3 replicas, duplicate window 600 s.",
      "Stream FIXGATE_A10_STATE created: subject fixgate.A10.state, 3 replicas, duplicate window "
      "600 s.",
      "Lease bucket FIXGATE_A10_LEASE created: lifetime 6 s, 3 replicas."},
     "",
     {3, 600, -1, -1, 0, js_FileStorage, "fixgate.A10.out"},
     6},
    {"a lifetime of no seconds is the usage line",
     {"A11", "-j", "$S", "-l", "0"},
     nullptr,
     255,
     {"Usage: streammake site"},
     "",
     {}},
    {"no site is the usage line", {}, nullptr, 255, {"Usage: streammake site"}, "", {}},
    {"a replica count that is not a number is the usage line",
     {"A8", "-j", "$S", "-r", "three"},
     nullptr,
     255,
     {"Usage: streammake site"},
     "",
     {}},
    {"a window of no seconds is the usage line",
     {"A8", "-j", "$S", "-d", "0"},
     nullptr,
     255,
     {"Usage: streammake site"},
     "",
     {}},
};

TEST_F(Stream, StreammakeMakesUpdatesAndRefusesAsTheServersSay) {
    NatsLink link(NatsLink::Settings::withServers(cluster->servers()), "stream_test");
    for (const MakeCase& c : makeCases) {
        SCOPED_TRACE(c.behaviour);
        if (c.takenSubject != nullptr) occupy(link, c.takenSubject);
        std::vector<std::string> args;
        for (const std::string& a : c.args)
            args.push_back(a == "$S" ? cluster->servers() : a == "$DEAD" ? dead : a);
        ProcessOptions o;
        o.unsetEnv = {"FIXGATE_NATS_SERVERS"};
        ProcessResult r = runProgram("streammake", args, o);
        ASSERT_TRUE(r.exited) << r.err;
        EXPECT_EQ(r.exitCode, c.status) << r.out << r.err;
        std::vector<std::string> lines = nonEmptyLines(r.out);
        ASSERT_EQ(lines.size(), c.out.size()) << r.out;
        for (std::size_t i = 0; i < lines.size(); ++i)
            EXPECT_EQ(lines[i].substr(0, c.out[i].size()), c.out[i]);
        std::vector<std::string> errs = nonEmptyLines(r.err);
        if (*c.err == '\0') {
            EXPECT_TRUE(errs.empty()) << r.err;
        } else {
            ASSERT_EQ(errs.size(), 1u) << r.err;
            EXPECT_EQ(errs[0].rfind(c.err, 0), 0u) << errs[0];
        }
        if (c.status != 0) continue;
        Held h = held(link, "FIXGATE_" + args[0] + "_OUT");
        EXPECT_EQ(h.replicas, c.stored.replicas);
        EXPECT_EQ(h.duplicateSeconds, c.stored.duplicateSeconds);
        EXPECT_EQ(h.maxMessages, c.stored.maxMessages);
        EXPECT_EQ(h.maxBytes, c.stored.maxBytes);
        EXPECT_EQ(h.maxAgeSeconds, c.stored.maxAgeSeconds);
        EXPECT_EQ(h.storage, c.stored.storage);
        EXPECT_EQ(h.subject, c.stored.subject);
        if (c.lifetime == 0) continue;
        EXPECT_EQ(held(link, "FIXGATE_" + args[0] + "_STATE").replicas, c.stored.replicas);
        EXPECT_EQ(held(link, "KV_FIXGATE_" + args[0] + "_LEASE").replicas, c.stored.replicas);
        EXPECT_EQ(SiteLease(link, args[0], "stream_test").lifetimeMs(), c.lifetime * 1000);
    }
}

// The cluster's members restart on their own stores, as the outlet's and inlet's cases expect.
TEST_F(Stream, StreamsOutliveAKilledMemberAndARestartOfEveryServer) {
    ProcessOptions o;
    o.unsetEnv = {"FIXGATE_NATS_SERVERS"};
    ProcessResult made = runProgram("streammake", {"B1", "-j", cluster->servers(), "-r", "3"}, o);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    cluster->kill(1);
    EXPECT_FALSE(cluster->running(1));
    cluster->stopAll();
    for (int i = 0; i < cluster->size(); ++i) EXPECT_FALSE(cluster->running(i));
    cluster->startAll();
    for (int i = 0; i < cluster->size(); ++i) EXPECT_TRUE(cluster->running(i));
    ProcessResult again = runProgram("streammake", {"B1", "-j", cluster->url(2), "-r", "3"}, o);
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(lastLine(again.out).rfind("Stream FIXGATE_B1_IN updated:", 0), 0u) << again.out;
}

// The outlet stores every text once and in the order offered, whatever happens to the cluster
// while texts are on their way; the inlet hands them back in that order. Each row: a fault after
// a third of the texts were offered, and how it is mended before the end.
TEST_F(Stream, OutletStoresEachTextOnceInOrderThroughServerFaults) {
    struct Row {
        const char* site;
        std::function<void(NatsCluster&)> fault, mend;
        bool offerAgain;  // the first hundred ids offered a second time, after all were stored
    };
    const Row rows[] = {
        {"O1", [](NatsCluster&) {}, [](NatsCluster&) {}, true},
        {"O2", [](NatsCluster& c) { c.kill(1); }, [](NatsCluster& c) { c.start(1); }, false},
        {"O3", [](NatsCluster& c) { c.stopAll(); }, [](NatsCluster& c) { c.startAll(); }, false},
    };
    const int n = 3000;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.site);
        // The row before may have left a member catching up, and a lookup then times out.
        cluster->awaitJetStream();
        NatsLink link(NatsLink::Settings::withServers(cluster->servers()), "stream_test");
        StreamSettings settings;
        settings.replicas = 3;
        std::string stream = StreamNames::inStream(row.site);
        std::string subject = StreamNames::inSubject(row.site);
        StreamSetup::apply(link, stream, subject, settings);
        StreamOutlet outlet(link, stream, subject, 500);
        auto id = [&](int k) { return std::string(row.site) + ":1:0:" + std::to_string(k); };
        int offered = 0;
        std::size_t stored = 0;
        bool mended = false;
        for (int pass = 0; pass < 2000000 && stored < static_cast<std::size_t>(n); ++pass) {
            while (offered < n &&
                   outlet.offer(id(offered + 1), "text " + std::to_string(offered + 1)))
                ++offered;
            if (offered >= n / 3 && !mended) {
                row.fault(*cluster);
                row.mend(*cluster);
                mended = true;
            }
            outlet.drain(1);
            stored += outlet.takeAcknowledged();
        }
        ASSERT_EQ(stored, static_cast<std::size_t>(n)) << outlet.lastFault();
        if (row.offerAgain) {
            for (int k = 1; k <= 100; ++k) ASSERT_TRUE(outlet.offer(id(k), "again"));
            EXPECT_EQ(outlet.drain(20000), 0u) << outlet.lastFault();
            EXPECT_EQ(outlet.takeAcknowledged(), 100u);
        }
        EXPECT_EQ(outlet.lastStoredId(), id(n));

        // Read back by sequence, so what is judged is what the stream holds, not how a consumer
        // on a member just back delivers it; a member still catching up is asked again.
        std::vector<std::string> ids;
        for (std::uint64_t seq = 1; seq <= static_cast<std::uint64_t>(n) + 1; ++seq) {
            natsMsg* m = nullptr;
            natsStatus got = NATS_TIMEOUT;
            for (int attempt = 0; attempt < 50 && got != NATS_OK && got != NATS_NOT_FOUND;
                 ++attempt) {
                jsErrCode code = static_cast<jsErrCode>(0);
                got = js_GetMsg(&m, link.jetStream(), stream.c_str(), seq, nullptr, &code);
            }
            if (got != NATS_OK) break;
            const char* msgId = nullptr;
            natsMsgHeader_Get(m, "Nats-Msg-Id", &msgId);
            ids.push_back(msgId != nullptr ? msgId : "");
            EXPECT_NE(std::string(natsMsg_GetData(m), natsMsg_GetDataLength(m)), "again")
                << "an id offered again was stored twice";
            natsMsg_Destroy(m);
        }
        ASSERT_EQ(ids.size(), static_cast<std::size_t>(n));
        for (int k = 1; k <= n; ++k) {
            if (ids[k - 1] != id(k)) {
                ADD_FAILURE() << "position " << k << " holds " << ids[k - 1];
                break;
            }
        }
    }
}

// An ordered reader that finds a hole (messages delivered while a server died never arrived, and
// the consumer counts them delivered) makes the consumer anew from the hole and reads on in order;
// a new reader starts after what the old one holds.
TEST_F(Stream, AnOrderedReaderRewindsToAHoleAndANewOneStartsAfterWhatItHolds) {
    NatsLink link(NatsLink::Settings::withServers(cluster->servers()), "stream_test");
    std::string stream = StreamNames::outStream("R1"), subject = StreamNames::outSubject("R1");
    StreamSetup::apply(link, stream, subject, StreamSettings{});
    StreamOutlet outlet(link, stream, subject, 100);
    for (int k = 1; k <= 20; ++k) ASSERT_TRUE(outlet.offer("R1:" + std::to_string(k), "t"));
    ASSERT_EQ(outlet.drain(20000), 0u);
    auto sequences = [](const std::vector<StreamInlet::Message>& got) {
        std::vector<std::uint64_t> out;
        for (const StreamInlet::Message& m : got) out.push_back(m.streamSeq);
        return out;
    };
    using Seqs = std::vector<std::uint64_t>;
    {
        StreamInlet reader(link, stream, subject, "gateway", true, 0);
        std::vector<StreamInlet::Message> first = reader.fetch(5, 2000);
        EXPECT_EQ(sequences(first), (Seqs{1, 2, 3, 4, 5}));
        reader.ackThrough(first, first.size());
        reader.fetch(5, 2000);  // 6-10 "lost on their way": never acknowledged
        EXPECT_EQ(sequences(reader.fetch(2, 2000)), (Seqs{11, 12})) << "the hole";
        ASSERT_TRUE(reader.rewind(5));
        std::vector<StreamInlet::Message> again = reader.fetch(3, 2000);
        EXPECT_EQ(sequences(again), (Seqs{6, 7, 8}));
        reader.ackThrough(again, again.size());
    }
    // The next session's reader holds up to 9 in its journal: it starts at 10, not at the
    // acknowledgement floor (8) and not after the messages the old one had fetched (12).
    StreamInlet next(link, stream, subject, "gateway", true, 9);
    EXPECT_EQ(sequences(next.fetch(3, 2000)), (Seqs{10, 11, 12}));
}

}  // namespace
