// A writer (this program again, KWA_STRESS_WRITER set) killed at random moments never
// leaves nginx.conf torn. KWA_STRESS_SECONDS bounds the run (default 12 s).
#include "LuaFixture.h"
#include "UniqueFd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <random>
#include <thread>

namespace kwatest {
namespace {

// The child, before main: texts A (4122, open) and B (8443, loopback) in turns, a byte
// on its standard output per write, until killed; exit 3 when a write fails.
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
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::seconds(bound ? std::atoi(bound) : 12);
    std::mt19937 random(20240607);
    long kills = 0, torn = 0, sawA = 0, sawB = 0;
    setenv("KWA_STRESS_WRITER", "1", 1); // read by the children only
    // At least 20 kills, however busy the machine.
    while (std::chrono::steady_clock::now() < end || kills < 20) {
        int pipeFds[2];
        ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
        Kwa::UniqueFd output(pipeFds[0]), input(pipeFds[1]);
        const pid_t writer = fork();
        if (writer == 0) {
            dup2(input.Get(), STDOUT_FILENO);
            execl("/proc/self/exe", "writer", static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_GT(writer, 0);
        input.Reset();
        // The first write, then a random while (up to some hundred writes).
        long done = 0;
        for (int tries = 0; done == 0 && tries < 300; ++tries)
            done += ReadWrites(output.Get(), 100);
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, 30000)(random)));
        kill(writer, SIGKILL);
        int status = 0;
        waitpid(writer, &status, 0);
        ++kills;
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "a write failed (status " << status << ")";
        ASSERT_GT(done, 0) << "the writer's first write after a kill did not succeed";
        const std::string text = ReadFile(config);
        (text == textA ? sawA : text == textB ? sawB : torn) += 1;
    }
    EXPECT_EQ(torn, 0);
    EXPECT_TRUE(sawA > 0 && sawB > 0);
    EXPECT_TRUE(Bool("rs:WriteDefaultWebServerConfig(0, true)")); // this process writes on
}

} // namespace
} // namespace kwatest
