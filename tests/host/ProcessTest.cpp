// Reaping asynchronous children, pid files and command lines of processes.
#include "HostTest.h"

#include <wx/utils.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using kwatest::HostTest;
using kwatest::ToUtf8;
using kwatest::WaitUntil;

namespace {

bool Gone(long pid) {
    return !kwatest::FileExists("/proc/" + std::to_string(pid));
}

// Ended but not reaped: still in /proc, but no longer alive.
bool IsZombie(long pid) {
    return !Gone(pid) && !kwatest::ProcessAlive(pid);
}

// Starts a child in a process group of its own (so that kill(-pid) ends what it starts).
pid_t Spawn(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    return rc == 0 ? pid : 0;
}

} // namespace

TEST_F(HostTest, KilledAsyncChildrenLeaveNoZombie) {
    const long pid = wxExecute("sleep 30", wxEXEC_ASYNC);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(kwatest::ProcessAlive(pid));
    ASSERT_EQ(wxKill(pid, wxSIGKILL), 0);
    KwaCore::ReapChildren();
    EXPECT_TRUE(Gone(pid));

    // One that ended by itself a while ago.
    const long quick = wxExecute("true", wxEXEC_ASYNC);
    ASSERT_GT(quick, 0);
    ASSERT_TRUE(WaitUntil([quick] { return IsZombie(quick) || Gone(quick); }));
    KwaCore::ReapChildren();
    EXPECT_TRUE(Gone(quick));
}

TEST_F(HostTest, OtherChildrenKeepTheirExitStatus) {
    const pid_t own = Spawn({"sh", "-c", "exit 7"});
    ASSERT_GT(own, 0);
    ASSERT_TRUE(WaitUntil([own] { return IsZombie(own); }));
    // Neither reaping wx's children nor running a command takes it.
    const long async = wxExecute("true", wxEXEC_ASYNC);
    ASSERT_GT(async, 0);
    KwaCore::ReapChildren();
    wxString output, errorText;
    long exitCode = 0;
    EXPECT_TRUE(KwaCore::Execute("true", "", output, exitCode, errorText));
    int status = 0;
    ASSERT_EQ(waitpid(own, &status, 0), own);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

TEST_F(HostTest, PidFilesHoldTheDecimalIdAndALineFeed) {
    // Trailing blanks are fine; signs, leading blanks, other text and ids past
    // the largest Linux pid are not.
    const struct {
        const char* content;
        unsigned long id;
    } cases[] = {
        {"1234", 1234}, {"1234 \r\n\n", 1234}, {"4194304\n", 4194304},
        {"", 0},        {"-5\n", 0},           {" 12\n", 0},
        {"12a\n", 0},   {"12\n34\n", 0},       {"4194305\n", 0},
        {"0\n", 0},
    };
    const std::string path = Home() + "/test.pid";
    for (const auto& c : cases) {
        kwatest::WriteFile(path, c.content);
        EXPECT_EQ(KwaCore::ReadPidFile(wxString::FromUTF8(path)), c.id) << "content: " << c.content;
    }
    EXPECT_EQ(KwaCore::ReadPidFile(wxString::FromUTF8(Home() + "/missing.pid")), 0u);
    EXPECT_EQ(KwaCore::ReadPidFile(wxString::FromUTF8(Home())), 0u);

    EXPECT_TRUE(KwaCore::WriteThisPidToFile(4321, wxString::FromUTF8(path)));
    EXPECT_EQ(kwatest::ReadFile(path), "4321\n");
    EXPECT_EQ(KwaCore::ReadPidFile(wxString::FromUTF8(path)), 4321u);
    EXPECT_FALSE(KwaCore::WriteThisPidToFile(1, wxString::FromUTF8(Home() + "/no/dir/x.pid")));
}

TEST_F(HostTest, CommandLinesComeFromProc) {
    const pid_t child = Spawn({"sh", "-c", "sleep 30", "name", "two words"});
    ASSERT_GT(child, 0);
    const std::string expected = "sh -c sleep 30 name two words";
    EXPECT_TRUE(WaitUntil([&] { return ToUtf8(KwaCore::GetCommandLineW(child)) == expected; }))
        << ToUtf8(KwaCore::GetCommandLineW(child));
    kill(-child, SIGKILL);
    ASSERT_TRUE(WaitUntil([child] { return IsZombie(child); }));
    EXPECT_EQ(ToUtf8(KwaCore::GetCommandLineW(child)), "");
    waitpid(child, nullptr, 0);
    EXPECT_EQ(ToUtf8(KwaCore::GetCommandLineW(child)), "");
    EXPECT_EQ(ToUtf8(KwaCore::GetCommandLineW(0)), "");
    EXPECT_NE(ToUtf8(KwaCore::GetCommandLineW(getpid())).find("test_host"), std::string::npos);
}
