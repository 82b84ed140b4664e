// script_fuzz.lua against stub programs in a sandbox; KWA_FUZZ_SEED, _CALLS and
// _SECONDS change the run.
#include "LuaFixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

using namespace kwatest;

namespace {

long EnvNumber(const char* name, long fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::atol(value) : fallback;
}

// Fails with the text the fuzz driver expects while the file "fail" is beside it.
const char* const NginxStub = "#!/bin/sh\n[ -e \"${0%/*}/fail\" ] || exit 0\n"
                              "printf '%s\\n' 'nginx: [emerg] 100% refused %s %d'\nexit 1\n";

// A full userdata with the relay's metatable but not its layout, as global name.
void SetForged(lua_State* L, const char* name, size_t size, uint32_t kind) {
    void* block = lua_newuserdata(L, size);
    std::memset(block, 0xA5, size);
    if (size >= sizeof(uint32_t))
        std::memcpy(block, &kind, sizeof kind);
    luaL_getmetatable(L, "SLB.RelayServer");
    lua_setmetatable(L, -2);
    lua_setglobal(L, name);
}

int light = 0;

} // namespace

class ScriptFuzz : public LuaFixture {
protected:
    void TearDown() override {
        KwaCore::ReapChildren();
        LuaFixture::TearDown();
    }
    TempDir sandbox{"kwa-fuzz"}; // outlives the Lua state
};

TEST_F(ScriptFuzz, EveryMethodAnswersWithinItsContract) {
    const long seed = EnvNumber("KWA_FUZZ_SEED", 20240607),
               calls = EnvNumber("KWA_FUZZ_CALLS", 4000),
               seconds = EnvNumber("KWA_FUZZ_SECONDS", 40);
    SCOPED_TRACE("seed " + std::to_string(seed));

    // A valid bundle, and one that tries to leave its target (swapped in and out).
    const std::string bin = sandbox / "agent/bin", seeds = SourceDir() + "/tests/fuzz/corpus/";
    MakeDirs(sandbox / "cwd", 0755);
    WriteFile(bin + "/nginx.exe", NginxStub);
    chmod((bin + "/nginx.exe").c_str(), 0755);
    ASSERT_EQ(symlink("/bin/true", (bin + "/kwvp.exe").c_str()), 0);
    WriteFile(bin + "/kwupdate_fuzz.zip", ReadFile(seeds + "valid-deflated.zip"));
    WriteFile(sandbox / "hostile.zip", ReadFile(seeds + "hostile-dotdot.zip"));

    Run("FUZZ = {seed = " + std::to_string(seed) + ", calls = " + std::to_string(calls) +
        ", seconds = " + std::to_string(seconds) + ", bin = [[" + bin + "]], sandbox = [[" +
        sandbox.path() + "]], ownPid = " + std::to_string(getpid()) +
        "} host = require 'kwacore'; require 'relay'");
    lua_pushlightuserdata(L, &light);
    lua_setglobal(L, "LIGHT");
    SetForged(L, "FORGED_SMALL", 24, 1);
    SetForged(L, "FORGED_EMPTY", 0, 0);
    SetForged(L, "FORGED_NONE", 64, 0);

    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(sandbox / "cwd");
    const std::string error =
        Try("RESULT = dofile[[" + SourceDir() + "/tests/fuzz_script/script_fuzz.lua]]");
    std::filesystem::current_path(previous);
    ASSERT_EQ(error, "");

    EXPECT_EQ(Integer("#RESULT.violations"), 0)
        << String("table.concat(RESULT.violations, '\\n', 1, math.min(30, #RESULT.violations))");
    EXPECT_EQ(Integer("RESULT.methods"), 22);
    EXPECT_EQ(String("table.concat(RESULT.rare, ' ')"), "") << "called fewer than 20 times";
    EXPECT_GE(Integer("RESULT.calls"), std::min(calls, 1000L))
        << "too few calls in " << seconds << " s";
    // Nothing was written outside the target directory of an unpacking.
    EXPECT_EQ(RunCommand("find " + ShellQuote(Home()) + " " + ShellQuote(sandbox.path()) +
                         " -name escape.txt")
                  .output,
              "");
}
