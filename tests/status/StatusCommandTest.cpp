// kwagent status against real data directories: a stopped relay, limits and
// stale pid files, a data directory that does not exist, and a serving agent.
#include "../serving/AgentProcess.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>

namespace kwatest {
namespace {

using Json = nlohmann::json;

// kwagent status with KWA_HOME=home; standard error is left out of the output.
CommandResult Status(const std::string& home, const std::string& arguments = "") {
    return RunCommand("(env KWA_HOME=" + ShellQuote(home) + " " +
                      ShellQuote(BinDir() + "/kwagent") + " status " + arguments + " 2>/dev/null)");
}

Json StatusJson(const std::string& home, const std::string& arguments = "",
                int* exitCode = nullptr) {
    const CommandResult result = Status(home, "--json " + arguments);
    if (exitCode != nullptr)
        *exitCode = result.exitCode;
    Json facts = Json::parse(result.output, nullptr, false);
    EXPECT_FALSE(facts.is_discarded()) << result.output;
    return facts;
}

// What openssl itself says of a certificate file's SHA-256 fingerprint.
std::string OpensslFingerprint(const std::string& pem) {
    const CommandResult result =
        RunCommand("openssl x509 -noout -fingerprint -sha256 -in " + ShellQuote(pem));
    const auto equals = result.output.find('=');
    std::string fingerprint = equals == std::string::npos ? "" : result.output.substr(equals + 1);
    while (!fingerprint.empty() && fingerprint.back() == '\n')
        fingerprint.pop_back();
    return fingerprint;
}

std::vector<std::string> Names(const Json& list, const char* key = nullptr) {
    std::vector<std::string> names;
    for (const auto& item : list)
        names.push_back(key ? item[key].get<std::string>() : item.get<std::string>());
    return names;
}

class StatusTest : public LuaFixture {
protected:
    std::string Certificate() const { return WorkDir() + "/kw_relay.pem"; }
};

TEST_F(StatusTest, StoppedRelayCertificateBundlesAndEvents) {
    NewRelay(); // the work directory and the relay's own certificate
    const std::string program = Home() + "/agent/bin";
    Run("host.set('app.path.bin', '" + program + "')");
    // Beside the agent: waiting, already installed, not bundles at all.
    WriteFile(program + "/kwupdate_200.zip", "zip");
    WriteFile(program + "/kwupdate_100.zip", "zip");
    WriteFile(program + "/notabundle.zip", "zip");
    MakeDirs(program + "/kwupdate_dir.zip");
    WriteFile(Home() + "/agent/kwupdate_300.zip", "zipzip");
    MakeDirs(WorkDir() + "/bundle/kwupdate_100");
    MakeDirs(WorkDir() + "/bundle/tmp/kwupdate_500");
    WriteFile(WorkDir() + "/kwupdate_400.zip", std::string(2048, 'z'));
    std::string events;
    for (int i = 0; i < 11; ++i)
        events +=
            "{\"time\": \"2024-01-01T00:00:0" + std::to_string(i % 10) + ".000Z\", \"id\": 9104}\n";
    events += "not json at all\n";
    events +=
        "{\"time\": \"2024-01-02T00:00:00.000Z\", \"id\": 9105, \"text\": \"100% \\\"bad\\\"\"}\n";
    WriteFile(Home() + "/logs/events.log", events);

    const CommandResult text = Status(Home());
    EXPECT_EQ(text.exitCode, 3) << text.output;
    EXPECT_NE(text.output.find("NOT SERVING"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("CN=Kestrel Ward Relay"), std::string::npos);
    EXPECT_NE(text.output.find("kw_agent_kwm.crt: MISSING"), std::string::npos);
    EXPECT_NE(
        text.output.find("9105 web server not enabled, not valid or not stopped: 100% \"bad\""),
        std::string::npos)
        << text.output;

    int exitCode = 0;
    const Json facts = StatusJson(Home(), "--events 3", &exitCode);
    EXPECT_EQ(exitCode, 3);
    EXPECT_FALSE(facts["serving"].get<bool>());
    EXPECT_FALSE(facts["reasons"].empty());
    EXPECT_TRUE(facts["launcher"]["pid"].is_null());
    EXPECT_FALSE(facts["handshake"]["attempted"].get<bool>());
    EXPECT_FALSE(facts["agent"]["running"].get<bool>());

    const Json& certificate = facts["certificate"];
    EXPECT_TRUE(certificate["present"].get<bool>());
    EXPECT_EQ(certificate["subject"], "CN=Kestrel Ward Relay");
    EXPECT_EQ(certificate["issuer"], "CN=Kestrel Ward Relay");
    EXPECT_EQ(certificate["sha256"], OpensslFingerprint(Certificate()));
    EXPECT_EQ(certificate["key"], "RSA 2048 bits");
    const long long days = certificate["days_left"].get<long long>();
    EXPECT_TRUE(days == 1779 || days == 1780) << days; // 153,792,000 s from now
    EXPECT_FALSE(certificate["expired"].get<bool>());
    EXPECT_FALSE(facts["management_ca"]["present"].get<bool>());

    const Json& bundles = facts["bundles"];
    EXPECT_EQ(Names(bundles["installed"]), std::vector<std::string>{"kwupdate_100"});
    EXPECT_EQ(Names(bundles["waiting"], "name"),
              (std::vector<std::string>{"kwupdate_200", "kwupdate_300"}));
    EXPECT_EQ(bundles["waiting"][1]["size"], 6);
    EXPECT_EQ(Names(bundles["made"], "name"), std::vector<std::string>{"kwupdate_400"});
    EXPECT_EQ(bundles["made"][0]["size"], 2048);

    // The last three events; the broken line is skipped, not counted.
    ASSERT_EQ(facts["events"].size(), 3u) << facts["events"].dump();
    EXPECT_EQ(facts["events"][1]["id"], 9104);
    EXPECT_FALSE(facts["events"][1].contains("text"));
    EXPECT_EQ(facts["events"][1]["time"], "2024-01-01T00:00:00.000Z");
    EXPECT_EQ(facts["events"][2]["id"], 9105);
    EXPECT_EQ(facts["events"][2]["text"], "100% \"bad\"");
    EXPECT_EQ(StatusJson(Home())["events"].size(), 10u);
}

TEST_F(StatusTest, LogsAgainstTheLimitsAndAPresentCa) {
    NewRelay();
    const std::string logs = WorkDir() + "/logs/";
    WriteFile(logs + "access.log", "");
    ASSERT_EQ(truncate((logs + "access.log").c_str(), 5242880), 0); // at the limit: kept
    WriteFile(logs + "error.log", "");
    ASSERT_EQ(truncate((logs + "error.log").c_str(), 20971521), 0); // one byte over
    for (const char* generation :
         {"access-01.log", "access-03.log", "error-05.log", "error-06.log"})
        WriteFile(logs + generation, "old");
    WriteFile(Home() + "/plugins/kwa_core/kw_agent_kwm.crt", ReadFile(Certificate()));

    const Json facts = StatusJson(Home());
    const Json& access = facts["logs"]["access"];
    const Json& error = facts["logs"]["error"];
    EXPECT_EQ(access["size"], 5242880);
    EXPECT_FALSE(access["above_rotation"].get<bool>());
    EXPECT_EQ(access["generations"], Json::parse("[1, 3]"));
    EXPECT_EQ(error["size"], 20971521);
    EXPECT_TRUE(error["above_rotation"].get<bool>());
    EXPECT_TRUE(error["above_protection"].get<bool>());
    EXPECT_EQ(error["generations"], Json::parse("[5]")); // -06 is not a generation
    EXPECT_EQ(facts["logs"]["rotation_size"], 5242880);
    EXPECT_EQ(facts["logs"]["protection_size"], 20971520);
    EXPECT_TRUE(facts["management_ca"]["present"].get<bool>());
    EXPECT_EQ(facts["management_ca"]["subject"], "CN=Kestrel Ward Relay");

    const CommandResult text = Status(Home());
    EXPECT_NE(text.output.find("ABOVE the 20 MiB protection limit"), std::string::npos)
        << text.output;
    EXPECT_NE(text.output.find("generations: -01 -03"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("kw_agent_kwm.crt: present"), std::string::npos);
}

TEST_F(StatusTest, PidFilesAloneProveNothing) {
    NewRelay();
    ForeignProcess other("/usr/sbin/not-nginx");
    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    WriteFile(WorkDir() + "/kwvp.pid", std::to_string(gone) + "\n");
    WriteFile(WorkDir() + "/nginx.pid", std::to_string(other.pid()) + "\n");

    int exitCode = 0;
    const Json facts = StatusJson(Home(), "", &exitCode);
    EXPECT_EQ(exitCode, 3);
    EXPECT_FALSE(facts["launcher"]["running"].get<bool>());
    EXPECT_TRUE(facts["nginx"]["running"].get<bool>());
    EXPECT_FALSE(facts["nginx"]["proved"].get<bool>());
    EXPECT_FALSE(facts["handshake"]["attempted"].get<bool>());
    const std::string reasons = facts["reasons"].dump();
    EXPECT_NE(reasons.find("pid " + std::to_string(gone) + " is not running"), std::string::npos)
        << reasons;
    EXPECT_NE(reasons.find("pid " + std::to_string(other.pid()) + " is another program"),
              std::string::npos)
        << reasons;

    WriteFile(WorkDir() + "/nginx.pid", ""); // as nginx's configuration test leaves it
    EXPECT_NE(StatusJson(Home())["reasons"].dump().find("holds no process id"), std::string::npos);
}

TEST_F(StatusTest, CreatesNothingWhereThereIsNoDataDirectory) {
    const std::string missing = Home() + "/never-made";
    int exitCode = 0;
    const Json facts = StatusJson(missing, "", &exitCode);
    EXPECT_EQ(exitCode, 3);
    EXPECT_FALSE(facts["home"]["exists"].get<bool>());
    EXPECT_FALSE(facts["home"]["default"].get<bool>());
    EXPECT_FALSE(facts["certificate"]["present"].get<bool>());
    EXPECT_EQ(facts["listen"]["port"], 4122);
    EXPECT_FALSE(FileExists(missing));

    const CommandResult bad = Status(missing, "--bogus");
    EXPECT_EQ(bad.exitCode, 2);
}

// A real agent from the build's program directory, on a free loopback port.
class ServingStatusTest : public AgentFixture {};

TEST_F(ServingStatusTest, ServingRelayAndItsHandshake) {
    agent_.Start();
    ASSERT_TRUE(WaitServing()) << Output();

    int exitCode = -1;
    const Json facts = StatusJson(home_.path(), "", &exitCode);
    EXPECT_EQ(exitCode, 0) << facts.dump(2);
    EXPECT_TRUE(facts["serving"].get<bool>());
    EXPECT_TRUE(facts["reasons"].empty());
    EXPECT_EQ(facts["agent"]["pid"], agent_.Pid());
    EXPECT_EQ(facts["launcher"]["pid"], PidIn(WorkDir() + "/kwvp.pid"));
    EXPECT_EQ(facts["nginx"]["pid"], PidIn(WorkDir() + "/nginx.pid"));
    EXPECT_EQ(facts["listen"]["port"], port_);
    EXPECT_EQ(facts["listen"]["addresses"], Json::array({"127.0.0.1:" + std::to_string(port_)}));
    const Json& handshake = facts["handshake"];
    EXPECT_TRUE(handshake["ok"].get<bool>());
    EXPECT_EQ(handshake["address"], "127.0.0.1");
    EXPECT_EQ(handshake["protocol"], "TLSv1.3");
    EXPECT_TRUE(handshake["matches_relay_certificate"].get<bool>());
    EXPECT_EQ(handshake["certificate"]["sha256"], OpensslFingerprint(WorkDir() + "/kw_relay.pem"));
    EXPECT_TRUE(facts["management_ca"]["present"].get<bool>()); // the agent made a local one
    ASSERT_FALSE(facts["events"].empty());
    EXPECT_EQ(facts["events"].back()["id"], 9104);

    const CommandResult text = Status(home_.path());
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_EQ(text.output.rfind("Relay: SERVING\n", 0), 0u) << text.output;
    EXPECT_NE(text.output.find("the relay's certificate"), std::string::npos);

    EXPECT_EQ(Stop(), 0) << Output();
    const Json after = StatusJson(home_.path(), "", &exitCode);
    EXPECT_EQ(exitCode, 3);
    EXPECT_FALSE(after["agent"]["running"].get<bool>());
    EXPECT_EQ(after["events"].back()["id"], 9103);
}

} // namespace
} // namespace kwatest
