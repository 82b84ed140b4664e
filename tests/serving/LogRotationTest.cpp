// Rotation of the web server's logs and the protection from a runaway error log.
// Sizes are made with sparse files: quick, and no disk is used.
#include "LuaFixture.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>

namespace kwatest {
namespace {

// The module counts RotateWebLogs calls for the whole process; every call of this
// test program goes through Rotate(), which keeps the same count.
unsigned rotateCalls = 0;

class LogRotationTest : public LuaFixture {
protected:
    void SetUp() override {
        LuaFixture::SetUp();
        NewRelay();
        Run("host.trace('RS', true)");
    }
    std::string Log(const std::string& name) const { return WorkDir() + "/logs/" + name; }
    void Sized(const std::string& path, long long size) {
        WriteFile(path, "");
        ASSERT_EQ(truncate(path.c_str(), size), 0);
    }
    // One call of RotateWebLogs; it always answers true.
    void Rotate() {
        ++rotateCalls;
        EXPECT_TRUE(Bool("rs:RotateWebLogs()"));
    }
    // Calls until a call that does the work (2 out of every 8) has been made.
    void RotateOnce() {
        do
            Rotate();
        while ((rotateCalls & 5) != 0);
    }
};

TEST_F(LogRotationTest, TwoCallsOutOfEightDoTheWork) {
    std::vector<unsigned> working;
    for (unsigned i = 0; i < 16; ++i) {
        Sized(Log("access.log"), 5242881);
        Rotate();
        if (FileExists(Log("access-01.log"))) {
            working.push_back(rotateCalls);
            RemoveTree(Log("access-01.log"));
        }
    }
    // Counted from the start of the process, whichever test ran before.
    std::vector<unsigned> expected;
    for (unsigned n = rotateCalls - 15; n <= rotateCalls; ++n)
        if ((n & 5) == 0)
            expected.push_back(n);
    EXPECT_EQ(working, expected);
    EXPECT_EQ(working.size(), 4u);
}

TEST_F(LogRotationTest, LimitsAreExclusive) {
    struct Case {
        const char* log;
        long long size;
        const char* generation; // "" when the log must stay where it is
    };
    const Case cases[] = {
        {"access.log", 5242880, ""},
        {"access.log", 5242881, "access-01.log"},
        {"error.log", 5242880, ""},
        {"error.log", 20971520, "error-01.log"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.log) + " " + std::to_string(c.size));
        Sized(Log(c.log), c.size);
        KwaCore::Host::ClearRecords();
        RotateOnce();
        if (*c.generation == '\0') {
            EXPECT_EQ(FileSize(Log(c.log)), c.size);
        } else {
            EXPECT_FALSE(FileExists(Log(c.log)));
            EXPECT_EQ(FileSize(Log(c.generation)), c.size);
            // No nginx runs: the reopen request fails, traced under its own name.
            bool traced = false;
            for (const auto& t : Traces())
                traced =
                    traced || (ToUtf8(t.function) == "Relay::CRelayServer::DoNothing" &&
                               ToUtf8(t.message).rfind("Webserver log rotation failed ", 0) == 0);
            EXPECT_TRUE(traced);
        }
        EXPECT_TRUE(EventsWithId(9107).empty());
        RemoveTree(WorkDir() + "/logs");
        MakeDirs(WorkDir() + "/logs", 0711);
    }
}

// A log that cannot be deleted: the retry loop ends at once when the thread has no
// runnable to wait on, or when its runnable says the agent is shutting down.
TEST_F(LogRotationTest, ProtectionLoopCannotStall) {
    Sized(Log("error.log"), 20971521);
    const std::string logs = WorkDir() + "/logs";
    if (RunCommand("chattr +a " + ShellQuote(logs)).exitCode != 0)
        GTEST_SKIP() << "chattr +a is not supported here";
    struct Unlock {
        std::string dir;
        ~Unlock() { RunCommand("chattr -a " + ShellQuote(dir)); }
    } unlock{logs};

    for (bool withRunnable : {false, true}) {
        SCOPED_TRACE(withRunnable ? "runnable shutting down" : "no runnable");
        KwaCore::CRunnable runnable;
        if (withRunnable) {
            KwaCore::CRunnable::SetThis(&runnable);
            KwaCore::RequestShutdown(true);
        }
        KwaCore::Host::ClearRecords();
        const auto begin = std::chrono::steady_clock::now();
        RotateOnce();
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
        KwaCore::CRunnable::SetThis(nullptr);
        KwaCore::RequestShutdown(false);
        EXPECT_TRUE(FileExists(Log("error.log")));
        EXPECT_EQ(EventsWithId(9107).size(), 1u);
    }
}

// Every file of the directory after the rotation, so that a stray generation shows.
TEST_F(LogRotationTest, RotateLogFileShiftsGenerations) {
    struct Case {
        const char* log;
        int count;
        std::map<std::string, std::string> before, after; // file name -> content
    };
    // clang-format off
    const Case cases[] = {
        {"e.log", 5, {{"e.log", "0"}, {"e-01.log", "1"}, {"e-03.log", "3"}, {"e-05.log", "5"}},
                     {{"e-01.log", "0"}, {"e-02.log", "1"}, {"e-04.log", "3"}}}, // a gap
        {"e.log", 1, {{"e.log", "0"}, {"e-01.log", "1"}, {"e-02.log", "2"}},
                     {{"e-01.log", "0"}, {"e-02.log", "2"}}},
        {"e.log", 0, {{"e.log", "0"}}, {{"e.log", "0"}}},
        {"e.log", -1, {{"e.log", "0"}}, {{"e.log", "0"}}},
        {"e", 2, {{"e", "0"}, {"e-01", "1"}}, {{"e-01", "0"}, {"e-02", "1"}}},
        {"e.log", 3, {{"e-01.log", "1"}}, {{"e-02.log", "1"}}}, // the log itself is missing
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.log) + " " + std::to_string(c.count));
        TempDir dir;
        for (const auto& [name, content] : c.before)
            WriteFile(dir / name, content);
        Run("rs:RotateLogFile([[" + (dir / c.log) + "]], " + std::to_string(c.count) + ")");
        std::map<std::string, std::string> after;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            after[entry.path().filename()] = ReadFile(entry.path());
        EXPECT_EQ(after, c.after);
    }
}

} // namespace
} // namespace kwatest
