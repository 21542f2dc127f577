#include "Pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

Pipe::Pipe() : received(0), skipping(false), dropped(0) {
    if (pipe(pd) < 0) throw PipeException("Fail to create Pipe.");
}

Pipe::~Pipe() {
    close();
}

void Pipe::setBlockingMode(int mode) {
    int flags = fcntl(pd[0], F_GETFL);
    if (flags < 0) throw PipeException("Fail to get the Pipe flags. ");
    if (mode != 0) {
        if (fcntl(pd[0], F_SETFL, flags & ~O_NONBLOCK) < 0) {
            throw PipeException("Fail to set the Pipe with blocking mode. ");
        }
    } else if (fcntl(pd[0], F_SETFL, flags | O_NONBLOCK) < 0) {
        throw PipeException("Fail to set the Pipe with non-blocking mode. ");
    }
}

int Pipe::readBuf(char* buf, int size) {
    ssize_t n;
    do {
        n = ::read(pd[0], buf, static_cast<size_t>(size));
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EAGAIN) return 0;
    throw PipeException("Fail to read message from Pipe.");
}

bool Pipe::writeBuf(const char* buf, int len) {
    if (::write(pd[1], buf, static_cast<size_t>(len)) >= 0) return true;
    if (errno == EINTR) return false;
    throw PipeException("Fail to write a message to Pipe.");
}

bool Pipe::writeMsg(const std::string& msg) {
    if (msg.size() > static_cast<size_t>(maxText)) {
        throw PipeException("Fail to write a message to Pipe.");
    }
    std::memcpy(sendBuffer, msg.data(), msg.size());
    sendBuffer[msg.size()] = Nl;
    return writeBuf(sendBuffer, static_cast<int>(msg.size()) + 1);
}

std::string Pipe::takeMessage() {
    char* end = static_cast<char*>(std::memchr(recvBuffer, Nl, static_cast<size_t>(received)));
    if (end == nullptr) return std::string();
    int length = static_cast<int>(end - recvBuffer);
    std::string message(recvBuffer, static_cast<size_t>(length));
    received -= length + 1;
    std::memmove(recvBuffer, end + 1, static_cast<size_t>(received));
    return message;
}

// Drops buffered bytes up to and including the newline that ends an over-long line.
void Pipe::skipToLineEnd() {
    char* end = static_cast<char*>(std::memchr(recvBuffer, Nl, static_cast<size_t>(received)));
    if (end == nullptr) {
        received = 0;
        return;
    }
    skipping = false;
    int consumed = static_cast<int>(end - recvBuffer) + 1;
    received -= consumed;
    std::memmove(recvBuffer, end + 1, static_cast<size_t>(received));
}

std::string Pipe::readMsg() {
    if (!skipping && std::memchr(recvBuffer, Nl, static_cast<size_t>(received)) != nullptr) {
        return takeMessage();
    }
    if (received == BufferSize) {
        // A full buffer without a newline can never complete: drop the line rather than stall.
        received = 0;
        skipping = true;
        ++dropped;
    }
    int asked = BufferSize - received;
    int n = readBuf(recvBuffer + received, asked);
    filledLastRead = n == asked;
    received += n;
    if (skipping) skipToLineEnd();
    return takeMessage();
}

bool Pipe::hasMessage() const {
    return !skipping && std::memchr(recvBuffer, Nl, static_cast<size_t>(received)) != nullptr;
}

void Pipe::close() {
    for (int& d : pd) {
        if (d >= 0) ::close(d);
        d = -1;
    }
}
