// Feeds Comm an arbitrary byte stream over a socketpair, cut into chunks of fuzzer-chosen sizes,
// and checks what the framing hands out: every message is a well-formed frame by its BodyLength,
// the messages together are exactly the front of the stream, and once the writer closes, the
// stream ends as closed or broken within a bounded number of reads.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "Comm.h"
#include "Socket.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

// A returned message: "8=" + 1 to MaxBeginStringLength bytes + SOH + "9=" + digits + SOH +
// BodyLength bytes + 7 bytes.
void checkFrame(const std::string& m) {
    std::size_t soh = m.find(Comm::ch_soh);
    require(m.size() > 2 && m[0] == '8' && m[1] == '=' && soh != std::string::npos && soh > 2 &&
            soh <= 2 + static_cast<std::size_t>(Comm::MaxBeginStringLength));
    require(soh + 2 < m.size() && m[soh + 1] == '9' && m[soh + 2] == '=');
    const std::size_t start = soh + 3;
    std::size_t pos = start;
    long length = 0;
    while (pos < m.size() && m[pos] != Comm::ch_soh) {
        require(m[pos] >= '0' && m[pos] <= '9');
        length = length * 10 + (m[pos] - '0');
        require(length <= Comm::MaxBodyLength);
        ++pos;
    }
    require(pos > start && pos < m.size());
    require(m.size() == pos + 1 + static_cast<std::size_t>(length) + Comm::CheckSumLength);
}

// Hands out every whole message Comm can frame now; false when the stream ended.
bool drain(Comm& comm, std::string& got, std::size_t limit) {
    for (std::size_t i = 0; i < limit; ++i) {
        std::string m = comm.recv();
        if (m.empty()) return !(comm.isBroken() || comm.isClosed());
        checkFrame(m);
        got += m;
    }
    std::abort();  // more messages than bytes: the framing makes no progress
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    Socket reader(fds[0]);
    reader.setBlockingMode(Socket::nonBlock);
    Comm comm;
    comm.setup(reader);

    FuzzedDataProvider in(data, size);
    std::string sent;
    std::string got;
    const std::size_t limit = size + 16;
    bool open = true;
    while (open && in.remaining_bytes() > 0) {
        std::size_t chunk = in.ConsumeIntegralInRange<std::size_t>(1, 600);
        std::string bytes = in.ConsumeBytesAsString(chunk);
        if (bytes.empty()) break;
        require(write(fds[1], bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
        sent += bytes;
        open = drain(comm, got, limit);
    }
    shutdown(fds[1], SHUT_WR);
    // Each read takes at most BufSize bytes, so this many passes reach the end of the stream.
    for (std::size_t pass = 0; open && pass < sent.size() / Comm::BufSize + 4; ++pass) {
        reader.waitReadable(100);
        open = drain(comm, got, limit);
    }
    require(!open);
    require(sent.compare(0, got.size(), got) == 0);
    close(fds[0]);
    close(fds[1]);
    return 0;
}
