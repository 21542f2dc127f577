#include "Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

SocketException::SocketException(const std::string& msg, int err) : message(msg), number(err) {}

SocketException::~SocketException() noexcept {}

std::string SocketException::withReason() const {
    std::string text = message;
    while (!text.empty() && text.back() == '.') text.pop_back();
    if (number == 0) return text;
    char buf[128];
    return text + ": " + strerror_r(number, buf, sizeof buf);
}

const char* SocketException::what() const noexcept {
    return message.c_str();
}

Socket::Socket() : remote_ip{} {
    std::memset(&addr, 0, sizeof(addr));
    sock = ::socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) throw SocketException("Failed to create a socket.", errno);
}

Socket::Socket(int fd) : sock(fd), remote_ip{} {
    std::memset(&addr, 0, sizeof(addr));
}

Socket::Socket(const std::string& address, int port) : Socket() {
    try {
        setOption(SO_REUSEADDR, optionOn);
        setOption(SO_KEEPALIVE, optionOff);
        connectServer(address, port);
    } catch (...) {
        ::close(sock);
        sock = -1;
        throw;
    }
}

Socket::~Socket() {}

void Socket::bindAddressPort(int port) {
    bindAddressPort(port, std::string());
}

void Socket::bindAddressPort(int port, const std::string& address) {
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!address.empty() && ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1)
        throw SocketException("Failed to bind socket.", EINVAL);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0)
        throw SocketException("Failed to bind socket.", errno);
}

void Socket::setListenBacklog(int n) {
    if (::listen(sock, n) < 0) throw SocketException("Failed to set listen backlog.", errno);
}

void Socket::setOption(int option, int value) {
    if (::setsockopt(sock, SOL_SOCKET, option, &value, sizeof(value)) < 0)
        throw SocketException("Failed in Socket::setOption.", errno);
}

void Socket::setBlockingMode(int mode) {
    int flags = ::fcntl(sock, F_GETFL, 0);
    if (flags < 0) throw SocketException("Failed to get sockect flags.", errno);
    flags = mode ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (::fcntl(sock, F_SETFL, flags) < 0)
        throw SocketException("Failed to set sockect flags.", errno);
}

namespace {

// Failures that belong to one pending connection, not to the listening socket: accept again.
bool connectionFailure(int err) {
    return err == EINTR || err == ECONNABORTED || err == EPROTO || err == ENETDOWN ||
           err == ENOPROTOOPT || err == EHOSTDOWN || err == ENONET || err == EHOSTUNREACH ||
           err == EOPNOTSUPP || err == ENETUNREACH;
}

// Out of descriptors or memory: ending sessions give them back, so wait a little and try again
// rather than end every session of the process.
bool resourceShortage(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

constexpr int shortagePauseMicros = 100000;

}  // namespace

int Socket::acceptNewSocket() {
    int fd;
    for (;;) {
        socklen_t len = sizeof(addr);
        fd = ::accept(sock, reinterpret_cast<sockaddr*>(&addr), &len);
        if (fd >= 0) break;
        int err = errno;
        if (connectionFailure(err)) continue;
        if (!resourceShortage(err)) throw SocketException("Fail to accept new socket.", err);
        sleep_ms(shortagePauseMicros);
    }
    if (!::inet_ntop(AF_INET, &addr.sin_addr, remote_ip, sizeof(remote_ip))) remote_ip[0] = '\0';
    return fd;
}

void Socket::connectServer(const std::string& address, int port) {
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    // inet_aton refuses anything but an address, so a host name fails here instead of being
    // sent to 255.255.255.255 as inet_addr's error value.
    if (::inet_aton(address.c_str(), &addr.sin_addr) == 0)
        throw SocketException("Fail to connect the remote server.", EINVAL);
    if (::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return;
    if (errno != EINTR) throw SocketException("Fail to connect the remote server.", errno);
    // An interrupted connect goes on in the background and cannot be made again: wait for its
    // outcome instead.
    pollfd done{sock, POLLOUT, 0};
    while (::poll(&done, 1, -1) < 0) {
        if (errno != EINTR) throw SocketException("Fail to connect the remote server.", errno);
    }
    int err = 0;
    socklen_t len = sizeof(err);
    if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) < 0 || err != 0)
        throw SocketException("Fail to connect the remote server.", err);
}

int Socket::selectEvent(int fd, int timeout, bool alsoWritable) {
    pollfd fds[2];
    nfds_t n = 0;
    fds[n++] = pollfd{sock, static_cast<short>(alsoWritable ? (POLLIN | POLLOUT) : POLLIN), 0};
    if (fd >= 0) fds[n++] = pollfd{fd, POLLIN, 0};
    // A signal ends the wait early, as if the time had passed: the caller's loop looks again.
    int rc = ::poll(fds, n, timeout < 0 ? 0 : timeout * 1000);
    if (rc < 0 && errno != EINTR) throw SocketException("Fail in select event.", errno);
    if (rc <= 0) return 0;
    // End of file and errors count as readable: the read is what reports them.
    const short readable = POLLIN | POLLHUP | POLLERR;
    int ready = (fds[0].revents & readable) ? socketReady : 0;
    if (n > 1 && (fds[1].revents & readable)) ready |= fdReady;
    return ready;
}

bool Socket::hungUp() {
    pollfd fds{sock, POLLRDHUP, 0};
    int rc = ::poll(&fds, 1, 0);
    if (rc < 0 && errno != EINTR) throw SocketException("Fail in select event.", errno);
    return rc > 0 && (fds.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void Socket::setNoDelay() {
    int on = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

bool Socket::waitReadable(int milliseconds) {
    pollfd fds{sock, POLLIN, 0};
    int rc = ::poll(&fds, 1, milliseconds < 0 ? 0 : milliseconds);
    if (rc < 0 && errno != EINTR) throw SocketException("Fail in select event.", errno);
    return rc > 0;
}

int Socket::sendMsg(const char* buf, int len) {
    // MSG_NOSIGNAL: a connection the peer closed or reset must fail this call, not kill the
    // process with SIGPIPE.
    ssize_t n;
    do {
        n = ::send(sock, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return static_cast<int>(n);
    int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) return -1;
    throw SocketException("Fail to send message.", err);
}

int Socket::recvMsg(char* buf, int len) {
    ssize_t n;
    do {
        n = ::recv(sock, buf, static_cast<size_t>(len), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        int err = errno;
        if (err != EAGAIN && err != EWOULDBLOCK)
            throw SocketException("Fail to recv message.", err);
        n = 0;
    } else if (n == 0 && len > 0) {
        closedByPeer = true;
    }
    buf[n] = '\0';
    return static_cast<int>(n);
}

int Socket::closeOff() {
    // On Linux the descriptor is released even when close() reports an interruption.
    if (::close(sock) < 0 && errno != EINTR) throw SocketException("Fail to close socket.", errno);
    sock = -1;
    return 0;
}

void Socket::sleep_ms(int n) {
    timeval tv{n / 1000000, n % 1000000};
    ::select(0, nullptr, nullptr, nullptr, &tv);
}

int Socket::getLocalPort() const {
    sockaddr_in local{};
    socklen_t len = sizeof(local);
    if (::getsockname(sock, reinterpret_cast<sockaddr*>(&local), &len) < 0) return -1;
    return ntohs(local.sin_port);
}
