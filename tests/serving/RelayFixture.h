// A relay with the real nginx and launcher on a free loopback port, and the process
// bookkeeping that makes sure a test leaves nothing running. Shared by the serving
// and end-to-end tests.
#pragma once

#include "LuaFixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace kwatest {

// argv joined by blanks, as the relay's identity tests see it; "" when gone.
inline std::string CommandLineOf(long pid) {
    std::string text = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    for (char& c : text)
        if (c == '\0')
            c = ' ';
    return text;
}

inline long ParentOf(long pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(stat.substr(close + 2));
    std::string state;
    long parent = 0;
    rest >> state >> parent;
    return parent;
}

inline std::vector<long> AllProcesses() {
    std::vector<long> pids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc"))
        if (const long pid = std::atol(entry.path().filename().c_str()); pid > 0)
            pids.push_back(pid);
    return pids;
}

// Live processes whose command line holds the marker, with all their descendants.
inline std::set<long> ProcessesOf(const std::string& marker) {
    std::set<long> found;
    const std::vector<long> all = AllProcesses();
    for (long pid : all)
        if (pid != getpid() && ProcessAlive(pid) &&
            CommandLineOf(pid).find(marker) != std::string::npos)
            found.insert(pid);
    for (bool grew = true; grew;) {
        grew = false;
        for (long pid : all)
            if (!found.count(pid) && found.count(ParentOf(pid)) && ProcessAlive(pid))
                grew = found.insert(pid).second || grew;
    }
    return found;
}

// The id in a pid file, 0 when there is none.
inline long PidIn(const std::string& path) {
    return std::atol(ReadFile(path).c_str());
}

// A process with a chosen argv[0], for the identity tests; killed and reaped
// when the object goes.
class ForeignProcess {
public:
    explicit ForeignProcess(const std::string& argv0) {
        pid_ = fork();
        if (pid_ == 0) {
            execl("/bin/sleep", argv0.c_str(), "30", static_cast<char*>(nullptr));
            _exit(127);
        }
        WaitUntil([&] { return CommandLineOf(pid_).rfind(argv0, 0) == 0; });
    }
    ~ForeignProcess() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    long pid() const { return pid_; }
    // Alive, not merely a zombie that waits for us.
    bool alive() const {
        int status = 0;
        return waitpid(pid_, &status, WNOHANG) == 0;
    }

private:
    pid_t pid_;
};

class RelayFixture : public LuaFixture {
protected:
    void SetUp() override {
        LuaFixture::SetUp();
        setenv("KWA_IP_VERSIONS", "4", 1);
        port_ = FreePortPair();
        ca_ = std::make_unique<TempDir>("kwa-ca");
        // The management CA that nginx checks client certificates against.
        const std::string caFile = Home() + "/plugins/kwa_core/kw_agent_kwm.crt";
        MakeDirs(Home() + "/plugins/kwa_core", 0711);
        const CommandResult made = RunCommand(
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
            " -subj /CN=test-management-ca -keyout " +
            ShellQuote(CaKey()) + " -out " + ShellQuote(caFile));
        ASSERT_EQ(made.exitCode, 0) << made.output;
        NewRelay();
        Run("host.set('kwp.RelayServer.address.v4', '127.0.0.1')");
        Configure("");
    }

    void TearDown() override {
        // Whatever runs now must be gone a little after the stop: nginx's workers
        // finish their connections, the master goes last.
        const std::set<long> running = ProcessesOf(WorkDir());
        if (L != nullptr && FileExists(NginxPidPath()))
            Try("rs:StopWebServer(true)");
        const auto ended = [&] {
            for (long pid : running)
                if (ProcessAlive(pid))
                    return false;
            return ProcessesOf(WorkDir()).empty();
        };
        const bool clean = WaitUntil(ended, std::chrono::seconds(5));
        const std::set<long> left = ProcessesOf(WorkDir());
        for (long pid : left)
            kill(static_cast<pid_t>(pid), SIGKILL);
        WaitUntil([&] { return ProcessesOf(WorkDir()).empty(); }, std::chrono::seconds(5));
        KwaCore::ReapChildren();
        EXPECT_TRUE(clean) << "processes left running: " << left.size();
        LuaFixture::TearDown();
    }

    // Hands UpdateConfig the test's port, TLS protocols and any further fields.
    void Configure(const std::string& fields) {
        Run("rs:UpdateConfig{port = " + std::to_string(port_) +
            ", tlsProtocols = 'TLSv1.2 TLSv1.3'" + (fields.empty() ? "" : ", " + fields) + "}");
    }

    // Starts the relay and waits until nginx serves (its pid file is written once
    // it has bound its port).
    bool StartRelay(const std::string& force = "false") {
        if (!Bool("rs:StartWebServer(" + force + ")"))
            return false;
        return WaitUntil([&] { return ProcessAlive(PidIn(NginxPidPath())); });
    }

    bool HasTraceStartingWith(const std::string& prefix) const {
        for (const auto& trace : Traces())
            if (ToUtf8(trace.message).rfind(prefix, 0) == 0)
                return true;
        return false;
    }

    bool NginxGone(long master) { return !FileExists(NginxPidPath()) && !ProcessAlive(master); }

    // curl against the relay on 127.0.0.1; the relay's certificate is self-signed.
    CommandResult Curl(const std::string& path, const std::string& options = "") {
        return RunCommand("curl -sS -k --max-time 10 " + options + " " + ShellQuote(Url(path)));
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
    int port() const { return port_; }

private:
    int port_ = 0;
    std::unique_ptr<TempDir> ca_;
};

} // namespace kwatest
