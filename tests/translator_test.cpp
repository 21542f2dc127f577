// The tag dictionary file and name-to-number lookups.
#include "Translator.h"

#include <gtest/gtest.h>

#include <string>

#include "TempHome.h"

namespace {

// Loads a dictionary with the given content from a private folder.
Translator load(TempHome& home, const std::string& content) {
    return Translator(home.writeFile("cfg/dictionary.txt", content));
}

}  // namespace

TEST(Dictionary, EntriesDropOneCharacterBeforeEachSeparator) {
    TempHome home;
    Translator dict = load(home,
                           "35 =MsgType |required\n"
                           "49 = SenderCompID | header\n"
                           "  55 =Symbol\n"
                           "58 =Free=text |x|y\n");
    EXPECT_EQ(dict.getTagNum("MsgType"), 35);
    // The blank after '=' stays part of the name.
    EXPECT_EQ(dict.getTagNum(" SenderCompID"), 49);
    EXPECT_EQ(dict.getTagNum("SenderCompID"), 0);
    EXPECT_EQ(dict.getTagNum("Symbol"), 55);
    EXPECT_EQ(dict.getTagNum("Free=text"), 58);
}

TEST(Dictionary, CommentsEmptyLinesAndLinesWithoutASeparatorAddNothing) {
    TempHome home;
    Translator dict = load(home,
                           "* 11 =Commented\n"
                           "\n"
                           "=Orphan\n"
                           "12 Nothing\n"
                           "44 =Price\n");
    EXPECT_EQ(dict.getTagNum("Commented"), 0);
    EXPECT_EQ(dict.getTagNum("Orphan"), 0);
    EXPECT_EQ(dict.getTagNum("12 Nothing"), 0);
    EXPECT_EQ(dict.getTagNum("Nothing"), 0);
    EXPECT_EQ(dict.getTagNum("Price"), 44);
}

TEST(Dictionary, LaterLineForANumberWinsAndTheLowestNumberAnswersAName) {
    TempHome home;
    Translator dict = load(home,
                           "54 =Old\n"
                           "54 =Side\n"
                           "200 =Shared\n"
                           "100 =Shared\n");
    EXPECT_EQ(dict.getTagNum("Old"), 0);
    EXPECT_EQ(dict.getTagNum("Side"), 54);
    EXPECT_EQ(dict.getTagNum("Shared"), 100);
    EXPECT_EQ(dict.getTagNum("Unknown"), 0);
    EXPECT_EQ(dict.getTagNum("side"), 0);
}

TEST(Dictionary, MissingFileGivesAnEmptyDictionary) {
    TempHome home;
    Translator dict(home.root() + "/cfg/absent.txt");
    EXPECT_EQ(dict.getTagNum("MsgType"), 0);
    EXPECT_EQ(dict.getTagNum(""), 0);
}

TEST(Dictionary, OverLongLineIsSkippedAndReadingGoesOn) {
    TempHome home;
    std::string longLine = "7 =" + std::string(5000, 'x') + "\n";
    std::string exact = "8 =" + std::string(1020, 'y') + "\n";  // 1023 characters: accepted
    Translator dict = load(home, "34 =MsgSeqNum\n" + longLine + exact + "52 =SendingTime");
    EXPECT_EQ(dict.getTagNum("MsgSeqNum"), 34);
    EXPECT_EQ(dict.getTagNum(std::string(1020, 'y')), 8);
    EXPECT_EQ(dict.getTagNum(std::string(5000, 'x')), 0);
    EXPECT_EQ(dict.getTagNum("SendingTime"), 52);
}

TEST(Dictionary, DefaultFileIsReadFromTheWorkingDirectory) {
    TempHome home;
    home.writeFile("cfg/dictionary.txt", "112 =TestReqID\n");
    home.enter();
    Translator dict;
    EXPECT_EQ(dict.getTagNum("TestReqID"), 112);
}
