// Log: one day's message log of one site and direction, a text file with one complete FIX message
// per line (SOH bytes included) in the order written. Opening scans the file for the highest
// MsgSeqNum, from which a session resumes its numbering on the same day; write() appends each
// message with one system call and reports a failure; a separate reader replays the file from its
// first line to answer resend requests while the log stays open for appending.
//
// File names are built by the sessions: fix_home + "/logs/" + site + ".in." (or ".out.") + the
// local date YYYYMMDD. Lines of any length are read whole, at the scan and during replays.
//
// Thread contract: a Log belongs to one session thread. Files are not locked against a second
// process writing the same site's logs.
#pragma once

#include <sys/types.h>

#include <fstream>
#include <string>
#include <vector>

#include "LogException.h"

class Log {
  public:
    // Logs, sequence files and journals are made owner read-write, group read (the umask may
    // narrow it further): no other local user reads the trading.
    static constexpr mode_t fileMode = 0640;

    Log() = default;
    // Opens path for appending without the scan. Throws as openLog.
    explicit Log(const std::string& path);
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // Opens path for appending (created when missing) and sets the last sequence number to the
    // highest MsgSeqNum in the file (0 for a new file). A last line without its newline (a write
    // cut short by a crash) is ended first, so the next message starts a line of its own. Throws
    // "Fail to open the Log file: " + path + ": " + the reason (strerror); then nothing is open
    // and the number is unchanged.
    void openLog(const std::string& path);
    // Appends message and a newline with one write (no sync to the device). The last sequence
    // number becomes the message's MsgSeqNum (0 without one): not a maximum. When the system
    // takes it only in part or not at all (disk full, file size limit), whatever part was written
    // is cut off again and "Fail to write the Log file: " + path + ": " + the reason is thrown:
    // the message is not in the log and the last sequence number is unchanged.
    void write(const std::string& message);
    // The first `count` messages, each with its newline, in one write when the system takes it
    // whole; all or none of them end up in the log, as with write(). The last sequence number
    // becomes that of the last message.
    void writeAll(const std::vector<std::string>& messages, std::size_t count);
    // Renames the open file to `keptAs` and opens a new, empty one under the old name; the last
    // sequence number becomes 0. Throws as openLog, or "Fail to rename the Log file: " + path
    // (then the old file stays open and in place).
    void startOver(const std::string& keptAs);
    // The MsgSeqNum (field 34) of msg; 0 when it has none or it is not a number that fits.
    static int getSeq(const std::string& msg);
    int getLastSeq() const { return seq; }
    const std::string& fileName() const { return fname; }

    // Replay: openInput(); while (!isInputEOF()) { line = getNextLine(); skip empty lines; }
    // closeInput(). Each openInput starts again from the first line. A file that cannot be read
    // reports end of file at once.
    void openInput();
    // True once the reader has no further line (or none could be opened).
    bool isInputEOF();
    // The next line without its newline; empty for an empty line or at the end.
    std::string getNextLine();
    void closeInput();

  private:
    // Opens fname for appending; throws LogException when it cannot.
    void openAppend(const std::string& path);
    void closeAppend();

    int seq = 0;
    std::ifstream inFile;
    int fd = -1;
    // Writes `lines` whole or, cut back to `size`, not at all; throws as write().
    void append();
    // Bytes in the file as far as this writer knows: where a failed write is cut back to.
    off_t size = 0;
    // The lines of the latest write, kept to reuse their capacity.
    std::string lines;
    std::string fname;
};
