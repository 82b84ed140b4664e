// Crash-safe configuration: a child process writes the configuration again and
// again, alternating two texts, and is killed with SIGKILL at random moments.
// After every kill nginx.conf is one of the two complete texts, never a torn one,
// and the next writer's first write succeeds (a stale nginx.tmp is fine).
//
// The child is this test program itself, started again with KWA_STRESS_WRITER
// set: it writes through the relay module as the agent's scripts do, and reports
// each finished write with one byte on its standard output.
//
// KWA_STRESS_SECONDS bounds the run (default 12 s).
#include "LuaFixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>

extern char** environ;

namespace kwatest {
namespace {

// The child's part, run before main when KWA_STRESS_WRITER is set: write text A
// (port 4122, open site) and text B (port 8443, loopback only) in turns until
// killed. Exits 3 when a write fails.
[[maybe_unused]] const bool writerStarted = [] {
    if (std::getenv("KWA_STRESS_WRITER") == nullptr)
        return false;
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    const std::string code = "package.cpath = '" + BinDir() + "/?.so;' .. package.cpath\n" + R"(
        require 'kwacore'; require 'relay'
        local rs = SLB.RelayServer()
        io.stdout:setvbuf('no')
        for i = 1, math.huge do
            local b = i % 2 == 1
            rs:UpdateConfig{port = b and 8443 or 4122}
            if not rs:WriteDefaultWebServerConfig(b and 2 or 0, true) then os.exit(3) end
            io.stdout:write('.')
        end)";
    if (luaL_dostring(L, code.c_str()) != 0)
        std::fprintf(stderr, "writer: %s\n", lua_tostring(L, -1));
    _exit(4);
}();

struct Writer {
    pid_t pid = -1;
    int output = -1; // read end of the child's standard output
};

Writer StartWriter() {
    Writer writer;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return writer;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    setenv("KWA_STRESS_WRITER", "1", 1);
    char self[] = "/proc/self/exe";
    char* argv[] = {self, nullptr};
    if (posix_spawn(&writer.pid, self, &actions, nullptr, argv, environ) != 0)
        writer.pid = -1;
    unsetenv("KWA_STRESS_WRITER");
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    writer.output = pipeFds[0];
    return writer;
}

// Bytes the writer has reported (finished writes) within ms.
long ReadWrites(int fd, int ms) {
    pollfd readable{fd, POLLIN, 0};
    char buffer[4096];
    return poll(&readable, 1, ms) > 0 ? std::max(read(fd, buffer, sizeof buffer), ssize_t(0)) : 0;
}

class CrashSafeConfig : public LuaFixture {};

TEST_F(CrashSafeConfig, AKilledWriterNeverLeavesATornFile) {
    setenv("KWA_IP_VERSIONS", "4", 1); // the same text in parent and child
    NewRelay();
    const std::string config = WorkDir() + "/nginx.conf";
    // The two texts, as the relay writes them.
    Run("rs:UpdateConfig{port = 8443} assert(rs:WriteDefaultWebServerConfig(2, true))");
    const std::string textB = ReadFile(config);
    Run("rs:UpdateConfig{port = 4122} assert(rs:WriteDefaultWebServerConfig(0, true))");
    const std::string textA = ReadFile(config);
    ASSERT_NE(textA, textB);

    const char* bound = std::getenv("KWA_STRESS_SECONDS");
    const auto seconds = std::chrono::seconds(bound ? std::atoi(bound) : 12);
    std::mt19937 random(20240607);
#if defined(__SANITIZE_ADDRESS__)
    const long wanted = 200; // a sanitized writer starts and writes far slower
#else
    const long wanted = 1000;
#endif
    // The bound, stretched (up to four times) on a busy machine until the writers
    // have written thousands of times.
    const auto now = std::chrono::steady_clock::now();
    const auto end = now + seconds, latest = now + 4 * seconds;
    long writes = 0, kills = 0, torn = 0, sawA = 0, sawB = 0;
    while (std::chrono::steady_clock::now() < end ||
           (writes < wanted && std::chrono::steady_clock::now() < latest)) {
        Writer writer = StartWriter();
        ASSERT_GT(writer.pid, 0);
        // Wait for the first write (the writer must be able to write after a
        // kill), then let it write on for a random while.
        long done = 0;
        const auto started = std::chrono::steady_clock::now();
        while (done == 0 && std::chrono::steady_clock::now() - started < std::chrono::seconds(30))
            done += ReadWrites(writer.output, 100);
        // Mostly within the next few writes, sometimes after many.
        const int longest = std::uniform_int_distribution<int>(0, 3)(random) == 0 ? 300000 : 30000;
        const auto delay =
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, longest)(random));
        const auto killAt = std::chrono::steady_clock::now() + delay;
        while (std::chrono::steady_clock::now() < killAt)
            done += ReadWrites(writer.output, 1);
        kill(writer.pid, SIGKILL);
        int status = 0;
        waitpid(writer.pid, &status, 0);
        done += ReadWrites(writer.output, 0);
        close(writer.output);
        ++kills;
        writes += done;

        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the writer ended by itself (status " << status << ") after " << done
            << " writes: a write failed";
        ASSERT_GT(done, 0) << "the writer's first write after a kill did not succeed";
        const std::string text = ReadFile(config);
        if (text == textA)
            ++sawA;
        else if (text == textB)
            ++sawB;
        else
            ++torn;
    }
    std::printf("%ld writes, %ld kills, %ld times text A, %ld times text B\n", writes, kills, sawA,
                sawB);
    EXPECT_EQ(torn, 0);
    EXPECT_GE(writes, wanted / 2);
    EXPECT_GE(kills, 20);
    EXPECT_GT(sawA, 0);
    EXPECT_GT(sawB, 0);
    // And this process writes on where the killed ones stopped.
    EXPECT_TRUE(Bool("rs:WriteDefaultWebServerConfig(0, true)"));
    EXPECT_EQ(ReadFile(config), textA);
}

} // namespace
} // namespace kwatest
