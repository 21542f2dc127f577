#include "Comm.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackPair.h"

namespace {

using Clock = std::chrono::steady_clock;

// Test texts are written with '|' for SOH.
std::string soh(std::string text) {
    for (char& c : text)
        if (c == '|') c = '\x01';
    return text;
}

// A frame of `begin` (FIX.4.2 by default) around body (given with '|'), with a correct
// BodyLength and CheckSum.
std::string frame(const std::string& body, const std::string& begin = "FIX.4.2") {
    std::string b = soh(body);
    std::string m = "8=" + begin + soh("|9=") + std::to_string(b.size()) + '\x01' + b;
    unsigned sum = 0;
    for (unsigned char c : m) sum += c;
    char trailer[8];
    std::snprintf(trailer, sizeof(trailer), "10=%03u", sum % 256);
    return m + trailer + '\x01';
}

// An application message of exactly `total` bytes on the wire (total >= 60).
std::string messageOfSize(std::size_t total, char fill) {
    std::string body = "35=D|58=";
    std::string probe = frame(body);
    // Each added body byte adds one; the BodyLength digits may add more, so adjust by trial.
    std::string m;
    for (std::size_t pad = total > probe.size() + 4 ? total - probe.size() - 4 : 0; pad < total;
         ++pad) {
        m = frame(body + std::string(pad, fill) + "|");
        if (m.size() >= total) break;
    }
    return m;
}

// Calls recv() until it hands out a message or `tries` short waits have passed.
std::string recvSoon(Comm& comm, Socket& s, int tries = 50) {
    for (int i = 0; i < tries; ++i) {
        std::string m = comm.recv();
        if (!m.empty() || comm.isBroken() || comm.isClosed()) return m;
        s.waitReadable(20);
    }
    return std::string();
}

// Reads from the far side until `want` bytes arrived, flushing the near side whenever it has
// pending bytes; reads in slices of `slice` bytes to play a slow reader.
std::string drainWithFlush(LoopbackPair& pair, Comm& comm, std::size_t want, std::size_t slice) {
    std::string got;
    for (int i = 0; i < 20000 && got.size() < want; ++i) {
        if (comm.pending() > 0) comm.flush();
        got += pair.farRead(5, slice);
    }
    return got;
}

const std::string heartbeat = soh("8=FIX.4.2|9=5|35=0|10=161|");

}  // namespace

TEST(CommFraming, TheHeartbeatExampleIsOneWholeMessageOf26Bytes) {
    LoopbackPair pair;
    pair.near().setBlockingMode(Socket::nonBlock);
    Comm comm(pair.near());
    ASSERT_EQ(heartbeat.size(), 26u) << "12 bytes, 1 digit, SOH, 5 body bytes, 7 trailer bytes";
    ASSERT_TRUE(pair.farWrite(heartbeat + soh("8=FIX")));
    EXPECT_EQ(recvSoon(comm, pair.near()), heartbeat);
    EXPECT_EQ(comm.recv(), "") << "the 5 bytes after it are only a start";
    EXPECT_FALSE(comm.isBroken());
}

TEST(CommFraming, TwoMessagesInOneReadComeOutOnePerCall) {
    LoopbackPair pair;
    pair.near().setBlockingMode(Socket::nonBlock);
    Comm comm(pair.near());
    const std::string order = frame("35=D|49=BUYSIDE|56=SELLSIDE|34=2|11=ORD1|55=IBM|");
    ASSERT_TRUE(pair.farWrite(heartbeat + order));
    ASSERT_TRUE(pair.near().waitReadable(2000));
    // Both are in the socket before the first call, so the first read takes them together.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(comm.recv(), heartbeat);
    EXPECT_EQ(comm.recv(), order);
    EXPECT_EQ(comm.recv(), "");
}

TEST(CommFraming, AMessageSplitAcrossReadsIsHeldUntilItIsComplete) {
    LoopbackPair pair;
    pair.near().setBlockingMode(Socket::nonBlock);
    Comm comm(pair.near());
    const std::string order = frame("35=D|34=7|11=ORD7|55=IBM|54=1|38=100|");
    // Cut inside the header, inside the BodyLength value, inside the body and inside the trailer.
    const std::size_t cuts[] = {5, 13, 30, order.size() - 3, order.size()};
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        ASSERT_TRUE(pair.farWrite(order.substr(from, cut - from)));
        from = cut;
        std::string got = recvSoon(comm, pair.near(), cut == order.size() ? 50 : 3);
        if (cut < order.size()) {
            EXPECT_EQ(got, "") << "handed out after " << cut << " bytes";
        } else {
            EXPECT_EQ(got, order);
        }
    }
    EXPECT_FALSE(comm.isBroken());
}

TEST(CommFraming, AMessageLargerThanOneReadIsAssembledFromSeveralReceives) {
    LoopbackPair pair;
    pair.near().setBlockingMode(Socket::nonBlock);
    Comm comm(pair.near());
    const std::string big = messageOfSize(10000, 'q');
    ASSERT_GE(big.size(), 10000u);
    ASSERT_TRUE(pair.farWrite(big + heartbeat));
    EXPECT_EQ(recvSoon(comm, pair.near(), 100), big);
    EXPECT_EQ(recvSoon(comm, pair.near()), heartbeat);
}

TEST(CommFraming, AStreamUnder20BytesIsNeverHandedOut) {
    LoopbackPair pair;
    pair.near().setBlockingMode(Socket::nonBlock);
    Comm comm(pair.near());
    // 19 bytes: a heartbeat without its trailer.
    const std::string start = soh("8=FIX.4.2|9=5|35=0|");
    ASSERT_EQ(start.size(), 19u);
    ASSERT_TRUE(pair.farWrite(start));
    EXPECT_EQ(recvSoon(comm, pair.near(), 5), "");
    EXPECT_FALSE(comm.isBroken());
    EXPECT_FALSE(comm.isClosed());
    ASSERT_TRUE(pair.farWrite(soh("10=161|")));
    EXPECT_EQ(recvSoon(comm, pair.near()), heartbeat);
}

TEST(CommFraming, NothingYetIsNeitherClosedNorBroken) {
    LoopbackPair pair;
    pair.near().setBlockingMode(Socket::nonBlock);
    Comm comm(pair.near());
    EXPECT_EQ(comm.recv(), "");
    EXPECT_FALSE(comm.isClosed());
    EXPECT_FALSE(comm.isBroken());
}

// Streams that cannot be framed end the stream: recv() stays empty, reads nothing more and
// isBroken() tells the session to end the connection.
TEST(CommFraming, StreamsThatCannotBeFramedAreReportedBroken) {
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"no SOH within the BodyLength digits after byte 12",
         soh("8=FIX.4.2|9=00000000000000000005|35=0|10=161|")},
        {"empty BodyLength", soh("8=FIX.4.2|9=|35=0|10=161|")},
        {"non-numeric BodyLength", soh("8=FIX.4.2|9=abc|35=0|10=161|")},
        {"negative BodyLength", soh("8=FIX.4.2|9=-5|35=0|10=161|")},
        {"BodyLength above the bound", soh("8=FIX.4.2|9=1048577|35=0|10=161|")},
        {"BeginString of seventeen characters", soh("8=FIXT.1.1.ABCDEFGH|9=5|35=0|10=161|")},
        {"empty BeginString", soh("8=|9=5|35=0|10=161|")},
        {"not FIX at all, fewer than 20 bytes", "GET / HTTP/1.0\r\n\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LoopbackPair pair;
        pair.near().setBlockingMode(Socket::nonBlock);
        Comm comm(pair.near());
        ASSERT_TRUE(pair.farWrite(c.bytes));
        EXPECT_EQ(recvSoon(comm, pair.near()), "");
        EXPECT_TRUE(comm.isBroken());
        EXPECT_FALSE(comm.isClosed());
        // A good message behind the garbage is not read: the stream has ended.
        ASSERT_TRUE(pair.farWrite(heartbeat));
        ASSERT_TRUE(pair.near().waitReadable(2000));
        EXPECT_EQ(comm.recv(), "");
        char probe[64];
        EXPECT_EQ(pair.near().recvMsg(probe, 63), static_cast<int>(heartbeat.size()))
            << "the heartbeat must still be in the socket, untouched by recv()";
    }
}

// With resync (the standard session rules) the same garbage is skipped up to the next frame, and
// a frame whose BodyLength lies comes out as it was cut, for validation to refuse.
TEST(CommFraming, WithResyncGarbageIsSkippedToTheNextFrame) {
    const std::string order = frame("35=D|49=BUYSIDE|56=SELLSIDE|34=2|11=ORD1|55=IBM|");
    std::string tooShort = order;
    tooShort.replace(tooShort.find("9=") + 2, 2, "30");
    std::string tooLong = order;
    tooLong.replace(tooLong.find("9=") + 2, 2, std::to_string(std::stoi(order.substr(12, 2)) + 2));
    // BodyLength counts "35=0|"; the trailer that follows has one digit, or is missing.
    const std::string shortSum = soh("8=FIX.4.2|9=5|35=0|10=0|");
    const std::string noSum = soh("8=FIX.4.2|9=5|35=0|");
    const struct {
        const char* what;
        std::string bytes;
        std::vector<std::string> out;  // what recv() hands out, in order
    } cases[] = {
        {"noise before a frame", "GET / HTTP/1.0\r\n\r\n" + heartbeat, {heartbeat}},
        {"non-numeric BodyLength", soh("8=FIX.4.2|9=abc|35=0|10=161|") + heartbeat, {heartbeat}},
        {"BodyLength above the bound", soh("8=FIX.4.2|9=1048577|35=0|") + heartbeat, {heartbeat}},
        // A garbled frame ends at its own trailer or before the next "8=FIX", never inside it.
        {"BodyLength too short: the frame runs to its own trailer",
         tooShort + heartbeat,
         {tooShort, heartbeat}},
        {"BodyLength too long by two", tooLong + heartbeat, {tooLong, heartbeat}},
        {"CheckSum field of one digit", shortSum + heartbeat, {shortSum, heartbeat}},
        {"no CheckSum field at all", noSum + heartbeat + heartbeat, {noSum, heartbeat, heartbeat}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LoopbackPair pair;
        pair.near().setBlockingMode(Socket::nonBlock);
        Comm comm(pair.near());
        comm.setResync(true);
        ASSERT_TRUE(pair.farWrite(c.bytes));
        for (const std::string& want : c.out) EXPECT_EQ(recvSoon(comm, pair.near()), want);
        EXPECT_FALSE(comm.isBroken());
        // Garbage without any frame start keeps the buffer short and the stream open.
        ASSERT_TRUE(pair.farWrite(std::string(5000, 'x') + heartbeat));
        EXPECT_EQ(recvSoon(comm, pair.near()), heartbeat);
    }
}

// Which version a session takes is its own check: every BeginString of the FIX family, and any
// other of up to 16 bytes, is framed by its BodyLength, in one read or byte by byte.
TEST(CommFraming, EveryBeginStringUpToSixteenBytesIsFramedWhole) {
    for (const char* begin : {"FIX.4.0", "FIX.4.4", "FIXT.1.1", "F", "FIXT.1.1.ABCDEFG"}) {
        SCOPED_TRACE(begin);
        const std::string order = frame("35=D|49=BUYSIDE|56=SELLSIDE|34=2|11=ORD1|", begin);
        for (bool piecewise : {false, true}) {
            LoopbackPair pair;
            pair.near().setBlockingMode(Socket::nonBlock);
            Comm comm(pair.near());
            if (piecewise) {
                for (std::size_t i = 0; i + 1 < order.size(); ++i) {
                    ASSERT_TRUE(pair.farWrite(order.substr(i, 1)));
                    ASSERT_EQ(comm.recv(), "") << "after byte " << i;
                }
                ASSERT_TRUE(pair.farWrite(order.substr(order.size() - 1)));
                EXPECT_EQ(recvSoon(comm, pair.near()), order);
                ASSERT_TRUE(pair.farWrite(heartbeat));
                EXPECT_EQ(recvSoon(comm, pair.near()), heartbeat);
            } else {
                ASSERT_TRUE(pair.farWrite(order + heartbeat));
                EXPECT_EQ(recvSoon(comm, pair.near()), order);
                EXPECT_EQ(recvSoon(comm, pair.near()), heartbeat);
            }
            EXPECT_FALSE(comm.isBroken());
        }
    }
}

TEST(CommFraming, ABodyLengthAtTheBoundIsAwaitedNotRefused) {
    LoopbackPair pair;
    pair.near().setBlockingMode(Socket::nonBlock);
    Comm comm(pair.near());
    ASSERT_EQ(Comm::MaxBodyLength, 1048576);
    ASSERT_TRUE(pair.farWrite(soh("8=FIX.4.2|9=1048576|35=0|")));
    EXPECT_EQ(recvSoon(comm, pair.near(), 5), "");
    EXPECT_FALSE(comm.isBroken());
}

TEST(CommClose, PeerCloseIsReportedAfterTheMessagesSentBeforeIt) {
    LoopbackPair pair;
    pair.near().setBlockingMode(Socket::nonBlock);
    Comm comm(pair.near());
    const std::string logout = frame("35=5|34=3|");
    ASSERT_TRUE(pair.farWrite(heartbeat + logout));
    pair.closeFar();
    EXPECT_EQ(recvSoon(comm, pair.near()), heartbeat);
    EXPECT_FALSE(comm.isClosed());
    EXPECT_EQ(recvSoon(comm, pair.near()), logout);
    EXPECT_FALSE(comm.isClosed());
    EXPECT_EQ(recvSoon(comm, pair.near()), "");
    EXPECT_TRUE(comm.isClosed());
    EXPECT_FALSE(comm.isBroken());
}

TEST(CommClose, PeerCloseInTheMiddleOfAMessageIsReportedAndDropsThePart) {
    LoopbackPair pair;
    pair.near().setBlockingMode(Socket::nonBlock);
    Comm comm(pair.near());
    ASSERT_TRUE(pair.farWrite(heartbeat.substr(0, 22)));
    pair.closeFar();
    EXPECT_EQ(recvSoon(comm, pair.near()), "");
    EXPECT_TRUE(comm.isClosed());
}

TEST(CommSend, ASessionSocketSendsSmallMessagesWithoutNaglesDelay) {
    // With the delay on, a message waits for the acknowledgement of the one before, which the
    // peer holds back until it has something to send: paced traffic then crawls.
    LoopbackPair pair;
    Comm comm(pair.near());
    int on = 0;
    socklen_t len = sizeof(on);
    ASSERT_EQ(getsockopt(pair.near().getSocket(), IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
    EXPECT_NE(on, 0);
}

TEST(CommSend, OneSliceFirstThenTheRestOnFlush) {
    LoopbackPair pair;
    LoopbackPair::setBuffers(pair.near(), 1 << 20, 0);
    LoopbackPair::setBuffers(pair.far(), 0, 1 << 20);
    pair.near().setBlockingMode(Socket::nonBlock);
    Comm comm(pair.near());
    const std::string big = messageOfSize(Comm::SendSlice + 904, 'z');
    const std::size_t rest = big.size() - Comm::SendSlice;
    comm.send(big);
    EXPECT_EQ(comm.pending(), rest);
    EXPECT_EQ(comm.flush(), static_cast<int>(rest));
    EXPECT_EQ(comm.pending(), 0u);
    EXPECT_EQ(comm.flush(), 0) << "nothing pending, nothing sent";
    std::string got;
    for (int i = 0; i < 100 && got.size() < big.size(); ++i) got += pair.farRead(100, 10000);
    EXPECT_EQ(got, big);
}

TEST(CommSend, ASlowReaderGetsEveryByteInOrderThroughFlushAlone) {
    LoopbackPair pair;
    LoopbackPair::setBuffers(pair.near(), 4096, 0);
    LoopbackPair::setBuffers(pair.far(), 0, 4096);
    pair.near().setBlockingMode(Socket::nonBlock);
    Comm comm(pair.near());
    std::string big = messageOfSize(40000, 'a');
    // Distinct bytes along the message so a reordering or a repeated slice shows.
    for (std::size_t i = 40; i + 12 < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);

    comm.send(big);
    ASSERT_GT(comm.pending(), 0u);
    std::string got = drainWithFlush(pair, comm, big.size(), 300);
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(got == big) << "bytes arrived out of order or twice";
    EXPECT_EQ(comm.pending(), 0u);
}

TEST(CommSend, TextQueuedBehindAFullSocketKeepsOrderAndIsSentOnce) {
    LoopbackPair pair;
    LoopbackPair::setBuffers(pair.near(), 4096, 0);
    LoopbackPair::setBuffers(pair.far(), 0, 4096);
    pair.near().setBlockingMode(Socket::nonBlock);
    Comm comm(pair.near());

    // Fill the socket until a send leaves the whole text pending.
    std::string expected;
    int sent = 0;
    for (; sent < 2000; ++sent) {
        std::string m = frame("35=D|34=" + std::to_string(sent + 1) +
                              "|58=" + std::string(200, static_cast<char>('A' + sent % 26)) + "|");
        std::size_t before = comm.pending();
        comm.send(m);
        expected += m;
        if (comm.pending() >= before + m.size()) break;
    }
    ASSERT_LT(sent, 2000) << "the socket never filled up";
    const time_t stamped = comm.getSendTime();
    EXPECT_GE(stamped, std::time(nullptr) - 1) << "a send that sent nothing still stamps the time";

    std::string got = drainWithFlush(pair, comm, expected.size(), 1000);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    EXPECT_EQ(comm.getSendTime(), stamped) << "flush is no new send";
}

TEST(CommSend, SelectWakesWhenPendingBytesCanBeWritten) {
    LoopbackPair pair;
    LoopbackPair::setBuffers(pair.near(), 4096, 0);
    LoopbackPair::setBuffers(pair.far(), 0, 4096);
    pair.near().setBlockingMode(Socket::nonBlock);
    Comm comm(pair.near());
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);

    std::string filler(4000, 'f');
    for (int i = 0; i < 500 && comm.pending() == 0; ++i) comm.send(filler);
    ASSERT_GT(comm.pending(), 0u);

    // A reader drains in the background until the wait is over; the wait must end once the
    // socket takes bytes, well before the 5-second timeout, with neither the pipe nor the socket
    // readable.
    std::atomic<bool> woke{false};
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (int i = 0; i < 1000 && !woke; ++i) pair.farRead(5, 65536);
    });
    auto start = Clock::now();
    comm.selectWithEvent(fds[0], 5);
    double waited = std::chrono::duration<double>(Clock::now() - start).count();
    woke = true;
    reader.join();
    EXPECT_LT(waited, 4.0);
    EXPECT_GT(comm.flush(), 0);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(CommRecvWithin, ReturnsAMessageThatArrivesInPiecesOnABlockingSocket) {
    LoopbackPair pair;
    Comm comm(pair.near());
    const std::string logon = frame("35=A|49=BUYSIDE|56=SELLSIDE|34=1|98=0|108=30|");
    ASSERT_TRUE(pair.farWrite(logon.substr(0, 17)));
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        pair.farWrite(logon.substr(17) + heartbeat);
    });
    std::string got = comm.recvWithin(10);
    writer.join();
    EXPECT_EQ(got, logon);
    EXPECT_EQ(comm.recvWithin(10), heartbeat) << "bytes after the first message are kept";
}

TEST(CommRecvWithin, FailsOnTimeoutPeerCloseOrGarbage) {
    {
        LoopbackPair pair;
        Comm comm(pair.near());
        ASSERT_TRUE(pair.farWrite(heartbeat.substr(0, 10)));
        auto start = Clock::now();
        EXPECT_EQ(comm.recvWithin(1), "");
        double waited = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_GE(waited, 0.9);
        EXPECT_LT(waited, 5.0);
        EXPECT_FALSE(comm.isClosed());
        EXPECT_FALSE(comm.isBroken());
    }
    {
        LoopbackPair pair;
        Comm comm(pair.near());
        ASSERT_TRUE(pair.farWrite(heartbeat.substr(0, 10)));
        pair.closeFar();
        EXPECT_EQ(comm.recvWithin(30), "");
        EXPECT_TRUE(comm.isClosed());
    }
    {
        LoopbackPair pair;
        Comm comm(pair.near());
        ASSERT_TRUE(pair.farWrite(soh("8=FIX.4.2|9=x|35=A|10=000|")));
        EXPECT_EQ(comm.recvWithin(30), "");
        EXPECT_TRUE(comm.isBroken());
    }
}

TEST(CommActivity, ActivityFollowsReceivesAndSendsInWholeSeconds) {
    LoopbackPair pair;
    pair.near().setBlockingMode(Socket::nonBlock);
    Comm comm(pair.near());
    comm.timeReset();
    EXPECT_TRUE(comm.isActive(1));
    EXPECT_TRUE(comm.isActive(30));
    EXPECT_FALSE(comm.isActive(0));

    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_FALSE(comm.isActive(1)) << "a whole second without traffic";
    EXPECT_TRUE(comm.isActive(30));

    const time_t before = comm.getRecvTime();
    EXPECT_EQ(comm.recv(), "");
    EXPECT_EQ(comm.getRecvTime(), before) << "a receive that brought nothing is no activity";
    ASSERT_TRUE(pair.farWrite(heartbeat));
    EXPECT_EQ(recvSoon(comm, pair.near()), heartbeat);
    EXPECT_GT(comm.getRecvTime(), before);
    EXPECT_TRUE(comm.isActive(1));

    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_FALSE(comm.isActive(1));
    comm.send(heartbeat);
    EXPECT_TRUE(comm.isActive(1)) << "a send counts as activity";
}

TEST(CommDisplay, ConvertShowsEachSohAsText) {
    EXPECT_EQ(Comm::convert(soh("35=0|")), "35=0<SOH>");
    EXPECT_EQ(Comm::convert(heartbeat), "8=FIX.4.2<SOH>9=5<SOH>35=0<SOH>10=161<SOH>");
    EXPECT_EQ(Comm::convert("no separators"), "no separators");
}
