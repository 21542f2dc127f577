#include "SiteLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

std::unique_ptr<SiteLock> SiteLock::take(int tableId, const std::string& site) {
    std::string path = "/dev/shm/fixgate." + std::to_string(tableId) + "." + site + ".lock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return std::unique_ptr<SiteLock>(new SiteLock(-1));
    int r;
    do {
        r = flock(fd, LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<SiteLock>(new SiteLock(fd));
}

SiteLock::~SiteLock() {
    if (fd >= 0) ::close(fd);
}
