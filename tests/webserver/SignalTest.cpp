// Signalling nginx: the command lines, with and without FIPS mode, the reload's
// events, and a real nginx on a loopback port reloaded and reopened.
#include "WebServerTest.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wx/log.h>

#include <cerrno>

namespace kwatest {
namespace {

TEST_F(WebServerTest, SignalCommandLines) {
    Relay::CRelayServer& s = Server();
    s.WebServerBinaryPath = wxString::FromUTF8(FakeNginx(0, "done").c_str());
    s.WorkDir = L"/w dir/relay";
    s.WebServerConfigPath = L"/w dir/relay/nginx.conf";
    s.LibDir = L"/b dir/lib";
    s.OpensslFipsConfigPath = L"/b dir/lib/openssl-fips.cnf";
    const std::string common = "[-p][/w dir/relay/][-c][/w dir/relay/nginx.conf][-s]";
    const std::string fips = "[-f][/b dir/lib][/b dir/lib/openssl-fips.cnf]";
    std::string expected;
    for (const bool fipsOn : {false, true}) {
        SetFips(fipsOn);
        int signal = 0;
        for (const char* name : {"stop", "quit", "reload", "reopen"}) {
            wxString output;
            EXPECT_TRUE(s.SignalWebServer(signal, output));
            EXPECT_EQ(ToUtf8(output), "done");
            EXPECT_TRUE(HasTrace("SignalWebServer(sig=" + std::to_string(signal++) + ")"));
            expected += common + "[" + name + "]" + (fipsOn ? fips : "") + "\n";
        }
    }
    EXPECT_EQ(FakeCalls(), expected);

    for (const int bad : {4, -1}) {
        wxString output;
        EXPECT_FALSE(s.SignalWebServer(bad, output));
        EXPECT_TRUE(HasLog(wxLOG_Error, "unknown WebServerSignal=" + std::to_string(bad)));
    }
    EXPECT_EQ(FakeCalls(), expected) << "nothing is run for an unknown signal";
}

TEST_F(WebServerTest, ReloadReportsItsOutcome) {
    struct Case {
        bool pidFile;
        int exitCode;
        const char* output;
        bool result;
        int event;
        const char* text;
    };
    Relay::CRelayServer& s = Server();
    const std::string pidPath = Home() + "/reload-test.pid";
    s.WebServerPidPath = wxString::FromUTF8(pidPath.c_str());
    for (const Case& c : {Case{false, 0, "", false, 9103, "Pid file does not exist"},
                          Case{true, 0, "", true, 9104, "New configuration loaded"},
                          Case{true, 1, "100% %d failed", false, 9103, "100% %d failed"},
                          Case{true, 1, "", false, 9103, ""}}) {
        SCOPED_TRACE(c.text);
        KwaCore::Host::ClearRecords();
        RemoveTree(pidPath);
        RemoveTree(Home() + "/fake-nginx.sh.calls");
        if (c.pidFile)
            WriteFile(pidPath, "1234567\n");
        s.WebServerBinaryPath = wxString::FromUTF8(FakeNginx(c.exitCode, c.output).c_str());
        EXPECT_EQ(s.ReloadWebServerConfig(), c.result);
        EXPECT_EQ(EventTexts(c.event), std::vector<std::string>{c.text});
        EXPECT_EQ(Events().size(), 1u);
        EXPECT_EQ(FakeCalls().find("[reload]") != std::string::npos, c.pidFile);
    }
}

// nginx started by the test itself, in the foreground (daemon off), in a
// process group of its own so that nothing of it can outlive the test.
class RunningNginxTest : public WebServerTest {
protected:
    void TearDown() override {
        if (master_ > 0) {
            kill(master_, SIGQUIT);
            if (!WaitUntil([&] { return waitpid(master_, nullptr, WNOHANG) == master_; },
                           std::chrono::seconds(5))) {
                kill(-master_, SIGKILL);
                waitpid(master_, nullptr, 0);
            }
            EXPECT_TRUE(WaitUntil([&] { return kill(-master_, 0) != 0 && errno == ESRCH; }))
                << "an nginx process is left";
        }
        WebServerTest::TearDown();
    }
    void Start(const Relay::CRelayServer& s) {
        const std::string nginx = BinDir() + "/nginx.exe";
        const std::string prefix = ToUtf8(s.WorkDir) + "/";
        const std::string config = ToUtf8(s.WebServerConfigPath);
        const char* argv[] = {nginx.c_str(), "-p", prefix.c_str(), "-c", config.c_str(), nullptr};
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        ASSERT_EQ(posix_spawn(&master_, nginx.c_str(), nullptr, &attributes,
                              const_cast<char* const*>(argv), environ),
                  0);
        posix_spawnattr_destroy(&attributes);
        ASSERT_TRUE(WaitUntil([&] {
            return KwaCore::ReadPidFile(s.WebServerPidPath) == static_cast<unsigned long>(master_);
        })) << ReadFile(ToUtf8(s.WebServerErrorLogPath));
    }
    pid_t master_ = -1;
};

TEST_F(RunningNginxTest, ReloadAndReopenReachTheRunningServer) {
    setenv("KWA_IP_VERSIONS", "4", 1);
    KwaCore::CDom::This()->Set("kwp.RelayServer.address.v4", "127.0.0.1");
    Relay::CRelayServer& s = Server();
    const int firstPort = FreePortPair();
    s.WebServerListenPort = static_cast<unsigned short>(firstPort);
    s.TlsProtocols = L"TLSv1.2 TLSv1.3";
    WriteFile(ToUtf8(s.SslCertPathCA), ReadFile(ToUtf8(s.SslCertPath))); // a client CA
    ASSERT_TRUE(s.WriteDefaultWebServerConfig(0, true));
    Start(s);
    EXPECT_TRUE(LoopbackConnects(firstPort));

    // Reload: nginx moves to the port of the new file.
    const int secondPort = FreePortPair();
    s.WebServerListenPort = static_cast<unsigned short>(secondPort);
    ASSERT_TRUE(s.WriteDefaultWebServerConfig(0, true));
    EXPECT_TRUE(s.ReloadWebServerConfig());
    EXPECT_EQ(EventTexts(9104), std::vector<std::string>{"New configuration loaded"});
    EXPECT_TRUE(
        WaitUntil([&] { return LoopbackConnects(secondPort) && !LoopbackConnects(firstPort); }));

    // Reopen: the access log, moved away, is made again.
    const std::string accessLog = ToUtf8(s.WebServerAccessLogPath);
    ASSERT_EQ(rename(accessLog.c_str(), (accessLog + ".1").c_str()), 0);
    wxString output;
    EXPECT_TRUE(s.SignalWebServer(Relay::Reopen, output)) << output;
    EXPECT_TRUE(WaitUntil([&] { return FileExists(accessLog); }));
}

} // namespace
} // namespace kwatest
