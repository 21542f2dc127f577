#include "Journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "Log.h"

struct Journal::Header {
    char magic[8];
    int slotCount;
    int slotSize;
    // Fed from a stream: the highest stream sequence whose slot has been freed (held slots carry
    // theirs in `order`). Zeros in journals written before streams: fed from a queue.
    std::uint64_t streamTaken;
    int streamFed;
    char reserved[36];
};

// The receive writes the first two members as one queue message buffer; the rest is ours.
struct Journal::Slot {
    MBUF buf;    // type 0: free
    long order;  // when it was taken, across runs: held slots go out oldest first (a stream's
                 // texts: its stream sequence)
    int seq;     // MsgSeqNum it is being logged under; 0 none yet (`returning`: see Journal.h)
    int date;    // YYYYMMDD of the outgoing log that seq belongs to
};

namespace {

constexpr char journalMagic[8] = {'F', 'I', 'X', 'J', 'R', 'N', 'L', '1'};
const char* const notThisLayout = "not a journal of this layout";

}  // namespace

bool Journal::sameLayout(const Header& h) {
    static_assert(sizeof(Header) == 64, "the header's size is part of the file's layout");
    return std::memcmp(h.magic, journalMagic, sizeof journalMagic) == 0 && h.slotCount == slots &&
           h.slotSize == static_cast<int>(sizeof(Slot));
}

Journal::Journal() {
    length = sizeof(Header) + slots * sizeof(Slot);
    map(true, "");
}

Journal::Journal(const std::string& file) {
    length = sizeof(Header) + slots * sizeof(Slot);
    const std::string failure = "Fail to open the journal file: " + file + ": ";
    fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, Log::fileMode);
    if (fd < 0) throw LogException(failure + std::strerror(errno));
    try {
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            throw JournalBusy("Fail to lock the journal file: " + file);
        }
        struct stat st {};
        if (fstat(fd, &st) != 0) throw LogException(failure + std::strerror(errno));
        bool fresh = st.st_size == 0;
        if (fresh && ftruncate(fd, static_cast<off_t>(length)) != 0) {
            throw LogException(failure + std::strerror(errno));
        }
        if (!fresh && st.st_size != static_cast<off_t>(length)) {
            throw LogException(failure + notThisLayout);
        }
        map(fresh, failure);
    } catch (...) {
        close(fd);
        throw;
    }
}

void Journal::map(bool fresh, const std::string& failure) {
    int flags = fd < 0 ? MAP_SHARED | MAP_ANONYMOUS : MAP_SHARED;
    void* at = mmap(nullptr, length, PROT_READ | PROT_WRITE, flags, fd, 0);
    if (at == MAP_FAILED) throw LogException(failure + std::strerror(errno));
    base = at;
    header = static_cast<Header*>(base);
    table = reinterpret_cast<Slot*>(static_cast<char*>(base) + sizeof(Header));

    // A file cut short between its sizing and its header is still all zeros: a fresh journal.
    static const char blank[sizeof journalMagic] = {};
    if (fresh || std::memcmp(header->magic, blank, sizeof blank) == 0) {
        std::memcpy(header->magic, journalMagic, sizeof journalMagic);
        header->slotCount = slots;
        header->slotSize = static_cast<int>(sizeof(Slot));
    } else if (!sameLayout(*header)) {
        munmap(base, length);
        base = nullptr;
        throw LogException(failure + notThisLayout);
    }
    // Resident pages: a receive then never has to fault a page in after it has taken the message.
    // Best effort; without it the window is a page fault during a kill.
    mlock(base, length);

    for (int i = 0; i < slots; ++i) {
        if (table[i].buf.mtype == 0) {
            freeSlots.push_back(i);
        } else {
            nextOrder = std::max(nextOrder, table[i].order + 1);
        }
    }
    sem_init(&freeCount, 0, static_cast<unsigned>(freeSlots.size()));
}

int Journal::countHeld(const std::string& file) {
    const size_t size = sizeof(Header) + slots * sizeof(Slot);
    int in = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return -1;
    struct stat st {};
    void* at = fstat(in, &st) == 0 && st.st_size == static_cast<off_t>(size)
                   ? mmap(nullptr, size, PROT_READ, MAP_SHARED, in, 0)
                   : MAP_FAILED;
    close(in);
    if (at == MAP_FAILED) return -1;
    int count = -1;
    if (sameLayout(*static_cast<const Header*>(at))) {
        const Slot* s =
            reinterpret_cast<const Slot*>(static_cast<const char*>(at) + sizeof(Header));
        count = 0;
        for (int i = 0; i < slots; ++i) {
            if (__atomic_load_n(&s[i].buf.mtype, __ATOMIC_ACQUIRE) != 0) ++count;
        }
    }
    munmap(at, size);
    return count;
}

Journal::~Journal() {
    if (base != nullptr) {
        sem_destroy(&freeCount);
        munmap(base, length);
    }
    if (fd >= 0) close(fd);  // and with it the lock
}

Journal::Slot& Journal::slot(int index) const {
    return table[index];
}

int Journal::acquire(bool wait) {
    // EINTR: the dispatcher is being stopped.
    if ((wait ? sem_wait(&freeCount) : sem_trywait(&freeCount)) != 0) return -1;
    int index;
    {
        std::lock_guard<std::mutex> guard(lock);
        index = freeSlots.front();
        freeSlots.pop_front();
    }
    Slot& s = slot(index);
    s.seq = 0;
    s.date = 0;
    s.order = nextOrder++;
    // A text is measured up to its first NUL, so the receive must land on zeros.
    std::memset(s.buf.mtext, 0, sizeof s.buf.mtext);
    return index;
}

MBUF& Journal::buffer(int index) {
    return slot(index).buf;
}

std::string Journal::text(int index) const {
    const MBUF& b = slot(index).buf;
    return std::string(b.mtext, strnlen(b.mtext, sizeof b.mtext));
}

long Journal::type(int index) const {
    return slot(index).buf.mtype;
}

void Journal::stamp(int index, int seq, int date) {
    Slot& s = slot(index);
    s.date = date;
    // The number last: a stamp is only read as whole once it is set.
    __atomic_store_n(&s.seq, seq, __ATOMIC_RELEASE);
}

void Journal::fill(int index, const std::string& text, std::uint64_t streamSeq) {
    Slot& s = slot(index);
    std::memcpy(s.buf.mtext, text.data(), std::min(text.size(), sizeof s.buf.mtext - 1));
    s.order = static_cast<long>(streamSeq);
    // The type last: the slot counts as held, with its text and sequence, from this store on.
    __atomic_store_n(&s.buf.mtype, 1L, __ATOMIC_RELEASE);
}

bool Journal::useStream(bool stream) {
    if (header->streamFed == (stream ? 1 : 0)) return true;
    // A queue's texts carry orders of a counter, not stream sequences: taken for a stream's, they
    // would make texts of the stream look sent.
    if (stream && !held().empty()) return false;
    header->streamFed = stream ? 1 : 0;
    return true;
}

std::uint64_t Journal::streamTaken() const {
    std::uint64_t taken = __atomic_load_n(&header->streamTaken, __ATOMIC_ACQUIRE);
    if (header->streamFed != 1) return taken;
    for (int i = 0; i < slots; ++i) {
        if (__atomic_load_n(&slot(i).buf.mtype, __ATOMIC_ACQUIRE) != 0)
            taken = std::max(taken, static_cast<std::uint64_t>(slot(i).order));
    }
    return taken;
}

void Journal::release(int index) {
    // A stream's text leaves its sequence behind before the slot is free, so a killed run never
    // forgets that the stream's copy was taken. (A slot acquired and never filled has none.)
    if (header->streamFed == 1 && slot(index).buf.mtype != 0) {
        std::uint64_t seq = static_cast<std::uint64_t>(slot(index).order);
        if (seq > header->streamTaken)
            __atomic_store_n(&header->streamTaken, seq, __ATOMIC_RELEASE);
    }
    __atomic_store_n(&slot(index).buf.mtype, 0L, __ATOMIC_RELEASE);
    {
        std::lock_guard<std::mutex> guard(lock);
        freeSlots.push_back(index);
    }
    sem_post(&freeCount);
}

std::uint64_t Journal::streamSeqOf(int index) const {
    if (header->streamFed != 1) return 0;
    return static_cast<std::uint64_t>(slot(index).order);
}

void Journal::restartStream(std::uint64_t taken) {
    for (int i : held()) {
        slot(i).order = 0;
        release(i);
    }
    __atomic_store_n(&header->streamTaken, taken, __ATOMIC_RELEASE);
}

std::vector<int> Journal::held() const {
    std::vector<int> out;
    for (int i = 0; i < slots; ++i) {
        if (__atomic_load_n(&slot(i).buf.mtype, __ATOMIC_ACQUIRE) != 0) out.push_back(i);
    }
    std::sort(out.begin(), out.end(),
              [this](int a, int b) { return slot(a).order < slot(b).order; });
    return out;
}

int Journal::recover(const std::function<int(int date)>& lastLogged) {
    int kept = 0;
    for (int index : held()) {
        Slot& s = slot(index);
        if (s.seq > 0 && s.seq <= lastLogged(s.date)) {
            release(index);
            continue;
        }
        // Not in its log (or stamped `returning` by an earlier program): it goes out again as new,
        // and its old stamp must not make a later recovery mistake another message's number for it.
        __atomic_store_n(&s.seq, 0, __ATOMIC_RELEASE);
        s.date = 0;
        ++kept;
    }
    return kept;
}
