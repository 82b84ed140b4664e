// The kwacore Lua module, in a lua_State of this process and in a stock lua5.2.
#include "HostTest.h"

#include <wx/log.h>

using KwaCore::CDom;
using kwatest::HostTest;
using kwatest::ReadFile;
using kwatest::RunCommand;
using kwatest::ShellQuote;

TEST_F(HostTest, ModuleReadsAndWritesTheHostState) {
    Run("host = require 'kwacore'");
    EXPECT_TRUE(Bool("host.set('relay.name', 'Grüße = ok')"));
    EXPECT_EQ(String("host.get('relay.name')"), "Grüße = ok");
    EXPECT_EQ(CDom::This()->GetString("relay.name"), "Grüße = ok");
    EXPECT_EQ(String("host.get('unset.key')"), "");
    EXPECT_FALSE(Bool("host.set('bad=key', 'x')"));
    EXPECT_EQ(String("host.workdir('relay')"), WorkDir());
    Run("host.shutdown(true)");
    EXPECT_TRUE(CDom::This()->ShouldExit(0, nullptr));
    Run("host.shutdown(false)");
    EXPECT_FALSE(CDom::This()->ShouldExit(0, nullptr));
}

TEST_F(HostTest, ModuleListsTheRecordsOldestFirst) {
    Run("host = require 'kwacore'");
    CDom::LogAgentEvent(0, 9104);
    CDom::LogAgentEventText(0, 9106, wxString::FromUTF8("failed \"nginx\" 100% é"));
    EXPECT_EQ(Integer("#host.events()"), 2);
    EXPECT_EQ(Integer("host.events()[1].id"), 9104);
    EXPECT_EQ(TypeOf("host.events()[1].text"), "nil");
    EXPECT_EQ(String("host.events()[2].text"), "failed \"nginx\" 100% é");

    Run("host.trace('RS', true)");
    KwaCore::LogTrace(L"RS", __FILE__, __LINE__, "Relay::X", wxString::FromUTF8("café"));
    Run("host.trace('RS', false)");
    KwaCore::LogTrace(L"RS", __FILE__, __LINE__, "Relay::X", "dropped");
    EXPECT_EQ(Integer("#host.traces()"), 1);
    EXPECT_EQ(String("host.traces()[1].component .. '|' .. host.traces()[1].func .. '|' .. "
                     "host.traces()[1].message"),
              "RS|Relay::X|café");

    Run("host.verbose(true)");
    wxLogger(wxLOG_Info, __FILE__, __LINE__, "Relay::Y", wxLOG_COMPONENT).Log("said %d", 1);
    Run("host.verbose(false)");
    wxLogger(wxLOG_Info, __FILE__, __LINE__, "Relay::Y", wxLOG_COMPONENT).Log("unsaid");
    EXPECT_EQ(Integer("#host.log()"), 1);
    EXPECT_EQ(Integer("host.log()[1].level"), 5);
    EXPECT_EQ(String("host.log()[1].func .. ': ' .. host.log()[1].message"), "Relay::Y: said 1");

    Run("host.clear()");
    EXPECT_EQ(Integer("#host.events() + #host.traces() + #host.log()"), 0);
}

TEST_F(HostTest, ModuleRejectsBadArgumentsWithLuaErrors) {
    Run("host = require 'kwacore'");
    const char* calls[] = {
        "host.get()",        "host.get({})",        "host.set('k')",       "host.set('k', {})",
        "host.workdir(nil)", "host.trace('RS')",    "host.trace('RS', 1)", "host.trace(nil, true)",
        "host.verbose()",    "host.verbose('yes')", "host.shutdown(1)",
    };
    for (const char* call : calls) {
        const std::string error = Try(call);
        EXPECT_NE(error.find("bad argument"), std::string::npos) << call << " gave: " << error;
    }
    // The state is still usable afterwards.
    EXPECT_EQ(String("host.get('unset')"), "");
}

TEST_F(HostTest, StockLuaFindsANonAsciiHome) {
    const std::string home = Home() + "/Café Ünïcode";
    const std::string script =
        "package.cpath = '" + kwatest::BinDir() +
        "/?.so;' .. package.cpath\n"
        "local host = require 'kwacore'\n"
        "assert(host.set('greeting', 'grüß dich'))\n"
        "io.write(os.setlocale(nil, 'ctype'), '\\n', host.workdir('relay'), '\\n',"
        " host.get('greeting'), '\\n')\n";
    std::string environment = "env -u LANG -u LC_ALL -u LC_CTYPE -u LANGUAGE";
#ifdef KWA_TEST_ASAN_RUNTIME
    // The sanitized module needs its runtime first; lua5.2's own allocations are
    // not this test's concern.
    environment +=
        " LD_PRELOAD=" + ShellQuote(KWA_TEST_ASAN_RUNTIME) + " ASAN_OPTIONS=detect_leaks=0";
#endif
    const auto result = RunCommand(environment + " KWA_HOME=" + ShellQuote(home) + " lua5.2 -e " +
                                   ShellQuote(script));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output, "C.UTF-8\n" + home + "/plugins/relay\ngrüß dich\n");
    EXPECT_EQ(ReadFile(home + "/agent.conf"), "greeting = grüß dich\n");
    EXPECT_TRUE(kwatest::DirExists(home + "/plugins"));
}
