// Directory module, path joiner and link specifications.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "app/store/BuildPath.h"
#include "cli_support.h"
#include "common/aDirectory.h"
#include "common/aLinkSpec.h"

using cli_test::TempDir;

namespace {

bool IsDir(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

unsigned Mode(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path) << content;
}

}  // namespace

TEST(DirectoryEnsure, CreatesEveryMissingLevelWithTheMode) {
    TempDir tmp;
    const mode_t oldMask = umask(022);
    const std::string deep = tmp / "x/y/z";
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
    umask(oldMask);
    for (const char* level : {"x", "x/y", "x/y/z"}) {
        EXPECT_TRUE(IsDir(tmp / level)) << level;
        EXPECT_EQ(Mode(tmp / level), 0755u) << level;
    }
    // Already there: nothing to do. A trailing separator names the same directory.
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
    EXPECT_EQ(aDirectory_Ensure((deep + "/").c_str(), 0755), aErrNone);
    EXPECT_EQ(aDirectory_Ensure((tmp / "a//b").c_str(), 0700), aErrNone);
    EXPECT_TRUE(IsDir(tmp / "a/b"));
}

TEST(DirectoryEnsure, RelativePathsStartAtTheWorkingDirectory) {
    TempDir tmp;
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof(saved)), nullptr);
    ASSERT_EQ(chdir(tmp.path().c_str()), 0);
    const aErr result = aDirectory_Ensure("r/s", 0755);
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_EQ(result, aErrNone);
    EXPECT_TRUE(IsDir(tmp / "r/s"));
}

TEST(DirectoryEnsure, FailsWhenSomethingInTheWayIsNotADirectory) {
    TempDir tmp;
    WriteFile(tmp / "file", "data");
    // A file as a parent, a file at the path itself (no directory results
    // from that, so success would be a lie), and a parent that cannot hold
    // directories.
    EXPECT_EQ(aDirectory_Ensure((tmp / "file/sub").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure((tmp / "file").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure("/proc/qx_no_such_dir/sub", 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
    EXPECT_FALSE(aDirectory_Exists((tmp / "file").c_str()));
    EXPECT_FALSE(aDirectory_Exists(nullptr));
    EXPECT_TRUE(aDirectory_Exists(tmp.path().c_str()));
}

TEST(DirectoryJoin, JoinPathAddsASeparatorOnlyWhereNoneIsWhileBuildPathAlwaysDoes) {
    char buffer[64];
    struct Case {
        const char* a;
        const char* b;
        const char* joined;
    };
    const Case cases[] = {
        {"/a/", "b", "/a/b"},   {"/a", "b", "/a/b"}, {"/a", "/b", "/a/b"},
        {"/a/", "/b", "/a//b"}, {"", "b", "/b"},     {"a", "", "a/"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof(buffer), c.a, c.b), aErrNone) << c.a << c.b;
        EXPECT_STREQ(buffer, c.joined) << c.a << " + " << c.b;
    }
    EXPECT_EQ(BuildPath("/a/", "b"), "/a//b");
    EXPECT_EQ(BuildPath("/a", "/b"), "/a//b");
}

TEST(DirectoryJoin, BufferLimitsAndBadArguments) {
    char buffer[8];
    // `first` must be shorter than size - 1.
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof(buffer), "abcdef", nullptr), aErrNone);
    EXPECT_STREQ(buffer, "abcdef");
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof(buffer), "abcdefg", nullptr), aErrOverrun);
    EXPECT_STREQ(buffer, "");
    // Each part must be shorter than the room left after the separator.
    EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof(buffer), "abc", "de"), aErrNone);
    EXPECT_STREQ(buffer, "abc/de");
    EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof(buffer), "abc", "def"), aErrOverrun);
    EXPECT_STREQ(buffer, "");

    char big[256];
    EXPECT_EQ(aDirectory_BuildPath(big, sizeof(big), "r", "1", "2", "3", "4", "5", "6", "7", "8",
                                   "9", nullptr),
              aErrNone);
    EXPECT_STREQ(big, "r/1/2/3/4/5/6/7/8/9");
    EXPECT_EQ(aDirectory_BuildPath(big, sizeof(big), "r", "1", "2", "3", "4", "5", "6", "7", "8",
                                   "9", "10", nullptr),
              aErrParam);
    EXPECT_STREQ(big, "");

    strcpy(big, "self");
    EXPECT_EQ(aDirectory_JoinPath(big, sizeof(big), big, "x"), aErrParam);
    strcpy(big, "self");
    EXPECT_EQ(aDirectory_JoinPath(big, sizeof(big), "x", big), aErrParam);
    EXPECT_EQ(aDirectory_JoinPath(nullptr, 10, "a", "b"), aErrParam);
    EXPECT_EQ(aDirectory_JoinPath(big, sizeof(big), nullptr, "b"), aErrParam);
}

TEST(BuildPathText, JoinsAnyNumberOfPartsUpToTheFirstNull) {
    const std::string part = "s";
    const char* none = nullptr;
    EXPECT_EQ(BuildPath("a"), "a");
    EXPECT_EQ(BuildPath("a", "b", nullptr), "a/b");
    EXPECT_EQ(BuildPath("a", part, "c"), "a/s/c");
    EXPECT_EQ(BuildPath("a", "b", nullptr, "ignored"), "a/b");
    EXPECT_EQ(BuildPath("a", none, "ignored"), "a");
    EXPECT_EQ(BuildPath(none, "b"), "");
    EXPECT_EQ(BuildPath("0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"),
              "0/1/2/3/4/5/6/7/8/9/10/11");
}

namespace {

struct Listed {
    std::string path;
    int32_t size;
    int32_t isDirectory;
};

bool Collect(const aDirectoryListData* data, void* ref) {
    static_cast<std::vector<Listed>*>(ref)->push_back({data->path, data->size, data->isDirectory});
    return true;
}

bool StopAtFirst(const aDirectoryListData* data, void* ref) {
    Collect(data, ref);
    return false;
}

}  // namespace

TEST(DirectoryList, ReportsEveryEntryWithItsJoinedPathSizeAndKind) {
    TempDir tmp;
    WriteFile(tmp / "five", "12345");
    ASSERT_EQ(mkdir((tmp / "sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("no-such-target", (tmp / "dangling").c_str()), 0);  // stat fails: skipped

    std::vector<Listed> entries;
    ASSERT_EQ(aDirectory_List(tmp.path().c_str(), Collect, &entries), aErrNone);
    std::set<std::string> paths;
    for (const Listed& e : entries) {
        paths.insert(e.path);
        if (e.path == tmp / "five") {
            EXPECT_EQ(e.size, 5);
            EXPECT_EQ(e.isDirectory, 0);
        } else {
            EXPECT_EQ(e.isDirectory, 1) << e.path;
        }
    }
    EXPECT_EQ(paths, (std::set<std::string>{tmp / ".", tmp / "..", tmp / "five", tmp / "sub"}));
    EXPECT_EQ(entries.size(), 4u);

    std::vector<Listed> first;
    ASSERT_EQ(aDirectory_List(tmp.path().c_str(), StopAtFirst, &first), aErrNone);
    EXPECT_EQ(first.size(), 1u);

    EXPECT_EQ(aDirectory_List((tmp / "missing").c_str(), Collect, &entries), aErrNotFound);
}

TEST(DirectoryDelete, DeleteTreeRemovesEverythingButNeverFollowsLinks) {
    TempDir tmp;
    const std::string outside = tmp / "outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    WriteFile(outside + "/keep", "precious");

    const std::string tree = tmp / "tree";
    ASSERT_EQ(aDirectory_Ensure((tree + "/a/b/c").c_str(), 0755), aErrNone);
    WriteFile(tree + "/top", "1");
    WriteFile(tree + "/a/mid", "2");
    WriteFile(tree + "/a/b/c/deep", "3");
    ASSERT_EQ(symlink(outside.c_str(), (tree + "/a/link").c_str()), 0);

    EXPECT_EQ(aDirectory_DeleteTree(tree.c_str()), aErrNone);
    EXPECT_FALSE(IsDir(tree));
    EXPECT_TRUE(IsDir(outside));
    std::ifstream kept(outside + "/keep");
    std::string content;
    kept >> content;
    EXPECT_EQ(content, "precious");

    // A link to a directory given as the tree itself is refused.
    ASSERT_EQ(symlink(outside.c_str(), (tmp / "alias").c_str()), 0);
    EXPECT_EQ(aDirectory_DeleteTree((tmp / "alias").c_str()), aErrNotFound);
    EXPECT_TRUE(IsDir(outside));

    EXPECT_EQ(aDirectory_DeleteTree((tmp / "missing").c_str()), aErrNotFound);
}

TEST(DirectoryDelete, DeleteRemovesOnlyEmptyDirectories) {
    TempDir tmp;
    ASSERT_EQ(mkdir((tmp / "full").c_str(), 0755), 0);
    WriteFile(tmp / "full/f", "x");
    ASSERT_EQ(mkdir((tmp / "empty").c_str(), 0755), 0);
    EXPECT_EQ(aDirectory_Delete((tmp / "full").c_str()), aErrUnknown);
    EXPECT_EQ(aDirectory_Delete((tmp / "empty").c_str()), aErrNone);
    EXPECT_FALSE(IsDir(tmp / "empty"));
    EXPECT_TRUE(IsDir(tmp / "full"));
}

TEST(DirectoryWellKnown, HomeComesFromThePasswordDatabaseFirst) {
    const struct passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    char home[2048];
    ASSERT_EQ(aDirectory_GetHomeDirectory(home, sizeof(home)), aErrNone);
    EXPECT_STREQ(home, entry->pw_dir);

    const size_t length = strlen(entry->pw_dir);
    std::vector<char> tight(length + 1);
    EXPECT_EQ(aDirectory_GetHomeDirectory(tight.data(), tight.size()), aErrNone);
    std::vector<char> small(length);
    EXPECT_EQ(aDirectory_GetHomeDirectory(small.data(), small.size()), aErrOverrun);
    EXPECT_EQ(aDirectory_GetHomeDirectory(nullptr, 10), aErrParam);
}

TEST(DirectoryWellKnown, HomeFallsBackToTheEnvironmentForAUserWithoutAnEntry) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run as a user without a password entry";
    }
    uid_t unknown = 54321;
    while (getpwuid(unknown) != nullptr) {
        ++unknown;
    }
    // Child exit codes: 0 HOME used, 1 HOME missing reported, others failures.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setuid(unknown) != 0) {
            _exit(10);
        }
        char home[256];
        setenv("HOME", "/from/environment", 1);
        if (aDirectory_GetHomeDirectory(home, sizeof(home)) != aErrNone ||
            strcmp(home, "/from/environment") != 0) {
            _exit(11);
        }
        unsetenv("HOME");
        _exit(aDirectory_GetHomeDirectory(home, sizeof(home)) == aErrNotFound ? 0 : 12);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(DirectoryWellKnown, WorkingDirectoryAndExecutablePath) {
    char cwd[4096];
    char expected[4096];
    ASSERT_EQ(aDirectory_CWD(cwd, sizeof(cwd)), aErrNone);
    ASSERT_NE(getcwd(expected, sizeof(expected)), nullptr);
    EXPECT_STREQ(cwd, expected);
    char tiny[2];
    EXPECT_EQ(aDirectory_CWD(tiny, sizeof(tiny)), aErrParam);

    char exe[4096];
    ASSERT_EQ(aDirectory_ExecutableFilePath(exe, sizeof(exe)), aErrNone);
    const std::string path = exe;
    EXPECT_EQ(path.substr(path.rfind('/') + 1), "cli_store_test");
    char cut[6];
    ASSERT_EQ(aDirectory_ExecutableFilePath(cut, sizeof(cut)), aErrNone);
    EXPECT_EQ(std::string(cut), path.substr(0, 5));
}

TEST(LinkSpec, CreateCopyDestroy) {
    linkSpec* spec = aLinkSpec_Create(TCPIP);
    ASSERT_NE(spec, nullptr);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(spec);
    EXPECT_EQ(bytes[0], 2);
    for (size_t i = 1; i < sizeof(linkSpec); ++i) {
        ASSERT_EQ(bytes[i], 0) << i;
    }
    // The address keeps network byte order: its bytes are the written octets.
    ASSERT_EQ(inet_pton(AF_INET, "192.168.1.20", &spec->t.ip.ip_address), 1);
    EXPECT_EQ(bytes[24], 192);
    EXPECT_EQ(bytes[27], 20);
    spec->t.ip.ip_port = 1000;
    EXPECT_EQ(bytes[28], 0xE8);  // little-endian
    EXPECT_EQ(bytes[29], 0x03);

    linkSpec* copy = aLinkSpec_Copy(spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, spec);
    EXPECT_EQ(memcmp(copy, spec, sizeof(linkSpec)), 0);
    EXPECT_EQ(aLinkSpec_Copy(nullptr), nullptr);

    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(spec, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
}
