// The scripting class as scripts see it: loading, Lua truth for boolean arguments,
// the object's life during a call (the script fuzzer covers the rest).
#include "LuaFixture.h"

using kwatest::LuaFixture;

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

TEST_F(Binding, BooleanArgumentsFollowLuaTruth) {
    NewRelay();
    Run("host.trace('RS', true)");
    // An empty protocol list never validates: no start goes beyond the check.
    for (const auto& [argument, force] : {std::pair<std::string, int>{"", 0},
                                          {"nil", 0},
                                          {"false", 0},
                                          {"0", 1},
                                          {"''", 1},
                                          {"{}", 1}}) {
        KwaCore::Host::ClearRecords();
        EXPECT_FALSE(Bool("rs:StartWebServer(" + argument + ")")) << argument;
        EXPECT_TRUE(HasTrace("StartWebServer(force=" + std::to_string(force) + ")")) << argument;
    }
}

// A collection while the arguments are read must not finalise the object in use; a
// raw method's object finalised by script code is refused, not used.
TEST_F(Binding, TheObjectOutlivesACollectionDuringItsCall) {
    NewRelay();
    Run("collectgarbage('setpause', 0); collectgarbage('setstepmul', 1000000); collectgarbage()\n"
        "weak = setmetatable({}, {__mode = 'v'})\n"
        "weak[1] = SLB.RelayServer()\n"
        "SLB.RelayServer.RotateLogFile(weak[1], 12345, 1)\n"
        "assert(weak[1] ~= nil, 'collected during its call')\n"
        "collectgarbage('setpause', 200); collectgarbage('setstepmul', 200)\n"
        "local o = SLB.RelayServer()\n"
        "assert(not pcall(o.UpdateConfig, o, setmetatable({}, {__index = function()\n"
        "    getmetatable(o).__gc(o); collectgarbage() end})))");
}
