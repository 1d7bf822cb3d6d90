#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "unix/aFile.h"

namespace {

class File : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "qx-file.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        aFile_Close(&file_);
        std::error_code ignored;
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string PathOf(const std::string& name) const { return dir_ + "/" + name; }
    std::string Make(const std::string& name, const std::string& content) const {
        const std::string path = PathOf(name);
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    static std::string Contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    aFileRef Open(const std::string& path, aFileMode mode) {
        aErr error = aErrUnknown;
        aFileRef file = aFile_Open(path.c_str(), mode, &error);
        EXPECT_EQ(error, aErrNone) << path;
        return file;
    }
    // The outcome of opening path in mode; no handle may come back on failure.
    static aErr OpenError(const char* path, aFileMode mode) {
        aErr error = aErrUnknown;
        aFileRef file = aFile_Open(path, mode, &error);
        if (file != nullptr) {
            aFile_Close(&file);
            ADD_FAILURE() << "opened " << (path ? path : "(null)");
        }
        return error;
    }

    std::string dir_;
    aFileRef file_ = nullptr;
};

TEST_F(File, OpenFailuresMapToErrors) {
    Make("plain", "x");
    EXPECT_EQ(OpenError(nullptr, aFileModeReadOnly), aErrParam);
    EXPECT_EQ(OpenError("", aFileModeWriteOnly), aErrParam);
    EXPECT_EQ(OpenError(PathOf("plain").c_str(), aFileModeUnknown), aErrMode);
    EXPECT_EQ(OpenError(PathOf("plain").c_str(), static_cast<aFileMode>(7)), aErrMode);
    EXPECT_EQ(OpenError(PathOf("missing").c_str(), aFileModeReadOnly), aErrNotFound);
    EXPECT_EQ(OpenError(PathOf("no-dir/file").c_str(), aFileModeWriteOnly), aErrIO);
    EXPECT_EQ(OpenError(dir_.c_str(), aFileModeAppend), aErrIO);  // a directory
    EXPECT_EQ(aFile_Open(nullptr, aFileModeReadOnly), nullptr);   // error is optional
}

TEST_F(File, UnwritableDirectoryGivesPermission) {
    const std::string locked = PathOf("locked");
    ASSERT_EQ(mkdir(locked.c_str(), 0700), 0);
    const std::string victim = Make("locked/victim", "v");
    ASSERT_EQ(chmod(locked.c_str(), 0500), 0);
    // Root passes every permission check, so the checks run in a child that
    // has given up root; the test directory is closed to it entirely.
    ASSERT_EQ(chmod(dir_.c_str(), 0700), 0);
    EXPECT_EXIT(
        {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
                std::_Exit(100);
            }
            aErr error = aErrNone;
            aFile_Open((locked + "/new").c_str(), aFileModeWriteOnly, &error);
            if (error != aErrPermission) {
                std::_Exit(1);
            }
            aFile_Open((locked + "/new").c_str(), aFileModeAppend, &error);
            if (error != aErrPermission) {
                std::_Exit(2);
            }
            std::_Exit(aFile_Delete(victim.c_str()) == aErrPermission ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
    chmod(locked.c_str(), 0700);
}

TEST_F(File, PathLengthLimitIs4096Bytes) {
    std::string path = dir_ + "/";
    path.append(4096 - path.size(), 'a');
    ASSERT_EQ(path.size(), 4096u);
    // 4096 bytes is tried (and fails in the system: the name is too long for it).
    EXPECT_EQ(OpenError(path.c_str(), aFileModeReadOnly), aErrNotFound);
    EXPECT_EQ(OpenError(path.c_str(), aFileModeWriteOnly), aErrIO);
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrIO);
    path += "a";
    EXPECT_EQ(OpenError(path.c_str(), aFileModeReadOnly), aErrFileNameLength);
    EXPECT_EQ(OpenError(path.c_str(), aFileModeAppend), aErrFileNameLength);
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrFileNameLength);
    EXPECT_FALSE(aFile_Exists(path.c_str()));
}

TEST_F(File, OperationsCheckTheMode) {
    const std::string path = Make("data", "abc\n");
    aFileRef writer = Open(PathOf("out"), aFileModeWriteOnly);
    ASSERT_NE(writer, nullptr);
    char buffer[16] = "junk";
    size_t count = 99;
    EXPECT_EQ(aFile_Read(writer, buffer, sizeof(buffer), &count), aErrMode);
    EXPECT_EQ(count, 0u);
    size_t length = 99;
    EXPECT_EQ(aFile_ReadLine(writer, buffer, sizeof(buffer), &length), aErrMode);
    EXPECT_STREQ(buffer, "");  // cleared before the check
    EXPECT_EQ(length, 0u);
    aFile_Close(&writer);

    file_ = Open(path, aFileModeReadOnly);
    ASSERT_NE(file_, nullptr);
    EXPECT_EQ(aFile_Write(file_, "x", 1, &count), aErrMode);
    EXPECT_EQ(aFile_Printf(file_, "%d", 1), aErrMode);
    EXPECT_EQ(aFile_SetUnbuffered(file_), aErrMode);
    EXPECT_EQ(aFile_Read(file_, nullptr, 1, &count), aErrParam);
    EXPECT_EQ(aFile_Read(nullptr, buffer, 1, &count), aErrParam);
    EXPECT_EQ(aFile_Write(nullptr, "x", 1, &count), aErrParam);
    EXPECT_EQ(Contents(path), "abc\n");
}

TEST_F(File, ReadToEndOfFile) {
    file_ = Open(Make("data", "hello"), aFileModeReadOnly);
    ASSERT_NE(file_, nullptr);
    char buffer[16];
    size_t count = 0;
    EXPECT_EQ(aFile_Read(file_, buffer, 3, &count), aErrNone);
    EXPECT_EQ(std::string(buffer, count), "hel");
    EXPECT_EQ(aFile_Read(file_, buffer, sizeof(buffer), &count), aErrNone);
    EXPECT_EQ(std::string(buffer, count), "lo");
    EXPECT_EQ(aFile_Read(file_, buffer, sizeof(buffer), &count), aErrEOF);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aFile_Read(file_, buffer, 0, nullptr), aErrNone);
}

TEST_F(File, SeekStaysWithinTheFile) {
    file_ = Open(Make("data", "0123456789"), aFileModeReadOnly);
    ASSERT_NE(file_, nullptr);
    struct {
        long offset;
        aFileSeekOrigin origin;
        aErr result;
        long position;  // after the call
    } cases[] = {
        {0, aSeekStart, aErrNone, 0},       {10, aSeekStart, aErrNone, 10},
        {11, aSeekStart, aErrRange, 10},    {-1, aSeekStart, aErrRange, 10},
        {-4, aSeekEnd, aErrNone, 6},        {1, aSeekEnd, aErrRange, 6},
        {-6, aSeekCurrent, aErrNone, 0},    {-1, aSeekCurrent, aErrRange, 0},
        {5, aSeekCurrent, aErrNone, 5},     {LONG_MAX, aSeekCurrent, aErrRange, 5},
        {LONG_MIN, aSeekEnd, aErrRange, 5}, {0, static_cast<aFileSeekOrigin>(3), aErrParam, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + " from " + std::to_string(c.origin));
        EXPECT_EQ(aFile_Seek(file_, c.offset, c.origin), c.result);
        long position = -1;
        EXPECT_EQ(aFile_GetPosition(file_, &position), aErrNone);
        EXPECT_EQ(position, c.position);
    }
    char byte = 0;
    EXPECT_EQ(aFile_Read(file_, &byte, 1, nullptr), aErrNone);
    EXPECT_EQ(byte, '5');
    EXPECT_EQ(aFile_Seek(nullptr, 0, aSeekStart), aErrParam);
}

TEST_F(File, GetSizeKeepsThePosition) {
    file_ = Open(Make("data", "0123456789"), aFileModeReadOnly);
    ASSERT_NE(file_, nullptr);
    ASSERT_EQ(aFile_Seek(file_, 3, aSeekStart), aErrNone);
    unsigned long size = 0;
    EXPECT_EQ(aFile_GetSize(file_, &size), aErrNone);
    EXPECT_EQ(size, 10u);
    char byte = 0;
    EXPECT_EQ(aFile_Read(file_, &byte, 1, nullptr), aErrNone);
    EXPECT_EQ(byte, '3');
    EXPECT_EQ(aFile_GetSize(file_, nullptr), aErrParam);
    size = 7;
    EXPECT_EQ(aFile_GetSize(nullptr, &size), aErrParam);
    EXPECT_EQ(size, 0u);

    // Bytes still in the write buffer count.
    aFileRef writer = Open(PathOf("out"), aFileModeWriteOnly);
    ASSERT_NE(writer, nullptr);
    ASSERT_EQ(aFile_Write(writer, "abcde", 5, nullptr), aErrNone);
    EXPECT_EQ(aFile_GetSize(writer, &size), aErrNone);
    EXPECT_EQ(size, 5u);
    aFile_Close(&writer);
}

TEST_F(File, ReadLineSplitsLinesAndReportsOverrun) {
    file_ = Open(Make("lines", "one\ntwo long line\nlast"), aFileModeReadOnly);
    ASSERT_NE(file_, nullptr);
    char buffer[16];
    size_t length = 0;
    EXPECT_EQ(aFile_ReadLine(file_, buffer, sizeof(buffer), &length), aErrNone);
    EXPECT_STREQ(buffer, "one\n");
    EXPECT_EQ(length, 4u);
    // Fills the buffer (size - 1 bytes) without a newline.
    EXPECT_EQ(aFile_ReadLine(file_, buffer, 8, &length), aErrOverrun);
    EXPECT_STREQ(buffer, "two lon");
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(aFile_ReadLine(file_, buffer, sizeof(buffer), &length), aErrNone);
    EXPECT_STREQ(buffer, "g line\n");
    // The last line has no newline: complete all the same, even when it fills
    // the buffer exactly.
    EXPECT_EQ(aFile_ReadLine(file_, buffer, 5, &length), aErrNone);
    EXPECT_STREQ(buffer, "last");
    EXPECT_EQ(aFile_ReadLine(file_, buffer, sizeof(buffer), &length), aErrEOF);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(aFile_ReadLine(file_, buffer, 1, &length), aErrParam);
    EXPECT_EQ(aFile_ReadLine(file_, nullptr, 8, &length), aErrParam);
}

TEST_F(File, WriteThenAppendThenReadBack) {
    const std::string path = PathOf("log");
    file_ = Open(path, aFileModeWriteOnly);
    ASSERT_NE(file_, nullptr);
    size_t count = 0;
    EXPECT_EQ(aFile_Write(file_, "abc", 3, &count), aErrNone);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(aFile_Printf(file_, "%d-%s", 42, "x"), aErrNone);
    EXPECT_EQ(aFile_Write(file_, "x", 0, &count), aErrNone);
    EXPECT_EQ(aFile_Printf(file_, nullptr), aErrParam);
    EXPECT_EQ(aFile_Close(&file_), aErrNone);
    EXPECT_EQ(Contents(path), "abc42-x");

    // Append starts at the end; writes always go there, also after a read.
    file_ = Open(path, aFileModeAppend);
    ASSERT_NE(file_, nullptr);
    long position = 0;
    EXPECT_EQ(aFile_GetPosition(file_, &position), aErrNone);
    EXPECT_EQ(position, 7);
    ASSERT_EQ(aFile_Seek(file_, 0, aSeekStart), aErrNone);
    char buffer[16];
    EXPECT_EQ(aFile_Read(file_, buffer, 2, &count), aErrNone);
    EXPECT_EQ(std::string(buffer, count), "ab");
    EXPECT_EQ(aFile_Write(file_, "Z", 1, nullptr), aErrNone);
    ASSERT_EQ(aFile_Seek(file_, 2, aSeekStart), aErrNone);
    EXPECT_EQ(aFile_Read(file_, buffer, sizeof(buffer), &count), aErrNone);
    EXPECT_EQ(std::string(buffer, count), "c42-xZ");
    EXPECT_EQ(aFile_Close(&file_), aErrNone);

    // Opening for writing truncates.
    file_ = Open(path, aFileModeWriteOnly);
    EXPECT_EQ(aFile_Close(&file_), aErrNone);
    EXPECT_EQ(Contents(path), "");
}

TEST_F(File, UnbufferedWritesAreVisibleAtOnce) {
    const std::string path = PathOf("unbuffered");
    file_ = Open(path, aFileModeAppend);
    ASSERT_NE(file_, nullptr);
    ASSERT_EQ(aFile_SetUnbuffered(file_), aErrNone);
    EXPECT_EQ(aFile_Printf(file_, "line %u\n", 1u), aErrNone);
    EXPECT_EQ(Contents(path), "line 1\n");
}

TEST_F(File, CloseClearsTheReferenceEveryTime) {
    file_ = Open(Make("data", "x"), aFileModeReadOnly);
    ASSERT_NE(file_, nullptr);
    EXPECT_EQ(aFile_Close(&file_), aErrNone);
    EXPECT_EQ(file_, nullptr);
    EXPECT_EQ(aFile_Close(&file_), aErrParam);
    EXPECT_EQ(file_, nullptr);
    EXPECT_EQ(aFile_Close(nullptr), aErrParam);
}

TEST_F(File, ExistsAndDelete) {
    const std::string path = Make("data", "x");
    EXPECT_TRUE(aFile_Exists(path.c_str()));
    EXPECT_FALSE(aFile_Exists(dir_.c_str()));
    EXPECT_FALSE(aFile_Exists(PathOf("missing").c_str()));
    EXPECT_FALSE(aFile_Exists(nullptr));

    EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
    EXPECT_EQ(aFile_Delete(PathOf("missing").c_str()), aErrNotFound);
    EXPECT_EQ(aFile_Delete(dir_.c_str()), aErrIO);  // directories are left alone
    EXPECT_TRUE(std::filesystem::is_directory(dir_));
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
    EXPECT_FALSE(aFile_Exists(path.c_str()));
}

}  // namespace
