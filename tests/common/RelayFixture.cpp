#include "RelayFixture.h"

#include <filesystem>

namespace kwatest {

std::string CommandLineOf(long pid) {
    std::string text = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    for (char& c : text)
        if (c == '\0')
            c = ' ';
    return text;
}

namespace {
long ParentOf(long pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')'); // then " <state> <parent>"
    return close == std::string::npos || close + 4 > stat.size()
               ? 0
               : std::atol(stat.c_str() + close + 4);
}
} // namespace

std::set<long> ProcessesOf(const std::string& marker) {
    std::vector<long> all;
    for (const auto& entry : std::filesystem::directory_iterator("/proc"))
        if (const long pid = std::atol(entry.path().filename().c_str()); pid > 0)
            all.push_back(pid);
    std::set<long> found;
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

std::set<long> KillProcessesOf(const std::string& marker) {
    const std::set<long> left = ProcessesOf(marker);
    for (long pid : left)
        kill(static_cast<pid_t>(pid), SIGKILL);
    WaitUntil([&] { return ProcessesOf(marker).empty(); });
    return left;
}

ForeignProcess::ForeignProcess(const std::string& argv0) {
    pid_ = fork();
    if (pid_ == 0) {
        execl("/bin/sleep", argv0.c_str(), "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    WaitUntil([&] { return CommandLineOf(pid_).rfind(argv0, 0) == 0; });
}

ForeignProcess::~ForeignProcess() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

bool ForeignProcess::alive() const {
    int status = 0;
    return waitpid(pid_, &status, WNOHANG) == 0;
}

void RelayFixture::SetUp() {
    LuaFixture::SetUp();
    setenv("KWA_IP_VERSIONS", "4", 1);
    port_ = FreePortPair();
    ca_ = std::make_unique<TempDir>("kwa-ca");
    // The management CA that nginx checks client certificates against.
    MakeDirs(Home() + "/plugins/kwa_core", 0711);
    const CommandResult made = RunCommand(
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -subj /CN=test-management-ca -keyout " +
        ShellQuote(CaKey()) + " -out " + ShellQuote(CaCert()));
    ASSERT_EQ(made.exitCode, 0) << made.output;
    NewRelay();
    Run("host.set('kwp.RelayServer.address.v4', '127.0.0.1')");
    Configure("");
}

void RelayFixture::TearDown() {
    // What runs now, orphaned workers included, must be gone a little after the stop.
    const std::set<long> running = ProcessesOf(WorkDir());
    if (L != nullptr && FileExists(NginxPidPath()))
        Try("rs:StopWebServer(true)");
    const bool clean = WaitUntil([&] { return AllGone(running) && ProcessesOf(WorkDir()).empty(); },
                                 std::chrono::seconds(5));
    const std::set<long> left = KillProcessesOf(WorkDir());
    KwaCore::ReapChildren();
    EXPECT_TRUE(clean) << "processes left running: " << left.size();
    LuaFixture::TearDown();
}

void RelayFixture::Configure(const std::string& fields) {
    Run("rs:UpdateConfig{port = " + std::to_string(port_) + ", tlsProtocols = 'TLSv1.2 TLSv1.3'" +
        (fields.empty() ? "" : ", " + fields) + "}");
}

bool RelayFixture::StartRelay(const std::string& force) {
    return Bool("rs:StartWebServer(" + force + ")") &&
           WaitUntil([&] { return ProcessAlive(PidIn(NginxPidPath())); });
}

CommandResult RelayFixture::Curl(const std::string& path, const std::string& options) {
    return RunCommand("curl -sS -k --max-time 10 " + options + " " + ShellQuote(Url(path)));
}

std::string RelayFixture::Status(const std::string& path, const std::string& options) {
    return Curl(path, "-o /dev/null -w '%{http_code}' " + options).output;
}

unsigned RelayFixture::Rotate() {
    EXPECT_TRUE(Bool("rs:RotateWebLogs()"));
    return ++rotateCalls_;
}

void RelayFixture::RotateOnce() {
    while ((Rotate() & 5) != 0) {
    }
}

void AgentProcess::Start(const std::string& env, const std::string& arguments) {
    output_ = home_ + "/kwagent." + std::to_string(++runs_) + ".out";
    const std::string command = "exec env KWA_HOME=" + ShellQuote(home_) + " " + env + " " +
                                ShellQuote(program_) + (arguments.empty() ? "" : " " + arguments) +
                                " 2>" + ShellQuote(output_);
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    ASSERT_EQ(posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ),
              0);
}

int AgentProcess::Ended(std::chrono::milliseconds timeout) {
    if (pid_ <= 0)
        return -1;
    int status = 0;
    if (!WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout))
        return -1;
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void AgentProcess::Kill() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }
}

} // namespace kwatest
