// Reaping the children that wxExecute started asynchronously (the relay's
// launcher). wx records a SIGCHLD in its handler but reaps its children only in
// wxAppConsole::CheckSignal, which an event loop calls; the agent has none, so
// ReapChildren does it. wx waits for each of its own children by id: the exit
// statuses of other children (Execute's) are never taken.
#include "Internal.h"

#include <KwaCore.h>

#include <wx/app.h>
#include <wx/thread.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace KwaCore {
namespace {

// The flag of a task that has begun to exit (PF_EXITING in /proc/<pid>/stat).
const unsigned long kTaskExiting = 0x4;
const unsigned long long kSigkillBit = 1ull << (SIGKILL - 1);

struct ChildrenState {
    bool zombie = false; // ended, not yet reaped
    bool dying = false;  // killed or exiting, not yet a zombie
};

std::vector<pid_t> ChildIds() {
    std::vector<pid_t> ids;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr)
        return ids;
    while (const struct dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        std::string list;
        if (!Internal::ReadWholeFile(std::string("/proc/self/task/") + entry->d_name + "/children",
                                     list))
            continue;
        std::istringstream in(list);
        long id;
        while (in >> id)
            ids.push_back(static_cast<pid_t>(id));
    }
    closedir(tasks);
    return ids;
}

ChildrenState StateOfChildren() {
    ChildrenState state;
    for (const pid_t id : ChildIds()) {
        const std::string base = "/proc/" + std::to_string(id);
        std::string stat;
        if (!Internal::ReadWholeFile(base + "/stat", stat))
            continue;
        const auto close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(close + 1));
        std::string processState, skip;
        unsigned long flags = 0;
        fields >> processState;
        for (int i = 0; i < 5; ++i)
            fields >> skip; // ppid pgrp session tty_nr tpgid
        fields >> flags;
        if (processState == "Z") {
            state.zombie = true;
            continue;
        }
        bool killed = false;
        std::string status;
        if (Internal::ReadWholeFile(base + "/status", status)) {
            std::istringstream lines(status);
            std::string line;
            while (std::getline(lines, line)) {
                if (line.compare(0, 7, "SigPnd:") == 0 || line.compare(0, 7, "ShdPnd:") == 0) {
                    const unsigned long long pending = std::strtoull(line.c_str() + 7, nullptr, 16);
                    killed = killed || (pending & kSigkillBit) != 0;
                }
            }
        }
        if (killed || (flags & kTaskExiting) != 0)
            state.dying = true;
    }
    return state;
}

bool ChildSignalHandled() {
    struct sigaction current;
    if (sigaction(SIGCHLD, nullptr, &current) != 0)
        return false;
    if ((current.sa_flags & SA_SIGINFO) != 0)
        return true;
    return current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN;
}

} // namespace

void ReapChildren() {
    // wx's child bookkeeping belongs to its main thread. Without its SIGCHLD
    // handler, wx has no asynchronous child to reap.
    if (wxTheApp == nullptr || !wxThread::IsMain() || !ChildSignalHandled())
        return;
    // A child that was just sent SIGKILL needs a moment to become a zombie; wait
    // for that (briefly) so that one call after wxKill leaves no zombie behind.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        const ChildrenState children = StateOfChildren();
        // The SIGCHLD of a zombie may still be on its way to another thread: make
        // sure wx looks at its children now. Looking is harmless (WNOHANG, by id).
        if (children.zombie)
            raise(SIGCHLD);
        wxTheApp->CheckSignal();
        if (!children.dying || std::chrono::steady_clock::now() >= end)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

} // namespace KwaCore
