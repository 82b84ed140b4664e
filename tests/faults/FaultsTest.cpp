// The relay under faults: nginx killed under it, a disk that refuses writes (a
// file size limit, a full tmpfs, a read-only bind mount), pid files and ids that
// name the wrong process.
#include "RelayFixture.h"

#include "server/RelayServer.h"

#include <sys/mount.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>

namespace kwatest {
namespace {

// A process of another user (nobody), not a child of the test; killed when the object goes.
class OtherUsersProcess {
public:
    OtherUsersProcess() {
        pid_ =
            std::atol(RunCommand("setpriv --reuid=nobody --regid=nogroup --clear-groups sleep 60 "
                                 ">/dev/null 2>&1 & echo $!")
                          .output.c_str());
        WaitUntil([&] { return alive(); });
    }
    ~OtherUsersProcess() { kill(static_cast<pid_t>(pid_), SIGKILL); }
    long pid() const { return pid_; }
    bool alive() const { return ProcessAlive(pid_) && CommandLineOf(pid_) == "sleep 60"; }

private:
    long pid_ = 0;
};

// A file system mounted for one test (flags: a remount of it), detached when the object goes.
class Mount {
public:
    Mount(const std::string& source, const std::string& target, const char* type,
          unsigned long flags, const char* data, unsigned long remount = 0)
        : target_(target) {
        mounted_ =
            mount(source.c_str(), target.c_str(), type, flags, data) == 0 &&
            (remount == 0 || mount(source.c_str(), target.c_str(), nullptr, remount, nullptr) == 0);
    }
    ~Mount() { umount2(target_.c_str(), MNT_DETACH); }
    bool mounted() const { return mounted_; }

private:
    std::string target_;
    bool mounted_ = false;
};

// Files may not grow beyond size bytes while the object lives; SIGXFSZ is ignored
// so that a write past the limit fails with EFBIG.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t size) {
        getrlimit(RLIMIT_FSIZE, &previous_);
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = previous_;
        limit.rlim_cur = size;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = nullptr;
};

using Faults = RelayFixture;

// kwvp sees its nginx killed, takes the orphaned workers with it and ends; the pid
// file stays, naming a dead process. Nothing is left to remove, and a forced start
// brings service back.
TEST_F(Faults, NginxKilledUnderTheRelayComesBackWithAForcedStart) {
    WriteFile(WebRoot() + "/packages/p.txt", "payload");
    ASSERT_TRUE(StartRelay());
    const auto serves = [&] { return Curl("/packages/p.txt").output == "payload"; };
    ASSERT_TRUE(WaitUntil(serves));
    const long master = PidIn(NginxPidPath()), kwvp = PidIn(KwvpPidPath());
    const std::vector<long> workers = ChildrenOf(master);
    ASSERT_FALSE(workers.empty());
    ASSERT_EQ(kill(static_cast<pid_t>(master), SIGKILL), 0);
    EXPECT_TRUE(WaitUntil([&] {
        for (long worker : workers)
            if (ProcessAlive(worker))
                return false;
        return !ProcessAlive(kwvp) && !ProcessAlive(master);
    })) << "orphaned nginx workers or kwvp left running";
    EXPECT_EQ(PidIn(NginxPidPath()), master);
    EXPECT_TRUE(Bool("rs:KillWebServerByPidFile()"));
    EXPECT_TRUE(Bool("rs:StartWebServer(true)"));
    EXPECT_TRUE(WaitUntil(serves));
}

// A write the disk refuses leaves the configuration in force whole, event 3006
// names the error, and once there is room again the next write succeeds.
TEST_F(Faults, ARefusedWriteKeepsTheOldConfiguration) {
    const std::string disk = Home() + "/disk", config = disk + "/nginx.conf";
    MakeDirs(disk, 0711);
    Mount tmpfs("tmpfs", disk, "tmpfs", 0, "size=64k,mode=0711");
    for (const int error : {EFBIG, ENOSPC}) {
        SCOPED_TRACE(std::strerror(error));
        if (error == ENOSPC && !tmpfs.mounted())
            GTEST_SKIP() << "cannot mount a tmpfs here";
        Relay::CRelayServer server;
        server.WebServerConfigPath = ToWx(config);
        ASSERT_TRUE(server.WriteDefaultWebServerConfig(0, true));
        const std::string old = ReadFile(config);
        server.RelayUpload = 1; // a longer text than the one in force
        KwaCore::Host::ClearRecords();
        {
            std::optional<FileSizeLimit> limit;
            if (error == EFBIG)
                limit.emplace(1024);
            else
                RunCommand("dd if=/dev/zero of=" + ShellQuote(disk + "/filler") + " bs=4096");
            EXPECT_FALSE(server.WriteDefaultWebServerConfig(0, true));
        }
        EXPECT_EQ(ReadFile(config), old);
        EXPECT_EQ(EventTexts(3006),
                  std::vector<std::string>{"write|" + disk + "/nginx.tmp|" + std::to_string(error) +
                                           " (" + std::strerror(error) + ")"});
        RemoveTree(disk + "/filler");
        EXPECT_TRUE(server.WriteDefaultWebServerConfig(0, true)) << "the next write";
        EXPECT_NE(ReadFile(config).find("location /data/"), std::string::npos);
    }
}

// A read-only work directory: every write is refused and reported, nothing is
// started, and what runs without writing still works.
TEST_F(Faults, AReadOnlyWorkDirectoryIsReportedNotTorn) {
    ASSERT_TRUE(Bool("rs:WriteDefaultWebServerConfig(0, true)"));
    const std::string config = WorkDir() + "/nginx.conf", old = ReadFile(config);
    Mount readOnly(WorkDir(), WorkDir(), nullptr, MS_BIND, nullptr,
                   MS_BIND | MS_REMOUNT | MS_RDONLY);
    if (!readOnly.mounted())
        GTEST_SKIP() << "cannot make the work directory read-only here (no bind mount)";
    KwaCore::Host::ClearRecords();
    EXPECT_FALSE(Bool("rs:WriteDefaultWebServerConfig(2, true)"));
    EXPECT_EQ(EventTexts(3006).size(), 1u);
    EXPECT_EQ(ReadFile(config), old);
    EXPECT_FALSE(Bool("rs:StartWebServer(false)"));
    EXPECT_EQ(EventsWithId(9104).size(), 0u);
    EXPECT_FALSE(FileExists(KwvpPidPath()));
    Run("ok, status, text = rs:CreateBundle()");
    EXPECT_EQ(String("tostring(ok) .. ' ' .. status .. ' ' .. text"), "false 500 Failed to create");
    EXPECT_TRUE(Bool("rs:RotateWebLogs() and rs:RotateWebLogs() and rs:Publish()"));
    Run("other = SLB.RelayServer()");
    EXPECT_EQ(ReadFile(config), old);
}

// Pid files that do not name the relay's processes (garbage, numbers out of range,
// another user's process, this test's own) are left alone by every method that
// acts on them; and a launcher id that is no longer the relay's child is not killed.
TEST_F(Faults, PidFilesAndIdsThatLieKillNothing) {
    Run("rs:WriteDefaultWebServerConfig(0, true)"); // nginx -s needs its configuration
    OtherUsersProcess other;
    ASSERT_TRUE(other.alive());
    const std::string self = std::to_string(getpid());
    for (const std::string& content :
         {std::string("garbage\n"), std::string("-1\n"), std::string("99999999999999999999\n"),
          std::string("4194304\n"), std::string("12abc"), std::string(""),
          std::to_string(other.pid()), self + "\n"}) {
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
    RemoveTree(KwvpPidPath());
    RemoveTree(NginxPidPath());

    Relay::CRelayServer server;
    server.KwvpPid = static_cast<int32_t>(other.pid()); // the launcher's id, now another's
    server.StopWebServer(true);
    EXPECT_FALSE(WaitUntil([&] { return !other.alive(); }, std::chrono::milliseconds(300)));
}

} // namespace
} // namespace kwatest
