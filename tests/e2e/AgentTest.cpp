// kwagent as a user runs it: started, serving, stopped with SIGTERM, nothing left.
#include "../serving/AgentProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>

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
};

TEST_F(AgentTest, ServesUntilSigtermThenExitsCleanly) {
    agent_.Start();
    ASSERT_TRUE(WaitServing()) << Output();
    EXPECT_TRUE(Says("data directory " + home_.path() + " (from KWA_HOME)"));
    EXPECT_TRUE(Says("made a local one at " + home_.path() + "/plugins/kwa_core/kw_agent_kwm.crt"));
    EXPECT_TRUE(Says("work directory " + WorkDir()));
    EXPECT_TRUE(Says(WorkDir() + "/logs/access.log"));

    WriteFile(WorkDir() + "/www/packages/hello.txt", "hello");
    EXPECT_EQ(Fetch("/packages/hello.txt"), "hello");
    const long kwvp = PidIn(WorkDir() + "/kwvp.pid");
    const long master = PidIn(WorkDir() + "/nginx.pid");
    ASSERT_TRUE(ProcessAlive(kwvp) && ProcessAlive(master));

    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(Stop(), 0) << Output();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
    EXPECT_FALSE(ProcessAlive(kwvp));
    EXPECT_FALSE(ProcessAlive(master));
    EXPECT_FALSE(FileExists(WorkDir() + "/nginx.pid"));
    EXPECT_FALSE(FileExists(WorkDir() + "/kwvp.pid"));
}

TEST_F(AgentTest, ANewAgentRemovesTheServerOfAKilledOneAndHoldsTheDataDirectory) {
    agent_.Start();
    ASSERT_TRUE(WaitServing()) << Output();
    const long kwvp = PidIn(WorkDir() + "/kwvp.pid");
    const long master = PidIn(WorkDir() + "/nginx.pid");
    ASSERT_NE(Stop(SIGKILL), -1);
    ASSERT_TRUE(ProcessAlive(kwvp) && ProcessAlive(master)) << "left behind by the killed agent";

    agent_.Start();
    ASSERT_TRUE(WaitServing()) << Output();
    EXPECT_FALSE(Says("made a local one")) << "the CA of the first start is kept";
    EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(kwvp) && !ProcessAlive(master); }));
    const long newMaster = PidIn(WorkDir() + "/nginx.pid");
    EXPECT_NE(newMaster, master);

    // The killed agent's hold on the data directory went with it; the new one's holds.
    AgentProcess third(home_.path());
    third.Start();
    EXPECT_EQ(third.Ended(std::chrono::seconds(10)), 1);
    EXPECT_TRUE(third.Says("another kwagent uses the data directory")) << third.Output();
    EXPECT_TRUE(ProcessAlive(newMaster)) << "the running agent's web server was left alone";
    EXPECT_EQ(Stop(SIGINT), 0) << Output();
}

TEST_F(AgentTest, InstallsUpdateBundlesOnce) {
    // A program directory of its own (the modules still come from the build's), with
    // an update bundle beside the agent.
    const std::string bin = home_ / "bin";
    MakeDirs(bin, 0755);
    for (const char* program : {"nginx.exe", "kwvp.exe"})
        ASSERT_EQ(symlink((BinDir() + "/" + program).c_str(), (bin + "/" + program).c_str()), 0);
    TempDir staging;
    const std::string content = "from a bundle" + std::string(1523, '.'); // 1.5 KiB
    WriteFile(staging / "packages/p/bundled.txt", content);
    const CommandResult zipped =
        RunCommand("cd " + ShellQuote(staging.path()) + " && zip -qr " +
                   ShellQuote(bin + "/kwupdate_1700000000.zip") + " packages");
    ASSERT_EQ(zipped.exitCode, 0) << zipped.output;
    WriteConf(std::to_string(port_), "app.path.bin = " + bin + "\n");

    agent_.Start();
    ASSERT_TRUE(WaitServing()) << Output();
    // With its progress line: the archive's entries (two directories, one file) and bytes.
    EXPECT_TRUE(Says("unpacked " + bin + "/kwupdate_1700000000.zip: 3 entries, 1.5 KiB"))
        << Output();
    EXPECT_TRUE(Says("installed 1 update bundle(s)")) << Output();
    EXPECT_EQ(Fetch("/packages/p/bundled.txt"), content);
    EXPECT_TRUE(DirExists(WorkDir() + "/bundle/kwupdate_1700000000"));
    EXPECT_FALSE(FileExists(WorkDir() + "/bundle/tmp"));
    ASSERT_EQ(Stop(), 0) << Output();

    // Installed bundles are skipped from then on.
    agent_.Start();
    ASSERT_TRUE(WaitServing()) << Output();
    EXPECT_FALSE(Says("update bundle")) << Output();
    EXPECT_EQ(Stop(), 0) << Output();
}

TEST_F(AgentTest, BringsTheServerBackAfterTheErrorLogProtection) {
    WriteConf(std::to_string(port_), "kwagent.beatMs = 100\n"); // a quick beat
    agent_.Start();
    ASSERT_TRUE(WaitServing()) << Output();
    const long master = PidIn(WorkDir() + "/nginx.pid");
    const std::string errorLog = WorkDir() + "/logs/error.log";
    ASSERT_EQ(truncate(errorLog.c_str(), 20971521), 0);

    EXPECT_TRUE(WaitServing("/ again")) << Output();
    EXPECT_TRUE(Says("event 9107"));
    EXPECT_FALSE(ProcessAlive(master));
    EXPECT_TRUE(ProcessAlive(PidIn(WorkDir() + "/nginx.pid")));
    EXPECT_LT(FileSize(errorLog), 4096);
    EXPECT_EQ(Stop(), 0) << Output();
}

TEST_F(AgentTest, FailsWhenThePortIsTaken) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1; // the port may still have connections of an earlier test in TIME_WAIT
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port_));
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(fd, 1), 0);

    agent_.Start();
    const int status = agent_.Ended(std::chrono::seconds(20));
    close(fd);
    EXPECT_EQ(status, 1) << Output();
    EXPECT_TRUE(Says("the web server did not start")) << Output();
}

} // namespace
} // namespace kwatest
