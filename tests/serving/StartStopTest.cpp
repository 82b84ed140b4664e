// Starting and stopping the web server through the launcher, with the real nginx.
#include "RelayFixture.h"

#include <sys/stat.h>

namespace kwatest {
namespace {

class StartStopTest : public RelayFixture {};

TEST_F(StartStopTest, StartLaunchesThroughTheLauncherAndStopLeavesNothing) {
    Run("host.trace('RS', true)");
    ASSERT_TRUE(StartRelay());
    ASSERT_EQ(EventsWithId(9104).size(), 1u);

    const long kwvp = PidIn(KwvpPidPath());
    ASSERT_GT(kwvp, 0);
    const std::string W = WorkDir(), B = BinDir();
    // The launcher's argv, as the identity test of stale removal sees it.
    EXPECT_EQ(CommandLineOf(kwvp), B + "/kwvp.exe localhost:" + std::to_string(port() + 1) + " " +
                                       W + "/www " + B + "/nginx.exe -p " + W + "/ -c " + W +
                                       "/nginx.conf");
    EXPECT_TRUE(HasTrace("\"" + B + "/kwvp.exe\" localhost:" + std::to_string(port() + 1) + " \"" +
                         W + "/www\" \"" + B + "/nginx.exe\" -p \"" + W + "/\" -c \"" + W +
                         "/nginx.conf\""));
    const long master = PidIn(NginxPidPath());
    EXPECT_NE(CommandLineOf(master).find(B + "/nginx.exe"), std::string::npos);

    KwaCore::Host::ClearRecords();
    EXPECT_TRUE(Bool("rs:StopWebServer(false)"));
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(Events()[0].id, 9103);
    EXPECT_FALSE(FileExists(KwvpPidPath()));
    // Killed and reaped: not even a zombie stays.
    EXPECT_TRUE(WaitUntil([&] { return !DirExists("/proc/" + std::to_string(kwvp)); },
                          std::chrono::seconds(3)));
    EXPECT_TRUE(WaitUntil([&] { return NginxGone(master); }));
}

TEST_F(StartStopTest, StartingARunningServerReEnablesItUnlessForced) {
    ASSERT_TRUE(StartRelay());
    const long kwvp = PidIn(KwvpPidPath());
    const long master = PidIn(NginxPidPath());

    // Not forced: a reload, no new launcher.
    KwaCore::Host::ClearRecords();
    EXPECT_TRUE(Bool("rs:StartWebServer(false)"));
    EXPECT_EQ(PidIn(KwvpPidPath()), kwvp);
    EXPECT_EQ(PidIn(NginxPidPath()), master);
    EXPECT_TRUE(ProcessAlive(kwvp));

    // Forced: stopped and started again with a new launcher and a new nginx.
    ASSERT_TRUE(StartRelay("true"));
    const long newKwvp = PidIn(KwvpPidPath());
    EXPECT_NE(newKwvp, kwvp);
    EXPECT_TRUE(ProcessAlive(newKwvp));
    EXPECT_FALSE(ProcessAlive(kwvp));
    EXPECT_NE(PidIn(NginxPidPath()), master);
    EXPECT_FALSE(ProcessAlive(master));
    WriteFile(WebRoot() + "/ping.txt", "pong");
    EXPECT_EQ(Curl("/ping.txt").output, "pong");
}

// A program directory with blanks in its path. Without the launcher nothing starts;
// with it each argument reaches it whole, and the upload port is the port plus one,
// with no wrap at 16 bits.
TEST_F(StartStopTest, LaunchFromAProgramDirectoryWithBlanks) {
    const std::string bin = Home() + "/program dir with blanks";
    MakeDirs(bin, 0755);
    ASSERT_EQ(symlink((BinDir() + "/nginx.exe").c_str(), (bin + "/nginx.exe").c_str()), 0);
    Run("host.set('app.path.bin', [[" + bin + "]]); rs = SLB.RelayServer()");
    Run("rs:UpdateConfig{port = 65535, tlsProtocols = 'TLSv1.2 TLSv1.3'}");
    KwaCore::Host::ClearRecords();
    EXPECT_FALSE(Bool("rs:StartWebServer(false)"));
    ASSERT_EQ(EventsWithId(9106).size(), 1u);
    EXPECT_EQ(ToUtf8(EventsWithId(9106)[0].text)
                  .rfind("failed \"" + bin + "/kwvp.exe\" localhost:65536 ", 0),
              0u);
    EXPECT_TRUE(EventsWithId(9104).empty());
    EXPECT_FALSE(FileExists(KwvpPidPath()));
    EXPECT_FALSE(FileExists(NginxPidPath()));

    // A launcher that only records its arguments.
    WriteFile(bin + "/kwvp.exe",
              "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >\"$0.args\"\n");
    chmod((bin + "/kwvp.exe").c_str(), 0755);
    ASSERT_TRUE(Bool("rs:StartWebServer(false)"));
    EXPECT_GT(PidIn(KwvpPidPath()), 0);
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadFile(bin + "/kwvp.exe.args").find(".conf\n") != std::string::npos; }));
    const std::string W = WorkDir();
    EXPECT_EQ(ReadFile(bin + "/kwvp.exe.args"), "localhost:65536\n" + W + "/www\n" + bin +
                                                    "/nginx.exe\n-p\n" + W + "/\n-c\n" + W +
                                                    "/nginx.conf\n");
    // No nginx came up: the stop kills the launcher; nginx's test left an empty
    // pid file, which names no process to quit.
    KwaCore::Host::ClearRecords();
    EXPECT_FALSE(Bool("rs:StopWebServer(true)"));
    EXPECT_FALSE(FileExists(KwvpPidPath()));
    EXPECT_EQ(EventsWithId(9105).size(), 1u);
    EXPECT_TRUE(EventsWithId(9103).empty());
    RemoveTree(NginxPidPath());
}

TEST_F(StartStopTest, StopReportsWhatItCouldNotDo) {
    Run("host.trace('RS', true)");
    // No pid file: nothing to signal.
    EXPECT_FALSE(Bool("rs:StopWebServer(true)"));
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(Events()[0].id, 9105);
    EXPECT_EQ(ToUtf8(Events()[0].text), "Pid file does not exist");
    EXPECT_FALSE(HasTrace("SignalWebServer(sig=1)"));

    // A pid file of a process that is gone: nginx's "-s" cannot signal it.
    const pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    Run("rs:WriteDefaultWebServerConfig(0, true)");
    WriteFile(NginxPidPath(), std::to_string(gone) + "\n");
    KwaCore::Host::ClearRecords();
    EXPECT_FALSE(Bool("rs:StopWebServer(false)"));
    ASSERT_EQ(EventsWithId(9105).size(), 1u);
    EXPECT_NE(ToUtf8(EventsWithId(9105)[0].text).find("kill"), std::string::npos);
    EXPECT_TRUE(HasTrace("SignalWebServer(sig=1)"));
    EXPECT_FALSE(HasTrace("SignalWebServer(sig=0)")) << "a stop that is not forced only quits";

    KwaCore::Host::ClearRecords();
    EXPECT_FALSE(Bool("rs:StopWebServer(true)"));
    EXPECT_TRUE(HasTrace("SignalWebServer(sig=0)"));
    EXPECT_EQ(EventsWithId(9105).size(), 1u);
    EXPECT_TRUE(EventsWithId(9103).empty());
    RemoveTree(NginxPidPath());
}

TEST_F(StartStopTest, CleanupRemovesTheWebRoot) {
    WriteFile(WebRoot() + "/packages/a/b.bin", "x");
    EXPECT_TRUE(Bool("rs:CleanupWebServer()"));
    EXPECT_FALSE(FileExists(WebRoot()));
}

} // namespace
} // namespace kwatest
