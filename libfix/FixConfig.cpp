#include "FixConfig.h"

#include <cctype>
#include <fstream>

namespace {

// True when text is a field number: optional blanks, digits, optional blanks, above 0.
bool isFieldNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    std::size_t first = i;
    long number = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) &&
           number < 1000000000L)
        number = number * 10 + (text[i++] - '0');
    if (i == first || number <= 0 || number >= 1000000000L) return false;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    return i == text.size();
}

}  // namespace

void FixConfig::readSetting(const std::string& line) {
    std::string text;
    for (char c : line.substr(1))
        if (!std::isspace(static_cast<unsigned char>(c))) text += c;
    if (text == "{rules=standard}") standard = true;
    if (text == "{rules=today}") standard = false;
}

FixConfig::FixConfig(const std::string& client) {
    load(client);
}

void FixConfig::load(const std::string& client) {
    // The name may come from a counterparty's Logon: it must not lead out of ./cfg/.
    if (client.empty() || client.find('/') != std::string::npos)
        throw CfgException("Fail to open client FIX configuration file.");
    const std::string path = "./cfg/" + client + ".fix";
    std::ifstream in(path);
    if (!in.is_open()) throw CfgException("Fail to open client FIX configuration file.");

    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty()) continue;
        if (line[0] == Setting) {
            readSetting(line);
            continue;
        }
        std::list<Tag>* target = templateFor(line[0]);
        if (target == nullptr) continue;
        try {
            std::size_t length = line.size();
            if (line[length - 1] == '\r') --length;
            if (length > maxLineLength)
                throw CfgException("longer than " + std::to_string(maxLineLength) + " characters");
            std::list<Tag> fields;
            loadFixMsgDefinition(fields, line.c_str());
            target->splice(target->end(), fields);
        } catch (const CfgException& e) {
            throw CfgException("Malformed line in client FIX configuration file " + path +
                               " line " + std::to_string(number) + ": " + e.what());
        }
    }
}

void FixConfig::loadFixMsgDefinition(std::list<Tag>& tagList, const char* line) {
    std::string text(line);
    std::size_t open = text.find(LeftBrace);
    std::size_t close = text.find(RightBrace);
    // Without braces the marker would become part of the first field ("5" a field numbered 5),
    // so such a line is refused instead of putting a stray field on the wire.
    if (open == std::string::npos) throw CfgException("no '{'");
    if (close == std::string::npos || close < open) throw CfgException("'{' without a closing '}'");
    text.erase(close);
    text.erase(0, open + 1);
    if (text.find_first_not_of(" \t") == std::string::npos) return;

    // Cut at each ',' until nothing is left; a trailing ',' adds no item.
    std::list<Tag> parsed;
    while (!text.empty()) {
        std::size_t comma = text.find(Comma);
        std::string item = text.substr(0, comma);
        text.erase(0, comma == std::string::npos ? std::string::npos : comma + 1);
        std::string number = item.substr(0, item.find('='));
        if (item.empty()) throw CfgException("empty item");
        if (!isFieldNumber(number)) throw CfgException("item '" + item + "' has no field number");
        parsed.emplace_back(item);
    }
    tagList.splice(tagList.end(), parsed);
}

void FixConfig::getMsgTemplate(std::list<Tag>& tagList, char msgType) const {
    tagList = header;
    const std::list<Tag>* body = bodyTemplate(msgType);
    if (body == nullptr) return;
    std::list<Tag> copy = *body;
    tagList.splice(tagList.end(), copy);
}

const std::list<Tag>* FixConfig::bodyTemplate(char msgType) const {
    return msgType == Header ? nullptr : templateFor(msgType);
}

std::string FixConfig::getHeaderTagDefinition(int t) const {
    for (const Tag& field : header)
        if (field.tag == t) return field.value;
    return std::string();
}

std::list<Tag>* FixConfig::templateFor(char marker) {
    return const_cast<std::list<Tag>*>(static_cast<const FixConfig*>(this)->templateFor(marker));
}

const std::list<Tag>* FixConfig::templateFor(char marker) const {
    switch (marker) {
        case Header:
            return &header;
        case Logon:
            return &logon;
        case Heartbeat:
            return &heartbeat;
        case Testreq:
            return &testreq;
        case Resendreq:
            return &resendreq;
        case Reject:
            return &reject;
        case Seqreset:
            return &seqreset;
        case Logout:
            return &logout;
        default:
            return nullptr;
    }
}
