// Pipes: newline framing, reassembly across partial reads, buffered messages handed out without
// touching the descriptor, size limits and recovery from an over-long line.
#include "Pipe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

struct PipeTest : ::testing::Test {
    Pipe pipe;
    PipeTest() { pipe.setBlockingMode(nonBlockMode); }
    ~PipeTest() override { pipe.close(); }
    void raw(const std::string& bytes) {
        pipe.writeBuf(bytes.data(), static_cast<int>(bytes.size()));
    }
};

}  // namespace

TEST_F(PipeTest, BackToBackMessagesComeOutOneByOneWithoutRereadingThePipe) {
    pipe.writeMsg(
        std::string("35=D\x01"
                    "11=1\x01"));
    pipe.writeMsg(
        std::string("35=F\x01"
                    "11=2\x01"));
    EXPECT_EQ(pipe.readMsg(),
              "35=D\x01"
              "11=1\x01");
    // Both arrived in the first read: the second comes from the buffer even with the pipe gone.
    pipe.close();
    EXPECT_EQ(pipe.readMsg(),
              "35=F\x01"
              "11=2\x01");
    try {
        pipe.readMsg();
        ADD_FAILURE() << "a read on a closed pipe succeeded";
    } catch (const PipeException& e) {
        EXPECT_STREQ(e.what(), "Fail to read message from Pipe.");
    }
}

TEST_F(PipeTest, MessageSplitAcrossWritesIsHeldUntilItsNewlineArrives) {
    EXPECT_EQ(pipe.readMsg(), "");
    raw("first part");
    EXPECT_EQ(pipe.readMsg(), "");
    EXPECT_EQ(pipe.readMsg(), "");
    raw(" and the rest\nnext st");
    EXPECT_EQ(pipe.readMsg(), "first part and the rest");
    EXPECT_EQ(pipe.readMsg(), "");
    raw("arts\n\nlast\n");
    EXPECT_EQ(pipe.readMsg(), "next starts");
    // An empty line gives "" and is consumed.
    EXPECT_EQ(pipe.readMsg(), "");
    EXPECT_EQ(pipe.readMsg(), "last");
    EXPECT_EQ(pipe.readMsg(), "");
}

TEST_F(PipeTest, EmptyNonBlockingPipeReturnsEmptyAtOnce) {
    char buf[16];
    EXPECT_EQ(pipe.readBuf(buf, sizeof buf), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pipe.readMsg(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(PipeEnd, BlockingReadAfterTheWriterClosedReturnsZero) {
    Pipe pipe;
    // The write end is swapped for /dev/null, so it is gone while the Pipe still owns a descriptor.
    int null = ::open("/dev/null", O_WRONLY);
    ASSERT_GE(null, 0);
    ASSERT_EQ(::dup2(null, pipe.getWriterId()), pipe.getWriterId());
    ::close(null);
    char buf[16];
    EXPECT_EQ(pipe.readBuf(buf, sizeof buf), 0);
    EXPECT_EQ(pipe.readMsg(), "");
}

TEST(PipeEnd, DestructorClosesBothEnds) {
    int ends[2];
    {
        Pipe pipe;
        ends[0] = pipe.getReaderId();
        ends[1] = pipe.getWriterId();
    }
    for (int end : ends) EXPECT_EQ(fcntl(end, F_GETFD), -1) << end;
}

TEST_F(PipeTest, LongestMessageGoesInOneWriteAndLongerOnesAreRefused) {
    std::string longest(4094, 'm');
    pipe.writeMsg(longest);
    char buf[5000];
    EXPECT_EQ(pipe.readBuf(buf, sizeof buf), 4095);
    EXPECT_EQ(buf[4094], '\n');
    pipe.writeMsg(longest);
    EXPECT_EQ(pipe.readMsg(), longest);

    try {
        pipe.writeMsg(std::string(4095, 'n'));
        ADD_FAILURE() << "a 4095-character message was written";
    } catch (const PipeException& e) {
        EXPECT_STREQ(e.what(), "Fail to write a message to Pipe.");
    }
    EXPECT_EQ(pipe.readBuf(buf, sizeof buf), 0);
}

TEST_F(PipeTest, OverLongLineIsDroppedWholeAndLaterMessagesSurvive) {
    raw(std::string(5000, 'L'));
    for (int i = 0; i < 4 && pipe.droppedLines() == 0; ++i) EXPECT_EQ(pipe.readMsg(), "");
    EXPECT_EQ(pipe.droppedLines(), 1);
    raw(std::string(3000, 'L') + "\nafter\n");
    std::string got;
    for (int i = 0; i < 5 && got.empty(); ++i) got = pipe.readMsg();
    EXPECT_EQ(got, "after");
    EXPECT_EQ(pipe.readMsg(), "");
    pipe.writeMsg(std::string("again"));
    EXPECT_EQ(pipe.readMsg(), "again");
    EXPECT_EQ(pipe.droppedLines(), 1);
}

TEST_F(PipeTest, BlockingModeSwitchesOnlyTheReadEnd) {
    EXPECT_NE(fcntl(pipe.getReaderId(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(fcntl(pipe.getWriterId(), F_GETFL) & O_NONBLOCK, 0);
    pipe.setBlockingMode(blockMode);
    EXPECT_EQ(fcntl(pipe.getReaderId(), F_GETFL) & O_NONBLOCK, 0);
    pipe.close();
    EXPECT_THROW(pipe.setBlockingMode(nonBlockMode), PipeException);
    EXPECT_THROW(pipe.writeMsg(std::string("x")), PipeException);
    pipe.close();
}

TEST_F(PipeTest, MessagesFromAnotherThreadArriveInOrderAndIntact) {
    const int count = 2000;
    std::thread writer([&] {
        for (int i = 0; i < count; ++i) {
            pipe.writeMsg(
                "8=FIX.4.2\x01"
                "11=" +
                std::to_string(i) + std::string(i % 300, 'p'));
        }
    });
    int next = 0;
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (next < count && std::chrono::steady_clock::now() < deadline) {
        std::string m = pipe.readMsg();
        if (m.empty()) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(m,
                  "8=FIX.4.2\x01"
                  "11=" +
                      std::to_string(next) + std::string(next % 300, 'p'));
        ++next;
    }
    writer.join();
    EXPECT_EQ(next, count);
    EXPECT_EQ(pipe.droppedLines(), 0);
}
