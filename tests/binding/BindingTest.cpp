// The scripting class as scripts see it: loading, the object check of bound and
// raw methods, Lua truth for boolean arguments. The script fuzzer calls every
// method with every kind of value besides.
#include "LuaFixture.h"

using kwatest::LuaFixture;

namespace {
const char* const NoObject =
    "Expected non-null object(SLB.RelayServer) as first argument to method call";
}

class Binding : public LuaFixture {};

TEST_F(Binding, LoadingRegistersTheClassOnceAndRefusesANonTableNamespace) {
    Run("SLB = 5");
    EXPECT_NE(Try("require 'relay'").find("SLB"), std::string::npos);
    Run("SLB = nil");
    EXPECT_EQ(String("tostring(require 'relay')"), "true");
    Run("first = SLB.RelayServer; first.Custom = 42; package.loaded.relay = nil");
    EXPECT_EQ(String("tostring(require 'relay')"), "true");
    EXPECT_TRUE(Bool("rawequal(first, SLB.RelayServer) and SLB.RelayServer.Custom == 42"));
    Run("rs = SLB.RelayServer(1, 'x', {}, nil, true)"); // arguments are ignored
    EXPECT_EQ(Integer("rs:GetWebServerListenPort()"), 4122);
    EXPECT_EQ(String("getmetatable(rs).__class"), "SLB.RelayServer");
}

TEST_F(Binding, MethodsRefuseAnythingButAnObject) {
    NewRelay();
    // A file handle given the class's metatable, and an object whose collector ran.
    Run("f = io.tmpfile(); debug.setmetatable(f, getmetatable(rs))\n"
        "do local o = SLB.RelayServer()\n"
        "  setmetatable({object = o}, {__gc = function(t) resurrected = t.object end}) end\n"
        "collectgarbage() collectgarbage()");
    for (const char* call :
         {"rs.GetInstallDir()", "SLB.RelayServer.GetInstallDir()", "rs.GetWebServerListenPort({})",
          "rs.GetInstallDir(SLB.RelayServer)", "rs.GetInstallDir(io.stdout)",
          "rs.GetInstallDir(42)", "rs.StartWebServer(nil, true)", "rs.GetInstallDir(f)",
          "resurrected:GetInstallDir()",
          "rs.RotateLogFile(setmetatable({}, getmetatable(rs)), 'x', 1)"})
        EXPECT_NE(Try(call).find(NoObject), std::string::npos) << call;
    for (const char* call :
         {"SLB.RelayServer.UpdateConfig({port = 1})", "SLB.RelayServer.CreateBundle()",
          "rs.UpdateConfig(f, {})", "resurrected:UpdateConfig({})"})
        EXPECT_NE(Try(call).find("RelayServer object expected"), std::string::npos) << call;
    EXPECT_EQ(Integer("rs:GetWebServerListenPort()"), 4122);
}

TEST_F(Binding, BooleanArgumentsFollowLuaTruth) {
    NewRelay();
    Run("host.trace('RS', true)");
    // An empty protocol list never validates: no start goes beyond the check.
    for (const auto& [call, force] : {std::pair<const char*, int>{"rs:StartWebServer()", 0},
                                      {"rs:StartWebServer(nil)", 0},
                                      {"rs:StartWebServer(false)", 0},
                                      {"rs:StartWebServer(0)", 1},
                                      {"rs:StartWebServer('')", 1},
                                      {"rs:StartWebServer({})", 1}}) {
        KwaCore::Host::ClearRecords();
        EXPECT_FALSE(Bool(call)) << call;
        EXPECT_TRUE(HasTrace("StartWebServer(force=" + std::to_string(force) + ")")) << call;
    }
}
