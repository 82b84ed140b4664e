// The installed tree (cmake --install into a staging directory) and the .deb:
// what they hold, the package's control data and maintainer scripts, the unit.
#include "RelayFixture.h"

#include <nlohmann/json.hpp>
#include <unistd.h>

#include <regex>

namespace kwatest {

const std::string Out = KWA_PACKAGE_TEST_DIR;
const std::string Staging = Out + "/staging";
const std::string ProgramDir = Staging + "/usr/lib/kwagent";

// Made by the CTest fixture package_build; made here when the program runs alone.
void MakePackageOnce() {
    if (FileExists(Out + "/ready"))
        return;
    const CommandResult made = RunCommand(ShellQuote(KWA_MAKE_PACKAGE) + " " +
                                          ShellQuote(KWA_BUILD_DIR) + " " + ShellQuote(Out));
    ASSERT_EQ(made.exitCode, 0) << made.output;
}

namespace {

class PackageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { MakePackageOnce(); }
    // A command's output without its final line feed.
    static std::string Line(const std::string& command) {
        std::string line = RunCommand(command).output;
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        return line;
    }
    static std::string Deb() { return Line("ls " + ShellQuote(Out) + "/kwagent_*.deb"); }
    static std::string Field(const std::string& name) {
        return Line("dpkg-deb -f " + ShellQuote(Deb()) + " " + name);
    }
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
    EXPECT_EQ(Field("Package") + " " + Field("Version") + " " + Field("Architecture"),
              "kwagent 1.0.0 " + Line("dpkg --print-architecture"));
    const std::string depends = "\n" + RunCommand("dpkg-deb -f " + ShellQuote(Deb()) +
                                                  " Depends | tr , '\\n' | awk '{print $1}'")
                                           .output;
    for (const std::string package : {"nginx", "adduser", "libwxbase3.2-1", "liblua5.2-0",
                                      "libssl3", "zlib1g", "libstdc++6", "libc6"})
        EXPECT_NE(depends.find("\n" + package + "\n"), std::string::npos) << package << depends;
}

// The maintainer scripts on a machine of their own (a private mount namespace with
// a copy of /etc and empty /var/lib and /var/log): an upgrade over a tree that an
// earlier version made as root, remove, purge.
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
    const std::string unit = RunCommand("dpkg-deb --fsys-tarfile " + ShellQuote(Deb()) +
                                        " | tar -xOf - ./usr/lib/systemd/system/kwagent.service")
                                 .output;
    EXPECT_EQ(unit, ReadFile(Staging + "/usr/lib/systemd/system/kwagent.service"));
    for (const char* line : {"Type=simple", "User=kwagent", "ExecStart=/usr/lib/kwagent/kwagent",
                             "KillSignal=SIGTERM", "KillMode=mixed", "Restart=on-failure",
                             "Environment=KWA_HOME=/var/lib/kwagent", "WantedBy=multi-user.target"})
        EXPECT_NE(unit.find(std::string("\n") + line + "\n"), std::string::npos) << line;
    EXPECT_EQ(unit, ReadFile(SourceDir() + "/agent/kwagent.service"))
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
    const std::string security =
        Line("systemd-analyze security --offline=yes " + path + " | tail -1");
    std::smatch exposure; // "→ Overall exposure level for kwagent.service: 1.4 OK 🙂"
    ASSERT_TRUE(std::regex_search(security, exposure, std::regex(": ([0-9.]+) "))) << security;
    EXPECT_LE(std::stod(exposure[1]), 2.5) << security;
}

TEST_F(PackageTest, InstalledBinariesFindTheirLibrariesBesideThem) {
    // kwvp.exe needs system libraries only: no run path at all.
    for (const std::string binary :
         {"kwagent", "relay.so", "kwacore.so", "libkwacore.so", "kwvp.exe"}) {
        const std::string dynamic =
            RunCommand("readelf -d " + ShellQuote(ProgramDir + "/" + binary)).output;
        EXPECT_EQ(dynamic.find("[$ORIGIN]") != std::string::npos, binary != "kwvp.exe")
            << binary << dynamic;
        EXPECT_EQ(dynamic.find(binary == "kwvp.exe" ? "PATH" : KWA_BUILD_DIR), std::string::npos)
            << binary;
    }
    const std::string libraries = RunCommand("ldd " + ShellQuote(ProgramDir + "/kwagent") + " " +
                                             ShellQuote(ProgramDir + "/kwvp.exe"))
                                      .output;
    EXPECT_EQ(libraries.find("not found"), std::string::npos) << libraries;
    EXPECT_NE(libraries.find(ProgramDir + "/libkwacore.so"), std::string::npos) << libraries;
}

} // namespace
} // namespace kwatest
