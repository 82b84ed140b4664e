#include "LuaFixture.h"

#include <cstdlib>

namespace kwatest {

std::string ToUtf8(const wxString& text) {
    const wxScopedCharBuffer utf8 = text.utf8_str();
    return std::string(utf8.data(), utf8.length());
}

void LuaFixture::SetUp() {
    home_ = std::make_unique<TempDir>("kwa-home");
    setenv("KWA_HOME", home_->path().c_str(), 1);
    unsetenv("KWA_IP_VERSIONS");
    KwaCore::Host::ClearRecords();
    ResetLua();
}

void LuaFixture::TearDown() {
    if (L != nullptr) {
        lua_close(L);
        L = nullptr;
    }
    KwaCore::RequestShutdown(false);
    home_.reset();
}

void LuaFixture::ResetLua() {
    if (L != nullptr)
        lua_close(L);
    L = luaL_newstate();
    luaL_openlibs(L);
    const std::string setPath = "package.cpath = '" + BinDir() + "/?.so;' .. package.cpath";
    ASSERT_EQ(luaL_dostring(L, setPath.c_str()), 0);
}

std::string LuaFixture::Try(const std::string& code) {
    const int top = lua_gettop(L);
    std::string error;
    if (luaL_loadbuffer(L, code.data(), code.size(), "=test") != 0 || lua_pcall(L, 0, 0, 0) != 0) {
        const char* message = lua_tostring(L, -1);
        error = message ? message : "(error object is not a string)";
        if (error.empty())
            error = "(empty error)";
    }
    lua_settop(L, top);
    return error;
}

void LuaFixture::Run(const std::string& code) {
    const std::string error = Try(code);
    EXPECT_EQ(error, "") << "in Lua code:\n" << code;
}

namespace {
// Leaves the first value of "return <expr>" on the stack; false on error.
bool Evaluate(lua_State* L, const std::string& expr, std::string& error) {
    const std::string code = "return " + expr;
    if (luaL_loadbuffer(L, code.data(), code.size(), "=test") != 0 || lua_pcall(L, 0, 1, 0) != 0) {
        const char* message = lua_tostring(L, -1);
        error = message ? message : "(error)";
        lua_pop(L, 1);
        return false;
    }
    return true;
}
} // namespace

std::string LuaFixture::String(const std::string& expr) {
    std::string error;
    if (!Evaluate(L, expr, error)) {
        ADD_FAILURE() << "evaluating " << expr << ": " << error;
        return std::string();
    }
    size_t length = 0;
    const char* text = lua_tolstring(L, -1, &length);
    std::string value =
        text ? std::string(text, length) : std::string("<") + luaL_typename(L, -1) + ">";
    lua_pop(L, 1);
    return value;
}

long long LuaFixture::Integer(const std::string& expr) {
    std::string error;
    if (!Evaluate(L, expr, error)) {
        ADD_FAILURE() << "evaluating " << expr << ": " << error;
        return 0;
    }
    EXPECT_EQ(lua_type(L, -1), LUA_TNUMBER) << expr;
    const long long value = lua_tointeger(L, -1);
    lua_pop(L, 1);
    return value;
}

bool LuaFixture::Bool(const std::string& expr) {
    std::string error;
    if (!Evaluate(L, expr, error)) {
        ADD_FAILURE() << "evaluating " << expr << ": " << error;
        return false;
    }
    EXPECT_EQ(lua_type(L, -1), LUA_TBOOLEAN) << expr;
    const bool value = lua_toboolean(L, -1) != 0;
    lua_pop(L, 1);
    return value;
}

std::string LuaFixture::TypeOf(const std::string& expr) {
    std::string error;
    if (!Evaluate(L, expr, error)) {
        ADD_FAILURE() << "evaluating " << expr << ": " << error;
        return std::string();
    }
    std::string type = luaL_typename(L, -1);
    lua_pop(L, 1);
    return type;
}

void LuaFixture::NewRelay() {
    Run("host = require 'kwacore'\n"
        "assert(require 'relay' == true)\n"
        "rs = SLB.RelayServer()");
}

std::vector<KwaCore::Host::EventRecord> LuaFixture::Events() const {
    return KwaCore::Host::Events();
}

std::vector<KwaCore::Host::EventRecord> LuaFixture::EventsWithId(int id) const {
    std::vector<KwaCore::Host::EventRecord> selected;
    for (const auto& event : KwaCore::Host::Events())
        if (event.id == id)
            selected.push_back(event);
    return selected;
}

std::vector<KwaCore::Host::TraceRecord> LuaFixture::Traces() const {
    return KwaCore::Host::Traces();
}

std::vector<KwaCore::Host::LogRecord> LuaFixture::LogMessages() const {
    return KwaCore::Host::LogMessages();
}

bool LuaFixture::HasTrace(const std::string& message) const {
    for (const auto& trace : KwaCore::Host::Traces())
        if (ToUtf8(trace.message) == message)
            return true;
    return false;
}

bool LuaFixture::HasLog(int level, const std::string& message) const {
    for (const auto& record : KwaCore::Host::LogMessages())
        if (record.level == level && ToUtf8(record.message) == message)
            return true;
    return false;
}

} // namespace kwatest
