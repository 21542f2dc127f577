// Validation against the FIX 4.4, 4.3 and 4.2 dictionaries shipped in dict/: one table of messages
// that must pass (a message of each shape, groups announced with 0 entries, nested groups, raw
// data holding SOH) and one of faults, each with the SessionRejectReason and tag it must name.
#include "Validator.h"

#include <gtest/gtest.h>

#include <string>

#include "FixPeer.h"

namespace {

std::shared_ptr<const Dictionary> fix44() {
    return Dictionary::load(std::string(FIXGATE_SOURCE_DIR) + "/dict/FIX44.xml");
}

std::shared_ptr<const Dictionary> fix43() {
    return Dictionary::load(std::string(FIXGATE_SOURCE_DIR) + "/dict/FIX43.xml");
}

std::shared_ptr<const Dictionary> fix42() {
    return Dictionary::load(std::string(FIXGATE_SOURCE_DIR) + "/dict/FIX42.xml");
}

const std::string head = "|49=DESK|56=BRK1|34=7|52=20260101-10:00:00.123|";

// A framed message: MsgType, then the body ('|' for SOH), then `after` past the CheckSum.
std::string message(const std::string& version, const std::string& type, const std::string& body,
                    const std::string& after = "") {
    std::string b = "35=" + type + head + body;
    if (b.back() != '|') b += '|';
    return FixPeer::frame(version, b) + FixPeer::soh(after);
}

const std::string order44 = "11=C1|55=IBM|54=1|60=20260101-10:00:00|38=100|40=2|44=10.5|";

struct Case {
    const char* name;
    const char* type;
    std::string body;
    int reason;  // -1: valid
    int tag;
    std::string after = "";
};

void expectAll(Validator& v, const std::string& version, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        std::string msg = message(version, c.type, c.body, c.after);
        Validator::Fault f = v.check(msg);
        EXPECT_EQ(f.reason, c.reason) << c.name << ": " << FixPeer::bars(msg) << " tag " << f.tag;
        if (c.reason >= 0) {
            EXPECT_EQ(f.tag, c.tag) << c.name;
        }
    }
}

TEST(ValidatorFix44, MessagesOfEveryShapePass) {
    Validator v(fix44());
    expectAll(v, "FIX.4.4",
              {
                  {"heartbeat, no body", "0", "", -1, 0},
                  {"test request", "1", "112=T1|", -1, 0},
                  {"logon", "A", "98=0|108=30|", -1, 0},
                  {"logon with raw data holding SOH", "A", "98=0|108=30|95=3|96=a|b|", -1, 0},
                  {"reject", "3", "45=2|371=55|372=D|373=5|58=why|", -1, 0},
                  {"resend request", "2", "7=1|16=0|", -1, 0},
                  {"gap fill", "4", "123=Y|36=9|", -1, 0},
                  {"logout with text", "5", "58=bye|", -1, 0},
                  {"new order single", "D", order44, -1, 0},
                  {"resent order with PossDup in the header", "D",
                   "43=Y|122=20260101-09:59:00|" + order44, -1, 0},
                  {"execution report", "8", "37=O1|17=X1|150=0|39=0|55=IBM|54=1|151=100|14=0|6=0|",
                   -1, 0},
                  {"parties group of two", "D",
                   "11=C1|453=2|448=P1|447=D|452=1|448=P2|447=D|452=3|55=IBM|54=1|"
                   "60=20260101-10:00:00|38=100|40=1|",
                   -1, 0},
                  {"group announced with 0 entries", "D",
                   "11=C1|453=0|55=IBM|54=1|60=20260101-10:00:00|38=100|40=1|", -1, 0},
                  {"nested group: sub-IDs inside a party", "D",
                   "11=C1|453=2|448=P1|447=D|452=1|802=2|523=S1|803=1|523=S2|803=2|448=P2|"
                   "55=IBM|54=1|60=20260101-10:00:00|38=100|40=1|",
                   -1, 0},
                  {"multiple-value enumeration", "D",
                   "11=C1|18=G 1|55=IBM|54=1|"
                   "60=20260101-10:00:00|38=100|40=1|",
                   -1, 0},
                  {"signature in the trailer", "0", "93=3|89=sig|", -1, 0},
              });
}

TEST(ValidatorFix44, EachFaultIsNamedWithItsReasonAndTag) {
    Validator v(fix44());
    expectAll(
        v, "FIX.4.4",
        {
            {"undefined tag", "D", order44 + "9999=X|", 0, 9999},
            {"tag number above every defined one", "0", "12345=1|", 0, 12345},
            {"required body tag missing (Side)", "D",
             "11=C1|55=IBM|60=20260101-10:00:00|38=100|40=2|", 1, 54},
            {"required tag missing (TransactTime)", "D", "11=C1|55=IBM|54=1|38=100|40=2|", 1, 60},
            {"tag not defined for this message type", "0", "55=IBM|", 2, 55},
            {"tag without a value", "D", order44 + "58=|", 4, 58},
            {"enum value not allowed", "D", "11=C1|55=IBM|54=Z|60=20260101-10:00:00|38=100|40=2|",
             5, 54},
            {"number outside a numeric enumeration (PartyRole)", "D",
             "11=C1|453=1|448=P1|452=999|55=IBM|54=1|60=20260101-10:00:00|38=100|40=1|", 5, 452},
            {"multiple-value string with one value outside", "D", order44 + "18=G Q9|", 5, 18},
            {"letter in a quantity", "D", "11=C1|55=IBM|54=1|60=20260101-10:00:00|38=1O0|40=2|", 6,
             38},
            {"bad UTCTimestamp", "D", "11=C1|55=IBM|54=1|60=20261301-10:00:00|38=100|40=2|", 6, 60},
            {"bad boolean", "D", order44 + "114=X|", 6, 114},
            {"MsgType the dictionary does not define", "UX", "", 11, 35},
            {"tag repeated outside a group", "D", order44 + "58=a|58=b|", 13, 58},
            {"header tag after the body", "D", order44 + "115=OBO|", 14, 115},
            {"body tag after the trailer", "0", "93=3|89=sig|", 14, 58, "58=late|"},
            {"group entry not starting with its first field", "D",
             "11=C1|453=1|447=D|448=P1|55=IBM|54=1|60=20260101-10:00:00|38=100|40=1|", 15, 447},
            {"count above the entries", "D",
             "11=C1|453=2|448=P1|447=D|55=IBM|54=1|60=20260101-10:00:00|38=100|40=1|", 16, 453},
            {"entries above the count", "D",
             "11=C1|453=1|448=P1|448=P2|55=IBM|54=1|60=20260101-10:00:00|38=100|40=1|", 16, 453},
            {"an entry after a count of 0", "D",
             "11=C1|453=0|448=P1|55=IBM|54=1|60=20260101-10:00:00|38=100|40=1|", 16, 453},
            {"nested count above its entries", "D",
             "11=C1|453=1|448=P1|802=2|523=S1|55=IBM|54=1|60=20260101-10:00:00|38=100|40=1|", 16,
             802},
            {"count that is not a number", "D",
             "11=C1|453=x|55=IBM|54=1|60=20260101-10:00:00|38=100|40=1|", 6, 453},
            {"required member of a group entry missing (ListSeqNo)", "E",
             "66=L1|394=1|68=1|73=1|11=C1|55=IBM|54=1|40=1|", 1, 67},
            {"raw data shorter than its length", "A", "98=0|108=30|95=40|96=ab|", 6, 96},
            {"tag 0 is named as written", "D", order44 + "0=x|", 0, 0},
            {"negative tag is named as written", "D", order44 + "-1=x|", 0, -1},
        });
}

TEST(ValidatorFix44, ARequiredHeaderTagMissingIsNamedAndOneAfterTheBodyIsOutOfOrder) {
    Validator v(fix44());
    const struct {
        const char* body;
        int reason, tag;
    } rows[] = {
        {"35=0|49=DESK|56=BRK1|34=7|", 1, 52},
        // the first header field found after the body is named, not the first required one
        {"35=D|11=C1|55=IBM|54=1|60=20260101-10:00:00|38=100|40=2|34=7|49=DESK|52=20260101-10:00:"
         "00|56=BRK1|",
         14, 34},
    };
    for (const auto& r : rows) {
        Validator::Fault f = v.check(FixPeer::frame("FIX.4.4", r.body));
        EXPECT_EQ(f.reason, r.reason) << r.body;
        EXPECT_EQ(f.tag, r.tag) << r.body;
    }
}

TEST(ValidatorFix42, OrdersAndTheirFaults) {
    Validator v(fix42());
    const std::string order = "11=C1|21=1|55=IBM|54=1|60=20260101-10:00:00|38=100|40=2|44=10|";
    expectAll(v, "FIX.4.2",
              {
                  {"new order single", "D", order, -1, 0},
                  {"logon", "A", "98=0|108=30|", -1, 0},
                  {"HandlInst missing", "D", "11=C1|55=IBM|54=1|60=20260101-10:00:00|40=2|", 1, 21},
                  {"a FIX 4.4 tag is undefined in 4.2", "D", order + "453=0|", 0, 453},
                  {"letter in a price", "D", order + "99=1x|", 6, 99},
              });
}

TEST(ValidatorFix43, OrdersReportsAndTheirFaults) {
    Validator v(fix43());
    const std::string order = "11=C1|21=1|55=IBM|54=1|60=20260101-10:00:00|38=100|40=2|44=10|";
    const std::string report = "37=O1|17=X1|150=0|39=0|55=IBM|54=1|38=100|151=100|14=0|6=0|";
    expectAll(
        v, "FIX.4.3",
        {
            {"new order single", "D", order, -1, 0},
            {"order with a party", "D", "453=1|448=P1|447=D|452=1|" + order, -1, 0},
            {"execution report", "8", report, -1, 0},
            {"logon", "A", "98=0|108=30|141=Y|", -1, 0},
            {"HandlInst missing", "D", "11=C1|55=IBM|54=1|60=20260101-10:00:00|40=2|", 1, 21},
            {"LeavesQty missing", "8", "37=O1|17=X1|150=0|39=0|55=IBM|54=1|14=0|6=0|", 1, 151},
            {"ExecType outside its values", "8",
             "37=O1|17=X1|150=Z|39=0|55=IBM|54=1|151=100|14=0|6=0|", 5, 150},
            {"a FIX 4.4 tag (party sub-IDs) is undefined in 4.3", "D",
             "453=1|448=P1|802=0|" + order, 0, 802},
        });
}

// The same validator object is used for one message after another: nothing carries over.
TEST(ValidatorFix44, AFaultLeavesNothingBehindForTheNextMessage) {
    Validator v(fix44());
    std::string bad = message("FIX.4.4", "D",
                              "11=C1|453=2|448=P1|802=1|523=S1|55=IBM|54=1|"
                              "60=20260101-10:00:00|38=100|40=1|");
    EXPECT_EQ(v.check(bad).reason, 16);
    EXPECT_TRUE(v.check(message("FIX.4.4", "D", order44)).ok());
}

}  // namespace
