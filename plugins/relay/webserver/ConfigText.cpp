// The text of the web server's default configuration file: one HTTPS server with
// the relay's certificate, its listen lines, the web root with per-location cache
// lifetimes, the site root's access rule and, when uploads are on, the upload
// location that hands request bodies to kwvp over FastCGI.
#include "ConfigText.h"

#include "Fips.h"
#include "server/Trace.h"

#include <wx/filename.h>


namespace Relay {

// Built when the module loads and kept for its lifetime.
const wxString DefaultConfigHeader(
    L"# DO NOT EDIT - default web server configuration file (kwa_11.2) - DO NOT EDIT");

namespace WebServer {

namespace {

const char* const TraceName = "Relay::CRelayServer::WriteDefaultWebServerConfig";

const wchar_t* const FipsCiphers = L" ssl_ciphers TLSv1.2+FIPS:kRSA+FIPS:!eNULL:!aNULL:!3DES:!MD5;";
const wchar_t* const StrongCiphers =
    L" ssl_ciphers 'ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256';";
const wchar_t* const DefaultCiphers =
    L" ssl_ciphers 'ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256:"
    L"ECDHE-RSA-AES256-SHA384:ECDHE-RSA-AES128-SHA256';";

// Appends lines to the text, each ending with a single line feed.
class ConfigWriter {
public:
    explicit ConfigWriter(const CRelayServer& server) : server_(server) {}

    void Line(const wxString& line) {
        text_ += line;
        text_ += L'\n';
    }
    // The prefix, then the path with forward slashes between double quotes, then ";".
    void PathLine(const wchar_t* prefix, const wxString& path, const wchar_t* suffix = L";") {
        text_ += prefix;
        text_ += L'"';
        text_ += server_.ToForwardSlashes(path);
        text_ += L'"';
        text_ += suffix;
        text_ += L'\n';
    }
    wxString& Text() { return text_; }

private:
    const CRelayServer& server_;
    wxString text_;
};

// Exactly TLSv1.2: case matters, nothing is trimmed. Compared as characters, so
// a text without a UTF-8 form is simply another text (and refused when written).
bool IsExactlyTls12(const wxString& protocols) {
    return protocols == L"TLSv1.2";
}

// A directory inside the web server's temporary directory.
wxString TempSubdirectory(const wxString& tempDir, const wchar_t* name) {
    return tempDir + wxFileName::GetPathSeparator() + name;
}

void AppendProtocolsAndCiphers(ConfigWriter& out, const CRelayServer& server) {
    const bool tls12 = IsExactlyTls12(server.TlsProtocols);
    if (IsFipsEnabled())
        out.Line(L" ssl_protocols TLSv1.2;");
    else
        out.Line(L" ssl_protocols " + server.TlsProtocols + L" ;");

    // OpenSSL is asked again for the cipher choice.
    if (IsFipsEnabled() || !tls12) {
        out.Line(FipsCiphers);
        return;
    }
    out.Line(L" ssl_prefer_server_ciphers On;");
    if (server.EnableStrongCipher) {
        RS_TRACE(TraceName, "Strong ciphers are enabled");
        out.Line(StrongCiphers);
    } else {
        RS_TRACE(TraceName, "Strong ciphers are not enabled");
        out.Line(DefaultCiphers);
    }
}

void AppendListenLines(ConfigWriter& out, const CRelayServer& server,
                       const ListenSettings& listen) {
    const wxString port = wxString::Format("%d", static_cast<int>(server.WebServerListenPort));
    const wxString v6Line = L"  listen             " + listen.v6Prefix + port + L" ssl;";
    const wxString v4Line = L"  listen             " + listen.v4Prefix + port + L" ssl;";
    if (listen.ipv4 && listen.ipv6) {
        RS_TRACE(TraceName, "WebServer listening on IPv6 and IPv4");
        out.Line(v6Line);
        out.Line(v4Line);
    } else if (listen.ipv6) {
        RS_TRACE(TraceName, "WebServer listening on IPv6");
        out.Line(v6Line);
    } else {
        // IPv4 alone, and also when the host reports neither version usable.
        RS_TRACE(TraceName, "WebServer listening on IPv4");
        out.Line(v4Line);
    }
}

void AppendUploadLocations(ConfigWriter& out, const CRelayServer& server) {
    const int fastcgiPort = static_cast<int>(server.WebServerListenPort) + 1;
    out.Line(L"  location /data/ {");
    out.Line(L"    client_body_in_file_only      on;");
    out.PathLine(L"    client_body_temp_path         ", server.UploadDir);
    out.Line(L"    client_max_body_size          1000m;");
    out.Line(L"    client_body_timeout           300;");
    out.Line(wxString::Format(L"    fastcgi_pass                  127.0.0.1:%d;", fastcgiPort));
    out.Line(L"    fastcgi_param URI             $uri;");
    out.Line(L"    fastcgi_param REQUEST_METHOD  $request_method;");
    out.Line(L"    fastcgi_param CONTENT_LENGTH  $content_length;");
    out.Line(L"    fastcgi_param CONTENT_FILE    $request_body_file;");
    out.Line(L"    fastcgi_param CONTENT_ROOT    $document_root;");
    out.Line(L"    fastcgi_param HTTP_USER_AGENT $http_user_agent;");
    if (server.RelayVerifyClient == 0)
        out.Line(L"    fastcgi_param VERIFIED        SUCCESS;");
    else
        out.Line(L"    fastcgi_param VERIFIED        $ssl_client_verify;");
    out.Line(L"  }");
    out.Line(L"  location /upload/ {");
    out.Line(L"    internal;");
    out.Line(L"  }");
}

} // namespace

wxString BuildConfigText(const CRelayServer& server, int accessMode, bool requestClientCertificate,
                         const ListenSettings& listen) {
    ConfigWriter out(server);
    out.Line(DefaultConfigHeader);
    out.Line(L"pcre_jit on;");
    out.Line(L"daemon                off;");
    out.Line(L"worker_processes      1;");
    out.PathLine(L"error_log            ", server.WebServerErrorLogPath);
    out.PathLine(L"pid                  ", server.WebServerPidPath);
    out.Line(L"events { worker_connections 1024; }");
    out.Line(L"http {");
    out.Line(L" server_tokens       off;");
    out.Line(L" default_type        application/octet-stream;");
    out.Line(L" keepalive_timeout   60;");
    out.Line(L"log_format combined_ssl  $remote_addr - $remote_user [$time_local] "
             L"$ssl_protocol/$ssl_cipher $request $status $body_bytes_sent $http_referer "
             L"$http_user_agent;");
    out.PathLine(L" access_log            ", server.WebServerAccessLogPath, L" combined_ssl;");
    out.Line(L" log_not_found       off;");
    AppendProtocolsAndCiphers(out, server);
    out.Line(L" server {");
    out.PathLine(L"  ssl_certificate          ", server.SslCertPath);
    out.PathLine(L"  ssl_certificate_key      ", server.SslKeyPath);
    if (requestClientCertificate) {
        out.PathLine(L"  ssl_client_certificate  ", server.SslCertPathCA);
        out.Line(server.RelayVerifyClient == 2 ? L"  ssl_verify_client on;"
                                               : L"  ssl_verify_client optional;");
    }
    AppendListenLines(out, server, listen);
    out.PathLine(L"  root               ", server.InstallDir);
    out.PathLine(L"  client_body_temp_path ",
                 TempSubdirectory(server.WebServerTempDir, L"body_temp"));
    out.PathLine(L"  proxy_temp_path       ",
                 TempSubdirectory(server.WebServerTempDir, L"proxy_temp"));
    out.PathLine(L"  fastcgi_temp_path     ",
                 TempSubdirectory(server.WebServerTempDir, L"fastcgi_temp"));
    out.Line(L"  location ~ /kwa/.+\\.ac\\.zip|/kwa/.+\\.ac/.+\\.json {");
    out.Line(L"    expires -1;");
    out.Line(L"    add_header Pragma \"no-cache\";");
    out.Line(L"  }");
    out.Line(L"  location ~ /packages/.+ {");
    out.Line(L"    expires 48h;");
    out.Line(L"  }");
    out.Line(L"  location ~ /c22t.+ {");
    out.Line(L"    expires 1m;");
    out.Line(L"  }");
    out.Line(L"  location / {");
    if (accessMode == 0) {
        out.Line(L"    allow              all;");
    } else {
        out.Line(L"    allow              127.0.0.1;");
        out.Line(L"    allow              ::1;");
        out.Line(L"    deny               all;");
    }
    out.Line(L"  }");
    if (server.RelayUpload != 0)
        AppendUploadLocations(out, server);
    out.Line(L" }");
    out.Line(L"}");
    return out.Text();
}

} // namespace WebServer

wxString CRelayServer::BuildDefaultWebServerConfig(int accessMode,
                                                   bool requestClientCertificate) const {
    return WebServer::BuildConfigText(*this, accessMode, requestClientCertificate,
                                      WebServer::ReadListenSettings(*this));
}

wxString CRelayServer::ToForwardSlashes(const wxString& path) const {
    wxString converted(path);
    converted.Replace(L"\\", L"/");
    return converted;
}

} // namespace Relay
