#include "Socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "LoopbackPair.h"
#include "ServerSocket.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The text of the SocketException fn throws, or "no exception".
template <typename Fn>
std::string failureOf(Fn fn) {
    try {
        fn();
    } catch (const SocketException& e) {
        return e.what();
    }
    return "no exception";
}

// Fills the near side's send path until the socket refuses; returns the refusing result.
int fillUntilRefused(LoopbackPair& pair) {
    LoopbackPair::setBuffers(pair.near(), 4096, 0);
    LoopbackPair::setBuffers(pair.far(), 0, 4096);
    pair.near().setBlockingMode(Socket::nonBlock);
    std::string chunk(16384, 'x');
    for (int i = 0; i < 10000; ++i) {
        int n = pair.near().sendMsg(chunk.data(), static_cast<int>(chunk.size()));
        if (n < 0) return n;
    }
    return 0;
}

}  // namespace

TEST(Socket, ConnectsByDottedAddressAndTheListenerLearnsThePeerAddress) {
    ServerSocket listener(0, 5);
    Socket client(std::string("127.0.0.1"), listener.getLocalPort());
    Socket served(listener.accept());
    EXPECT_STREQ(listener.getRemoteIp(), "127.0.0.1");

    const char hello[] = "8=FIX.4.2";
    EXPECT_EQ(client.sendMsg(hello, 9), 9);
    ASSERT_TRUE(served.waitReadable(2000));
    char buf[Socket::bufferSize + 1];
    EXPECT_EQ(served.recvMsg(buf, Socket::bufferSize), 9);
    EXPECT_STREQ(buf, "8=FIX.4.2");

    EXPECT_EQ(client.closeOff(), 0);
    EXPECT_EQ(served.closeOff(), 0);
    listener.closeOff();
}

TEST(Socket, ReceiveWithNothingWaitingReturnsZeroAndAnEmptyText) {
    LoopbackPair pair;
    pair.near().setBlockingMode(Socket::nonBlock);
    char buf[16];
    std::memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(pair.near().recvMsg(buf, 15), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_FALSE(pair.near().peerClosed());
}

TEST(Socket, ReceiveStopsAtTheBufferLengthAndTerminatesTheBytes) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.farWrite("abcdefgh"));
    ASSERT_TRUE(pair.near().waitReadable(2000));
    char buf[8];
    std::memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(pair.near().recvMsg(buf, 5), 5);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(pair.near().recvMsg(buf, 5), 3);
    EXPECT_STREQ(buf, "fgh");
}

TEST(Socket, ReceiveAfterThePeerClosedReturnsZeroAndReportsTheClose) {
    LoopbackPair pair;
    pair.near().setBlockingMode(Socket::nonBlock);
    pair.closeFar();
    ASSERT_TRUE(pair.near().waitReadable(2000));
    char buf[16];
    EXPECT_EQ(pair.near().recvMsg(buf, 15), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_TRUE(pair.near().peerClosed());
}

TEST(Socket, SendOnAFullSocketReturnsNegativeWithoutThrowing) {
    LoopbackPair pair;
    int refused = 1;
    EXPECT_EQ(failureOf([&] { refused = fillUntilRefused(pair); }), "no exception");
    EXPECT_LT(refused, 0);
}

TEST(Socket, SendOnAResetConnectionThrowsAndTheProcessGoesOn) {
    LoopbackPair pair;
    pair.resetFar();
    ASSERT_TRUE(pair.near().waitReadable(2000));
    // The first send may still be taken before the reset is seen; a bounded few must fail.
    std::string thrown = "no exception";
    for (int i = 0; i < 50 && thrown == "no exception"; ++i)
        thrown = failureOf([&] { pair.near().sendMsg("35=0", 4); });
    EXPECT_EQ(thrown, "Fail to send message.");
    // Reaching this line means no SIGPIPE ended the test process.
    EXPECT_EQ(failureOf([&] { pair.near().sendMsg("35=0", 4); }), "Fail to send message.");
}

TEST(Socket, ReceiveOnAResetConnectionThrows) {
    LoopbackPair pair;
    pair.resetFar();
    ASSERT_TRUE(pair.near().waitReadable(2000));
    char buf[16];
    EXPECT_EQ(failureOf([&] { pair.near().recvMsg(buf, 15); }), "Fail to recv message.");
}

TEST(Socket, ConnectFailuresCarryTheConnectText) {
    ServerSocket listener(0, 5);
    const int port = listener.getLocalPort();
    EXPECT_EQ(failureOf([&] { Socket s(std::string("localhost"), port); }),
              "Fail to connect the remote server.");
    EXPECT_EQ(failureOf([&] { Socket s(std::string("127.0.0.1.5"), port); }),
              "Fail to connect the remote server.");
    listener.closeOff();
    // Nobody listens on the port any more.
    EXPECT_EQ(failureOf([&] { Socket s(std::string("127.0.0.1"), port); }),
              "Fail to connect the remote server.");
}

TEST(Socket, ListeningOnAPortAnotherSocketHoldsFailsToBind) {
    ServerSocket holder(0, 5);
    EXPECT_EQ(failureOf([&] { ServerSocket second(holder.getLocalPort(), 5); }),
              "Failed to bind socket.");
    holder.closeOff();
}

TEST(Socket, AListenerTakesItsPortBackWhileAnEarlierConnectionLingers) {
    int port = 0;
    {
        ServerSocket first(0, 5);
        port = first.getLocalPort();
        Socket client(std::string("127.0.0.1"), port);
        Socket served(first.accept());
        // The accepting side closes first, so its end of the connection stays in TIME_WAIT.
        served.closeOff();
        ASSERT_TRUE(client.waitReadable(2000));
        client.closeOff();
        first.closeOff();
    }
    EXPECT_EQ(failureOf([&] {
                  ServerSocket again(port, 5);
                  again.closeOff();
              }),
              "no exception");
}

TEST(Socket, OperationsOnAClosedDescriptorCarryTheirTexts) {
    LoopbackPair pair;
    Socket copy = pair.far();
    pair.closeFar();
    EXPECT_EQ(failureOf([&] { copy.closeOff(); }), "Fail to close socket.");
    EXPECT_EQ(failureOf([&] { copy.setBlockingMode(Socket::nonBlock); }),
              "Failed to get sockect flags.");
    EXPECT_EQ(failureOf([&] { copy.setOption(SO_KEEPALIVE, Socket::optionOn); }),
              "Failed in Socket::setOption.");
    EXPECT_EQ(failureOf([&] { copy.setListenBacklog(5); }), "Failed to set listen backlog.");
    EXPECT_EQ(failureOf([&] { copy.acceptNewSocket(); }), "Fail to accept new socket.");
}

TEST(Socket, SelectWakesAtOnceForTheOtherDescriptorTheSocketOrWritability) {
    LoopbackPair pair;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);

    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    auto start = Clock::now();
    pair.near().selectEvent(fds[0], 5);
    EXPECT_LT(secondsSince(start), 4.0) << "the pipe was readable";
    char c;
    ASSERT_EQ(::read(fds[0], &c, 1), 1);

    ASSERT_TRUE(pair.farWrite("x"));
    start = Clock::now();
    pair.near().selectEvent(fds[0], 5);
    EXPECT_LT(secondsSince(start), 4.0) << "the socket was readable";
    char buf[4];
    ASSERT_EQ(pair.near().recvMsg(buf, 3), 1);

    start = Clock::now();
    pair.near().selectEvent(fds[0], 5, true);
    EXPECT_LT(secondsSince(start), 4.0) << "an idle socket can take bytes";

    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(Socket, SelectWithNothingReadyWaitsOutItsTimeout) {
    LoopbackPair pair;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    auto start = Clock::now();
    pair.near().selectEvent(fds[0], 1);
    EXPECT_GE(secondsSince(start), 0.9);
    EXPECT_FALSE(pair.near().waitReadable(50));
    ::close(fds[0]);
    ::close(fds[1]);
}
