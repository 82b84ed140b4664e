// The configuration in force, and its test by the web server itself (nginx -t).
#include "PidDirective.h"
#include "server/RelayServer.h"
#include "server/ScriptText.h"
#include "server/Trace.h"

#include <lua.hpp>
#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/strconv.h>

#include <cstdio>
#include <cstring>
#include <exception>

namespace Relay {

bool CRelayServer::IsWebServerConfigSet() {
    RS_TRACE("Relay::CRelayServer::IsWebServerConfigSet", "IsWebServerConfigSet");
    // The configuration in force is always the relay's default one.
    return false;
}

void CRelayServer::InitializeWebServerConfig() {
    RS_TRACE("Relay::CRelayServer::InitializeWebServerConfig", "InitializeWebServerConfig");
    // Site root open to every client, client-certificate lines written. A failed
    // write is reported by the replacement; the file in place is used as it is.
    if (!IsWebServerConfigSet())
        WriteDefaultWebServerConfig(0, true);
}

bool CRelayServer::ValidateWebServerConfig(wxString& errorText) {
    RS_TRACE("Relay::CRelayServer::ValidateWebServerConfig", "ValidateWebServerConfig");
    // A stopped web server shows as a missing pid file: the one that the test
    // creates goes again.
    return WebServer::ValidateLeavingNoPidFile(WebServerConfigPath, WebServerPidPath, errorText);
}

bool _ValidateWebServerConfig(wxString configPath, wxString& output) {
    const char* const traceName = "Relay::_ValidateWebServerConfig";
    // Runs without an object: the executable is the one the relay object
    // published when it was built.
    const wxString binary =
        KwaCore::CDom::This()->GetWxString("kwp.RelayServer.path.webserver.binary");
    const wxString arguments = L"-t -q -c \"" + configPath + L"\"";
    long exitCode = 0;
    wxString errorText;
    if (KwaCore::Execute(binary, arguments, output, exitCode, errorText)) {
        RS_TRACE(traceName, "Validation of %s succeeded: %s", configPath, output);
        return true;
    }
    RS_TRACE(traceName, "Validation of %s failed: %s", configPath, output);
    return false;
}

namespace {

struct ValidationResults {
    bool valid;
    const char* message;
    size_t length;
};

// Pushes the two results; runs under lua_pcall so that a memory error cannot
// jump over the C++ objects of the caller's frame.
int PushValidationResults(lua_State* L) {
    const auto* results = static_cast<const ValidationResults*>(lua_touserdata(L, 1));
    lua_pushboolean(L, results->valid ? 1 : 0);
    lua_pushlstring(L, results->message, results->length);
    return 2;
}

} // namespace

int CRelayServer::IsWebServerConfigValid(lua_State* L) {
    RS_TRACE("Relay::CRelayServer::IsWebServerConfigValid", "IsWebServerConfigValid");

    // Slot 1 holds the file name: a string, or a number converted to one. With
    // method syntax it holds the object, which gives no name.
    const char* name = nullptr;
    size_t nameLength = 0;
    const int type = lua_type(L, 1);
    if (type == LUA_TSTRING || type == LUA_TNUMBER)
        name = lua_tolstring(L, 1, &nameLength);

    int status = LUA_OK;
    char failure[256] = "";
    {
        try {
            // The runtime library's locale conversion; a name that is no text of
            // the locale is a file name whose bytes are kept as they are.
            const wxString configPath =
                name != nullptr ? FromScript(name, std::strlen(name), *wxConvFileName) : wxString();
            lua_settop(L, 0);

            bool valid = false;
            wxString message;
            bool notRegular = false;
            const wxString pidPath =
                configPath.empty() ? wxString() : WebServer::PidFileOf(configPath, notRegular);
            if (configPath.empty())
                message = L"no web server configuration filename specified";
            else if (notRegular)
                message = configPath + L" is not a regular file";
            else
                // Any file may be tested: only the pid file it names, created
                // empty by the test, is removed again.
                valid = WebServer::ValidateLeavingNoPidFile(configPath, pidPath, message);

            wxCharBuffer bytes = message.mb_str(wxConvLibc);
            size_t length = bytes.length();
            if (bytes.data() == nullptr || (length == 0 && !message.empty())) {
                // Output the locale cannot represent still reaches the script.
                bytes = message.utf8_str();
                length = bytes.length();
            }
            ValidationResults results{valid, bytes.data() != nullptr ? bytes.data() : "", length};
            lua_pushcfunction(L, &PushValidationResults);
            lua_pushlightuserdata(L, &results);
            status = lua_pcall(L, 1, 2, 0);
        } catch (const std::exception& e) {
            std::snprintf(failure, sizeof failure, "IsWebServerConfigValid: %s", e.what());
        } catch (...) {
            std::snprintf(failure, sizeof failure, "IsWebServerConfigValid: unexpected failure");
        }
    }
    // Every C++ object of the block above is gone: raising is safe from here on.
    if (failure[0] != '\0')
        return luaL_error(L, "%s", failure);
    if (status != LUA_OK)
        return lua_error(L);
    return 2;
}

} // namespace Relay
