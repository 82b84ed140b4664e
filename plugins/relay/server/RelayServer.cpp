// Construction of the relay server object: the work directory layout, the
// certificate and the path settings published to the agent.
#include "RelayServer.h"

#include <wx/filename.h>

namespace Relay {

namespace {

// Creates the directory (with its missing parents) when it does not exist, then
// secures it whether it existed or not. Results are not looked at: a later
// operation that needs the directory reports its own failure.
void EnsureDirectory(const wxString& directory, bool flag) {
    if (!wxFileName::DirExists(directory)) {
        // Owner-only; 0700 rather than 0600 so that the owner can still create
        // the levels below. Securing sets the final mode.
        wxFileName::Mkdir(directory, 0700, wxPATH_MKDIR_FULL);
    }
    KwaCore::SecureFileOrDirectory(directory, flag);
}

// The directory part of F: volume, no trailing separator.
wxString DirectoryOf(const wxFileName& f) {
    return f.GetPath(wxPATH_GET_VOLUME);
}

void Publish(KwaCore::CDom* dom, const char* key, const wxString& value) {
    // The bytes that name the file, also where they are not UTF-8.
    dom->Set(key, static_cast<const char*>(value.fn_str()));
}

} // namespace

CRelayServer::CRelayServer() {
    KwaCore::CDom* dom = KwaCore::CDom::This();
    WebServerListenPort = 4122;
    HttpPort = 0;

    wxFileName f;
    f.SetPath(dom->GetPluginWorkdirWx("kwa_core"));
    f.SetName("kw_agent_kwm");
    f.SetExt("crt");
    SslCertPathCA = f.GetFullPath();

    f.SetPath(dom->GetPluginWorkdirWx("relay"));
    WorkDir = DirectoryOf(f);
    EnsureDirectory(WorkDir, true);

    f.SetPath(WorkDir);
    f.AppendDir("logs");
    WebServerLogDir = DirectoryOf(f);
    EnsureDirectory(WebServerLogDir, true);

    f.SetPath(WorkDir);
    f.AppendDir("temp");
    WebServerTempDir = DirectoryOf(f);
    EnsureDirectory(WebServerTempDir, false);

    f.SetPath(WorkDir);
    f.SetName("nginx");
    f.SetExt("conf");
    WebServerConfigPath = f.GetFullPath();
    f.SetExt("pid");
    WebServerPidPath = f.GetFullPath();
    f.SetName("kwvp");
    KwvpPidPath = f.GetFullPath();

    f.SetPath(WebServerLogDir);
    f.SetExt("log");
    f.SetName("error");
    WebServerErrorLogPath = f.GetFullPath();
    f.SetName("access");
    WebServerAccessLogPath = f.GetFullPath();

    f.SetPath(WorkDir);
    f.SetName("kw_relay");
    f.SetExt("pem");
    SslCertPath = f.GetFullPath();
    f.SetExt("key");
    SslKeyPath = f.GetFullPath();

    f.Clear();
    f.SetPath(WorkDir);
    f.AppendDir("www");
    InstallDir = DirectoryOf(f);
    EnsureDirectory(InstallDir, true);

    f.AppendDir("packages");
    EnsureDirectory(DirectoryOf(f), true);

    f.SetPath(InstallDir);
    f.AppendDir("cache");
    EnsureDirectory(DirectoryOf(f), true);

    f.SetPath(InstallDir);
    f.AppendDir("upload");
    UploadDir = DirectoryOf(f);

    f.SetPath(KwaCore::CDom::This()->GetWxString("app.path.bin"));
    BinDir = DirectoryOf(f);
    f.SetName("nginx");
    f.SetExt("exe");
    WebServerBinaryPath = f.GetFullPath();
    f.SetName("kwvp");
    KwvpBinaryPath = f.GetFullPath();

    f.Clear();
    f.SetPath(BinDir);
    f.AppendDir("lib");
    LibDir = DirectoryOf(f);
    f.SetName("openssl-fips.cnf");
    OpensslFipsConfigPath = f.GetFullPath();

    RelayUpload = 0;
    RelayVerifyClient = 0;
    EnableStrongCipher = false;

    MakeCertificate();

    Publish(dom, "kwp.RelayServer.path.webserver.config", WebServerConfigPath);
    Publish(dom, "kwp.RelayServer.path.webserver.errorLog", WebServerErrorLogPath);
    Publish(dom, "kwp.RelayServer.path.webserver.accessLog", WebServerAccessLogPath);
    Publish(dom, "kwp.RelayServer.path.webserver.root", InstallDir);
    Publish(dom, "kwp.RelayServer.path.webserver.binary", WebServerBinaryPath);
}

} // namespace Relay
