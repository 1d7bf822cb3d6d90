// Downloads into the store and the catalogue operations of the Updater,
// against a tiny in-test server that answers like the update server and can
// be told to deliver anything as the file: what is shown, what is requested,
// and what the store holds afterwards.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/Updater.h"
#include "app/server/Base64.h"
#include "app/store/KeyValueStore.h"
#include "server_support.h"
#include "update-server/testing/bird_fixture.h"

namespace fs = std::filesystem;

namespace {

using server_test::Ok;
using server_test::QueryValue;
using server_test::Reply;
using server_test::TinyServer;
using Builds = std::map<std::string, std::string>;
using Texts = std::vector<std::string>;

// Records messages and every spinner call.
class Display : public UpdaterDisplayInterface {
  public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool active, const char* label) override {
        spinner.emplace_back(active, label != nullptr ? label : "<null>");
    }
    void info_message(const char* text) override { infos.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); }

    Texts infos;
    Texts errors;
    std::vector<std::pair<bool, std::string>> spinner;
};

std::string Base64(const std::vector<uint8_t>& bytes) {
    size_t length = 0;
    char* text = base64_encode(bytes.data(), bytes.size(), &length);
    std::string result(text, length);
    free(text);
    return result;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A store in a fresh temporary directory and a server that knows module
// 40F5849A with builds 4711 (latest) and 4712. `bird` answers the file
// request; by default the real file of the requested build.
class Downloads : public ::testing::Test {
  protected:
    Downloads()
        : root(fs::temp_directory_path() /
               ("server_downloads." + std::to_string(getpid()) + "." +
                ::testing::UnitTest::GetInstance()->current_test_info()->name())),
          server([this](const std::string& target) { return Answer(target); }),
          url(server.Url()),
          updater(url.c_str(), root.c_str(), display) {
        fs::remove_all(root);
        fs::create_directories(root);
        AddFile("4711", "2.10.3", 3000);
        AddFile("4712", "2.9.0", 100);
        SetBird([this](const std::string& target) { return Ok("ok\n" + FileText(target) + "\n"); });
    }

    // The server's thread reads what the test sets: both under the mutex.
    void AddFile(const std::string& build, const std::string& version, size_t payload) {
        std::lock_guard<std::mutex> lock(mutex);
        files[build] =
            update_server::testing::UpdateFile(build, version, "", "ThermoLog6", payload);
    }
    std::vector<uint8_t> File(const std::string& build) {
        std::lock_guard<std::mutex> lock(mutex);
        return files[build];
    }
    void SetBird(std::function<Reply(const std::string&)> answer) {
        std::lock_guard<std::mutex> lock(mutex);
        bird = std::move(answer);
    }
    // Called by `bird` answers, with the mutex held.
    std::string FileText(const std::string& target) {
        return Base64(files[QueryValue(target, "bld")]);
    }
    ~Downloads() override { fs::remove_all(root); }

    Reply Answer(const std::string& target) {
        std::lock_guard<std::mutex> lock(mutex);
        const std::string op = QueryValue(target, "op");
        const std::string sn = QueryValue(target, "sn");
        if (op == "hi") {
            return Ok("ok\n");
        }
        if (op == "fix") {
            return QueryValue(target, "fp") == "00000001%2000000002%2000000003%2000000004"
                       ? Ok("ok\n40F5849A\n4712\n")
                       : Ok("error unknown fingerprint\n");
        }
        if (sn != "40F5849A") {
            return Ok("error unknown serial " + sn + "\n");
        }
        if (op == "qu") {
            return Ok("ok\n4711\nThermoLog6\n");
        }
        if (op == "builds") {
            return Ok("ok\n4711;2.10.3\n4712;2.9.0\n");
        }
        if (op == "bird") {
            return bird(target);
        }
        if (op == "ent_jwt") {
            return Ok("ok\nhh.pp.ss\n");
        }
        return Ok("error unknown op\n");
    }

    fs::path ModuleDir() const { return root / "40F5849A"; }
    std::string Record(const char* key) const {
        KeyValueStore record((ModuleDir() / ".settings").c_str());
        return record.GetString(key, "<missing>");
    }
    Texts Ops() {
        Texts ops;
        for (const std::string& target : server.Targets()) {
            ops.push_back(QueryValue(target, "op"));
        }
        return ops;
    }
    std::vector<std::string> BirdFilesInStore() const {
        std::vector<std::string> names;
        if (fs::exists(ModuleDir())) {
            for (const auto& entry : fs::directory_iterator(ModuleDir())) {
                if (entry.path().extension() == ".bird") {
                    names.push_back(entry.path().filename());
                }
            }
        }
        return names;
    }

    fs::path root;
    std::mutex mutex;
    std::map<std::string, std::vector<uint8_t>> files;
    std::function<Reply(const std::string&)> bird;
    TinyServer server;
    std::string url;
    Display display;
    Updater updater;
};

TEST_F(Downloads, LatestBuildIsStoredAndRecorded) {
    EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "", false, false), 4711u);
    EXPECT_EQ(display.infos, (Texts{"Retrieving build 4711", "Validating build 4711 with server",
                                    "Build 4711 is valid"}));
    EXPECT_TRUE(display.errors.empty());
    EXPECT_EQ(Ops(), (Texts{"hi", "qu", "builds", "bird"}));
    EXPECT_EQ(server.Targets().back(),
              "/cgi/u?bld=4711&fw=ThermoLog6&no_cal=false&op=bird&sn=40F5849A&");

    const std::vector<uint8_t> file = File("4711");
    EXPECT_EQ(ReadFile(ModuleDir() / "4711.bird"), std::string(file.begin(), file.end()));
    EXPECT_EQ(Record("LATEST_DOWNLOAD"), "4711.bird");
    const std::string date = Record("LAST_DOWNLOAD_DATE");
    EXPECT_EQ(date.size(), 24u) << date;  // "Wed Jun 30 21:49:08 1993"
    EXPECT_EQ(date.find('\n'), std::string::npos);
}

TEST_F(Downloads, BuildTextsChooseTheBuild) {
    struct Case {
        std::string text;
        unsigned result;
    };
    for (const Case& c : std::vector<Case>{{"4712", 4712}, {"0", 4711}, {"4712x", 4712}}) {
        EXPECT_EQ(updater.Download_Firmware(0x40F5849A, c.text, false, false), c.result) << c.text;
        EXPECT_EQ(Record("LATEST_DOWNLOAD"), std::to_string(c.result) + ".bird") << c.text;
    }
    EXPECT_TRUE(display.errors.empty());
}

TEST_F(Downloads, BadArgumentsFailBeforeAnyRequest) {
    EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "abc", false, false), 0u);
    EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "99999999999", false, false), 0u);
    EXPECT_EQ(updater.Download_Firmware(0, "", false, false), 0u);
    EXPECT_EQ(display.errors, (Texts{"Build number 'abc' must be an number",
                                     "Build number '99999999999' must be an number",
                                     "Serial Number must be non-zero"}));
    EXPECT_TRUE(server.Targets().empty());
    EXPECT_FALSE(fs::exists(ModuleDir()));
}

TEST_F(Downloads, BuildTheServerDoesNotListIsRefusedUnlessOverridden) {
    EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "9999", false, false), 0u);
    EXPECT_EQ(display.errors, (Texts{"No valid build 9999"}));
    EXPECT_EQ(Ops(), (Texts{"hi", "qu", "builds"}));

    display.errors.clear();
    display.infos.clear();
    AddFile("9999", "3.0.0", 10);
    EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "9999", true, false), 9999u);
    EXPECT_EQ(display.infos, (Texts{"Retrieving build 9999",
                                    "Override specified, skipping validation of build 9999"}));
    EXPECT_EQ(server.Targets().back(),
              "/cgi/u?bld=9999&fw=ThermoLog6&no_cal=false&op=bird&sn=40F5849A&");
    EXPECT_TRUE(fs::exists(ModuleDir() / "9999.bird"));
}

// Every answer that does not carry a loadable BIRD file: an error, 0, and
// nothing written or recorded.
TEST_F(Downloads, FileThatIsNotAValidBirdFileIsNeverStored) {
    const std::vector<uint8_t> good = File("4711");
    std::vector<uint8_t> damaged(good.begin(), good.begin() + good.size() / 2);
    struct Case {
        const char* what;
        Reply reply;
        Texts errors;
    };
    const Texts invalid{"Failed to retrieve a valid BIRD file"};
    const Texts failed{"Download failed", "Failed to retrieve a valid BIRD file"};
    Reply serverError = Ok("ok\n" + Base64(good) + "\n");
    serverError.status = 500;
    const std::string text = Base64(good);
    const std::vector<Case> cases = {
        {"no file line", Ok("ok\n"), invalid},
        {"length not a multiple of four", Ok("ok\n" + text.substr(0, text.size() - 1) + "\n"),
         invalid},
        {"character outside the alphabet", Ok("ok\n*" + text.substr(1) + "\n"), invalid},
        {"decodes to text", Ok("ok\n" + Base64({'h', 'e', 'l', 'l', 'o', '!'}) + "\n"), invalid},
        {"truncated BIRD file", Ok("ok\n" + Base64(damaged) + "\n"), invalid},
        {"status 500", serverError, failed},
        {"error answer", Ok("error unknown build 4711\n"), failed},
    };
    for (const Case& c : cases) {
        display.errors.clear();
        SetBird([&c](const std::string&) { return c.reply; });
        EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "", false, false), 0u) << c.what;
        EXPECT_EQ(display.errors, c.errors) << c.what;
        EXPECT_TRUE(BirdFilesInStore().empty()) << c.what;
        EXPECT_EQ(Record("LATEST_DOWNLOAD"), "<missing>") << c.what;
    }
}

TEST_F(Downloads, FailedWriteLeavesTheRecordAlone) {
    // A directory where the file should go: the file cannot replace it.
    fs::create_directories(ModuleDir() / "4711.bird");
    EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "", false, false), 0u);
    ASSERT_EQ(display.errors.size(), 1u);
    EXPECT_EQ(display.errors[0].rfind("Failed to write file with ", 0), 0u) << display.errors[0];
    EXPECT_EQ(Record("LATEST_DOWNLOAD"), "<missing>");
}

TEST_F(Downloads, UnknownModuleGetsItsDirectoryBeforeTheServerIsAsked) {
    EXPECT_EQ(updater.Download_Firmware(0x0000BEEF, "", false, false), 0u);
    EXPECT_EQ(display.errors, (Texts{"No build information for device"}));
    EXPECT_TRUE(fs::is_directory(root / "0000BEEF"));
    EXPECT_TRUE(fs::exists(root / "0000BEEF" / ".settings"));
}

TEST_F(Downloads, ServerDownIsReportedWithItsUrl) {
    Updater down("127.0.0.1:1/cgi/u", root.c_str(), display);
    EXPECT_EQ(down.Download_Firmware(0x40F5849A, "", false, false), 0u);
    EXPECT_TRUE(down.Get_BuildList(0x40F5849A).empty());
    EXPECT_TRUE(down.Get_JWT(0x40F5849A).empty());
    EXPECT_EQ(display.errors, Texts(3, "Server request failed for 127.0.0.1:1/cgi/u"));
    EXPECT_FALSE(fs::exists(ModuleDir()));
}

TEST_F(Downloads, StoreThatCannotBeOpenedIsReported) {
    const fs::path file = root / "plain-file";
    std::ofstream(file) << "x";
    Updater blocked(url.c_str(), file.c_str(), display);
    EXPECT_EQ(blocked.Download_Firmware(0x40F5849A, "", false, false), 0u);
    EXPECT_TRUE(blocked.Get_BuildListLocal(0x40F5849A).empty());
    ASSERT_EQ(display.errors.size(), 2u);
    EXPECT_EQ(display.errors[0].rfind(
                  "Failed to Create UpdaterStore in: Download_Firmware - Exception: ", 0),
              0u)
        << display.errors[0];
    EXPECT_EQ(display.errors[1].rfind(
                  "Failed to Create UpdaterStore in: Get_BuildListLocal - Exception: ", 0),
              0u)
        << display.errors[1];
}

TEST_F(Downloads, SpinnerTurnsWhileTheRequestRunsOnItsOwnThread) {
    SetBird([this](const std::string& target) {
        Reply reply = Ok("ok\n" + FileText(target) + "\n");
        reply.delayMs = 1000;
        return reply;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "", false, false), 4711u);
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

    ASSERT_GE(display.spinner.size(), 3u);
    for (const auto& call : display.spinner) {
        EXPECT_EQ(call.second, "Downloading");
    }
    EXPECT_EQ(display.spinner.back().first, false) << "the line is cleared at the end";
    size_t active = 0;
    for (size_t i = 0; i + 1 < display.spinner.size(); ++i) {
        active += display.spinner[i].first ? 1 : 0;
    }
    EXPECT_EQ(active, display.spinner.size() - 1);
    // One drawing to start and one per 100 ms wait that ended without the
    // result: never more than the time allows.
    EXPECT_LE(active, 1 + static_cast<size_t>(elapsedMs / 100));
}

TEST_F(Downloads, FingerprintNamesTheModuleAndTheBuild) {
    Fingerprint fingerprint;
    fingerprint.words[0] = 1;
    fingerprint.words[1] = 2;
    fingerprint.words[2] = 3;
    fingerprint.words[3] = 4;
    EXPECT_EQ(updater.Download_Firmware(fingerprint, "", false), 4712u);
    EXPECT_EQ(updater.Download_Firmware(fingerprint, "4711", false), 4711u);
    EXPECT_TRUE(fs::exists(ModuleDir() / "4712.bird"));
    fingerprint.words[3] = 5;
    EXPECT_EQ(updater.Download_Firmware(fingerprint, "", false), 0u);
    EXPECT_EQ(display.errors,
              (Texts{"Failed to retrieve recovery information from Vexmoran update server"}));
}

TEST_F(Downloads, ServerListsAndToken) {
    EXPECT_EQ(updater.Get_BuildList(0x40F5849A), (Builds{{"4711", "2.10.3"}, {"4712", "2.9.0"}}));
    EXPECT_EQ(updater.Get_JWT(0x40F5849A), "hh.pp.ss");
    EXPECT_TRUE(display.errors.empty());
    EXPECT_TRUE(updater.Get_BuildList(0x0000ABCD).empty());
    EXPECT_TRUE(updater.Get_JWT(0x0000ABCD).empty());
    EXPECT_EQ(display.errors, (Texts{"Failed to retrieve builds for 0000ABCD",
                                     "Failed to retrieve jwt for 0000ABCD"}));
}

TEST_F(Downloads, LocalListReadsVersionsFromTheStoredFiles) {
    EXPECT_TRUE(updater.Get_BuildListLocal(0x40F5849A).empty());
    EXPECT_FALSE(fs::exists(ModuleDir())) << "listing creates nothing";

    fs::create_directories(ModuleDir());
    const auto write = [this](const std::string& name, const std::vector<uint8_t>& bytes) {
        std::ofstream(ModuleDir() / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    };
    write("4711.bird", File("4711"));
    write("4711.bird.old", File("4712"));
    write("4712.bird", {'n', 'o', 't', ' ', 'b', 'i', 'r', 'd'});
    write("notes.txt", {'x'});
    const Builds local = updater.Get_BuildListLocal(0x40F5849A);
    ASSERT_EQ(local.size(), 3u);
    EXPECT_TRUE(local.at("4711") == "2.10.3" || local.at("4711") == "2.9.0") << local.at("4711");
    EXPECT_EQ(local.at("4712"), "");
    EXPECT_EQ(local.at("notes.txt"), "");
    EXPECT_TRUE(display.errors.empty());
}

}  // namespace
