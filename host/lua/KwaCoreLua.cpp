// kwacore.so: the Lua module over the core library, for the agent's own scripts
// and for tests.
//
// Lua reports errors with longjmp, which skips C++ destructors. So every function
// checks its arguments before any C++ object exists, does its C++ work in an
// inner scope, and pushes its results through a protected call: a memory error
// while pushing ends in that call, the C++ objects are destroyed normally, and the
// error is raised again once none is left. No C++ exception reaches Lua.
#include <KwaCore.h>
#include <KwaCoreHost.h>

#include <lua.hpp>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

std::string Utf8(const wxString& text) {
    const wxScopedCharBuffer utf8 = text.utf8_str();
    return std::string(utf8.data(), utf8.length());
}

// Why the C++ part failed; plain data, so that raising with it in scope is safe.
struct Failure {
    bool failed = false;
    char text[256] = {0};
    void Set(const char* what) {
        failed = true;
        std::snprintf(text, sizeof text, "kwacore: %s", what != nullptr ? what : "failure");
    }
};

// Pushes one value built from data. Runs inside lua_pcall; it must not own
// anything that needs a destructor.
using Pusher = void (*)(lua_State* L, const void* data);

struct PushRequest {
    Pusher push;
    const void* data;
};

int RunPush(lua_State* L) {
    const auto* request = static_cast<const PushRequest*>(lua_touserdata(L, 1));
    request->push(L, request->data);
    return 1;
}

// LUA_OK with the value on the stack, or an error status with the message there.
int PushProtected(lua_State* L, Pusher push, const void* data) {
    PushRequest request{push, data};
    lua_pushcfunction(L, RunPush);
    lua_pushlightuserdata(L, &request);
    return lua_pcall(L, 1, 1, 0);
}

// Ends a function once its C++ objects are gone.
int Finish(lua_State* L, const Failure& failure, int status, int results) {
    if (failure.failed)
        return luaL_error(L, "%s", failure.text);
    if (status != LUA_OK)
        return lua_error(L);
    return results;
}

bool CheckBoolean(lua_State* L, int index) {
    luaL_checktype(L, index, LUA_TBOOLEAN);
    return lua_toboolean(L, index) != 0;
}

void PushStdString(lua_State* L, const void* data) {
    const auto* text = static_cast<const std::string*>(data);
    lua_pushlstring(L, text->data(), text->size());
}

void SetStringField(lua_State* L, const char* key, const std::string& value) {
    lua_pushlstring(L, value.data(), value.size());
    lua_setfield(L, -2, key);
}

void SetIntegerField(lua_State* L, const char* key, lua_Integer value) {
    lua_pushinteger(L, value);
    lua_setfield(L, -2, key);
}

// ---------------------------------------------------------------------------

int Get(lua_State* L) {
    const char* key = luaL_checkstring(L, 1);
    Failure failure;
    int status = LUA_OK;
    {
        try {
            const std::string value = KwaCore::CDom::This()->GetString(key);
            status = PushProtected(L, PushStdString, &value);
        } catch (const std::exception& e) {
            failure.Set(e.what());
        } catch (...) {
            failure.Set(nullptr);
        }
    }
    return Finish(L, failure, status, 1);
}

int Set(lua_State* L) {
    const char* key = luaL_checkstring(L, 1);
    const char* value = luaL_checkstring(L, 2);
    Failure failure;
    bool stored = false;
    try {
        stored = KwaCore::CDom::This()->Set(key, value);
    } catch (const std::exception& e) {
        failure.Set(e.what());
    } catch (...) {
        failure.Set(nullptr);
    }
    if (failure.failed)
        return Finish(L, failure, LUA_OK, 0);
    lua_pushboolean(L, stored);
    return 1;
}

int Workdir(lua_State* L) {
    const char* name = luaL_checkstring(L, 1);
    Failure failure;
    int status = LUA_OK;
    {
        try {
            const std::string directory =
                KwaCore::Host::PathBytes(KwaCore::CDom::This()->GetPluginWorkdirWx(name));
            status = PushProtected(L, PushStdString, &directory);
        } catch (const std::exception& e) {
            failure.Set(e.what());
        } catch (...) {
            failure.Set(nullptr);
        }
    }
    return Finish(L, failure, status, 1);
}

struct Event {
    int id;
    bool hasText;
    std::string text;
};

void PushEvents(lua_State* L, const void* data) {
    const auto* events = static_cast<const std::vector<Event>*>(data);
    lua_createtable(L, static_cast<int>(events->size()), 0);
    for (size_t i = 0; i < events->size(); ++i) {
        const Event& event = (*events)[i];
        lua_createtable(L, 0, 2);
        SetIntegerField(L, "id", event.id);
        if (event.hasText)
            SetStringField(L, "text", event.text);
        lua_rawseti(L, -2, static_cast<int>(i + 1));
    }
}

int Events(lua_State* L) {
    Failure failure;
    int status = LUA_OK;
    {
        try {
            std::vector<Event> events;
            for (const auto& record : KwaCore::Host::Events())
                events.push_back(Event{record.id, record.hasText, Utf8(record.text)});
            status = PushProtected(L, PushEvents, &events);
        } catch (const std::exception& e) {
            failure.Set(e.what());
        } catch (...) {
            failure.Set(nullptr);
        }
    }
    return Finish(L, failure, status, 1);
}

struct Trace {
    std::string component, function, message;
};

void PushTraces(lua_State* L, const void* data) {
    const auto* traces = static_cast<const std::vector<Trace>*>(data);
    lua_createtable(L, static_cast<int>(traces->size()), 0);
    for (size_t i = 0; i < traces->size(); ++i) {
        const Trace& trace = (*traces)[i];
        lua_createtable(L, 0, 3);
        SetStringField(L, "component", trace.component);
        SetStringField(L, "func", trace.function);
        SetStringField(L, "message", trace.message);
        lua_rawseti(L, -2, static_cast<int>(i + 1));
    }
}

int Traces(lua_State* L) {
    Failure failure;
    int status = LUA_OK;
    {
        try {
            std::vector<Trace> traces;
            for (const auto& record : KwaCore::Host::Traces())
                traces.push_back(
                    Trace{Utf8(record.component), Utf8(record.function), Utf8(record.message)});
            status = PushProtected(L, PushTraces, &traces);
        } catch (const std::exception& e) {
            failure.Set(e.what());
        } catch (...) {
            failure.Set(nullptr);
        }
    }
    return Finish(L, failure, status, 1);
}

struct Message {
    int level;
    std::string function, message;
};

void PushMessages(lua_State* L, const void* data) {
    const auto* messages = static_cast<const std::vector<Message>*>(data);
    lua_createtable(L, static_cast<int>(messages->size()), 0);
    for (size_t i = 0; i < messages->size(); ++i) {
        const Message& message = (*messages)[i];
        lua_createtable(L, 0, 3);
        SetIntegerField(L, "level", message.level);
        SetStringField(L, "func", message.function);
        SetStringField(L, "message", message.message);
        lua_rawseti(L, -2, static_cast<int>(i + 1));
    }
}

int Log(lua_State* L) {
    Failure failure;
    int status = LUA_OK;
    {
        try {
            std::vector<Message> messages;
            for (const auto& record : KwaCore::Host::LogMessages())
                messages.push_back(
                    Message{record.level, Utf8(record.function), Utf8(record.message)});
            status = PushProtected(L, PushMessages, &messages);
        } catch (const std::exception& e) {
            failure.Set(e.what());
        } catch (...) {
            failure.Set(nullptr);
        }
    }
    return Finish(L, failure, status, 1);
}

int Clear(lua_State* L) {
    KwaCore::Host::ClearRecords();
    return 0;
}

int TraceSwitch(lua_State* L) {
    size_t length = 0;
    const char* component = luaL_checklstring(L, 1, &length);
    const bool on = CheckBoolean(L, 2);
    Failure failure;
    try {
        KwaCore::Host::SetTraceComponent(wxString::FromUTF8(component, length), on);
    } catch (const std::exception& e) {
        failure.Set(e.what());
    } catch (...) {
        failure.Set(nullptr);
    }
    return Finish(L, failure, LUA_OK, 0);
}

int Verbose(lua_State* L) {
    KwaCore::Host::SetVerbose(CheckBoolean(L, 1));
    return 0;
}

int Shutdown(lua_State* L) {
    KwaCore::RequestShutdown(CheckBoolean(L, 1));
    return 0;
}

const luaL_Reg kFunctions[] = {
    {"get", Get},         {"set", Set},           {"workdir", Workdir}, {"events", Events},
    {"traces", Traces},   {"log", Log},           {"clear", Clear},     {"trace", TraceSwitch},
    {"verbose", Verbose}, {"shutdown", Shutdown}, {nullptr, nullptr},
};

} // namespace

extern "C" __attribute__((visibility("default"))) int luaopen_kwacore(lua_State* L) {
    // Loading libkwacore.so initialised the process already; this is a no-op then.
    try {
        KwaCore::Host::Initialize();
    } catch (...) {
    }
    luaL_newlib(L, kFunctions);
    return 1;
}
