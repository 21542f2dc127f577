// MsgParts: a text longer than a queue message travels as numbered parts, each a queue message of
// its own:
//
//   PART <seq> <k>/<n> <site>\n<slice k>
//
// <seq> is the number the text goes by (a FIX MsgSeqNum), <site> the name of the site it came
// from, <k> of <n> the place of the part; the slices (at most partText bytes each) put together
// from 1 to n give the text back byte for byte. A part starts "PART ", so it is never taken for a
// FIX message, which starts "8=". A writer writes the parts of one text in order, but messages of
// other writers may come between them: the header says whose each part is. A writer that did not
// get to count the text writes it again from part 1 after a restart, so a reader keeps the last
// complete text per site and number.
//
// Thread contract: the static functions may be called from any thread; a collecting object
// belongs to one reader thread.
#pragma once

#include <cstddef>
#include <map>
#include <string>

class MsgParts {
  public:
    // Bytes of the text one part carries at most; its header takes the rest of a queue message.
    static constexpr std::size_t partText = 4000;

    // The parts a text of `length` bytes takes.
    static int count(std::size_t length);
    // Part k (1 to count()) of text, from site, numbered seq. Throws std::length_error when the
    // header would not leave the slice room in a queue message (a site name of dozens of bytes).
    static std::string part(const std::string& site, int seq, const std::string& text, int k);
    // The text starts like a part.
    static bool isPart(const std::string& text);

    struct Header {
        int seq = 0;
        int k = 0;
        int n = 0;
        std::string site;
        // Where the slice starts in the part.
        std::size_t slice = 0;
    };
    // Reads a part's header; false when the text is not a well-formed part.
    static bool parse(const std::string& text, Header& into);

    enum class Taken { Whole, More, Stray };
    // Collects one part: Whole when it completed its text (which is then in `whole`), More while
    // parts are still to come, Stray when it is malformed or does not follow its site's parts so
    // far (it is dropped, and so is the site's unfinished text). A part 1 starts its site's text
    // afresh.
    Taken take(const std::string& part, std::string& whole);

  private:
    struct Open {
        int seq;
        int next;
        int n;
        std::string text;
    };
    // One unfinished text per site: a writer finishes one text's parts before it writes anything
    // newer, so this holds at most one entry per site.
    std::map<std::string, Open> open;
};
