// kwagent as a service manager runs it: a stop asked for at any moment of the
// start ends in exit 0 with nothing left running; a setting that cannot work ends
// in the exit status the unit does not restart on.
#include "../serving/AgentProcess.h"

#include <thread>

namespace kwatest {
namespace {

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = std::make_unique<TempDir>("kwa-service");
        port_ = FreePortPair();
        agent_ = std::make_unique<AgentProcess>(home_->path());
    }

    void TearDown() override {
        const std::set<long> left = agent_->KillLeftovers(WorkDir());
        EXPECT_TRUE(left.empty()) << "processes left running: " << left.size();
    }

    void Configure(const std::string& port) {
        WriteFile(home_->path() + "/agent.conf",
                  "kwp.RelayServer.port = " + port + "\nkwp.RelayServer.address.v4 = 127.0.0.1\n");
    }

    // The exit status, or -1 when kwagent did not end in time.
    int Ended() { return agent_->Ended(std::chrono::seconds(10)); }
    std::string Output() const { return agent_->Output(); }
    std::string WorkDir() const { return home_->path() + "/plugins/relay"; }

    std::unique_ptr<TempDir> home_;
    int port_ = 0;
    std::unique_ptr<AgentProcess> agent_; // goes before the data directory
};

TEST_F(ServiceTest, AStopDuringTheStartEndsCleanly) {
    // From right after the data directory is taken to the moments nginx comes up.
    for (int delayMs : {0, 30, 120, 300}) {
        SCOPED_TRACE("SIGTERM " + std::to_string(delayMs) + " ms into the start");
        Configure(std::to_string(port_));
        agent_->Start();
        ASSERT_TRUE(
            WaitUntil([&] { return Output().find("data directory") != std::string::npos; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        agent_->Signal(SIGTERM);
        EXPECT_EQ(Ended(), 0) << Output();
        // Nothing comes up behind the stopped agent.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(ProcessesOf(WorkDir()).empty()) << Output();
        EXPECT_FALSE(ProcessAlive(PidIn(WorkDir() + "/nginx.pid")));
    }
}

TEST_F(ServiceTest, AnUnusablePortIsASettingErrorNotACrash) {
    Configure("70000");
    agent_->Start();
    EXPECT_EQ(Ended(), 2) << Output();
    EXPECT_NE(Output().find("kwp.RelayServer.port must be a whole number"), std::string::npos)
        << Output();
    EXPECT_NE(Output().find("kwagent: exit 2"), std::string::npos);
}

} // namespace
} // namespace kwatest
