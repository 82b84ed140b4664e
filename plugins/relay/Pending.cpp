// TEMPORARY: weak placeholders so that relay.so loads while its subsystems are
// being written. Every real definition overrides its placeholder; this file goes
// once all of them exist.
#include "server/RelayServer.h"

#include <lua.hpp>

#define PENDING __attribute__((weak))

namespace Relay {
PENDING CRelayServer::CRelayServer() {}
PENDING wxString CRelayServer::GetInstallDir() const { return InstallDir; }
PENDING wxString CRelayServer::GetWebServerAccessLogPath() const { return WebServerAccessLogPath; }
PENDING wxString CRelayServer::GetWebServerConfigPath() const { return WebServerConfigPath; }
PENDING wxString CRelayServer::GetWebServerErrorLogPath() const { return WebServerErrorLogPath; }
PENDING unsigned short CRelayServer::GetWebServerListenPort() const { return WebServerListenPort; }
PENDING wxString CRelayServer::GetWebServerSslCertPathCA() const { return SslCertPathCA; }
PENDING int CRelayServer::UpdateConfig(lua_State* L) { return luaL_error(L, "pending"); }
PENDING bool CRelayServer::WriteDefaultWebServerConfig(int, bool) { return false; }
PENDING wxString CRelayServer::BuildDefaultWebServerConfig(int, bool) const { return wxString(); }
PENDING bool CRelayServer::ReplaceWebServerConfig(const wxString&) { return false; }
PENDING wxString CRelayServer::ToForwardSlashes(const wxString& path) const { return path; }
PENDING void CRelayServer::InitializeWebServerConfig() {}
PENDING bool CRelayServer::IsWebServerConfigSet() { return false; }
PENDING bool CRelayServer::ValidateWebServerConfig(wxString&) { return false; }
PENDING int CRelayServer::IsWebServerConfigValid(lua_State* L) { return luaL_error(L, "pending"); }
PENDING bool CRelayServer::EnableWebServer() { return false; }
PENDING bool CRelayServer::DisableWebServer() { return false; }
PENDING bool CRelayServer::SignalWebServer(int, wxString&) { return false; }
PENDING bool CRelayServer::ReloadWebServerConfig() { return false; }
PENDING wxString CRelayServer::BuildLaunchCommand() const { return wxString(); }
PENDING bool CRelayServer::StartWebServer(bool) { return false; }
PENDING bool CRelayServer::StopWebServer(bool) { return false; }
PENDING bool CRelayServer::CleanupWebServer() { return false; }
PENDING bool CRelayServer::KillWebServerByPidFile() { return false; }
PENDING bool CRelayServer::RotateWebLogs() { return false; }
PENDING void CRelayServer::RotateLogFile(const char*, int) {}
PENDING bool CRelayServer::MakeCertificate() { return false; }
PENDING bool CRelayServer::CheckCertificate() { return false; }
PENDING int CRelayServer::ExtractBundles(lua_State* L) { return luaL_error(L, "pending"); }
PENDING int CRelayServer::CreateBundleLua(lua_State* L) { return luaL_error(L, "pending"); }
PENDING bool CRelayServer::CreateBundle(int&, wxString&) { return false; }
PENDING void CRelayServer::CleanupUpdateBundles(bool) {}
PENDING bool CRelayServer::PublishPackages() { return false; }
PENDING bool CRelayServer::PublishFiles(const wxString&) { return false; }
PENDING bool _ValidateWebServerConfig(wxString, wxString&) { return false; }
} // namespace Relay
