// kwagent run as a child process, the way a user or a service manager runs it:
// started through the shell with KWA_HOME and further environment, its standard
// error in a file the test reads, and killed with whatever it left running. And
// the fixture of the tests that run one on a data directory of their own.
#pragma once

#include "RelayFixture.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <set>
#include <string>
#include <utility>

extern char** environ;

namespace kwatest {

class AgentProcess {
public:
    explicit AgentProcess(std::string home, std::string program = BinDir() + "/kwagent")
        : home_(std::move(home)), program_(std::move(program)) {}
    ~AgentProcess() { Kill(); }
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    // One run at a time; each run writes its standard error to a file of its own
    // in the data directory (kwagent.<n>.out), and Output() reads the last one.
    void Start(const std::string& env = "KWA_IP_VERSIONS=4", const std::string& arguments = "") {
        output_ = home_ + "/kwagent." + std::to_string(++runs_) + ".out";
        const std::string command =
            "exec env KWA_HOME=" + ShellQuote(home_) + " " + env + " " + ShellQuote(program_) +
            (arguments.empty() ? "" : " " + arguments) + " 2>" + ShellQuote(output_);
        const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
        ASSERT_EQ(
            posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    }

    // Waits for the run to end; its exit status (128 + the signal when a signal
    // ended it), or -1 when it did not end in time or nothing runs.
    int Ended(std::chrono::milliseconds timeout) {
        if (pid_ <= 0)
            return -1;
        int status = 0;
        if (!WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout))
            return -1;
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void Signal(int sig) {
        if (pid_ > 0)
            kill(pid_, sig);
    }

    // The running agent, 0 when none runs.
    pid_t Pid() const { return pid_; }
    std::string Output() const { return ReadFile(output_); }
    bool Says(const std::string& text) const { return Output().find(text) != std::string::npos; }

    // Kills the agent if it still runs, then whatever runs under workDir (nginx, the
    // launcher); returns what was left there.
    std::set<long> KillLeftovers(const std::string& workDir) {
        Kill();
        const std::set<long> left = ProcessesOf(workDir);
        for (long pid : left)
            kill(static_cast<pid_t>(pid), SIGKILL);
        WaitUntil([&] { return ProcessesOf(workDir).empty(); });
        return left;
    }

private:
    void Kill() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = 0;
        }
    }

    // Counted across all agents of the test program, so that two agents on one
    // data directory never share an output file.
    static inline int runs_ = 0;
    std::string home_;
    std::string program_;
    std::string output_;
    pid_t pid_ = 0;
};

// A data directory whose agent.conf puts the relay on a free port of 127.0.0.1
// alone, and an agent to run on it; the test fails when anything is left running.
class AgentFixture : public ::testing::Test {
protected:
    void SetUp() override { WriteConf(std::to_string(port_)); }
    void TearDown() override {
        const std::set<long> left = agent_.KillLeftovers(WorkDir());
        EXPECT_TRUE(left.empty()) << "processes left running: " << left.size();
    }

    // agent.conf with this port and further setting lines.
    void WriteConf(const std::string& port, const std::string& more = "") {
        WriteFile(home_ / "agent.conf", "kwp.RelayServer.port = " + port +
                                            "\nkwp.RelayServer.address.v4 = 127.0.0.1\n" + more);
    }
    bool WaitServing(const std::string& suffix = "/") {
        const std::string line = "serving https://localhost:" + std::to_string(port_) + suffix;
        return WaitUntil([&] { return agent_.Says(line); }, std::chrono::seconds(20));
    }
    // Signals the agent; its exit status, -1 when it did not end in time.
    int Stop(int sig = SIGTERM) {
        agent_.Signal(sig);
        return agent_.Ended(std::chrono::seconds(10));
    }
    std::string Output() const { return agent_.Output(); }
    std::string WorkDir() const { return home_ / "plugins/relay"; }

    TempDir home_{"kwa-agent"};
    const int port_ = FreePortPair();
    AgentProcess agent_{home_.path()}; // goes before the data directory
};

} // namespace kwatest
