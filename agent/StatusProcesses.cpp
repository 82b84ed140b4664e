// kwagent status: the processes of the relay (the launcher and nginx, proved by
// their command lines) and the agent holding the data directory's lock.
#include "StatusParts.h"

#include <KwaCore.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace Agent {
namespace Status {

namespace fs = std::filesystem;

Json ProcessFacts(const fs::path& pidFile, const std::string& program, bool mustBeginWith,
                  const char* what, Json& reasons) {
    Json facts;
    facts["pid_file"] = pidFile.string();
    const bool exists = IsRegularFile(pidFile);
    const unsigned long pid = KwaCore::ReadPidFile(wxString::FromUTF8(pidFile.c_str()));
    facts["pid"] = pid != 0 ? Json(pid) : Json(nullptr);
    const wxString commandLine = pid != 0 ? KwaCore::GetCommandLineW(pid) : wxString();
    const bool running = !commandLine.empty();
    facts["running"] = running;
    facts["command_line"] = running ? Json(Utf8(commandLine)) : Json(nullptr);
    const wxString line = commandLine.Lower();
    const wxString expected = wxString::FromUTF8(program.c_str()).Lower();
    const bool proved =
        running && (mustBeginWith ? line.StartsWith(expected) : line.Find(expected) != wxNOT_FOUND);
    facts["proved"] = proved;
    std::string reason;
    if (!exists)
        reason = std::string(what) + ": no pid file " + pidFile.string();
    else if (pid == 0)
        reason = std::string(what) + ": the pid file " + pidFile.string() + " holds no process id";
    else if (!running)
        reason = std::string(what) + ": pid " + std::to_string(pid) + " is not running";
    else if (!proved)
        reason = std::string(what) + ": pid " + std::to_string(pid) + " is another program (" +
                 (mustBeginWith ? "its command line does not begin with "
                                : "its command line does not name ") +
                 program + ")";
    if (!reason.empty())
        reasons.push_back(reason);
    return facts;
}

// The agent that holds the data directory's lock, from /proc/locks (reading it
// takes no lock, so a starting agent is never turned away).
long AgentHoldingLock(const fs::path& lockFile) {
    struct stat st;
    if (stat(lockFile.c_str(), &st) != 0)
        return 0;
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:10952785 0 EOF"
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, where;
        if (!(fields >> number >> kind))
            continue;
        if (kind == "->") // a waiter
            continue;
        if (!(fields >> mode >> access >> pid >> where) || kind != "FLOCK")
            continue;
        unsigned int deviceMajor = 0, deviceMinor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &deviceMajor, &deviceMinor, &inode) != 3)
            continue;
        if (inode == st.st_ino && deviceMajor == major(st.st_dev) &&
            deviceMinor == minor(st.st_dev))
            return std::atol(pid.c_str());
    }
    return 0;
}

} // namespace Status
} // namespace Agent
