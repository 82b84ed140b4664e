// kwagent as a user runs it: started, serving, stopped with SIGTERM, nothing left.
#include "../serving/AgentProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>

namespace kwatest {
namespace {

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = std::make_unique<TempDir>("kwa-agent");
        port_ = FreePortPair();
        // Only loopback traffic: nginx listens on 127.0.0.1 alone.
        WriteFile(home_->path() + "/agent.conf", "# written by the test\n"
                                                 "kwp.RelayServer.port = " +
                                                     std::to_string(port_) +
                                                     "\n"
                                                     "kwp.RelayServer.address.v4 = 127.0.0.1\n");
        agent_ = std::make_unique<AgentProcess>(home_->path());
    }

    void TearDown() override {
        const std::set<long> left = agent_->KillLeftovers(WorkDir());
        EXPECT_TRUE(left.empty()) << "processes left running: " << left.size();
    }

    void Start() { agent_->Start(); }
    int Ended(std::chrono::milliseconds timeout) { return agent_->Ended(timeout); }
    std::string Output() const { return agent_->Output(); }
    bool Says(const std::string& text) const { return agent_->Says(text); }
    bool WaitServing() {
        return WaitUntil(
            [&] { return Says("serving https://localhost:" + std::to_string(port_) + "/"); },
            std::chrono::seconds(20));
    }

    std::string WorkDir() const { return home_->path() + "/plugins/relay"; }
    std::string Fetch(const std::string& path) {
        return RunCommand("curl -sS -k --max-time 10 https://127.0.0.1:" + std::to_string(port_) +
                          path)
            .output;
    }

    std::unique_ptr<TempDir> home_;
    int port_ = 0;
    std::unique_ptr<AgentProcess> agent_; // goes before the data directory
};

TEST_F(AgentTest, ServesUntilSigtermThenExitsCleanly) {
    Start();
    ASSERT_TRUE(WaitServing()) << Output();
    EXPECT_TRUE(Says("data directory " + home_->path() + " (from KWA_HOME)"));
    EXPECT_TRUE(
        Says("made a local one at " + home_->path() + "/plugins/kwa_core/kw_agent_kwm.crt"));
    EXPECT_TRUE(Says("work directory " + WorkDir()));
    EXPECT_TRUE(Says(WorkDir() + "/logs/access.log"));

    WriteFile(WorkDir() + "/www/packages/hello.txt", "hello");
    EXPECT_EQ(Fetch("/packages/hello.txt"), "hello");
    const long kwvp = PidIn(WorkDir() + "/kwvp.pid");
    const long master = PidIn(WorkDir() + "/nginx.pid");
    ASSERT_TRUE(ProcessAlive(kwvp) && ProcessAlive(master));

    const auto begin = std::chrono::steady_clock::now();
    agent_->Signal(SIGTERM);
    EXPECT_EQ(Ended(std::chrono::seconds(10)), 0) << Output();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
    EXPECT_FALSE(ProcessAlive(kwvp));
    EXPECT_FALSE(ProcessAlive(master));
    EXPECT_FALSE(FileExists(WorkDir() + "/nginx.pid"));
    EXPECT_FALSE(FileExists(WorkDir() + "/kwvp.pid"));
}

TEST_F(AgentTest, ANewAgentRemovesTheServerOfAKilledOne) {
    Start();
    ASSERT_TRUE(WaitServing()) << Output();
    const long kwvp = PidIn(WorkDir() + "/kwvp.pid");
    const long master = PidIn(WorkDir() + "/nginx.pid");
    agent_->Signal(SIGKILL);
    ASSERT_NE(Ended(std::chrono::seconds(5)), -1);
    ASSERT_TRUE(ProcessAlive(kwvp) && ProcessAlive(master)) << "left behind by the killed agent";

    Start();
    ASSERT_TRUE(WaitServing()) << Output();
    EXPECT_FALSE(Says("made a local one")) << "the CA of the first start is kept";
    EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(kwvp) && !ProcessAlive(master); }));
    EXPECT_NE(PidIn(WorkDir() + "/nginx.pid"), master);

    agent_->Signal(SIGINT);
    EXPECT_EQ(Ended(std::chrono::seconds(10)), 0) << Output();
}

TEST_F(AgentTest, InstallsUpdateBundlesOnce) {
    // A program directory of its own (the modules still come from the build's), with
    // an update bundle beside the agent.
    const std::string bin = home_->path() + "/bin";
    MakeDirs(bin, 0755);
    for (const char* program : {"nginx.exe", "kwvp.exe"})
        ASSERT_EQ(symlink((BinDir() + "/" + program).c_str(), (bin + "/" + program).c_str()), 0);
    TempDir staging;
    WriteFile(staging / "packages/p/bundled.txt", "from a bundle");
    const CommandResult zipped =
        RunCommand("cd " + ShellQuote(staging.path()) + " && zip -qr " +
                   ShellQuote(bin + "/kwupdate_1700000000.zip") + " packages");
    ASSERT_EQ(zipped.exitCode, 0) << zipped.output;
    const std::string conf = home_->path() + "/agent.conf";
    WriteFile(conf, ReadFile(conf) + "app.path.bin = " + bin + "\n");

    Start();
    ASSERT_TRUE(WaitServing()) << Output();
    EXPECT_TRUE(Says("installed 1 update bundle(s)")) << Output();
    EXPECT_EQ(Fetch("/packages/p/bundled.txt"), "from a bundle");
    EXPECT_TRUE(DirExists(WorkDir() + "/bundle/kwupdate_1700000000"));
    EXPECT_FALSE(FileExists(WorkDir() + "/bundle/tmp"));
    agent_->Signal(SIGTERM);
    ASSERT_EQ(Ended(std::chrono::seconds(10)), 0) << Output();

    // Installed bundles are skipped from then on.
    Start();
    ASSERT_TRUE(WaitServing()) << Output();
    EXPECT_FALSE(Says("update bundle")) << Output();
    agent_->Signal(SIGTERM);
    EXPECT_EQ(Ended(std::chrono::seconds(10)), 0) << Output();
}

TEST_F(AgentTest, OneAgentPerDataDirectory) {
    Start();
    ASSERT_TRUE(WaitServing()) << Output();
    const long master = PidIn(WorkDir() + "/nginx.pid");
    AgentProcess second(home_->path());
    second.Start();
    EXPECT_EQ(second.Ended(std::chrono::seconds(10)), 1);
    EXPECT_TRUE(second.Says("another kwagent uses the data directory")) << second.Output();
    EXPECT_TRUE(ProcessAlive(master)) << "the first agent's web server was left alone";

    agent_->Signal(SIGTERM);
    EXPECT_EQ(Ended(std::chrono::seconds(10)), 0);
}

TEST_F(AgentTest, BringsTheServerBackAfterTheErrorLogProtection) {
    const std::string conf = home_->path() + "/agent.conf";
    WriteFile(conf, ReadFile(conf) + "kwagent.beatMs = 100\n"); // a quick beat
    Start();
    ASSERT_TRUE(WaitServing()) << Output();
    const long master = PidIn(WorkDir() + "/nginx.pid");
    const std::string errorLog = WorkDir() + "/logs/error.log";
    ASSERT_EQ(truncate(errorLog.c_str(), 20971521), 0);

    EXPECT_TRUE(WaitUntil([&] {
        return Says("serving https://localhost:" + std::to_string(port_) + "/ again");
    })) << Output();
    EXPECT_TRUE(Says("event 9107"));
    EXPECT_FALSE(ProcessAlive(master));
    EXPECT_TRUE(ProcessAlive(PidIn(WorkDir() + "/nginx.pid")));
    EXPECT_LT(FileSize(errorLog), 4096);

    agent_->Signal(SIGTERM);
    EXPECT_EQ(Ended(std::chrono::seconds(10)), 0) << Output();
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

    Start();
    const int status = Ended(std::chrono::seconds(20));
    close(fd);
    EXPECT_EQ(status, 1) << Output();
    EXPECT_TRUE(Says("the web server did not start")) << Output();
}

} // namespace
} // namespace kwatest
