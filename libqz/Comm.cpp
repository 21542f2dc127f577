#include "Comm.h"

#include <algorithm>
#include <chrono>

namespace {

// Fixed prefix of every frame: "8=" + 7-byte version + SOH + "9=". Returns false as soon as the
// buffered bytes contradict it.
bool prefixPlausible(const char* in, std::size_t n) {
    if (n > 0 && in[0] != '8') return false;
    if (n > 1 && in[1] != '=') return false;
    if (n > 9 && in[9] != Comm::ch_soh) return false;
    if (n > 10 && in[10] != '9') return false;
    if (n > 11 && in[11] != '=') return false;
    return true;
}

}  // namespace

Comm::Comm() : recvTime(std::time(nullptr)), sendTime(recvTime) {
    recvBuf[0] = '\0';
}

Comm::Comm(Socket& s) : Comm() {
    setup(s);
}

void Comm::setup(Socket& s) {
    sock = &s;
    sock->setNoDelay();
    readable = true;
    incoming.clear();
    head = 0;
    outgoing.clear();
    broken = false;
    closed = false;
}

void Comm::send(const std::string& msg) {
    outgoing += msg;
    sendSlice();
    sendTime = std::time(nullptr);
}

int Comm::flush() {
    return sendSlice();
}

int Comm::sendSlice() {
    if (outgoing.empty()) return 0;
    int len = static_cast<int>(std::min<std::size_t>(outgoing.size(), SendSlice));
    int taken = sock->sendMsg(outgoing.data(), len);
    if (taken <= 0) return 0;
    outgoing.erase(0, static_cast<std::size_t>(taken));
    return taken;
}

void Comm::readOnce() {
    int n = sock->recvMsg(recvBuf, BufSize);
    readable = n == BufSize;
    if (n > 0) {
        // Messages already handed out are dropped here, once per read rather than per message.
        incoming.erase(0, head);
        head = 0;
        incoming.append(recvBuf, static_cast<std::size_t>(n));
        recvTime = std::time(nullptr);
    }
}

bool Comm::cutFrame(std::string& msg) {
    while (!broken) {
        const char* in = incoming.data() + head;
        const std::size_t size = incoming.size() - head;
        if (!prefixPlausible(in, size)) {
            if (!skipGarbage()) return false;
            continue;
        }
        if (size <= static_cast<std::size_t>(BodyLengthStart)) return false;
        // BodyLength digits start at byte 12 and end at the next SOH.
        long bodyLength = 0;
        int digits = 0;
        std::size_t pos = BodyLengthStart;
        bool framable = true;
        for (; pos < size; ++pos) {
            char c = in[pos];
            if (c == ch_soh) break;
            if (c < '0' || c > '9' || digits == MaxBodyLengthDigits) {
                framable = false;
                break;
            }
            bodyLength = bodyLength * 10 + (c - '0');
            ++digits;
        }
        if (framable && pos >= size) return false;
        if (!framable || digits == 0 || bodyLength > MaxBodyLength) {
            if (!skipGarbage()) return false;
            continue;
        }
        const std::size_t total = pos + 1 + static_cast<std::size_t>(bodyLength) + CheckSumLength;
        if (size < total) return false;
        msg.assign(in, total);
        head += total;
        return true;
    }
    return false;
}

bool Comm::skipGarbage() {
    if (!resync) {
        broken = true;
        return false;
    }
    // The next frame starts at the next "8=FIX"; until one comes, only a tail that may be the
    // start of one is kept, so the buffer stays bounded.
    static const std::string start = "8=FIX";
    std::size_t next = incoming.find(start, head + 1);
    if (next != std::string::npos) {
        head = next;
        return true;
    }
    std::size_t tail = std::min(incoming.size() - head - 1, start.size() - 1);
    while (tail > 0 && incoming.compare(incoming.size() - tail, tail, start, 0, tail) != 0) --tail;
    head = incoming.size() - tail;
    return false;
}

std::string Comm::recv() {
    std::string msg;
    if (broken || closed) return msg;
    if (cutFrame(msg)) return msg;
    if (broken) return msg;
    if (readOnWake && !readable) return msg;
    readOnce();
    if (cutFrame(msg)) return msg;
    if (sock->peerClosed() && !broken) closed = true;
    return msg;
}

std::string Comm::recvWithin(int seconds) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
    std::string msg;
    for (;;) {
        if (broken || closed) return std::string();
        if (cutFrame(msg)) return msg;
        if (broken) return std::string();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return std::string();
        // Only read once the socket is readable, so a blocking socket never blocks here.
        if (!sock->waitReadable(static_cast<int>(left.count()))) continue;
        readOnce();
        if (cutFrame(msg)) return msg;
        if (sock->peerClosed() && !broken) closed = true;
    }
}

bool Comm::isActive(int timeout) const {
    const time_t now = std::time(nullptr);
    return static_cast<long>(std::difftime(now, recvTime)) < timeout ||
           static_cast<long>(std::difftime(now, sendTime)) < timeout;
}

void Comm::timeReset() {
    recvTime = sendTime = std::time(nullptr);
}

void Comm::selectWithEvent(int fd, int timeout) {
    if (sock->selectEvent(fd, timeout, !outgoing.empty()) & Socket::socketReady) readable = true;
}

std::string Comm::convert(const std::string& msg) {
    std::string out;
    out.reserve(msg.size() + 16);
    for (char c : msg) {
        if (c == ch_soh)
            out += "<SOH>";
        else
            out += c;
    }
    return out;
}

void Comm::sleep_ms(int n) {
    Socket::sleep_ms(n);
}
