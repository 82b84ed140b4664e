// Who talks to the upload service: the owner of the socket at the other end of a
// loopback connection, asked of the kernel, and which users nginx's processes
// (the master's children: its workers) run as.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace Kwvp {

// The user owning the socket at the other end of fd, a TCP connection over IPv4
// loopback, through sock_diag (the kernel's own record of the socket; a peer
// cannot claim another user). False with the reason in error when it cannot be
// told: the peer's socket is no longer open and connected (a request sent before
// a close counts for nobody), or the kernel does not answer.
bool PeerSocketOwner(int fd, uid_t& uid, std::string& error);

// The children of process pid, from /proc; empty when it has none or is gone.
std::vector<pid_t> ChildProcesses(pid_t pid);

// The effective user of process pid, from /proc; false when it is gone.
bool ProcessUser(pid_t pid, uid_t& uid);

} // namespace Kwvp
