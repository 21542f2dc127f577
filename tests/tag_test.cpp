// One FIX field apart from a message: parsing, identity and its two text forms.
#include "Tag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <string>

namespace {
const std::string SOH(1, '\x01');
}

TEST(TagField, ParsingSplitsAtTheFirstEqualsSignAndCutsTheArgument) {
    std::string text = "58=a=b";
    Tag t(text);
    EXPECT_EQ(t.tag, 58);
    EXPECT_EQ(t.value, "a=b");
    EXPECT_EQ(text, "58");
}

TEST(TagField, ParsingWithoutAValueAfterTheNumber) {
    std::string empty = "44=";
    Tag t(empty);
    EXPECT_EQ(t.tag, 44);
    EXPECT_EQ(t.value, "");
    EXPECT_EQ(t.getTagValueStr(), "44=" + SOH);

    std::string bare = "35";
    Tag u(bare);
    EXPECT_EQ(u.tag, 35);
    EXPECT_EQ(u.value, "");
    EXPECT_EQ(bare, "35");

    std::string leading = "=A";
    Tag v(leading);
    EXPECT_EQ(v.tag, 0);
    EXPECT_EQ(v.value, "");
    EXPECT_EQ(leading, "=A");
}

TEST(TagField, SetTakesTheWholeTextAsValueWhenThereIsNoEqualsSign) {
    Tag t;
    std::string a = "35=A";
    t.set(a);
    EXPECT_EQ(t.tag, 35);
    EXPECT_EQ(t.value, "A");
    EXPECT_EQ(a, "35");

    std::string b = "58=a=b";
    t.set(b);
    EXPECT_EQ(t.tag, 58);
    EXPECT_EQ(t.value, "a=b");

    std::string c = "35";
    t.set(c);
    EXPECT_EQ(t.tag, 35);
    EXPECT_EQ(t.value, "35");
}

TEST(TagField, DefaultAndCopiedFields) {
    Tag blank;
    EXPECT_EQ(blank.tag, 0);
    EXPECT_EQ(blank.value, "");

    Tag original(49, "DESK");
    Tag copy(original);
    Tag assigned;
    assigned = original;
    original.value = "OTHER";
    EXPECT_EQ(copy.tag, 49);
    EXPECT_EQ(copy.value, "DESK");
    EXPECT_EQ(assigned.value, "DESK");
}

TEST(TagField, FieldsAreEqualByNumberAlone) {
    EXPECT_TRUE(Tag(55, "IBM") == Tag(55, "MSFT"));
    EXPECT_FALSE(Tag(55, "IBM") != Tag(55, "MSFT"));
    EXPECT_FALSE(Tag(55, "IBM") == Tag(65, "IBM"));
    EXPECT_TRUE(Tag(55, "IBM") != Tag(65, "IBM"));

    std::list<Tag> templ = {Tag(8, "FIX.4.2"), Tag(9, ""), Tag(35, "D"), Tag(49, "DESK")};
    auto found = std::find(templ.begin(), templ.end(), Tag(35, "8"));
    ASSERT_NE(found, templ.end());
    EXPECT_EQ(found->value, "D");
}

TEST(TagField, SearchKeyIsFramedBySohAndEqualsSoNineNeverMatchesNinetyEight) {
    EXPECT_EQ(Tag(35, "A").tagStr(), SOH + "35=");
    EXPECT_EQ(Tag(35, "A").getTagValueStr(), "35=A" + SOH);

    const std::string msg = "8=FIX.4.2" + SOH + "98=0" + SOH + "109=x" + SOH + "9=12" + SOH;
    std::string key = Tag(9, "").tagStr();
    size_t pos = msg.find(key);
    ASSERT_NE(pos, std::string::npos);
    EXPECT_EQ(msg.substr(pos + key.size(), 2), "12");
}
