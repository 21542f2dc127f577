// ControlFile: the counterparty's command channel. A test appends command lines to a file; each
// poll hands over the lines completed since the last poll, so a writer may append in pieces.
// Thread contract: one object, used by one thread.
#ifndef INTEROP_CONTROLFILE_H
#define INTEROP_CONTROLFILE_H

#include <cstddef>
#include <string>
#include <vector>

class ControlFile {
  public:
    // An empty path means no control file: polls find nothing.
    explicit ControlFile(const std::string& path) : path(path) {}

    // The complete lines appended since the last call, in order; a missing file reads as empty.
    std::vector<std::string> poll();

  private:
    std::string path;
    std::size_t offset = 0;
};

#endif
