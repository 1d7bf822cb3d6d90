// Module records: the line rules of loading, the order and format of saving,
// dirty tracking, typed reads, a missing or unwritable file, and saves that
// fail without harming the previous file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <map>
#include <string>

#include "app/store/KeyValueStore.h"
#include "bird_support.h"

using bird_test::LogCapture;
using bird_test::ReadText;
using bird_test::WriteText;
using cli_test::TempDir;
using Map = std::map<std::string, std::string>;

namespace {

// A ctime text without its line feed: "Tue Dec  9 16:21:00 2025".
bool LooksLikeTime(const std::string& text) {
    if (text.size() != 24 || text[3] != ' ' || text[7] != ' ' || text[10] != ' ' ||
        text[13] != ':' || text[16] != ':' || text[19] != ' ') {
        return false;
    }
    for (int i : {11, 12, 14, 15, 17, 18, 20, 21, 22, 23}) {
        if (!isdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

TEST(RecordLoading, LineRules) {
    TempDir tmp;
    const struct {
        const char* name;
        std::string text;
        Map expected;
    } cases[] = {
        {"spaces around and inside",
         "   key  =  a value = with = signs   \n",
         {{"key", "a value = with = signs"}}},
        {"tabs and a carriage return", "\tkey\t=\tv\t\r\n", {{"key", "v"}}},
        {"comment only in the first column",
         "#comment=1\n #notcomment=1\n",
         {{"#notcomment", "1"}}},
        {"short lines", "x\nk=\n", {{"k", ""}}},
        {"short last line without a line feed", "a=1\nk=", {{"a", "1"}}},
        {"last line without a line feed", "a=1\nb=2", {{"a", "1"}, {"b", "2"}}},
        {"later line wins", "a=1\na=2\n", {{"a", "2"}}},
        {"no equals sign or no key", "no equals here\n=value\n   =v\n", {}},
        {"hash and equals inside the value", "k=a#b=c\n", {{"k", "a#b=c"}}},
        {"empty file", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = tmp / "r.settings";
        WriteText(path, c.text);
        KeyValueStore record(path.c_str());
        EXPECT_EQ(record.Values(), c.expected);
        EXPECT_FALSE(record.IsDirty());
        EXPECT_EQ(record.Filename(), path);
    }
}

TEST(RecordLoading, MergesIntoExistingEntriesAndStopsAtAnOverlongLine) {
    TempDir tmp;
    const std::string path = tmp / "r.settings";
    // 2047 characters with the line feed fit the 2048-byte buffer; 2048 do not.
    const std::string fits = "f=" + std::string(2044, 'x') + "\n";
    const std::string tooLong = "g=" + std::string(2045, 'y') + "\n";
    WriteText(path, "a=1\n" + fits + tooLong + "c=3\n");

    KeyValueStore record;
    record.Add("a", "old");
    record.Add("z", "kept");
    EXPECT_TRUE(record.Load(path.c_str()));
    EXPECT_EQ(record.Values(), (Map{{"a", "1"}, {"f", std::string(2044, 'x')}, {"z", "kept"}}));
    EXPECT_FALSE(record.IsDirty());
}

TEST(RecordSaving, KeysInByteOrderOneLineEach) {
    TempDir tmp;
    const std::string path = tmp / "r.settings";
    KeyValueStore record;
    record.Add("lower", "x");
    record.Add("UPDATED_TIME", "then");
    record.Add("LATEST_DOWNLOAD", "4711.bird");
    record.Add("CREATED_TIME", "Tue Dec  9 16:21:00 2025");
    record.Add("Z", 7);
    record.Add("D", 1.5);
    record.AddHex("H", 0xBEEF);
    record.Add("S", std::string("a=b # c"));
    ASSERT_TRUE(record.Save(path.c_str()));
    EXPECT_FALSE(record.IsDirty());
    EXPECT_EQ(record.Filename(), path);

    const std::string updated = record.GetString("UPDATED_TIME");
    EXPECT_TRUE(LooksLikeTime(updated)) << updated;
    EXPECT_EQ(ReadText(path),
              "CREATED_TIME=Tue Dec  9 16:21:00 2025\n"
              "D=1.500000\n"
              "H=0x0000BEEF\n"
              "LATEST_DOWNLOAD=4711.bird\n"
              "S=a=b # c\n"
              "UPDATED_TIME=" +
                  updated +
                  "\n"
                  "Z=7\n"
                  "lower=x\n");

    // What was saved loads back as it was.
    KeyValueStore again(path.c_str());
    EXPECT_EQ(again.Values(), record.Values());
}

TEST(RecordSaving, OnlyAChangedRecordGetsANewUpdateTime) {
    TempDir tmp;
    const std::string path = tmp / "r.settings";
    const std::string text = "CREATED_TIME=c\nUPDATED_TIME=old\nX=5\n";
    WriteText(path, text);

    KeyValueStore record(path.c_str());
    ASSERT_TRUE(record.Save());
    EXPECT_EQ(ReadText(path), text);

    // Writes that change nothing leave the record clean.
    record.Add("X", 5);
    record.Add("X", "5");
    record.Add("NEW", "");  // a missing key counts as an empty value
    record.Add(KeyValueStore());
    EXPECT_FALSE(record.IsDirty());
    EXPECT_STREQ(record["NEW"], "");

    record.Add("X", 6);
    EXPECT_TRUE(record.IsDirty());
    KeyValueStore copy = record;  // copies file name, values and dirty
    EXPECT_TRUE(copy.IsDirty());
    EXPECT_EQ(copy.Filename(), path);
    ASSERT_TRUE(record.Save());
    EXPECT_FALSE(record.IsDirty());
    EXPECT_NE(record.GetString("UPDATED_TIME"), "old");
    EXPECT_EQ(KeyValueStore(path.c_str()).GetString("X"), "6");

    KeyValueStore same;
    same.Add("X", "6");
    record.Add(same);  // copied entries count as changes, even equal ones
    EXPECT_TRUE(record.IsDirty());
    record.Save();
    record.Clear();
    EXPECT_TRUE(record.IsDirty());
    EXPECT_TRUE(record.Values().empty());
}

TEST(RecordTypedReads, ReadDefaultsAndInsertMissingKeys) {
    TempDir tmp;
    const std::string path = tmp / "r.settings";
    WriteText(path,
              "LATEST_DOWNLOAD=4711.bird\nHEX1=0x0000BEEF\nHEX2=BEEF\nB0=0\nB7=7\nD=2.5\nE=\n");
    KeyValueStore record(path.c_str());

    EXPECT_EQ(record.GetInt("LATEST_DOWNLOAD", 0), 4711);
    EXPECT_EQ(record.GetHex("HEX1", 0), 0xBEEFu);
    EXPECT_EQ(record.GetHex("HEX2", 0), 0xBEEFu);
    EXPECT_FALSE(record.GetBOOL("B0", true));
    EXPECT_TRUE(record.GetBOOL("B7", false));
    EXPECT_DOUBLE_EQ(record.GetDouble("D", 0.0), 2.5);
    // Empty values read as absent.
    EXPECT_EQ(record.GetInt("E", 42), 42);
    EXPECT_EQ(record.GetHex("E", 0x42), 0x42u);
    EXPECT_TRUE(record.GetBOOL("E", true));
    EXPECT_DOUBLE_EQ(record.GetDouble("E", 4.5), 4.5);

    // Typed reads insert what is missing, without dirtying the record.
    EXPECT_EQ(record.GetInt("LATEST_TRANSFER", 0), 0);
    EXPECT_EQ(record.GetHex("MISSING_HEX", 7), 7u);
    EXPECT_FALSE(record.IsDirty());
    EXPECT_STREQ(record["LATEST_TRANSFER"], "");
    EXPECT_STREQ(record["MISSING_HEX"], "");

    // Text reads never insert.
    EXPECT_EQ(record.GetString("ABSENT", "fallback"), "fallback");
    EXPECT_EQ(record.GetString("ABSENT"), "");
    EXPECT_EQ(record.GetString("E", "fallback"), "");
    EXPECT_EQ(record["ABSENT"], nullptr);
    EXPECT_STREQ(record["LATEST_DOWNLOAD"], "4711.bird");

    ASSERT_TRUE(record.Save());
    const std::string saved = ReadText(path);
    EXPECT_NE(saved.find("\nLATEST_TRANSFER=\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\nMISSING_HEX=\n"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("ABSENT"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("UPDATED_TIME"), std::string::npos) << saved;
}

TEST(RecordFile, MissingFileIsCreatedWithTheTwoTimes) {
    TempDir tmp;
    const std::string path = tmp / ".settings";
    LogCapture log(DEBUG_Attributes);
    KeyValueStore record(path.c_str());
    EXPECT_EQ(log.Text(), "Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n");
    EXPECT_FALSE(record.IsDirty());
    EXPECT_EQ(record.Filename(), path);

    KeyValueStore loaded(path.c_str());
    ASSERT_EQ(loaded.Values().size(), 2u);
    EXPECT_TRUE(LooksLikeTime(loaded.GetString("CREATED_TIME")));
    EXPECT_TRUE(LooksLikeTime(loaded.GetString("UPDATED_TIME")));
}

TEST(RecordFile, UncreatableRecordLivesInMemoryOnly) {
    TempDir tmp;
    WriteText(tmp / "file", "x");
    const std::string path = tmp / "file/.settings";  // a file as the directory
    LogCapture log(DEBUG_Attributes);
    KeyValueStore record(path.c_str());
    EXPECT_EQ(log.Text(), "Attibutes: Error - cannot open attributes file: '" + path +
                              "' (20)\n"
                              "Attibutes: Error - cannot open attributes file for writting: '" +
                              path + "' (20)\n");
    EXPECT_TRUE(record.IsDirty());
    EXPECT_EQ(record.Values().size(), 2u);
    EXPECT_EQ(bird_test::Entries(tmp.path()), (std::set<std::string>{"file"}));
}

TEST(RecordFile, UnreadableRecordIsNotReplacedByAnEmptyOne) {
    TempDir tmp;
    ASSERT_EQ(chmod(tmp.path().c_str(), 0777), 0);
    const std::string path = tmp / ".settings";
    const std::string text = "LATEST_DOWNLOAD=4711.bird\n";
    WriteText(path, text);
    ASSERT_EQ(chmod(path.c_str(), 0200), 0);  // nobody but the superuser reads it
    const int status = bird_test::InChild([&] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            return 2;
        }
        LogCapture log(DEBUG_Attributes);
        KeyValueStore record(path.c_str());
        const std::string wanted =
            "Attibutes: Error - cannot open attributes file: '" + path + "' (13)\n";
        return log.Text() == wanted && record["CREATED_TIME"] != nullptr ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadText(path), text);
    EXPECT_EQ(bird_test::Entries(tmp.path()), (std::set<std::string>{".settings"}));
}

TEST(RecordFile, SaveWithoutAnyFileNameUsesTheDefaultInTheWorkingDirectory) {
    TempDir tmp;
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof(saved)), nullptr);
    ASSERT_EQ(chdir(tmp.path().c_str()), 0);
    LogCapture log(DEBUG_Attributes);
    KeyValueStore record;
    record.Add("LATEST_TRANSFER", "fw.bird");
    const bool ok = record.Save();
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_TRUE(ok);
    EXPECT_EQ(log.Text(),
              "Attibutes: no filename given for attributes, using default:[.settings]\n");
    EXPECT_EQ(record.Filename(), ".settings");
    EXPECT_NE(ReadText(tmp / ".settings").find("LATEST_TRANSFER=fw.bird\n"), std::string::npos);
}

// A save that fails part way (full disk, file size limit), cannot create its
// temporary file, or cannot rename it leaves the previous record as it was and
// no temporary file behind.
TEST(RecordAtomicSave, FailedSaveKeepsThePreviousFile) {
    TempDir tmp;
    const std::string path = tmp / ".settings";
    const std::string previous = "CREATED_TIME=c\nLATEST_DOWNLOAD=4711.bird\nUPDATED_TIME=u\n";
    const struct {
        const char* name;
        std::function<void()> limit;
        int error;
    } cases[] = {
        {"short write", [] { bird_test::LimitFileSize(64); }, EFBIG},
        {"no temporary file", [] { bird_test::LimitOpenFiles(); }, EMFILE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteText(path, previous);
        const int status = bird_test::InChild([&] {
            KeyValueStore record;
            record.Add("LATEST_DOWNLOAD", std::string(200, '9') + ".bird");
            LogCapture log(DEBUG_Attributes);
            c.limit();
            const bool saved = record.Save(path.c_str());
            const std::string code = "(" + std::to_string(c.error) + ")\n";
            const std::string text = log.Text();
            return !saved && record.IsDirty() && text.find(path) != std::string::npos &&
                           text.find(code) != std::string::npos
                       ? 0
                       : 1;
        });
        EXPECT_EQ(status, 0);
        EXPECT_EQ(ReadText(path), previous);
        EXPECT_EQ(bird_test::Entries(tmp.path()), (std::set<std::string>{".settings"}));
    }

    // The target is a directory: the rename fails after a complete write.
    ASSERT_EQ(mkdir((tmp / "dir").c_str(), 0755), 0);
    WriteText(tmp / "dir/inside", "x");
    LogCapture log(DEBUG_Attributes);
    KeyValueStore record;
    record.Add("A", 1);
    EXPECT_FALSE(record.Save((tmp / "dir").c_str()));
    EXPECT_TRUE(record.IsDirty());
    EXPECT_EQ(log.Text(),
              "Attibutes: Error - cannot write attributes file: '" + tmp / "dir" + "' (21)\n");
    EXPECT_EQ(bird_test::Entries(tmp.path()), (std::set<std::string>{".settings", "dir"}));
}

TEST(RecordAtomicSave, ReplacedFileKeepsItsPermissions) {
    TempDir tmp;
    const std::string path = tmp / ".settings";
    WriteText(path, "A=1\n");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    KeyValueStore record(path.c_str());
    record.Add("A", 2);
    ASSERT_TRUE(record.Save());
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);

    const mode_t oldMask = umask(022);
    KeyValueStore fresh;
    const bool saved = fresh.Save((tmp / "new").c_str());
    umask(oldMask);
    ASSERT_TRUE(saved);
    ASSERT_EQ(stat((tmp / "new").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
}
