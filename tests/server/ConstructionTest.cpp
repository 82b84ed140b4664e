// Construction of the relay object: the work directory layout, what is only
// named, the published settings and the getters.
#include "LuaFixture.h"

#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

using namespace kwatest;

class Construction : public LuaFixture {};

TEST_F(Construction, LaysOutTheWorkDirectory) {
    NewRelay();
    const std::string w = WorkDir();
    for (const char* dir : {"", "/logs", "/temp", "/www", "/www/packages", "/www/cache"})
        EXPECT_TRUE(DirExists(w + dir)) << dir;
    // Named only: created by nginx or the other operations when they need them.
    for (const char* path : {"/www/upload", "/nginx.conf", "/nginx.pid", "/kwvp.pid",
                             "/logs/error.log", "/logs/access.log", "/nginx.tmp"})
        EXPECT_FALSE(FileExists(w + path)) << path;
    EXPECT_TRUE(FileExists(w + "/kw_relay.pem"));
    EXPECT_TRUE(FileExists(w + "/kw_relay.key"));
}

TEST_F(Construction, GettersNameThePaths) {
    NewRelay();
    const std::string w = WorkDir();
    EXPECT_EQ(String("rs:GetInstallDir()"), w + "/www");
    EXPECT_EQ(String("rs:GetWebServerAccessLogPath()"), w + "/logs/access.log");
    EXPECT_EQ(String("rs:GetWebServerErrorLogPath()"), w + "/logs/error.log");
    EXPECT_EQ(String("rs:GetWebServerConfigPath()"), w + "/nginx.conf");
    EXPECT_EQ(String("rs:GetWebServerSslCertPathCA()"),
              Home() + "/plugins/kwa_core/kw_agent_kwm.crt");
    EXPECT_EQ(Integer("rs:GetWebServerListenPort()"), 4122);
}

TEST_F(Construction, PublishesFivePathSettingsOnEveryConstruction) {
    NewRelay();
    const std::string w = WorkDir();
    const struct {
        const char* key;
        std::string value;
    } settings[] = {
        {"kwp.RelayServer.path.webserver.config", w + "/nginx.conf"},
        {"kwp.RelayServer.path.webserver.errorLog", w + "/logs/error.log"},
        {"kwp.RelayServer.path.webserver.accessLog", w + "/logs/access.log"},
        {"kwp.RelayServer.path.webserver.root", w + "/www"},
        {"kwp.RelayServer.path.webserver.binary", BinDir() + "/nginx.exe"},
    };
    for (const auto& s : settings)
        EXPECT_EQ(String(std::string("host.get('") + s.key + "')"), s.value) << s.key;
    // The settings reach the agent's settings file.
    const std::string conf = ReadFile(Home() + "/agent.conf");
    for (const auto& s : settings)
        EXPECT_NE(conf.find(s.key), std::string::npos) << s.key;

    Run("for _, k in ipairs{'config', 'errorLog', 'accessLog', 'root', 'binary'} do\n"
        "  host.set('kwp.RelayServer.path.webserver.' .. k, 'stale')\n"
        "end\n"
        "again = SLB.RelayServer()");
    for (const auto& s : settings)
        EXPECT_EQ(String(std::string("host.get('") + s.key + "')"), s.value) << s.key;
}

TEST_F(Construction, ExistingDirectoriesAreSecuredAgainAndKeepTheirContent) {
    NewRelay();
    const std::string w = WorkDir();
    const unsigned secured = FileMode(w + "/logs");
    WriteFile(w + "/www/packages/p.bin", "package");
    for (const char* dir : {"", "/logs", "/temp", "/www", "/www/packages", "/www/cache"})
        chmod((w + dir).c_str(), 0777);
    Run("again = SLB.RelayServer()");
    for (const char* dir : {"", "/logs", "/www", "/www/packages", "/www/cache"})
        EXPECT_EQ(FileMode(w + dir), secured) << dir;
    EXPECT_EQ(FileMode(w + "/temp") & 0022, 0u) << "temp is open to writers";
    EXPECT_EQ(ReadFile(w + "/www/packages/p.bin"), "package");
}

TEST_F(Construction, ProgramDirectoryComesFromTheAgentSetting) {
    TempDir bin("kwa-bin");
    Run("host = require 'kwacore'\n"
        "host.set('app.path.bin', '" +
        bin.path() +
        "/')\n"
        "require 'relay'\n"
        "rs = SLB.RelayServer()");
    EXPECT_EQ(String("host.get('kwp.RelayServer.path.webserver.binary')"),
              bin.path() + "/nginx.exe");
}

TEST_F(Construction, AWorkDirectoryThatCannotBeMadeDoesNotStopConstruction) {
    // The plug-in directory is taken by a plain file.
    MakeDirs(Home() + "/plugins", 0711);
    WriteFile(WorkDir(), "not a directory");
    NewRelay();
    EXPECT_EQ(String("rs:GetInstallDir()"), WorkDir() + "/www");
    EXPECT_EQ(Integer("rs:GetWebServerListenPort()"), 4122);
    EXPECT_FALSE(FileExists(WorkDir() + "/kw_relay.key"));
    EXPECT_TRUE(HasLog(1, "CRelayServer::MakeCertificate() - Failed"));
}

TEST_F(Construction, NonAsciiPathsComeBackAsUtf8) {
    TempDir parent("kwa-home");
    const std::string home = parent.path() + "/Caf\xC3\xA9 \xC3\x9Cn\xC3\xAF";
    MakeDirs(home, 0711);
    setenv("KWA_HOME", home.c_str(), 1);
    NewRelay();
    EXPECT_EQ(String("rs:GetInstallDir()"), home + "/plugins/relay/www");
    EXPECT_TRUE(DirExists(home + "/plugins/relay/www/packages"));
    EXPECT_EQ(String("host.get('kwp.RelayServer.path.webserver.root')"),
              home + "/plugins/relay/www");
}

// In the sanitizer build the module needs the sanitizer's runtime loaded first in
// a stock interpreter (the one this test program has); lua5.2's own allocations
// are not this test's concern.
static std::string SanitizerPreload() {
#if defined(__SANITIZE_ADDRESS__)
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        const auto path = line.find('/');
        if (path != std::string::npos && line.find("libasan.so", path) != std::string::npos)
            return " LD_PRELOAD=" + ShellQuote(line.substr(path)) + " ASAN_OPTIONS=detect_leaks=0";
    }
#endif
    return "";
}

TEST_F(Construction, StockInterpreterLoadsTheModule) {
    const std::string script = "package.cpath = '" + BinDir() +
                               "/?.so;' .. package.cpath\n"
                               "print(require 'relay')\n"
                               "local rs = SLB.RelayServer()\n"
                               "print(rs:GetWebServerListenPort())\n"
                               "print(rs:GetInstallDir())";
    TempDir parent("kwa-home");
    const std::string home = parent.path() + "/\xC3\xA9t\xC3\xA9";
    const CommandResult result =
        RunCommand("env -u LANG -u LC_ALL -u LC_CTYPE" + SanitizerPreload() +
                   " KWA_HOME=" + ShellQuote(home) + " lua5.2 -e " + ShellQuote(script));
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output, "true\n4122\n" + home + "/plugins/relay/www\n");
}
