// StateFollower: a standby gateway's copy of what the active gateway of its site did, kept in this
// host's own files from the site's state records, so that at takeover the session continues the
// numbers exactly and answers a ResendRequest for anything the old active sent:
//   out / in  -> a batch of messages, one a line, appended to the outgoing / incoming log of the
//                record's day (an outbound number the log already holds is not written twice);
//   inseq     -> the day's SeqFile;
//   reset     -> both logs of the day kept aside as a sequence reset keeps them;
//   period / active (with Fixgate-Period) -> the period file.
// Where following stands (the last record applied, and the highest outbound stream sequence a
// recorded message carried) is kept in fix_home + "/logs/" + site + ".follow", one line
// "applied=<seq> order=<seq>", written whole and renamed over the old after each batch.
// Thread contract: one thread (the site's standby thread) uses the object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Log.h"
#include "SeqFile.h"
#include "StateReader.h"

class StateFollower {
  public:
    // Record kinds and headers of the site's state stream.
    static constexpr const char* kindHeader = "Fixgate-Kind";
    static constexpr const char* dayHeader = "Fixgate-Day";
    static constexpr const char* orderHeader = "Fixgate-Order";
    static constexpr const char* periodHeader = "Fixgate-Period";

    // Reads where following stood from the .follow file (nothing applied when it is missing).
    explicit StateFollower(const std::string& site);

    // Applies one record; records at or below applied() are skipped. Throws LogException when a
    // file cannot be written.
    void apply(const StateReader::Record& record);
    // The session of this gateway wrote the records up to `seq` itself (it was active).
    void advance(std::uint64_t seq, std::uint64_t order);
    // Writes the .follow file; throws LogException when it cannot.
    void save() const;
    // Lets go of the logs, so the site's session opens them as its own.
    void close();

    std::uint64_t applied() const { return appliedSeq; }
    std::uint64_t lastOrder() const { return order; }

    // Keeps a non-empty log aside as fileName + ".reset-" + when (with "-2", "-3", ... when that
    // name is taken) and starts it over; the kept name, or empty when the log was empty.
    static std::string setAside(Log& log, const std::string& when);
    // Writes the period file (the site's period start line) whole; throws LogException.
    static void writePeriod(const std::string& site, const std::string& line);
    static std::string followPath(const std::string& site);

  private:
    // Opens the logs and SeqFile of `day` when they are not the open ones.
    void openDay(int day);

    std::string site;
    std::uint64_t appliedSeq = 0;
    std::uint64_t order = 0;
    int day = 0;
    std::unique_ptr<Log> inLog, outLog;
    std::unique_ptr<SeqFile> inSeq;
};
