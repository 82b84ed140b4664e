// Fixtures that run the real nginx and launcher (RelayFixture: driven through Lua)
// or kwagent as a child process (AgentProcess, AgentFixture); neither leaves anything running.
#pragma once

#include "LuaFixture.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <utility>

extern char** environ;

namespace kwatest {

// argv joined by blanks, as the relay's identity tests see it; "" when gone.
std::string CommandLineOf(long pid);
// Live processes whose command line holds the marker, with all their descendants.
std::set<long> ProcessesOf(const std::string& marker);
// Kills those processes and waits until they are gone; returns what was there.
std::set<long> KillProcessesOf(const std::string& marker);
// The id in a pid file, 0 when there is none.
inline long PidIn(const std::string& path) {
    return std::atol(ReadFile(path).c_str());
}

// A process with a chosen argv[0] (sleep renamed), killed and reaped when the object goes.
class ForeignProcess {
public:
    explicit ForeignProcess(const std::string& argv0);
    ~ForeignProcess();
    long pid() const { return pid_; }
    bool alive() const; // alive, not merely a zombie that waits for us

private:
    pid_t pid_;
};

class RelayFixture : public LuaFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    // Hands UpdateConfig the test's port, TLS protocols and any further fields.
    void Configure(const std::string& fields);
    // Starts the relay and waits until nginx serves (its pid file names a live process).
    bool StartRelay(const std::string& force = "false");
    bool NginxGone(long master) { return !FileExists(NginxPidPath()) && !ProcessAlive(master); }
    // curl against the relay on 127.0.0.1; the relay's certificate is self-signed.
    CommandResult Curl(const std::string& path, const std::string& options = "");
    // The HTTP status of a request, its body dropped.
    std::string Status(const std::string& path, const std::string& options = "");
    // One call of RotateWebLogs; its number among this process's calls.
    unsigned Rotate();
    // Calls RotateWebLogs until a call that does the work (2 of every 8) was made.
    void RotateOnce();
    // True once none of these processes runs (nginx's workers of an earlier configuration).
    static bool AllGone(const std::set<long>& pids) {
        for (const long pid : pids)
            if (ProcessAlive(pid))
                return false;
        return true;
    }
    std::string Url(const std::string& path) const {
        return "https://127.0.0.1:" + std::to_string(port_) + path;
    }

    std::string NginxPidPath() const { return WorkDir() + "/nginx.pid"; }
    std::string KwvpPidPath() const { return WorkDir() + "/kwvp.pid"; }
    std::string AccessLog() const { return WorkDir() + "/logs/access.log"; }
    std::string ErrorLog() const { return WorkDir() + "/logs/error.log"; }
    std::string CaKey() const { return *ca_ / "ca.key"; }
    std::string CaCert() const { return Home() + "/plugins/kwa_core/kw_agent_kwm.crt"; }

private:
    int port_ = 0;
    static inline unsigned rotateCalls_ = 0; // mirrors the module's count of RotateWebLogs calls
    std::unique_ptr<TempDir> ca_;
};

// kwagent run as a user or a service manager runs it: through the shell with
// KWA_HOME and further environment, its standard error in a file of its own.
class AgentProcess {
public:
    explicit AgentProcess(std::string home, std::string program = BinDir() + "/kwagent")
        : home_(std::move(home)), program_(std::move(program)) {}
    ~AgentProcess() { Kill(); }
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    // One run at a time; each run writes kwagent.<n>.out in the data directory.
    void Start(const std::string& env = "KWA_IP_VERSIONS=4", const std::string& arguments = "");
    // The run's exit status (128 + the signal), or -1 when it did not end in time.
    int Ended(std::chrono::milliseconds timeout);
    void Signal(int sig) {
        if (pid_ > 0)
            kill(pid_, sig);
    }
    pid_t Pid() const { return pid_; }
    std::string Output() const { return ReadFile(output_); }
    bool Says(const std::string& text) const { return Output().find(text) != std::string::npos; }
    // Kills the agent, then whatever runs under workDir; returns what was left there.
    std::set<long> KillLeftovers(const std::string& workDir) {
        Kill();
        return KillProcessesOf(workDir);
    }

private:
    void Kill();
    static inline int runs_ = 0; // two agents on one data directory share no output file
    std::string home_, program_, output_;
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
