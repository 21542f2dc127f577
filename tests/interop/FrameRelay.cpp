#include "FrameRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

// How long each poll waits, so a stop is noticed within this many milliseconds.
constexpr int pollMillis = 50;

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// Length of the whole frame at the start of bytes; 0 while it is incomplete, npos when the bytes
// cannot be framed (they are then passed on as they are).
std::size_t frameLength(const std::string& bytes) {
    if (bytes.size() < 2) return 0;
    if (bytes.compare(0, 2, "8=") != 0) return std::string::npos;
    std::size_t tag = bytes.find(
        "\x01"
        "9=");
    if (tag == std::string::npos) return bytes.size() > 32 ? std::string::npos : 0;
    std::size_t end = bytes.find('\x01', tag + 3);
    if (end == std::string::npos) return 0;
    long body = std::atol(bytes.c_str() + tag + 3);
    if (body <= 0) return std::string::npos;
    std::size_t total = end + 1 + static_cast<std::size_t>(body) + 7;  // trailer "10=nnn" SOH
    return bytes.size() >= total ? total : 0;
}

}  // namespace

FrameRelay::FrameRelay(int back, Watch w) : backPort(back), watch(w) {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) throw std::runtime_error("relay: socket failed");
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof(address);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, 4) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        close(listener);
        throw std::runtime_error("relay: cannot listen on 127.0.0.1");
    }
    frontPort = ntohs(address.sin_port);
    worker = std::thread([this] { run(); });
}

FrameRelay::~FrameRelay() {
    stopping = true;
    worker.join();
    close(listener);
}

void FrameRelay::arm(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock);
    armed = text;
}

void FrameRelay::run() {
    while (!stopping) {
        pollfd ready{listener, POLLIN, 0};
        if (poll(&ready, 1, pollMillis) <= 0) continue;
        int client = accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        serve(client);
        close(client);
    }
}

void FrameRelay::serve(int client) {
    int back = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(backPort);
    if (back < 0 || connect(back, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        if (back >= 0) close(back);
        return;  // nobody at the back: the client sees its connection closed
    }
    // A side that takes nothing for a few seconds is treated as gone.
    timeval limit{3, 0};
    setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    setsockopt(back, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    int from = watch == Watch::FromClient ? client : back;
    std::string pending;
    bool open = true;
    while (open && !stopping) {
        pollfd ends[2] = {{client, POLLIN, 0}, {back, POLLIN, 0}};
        if (poll(ends, 2, pollMillis) <= 0) continue;
        for (pollfd& end : ends) {
            if (!open || (end.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            int to = end.fd == client ? back : client;
            char buffer[4096];
            ssize_t n = read(end.fd, buffer, sizeof(buffer));
            if (n <= 0) {
                // One side closed: what it sent is already passed on, so the other side is closed.
                if (end.fd == from && !pending.empty()) writeAll(to, pending);
                open = false;
            } else if (end.fd == from) {
                pending.append(buffer, static_cast<std::size_t>(n));
                open = passFrames(pending, to);
            } else {
                open = writeAll(to, std::string(buffer, static_cast<std::size_t>(n)));
            }
        }
    }
    close(back);
}

bool FrameRelay::passFrames(std::string& pending, int fd) {
    for (;;) {
        std::size_t length = frameLength(pending);
        if (length == 0) return true;
        if (length == std::string::npos) {
            bool ok = writeAll(fd, pending);
            pending.clear();
            return ok;
        }
        std::string frame = pending.substr(0, length);
        pending.erase(0, length);
        {
            std::lock_guard<std::mutex> hold(lock);
            if (!armed.empty() && frame.find(armed) != std::string::npos) {
                // "10=nnn" SOH closes the frame: nnn + 1 (mod 256) is a CheckSum that cannot match.
                int sum = std::atoi(frame.c_str() + length - 4);
                char digits[8];
                std::snprintf(digits, sizeof(digits), "%03d", (sum + 1) % 256);
                frame.replace(length - 4, 3, digits);
                armed.clear();
                ++done;
            }
        }
        if (!writeAll(fd, frame)) return false;
    }
}

bool FrameRelay::writeAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        // Blocking, bounded by the send timeout set on both sockets.
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}
