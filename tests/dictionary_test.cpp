// Reading data dictionaries: the shipped FIX 4.2, 4.3, 4.4 and 5.0 SP2 files and the FIXT.1.1
// transport load with their components expanded; a file that cannot be read whole is refused
// with its name and the problem; the transport combined with FIX 5.0 SP2 checks FIXT.1.1
// messages; a site configuration names its dictionaries on a setting line, found beside it or
// where the programs install them, and a bad or mismatched one refuses the whole configuration.
#include "Dictionary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "FixConfig.h"
#include "FixPeer.h"
#include "TempHome.h"
#include "Validator.h"

namespace {

std::string shipped(const std::string& name) {
    return std::string(FIXGATE_SOURCE_DIR) + "/dict/" + name;
}

// A dictionary with one field list and one message body; header and trailer are minimal.
std::string xml(const std::string& fields, const std::string& message,
                const std::string& components = "") {
    return "<fix major='4' minor='4'><header><field name='BeginString' required='Y'/></header>"
           "<trailer><field name='CheckSum' required='Y'/></trailer>"
           "<messages><message name='Order' msgtype='D' msgcat='app'>" +
           message + "</message></messages><components>" + components +
           "</components><fields><field number='8' name='BeginString' type='STRING'/>"
           "<field number='10' name='CheckSum' type='STRING'/>" +
           fields + "</fields></fix>";
}

TEST(Dictionary, TheShippedDictionariesLoadWithComponentsExpanded) {
    auto d44 = Dictionary::load(shipped("FIX44.xml"));
    EXPECT_EQ(d44->beginString(), "FIX.4.4");
    EXPECT_EQ(d44->tagOf("NoPartyIDs"), 453);
    EXPECT_EQ(d44->name(38), "OrderQty");
    EXPECT_EQ(d44->type(38), Dictionary::Type::Float);
    const Dictionary::Scope& order = d44->scope(d44->messageScope("D"));
    // Symbol comes from the Instrument component; Side is the message's own required field.
    EXPECT_TRUE(Dictionary::has(order, 55));
    EXPECT_EQ(std::find(order.required.begin(), order.required.end(), 55), order.required.end());
    EXPECT_NE(std::find(order.required.begin(), order.required.end(), 54), order.required.end());
    EXPECT_GE(d44->maxDepth(), 2) << "parties hold sub-IDs";
    EXPECT_EQ(d44->messageScope("ZZ"), -1);

    auto d42 = Dictionary::load(shipped("FIX42.xml"));
    EXPECT_EQ(d42->beginString(), "FIX.4.2");
    EXPECT_EQ(d42->type(453), Dictionary::Type::None);
    EXPECT_EQ(Dictionary::load(shipped("FIX42.xml")), d42) << "read once, then shared";

    auto d43 = Dictionary::load(shipped("FIX43.xml"));
    EXPECT_EQ(d43->beginString(), "FIX.4.3");
    EXPECT_EQ(d43->tagOf("NoPartyIDs"), 453) << "parties came with 4.3";
    EXPECT_EQ(d43->type(802), Dictionary::Type::None) << "their sub-ID group with 4.4";
    EXPECT_TRUE(Dictionary::has(d43->scope(d43->messageScope("8")), 150));

    // Each file's version as BeginString and as ApplVerID (1128) carry it.
    const struct {
        const char* file;
        const char* begin;
        const char* applVer;
    } versions[] = {
        {"FIX42.xml", "FIX.4.2", "4"},  {"FIX43.xml", "FIX.4.3", "5"},
        {"FIX44.xml", "FIX.4.4", "6"},  {"FIX50SP2.xml", "FIX.5.0SP2", "9"},
        {"FIXT11.xml", "FIXT.1.1", ""},
    };
    for (const auto& v : versions) {
        auto d = Dictionary::load(shipped(v.file));
        EXPECT_EQ(d->beginString(), v.begin) << v.file;
        EXPECT_EQ(d->applVerID(), v.applVer) << v.file;
    }
    auto d50 = Dictionary::load(shipped("FIX50SP2.xml"));
    EXPECT_EQ(d50->tagOf("BatchProcessMode"), 50002) << "its highest field";
    EXPECT_TRUE(Dictionary::has(d50->scope(d50->messageScope("D")), 1300));
    auto t11 = Dictionary::load(shipped("FIXT11.xml"));
    EXPECT_TRUE(t11->inHeader(1128));
    EXPECT_EQ(t11->messageScope("D"), -1) << "session messages only";
    EXPECT_TRUE(t11->allows(373, "18"));
    const Dictionary::Scope& logon = t11->scope(t11->messageScope("A"));
    EXPECT_NE(std::find(logon.required.begin(), logon.required.end(), 1137), logon.required.end());
}

const std::string order50 =
    "1128=9|49=DESK|56=BRK1|34=7|52=20260101-10:00:00.123|11=C1|453=1|448=TRADER7|447=D|452=11|"
    "1300=XNAS|55=IBM|54=1|60=20260101-10:00:00|38=100|40=2|44=10.5|";
const std::string head50 = "49=DESK|56=BRK1|34=7|52=20260101-10:00:00.123|";

TEST(Dictionary, TheTransportCombinedWithFix50Sp2ChecksFixtMessages) {
    auto combined = Dictionary::combine(*Dictionary::load(shipped("FIXT11.xml")),
                                        *Dictionary::load(shipped("FIX50SP2.xml")));
    EXPECT_EQ(combined->beginString(), "FIXT.1.1");
    EXPECT_EQ(combined->applVerID(), "9");
    Validator v(combined);
    struct Case {
        const char* name;
        std::string body;  // after 35=
        int reason;        // -1: valid
        int tag;
    } cases[] = {
        {"an order with a 5.0 field and parties", "D|" + order50, -1, 0},
        {"an order without ApplVerID", "D|" + order50.substr(7), -1, 0},
        {"parties of two entries",
         "D|" + head50 +
             "11=C2|453=2|448=A|447=D|452=11|448=B|447=D|452=12|55=IBM|54=1|60=20260101-10:00:00|"
             "40=1|",
         -1, 0},
        {"an execution report", "8|" + head50 + "37=O1|17=E1|150=0|39=0|55=IBM|54=1|151=100|14=0|",
         -1, 0},
        {"a Logon with DefaultApplVerID", "A|" + head50 + "98=0|108=30|1137=9|", -1, 0},
        {"a Reject for an unsupported version", "3|" + head50 + "45=3|371=1128|373=18|1130=4|", -1,
         0},
        {"an undefined tag", "D|" + order50 + "9999=x|", 0, 9999},
        {"an order without Side", "D|" + head50 + "11=C1|55=IBM|60=20260101-10:00:00|40=1|", 1, 54},
        {"a Logon without DefaultApplVerID", "A|" + head50 + "98=0|108=30|", 1, 1137},
        {"ApplVerID after the body", "D|" + order50.substr(7) + "1128=9|", 14, 1128},
        {"ApplVerID outside its values", "D|1128=11|" + order50.substr(7), 5, 1128},
        {"a message type of no version", "ZZ|" + head50, 11, 35},
    };
    for (const Case& c : cases) {
        std::string msg = FixPeer::frame("FIXT.1.1", "35=" + c.body);
        Validator::Fault f = v.check(msg);
        EXPECT_EQ(f.reason, c.reason) << c.name << ": " << FixPeer::bars(msg) << " tag " << f.tag;
        if (c.reason >= 0) {
            EXPECT_EQ(f.tag, c.tag) << c.name;
        }
    }
}

TEST(Dictionary, BadDictionariesAreRefusedNamingTheFileAndTheProblem) {
    TempHome home;
    struct Case {
        const char* name;
        std::string text;
        std::string problem;
    } cases[] = {
        {"not XML", "this is not <xml", "not XML"},
        {"not the layout", "<dictionary/>", "the root element is not <fix>"},
        {"no fields", "<fix major='4' minor='4'><header/><trailer/><messages/></fix>",
         "no <fields>"},
        {"message naming an unknown field",
         xml("<field number='11' name='ClOrdID' type='STRING'/>",
             "<field name='ClOrdID' required='Y'/><field name='Nonsense' required='N'/>"),
         "message Order names unknown field 'Nonsense'"},
        {"group without a count field",
         xml("<field number='11' name='ClOrdID' type='STRING'/>",
             "<group required='N'><field name='ClOrdID' required='N'/></group>"),
         "message Order has a group without a count field"},
        {"group whose count field is unknown",
         xml("<field number='11' name='ClOrdID' type='STRING'/>",
             "<group name='NoThings' required='N'><field name='ClOrdID' required='N'/></group>"),
         "group 'NoThings' has no count field of that name"},
        {"unknown component", xml("", "<component name='Instrument' required='Y'/>"),
         "names unknown component 'Instrument'"},
        {"component containing itself",
         xml("", "<component name='Loop' required='N'/>",
             "<component name='Loop'><component name='Loop' required='N'/></component>"),
         "component 'Loop' contains itself"},
        {"field without a number", xml("<field name='ClOrdID' type='STRING'/>", ""),
         "field ClOrdID has no usable number"},
        {"unknown type", "<fix type='FAST' major='1' minor='1'/>",
         "<fix> type 'FAST' is neither FIX nor FIXT"},
        {"servicepack not a number", "<fix major='5' minor='0' servicepack='two'/>",
         "<fix> servicepack 'two' is not a number"},
    };
    for (const Case& c : cases) {
        std::string path = home.writeFile(std::string("d-") + c.name + ".xml", c.text);
        try {
            Dictionary d(path);
            ADD_FAILURE() << c.name << ": loaded";
        } catch (const DictionaryError& e) {
            std::string what = e.what();
            EXPECT_EQ(what.rfind(path + ": ", 0), 0u) << c.name << ": " << what;
            EXPECT_NE(what.find(c.problem), std::string::npos) << c.name << ": " << what;
        }
    }
    EXPECT_THROW(Dictionary::load(home.root() + "/missing.xml"), DictionaryError);
    std::string transport = home.writeFile("t.xml",
                                           xml("<field number='11' name='Id' type='STRING'/>", "")),
                app = home.writeFile("a.xml",
                                     xml("<field number='11' name='ClOrdID' type='STRING'/>", ""));
    try {
        Dictionary::combine(Dictionary(transport), Dictionary(app));
        ADD_FAILURE() << "combined";
    } catch (const DictionaryError& e) {
        EXPECT_NE(std::string(e.what()).find(
                      "names field 11 Id, the FIX.4.4 dictionary names it ClOrdID"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_THROW(Dictionary("/dev/zero"), DictionaryError) << "a device is never read";
}

class SiteDictionary : public ::testing::Test {
  protected:
    void SetUp() override { home.enter(); }

    // The CfgException text for a site file, or "loaded".
    std::string failure(const std::string& text) {
        home.writeCfg("BRK1", text);
        try {
            FixConfig cfg(std::string("BRK1"));
        } catch (const CfgException& e) {
            return e.what();
        }
        return "loaded";
    }

    TempHome home;
};

const std::string header44 = "~ {8=FIX.4.4,9=,35=,49=DESKA,56=BRK1,34=,52=}\n";
const std::string headerT = "~ {8=FIXT.1.1,9=,35=,49=DESKA,56=BRK1,34=,52=}\nA {98=0,108=30}\n";

TEST_F(SiteDictionary, TheSettingLineNamesTheDictionaryInEitherForm) {
    struct Case {
        const char* line;
        bool standard;
        bool dictionary;
    } cases[] = {
        {"@ {rules=standard dictionary=FIX44.xml}\n", true, true},
        {"@ {rules=standard}\n@ {dictionary=FIX44.xml}\n", true, true},
        {"@{ dictionary=FIX44.xml   rules=today }\r\n", false, true},
        {"@ {rules = standard}\n", true, false},
        {"@ {rules=standard colour=blue dictionary=FIX44.xml}\n", false, false},
        {"@ {dictionary=FIX44.xml} and words after it\n", false, false},
    };
    for (const Case& c : cases) {
        home.writeCfg("BRK1", header44 + c.line);
        FixConfig cfg(std::string("BRK1"));
        EXPECT_EQ(cfg.standardRules(), c.standard) << c.line;
        EXPECT_EQ(cfg.dictionary() != nullptr, c.dictionary) << c.line;
    }
}

TEST_F(SiteDictionary, ARelativeNameNotBesideTheConfigurationsIsTheInstalledOne) {
    // The test binaries live in build/bin, whose ../share/fixgate/dict holds the shipped files.
    home.writeCfg("BRK1", header44 + "@ {dictionary=FIX44.xml}\n");
    FixConfig cfg(std::string("BRK1"));
    ASSERT_NE(cfg.dictionary(), nullptr);
    EXPECT_EQ(cfg.dictionary()->beginString(), "FIX.4.4");
    EXPECT_EQ(FixConfig::dictionaryPath("FIX44.xml"),
              FixConfig::installedDictionaries() + "/FIX44.xml");
    home.writeCfg("BRK1",
                  "~ {8=FIX.4.3,9=,35=,49=DESKA,56=BRK1,34=,52=}\n@ {dictionary=FIX43.xml}\n");
    FixConfig cfg43(std::string("BRK1"));
    ASSERT_NE(cfg43.dictionary(), nullptr);
    EXPECT_EQ(cfg43.dictionary()->beginString(), "FIX.4.3");
}

TEST_F(SiteDictionary, AFixtSiteChecksEachApplVerIDAgainstTheTransportWithItsOwnDictionary) {
    home.writeCfg("BRK1", headerT +
                              "@ {rules=standard dictionary=FIXT11.xml applver=9,6}\n"
                              "@ {appdictionary=FIX44.xml,FIX50SP2.xml}\n");
    FixConfig cfg(std::string("BRK1"));
    EXPECT_TRUE(cfg.fixt());
    EXPECT_EQ(cfg.applVerIDs(), (std::vector<std::string>{"9", "6"}));
    EXPECT_EQ(cfg.defaultApplVerID(), "9");
    for (const char* id : {"9", "6"}) {
        ASSERT_NE(cfg.dictionaryFor(id), nullptr) << id;
        EXPECT_EQ(cfg.dictionaryFor(id)->beginString(), "FIXT.1.1");
        EXPECT_EQ(cfg.dictionaryFor(id)->applVerID(), id);
    }
    EXPECT_EQ(cfg.dictionary(), cfg.dictionaryFor("9")) << "the default version's";
    EXPECT_EQ(cfg.dictionaryFor("7"), nullptr);
    EXPECT_EQ(FixConfig(std::string("BRK1")).dictionaryFor("9"), cfg.dictionaryFor("9"))
        << "sites share a combined dictionary";

    home.writeCfg("BRK1", headerT);
    FixConfig bare(std::string("BRK1"));
    EXPECT_TRUE(bare.fixt());
    EXPECT_EQ(bare.dictionaryFor("9"), nullptr) << "no dictionaries named";

    home.writeCfg("BRK1", header44 + "@ {dictionary=FIX44.xml}\n");
    FixConfig fix44(std::string("BRK1"));
    EXPECT_FALSE(fix44.fixt());
    EXPECT_TRUE(fix44.applVerIDs().empty());
    EXPECT_EQ(fix44.defaultApplVerID(), "");
    ASSERT_NE(fix44.dictionary(), nullptr);
    EXPECT_EQ(fix44.dictionaryFor("9"), fix44.dictionary()) << "whatever ApplVerID says";
}

TEST_F(SiteDictionary, BadDictionariesRefuseTheSiteConfiguration) {
    home.writeFile("cfg/broken.xml", "<fix major='4'");
    home.writeFile("cfg/odd.xml", xml("<field number='58' name='Words' type='STRING'/>", ""));
    const std::string line3 =
        "Malformed setting in client FIX configuration file ./cfg/BRK1.fix line 3: ";
    const std::string together =
        "a FIXT site names its transport dictionary (dictionary=) and its application "
        "dictionaries (appdictionary=) together";
    home.writeFile("cfg/FIX44.xml", "<fix/>");
    struct Case {
        std::string text;
        std::string problem;
    } cases[] = {
        {header44 + "@ {dictionary=nowhere.xml}\n",
         "FIX data dictionary nowhere.xml named in ./cfg/BRK1.fix is neither in ./cfg/ nor in"},
        {header44 + "@ {dictionary=broken.xml}\n", "./cfg/broken.xml: not XML"},
        {header44 + "@ {dictionary=" + home.root() + "/cfg/none.xml}\n", "cannot open"},
        {header44 + "@ {dictionary=" + shipped("FIX42.xml") + "}\n",
         "is for FIX.4.2, the site's BeginString in ./cfg/BRK1.fix is FIX.4.4"},
        {header44 + "@ {dictionary=" + shipped("FIX43.xml") + "}\n",
         "is for FIX.4.3, the site's BeginString in ./cfg/BRK1.fix is FIX.4.4"},
        // A file beside the configurations comes before the installed one of the same name.
        {header44 + "@ {dictionary=FIX44.xml}\n", "./cfg/FIX44.xml: <fix> has no major"},
        {headerT + "@ {dictionary=FIXT11.xml}\n", line3 + together},
        {headerT + "@ {appdictionary=FIX50SP2.xml}\n", line3 + together},
        {headerT + "@ {dictionary=FIX50SP2.xml appdictionary=FIX50SP2.xml}\n",
         "is for FIX.5.0SP2, the site's BeginString in ./cfg/BRK1.fix is FIXT.1.1"},
        {headerT + "@ {dictionary=FIXT11.xml appdictionary=FIXT11.xml}\n",
         "FIX data dictionary FIXT11.xml named by appdictionary= in ./cfg/BRK1.fix line 3 is for "
         "FIXT.1.1, not an application version"},
        {headerT + "@ {dictionary=FIXT11.xml appdictionary=" + shipped("FIX44.xml") + "}\n",
         line3 + "ApplVerID 9 has no application dictionary among appdictionary="},
        {headerT + "@ {dictionary=FIXT11.xml appdictionary=FIX50SP2.xml applver=9,6}\n",
         line3 + "ApplVerID 6 has no application dictionary among appdictionary="},
        {headerT + "@ {dictionary=FIXT11.xml appdictionary=FIX50SP2.xml," +
             shipped("FIX50SP2.xml") + "}\n",
         "is a second one for FIX.5.0SP2"},
        {headerT + "@ {dictionary=FIXT11.xml appdictionary=odd.xml}\n",
         "odd.xml named by appdictionary= in ./cfg/BRK1.fix line 3 does not go with FIXT11.xml: "
         "the "
         "transport dictionary FIXT.1.1 names field 58 Text, the FIX.4.4 dictionary names it "
         "Words"},
    };
    for (const Case& c : cases) {
        std::string what = failure(c.text);
        EXPECT_NE(what.find(c.problem), std::string::npos) << c.text << "\n -> " << what;
    }
}

}  // namespace
