// UpdateConfig: the scripts hand the relay the manager's web server settings.
//
// Every lua_getfield below may raise (a table whose __index raises, a second
// argument that cannot be indexed), so no C++ object lives across one: the
// C++ work of each field happens in an inner scope after its value was fetched.
#include "RelayServer.h"
#include "ScriptText.h"
#include "Trace.h"

#include "../binding/Binding.h"
#include "../binding/Dispatch.h"

#include <lua.hpp>

#include <cmath>
#include <cstring>

namespace Relay {

namespace {

const char* const Function = "Relay::CRelayServer::UpdateConfig";

// A port number cut toward zero and taken modulo 65536.
unsigned short ToPort(lua_Number n) {
    if (!std::isfinite(n))
        return 0;
    double whole = std::fmod(std::trunc(n), 65536.0);
    if (whole < 0)
        whole += 65536.0;
    return static_cast<unsigned short>(whole);
}

// The number at the top of the stack, 0 when it is none.
lua_Number TopNumber(lua_State* L) {
    int isNumber = 0;
    const lua_Number n = lua_tonumberx(L, -1, &isNumber);
    return isNumber ? n : 0;
}

// Stores a port read as a number; returns whether it changed.
bool UpdatePort(lua_Number n, unsigned short& port) {
    if (n == 0 || n == static_cast<lua_Number>(port))
        return false;
    port = ToPort(n);
    return true;
}

// Stores the low 32 bits of an integer; returns whether they changed.
bool UpdateInteger(int64_t value, int32_t& member) {
    const auto low = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
    if (low == member)
        return false;
    member = low;
    return true;
}

bool UpdateProtocols(const char* text, size_t length, wxString& protocols) {
    {
        const wxScopedCharBuffer current = protocols.utf8_str();
        if (current.length() == length && std::memcmp(current.data(), text, length) == 0)
            return false;
    }
    // Not text of the current locale: every byte kept.
    protocols = FromScript(text, length, wxConvISO8859_1);
    RS_TRACE(Function, " TLSProtocols set to %s", protocols);
    return true;
}

} // namespace

int CRelayServer::UpdateConfig(lua_State* L) {
    RS_TRACE(Function, "RelayServer::UpdateConfig()");
    Binding::CheckRawMethodObject(L);

    // Every field first: a metamethod of the table runs script code, which may
    // even call the object's collector. The object is taken only afterwards.
    lua_settop(L, 2);
    for (const char* field : {"port", "httpport", "relay_upload", "relay_verify_client",
                              "tlsProtocols", "enableStrongCipher"})
        lua_getfield(L, 2, field);
    CRelayServer* self = Binding::CheckRawMethodObject(L);
    bool changed = false;

    lua_pushvalue(L, 3);
    if (UpdatePort(TopNumber(L), self->WebServerListenPort)) {
        changed = true;
        RS_TRACE(Function, " Listen port set to %d", int(self->WebServerListenPort));
    }

    lua_pushvalue(L, 4);
    changed |= UpdatePort(TopNumber(L), self->HttpPort);

    changed |= UpdateInteger(Binding::GetInteger(L, 5), self->RelayUpload);
    changed |= UpdateInteger(Binding::GetInteger(L, 6), self->RelayVerifyClient);

    size_t length = 0;
    if (const char* text = lua_tolstring(L, 7, &length))
        changed |= UpdateProtocols(text, length, self->TlsProtocols);

    const bool strong = lua_toboolean(L, 8) != 0;
    if (strong != self->EnableStrongCipher) {
        self->EnableStrongCipher = strong;
        changed = true;
        RS_TRACE(Function,
                 "The new strong cipher value is different from the old strong cipher value, "
                 "will set to %s",
                 strong ? "true" : "false");
    }

    lua_pushboolean(L, changed);
    return 1;
}

} // namespace Relay
