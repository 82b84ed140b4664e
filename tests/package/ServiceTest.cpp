// kwagent as a service manager runs it: a stop at any moment of the start ends in exit
// 0 with nothing left running; the installed agent run as the unit runs it without
// systemd: unprivileged, the unit's environment, a data root and /var/lib/nginx of its own.
#include "RelayFixture.h"

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <thread>

namespace kwatest {
void MakePackageOnce();
namespace {

const std::string Staging = std::string(KWA_PACKAGE_TEST_DIR) + "/staging";
const std::string ProgramDir = Staging + "/usr/lib/kwagent";
const std::string Uid = "64123"; // no user of this machine

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

class UnitTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { MakePackageOnce(); }
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: setpriv, mount namespaces";
        RunCommand("chmod 0711 " + root_.path() + " && install -d -m 0700 -o " + Uid + " -g " +
                   Uid + " " + state_ + " " + run_);
    }
    void TearDown() override { EXPECT_TRUE(agent_.KillLeftovers(work_).empty()); } // none left
    void Start(const std::string& port, const std::string& more = "") {
        WriteFile(state_ + "/agent.conf", more + "kwp.RelayServer.port = " + port +
                                              "\nkwp.RelayServer.address.v4 = 127.0.0.1\n"
                                              "kwp.RelayServer.address.v6 = [::1]\n");
        RunCommand("chown " + Uid + " " + state_ + "/agent.conf");
        agent_.Start("", "-m sh -c " + ShellQuote("mount --bind " + run_ + " /var/lib/nginx && " +
                                                  AsUnit(ProgramDir + "/kwagent")));
    }
    // The unit's User=, Environment= and sandbox, as far as they hold without systemd
    // (MemoryDenyWriteExecute through PR_SET_MDWE: nginx's PCRE JIT fails, ignored).
    std::string AsUnit(const std::string& command) const {
        std::string sanitizers; // a sanitizer build's own settings (its suppressions)
        for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
            if (const char* value = std::getenv(name))
                sanitizers += std::string(" ") + name + "=" + ShellQuote(value);
        return "exec setpriv --reuid=" + Uid + " --regid=" + Uid + " --clear-groups " +
               "--no-new-privs --inh-caps=-all --bounding-set=-all env -i" + sanitizers +
               " KWA_HOME=" + state_ +
               " PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin HOME=/nonexistent python3 "
               "-c 'import ctypes, os, sys; ctypes.CDLL(None).prctl(65, 1, 0, 0, 0); "
               "os.execv(sys.argv[1], sys.argv[1:])' " +
               command;
    }
    CommandResult Status(bool asRoot) { // through bin/kwagent
        const std::string status = Staging + "/usr/bin/kwagent status --json 2>/dev/null";
        return RunCommand(asRoot ? "KWA_HOME=" + state_ + " " + status
                                 : "(" + AsUnit(status) + ")");
    }

    TempDir root_{"kwa-unit"};
    const std::string state_ = root_ / "kwagent", run_ = root_ / "run";
    const std::string work_ = state_ + "/plugins/relay";
    const int port_ = FreePortPair();
    AgentProcess agent_{state_, "/usr/bin/unshare"};
};

TEST_F(UnitTest, ServesUploadsRotatesAndStopsUnprivileged) {
    Start(std::to_string(port_), "kwp.RelayServer.upload = 1\nkwagent.beatMs = 100\n");
    ASSERT_TRUE(
        WaitUntil([&] { return agent_.Says("serving https://"); }, std::chrono::seconds(20)))
        << agent_.Output();
    for (const std::string& dir : {state_, work_}) // nginx runs as the agent's user
        EXPECT_EQ(FileMode(dir), 0700u) << dir;
    EXPECT_EQ(CommandLineOf(PidIn(work_ + "/kwvp.pid")).rfind(ProgramDir + "/kwvp.exe", 0), 0u);
    for (bool asRoot : {true, false}) {
        const auto facts = nlohmann::json::parse(Status(asRoot).output, nullptr, false);
        ASSERT_FALSE(facts.is_discarded()) << asRoot;
        EXPECT_TRUE(facts["serving"].get<bool>()) << asRoot;
        EXPECT_EQ(facts["program_dir"], ProgramDir);
    }
    WriteFile(work_ + "/www/packages/p.bin", "package");
    const std::string url = "https://127.0.0.1:" + std::to_string(port_);
    const auto curl = [&](const std::string& args) {
        return RunCommand("curl -sk --max-time 10 " + args).output;
    };
    EXPECT_EQ(curl(url + "/packages/p.bin"), "package"); // a regular-expression location
    EXPECT_EQ(curl("-o /dev/null -w '%{http_code}' -X PUT --data-binary up " + url + "/data/u"),
              "201");
    EXPECT_EQ(curl(url + "/data/u"), "up");
    // Rotated on the agent's beat; nginx, unprivileged, reopens its log.
    ASSERT_EQ(truncate((work_ + "/logs/access.log").c_str(), 5242881), 0);
    EXPECT_TRUE(WaitUntil([&] { return FileExists(work_ + "/logs/access-01.log"); }));
    EXPECT_TRUE(WaitUntil([&] { // a request logged before the reopen lands in access-01.log
        curl(url + "/packages/p.bin?after");
        return ReadFile(work_ + "/logs/access.log").find("?after") != std::string::npos;
    }));
    agent_.Signal(SIGTERM);
    EXPECT_EQ(agent_.Ended(std::chrono::seconds(10)), 0) << agent_.Output();
    EXPECT_EQ(Status(true).exitCode, 3);
}

// What the service user cannot use ends the start at once, in the exit status the
// unit does not restart on, with one line saying what to change.
TEST_F(UnitTest, RefusesWhatTheServiceUserCannotUse) {
    const struct {
        std::string port, owner, mode, says;
    } cases[] = {
        {"70000", Uid, "0700", "kwp.RelayServer.port must be a whole number"},
        {"443", Uid, "0700", "without CAP_NET_BIND_SERVICE: kwp.RelayServer.port 443 is below"},
        {"1", "0", "0755",
         "the data directory " + state_ + " (owner root, mode 0755) does not belong to uid " + Uid},
        {"1", Uid, "0500",
         "the data directory " + state_ + " (owner uid " + Uid + ", mode 0500) cannot be written"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        RunCommand("chown " + c.owner + " " + state_ + " && chmod " + c.mode + " " + state_);
        Start(c.port);
        EXPECT_EQ(agent_.Ended(std::chrono::seconds(10)), 2) << agent_.Output();
        EXPECT_NE(agent_.Output().find(c.says), std::string::npos) << agent_.Output();
    }
    // status names the drop-in for port 1 too.
    EXPECT_NE(Status(true).output.find("kwagent.service.d/low-port.conf"), std::string::npos);
}

} // namespace
} // namespace kwatest
