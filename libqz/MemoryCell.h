// One site's cell of the shared-memory site table, with its inbound/outbound counters and the
// session status letters. This is an inter-process format mapped byte for byte by separately built
// programs: every size and offset below is pinned and must never change.
// Thread contract: none; cells live in shared memory and each field has a single writing party.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// One direction of a site's session.
struct Counters {
    int seq;      // MsgSeqNum of the last message accepted (In) or sent (Out)
    int pend;     // messages put on a queue by the producing side
    int proc;     // messages taken off / sent by the consuming side
    time_t last;  // seconds since the epoch of the last message
};
typedef Counters COUNTS;

struct MemoryCell {
    char name[17];  // NUL-terminated site name; an empty name marks a free cell
    Counters In;
    Counters Out;
    char status;  // one of the status_* letters, a blank after loading, 0 when cleared
    char future;  // reserved
};

constexpr int maxCells = 32;
constexpr int defaultMemMode = 0660;  // owner and group; others have no access
constexpr int maxSiteName = 16;
constexpr size_t tableSize = maxCells * sizeof(MemoryCell);

constexpr char status_Init = 'I';
constexpr char status_Online = 'O';
constexpr char status_Heartbeat = 'H';
constexpr char status_TestReq = 'T';
constexpr char status_Resend = 'R';
constexpr char status_Shutdown = 'S';

static_assert(sizeof(int) == 4, "counters are 32-bit signed");
static_assert(sizeof(time_t) == 8, "time stamps are 64-bit");
static_assert(sizeof(Counters) == 24, "Counters is 24 bytes");
static_assert(offsetof(Counters, seq) == 0, "Counters::seq at 0");
static_assert(offsetof(Counters, pend) == 4, "Counters::pend at 4");
static_assert(offsetof(Counters, proc) == 8, "Counters::proc at 8");
static_assert(offsetof(Counters, last) == 16, "Counters::last at 16");
static_assert(sizeof(MemoryCell) == 80, "MemoryCell is 80 bytes");
static_assert(offsetof(MemoryCell, name) == 0, "name at 0");
static_assert(offsetof(MemoryCell, In) == 24, "In at 24");
static_assert(offsetof(MemoryCell, Out) == 48, "Out at 48");
static_assert(offsetof(MemoryCell, status) == 72, "status at 72");
static_assert(offsetof(MemoryCell, future) == 73, "future at 73");
static_assert(tableSize == 2560, "the site table is 2560 bytes");
