// kwagent as a service manager runs it: a stop asked for at any moment of the
// start ends in exit 0 with nothing left running; a setting that cannot work ends
// in the exit status the unit does not restart on.
#include "../serving/RelayFixture.h"

#include <spawn.h>

#include <thread>

extern char** environ;

namespace kwatest {
namespace {

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = std::make_unique<TempDir>("kwa-service");
        port_ = FreePortPair();
    }

    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        const std::set<long> left = ProcessesOf(WorkDir());
        for (long pid : left)
            kill(static_cast<pid_t>(pid), SIGKILL);
        WaitUntil([&] { return ProcessesOf(WorkDir()).empty(); });
        EXPECT_TRUE(left.empty()) << "processes left running: " << left.size();
    }

    void Configure(const std::string& port) {
        WriteFile(home_->path() + "/agent.conf",
                  "kwp.RelayServer.port = " + port + "\nkwp.RelayServer.address.v4 = 127.0.0.1\n");
    }

    void Start() {
        output_ = home_->path() + "/kwagent." + std::to_string(++runs_) + ".out";
        const std::string command = "exec env KWA_HOME=" + ShellQuote(home_->path()) +
                                    " KWA_IP_VERSIONS=4 " + ShellQuote(BinDir() + "/kwagent") +
                                    " 2>" + ShellQuote(output_);
        const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
        ASSERT_EQ(
            posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    }

    // The exit status, or -1 when kwagent did not end in time.
    int Ended(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        int status = 0;
        if (!WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout))
            return -1;
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string Output() const { return ReadFile(output_); }
    std::string WorkDir() const { return home_->path() + "/plugins/relay"; }

    std::unique_ptr<TempDir> home_;
    std::string output_;
    int port_ = 0;
    int runs_ = 0;
    pid_t pid_ = 0;
};

TEST_F(ServiceTest, AStopDuringTheStartEndsCleanly) {
    // From right after the data directory is taken to the moments nginx comes up.
    for (int delayMs : {0, 30, 120, 300}) {
        SCOPED_TRACE("SIGTERM " + std::to_string(delayMs) + " ms into the start");
        Configure(std::to_string(port_));
        Start();
        ASSERT_TRUE(
            WaitUntil([&] { return Output().find("data directory") != std::string::npos; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        kill(pid_, SIGTERM);
        EXPECT_EQ(Ended(), 0) << Output();
        // Nothing comes up behind the stopped agent.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(ProcessesOf(WorkDir()).empty()) << Output();
        EXPECT_FALSE(ProcessAlive(PidIn(WorkDir() + "/nginx.pid")));
    }
}

TEST_F(ServiceTest, AnUnusablePortIsASettingErrorNotACrash) {
    Configure("70000");
    Start();
    EXPECT_EQ(Ended(), 2) << Output();
    EXPECT_NE(Output().find("kwp.RelayServer.port must be a whole number"), std::string::npos)
        << Output();
    EXPECT_NE(Output().find("kwagent: exit 2"), std::string::npos);
}

} // namespace
} // namespace kwatest
