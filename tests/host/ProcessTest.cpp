// The core library's processes and threads: Execute, reaping, command lines, the
// shutdown state; and its Lua module.
#include "LuaFixture.h"

#include <KwaCore.h>

#include <wx/log.h>
#include <wx/utils.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <thread>

namespace kwatest {
namespace {

using HostTest = LuaFixture;

using KwaCore::CDom;
using Clock = std::chrono::steady_clock;

struct Outcome {
    bool ok;
    long exitCode;
    std::string output, errorText;
};

Outcome Execute(const std::string& program, const std::string& arguments) {
    wxString output = "stale", errorText;
    long exitCode = 12345;
    const bool ok = KwaCore::Execute(ToWx(program), ToWx(arguments), output, exitCode, errorText);
    return Outcome{ok, exitCode, ToUtf8(output), ToUtf8(errorText)};
}

TEST_F(HostTest, ExecuteSplitsArgumentsAsTheAgentsHomePlatformDoes) {
    const std::string show = Home() + "/show-args"; // prints each argument in brackets
    WriteFile(show, "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done\n");
    chmod(show.c_str(), 0755);
    const struct {
        const char *arguments, *expected;
    } cases[] = {
        {"-t -q -c \"/a b/nginx.conf\"", "[-t][-q][-c][/a b/nginx.conf]"},
        {"", ""},
        {"  a \t b  ", "[a][b]"},
        {"\"\" x", "[][x]"},
        {"a\"b c\"d", "[ab cd]"},
        {"\"a\"\"b\" c", "[a\"b][c]"},
        {"C:\\dir\\ x\\\\y", "[C:\\dir\\][x\\\\y]"},
        {"a\\\"b", "[a\"b]"},
        {"a\\\\\"b c\"", "[a\\b c]"},
        {"a\\\\\\\"b", "[a\\\"b]"},
        {"\"unterminated quote", "[unterminated quote]"},
        {"100% $HOME `x` ;|&", "[100%][$HOME][`x`][;|&]"},
        {"Café \"Ünï code\"", "[Café][Ünï code]"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Execute(show, c.arguments).output, c.expected) << "arguments: " << c.arguments;
}

TEST_F(HostTest, ExecuteReportsStatusOutputAndFailures) {
    const struct {
        const char *program, *arguments;
        bool ok;
        long exitCode;
        std::string output, error; // error: a part of the error text
    } cases[] = {
        {"/bin/sh", "-c \"echo out; echo err >&2\"", true, 0, "out\nerr\n", ""},
        {"sh", "-c \"echo failing; exit 3\"", false, 3, "failing\n", "status 3"},
        {"/bin/sh", "-c \"kill -KILL $$\"", false, -SIGKILL, "", ""},
        {"/bin/sh", "-c \"cat; echo done\"", true, 0, "done\n", ""}, // standard input is /dev/null
        {"/usr/bin/printf", "\"\\377ok\"", true, 0, "\xEF\xBF\xBDok", ""},
        {"/nonexistent/nginx.exe", "-t", false, -1, "/nonexistent/nginx.exe", "No such file"},
    };
    const int leaked = dup2(open("/dev/null", O_RDONLY), 57); // without close-on-exec
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const Outcome run = Execute(c.program, c.arguments);
        EXPECT_EQ(run.ok, c.ok);
        if (c.exitCode != -1) {
            EXPECT_EQ(run.exitCode, c.exitCode);
        }
        EXPECT_NE(run.output.find(c.output), std::string::npos) << run.output;
        EXPECT_NE(run.errorText.find(c.error), std::string::npos) << run.errorText;
    }
    EXPECT_EQ(Execute("/bin/sh", "-c \"ls /proc/$$/fd\"").output, "0\n1\n2\n"); // nothing leaks in
    close(leaked);
    EXPECT_FALSE(Execute("", "").ok);
    const Outcome large =
        Execute("/bin/sh", "-c \"yes 0123456789abcdef | head -c 3000000; echo x >&2\"");
    EXPECT_EQ(large.output.size(), 3000002u);
    // A process left behind does not hold Execute up.
    const auto start = Clock::now();
    const Outcome straggler = Execute("/bin/sh", "-c \"sleep 30 & echo $!\"");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    kill(static_cast<pid_t>(std::atol(straggler.output.c_str())), SIGKILL);
    // From several threads at once.
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 5; ++i) {
                const std::string word = std::to_string(t) + "-" + std::to_string(i);
                failures[t] += Execute("/bin/echo", word).output != word + "\n";
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

// Reaping ends wx's killed or finished children, but leaves other children's
// exit status alone; command lines come from /proc, "" once a process has ended.
TEST_F(HostTest, ChildrenAreReapedAndTheirCommandLinesRead) {
    const long killed = wxExecute("sleep 30", wxEXEC_ASYNC),
               quick = wxExecute("true", wxEXEC_ASYNC);
    ASSERT_GT(killed, 0);
    ASSERT_EQ(wxKill(killed, wxSIGKILL), 0);
    const pid_t own = fork();
    if (own == 0) {
        execl("/bin/sh", "sh", "-c", "sleep 0.2; exit 7", "name", "two words",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    EXPECT_TRUE(WaitUntil([&] {
        return ToUtf8(KwaCore::GetCommandLineW(own)) == "sh -c sleep 0.2; exit 7 name two words";
    }));
    EXPECT_TRUE(WaitUntil([&] {
        KwaCore::ReapChildren();
        return !FileExists("/proc/" + std::to_string(killed)) &&
               !FileExists("/proc/" + std::to_string(quick));
    }));
    EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(own); }));
    KwaCore::ReapChildren();
    EXPECT_EQ(ToUtf8(KwaCore::GetCommandLineW(own)), "");
    EXPECT_TRUE(Execute("true", "").ok);
    int status = 0;
    ASSERT_EQ(waitpid(own, &status, 0), own);
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(ToUtf8(KwaCore::GetCommandLineW(0)), "");
}

// A shutdown request is answered at once, by a wait in progress too (from another
// thread or a signal handler), and can be called off again.
TEST_F(HostTest, ShutdownWakesWaitsAndIsCalledOffAgain) {
    KwaCore::CRunnable runnable;
    bool flag = true;
    EXPECT_FALSE(CDom::This()->ShouldExit(0, &flag));
    EXPECT_FALSE(flag);
    std::thread requester([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        KwaCore::RequestShutdown(true);
    });
    auto start = Clock::now();
    EXPECT_TRUE(runnable.Wait(60000, &flag));
    EXPECT_TRUE(flag);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    requester.join();
    KwaCore::RequestShutdown(false);
    EXPECT_FALSE(runnable.Wait(50, nullptr));

    struct sigaction action = {};
    action.sa_handler = [](int) { KwaCore::RequestShutdown(true); };
    ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);
    std::thread signaller([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        kill(getpid(), SIGUSR1);
    });
    start = Clock::now();
    EXPECT_TRUE(CDom::This()->ShouldExit(60000, nullptr));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    signaller.join();
    signal(SIGUSR1, SIG_DFL);
}

TEST_F(HostTest, LuaModuleReadsAndWritesTheHostState) {
    Run("host = require 'kwacore'");
    EXPECT_TRUE(Bool("host.set('relay.name', 'Grüße = ok')"));
    EXPECT_EQ(CDom::This()->GetString("relay.name"), "Grüße = ok");
    EXPECT_FALSE(Bool("host.set('bad=key', 'x')"));
    EXPECT_EQ(String("host.workdir('relay')"), WorkDir());
    Run("host.shutdown(true)");
    EXPECT_TRUE(CDom::This()->ShouldExit(0, nullptr));
    Run("host.shutdown(false)");
    EXPECT_FALSE(CDom::This()->ShouldExit(0, nullptr));

    CDom::LogAgentEventText(0, 9106, ToWx("failed \"nginx\" 100% é"));
    Run("host.trace('RS', true)");
    KwaCore::LogTrace(L"RS", __FILE__, __LINE__, "Relay::X", ToWx("café"));
    Run("host.trace('RS', false)");
    KwaCore::LogTrace(L"RS", __FILE__, __LINE__, "Relay::X", "dropped");
    Run("host.verbose(true)");
    wxLogger(wxLOG_Info, __FILE__, __LINE__, "Relay::Y", wxLOG_COMPONENT).Log("said %d", 1);
    Run("host.verbose(false)");
    wxLogger(wxLOG_Info, __FILE__, __LINE__, "Relay::Y", wxLOG_COMPONENT).Log("unsaid");
    EXPECT_EQ(String("host.events()[1].id .. ' ' .. host.events()[1].text"),
              "9106 failed \"nginx\" 100% é");
    EXPECT_EQ(
        String("#host.traces() .. ' ' .. host.traces()[1].func .. ' ' .. host.traces()[1].message"),
        "1 Relay::X café");
    EXPECT_EQ(String("#host.log() .. ' ' .. host.log()[1].level .. ' ' .. host.log()[1].message"),
              "1 5 said 1");
    Run("host.clear()");
    EXPECT_EQ(Integer("#host.events() + #host.traces() + #host.log()"), 0);

    for (const char* call :
         {"host.get()", "host.get({})", "host.set('k')", "host.set('k', {})", "host.workdir(nil)",
          "host.trace('RS')", "host.trace('RS', 1)", "host.trace(nil, true)", "host.verbose()",
          "host.verbose('yes')", "host.shutdown(1)"})
        EXPECT_NE(Try(call).find("bad argument"), std::string::npos) << call;
    EXPECT_EQ(String("host.get('unset')"), "");
}

} // namespace
} // namespace kwatest
