// Tests that drive the modules as the agent's scripts do: a fresh KWA_HOME and a
// fresh lua_State with relay.so and kwacore.so on its path.
#pragma once

#include "TestSupport.h"

#include <KwaCoreHost.h>
#include <gtest/gtest.h>
#include <lua.hpp>

#include <memory>
#include <string>
#include <vector>

namespace kwatest {

class LuaFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs a chunk; returns the error message, or "" when it ran through.
    std::string Try(const std::string& code);
    // Runs a chunk and fails the test (showing the code) when it raises.
    void Run(const std::string& code);
    // Evaluates one expression (as "return <expr>") and converts its first value.
    std::string String(const std::string& expr);
    long long Integer(const std::string& expr);
    bool Bool(const std::string& expr);
    std::string TypeOf(const std::string& expr);

    // "host" (kwacore) and "relay" required, and "rs" = SLB.RelayServer().
    void NewRelay();

    // A fresh Lua state in place of the current one (same KWA_HOME).
    void ResetLua();

    // Records made by this process since the test began.
    std::vector<KwaCore::Host::EventRecord> Events() const { return KwaCore::Host::Events(); }
    std::vector<KwaCore::Host::LogRecord> LogMessages() const {
        return KwaCore::Host::LogMessages();
    }
    // True when a trace (any function) carries exactly this message.
    bool HasTrace(const std::string& message) const;
    bool HasLog(int level, const std::string& message) const;
    // The texts of the events with this id, oldest first.
    std::vector<std::string> EventTexts(int id) const;

    std::string Home() const { return home_->path(); }
    std::string WorkDir() const { return Home() + "/plugins/relay"; }
    std::string WebRoot() const { return WorkDir() + "/www"; }

    lua_State* L = nullptr;

private:
    std::unique_ptr<TempDir> home_;
};

std::string ToUtf8(const wxString& text);
inline wxString ToWx(const std::string& text) {
    return wxString::FromUTF8(text.c_str());
}

} // namespace kwatest
