#include "Comm.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace {

// Where the BodyLength digits of a frame starting at `in` begin: after "8=", a BeginString of 1 to
// MaxBeginStringLength bytes, SOH and "9=". 0 while the bytes so far fit that prefix without
// completing it (with at least one byte after it); npos as soon as they contradict it. The
// BeginString is one short scan, so FIX 4.x and FIXT.1.1 frames cost the same.
std::size_t bodyLengthAt(const char* in, std::size_t n) {
    constexpr std::size_t npos = std::string::npos;
    // Every FIX 4.x frame, settled without the scan: "8=", seven bytes none of which is SOH
    // (tested in one word), SOH and "9=".
    if (n > 12 && in[9] == Comm::ch_soh && in[10] == '9' && in[11] == '=' && in[0] == '8' &&
        in[1] == '=') {
        std::uint64_t word;
        std::memcpy(&word, in + 2, sizeof word);
        // Bytes 2..8 XOR SOH, byte 9 (which is SOH) forced non-zero; then the classic test for
        // a zero byte.
        constexpr std::uint64_t byte9 = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
                                            ? 0xFF00000000000000ULL
                                            : 0x00000000000000FFULL;
        word = (word ^ 0x0101010101010101ULL) | byte9;
        if (((word - 0x0101010101010101ULL) & ~word & 0x8080808080808080ULL) == 0) return 12;
    }
    if (n > 0 && in[0] != '8') return npos;
    if (n > 1 && in[1] != '=') return npos;
    if (n <= 2) return 0;
    const std::size_t bound = 2 + static_cast<std::size_t>(Comm::MaxBeginStringLength) + 1;
    const std::size_t limit = std::min(n, bound);
    std::size_t soh = 2;
    while (soh < limit && in[soh] != Comm::ch_soh) ++soh;
    if (soh == limit) return n >= bound ? npos : 0;
    if (soh == 2) return npos;
    if (n > soh + 1 && in[soh + 1] != '9') return npos;
    if (n > soh + 2 && in[soh + 2] != '=') return npos;
    return n > soh + 3 ? soh + 3 : 0;
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
        const std::size_t start = bodyLengthAt(in, size);
        if (start == std::string::npos) {
            if (!skipGarbage()) return false;
            continue;
        }
        if (start == 0) return false;
        // BodyLength digits start after "9=" and end at the next SOH.
        long bodyLength = 0;
        int digits = 0;
        std::size_t pos = start;
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
        std::size_t cut = total;
        if (resync) {
            // Where BodyLength and the trailer disagree the frame is garbled: it ends where its
            // own trailer or the next message begins, so the next message stays whole.
            if (size >= total && trailerAt(in, total - CheckSumLength)) {
                cut = total;
            } else {
                cut = garbledEnd(in, size, pos + 1, total);
                if (cut == 0) return false;
            }
        } else if (size < total) {
            return false;
        }
        msg.assign(in, cut);
        head += cut;
        return true;
    }
    return false;
}

bool Comm::trailerAt(const char* in, std::size_t at) {
    return in[at] == '1' && in[at + 1] == '0' && in[at + 2] == '=' && in[at + 3] >= '0' &&
           in[at + 3] <= '9' && in[at + 4] >= '0' && in[at + 4] <= '9' && in[at + 5] >= '0' &&
           in[at + 5] <= '9' && in[at + 6] == ch_soh;
}

std::size_t Comm::garbledEnd(const char* in, std::size_t size, std::size_t body,
                             std::size_t total) {
    static const char trailer[] = "\00110=";
    static const char start[] = "\0018=FIX";
    const std::string_view bytes(in, size);
    const bool whole = size >= total;
    // The frame's own CheckSum field, however short, ends it at its SOH.
    std::size_t key = bytes.find(std::string_view(trailer, 4), body - 1);
    std::size_t trailerEnd = std::string_view::npos;
    if (key != std::string_view::npos) {
        std::size_t soh = bytes.find(ch_soh, key + 4);
        if (soh != std::string_view::npos && soh - key <= 4 + ChecksumDigits) trailerEnd = soh + 1;
    }
    std::size_t next = bytes.find(std::string_view(start, 6), body - 1);
    if (next != std::string_view::npos) next += 1;
    if (trailerEnd != std::string_view::npos &&
        (next == std::string_view::npos || trailerEnd <= next)) {
        // While bytes BodyLength counts are still missing, a trailer ends the frame only when the
        // next message follows it at once: a message still arriving may carry such bytes as data.
        if (whole || bytes.compare(trailerEnd, 5, "8=FIX") == 0) return trailerEnd;
        return 0;
    }
    if (!whole) return 0;
    // No trailer of its own: it ends before the next message, else where BodyLength says.
    return next != std::string_view::npos ? next : total;
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
