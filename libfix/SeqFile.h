// SeqFile: the number of the last inbound message a site's session accepted in sequence (and, for
// an application message, put on the output queue) on one day. A restart on the same day expects
// the number after it, so a gap still open when the connection dropped, a frame that failed its
// checks or a message that never reached the application is asked for again. The incoming log
// stays the record of what came over the wire; it is read only for a day that has no SeqFile
// (logs written before there were any).
//
// File: fix_home + "/logs/" + site + ".seq." + YYYYMMDD, 16 bytes mapped into memory: an 8-byte
// tag, the number as a 32-bit int in host order, 4 bytes reserved. set() is one aligned store
// into the mapping, so a process killed at any instruction leaves either the old number or the
// new one in the file; only a crash of the machine can lose it, as it can the logs' last lines.
//
// Thread contract: one session thread owns the object.
#pragma once

#include <string>

class SeqFile {
  public:
    // Maps path, creating it (mode 0640) when missing. Throws LogException "Fail to open the
    // sequence file: " + path + ": " + the reason when it cannot, or when the file is not one of
    // this layout ("not a sequence file").
    explicit SeqFile(const std::string& path);
    ~SeqFile();
    SeqFile(const SeqFile&) = delete;
    SeqFile& operator=(const SeqFile&) = delete;

    // True once a number has been set, by this run or an earlier one.
    bool recorded() const;
    // The number last set; 0 when none was.
    int get() const;
    void set(int seq);

  private:
    struct Record;
    Record* record = nullptr;
};
