#include "TestUtil.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

bool waitUntil(const std::function<bool()>& done, int limitMs) {
    using std::chrono::milliseconds;
    using std::chrono::steady_clock;
    auto deadline = steady_clock::now() + milliseconds(limitMs);
    while (steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return done();
}

std::vector<std::string> nonEmptyLines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) out.push_back(line);
    }
    return out;
}

std::string lastLine(const std::string& out) {
    std::vector<std::string> lines = nonEmptyLines(out);
    if (lines.empty()) return "";
    const std::string& last = lines.back();
    bool timed = last.size() > 9 && last[2] == ':' && last[5] == ':' && last[8] == ' ';
    return timed ? last.substr(9) : last;
}

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

int threadCount(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
    }
    return -1;
}

int openDescriptors(pid_t pid, int below) {
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) return -1;
    int n = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        if (below < 0 || std::atoi(entry->d_name) < below) ++n;
    }
    ::closedir(dir);
    return n;
}

std::string utc(std::time_t at, const char* format) {
    std::tm tm{};
    gmtime_r(&at, &tm);
    char text[64];
    return std::string(text, std::strftime(text, sizeof text, format, &tm));
}

std::string daily(std::time_t from, std::time_t to) {
    return "daily:" + utc(from, "%H:%M:%S") + (to < 0 ? "" : "-" + utc(to, "%H:%M:%S"));
}
