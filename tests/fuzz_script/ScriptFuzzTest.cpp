// Script-interface fuzzing: script_fuzz.lua calls every method of SLB.RelayServer
// thousands of times with random arguments from a fixed seed. Every call must
// return what the method may answer or raise the error it may raise, and the
// process must stay alive (run it in the sanitizer build too).
//
// The run is harmless: the relay lives in the fixture's KWA_HOME, the process
// works in a scratch directory, and "app.path.bin" names a fake program directory
// whose nginx.exe and kwvp.exe are stubs that exit at once, so nothing real is
// started, signalled or killed.
//
// KWA_FUZZ_SEED, KWA_FUZZ_CALLS and KWA_FUZZ_SECONDS change the run.
#include "LuaFixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using namespace kwatest;

namespace {

long EnvNumber(const char* name, long fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::atol(value) : fallback;
}

// Prints the failure text the fuzz driver expects, when the file "fail" exists
// beside it; otherwise succeeds without a word.
const char* const NginxStub = "#!/bin/sh\n"
                              "if [ -e \"${0%/*}/fail\" ]; then\n"
                              "  printf '%s\\n' 'nginx: [emerg] 100% refused %s %d'\n"
                              "  exit 1\n"
                              "fi\n"
                              "exit 0\n";

// Goes back to the directory the test started in.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& path)
        : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(path);
    }
    ~WorkingDirectory() { std::filesystem::current_path(previous_); }

private:
    std::filesystem::path previous_;
};

// A full userdata with the relay's metatable but not its layout.
void PushForged(lua_State* L, size_t size, uint32_t kind) {
    void* block = lua_newuserdata(L, size);
    std::memset(block, 0xA5, size);
    if (size >= sizeof(uint32_t))
        std::memcpy(block, &kind, sizeof kind);
    luaL_getmetatable(L, "SLB.RelayServer");
    lua_setmetatable(L, -2);
}

int light = 0;

} // namespace

class ScriptFuzz : public LuaFixture {
protected:
    void SetUp() override {
        LuaFixture::SetUp();
        sandbox_ = std::make_unique<TempDir>("kwa-fuzz");
        bin_ = *sandbox_ / "agent/bin";
        MakeDirs(bin_, 0755);
        MakeDirs(*sandbox_ / "cwd", 0755);
        WriteFile(bin_ + "/nginx.exe", NginxStub);
        chmod((bin_ + "/nginx.exe").c_str(), 0755);
        ASSERT_EQ(symlink("/bin/true", (bin_ + "/kwvp.exe").c_str()), 0);

        // A valid bundle beside the fake agent, and one that tries to leave its
        // target directory (swapped in and out by the driver).
        WriteFile(*sandbox_ / "src/packages/a.txt", "a\n");
        WriteFile(*sandbox_ / "src/cache/b.bin", std::string(70000, 'b'));
        CommandResult made = RunCommand("cd " + ShellQuote(*sandbox_ / "src") +
                                        " && zip -q -r ../agent/bin/kwupdate_fuzz.zip .");
        ASSERT_EQ(made.exitCode, 0) << made.output;
        made = RunCommand("python3 -c \"import zipfile; z = zipfile.ZipFile('" +
                          *sandbox_ / "hostile.zip" +
                          "', 'w'); z.writestr('ok.txt', 'x');"
                          " z.writestr('../escape.txt', 'x'); z.close()\"");
        ASSERT_EQ(made.exitCode, 0) << made.output;
    }

    void TearDown() override {
        KwaCore::ReapChildren();
        LuaFixture::TearDown();
        sandbox_.reset();
    }

    std::unique_ptr<TempDir> sandbox_;
    std::string bin_;
};

TEST_F(ScriptFuzz, EveryMethodAnswersWithinItsContract) {
    const long seed = EnvNumber("KWA_FUZZ_SEED", 20240607);
    const long calls = EnvNumber("KWA_FUZZ_CALLS", 4000);
    const long seconds = EnvNumber("KWA_FUZZ_SECONDS", 40);

    lua_createtable(L, 0, 6);
    lua_pushinteger(L, seed);
    lua_setfield(L, -2, "seed");
    lua_pushinteger(L, calls);
    lua_setfield(L, -2, "calls");
    lua_pushinteger(L, seconds);
    lua_setfield(L, -2, "seconds");
    lua_pushstring(L, bin_.c_str());
    lua_setfield(L, -2, "bin");
    lua_pushstring(L, sandbox_->path().c_str());
    lua_setfield(L, -2, "sandbox");
    lua_pushinteger(L, getpid());
    lua_setfield(L, -2, "ownPid");
    lua_setglobal(L, "FUZZ");

    Run("host = require 'kwacore'; require 'relay'");
    lua_pushlightuserdata(L, &light);
    lua_setglobal(L, "LIGHT");
    PushForged(L, 24, 1);
    lua_setglobal(L, "FORGED_SMALL");
    PushForged(L, 0, 0);
    lua_setglobal(L, "FORGED_EMPTY");
    PushForged(L, 64, 0);
    lua_setglobal(L, "FORGED_NONE");

    const std::string driver = SourceDir() + "/tests/fuzz_script/script_fuzz.lua";
    {
        WorkingDirectory inSandbox(*sandbox_ / "cwd");
        ASSERT_EQ(luaL_loadfile(L, driver.c_str()), 0) << lua_tostring(L, -1);
        ASSERT_EQ(lua_pcall(L, 0, 1, 0), 0) << "seed " << seed << ": " << lua_tostring(L, -1);
    }
    ASSERT_TRUE(lua_istable(L, -1));

    lua_getfield(L, -1, "calls");
    const long made = static_cast<long>(lua_tointeger(L, -1));
    lua_pop(L, 1);
    lua_getfield(L, -1, "violations");
    std::vector<std::string> violations;
    for (int i = 1;; ++i) {
        lua_rawgeti(L, -1, i);
        if (lua_isnil(L, -1)) {
            lua_pop(L, 1);
            break;
        }
        violations.emplace_back(lua_tostring(L, -1));
        lua_pop(L, 1);
    }
    lua_pop(L, 1);
    lua_getfield(L, -1, "perMethod");
    int methodsCalled = 0;
    lua_pushnil(L);
    while (lua_next(L, -2) != 0) {
        ++methodsCalled;
        EXPECT_GE(lua_tointeger(L, -1), 20) << lua_tostring(L, -2) << " called too rarely";
        lua_pop(L, 1);
    }
    lua_pop(L, 2);

    std::string report;
    for (size_t i = 0; i < violations.size() && i < 30; ++i)
        report += violations[i] + "\n";
    EXPECT_TRUE(violations.empty()) << violations.size() << " violations (seed " << seed << "):\n"
                                    << report;
    EXPECT_EQ(methodsCalled, 22);
    EXPECT_GE(made, std::min(calls, 1000L)) << "too few calls within " << seconds << " s";
    std::printf("%ld calls, seed %ld\n", made, seed);

    // Nothing was written outside the target directory of an unpacking, and
    // nothing of the relay's left the data root or the scratch directory.
    const CommandResult escaped = RunCommand("find " + ShellQuote(Home()) + " " +
                                             ShellQuote(sandbox_->path()) + " -name escape.txt");
    EXPECT_EQ(escaped.output, "");
}
