#include "Log.h"

#include <climits>

Log::Log(const std::string& path) {
    openAppend(path);
}

void Log::openAppend(const std::string& path) {
    std::ofstream file(path, std::ios::out | std::ios::app | std::ios::binary);
    if (!file.is_open()) throw LogException("Fail to open the Log file: " + path);
    if (outFile.is_open()) outFile.close();
    outFile = std::move(file);
    fname = path;
}

void Log::openLog(const std::string& path) {
    openAppend(path);
    std::ifstream scan(path, std::ios::in | std::ios::binary);
    std::string line;
    int highest = 0;
    while (std::getline(scan, line)) {
        int s = getSeq(line);
        if (s > highest) highest = s;
    }
    if (highest > seq) seq = highest;
}

void Log::write(const std::string& message) {
    outFile << message << '\n';
    outFile.flush();
    // A failed write (disk full) must not leave the stream refusing every later message.
    if (!outFile) outFile.clear();
    seq = getSeq(message);
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
