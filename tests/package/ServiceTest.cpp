// kwagent as a service manager runs it: a stop asked for at any moment of the
// start ends in exit 0 with nothing left running; a setting that cannot work ends
// in the exit status the unit does not restart on.
#include "../serving/AgentProcess.h"

#include <thread>

namespace kwatest {
namespace {

class ServiceTest : public AgentFixture {};

TEST_F(ServiceTest, AStopDuringTheStartEndsCleanly) {
    // From right after the data directory is taken to the moments nginx comes up.
    for (int delayMs : {0, 30, 120, 300}) {
        SCOPED_TRACE("SIGTERM " + std::to_string(delayMs) + " ms into the start");
        agent_.Start();
        ASSERT_TRUE(WaitUntil([&] { return agent_.Says("data directory"); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        EXPECT_EQ(Stop(), 0) << Output();
        // Nothing comes up behind the stopped agent.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(ProcessesOf(WorkDir()).empty()) << Output();
        EXPECT_FALSE(ProcessAlive(PidIn(WorkDir() + "/nginx.pid")));
    }
}

TEST_F(ServiceTest, AnUnusablePortIsASettingErrorNotACrash) {
    WriteConf("70000");
    agent_.Start();
    EXPECT_EQ(agent_.Ended(std::chrono::seconds(10)), 2) << Output();
    EXPECT_NE(Output().find("kwp.RelayServer.port must be a whole number"), std::string::npos)
        << Output();
    EXPECT_NE(Output().find("kwagent: exit 2"), std::string::npos);
}

} // namespace
} // namespace kwatest
