#include "SeqFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Log.h"

struct SeqFile::Record {
    char tag[8];
    int seq;
    int reserved;
};

namespace {

constexpr char seqTag[8] = {'F', 'I', 'X', 'S', 'E', 'Q', '1', '\n'};
const char* const notThisLayout = "not a sequence file";

}  // namespace

SeqFile::SeqFile(const std::string& path) {
    const std::string failure = "Fail to open the sequence file: " + path + ": ";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, Log::fileMode);
    if (fd < 0) throw LogException(failure + std::strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        int error = errno;
        ::close(fd);
        throw LogException(failure + std::strerror(error));
    }
    bool sized =
        st.st_size == sizeof(Record) || (st.st_size == 0 && ftruncate(fd, sizeof(Record)) == 0);
    if (!sized) {
        int error = st.st_size == 0 ? errno : 0;
        ::close(fd);
        throw LogException(failure + (error != 0 ? std::strerror(error) : notThisLayout));
    }
    void* at = mmap(nullptr, sizeof(Record), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int error = errno;
    ::close(fd);
    if (at == MAP_FAILED) throw LogException(failure + std::strerror(error));
    record = static_cast<Record*>(at);
    // A file cut short between its sizing and its first number is all zeros: not yet recorded.
    static const char blank[sizeof seqTag] = {};
    if (!recorded() && std::memcmp(record->tag, blank, sizeof blank) != 0) {
        munmap(record, sizeof(Record));
        record = nullptr;
        throw LogException(failure + notThisLayout);
    }
}

SeqFile::~SeqFile() {
    if (record != nullptr) munmap(record, sizeof(Record));
}

bool SeqFile::recorded() const {
    return std::memcmp(record->tag, seqTag, sizeof seqTag) == 0;
}

int SeqFile::get() const {
    return recorded() ? __atomic_load_n(&record->seq, __ATOMIC_RELAXED) : 0;
}

void SeqFile::set(int seq) {
    __atomic_store_n(&record->seq, seq, __ATOMIC_RELAXED);
    // The tag after the first number, so a file is never read as recorded before it holds one.
    if (!recorded()) {
        __atomic_thread_fence(__ATOMIC_RELEASE);
        std::memcpy(record->tag, seqTag, sizeof seqTag);
    }
}
