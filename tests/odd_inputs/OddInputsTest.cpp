// Hostile and odd inputs: special files and links where files are expected, names that
// are not UTF-8, lying pid files, another owner's files, unreadable directories, the GC.
#include "LuaFixture.h"

#include <gtest/gtest.h>
#include <wx/debug.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kwatest;

namespace {

class OddInputsTest : public LuaFixture {
protected:
    void SetUp() override {
        LuaFixture::SetUp();
        NewRelay();
        Run("host.trace('RS', true)");
    }
    std::string Bin() const { return Home() + "/agent/bin"; }
    void UseProgramDir(const std::string& dir) {
        MakeDirs(dir);
        Run("host.set('app.path.bin', '" + dir + "')");
    }
    static void MakeBundle(const std::string& path) {
        TempDir staging("kwa-bundle");
        WriteFile(staging / "d/a.txt", "a");
        RunCommand("cd " + ShellQuote(staging.path()) + " && zip -q -r " + ShellQuote(path) + " .");
    }
    std::vector<std::string> Extract() { // the result of ExtractBundles, sorted
        Run("result = rs:ExtractBundles() or {}");
        std::vector<std::string> dirs;
        for (long long i = 1; i <= Integer("#result"); ++i)
            dirs.push_back(String("result[" + std::to_string(i) + "]"));
        std::sort(dirs.begin(), dirs.end());
        return dirs;
    }
    // Whether body holds in a child process, run as nobody when this one is root.
    static bool Unprivileged(const std::function<bool()>& body) {
        const pid_t child = fork();
        if (child == 0) {
            const bool dropped = geteuid() != 0 || (setgroups(0, nullptr) == 0 &&
                                                    setresgid(65534, 65534, 65534) == 0 &&
                                                    setresuid(65534, 65534, 65534) == 0);
            _exit(dropped && body() ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
};

TEST_F(OddInputsTest, OnlyRegularFilesAndLinksToThemAreBundles) {
    UseProgramDir(Bin());
    MakeBundle(Bin() + "/kwupdate_real.zip");
    MakeBundle(Home() + "/elsewhere.zip");
    ASSERT_EQ(symlink((Home() + "/elsewhere.zip").c_str(), (Bin() + "/kwupdate_link.zip").c_str()),
              0);
    ASSERT_EQ(mkfifo((Bin() + "/kwupdate_fifo.zip").c_str(), 0600), 0); // would block a reader
    ASSERT_EQ(symlink("/dev/zero", (Bin() + "/kwupdate_dev.zip").c_str()), 0);
    MakeDirs(Home() + "/agent/kwupdate_dir.zip");
    EXPECT_EQ(Extract(), (std::vector<std::string>{WorkDir() + "/bundle/tmp/kwupdate_link",
                                                   WorkDir() + "/bundle/tmp/kwupdate_real"}));
    UseProgramDir("/"); // its own parent, without a wx assertion (checked for every test)
    Extract();
}

// Bytes that are not UTF-8 (home, bundle, log name) pass through unchanged.
TEST_F(OddInputsTest, NamesThatAreNotUtf8KeepTheirBytes) {
    for (const auto& [name, bundle] : std::vector<std::pair<std::string, std::string>>{
             {"h\xff", "kwupdate_1"},
             {"h", "kwupdate_\xff\xc3"},
             {"\xc3\xa9", "kwupdate_\xed\xa0\x80\xf4\x90\x80\x80"}}) {
        SCOPED_TRACE(name + " " + bundle);
        const std::string home = Home() + "/" + name;
        setenv("KWA_HOME", home.c_str(), 1);
        ResetLua();
        NewRelay();
        UseProgramDir(Home() + "/bin-" + bundle);
        MakeBundle(Home() + "/bin-" + bundle + "/" + bundle + ".zip");
        const std::string work = home + "/plugins/relay";
        EXPECT_EQ(String("rs:GetInstallDir()"), work + "/www");
        EXPECT_EQ(Extract(), std::vector<std::string>{work + "/bundle/tmp/" + bundle});
        EXPECT_EQ(ReadFile(work + "/bundle/tmp/" + bundle + "/d/a.txt"), "a");
        EXPECT_FALSE(DirExists("bundle")) << "nothing in the current directory";
        WriteFile(work + "/logs/" + bundle + ".log", "log");
        Run("rs:RotateLogFile('" + work + "/logs/" + bundle + ".log', 1)");
        EXPECT_EQ(ReadFile(work + "/logs/" + bundle + "-01.log"), "log");
    }
    // The C library decodes UTF-8 of up to 31 bits: such text is bytes, not beyond Unicode.
    Run("rs:UpdateConfig{tlsProtocols = '\\247\\191\\191\\191'} "
        "rs:RotateLogFile('\\248\\136\\128\\128\\128', 1)");
}

// A directory its owner could not read or enter is opened up before the walk.
TEST_F(OddInputsTest, PublishOpensUpDirectoriesBeforeWalkingThem) {
    for (const unsigned rootMode : {0000u, 0300u}) {
        SCOPED_TRACE(rootMode);
        const std::string www = WebRoot();
        for (const char* file : {"/a/f.bin", "/b/g.bin"}) {
            WriteFile(www + file, "f");
            chmod((www + file).c_str(), 0600);
        }
        for (const auto& [dir, mode] : {std::pair{"/a", 0u}, {"/b", 0300u}, {"", rootMode}})
            chmod((www + dir).c_str(), mode);
        RunCommand(geteuid() == 0 ? "chown -R 65534:65534 " + ShellQuote(www) : "true");
        EXPECT_TRUE(Unprivileged([&] { return Try("assert(rs:Publish())").empty(); }));
        for (const char* dir : {"", "/a", "/b"})
            EXPECT_EQ(FileMode(www + dir), 0711u) << dir;
        EXPECT_EQ(FileMode(www + "/a/f.bin") + FileMode(www + "/b/g.bin"), 2 * 0644u);
    }
}

} // namespace
