// The tag dictionary: FIX field numbers and their names, loaded once from a text file, answering
// which number carries a given name. Read-only after construction; safe to query from several
// threads.
//
// File format, one entry per line (at most 1023 characters; longer lines are skipped):
//   <number> = <name> | <anything>
// Exactly one character before '=' and before '|' is dropped, so a name keeps the blank after '='.
// Empty lines, lines starting with '*' and lines without '=' after their first character are
// skipped. A later line with the same number replaces the earlier name. A missing file gives an
// empty dictionary.
#pragma once

#include <map>
#include <string>

class Translator {
  public:
    // Loads ./cfg/dictionary.txt, relative to the working directory.
    Translator();
    explicit Translator(const std::string& path);

    // The lowest number whose name equals `name` byte for byte; 0 when none does. O(entries).
    int getTagNum(const std::string& name) const;

  private:
    void load(const std::string& path);

    std::map<int, std::string> tagNames;
};
