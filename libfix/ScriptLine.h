// ScriptLine turns one line of a test script into the text of an application message: the fields
// of the line, separated by "|", each followed by SOH. It also reads script lines through a bounded
// buffer, so an over-long line is measured and cut instead of overrunning anything.
// A plain value class with no shared state: use one object per thread.
#pragma once

#include <cstddef>
#include <istream>
#include <string>

class ScriptLine {
  public:
    // Longest line kept, and the largest text a queue message carries.
    static const std::size_t maxLength = 4095;

    // Reads up to the next line end (which is consumed, not stored). At most maxLength characters
    // are kept in `line`; the rest of a longer line is read and dropped. Returns the line's full
    // length. At the end of the input, or when reading fails, eofbit is set on `in`.
    static std::size_t read(std::istream& in, std::string& line);

    explicit ScriptLine(const std::string& text);

    // Empty lines and lines starting with the comment mark send nothing.
    bool isComment() const;

    // Fields up to each "|" at a position above 0 of the remaining text; the remaining text from an
    // empty field or a leading "|" on, or from the last "|" on, is one final field. A trailing "|"
    // ends the line without an empty field. Nothing else is interpreted: spaces and CR stay.
    std::string message() const;

  private:
    std::string text;
};
