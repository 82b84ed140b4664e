#include "LuaFixture.h"

#include <wx/debug.h>

#include <algorithm>

namespace kwatest {

namespace {
// wx assertions raised while a test ran: each is a fault, not a message to ignore.
int wxAssertions = 0;
std::string firstAssertion;
wxAssertHandler_t previousAssertHandler = nullptr;
} // namespace

std::string ToUtf8(const wxString& text) {
    const wxScopedCharBuffer utf8 = text.utf8_str();
    return std::string(utf8.data(), utf8.length());
}

void LuaFixture::SetUp() {
    home_ = std::make_unique<TempDir>("kwa-home");
    setenv("KWA_HOME", home_->path().c_str(), 1);
    unsetenv("KWA_IP_VERSIONS");
    KwaCore::Host::ClearRecords();
    wxAssertions = 0;
    firstAssertion.clear();
    previousAssertHandler =
        wxSetAssertHandler([](const wxString& file, int line, const wxString&,
                              const wxString& condition, const wxString& message) {
            if (wxAssertions++ == 0)
                firstAssertion = ToUtf8(file) + ":" + std::to_string(line) + ": " +
                                 ToUtf8(condition) + " " + ToUtf8(message);
        });
    ResetLua();
}

void LuaFixture::TearDown() {
    if (L != nullptr) {
        lua_close(L);
        L = nullptr;
    }
    KwaCore::RequestShutdown(false);
    KwaCore::Host::SetVerbose(false);
    home_.reset();
    wxSetAssertHandler(previousAssertHandler);
    EXPECT_EQ(wxAssertions, 0) << "wx assertions, the first: " << firstAssertion;
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
        error = message && *message ? message : "(an error that is no text, or empty)";
    }
    lua_settop(L, top);
    return error;
}

void LuaFixture::Run(const std::string& code) {
    const std::string error = Try(code);
    EXPECT_EQ(error, "") << "in Lua code:\n" << code;
}

// Evaluates "return <expr>" and converts its first value; an error or a wrong type fails.
template <typename T, typename Convert>
T Evaluate(lua_State* L, const std::string& expr, int expected, Convert convert) {
    const std::string code = "return " + expr;
    const int top = lua_gettop(L);
    T value{};
    if (luaL_loadbuffer(L, code.data(), code.size(), "=test") != 0 || lua_pcall(L, 0, 1, 0) != 0) {
        const char* message = lua_tostring(L, -1);
        ADD_FAILURE() << "evaluating " << expr << ": " << (message ? message : "(error)");
    } else if (expected != LUA_TNONE && lua_type(L, -1) != expected) {
        ADD_FAILURE() << expr << " is a " << luaL_typename(L, -1);
    } else {
        value = convert();
    }
    lua_settop(L, top);
    return value;
}

std::string LuaFixture::String(const std::string& expr) {
    return Evaluate<std::string>(L, expr, LUA_TNONE, [&] {
        size_t length = 0;
        const char* text = lua_tolstring(L, -1, &length);
        return text ? std::string(text, length) : std::string("<") + luaL_typename(L, -1) + ">";
    });
}

long long LuaFixture::Integer(const std::string& expr) {
    return Evaluate<long long>(L, expr, LUA_TNUMBER,
                               [&] { return (long long)lua_tointeger(L, -1); });
}

bool LuaFixture::Bool(const std::string& expr) {
    return Evaluate<bool>(L, expr, LUA_TBOOLEAN, [&] { return lua_toboolean(L, -1) != 0; });
}

std::string LuaFixture::TypeOf(const std::string& expr) {
    return Evaluate<std::string>(L, expr, LUA_TNONE,
                                 [&] { return std::string(luaL_typename(L, -1)); });
}

void LuaFixture::NewRelay() {
    Run("host = require 'kwacore'\n"
        "assert(require 'relay' == true)\n"
        "rs = SLB.RelayServer()");
}

std::vector<std::string> LuaFixture::EventTexts(int id) const {
    std::vector<std::string> texts;
    for (const auto& event : KwaCore::Host::Events())
        if (event.id == id)
            texts.push_back(ToUtf8(event.text));
    return texts;
}

bool LuaFixture::HasTrace(const std::string& message) const {
    const auto traces = KwaCore::Host::Traces();
    return std::any_of(traces.begin(), traces.end(),
                       [&](const auto& trace) { return ToUtf8(trace.message) == message; });
}

bool LuaFixture::HasLog(int level, const std::string& message) const {
    const auto logs = KwaCore::Host::LogMessages();
    return std::any_of(logs.begin(), logs.end(), [&](const auto& record) {
        return record.level == level && ToUtf8(record.message) == message;
    });
}

} // namespace kwatest
