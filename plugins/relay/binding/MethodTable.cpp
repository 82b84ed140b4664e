// The method table of SLB.RelayServer, in registration order.
#include "Binding.h"
#include "Dispatch.h"

namespace Relay {
namespace Binding {

namespace {

const SignatureInfo VoidBool{"void (bool)"};
const SignatureInfo BoolVoid{"bool ()"};
const SignatureInfo VoidStringInt{"void (const char*, int)"};
const SignatureInfo StringConst{"wxString () const"};
const SignatureInfo PortConst{"unsigned short () const"};
const SignatureInfo BoolBool{"bool (bool)"};
const SignatureInfo BoolIntBool{"bool (int, bool)"};

template <typename MemberFunction>
void Bound(lua_State* L, const char* name, MemberFunction member, const SignatureInfo& signature) {
    PushBoundMethod(L, member, &signature);
    lua_setfield(L, -2, name);
}

void Raw(lua_State* L, const char* name, lua_CFunction function) {
    lua_pushcfunction(L, function);
    lua_setfield(L, -2, name);
}

} // namespace

void RegisterMethods(lua_State* L) {
    using S = CRelayServer;
    Raw(L, "CreateBundle", &S::CreateBundleLua);
    Bound(L, "CleanupUpdateBundles", &S::CleanupUpdateBundles, VoidBool);
    Bound(L, "DisableWebServer", &S::DisableWebServer, BoolVoid);
    Bound(L, "RotateWebLogs", &S::RotateWebLogs, BoolVoid);
    Bound(L, "RotateLogFile", &S::RotateLogFile, VoidStringInt);
    Bound(L, "EnableWebServer", &S::EnableWebServer, BoolVoid);
    Bound(L, "GetInstallDir", &S::GetInstallDir, StringConst);
    Bound(L, "GetWebServerAccessLogPath", &S::GetWebServerAccessLogPath, StringConst);
    Bound(L, "GetWebServerErrorLogPath", &S::GetWebServerErrorLogPath, StringConst);
    Bound(L, "GetWebServerListenPort", &S::GetWebServerListenPort, PortConst);
    Bound(L, "GetWebServerConfigPath", &S::GetWebServerConfigPath, StringConst);
    Bound(L, "GetWebServerSslCertPathCA", &S::GetWebServerSslCertPathCA, StringConst);
    Bound(L, "Publish", &S::PublishPackages, BoolVoid);
    Bound(L, "StartWebServer", &S::StartWebServer, BoolBool);
    Bound(L, "WriteDefaultWebServerConfig", &S::WriteDefaultWebServerConfig, BoolIntBool);
    Bound(L, "StopWebServer", &S::StopWebServer, BoolBool);
    Raw(L, "IsWebServerConfigValid", &S::IsWebServerConfigValid);
    Bound(L, "ReloadWebServerConfig", &S::ReloadWebServerConfig, BoolVoid);
    Bound(L, "KillWebServerByPidFile", &S::KillWebServerByPidFile, BoolVoid);
    Raw(L, "ExtractBundles", &S::ExtractBundles);
    Raw(L, "UpdateConfig", &S::UpdateConfig);
    Bound(L, "CleanupWebServer", &S::CleanupWebServer, BoolVoid);
}

} // namespace Binding
} // namespace Relay
