// The configuration text, line by line: the default object in full, then each
// choice the text makes (protocols and ciphers, client certificates, listen
// lines, site root, uploads) as a table of sections.
#include "WebServerTest.h"

#include "webserver/ConfigText.h"

namespace kwatest {
namespace {

using Relay::CRelayServer;

// Windows-style paths with a blank: every path must come out with forward slashes
// (ToForwardSlashes is tested through them).
void UseWindowsPaths(CRelayServer& s) {
    const wxString w = L"C:\\Program Data\\relay";
    s.WebServerErrorLogPath = w + L"\\logs\\error.log";
    s.WebServerAccessLogPath = w + L"\\logs\\access.log";
    s.WebServerPidPath = w + L"\\nginx.pid";
    s.SslCertPath = w + L"\\kw_relay.pem";
    s.SslKeyPath = w + L"\\kw_relay.key";
    s.SslCertPathCA = L"C:\\Program Data\\kwa_core\\kw_agent_kwm.crt";
    s.InstallDir = w + L"\\www";
    s.WebServerTempDir = w + L"\\temp";
    s.UploadDir = w + L"\\www\\upload";
}

const char* const DefaultText =
    R"(# DO NOT EDIT - default web server configuration file (kwa_11.2) - DO NOT EDIT
pcre_jit on;
daemon                off;
worker_processes      1;
error_log            "C:/Program Data/relay/logs/error.log";
pid                  "C:/Program Data/relay/nginx.pid";
events { worker_connections 1024; }
http {
 server_tokens       off;
 default_type        application/octet-stream;
 keepalive_timeout   60;
log_format combined_ssl  $remote_addr - $remote_user [$time_local] $ssl_protocol/$ssl_cipher $request $status $body_bytes_sent $http_referer $http_user_agent;
 access_log            "C:/Program Data/relay/logs/access.log" combined_ssl;
 log_not_found       off;
 ssl_protocols  ;
 ssl_ciphers TLSv1.2+FIPS:kRSA+FIPS:!eNULL:!aNULL:!3DES:!MD5;
 server {
  ssl_certificate          "C:/Program Data/relay/kw_relay.pem";
  ssl_certificate_key      "C:/Program Data/relay/kw_relay.key";
  ssl_client_certificate  "C:/Program Data/kwa_core/kw_agent_kwm.crt";
  ssl_verify_client optional;
  listen             [::]:4122 ssl;
  listen             4122 ssl;
  root               "C:/Program Data/relay/www";
  client_body_temp_path "C:/Program Data/relay/temp/body_temp";
  proxy_temp_path       "C:/Program Data/relay/temp/proxy_temp";
  fastcgi_temp_path     "C:/Program Data/relay/temp/fastcgi_temp";
  location ~ /kwa/.+\.ac\.zip|/kwa/.+\.ac/.+\.json {
    expires -1;
    add_header Pragma "no-cache";
  }
  location ~ /packages/.+ {
    expires 48h;
  }
  location ~ /c22t.+ {
    expires 1m;
  }
  location / {
    allow              all;
  }
 }
}
)";

Relay::WebServer::ListenSettings BothVersions() {
    Relay::WebServer::ListenSettings listen;
    listen.v6Prefix = L"[::]:";
    listen.ipv4 = listen.ipv6 = true;
    return listen;
}

TEST_F(WebServerTest, DefaultObjectGivesTheDefaultTextExactly) {
    CRelayServer& s = Server();
    UseWindowsPaths(s);
    SetFips(false);
    const std::string text = ToUtf8(Relay::WebServer::BuildConfigText(s, 0, true, BothVersions()));
    EXPECT_EQ(text, DefaultText);
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

// Each choice the text makes, as the section of lines it writes.
TEST_F(WebServerTest, EachChoiceWritesItsLines) {
    struct Case {
        const char* protocols;
        bool strong, fips;
        int upload, verify, port, accessMode;
        bool clientCertificate;
        const char* after; // the section: the lines between these two
        const char* before;
        std::vector<std::string> expected;
        const char* trace;
    };
    const char* const log = " log_not_found       off;";
    const char* const key = "  ssl_certificate_key      \"C:/Program Data/relay/kw_relay.key\";";
    const char* const listen = "  listen             [::]:4122 ssl;";
    const char* const root = "  location / {";
    const char* const all = "    allow              all;";
    const std::string fipsCiphers = " ssl_ciphers TLSv1.2+FIPS:kRSA+FIPS:!eNULL:!aNULL:!3DES:!MD5;";
    const std::string strong =
        " ssl_ciphers 'ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256';";
    const std::string usual =
        " ssl_ciphers 'ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256:"
        "ECDHE-RSA-AES256-SHA384:ECDHE-RSA-AES128-SHA256';";
    const std::string prefer = " ssl_prefer_server_ciphers On;";
    const std::string ca =
        "  ssl_client_certificate  \"C:/Program Data/kwa_core/kw_agent_kwm.crt\";";
    const std::vector<std::string> loopback = {"    allow              127.0.0.1;",
                                               "    allow              ::1;",
                                               "    deny               all;", "  }"};
    auto uploads = [](const char* port, const char* verified) {
        return std::vector<std::string>{
            "  }",
            "  location /data/ {",
            "    client_body_in_file_only      on;",
            "    client_body_temp_path         \"C:/Program Data/relay/www/upload\";",
            "    client_max_body_size          1000m;",
            "    client_body_timeout           300;",
            std::string("    fastcgi_pass                  127.0.0.1:") + port + ";",
            "    fastcgi_param URI             $uri;",
            "    fastcgi_param REQUEST_METHOD  $request_method;",
            "    fastcgi_param CONTENT_LENGTH  $content_length;",
            "    fastcgi_param CONTENT_FILE    $request_body_file;",
            "    fastcgi_param CONTENT_ROOT    $document_root;",
            "    fastcgi_param HTTP_USER_AGENT $http_user_agent;",
            std::string("    fastcgi_param VERIFIED        ") + verified + ";",
            "  }",
            "  location /upload/ {",
            "    internal;",
            "  }"};
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"TLSv1.2", true, false, 0, 0, 4122, 0, true, log, " server {", {" ssl_protocols TLSv1.2 ;", prefer, strong}, "Strong ciphers are enabled"},
        {"TLSv1.2", false, false, 0, 0, 4122, 0, true, log, " server {", {" ssl_protocols TLSv1.2 ;", prefer, usual}, "Strong ciphers are not enabled"},
        {"TLSv1.2 TLSv1.3", true, false, 0, 0, 4122, 0, true, log, " server {", {" ssl_protocols TLSv1.2 TLSv1.3 ;", fipsCiphers}, nullptr},
        {"tlsv1.2", true, false, 0, 0, 4122, 0, true, log, " server {", {" ssl_protocols tlsv1.2 ;", fipsCiphers}, nullptr},
        {"TLSv1.2 ", true, false, 0, 0, 4122, 0, true, log, " server {", {" ssl_protocols TLSv1.2  ;", fipsCiphers}, nullptr},
        {"TLSv1.2", true, true, 0, 0, 4122, 0, true, log, " server {", {" ssl_protocols TLSv1.2;", fipsCiphers}, nullptr},
        {"TLSv1.3", false, true, 0, 0, 4122, 0, true, log, " server {", {" ssl_protocols TLSv1.2;", fipsCiphers}, nullptr},
        {"", false, false, 0, 1, 4122, 0, true, key, listen, {ca, "  ssl_verify_client optional;"}, nullptr},
        {"", false, false, 0, 2, 4122, 0, true, key, listen, {ca, "  ssl_verify_client on;"}, nullptr},
        {"", false, false, 0, 2, 4122, 0, false, key, listen, {}, nullptr},
        {"", false, false, 0, 0, 4122, 2, true, root, " }", loopback, nullptr},
        {"", false, false, 0, 0, 4122, -1, true, root, " }", loopback, nullptr},
        {"", false, false, 1, 0, 4122, 0, true, all, " }", uploads("4123", "SUCCESS"), nullptr},
        {"", false, false, -7, 1, 8443, 0, true, all, " }", uploads("8444", "$ssl_client_verify"), nullptr},
        {"", false, false, 1, 2, 4122, 0, false, all, " }", uploads("4123", "$ssl_client_verify"), nullptr},
    };
    // clang-format on
    CRelayServer& s = Server();
    UseWindowsPaths(s);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.protocols << "|" << c.strong << c.fips << "|" << c.upload << "|"
                     << c.verify << "|" << c.accessMode << c.clientCertificate);
        KwaCore::Host::ClearRecords();
        s.TlsProtocols = c.protocols;
        s.EnableStrongCipher = c.strong;
        s.RelayUpload = c.upload;
        s.RelayVerifyClient = c.verify;
        s.WebServerListenPort = static_cast<unsigned short>(c.port);
        SetFips(c.fips);
        const std::string text = ToUtf8(Relay::WebServer::BuildConfigText(
            s, c.accessMode, c.clientCertificate, BothVersions()));
        EXPECT_EQ(Between(text, c.after, c.before), c.expected);
        EXPECT_EQ(text.substr(text.size() - 9), "  }\n }\n}\n");
        EXPECT_TRUE(c.trace == nullptr || HasTrace(c.trace)) << c.trace;
    }
}

// The listen lines from the address settings and the IP versions the host reports.
TEST_F(WebServerTest, ListenLinesFollowAddressSettingsAndIpVersions) {
    struct Case {
        const char* versions;
        const char* v4;
        const char* v6;
        std::vector<std::string> expected;
        const char* trace;
    };
    const std::string l = "  listen             ";
    const std::vector<Case> cases = {
        {"4,6",
         "",
         "",
         {l + "[::]:4122 ssl;", l + "4122 ssl;"},
         "WebServer listening on IPv6 and IPv4"},
        {"4,6", "127.0.0.1", "[::1]", {l + "[::1]:4122 ssl;", l + "127.0.0.1:4122 ssl;"}, nullptr},
        {"4", "10.0.0.5", "[fd00::5]", {l + "10.0.0.5:4122 ssl;"}, "WebServer listening on IPv4"},
        {"6", "10.0.0.5", "[fd00::5]", {l + "[fd00::5]:4122 ssl;"}, "WebServer listening on IPv6"},
        {"6", "", "fd00::5", {l + "fd00::5:4122 ssl;"}, nullptr},
        {"none", "", "[fd00::5]", {l + "4122 ssl;"}, "WebServer listening on IPv4"},
    };
    CRelayServer& s = Server();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.versions) + " " + c.v4 + " " + c.v6);
        KwaCore::Host::ClearRecords();
        setenv("KWA_IP_VERSIONS", c.versions, 1);
        KwaCore::CDom::This()->Set("kwp.RelayServer.address.v4", c.v4);
        KwaCore::CDom::This()->Set("kwp.RelayServer.address.v6", c.v6);
        const std::string text = ToUtf8(s.BuildDefaultWebServerConfig(0, false));
        std::istringstream lines(text);
        std::vector<std::string> listen;
        for (std::string line; std::getline(lines, line);)
            if (line.compare(0, l.size(), l) == 0)
                listen.push_back(line);
        EXPECT_EQ(listen, c.expected);
        EXPECT_TRUE(c.trace == nullptr || HasTrace(c.trace)) << c.trace;
        EXPECT_TRUE(!*c.v4 || HasTrace(std::string("FeedSync v4 address is ") + c.v4));
    }
}

} // namespace
} // namespace kwatest
