// Running a command to its end: the argument string is split as on the agent's
// home platform, the program runs with standard input from /dev/null, its
// standard output and error are captured together.
#include "Internal.h"

#include <KwaCore.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

extern char** environ;

namespace KwaCore {
namespace {

// Splits a command line as the runtime of the agent's home platform does: blanks
// separate arguments, double quotes group (and "" inside quotes is a literal
// quote), 2n backslashes before a quote give n backslashes and the quote keeps its
// meaning, 2n+1 give n backslashes and a literal quote; other backslashes are
// literal.
std::vector<wxString> SplitArguments(const wxString& line) {
    std::vector<wxString> arguments;
    wxString current;
    bool inArgument = false;
    bool quoted = false;
    const size_t length = line.length();
    size_t i = 0;
    while (i < length) {
        const wxUniChar c = line[i];
        if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (inArgument) {
                arguments.push_back(current);
                current.clear();
                inArgument = false;
            }
            ++i;
            continue;
        }
        inArgument = true;
        if (c == '\\') {
            size_t count = 0;
            while (i < length && line[i] == '\\') {
                ++count;
                ++i;
            }
            if (i < length && line[i] == '"') {
                current.append(count / 2, '\\');
                if (count % 2 == 1) {
                    current += '"';
                    ++i;
                }
            } else {
                current.append(count, '\\');
            }
            continue;
        }
        if (c == '"') {
            if (quoted && i + 1 < length && line[i + 1] == '"') {
                current += '"';
                i += 2;
                continue;
            }
            quoted = !quoted;
            ++i;
            continue;
        }
        current += c;
        ++i;
    }
    if (inArgument)
        arguments.push_back(current);
    return arguments;
}

// Output beyond this is read (the child must not block) but not kept.
const size_t kMaxOutput = 16u << 20;

class SpawnActions {
public:
    SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnActions() {
        if (ok_)
            posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    bool ok() const { return ok_; }
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
    bool ok_;
};

class SpawnAttributes {
public:
    SpawnAttributes() { ok_ = posix_spawnattr_init(&attributes_) == 0; }
    ~SpawnAttributes() {
        if (ok_)
            posix_spawnattr_destroy(&attributes_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    bool ok() const { return ok_; }
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
    bool ok_;
};

// Reads everything the child writes until the pipe closes, or until the child has
// ended and nothing more is queued (a process it left behind may keep the pipe).
void ReadOutput(int fd, pid_t pid, std::string& bytes) {
    char buffer[65536];
    bool ended = false;
    for (;;) {
        struct pollfd readable = {fd, POLLIN, 0};
        const int ready = poll(&readable, 1, ended ? 0 : 200);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (ready == 0) {
            if (ended)
                return;
            siginfo_t info = {};
            // WNOWAIT: only look; the status is collected below.
            if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == pid)
                ended = true;
            continue;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return;
        }
        if (n == 0)
            return;
        if (bytes.size() < kMaxOutput)
            bytes.append(buffer, std::min(static_cast<size_t>(n), kMaxOutput - bytes.size()));
    }
}

// Starts the program; 0 or the error number.
int Spawn(const std::string& path, const std::vector<std::string>& arguments, int outputFd,
          pid_t& pid) {
    SpawnActions actions;
    SpawnAttributes attributes;
    if (!actions.ok() || !attributes.ok())
        return ENOMEM;
    int rc =
        posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (rc == 0)
        rc = posix_spawn_file_actions_adddup2(actions.get(), outputFd, STDOUT_FILENO);
    if (rc == 0)
        rc = posix_spawn_file_actions_adddup2(actions.get(), outputFd, STDERR_FILENO);
    // Nothing else of this process leaks into the child, whoever opened it.
    if (rc == 0)
        rc = posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
    // The child starts with no blocked signal and default dispositions (the agent
    // may ignore SIGPIPE, for instance).
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    if (rc == 0)
        rc = posix_spawnattr_setsigmask(attributes.get(), &none);
    if (rc == 0)
        rc = posix_spawnattr_setsigdefault(attributes.get(), &all);
    if (rc == 0)
        rc = posix_spawnattr_setflags(attributes.get(),
                                      POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (rc != 0)
        return rc;
    std::vector<char*> argv;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    // A bare name is looked up in PATH; anything with a slash is taken as it is.
    if (path.find('/') == std::string::npos)
        return posix_spawnp(&pid, path.c_str(), actions.get(), attributes.get(), argv.data(),
                            environ);
    return posix_spawn(&pid, path.c_str(), actions.get(), attributes.get(), argv.data(), environ);
}

} // namespace

bool Execute(const wxString& program, const wxString& arguments, wxString& output, long& exitCode,
             wxString& errorText) {
    output.clear();
    errorText.clear();
    exitCode = -1;
    const std::string path = Internal::FsPath(program);
    if (path.empty()) {
        errorText = "no program to run";
        output = errorText;
        return false;
    }
    std::vector<std::string> argv{path};
    for (const auto& argument : SplitArguments(arguments))
        argv.push_back(Internal::FsPath(argument));

    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        errorText = wxString::Format("cannot run %s: %s", program, ErrnoToString(errno));
        output = errorText;
        return false;
    }
    Internal::Fd readEnd(ends[0]);
    Internal::Fd writeEnd(ends[1]);
    pid_t pid = 0;
    const int spawnError = Spawn(path, argv, writeEnd.Get(), pid);
    writeEnd.Reset();
    if (spawnError != 0) {
        errorText = wxString::Format("cannot run %s: %s", program, ErrnoToString(spawnError));
        output = errorText;
        return false;
    }

    std::string bytes;
    ReadOutput(readEnd.Get(), pid, bytes);
    readEnd.Reset();
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    const int waitError = errno;
    output = Internal::FromUtf8Lenient(bytes);

    bool success = false;
    if (waited < 0) {
        errorText =
            wxString::Format("lost the exit status of %s: %s", program, ErrnoToString(waitError));
    } else if (WIFEXITED(status)) {
        exitCode = WEXITSTATUS(status);
        success = exitCode == 0;
        if (!success)
            errorText = wxString::Format("%s exited with status %ld", program, exitCode);
    } else if (WIFSIGNALED(status)) {
        exitCode = -WTERMSIG(status);
        errorText = wxString::Format("%s was ended by signal %d", program, WTERMSIG(status));
    }
    ReapChildren();
    return success;
}

} // namespace KwaCore
