// kwvp.exe: the agent's web server launcher.
//
//   kwvp.exe localhost:<port> <webroot> <nginx executable> -p <prefix> -c <config> [-f <libdir>
//   <cnf>]
//
// Starts nginx with every argument after its executable and lives as long as nginx
// does: it exits with nginx's status (128 + signal when nginx was killed).
//
// Uploads: while the configuration nginx runs passes FastCGI to 127.0.0.1:<port>,
// kwvp serves it there, storing into <webroot>/../uploads (outside the web root);
// otherwise nothing listens. The configuration is read at the start and again
// whenever nginx starts new workers (a reload). Port 65536 (the listen port 65535
// plus one) is no TCP port: nginx is started without an upload service. Request
// bodies that nginx abandoned in <webroot>/upload are swept every few seconds.
//
// Processes and signals:
// - nginx runs in a session of its own, so nothing aimed at kwvp's terminal or
//   process group (a Ctrl-C, a hang-up) reaches it; killed with SIGKILL, kwvp
//   leaves nginx serving, and the relay stops nginx with "-s".
// - kwvp leaves the process group it was started in, so a Ctrl-C at the agent's
//   terminal does not reach it either: the agent stops the relay itself.
// - SIGTERM, SIGINT or SIGQUIT sent to kwvp asks nginx to finish gracefully
//   (SIGQUIT to the master); kwvp exits once nginx has. A second such signal, or
//   30 seconds without nginx ending, makes it a fast shutdown (SIGTERM).
// - SIGHUP is ignored.
#include "NginxConfig.h"
#include "UploadServer.h"
#include "UploadStore.h"
#include "WebServerPeers.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kGracefulQuitTimeout = std::chrono::seconds(30);
constexpr auto kFinishRequestsTimeout = std::chrono::seconds(5);
constexpr auto kTick = std::chrono::milliseconds(250);
constexpr auto kSweepInterval = std::chrono::seconds(5);
// nginx gives up on a body after client_body_timeout (300 s in the relay's
// configuration) without data; a body file unchanged for longer is abandoned.
constexpr auto kAbandonedBodyAge = std::chrono::seconds(300 + 60);
// The port after the last TCP port: handed over for the listen port 65535.
constexpr int kNoPort = 65536;

void Usage() {
    std::fprintf(stderr, "usage: kwvp.exe localhost:<port> <webroot> <nginx executable> "
                         "[nginx arguments...]\n");
}

// File descriptors 0 to 2 must be open, or the listener could become stderr.
void EnsureStandardFds() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", O_RDWR);
    }
}

// "localhost:<port>" (or "127.0.0.1:<port>") gives the port (kNoPort included); 0
// when malformed.
int ParseAddress(const std::string& address) {
    const size_t colon = address.rfind(':');
    if (colon == std::string::npos)
        return 0;
    const std::string host = address.substr(0, colon);
    const std::string digits = address.substr(colon + 1);
    if (host != "localhost" && host != "127.0.0.1")
        return 0;
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    const int port = std::stoi(digits);
    return port <= kNoPort ? port : 0;
}

pid_t StartNginx(char** argv) {
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t all;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigdefault(&attr, &all);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv[0], &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (error != 0) {
        Kwvp::LogError(std::string("cannot start ") + argv[0] + ": " + std::strerror(error));
        return -1;
    }
    return pid;
}

int ExitCodeOf(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

// Switches the upload service with the configuration nginx runs, and sweeps the
// request bodies nginx abandoned.
class UploadControl {
public:
    UploadControl(Kwvp::UploadStore& store, Kwvp::UploadServer* server, std::string config,
                  int port)
        : store_(store), server_(server), config_(std::move(config)), port_(port) {}

    void ReadConfig() {
        const bool on = server_ != nullptr && Kwvp::ConfigPassesFastCgiTo(config_, port_);
        if (server_ != nullptr)
            server_->SetEnabled(on);
        if (server_ != nullptr && !on && (first_ || on_))
            Kwvp::LogError("no upload service: " + config_ +
                           " passes no request to 127.0.0.1:" + std::to_string(port_));
        on_ = on;
        first_ = false;
    }

    void Tick(pid_t nginx) {
        std::vector<pid_t> workers = Kwvp::ChildProcesses(nginx);
        bool reloaded = false;
        for (pid_t worker : workers)
            reloaded |= std::find(workers_.begin(), workers_.end(), worker) == workers_.end();
        workers_ = std::move(workers);
        if (reloaded)
            ReadConfig();
        if (Clock::now() >= nextSweep_) {
            nextSweep_ = Clock::now() + kSweepInterval;
            // Without an upload location no body belongs to a request in progress.
            const int removed =
                store_.SweepBodyFiles(on_ ? kAbandonedBodyAge : std::chrono::seconds(0));
            if (removed > 0)
                Kwvp::LogError("removed " + std::to_string(removed) +
                               " abandoned request bodies from " + store_.UploadDir());
        }
    }

private:
    Kwvp::UploadStore& store_;
    Kwvp::UploadServer* server_;
    std::string config_;
    int port_;
    bool on_ = false;
    bool first_ = true;
    std::vector<pid_t> workers_;
    Clock::time_point nextSweep_;
};

// Waits for nginx to end, passing shutdown requests on; returns its wait status.
int WatchNginx(pid_t nginx, const sigset_t& signals, UploadControl& uploads) {
    bool quitting = false;
    bool forced = false;
    Clock::time_point deadline;
    while (true) {
        const timespec tick{0, std::chrono::nanoseconds(kTick).count()};
        const int sig = sigtimedwait(&signals, nullptr, &tick);
        uploads.Tick(nginx);
        // Looked at without reaping: while the master is a zombie its id, and
        // so the id of its process group, cannot go to another process.
        siginfo_t info = {};
        const int looked = waitid(P_PID, id_t(nginx), &info, WEXITED | WNOHANG | WNOWAIT);
        if (looked == 0 && info.si_pid == nginx) {
            // A master that was killed leaves its workers running: they would go
            // on serving the old configuration and hold the port, so that no new
            // nginx could start. They share the master's process group (its
            // session of its own, see StartNginx); nothing else is in it.
            kill(-nginx, SIGKILL);
            int status = 0;
            while (waitpid(nginx, &status, 0) < 0 && errno == EINTR) {
            }
            return status;
        }
        if (looked < 0 && errno != EINTR) {
            Kwvp::LogError(std::string("waiting for nginx failed: ") + std::strerror(errno));
            return 1 << 8;
        }
        if (sig == SIGTERM || sig == SIGINT || sig == SIGQUIT) {
            if (!quitting) {
                quitting = true;
                deadline = Clock::now() + kGracefulQuitTimeout;
                kill(nginx, SIGQUIT);
            } else if (!forced) {
                forced = true;
                kill(nginx, SIGTERM);
            }
        }
        if (quitting && !forced && Clock::now() >= deadline) {
            forced = true;
            kill(nginx, SIGTERM);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    EnsureStandardFds();
    if (argc < 4) {
        Usage();
        return 2;
    }
    const int port = ParseAddress(argv[1]);
    if (port == 0) {
        Kwvp::LogError(std::string("not a loopback address with a port: ") + argv[1]);
        Usage();
        return 2;
    }
    const std::string webRoot = argv[2];
    namespace fs = std::filesystem;
    fs::path root = fs::path(webRoot).lexically_normal();
    if (root.filename().empty())
        root = root.parent_path();
    Kwvp::UploadStore store(webRoot, (root.parent_path() / "uploads").string());
    store.AdoptOldStore();
    const std::string config = Kwvp::ConfigPathOf({argv + 4, argv + argc});

    setpgid(0, 0);

    // Dispositions the agent may have left us (an ignored SIGCHLD would keep nginx's
    // status from us); the signals that end kwvp are taken synchronously below.
    signal(SIGCHLD, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    signal(SIGUSR1, SIG_IGN);
    sigset_t signals;
    sigemptyset(&signals);
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGQUIT})
        sigaddset(&signals, sig);
    // Blocked before any thread starts, so only sigtimedwait() takes them.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // Only nginx's own processes (its workers: the master's children) and root may
    // use the upload service.
    static std::atomic<pid_t> nginxPid{0};
    Kwvp::UploadServer server(store, port, [](uid_t uid) {
        if (uid == 0)
            return true;
        for (pid_t child : Kwvp::ChildProcesses(nginxPid)) {
            uid_t user;
            if (Kwvp::ProcessUser(child, user) && user == uid)
                return true;
        }
        return false;
    });
    UploadControl uploads(store, port == kNoPort ? nullptr : &server, config, port);
    uploads.ReadConfig();
    if (port == kNoPort)
        Kwvp::LogError("no upload service: " + std::string(argv[1]) +
                       " names no TCP port (the web server listens on the last one, 65535)");
    else
        server.Start();

    const pid_t nginx = StartNginx(argv + 3);
    if (nginx < 0) {
        std::fflush(nullptr);
        _exit(127); // the service's threads use objects of this frame
    }
    nginxPid = nginx;

    const int status = WatchNginx(nginx, signals, uploads);
    const int code = ExitCodeOf(status);
    if (code != 0)
        Kwvp::LogError("nginx ended with status " + std::to_string(code));

    // Let requests in progress finish, then leave without running destructors under
    // the worker threads.
    const auto end = Clock::now() + kFinishRequestsTimeout;
    while (server.Busy() > 0 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::fflush(nullptr);
    _exit(code);
}
