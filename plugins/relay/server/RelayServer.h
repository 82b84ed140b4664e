// The relay server object: the web server's settings and every path of the
// relay's work directory, and the operations the agent's scripts call.
#pragma once

#include <KwaCore.h>

#include <wx/string.h>
#include <wx/thread.h>

#include <cstdint>

struct lua_State;

namespace Relay {

// Control requests turned into nginx "-s" commands.
enum WebServerSignal { Stop = 0, Quit = 1, Reload = 2, Reopen = 3 };

class CRelayServer {
public:
    CRelayServer();
    ~CRelayServer() = default;
    CRelayServer(const CRelayServer&) = delete;
    CRelayServer& operator=(const CRelayServer&) = delete;

    // --- getters (server/Getters.cpp) -------------------------------------
    wxString GetInstallDir() const;
    wxString GetWebServerAccessLogPath() const;
    wxString GetWebServerConfigPath() const;
    wxString GetWebServerErrorLogPath() const;
    unsigned short GetWebServerListenPort() const;
    wxString GetWebServerSslCertPathCA() const;

    // --- settings update (server/UpdateConfig.cpp); raw scripting function --
    static int UpdateConfig(lua_State* L);

    // --- configuration file (webserver/) -----------------------------------
    bool WriteDefaultWebServerConfig(int accessMode, bool requestClientCertificate);
    wxString BuildDefaultWebServerConfig(int accessMode, bool requestClientCertificate) const;
    bool ReplaceWebServerConfig(const wxString& text);
    wxString ToForwardSlashes(const wxString& path) const;
    void InitializeWebServerConfig();
    bool IsWebServerConfigSet();
    bool ValidateWebServerConfig(wxString& errorText);
    static int IsWebServerConfigValid(lua_State* L);
    bool EnableWebServer();
    bool DisableWebServer();

    // --- process control (webserver/) ---------------------------------------
    bool SignalWebServer(int signal, wxString& output);
    bool ReloadWebServerConfig();
    wxString BuildLaunchCommand() const;
    bool StartWebServer(bool force);
    bool StopWebServer(bool force);
    bool CleanupWebServer();
    bool KillWebServerByPidFile();
    // Whether the process's command line names WebServerBinaryPath (case aside).
    bool IsWebServerProcess(unsigned long pid) const;
    bool RotateWebLogs();
    void RotateLogFile(const char* path, int count);

    // --- certificate (certificate/) -----------------------------------------
    bool MakeCertificate();
    bool CheckCertificate();

    // --- bundles (bundles/) ---------------------------------------------------
    static int ExtractBundles(lua_State* L);
    static int CreateBundleLua(lua_State* L);
    bool CreateBundle(int& status, wxString& text);
    void CleanupUpdateBundles(bool flag);
    bool PublishPackages();
    bool PublishFiles(const wxString& directory);

    // --- members, in declaration order ----------------------------------------
    wxMutex UpdateLock;
    unsigned short WebServerListenPort = 4122;
    unsigned short HttpPort = 0;
    wxString WebServerAccessLogPath;
    wxString WebServerConfigPath;
    wxString WebServerErrorLogPath;
    wxString WebServerLogDir;
    wxString WebServerBinaryPath;
    wxString KwvpBinaryPath;
    wxString BinDir;
    wxString LibDir;
    wxString OpensslFipsConfigPath;
    wxString WebServerPidPath;
    wxString InstallDir;
    wxString WebServerTempDir;
    wxString UploadDir;
    wxString SslCertPath;
    wxString SslKeyPath;
    wxString SslCertPathCA;
    wxString WorkDir;
    wxString TlsProtocols;
    wxString KwvpPidPath;
    int32_t KwvpPid = 0;
    int32_t RelayUpload = 0;
    int32_t RelayVerifyClient = 0;
    bool EnableStrongCipher = false;
};

// Has the web server test a configuration file; output receives what it printed.
bool _ValidateWebServerConfig(wxString configPath, wxString& output);

} // namespace Relay
