// Execute: argument splitting, exit statuses, captured output, failures.
#include "HostTest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

using kwatest::HostTest;
using kwatest::ToUtf8;

namespace {

struct Outcome {
    bool ok;
    long exitCode;
    std::string output;
    std::string errorText;
};

Outcome Execute(const std::string& program, const std::string& arguments) {
    wxString output = "stale", errorText;
    long exitCode = 12345;
    const bool ok = KwaCore::Execute(wxString::FromUTF8(program), wxString::FromUTF8(arguments),
                                     output, exitCode, errorText);
    return Outcome{ok, exitCode, ToUtf8(output), ToUtf8(errorText)};
}

} // namespace

TEST_F(HostTest, ArgumentsAreSplitAsOnTheAgentsHomePlatform) {
    // Prints each argument it receives in brackets.
    const std::string show = Home() + "/show-args";
    kwatest::WriteFile(show, "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done\n");
    chmod(show.c_str(), 0755);
    const struct {
        const char* arguments;
        const char* expected;
    } cases[] = {
        {"-t -q -c \"/a b/nginx.conf\"", "[-t][-q][-c][/a b/nginx.conf]"},
        {"", ""},
        {"  a \t b  ", "[a][b]"},
        {"\"\"", "[]"},
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
    for (const auto& c : cases) {
        const Outcome run = Execute(show, c.arguments);
        EXPECT_TRUE(run.ok) << c.arguments;
        EXPECT_EQ(run.output, c.expected) << "arguments: " << c.arguments;
    }
}

TEST_F(HostTest, ExitStatusOutputAndErrorsAreReported) {
    Outcome run = Execute("/bin/sh", "-c \"echo out; echo err >&2; exit 0\"");
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "out\nerr\n");
    EXPECT_EQ(run.errorText, "");

    run = Execute("sh", "-c \"echo failing; exit 3\"");
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.output, "failing\n");
    EXPECT_NE(run.errorText.find("status 3"), std::string::npos) << run.errorText;

    run = Execute("/bin/sh", "-c \"kill -KILL $$\"");
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.exitCode, -SIGKILL);

    // Standard input is /dev/null: cat ends at once.
    run = Execute("/bin/sh", "-c \"cat; echo done\"");
    EXPECT_EQ(run.output, "done\n");

    // Invalid UTF-8 does not lose the rest of the output.
    run = Execute("/usr/bin/printf", "\"\\377ok\"");
    EXPECT_EQ(run.output, "\xEF\xBF\xBDok");
}

TEST_F(HostTest, AMissingProgramFailsWithAReadableText) {
    const Outcome run = Execute("/nonexistent/nginx.exe", "-t");
    EXPECT_FALSE(run.ok);
    EXPECT_NE(run.errorText.find("/nonexistent/nginx.exe"), std::string::npos) << run.errorText;
    EXPECT_NE(run.errorText.find("No such file"), std::string::npos) << run.errorText;
    EXPECT_EQ(run.output, run.errorText);
    EXPECT_FALSE(Execute("", "").ok);
}

TEST_F(HostTest, LargeOutputDoesNotDeadlock) {
    const Outcome run =
        Execute("/bin/sh", "-c \"yes 0123456789abcdef | head -c 3000000; echo x >&2\"");
    EXPECT_TRUE(run.ok);
    ASSERT_EQ(run.output.size(), 3000002u);
    EXPECT_EQ(run.output.substr(0, 17), "0123456789abcdef\n");
}

TEST_F(HostTest, AProcessLeftBehindDoesNotHoldExecuteUp) {
    const auto start = std::chrono::steady_clock::now();
    const Outcome run = Execute("/bin/sh", "-c \"sleep 30 & echo $!\"");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(run.ok);
    const long straggler = std::atol(run.output.c_str());
    if (straggler > 0)
        kill(static_cast<pid_t>(straggler), SIGKILL);
    EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST_F(HostTest, DescriptorsOfTheAgentDoNotLeakIntoChildren) {
    // Opened without close-on-exec, as careless code (or a script's io.open) does.
    const int leaked = dup2(open("/dev/null", O_RDONLY), 57);
    ASSERT_EQ(leaked, 57);
    const Outcome run = Execute("/bin/sh", "-c \"ls /proc/$$/fd\"");
    close(leaked);
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(kwatest::Lines(run.output), (std::vector<std::string>{"0", "1", "2"})) << run.output;
}

TEST_F(HostTest, ExecuteRunsFromSeveralThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 5; ++i) {
                const std::string word = std::to_string(t) + "-" + std::to_string(i);
                const Outcome run = Execute("/bin/echo", word);
                failures[t] += !run.ok || run.output != word + "\n";
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}
