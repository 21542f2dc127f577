// What `cmake --install` leaves below DESTDIR and the prefix, read back as an operator would use
// it: every manual page renders without a warning, and systemd accepts every unit.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "Process.h"
#include "TempHome.h"

namespace {

const std::vector<std::string> programs = {"gateconnect", "gatelisten", "siteload",  "tablemake",
                                           "queuemake",   "renumber",   "sitewatch", "scriptfeed",
                                           "qdrain",      "streammake"};
const std::vector<std::string> units = {"fixgate-setup.service",    "fixgate-listen.service",
                                        "fixgate-connect@.service", "fixgate-metrics.service",
                                        "fixgate-logs.service",     "fixgate-logs.timer"};
const std::vector<std::string> fileFormats = {"fixgate-sitecfg.5", "fixgate-sitelist.5"};

ProcessResult shell(const std::string& command, const ProcessOptions& options = {}) {
    return runProgram("/bin/sh", {"-c", command}, options);
}

class Install : public ::testing::Test {
  protected:
    // Installs as the package does: prefix /usr below DESTDIR.
    void SetUp() override {
        ProcessOptions options;
        options.env = {{"DESTDIR", home.root() + "/dest"}};
        ProcessResult r = runProgram(FIXGATE_CMAKE,
                                     {"--install", FIXGATE_BUILD_DIR, "--prefix", "/usr"}, options);
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    }

    std::string dest(const std::string& path) const { return home.root() + "/dest" + path; }

    TempHome home;
};

TEST_F(Install, ProgramsManualPagesExamplesAndUnitsLandInTheirFolders) {
    std::vector<std::string> expected;
    for (const std::string& p : programs) {
        expected.push_back("/usr/bin/" + p);
        expected.push_back("/usr/share/man/man1/" + p + ".1.gz");
    }
    for (const std::string& page : fileFormats)
        expected.push_back("/usr/share/man/man5/" + page + ".gz");
    for (const std::string& unit : units) {
        expected.push_back("/lib/systemd/system/" + unit);
        expected.push_back("/usr/share/doc/fixgate/examples/systemd/" + unit);
    }
    for (const char* file :
         {"/etc/fixgate/fixgate.env", "/usr/share/doc/fixgate/copyright",
          "/usr/share/doc/fixgate/examples/sites.txt",
          "/usr/share/doc/fixgate/examples/acceptor/cfg/BUYSIDE.fix",
          "/usr/share/doc/fixgate/examples/initiator/cfg/SELLSIDE.fix",
          "/usr/share/doc/fixgate/examples/stunnel/initiator.conf",
          "/usr/share/doc/fixgate/examples/stunnel/acceptor.conf",
          "/usr/share/fixgate/dict/FIX42.xml", "/usr/share/fixgate/dict/FIX43.xml",
          "/usr/share/fixgate/dict/FIX44.xml", "/usr/share/fixgate/dict/LICENSE",
          "/usr/share/fixgate/dict/ORIGIN", "/usr/share/doc/fixgate/examples/orders.txt",
          "/usr/lib/fixgate/orderfill", "/usr/lib/fixgate/fixgate-logs",
          "/usr/lib/sysusers.d/fixgate.conf", "/usr/lib/tmpfiles.d/fixgate.conf",
          "/usr/lib/sysctl.d/50-fixgate.conf", "/usr/share/man/man7/fixgate.7.gz"})
        expected.push_back(file);
    // FIX 5.0 SP2 and the FIXT.1.1 transport dictionary it is checked with.
    for (const char* file :
         {"/usr/share/fixgate/dict/FIX50SP2.xml", "/usr/share/fixgate/dict/FIXT11.xml"})
        expected.push_back(file);
    // The JetStream cluster for one host and the unit for its members, as examples.
    for (const char* file : {"/usr/share/doc/fixgate/examples/nats/n1.conf",
                             "/usr/share/doc/fixgate/examples/nats/n3.conf",
                             "/usr/share/doc/fixgate/examples/systemd/fixgate-nats@.service"})
        expected.push_back(file);
    for (const std::string& path : expected)
        EXPECT_TRUE(std::ifstream(dest(path)).good()) << path << " is not installed";
    // The cluster member runs another package's server, usually on other hosts: never a unit.
    EXPECT_FALSE(std::ifstream(dest("/lib/systemd/system/fixgate-nats@.service")).good());
    // The dictionaries are installed as they were fetched: their recorded checksums hold.
    ProcessOptions inDict;
    inDict.cwd = dest("/usr/share/fixgate/dict");
    ProcessResult sums = runProgram("/usr/bin/sha256sum", {"-c", "SHA256SUMS"}, inDict);
    EXPECT_EQ(sums.exitCode, 0) << sums.out << sums.err;

    for (const std::string& p : programs) {
        ProcessResult usage = runProgram(dest("/usr/bin/" + p), {});
        EXPECT_EQ(usage.exitCode, 255) << p << " as installed does not print its usage";
        EXPECT_NE(usage.out.find("Usage: " + p), std::string::npos) << usage.out;
    }
}

TEST_F(Install, AnotherPrefixKeepsUnitsAndConfigurationBelowIt) {
    std::string prefix = home.root() + "/opt";
    ProcessResult r =
        runProgram(FIXGATE_CMAKE, {"--install", FIXGATE_BUILD_DIR, "--prefix", prefix});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(home.exists("opt/bin/gatelisten"));
    EXPECT_TRUE(home.exists("opt/lib/systemd/system/fixgate-listen.service"));
    EXPECT_TRUE(home.exists("opt/etc/fixgate/fixgate.env"));
}

TEST_F(Install, EveryManualPageRendersWithoutWarnings) {
    std::vector<std::string> pages;
    for (const std::string& p : programs) pages.push_back("man1/" + p + ".1");
    for (const std::string& page : fileFormats) pages.push_back("man5/" + page);
    pages.push_back("man7/fixgate.7");
    for (const std::string& page : pages) {
        std::string source = std::string(FIXGATE_SOURCE_DIR) + "/man/" + page.substr(5);
        ProcessResult groff = runProgram("/usr/bin/groff", {"-ww", "-z", "-man", source});
        EXPECT_EQ(groff.exitCode, 0) << page;
        EXPECT_EQ(groff.err, "") << page;
        // The installed, compressed page as man shows it, with its own warnings switched on.
        ProcessOptions options;
        options.env = {{"MANWIDTH", "80"}, {"LC_ALL", "C.UTF-8"}};
        ProcessResult man = runProgram(
            "/usr/bin/man", {"--warnings", "-l", dest("/usr/share/man/" + page + ".gz")}, options);
        EXPECT_EQ(man.exitCode, 0) << page << man.err;
        EXPECT_EQ(man.err, "") << page;
        EXPECT_NE(man.out.find("EXAMPLES"), std::string::npos) << page;
    }
}

// systemd-analyze checks the installed units against this machine's systemd. The programs are
// not installed on the machine, so each unit is checked in a copy whose /usr/ names the installed
// tree, and man: links are looked up in the installed pages.
TEST_F(Install, SystemdAcceptsEveryUnit) {
    std::string checked = home.root() + "/units";
    ASSERT_EQ(shell("mkdir -p " + checked).exitCode, 0);
    for (const std::string& unit : units) {
        std::ifstream in(dest("/lib/systemd/system/" + unit));
        std::stringstream text;
        text << in.rdbuf();
        std::string content = text.str();
        const std::string usr = dest("/usr/");
        for (std::size_t at = 0; (at = content.find("/usr/", at)) != std::string::npos;
             at += usr.size())
            content.replace(at, 5, usr);
        std::ofstream(checked + "/" + unit) << content;
    }
    ProcessOptions options;
    options.cwd = checked;
    options.env = {{"MANPATH", dest("/usr/share/man")}};
    options.timeout = std::chrono::milliseconds(60000);
    std::vector<std::string> args = {"verify"};
    for (const std::string& unit : units)
        args.push_back(unit == "fixgate-connect@.service" ? "fixgate-connect@SELLSIDE.service"
                                                          : unit);
    ProcessResult r = runProgram("/usr/bin/systemd-analyze", args, options);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "") << r.err;
}

// The installed log retention, as fixgate-logs.service runs it (compress after 7 days, remove
// after 90), on a folder with one file per case: a file it cannot handle is named and kept, and
// every other file is still handled.
TEST_F(Install, LogRetentionCarriesOnPastAFileItCannotHandle) {
    // Name, age in days, and an existing NAME.gz: "" none, "same" the same bytes, "other" others.
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"A.in.20261101", 10, ""},        // old day log: compressed
        {"A.out.20261101", 10, "other"},  // stale .gz that differs: both kept
        {"A.seq.20261101", 10, "same"},   // already compressed: plain one removed
        {"B.out.20261101", 10, ""},       // compressed despite the stale one
        {"A.in.20261209", 1, ""},         // recent: untouched
        {"A.journal", 200, ""},           // journals are never touched
        {"A.in.20260801.gz", 100, ""},    // compressed and past 90 days: removed
        {"A.out.20261001.gz", 30, ""},    // compressed, younger: kept
        {"notes.gz", 100, ""},            // not a day log: kept
    };
    const std::string logs = home.logsDir(), script = dest("/usr/lib/fixgate/fixgate-logs");
    std::string setup = "cd " + logs;
    for (const auto& [n, days, gz] : cases) {
        const std::string age = " && touch -d '" + std::to_string(days) + " days ago' " + n;
        setup += " && echo " + n + " >" + n + age;
        if (gz == "same") setup += " && gzip -c " + n + " >" + n + ".gz" + age + ".gz";
        if (gz == "other") setup += " && echo x | gzip >" + n + ".gz" + age + ".gz";
    }
    ASSERT_EQ(shell(setup).exitCode, 0);

    ProcessResult r = runProgram(script, {logs, "7", "90"});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("A.out.20261101.gz exists and differs"), std::string::npos) << r.err;
    EXPECT_EQ(shell("cd " + logs + " && LC_ALL=C ls").out,
              "A.in.20261101.gz\nA.in.20261209\nA.journal\nA.out.20261001.gz\nA.out.20261101\n"
              "A.out.20261101.gz\nA.seq.20261101.gz\nB.out.20261101.gz\nnotes.gz\n");
    // What was compressed reads back as it was.
    EXPECT_EQ(shell("gzip -dc " + logs + "/A.in.20261101.gz").out, "A.in.20261101\n");
    EXPECT_EQ(runProgram(script, {logs, "7", "90"}).exitCode, 1) << "the pair is still reported";
    EXPECT_EQ(runProgram(script, {logs, "x", "90"}).exitCode, 2) << "usage";
}

}  // namespace
