// The relay's processes with the real nginx and launcher: start, restart, stop and
// log rotation.
#include "RelayFixture.h"

#include <sys/stat.h>

#include <filesystem>
#include <map>

namespace kwatest {
namespace {

using Files = std::map<std::string, std::string>; // name -> content

Files FilesIn(const std::string& dir) {
    Files files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        files[entry.path().filename()] = ReadFile(entry.path());
    return files;
}

using ServingTest = RelayFixture;

TEST_F(ServingTest, StartRestartAndStopThroughTheLauncher) {
    ASSERT_TRUE(StartRelay());
    EXPECT_EQ(EventTexts(9104).size(), 1u);
    const long kwvp = PidIn(KwvpPidPath()), master = PidIn(NginxPidPath());
    // Not forced: a reload of the running server. Forced: a new launcher and nginx.
    EXPECT_TRUE(Bool("rs:StartWebServer(false)"));
    EXPECT_EQ(PidIn(KwvpPidPath()), kwvp);
    EXPECT_EQ(PidIn(NginxPidPath()), master);
    ASSERT_TRUE(StartRelay("true"));
    const long newKwvp = PidIn(KwvpPidPath()), newMaster = PidIn(NginxPidPath());
    EXPECT_NE(newKwvp, kwvp);
    EXPECT_NE(newMaster, master);
    EXPECT_FALSE(ProcessAlive(kwvp) || ProcessAlive(master));
    WriteFile(WebRoot() + "/ping.txt", "pong");
    EXPECT_EQ(Curl("/ping.txt").output, "pong");

    KwaCore::Host::ClearRecords();
    EXPECT_TRUE(Bool("rs:StopWebServer(false)"));
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(Events()[0].id, 9103);
    EXPECT_FALSE(FileExists(KwvpPidPath()));
    // Killed and reaped: not even a zombie stays.
    EXPECT_TRUE(WaitUntil([&] { return !DirExists("/proc/" + std::to_string(newKwvp)); }));
    EXPECT_TRUE(WaitUntil([&] { return NginxGone(newMaster); }));

    // A forced start waits for the old web server only (5 s at most), not for another
    // program its pid file names, and leaves that program alone.
    ForeignProcess other("sleep");
    WriteFile(NginxPidPath(), std::to_string(other.pid()) + "\n");
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(Bool("rs:StartWebServer(true)"));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
    EXPECT_TRUE(other.alive());
}

// Arguments with blanks arrive whole, the upload port does not wrap; stops that fail.
TEST_F(ServingTest, LaunchFromAProgramDirectoryWithBlanksAndStopsThatFail) {
    const std::string bin = Home() + "/program dir", W = WorkDir();
    MakeDirs(bin, 0755);
    ASSERT_EQ(symlink((BinDir() + "/nginx.exe").c_str(), (bin + "/nginx.exe").c_str()), 0);
    Run("host.set('app.path.bin', [[" + bin + "]]); rs = SLB.RelayServer()");
    Run("rs:UpdateConfig{port = 65535, tlsProtocols = 'TLSv1.2 TLSv1.3'}");
    KwaCore::Host::ClearRecords();
    EXPECT_FALSE(Bool("rs:StartWebServer(false)"));
    ASSERT_EQ(EventTexts(9106).size(), 1u);
    EXPECT_EQ(EventTexts(9106)[0].rfind("failed \"" + bin + "/kwvp.exe\" localhost:65536 ", 0), 0u);
    EXPECT_FALSE(FileExists(KwvpPidPath()) || FileExists(NginxPidPath()));

    WriteFile(bin + "/kwvp.exe", "#!/bin/sh\nprintf '%s\\n' \"$@\" >\"$0.args\"\n");
    chmod((bin + "/kwvp.exe").c_str(), 0755);
    ASSERT_TRUE(Bool("rs:StartWebServer(false)"));
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadFile(bin + "/kwvp.exe.args").find(".conf\n") != std::string::npos; }));
    EXPECT_EQ(ReadFile(bin + "/kwvp.exe.args"), "localhost:65536\n" + W + "/www\n" + bin +
                                                    "/nginx.exe\n-p\n" + W + "/\n-c\n" + W +
                                                    "/nginx.conf\n");
    // No nginx came up: the stop kills the launcher and finds no nginx to quit.
    KwaCore::Host::ClearRecords();
    EXPECT_FALSE(Bool("rs:StopWebServer(true)"));
    EXPECT_FALSE(FileExists(KwvpPidPath()));
    EXPECT_EQ(EventTexts(9105).size(), 1u);
    EXPECT_TRUE(EventTexts(9103).empty());

    RemoveTree(NginxPidPath());
    Run("host.trace('RS', true)");
    KwaCore::Host::ClearRecords();
    EXPECT_FALSE(Bool("rs:StopWebServer(true)"));
    EXPECT_EQ(EventTexts(9105), std::vector<std::string>{"Pid file does not exist"});

    const pid_t gone = fork(); // a pid file of a process that is gone
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    WriteFile(NginxPidPath(), std::to_string(gone) + "\n");
    for (const bool force : {false, true}) {
        KwaCore::Host::ClearRecords();
        EXPECT_FALSE(Bool(force ? "rs:StopWebServer(true)" : "rs:StopWebServer(false)"));
        EXPECT_EQ(EventTexts(9105).size(), 1u);
        EXPECT_TRUE(EventTexts(9103).empty());
        EXPECT_TRUE(HasTrace("SignalWebServer(sig=1)"));
        EXPECT_EQ(HasTrace("SignalWebServer(sig=0)"), force) << "only a forced stop uses -s stop";
    }
    RemoveTree(NginxPidPath());
    WriteFile(WebRoot() + "/packages/a/b.bin", "x");
    EXPECT_TRUE(Bool("rs:CleanupWebServer()"));
    EXPECT_FALSE(FileExists(WebRoot()));
}

TEST_F(ServingTest, TwoCallsOutOfEightRotateAndTheLimitsAreExclusive) {
    const std::string logs = WorkDir() + "/logs/";
    std::vector<unsigned> working, expected;
    for (unsigned i = 0; i < 16; ++i) {
        WriteSparseFile(logs + "access.log", 5242881);
        const unsigned call = Rotate();
        if (FileExists(logs + "access-01.log"))
            working.push_back(call);
        if ((call & 5) == 0)
            expected.push_back(call);
        RemoveTree(logs + "access-01.log");
    }
    EXPECT_EQ(working, expected);
    const struct {
        const char* log;
        long long size;
        const char* generation; // "" when the log must stay where it is
    } cases[] = {
        {"access.log", 5242880, ""},
        {"access.log", 5242881, "access-01.log"},
        {"error.log", 5242880, ""},
        {"error.log", 20971520, "error-01.log"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.log) + " " + std::to_string(c.size));
        WriteSparseFile(logs + c.log, c.size);
        RotateOnce();
        EXPECT_EQ(FileSize(logs + (*c.generation ? c.generation : c.log)), c.size);
        EXPECT_TRUE(EventTexts(9107).empty());
        RemoveTree(logs);
        MakeDirs(logs, 0711);
    }
}

// Every file after the rotation, so that a stray generation shows; a huge count once
// probed billions of names.
TEST_F(ServingTest, RotateLogFileShiftsTheGenerations) {
    const struct {
        const char* log;
        const char* count;
        Files before, after;
    } cases[] = {
        // clang-format off
        {"e.log", "5", {{"e.log", "0"}, {"e-01.log", "1"}, {"e-03.log", "3"}, {"e-05.log", "5"}},
                       {{"e-01.log", "0"}, {"e-02.log", "1"}, {"e-04.log", "3"}}}, // a gap
        {"e.log", "1", {{"e.log", "0"}, {"e-01.log", "1"}, {"e-02.log", "2"}}, {{"e-01.log", "0"}, {"e-02.log", "2"}}},
        {"e.log", "0", {{"e.log", "0"}}, {{"e.log", "0"}}},
        {"e.log", "-1", {{"e.log", "0"}}, {{"e.log", "0"}}},
        {"e", "2", {{"e", "0"}, {"e-01", "1"}}, {{"e-01", "0"}, {"e-02", "1"}}},
        {"e.log", "3", {{"e-01.log", "1"}}, {{"e-02.log", "1"}}}, // the log itself is missing
        {"e.log", "2147483647", {{"e.log", "0"}, {"e-01.log", "1"}, {"e-150.log", "150"}, {"e-2147483646.log", "m"},
                                 {"e-2147483647.log", "max"}, {"e-5.log", "like"}, {"e-007.log", "like"}},
                                {{"e-01.log", "0"}, {"e-02.log", "1"}, {"e-151.log", "150"}, {"e-2147483647.log", "m"},
                                 {"e-5.log", "like"}, {"e-007.log", "like"}}},
        // Either side of the point where probing gives way to listing.
        {"e.log", "100", {{"e.log", "0"}, {"e-99.log", "99"}, {"e-100.log", "100"}}, {{"e-01.log", "0"}, {"e-100.log", "99"}}},
        {"e.log", "101", {{"e.log", "0"}, {"e-99.log", "99"}, {"e-100.log", "100"}},
                         {{"e-01.log", "0"}, {"e-100.log", "99"}, {"e-101.log", "100"}}},
        {"e.log", "1e9", {{"e-01.log", "1"}}, {{"e-02.log", "1"}}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.log) + " " + c.count);
        TempDir dir;
        for (const auto& [name, content] : c.before)
            WriteFile(dir / name, content);
        const auto start = std::chrono::steady_clock::now();
        Run("rs:RotateLogFile([[" + (dir / c.log) + "]], " + c.count + ")");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_EQ(FilesIn(dir.path()), c.after);
    }
}

} // namespace
} // namespace kwatest
