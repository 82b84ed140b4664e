// The relay serving over HTTPS, driven as the agent's scripts drive it, with curl
// as the client. Every request goes to 127.0.0.1.
#include "../serving/RelayFixture.h"

#include <unistd.h>

namespace kwatest {
namespace {

unsigned rotateCalls = 0; // mirrors the module's process-wide call counter

class ServingTest : public RelayFixture {
protected:
    // Status code of a request (body to /dev/null unless options say otherwise).
    std::string Status(const std::string& path, const std::string& options = "") {
        return Curl(path, "-o /dev/null -w '%{http_code}' " + options).output;
    }
    void RotateOnce() {
        do {
            ++rotateCalls;
            EXPECT_TRUE(Bool("rs:RotateWebLogs()"));
        } while ((rotateCalls & 5) != 0);
    }
};

TEST_F(ServingTest, PackagesWithCacheHeadersRangesAndTheRelayCertificate) {
    std::string package;
    for (int i = 0; i < 4096; ++i)
        package += static_cast<char>((i * 7919) % 251);
    WriteFile(WebRoot() + "/packages/p/update.bin", package);
    WriteFile(WebRoot() + "/kwa/x.ac.zip", "zip");
    Run("rs:Publish()");
    ASSERT_TRUE(StartRelay());

    TempDir tmp;
    const CommandResult key =
        RunCommand("openssl x509 -noout -pubkey -in " + ShellQuote(WorkDir() + "/kw_relay.pem") +
                   " > " + ShellQuote(tmp / "relay.pub"));
    ASSERT_EQ(key.exitCode, 0) << key.output;
    // The served certificate carries the relay's key.
    const CommandResult got = Curl("/packages/p/update.bin",
                                   "--pinnedpubkey " + ShellQuote(tmp / "relay.pub") + " -D " +
                                       ShellQuote(tmp / "h") + " -o " + ShellQuote(tmp / "body"));
    ASSERT_EQ(got.exitCode, 0) << got.output;
    EXPECT_EQ(ReadFile(tmp / "body"), package);
    EXPECT_NE(ReadFile(tmp / "h").find("Cache-Control: max-age=172800"), std::string::npos);

    EXPECT_EQ(Curl("/packages/p/update.bin", "-r 100-199").output, package.substr(100, 100));
    EXPECT_EQ(Status("/packages/p/update.bin", "-r 100-199"), "206");
    EXPECT_EQ(Status("/packages/p/update.bin", "-r 5000-6000"), "416");

    const std::string headers = Curl("/kwa/x.ac.zip", "-D - -o /dev/null").output;
    EXPECT_NE(headers.find("Cache-Control: no-cache"), std::string::npos) << headers;
    EXPECT_NE(headers.find("Pragma: no-cache"), std::string::npos) << headers;
    EXPECT_EQ(Status("/packages/missing.bin"), "404");
    EXPECT_TRUE(
        WaitUntil([&] { return ReadFile(AccessLog()).find("TLSv1.3/") != std::string::npos; }));
}

TEST_F(ServingTest, DisableEnableAndReloadWhileServing) {
    // The site root; packages have a location of their own that the switch leaves open.
    WriteFile(WebRoot() + "/a.bin", "a");
    ASSERT_TRUE(StartRelay());
    const long master = PidIn(NginxPidPath());
    // 127.0.0.2 is a loopback address, but not one the disabled relay allows.
    const std::string other = "--interface 127.0.0.2";
    EXPECT_EQ(Status("/a.bin", other), "200");

    KwaCore::Host::ClearRecords();
    EXPECT_TRUE(Bool("rs:DisableWebServer()"));
    ASSERT_EQ(EventsWithId(9103).size(), 1u);
    EXPECT_FALSE(EventsWithId(9103)[0].hasText);
    EXPECT_TRUE(WaitUntil([&] { return Status("/a.bin", other) == "403"; }));
    EXPECT_EQ(Status("/a.bin"), "200");

    EXPECT_TRUE(Bool("rs:EnableWebServer()"));
    ASSERT_EQ(EventsWithId(9104).size(), 1u);
    EXPECT_FALSE(EventsWithId(9104)[0].hasText);
    EXPECT_TRUE(EventsWithId(9105).empty() && EventsWithId(9106).empty());
    EXPECT_TRUE(WaitUntil([&] { return Status("/a.bin", other) == "200"; }));

    KwaCore::Host::ClearRecords();
    EXPECT_TRUE(Bool("rs:ReloadWebServerConfig()"));
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(ToUtf8(Events()[0].text), "New configuration loaded");
    EXPECT_EQ(PidIn(NginxPidPath()), master);
    EXPECT_EQ(Status("/a.bin"), "200");
}

TEST_F(ServingTest, UploadsAreStoredAndReadBackButNeverOutsideTheStore) {
    Configure("relay_upload = 1");
    ASSERT_TRUE(StartRelay());
    EXPECT_EQ(Status("/data/dir/a.txt", "-X PUT --data-binary hello"), "201");
    EXPECT_EQ(Curl("/data/dir/a.txt").output, "hello");
    EXPECT_EQ(Status("/data/b.txt", "--data-binary world"), "201"); // POST
    EXPECT_EQ(Curl("/data/b.txt").output, "world");

    for (const char* path : {"/data/%2e%2e/%2e%2e/evil", "/data/..%2f..%2fevil", "/data/"}) {
        SCOPED_TRACE(path);
        const std::string status = Status(path, "--path-as-is -X PUT --data-binary x");
        EXPECT_EQ(status[0], '4') << status;
    }
    EXPECT_EQ(RunCommand("find " + ShellQuote(Home()) + " -name 'evil*'").output, "");
}

TEST_F(ServingTest, UploadsFollowClientVerification) {
    TempDir certs;
    const std::string make =
        "cd " + ShellQuote(certs.path()) +
        " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=agent"
        " -keyout c.key -out c.csr 2>&1"
        " && openssl x509 -req -in c.csr -CA " +
        ShellQuote(CaCert()) + " -CAkey " + ShellQuote(CaKey()) +
        " -days 2 -out c.crt 2>&1"
        " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -subj /CN=stranger -keyout s.key -out s.crt 2>&1";
    const CommandResult made = RunCommand(make);
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const std::string signedByCa =
        "--cert " + ShellQuote(certs / "c.crt") + " --key " + ShellQuote(certs / "c.key");
    const std::string stranger =
        "--cert " + ShellQuote(certs / "s.crt") + " --key " + ShellQuote(certs / "s.key");
    struct Case {
        int verify;
        std::string client;
        const char* status;
    };
    const Case cases[] = {
        {1, "", "403"},                         // optional, no certificate: not verified
        {1, signedByCa, "201"}, {2, "", "400"}, // on: nginx refuses the request itself
        {2, stranger, "400"},   {2, signedByCa, "201"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("verify " + std::to_string(c.verify) + " " + c.client);
        Configure("relay_upload = 1, relay_verify_client = " + std::to_string(c.verify));
        ASSERT_TRUE(StartRelay()); // running: rewritten and reloaded
        EXPECT_TRUE(WaitUntil([&] {
            return Status("/data/v.txt", "-X PUT --data-binary v " + c.client) == c.status;
        })) << Status("/data/v.txt", "-X PUT --data-binary v " + c.client);
    }
}

// An oversized access log is rotated and nginx reopens it; then a runaway error log
// stops the server, after the access log, oversized again, was rotated once more.
TEST_F(ServingTest, LogRotationAndTheRunawayErrorLogWhileServing) {
    WriteFile(WebRoot() + "/packages/a.bin", "a");
    ASSERT_TRUE(StartRelay());
    const long kwvp = PidIn(KwvpPidPath());
    const long master = PidIn(NginxPidPath());
    ASSERT_EQ(Status("/packages/a.bin"), "200");
    ASSERT_TRUE(WaitUntil([&] { return FileSize(AccessLog()) > 0; }));
    ASSERT_EQ(truncate(AccessLog().c_str(), 5242881), 0);

    Run("host.trace('RS', true)");
    RotateOnce();
    EXPECT_EQ(FileSize(WorkDir() + "/logs/access-01.log"), 5242881);
    EXPECT_TRUE(HasTraceStartingWith("Webserver log rotation success "));
    ASSERT_EQ(Status("/packages/a.bin?after"), "200");
    EXPECT_TRUE(
        WaitUntil([&] { return ReadFile(AccessLog()).find("?after") != std::string::npos; }));
    EXPECT_LT(FileSize(AccessLog()), 4096);

    ASSERT_EQ(truncate(ErrorLog().c_str(), 20971521), 0);
    ASSERT_EQ(truncate(AccessLog().c_str(), 5242881), 0);
    KwaCore::Host::ClearRecords();
    RotateOnce();
    ASSERT_EQ(EventsWithId(9107).size(), 1u);
    EXPECT_EQ(ToUtf8(EventsWithId(9107)[0].text), "Nginx error log protection triggered");
    EXPECT_FALSE(FileExists(ErrorLog()));
    EXPECT_FALSE(FileExists(WorkDir() + "/logs/error-01.log"));
    EXPECT_TRUE(FileExists(WorkDir() + "/logs/access-02.log")); // the access log came first
    EXPECT_FALSE(HasTrace("SignalWebServer(sig=3)")) << "no reopen after the protection";
    EXPECT_TRUE(WaitUntil([&] { return NginxGone(master) && !ProcessAlive(kwvp); }));
    EXPECT_FALSE(FileExists(KwvpPidPath()));
}

} // namespace
} // namespace kwatest
