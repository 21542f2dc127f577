#include "FixPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

FixPeer::FixPeer(std::string sender, std::string target, std::string version)
    : sender_(std::move(sender)), target_(std::move(target)), version_(std::move(version)) {}

FixPeer::~FixPeer() {
    disconnect();
    if (listenFd_ >= 0) ::close(listenFd_);
}

int FixPeer::listen(int rcvbuf) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listenFd_ < 0) return 0;
    rcvbuf_ = rcvbuf;
    if (rcvbuf_ > 0) {
        // Set before listen so the accepted socket's window is small from its first segment.
        ::setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf_, sizeof rcvbuf_);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 0;
    if (::listen(listenFd_, 4) != 0) return 0;
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    return port_;
}

bool FixPeer::accept(int timeoutMs) {
    pollfd pfd{listenFd_, POLLIN, 0};
    if (::poll(&pfd, 1, timeoutMs) <= 0) return false;
    fd_ = ::accept(listenFd_, nullptr, nullptr);
    eof_ = false;
    inbox_.clear();
    return fd_ >= 0;
}

bool FixPeer::connect(int port, const std::string& to, const std::string& from) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    eof_ = false;
    inbox_.clear();
    sockaddr_in local{};
    local.sin_family = AF_INET;
    bool placed = ::inet_pton(AF_INET, to.c_str(), &addr.sin_addr) == 1 &&
                  (from.empty() || ::inet_pton(AF_INET, from.c_str(), &local.sin_addr) == 1);
    if (placed && !from.empty())
        placed = ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    if (!placed || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

void FixPeer::disconnect() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void FixPeer::reset() {
    if (fd_ < 0) return;
    linger abort{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    disconnect();
}

bool FixPeer::fill(int timeoutMs) {
    if (fd_ < 0 || eof_) return false;
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, timeoutMs) <= 0) return false;
    char buf[65536];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    inbox_.append(buf, static_cast<size_t>(n));
    return true;
}

std::string FixPeer::cut() {
    size_t lenTag = inbox_.find(
        "\x01"
        "9=");
    if (lenTag == std::string::npos) return "";
    size_t lenEnd = inbox_.find('\x01', lenTag + 3);
    if (lenEnd == std::string::npos) return "";
    size_t bodyLength = std::strtoul(inbox_.c_str() + lenTag + 3, nullptr, 10);
    size_t total = lenEnd + 1 + bodyLength + 7;
    if (inbox_.size() < total) return "";
    std::string msg = inbox_.substr(0, total);
    inbox_.erase(0, total);
    return msg;
}

std::string FixPeer::read(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        std::string msg = cut();
        if (!msg.empty()) return msg;
        int left = msLeft(deadline);
        if (left == 0 || !fill(left)) {
            msg = cut();
            return msg;
        }
    }
}

std::string FixPeer::readType(const std::string& type, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (int left = timeoutMs; left > 0; left = msLeft(deadline)) {
        std::string msg = read(left);
        if (msg.empty()) return "";
        if (field(msg, 35) == type) return msg;
    }
    return "";
}

bool FixPeer::waitClosed(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!eof_) {
        int left = msLeft(deadline);
        if (left == 0) return false;
        fill(left);
    }
    return true;
}

bool FixPeer::quiet(int timeoutMs) {
    if (!inbox_.empty()) return false;
    return !fill(timeoutMs) && inbox_.empty();
}

void FixPeer::sendRaw(const std::string& bytes) {
    size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

std::string FixPeer::send(const std::string& fields, int seq) {
    std::string msg = make(fields, seq);
    sendRaw(msg);
    return msg;
}

std::string FixPeer::make(const std::string& fields, int seq,
                          const std::string& sendingTime) const {
    // MsgType first, then the standard header, then the rest of the caller's fields.
    size_t firstEnd = fields.find('|');
    std::string type = fields.substr(0, firstEnd);
    std::string rest = firstEnd == std::string::npos ? "" : fields.substr(firstEnd + 1);
    std::string body = type + "|49=" + sender_ + "|56=" + target_ + "|34=" + std::to_string(seq) +
                       "|52=" + sendingTime + "|" + rest;
    if (!body.empty() && body.back() != '|') body += '|';
    return frame(version_, body);
}

std::string FixPeer::frame(const std::string& version, const std::string& body) {
    std::string b = soh(body);
    std::string head = "8=" + version +
                       "\x01"
                       "9=" +
                       std::to_string(b.size()) + "\x01";
    std::string msg = head + b;
    return msg + "10=" + checksum(msg) + "\x01";
}

std::string FixPeer::soh(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c == '|') c = '\x01';
    }
    return out;
}

std::string FixPeer::bars(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c == '\x01') c = '|';
    }
    return out;
}

std::string FixPeer::field(const std::string& msg, int tag) {
    std::string key = std::to_string(tag) + "=";
    size_t pos = 0;
    while (pos < msg.size()) {
        size_t end = msg.find('\x01', pos);
        if (end == std::string::npos) end = msg.size();
        if (msg.compare(pos, key.size(), key) == 0) {
            return msg.substr(pos + key.size(), end - pos - key.size());
        }
        pos = end + 1;
    }
    return "";
}

std::vector<int> FixPeer::tags(const std::string& msg) {
    std::vector<int> out;
    size_t pos = 0;
    while (pos < msg.size()) {
        size_t end = msg.find('\x01', pos);
        if (end == std::string::npos) end = msg.size();
        out.push_back(std::atoi(msg.c_str() + pos));
        pos = end + 1;
    }
    return out;
}

std::string FixPeer::checksum(const std::string& bytes) {
    unsigned sum = 0;
    for (unsigned char c : bytes) sum += c;
    char buf[8];
    std::snprintf(buf, sizeof buf, "%03u", sum % 256);
    return buf;
}

bool FixPeer::wellFormed(const std::string& msg) {
    size_t lenTag = msg.find(
        "\x01"
        "9=");
    size_t lenEnd = lenTag == std::string::npos ? lenTag : msg.find('\x01', lenTag + 3);
    size_t trailer = msg.rfind(
        "\x01"
        "10=");
    if (lenEnd == std::string::npos || trailer == std::string::npos || trailer < lenEnd) {
        return false;
    }
    size_t declared = std::strtoul(msg.c_str() + lenTag + 3, nullptr, 10);
    if (declared != trailer - lenEnd) return false;
    return msg.substr(trailer + 4, 3) == checksum(msg.substr(0, trailer + 1)) &&
           msg.size() == trailer + 8;
}
