// The agent's own rights: the data directory it must own and write, and a listen
// port below 1024 that only a privileged nginx may bind.
#include "Privilege.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace Agent {

const char* const LowPortDropIn = "/etc/systemd/system/kwagent.service.d/low-port.conf";

std::string UserName(unsigned uid) {
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr)
        return found->pw_name;
    return "uid " + std::to_string(uid);
}

namespace {

std::string Mode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string Self() {
    const uid_t uid = geteuid();
    const std::string name = UserName(uid);
    return name.rfind("uid ", 0) == 0 ? name : name + " (uid " + std::to_string(uid) + ")";
}

// /proc/sys/net/ipv4/ip_unprivileged_port_start, 1024 when it cannot be read.
int FirstUnprivilegedPort() {
    std::ifstream file("/proc/sys/net/ipv4/ip_unprivileged_port_start");
    int port = 1024;
    if (!(file >> port))
        return 1024;
    return port;
}

// CAP_NET_BIND_SERVICE in the ambient set: kept across the launcher's and nginx's exec.
bool AmbientBindCapability() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("CapAmb:", 0) == 0) {
            unsigned long long mask = 0;
            std::istringstream(line.substr(7)) >> std::hex >> mask;
            return (mask >> CAP_NET_BIND_SERVICE) & 1;
        }
    return false;
}

} // namespace

std::string DataDirectoryProblem(const std::string& home) {
    for (const std::string& path : {home, home + "/plugins", home + "/plugins/relay"}) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            return errno == ENOENT
                       ? std::string() // made later, by this user
                       : "the data directory " + path + " cannot be read: " + std::strerror(errno) +
                             "; kwagent runs as " + Self();
        const std::string facts =
            " (owner " + UserName(st.st_uid) + ", mode " + Mode(st.st_mode) + ")";
        if (!S_ISDIR(st.st_mode))
            return "the data directory " + path + facts + " is not a directory; kwagent runs as " +
                   Self();
        if (st.st_uid != geteuid())
            return "the data directory " + path + facts + " does not belong to " + Self() +
                   ", as which kwagent runs";
        if (faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
            return "the data directory " + path + facts + " cannot be written by " + Self() +
                   ", as which kwagent runs: " + std::strerror(errno);
    }
    return std::string();
}

std::string LowPortAdvice(int port) {
    const int first = FirstUnprivilegedPort();
    if (port <= 0 || port >= first)
        return std::string();
    return "kwp.RelayServer.port " + std::to_string(port) + " is below " + std::to_string(first) +
           ": nginx may bind it only as root or with CAP_NET_BIND_SERVICE, which the service "
           "(user kwagent) gets from the drop-in " +
           LowPortDropIn +
           " ([Service] AmbientCapabilities=CAP_NET_BIND_SERVICE and "
           "CapabilityBoundingSet=CAP_NET_BIND_SERVICE; then systemctl daemon-reload and "
           "systemctl restart kwagent)";
}

std::string LowPortProblem(int port) {
    const std::string advice = LowPortAdvice(port);
    if (advice.empty() || geteuid() == 0 || AmbientBindCapability())
        return std::string();
    return "kwagent runs as " + Self() + " without CAP_NET_BIND_SERVICE: " + advice;
}

} // namespace Agent
