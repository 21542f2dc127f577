// Runs the message layer on arbitrary text: validation, the field readers, buildResendMessage and
// rebuild_message. Nothing may read outside the text, and a message that validates must still
// validate, with the same MsgSeqNum, after it is turned into its resend copy or re-sealed with
// fields set.
//
// Input: the message, optionally followed by a 0xFF byte and SOH-separated update fields.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Fix.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

const int probeTags[] = {0, 7, 8, 9, 10, 16, 34, 35, 36, 43, 49, 52, 56, 108, 112, 122, 123};

void readEverything(const Fix& fix) {
    for (int t : probeTags) {
        std::string v = fix.getTagValue(t);
        require(v == fix.tagValue(t));
        require(v.find('\x01') == std::string::npos);
        require(fix.getTagCharValue(t) == (v.empty() ? '\0' : v[0]));
        fix.getTagIntValue(t);
    }
    fix.getMsgType();
    fix.getMsgSeqNum();
    require(fix.length() >= 0);
    std::string shown = fix.printable();
    require(shown.size() >= fix.message.size());
}

// The version a message names, so validate can pass on any well-formed input.
std::string versionOf(const std::string& m) {
    std::size_t end = m.find('\x01');
    return m.size() > 2 && end != std::string::npos && end >= 2 ? m.substr(2, end - 2) : "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::string updates;
    std::size_t split = input.find('\xff');
    if (split != std::string::npos) {
        updates = input.substr(split + 1);
        input.erase(split);
    }

    Fix fix(input);
    readEverything(fix);
    const std::string version = versionOf(input);
    int seqCheck = fix.getMsgSeqNum();
    int result = fix.validate(version, seqCheck);
    fix.validate("FIX.4.2", 1);
    // Messages reach resend and re-sealing whole and alone, as Comm frames them and the logs
    // keep them: nothing after the checksum field.
    const std::size_t trailer = input.find(
        "\x01"
        "10=");
    const bool valid = fix.validate(version, 0) == Valid && trailer != std::string::npos &&
                       trailer + 8 == input.size();
    require(!valid || result == Valid || result == InvalidSeqGreater || result == InvalidSeqLess);

    Fix resend;
    resend.buildResendMessage(input);
    readEverything(resend);
    if (valid) {
        require(resend.validate(version, 0) == Valid);
        require(resend.getTagCharValue(TagPossDupFlag) == Yes);
        require(resend.getMsgSeqNum() == fix.getMsgSeqNum());
        require(resend.getTagValue(TagOrigSendingTime) == fix.getTagValue(TagSendingTime));
    }

    // Each update field needs a number for the result to be defined.
    bool wellFormedUpdates =
        !updates.empty() && updates[0] != '\x01' && updates.find("\x01\x01") == std::string::npos;
    Fix updated(input);
    updated.rebuild_message(updates);
    readEverything(updated);
    if (valid && wellFormedUpdates) require(updated.validate(version, 0) == Valid);

    Fix sealed(input);
    sealed.setTagValue(TagMsgSeqNum, 7);
    sealed.rebuild();
    sealed.updateTagValue(TagText, updates);
    sealed.addTag(TagPossDupFlag, "Y");
    readEverything(sealed);
    return 0;
}
