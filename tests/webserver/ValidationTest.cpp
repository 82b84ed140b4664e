// nginx's own test of the configuration: the files a manager's settings give,
// the raw IsWebServerConfigValid, and enabling and disabling with no web server.
#include "WebServerTest.h"

namespace kwatest {
namespace {

// A relay made through Lua, kept on 127.0.0.1 (nginx -t binds its listen sockets).
class NginxConfigTest : public WebServerTest {
protected:
    void SetUp() override {
        WebServerTest::SetUp();
        setenv("KWA_IP_VERSIONS", "4", 1);
        NewRelay();
        Run("host.set('kwp.RelayServer.address.v4', '127.0.0.1')");
        port_ = FreePortPair();
    }
    void MakeCa() {
        WriteFile(String("rs:GetWebServerSslCertPathCA()"), ReadFile(WorkDir() + "/kw_relay.pem"));
    }
    std::string Config() { return ReadFile(String("rs:GetWebServerConfigPath()")); }
    int port_ = 0;
};

const char* const ValidateCurrent =
    "valid, text = SLB.RelayServer.IsWebServerConfigValid(rs:GetWebServerConfigPath())";

TEST_F(NginxConfigTest, NginxAcceptsTheFilesOfAConfiguredRelay) {
    MakeCa();
    const std::string port = std::to_string(port_);
    struct Case {
        std::string settings;
        const char* write;
    };
    const std::vector<Case> cases = {
        {"tlsProtocols = 'TLSv1.2 TLSv1.3', enableStrongCipher = true", "0, true"},
        {"tlsProtocols = 'TLSv1.2', enableStrongCipher = false", "2, true"},
        {"tlsProtocols = 'TLSv1.2 TLSv1.3', relay_upload = 1, relay_verify_client = 0", "0, true"},
        {"tlsProtocols = 'TLSv1.2', relay_upload = 1, relay_verify_client = 1", "2, true"},
        {"tlsProtocols = 'TLSv1.2', relay_upload = 1, relay_verify_client = 2, "
         "enableStrongCipher = true",
         "0, true"},
        {"tlsProtocols = 'TLSv1.2 TLSv1.3', relay_upload = 1, relay_verify_client = 1", "0, false"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings + " / " + c.write);
        Run("rs:UpdateConfig{port = " + port + ", " + c.settings + "}");
        EXPECT_TRUE(Bool(std::string("rs:WriteDefaultWebServerConfig(") + c.write + ")"));
        Run(ValidateCurrent);
        EXPECT_TRUE(Bool("valid")) << String("text");
    }
}

TEST_F(NginxConfigTest, NginxRefusesTheDefaultObjectsFile) {
    MakeCa();
    EXPECT_TRUE(Bool("rs:WriteDefaultWebServerConfig(0, true)"));
    EXPECT_NE(Config().find("\n ssl_protocols  ;\n"), std::string::npos);
    Run(ValidateCurrent);
    EXPECT_FALSE(Bool("valid"));
    EXPECT_NE(String("text").find("ssl_protocols"), std::string::npos) << String("text");
}

TEST_F(NginxConfigTest, IsWebServerConfigValidNeedsAFileName) {
    Run("host.set('kwp.RelayServer.path.webserver.binary', '" + FakeNginx() + "')");
    for (const char* call :
         {"SLB.RelayServer.IsWebServerConfigValid()", "SLB.RelayServer.IsWebServerConfigValid(nil)",
          "SLB.RelayServer.IsWebServerConfigValid('')",
          "SLB.RelayServer.IsWebServerConfigValid({})",
          "rs:IsWebServerConfigValid('/some/nginx.conf')"}) {
        SCOPED_TRACE(call);
        Run(std::string("valid, text = ") + call);
        EXPECT_FALSE(Bool("valid"));
        EXPECT_EQ(String("text"), "no web server configuration filename specified");
    }
    EXPECT_EQ(FakeCalls(), "") << "no test is run";
}

TEST_F(NginxConfigTest, IsWebServerConfigValidTestsTheNamedFileWithThePublishedBinary) {
    struct Case {
        int exitCode;
        const char* output;
        const char* name;
        bool valid;
    };
    for (const Case& c :
         {Case{0, "", "'/a b/nginx.conf'", true},
          Case{1, "100% %s failed", "'/a b/nginx.conf'", false}, Case{0, "", "42", true}}) {
        SCOPED_TRACE(c.name);
        Run("host.set('kwp.RelayServer.path.webserver.binary', '" +
            FakeNginx(c.exitCode, c.output) + "')");
        RemoveTree(Home() + "/fake-nginx.sh.calls");
        Run(std::string("valid, text = SLB.RelayServer.IsWebServerConfigValid(") + c.name + ")");
        EXPECT_EQ(Bool("valid"), c.valid);
        EXPECT_EQ(String("text"), c.output);
        const std::string path = c.name[0] == '\'' ? "/a b/nginx.conf" : c.name;
        EXPECT_EQ(FakeCalls(), "[-t][-q][-c][" + path + "]\n");
        EXPECT_TRUE(HasTrace("Validation of " + path + (c.valid ? " succeeded: " : " failed: ") +
                             c.output));
    }
}

TEST_F(NginxConfigTest, EnableAndDisableWithNoWebServerRunning) {
    Run("rs:UpdateConfig{port = " + std::to_string(port_) + ", tlsProtocols = 'TLSv1.2'}");
    const std::string pidPath = WorkDir() + "/nginx.pid";

    EXPECT_FALSE(Bool("rs:ReloadWebServerConfig()"));
    EXPECT_EQ(EventTexts(9103), std::vector<std::string>{"Pid file does not exist"});

    // No client CA yet: nginx refuses the file, and no reload is tried.
    EXPECT_FALSE(Bool("rs:EnableWebServer()"));
    EXPECT_NE(Config().find("    allow              all;\n"), std::string::npos);
    ASSERT_EQ(EventTexts(9105).size(), 1u);
    EXPECT_NE(EventTexts(9105)[0].find("kw_agent_kwm.crt"), std::string::npos);

    // With it, the file passes and the reload fails: no web server runs.
    MakeCa();
    EXPECT_FALSE(Bool("rs:DisableWebServer()"));
    EXPECT_NE(Config().find("    deny               all;\n"), std::string::npos);
    ASSERT_EQ(EventTexts(9106).size(), 1u);
    EXPECT_NE(EventTexts(9106)[0].find(pidPath), std::string::npos) << EventTexts(9106)[0];
    EXPECT_FALSE(Bool("rs:EnableWebServer()"));
    EXPECT_NE(Config().find("    allow              all;\n"), std::string::npos);
    ASSERT_EQ(EventTexts(9105).size(), 2u);
    EXPECT_NE(EventTexts(9105)[1].find(pidPath), std::string::npos) << EventTexts(9105)[1];
    EXPECT_EQ(EventsWithId(9103).size(), 1u);
    EXPECT_TRUE(EventsWithId(9104).empty());

    // nginx -t leaves an empty pid file behind; the relay removes it, so a
    // stopped web server still shows as stopped.
    EXPECT_FALSE(FileExists(pidPath));
    EXPECT_FALSE(Bool("rs:ReloadWebServerConfig()"));
    EXPECT_EQ(EventTexts(9103),
              (std::vector<std::string>{"Pid file does not exist", "Pid file does not exist"}));
}

} // namespace
} // namespace kwatest
