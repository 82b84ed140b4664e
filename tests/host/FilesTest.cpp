// SecureFileOrDirectory and RemoveDirectoryW.
#include "HostTest.h"

#include <sys/stat.h>
#include <unistd.h>

using kwatest::FileExists;
using kwatest::FileMode;
using kwatest::HostTest;
using kwatest::MakeDirs;
using kwatest::WriteFile;

namespace {
wxString W(const std::string& path) {
    return wxString::FromUTF8(path);
}
} // namespace

TEST_F(HostTest, SecuringGivesFilesToTheAgentAndLetsNginxWorkersThroughDirectories) {
    const std::string key = Home() + "/server.key";
    WriteFile(key, "PRIVATE");
    chmod(key.c_str(), 0644);
    const std::string dir = Home() + "/www";
    MakeDirs(dir, 0777);
    for (const bool flag : {false, true}) {
        EXPECT_TRUE(KwaCore::SecureFileOrDirectory(W(key), flag));
        EXPECT_EQ(FileMode(key), 0600u);
        EXPECT_TRUE(KwaCore::SecureFileOrDirectory(W(dir), flag));
        EXPECT_EQ(FileMode(dir), geteuid() == 0 ? 0711u : 0700u);
    }

    // A link is refused, and what it points to keeps its mode.
    const std::string target = Home() + "/public.txt";
    WriteFile(target, "x");
    chmod(target.c_str(), 0644);
    const std::string link = Home() + "/link";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_FALSE(KwaCore::SecureFileOrDirectory(W(link), false));
    EXPECT_EQ(FileMode(target), 0644u);

    EXPECT_FALSE(KwaCore::SecureFileOrDirectory(W(Home() + "/missing"), false));
    const std::string fifo = Home() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    EXPECT_FALSE(KwaCore::SecureFileOrDirectory(W(fifo), false));
}

TEST_F(HostTest, RemovingADirectoryTakesEverythingButFollowsNoLink) {
    const std::string outside = Home() + "/outside";
    WriteFile(outside + "/keep.txt", "keep");
    const std::string root = Home() + "/www";
    WriteFile(root + "/a/b/c/file.txt", "x");
    WriteFile(root + "/closed/inner/deep.txt", "x");
    WriteFile(root + "/top.txt", "x");
    chmod((root + "/closed/inner").c_str(), 0600);
    chmod((root + "/closed").c_str(), 0000);
    ASSERT_EQ(symlink(outside.c_str(), (root + "/a/link-to-outside").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent", (root + "/dangling").c_str()), 0);

    EXPECT_TRUE(KwaCore::RemoveDirectoryW(W(root + "/"), true));
    EXPECT_FALSE(FileExists(root));
    EXPECT_EQ(kwatest::ReadFile(outside + "/keep.txt"), "keep");

    // Gone already, or never there.
    EXPECT_TRUE(KwaCore::RemoveDirectoryW(W(root), false));

    // A link given as the directory is removed, not followed.
    const std::string link = Home() + "/link";
    ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0);
    EXPECT_TRUE(KwaCore::RemoveDirectoryW(W(link + "/"), false));
    EXPECT_FALSE(FileExists(link));
    EXPECT_TRUE(FileExists(outside + "/keep.txt"));

    // Not a directory: left alone.
    EXPECT_FALSE(KwaCore::RemoveDirectoryW(W(outside + "/keep.txt"), false));
    EXPECT_TRUE(FileExists(outside + "/keep.txt"));
}
