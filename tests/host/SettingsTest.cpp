// Settings in agent.conf, the home, the program directory and work directories.
#include "HostTest.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

using KwaCore::CDom;
using kwatest::HostTest;
using kwatest::ReadFile;
using kwatest::ToUtf8;
using kwatest::WriteFile;

namespace {

std::string Conf(const std::string& home) {
    return home + "/agent.conf";
}

ino_t Inode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::vector<std::string> Entries(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    return names;
}

} // namespace

TEST_F(HostTest, HandWrittenFileIsReadAndRewrittenWithItsCommentsKept) {
    WriteFile(Conf(Home()), "# written by hand\n"
                            "\n"
                            "  first.key=one\n"
                            "not a setting\n"
                            "second.key =  a = b  c \r\n"
                            "# trailing comment\n");
    CDom* dom = CDom::This();
    EXPECT_EQ(dom->GetString("first.key"), "one");
    EXPECT_EQ(dom->GetString("second.key"), "a = b  c");
    EXPECT_EQ(dom->GetString("missing.key"), "");
    EXPECT_EQ(dom->GetString("not a setting"), "");

    // Replaced as a whole: a new file renamed over the old one.
    const ino_t before = Inode(Conf(Home()));
    EXPECT_TRUE(dom->Set("first.key", "uno"));
    EXPECT_NE(Inode(Conf(Home())), before);
    EXPECT_TRUE(dom->Set("third.key", "x=y z"));
    EXPECT_EQ(ReadFile(Conf(Home())), "# written by hand\n"
                                      "\n"
                                      "first.key = uno\n"
                                      "not a setting\n"
                                      "second.key =  a = b  c \n"
                                      "# trailing comment\n"
                                      "third.key = x=y z\n");
    // No temporary file left behind.
    EXPECT_EQ(Entries(Home()), std::vector<std::string>{"agent.conf"});
    EXPECT_EQ(kwatest::FileMode(Conf(Home())), 0600u);
    EXPECT_EQ(ToUtf8(dom->GetWxString("third.key")), "x=y z");
}

TEST_F(HostTest, SettingsFollowTheHomeAndChangesMadeByOthers) {
    CDom* dom = CDom::This();
    ASSERT_TRUE(dom->Set("relay.port", "8443"));
    kwatest::TempDir other("kwa-home2");
    setenv("KWA_HOME", other.path().c_str(), 1);
    EXPECT_EQ(dom->GetString("relay.port"), "");
    ASSERT_TRUE(dom->Set("relay.port", "9443"));
    setenv("KWA_HOME", Home().c_str(), 1);
    EXPECT_EQ(dom->GetString("relay.port"), "8443");
    // Someone else rewrote the file after it was read.
    WriteFile(Conf(Home()), "relay.port = 7443\n");
    EXPECT_EQ(dom->GetString("relay.port"), "7443");
    EXPECT_EQ(ReadFile(other / "agent.conf"), "relay.port = 9443\n");
}

TEST_F(HostTest, BadKeysAndValuesAreRefusedAndUnwritableFilesKeepTheValueInMemory) {
    CDom* dom = CDom::This();
    EXPECT_FALSE(dom->Set("", "x"));
    EXPECT_FALSE(dom->Set("a=b", "x"));
    EXPECT_FALSE(dom->Set("#comment", "x"));
    EXPECT_FALSE(dom->Set("key", "two\nlines"));
    EXPECT_EQ(dom->GetString("key"), "");
    EXPECT_FALSE(kwatest::FileExists(Conf(Home())));

    // A home below a regular file can never be created.
    WriteFile(Home() + "/file", "");
    setenv("KWA_HOME", (Home() + "/file/home").c_str(), 1);
    EXPECT_FALSE(dom->Set("kept", "in memory"));
    EXPECT_EQ(dom->GetString("kept"), "in memory");
}

TEST_F(HostTest, ProgramDirectoryDefaultsToTheLibraryDirectory) {
    char resolved[PATH_MAX];
    ASSERT_NE(realpath(kwatest::BinDir().c_str(), resolved), nullptr);
    EXPECT_EQ(ToUtf8(CDom::This()->GetWxString("app.path.bin")), resolved);
    EXPECT_EQ(ToUtf8(KwaCore::Host::ProgramDir()), resolved);
    ASSERT_TRUE(CDom::This()->Set("app.path.bin", "/opt/agent/bin"));
    EXPECT_EQ(ToUtf8(KwaCore::Host::ProgramDir()), "/opt/agent/bin");
}

TEST_F(HostTest, WorkDirectoriesAreNamedNotCreatedAndTheirParentsCanBeTraversed) {
    CDom* dom = CDom::This();
    EXPECT_EQ(ToUtf8(dom->GetPluginWorkdirWx("relay")), Home() + "/plugins/relay");
    EXPECT_EQ(dom->GetPluginWorkdir("kwa_core"), Home() + "/plugins/kwa_core");
    EXPECT_FALSE(kwatest::FileExists(Home() + "/plugins/relay"));
    const unsigned expected = geteuid() == 0 ? 0711u : 0700u;
    EXPECT_EQ(kwatest::FileMode(Home() + "/plugins"), expected);

    // A home made by someone else without o+x gains it (as root) and nothing more.
    kwatest::TempDir base("kwa-base");
    const std::string home = base / "home";
    kwatest::MakeDirs(home, 0700);
    setenv("KWA_HOME", (home + "//").c_str(), 1);
    EXPECT_EQ(dom->GetPluginWorkdir("relay"), home + "/plugins/relay");
    EXPECT_EQ(kwatest::FileMode(home), geteuid() == 0 ? 0701u : 0700u);
}

TEST_F(HostTest, HomeComesFromTheEnvironmentOrTheUsersDefault) {
    EXPECT_EQ(ToUtf8(KwaCore::Host::Home()), Home());
    EXPECT_FALSE(KwaCore::Host::HomeIsDefault());

    kwatest::TempDir cwd("kwa-cwd");
    char previous[PATH_MAX];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(cwd.path().c_str()), 0);
    setenv("KWA_HOME", "relative/home/", 1);
    EXPECT_EQ(ToUtf8(KwaCore::Host::Home()), cwd.path() + "/relative/home");
    ASSERT_EQ(chdir(previous), 0);

    unsetenv("KWA_HOME");
    EXPECT_TRUE(KwaCore::Host::HomeIsDefault());
    if (geteuid() == 0) {
        EXPECT_EQ(ToUtf8(KwaCore::Host::Home()), "/var/lib/kwagent");
    } else {
        setenv("XDG_DATA_HOME", "/xdg/data/", 1);
        EXPECT_EQ(ToUtf8(KwaCore::Host::Home()), "/xdg/data/kwagent");
    }
}
