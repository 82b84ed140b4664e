// The web server's configuration: its text, its safe replacement, nginx's test of it,
// and enabling and disabling with no web server running.
#include "LuaFixture.h"

#include "server/RelayServer.h"
#include "webserver/ConfigText.h"
#include "webserver/Fips.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kwatest {
namespace {

using Relay::CRelayServer;
using Strings = std::vector<std::string>;

class WebServerTest : public LuaFixture {
protected:
    void TearDown() override {
        Relay::WebServer::SetFipsQuery(nullptr);
        server_.reset();
        LuaFixture::TearDown();
    }
    CRelayServer& Server() {
        if (!server_)
            server_ = std::make_unique<CRelayServer>();
        return *server_;
    }
    std::string ErrnoText(int error) {
        return std::to_string(error) + " (" + std::strerror(error) + ")";
    }

private:
    std::unique_ptr<CRelayServer> server_;
};

// The lines each choice must and must not give; paths come out with forward slashes.
TEST_F(WebServerTest, ConfigurationTextForEachChoice) {
    CRelayServer& s = Server();
    const wxString w = L"C:\\Program Data\\relay";
    s.WebServerErrorLogPath = w + L"\\logs\\error.log";
    s.SslCertPathCA = L"C:\\Program Data\\kwa_core\\kw_agent_kwm.crt";
    s.InstallDir = w + L"\\www";
    s.WebServerTempDir = w + L"\\temp";
    s.UploadDir = w + L"\\www\\upload";
    Relay::WebServer::ListenSettings both;
    both.v6Prefix = L"[::]:";
    both.ipv4 = both.ipv6 = true;

    const std::string fipsCiphers = " ssl_ciphers TLSv1.2+FIPS:kRSA+FIPS:!eNULL:!aNULL:!3DES:!MD5;",
                      strong = " ssl_ciphers 'ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-"
                               "SHA256';",
                      usual = strong.substr(0, strong.size() - 2) +
                              ":ECDHE-RSA-AES256-SHA384:ECDHE-RSA-AES128-SHA256';",
                      prefer = " ssl_prefer_server_ciphers On;",
                      ca = "  ssl_client_certificate  \"C:/Program "
                           "Data/kwa_core/kw_agent_kwm.crt\";",
                      open = "    allow              all;", deny = "    deny               all;",
                      loopback = "    allow              127.0.0.1;\n    allow              ::1;",
                      data = "  location /data/ {";
    const struct {
        const char* protocols;
        bool strong, fips;
        int upload, verify, port, accessMode;
        bool clientCertificate;
        Strings present, absent;
    } cases[] = {
        // clang-format off
        {"", false, false, 0, 0, 4122, 0, true, {"error_log            \"C:/Program Data/relay/logs/error.log\";", " ssl_protocols  ;",
          fipsCiphers, ca + "\n  ssl_verify_client optional;", "  listen             [::]:4122 ssl;\n  listen             4122 ssl;",
          "  root               \"C:/Program Data/relay/www\";", "  fastcgi_temp_path     \"C:/Program Data/relay/temp/fastcgi_temp\";", open}, {deny, data}},
        {"TLSv1.2", true, false, 0, 0, 4122, 0, true, {" ssl_protocols TLSv1.2 ;", prefer, strong}, {fipsCiphers, usual}},
        {"TLSv1.2", false, false, 0, 0, 4122, 0, true, {prefer, usual}, {fipsCiphers, strong}},
        {"TLSv1.2 TLSv1.3", true, false, 0, 0, 4122, 0, true, {" ssl_protocols TLSv1.2 TLSv1.3 ;", fipsCiphers}, {prefer}},
        {"tlsv1.2", true, false, 0, 0, 4122, 0, true, {fipsCiphers}, {prefer}},
        {"TLSv1.2 ", true, false, 0, 0, 4122, 0, true, {fipsCiphers}, {prefer}},
        {"TLSv1.2", true, true, 0, 0, 4122, 0, true, {" ssl_protocols TLSv1.2;", fipsCiphers}, {prefer}},
        {"TLSv1.3", false, true, 0, 0, 4122, 0, true, {" ssl_protocols TLSv1.2;", fipsCiphers}, {}},
        {"", false, false, 0, 2, 4122, 0, true, {ca + "\n  ssl_verify_client on;"}, {}},
        {"", false, false, 0, 2, 4122, 0, false, {}, {ca, "ssl_verify_client"}},
        {"", false, false, 0, 0, 4122, 2, true, {loopback + "\n" + deny}, {open}},
        {"", false, false, 0, 0, 4122, -1, true, {loopback + "\n" + deny}, {open}},
        {"", false, false, 1, 0, 4122, 0, true, {open + "\n  }\n" + data + "\n    client_body_in_file_only      on;\n" +
          "    client_body_temp_path         \"C:/Program Data/relay/www/upload\";", "    fastcgi_pass                  127.0.0.1:4123;", "    fastcgi_param VERIFIED        SUCCESS;",
          "    fastcgi_param CONTENT_FILE    $request_body_file;", "  }\n  location /upload/ {\n    internal;\n  }\n }\n}"}, {}},
        {"", false, false, -7, 1, 8443, 0, true, {"127.0.0.1:8444;", "    fastcgi_param VERIFIED        $ssl_client_verify;"}, {}},
        {"", false, false, 1, 2, 4122, 0, false, {"$ssl_client_verify;"}, {}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.protocols << "|" << c.strong << c.fips << "|" << c.upload << "|"
                     << c.verify << "|" << c.accessMode << c.clientCertificate);
        s.TlsProtocols = c.protocols;
        s.EnableStrongCipher = c.strong;
        s.RelayUpload = c.upload;
        s.RelayVerifyClient = c.verify;
        s.WebServerListenPort = static_cast<unsigned short>(c.port);
        Relay::WebServer::SetFipsQuery(c.fips ? +[] { return true; } : +[] { return false; });
        const std::string text =
            ToUtf8(Relay::WebServer::BuildConfigText(s, c.accessMode, c.clientCertificate, both));
        for (const std::string& line : c.present)
            EXPECT_NE(text.find(line + "\n"), std::string::npos) << line;
        for (const std::string& line : c.absent)
            EXPECT_EQ(text.find(line), std::string::npos) << line;
        EXPECT_EQ(text.find(data) != std::string::npos, c.upload != 0);
    }
}

// The listen lines follow the address settings and the IP versions the host has.
TEST_F(WebServerTest, ListenLinesFollowAddressSettingsAndIpVersions) {
    const std::string l = "  listen             ";
    const struct {
        const char *versions, *v4, *v6;
        Strings expected;
    } cases[] = {
        {"4,6", "", "", {l + "[::]:4122 ssl;", l + "4122 ssl;"}},
        {"4,6", "127.0.0.1", "[::1]", {l + "[::1]:4122 ssl;", l + "127.0.0.1:4122 ssl;"}},
        {"4", "10.0.0.5", "[fd00::5]", {l + "10.0.0.5:4122 ssl;"}},
        {"6", "", "fd00::5", {l + "fd00::5:4122 ssl;"}},
        {"none", "", "[fd00::5]", {l + "4122 ssl;"}},
    };
    for (const auto& c : cases) {
        setenv("KWA_IP_VERSIONS", c.versions, 1);
        KwaCore::CDom::This()->Set("kwp.RelayServer.address.v4", c.v4);
        KwaCore::CDom::This()->Set("kwp.RelayServer.address.v6", c.v6);
        Strings listen;
        for (const std::string& line :
             Lines(ToUtf8(Server().BuildDefaultWebServerConfig(0, false))))
            if (line.compare(0, l.size(), l) == 0)
                listen.push_back(line);
        EXPECT_EQ(listen, c.expected) << c.versions << " " << c.v4 << " " << c.v6;
    }
}

// nginx is signalled in its prefix with its configuration, with FIPS on with the FIPS
// module's configuration too; other signal numbers are refused.
TEST_F(WebServerTest, SignalCommandLines) {
    CRelayServer& s = Server();
    const std::string fake = Home() + "/fake-nginx.sh"; // appends its [arguments] to a file
    WriteFile(fake, "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done >> \"$0.calls\"\n"
                    "echo >> \"$0.calls\"\n");
    chmod(fake.c_str(), 0755);
    s.WebServerBinaryPath = ToWx(fake);
    s.WorkDir = L"/w dir/relay";
    s.WebServerConfigPath = L"/w dir/relay/nginx.conf";
    s.LibDir = L"/b dir/lib";
    s.OpensslFipsConfigPath = L"/b dir/lib/openssl-fips.cnf";
    const char* const names[] = {"stop", "quit", "reload", "reopen"};
    std::string expected;
    wxString output;
    for (const bool fips : {false, true}) {
        Relay::WebServer::SetFipsQuery(fips ? +[] { return true; } : +[] { return false; });
        for (int signal = 0; signal < 4; ++signal) {
            EXPECT_TRUE(s.SignalWebServer(signal, output));
            expected += std::string("[-p][/w dir/relay/][-c][/w dir/relay/nginx.conf][-s][") +
                        names[signal] + "]" +
                        (fips ? "[-f][/b dir/lib][/b dir/lib/openssl-fips.cnf]\n" : "\n");
        }
    }
    EXPECT_FALSE(s.SignalWebServer(4, output) || s.SignalWebServer(-1, output));
    EXPECT_EQ(ReadFile(fake + ".calls"), expected);
}

// The file is replaced whole, as UTF-8 and private; each refused write keeps the
// file in force and names the step and its error.
TEST_F(WebServerTest, EachRefusedWriteKeepsTheFileInForce) {
    CRelayServer& s = Server();
    s.InstallDir += L"/caf\u00e9";
    const std::string config = ToUtf8(s.WebServerConfigPath), temp = WorkDir() + "/nginx.tmp";
    WriteFile(temp, std::string(100000, 'x')); // left by an earlier run, longer than the text
    for (const int accessMode : {2, 0}) {      // moved into place, then replacing the file in force
        ASSERT_TRUE(s.WriteDefaultWebServerConfig(accessMode, true));
        EXPECT_EQ(ReadFile(config), ToUtf8(s.BuildDefaultWebServerConfig(accessMode, true)));
        EXPECT_FALSE(FileExists(temp));
    }
    EXPECT_NE(ReadFile(config).find("/caf\xc3\xa9\";\n"), std::string::npos);
    EXPECT_EQ(FileMode(config), 0600u);
    EXPECT_TRUE(EventTexts(3006).empty());
    const std::string before = ReadFile(config), outside = Home() + "/outside";
    WriteFile(outside, "untouched");
    const struct {
        const char* name;
        std::function<void()> arrange;
        std::string event;
    } cases[] = {
        {"missing directory", [&] { s.WebServerConfigPath = ToWx(WorkDir() + "/missing/nginx"); },
         "create|" + WorkDir() + "/missing/nginx.tmp|" + ErrnoText(ENOENT)},
        {"link as the temporary file", [&] { symlink(outside.c_str(), temp.c_str()); },
         "create|" + temp + "|" + ErrnoText(ELOOP)},
        {"surrogate", [&] { s.TlsProtocols = wxString(L"TLSv1.2 ") + wxUniChar(0xD800); },
         "write|" + temp + "|" + ErrnoText(EILSEQ)},
        {"beyond U+10FFFF", [&] { s.TlsProtocols = wxString(L"x") + wxUniChar(0x110000); },
         "write|" + temp + "|" + ErrnoText(EILSEQ)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KwaCore::Host::ClearRecords();
        c.arrange();
        EXPECT_FALSE(s.WriteDefaultWebServerConfig(0, true));
        EXPECT_EQ(EventTexts(3006), Strings{c.event});
        EXPECT_EQ(ReadFile(config), before);
        EXPECT_EQ(ReadFile(outside), "untouched");
        s.WebServerConfigPath = ToWx(config);
        s.TlsProtocols = L"";
        RemoveTree(temp);
    }
    // A directory in the configuration's place: the rename fails, the text stays beside it.
    RemoveTree(config);
    MakeDirs(config + "/inside");
    KwaCore::Host::ClearRecords();
    EXPECT_FALSE(s.WriteDefaultWebServerConfig(0, true));
    EXPECT_EQ(EventTexts(3006),
              Strings{"rename|" + temp + " -> " + config + "|" + ErrnoText(EISDIR)});
    EXPECT_EQ(ReadFile(temp), ToUtf8(s.BuildDefaultWebServerConfig(0, true)));
}

// nginx tests the relay's files for each choice, and any other file without leaving
// its pid file changed (none, empty, an id) or touching the relay's own; enabling and
// disabling with no web server running.
TEST_F(WebServerTest, NginxTestsTheFilesAndNoWebServerRuns) {
    setenv("KWA_IP_VERSIONS", "4", 1);
    NewRelay();
    Run("host.set('kwp.RelayServer.address.v4', '127.0.0.1')");
    const std::string ca = String("rs:GetWebServerSslCertPathCA()");
    WriteFile(ca, ReadFile(WorkDir() + "/kw_relay.pem")); // nginx -t reads the client CA
    const std::string port = std::to_string(FreePortPair()), config = WorkDir() + "/nginx.conf";
    const auto valid = [&](const std::string& path) {
        Run("valid, text = SLB.RelayServer.IsWebServerConfigValid([[" + path + "]])");
        return Bool("valid");
    };
    // The default object has no protocols: nginx refuses its file.
    EXPECT_TRUE(Bool("rs:WriteDefaultWebServerConfig(0, true)"));
    EXPECT_FALSE(valid(config));
    EXPECT_NE(String("text").find("ssl_protocols"), std::string::npos) << String("text");
    const struct {
        std::string settings;
        const char* write;
    } cases[] = {
        {"tlsProtocols = 'TLSv1.2 TLSv1.3', enableStrongCipher = true", "0, true"},
        {"tlsProtocols = 'TLSv1.2', relay_upload = 1, relay_verify_client = 1", "2, true"},
        {"tlsProtocols = 'TLSv1.2', relay_upload = 1, relay_verify_client = 2", "0, true"},
        {"tlsProtocols = 'TLSv1.2 TLSv1.3', relay_upload = 1, relay_verify_client = 1", "0, false"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings + " / " + c.write);
        Run("rs:UpdateConfig{port = " + port + ", " + c.settings + "}");
        EXPECT_TRUE(Bool(std::string("rs:WriteDefaultWebServerConfig(") + c.write + ")"));
        EXPECT_TRUE(valid(config)) << String("text");
    }
    const std::string pid = Home() + "/tested.pid", own = WorkDir() + "/nginx.pid";
    WriteFile(Home() + "/tested.conf", "pid \"" + pid + "\"; # pid /not/this;\nerror_log " +
                                           Home() + "/e.log;\nevents { worker_connections 16; }\n");
    for (const auto& [before, ownBefore] :
         {std::pair<const char*, bool>{"none", false}, {"", true}, {"123\n", false}}) {
        SCOPED_TRACE(before);
        RemoveTree(pid);
        RemoveTree(own);
        if (std::string(before) != "none")
            WriteFile(pid, before);
        if (ownBefore)
            WriteFile(own, "");
        EXPECT_TRUE(valid(Home() + "/tested.conf")) << String("text");
        EXPECT_EQ(FileExists(pid) ? ReadFile(pid) : "none", before);
        EXPECT_EQ(FileExists(own), ownBefore);
    }
    ASSERT_EQ(mkfifo((Home() + "/fifo.conf").c_str(), 0600), 0);
    EXPECT_FALSE(valid(Home() + "/fifo.conf"));
    EXPECT_EQ(String("text"), Home() + "/fifo.conf is not a regular file");

    RemoveTree(ca);
    Run("rs:UpdateConfig{port = " + port + ", tlsProtocols = 'TLSv1.2'}");
    KwaCore::Host::ClearRecords();
    EXPECT_FALSE(Bool("rs:ReloadWebServerConfig()"));
    EXPECT_EQ(EventTexts(9103), Strings{"Pid file does not exist"});
    // No client CA: nginx refuses the file, and no reload is tried.
    EXPECT_FALSE(Bool("rs:EnableWebServer()"));
    ASSERT_EQ(EventTexts(9105).size(), 1u);
    EXPECT_NE(EventTexts(9105)[0].find("kw_agent_kwm.crt"), std::string::npos);
    // With it the file passes, and the reload fails: no web server runs.
    WriteFile(ca, ReadFile(WorkDir() + "/kw_relay.pem"));
    EXPECT_FALSE(Bool("rs:DisableWebServer()"));
    EXPECT_NE(ReadFile(config).find("    deny               all;\n"), std::string::npos);
    ASSERT_EQ(EventTexts(9106).size(), 1u);
    EXPECT_NE(EventTexts(9106)[0].find(own), std::string::npos);
    EXPECT_FALSE(Bool("rs:EnableWebServer()"));
    EXPECT_NE(ReadFile(config).find("    allow              all;\n"), std::string::npos);
    ASSERT_EQ(EventTexts(9105).size(), 2u);
    EXPECT_NE(EventTexts(9105)[1].find(own), std::string::npos);
    EXPECT_TRUE(EventTexts(9104).empty());
    // nginx -t leaves an empty pid file: removed, unless it was there before.
    EXPECT_FALSE(FileExists(own));
    WriteFile(own, "");
    Run("rs:EnableWebServer()");
    EXPECT_TRUE(FileExists(own));
}

} // namespace
} // namespace kwatest
