// Runtime base: installation root, clock texts, number conversion and the console log.
#include "Common.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <utility>

#include "Converter.h"
#include "Syslog.h"
#include "Time.h"

namespace {

// Sets TZ for one test and restores the previous zone afterwards.
class ZoneGuard {
  public:
    explicit ZoneGuard(const char* zone) {
        const char* old = std::getenv("TZ");
        had = old != nullptr;
        if (had) saved = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard() {
        if (had) {
            setenv("TZ", saved.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    bool had = false;
    std::string saved;
};

// What an input stream makes of the text; the conversions promise the same result.
int stream_int(const std::string& s) {
    std::istringstream in(s);
    int n = 0;
    in >> n;
    return n;
}

float stream_float(const std::string& s) {
    std::istringstream in(s);
    float f = 0;
    in >> f;
    return f;
}

std::string stream_text(float f) {
    std::ostringstream out;
    out << f;
    return out.str();
}

}  // namespace

TEST(Environment, InstallationRootComesFromFixhomeOrDefaultsToCurrentFolder) {
    const char* old = std::getenv("FIXHOME");
    std::string saved = old != nullptr ? old : "";

    unsetenv("FIXHOME");
    fix_init_env();
    EXPECT_EQ(fix_home, "./");
    EXPECT_EQ(fix_home + "/logs/", ".//logs/");

    setenv("FIXHOME", "/opt/gw", 1);
    fix_init_env();
    EXPECT_EQ(fix_home, "/opt/gw");

    if (old != nullptr) {
        setenv("FIXHOME", saved.c_str(), 1);
    } else {
        unsetenv("FIXHOME");
    }
}

TEST(Environment, SleepNanoReturnsAfterAShortWait) {
    timespec before{}, after{};
    clock_gettime(CLOCK_MONOTONIC, &before);
    sleep_nano(2000000);
    clock_gettime(CLOCK_MONOTONIC, &after);
    long elapsed = (after.tv_sec - before.tv_sec) * 1000000000L + (after.tv_nsec - before.tv_nsec);
    EXPECT_GE(elapsed, 2000000L);
}

TEST(Clock, LocalDateTimeOfAStoredTimePadsEveryField) {
    ZoneGuard utc("UTC");
    Time t;
    t.set(0);
    EXPECT_EQ(t.getDateTime(), "19700101-00:00:00");
    // 2009-03-05 01:02:03 UTC
    t.set(1236214923);
    EXPECT_EQ(t.getDateTime(), "20090305-01:02:03");
    EXPECT_EQ(t.get(), 1236214923);
}

TEST(Clock, LocalTextsFollowTheTimeZoneWhileSendingTimeStaysUtc) {
    ZoneGuard tokyo("JST-9");
    Time t;
    t.set(1236214923);  // 2009-03-05 01:02:03 UTC is 10:02:03 in Tokyo
    EXPECT_EQ(t.getDateTime(), "20090305-10:02:03");
    EXPECT_EQ(t.getGMTime(), "20090305-01:02:03");

    Time now;
    std::string gmt = now.getCurrentGMTime();
    time_t stamp = now.get();
    tm utc{};
    gmtime_r(&stamp, &utc);
    char expected[80];
    std::snprintf(expected, sizeof expected, "%4d%02d%02d-%02d:%02d:%02d", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    EXPECT_EQ(gmt, expected);
}

TEST(Clock, CurrentTextsHaveTheirFormatsAndStoreNow) {
    Time t;
    t.set(0);
    EXPECT_TRUE(std::regex_match(t.getCurrentGMTime(), std::regex(R"(\d{8}-\d\d:\d\d:\d\d)")));
    EXPECT_GT(t.get(), 1000000000L);

    t.set(0);
    EXPECT_TRUE(std::regex_match(t.getLogDate(), std::regex(R"(\d{8})")));
    EXPECT_GT(t.get(), 1000000000L);

    t.set(0);
    EXPECT_TRUE(std::regex_match(t.getLogTime(), std::regex(R"(\d\d:\d\d:\d\d)")));
    EXPECT_GT(t.get(), 1000000000L);
}

TEST(Clock, PastCountsWholeSecondsSinceTheStoredTime) {
    Time t;
    t.update();
    EXPECT_LE(t.past(), 1);
    t.set(static_cast<long>(time(nullptr)) - 90);
    EXPECT_GE(t.past(), 90);
    EXPECT_LE(t.past(), 91);
    // getDateTime reads the stored time and does not move it.
    t.getDateTime();
    EXPECT_GE(t.past(), 90);
}

TEST(Conversion, IntegersPrintInPlainDecimal) {
    EXPECT_EQ(Converter::to_string(0), "0");
    EXPECT_EQ(Converter::to_string(42), "42");
    EXPECT_EQ(Converter::to_string(-7), "-7");
    EXPECT_EQ(Converter::to_string(INT_MIN), "-2147483648");
    EXPECT_EQ(Converter::to_string(1234567890123L), "1234567890123");
}

TEST(Conversion, FloatsPrintAsAStreamWouldByDefault) {
    EXPECT_EQ(Converter::to_string(1.5f), "1.5");
    EXPECT_EQ(Converter::to_string(1234567.0f), "1.23457e+06");
    EXPECT_EQ(Converter::to_string(100.0f), "100");
    for (float f : {0.0f, -2.25f, 0.1f, 0.0001f, 0.00001f, 123456.0f, 3.14159265f, -1e20f}) {
        EXPECT_EQ(Converter::to_string(f), stream_text(f)) << f;
    }
}

TEST(Conversion, ToIntReadsTheLeadingNumberAsAStreamDoes) {
    EXPECT_EQ(Converter::to_int(" 42"), 42);
    EXPECT_EQ(Converter::to_int("-7"), -7);
    EXPECT_EQ(Converter::to_int("12ab"), 12);
    EXPECT_EQ(Converter::to_int("\t+5"), 5);
    EXPECT_EQ(Converter::to_int("2147483647"), INT_MAX);
    EXPECT_EQ(Converter::to_int("-2147483648"), INT_MIN);
    const char* samples[] = {"0",           "007",         "  -0",         "3.9",
                             "1e5",         "99999999999", "-99999999999", "2147483648",
                             "-2147483649", "\n\v\f\r 8|x"};
    for (const char* s : samples) EXPECT_EQ(Converter::to_int(s), stream_int(s)) << s;
}

TEST(Conversion, ToIntOfTextWithoutANumberIsZero) {
    for (const char* s : {"", "abc", "   ", "-", "+", "- 5", "x12", "=5"}) {
        EXPECT_EQ(Converter::to_int(s), 0) << s;
    }
}

TEST(Conversion, ToIntOnARangeStopsAtItsEnd) {
    const std::string text = "12345";
    EXPECT_EQ(Converter::to_int(text.data(), text.data() + 2), 12);
    EXPECT_EQ(Converter::to_int(text.data(), text.data()), 0);
}

TEST(Conversion, ToFloatReadsTheLeadingNumberAsAStreamDoes) {
    EXPECT_FLOAT_EQ(Converter::to_float("1.5xyz"), 1.5f);
    EXPECT_FLOAT_EQ(Converter::to_float(" -2.25"), -2.25f);
    EXPECT_FLOAT_EQ(Converter::to_float("1e3"), 1000.0f);
    EXPECT_FLOAT_EQ(Converter::to_float(".5"), 0.5f);
    EXPECT_FLOAT_EQ(Converter::to_float("abc"), 0.0f);
    EXPECT_FLOAT_EQ(Converter::to_float(""), 0.0f);
    // A stream reads the 0 of a hex prefix and stops; inf and nan are not numbers to it.
    EXPECT_FLOAT_EQ(Converter::to_float("0x10"), 0.0f);
    EXPECT_FLOAT_EQ(Converter::to_float("inf"), 0.0f);
    for (const char* s : {"42", "+3.75", "6.02e23", "1.5E-3", "-0.125 tail", "12.", "7e+2"}) {
        EXPECT_FLOAT_EQ(Converter::to_float(s), stream_float(s)) << s;
    }
}

TEST(Conversion, PortIsReadByItsValueWhateverItsLeadingZeros) {
    const std::pair<const char*, int> ports[] = {
        {"6001", 6001}, {"0006001", 6001}, {"035805", 35805}, {"000065535", 65535}, {"01", 1}};
    for (const auto& [text, port] : ports) EXPECT_EQ(Converter::to_port(text), port) << text;
    for (const char* refused : {"0", "000", "65536", "0065536", "99999999999", "", " 80", "80 ",
                                "+80", "-80", "6001x", "0x50"}) {
        EXPECT_EQ(Converter::to_port(refused), 0) << refused;
    }
}

TEST(ConsoleLog, LinesBelowTheThresholdAreDropped) {
    Syslog log(Normal);
    testing::internal::CaptureStdout();
    log.printlog("hidden trace", 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(ConsoleLog, LinesAtOrAboveTheThresholdCarryTheLocalTime) {
    Syslog log(Normal);
    testing::internal::CaptureStdout();
    log.printlog("Shared Memory [c.0] was attached.", Normal);
    log.printlog("second", Warning);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(
        out, std::regex("\\d\\d:\\d\\d:\\d\\d Shared Memory \\[c\\.0\\] was attached\\.\n"
                        "\\d\\d:\\d\\d:\\d\\d second\n")))
        << out;

    Syslog fatalOnly(Fatal);
    testing::internal::CaptureStdout();
    fatalOnly.printlog("warning", Warning);
    fatalOnly.printlog("fatal", Fatal);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("warning"), std::string::npos);
    EXPECT_NE(out.find(" fatal\n"), std::string::npos);
}

TEST(ConsoleLog, BannerNamesTheProgram) {
    Syslog log(Normal);
    testing::internal::CaptureStdout();
    log.version("gateconnect");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " Velmora v3.0\n \n Program: gateconnect\n");
}
