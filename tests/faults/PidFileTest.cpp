// Pid files and ids that name the wrong process: nothing is signalled or killed.
#include "FaultsSupport.h"

namespace kwatest {
namespace {

// Pid files that do not name the relay's processes: garbage, numbers out of
// range, and live processes that are not nginx or kwvp (another user's, and
// this test's own). Every method that acts on a pid file leaves them alone.
TEST_F(Faults, PidFilesThatLieKillNothing) {
    Run("rs:WriteDefaultWebServerConfig(0, true)"); // nginx -s needs its configuration
    OtherUsersProcess other;
    ASSERT_TRUE(other.alive());
    const std::string self = std::to_string(getpid());
    const std::string contents[] = {"garbage\n", "-1\n",  "-4194304\n", "99999999999999999999\n",
                                    "4194304\n", "12abc", "",           std::to_string(other.pid()),
                                    self + "\n"};
    for (const std::string& content : contents) {
        SCOPED_TRACE(content);
        for (const char* call :
             {"rs:KillWebServerByPidFile()", "rs:ReloadWebServerConfig()", "rs:StopWebServer(true)",
              "rs:EnableWebServer()", "rs:DisableWebServer()"}) {
            SCOPED_TRACE(call);
            WriteFile(KwvpPidPath(), content);
            WriteFile(NginxPidPath(), content);
            // Only the removal of what the pid files name succeeds: there is nothing.
            EXPECT_EQ(Bool(call), std::string(call) == "rs:KillWebServerByPidFile()");
            EXPECT_TRUE(other.alive());
        }
        // Rotation asks nginx to reopen its logs (SIGUSR1, which ends a sleep).
        WriteFile(WorkDir() + "/logs/access.log", std::string(5242881, 'x'));
        for (int i = 0; i < 8; ++i)
            Run("rs:RotateWebLogs()");
        EXPECT_TRUE(other.alive());
        RemoveTree(WorkDir() + "/logs/access-01.log");
    }
    RemoveTree(KwvpPidPath());
    RemoveTree(NginxPidPath());
}

// StopWebServer killed the launcher's id blindly: once the launcher had ended and
// been reaped, the id could belong to any other process.
TEST_F(Faults, StopKillsOnlyTheLauncherItStarted) {
    OtherUsersProcess other;
    ASSERT_TRUE(other.alive());
    Relay::CRelayServer server;
    server.KwvpPid = static_cast<int32_t>(other.pid()); // the launcher's id, now another's
    server.StopWebServer(true);
    EXPECT_EQ(server.KwvpPid, 0);
    EXPECT_FALSE(WaitUntil([&] { return !other.alive(); }, std::chrono::milliseconds(300)));
}

} // namespace
} // namespace kwatest
