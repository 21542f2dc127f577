#include "Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

Log::Log(const std::string& path) {
    openAppend(path);
}

Log::~Log() {
    closeAppend();
}

void Log::closeAppend() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void Log::openAppend(const std::string& path) {
    // The logs hold every order and execution: not for every local user to read.
    int file = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, fileMode);
    if (file < 0)
        throw LogException("Fail to open the Log file: " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (fstat(file, &st) != 0) {
        int error = errno;
        ::close(file);
        throw LogException("Fail to open the Log file: " + path + ": " + std::strerror(error));
    }
    closeAppend();
    fd = file;
    size = st.st_size;
    fname = path;
}

void Log::openLog(const std::string& path) {
    openAppend(path);
    std::ifstream scan(path, std::ios::in | std::ios::binary);
    std::string line;
    int highest = 0;
    bool ended = true;
    while (std::getline(scan, line)) {
        ended = !scan.eof();
        int s = getSeq(line);
        if (s > highest) highest = s;
    }
    if (highest > seq) seq = highest;
    // A crash in the middle of a write leaves a line without its newline: end it, or the next
    // message would be glued to it and its number hidden from every later scan.
    if (!ended) {
        static const char newline = '\n';
        if (::write(fd, &newline, 1) != 1)
            throw LogException("Fail to write the Log file: " + path + ": " + std::strerror(errno));
        size += 1;
    }
}

void Log::write(const std::string& message) {
    lines.assign(message);
    lines += '\n';
    append();
    seq = getSeq(message);
}

void Log::writeAll(const std::vector<std::string>& messages, std::size_t count) {
    if (count == 0) return;
    lines.clear();
    for (std::size_t i = 0; i < count; ++i) {
        lines += messages[i];
        lines += '\n';
    }
    append();
    seq = getSeq(messages[count - 1]);
}

void Log::append() {
    const size_t whole = lines.size();
    size_t done = 0;
    while (done < whole) {
        ssize_t n = ::write(fd, lines.data() + done, whole - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A write that takes nothing without an error is a full device as far as we can tell.
            int error = n < 0 ? errno : ENOSPC;
            // Half a message in the log would be read back as a whole one by the numbering scan.
            // Should the cut fail as well, the next open ends the torn line.
            if (done > 0 && ftruncate(fd, size) != 0) done = 0;
            throw LogException("Fail to write the Log file: " + fname + ": " +
                               std::strerror(error));
        }
        done += static_cast<size_t>(n);
    }
    size += static_cast<off_t>(whole);
}

int Log::getSeq(const std::string& msg) {
    static const std::string key =
        "\x01"
        "34=";
    std::size_t pos = msg.find(key);
    if (pos == std::string::npos) return 0;
    pos += key.size();
    long long value = 0;
    std::size_t digits = 0;
    while (pos < msg.size() && msg[pos] >= '0' && msg[pos] <= '9') {
        value = value * 10 + (msg[pos++] - '0');
        if (value > INT_MAX) return 0;
        ++digits;
    }
    return digits == 0 ? 0 : static_cast<int>(value);
}

void Log::openInput() {
    if (inFile.is_open()) inFile.close();
    inFile.clear();
    inFile.open(fname, std::ios::in | std::ios::binary);
}

bool Log::isInputEOF() {
    if (!inFile.is_open() || !inFile.good()) return true;
    // Looking one byte ahead makes the end visible right after the last line was taken.
    return inFile.peek() == std::ifstream::traits_type::eof();
}

std::string Log::getNextLine() {
    std::string line;
    if (inFile.is_open() && inFile.good()) std::getline(inFile, line);
    return line;
}

void Log::closeInput() {
    if (inFile.is_open()) inFile.close();
    inFile.clear();
}

void Log::startOver(const std::string& keptAs) {
    const std::string path = fname;
    if (::rename(path.c_str(), keptAs.c_str()) != 0) {
        throw LogException("Fail to rename the Log file: " + path + ": " + std::strerror(errno));
    }
    openAppend(path);
    seq = 0;
}
