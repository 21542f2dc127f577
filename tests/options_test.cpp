// Command-line splitting into positional arguments and one-letter options.
#include "Options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

Options parse(std::vector<std::string> items) {
    std::vector<char*> argv;
    for (std::string& s : items) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    return Options(static_cast<int>(items.size()), argv.data());
}

}  // namespace

TEST(Options, PositionalArgumentsAndOptionsMixInAnyOrder) {
    Options o = parse({"gw", "shm", "-i", "q.in", "site", "10.0.0.1", "9876"});
    ASSERT_EQ(o.getCount(), 5);
    EXPECT_EQ(o.getArgument(0), "gw");
    EXPECT_EQ(o.getArgument(1), "shm");
    EXPECT_EQ(o.getArgument(2), "site");
    EXPECT_EQ(o.getArgument(3), "10.0.0.1");
    EXPECT_EQ(o.getArgument(4), "9876");
    EXPECT_TRUE(o.is_present('i'));
    EXPECT_EQ(o.getOption('i'), "q.in");
    EXPECT_FALSE(o.is_present('o'));
    EXPECT_EQ(o.getOption('o'), "");
}

TEST(Options, ValueMayBeJoinedToTheLetterOrFollowIt) {
    Options joined = parse({"gw", "-t5", "-ic.1"});
    Options apart = parse({"gw", "-t", "5", "-i", "c.1"});
    EXPECT_EQ(joined.getOptionNum('t'), 5);
    EXPECT_EQ(apart.getOptionNum('t'), 5);
    EXPECT_EQ(joined.getOption('i'), "c.1");
    EXPECT_EQ(apart.getOption('i'), "c.1");
    EXPECT_EQ(joined.getCount(), 1);
    EXPECT_EQ(apart.getCount(), 1);
}

TEST(Options, NextItemIsTheValueEvenWhenItLooksLikeAnOption) {
    Options o = parse({"gw", "-i", "-o", "arg"});
    EXPECT_EQ(o.getOption('i'), "-o");
    EXPECT_FALSE(o.is_present('o'));
    EXPECT_EQ(o.getCount(), 2);
    EXPECT_EQ(o.getArgument(1), "arg");
}

TEST(Options, TrailingLetterWithoutValueIsPresentAndEmpty) {
    Options o = parse({"gw", "arg", "-t"});
    EXPECT_TRUE(o.is_present('t'));
    EXPECT_EQ(o.getOption('t'), "");
    EXPECT_EQ(o.getCount(), 2);
}

TEST(Options, LastValueWinsAndLettersAreCaseSensitive) {
    Options o = parse({"gw", "-x", "1", "-x", "2", "-X", "big"});
    EXPECT_EQ(o.getOption('x'), "2");
    EXPECT_EQ(o.getOption('X'), "big");
}

TEST(Options, LoneDashIsDroppedAndEmptyItemIsAnArgument) {
    Options o = parse({"gw", "-", "", "last"});
    ASSERT_EQ(o.getCount(), 3);
    EXPECT_EQ(o.getArgument(1), "");
    EXPECT_EQ(o.getArgument(2), "last");
}

TEST(Options, MissingOrNonNumericValuesReadAsZero) {
    Options o = parse({"gw", "-p", "abc", "-q", "12x"});
    EXPECT_EQ(o.getOptionNum('p'), 0);
    EXPECT_EQ(o.getOptionNum('q'), 12);
    EXPECT_EQ(o.getOptionNum('z'), 0);
}

TEST(Options, ArgumentOutsideTheRangeIsEmpty) {
    Options o = parse({"gw", "one"});
    EXPECT_EQ(o.getArgument(2), "");
    EXPECT_EQ(o.getArgument(-1), "");
}
