// FIX messages as wire text: building from templates, BodyLength and CheckSum, validation, field
// access and changes, and possible-duplicate resend copies. Messages in this file are written with
// '|' for SOH and converted by wire().
#include "Fix.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <list>
#include <random>
#include <regex>
#include <string>

namespace {

std::string wire(std::string s) {
    for (char& c : s) {
        if (c == '|') c = '\x01';
    }
    return s;
}

std::string bars(std::string s) {
    for (char& c : s) {
        if (c == '\x01') c = '|';
    }
    return s;
}

// An independently sealed message: "8=<version>|9=<body bytes>|<body>10=<sum % 256>|".
std::string sealed(const std::string& version, const std::string& body) {
    std::string b = wire(body);
    std::string m = "8=" + version + "\x01" + "9=" + std::to_string(b.size()) + "\x01" + b;
    unsigned sum = 0;
    for (unsigned char c : m) sum += c;
    char digits[8];
    std::snprintf(digits, sizeof digits, "%03u", sum % 256);
    return m + "10=" + digits + "\x01";
}

std::list<Tag> headerTemplate() {
    return {Tag(8, "FIX.4.2"), Tag(9, ""),  Tag(35, ""), Tag(49, "DESK"),
            Tag(56, "BRK1"),   Tag(34, ""), Tag(52, "")};
}

const std::regex sendingTime(R"(\d{8}-\d\d:\d\d:\d\d)");

}  // namespace

// ---- checksum and body length ----

TEST(FixChecksum, HeartbeatExampleComesOutByteForByte) {
    // Bytes summed: "8=FIX.4.2|" = 56+61+70+73+88+46+52+46+50+1 = 543
    //               "9=5|"       = 57+61+53+1                   = 172
    //               "35=0|"      = 51+53+61+48+1                = 214
    // 543 + 172 + 214 = 929 = 3 * 256 + 161, so the checksum is 161.
    // BodyLength counts "35=0|": 5 bytes.
    std::list<Tag> templ = {Tag(8, "FIX.4.2"), Tag(9, "")};
    std::string data = wire("35=0|");
    Fix fix;
    fix.build(templ, data, 1);
    EXPECT_EQ(bars(fix.message), "8=FIX.4.2|9=5|35=0|10=161|");
    EXPECT_EQ(fix.validate("FIX.4.2", 0), Valid);
    EXPECT_EQ(fix.length(), 5);
}

TEST(FixChecksum, IsTheByteSumModulo256InThreeDigits) {
    Fix fix;
    EXPECT_EQ(fix.checksum(""), "000");
    EXPECT_EQ(fix.checksum("\x01"), "001");
    EXPECT_EQ(fix.checksum("\x07"), "007");
    EXPECT_EQ(fix.checksum("="), "061");         // '=' is 61
    EXPECT_EQ(fix.checksum("\xff"), "255");      // bytes count as unsigned 0..255
    EXPECT_EQ(fix.checksum("\x80\x80"), "000");  // 128 + 128 = 256
    EXPECT_EQ(fix.checksum("\xff\x02"), "001");  // 255 + 2 = 257
    EXPECT_EQ(fix.checksum("AB"), "131");        // 65 + 66
}

TEST(FixChecksum, RebuildingHeaderAndTrailerDropsTheOldTrailer) {
    Fix fix(wire("8=FIX.4.2|9=999|35=0|49=A|10=000|"));
    fix.update_header_trailer();
    EXPECT_EQ(fix.message, sealed("FIX.4.2", "35=0|49=A|"));

    Fix noTrailer(wire("8=FIX.4.2|9=|35=1|112=x|"));
    noTrailer.update_header_trailer();
    EXPECT_EQ(noTrailer.message, sealed("FIX.4.2", "35=1|112=x|"));

    Fix emptyBody(wire("8=FIX.4.2|9=7|10=111|"));
    emptyBody.update_header_trailer();
    EXPECT_EQ(emptyBody.message, sealed("FIX.4.2", ""));
}

// ---- building ----

TEST(FixBuild, HeaderTemplateGetsSequenceNumberSendingTimeLengthAndChecksum) {
    std::list<Tag> templ = headerTemplate();
    std::string data = wire("35=0|");
    Fix fix;
    time_t before = time(nullptr);
    fix.build(templ, data, 5);

    EXPECT_EQ(fix.getTagValue(TagMsgSeqNum), "5");
    std::string stamp = fix.getTagValue(TagSendingTime);
    ASSERT_TRUE(std::regex_match(stamp, sendingTime)) << stamp;
    tm utc{};
    gmtime_r(&before, &utc);
    EXPECT_EQ(stamp.substr(0, 4), std::to_string(utc.tm_year + 1900));

    std::string body = "35=0|49=DESK|56=BRK1|34=5|52=" + stamp + "|";
    EXPECT_EQ(fix.message, sealed("FIX.4.2", body));
    EXPECT_EQ(fix.validate("FIX.4.2", 5), Valid);
    EXPECT_TRUE(data.empty());
}

TEST(FixBuild, TemplatePositionIsKeptAndNewFieldsAreAppendedInDataOrder) {
    std::list<Tag> templ = {Tag(8, "FIX.4.2"), Tag(9, ""), Tag(35, ""), Tag(49, "DESK"),
                            Tag(34, "")};
    std::string data = wire("55=IBM|35=D|54=1|49=DESK2|38=100");
    Fix fix;
    fix.build(templ, data, 12);
    EXPECT_EQ(fix.message, sealed("FIX.4.2", "35=D|49=DESK2|34=12|55=IBM|54=1|38=100|"));

    // The template list now holds the merged fields in message order.
    std::string order;
    for (const Tag& t : templ) order += std::to_string(t.tag) + "=" + t.value + " ";
    EXPECT_EQ(order, "8=FIX.4.2 9= 35=D 49=DESK2 34=12 55=IBM 54=1 38=100 ");
}

TEST(FixBuild, DataValuesForSequenceNumberAndSendingTimeAreOverwritten) {
    std::list<Tag> templ = headerTemplate();
    std::string data = wire("35=D|34=999|52=19990101-00:00:00|11=ORD1|");
    Fix fix;
    fix.build(templ, data, 7);
    EXPECT_EQ(fix.getMsgSeqNum(), 7);
    EXPECT_NE(fix.getTagValue(TagSendingTime), "19990101-00:00:00");
    EXPECT_TRUE(std::regex_match(fix.getTagValue(TagSendingTime), sendingTime));
    EXPECT_EQ(fix.getTagValue(TagClOrdID), "ORD1");
    EXPECT_EQ(fix.validate("FIX.4.2", 7), Valid);
}

TEST(FixBuild, SequenceNumberAndSendingTimeAppearOnlyWhereTheTemplateHasThem) {
    std::list<Tag> templ = {Tag(8, "FIX.4.2"), Tag(9, ""), Tag(35, "")};
    Fix fix;
    fix.build(templ, msgTypeTestReq, 3);
    EXPECT_EQ(fix.message, sealed("FIX.4.2", "35=1|"));
    EXPECT_EQ(fix.getTagValue(TagMsgSeqNum), "");
    EXPECT_EQ(fix.getTagValue(TagSendingTime), "");
}

TEST(FixBuild, MessageTypeFormEqualsTheDataForm) {
    std::list<Tag> a = {Tag(8, "FIX.4.2"), Tag(9, ""), Tag(35, ""), Tag(49, "DESK")};
    std::list<Tag> b = a;
    std::string data = wire("35=A|");
    Fix byType, byData;
    byType.build(a, msgTypeLogon, 1);
    byData.build(b, data, 1);
    EXPECT_EQ(byType.message, byData.message);
    EXPECT_EQ(byType.getMsgType(), msgTypeLogon);
}

TEST(FixBuild, EmptyPiecesInTheDataAddNoField) {
    std::list<Tag> templ = {Tag(8, "FIX.4.2"), Tag(9, ""), Tag(35, "")};
    std::string data = wire("|35=D||55=IBM|");
    Fix fix;
    fix.build(templ, data, 1);
    EXPECT_EQ(fix.message, sealed("FIX.4.2", "35=D|55=IBM|"));
}

TEST(FixBuild, BodyLengthIsPlacedForVersionTextsOfAnyLength) {
    std::list<Tag> templ = {Tag(8, "FIXT.1.1"), Tag(9, ""), Tag(35, "")};
    std::string data = wire("35=0|");
    Fix fix;
    fix.build(templ, data, 1);
    EXPECT_EQ(fix.message, sealed("FIXT.1.1", "35=0|"));
    EXPECT_EQ(fix.validate("FIXT.1.1", 0), Valid);
}

TEST(FixBuild, InPlaceFormGivesTheListFormsMessageByteForByte) {
    const std::list<Tag> header = headerTemplate();
    const std::list<Tag> logonBody = {Tag(98, "0"), Tag(108, "30")};
    const std::list<Tag> bare = {Tag(8, "FIX.4.4"), Tag(9, "77"), Tag(35, "")};
    const std::list<Tag> twice = {Tag(8, "FIX.4.2"), Tag(9, ""),   Tag(35, ""),
                                  Tag(49, "A"),      Tag(49, "B"), Tag(52, "")};
    const std::list<Tag> noLength = {Tag(8, "FIX.4.2"), Tag(35, "")};
    struct Case {
        const std::list<Tag>* head;
        const std::list<Tag>* tail;
        const char* data;
        int seq;
    } cases[] = {
        {&header, nullptr, "35=D|11=ORD1|55=IBM|54=1|38=100|40=2|44=1.5|", 123456},
        {&header, nullptr, "35=D|55=IBM|49=DESK2", 1},               // no SOH at the end
        {&header, nullptr, "|35=D||55=IBM||", 2},                    // empty pieces
        {&header, nullptr, "", 3},                                   // no data at all
        {&header, nullptr, "35=D|abc|44=1|=7|", 4},                  // pieces without a number
        {&header, nullptr, "35=D|55=IBM|54=1|55=MSFT|35=G|", 5},     // repeated numbers
        {&header, nullptr, "35=D|34=999|52=19990101-00:00:00|", 6},  // stamped over
        {&header, nullptr, " 55=X|35=0|", 0},
        {&header, &logonBody, "35=A|108=60|141=Y|", 2147483647},
        {&bare, nullptr, "35=0|34=8|52=x|", 9},  // stamped although appended
        {&twice, nullptr, "35=0|49=C|", 10},     // first of two template fields takes the data
        {&twice, &logonBody, "49=C|98=1|49=D|", 11},
        {&noLength, nullptr, "35=0|58=no body length|", 12},
    };
    Fix inPlace;  // one object for every case, as a session reuses it
    for (const Case& c : cases) {
        const std::string data = wire(c.data);
        std::string oldForm;
        // The two builds stamp the same second unless the clock ticks between them.
        for (int attempt = 0; attempt < 3; ++attempt) {
            inPlace.build(*c.head, c.tail, data, c.seq);
            std::list<Tag> copy = *c.head;
            if (c.tail != nullptr) copy.insert(copy.end(), c.tail->begin(), c.tail->end());
            std::string consumed = data;
            Fix listForm;
            listForm.build(copy, consumed, c.seq);
            oldForm = listForm.message;
            if (listForm.getTagValue(TagSendingTime) == inPlace.getTagValue(TagSendingTime)) break;
        }
        EXPECT_EQ(bars(inPlace.message), bars(oldForm)) << c.data;
    }

    // Data that is the message itself is read before it is overwritten.
    inPlace.message = wire("35=0|112=T1|");
    inPlace.build(noLength, nullptr, inPlace.message, 1);
    EXPECT_EQ(bars(inPlace.message),
              "8=FIX.4.2|35=0|112=T1|10=" + Fix().checksum(wire("8=FIX.4.2|35=0|112=T1|")) + "|");
}

// ---- validation ----

TEST(FixValidate, SealedMessageIsValidAndSequenceNumberIsComparedWhenAsked) {
    Fix fix(sealed("FIX.4.2", "35=8|49=BRK1|56=DESK|34=10|52=20090305-01:02:03|"));
    EXPECT_EQ(fix.validate("FIX.4.2", 10), Valid);
    EXPECT_EQ(fix.validate("FIX.4.2", 11), InvalidSeqLess);
    EXPECT_EQ(fix.validate("FIX.4.2", 9), InvalidSeqGreater);
    EXPECT_EQ(fix.validate("FIX.4.2", 0), Valid);
}

TEST(FixValidate, ExpectedZeroIgnoresTheSequenceFieldEntirely) {
    Fix fix(sealed("FIX.4.2", "35=A|49=BRK1|"));
    EXPECT_EQ(fix.validate("FIX.4.2", 0), Valid);
    // Without field 34 the number reads as 0, which is below any expected number.
    EXPECT_EQ(fix.validate("FIX.4.2", 1), InvalidSeqLess);
}

TEST(FixValidate, FirstFailingCheckDecides) {
    const std::string good = sealed("FIX.4.2", "35=0|34=2|");
    // 543 ("8=FIX.4.2|") + 216 ("9=10|") + 214 ("35=0|") + 215 ("34=2|") = 1188 = 4 * 256 + 164
    ASSERT_EQ(bars(good), "8=FIX.4.2|9=10|35=0|34=2|10=164|");

    for (const char* sum : {"165", "174", "064"}) {  // each digit position is compared
        Fix badChecksum(wire("8=FIX.4.2|9=10|35=0|34=2|10=" + std::string(sum) + "|"));
        EXPECT_EQ(badChecksum.validate("FIX.4.2", 2), InvalidChecksum) << sum;
    }

    Fix badLengthAndChecksum(wire("8=FIX.4.2|9=11|35=0|34=2|10=165|"));
    EXPECT_EQ(badLengthAndChecksum.validate("FIX.4.2", 2), InvalidBodyLength);

    Fix badEverything(wire("8=FIX.4.4|9=11|35=0|34=9|10=165|"));
    EXPECT_EQ(badEverything.validate("FIX.4.2", 2), InvalidBeginString);

    Fix badSequenceOnly(good);
    EXPECT_EQ(badSequenceOnly.validate("FIX.4.2", 3), InvalidSeqLess);
    EXPECT_EQ(badSequenceOnly.validate("FIX.4.3", 3), InvalidBeginString);
}

TEST(FixValidate, EmptyTruncatedAndMalformedTextsFail) {
    const std::string good = sealed("FIX.4.2", "35=0|34=2|");
    for (size_t n = 0; n < good.size(); ++n) {
        Fix cut(good.substr(0, n));
        int result = 0;
        ASSERT_NO_THROW(result = cut.validate("FIX.4.2", 2)) << n;
        EXPECT_LT(result, 0) << "prefix of " << n << " bytes: " << bars(cut.message);
    }
    const char* malformed[] = {
        "8=FIX.4.2",                             // no SOH at all
        "9=FIX.4.2|8=FIX.4.2|9=5|35=0|10=161|",  // does not start with 8=
        "8=FIX.4.2|9=-5|35=0|10=161|",           // negative length
        "8=FIX.4.2|9=abc|35=0|10=161|",          // non-numeric length
        "8=FIX.4.2|9=99999999999|35=0|10=161|",  // length beyond int
        "8=FIX.4.2|9=5|35=0|10=1|",              // short checksum
        "8=FIX.4.2|9=5|35=0|10=16x|",            // non-digit checksum
        "8=FIX.4.2|9=5|35=0|10=161",             // checksum without its SOH
        "8=FIX.4.2|35=0|10=161|",                // no body length
        "8=FIX.4.2|9=5",                         // body length not ended
        "||||||||",
        "8=|9=|10=|",
    };
    for (const char* text : malformed) {
        Fix fix(wire(text));
        int result = 0;
        ASSERT_NO_THROW(result = fix.validate("FIX.4.2", 1)) << text;
        EXPECT_LT(result, 0) << text;
    }
}

// ---- reading fields ----

TEST(FixFields, KeyRuleKeepsFieldNineApartFromNinetyEightAndOneHundredNine) {
    Fix fix(sealed("FIX.4.2", "35=A|98=0|108=30|109=CLIENT9|"));
    EXPECT_EQ(fix.getTagValue(TagBodyLength), "29");
    EXPECT_EQ(fix.getTagValue(TagEncryptMethod), "0");
    EXPECT_EQ(fix.getTagValue(TagHeartBtInt), "30");
    EXPECT_EQ(fix.getTagValue(109), "CLIENT9");
    EXPECT_EQ(fix.tag_str(9),
              "\x01"
              "9=");
    EXPECT_EQ(fix.length(), 29);

    // Without field 9, neither 98 nor 109 is mistaken for it.
    Fix noLength(wire("8=FIX.4.2|98=0|109=5|35=A|10=000|"));
    EXPECT_EQ(noLength.getTagValue(TagBodyLength), "");
    EXPECT_EQ(noLength.getTagIntValue(TagBodyLength), 0);
    EXPECT_EQ(noLength.length(), 0);
}

TEST(FixFields, ReadersReturnValueNumberAndFirstByte) {
    Fix fix(sealed("FIX.4.2", "35=8|34=42|54=1|58=partly = filled|44=|"));
    EXPECT_EQ(fix.getTagValue(TagText), "partly = filled");
    EXPECT_EQ(fix.tagValue(TagText), "partly = filled");
    EXPECT_EQ(fix.getTagIntValue(TagMsgSeqNum), 42);
    EXPECT_EQ(fix.getMsgSeqNum(), 42);
    EXPECT_EQ(fix.getTagCharValue(TagSide), '1');
    EXPECT_EQ(fix.getMsgType(), msgTypeExecReport);
    EXPECT_EQ(fix.getTagValue(TagPrice), "");
    EXPECT_EQ(fix.getTagCharValue(TagPrice), '\0');
    // The first field has no SOH before it and is never found.
    EXPECT_EQ(fix.getTagValue(TagBeginString), "");
}

TEST(FixFields, MissingFieldsReadAsEmptyZeroOrNul) {
    for (const char* text : {"", "8=FIX.4.2|9=5|10=000|", "35", "|35=", "|34=", "garbage"}) {
        Fix fix(wire(text));
        EXPECT_EQ(fix.getTagValue(TagSymbol), "") << text;
        EXPECT_EQ(fix.getTagIntValue(TagSymbol), 0) << text;
        EXPECT_EQ(fix.getTagCharValue(TagSymbol), '\0') << text;
        EXPECT_EQ(fix.getMsgType(), '\0') << text;
        EXPECT_EQ(fix.getMsgSeqNum(), 0) << text;
        EXPECT_EQ(fix.length(), 0) << text;
    }
}

TEST(FixFields, LastFieldWithoutSohRunsToTheEnd) {
    Fix fix(wire("8=FIX.4.2|35=D|55=IBM"));
    EXPECT_EQ(fix.getTagValue(TagSymbol), "IBM");
    fix.setTagValue(TagSymbol, std::string("MSFT"));
    EXPECT_EQ(bars(fix.message), "8=FIX.4.2|35=D|55=MSFT");
}

// ---- changing fields ----

TEST(FixChange, SetTagValueReplacesInPlaceInEveryForm) {
    Fix fix(wire("8=FIX.4.2|9=0|35=D|34=1|43=N|58=old|10=000|"));
    fix.setTagValue(TagPossDupFlag, Yes);
    fix.setTagValue(TagMsgSeqNum, 1234);
    fix.setTagValue(TagText, "new text");
    fix.setTagValue(TagMsgType, std::string("G"));
    EXPECT_EQ(bars(fix.message), "8=FIX.4.2|9=0|35=G|34=1234|43=Y|58=new text|10=000|");

    // Absent fields are not added.
    fix.setTagValue(TagSymbol, "IBM");
    EXPECT_EQ(bars(fix.message), "8=FIX.4.2|9=0|35=G|34=1234|43=Y|58=new text|10=000|");
}

TEST(FixChange, UpdateTagValueResealsTheMessage) {
    Fix fix(sealed("FIX.4.2", "35=D|34=1|43=N|58=x|"));
    fix.updateTagValue(TagPossDupFlag, 'Y');
    fix.updateTagValue(TagMsgSeqNum, 100);
    fix.updateTagValue(TagText, "a longer text");
    EXPECT_EQ(fix.message, sealed("FIX.4.2", "35=D|34=100|43=Y|58=a longer text|"));
    fix.updateTagValue(TagText, std::string(""));
    EXPECT_EQ(fix.message, sealed("FIX.4.2", "35=D|34=100|43=Y|58=|"));
    EXPECT_EQ(fix.validate("FIX.4.2", 100), Valid);
}

TEST(FixChange, AddTagInsertsBeforeTheChecksum) {
    Fix fix(sealed("FIX.4.2", "35=D|34=1|"));
    fix.addTag(TagSymbol, "IBM");
    EXPECT_EQ(fix.message, sealed("FIX.4.2", "35=D|34=1|55=IBM|"));
}

TEST(FixChange, RebuildLeavesAMessageWithoutTrailerAlone) {
    Fix fix(wire("8=FIX.4.2|9=3|35=D|"));
    fix.rebuild();
    EXPECT_EQ(bars(fix.message), "8=FIX.4.2|9=3|35=D|");
}

TEST(FixChange, UpdateTagValueReplacesInsertsBeforeChecksumOrAppends) {
    Fix fix(wire("8=FIX.4.2|9=0|35=D|58=x|10=000|"));
    fix.update_tag_value(Tag(58, "yy"));
    fix.update_tag_value(Tag(55, "IBM"));
    EXPECT_EQ(bars(fix.message), "8=FIX.4.2|9=0|35=D|58=yy|55=IBM|10=000|");

    Fix open(wire("8=FIX.4.2|35=D|58=x"));
    open.update_tag_value(Tag(58, "y"));
    open.update_tag_value(Tag(55, "IBM"));
    EXPECT_EQ(bars(open.message), "8=FIX.4.2|35=D|58=y|55=IBM|");
}

TEST(FixChange, RebuildMessageAppliesFieldsThenReseals) {
    Fix fix(sealed("FIX.4.2", "35=D|34=3|58=x|"));
    fix.rebuild_message(wire("58=changed|55=IBM|"));
    EXPECT_EQ(fix.message, sealed("FIX.4.2", "35=D|34=3|58=changed|55=IBM|"));
}

// ---- resend copies ----

TEST(FixResend, MissingFlagsGoIntoTheHeaderRightAfterSendingTime) {
    const std::string original =
        sealed("FIX.4.2", "35=D|49=DESK|56=BRK1|34=7|52=20090305-01:02:03|11=ORD1|55=IBM|");
    Fix fix;
    fix.buildResendMessage(original);
    std::string now = fix.getTagValue(TagSendingTime);
    ASSERT_TRUE(std::regex_match(now, sendingTime)) << now;
    EXPECT_EQ(fix.message, sealed("FIX.4.2", "35=D|49=DESK|56=BRK1|34=7|52=" + now +
                                                 "|122=20090305-01:02:03|43=Y|11=ORD1|55=IBM|"));
    EXPECT_EQ(fix.validate("FIX.4.2", 7), Valid);
}

TEST(FixResend, PresentFlagsAreReplacedInPlace) {
    const std::string original =
        sealed("FIX.4.2", "35=D|34=7|43=N|52=20090305-01:02:03|122=20090101-00:00:00|11=ORD1|");
    Fix fix;
    fix.buildResendMessage(original);
    std::string now = fix.getTagValue(TagSendingTime);
    EXPECT_EQ(fix.message,
              sealed("FIX.4.2", "35=D|34=7|43=Y|52=" + now + "|122=20090305-01:02:03|11=ORD1|"));
}

TEST(FixResend, MissingPossDupFollowsSendingTimeWhenOrigSendingTimeStandsElsewhere) {
    const std::string original = sealed("FIX.4.2", "35=D|34=7|52=20090305-01:02:03|11=ORD1|122=x|");
    Fix fix;
    fix.buildResendMessage(original);
    std::string now = fix.getTagValue(TagSendingTime);
    EXPECT_EQ(fix.message,
              sealed("FIX.4.2", "35=D|34=7|52=" + now + "|43=Y|11=ORD1|122=20090305-01:02:03|"));
}

TEST(FixResend, WithoutSendingTimeTheFieldsFollowTheSequenceNumber) {
    const std::string original = sealed("FIX.4.2", "35=D|34=7|11=ORD1|");
    Fix fix;
    fix.buildResendMessage(original);
    std::string now = fix.getTagValue(TagSendingTime);
    ASSERT_TRUE(std::regex_match(now, sendingTime)) << now;
    EXPECT_EQ(fix.message, sealed("FIX.4.2", "35=D|34=7|52=" + now + "|122=|43=Y|11=ORD1|"));
}

TEST(FixResend, ResendingAResendKeepsASingleCopyOfEachFlag) {
    Fix first;
    first.buildResendMessage(sealed("FIX.4.2", "35=D|34=7|52=20090305-01:02:03|11=ORD1|"));
    Fix second;
    second.buildResendMessage(first.message);
    std::string body = bars(second.message);
    EXPECT_EQ(body.find("|43="), body.rfind("|43="));
    EXPECT_EQ(body.find("|122="), body.rfind("|122="));
    EXPECT_EQ(second.getTagValue(TagOrigSendingTime), first.getTagValue(TagSendingTime));
    EXPECT_EQ(second.validate("FIX.4.2", 7), Valid);
}

// ---- printing ----

TEST(FixPrint, PrintableShowsEverySohAndKeepsOtherBytes) {
    Fix fix(sealed("FIX.4.2", "35=0|"));
    EXPECT_EQ(fix.printable(), "8=FIX.4.2<SOH>9=5<SOH>35=0<SOH>10=161<SOH>");
    EXPECT_EQ(fix.translate('=', ":"),
              "8:FIX.4.2\x01"
              "9:5\x01"
              "35:0\x01"
              "10:161\x01");
}

// ---- arbitrary bytes ----

TEST(FixGarbage, NoOperationReadsOutsideTheTextOrThrows) {
    // Fragments that steer the searches into their edge cases, mixed with random bytes.
    const std::string pieces[] = {"\x01", "=",   "8=",      "9=", "10=", "34=",  "35=", "52=",
                                  "122=", "43=", "FIX.4.2", "12", "-3",  "\xff", "a"};
    std::mt19937 rng(20260);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        int n = static_cast<int>(rng() % 12);
        for (int i = 0; i < n; ++i) {
            if (rng() % 4 == 0) {
                text += static_cast<char>(rng() % 256);
            } else {
                text += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
            }
        }
        Fix fix(text);
        ASSERT_NO_THROW({
            int result = fix.validate("FIX.4.2", 1);
            EXPECT_TRUE(result == Valid || result == InvalidSeqGreater || result < 0);
            fix.getTagValue(TagMsgSeqNum);
            fix.getTagIntValue(TagBodyLength);
            fix.getTagCharValue(TagCheckSum);
            fix.getMsgType();
            fix.length();
            fix.printable();
        }) << bars(text);
        Fix changed(text);
        ASSERT_NO_THROW({
            changed.setTagValue(TagBodyLength, 77);
            changed.updateTagValue(TagMsgSeqNum, 3);
            changed.rebuild();
            changed.update_tag_value(Tag(58, "t"));
            changed.update_header_trailer();
        }) << bars(text);
        Fix resend;
        ASSERT_NO_THROW(resend.buildResendMessage(text)) << bars(text);
    }
}
