// Socket: one IPv4 TCP socket descriptor with the few operations the gateways need: connect by
// dotted address, bind/listen/accept, blocking mode, single-call send and receive, and a wait for
// the socket or one other descriptor. Every failing system call throws SocketException.
//
// Thread contract: a Socket is used by one thread at a time; it takes no lock. The destructor does
// nothing: the descriptor stays open until closeOff(), so a Socket may be copied or dropped freely.
#pragma once

#include <netinet/in.h>

#include <exception>
#include <string>

// Failure of a socket operation; what() is one of the fixed texts listed with each operation.
class SocketException : public std::exception {
  public:
    // The text is the interface; the error number only lets a console say more.
    SocketException(const std::string& msg, int err);
    virtual ~SocketException() noexcept;
    virtual const char* what() const noexcept override;
    // The errno of the failed call (0: none).
    int error() const noexcept { return number; }
    // The text without its period, and the system's reason when there is one, for a console:
    // "Fail to recv message: Connection reset by peer".
    std::string withReason() const;

  private:
    std::string message;
    int number = 0;
};

class Socket {
  public:
    static constexpr int optionOn = 1;
    static constexpr int optionOff = 0;
    static constexpr int bufferSize = 4096;
    static constexpr int block = 1;
    static constexpr int nonBlock = 0;

    // A new TCP socket. Throws "Failed to create a socket.".
    Socket();
    // Wraps an existing connected descriptor, such as one returned by accept().
    explicit Socket(int fd);
    // A new socket with SO_REUSEADDR on and SO_KEEPALIVE off, connected to address:port. On any
    // failure the new descriptor is closed before the exception leaves.
    Socket(const std::string& address, int port);
    virtual ~Socket();

    // Binds to `port` on every local address; port 0 picks a free port (see getLocalPort).
    // Throws "Failed to bind socket.".
    void bindAddressPort(int port);
    // Binds to `port` on one local dotted-decimal IPv4 address ("" or "0.0.0.0": every address).
    // Throws "Failed to bind socket." also for a text that is no such address.
    void bindAddressPort(int port, const std::string& address);
    // Throws "Failed to set listen backlog.".
    void setListenBacklog(int n);
    // Sets a SOL_SOCKET option to an int. Throws "Failed in Socket::setOption.".
    void setOption(int option, int value);
    // Blocking when mode is non-zero (block), non-blocking when 0 (nonBlock).
    // Throws "Failed to get sockect flags." or "Failed to set sockect flags.".
    void setBlockingMode(int mode);
    // Blocks until a connection arrives; records the peer's address (getRemoteIp). Returns the new
    // descriptor. A failure of one pending connection is skipped, and a shortage of descriptors
    // or memory is waited out in steps of 100 ms, so neither ends an acceptor. Any other failure
    // throws "Fail to accept new socket.".
    int acceptNewSocket();
    // Connects to a dotted-decimal IPv4 address; host names are not looked up and fail like an
    // unreachable peer. A connect interrupted by a signal is waited out. Throws "Fail to connect
    // the remote server.".
    void connectServer(const std::string& address, int port);

    // Waits until `fd` or the socket is readable, or `timeout` seconds have passed. A negative fd
    // is left out. With alsoWritable the wait also ends when the socket can take more bytes.
    // Returns which of the two can be read (socketReady, fdReady; 0 after a timeout), so a caller
    // need not try reads that would find nothing. Uses poll(), so descriptors above FD_SETSIZE (a
    // busy acceptor) are safe. A signal ends the wait early like a timeout, so the caller's loop
    // checks its stop flag. Throws "Fail in select event.".
    static constexpr int socketReady = 1;
    static constexpr int fdReady = 2;
    int selectEvent(int fd, int timeout, bool alsoWritable = false);
    // Waits at most `milliseconds` for the socket to become readable (or to report end of file);
    // true when it is; false also when a signal cut the wait short. Throws "Fail in select
    // event.".
    bool waitReadable(int milliseconds);
    // True when the peer has closed its side or the connection has failed, without reading and
    // without waiting. Throws "Fail in select event.".
    bool hungUp();
    // Sends small writes at once instead of holding them for the peer's acknowledgement (Nagle):
    // a FIX message is one write and must not wait for the next. Not an error on a socket that is
    // not TCP.
    void setNoDelay();

    // One send() (made again when a signal interrupts it). Returns the bytes taken (possibly fewer
    // than len), or a negative value when the socket would block; the caller keeps its data. Never
    // raises SIGPIPE: a closed or reset connection throws "Fail to send message.".
    int sendMsg(const char* buf, int len);
    // One recv() of at most len bytes; writes a NUL after them, so buf holds len + 1 bytes.
    // Returns the count, 0 when nothing is waiting or the peer has closed (peerClosed() tells
    // them apart). A receive interrupted by a signal is made again. Throws "Fail to recv message."
    // on any other failure.
    int recvMsg(char* buf, int len);
    // True once a recvMsg found the end of the stream: the peer closed its side.
    bool peerClosed() const { return closedByPeer; }

    // Closes the descriptor; 0 on success. Throws "Fail to close socket.".
    int closeOff();
    // Waits n microseconds.
    static void sleep_ms(int n);

    int getSocket() const { return sock; }
    // Dotted address of the peer of the last connection accepted on this socket. Read it before
    // the next accept().
    const char* getRemoteIp() const { return remote_ip; }
    // The local port the socket is bound to (useful after binding port 0).
    int getLocalPort() const;

  protected:
    int sock;
    // Peer of the last accept(); inet_ntop writes at most 16 bytes here.
    char remote_ip[32];
    // Remote address for connectServer, local address for bindAddressPort, peer for accept.
    sockaddr_in addr;
    bool closedByPeer = false;
};
