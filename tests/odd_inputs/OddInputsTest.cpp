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

TEST_F(OddInputsTest, KeyAndCertificateEndPrivateAndAreNeverWrittenThroughALink) {
    const std::string key = WorkDir() + "/kw_relay.key", cert = WorkDir() + "/kw_relay.pem",
                      keyText = ReadFile(key);
    chmod(key.c_str(), 0644); // a kept key that every user could read
    ResetLua();
    NewRelay();
    EXPECT_EQ(ReadFile(key), keyText) << "kept";
    EXPECT_EQ(FileMode(key), 0600u);

    // A link standing for one file of the pair (the other one missing).
    for (const std::string& linked : {key, cert}) {
        SCOPED_TRACE(linked);
        WriteFile(Home() + "/target", "not to be written");
        unlink(key.c_str()), unlink(cert.c_str());
        ASSERT_EQ(symlink((Home() + "/target").c_str(), linked.c_str()), 0);
        ResetLua();
        NewRelay();
        EXPECT_EQ(ReadFile(Home() + "/target"), "not to be written");
        EXPECT_FALSE(IsSymlink(linked));
        EXPECT_NE(ReadFile(linked).find("-----BEGIN"), std::string::npos);
        EXPECT_EQ(FileMode(key), 0600u);
    }
}

TEST_F(OddInputsTest, AKeptKeyOfAnotherOwnerIsNamedInOneErrorLine) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the key to another owner";
    const std::string key = WorkDir() + "/kw_relay.key";
    ASSERT_EQ(RunCommand("chown -R 65534:65534 " + ShellQuote(Home())).exitCode, 0);
    ASSERT_EQ(chown(key.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(key.c_str(), 0644), 0);
    EXPECT_TRUE(Unprivileged([&] {
        KwaCore::Host::ClearRecords();
        ResetLua();
        NewRelay();
        int lines = 0;
        for (const auto& m : LogMessages())
            lines += m.level == 1 && ToUtf8(m.message).find(key) != std::string::npos &&
                     ToUtf8(m.message).find("owner root, mode 0644") != std::string::npos;
        return lines == 1;
    }));
}

TEST_F(OddInputsTest, ATestedFileLeavesNoPidFileBehind) {
    const std::string pid = Home() + "/tested.pid", own = WorkDir() + "/nginx.pid";
    WriteFile(Home() + "/tested.conf", "pid \"" + pid + "\"; # pid /not/this;\nerror_log " +
                                           Home() + "/e.log;\nevents { worker_connections 16; }\n");
    // The tested file's pid file before the test (null: none); the relay's own one.
    for (const auto& [before, ownBefore] : std::vector<std::pair<const char*, bool>>{
             {nullptr, false}, {"", true}, {"123\n", false}}) {
        RemoveTree(pid);
        RemoveTree(own);
        if (before != nullptr)
            WriteFile(pid, before);
        if (ownBefore)
            WriteFile(own, "");
        Run("valid, text = SLB.RelayServer.IsWebServerConfigValid('" + Home() + "/tested.conf')");
        EXPECT_TRUE(Bool("valid")) << String("text");
        EXPECT_EQ(FileExists(pid), before != nullptr);
        EXPECT_EQ(before != nullptr ? ReadFile(pid) : "", before ? before : "");
        EXPECT_EQ(FileExists(own), ownBefore) << "the relay's own pid file is not touched";
    }
    ASSERT_EQ(mkfifo((Home() + "/fifo.conf").c_str(), 0600), 0);
    Run("valid, text = SLB.RelayServer.IsWebServerConfigValid('" + Home() + "/fifo.conf')");
    EXPECT_FALSE(Bool("valid"));
    EXPECT_EQ(String("text"), Home() + "/fifo.conf is not a regular file");
}

// The restart after a forced stop waits for the web server only, not another program.
TEST_F(OddInputsTest, TheRestartWaitsOnlyForTheWebServer) {
    UseProgramDir(Bin());
    for (const char* program : {"nginx.exe", "kwvp.exe"}) {
        WriteFile(Bin() + "/" + program, "#!/bin/sh\nexit 0\n");
        chmod((Bin() + "/" + program).c_str(), 0755);
    }
    ResetLua(), NewRelay(); // with the stubs as its programs
    struct Case {
        std::string command;
        double least, most; // seconds
    } cases[] = {{"exec sleep 3", 0, 1.5},
                 {"sh -c 'sleep 1; :' " + Bin() + "/nginx.exe", 0.7, 2.5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const pid_t other = fork();
        if (other == 0) {
            execl("/bin/sh", "sh", "-c", c.command.c_str(), nullptr);
            _exit(127);
        }
        ASSERT_TRUE(
            WaitUntil([&] { return KwaCore::GetCommandLineW(other).Contains("sleep"); })); // exec'd
        WriteFile(WorkDir() + "/nginx.pid", std::to_string(other) + "\n");
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(Bool("rs:StartWebServer(true)"));
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GE(took, c.least);
        EXPECT_LE(took, c.most);
        kill(other, SIGKILL);
        waitpid(other, nullptr, 0);
        Run("rs:StopWebServer(true)");
    }
}

// A collection while the arguments are read must not finalise the object in use.
TEST_F(OddInputsTest, TheObjectOutlivesACollectionDuringItsCall) {
    Run("collectgarbage('setpause', 0); collectgarbage('setstepmul', 1000000); collectgarbage()\n"
        "weak = setmetatable({}, {__mode = 'v'})\n"
        "weak[1] = SLB.RelayServer()\n"
        "SLB.RelayServer.RotateLogFile(weak[1], 12345, 1)\n"
        "alive = weak[1] ~= nil\n"
        "collectgarbage('setpause', 200); collectgarbage('setstepmul', 200)");
    EXPECT_TRUE(Bool("alive"));
    // The same for a raw method whose table's fields run script code.
    Run("local o = SLB.RelayServer()\n"
        "ok = pcall(o.UpdateConfig, o, setmetatable({}, {__index = function()\n"
        "    getmetatable(o).__gc(o); collectgarbage() end}))");
    EXPECT_FALSE(Bool("ok")) << "the finalised object is refused, not used";
}

} // namespace
