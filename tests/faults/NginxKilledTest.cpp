// nginx killed under the relay (SIGKILL), and the way back.
#include "FaultsSupport.h"

namespace kwatest {
namespace {

// kwvp sees its nginx killed, takes the orphaned workers with it (they would hold
// the port and serve the old configuration) and ends; the pid file stays behind,
// naming a dead process. KillWebServerByPidFile finds nothing to remove, and a
// forced start brings service back.
TEST_F(Faults, NginxKilledUnderTheRelayComesBackWithAForcedStart) {
    WriteFile(WebRoot() + "/packages/p.txt", "payload");
    Run("rs:Publish()");
    ASSERT_TRUE(StartRelay());
    ASSERT_TRUE(WaitUntil([&] { return Serves("/packages/p.txt", "payload"); }));
    const long master = PidIn(NginxPidPath());
    const long kwvp = PidIn(KwvpPidPath());
    const std::vector<long> workers = ChildrenOf(master);
    ASSERT_FALSE(workers.empty());

    ASSERT_EQ(kill(static_cast<pid_t>(master), SIGKILL), 0);
    const auto allGone = [&] {
        for (long worker : workers)
            if (ProcessAlive(worker))
                return false;
        return !ProcessAlive(kwvp) && !ProcessAlive(master);
    };
    EXPECT_TRUE(WaitUntil(allGone)) << "orphaned nginx workers or kwvp left running";
    EXPECT_NE(Curl("/packages/p.txt").exitCode, 0) << "nothing serves any more";
    EXPECT_EQ(PidIn(NginxPidPath()), master) << "the pid file outlives its nginx";

    EXPECT_TRUE(Bool("rs:KillWebServerByPidFile()"));
    EXPECT_TRUE(Bool("rs:StartWebServer(true)"));
    EXPECT_TRUE(WaitUntil([&] { return Serves("/packages/p.txt", "payload"); }));
    EXPECT_NE(PidIn(NginxPidPath()), master);
}

} // namespace
} // namespace kwatest
