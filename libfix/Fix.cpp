#include "Fix.h"

#include <charconv>
#include <cstring>

#include "Common.h"
#include "Time.h"

namespace {

// Writes the key of field t (SOH, number, '=') into buf and returns its length.
size_t make_key(char* buf, int t) {
    buf[0] = soh;
    char* end = std::to_chars(buf + 1, buf + 13, t).ptr;
    *end++ = equ;
    return static_cast<size_t>(end - buf);
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
    for_each_field(data, [&tagList](std::string piece) {
        Tag field;
        field.set(piece);
        for (Tag& entry : tagList) {
            if (entry == field) {
                entry = field;
                return;
            }
        }
        tagList.push_back(field);
    });
    data.clear();

    Time clock;
    message.clear();
    message.reserve(256);
    for (Tag& entry : tagList) {
        if (entry.tag == TagMsgSeqNum) {
            entry.value = cvt.to_string(seq);
        } else if (entry.tag == TagSendingTime) {
            entry.value = clock.getCurrentGMTime();
        }
        append_field(message, entry.tag, entry.value);
    }
    updateBodyLength();
    unsigned sum = sumBytes(message.data(), message.size());
    message += "10=";
    append_checksum_digits(message, sum);
    message += soh;
}

unsigned Fix::sumBytes(const char* data, size_t n) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) sum += p[i];
    return sum % 256;
}

std::string Fix::checksum(const std::string& str) const {
    std::string digits;
    append_checksum_digits(digits, sumBytes(str.data(), str.size()));
    return digits;
}

void Fix::updateBodyLength() {
    // Located by search rather than at a fixed offset, so a version text of any length works; with
    // a 7-byte version this is offset 12, after "8=FIX.4.x<SOH>9=".
    size_t key = message.find(tagBodyLength);
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
    size_t key = message.find(tagBodyLength);
    if (key != std::string::npos) {
        header = message.substr(0, key);
        size_t end9 = message.find(soh, key + 1);
        if (end9 != std::string::npos) {
            // Searching from the SOH that ends field 9 also finds a trailer that follows it
            // directly.
            size_t trailer = message.find(tagCheckSum, end9);
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

    size_t key9 = message.find(tagBodyLength);
    if (key9 == std::string::npos) return InvalidBodyLength;
    size_t value9 = key9 + tagBodyLength.size();
    size_t end9 = message.find(soh, value9);
    if (end9 == std::string::npos) return InvalidBodyLength;
    size_t trailer = message.find(tagCheckSum, end9);
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
    size_t pos = message.find(key, 0, n);
    return pos == 0 ? std::string::npos : pos;
}

bool Fix::valueRange(int t, size_t& begin, size_t& end) const {
    char key[16];
    size_t n = make_key(key, t);
    size_t pos = message.find(key, 0, n);
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
    size_t key9 = message.find(tagBodyLength);
    if (key9 == 0 || key9 == std::string::npos) return 0;
    size_t end9 = message.find(soh, key9 + 1);
    if (end9 == std::string::npos) return 0;
    size_t trailer = message.find(tagCheckSum, end9);
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
    size_t trailer = message.find(tagCheckSum);
    if (trailer == std::string::npos) {
        message += field;
    } else {
        message.insert(trailer + 1, field);
    }
    rebuild();
}

void Fix::rebuild() {
    size_t trailer = message.find(tagCheckSum);
    if (trailer == std::string::npos || fieldPos(TagBodyLength) == std::string::npos) return;
    setTagValue(TagBodyLength, length());
    trailer = message.find(tagCheckSum);
    std::string digits;
    append_checksum_digits(digits, sumBytes(message.data(), trailer + 1));
    setTagValue(TagCheckSum, digits);
}

void Fix::update_tag_value(const Tag& t) {
    std::string key = t.tagStr();
    std::string field = t.getTagValueStr();
    size_t pos = message.find(key);
    if (pos != std::string::npos) {
        size_t end = message.find(soh, pos + 1);
        size_t tail = end == std::string::npos ? message.size() : end + 1;
        message.replace(pos + 1, tail - pos - 1, field);
        return;
    }
    size_t trailer = message.find(tagCheckSum);
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
        message.find(t.tagStr()) == std::string::npos ? fieldPos(after) : std::string::npos;
    if (anchor == std::string::npos) {
        update_tag_value(t);
        return;
    }
    size_t end = message.find(soh, anchor + 1);
    message.insert(end == std::string::npos ? message.size() : end + 1, t.getTagValueStr());
}

void Fix::buildResendMessage(const std::string& msg) {
    Time clock;
    Tag sendingTime(TagSendingTime, clock.getCurrentGMTime());
    message = msg;
    Tag origSendingTime(TagOrigSendingTime, getTagValue(TagSendingTime));
    Tag possDup(TagPossDupFlag, std::string(1, Yes));
    bool hadOrigSendingTime = message.find(origSendingTime.tagStr()) != std::string::npos;

    // Missing header fields go in header order: 52 after 34, 122 after 52, 43 after 122 (after 52
    // when 122 stood elsewhere). Only a message without the anchor falls back to before the
    // checksum.
    placeResendField(sendingTime, TagMsgSeqNum);
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
