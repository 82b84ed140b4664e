// What the user the agent runs as may do that the relay needs: own and write its
// data directory, and have nginx bind the listen port. Each check gives "" when
// all is well, else one line for a person that says what to change.
#pragma once

#include <string>

namespace Agent {

// The name of a user ("kwagent"), or "uid N" when it has none.
std::string UserName(unsigned uid);

// The data root, its plugins directory and the relay's work directory, as far as
// they exist: each must be a directory that belongs to the user the agent runs as
// and that it can write (a read-only mount fails here too).
std::string DataDirectoryProblem(const std::string& home);

// A port below the first unprivileged one (net.ipv4.ip_unprivileged_port_start,
// usually 1024) needs root or CAP_NET_BIND_SERVICE: the advice names the
// service's drop-in that grants it.
std::string LowPortAdvice(int port);
// The advice, when this process lacks the capability in its ambient set (which
// the launcher and nginx inherit) and is not root.
std::string LowPortProblem(int port);

// The drop-in of the packaged service that grants CAP_NET_BIND_SERVICE.
extern const char* const LowPortDropIn;

} // namespace Agent
