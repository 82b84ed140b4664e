// UpdateConfig: which values the manager's settings table stores, and when the
// method reports a change.
#include "LuaFixture.h"

using namespace kwatest;

class UpdateConfig : public LuaFixture {
protected:
    void SetUp() override {
        LuaFixture::SetUp();
        NewRelay();
        Run("host.trace('RS', true)");
    }
};

TEST_F(UpdateConfig, PortRules) {
    const struct {
        const char* table;
        bool changed;
        int port;
    } cases[] = {
        {"{}", false, 4122},
        {"{port = 0}", false, 4122},
        {"{port = 4122}", false, 4122},
        {"{port = 4122.7}", true, 4122}, // a fraction always differs
        {"{port = 70000}", true, 4464},  // modulo 65536
        {"{port = '8443'}", true, 8443}, // numeric string
        {"{port = ' 0x20 '}", true, 32},
        {"{port = -1}", true, 65535},
        {"{port = 'abc'}", false, 4122},
        {"{port = true}", false, 4122},
        {"{port = 1e300}", true, 0},
        {"{port = 0/0}", true, 0},
    };
    for (const auto& c : cases) {
        ResetLua();
        NewRelay();
        EXPECT_EQ(Bool(std::string("rs:UpdateConfig(") + c.table + ")"), c.changed) << c.table;
        EXPECT_EQ(Integer("rs:GetWebServerListenPort()"), c.port) << c.table;
    }
}

TEST_F(UpdateConfig, SameTableTwiceChangesOnce) {
    Run("t = {port = 8443, httpport = 8080, relay_upload = 1, relay_verify_client = 2,\n"
        "     tlsProtocols = 'TLSv1.2 TLSv1.3', enableStrongCipher = true}");
    EXPECT_TRUE(Bool("rs:UpdateConfig(t)"));
    EXPECT_FALSE(Bool("rs:UpdateConfig(t)"));
    EXPECT_EQ(Integer("rs:GetWebServerListenPort()"), 8443);
    EXPECT_TRUE(HasTrace(" Listen port set to 8443"));
    EXPECT_TRUE(HasTrace(" TLSProtocols set to TLSv1.2 TLSv1.3"));
    EXPECT_TRUE(HasTrace("The new strong cipher value is different from the old strong cipher "
                         "value, will set to true"));
}

TEST_F(UpdateConfig, MissingFieldsResetTheSwitchesButKeepPortsAndProtocols) {
    Run("rs:UpdateConfig{port = 9000, tlsProtocols = 'TLSv1.2', relay_upload = 1}");
    EXPECT_TRUE(Bool("rs:UpdateConfig{}")); // relay_upload back to 0
    EXPECT_FALSE(Bool("rs:UpdateConfig{}"));
    EXPECT_EQ(Integer("rs:GetWebServerListenPort()"), 9000);
    KwaCore::Host::ClearRecords();
    EXPECT_FALSE(Bool("rs:UpdateConfig{tlsProtocols = 'TLSv1.2'}"));
    EXPECT_TRUE(Bool("rs:UpdateConfig{tlsProtocols = ''}")); // cleared
    EXPECT_TRUE(HasTrace(" TLSProtocols set to "));
}

TEST_F(UpdateConfig, ValueConversions) {
    const struct {
        const char* table;
        bool changed;
    } cases[] = {
        {"{relay_upload = true}", false},       // a boolean reads as 0
        {"{relay_upload = '1'}", true},         // numeric string
        {"{relay_upload = 0.9}", false},        // cut toward zero
        {"{relay_upload = 4294967296}", false}, // only the low 32 bits count
        {"{relay_verify_client = 4294967298}", true},
        {"{enableStrongCipher = 0}", true}, // every value but nil and false is true
        {"{enableStrongCipher = 'false'}", true},
        {"{enableStrongCipher = false}", false},
        {"{tlsProtocols = 1.5}", true}, // a number is taken as its text
        {"{tlsProtocols = {}}", false}, // no string: no change
        {"{httpport = 80}", true},
    };
    for (const auto& c : cases) {
        ResetLua();
        NewRelay();
        EXPECT_EQ(Bool(std::string("rs:UpdateConfig(") + c.table + ")"), c.changed) << c.table;
    }
}

TEST_F(UpdateConfig, FieldsAreReadInOrderThroughMetamethods) {
    Run("seen = {}\n"
        "t = setmetatable({}, {__index = function(_, k) seen[#seen + 1] = k end})\n"
        "rs:UpdateConfig(t)");
    EXPECT_EQ(String("table.concat(seen, ',')"),
              "port,httpport,relay_upload,relay_verify_client,tlsProtocols,enableStrongCipher");
}

TEST_F(UpdateConfig, ErrorsFromTheTableReachTheScript) {
    // No table at all: the first field read raises and nothing changed.
    EXPECT_NE(Try("rs:UpdateConfig()"), "");
    EXPECT_NE(Try("rs:UpdateConfig(42)"), "");
    EXPECT_EQ(Integer("rs:GetWebServerListenPort()"), 4122);
    // A raising metamethod goes through as the script's own error.
    const std::string error = Try("rs:UpdateConfig(setmetatable({}, {__index = function(_, k)\n"
                                  "  if k == 'tlsProtocols' then error('boom: ' .. k) end end}))");
    EXPECT_NE(error.find("boom: tlsProtocols"), std::string::npos) << error;
    EXPECT_EQ(Integer("rs:GetWebServerListenPort()"), 4122);
}
