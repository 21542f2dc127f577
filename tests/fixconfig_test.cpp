#include "FixConfig.h"

#include <gtest/gtest.h>

#include <fstream>
#include <list>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Fix.h"
#include "TempHome.h"

namespace {

using Fields = std::vector<std::pair<int, std::string>>;

Fields fieldsOf(const std::list<Tag>& tags) {
    Fields out;
    for (const Tag& t : tags) out.emplace_back(t.tag, t.value);
    return out;
}

Fields templateOf(const FixConfig& cfg, char type) {
    std::list<Tag> tags;
    cfg.getMsgTemplate(tags, type);
    return fieldsOf(tags);
}

Fields concat(Fields a, const Fields& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The CfgException text load() throws for the given file content, or "loaded".
std::string loadFailure(TempHome& home, const std::string& text) {
    home.writeCfg("BRK1", text);
    try {
        FixConfig cfg(std::string("BRK1"));
    } catch (const CfgException& e) {
        return e.what();
    }
    return "loaded";
}

std::string readSource(const std::string& relative) {
    std::ifstream in(std::string(FIXGATE_SOURCE_DIR) + "/" + relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

const Fields header = {{8, "FIX.4.2"}, {9, ""},  {35, ""}, {49, "DESKA"},
                       {56, "BRK1"},   {34, ""}, {52, ""}};

class FixConfigTest : public ::testing::Test {
  protected:
    void SetUp() override { home.enter(); }
    TempHome home;
};

}  // namespace

TEST_F(FixConfigTest, TheExampleFileGivesHeaderFirstThenEachMessagesFields) {
    home.writeCfg("BRK1",
                  "~ {8=FIX.4.2,9=,35=,49=DESKA,56=BRK1,34=,52=}\n"
                  "A {98=0,108=30}\n"
                  "0 {}\n"
                  "1 {112=}\n"
                  "5 {58=}\n");
    FixConfig cfg(std::string("BRK1"));
    EXPECT_EQ(templateOf(cfg, 'A'), concat(header, {{98, "0"}, {108, "30"}}));
    EXPECT_EQ(templateOf(cfg, '0'), header) << "empty braces add nothing";
    EXPECT_EQ(templateOf(cfg, '1'), concat(header, {{112, ""}}));
    EXPECT_EQ(templateOf(cfg, '5'), concat(header, {{58, ""}}));
    EXPECT_EQ(templateOf(cfg, '2'), header) << "a kind without a line has an empty body";
    EXPECT_EQ(templateOf(cfg, 'D'), header) << "application types get the header alone";
    EXPECT_EQ(templateOf(cfg, '~'), header);

    EXPECT_EQ(cfg.getHeaderTagDefinition(8), "FIX.4.2");
    EXPECT_EQ(cfg.getHeaderTagDefinition(56), "BRK1");
    EXPECT_EQ(cfg.getHeaderTagDefinition(108), "") << "a Logon field is not a header field";
    EXPECT_EQ(cfg.getHeaderTagDefinition(999), "");
}

TEST_F(FixConfigTest, CommentLinesOfEveryKindAreIgnored) {
    home.writeCfg("BRK1",
                  "* a comment with {8=FIX.4.4}\n"
                  "\n"
                  " ~ {8=FIX.4.4} (starts with a blank)\n"
                  "X {35=D}\n"
                  "6 {55=IBM}\n"
                  "# {1=2}\n");
    FixConfig cfg(std::string("BRK1"));
    for (char type : {'~', 'A', '0', '1', '2', '3', '4', '5', 'D'}) {
        SCOPED_TRACE(type);
        EXPECT_TRUE(templateOf(cfg, type).empty());
    }
    EXPECT_EQ(cfg.getHeaderTagDefinition(8), "");
}

TEST_F(FixConfigTest, RepeatedMarkersAppendInFileOrder) {
    home.writeCfg("BRK1",
                  "~ {8=FIX.4.2,9=,35=}\n"
                  "A {98=0}\n"
                  "* the second header line continues the first\n"
                  "~ {49=DESKA,56=BRK1,34=,52=}\n"
                  "A {108=30}\n"
                  "A {}\n");
    FixConfig cfg(std::string("BRK1"));
    EXPECT_EQ(templateOf(cfg, 'A'), concat(header, {{98, "0"}, {108, "30"}}));
}

TEST_F(FixConfigTest, ItemsKeepEverythingAfterTheFirstEqualsSign) {
    home.writeCfg("BRK1",
                  "~ {8=FIX.4.2,9=}\n"
                  "3 {58=a=b, 45 =7,58= two  blanks ,371}\n"
                  "4 {123=Y,}\n"
                  "5 {  }\n");
    FixConfig cfg(std::string("BRK1"));
    Fields h = {{8, "FIX.4.2"}, {9, ""}};
    EXPECT_EQ(templateOf(cfg, '3'),
              concat(h, {{58, "a=b"}, {45, "7"}, {58, " two  blanks "}, {371, ""}}));
    EXPECT_EQ(templateOf(cfg, '4'), concat(h, {{123, "Y"}})) << "a trailing comma adds nothing";
    EXPECT_EQ(templateOf(cfg, '5'), h) << "blank braces add nothing";
}

TEST_F(FixConfigTest, TextOutsideTheBracesAndWindowsLineEndsAreIgnored) {
    home.writeCfg("BRK1",
                  "~ header {8=FIX.4.2,9=} trailing {words}\r\n"
                  "A{98=0}\r\n");
    FixConfig cfg(std::string("BRK1"));
    EXPECT_EQ(templateOf(cfg, 'A'), (Fields{{8, "FIX.4.2"}, {9, ""}, {98, "0"}}));
}

TEST_F(FixConfigTest, TemplatesAreFreshCopiesThatReplaceTheCallersList) {
    home.writeCfg("BRK1", "~ {8=FIX.4.2,9=,35=}\nA {98=0}\n");
    FixConfig cfg(std::string("BRK1"));
    std::list<Tag> tags;
    cfg.getMsgTemplate(tags, 'A');
    tags.front().value = "FIX.9.9";
    tags.emplace_back(std::string("55=IBM"));
    cfg.getMsgTemplate(tags, '0');
    EXPECT_EQ(fieldsOf(tags), (Fields{{8, "FIX.4.2"}, {9, ""}, {35, ""}}));
    EXPECT_EQ(templateOf(cfg, 'A'), (Fields{{8, "FIX.4.2"}, {9, ""}, {35, ""}, {98, "0"}}));
}

TEST_F(FixConfigTest, ASecondLoadAppendsTheFieldsAgain) {
    home.writeCfg("BRK1", "A {98=0}\n");
    FixConfig cfg(std::string("BRK1"));
    cfg.load("BRK1");
    EXPECT_EQ(templateOf(cfg, 'A'), (Fields{{98, "0"}, {98, "0"}}));
}

TEST_F(FixConfigTest, AMissingFileOrANameLeadingOutOfCfgCannotBeOpened) {
    const std::string text = "Fail to open client FIX configuration file.";
    EXPECT_EQ(loadFailure(home, "A {98=0}\n"), "loaded");
    for (const std::string name : {"NOSUCH", "../cfg/BRK1", "", "/etc/BRK1"}) {
        SCOPED_TRACE(name);
        try {
            FixConfig cfg(name);
            ADD_FAILURE() << "loaded";
        } catch (const CfgException& e) {
            EXPECT_EQ(std::string(e.what()), text);
        }
    }
}

TEST_F(FixConfigTest, MalformedTemplateLinesAreRefusedWithFileAndLine) {
    const std::string where =
        "Malformed line in client FIX configuration file ./cfg/BRK1.fix line ";
    const std::string header = "~ {8=FIX.4.2,9=}\n* comment\n";
    EXPECT_EQ(loadFailure(home, header + "A {98=0,108=30\n"),
              where + "3: '{' without a closing '}'");
    EXPECT_EQ(loadFailure(home, header + "A 98=0\n"), where + "3: no '{'");
    EXPECT_EQ(loadFailure(home, header + "A {98=0,,108=30}\n"), where + "3: empty item");
    EXPECT_EQ(loadFailure(home, header + "A {=0}\n"), where + "3: item '=0' has no field number");
    EXPECT_EQ(loadFailure(home, header + "A {98=0,x1=2}\n"),
              where + "3: item 'x1=2' has no field number");
    EXPECT_EQ(loadFailure(home, header + "A {-5=2}\n"),
              where + "3: item '-5=2' has no field number");
    EXPECT_EQ(loadFailure(home, header + "A {0=2}\n"), where + "3: item '0=2' has no field number");

    // 127 characters are a line; 128 are refused.
    std::string fits = "A {58=" + std::string(127 - 7, 'x') + "}";
    ASSERT_EQ(fits.size(), 127u);
    EXPECT_EQ(loadFailure(home, header + fits + "\n"), "loaded");
    EXPECT_EQ(loadFailure(home, header + "A {58=x" + fits.substr(6) + "\n"),
              where + "3: longer than 127 characters");
    // A long comment line is no template line.
    EXPECT_EQ(loadFailure(home, "* " + std::string(500, 'c') + "\nA {98=0}\n"), "loaded");
}

TEST_F(FixConfigTest, ARefusedLineLeavesTheLinesBeforeItLoaded) {
    home.writeCfg("BRK1", "~ {8=FIX.4.2,9=}\nA {98=0,108}\nA {1=2,,3}\n");
    FixConfig cfg;
    EXPECT_THROW(cfg.load("BRK1"), CfgException);
    EXPECT_EQ(templateOf(cfg, 'A'), (Fields{{8, "FIX.4.2"}, {9, ""}, {98, "0"}, {108, ""}}))
        << "nothing of the refused line is kept";
}

TEST_F(FixConfigTest, RoleAllowAppStallScheduleAndAppsSettingsAreReadOrRefusedWithFileAndLine) {
    using Role = FixConfig::Role;
    struct Row {
        std::string settings, failure;  // failure empty: loads
        Role role = Role::Unset;
        std::vector<std::string> allowed = {}, refused = {};
        int stall = FixConfig::defaultAppStall;
        std::string zone = "";  // empty: the file names no schedule
    };
    const std::string malformed =
        "Malformed setting in client FIX configuration file ./cfg/BRK1.fix line 2: ";
    const std::string notIp = "' is not an IPv4 address or prefix";
    const std::string notTime = "' is not a time HH:MM or HH:MM:SS (00:00 to 23:59:59)";
    const std::string forms =
        "not one of nonstop, daily:HH:MM-HH:MM, weekly:DddHH:MM-DddHH:MM or Ddd-Ddd:HH:MM-HH:MM";
    const int stall = FixConfig::defaultAppStall;
    const std::vector<std::string> none;  // restrictsAddresses() is checked on every row
    const Row rows[] = {
        {"", "", Role::Unset, {"10.9.9.9"}},
        {"@ {role=acceptor}\n", "", Role::Acceptor},
        {"@ { rules=standard role=initiator }\r\n", "", Role::Initiator},
        {"@ {role=initiator}\n@ {role=acceptor}\n", "", Role::Acceptor},
        {"@ {allow=10.1.2.3,192.168.0.0/16}\n@ {allow=0.0.0.0/32 role=acceptor}\n",
         "",
         Role::Acceptor,
         {"10.1.2.3", "192.168.255.255", "0.0.0.0"},
         {"10.1.2.4", "192.169.0.1", "", "10.1.2"}},
        {"@ {speed=fast}\n", ""},  // neither role nor allow: a comment, as ever
        {"@ {role=both}\n", "unknown role 'both' (acceptor or initiator)"},
        {"@ {allow=}\n", "empty allow list"},
        {"@ {allow=10.1.2}\n", "allow list entry '10.1.2" + notIp},
        {"@ {allow=1.0.0.0/33}\n", "allow list entry '1.0.0.0/33" + notIp},
        {"@ {allow=10.1.2.3,,1.1.1.1}\n", "allow list entry '" + notIp},
        {"@ {allow=10.1.2.3/16}\n",
         "allow list entry '10.1.2.3/16' has bits set beyond its prefix"},
        {"@ {allow=10.1.2.3, 10.1.2.4}\n", "unknown setting '10.1.2.4'"},
        {"@ {role=initiator} broker\n", "text after '}'"},
        {"@ role=initiator\n", "a setting line needs '{' and '}'"},
        {"@ {rules=standard appstall=0}\n", "", Role::Unset, none, none, 0},
        {"@ {appstall=86400}\n", "", Role::Unset, none, none, 86400},
        {"@ {appstall=86401}\n", "appstall '86401' is not a number of seconds up to 86400"},
        {"@ {appstall=5m}\n", "appstall '5m' is not a number of seconds up to 86400"},
        {"@ {appstall=}\n", "appstall '' is not a number of seconds up to 86400"},
        {"@ {rules=standard zone=Asia/Tokyo window=daily:08:00-15:00 reset=never}\n", "",
         Role::Unset, none, none, stall, "Asia/Tokyo"},
        {"@ {zone=Europe/London}\n@ {window=Mon-Fri:08:00-02:00 role=acceptor}\n", "",
         Role::Acceptor, none, none, stall, "Europe/London"},
        {"@ {zone=Mars/Base}\n", "zone 'Mars/Base': not a time zone of the system's zone database"},
        {"@ {zone=/etc/localtime}\n",
         "zone '/etc/localtime': not a time zone of the system's zone database"},
        {"@ {window=daily:09:00-09:00}\n",
         "window 'daily:09:00-09:00': opens when it closes (say window=nonstop)"},
        {"@ {window=weekly:Mon09:00-Mon09:00}\n",
         "window 'weekly:Mon09:00-Mon09:00': opens when it closes (say window=nonstop)"},
        {"@ {window=Mon-Fry:08:00-17:00}\n",
         "window 'Mon-Fry:08:00-17:00': unknown day 'Fry' (Mon Tue Wed Thu Fri Sat Sun)"},
        {"@ {reset=weekly:Fun17:00}\n",
         "reset 'weekly:Fun17:00': unknown day 'Fun' (Mon Tue Wed Thu Fri Sat Sun)"},
        {"@ {window=weekly:Sun17:00-Fri24:00}\n",
         "window 'weekly:Sun17:00-Fri24:00': '24:00" + notTime},
        {"@ {window=daily:9:00-17:00}\n", "window 'daily:9:00-17:00': '9:00" + notTime},
        {"@ {reset=daily:5pm}\n", "reset 'daily:5pm': '5pm" + notTime},
        {"@ {window=daily:09:00}\n", "window 'daily:09:00': '09:00' is not a from-to pair"},
        {"@ {window=hourly:09:00-10:00}\n", "window 'hourly:09:00-10:00': " + forms},
        {"@ {window=always}\n", "window 'always': " + forms},
        {"@ {reset=window}\n", "reset 'window': a non-stop session has no window to reset at"},
        {"@ {reset=monthly:01}\n",
         "reset 'monthly:01': not one of window, daily:HH:MM, weekly:DddHH:MM or never"},
        {"@ {window=}\n", "window is empty"},
        {"@ {window=nonstop window=daily:08:00-09:00}\n", "window named twice on one line"},
        {"@ {apps=jetstream role=initiator}\n", "", Role::Initiator},
        {"@ {apps=jetstream}\n@ {apps=queues}\n", ""},
        {"@ {apps=nats}\n", "unknown apps 'nats' (queues or jetstream)"},
        {"@ {apps=}\n", "unknown apps '' (queues or jetstream)"},
        {"@ {apps=jetstream standby=yes}\n", ""},
        {"@ {standby=yes}\n@ {standby=no}\n", ""},
        {"@ {standby=on}\n", "unknown standby 'on' (yes or no)"},
        {"@ {standby=yes} # two gateways\n", "text after '}'"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.settings);
        std::string failure = loadFailure(home, "~ {8=FIX.4.2,9=}\n" + row.settings);
        EXPECT_EQ(failure, row.failure.empty() ? "loaded" : malformed + row.failure);
        if (failure != "loaded") continue;
        FixConfig cfg(std::string("BRK1"));
        EXPECT_EQ(cfg.role(), row.role);
        EXPECT_EQ(cfg.appStall(), row.stall);
        EXPECT_EQ(cfg.namesSchedule(), !row.zone.empty());
        if (!row.zone.empty()) {
            EXPECT_EQ(cfg.schedule().zoneName(), row.zone);
        }
        EXPECT_EQ(cfg.restrictsAddresses(), row.settings.find("allow=") != std::string::npos);
        // The last apps setting wins.
        EXPECT_EQ(cfg.jetStream(), row.settings.rfind("apps=jetstream") != std::string::npos &&
                                       row.settings.find("apps=queues") == std::string::npos);
        EXPECT_EQ(cfg.standby(), row.settings.rfind("standby=yes") != std::string::npos &&
                                     row.settings.find("standby=no") == std::string::npos);
        for (const std::string& a : row.allowed) EXPECT_TRUE(cfg.allows(a)) << a;
        for (const std::string& a : row.refused) EXPECT_FALSE(cfg.allows(a)) << a;
    }
}

TEST_F(FixConfigTest, ApplVerAndAppDictionarySettingsAreReadOrRefusedWithFileAndLine) {
    const std::string file = " client FIX configuration file ./cfg/BRK1.fix line ";
    auto setting = [&](int n, const std::string& why) {
        return "Malformed setting in" + file + std::to_string(n) + ": " + why;
    };
    const std::string fixt = "~ {8=FIXT.1.1,9=}\n", fix44 = "~ {8=FIX.4.4,9=}\n";
    const std::string notList = "' is not a list of distinct ApplVerIDs 0 to 10";
    struct Row {
        std::string text, failure;  // failure empty: loads
        std::vector<std::string> applVers = {};
    };
    const Row rows[] = {
        {fixt, "", {"9"}},
        {fixt + "A {98=0,1137=8}\n", "", {"8"}},
        {fixt + "@ {rules=standard applver=9,8,7}\n", "", {"9", "8", "7"}},
        {fixt + "A {98=0,1137=7}\n@ {applver=7,9}\n", "", {"7", "9"}},
        {fixt + "@ {applver=8}\n@ {applver=10,0}\n", "", {"10", "0"}},
        {fix44, "", {}},
        {fixt + "@ {applver=11}\n", setting(2, "applver '11" + notList)},
        {fixt + "@ {applver=09}\n", setting(2, "applver '09" + notList)},
        {fixt + "@ {applver=9,9}\n", setting(2, "applver '9,9" + notList)},
        {fixt + "@ {applver=9,}\n", setting(2, "applver '9," + notList)},
        {fixt + "@ {applver=}\n", setting(2, "applver '" + notList)},
        {fixt + "@ {applver=FIX50SP2}\n", setting(2, "applver 'FIX50SP2" + notList)},
        {fixt + "@ {applver=9 colour=blue}\n", setting(2, "unknown setting 'colour=blue'")},
        {fixt + "@ {applver=9} now\n", setting(2, "text after '}'")},
        {fixt + "@ {appdictionary=}\n", setting(2, "appdictionary '' has an empty name")},
        {fixt + "@ {appdictionary=FIX50SP2.xml,}\n",
         setting(2, "appdictionary 'FIX50SP2.xml,' has an empty name")},
        {fixt + "A {1137=8}\n@ {applver=9,8}\n",
         setting(3,
                 "the first applver value 9 is the DefaultApplVerID, but the Logon template "
                 "(line 2) gives 1137=8")},
        {fixt + "A {98=0}\nA {1137=FIX50SP2}\n",
         "Malformed line in" + file + "3: DefaultApplVerID (1137) 'FIX50SP2' is not an " +
             "ApplVerID 0 to 10"},
        {fix44 + "@ {applver=9}\n",
         setting(2, "applver= on a site that has BeginString FIX.4.4, not FIXT")},
        {fix44 + "* comment\n@ {appdictionary=FIX50SP2.xml}\n",
         setting(3, "appdictionary= on a site that has BeginString FIX.4.4, not FIXT")},
        {"@ {applver=9}\n", setting(1, "applver= on a site that names no BeginString")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        std::string failure = loadFailure(home, row.text);
        EXPECT_EQ(failure, row.failure.empty() ? "loaded" : row.failure);
        if (failure != "loaded") continue;
        FixConfig cfg(std::string("BRK1"));
        EXPECT_EQ(cfg.fixt(), row.text.find("FIXT") != std::string::npos);
        EXPECT_EQ(cfg.applVerIDs(), row.applVers);
        EXPECT_EQ(cfg.dictionary(), nullptr);
    }
}

// The shipped example sites: mirror images of each other whose templates build messages that
// validate, with no empty field other than those the build or the message data fill in.
TEST_F(FixConfigTest, TheExampleSitesBuildValidMessagesWithoutStrayEmptyFields) {
    const struct {
        const char* file;
        const char* site;
        const char* self;
        const char* peer;
        FixConfig::Role role;
    } sites[] = {
        {"examples/initiator/cfg/SELLSIDE.fix", "SELLSIDE", "BUYSIDE", "SELLSIDE",
         FixConfig::Role::Initiator},
        {"examples/acceptor/cfg/BUYSIDE.fix", "BUYSIDE", "SELLSIDE", "BUYSIDE",
         FixConfig::Role::Acceptor},
    };
    const std::set<int> filled = {9, 34, 52, 35, 112, 7, 16, 36};
    for (const auto& s : sites) {
        SCOPED_TRACE(s.file);
        std::string text = readSource(s.file);
        ASSERT_FALSE(text.empty());
        home.writeCfg(s.site, text);
        FixConfig cfg{std::string(s.site)};
        EXPECT_EQ(cfg.role(), s.role) << "each example says which gateway serves it";

        Fields h = templateOf(cfg, '~');
        ASSERT_GE(h.size(), 7u);
        EXPECT_EQ(h[0], (std::pair<int, std::string>{8, "FIX.4.2"}));
        EXPECT_EQ(h[1], (std::pair<int, std::string>{9, ""}));
        EXPECT_EQ(h[2].first, 35);
        EXPECT_EQ(cfg.getHeaderTagDefinition(49), s.self);
        EXPECT_EQ(cfg.getHeaderTagDefinition(56), s.peer);
        EXPECT_EQ(templateOf(cfg, 'A'), concat(h, {{98, "0"}, {108, "30"}}));
        EXPECT_EQ(templateOf(cfg, '1'), concat(h, {{112, ""}}));
        EXPECT_EQ(templateOf(cfg, '4'), concat(h, {{123, "Y"}}));

        for (char type : {'A', '0', '1', '2', '3', '4', '5'}) {
            SCOPED_TRACE(type);
            Fields t = templateOf(cfg, type);
            std::set<int> numbers;
            for (const auto& f : t) {
                EXPECT_TRUE(!f.second.empty() || filled.count(f.first))
                    << "field " << f.first << " would go out empty";
                EXPECT_TRUE(numbers.insert(f.first).second) << "field " << f.first << " twice";
            }
            EXPECT_TRUE(numbers.count(34) && numbers.count(52));
            std::list<Tag> tags;
            cfg.getMsgTemplate(tags, type);
            Fix fix;
            fix.build(tags, type, 1);
            EXPECT_EQ(fix.validate("FIX.4.2", 1), Valid) << fix.printable();
        }
    }
    std::string list = readSource("examples/sites.txt");
    EXPECT_NE(list.find("\nBUYSIDE\n"), std::string::npos);
    EXPECT_NE(list.find("\nSELLSIDE\n"), std::string::npos);
}
