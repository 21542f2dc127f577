// Recorder: the counterparty's record file, one line per event ("IN <msg>", "OUT <msg>",
// "EVENT <text>", "LOGON", "LOGOUT", "ORDER <msg>", "APP <msg>"), so a test can read exactly what
// the independent engine received, sent and complained about.
// Thread contract: record() may be called from any thread; lines are never interleaved.
#ifndef INTEROP_RECORDER_H
#define INTEROP_RECORDER_H

#include <cstdio>
#include <mutex>
#include <string>

class Recorder {
  public:
    // Opens (truncates) the file; throws std::runtime_error when it cannot.
    explicit Recorder(const std::string& path);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Appends "<kind> <text>\n" (or "<kind>\n" for an empty text) and flushes, so a reader
    // polling the file sees every line as soon as the event happened.
    void record(const std::string& kind, const std::string& text = std::string());

  private:
    std::mutex lock;
    std::FILE* file;
};

#endif
