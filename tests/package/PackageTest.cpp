// The installed tree and the .deb: contents, control data, maintainer scripts, the
// unit; and the installed agent run as the unit runs it, without systemd.
#include "RelayFixture.h"

#include <nlohmann/json.hpp>
#include <unistd.h>

#include <cstdlib>

namespace kwatest {

const std::string Out = KWA_PACKAGE_TEST_DIR;
const std::string Staging = Out + "/staging";
const std::string ProgramDir = Staging + "/usr/lib/kwagent";

namespace {

class PackageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { // made by package_build, or here when run alone
        if (!FileExists(Out + "/ready"))
            RunCommand(ShellQuote(KWA_MAKE_PACKAGE) + " " + ShellQuote(KWA_BUILD_DIR) + " " +
                       ShellQuote(Out));
    }
    // A command's output without its final line feed.
    static std::string Line(const std::string& command) {
        std::string line = RunCommand(command).output;
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        return line;
    }
    static std::string Deb() { return Line("ls " + ShellQuote(Out) + "/kwagent_*.deb"); }
};

TEST_F(PackageTest, HoldsTheAgentsFilesAndNamesItsRuntimePackages) {
    // Everything but directories: type, owner, path, link target.
    EXPECT_EQ(RunCommand("dpkg-deb -c " + ShellQuote(Deb()) +
                         " | awk '$1 !~ /^d/ {print substr($1, 1, 1), $2, $6, $7, $8}'" +
                         " | LC_ALL=C sort")
                  .output,
              "- root/root ./usr/lib/kwagent/kwacore.so  \n"
              "- root/root ./usr/lib/kwagent/kwagent  \n"
              "- root/root ./usr/lib/kwagent/kwagent-relay.lua  \n"
              "- root/root ./usr/lib/kwagent/kwvp.exe  \n"
              "- root/root ./usr/lib/kwagent/libkwacore.so  \n"
              "- root/root ./usr/lib/kwagent/relay.so  \n"
              "- root/root ./usr/lib/systemd/system/kwagent.service  \n"
              "l root/root ./usr/bin/kwagent -> ../lib/kwagent/kwagent\n"
              "l root/root ./usr/lib/kwagent/nginx.exe -> " KWA_NGINX "\n");
    EXPECT_EQ(Line("dpkg-deb -f " + ShellQuote(Deb()) + " Package Version Architecture"),
              "Package: kwagent\nVersion: 1.0.0\nArchitecture: " +
                  Line("dpkg --print-architecture"));
    const std::string depends = "\n" + RunCommand("dpkg-deb -f " + ShellQuote(Deb()) +
                                                  " Depends | tr , '\\n' | awk '{print $1}'")
                                           .output;
    for (const std::string package : {"nginx", "adduser", "libwxbase3.2-1", "liblua5.2-0",
                                      "libssl3", "zlib1g", "libstdc++6", "libc6"})
        EXPECT_NE(depends.find("\n" + package + "\n"), std::string::npos) << package << depends;
    // The installed binaries find our libraries beside them, through $ORIGIN.
    for (const std::string binary : {"kwagent", "relay.so", "kwacore.so", "kwvp.exe"}) {
        const std::string path = ProgramDir + "/" + binary,
                          dynamic = Line("readelf -d " + path + " | grep PATH");
        EXPECT_EQ(dynamic.find("[$ORIGIN]") != std::string::npos, binary != "kwvp.exe") << dynamic;
        EXPECT_EQ(dynamic.find(KWA_BUILD_DIR), std::string::npos) << binary;
        EXPECT_EQ(RunCommand("ldd " + path).output.find("not found"), std::string::npos) << binary;
    }
}

// The maintainer scripts in a private mount namespace (copied /etc, empty /var/lib and
// /var/log): an upgrade over a tree an earlier version made as root, remove, purge.
TEST_F(PackageTest, MaintainerScriptsHandTheDataToTheServiceUserAndPurgeKeepsIt) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: mount namespaces";
    TempDir tmp;
    const std::string script = R"sh(set -e
dpkg-deb -e "$DEB" "$T/ctl" && for s in preinst postinst prerm postrm; do sh -n "$T/ctl/$s"; done
cp -a /etc "$T/etc" && mount --bind "$T/etc" /etc && mount -t tmpfs t /var/log
mount -t tmpfs -o mode=0755 t /var/lib && cd /var/lib && mkdir -m 0711 kwagent && cd kwagent
mkdir -p -m 0711 plugins/relay/www/packages plugins/relay/bundle/kwupdate_1
umask 077 && echo key >plugins/relay/kw_relay.key && echo cert >plugins/relay/kw_relay.pem
sh "$T/ctl/preinst" upgrade 0.9 && sh "$T/ctl/postinst" configure 0.9
getent passwd kwagent | cut -d: -f6,7
stat -c '%n %U:%G %a' . plugins/relay/kw_relay.key plugins/relay/kw_relay.pem plugins/relay/bundle/*
cat plugins/relay/kw_relay.pem
setpriv --reuid=kwagent --regid=kwagent --clear-groups env -i "$KWAGENT" status | grep -e "data directory" -e installed:
sh "$T/ctl/prerm" remove && sh "$T/ctl/postrm" remove && echo "after remove: $(ls /var/lib)"
sh "$T/ctl/postrm" purge && echo "after purge: $(ls /var/lib) user $(id -nu kwagent)"
)sh";
    const CommandResult run =
        RunCommand("T=" + ShellQuote(tmp.path()) + " DEB=" + ShellQuote(Deb()) +
                   " KWAGENT=" + ShellQuote(ProgramDir + "/kwagent") + " unshare -m sh -c " +
                   ShellQuote(script) + " 2>&1");
    EXPECT_EQ(run.output,
              "/nonexistent:/usr/sbin/nologin\n"
              ". kwagent:kwagent 700\n"
              "plugins/relay/kw_relay.key kwagent:kwagent 600\n"
              "plugins/relay/kw_relay.pem kwagent:kwagent 600\n"
              "plugins/relay/bundle/kwupdate_1 kwagent:kwagent 711\n"
              "cert\n  data directory /var/lib/kwagent (the default for this user)\n"
              "  installed: kwupdate_1\nafter remove: kwagent\nafter purge:  user kwagent\n");
}

TEST_F(PackageTest, TheUnitRunsTheInstalledAgentInTheForeground) {
    EXPECT_EQ(RunCommand("dpkg-deb --fsys-tarfile " + ShellQuote(Deb()) +
                         " | tar -xOf - ./usr/lib/systemd/system/kwagent.service")
                  .output,
              ReadFile(SourceDir() + "/agent/kwagent.service"))
        << "with the prefix /usr the unit is shipped as written";
    // Another prefix: ExecStart follows it (and exists, as systemd's offline checks want).
    TempDir other;
    const CommandResult installed = RunCommand("cmake --install " + ShellQuote(KWA_BUILD_DIR) +
                                               " --prefix " + ShellQuote(other.path()));
    ASSERT_EQ(installed.exitCode, 0) << installed.output;
    const std::string path = other / "lib/systemd/system/kwagent.service";
    EXPECT_NE(ReadFile(path).find("\nExecStart=" + other / "lib/kwagent/kwagent\n"),
              std::string::npos);
    const CommandResult verify = RunCommand("systemd-analyze verify " + path);
    EXPECT_EQ(verify.exitCode, 0) << verify.output;
    const std::string security = // "... exposure level for kwagent.service: 1.5 OK"
        Line("systemd-analyze security --offline=yes " + path + " | tail -1");
    const auto colon = security.rfind(": ");
    ASSERT_NE(colon, std::string::npos) << security;
    EXPECT_LE(std::atof(security.c_str() + colon + 2), 2.5) << security;
}

const std::string Uid = "64123"; // no user of this machine

class UnitTest : public PackageTest {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: setpriv, mount namespaces";
        RunCommand("chmod 0711 " + root_.path() + " && install -d -m 0700 -o " + Uid + " -g " +
                   Uid + " " + state_ + " " + run_);
    }
    void TearDown() override { EXPECT_TRUE(agent_.KillLeftovers(work_).empty()); } // none left
    void Start(const std::string& port) {
        WriteFile(state_ + "/agent.conf", "kwp.RelayServer.port = " + port +
                                              "\nkwp.RelayServer.upload = 1\nkwagent.beatMs = 100\n"
                                              "kwp.RelayServer.address.v4 = 127.0.0.1\n"
                                              "kwp.RelayServer.address.v6 = [::1]\n");
        RunCommand("chown " + Uid + " " + state_ + "/agent.conf");
        agent_.Start("", "-m sh -c " + ShellQuote("mount --bind " + run_ + " /var/lib/nginx && " +
                                                  AsUnit(ProgramDir + "/kwagent")));
    }
    // The unit's User=, Environment= and sandbox, as far as they hold without systemd
    // (MemoryDenyWriteExecute through PR_SET_MDWE: nginx's PCRE JIT fails, ignored).
    std::string AsUnit(const std::string& command) const {
        std::string sanitizers; // a sanitizer build's own settings (its suppressions)
        for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
            if (const char* value = std::getenv(name))
                sanitizers += std::string(" ") + name + "=" + ShellQuote(value);
        return "exec setpriv --reuid=" + Uid + " --regid=" + Uid + " --clear-groups " +
               "--no-new-privs --inh-caps=-all --bounding-set=-all env -i" + sanitizers +
               " KWA_HOME=" + state_ +
               " PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin HOME=/nonexistent python3 "
               "-c 'import ctypes, os, sys; ctypes.CDLL(None).prctl(65, 1, 0, 0, 0); "
               "os.execv(sys.argv[1], sys.argv[1:])' " +
               command;
    }
    CommandResult Status(bool asRoot) { // through bin/kwagent
        const std::string status = Staging + "/usr/bin/kwagent status --json 2>/dev/null";
        return RunCommand(asRoot ? "KWA_HOME=" + state_ + " " + status
                                 : "(" + AsUnit(status) + ")");
    }

    TempDir root_{"kwa-unit"};
    const std::string state_ = root_ / "kwagent", run_ = root_ / "run";
    const std::string work_ = state_ + "/plugins/relay";
    const int port_ = FreePortPair();
    AgentProcess agent_{state_, "/usr/bin/unshare"};
};

// What the service user cannot use ends the start at once, in the exit status the
// unit does not restart on, with one line saying what to change; then it serves unprivileged.
TEST_F(UnitTest, RefusesWhatTheServiceUserCannotUseThenServesRotatesAndStops) {
    const struct {
        std::string port, owner, mode, says;
    } cases[] = {
        {"70000", Uid, "0700", "kwp.RelayServer.port must be a whole number"},
        {"443", Uid, "0700", "without CAP_NET_BIND_SERVICE: kwp.RelayServer.port 443 is below"},
        {"1", "0", "0755",
         "the data directory " + state_ + " (owner root, mode 0755) does not belong to uid " + Uid},
        {"1", Uid, "0500",
         "the data directory " + state_ + " (owner uid " + Uid + ", mode 0500) cannot be written"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        RunCommand("chown " + c.owner + " " + state_ + " && chmod " + c.mode + " " + state_);
        Start(c.port);
        EXPECT_EQ(agent_.Ended(std::chrono::seconds(10)), 2) << agent_.Output();
        EXPECT_NE(agent_.Output().find(c.says), std::string::npos) << agent_.Output();
    }
    EXPECT_NE(Status(true).output.find("kwagent.service.d/low-port.conf"), std::string::npos);
    RunCommand("chown " + Uid + " " + state_ + " && chmod 0700 " + state_);
    Start(std::to_string(port_));
    ASSERT_TRUE(
        WaitUntil([&] { return agent_.Says("serving https://"); }, std::chrono::seconds(20)))
        << agent_.Output();
    for (const std::string& dir : {state_, work_}) // nginx runs as the agent's user
        EXPECT_EQ(FileMode(dir), 0700u) << dir;
    for (bool asRoot : {true, false}) {
        const auto facts = nlohmann::json::parse(Status(asRoot).output, nullptr, false);
        ASSERT_FALSE(facts.is_discarded()) << asRoot;
        EXPECT_TRUE(facts["serving"].get<bool>()) << asRoot;
        EXPECT_EQ(facts["program_dir"], ProgramDir);
    }
    WriteFile(work_ + "/www/packages/p.bin", "package");
    const std::string url = "https://127.0.0.1:" + std::to_string(port_);
    const auto curl = [&](const std::string& args) {
        return RunCommand("curl -sk --max-time 10 " + args).output;
    };
    EXPECT_EQ(curl(url + "/packages/p.bin"), "package"); // a regular-expression location
    EXPECT_EQ(curl("-o /dev/null -w '%{http_code}' -X PUT --data-binary up " + url + "/data/u"),
              "201");
    EXPECT_EQ(curl(url + "/data/u"), "up");
    // Rotated on the agent's beat; nginx, unprivileged, reopens its log.
    ASSERT_EQ(truncate((work_ + "/logs/access.log").c_str(), 5242881), 0);
    EXPECT_TRUE(WaitUntil([&] { return FileExists(work_ + "/logs/access-01.log"); }));
    EXPECT_TRUE(WaitUntil([&] { // a request logged before the reopen lands in access-01.log
        curl(url + "/packages/p.bin?after");
        return ReadFile(work_ + "/logs/access.log").find("?after") != std::string::npos;
    }));
    agent_.Signal(SIGTERM);
    EXPECT_EQ(agent_.Ended(std::chrono::seconds(10)), 0) << agent_.Output();
    EXPECT_EQ(Status(true).exitCode, 3);
}

} // namespace
} // namespace kwatest
