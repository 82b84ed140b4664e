// The relay object: what its construction lays out and publishes; what UpdateConfig stores.
#include "LuaFixture.h"

#include <sys/stat.h>

using namespace kwatest;

class ServerTest : public LuaFixture {};

TEST_F(ServerTest, ConstructionLaysOutTheWorkDirectoryAndPublishesItsPaths) {
    TempDir bin("kwa-bin");
    Run("host = require 'kwacore'; host.set('app.path.bin', '" + bin.path() +
        "/'); require 'relay'\n"
        "rs = SLB.RelayServer()");
    const std::string w = WorkDir();
    for (const char* dir : {"/logs", "/temp", "/www/packages", "/www/cache"})
        EXPECT_TRUE(DirExists(w + dir)) << dir;
    // Named only: made by nginx or the other operations when they need them.
    for (const char* path : {"/www/upload", "/nginx.conf", "/nginx.pid", "/logs/error.log"})
        EXPECT_FALSE(FileExists(w + path)) << path;
    // Every construction publishes the paths and secures the directories again.
    Run("for _, k in ipairs{'config', 'errorLog', 'accessLog', 'root', 'binary'} do\n"
        "  host.set('kwp.RelayServer.path.webserver.' .. k, 'stale') end");
    const unsigned secured = FileMode(w + "/logs");
    WriteFile(w + "/www/packages/p.bin", "package");
    for (const char* dir : {"", "/logs", "/temp", "/www", "/www/packages"})
        chmod((w + dir).c_str(), 0777);
    Run("again = SLB.RelayServer()");
    for (const auto& [key, value] :
         {std::pair<const char*, std::string>{"config", w + "/nginx.conf"},
          {"errorLog", w + "/logs/error.log"},
          {"accessLog", w + "/logs/access.log"},
          {"root", w + "/www"},
          {"binary", bin.path() + "/nginx.exe"}})
        EXPECT_EQ(String(std::string("host.get('kwp.RelayServer.path.webserver.") + key + "')"),
                  value);
    for (const char* dir : {"", "/logs", "/www", "/www/packages"})
        EXPECT_EQ(FileMode(w + dir), secured) << dir;
    EXPECT_EQ(FileMode(w + "/temp") & 0022, 0u);
    EXPECT_EQ(ReadFile(w + "/www/packages/p.bin"), "package");
    // A work directory that cannot be made does not stop construction.
    RemoveTree(w);
    WriteFile(w, "not a directory");
    EXPECT_EQ(String("SLB.RelayServer():GetInstallDir()"), w + "/www");
    EXPECT_TRUE(HasLog(1, "CRelayServer::MakeCertificate() - Failed"));
}

// Each row on a fresh object (port 4122, switches 0, no protocols, no strong ciphers).
TEST_F(ServerTest, UpdateConfigStoresAndReportsChanges) {
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
        {"{port = ' 0x20 '}", true, 32}, // numeric string
        {"{port = -1}", true, 65535},
        {"{port = 'abc'}", false, 4122},
        {"{port = 1e300}", true, 0},
        {"{port = 0/0}", true, 0},
        {"{httpport = 80}", true, 4122},
        {"{relay_upload = true}", false, 4122}, // a boolean reads as 0
        {"{relay_upload = '1'}", true, 4122},
        {"{relay_upload = 0.9}", false, 4122},        // cut toward zero
        {"{relay_upload = 4294967296}", false, 4122}, // only the low 32 bits count
        {"{relay_verify_client = 4294967298}", true, 4122},
        {"{enableStrongCipher = 'false'}", true, 4122}, // every value but nil and false is true
        {"{enableStrongCipher = false}", false, 4122},
        {"{tlsProtocols = 1.5}", true, 4122}, // a number is taken as its text
        {"{tlsProtocols = {}}", false, 4122},
    };
    for (const auto& c : cases) {
        ResetLua();
        NewRelay();
        EXPECT_EQ(Bool(std::string("rs:UpdateConfig(") + c.table + ")"), c.changed) << c.table;
        EXPECT_EQ(Integer("rs:GetWebServerListenPort()"), c.port) << c.table;
    }
    // Missing fields reset the switches but keep ports and protocols.
    Run("t = {port = 9000, httpport = 8080, relay_upload = 1, relay_verify_client = 2,\n"
        "     tlsProtocols = 'TLSv1.2', enableStrongCipher = true}");
    EXPECT_TRUE(Bool("rs:UpdateConfig(t)"));
    EXPECT_FALSE(Bool("rs:UpdateConfig(t)"));
    EXPECT_TRUE(Bool("rs:UpdateConfig{}"));
    EXPECT_FALSE(Bool("rs:UpdateConfig{tlsProtocols = 'TLSv1.2'}"));
    EXPECT_EQ(Integer("rs:GetWebServerListenPort()"), 9000);
    EXPECT_TRUE(Bool("rs:UpdateConfig{tlsProtocols = ''}"));
    // An error while a field is read reaches the script.
    EXPECT_NE(Try("rs:UpdateConfig(42)"), "");
    const std::string error = Try("rs:UpdateConfig(setmetatable({}, {__index = function(_, k)\n"
                                  "  if k == 'tlsProtocols' then error('boom: ' .. k) end end}))");
    EXPECT_NE(error.find("boom: tlsProtocols"), std::string::npos) << error;
}
