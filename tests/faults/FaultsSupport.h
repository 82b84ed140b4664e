// Shared pieces of the fault tests: processes of another user, mounts, a file
// size limit, and the fixture (a relay with the real nginx on loopback).
#pragma once

#include "RelayFixture.h"

#include "server/RelayServer.h"

#include <sys/mount.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace kwatest {

inline std::vector<long> ChildrenOf(long parent) {
    std::vector<long> children;
    for (long pid : AllProcesses())
        if (ParentOf(pid) == parent && ProcessAlive(pid))
            children.push_back(pid);
    return children;
}

// A process of another user (nobody), not a child of the test: started through a
// shell that is gone at once. Killed when the object goes.
class OtherUsersProcess {
public:
    OtherUsersProcess() {
        const CommandResult started =
            RunCommand("setpriv --reuid=nobody --regid=nogroup --clear-groups sleep 60 "
                       ">/dev/null 2>&1 & echo $!");
        pid_ = std::atol(started.output.c_str());
        WaitUntil([&] { return CommandLineOf(pid_) == "sleep 60"; });
    }
    ~OtherUsersProcess() {
        if (pid_ > 0)
            kill(static_cast<pid_t>(pid_), SIGKILL);
    }
    long pid() const { return pid_; }
    bool alive() const { return ProcessAlive(pid_) && CommandLineOf(pid_) == "sleep 60"; }

private:
    long pid_ = 0;
};

// A file system mounted for one test, detached when the object goes.
class Mount {
public:
    Mount(const std::string& source, const std::string& target, const char* type,
          unsigned long flags, const char* data)
        : target_(target) {
        mounted_ = mount(source.c_str(), target.c_str(), type, flags, data) == 0;
        error_ = errno;
    }
    ~Mount() {
        if (mounted_)
            umount2(target_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    std::string error() const { return std::strerror(error_); }

private:
    std::string target_;
    bool mounted_ = false;
    int error_ = 0;
};

// The work directory, read-only through a bind mount of itself.
class ReadOnlyBind {
public:
    explicit ReadOnlyBind(const std::string& directory)
        : bind_(directory, directory, nullptr, MS_BIND, nullptr) {
        readOnly_ = bind_.mounted() && mount(directory.c_str(), directory.c_str(), nullptr,
                                             MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    bool ok() const { return readOnly_; }

private:
    Mount bind_;
    bool readOnly_ = false;
};

// Files may not grow beyond size bytes while the object lives; SIGXFSZ is
// ignored so that a write past the limit fails with EFBIG instead of ending us.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t size) {
        getrlimit(RLIMIT_FSIZE, &previous_);
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = previous_;
        limit.rlim_cur = size;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = nullptr;
};

class Faults : public RelayFixture {
protected:
    std::string ConfigPath() const { return WorkDir() + "/nginx.conf"; }
    std::vector<std::string> EventTexts(int id) const {
        std::vector<std::string> texts;
        for (const auto& event : EventsWithId(id))
            texts.push_back(ToUtf8(event.text));
        return texts;
    }
    bool Serves(const std::string& path, const std::string& content) {
        const CommandResult got = Curl(path);
        return got.exitCode == 0 && got.output == content;
    }
};

} // namespace kwatest
