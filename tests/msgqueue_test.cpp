// Message queues: typed reads, wait and no-wait modes, interrupted reads, size limits, the
// waiting retry of a full queue, and foreign messages sent by raw system calls.
#include "MsgQueue.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "Ipc.h"
#include "Key.h"
#include "MsgParts.h"

namespace {

using namespace std::chrono_literals;

struct QueueTest : ::testing::Test {
    IpcNames ipc;
    std::string name = ipc.name();
    MsgQueue queue{name, 0, IPC_CREAT};

    size_t messagesOnQueue() {
        struct msqid_ds ds;
        EXPECT_EQ(msgctl(queue.getId(), IPC_STAT, &ds), 0);
        return ds.msg_qnum;
    }
    // Sends a message of len bytes of 'x' directly, as another program would.
    void sendRaw(long type, size_t len) {
        std::vector<char> buf(sizeof(long) + len, 'x');
        std::memcpy(buf.data(), &type, sizeof type);
        ASSERT_EQ(msgsnd(queue.getId(), buf.data(), len, IPC_NOWAIT), 0);
    }
};

void onSignal(int) {}

}  // namespace

TEST_F(QueueTest, TypeZeroWriteArrivesAsTypeOneForAnyReader) {
    std::string order =
        "35=D\x01"
        "11=A1\x01";
    queue.write(order, WaitMode, 0);
    queue.write(order, WaitMode, 0);
    EXPECT_EQ(queue.read(readerType, NoWaitMode), order);
    EXPECT_EQ(queue.lastType(), 1);
    EXPECT_EQ(queue.read(1, NoWaitMode), order);
    EXPECT_EQ(queue.lastType(), 1);
    EXPECT_EQ(queue.read(0, NoWaitMode), "");
    EXPECT_EQ(queue.lastType(), 0);
}

TEST_F(QueueTest, ReadsSelectByExactOrHighestAllowedType) {
    queue.write(std::string("two"), NoWaitMode, 2);
    queue.write(std::string("five"), NoWaitMode, 5);
    queue.write(std::string("three"), NoWaitMode, 3);
    queue.write(std::string("one"), NoWaitMode, 1);

    // A positive type takes only that type, whatever stands before it.
    EXPECT_EQ(queue.read(3, NoWaitMode), "three");
    EXPECT_EQ(queue.lastType(), 3);
    EXPECT_EQ(queue.read(3, NoWaitMode), "");
    // A negative type takes the lowest type not above its absolute value.
    EXPECT_EQ(queue.read(-4, NoWaitMode), "one");
    EXPECT_EQ(queue.read(-4, NoWaitMode), "two");
    EXPECT_EQ(queue.read(-4, NoWaitMode), "");
    // Type 0 takes the oldest message of any type.
    EXPECT_EQ(queue.read(0, NoWaitMode), "five");
    EXPECT_EQ(queue.lastType(), 5);
}

TEST_F(QueueTest, SeveralObjectsShareOneQueueByName) {
    MsgQueue writer(name, 0, 0);
    EXPECT_EQ(writer.getId(), queue.getId());
    writer.write(std::string("hello"), WaitMode, 7);
    EXPECT_EQ(queue.read(7, WaitMode), "hello");
}

TEST_F(QueueTest, WaitingReaderOfOneTypeSleepsUntilItsTypeArrives) {
    std::atomic<bool> done{false};
    std::string got;
    std::thread reader([&] {
        MsgQueue own(name, 0, 0);
        got = own.read(3, WaitMode);
        done = true;
    });
    queue.write(std::string("for one"), WaitMode, 1);
    queue.write(std::string("for two"), WaitMode, 2);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(done);
    queue.write(std::string("for three"), WaitMode, 3);
    reader.join();
    EXPECT_EQ(got, "for three");
    EXPECT_EQ(messagesOnQueue(), 2u);
}

TEST_F(QueueTest, SignalDuringAWaitingReadReturnsEmpty) {
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;  // queue reads are never restarted, even so
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    std::atomic<bool> done{false};
    std::string got = "unset";
    std::thread reader([&] {
        MsgQueue own(name, 0, 0);
        got = own.read(0, WaitMode);
        done = true;
    });
    // Signals that land before the reader blocks are harmless; keep sending until it returns.
    for (int i = 0; i < 500 && !done; ++i) {
        std::this_thread::sleep_for(10ms);
        pthread_kill(reader.native_handle(), SIGUSR1);
    }
    if (!done) queue.write(std::string("unblock"), WaitMode, 1);
    reader.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(got, "");
}

TEST_F(QueueTest, TextsUpTo4095BytesPassWholeAndLongerOnesAreRefused) {
    std::string longest(4095, 'a');
    longest[0] = '8';
    longest[4094] = 'z';
    queue.write(longest, WaitMode, 1);
    EXPECT_EQ(queue.read(0, WaitMode), longest);

    std::string tooLong(4096, 'b');
    try {
        queue.write(tooLong, WaitMode, 1);
        ADD_FAILURE() << "a 4096-byte text was written";
    } catch (const MQException& e) {
        EXPECT_STREQ(e.what(), "Fail to write MsgQueue.");
    }
    EXPECT_THROW(queue.write(std::string(100000, 'c'), NoWaitMode, 1), MQException);
    EXPECT_EQ(messagesOnQueue(), 0u);
}

TEST_F(QueueTest, ForeignMessagesAreMeasuredByTheirLengthAndEndAtNul) {
    // Exactly 4096 bytes: delivered whole, nothing written past the buffer.
    sendRaw(4, 4096);
    std::string whole = queue.read(4, NoWaitMode);
    EXPECT_EQ(whole, std::string(4096, 'x'));

    // Sent without terminator: the text ends where the received bytes end, not at stale bytes.
    queue.write(std::string(100, 'y'), WaitMode, 1);
    sendRaw(1, 3);
    EXPECT_EQ(queue.read(0, NoWaitMode), std::string(100, 'y'));
    EXPECT_EQ(queue.read(0, NoWaitMode), "xxx");

    // An embedded NUL ends the text.
    long type = 1;
    char buf[sizeof(long) + 5];
    std::memcpy(buf, &type, sizeof type);
    std::memcpy(buf + sizeof type, "ab\0cd", 5);
    ASSERT_EQ(msgsnd(queue.getId(), buf, 5, 0), 0);
    EXPECT_EQ(queue.read(0, NoWaitMode), "ab");
}

TEST_F(QueueTest, ForeignMessageOver4096BytesThrowsAndStaysQueued) {
    sendRaw(1, 5000);
    try {
        queue.read(0, NoWaitMode);
        ADD_FAILURE() << "a 5000-byte message was read";
    } catch (const MQException& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Fail to read from MsgQueue. [" + name + "]: message too long");
    }
    EXPECT_EQ(messagesOnQueue(), 1u);
}

TEST_F(QueueTest, NoWaitWriteToAFullQueueWaitsForRoomInsteadOfDropping) {
    struct msqid_ds ds;
    ASSERT_EQ(msgctl(queue.getId(), IPC_STAT, &ds), 0);
    ds.msg_qbytes = 1000;  // lowering the limit needs no privilege
    ASSERT_EQ(msgctl(queue.getId(), IPC_SET, &ds), 0);
    queue.write(std::string(600, 'f'), NoWaitMode, 1);

    std::atomic<bool> written{false};
    std::thread writer([&] {
        MsgQueue own(name, 0, 0);
        own.write(std::string(600, 's'), NoWaitMode, 2);
        written = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(written);
    MsgQueue reader(name, 0, 0);
    EXPECT_EQ(reader.read(1, WaitMode), std::string(600, 'f'));
    writer.join();
    EXPECT_TRUE(written);
    EXPECT_EQ(reader.read(2, NoWaitMode), std::string(600, 's'));
}

TEST_F(QueueTest, OfferSendsOnlyWhenThereIsRoomAndNeverWaits) {
    struct msqid_ds ds;
    ASSERT_EQ(msgctl(queue.getId(), IPC_STAT, &ds), 0);
    ds.msg_qbytes = 1000;
    ASSERT_EQ(msgctl(queue.getId(), IPC_SET, &ds), 0);
    EXPECT_TRUE(queue.offer(std::string(600, 'f'), 4));
    EXPECT_FALSE(queue.offer(std::string(600, 's'), 5));
    EXPECT_EQ(messagesOnQueue(), 1u);
    EXPECT_EQ(queue.read(0, NoWaitMode), std::string(600, 'f'));
    EXPECT_EQ(queue.lastType(), 4);
    EXPECT_TRUE(queue.offer(std::string(600, 's'), 0));
    EXPECT_EQ(queue.read(0, NoWaitMode), std::string(600, 's'));
    EXPECT_EQ(queue.lastType(), writeType);
    EXPECT_THROW(queue.offer(std::string(4096, 'x'), 1), MQException);
}

TEST_F(QueueTest, ReadingOrWritingARemovedQueueThrows) {
    MsgQueue other(name, 0, 0);
    ASSERT_TRUE(IpcNames::removeQueue(name));
    EXPECT_THROW(other.read(0, NoWaitMode), MQException);
    EXPECT_THROW(other.write(std::string("x"), NoWaitMode, 1), MQException);
    EXPECT_THROW(other.offer(std::string("x"), 1), MQException);
}

TEST(QueueOpen, ConnectingToAMissingQueueFailsAndCreatingMakesIt) {
    IpcNames ipc;
    std::string name = ipc.name();
    try {
        MsgQueue missing(name, 0, 0);
        ADD_FAILURE() << "connected to a queue that does not exist";
    } catch (const MQException& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Fail to connect the message queue. [" + name + "]: No such file or directory");
    }
    EXPECT_FALSE(IpcNames::queueExists(name));
    MsgQueue made(name, 0, IPC_CREAT);
    EXPECT_TRUE(IpcNames::queueExists(name));
    MsgQueue again(name, 0, IPC_CREAT);
    EXPECT_EQ(again.getId(), made.getId());
    EXPECT_EQ(MsgQueue().getId(), 0);
}

TEST(QueueOpen, NameWithThePrivateKeyIsRefused) {
    try {
        MsgQueue privateQueue(std::string(""), 0, IPC_CREAT);
        ADD_FAILURE() << "an unreachable private queue was created";
    } catch (const MQException& e) {
        EXPECT_STREQ(e.what(), "Fail to create the message queue. []: Invalid argument");
    }
}

// --- Texts longer than a queue message, as parts ----------------------------------------------

// Every part fits a queue message and says whose it is and where it stands, and the parts give
// the text back byte for byte, up to the longest message a session frames.
TEST(MsgParts, PartsFitAQueueMessageSayWhoseTheyAreAndGiveTheTextBack) {
    for (std::size_t length : {4096, 8000, 8001, 1 << 20}) {
        std::string text(length, '\0');
        for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>('0' + i % 61);
        int n = MsgParts::count(length);
        MsgParts reader;
        std::string whole;
        for (int k = 1; k <= n; ++k) {
            std::string part = MsgParts::part("BRK1", 2147483647, text, k);
            ASSERT_LE(part.size(), static_cast<std::size_t>(maxMsgText)) << length;
            std::string header =
                "PART 2147483647 " + std::to_string(k) + "/" + std::to_string(n) + " BRK1\n";
            ASSERT_EQ(part.compare(0, header.size(), header), 0) << part.substr(0, 40);
            reader.take(part, whole);
        }
        EXPECT_EQ(n, static_cast<int>((length + 3999) / 4000));
        EXPECT_TRUE(whole == text) << length;
    }
}
