// The installed tree (cmake --install into a staging directory) and the .deb:
// what they hold, the package's control data, and the installed relay at work.
#include "../serving/AgentProcess.h"

#include <nlohmann/json.hpp>

#include <sstream>

namespace kwatest {
namespace {

const std::string Out = KWA_PACKAGE_TEST_DIR;
const std::string Staging = Out + "/staging";
const std::string ProgramDir = Staging + "/usr/lib/kwagent";

class PackageTest : public ::testing::Test {
protected:
    // Made by the CTest fixture package_build; made here when the program runs alone.
    static void SetUpTestSuite() {
        if (!FileExists(Out + "/ready")) {
            const CommandResult made =
                RunCommand(ShellQuote(KWA_MAKE_PACKAGE) + " " + ShellQuote(KWA_BUILD_DIR) + " " +
                           ShellQuote(Out));
            ASSERT_EQ(made.exitCode, 0) << made.output;
        }
    }

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

    static std::string ControlFile(const std::string& name) {
        return RunCommand("dpkg-deb --ctrl-tarfile " + ShellQuote(Deb()) + " | tar -xOf - ./" +
                          name)
            .output;
    }
};

TEST_F(PackageTest, HoldsTheProgramDirectoryTheCommandAndTheUnit) {
    const CommandResult listing = RunCommand("dpkg-deb -c " + ShellQuote(Deb()));
    ASSERT_EQ(listing.exitCode, 0) << listing.output;
    // "-rwxr-xr-x root/root 12345 2024-01-01 10:00 ./usr/lib/kwagent/kwagent"
    std::map<std::string, std::string> entries; // path -> mode (and link target)
    std::istringstream lines(listing.output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string mode, owner, size, date, time, path, arrow, target;
        fields >> mode >> owner >> size >> date >> time >> path >> arrow >> target;
        entries[path] = mode.substr(0, 1) + (arrow == "->" ? " -> " + target : "");
        EXPECT_EQ(owner, "root/root") << line;
        EXPECT_EQ(line.find(KWA_BUILD_DIR), std::string::npos) << line;
    }
    const std::map<std::string, std::string> expected = {
        {"./usr/lib/kwagent/kwagent", "-"},
        {"./usr/lib/kwagent/kwagent-relay.lua", "-"},
        {"./usr/lib/kwagent/libkwacore.so", "-"},
        {"./usr/lib/kwagent/kwacore.so", "-"},
        {"./usr/lib/kwagent/relay.so", "-"},
        {"./usr/lib/kwagent/kwvp.exe", "-"},
        {"./usr/lib/kwagent/nginx.exe", "l -> " + std::string(KWA_NGINX)},
        {"./usr/bin/kwagent", "l -> ../lib/kwagent/kwagent"},
        {"./usr/lib/systemd/system/kwagent.service", "-"},
    };
    for (const auto& [path, kind] : expected) {
        ASSERT_TRUE(entries.count(path)) << path << " missing from\n" << listing.output;
        EXPECT_EQ(entries[path], kind) << path;
    }
    size_t files = 0;
    for (const auto& [path, kind] : entries)
        if (kind[0] != 'd')
            ++files;
    EXPECT_EQ(files, expected.size()) << "only the agent's own files:\n" << listing.output;
}

TEST_F(PackageTest, ControlFieldsNameTheRuntimePackages) {
    EXPECT_EQ(Field("Package"), "kwagent");
    EXPECT_EQ(Field("Version"), "1.0.0");
    EXPECT_EQ(Field("Architecture"), Line("dpkg --print-architecture"));
    EXPECT_FALSE(Field("Maintainer").empty());
    const std::string depends = ", " + Field("Depends") + ",";
    for (const char* package : {"nginx", "libwxbase3.2-1", "liblua5.2-0", "libssl3", "libfcgi0ldbl",
                                "zlib1g", "libstdc++6", "libc6"}) {
        const std::string name = std::string(", ") + package;
        const auto at = depends.find(name);
        ASSERT_NE(at, std::string::npos) << package << " not in " << depends;
        const char next = depends[at + name.size()];
        EXPECT_TRUE(next == ' ' || next == ',') << package << " in " << depends;
    }
}

TEST_F(PackageTest, MaintainerScriptsPrepareTheDataRootButStartNothing) {
    std::string postinst; // its commands, without the comments
    std::istringstream lines(ControlFile("postinst"));
    for (std::string line; std::getline(lines, line);)
        if (line.find_first_not_of(" ") != std::string::npos &&
            line[line.find_first_not_of(" ")] != '#')
            postinst += line + "\n";
    EXPECT_NE(postinst.find("mkdir -p /var/lib/kwagent"), std::string::npos) << postinst;
    EXPECT_NE(postinst.find("chmod 0711 /var/lib/kwagent"), std::string::npos);
    for (const char* never : {"enable", "start", "restart"})
        EXPECT_EQ(postinst.find(std::string("systemctl ") + never), std::string::npos) << never;
    EXPECT_NE(ControlFile("prerm").find("stop kwagent.service"), std::string::npos);
    EXPECT_NE(ControlFile("postrm").find("purge"), std::string::npos);
    for (const char* script : {"postinst", "prerm", "postrm"}) {
        const CommandResult syntax = RunCommand("dpkg-deb --ctrl-tarfile " + ShellQuote(Deb()) +
                                                " | tar -xOf - ./" + script + " | sh -n");
        EXPECT_EQ(syntax.exitCode, 0) << script << syntax.output;
    }
}

TEST_F(PackageTest, TheUnitRunsTheInstalledAgentInTheForeground) {
    const std::string unit = RunCommand("dpkg-deb --fsys-tarfile " + ShellQuote(Deb()) +
                                        " | tar -xOf - ./usr/lib/systemd/system/kwagent.service")
                                 .output;
    EXPECT_EQ(unit, ReadFile(Staging + "/usr/lib/systemd/system/kwagent.service"));
    for (const char* line : {"Type=simple", "ExecStart=/usr/lib/kwagent/kwagent",
                             "KillSignal=SIGTERM", "KillMode=mixed", "Restart=on-failure",
                             "Environment=KWA_HOME=/var/lib/kwagent", "WantedBy=multi-user.target"})
        EXPECT_NE(unit.find(std::string("\n") + line + "\n"), std::string::npos) << line;
    EXPECT_EQ(unit, ReadFile(SourceDir() + "/agent/kwagent.service"))
        << "with the prefix /usr the unit is shipped as written";

    // Another prefix: ExecStart follows it.
    TempDir other;
    const CommandResult installed =
        RunCommand("DESTDIR=" + ShellQuote(other.path()) + " cmake --install " +
                   ShellQuote(KWA_BUILD_DIR) + " --prefix /opt/relay");
    ASSERT_EQ(installed.exitCode, 0) << installed.output;
    EXPECT_NE(ReadFile(other / "opt/relay/lib/systemd/system/kwagent.service")
                  .find("\nExecStart=/opt/relay/lib/kwagent/kwagent\n"),
              std::string::npos);
    EXPECT_TRUE(FileExists(other / "opt/relay/lib/kwagent/kwagent"));
}

TEST_F(PackageTest, InstalledBinariesFindTheirLibrariesBesideThem) {
    for (const char* binary : {"kwagent", "relay.so", "kwacore.so", "libkwacore.so"}) {
        const std::string path = ProgramDir + "/" + binary;
        const CommandResult dynamic = RunCommand("readelf -d " + ShellQuote(path));
        ASSERT_EQ(dynamic.exitCode, 0) << dynamic.output;
        EXPECT_NE(dynamic.output.find("[$ORIGIN]"), std::string::npos) << binary << dynamic.output;
        EXPECT_EQ(dynamic.output.find(KWA_BUILD_DIR), std::string::npos) << binary;
    }
    // kwvp.exe needs system libraries only: no run path at all.
    const CommandResult launcher = RunCommand("readelf -d " + ShellQuote(ProgramDir + "/kwvp.exe"));
    EXPECT_EQ(launcher.output.find("PATH"), std::string::npos) << launcher.output;
    EXPECT_EQ(RunCommand("ldd " + ShellQuote(ProgramDir + "/kwvp.exe")).output.find("not found"),
              std::string::npos);
    const CommandResult libraries = RunCommand("ldd " + ShellQuote(ProgramDir + "/kwagent"));
    EXPECT_EQ(libraries.output.find("not found"), std::string::npos) << libraries.output;
    EXPECT_NE(libraries.output.find(ProgramDir + "/libkwacore.so"), std::string::npos)
        << libraries.output;
}

// The installed tree as a user runs it, through bin/kwagent.
TEST_F(PackageTest, TheInstalledTreeServesReportsAndStops) {
    TempDir home("kwa-installed");
    const int port = FreePortPair();
    WriteFile(home / "agent.conf", "kwp.RelayServer.port = " + std::to_string(port) +
                                       "\nkwp.RelayServer.address.v4 = 127.0.0.1\n");
    const std::string kwagent = Staging + "/usr/bin/kwagent";
    AgentProcess agent(home.path(), kwagent);
    agent.Start();
    const std::string work = home / "plugins/relay";
    const bool serving =
        WaitUntil([&] { return agent.Says("serving https://"); }, std::chrono::seconds(20));
    EXPECT_TRUE(serving) << agent.Output();
    // The installed program directory runs: its launcher and its nginx.exe link.
    EXPECT_EQ(CommandLineOf(PidIn(work + "/kwvp.pid")).rfind(ProgramDir + "/kwvp.exe", 0), 0u);
    EXPECT_NE(CommandLineOf(PidIn(work + "/nginx.pid")).find(ProgramDir + "/nginx.exe"),
              std::string::npos);

    const std::string status =
        "env KWA_HOME=" + ShellQuote(home.path()) + " " + ShellQuote(kwagent) + " status --json";
    const CommandResult report = RunCommand("(" + status + " 2>/dev/null)");
    EXPECT_EQ(report.exitCode, 0) << report.output;
    const nlohmann::json facts = nlohmann::json::parse(report.output, nullptr, false);
    ASSERT_FALSE(facts.is_discarded()) << report.output;
    EXPECT_TRUE(facts["serving"].get<bool>());
    EXPECT_EQ(facts["program_dir"], ProgramDir);

    agent.Signal(SIGTERM);
    const int exitStatus = agent.Ended(std::chrono::seconds(10));
    ASSERT_NE(exitStatus, -1);
    EXPECT_EQ(exitStatus, 0) << agent.Output();
    EXPECT_EQ(RunCommand("(" + status + " >/dev/null 2>&1)").exitCode, 3);
    EXPECT_TRUE(agent.KillLeftovers(work).empty());
}

} // namespace
} // namespace kwatest
