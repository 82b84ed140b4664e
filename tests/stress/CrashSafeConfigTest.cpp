// Crash-safe configuration: a child writes the configuration again and again,
// two texts in turns, and is killed with SIGKILL at random moments. After every
// kill nginx.conf is one of the two whole texts, and the next writer's first
// write succeeds. The child is this program again with KWA_STRESS_WRITER set; it
// writes through the relay module and reports each write with one byte on its
// standard output. KWA_STRESS_SECONDS bounds the run (default 12 s).
#include "LuaFixture.h"
#include "UniqueFd.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <random>

namespace kwatest {
namespace {

// The child's part, run before main: text A (port 4122, open site) and text B
// (port 8443, loopback only) in turns until killed; exit 3 when a write fails.
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
            rs:UpdateConfig{port = i % 2 == 1 and 8443 or 4122}
            if not rs:WriteDefaultWebServerConfig(i % 2 == 1 and 2 or 0, true) then os.exit(3) end
            io.stdout:write('.')
        end)";
    if (luaL_dostring(L, code.c_str()) != 0)
        std::fprintf(stderr, "writer: %s\n", lua_tostring(L, -1));
    _exit(4);
}();

// Bytes (finished writes) the writer reported on fd within ms.
long ReadWrites(int fd, int ms) {
    pollfd readable{fd, POLLIN, 0};
    char buffer[4096];
    return poll(&readable, 1, ms) > 0 ? std::max(read(fd, buffer, sizeof buffer), ssize_t(0)) : 0;
}

using CrashSafeConfig = LuaFixture;

TEST_F(CrashSafeConfig, AKilledWriterNeverLeavesATornFile) {
    setenv("KWA_IP_VERSIONS", "4", 1); // the same text in parent and child
    NewRelay();
    const std::string config = WorkDir() + "/nginx.conf";
    Run("rs:UpdateConfig{port = 8443} assert(rs:WriteDefaultWebServerConfig(2, true))");
    const std::string textB = ReadFile(config);
    Run("rs:UpdateConfig{port = 4122} assert(rs:WriteDefaultWebServerConfig(0, true))");
    const std::string textA = ReadFile(config);

    const char* bound = std::getenv("KWA_STRESS_SECONDS");
    const auto seconds = std::chrono::seconds(bound ? std::atoi(bound) : 12);
    std::mt19937 random(20240607);
#if defined(__SANITIZE_ADDRESS__)
    const long wanted = 200; // a sanitized writer starts and writes far slower
#else
    const long wanted = 1000;
#endif
    // The bound is stretched (up to four times) on a busy machine until enough writes were made.
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + seconds, latest = Clock::now() + 4 * seconds;
    long writes = 0, kills = 0, torn = 0, sawA = 0, sawB = 0;
    while (Clock::now() < end || (writes < wanted && Clock::now() < latest)) {
        int pipeFds[2];
        ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
        Kwa::UniqueFd output(pipeFds[0]), input(pipeFds[1]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input.Get(), STDOUT_FILENO);
        setenv("KWA_STRESS_WRITER", "1", 1);
        char self[] = "/proc/self/exe";
        char* argv[] = {self, nullptr};
        pid_t writer = -1;
        ASSERT_EQ(posix_spawn(&writer, self, &actions, nullptr, argv, environ), 0);
        unsetenv("KWA_STRESS_WRITER");
        posix_spawn_file_actions_destroy(&actions);
        input.Reset();
        // The first write (the writer must be able to write after a kill), then a
        // random while: mostly within the next few writes, sometimes after many.
        long done = 0;
        for (const auto started = Clock::now();
             done == 0 && Clock::now() - started < std::chrono::seconds(30);)
            done += ReadWrites(output.Get(), 100);
        const int longest = std::uniform_int_distribution<int>(0, 3)(random) == 0 ? 300000 : 30000;
        const auto killAt =
            Clock::now() +
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, longest)(random));
        while (Clock::now() < killAt)
            done += ReadWrites(output.Get(), 1);
        kill(writer, SIGKILL);
        int status = 0;
        waitpid(writer, &status, 0);
        done += ReadWrites(output.Get(), 0);
        ++kills;
        writes += done;
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "a write failed (status " << status << ")";
        ASSERT_GT(done, 0) << "the writer's first write after a kill did not succeed";
        const std::string text = ReadFile(config);
        (text == textA ? sawA : text == textB ? sawB : torn) += 1;
    }
    std::printf("%ld writes, %ld kills, %ld times text A, %ld times text B\n", writes, kills, sawA,
                sawB);
    EXPECT_EQ(torn, 0);
    EXPECT_GE(writes, wanted / 2);
    EXPECT_GE(kills, 20);
    EXPECT_TRUE(sawA > 0 && sawB > 0);
    EXPECT_TRUE(Bool("rs:WriteDefaultWebServerConfig(0, true)")); // this process writes on
    EXPECT_EQ(ReadFile(config), textA);
}

} // namespace
} // namespace kwatest
