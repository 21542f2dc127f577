// Reading data dictionaries: the shipped FIX 4.2, 4.3 and 4.4 files load with their components
// expanded; a file that cannot be read whole is refused with its name and the problem; a site
// configuration names its dictionary on a setting line, found beside it or where the programs
// install them, and a bad or mismatched one refuses the whole configuration.
#include "Dictionary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "FixConfig.h"
#include "TempHome.h"

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

TEST_F(SiteDictionary, BadDictionariesRefuseTheSiteConfiguration) {
    home.writeFile("cfg/broken.xml", "<fix major='4'");
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
    };
    for (const Case& c : cases) {
        std::string what = failure(c.text);
        EXPECT_NE(what.find(c.problem), std::string::npos) << c.text << "\n -> " << what;
    }
}

}  // namespace
