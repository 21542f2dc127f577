#include "LoopbackPair.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "ServerSocket.h"

LoopbackPair::LoopbackPair() {
    ServerSocket listener(0, 1);
    try {
        nearSock = Socket(std::string("127.0.0.1"), listener.getLocalPort());
        farSock = Socket(listener.accept());
    } catch (...) {
        if (nearSock.getSocket() >= 0) ::close(nearSock.getSocket());
        listener.closeOff();
        throw;
    }
    listener.closeOff();
}

LoopbackPair::~LoopbackPair() {
    if (nearSock.getSocket() >= 0) ::close(nearSock.getSocket());
    if (farSock.getSocket() >= 0) ::close(farSock.getSocket());
}

bool LoopbackPair::farWrite(const std::string& bytes) {
    std::size_t done = 0;
    // Bounded: a blocking descriptor either takes bytes or fails.
    for (int tries = 0; done < bytes.size() && tries < 100000; ++tries) {
        ssize_t n =
            ::send(farSock.getSocket(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
        if (n > 0) done += static_cast<std::size_t>(n);
    }
    return done == bytes.size();
}

std::string LoopbackPair::farRead(int timeoutMs, std::size_t max) {
    std::string out;
    pollfd p{farSock.getSocket(), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return out;
    out.resize(max);
    ssize_t n = ::recv(farSock.getSocket(), &out[0], max, MSG_DONTWAIT);
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

void LoopbackPair::closeFar() {
    if (farSock.getSocket() >= 0) farSock.closeOff();
}

void LoopbackPair::resetFar() {
    linger lg{1, 0};
    ::setsockopt(farSock.getSocket(), SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    closeFar();
}

void LoopbackPair::setBuffers(Socket& s, int sendBytes, int recvBytes) {
    if (sendBytes > 0) s.setOption(SO_SNDBUF, sendBytes);
    if (recvBytes > 0) s.setOption(SO_RCVBUF, recvBytes);
}
