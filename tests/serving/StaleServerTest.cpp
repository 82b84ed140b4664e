// Removing a web server of an earlier run by its pid files.
#include "RelayFixture.h"

#include <cctype>

namespace kwatest {
namespace {

class StaleServerTest : public RelayFixture {};

std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

TEST_F(StaleServerTest, ASecondObjectRemovesARunningServer) {
    ASSERT_TRUE(StartRelay());
    const long kwvp = PidIn(KwvpPidPath());
    const long master = PidIn(NginxPidPath());

    // As after a restart of the agent: a new object that only has the pid files.
    ResetLua();
    NewRelay();
    Run("host.verbose(true)");
    EXPECT_TRUE(Bool("rs:KillWebServerByPidFile()"));
    EXPECT_TRUE(HasLog(5, "Kill kwvp pid " + std::to_string(kwvp) + ", result 0"));
    EXPECT_TRUE(HasLog(5, "Web server pid " + std::to_string(master) + " shut down"));
    EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(kwvp) && NginxGone(master); }));
}

// The launcher must begin with its path; nginx's title need only contain its path.
// Both compare without regard to case.
TEST_F(StaleServerTest, PidFilesNamingOtherProcessesLeaveThemAlone) {
    const std::string kwvp = BinDir() + "/kwvp.exe";
    const std::string nginx = BinDir() + "/nginx.exe";
    struct Case {
        bool launcherFile; // which pid file names the process
        std::string argv0;
        bool removed;
    };
    const Case cases[] = {
        {true, "sleep", false},
        {true, "wrapper " + kwvp, false},
        {true, Upper(kwvp), true},
        {false, "sleep", false},
        {false, "nginx: master process " + Upper(nginx), true},
    };
    Run("rs:WriteDefaultWebServerConfig(0, true)"); // nginx -s needs its configuration
    Run("host.verbose(true)");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argv0);
        ForeignProcess process(c.argv0);
        const std::string id = std::to_string(process.pid());
        WriteFile(c.launcherFile ? KwvpPidPath() : NginxPidPath(), id + "\n");
        KwaCore::Host::ClearRecords();

        EXPECT_TRUE(Bool("rs:KillWebServerByPidFile()"));
        if (c.removed) {
            EXPECT_TRUE(WaitUntil([&] { return !process.alive(); }));
        } else {
            EXPECT_TRUE(process.alive());
            EXPECT_TRUE(HasLog(
                5, c.launcherFile
                       ? "kwvp pid file exists but pid " + id + " is not a kwvp process"
                       : "nginx pid file exists but pid " + id + " is not an nginx process"));
        }
        RemoveTree(KwvpPidPath());
        RemoveTree(NginxPidPath());
    }
}

} // namespace
} // namespace kwatest
