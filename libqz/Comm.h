// Comm: the FIX byte stream of one session over a Socket. It queues outgoing text and sends what
// the socket takes, cuts whole FIX messages out of the received bytes by their BodyLength field,
// and keeps the times of the last receive and the last send for the session's idle rule. It reads
// no field but BodyLength: validation is the session's.
//
// Framing. A message starts with "8=" + a BeginString of 1 to MaxBeginStringLength bytes (7 for
// FIX.4.x, 8 for FIXT.1.1) + SOH + "9=", then the BodyLength digits, SOH, the body, and the 7-byte
// trailer "10=nnn" + SOH. Which BeginString a session takes is the session's check, so a frame of
// another version reaches it and is refused there. A stream that cannot be framed that way (wrong
// prefix, no SOH within 7 digits after "9=", an empty or non-numeric BodyLength, one above
// MaxBodyLength) makes the stream broken: isBroken() turns true, recv()
// returns empty from then on without reading, and the session ends the connection. So `incoming`
// stays bounded by one largest message plus one read.
//
// Costs: send(), flush() and recv() each make at most one system call and never wait; recv()
// makes none while a whole message is already buffered. With setReadOnWake(true), recv() also
// makes none once a read has drained the socket, until selectWithEvent() reports it readable
// again, so a busy session does not ask an empty socket. Only selectWithEvent() and
// recvWithin() wait.
//
// Thread contract: a Comm belongs to one session thread; it takes no lock. Socket exceptions
// ("Fail to send message.", "Fail to recv message.") pass through unchanged.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

#include "Socket.h"

class Comm {
  public:
    // Where the BodyLength digits start after a seven-byte BeginString (every FIX 4.x).
    static constexpr int BodyLengthStart = 12;
    // Longest BeginString framed; the FIX family uses 7 and 8 bytes.
    static constexpr int MaxBeginStringLength = 16;
    static constexpr int CheckSumLength = 7;
    static constexpr std::size_t ChecksumDigits = 3;
    static constexpr int minHeaderLength = 12;
    // Bytes one read takes at most.
    static constexpr int BufSize = 16384;
    // Bytes one send offers at most.
    static constexpr int SendSlice = 65536;
    static constexpr char ch_soh = 0x01;
    // Largest BodyLength accepted; anything above it marks the stream broken.
    static constexpr long MaxBodyLength = 1024L * 1024L;
    // Digits MaxBodyLength takes; a longer BodyLength value is refused without reading it whole.
    static constexpr int MaxBodyLengthDigits = 7;
    // Shortest frame of a seven-byte BeginString: header, one digit, SOH, trailer.
    static constexpr int minFrameLength = BodyLengthStart + 1 + CheckSumLength;

    Comm();
    // Bound to s as by setup().
    explicit Comm(Socket& s);
    // Binds to a connected socket (not owned), turns Nagle's delay off on it, and forgets any
    // earlier stream state.
    void setup(Socket& s);

    // Queues msg behind any pending bytes and makes one send of at most SendSlice bytes; what the
    // socket does not take stays pending (see flush). Sets the send time, whatever was sent.
    void send(const std::string& msg);
    // Queues msg without sending it, so several messages leave in one send (flush or send).
    void queue(const std::string& msg) { outgoing += msg; }
    // One send of at most SendSlice pending bytes, if any are pending. Returns the bytes the socket
    // took (0 when nothing was pending or the socket would block). Order is kept and no byte is
    // sent twice. The session calls it on every pass of its loop. Does not move the send time.
    int flush();
    // Bytes queued and not yet taken by the socket.
    std::size_t pending() const { return outgoing.size(); }

    // One whole message, byte for byte as received, or empty when none is complete (also when the
    // stream is broken or closed). Reads the socket once only when no whole message is buffered.
    std::string recv();
    // Reads until one whole message is framed, for at most `seconds` seconds, waiting on the
    // socket in between (blocking or not). Empty when the peer closes, the stream cannot be
    // framed, or the time runs out. Used for the first message of a session (the logon).
    std::string recvWithin(int seconds);
    // True once the received bytes cannot be framed; the session must end the connection.
    bool isBroken() const { return broken; }
    // With resync on, bytes that cannot be framed are skipped up to the next "8=FIX" instead of
    // breaking the stream (the standard session rules ignore a garbled message and go on), and a
    // frame whose trailer is not where its BodyLength puts it (a wrong BodyLength, a CheckSum
    // field short or missing) is handed out up to its own CheckSum field or the next "8=FIX",
    // whichever comes first, so the message after it is never cut.
    void setResync(bool on) { resync = on; }
    // True once the peer has closed the connection and every whole message that came before the
    // close has been handed out by recv(). Before that, an empty recv() only means "nothing yet".
    bool isClosed() const { return closed; }

    // True when fewer than `timeout` whole seconds have passed since the last receive that
    // brought bytes, or since the last send.
    bool isActive(int timeout) const;
    // Both activity times to now.
    void timeReset();
    // Waits until the socket or `fd` is readable, or `timeout` seconds have passed. While bytes are
    // pending it also wakes when the socket can take more, so the caller can flush() them.
    void selectWithEvent(int fd, int timeout);
    // recv() reads the socket only when the last read filled its buffer or the last
    // selectWithEvent() saw it readable. Off by default: every recv() may read.
    void setReadOnWake(bool on) { readOnWake = on; }
    // A wait of the caller's own saw the socket readable.
    void noteReadable() { readable = true; }

    time_t getSendTime() const { return sendTime; }
    time_t getRecvTime() const { return recvTime; }

    // A copy of msg with every SOH shown as "<SOH>", for display.
    static std::string convert(const std::string& msg);
    // Waits n microseconds.
    static void sleep_ms(int n);

  private:
    // One recvMsg into recvBuf; appends what came and notes the end of the stream.
    void readOnce();
    // Moves the first whole message of `incoming` into msg; false when none is complete yet or
    // the stream is (now) broken.
    bool cutFrame(std::string& msg);
    // One sendMsg of the first slice of `outgoing`; returns the bytes taken.
    int sendSlice();
    // Unframeable bytes at `head`: breaks the stream, or with resync skips to the next frame
    // start; true when one was found.
    bool skipGarbage();
    // "10=" + three digits + SOH at in[at].
    static bool trailerAt(const char* in, std::size_t at);
    // With resync, the end of a frame whose trailer is not where its BodyLength says (`body`: the
    // offset its body starts at; `total`: where BodyLength puts its end): after its own CheckSum
    // field of up to three characters, or before the next "8=FIX", whichever comes first, else
    // at `total`; 0 while that cannot be told yet.
    static std::size_t garbledEnd(const char* in, std::size_t size, std::size_t body,
                                  std::size_t total);

    Socket* sock = nullptr;
    // Received bytes; those from `head` on are not yet handed out.
    std::string incoming;
    std::size_t head = 0;
    // Bytes queued and not yet taken by the socket.
    std::string outgoing;
    time_t recvTime;
    time_t sendTime;
    bool broken = false;
    bool closed = false;
    bool resync = false;
    bool readOnWake = false;
    // The socket may hold bytes not yet read (see setReadOnWake).
    bool readable = true;
    // recvMsg writes a terminator after the bytes it received.
    char recvBuf[BufSize + 1];
};
