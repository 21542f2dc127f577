// Validator: checks one whole inbound message against a data dictionary and names the first
// fault as a SessionRejectReason and the tag at fault: an undefined tag (0), a required tag
// missing (1), a tag this message type does not have (2), a tag without a value (4), a value
// outside the enumeration (5), a value of the wrong format (6), a MsgType the dictionary does not
// define (11), a tag repeated outside a repeating group (13), a header tag after the body or a
// body tag after the trailer (14), a group entry that does not start with its first field (15),
// and a NumInGroup different from the entries that follow (16). A group announced with 0 entries
// is valid.
//
// The message is walked once, left to right; the framing (BeginString, BodyLength, CheckSum) is
// the caller's to check first. check() allocates nothing: the tags seen are kept in bitsets and
// the open groups on a stack, both sized when the validator is made. Cost: O(fields), plus a
// clear of the bitset words the message (or group entry) marked, per message and per group entry.
//
// Thread contract: one validator per session thread; the dictionary it holds is shared.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "Dictionary.h"

class Validator {
  public:
    // Fault::tag when no tag applies (tag 0 and negative tags are named as written).
    static constexpr int noTag = std::numeric_limits<int>::min();
    struct Fault {
        int reason = -1;  // SessionRejectReason; -1 when the message is valid
        int tag = noTag;  // the tag at fault (RefTagID)
        bool ok() const { return reason < 0; }
    };

    explicit Validator(std::shared_ptr<const Dictionary> dictionary);

    Fault check(std::string_view msg);
    const Dictionary& dictionary() const { return *dict; }

  private:
    // One open level: the top (header, body or trailer of the message) or a group's entries.
    struct Level {
        int scope;
        int countTag;   // 0 at the top
        int delimiter;  // first field of each entry
        long expected;  // entries announced
        long entries;   // entries begun
    };

    bool seen(int depth, int tag) const {
        return (seen_[depth * words + (tag >> 6)] >> (tag & 63) & 1) != 0;
    }
    void mark(int depth, int tag) {
        const auto w = static_cast<std::size_t>(tag >> 6);
        seen_[depth * words + w] |= std::uint64_t{1} << (tag & 63);
        if (!sparse) return;
        Dirty& d = dirty[static_cast<std::size_t>(depth)];
        if (w < d.first) d.first = w;
        if (w >= d.end) d.end = w + 1;
    }
    void clear(int depth);
    // The first required tag of `scope` not seen at `depth`, 0 when all are there.
    int missing(int depth, int scope) const;
    // Closes the innermost group: its last entry complete, its count right.
    Fault closeGroup();
    Fault closeAll();
    Fault value(int tag, std::string_view v) const;
    // The first standard header field in msg from `pos` on: a required header tag missing where
    // the body begins may only stand after it (14 rather than 1). 0 when there is none.
    int headerTagFrom(std::string_view msg, std::size_t pos) const;
    // Places `tag` in the open levels (closing groups it ends, opening the one it counts).
    Fault place(int tag, std::string_view v);

    std::shared_ptr<const Dictionary> dict;
    std::size_t words;
    std::vector<std::uint64_t> seen_;  // one bitset per level
    // The words of each level's bitset that hold a mark, so a clear touches only those: FIX 5.0
    // numbers fields up to 50002 (782 words) while a message uses a handful of them. Kept only
    // for such wide bitsets: clearing FIX 4.x's 15 words whole costs less than the bookkeeping.
    static constexpr std::size_t sparseWords = 64;
    bool sparse;
    struct Dirty {
        std::size_t first, end;
    };
    std::vector<Dirty> dirty;
    std::vector<Level> levels;  // capacity fixed at construction
};
