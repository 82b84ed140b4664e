// kwagent as a user runs it: started, serving, in kwagent status, stopped, nothing left.
#include "RelayFixture.h"
#include "UniqueFd.h"

#include <nlohmann/json.hpp>

#include <sys/socket.h>

#include <thread>

namespace kwatest {
namespace {

class AgentTest : public AgentFixture {
protected:
    bool Says(const std::string& text) const { return agent_.Says(text); }
    std::string Fetch(const std::string& path) {
        return RunCommand("curl -sS -k --max-time 10 https://127.0.0.1:" + std::to_string(port_) +
                          path)
            .output;
    }
    nlohmann::json Status(int exitCode) { // kwagent status --json, which ends with exitCode
        const CommandResult result =
            RunCommand("env KWA_HOME=" + ShellQuote(home_.path()) + " " +
                       ShellQuote(BinDir() + "/kwagent") + " status --json 2>/dev/null");
        EXPECT_EQ(result.exitCode, exitCode) << result.output;
        return nlohmann::json::parse(result.output, nullptr, false);
    }
};

// A stop from the data directory's taking to nginx's start ends in exit 0, nothing behind it.
TEST_F(AgentTest, AStopDuringTheStartEndsCleanly) {
    for (int delayMs : {0, 30, 120, 300}) {
        SCOPED_TRACE("SIGTERM " + std::to_string(delayMs) + " ms into the start");
        agent_.Start();
        ASSERT_TRUE(WaitUntil([&] { return Says("data directory"); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        EXPECT_EQ(Stop(), 0) << Output();
        EXPECT_TRUE(WaitUntil([&] { return ProcessesOf(WorkDir()).empty(); })) << Output();
    }
}

// The next agent removes a killed one's server and holds the data directory against a third.
TEST_F(AgentTest, ANewAgentRemovesTheServerOfAKilledOneAndHoldsTheDataDirectory) {
    agent_.Start();
    ASSERT_TRUE(WaitServing()) << Output();
    EXPECT_TRUE(Says("made a local one at " + home_.path() + "/plugins/kwa_core/kw_agent_kwm.crt"));
    long kwvp = PidIn(WorkDir() + "/kwvp.pid"), master = PidIn(WorkDir() + "/nginx.pid");
    ASSERT_NE(Stop(SIGKILL), -1);
    ASSERT_TRUE(ProcessAlive(kwvp) && ProcessAlive(master));
    agent_.Start();
    ASSERT_TRUE(WaitServing()) << Output();
    EXPECT_FALSE(Says("made a local one")) << "the CA of the first start is kept";
    EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(kwvp) && !ProcessAlive(master); }));
    kwvp = PidIn(WorkDir() + "/kwvp.pid"), master = PidIn(WorkDir() + "/nginx.pid");
    AgentProcess third(home_.path());
    third.Start();
    EXPECT_EQ(third.Ended(std::chrono::seconds(10)), 1);
    EXPECT_TRUE(third.Says("another kwagent uses the data directory")) << third.Output();
    WriteFile(WorkDir() + "/www/packages/hello.txt", "hello");
    EXPECT_EQ(Fetch("/packages/hello.txt"), "hello");
    const auto facts = Status(0);
    EXPECT_EQ(facts["agent"]["pid"], agent_.Pid());
    EXPECT_TRUE(facts["nginx"]["proved"].get<bool>());
    EXPECT_TRUE(facts["handshake"]["matches_relay_certificate"].get<bool>());

    EXPECT_EQ(Stop(SIGINT), 0) << Output();
    EXPECT_FALSE(ProcessAlive(kwvp) || ProcessAlive(master));
    EXPECT_FALSE(FileExists(WorkDir() + "/nginx.pid") || FileExists(WorkDir() + "/kwvp.pid"));
    EXPECT_EQ(Status(3)["events"].back()["id"], 9103);
}

TEST_F(AgentTest, InstallsUpdateBundlesOnce) {
    const std::string bin = home_ / "bin";
    MakeDirs(bin, 0755);
    for (const char* program : {"nginx.exe", "kwvp.exe"})
        ASSERT_EQ(symlink((BinDir() + "/" + program).c_str(), (bin + "/" + program).c_str()), 0);
    TempDir staging;
    const std::string content = "from a bundle" + std::string(1523, '.'); // 1.5 KiB
    WriteFile(staging / "packages/p/bundled.txt", content);
    ASSERT_EQ(RunCommand("cd " + ShellQuote(staging.path()) + " && zip -qr " +
                         ShellQuote(bin + "/kwupdate_1700000000.zip") + " packages")
                  .exitCode,
              0);
    WriteConf(std::to_string(port_), "app.path.bin = " + bin + "\n");
    for (const bool first : {true, false}) {
        agent_.Start();
        ASSERT_TRUE(WaitServing()) << Output();
        if (first) { // with its progress line: two directories and a file
            EXPECT_TRUE(Says("unpacked " + bin + "/kwupdate_1700000000.zip: 3 entries, 1.5 KiB"))
                << Output();
            EXPECT_TRUE(Says("installed 1 update bundle(s)")) << Output();
            EXPECT_EQ(Fetch("/packages/p/bundled.txt"), content);
            EXPECT_FALSE(FileExists(WorkDir() + "/bundle/tmp"));
        } else {
            EXPECT_FALSE(Says("update bundle")) << Output();
        }
        ASSERT_EQ(Stop(), 0) << Output();
    }
}

TEST_F(AgentTest, FailsWhenThePortIsTakenOrCannotHoldTheUploadPort) {
    Kwa::UniqueFd taken(BindLoopback(port_));
    ASSERT_TRUE(taken.Valid());
    ASSERT_EQ(listen(taken.Get(), 1), 0);
    agent_.Start();
    const int status = agent_.Ended(std::chrono::seconds(20));
    taken.Reset();
    EXPECT_EQ(status, 1) << Output();
    EXPECT_TRUE(Says("the web server did not start")) << Output();
    WriteConf("65535");
    agent_.Start();
    EXPECT_EQ(agent_.Ended(std::chrono::seconds(10)), 2) << Output();
}

} // namespace
} // namespace kwatest
