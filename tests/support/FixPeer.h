// A scripted FIX counterparty for process-level tests: it listens on 127.0.0.1 (an ephemeral port)
// or connects to a gateway, reads whole framed messages with a time limit, and sends raw bytes or
// messages it frames itself with a correct BodyLength and CheckSum. It knows nothing of sessions:
// every step is written out by the test. One FixPeer belongs to one test thread.
#pragma once

#include <string>
#include <vector>

class FixPeer {
  public:
    // sender / target are the peer's own 49 / 56; version is the BeginString it writes.
    FixPeer(std::string sender, std::string target, std::string version = "FIX.4.2");
    ~FixPeer();
    FixPeer(const FixPeer&) = delete;
    FixPeer& operator=(const FixPeer&) = delete;

    // Listens on 127.0.0.1 on a port the system picks and returns it. A positive rcvbuf shrinks
    // the receive buffer of the accepted connection, so a peer that stops reading backs up the
    // gateway quickly.
    int listen(int rcvbuf = 0);
    // Waits up to timeoutMs for the gateway to connect.
    bool accept(int timeoutMs);
    // Connects to a gateway listening on to:port, from the local address `from` when given
    // (another loopback address, so the gateway sees another peer).
    bool connect(int port, const std::string& to = "127.0.0.1", const std::string& from = "");
    void disconnect();
    // Drops the connection with a reset (SO_LINGER 0) instead of a normal close, discarding
    // whatever is unread: the gateway's next receive or send fails.
    void reset();

    // The next whole message (framed by its BodyLength), or empty when none arrived in time or the
    // connection closed.
    std::string read(int timeoutMs);
    // The next message whose MsgType is type, skipping others (heartbeats and the like); empty
    // when none came in time.
    std::string readType(const std::string& type, int timeoutMs);
    // True when the gateway closed the connection within timeoutMs; whatever arrived before the
    // end of the stream is read and dropped.
    bool waitClosed(int timeoutMs);
    // True when nothing at all arrives within timeoutMs.
    bool quiet(int timeoutMs);

    // Sends bytes exactly as given.
    void sendRaw(const std::string& bytes);
    // Frames fields ('|' written for SOH, starting with 35=) with this peer's header and the
    // given MsgSeqNum, sends the message and returns it as sent.
    std::string send(const std::string& fields, int seq);
    // The message send() would frame, with an optional SendingTime.
    std::string make(const std::string& fields, int seq,
                     const std::string& sendingTime = "20260101-00:00:00") const;

    // 8=version|9=len|body|10=sum| with body given with '|' for SOH.
    static std::string frame(const std::string& version, const std::string& body);
    // '|' to SOH and back.
    static std::string soh(const std::string& text);
    static std::string bars(const std::string& text);
    // The value of the first field `tag` (the first field, 8, included); empty when absent.
    static std::string field(const std::string& msg, int tag);
    // Every field number in wire order.
    static std::vector<int> tags(const std::string& msg);
    // The three-digit checksum of bytes.
    static std::string checksum(const std::string& bytes);
    // True when BodyLength and CheckSum of msg are right.
    static bool wellFormed(const std::string& msg);

    int port() const { return port_; }

  private:
    bool fill(int timeoutMs);
    std::string cut();

    std::string sender_;
    std::string target_;
    std::string version_;
    int listenFd_ = -1;
    int fd_ = -1;
    int port_ = 0;
    int rcvbuf_ = 0;
    bool eof_ = false;
    std::string inbox_;
};
