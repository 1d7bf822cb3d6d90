// The update server's catalogue: which builds apply to which module, which
// one is the latest, and how a faulty modules file or build set is refused.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "update-server/catalogue.h"
#include "update-server/testing/bird_fixture.h"

namespace fx = update_server::testing;
using update_server::Catalogue;
using update_server::CatalogueError;
using update_server::CompareVersions;

namespace {

using Files = std::vector<std::pair<std::string, std::vector<uint8_t>>>;

// ThermoLog6 is model 17, HubPro8 model 4.
Files SampleBuilds() {
    return {
        {"a.bird", fx::UpdateFile("4711", "2.10.3", "", "ThermoLog6")},
        {"b.bird", fx::UpdateFile("4712", "2.9.0", "", "ThermoLog6")},
        {"c.bird", fx::UpdateFile("4700", "2.10.3", "", "ThermoLog6")},
        {"d.bird", fx::UpdateFile("5000", "3.0.0", "0000ABCD", "ThermoLog6")},
        {"e.bird", fx::UpdateFile("6000", "1.0.0", "", "ThermoLog6B")},
        {"f.bird", fx::UpdateFile("7000", "9.0.0", "", "HubPro8")},
        {"g.bird", {'b', 'i', 'r', 'd', 1, 1, 0, 0}},
    };
}

std::vector<unsigned> BuildNumbers(const Catalogue& catalogue, unsigned serial) {
    std::vector<unsigned> numbers;
    for (const update_server::Build* build : catalogue.BuildsFor(*catalogue.FindModule(serial))) {
        numbers.push_back(build->identity.build);
    }
    return numbers;
}

}  // namespace

TEST(update_server_catalogue, ChoosesBuildsByModelSerialAndList) {
    const Catalogue catalogue = Catalogue::FromParts(
        "# a comment line\n"
        "40F5849A model=17 fp=1,2,3,4 features=logging,alarms   # trailing comment\r\n"
        "\n"
        "0000ABCD model=17 fp=A,B,C,FFFFFFFF builds=5000,4711 recovery=4711\n"
        "0000BEEF model=5\n",
        SampleBuilds());

    ASSERT_EQ(catalogue.warnings().size(), 1u);
    EXPECT_NE(catalogue.warnings()[0].find("g.bird: skipped:"), std::string::npos);
    EXPECT_EQ(catalogue.buildCount(), 6u);
    EXPECT_EQ(catalogue.moduleCount(), 3u);

    // Model name as a prefix (ThermoLog6B fits model 17), only builds without
    // a serial number or with the module's own; ascending build numbers.
    EXPECT_EQ(BuildNumbers(catalogue, 0x40F5849A), (std::vector<unsigned>{4700, 4711, 4712, 6000}));
    EXPECT_EQ(BuildNumbers(catalogue, 0x0000ABCD), (std::vector<unsigned>{4711, 5000}));
    EXPECT_TRUE(BuildNumbers(catalogue, 0x0000BEEF).empty());

    // Latest: highest version, then highest build among equal versions.
    const auto* module = catalogue.FindModule(0x40F5849A);
    EXPECT_EQ(catalogue.LatestFor(*module)->identity.build, 4711u);
    EXPECT_EQ(catalogue.RecoveryFor(*module)->identity.build, 4711u);
    EXPECT_EQ(module->features, (std::vector<std::string>{"logging", "alarms"}));
    EXPECT_EQ(Catalogue::FirmwareName(*module), "ThermoLog6");

    const auto* listed =
        catalogue.FindModule(update_server::Fingerprint{0xA, 0xB, 0xC, 0xFFFFFFFF});
    ASSERT_NE(listed, nullptr);
    EXPECT_EQ(listed->serial, 0x0000ABCDu);
    EXPECT_EQ(catalogue.LatestFor(*listed)->identity.build, 5000u);
    EXPECT_EQ(catalogue.RecoveryFor(*listed)->identity.build, 4711u);

    const auto* bare = catalogue.FindModule(0x0000BEEF);
    EXPECT_EQ(catalogue.LatestFor(*bare), nullptr);
    EXPECT_EQ(catalogue.FindModule(update_server::Fingerprint{4, 3, 2, 1}), nullptr);
    EXPECT_EQ(catalogue.FindModule(0x12345678), nullptr);
}

TEST(update_server_catalogue, VersionOrder) {
    struct Case {
        const char* a;
        const char* b;
        int order;
    };
    const Case cases[] = {
        {"2.10.0", "2.9.0", 1},    {"1.99.99", "2.0.0", -1}, {"2.10.3", "2.10.3", 0},
        {"2.256.0", "2.255.9", 1}, {"10.0.0", "9.9.9", 1},   {"2.10", "0.0.1", -1},
        {"2.10.x", "0.0.0", -1},   {"abc", "abd", -1},       {"1.2.3.4", "1.2.3", -1},
    };
    for (const Case& c : cases) {
        const int order = CompareVersions(c.a, c.b);
        EXPECT_EQ((order > 0) - (order < 0), c.order) << c.a << " vs " << c.b;
        const int reverse = CompareVersions(c.b, c.a);
        EXPECT_EQ((reverse > 0) - (reverse < 0), -c.order) << c.b << " vs " << c.a;
    }
}

TEST(update_server_catalogue, RefusesFaultyModuleLines) {
    struct Case {
        const char* lines;
        const char* reason;
        int line = 2;  // the comment above the lines is line 1
    };
    const Case cases[] = {
        {"40F5849 model=17", "not eight hexadecimal digits"},
        {"40F5849A", "model= is missing"},
        {"40F5849A model=3", "not a known model number"},
        {"40F5849A model=x", "not a model number"},
        {"40F5849A model=17 model=17", "given twice"},
        {"40F5849A model=17 fp=1,2,3", "four hexadecimal words"},
        {"40F5849A model=17 fp=1,2,3,123456789", "not a hexadecimal 32-bit word"},
        {"40F5849A model=17 features=a,,b", "feature ''"},
        {"40F5849A model=17 features=a b", "'b' is not KEY=VALUE"},
        {"40F5849A model=17 colour=red", "unknown key 'colour'"},
        {"40F5849A model=17 builds=4711,x", "'x' is not a build number"},
        {"40F5849A model=17 builds=9999", "build 9999 is not in the catalogue"},
        {"40F5849A model=17 builds=7000", "build 7000 (f.bird) is not for this module"},
        {"40F5849A model=17 builds=5000", "build 5000 (d.bird) is not for this module"},
        {"40F5849A model=17 builds=4711 recovery=4712", "recovery build 4712 is not one"},
        {"40F5849A model=17 recovery=0", "not a build number"},
        {"0000ABCD model=4\n40F5849A model=17\n0000abcd model=17", "listed twice", 4},
        {"0000ABCD model=4 fp=1,2,3,4\n40F5849A model=17 fp=01,2,3,4", "same fp", 3},
    };
    for (const Case& c : cases) {
        const std::string text = std::string("# modules\n") + c.lines + "\n";
        try {
            Catalogue::FromParts(text, SampleBuilds());
            ADD_FAILURE() << c.lines << ": accepted";
        } catch (const CatalogueError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(c.reason), std::string::npos) << c.lines << ": " << what;
            // The error names the file and the faulty line.
            const std::string where = "modules.txt:" + std::to_string(c.line) + ": ";
            EXPECT_EQ(what.rfind(where, 0), 0u) << what;
        }
    }
}

TEST(update_server_catalogue, RefusesTwoFilesOfOneBuild) {
    Files files = SampleBuilds();
    files.emplace_back("z.bird", fx::UpdateFile("4711", "2.10.4", "", "ThermoLog6"));
    try {
        Catalogue::FromParts("", files);
        ADD_FAILURE() << "accepted";
    } catch (const CatalogueError& e) {
        EXPECT_STREQ(e.what(), "z.bird: build 4711 is also in a.bird");
    }
}

TEST(update_server_catalogue, LoadsADirectory) {
    char pattern[] = "/tmp/update_server_catalogue_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    EXPECT_THROW(Catalogue::Load(dir), CatalogueError) << "no modules.txt";

    std::ofstream(dir + "/modules.txt") << "40F5849A model=17\n";
    EXPECT_EQ(Catalogue::Load(dir).buildCount(), 0u) << "no builds directory is no builds";

    ASSERT_EQ(mkdir((dir + "/builds").c_str(), 0700), 0);
    const std::vector<uint8_t> file = fx::UpdateFile("4711", "2.10.3", "", "ThermoLog6");
    std::ofstream(dir + "/builds/4711.bird", std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
    std::ofstream(dir + "/builds/notes.txt") << "not a build\n";
    ASSERT_EQ(mkdir((dir + "/builds/old.bird").c_str(), 0700), 0);

    const Catalogue catalogue = Catalogue::Load(dir);
    EXPECT_TRUE(catalogue.warnings().empty());
    ASSERT_EQ(catalogue.buildCount(), 1u);
    EXPECT_EQ(catalogue.FindBuild(4711)->file, dir + "/builds/4711.bird");
    EXPECT_EQ(catalogue.FindBuild(4711)->bytes, file);

    std::ofstream(dir + "/modules.txt") << "40F5849A model=17 builds=1\n";
    try {
        Catalogue::Load(dir);
        ADD_FAILURE() << "accepted";
    } catch (const CatalogueError& e) {
        EXPECT_EQ(std::string(e.what()).rfind(dir + "/modules.txt:1: ", 0), 0u) << e.what();
    }
    EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
}
