#include "StateFollower.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "Common.h"
#include "Converter.h"

namespace {

// Written whole and renamed over the old, so a crash leaves one or the other.
void replaceFile(const std::string& path, const std::string& text, const std::string& what) {
    std::string temp = path + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    bool written =
        fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0 && ::close(fd) != 0) written = false;
    if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        throw LogException("Fail to write the " + what + " file: " + path);
    }
}

std::uint64_t decimal(const std::string& text) {
    std::uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return n;
}

// The messages of an out or in record: one a line, as a log holds them.
template <typename Each>
void forEachLine(const std::string& text, Each each) {
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (end > at) each(text.substr(at, end - at));
        at = end + 1;
    }
}

}  // namespace

StateFollower::StateFollower(const std::string& siteName) : site(siteName) {
    FILE* f = std::fopen(followPath(site).c_str(), "re");
    if (f == nullptr) return;
    unsigned long long a = 0, o = 0;
    if (std::fscanf(f, "applied=%llu order=%llu", &a, &o) == 2) {
        appliedSeq = a;
        order = o;
    }
    std::fclose(f);
}

std::string StateFollower::followPath(const std::string& site) {
    return fix_home + "/logs/" + site + ".follow";
}

void StateFollower::openDay(int d) {
    if (d == day && inSeq) return;
    std::string date = Converter::to_string(d);
    inLog = std::make_unique<Log>();
    inLog->openLog(fix_home + "/logs/" + site + ".in." + date);
    outLog = std::make_unique<Log>();
    outLog->openLog(fix_home + "/logs/" + site + ".out." + date);
    inSeq = std::make_unique<SeqFile>(fix_home + "/logs/" + site + ".seq." + date);
    day = d;
}

void StateFollower::apply(const StateReader::Record& r) {
    if (r.seq <= appliedSeq) return;
    int d = Converter::to_int(r.header(dayHeader));
    const std::string& kind = r.kind;
    if (d > 0 && (kind == "out" || kind == "in" || kind == "inseq" || kind == "reset")) openDay(d);
    if (kind == "out" && d > 0) {
        // The same number twice is this gateway's own message followed again after a crash.
        forEachLine(r.text, [this](const std::string& m) {
            int seq = Log::getSeq(m);
            if (seq == 0 || seq > outLog->getLastSeq()) outLog->write(m);
        });
        std::uint64_t o = decimal(r.header(orderHeader));
        if (o > order) order = o;
    } else if (kind == "in" && d > 0) {
        forEachLine(r.text, [this](const std::string& m) { inLog->write(m); });
    } else if (kind == "inseq" && d > 0) {
        inSeq->set(Converter::to_int(r.text));
    } else if (kind == "reset" && d > 0) {
        setAside(*inLog, r.text);
        setAside(*outLog, r.text);
        inSeq->set(0);
    } else if (kind == "period") {
        writePeriod(site, r.text);
    } else if (kind == "active" && !r.header(periodHeader).empty()) {
        writePeriod(site, r.header(periodHeader));
    }
    appliedSeq = r.seq;
}

void StateFollower::advance(std::uint64_t seq, std::uint64_t o) {
    if (seq > appliedSeq) appliedSeq = seq;
    if (o > order) order = o;
}

void StateFollower::save() const {
    replaceFile(followPath(site),
                "applied=" + std::to_string(appliedSeq) + " order=" + std::to_string(order) + "\n",
                "follow");
}

void StateFollower::close() {
    inLog.reset();
    outLog.reset();
    inSeq.reset();
    day = 0;
}

std::string StateFollower::setAside(Log& log, const std::string& when) {
    struct stat st {};
    if (stat(log.fileName().c_str(), &st) == 0 && st.st_size == 0) return std::string();
    std::string kept = log.fileName() + ".reset-" + when;
    for (int n = 2; access(kept.c_str(), F_OK) == 0 && n < 1000000; ++n)
        kept = log.fileName() + ".reset-" + when + "-" + Converter::to_string(n);
    log.startOver(kept);
    return kept;
}

void StateFollower::writePeriod(const std::string& site, const std::string& line) {
    std::string text = line;
    if (text.empty() || text.back() != '\n') text += '\n';
    replaceFile(fix_home + "/logs/" + site + ".period", text, "period");
}
