// The relay serving over HTTPS as the agent's scripts drive it; curl is the client.
#include "RelayFixture.h"

namespace kwatest {
namespace {

using ServingTest = RelayFixture;

// One relay through packages, uploads, disabling, reloads, log rotation and verification.
TEST_F(ServingTest, ServesPackagesAndUploadsThroughReloadsRotationAndVerification) {
    std::string package;
    for (int i = 0; i < 4096; ++i)
        package += static_cast<char>((i * 7919) % 251);
    const std::string p = "/packages/p/update.bin";
    WriteFile(WebRoot() + p, package);
    WriteFile(WebRoot() + "/kwa/x.ac.zip", "zip");
    WriteFile(WebRoot() + "/a.bin", "a"); // in the site root, which disabling closes
    Run("rs:Publish()");
    Configure("relay_upload = 1");
    ASSERT_TRUE(StartRelay());
    const long kwvp = PidIn(KwvpPidPath()), master = PidIn(NginxPidPath());

    // The relay's certificate, cache headers, ranges.
    const CommandResult got = Curl(p, "-D - -w '%{certs}'");
    ASSERT_EQ(got.exitCode, 0) << got.output;
    EXPECT_NE(got.output.find("\r\n\r\n" + package), std::string::npos);
    EXPECT_NE(got.output.find("Cache-Control: max-age=172800"), std::string::npos);
    EXPECT_NE(got.output.find(ReadFile(WorkDir() + "/kw_relay.pem")), std::string::npos);
    EXPECT_EQ(Curl(p, "-r 100-199").output, package.substr(100, 100));
    EXPECT_EQ(Status(p, "-r 5000-6000"), "416");
    EXPECT_NE(Curl("/kwa/x.ac.zip", "-D - -o /dev/null").output.find("Pragma: no-cache"),
              std::string::npos);
    EXPECT_EQ(Status("/packages/missing.bin"), "404");

    // Uploads stay in the store.
    EXPECT_EQ(Status("/data/dir/a.txt", "-X PUT --data-binary hello"), "201");
    EXPECT_EQ(Curl("/data/dir/a.txt").output, "hello");
    for (const char* path : {"/data/%2e%2e/%2e%2e/evil", "/data/..%2f..%2fevil", "/data/"})
        EXPECT_EQ(Status(path, "--path-as-is -X PUT --data-binary x")[0], '4') << path;
    EXPECT_EQ(RunCommand("find " + ShellQuote(Home()) + " -name 'evil*'").output, "");

    // 127.0.0.2 is a loopback address, but not one the disabled relay allows.
    const std::string other = "--interface 127.0.0.2";
    EXPECT_EQ(Status("/a.bin", other), "200");
    KwaCore::Host::ClearRecords();
    std::set<long> workers = ProcessesOf(WorkDir());
    workers.erase(master), workers.erase(kwvp);
    EXPECT_TRUE(Bool("rs:DisableWebServer()"));
    EXPECT_EQ(EventTexts(9103).size(), 1u);
    EXPECT_TRUE(WaitUntil([&] { return AllGone(workers) && Status("/a.bin", other) == "403"; }));
    EXPECT_EQ(Status("/a.bin"), "200");
    // A configuration nginx refuses is never reloaded: the site stays disabled.
    const std::string nginx = String("host.get('kwp.RelayServer.path.webserver.binary')");
    Run("host.set('kwp.RelayServer.path.webserver.binary', '/bin/false')");
    EXPECT_FALSE(Bool("rs:EnableWebServer()"));
    EXPECT_EQ(EventTexts(9105).size(), 1u);
    EXPECT_EQ(Status("/a.bin", other), "403");
    Run("host.set('kwp.RelayServer.path.webserver.binary', [=[" + nginx + "]=])");
    KwaCore::Host::ClearRecords();
    EXPECT_TRUE(Bool("rs:EnableWebServer()"));
    EXPECT_EQ(EventTexts(9104).size(), 1u);
    EXPECT_TRUE(WaitUntil([&] { return Status("/a.bin", other) == "200"; }));
    EXPECT_TRUE(Bool("rs:ReloadWebServerConfig()"));
    EXPECT_EQ(PidIn(NginxPidPath()), master);
    EXPECT_TRUE(EventTexts(9105).empty() && EventTexts(9106).empty());

    // An oversized access log is rotated and reopened; a runaway error log stops nginx.
    ASSERT_TRUE(WaitUntil([&] { return FileSize(AccessLog()) > 0; }));
    ASSERT_EQ(truncate(AccessLog().c_str(), 5242881), 0);
    RotateOnce();
    EXPECT_EQ(FileSize(WorkDir() + "/logs/access-01.log"), 5242881);
    EXPECT_TRUE(WaitUntil([&] { // until a worker has reopened it
        return Status(p + "?after") == "200" &&
               ReadFile(AccessLog()).find("?after") != std::string::npos;
    }));
    ASSERT_EQ(truncate(ErrorLog().c_str(), 20971521), 0);
    ASSERT_EQ(truncate(AccessLog().c_str(), 5242881), 0);
    Run("host.trace('RS', true)");
    KwaCore::Host::ClearRecords();
    RotateOnce();
    EXPECT_EQ(EventTexts(9107), std::vector<std::string>{"Nginx error log protection triggered"});
    EXPECT_FALSE(FileExists(ErrorLog()) || FileExists(WorkDir() + "/logs/error-01.log"));
    EXPECT_TRUE(FileExists(WorkDir() + "/logs/access-02.log")); // the access log came first
    EXPECT_FALSE(HasTrace("SignalWebServer(sig=3)")) << "no reopen after the protection";
    EXPECT_TRUE(WaitUntil([&] { return NginxGone(master) && !ProcessAlive(kwvp); }));

    // Verification "on": a certificate the CA signed; optional: unverified is refused.
    TempDir tmp;
    const CommandResult made = RunCommand(
        "cd " + ShellQuote(tmp.path()) +
        " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=agent"
        " -keyout c.key -out c.csr 2>&1 && openssl x509 -req -in c.csr -CA " +
        ShellQuote(CaCert()) + " -CAkey " + ShellQuote(CaKey()) +
        " -days 2 -out c.crt 2>&1"
        " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -subj /CN=stranger -keyout s.key -out s.crt 2>&1");
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const std::string signedByCa =
        "--cert " + ShellQuote(tmp / "c.crt") + " --key " + ShellQuote(tmp / "c.key");
    const std::string stranger =
        "--cert " + ShellQuote(tmp / "s.crt") + " --key " + ShellQuote(tmp / "s.key");
    const struct {
        int verify;
        std::string client;
        const char* status;
    } cases[] = {{1, "", "403"},
                 {1, signedByCa, "201"},
                 {2, "", "400"},
                 {2, stranger, "400"},
                 {2, signedByCa, "201"}};
    for (const auto& c : cases) {
        SCOPED_TRACE("verify " + std::to_string(c.verify) + " " + c.client);
        Configure("relay_upload = 1, relay_verify_client = " + std::to_string(c.verify));
        ASSERT_TRUE(StartRelay()); // started again, then rewritten and reloaded
        EXPECT_TRUE(WaitUntil([&] {
            return Status("/data/v.txt", "-X PUT --data-binary v " + c.client) == c.status;
        }));
    }
}

} // namespace
} // namespace kwatest
