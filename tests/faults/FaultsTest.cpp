// The relay under faults: nginx killed, a disk that refuses writes, lying pid files and ids.
#include "RelayFixture.h"

#include "server/RelayServer.h"

#include <sys/mount.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <tuple>

namespace kwatest {
namespace {

// A process of another user (nobody), not a child of the test; killed when the object goes.
struct OtherUsersProcess {
    const long pid = std::atol(RunCommand("setpriv --reuid=nobody --regid=nogroup --clear-groups "
                                          "sleep 60 >/dev/null 2>&1 & echo $!")
                                   .output.c_str());
    ~OtherUsersProcess() { kill(static_cast<pid_t>(pid), SIGKILL); }
    bool alive() const { return ProcessAlive(pid) && CommandLineOf(pid) == "sleep 60"; }
};

// A file system mounted for one test, detached when the object goes.
struct Mount {
    std::string target;
    bool mounted;
    ~Mount() { umount2(target.c_str(), MNT_DETACH); }
};

using Strings = std::vector<std::string>;

using Faults = RelayFixture;

// kwvp takes nginx's orphaned workers with it; a forced start brings service back.
TEST_F(Faults, NginxKilledUnderTheRelayComesBackWithAForcedStart) {
    WriteFile(WebRoot() + "/packages/p.txt", "payload");
    ASSERT_TRUE(StartRelay());
    const auto serves = [&] { return Curl("/packages/p.txt").output == "payload"; };
    ASSERT_TRUE(WaitUntil(serves));
    const long master = PidIn(NginxPidPath());
    const std::set<long> relay = ProcessesOf(WorkDir()); // kwvp, nginx and its workers
    ASSERT_GE(relay.size(), 3u);
    ASSERT_EQ(kill(static_cast<pid_t>(master), SIGKILL), 0);
    EXPECT_TRUE(WaitUntil([&] { return std::none_of(relay.begin(), relay.end(), ProcessAlive); }))
        << "orphaned nginx workers or kwvp left running";
    EXPECT_EQ(PidIn(NginxPidPath()), master);
    EXPECT_TRUE(Bool("rs:KillWebServerByPidFile()"));
    EXPECT_TRUE(Bool("rs:StartWebServer(true)"));
    EXPECT_TRUE(WaitUntil(serves));
}

// A refused write keeps the configuration whole and names the error; the next succeeds.
TEST_F(Faults, ARefusedWriteKeepsTheOldConfiguration) {
    const std::string disk = Home() + "/disk", config = disk + "/nginx.conf";
    MakeDirs(disk, 0711);
    const Mount tmpfs{disk, mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k,mode=0711") == 0};
    for (const int error : {EFBIG, ENOSPC}) {
        SCOPED_TRACE(std::strerror(error));
        if (error == ENOSPC && !tmpfs.mounted)
            GTEST_SKIP() << "cannot mount a tmpfs here";
        Relay::CRelayServer server;
        server.WebServerConfigPath = ToWx(config);
        ASSERT_TRUE(server.WriteDefaultWebServerConfig(0, true));
        const std::string old = ReadFile(config);
        server.RelayUpload = 1; // a longer text than the one in force
        KwaCore::Host::ClearRecords();
        if (error == ENOSPC)
            RunCommand("dd if=/dev/zero of=" + ShellQuote(disk + "/filler") + " bs=4096");
        // Files may not grow beyond 1024 bytes (EFBIG, SIGXFSZ ignored) during the write.
        rlimit previous{};
        getrlimit(RLIMIT_FSIZE, &previous);
        rlimit limit{error == EFBIG ? 1024 : RLIM_INFINITY, previous.rlim_max};
        std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        EXPECT_FALSE(server.WriteDefaultWebServerConfig(0, true));
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, SIG_DFL);
        EXPECT_EQ(ReadFile(config), old);
        EXPECT_EQ(EventTexts(3006),
                  Strings{"write|" + disk + "/nginx.tmp|" + std::to_string(error) + " (" +
                          std::strerror(error) + ")"});
        RemoveTree(disk + "/filler");
        EXPECT_TRUE(server.WriteDefaultWebServerConfig(0, true)) << "the next write";
        EXPECT_NE(ReadFile(config).find("location /data/"), std::string::npos);
    }
}

// Pid files and launcher ids that do not name the relay's processes kill nothing.
TEST_F(Faults, PidFilesAndIdsThatLieKillNothing) {
    Run("rs:WriteDefaultWebServerConfig(0, true)"); // nginx -s needs its configuration
    const OtherUsersProcess other;
    ASSERT_TRUE(WaitUntil([&] { return other.alive(); }));
    for (const std::string& content :
         Strings{"garbage\n", "-1\n", "99999999999999999999\n", "4194304\n", "12abc", "",
                 std::to_string(other.pid), std::to_string(getpid()) + "\n"}) {
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
        WriteFile(AccessLog(), std::string(5242881, 'x'));
        RotateOnce();
        EXPECT_TRUE(other.alive());
        RemoveTree(WorkDir() + "/logs/access-01.log");
    }
    // A process is the relay's only by its command line: the launcher's begins with its
    // path, nginx's holds its path, in either case.
    std::string bin = BinDir();
    std::transform(bin.begin(), bin.end(), bin.begin(), ::toupper);
    const std::tuple<bool, std::string, bool> named[] = {
        {true, "wrapper " + BinDir() + "/kwvp.exe", false},
        {true, bin + "/KWVP.EXE", true},
        {false, "nginx: master process " + bin + "/NGINX.EXE", true}};
    for (const auto& [launcher, argv0, removed] : named) {
        ForeignProcess process(argv0);
        WriteFile(launcher ? KwvpPidPath() : NginxPidPath(), std::to_string(process.pid()));
        EXPECT_TRUE(Bool("rs:KillWebServerByPidFile()"));
        EXPECT_TRUE(removed ? WaitUntil([&] { return !process.alive(); }) : process.alive())
            << argv0;
        RemoveTree(KwvpPidPath());
        RemoveTree(NginxPidPath());
    }

    Relay::CRelayServer server;
    server.KwvpPid = static_cast<int32_t>(other.pid); // the launcher's id, now another's
    server.StopWebServer(true);
    EXPECT_FALSE(WaitUntil([&] { return !other.alive(); }, std::chrono::milliseconds(300)));
}

} // namespace
} // namespace kwatest
