// The core library (settings, records, file modes, removal, pid files, Execute, the
// shutdown state) and its Lua module.
#include "LuaFixture.h"

#include <KwaCore.h>

#include <nlohmann/json.hpp>
#include <wx/log.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <thread>

namespace kwatest {
namespace {

using HostTest = LuaFixture;

using KwaCore::CDom;
using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

TEST_F(HostTest, HandWrittenSettingsAreReadAndRewrittenWithTheirCommentsKept) {
    const std::string conf = Home() + "/agent.conf";
    WriteFile(conf, "# by hand\n\n  first.key=one\nnot a setting\nsecond.key =  a = b  c \r\n");
    CDom* dom = CDom::This();
    EXPECT_EQ(dom->GetString("second.key"), "a = b  c");
    EXPECT_EQ(dom->GetString("not a setting"), "");
    EXPECT_TRUE(dom->Set("first.key", "uno"));
    EXPECT_TRUE(dom->Set("third.key", "x=y z"));
    EXPECT_EQ(ReadFile(conf),
              "# by hand\n\nfirst.key = uno\nnot a setting\nsecond.key =  a = b  c \n"
              "third.key = x=y z\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Home()), {}), 1)
        << "a temporary file stayed";
    EXPECT_EQ(FileMode(conf), 0600u);
    for (const char* key : {"", "a=b", "#comment"})
        EXPECT_FALSE(dom->Set(key, "x")) << key;
    EXPECT_FALSE(dom->Set("key", "two\nlines"));
    EXPECT_EQ(ReadFile(conf).find("comment"), std::string::npos);
    // Rewritten by someone else after it was read; then the home moves.
    WriteFile(conf, "relay.port = 7443\n");
    EXPECT_EQ(dom->GetString("relay.port"), "7443");
    TempDir other("kwa-home2");
    setenv("KWA_HOME", other.path().c_str(), 1);
    EXPECT_EQ(dom->GetString("relay.port"), "");
    // A home below a regular file can never be made: the value stays in memory.
    setenv("KWA_HOME", (conf + "/home").c_str(), 1);
    EXPECT_FALSE(dom->Set("kept", "in memory"));
    EXPECT_EQ(dom->GetString("kept"), "in memory");
}

TEST_F(HostTest, EventsAreKeptAndWrittenAsOneJsonObjectPerLine) {
    errno = ENOSPC; // recording leaves a caller's errno alone
    CDom::LogAgentEvent(0, 9103);
    EXPECT_EQ(errno, ENOSPC);
    const wxString tricky = wxString::FromUTF8("say \"hi\"\n\tback\\slash 100% %s %d é");
    CDom::LogAgentEventText(0, 9106, tricky);
    CDom::DoLogAgentEvent(0, 9106, "failed %.4000s", wxString("50%"));
    const Strings lines = Lines(ReadFile(Home() + "/logs/events.log"));
    ASSERT_EQ(lines.size(), 3u);
    const auto first = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(first["id"], 9103);
    EXPECT_FALSE(first.contains("text"));
    EXPECT_EQ(nlohmann::json::parse(lines[1])["text"], ToUtf8(tricky));
    EXPECT_EQ(nlohmann::json::parse(lines[2])["text"], "failed 50%");
    EXPECT_EQ(FileMode(Home() + "/logs/events.log"), 0600u);
}

TEST_F(HostTest, TracingFollowsKwaTraceAndTheSwitches) {
    unsetenv("KWA_TRACE");
    EXPECT_FALSE(KwaCore::LogTraceIsEnabled(L"ENV"));
    const std::pair<const char*, bool> cases[] = {{"", false},          {"ENV", true},
                                                  {" XY , ENV ", true}, {"*", true},
                                                  {"ENVX,E", false},    {"env", false}};
    for (const auto& [variable, enabled] : cases) {
        setenv("KWA_TRACE", variable, 1);
        EXPECT_EQ(KwaCore::LogTraceIsEnabled(L"ENV"), enabled) << variable;
    }
    setenv("KWA_TRACE", "*", 1);
    KwaCore::Host::SetTraceComponent("RS", false);
    EXPECT_FALSE(KwaCore::LogTraceIsEnabled(L"RS"));
    unsetenv("KWA_TRACE");
    KwaCore::Host::SetTraceComponent("*", true);
    EXPECT_TRUE(KwaCore::LogTraceIsEnabled(L"RS")); // "*" replaces the earlier switch
    KwaCore::LogTrace(L"RS", __FILE__, __LINE__, "Relay::F", "100%\nnext");
    EXPECT_TRUE(HasTrace("100%\nnext"));
    const Strings lines = Lines(ReadFile(Home() + "/logs/trace.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" [RS] Relay::F: 100%\\nnext"), std::string::npos) << lines[0];
}

TEST_F(HostTest, SecuringAndRemovingFollowNoLink) {
    const std::string key = Home() + "/server.key", dir = Home() + "/www",
                      target = Home() + "/public.txt";
    WriteFile(key, "PRIVATE");
    WriteFile(target, "x");
    chmod(target.c_str(), 0644);
    MakeDirs(dir, 0777);
    ASSERT_EQ(symlink(target.c_str(), (Home() + "/link").c_str()), 0);
    ASSERT_EQ(mkfifo((Home() + "/fifo").c_str(), 0666), 0);
    EXPECT_TRUE(KwaCore::SecureFileOrDirectory(ToWx(key), false));
    EXPECT_EQ(FileMode(key), 0600u);
    EXPECT_TRUE(KwaCore::SecureFileOrDirectory(ToWx(dir), true));
    for (const char* refused : {"/link", "/missing", "/fifo"})
        EXPECT_FALSE(KwaCore::SecureFileOrDirectory(ToWx(Home() + refused), false)) << refused;
    EXPECT_EQ(FileMode(target), 0644u);

    WriteFile(dir + "/closed/inner/deep.txt", "x");
    chmod((dir + "/closed/inner").c_str(), 0600);
    chmod((dir + "/closed").c_str(), 0000);
    ASSERT_EQ(symlink(Home().c_str(), (dir + "/link-to-home").c_str()), 0);
    EXPECT_TRUE(KwaCore::RemoveDirectoryW(ToWx(dir + "/"), true));
    EXPECT_FALSE(FileExists(dir));
    EXPECT_TRUE(KwaCore::RemoveDirectoryW(ToWx(Home() + "/link/"), false)); // not its target
    EXPECT_FALSE(KwaCore::RemoveDirectoryW(ToWx(target), false));           // not a directory
    EXPECT_EQ(ReadFile(target), "x");
}

// Trailing blanks are fine; signs, leading blanks, other text, ids past Linux's largest are not.
TEST_F(HostTest, PidFilesHoldTheDecimalIdAndALineFeed) {
    const struct {
        const char* content;
        unsigned long id;
    } cases[] = {{"1234", 1234}, {"1234 \r\n\n", 1234}, {"4194304\n", 4194304},
                 {"", 0},        {"-5\n", 0},           {" 12\n", 0},
                 {"12a\n", 0},   {"12\n34\n", 0},       {"4194305\n", 0},
                 {"0\n", 0}};
    const std::string path = Home() + "/test.pid";
    for (const auto& c : cases) {
        WriteFile(path, c.content);
        EXPECT_EQ(KwaCore::ReadPidFile(ToWx(path)), c.id) << "content: " << c.content;
    }
    ASSERT_EQ(mkfifo((Home() + "/fifo.pid").c_str(), 0666), 0);
    for (const std::string& odd : {Home(), Home() + "/fifo.pid"}) // and does not block
        EXPECT_EQ(KwaCore::ReadPidFile(ToWx(odd)), 0u) << odd;
    EXPECT_TRUE(KwaCore::WriteThisPidToFile(4321, ToWx(path)));
    EXPECT_EQ(ReadFile(path), "4321\n");
    EXPECT_FALSE(KwaCore::WriteThisPidToFile(1, ToWx(Home() + "/no/dir/x.pid")));
}

struct Outcome {
    bool ok;
    long exitCode;                 // in a table: -1 when any
    std::string output, errorText; // in a table: a part of the error text
};

Outcome Execute(const std::string& program, const std::string& arguments) {
    wxString output = "stale", errorText;
    long exitCode = 12345;
    const bool ok = KwaCore::Execute(ToWx(program), ToWx(arguments), output, exitCode, errorText);
    return Outcome{ok, exitCode, ToUtf8(output), ToUtf8(errorText)};
}

// Arguments are split as on the agent's home platform; show-args prints each in brackets.
TEST_F(HostTest, ExecuteSplitsArgumentsAndReportsStatusOutputAndFailures) {
    const std::string show = Home() + "/show-args";
    WriteFile(show, "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done\n");
    chmod(show.c_str(), 0755);
    const struct {
        std::string program, arguments;
        Outcome expected;
    } cases[] = {
        {show, "-t -q -c \"/a b/nginx.conf\"", {true, 0, "[-t][-q][-c][/a b/nginx.conf]", ""}},
        {show, "  a \t b  ", {true, 0, "[a][b]", ""}},
        {show, "\"\" x", {true, 0, "[][x]", ""}},
        {show, "a\"b c\"d", {true, 0, "[ab cd]", ""}},
        {show, "\"a\"\"b\" c", {true, 0, "[a\"b][c]", ""}},
        {show, "C:\\dir\\ x\\\\y", {true, 0, "[C:\\dir\\][x\\\\y]", ""}},
        {show, "a\\\"b", {true, 0, "[a\"b]", ""}},
        {show, "a\\\\\"b c\"", {true, 0, "[a\\b c]", ""}},
        {show, "a\\\\\\\"b", {true, 0, "[a\\\"b]", ""}},
        {show, "\"unterminated quote", {true, 0, "[unterminated quote]", ""}},
        {show, "100% $HOME `x` ;|&", {true, 0, "[100%][$HOME][`x`][;|&]", ""}},
        {"/bin/sh", "-c \"echo out; echo err >&2\"", {true, 0, "out\nerr\n", ""}},
        {"sh", "-c \"echo failing; exit 3\"", {false, 3, "failing\n", "status 3"}},
        {"/bin/sh", "-c \"kill -KILL $$\"", {false, -SIGKILL, "", ""}},
        {"/bin/sh", "-c \"cat; echo done\"", {true, 0, "done\n", ""}}, // stdin is /dev/null
        {"/usr/bin/printf", "\"\\377ok\"", {true, 0, "\xEF\xBF\xBDok", ""}},
        {"/no/x", "-t", {false, -1, "cannot run /no/x: No such file or directory", ""}},
        {"", "", {false, -1, "no program to run", ""}},
    };
    const int leaked = dup2(open("/dev/null", O_RDONLY), 57); // without close-on-exec
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const Outcome run = Execute(c.program, c.arguments);
        EXPECT_EQ(run.ok, c.expected.ok);
        EXPECT_TRUE(c.expected.exitCode == -1 || run.exitCode == c.expected.exitCode)
            << run.exitCode;
        EXPECT_EQ(run.output, c.expected.output);
        EXPECT_NE(run.errorText.find(c.expected.errorText), std::string::npos) << run.errorText;
    }
    EXPECT_EQ(Execute("/bin/sh", "-c \"ls /proc/$$/fd\"").output, "0\n1\n2\n"); // nothing leaks in
    close(leaked);
    const Outcome large =
        Execute("/bin/sh", "-c \"yes 0123456789abcdef | head -c 3000000; echo x >&2\"");
    EXPECT_EQ(large.output.size(), 3000002u);
    // A process left behind does not hold Execute up.
    const auto start = Clock::now();
    const Outcome straggler = Execute("/bin/sh", "-c \"sleep 30 & echo $!\"");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    kill(static_cast<pid_t>(std::atol(straggler.output.c_str())), SIGKILL);
}

// A wait in progress wakes for a request from another thread or a signal handler.
TEST_F(HostTest, ShutdownWakesWaitsAndIsCalledOffAgain) {
    KwaCore::CRunnable runnable;
    bool flag = true;
    EXPECT_FALSE(CDom::This()->ShouldExit(0, &flag));
    EXPECT_FALSE(flag);
    signal(SIGUSR1, [](int) { KwaCore::RequestShutdown(true); });
    for (const bool bySignal : {false, true}) {
        std::thread requester([bySignal] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            bySignal ? void(kill(getpid(), SIGUSR1)) : KwaCore::RequestShutdown(true);
        });
        const auto start = Clock::now();
        EXPECT_TRUE(bySignal ? CDom::This()->ShouldExit(60000, nullptr)
                             : runnable.Wait(60000, &flag));
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
        requester.join();
        KwaCore::RequestShutdown(false);
        EXPECT_FALSE(runnable.Wait(50, nullptr)) << bySignal;
    }
    EXPECT_TRUE(flag);
    signal(SIGUSR1, SIG_DFL);
}

TEST_F(HostTest, LuaModuleReadsAndWritesTheHostState) {
    Run("host = require 'kwacore'");
    EXPECT_TRUE(Bool("host.set('relay.name', 'Grüße = ok')"));
    EXPECT_EQ(CDom::This()->GetString("relay.name"), "Grüße = ok");
    EXPECT_FALSE(Bool("host.set('bad=key', 'x')"));
    EXPECT_EQ(String("host.get('unset') .. host.workdir('relay')"), WorkDir());
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
    wxLogInfo("said 1");
    Run("host.verbose(false)");
    wxLogInfo("unsaid");
    EXPECT_EQ(String("host.events()[1].id .. ' ' .. host.events()[1].text"),
              "9106 failed \"nginx\" 100% é");
    EXPECT_EQ(
        String("#host.traces() .. ' ' .. host.traces()[1].func .. ' ' .. host.traces()[1].message"),
        "1 Relay::X café");
    EXPECT_EQ(String("#host.log() .. ' ' .. host.log()[1].level .. ' ' .. host.log()[1].message"),
              "1 5 said 1");
    Run("host.clear()");
    EXPECT_EQ(Integer("#host.events() + #host.traces() + #host.log()"), 0);
    setenv("KWA_HOME", (Home() + "/h\xff").c_str(), 1); // a name that is not UTF-8
    EXPECT_EQ(String("host.workdir('relay')"), Home() + "/h\xff/plugins/relay");

    for (const char* call :
         {"host.get({})", "host.set('k')", "host.workdir(nil)", "host.trace('RS', 1)",
          "host.trace(nil, true)", "host.verbose('yes')", "host.shutdown(1)"})
        EXPECT_NE(Try(call).find("bad argument"), std::string::npos) << call;
}

} // namespace
} // namespace kwatest
