// The scripting class as scripts see it: loading, construction, the object check
// of bound and raw methods, argument reading and results.
#include "LuaFixture.h"

#include <string>

using kwatest::LuaFixture;

namespace {
const char* const NoObject =
    "Expected non-null object(SLB.RelayServer) as first argument to method call";
}

class Binding : public LuaFixture {};

TEST_F(Binding, LoadingYieldsTrueAndASecondLoadKeepsTheClass) {
    EXPECT_EQ(String("tostring(require 'relay')"), "true");
    Run("first = SLB.RelayServer\n"
        "first.Custom = 42\n"
        "meta = debug.getregistry()['SLB.RelayServer']\n"
        "package.loaded.relay = nil");
    EXPECT_EQ(String("tostring(require 'relay')"), "true");
    EXPECT_TRUE(Bool("rawequal(first, SLB.RelayServer)"));
    EXPECT_EQ(Integer("SLB.RelayServer.Custom"), 42);
    EXPECT_TRUE(Bool("rawequal(meta, debug.getregistry()['SLB.RelayServer'])"));
}

TEST_F(Binding, ClassTableHoldsTheMethodsAndTheMetatableItsFields) {
    NewRelay();
    const char* methods[] = {"CreateBundle",
                             "CleanupUpdateBundles",
                             "DisableWebServer",
                             "RotateWebLogs",
                             "RotateLogFile",
                             "EnableWebServer",
                             "GetInstallDir",
                             "GetWebServerAccessLogPath",
                             "GetWebServerErrorLogPath",
                             "GetWebServerListenPort",
                             "GetWebServerConfigPath",
                             "GetWebServerSslCertPathCA",
                             "Publish",
                             "StartWebServer",
                             "WriteDefaultWebServerConfig",
                             "StopWebServer",
                             "IsWebServerConfigValid",
                             "ReloadWebServerConfig",
                             "KillWebServerByPidFile",
                             "ExtractBundles",
                             "UpdateConfig",
                             "CleanupWebServer"};
    for (const char* name : methods)
        EXPECT_EQ(TypeOf(std::string("SLB.RelayServer.") + name), "function") << name;
    EXPECT_EQ(Integer("(function() local n = 0 for _ in pairs(SLB.RelayServer) do n = n + 1 end "
                      "return n end)()"),
              22);
    EXPECT_EQ(String("getmetatable(rs).__class"), "SLB.RelayServer");
    EXPECT_TRUE(Bool("rawequal(getmetatable(rs).__index, SLB.RelayServer)"));
    EXPECT_EQ(TypeOf("getmetatable(rs).__gc"), "function");
    EXPECT_EQ(TypeOf("rs"), "userdata");
}

TEST_F(Binding, CallingTheClassWithArgumentsMakesTheSameObject) {
    NewRelay();
    Run("other = SLB.RelayServer(1, 'x', {}, nil, true)");
    EXPECT_EQ(String("other:GetInstallDir()"), String("rs:GetInstallDir()"));
    EXPECT_EQ(Integer("other:GetWebServerListenPort()"), 4122);
    EXPECT_TRUE(Bool("getmetatable(other) == getmetatable(rs)"));
}

TEST_F(Binding, BoundMethodsRefuseAnythingButAnObject) {
    NewRelay();
    const char* callers[] = {
        "rs.GetInstallDir()",
        "SLB.RelayServer.GetInstallDir()",
        "rs.GetWebServerListenPort({})",
        "rs.GetInstallDir(SLB.RelayServer)",
        "rs.GetInstallDir(io.stdout)",
        "rs.GetInstallDir(42)",
        "rs.GetInstallDir('SLB.RelayServer')",
        "rs.StartWebServer(nil, true)",
        "rs.RotateLogFile(setmetatable({}, getmetatable(rs)), 'x', 1)",
        "rs.CleanupWebServer(coroutine.create(print))",
    };
    for (const char* call : callers)
        EXPECT_NE(Try(call).find(NoObject), std::string::npos) << call;
}

TEST_F(Binding, ForeignUserdataDressedAsAnObjectIsRefused) {
    NewRelay();
    // A file handle given the class's metatable through the debug library.
    Run("f = io.tmpfile()\n"
        "debug.setmetatable(f, getmetatable(rs))");
    EXPECT_NE(Try("rs.GetInstallDir(f)").find(NoObject), std::string::npos);
    EXPECT_NE(Try("rs.UpdateConfig(f, {})").find("RelayServer object expected"), std::string::npos);
}

TEST_F(Binding, RawMethodsRaiseTheArgumentError) {
    NewRelay();
    for (const char* call :
         {"SLB.RelayServer.UpdateConfig({port = 1})", "SLB.RelayServer.UpdateConfig()",
          "SLB.RelayServer.CreateBundle()", "SLB.RelayServer.CreateBundle({})"}) {
        const std::string error = Try(call);
        EXPECT_NE(error.find("bad argument #1"), std::string::npos) << call << ": " << error;
        EXPECT_NE(error.find("RelayServer object expected"), std::string::npos) << call;
    }
    EXPECT_EQ(Integer("rs:GetWebServerListenPort()"), 4122);
}

TEST_F(Binding, ResultsHaveTheirLuaTypes) {
    NewRelay();
    EXPECT_EQ(TypeOf("rs:GetWebServerListenPort()"), "number");
    EXPECT_EQ(Integer("rs:GetWebServerListenPort()"), 4122);
    EXPECT_EQ(TypeOf("rs:GetInstallDir()"), "string");
    EXPECT_EQ(TypeOf("rs:RotateLogFile('/nonexistent/x.log', 0)"), "nil");
    EXPECT_EQ(Integer("select('#', rs:RotateLogFile('/nonexistent/x.log', 0))"), 0);
    EXPECT_EQ(Integer("select('#', rs:CleanupUpdateBundles(false))"), 0);
    EXPECT_EQ(TypeOf("rs:CleanupWebServer()"), "boolean");
}

TEST_F(Binding, BooleanArgumentsFollowLuaTruth) {
    NewRelay();
    Run("host.trace('RS', true)");
    // An empty protocol list never validates, so no start goes beyond the check.
    const struct {
        const char* call;
        const char* trace;
    } cases[] = {
        {"rs:StartWebServer()", "StartWebServer(force=0)"},
        {"rs:StartWebServer(nil)", "StartWebServer(force=0)"},
        {"rs:StartWebServer(false)", "StartWebServer(force=0)"},
        {"rs:StartWebServer(0)", "StartWebServer(force=1)"},
        {"rs:StartWebServer('')", "StartWebServer(force=1)"},
        {"rs:StartWebServer({})", "StartWebServer(force=1)"},
    };
    for (const auto& c : cases) {
        KwaCore::Host::ClearRecords();
        Run(std::string("result = ") + c.call);
        EXPECT_TRUE(HasTrace(c.trace)) << c.call;
        EXPECT_FALSE(Bool("result")) << c.call;
    }
}

TEST_F(Binding, ACollectedObjectCannotBeReachedAgain) {
    NewRelay();
    // The sentinel is finalised first and resurrects the object whose own
    // finaliser then destroys it.
    Run("do\n"
        "  local o = SLB.RelayServer()\n"
        "  setmetatable({object = o}, {__gc = function(t) resurrected = t.object end})\n"
        "end\n"
        "collectgarbage() collectgarbage()");
    ASSERT_EQ(TypeOf("resurrected"), "userdata");
    EXPECT_NE(Try("resurrected:GetInstallDir()").find(NoObject), std::string::npos);
    EXPECT_NE(Try("resurrected:UpdateConfig({})").find("RelayServer object expected"),
              std::string::npos);
    EXPECT_EQ(Integer("rs:GetWebServerListenPort()"), 4122);
}

TEST_F(Binding, ClosingTheStateCollectsEveryObject) {
    NewRelay();
    Run("for i = 1, 20 do local o = SLB.RelayServer() end");
    ResetLua(); // lua_close runs every collector; the sanitizer build checks for leaks
    NewRelay();
    EXPECT_EQ(Integer("rs:GetWebServerListenPort()"), 4122);
}

TEST_F(Binding, RegistrationRefusesANonTableNamespace) {
    Run("SLB = 5");
    EXPECT_NE(Try("require 'relay'").find("SLB"), std::string::npos);
    EXPECT_EQ(Integer("SLB"), 5);
    Run("SLB = nil");
    EXPECT_EQ(String("tostring(require 'relay')"), "true");
    EXPECT_EQ(TypeOf("SLB.RelayServer.GetInstallDir"), "function");
}
