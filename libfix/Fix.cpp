#include "Fix.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "Common.h"
#include "Time.h"

namespace {

// Calls each(number, value, end) for every non-empty SOH-separated piece of data, parsed in place
// (Tag::set rules: a piece without '=' is read as its own value) rather than through substrings:
// this runs for every outbound message.
template <typename Each>
void eachPiece(const std::string& data, Each each) {
    const char* p = data.data();
    const char* const stop = p + data.size();
    while (p < stop) {
        const char* end = static_cast<const char*>(std::memchr(p, soh, stop - p));
        if (end == nullptr) end = stop;
        if (end > p) {
            const char* eq = static_cast<const char*>(std::memchr(p, equ, end - p));
            each(Converter::to_int(p, eq != nullptr ? eq : end), eq != nullptr ? eq + 1 : p, end);
        }
        p = end + 1;
    }
}

// Writes the key of field t (SOH, number, '=') into buf and returns its length.
size_t make_key(char* buf, int t) {
    buf[0] = soh;
    char* end = std::to_chars(buf + 1, buf + 13, t).ptr;
    *end++ = equ;
    return static_cast<size_t>(end - buf);
}

// Flags (high bit of a byte) the bytes of `word` equal to the byte repeated in `pattern`: exact for
// the lowest such byte, possibly a few false ones above it, so callers verify what it flags.
inline uint64_t equal_bytes(uint64_t word, uint64_t pattern) {
    constexpr uint64_t ones = 0x0101010101010101ULL;
    constexpr uint64_t highs = 0x8080808080808080ULL;
    uint64_t x = word ^ pattern;
    return (x - ones) & ~x & highs;
}

// First occurrence of needle in s at or after `from`, or npos. The keys searched here are a few
// bytes long and start with SOH, the most frequent byte of a message; library searches
// (std::string::find, memmem) spend more on per-call and per-candidate overhead than on the scan.
// This one tests eight positions per step for the needle's first two bytes and verifies only the
// positions it flags.
size_t find_text(const std::string& s, const char* needle, size_t n, size_t from = 0) {
    const size_t size = s.size();
    if (n == 0 || from >= size || size - from < n) return std::string::npos;
    const char* base = s.data();
    const size_t last = size - n;  // last position where the needle fits
    size_t i = from;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (n >= 2) {
        constexpr uint64_t ones = 0x0101010101010101ULL;
        const uint64_t first = ones * static_cast<unsigned char>(needle[0]);
        const uint64_t second = ones * static_cast<unsigned char>(needle[1]);
        for (; i + 9 <= size && i <= last; i += 8) {
            uint64_t here, next;
            std::memcpy(&here, base + i, sizeof here);
            std::memcpy(&next, base + i + 1, sizeof next);
            uint64_t flags = equal_bytes(here, first) & equal_bytes(next, second);
            while (flags != 0) {
                size_t pos = i + static_cast<size_t>(__builtin_ctzll(flags)) / 8;
                if (pos > last) return std::string::npos;
                if (std::memcmp(base + pos, needle, n) == 0) return pos;
                flags &= flags - 1;
            }
        }
    }
#endif
    for (; i <= last; ++i) {
        if (base[i] == needle[0] && std::memcmp(base + i, needle, n) == 0) return i;
    }
    return std::string::npos;
}

size_t find_text(const std::string& s, const std::string& needle, size_t from = 0) {
    return find_text(s, needle.data(), needle.size(), from);
}

// "-2147483648"
constexpr size_t maxTagWidth = 11;

size_t decimal_width(int n) {
    char buf[12];
    return static_cast<size_t>(std::to_chars(buf, buf + sizeof buf, n).ptr - buf);
}

void append_int(std::string& out, int n) {
    char buf[12];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, n).ptr);
}

void append_field(std::string& out, int tag, const std::string& value) {
    append_int(out, tag);
    out += equ;
    out += value;
    out += soh;
}

void append_checksum_digits(std::string& out, unsigned sum) {
    out += static_cast<char>('0' + sum / 100);
    out += static_cast<char>('0' + sum / 10 % 10);
    out += static_cast<char>('0' + sum % 10);
}

// Calls f(piece) for each non-empty SOH-separated piece of text.
template <typename F>
void for_each_field(const std::string& text, F f) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(soh, start);
        if (end == std::string::npos) end = text.size();
        if (end > start) f(text.substr(start, end - start));
        start = end + 1;
    }
}

}  // namespace

Fix::Fix() : seq(0) {}

Fix::Fix(const std::string& msg) : seq(0), message(msg) {}

void Fix::build(std::list<Tag>& tagList, char msgType, int seq) {
    std::string data = "35=";
    data += msgType;
    data += soh;
    build(tagList, data, seq);
}

void Fix::build(std::list<Tag>& tagList, std::string& data, int seq) {
    eachPiece(data, [&](int number, const char* value, const char* end) {
        Tag* slot = nullptr;
        for (Tag& entry : tagList) {
            if (entry.tag == number) {
                slot = &entry;
                break;
            }
        }
        if (slot == nullptr) {
            tagList.emplace_back(number, std::string(value, end));
        } else {
            slot->value.assign(value, end);
        }
    });
    data.clear();

    // Sized once and written in place: appending field by field costs more than the copying itself.
    size_t total = 0;
    for (Tag& entry : tagList) {
        if (entry.tag == TagMsgSeqNum) {
            entry.value = cvt.to_string(seq);
        } else if (entry.tag == TagSendingTime) {
            entry.value = sendingTime();
        }
        total += decimal_width(entry.tag) + entry.value.size() + 2;
    }
    message.resize(total);
    char* out = &message[0];
    char* const limit = out + total;
    for (const Tag& entry : tagList) {
        out = std::to_chars(out, limit, entry.tag).ptr;
        *out++ = equ;
        std::memcpy(out, entry.value.data(), entry.value.size());
        out += entry.value.size();
        *out++ = soh;
    }
    seal();
}

void Fix::build(const std::list<Tag>& head, const std::list<Tag>* tail, const std::string& data,
                int seq) {
    if (&data == &message) {
        // The values are read while the message is written.
        const std::string copy = data;
        build(head, tail, copy, seq);
        return;
    }
    // The data's fields in order of first appearance; a repeated number keeps its first place and
    // takes the last value, as the list form's in-place replacement does.
    dataFields.clear();
    eachPiece(data, [&](int number, const char* value, const char* end) {
        size_t size = static_cast<size_t>(end - value);
        FieldView* slot = nullptr;
        for (FieldView& f : dataFields) {
            if (f.tag == number) {
                slot = &f;
                break;
            }
        }
        if (slot == nullptr) {
            dataFields.push_back({number, value, size, false});
        } else {
            slot->value = value;
            slot->size = size;
        }
    });

    Stamps stamps;
    stamps.seqSize = static_cast<size_t>(
        std::to_chars(stamps.seq, stamps.seq + sizeof stamps.seq, seq).ptr - stamps.seq);
    fields.clear();
    for (const Tag& t : head) placeTemplateField(t, stamps);
    if (tail != nullptr) {
        for (const Tag& t : *tail) placeTemplateField(t, stamps);
    }
    for (const FieldView& d : dataFields) {
        if (d.used) continue;
        fields.push_back(d);
        stamp(fields.back(), stamps);
    }

    // Sized for the widest numbers and cut back after writing: measuring each number first costs
    // as much as writing it.
    size_t bound = 0;
    for (const FieldView& f : fields) bound += maxTagWidth + f.size + 2;
    // Room for the BodyLength digits and the CheckSum field too, so sealing does not reallocate.
    if (message.capacity() < bound + 24) message.reserve(bound + 24);
    message.resize(bound);
    char* const begin = &message[0];
    char* out = begin;
    char* const limit = begin + bound;
    for (const FieldView& f : fields) {
        out = std::to_chars(out, limit, f.tag).ptr;
        *out++ = equ;
        std::memcpy(out, f.value, f.size);
        out += f.size;
        *out++ = soh;
    }
    message.resize(static_cast<size_t>(out - begin));
    seal();
}

void Fix::placeTemplateField(const Tag& t, Stamps& stamps) {
    FieldView f{t.tag, t.value.data(), t.value.size(), false};
    // Only the first template field of a number takes the data's value.
    for (FieldView& d : dataFields) {
        if (!d.used && d.tag == t.tag) {
            d.used = true;
            f.value = d.value;
            f.size = d.size;
            break;
        }
    }
    stamp(f, stamps);
    fields.push_back(f);
}

void Fix::stamp(FieldView& f, Stamps& stamps) {
    if (f.tag == TagMsgSeqNum) {
        f.value = stamps.seq;
        f.size = stamps.seqSize;
    } else if (f.tag == TagSendingTime) {
        // Read once per message: a second call may rewrite the text an earlier field points to.
        if (stamps.time == nullptr) stamps.time = &sendingTime();
        f.value = stamps.time->data();
        f.size = stamps.time->size();
    }
}

void Fix::seal() {
    updateBodyLength();
    unsigned sum = sumBytes(message.data(), message.size());
    message += "10=";
    append_checksum_digits(message, sum);
    message += soh;
}

const std::string& Fix::sendingTime() {
    if (millis) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        std::tm utc{};
        gmtime_r(&now.tv_sec, &utc);
        char text[64];
        std::snprintf(text, sizeof text, "%04d%02d%02d-%02d:%02d:%02d.%03ld", utc.tm_year + 1900,
                      utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                      now.tv_nsec / 1000000);
        stampSecond = -1;
        stampText = text;
        return stampText;
    }
    clock.update();
    if (clock.get() != stampSecond) {
        stampSecond = clock.get();
        stampText = clock.getGMTime();
    }
    return stampText;
}

unsigned Fix::sumBytes(const char* data, size_t n) {
    // Eight bytes at a time: the even and odd bytes of each word are added into four 16-bit lanes.
    // A lane gains at most 510 per word, so 64 words fit before the lanes are folded.
    constexpr uint64_t evenBytes = 0x00FF00FF00FF00FFULL;
    uint64_t total = 0;
    size_t i = 0;
    while (i + 8 <= n) {
        uint64_t lanes = 0;
        for (size_t block = 0; block < 64 && i + 8 <= n; ++block, i += 8) {
            uint64_t word;
            std::memcpy(&word, data + i, sizeof word);
            lanes += (word & evenBytes) + ((word >> 8) & evenBytes);
        }
        total +=
            (lanes & 0xFFFF) + ((lanes >> 16) & 0xFFFF) + ((lanes >> 32) & 0xFFFF) + (lanes >> 48);
    }
    for (; i < n; ++i) total += static_cast<unsigned char>(data[i]);
    return static_cast<unsigned>(total % 256);
}

std::string Fix::checksum(const std::string& str) const {
    std::string digits;
    append_checksum_digits(digits, sumBytes(str.data(), str.size()));
    return digits;
}

void Fix::updateBodyLength() {
    // Located by search rather than at a fixed offset, so a version text of any length works; with
    // a 7-byte version this is offset 12, after "8=FIX.4.x<SOH>9=".
    size_t key = find_text(message, tagBodyLength);
    if (key == std::string::npos) return;
    size_t begin = key + tagBodyLength.size();
    size_t end = message.find(soh, begin);
    if (end == std::string::npos) return;
    std::string digits = cvt.to_string(static_cast<int>(message.size() - end - 1));
    message.replace(begin, end - begin, digits);
}

void Fix::update_header_trailer() {
    std::string header;
    std::string body;
    size_t key = find_text(message, tagBodyLength);
    if (key != std::string::npos) {
        header = message.substr(0, key);
        size_t end9 = message.find(soh, key + 1);
        if (end9 != std::string::npos) {
            // Searching from the SOH that ends field 9 also finds a trailer that follows it
            // directly.
            size_t trailer = find_text(message, tagCheckSum, end9);
            size_t stop = trailer == std::string::npos ? message.size() : trailer + 1;
            body = message.substr(end9 + 1, stop - end9 - 1);
        }
    }
    message = header;
    message += tagBodyLength;
    append_int(message, static_cast<int>(body.size()));
    message += soh;
    message += body;
    unsigned sum = sumBytes(message.data(), message.size());
    message += "10=";
    append_checksum_digits(message, sum);
    message += soh;
}

int Fix::validate(const std::string& version, int expectedSeq) const {
    const size_t size = message.size();

    size_t end8 = message.find(soh);
    if (size < 2 || message[0] != '8' || message[1] != equ || end8 == std::string::npos ||
        message.compare(2, end8 - 2, version) != 0) {
        return InvalidBeginString;
    }

    size_t key9 = find_text(message, tagBodyLength);
    if (key9 == std::string::npos) return InvalidBodyLength;
    size_t value9 = key9 + tagBodyLength.size();
    size_t end9 = message.find(soh, value9);
    if (end9 == std::string::npos) return InvalidBodyLength;
    size_t trailer = find_text(message, tagCheckSum, end9);
    size_t bodyEnd = trailer == std::string::npos ? size : trailer + 1;
    const char* text = message.data();
    int declared = cvt.to_int(text + value9, text + end9);
    if (declared < 0 || static_cast<size_t>(declared) != bodyEnd - end9 - 1) {
        return InvalidBodyLength;
    }

    if (trailer == std::string::npos) return InvalidChecksum;
    size_t digits = trailer + tagCheckSum.size();
    // The three digits and the SOH that ends the message must all be there.
    if (digits + ChecksumLength >= size || text[digits + ChecksumLength] != soh) {
        return InvalidChecksum;
    }
    unsigned sum = sumBytes(text, trailer + 1);
    if (text[digits] != static_cast<char>('0' + sum / 100) ||
        text[digits + 1] != static_cast<char>('0' + sum / 10 % 10) ||
        text[digits + 2] != static_cast<char>('0' + sum % 10)) {
        return InvalidChecksum;
    }

    if (expectedSeq == 0) return Valid;
    int seqNum = getMsgSeqNum();
    if (seqNum < expectedSeq) return InvalidSeqLess;
    if (seqNum > expectedSeq) return InvalidSeqGreater;
    return Valid;
}

size_t Fix::fieldPos(int t) const {
    char key[16];
    size_t n = make_key(key, t);
    size_t pos = find_text(message, key, n);
    return pos == 0 ? std::string::npos : pos;
}

bool Fix::valueRange(int t, size_t& begin, size_t& end) const {
    char key[16];
    size_t n = make_key(key, t);
    size_t pos = find_text(message, key, n);
    if (pos == 0 || pos == std::string::npos) return false;
    begin = pos + n;
    end = message.find(soh, begin);
    if (end == std::string::npos) end = message.size();
    return true;
}

std::string Fix::getTagValue(int t) const {
    size_t begin, end;
    if (!valueRange(t, begin, end)) return std::string();
    return message.substr(begin, end - begin);
}

int Fix::getTagIntValue(int t) const {
    size_t begin, end;
    if (!valueRange(t, begin, end)) return 0;
    return cvt.to_int(message.data() + begin, message.data() + end);
}

char Fix::getTagCharValue(int t) const {
    size_t begin, end;
    if (!valueRange(t, begin, end) || begin == end) return '\0';
    return message[begin];
}

char Fix::getMsgType() const {
    return getTagCharValue(TagMsgType);
}

int Fix::getMsgSeqNum() const {
    return getTagIntValue(TagMsgSeqNum);
}

std::string Fix::tagValue(int t) const {
    return getTagValue(t);
}

std::string Fix::tag_str(int t) const {
    char key[16];
    return std::string(key, make_key(key, t));
}

int Fix::length() const {
    size_t key9 = find_text(message, tagBodyLength);
    if (key9 == 0 || key9 == std::string::npos) return 0;
    size_t end9 = message.find(soh, key9 + 1);
    if (end9 == std::string::npos) return 0;
    size_t trailer = find_text(message, tagCheckSum, end9);
    if (trailer == std::string::npos) return 0;
    return static_cast<int>(trailer - end9);
}

void Fix::replaceValue(int t, const char* value, size_t n) {
    size_t begin, end;
    if (!valueRange(t, begin, end)) return;
    message.replace(begin, end - begin, value, n);
}

void Fix::setTagValue(int t, char ch) {
    replaceValue(t, &ch, 1);
}

void Fix::setTagValue(int t, const char* value) {
    replaceValue(t, value, value != nullptr ? std::strlen(value) : 0);
}

void Fix::setTagValue(int t, int number) {
    char buf[12];
    replaceValue(t, buf,
                 static_cast<size_t>(std::to_chars(buf, buf + sizeof buf, number).ptr - buf));
}

void Fix::setTagValue(int t, const std::string& value) {
    replaceValue(t, value.data(), value.size());
}

void Fix::updateTagValue(int t, char c) {
    setTagValue(t, c);
    rebuild();
}

void Fix::updateTagValue(int t, int n) {
    setTagValue(t, n);
    rebuild();
}

void Fix::updateTagValue(int t, const char* str) {
    setTagValue(t, str);
    rebuild();
}

void Fix::updateTagValue(int t, const std::string& s) {
    setTagValue(t, s);
    rebuild();
}

void Fix::addTag(int tag, const char* v) {
    std::string field;
    append_field(field, tag, v != nullptr ? v : "");
    size_t trailer = find_text(message, tagCheckSum);
    if (trailer == std::string::npos) {
        message += field;
    } else {
        message.insert(trailer + 1, field);
    }
    rebuild();
}

void Fix::rebuild() {
    size_t trailer = find_text(message, tagCheckSum);
    if (trailer == std::string::npos || fieldPos(TagBodyLength) == std::string::npos) return;
    setTagValue(TagBodyLength, length());
    trailer = find_text(message, tagCheckSum);
    std::string digits;
    append_checksum_digits(digits, sumBytes(message.data(), trailer + 1));
    setTagValue(TagCheckSum, digits);
}

void Fix::update_tag_value(const Tag& t) {
    std::string key = t.tagStr();
    std::string field = t.getTagValueStr();
    size_t pos = find_text(message, key);
    if (pos != std::string::npos) {
        size_t end = message.find(soh, pos + 1);
        size_t tail = end == std::string::npos ? message.size() : end + 1;
        message.replace(pos + 1, tail - pos - 1, field);
        return;
    }
    size_t trailer = find_text(message, tagCheckSum);
    if (trailer != std::string::npos) {
        message.insert(trailer + 1, field);
    } else {
        message += field;
    }
}

void Fix::rebuild_message(const std::string& tag_values) {
    for_each_field(tag_values, [this](std::string piece) {
        Tag field;
        field.set(piece);
        update_tag_value(field);
    });
    update_header_trailer();
}

void Fix::placeResendField(const Tag& t, int after) {
    size_t anchor =
        find_text(message, t.tagStr()) == std::string::npos ? fieldPos(after) : std::string::npos;
    if (anchor == std::string::npos) {
        update_tag_value(t);
        return;
    }
    size_t end = message.find(soh, anchor + 1);
    message.insert(end == std::string::npos ? message.size() : end + 1, t.getTagValueStr());
}

void Fix::buildResendMessage(const std::string& msg) {
    Tag newSendingTime(TagSendingTime, sendingTime());
    message = msg;
    Tag origSendingTime(TagOrigSendingTime, getTagValue(TagSendingTime));
    Tag possDup(TagPossDupFlag, std::string(1, Yes));
    bool hadOrigSendingTime = find_text(message, origSendingTime.tagStr()) != std::string::npos;

    // Missing header fields go in header order: 52 after 34, 122 after 52, 43 after 122 (after 52
    // when 122 stood elsewhere). Only a message without the anchor falls back to before the
    // checksum.
    placeResendField(newSendingTime, TagMsgSeqNum);
    placeResendField(origSendingTime, TagSendingTime);
    placeResendField(possDup, hadOrigSendingTime ? TagSendingTime : TagOrigSendingTime);
    update_header_trailer();
}

std::string Fix::translate(char ch, const std::string& target) const {
    std::string out;
    out.reserve(message.size());
    for (char c : message) {
        if (c == ch) {
            out += target;
        } else {
            out += c;
        }
    }
    return out;
}

std::string Fix::printable() const {
    return translate(soh, soh_str);
}

bool Fix::isHeaderTag(int t) {
    switch (t) {
        case 8:
        case 9:
        case 34:
        case 35:
        case 43:
        case 49:
        case 50:
        case 52:
        case 56:
        case 57:
        case 90:
        case 91:
        case 97:
        case 115:
        case 116:
        case 122:
        case 128:
        case 129:
        case 142:
        case 143:
        case 144:
        case 145:
        case 212:
        case 213:
        case 347:
        case 369:
        case 627:
        case 628:
        case 629:
        case 630:
        case 1128:
        case 1129:
        case 1156:
            return true;
        default:
            return false;
    }
}

void Fix::orderFields(bool body) {
    // 8, 9 and 35 lead; what follows them up to the CheckSum field is reordered.
    static const char leading[] = "8=";
    if (message.compare(0, 2, leading) != 0) return;
    size_t end8 = message.find(soh);
    if (end8 == std::string::npos || message.compare(end8 + 1, 2, "9=") != 0) return;
    size_t end9 = message.find(soh, end8 + 1);
    if (end9 == std::string::npos || message.compare(end9 + 1, 3, "35=") != 0) return;
    size_t first = message.find(soh, end9 + 1);
    size_t trailer = message.rfind(tagCheckSum);
    if (first == std::string::npos || trailer == std::string::npos || trailer < first) return;

    struct Piece {
        int tag;
        bool header;
        size_t at, size;  // the field with its SOH
    };
    std::vector<Piece> pieces;
    size_t moved = trailer + 1;  // end of what is reordered
    for (size_t at = first + 1; at < trailer + 1;) {
        size_t end = message.find(soh, at);
        size_t eq = message.find(equ, at);
        if (eq > end) return;
        int tag = Converter::to_int(message.data() + at, message.data() + eq);
        bool header = isHeaderTag(tag);
        if (!body && !header) {
            moved = at;
            break;
        }
        // A length-prefixed value may hold SOH, and a hop group must keep its entries together.
        if (tag == 90 || tag == 212 || tag == 627 ||
            (body && (tag == 95 || tag == 348 || tag == 350 || tag == 352 || tag == 354 ||
                      tag == 618 || tag == 621 || tag == 445))) {
            return;
        }
        pieces.push_back({tag, header, at, end + 1 - at});
        at = end + 1;
    }
    std::stable_sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) {
        if (a.header != b.header) return a.header;
        return a.tag < b.tag;
    });
    std::string ordered;
    ordered.reserve(message.size());
    ordered.append(message, 0, first + 1);
    for (const Piece& p : pieces) ordered.append(message, p.at, p.size);
    ordered.append(message, moved, std::string::npos);
    message.swap(ordered);
}
