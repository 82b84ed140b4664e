// The module entry: require "relay" registers SLB.RelayServer and yields true.
#include "Binding.h"

#include <lua.hpp>
#include <wx/dynlib.h>
#include <wx/log.h>

#include <dlfcn.h>

namespace {

// The module's own file path, found through one of its symbols.
wxString OwnLibraryPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&OwnLibraryPath), &info) == 0 || info.dli_fname == nullptr)
        return wxString();
    return wxString(info.dli_fname);
}

// Takes one extra load reference on the module's own file and never gives it
// back, so its code stays mapped after the scripting runtime lets the module go.
struct SelfReference {
    SelfReference() {
        wxLogNull quiet; // the result is not looked at
        auto* library = new wxDynamicLibrary();
        library->Load(OwnLibraryPath(), wxDL_NOW | wxDL_VERBATIM);
    }
};
const SelfReference selfReference;

} // namespace

extern "C" __attribute__((visibility("default"))) int luaopen_relay(lua_State* L) {
    Relay::Binding::RegisterRelayServerClass(L);
    lua_pop(L, 1);
    lua_pushboolean(L, 1);
    return 1;
}
