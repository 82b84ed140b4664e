// kwagent status: its parts in-process, and the command on data directories of a stopped relay.
#include "RelayFixture.h"

#include "TlsProbe.h"

#include <nlohmann/json.hpp>

namespace kwatest {
namespace {

using Json = nlohmann::json;

TEST(StatusParts, TheHandshakeNeverLeavesLoopback) {
    for (const char* address : {"192.0.2.1", "127.0.0.2", "localhost", "::"})
        EXPECT_NE(Agent::Handshake(address, 443, 100).error.find("not a loopback address"),
                  std::string::npos)
            << address;
    EXPECT_NE(Agent::Handshake("127.0.0.1", 1, 2000).error.find("connect"), std::string::npos);
}

class StatusTest : public LuaFixture {
protected:
    // kwagent status with KWA_HOME=home; standard error is left out.
    CommandResult Status(const std::string& home, const std::string& arguments = "") {
        return RunCommand("env KWA_HOME=" + ShellQuote(home) + " " +
                          ShellQuote(BinDir() + "/kwagent") + " status " + arguments +
                          " 2>/dev/null");
    }
    Json Facts(const std::string& home, const std::string& arguments = "") {
        const CommandResult result = Status(home, "--json " + arguments);
        EXPECT_EQ(result.exitCode, 3) << result.output;
        return Json::parse(result.output);
    }
};

TEST_F(StatusTest, StoppedRelayCertificateBundlesLogsAndEvents) {
    NewRelay();
    const std::string program = Home() + "/agent/bin";
    Run("host.set('app.path.bin', '" + program + "')");
    // Beside the agent: waiting, already installed, not bundles at all.
    for (const char* name : {"/kwupdate_200.zip", "/kwupdate_100.zip", "/notabundle.zip"})
        WriteFile(program + name, "zip");
    MakeDirs(program + "/kwupdate_dir.zip");
    WriteFile(Home() + "/agent/kwupdate_300.zip", "zipzip");
    MakeDirs(WorkDir() + "/bundle/kwupdate_100");
    MakeDirs(WorkDir() + "/bundle/tmp/kwupdate_500");
    WriteFile(WorkDir() + "/kwupdate_400.zip", std::string(2048, 'z'));
    std::string events;
    for (int i = 0; i < 11; ++i)
        events +=
            "{\"time\": \"2024-01-01T00:00:0" + std::to_string(i % 10) + ".000Z\", \"id\": 9104}\n";
    WriteFile(Home() + "/logs/events.log",
              events + "not json at all\n{\"time\": \"2024-01-02T00:00:00.000Z\", \"id\": "
                       "9105, \"text\": \"100% \\\"bad\\\"\"}\n");
    const std::string logs = WorkDir() + "/logs/";
    WriteSparseFile(logs + "access.log", 5242880); // at the limit: kept
    WriteSparseFile(logs + "error.log", 20971521); // one byte over
    for (const char* generation :
         {"access-01.log", "access-03.log", "error-05.log", "error-06.log"})
        WriteFile(logs + generation, "old");

    const std::string text = Status(Home()).output;
    EXPECT_NE(text.find("9105 web server not enabled, not valid or not stopped: 100% \"bad\""),
              std::string::npos);
    EXPECT_NE(text.find("ABOVE the 20 MiB protection limit"), std::string::npos);
    const Json facts = Facts(Home(), "--events 3");
    EXPECT_FALSE(facts["serving"].get<bool>());
    const Json& certificate = facts["certificate"];
    const std::string openssl = RunCommand("openssl x509 -noout -fingerprint -sha256 -in " +
                                           ShellQuote(WorkDir() + "/kw_relay.pem"))
                                    .output;
    EXPECT_EQ(openssl.substr(openssl.find('=') + 1),
              certificate["sha256"].get<std::string>() + "\n");
    const long long days = certificate["days_left"].get<long long>();
    EXPECT_TRUE(days == 1779 || days == 1780) << days; // 153,792,000 s from now

    const Json& bundles = facts["bundles"];
    EXPECT_EQ(bundles["installed"], Json::parse(R"(["kwupdate_100"])"));
    ASSERT_EQ(bundles["waiting"].size() + bundles["made"].size(), 3u);
    EXPECT_EQ(bundles["waiting"][0]["name"], "kwupdate_200");
    EXPECT_EQ(bundles["waiting"][1]["name"], "kwupdate_300");
    EXPECT_EQ(bundles["waiting"][1]["size"], 6);
    EXPECT_EQ(bundles["made"][0]["name"], "kwupdate_400");

    const Json &access = facts["logs"]["access"], &error = facts["logs"]["error"];
    EXPECT_FALSE(access["above_rotation"].get<bool>());
    EXPECT_EQ(access["generations"], Json::parse("[1, 3]"));
    EXPECT_TRUE(error["above_protection"].get<bool>());
    EXPECT_EQ(error["generations"], Json::parse("[5]")); // -06 is not a generation

    // The last three events; the broken line is skipped, not counted.
    ASSERT_EQ(facts["events"].size(), 3u) << facts["events"].dump();
    EXPECT_EQ(facts["events"][1]["time"], "2024-01-01T00:00:00.000Z");
    EXPECT_FALSE(facts["events"][1].contains("text"));
    EXPECT_EQ(facts["events"][2]["text"], "100% \"bad\"");
    EXPECT_EQ(Facts(Home())["events"].size(), 10u);
}

TEST_F(StatusTest, PidFilesAloneProveNothing) {
    NewRelay();
    ForeignProcess other("/usr/sbin/not-nginx");
    const pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    WriteFile(WorkDir() + "/kwvp.pid", std::to_string(gone) + "\n");
    WriteFile(WorkDir() + "/nginx.pid", std::to_string(other.pid()) + "\n");
    const Json facts = Facts(Home());
    EXPECT_FALSE(facts["launcher"]["running"].get<bool>());
    EXPECT_FALSE(facts["nginx"]["proved"].get<bool>());
    EXPECT_FALSE(facts["handshake"]["attempted"].get<bool>());
    const std::string reasons = facts["reasons"].dump();
    EXPECT_NE(reasons.find("pid " + std::to_string(gone) + " is not running"), std::string::npos)
        << reasons;
    EXPECT_NE(reasons.find("pid " + std::to_string(other.pid()) + " is another program"),
              std::string::npos);
    WriteFile(WorkDir() + "/nginx.pid", ""); // as nginx's configuration test leaves it
    EXPECT_NE(Facts(Home())["reasons"].dump().find("holds no process id"), std::string::npos);
}

// A missing data directory is not made; one whose name is not UTF-8 is found by its bytes.
TEST_F(StatusTest, CreatesNothingWhereThereIsNoDataDirectory) {
    const std::string missing = Home() + "/never-made", odd = Home() + "/h\xff";
    EXPECT_FALSE(Facts(missing)["home"]["exists"].get<bool>());
    EXPECT_FALSE(FileExists(missing));
    EXPECT_EQ(Status(missing, "--bogus").exitCode, 2);
    MakeDirs(odd);
    EXPECT_NE(Status(odd).output.find("data directory " + odd + " (from KWA_HOME)\n"),
              std::string::npos);
}

} // namespace
} // namespace kwatest
