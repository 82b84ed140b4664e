// Read-only accessors: each returns a copy of one member.
#include "RelayServer.h"

namespace Relay {

wxString CRelayServer::GetInstallDir() const {
    return InstallDir;
}

wxString CRelayServer::GetWebServerAccessLogPath() const {
    return WebServerAccessLogPath;
}

wxString CRelayServer::GetWebServerConfigPath() const {
    return WebServerConfigPath;
}

wxString CRelayServer::GetWebServerErrorLogPath() const {
    return WebServerErrorLogPath;
}

unsigned short CRelayServer::GetWebServerListenPort() const {
    return WebServerListenPort;
}

wxString CRelayServer::GetWebServerSslCertPathCA() const {
    return SslCertPathCA;
}

} // namespace Relay
