// A disk that refuses writes (a file size limit, a full file system, a read-only
// work directory): the configuration in force is never torn, every refusal is
// reported, and the next write succeeds once the fault is gone.
#include "FaultsSupport.h"

#include <optional>

namespace kwatest {
namespace {

// A write that the disk refuses leaves the configuration in force whole: event
// 3006 with the write's error, the old file unchanged; once there is room again
// the next write succeeds and leaves no temporary file. Two such disks: a file size
// limit (RLIMIT_FSIZE, possible everywhere) and a small tmpfs filled up.
TEST_F(Faults, ARefusedWriteKeepsTheOldConfiguration) {
    const std::string disk = Home() + "/disk", config = disk + "/nginx.conf";
    MakeDirs(disk, 0711);
    Mount tmpfs("tmpfs", disk, "tmpfs", 0, "size=64k,mode=0711");
    for (const int error : {EFBIG, ENOSPC}) {
        SCOPED_TRACE(std::strerror(error));
        if (error == ENOSPC && !tmpfs.mounted())
            GTEST_SKIP() << "cannot mount a tmpfs here (" << tmpfs.error() << ")";
        Relay::CRelayServer server; // a relay object whose configuration lies on that disk
        server.WebServerConfigPath = wxString::FromUTF8(config.c_str());
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
        EXPECT_FALSE(FileExists(disk + "/nginx.tmp"));
    }
}

// A work directory that turned read-only (a bind mount; root ignores modes):
// every write is refused and reported, nothing half-written stays, what runs
// without writing still works, and nothing is started.
TEST_F(Faults, AReadOnlyWorkDirectoryIsReportedNotTorn) {
    ASSERT_TRUE(Bool("rs:WriteDefaultWebServerConfig(0, true)"));
    const std::string old = ReadFile(ConfigPath());
    WriteFile(WebRoot() + "/packages/p.txt", "payload");
    ReadOnlyBind readOnly(WorkDir());
    if (!readOnly.ok())
        GTEST_SKIP() << "cannot make the work directory read-only here (no bind mount)";
    KwaCore::Host::ClearRecords();

    EXPECT_FALSE(Bool("rs:WriteDefaultWebServerConfig(2, true)"));
    EXPECT_EQ(EventTexts(3006), std::vector<std::string>{"create|" + WorkDir() + "/nginx.tmp|30 (" +
                                                         std::strerror(EROFS) + ")"});
    EXPECT_EQ(ReadFile(ConfigPath()), old);

    // nginx cannot open its logs there: the start fails before launching.
    EXPECT_FALSE(Bool("rs:StartWebServer(false)"));
    EXPECT_EQ(EventsWithId(9105).size(), 1u);
    EXPECT_EQ(EventsWithId(9104).size(), 0u);
    EXPECT_FALSE(FileExists(KwvpPidPath()));

    Run("ok, status, text = rs:CreateBundle()");
    EXPECT_EQ(String("tostring(ok) .. ' ' .. status .. ' ' .. text"), "false 500 Failed to create");
    EXPECT_TRUE(Bool("rs:RotateWebLogs() and rs:RotateWebLogs() and rs:Publish()"));
    EXPECT_EQ(ReadFile(WebRoot() + "/packages/p.txt"), "payload");

    // A new object on the read-only directory is made all the same.
    Run("other = SLB.RelayServer()");
    EXPECT_EQ(String("other:GetInstallDir()"), WebRoot());
    EXPECT_EQ(ReadFile(ConfigPath()), old);
}

} // namespace
} // namespace kwatest
