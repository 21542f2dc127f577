// One FIX message held as its exact wire text, and everything the sessions do to it: build from a
// template, stamp MsgSeqNum and SendingTime, seal BodyLength and CheckSum, validate, read and
// change fields, and turn a logged message into its possible-duplicate resend. There is no parsed
// field table: every operation searches and splices the text, so `message` may be assigned directly
// between calls. Operations never read outside the text and never throw on malformed input (only
// std::bad_alloc can escape); a missing field reads as empty, 0 or NUL. A Fix belongs to one
// thread.
#pragma once

#include <list>
#include <string>
#include <vector>

#include "Converter.h"
#include "Tag.h"
#include "Time.h"

inline const std::string tagCheckSum = "\00110=";   // key of the CheckSum field
inline const std::string tagBodyLength = "\0019=";  // key of the BodyLength field
inline const std::string soh_str = "<SOH>";         // printable form of SOH
// 8= + 7-byte version + SOH + 9= + SOH: what precedes the body while BodyLength is still empty.
constexpr int posBody = 13;
constexpr int ChecksumLength = 3;
constexpr char Yes = 'Y';
constexpr char No = 'N';

// Results of Fix::validate; the first failing check decides.
constexpr int Valid = 0;
constexpr int InvalidSeqGreater = 1;
constexpr int InvalidBeginString = -1;
constexpr int InvalidBodyLength = -2;
constexpr int InvalidChecksum = -3;
constexpr int InvalidSendingTime = -4;  // reserved; validate does not produce it
constexpr int InvalidSeqLess = -5;

class Fix {
  public:
    Fix();
    explicit Fix(const std::string& msg);

    // Same as build with the data "35=<msgType><SOH>".
    void build(std::list<Tag>& tagList, char msgType, int seq);
    // Merges the SOH-separated fields of `data` into the template (a field already in the template
    // takes its place there, a new one is appended), stamps 34 with seq and 52 with the current UTC
    // time where the list holds them, and seals BodyLength and CheckSum. Both arguments are
    // consumed: the list keeps the merged fields and data is left empty.
    void build(std::list<Tag>& tagList, std::string& data, int seq);
    // The message the form above makes from the template `head` followed by `tail` (nullptr for
    // none), without copying or changing either list or data: values are taken where they lie and
    // written straight into `message`, whose storage is reused, so a steady stream of messages
    // allocates nothing. This is the outbound path of every session message.
    void build(const std::list<Tag>& head, const std::list<Tag>* tail, const std::string& data,
               int seq);

    // Byte sum modulo 256 as three digits ("007", "061", "255").
    std::string checksum(const std::string& str) const;
    // Writes the BodyLength of a freshly assembled message into its field 9.
    void updateBodyLength();
    // Recomputes BodyLength and CheckSum from scratch, dropping any old trailer.
    void update_header_trailer();

    // Valid, or the first failure among BeginString, BodyLength, CheckSum and MsgSeqNum
    // (checked against expectedSeq unless it is 0).
    int validate(const std::string& version, int expectedSeq) const;

    // Field readers. Field 8 is never found: the search key needs an SOH in front of the number.
    std::string getTagValue(int t) const;
    int getTagIntValue(int t) const;
    char getTagCharValue(int t) const;
    // First byte of field 35; NUL when the field is missing or empty.
    char getMsgType() const;
    int getMsgSeqNum() const;
    std::string tagValue(int t) const;
    // True when field t is present, even with an empty value.
    bool hasTag(int t) const { return fieldPos(t) != std::string::npos; }
    // The search key of field t: SOH, number, '='.
    std::string tag_str(int t) const;
    // Bytes from after the SOH ending field 9 through the SOH before 10=; 0 when either is missing.
    int length() const;

    // Replace the value of the first field t in place; nothing happens when it is absent.
    void setTagValue(int t, char ch);
    void setTagValue(int t, const char* value);
    void setTagValue(int t, int number);
    void setTagValue(int t, const std::string& value);
    // setTagValue, then rebuild().
    void updateTagValue(int t, char c);
    void updateTagValue(int t, int n);
    void updateTagValue(int t, const char* str);
    void updateTagValue(int t, const std::string& s);
    // Inserts the field just before the checksum field, then rebuild().
    void addTag(int tag, const char* v);
    // Rewrites the values of 9 and 10 after a body change; a message without both is left alone.
    void rebuild();
    // Sets field t, replacing it in place or inserting it before the checksum field.
    void update_tag_value(const Tag& t);
    // update_tag_value for each SOH-separated field, then update_header_trailer().
    void rebuild_message(const std::string& tag_values);
    // Loads msg and makes it a possible-duplicate resend: 52 becomes now, 122 the former 52, 43 =
    // Y. Present fields are replaced in place; missing 122 and 43 go into the header right after 52
    // (after 34 when there is no 52), where strict engines require them.
    void buildResendMessage(const std::string& msg);

    // Puts the fields after 8, 9 and 35 in tag order: the standard header's fields first, then,
    // with `body`, the body's. Without `body` only the leading run of header fields moves. A
    // message with a length-prefixed data field or a hop group among the fields it would move is
    // left as it is. The bytes are the same, so BodyLength and CheckSum stay right.
    void orderFields(bool body);
    // True for the tags of the standard header (8, 9, 35, 34, 49, 52, 56, 43, 122, 115, ...).
    static bool isHeaderTag(int t);

    // SendingTime with milliseconds (YYYYMMDD-HH:MM:SS.sss) from now on; off: whole seconds.
    void setMilliseconds(bool on) { millis = on; }

    // A copy with every byte ch replaced by target.
    std::string translate(char ch, const std::string& target) const;
    // The message with every SOH shown as "<SOH>".
    std::string printable() const;

    int seq;
    Converter cvt;
    std::string message;

  private:
    // SendingTime text of the current second; build formats the clock once per second, not per
    // message.
    const std::string& sendingTime();

    // A field chosen for the message, its value still lying in a template, the data or stampText.
    struct FieldView {
        int tag;
        const char* value;
        size_t size;
        bool used;  // a data field already placed at its template position
    };
    // Reused by every build so their capacity stays: data fields, then the message's fields.
    std::vector<FieldView> dataFields;
    std::vector<FieldView> fields;
    // The MsgSeqNum and SendingTime texts of the message being built.
    struct Stamps {
        char seq[12];
        size_t seqSize = 0;
        const std::string* time = nullptr;
    };
    // Chooses the value of one template field (data value first, then 34 and 52) into `fields`.
    void placeTemplateField(const Tag& t, Stamps& stamps);
    // Stamps 34 and 52 over a field chosen for the message.
    void stamp(FieldView& f, Stamps& stamps);
    // Writes BodyLength and appends the CheckSum field to freshly assembled fields.
    void seal();

    Time clock;
    long stampSecond = -1;
    std::string stampText;
    bool millis = false;

    // Position of the SOH starting the key of field t (never 0), or npos.
    size_t fieldPos(int t) const;
    // Value bounds of field t; false when the field is absent.
    bool valueRange(int t, size_t& begin, size_t& end) const;
    // Byte sum modulo 256 of [data, data + n).
    static unsigned sumBytes(const char* data, size_t n);
    void replaceValue(int t, const char* value, size_t n);
    // Replaces a present field in place; inserts an absent one right after field `after`.
    void placeResendField(const Tag& t, int after);
};
