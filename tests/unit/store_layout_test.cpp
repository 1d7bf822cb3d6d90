// The local store: the root, module directories and their records, look-ups
// by exact name, the builds of a module, and stored BIRD files written
// atomically and read back.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/store/UpdaterStore.h"
#include "bird_support.h"

using bird_test::Bytes;
using bird_test::LogCapture;
using bird_test::ReadBytes;
using bird_test::WriteText;
using cli_test::TempDir;

namespace {

std::string ThrownText(const std::function<void()>& body) {
    try {
        body();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(no exception)";
}

unsigned Mode(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

}  // namespace

TEST(StoreRoot, CreatedWhenMissingAndRefusedWhenItCannotBeADirectory) {
    TempDir tmp;
    const std::string root = tmp / "base/updater";
    {
        LogCapture log(DEBUG_Updater);
        UpdaterStore store(root.c_str());
        EXPECT_EQ(store.BasePath(), root);
        EXPECT_EQ(log.Text(), "UpdaterStore: Created directory [" + root + "].\n");
    }
    {
        LogCapture log(DEBUG_Updater);
        UpdaterStore store(root.c_str());
        EXPECT_EQ(log.Text(), "UpdaterStore: [" + root + "] already exists.\n");
    }
    WriteText(tmp / "file", "x");
    EXPECT_EQ(ThrownText([&] { UpdaterStore store((tmp / "file").c_str()); }),
              "UpdaterStore: " + tmp / "file" + " exists and is a file");
    EXPECT_EQ(ThrownText([&] { UpdaterStore store((tmp / "file/updater").c_str()); }),
              "UpdaterStore: Could not create directory " + tmp / "file/updater" + " error 12");
}

TEST(StoreDevices, AddDeviceCreatesTheDirectoryAndItsRecord) {
    TempDir tmp;
    UpdaterStore store(tmp.path().c_str());
    const mode_t oldMask = umask(022);
    UpdaterStoreItem item = store.AddDevice(0x40F5849A);
    umask(oldMask);

    EXPECT_EQ(item.path, tmp.path());
    EXPECT_EQ(item.name, "40F5849A");
    EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(item.IsValid());
    EXPECT_EQ(Mode(tmp / "40F5849A"), 0755u);
    EXPECT_EQ(item.settings.Filename(), tmp / "40F5849A/.settings");
    KeyValueStore onDisk((tmp / "40F5849A/.settings").c_str());
    EXPECT_EQ(onDisk.Values().size(), 2u);
    EXPECT_NE(onDisk["CREATED_TIME"], nullptr);
    EXPECT_NE(onDisk["UPDATED_TIME"], nullptr);

    // Added again: the existing record is loaded, not made anew.
    item.settings.Add("LATEST_DOWNLOAD", "4711.bird");
    item.settings.Save();
    UpdaterStoreItem again = store.AddDevice("40F5849A");
    EXPECT_EQ(again.settings.GetString("LATEST_DOWNLOAD"), "4711.bird");

    WriteText(tmp / "DEADDEAD", "in the way");
    EXPECT_EQ(ThrownText([&] { store.AddDevice(0xDEADDEAD); }),
              "UpdaterStore: " + tmp / "DEADDEAD" + " exists and is a file");

    UpdaterStoreItem empty;
    EXPECT_FALSE(empty.IsValid());
    EXPECT_EQ(empty.type, STORE_ITEM_UNSET);
    EXPECT_TRUE(empty.settings.Filename().empty());
}

TEST(StoreDevices, FindDeviceMatchesTheExactDirectoryName) {
    const struct {
        const char* name;
        std::vector<std::string> directories;
        std::vector<std::string> files;
        bool found;
    } cases[] = {
        {"the module", {"40F5849A"}, {}, true},
        {"a backup copy only", {"40F5849A.old"}, {}, false},
        {"a longer name only", {"X40F5849A"}, {}, false},
        {"backup copy beside the module", {"40F5849A.old", "40F5849A", "140F5849A"}, {}, true},
        {"lower-case name", {"40f5849a"}, {}, false},
        {"a plain file of that name", {}, {"40F5849A"}, false},
        {"empty root", {}, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        for (const std::string& directory : c.directories) {
            ASSERT_EQ(mkdir((tmp / directory).c_str(), 0755), 0);
            WriteText(tmp / directory + "/.settings", "ID=" + directory + "\n");
        }
        for (const std::string& file : c.files) {
            WriteText(tmp / file, "x");
        }
        UpdaterStore store(tmp.path().c_str());
        UpdaterStoreItem item;
        LogCapture log(DEBUG_Updater);
        EXPECT_EQ(store.FindDevice(0x40F5849A, &item), c.found);
        EXPECT_EQ(store.FindDevice("40F5849A", nullptr), c.found);
        if (c.found) {
            EXPECT_EQ(item.path, tmp.path());
            EXPECT_EQ(item.name, "40F5849A");
            EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY);
            EXPECT_EQ(item.settings.GetString("ID"), "40F5849A");
        } else {
            EXPECT_FALSE(item.IsValid());
        }
        const std::string text = log.Text();
        EXPECT_NE(text.find(std::string("UpdaterStore: FindDevice ") +
                            (c.found ? "Found" : "Not Found") + " 40F5849A.\n"),
                  std::string::npos)
            << text;
        // The listing stops at the match; without one every entry is seen.
        for (const std::string& directory : c.directories) {
            if (!c.found || directory == "40F5849A") {
                EXPECT_NE(text.find("_find_item([" + tmp / directory + "], 1, "), std::string::npos)
                    << text;
            }
        }
    }
}

TEST(StoreDevices, FoundDirectoryWithoutARecordGetsOne) {
    TempDir tmp;
    ASSERT_EQ(mkdir((tmp / "40F5849A").c_str(), 0755), 0);
    UpdaterStore store(tmp.path().c_str());
    UpdaterStoreItem item;
    ASSERT_TRUE(store.FindDevice(0x40F5849A, &item));
    EXPECT_EQ(bird_test::Entries(tmp / "40F5849A"), (std::set<std::string>{".settings"}));
}

TEST(StoreBuilds, ListsTheBuildFilesOfAModuleAndNothingElse) {
    TempDir tmp;
    UpdaterStore store(tmp.path().c_str());

    std::vector<UpdaterStoreItem> items(1);
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849A, items));
    EXPECT_EQ(items.size(), 1u);  // not in the store: unchanged
    items.clear();

    store.AddDevice(0x40F5849A);
    const std::string module = tmp / "40F5849A";
    for (const char* name : {"4711.bird", "4712.bird", ".hidden", ".4713.bird.99.0.tmp"}) {
        WriteText(module + "/" + name, "x");
    }
    ASSERT_EQ(mkdir((tmp / "40F5849A.old").c_str(), 0755), 0);
    WriteText(tmp / "40F5849A.old/4000.bird", "x");
    const std::set<std::string> before = bird_test::Entries(module);

    LogCapture log(DEBUG_Updater | DEBUG_Attributes);
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849A, items));
    std::vector<std::string> names;
    for (const UpdaterStoreItem& item : items) {
        names.push_back(item.name);
        EXPECT_EQ(item.path, module);
        EXPECT_EQ(item.type, STORE_ITEM_FILE);
        // A file has no record of its own: it lives in memory only.
        EXPECT_EQ(item.settings.Values().size(), 2u);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"4711.bird", "4712.bird"}));
    EXPECT_EQ(bird_test::Entries(module), before);
    const std::string text = log.Text();
    EXPECT_NE(text.find("_find_items([" + module + "/4711.bird], 0, 1)\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("Attibutes: Error - cannot open attributes file: '" + module +
                        "/4711.bird/.settings' (20)\n"),
              std::string::npos)
        << text;
}

TEST(StoreFiles, WrittenBirdFileReadsBackAndBadOnesAreRefused) {
    TempDir tmp;
    const std::string source = bird_test::MakeBird(
        tmp / "source.bird", {"--info", "build=4711,version=2.15.0,serial=40F5849A,model=M",
                              "--firmware", "addr=0x8000,size=1000"});
    const Bytes bytes = ReadBytes(source);
    const std::string damaged = bird_test::MakeBird(
        tmp / "damaged.bird", {"--firmware", "addr=0,size=8", "--block-count", "2"});
    const Bytes damagedBytes = ReadBytes(damaged);

    UpdaterStore store((tmp / "root").c_str());
    UpdaterStoreItem item = store.AddDevice(0x40F5849A);
    const std::string module = tmp / "root/40F5849A";
    ASSERT_EQ(item.WriteFile("4711.bird", bytes.data(), bytes.size()), aErrNone);
    EXPECT_EQ(ReadBytes(module + "/4711.bird"), bytes);
    ASSERT_EQ(item.WriteFile("9.bird", damagedBytes.data(), damagedBytes.size()), aErrNone);
    ASSERT_EQ(item.WriteFile("notes.txt", reinterpret_cast<const unsigned char*>("notes"), 5),
              aErrNone);
    EXPECT_EQ(item.WriteFile("null.bird", nullptr, 5), aErrNotFound);
    EXPECT_EQ(bird_test::Entries(module),
              (std::set<std::string>{".settings", "4711.bird", "9.bird", "notes.txt"}));

    BirdFile file = item.ReadBirdFile("4711.bird");
    EXPECT_EQ(file.GetBuild(), 4711u);
    EXPECT_EQ(file.path, module + "/4711.bird");
    EXPECT_EQ(ThrownText([&] { item.ReadBirdFile("missing.bird"); }),
              "Invalid bird " + module + "/missing.bird");
    EXPECT_EQ(ThrownText([&] { item.ReadBirdFile("notes.txt"); }),
              "Invalid bird " + module + "/notes.txt");
    EXPECT_EQ(ThrownText([&] { item.ReadBirdFile("9.bird"); }), "Failed to load bird data");

    EXPECT_TRUE(item.FileExists("4711.bird"));
    EXPECT_FALSE(item.FileExists("4711"));
    EXPECT_FALSE(item.FileExists("711.bird"));
}

// A stored BIRD file is replaced whole or not at all.
TEST(StoreFiles, FailedWriteKeepsThePreviousFile) {
    TempDir tmp;
    UpdaterStore store(tmp.path().c_str());
    UpdaterStoreItem item = store.AddDevice(0x40F5849A);
    const std::string module = tmp / "40F5849A";
    const Bytes previous = bird_test::Noise(100, 1);
    const Bytes next = bird_test::Noise(50000, 2);
    const struct {
        const char* name;
        std::function<void()> limit;
        aErr expected;
    } cases[] = {
        {"short write", [] { bird_test::LimitFileSize(4096); }, aErrIO},
        {"no temporary file", [] { bird_test::LimitOpenFiles(); }, aErrNotFound},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bird_test::WriteBytes(module + "/4711.bird", previous);
        const int status = bird_test::InChild([&] {
            c.limit();
            return item.WriteFile("4711.bird", next.data(), next.size()) == c.expected ? 0 : 1;
        });
        EXPECT_EQ(status, 0);
        EXPECT_EQ(ReadBytes(module + "/4711.bird"), previous);
        EXPECT_EQ(bird_test::Entries(module), (std::set<std::string>{".settings", "4711.bird"}));
    }

    UpdaterStoreItem gone(tmp.path().c_str(), "NOTHERE", STORE_ITEM_DIRECTORY);
    EXPECT_EQ(gone.WriteFile("4711.bird", next.data(), next.size()), aErrNotFound);

    // Without limits the new content replaces the old.
    ASSERT_EQ(item.WriteFile("4711.bird", next.data(), next.size()), aErrNone);
    EXPECT_EQ(ReadBytes(module + "/4711.bird"), next);
}
