#include "AgentLua.h"

#include "LocalCa.h"
#include "Privilege.h"

#include <KwaCore.h>
#include <lua.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

namespace Agent {

namespace {

// Lua errors jump over C++ destructors: every function below finishes its C++ work
// in an inner scope, keeps what it must hand back in plain buffers, and only then
// talks to Lua again.
constexpr size_t reasonSize = 1024;

void CopyReason(char (&buffer)[reasonSize], const std::string& text) {
    std::snprintf(buffer, sizeof buffer, "%s", text.c_str());
}

unsigned long Milliseconds(lua_State* L, int slot) {
    const lua_Number ms = luaL_checknumber(L, slot);
    if (!(ms > 0))
        return 0;
    if (ms > 24.0 * 3600 * 1000)
        return 24ul * 3600 * 1000;
    return static_cast<unsigned long>(ms);
}

int Wait(lua_State* L) {
    const unsigned long ms = Milliseconds(L, 1);
    bool stop = false;
    {
        // Launchers that ended (killed by a stop) are reaped on every beat.
        KwaCore::ReapChildren();
        KwaCore::CRunnable* runnable = KwaCore::CRunnable::This();
        if (runnable != nullptr)
            stop = runnable->Wait(ms, nullptr);
        else
            stop = KwaCore::CDom::This()->ShouldExit(ms, nullptr);
    }
    lua_pushboolean(L, stop);
    return 1;
}

int Sleep(lua_State* L) {
    const unsigned long ms = Milliseconds(L, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    KwaCore::ReapChildren();
    return 0;
}

int ShouldExit(lua_State* L) {
    lua_pushboolean(L, KwaCore::CDom::This()->ShouldExit(0, nullptr));
    return 1;
}

int SayLua(lua_State* L) {
    Say(luaL_checkstring(L, 1));
    return 0;
}

int CopyTree(lua_State* L) {
    const char* from = luaL_checkstring(L, 1);
    const char* to = luaL_checkstring(L, 2);
    char reason[reasonSize] = "";
    bool ok = false;
    try {
        namespace fs = std::filesystem;
        std::error_code ec;
        if (!fs::is_directory(fs::path(from), ec)) {
            CopyReason(reason, std::string(from) + " is not a directory");
        } else {
            fs::create_directories(fs::path(to), ec);
            ec.clear();
            // Links are not followed or copied: nothing may lead out of the web root.
            fs::copy(fs::path(from), fs::path(to),
                     fs::copy_options::recursive | fs::copy_options::overwrite_existing |
                         fs::copy_options::skip_symlinks,
                     ec);
            if (ec)
                CopyReason(reason, "copying " + std::string(from) + " to " + std::string(to) +
                                       ": " + ec.message());
            else
                ok = true;
        }
    } catch (const std::exception& e) {
        CopyReason(reason, e.what());
    }
    if (ok) {
        lua_pushboolean(L, 1);
        return 1;
    }
    lua_pushnil(L);
    lua_pushstring(L, reason);
    return 2;
}

int MakeLocalCaLua(lua_State* L) {
    const char* certPath = luaL_checkstring(L, 1);
    char reason[reasonSize] = "";
    char keyPathOut[reasonSize] = "";
    bool ok = false;
    try {
        std::filesystem::path key(certPath);
        key.replace_extension(".key");
        std::string error;
        ok = MakeLocalCa(certPath, key.string(), error);
        CopyReason(reason, error);
        CopyReason(keyPathOut, key.string());
    } catch (const std::exception& e) {
        CopyReason(reason, e.what());
    }
    if (ok) {
        lua_pushboolean(L, 1);
        lua_pushstring(L, keyPathOut);
        return 2;
    }
    lua_pushnil(L);
    lua_pushstring(L, reason);
    return 2;
}

// nil when nginx may bind the port, else the reason and what to change.
int LowPortProblemLua(lua_State* L) {
    const lua_Integer port = luaL_checkinteger(L, 1);
    char reason[reasonSize] = "";
    {
        const int checked = port > 0 && port < 65536 ? static_cast<int>(port) : 0;
        CopyReason(reason, LowPortProblem(checked));
    }
    if (reason[0] == '\0')
        lua_pushnil(L);
    else
        lua_pushstring(L, reason);
    return 1;
}

} // namespace

void Say(const char* text) {
    std::fprintf(stderr, "kwagent: %s\n", text);
}

void OpenAgentTable(lua_State* L, const ScriptContext& context) {
    static const luaL_Reg functions[] = {
        {"wait", Wait},
        {"sleep", Sleep},
        {"should_exit", ShouldExit},
        {"say", SayLua},
        {"copy_tree", CopyTree},
        {"make_local_ca", MakeLocalCaLua},
        {"low_port_problem", LowPortProblemLua},
        {nullptr, nullptr},
    };
    luaL_newlib(L, functions);
    lua_pushstring(L, context.programDir.c_str());
    lua_setfield(L, -2, "bindir");
    lua_pushstring(L, context.home.c_str());
    lua_setfield(L, -2, "home");
    lua_pushboolean(L, context.homeIsDefault);
    lua_setfield(L, -2, "home_is_default");
    lua_setglobal(L, "agent");
}

} // namespace Agent
