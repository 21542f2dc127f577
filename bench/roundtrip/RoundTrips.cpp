#include "RoundTrips.h"

#include <cstdio>
#include <cstdlib>

void RoundTrips::begin(long count) {
    std::lock_guard<std::mutex> guard(lock);
    ++phase;
    answers = 0;
    sentAt.assign(static_cast<size_t>(count), Clock::time_point());
    answeredAt.assign(static_cast<size_t>(count), Clock::time_point());
    first = Clock::time_point();
    last = Clock::time_point();
    firstFault.clear();
}

std::string RoundTrips::clOrdId(long i) const {
    char id[32];
    std::snprintf(id, sizeof id, "%.2s-%02d-%07ld", prefix.c_str(), phase % 100, i);
    return id;
}

void RoundTrips::sent(long i) {
    Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> guard(lock);
    if (first == Clock::time_point()) first = now;
    sentAt[static_cast<size_t>(i)] = now;
}

bool RoundTrips::answered(const std::string& id) {
    Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> guard(lock);
    char expected[8];
    std::snprintf(expected, sizeof expected, "%.2s-%02d-", prefix.c_str(), phase % 100);
    long i = -1;
    if (id.size() >= 13 && id.compare(0, 6, expected) == 0) i = std::atol(id.c_str() + 6);
    const char* fault = nullptr;
    if (i < 0 || i >= static_cast<long>(sentAt.size()) ||
        sentAt[static_cast<size_t>(i)] == Clock::time_point()) {
        fault = "mismatched report (no such order in this phase)";
    } else if (answeredAt[static_cast<size_t>(i)] != Clock::time_point()) {
        fault = "duplicated report";
    }
    if (fault != nullptr) {
        if (firstFault.empty()) firstFault = std::string(fault) + " for ClOrdID " + id;
        return false;
    }
    answeredAt[static_cast<size_t>(i)] = now;
    last = now;
    ++answers;
    return true;
}

long RoundTrips::answeredCount() const {
    std::lock_guard<std::mutex> guard(lock);
    return answers;
}

std::string RoundTrips::fault() const {
    std::lock_guard<std::mutex> guard(lock);
    if (!firstFault.empty()) return firstFault;
    long sent = 0, first = -1;
    for (size_t i = 0; i < sentAt.size(); ++i) {
        if (sentAt[i] == Clock::time_point()) continue;
        ++sent;
        if (first < 0 && answeredAt[i] == Clock::time_point()) first = static_cast<long>(i);
    }
    if (first >= 0) {
        return "missing reports: " + std::to_string(sent - answers) + " of " +
               std::to_string(sent) + " orders sent, the first for ClOrdID " + clOrdId(first);
    }
    if (sent < static_cast<long>(sentAt.size())) {
        return "only " + std::to_string(sent) + " of " + std::to_string(sentAt.size()) +
               " orders sent";
    }
    return "";
}

std::vector<double> RoundTrips::latencies() const {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<double> micros;
    micros.reserve(static_cast<size_t>(answers));
    for (size_t i = 0; i < sentAt.size(); ++i) {
        if (answeredAt[i] == Clock::time_point()) continue;
        micros.push_back(
            std::chrono::duration<double, std::micro>(answeredAt[i] - sentAt[i]).count());
    }
    return micros;
}

double RoundTrips::elapsedSeconds() const {
    std::lock_guard<std::mutex> guard(lock);
    return std::chrono::duration<double>(last - first).count();
}
