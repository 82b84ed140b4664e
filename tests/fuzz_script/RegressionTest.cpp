// Faults that the script-interface fuzzing found, one case each.
#include "LuaFixture.h"

#include <chrono>
#include <filesystem>
#include <map>

using namespace kwatest;

class FuzzRegression : public LuaFixture {
protected:
    void SetUp() override {
        LuaFixture::SetUp();
        NewRelay();
    }
};

// RotateLogFile probed every generation from count down to 1: a script's count
// of 2^31 - 1 held the thread for hours. Only existing generations move, exactly
// as the probing would move them, and names that merely look alike stay.
TEST_F(FuzzRegression, RotateLogFileWithAHugeCountEndsAtOnce) {
    struct Case {
        const char* count;
        std::map<std::string, std::string> before, after;
    };
    // clang-format off
    const Case cases[] = {
        {"2147483647",
         {{"e.log", "0"}, {"e-01.log", "1"}, {"e-03.log", "3"}, {"e-150.log", "150"},
          {"e-2147483646.log", "max-1"}, {"e-2147483647.log", "max"},
          {"e-5.log", "look-alike"}, {"e-007.log", "look-alike"}, {"e-01.log.bak", "other"}},
         {{"e-01.log", "0"}, {"e-02.log", "1"}, {"e-04.log", "3"}, {"e-151.log", "150"},
          {"e-2147483647.log", "max-1"},
          {"e-5.log", "look-alike"}, {"e-007.log", "look-alike"}, {"e-01.log.bak", "other"}}},
        // Either side of the point where probing gives way to listing.
        {"100", {{"e.log", "0"}, {"e-99.log", "99"}, {"e-100.log", "100"}},
                {{"e-01.log", "0"}, {"e-100.log", "99"}}},
        {"101", {{"e.log", "0"}, {"e-99.log", "99"}, {"e-100.log", "100"}},
                {{"e-01.log", "0"}, {"e-100.log", "99"}, {"e-101.log", "100"}}},
        {"1e9", {{"e-01.log", "1"}}, {{"e-02.log", "1"}}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        TempDir dir;
        for (const auto& [name, content] : c.before)
            WriteFile(dir / name, content);
        const auto start = std::chrono::steady_clock::now();
        Run("rs:RotateLogFile([[" + dir / "e.log" + "]], " + c.count + ")");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        std::map<std::string, std::string> after;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            after[entry.path().filename()] = ReadFile(entry.path());
        EXPECT_EQ(after, c.after);
    }
}

// Validation removes the empty pid file that "nginx -t" leaves where there was
// none; its test of what was there before asked wx for no kind of file at all,
// so an empty pid file that existed before was removed as well.
TEST_F(FuzzRegression, ValidationKeepsAPidFileThatWasThere) {
    WriteFile(WorkDir() + "/nginx.pid", "");
    Run("rs:EnableWebServer()");
    EXPECT_TRUE(FileExists(WorkDir() + "/nginx.pid"));
}
