// The launcher's id that the relay object keeps outlives the launcher.
#include "FaultsSupport.h"

namespace kwatest {
namespace {

// StopWebServer killed the launcher's id blindly: once the launcher had ended and
// been reaped, the id could belong to any other process.
TEST_F(Faults, StopKillsOnlyTheLauncherItStarted) {
    OtherUsersProcess other;
    ASSERT_TRUE(other.alive());
    Relay::CRelayServer server;
    server.KwvpPid = static_cast<int32_t>(other.pid()); // the launcher's id, now another's
    server.StopWebServer(true);
    EXPECT_EQ(server.KwvpPid, 0);
    EXPECT_FALSE(WaitUntil([&] { return !other.alive(); }, std::chrono::milliseconds(300)));
}

} // namespace
} // namespace kwatest
