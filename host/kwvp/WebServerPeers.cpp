// Socket owners through sock_diag; nginx's processes through /proc.
#include "WebServerPeers.h"

#include "UniqueFd.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace Kwvp {

bool PeerSocketOwner(int fd, uid_t& uid, std::string& error) {
    sockaddr_in local{}, peer{};
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET) {
        error = "not an IPv4 socket";
        return false;
    }
    length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        error = std::string("getpeername: ") + std::strerror(errno);
        return false;
    }
    Kwa::UniqueFd diag(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!diag.Valid()) {
        error = std::string("sock_diag: ") + std::strerror(errno);
        return false;
    }
    const timeval second{1, 0};
    setsockopt(diag.Get(), SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);

    // The peer's socket: its own end is the peer address, its remote end ours.
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.header.nlmsg_seq = 1;
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = peer.sin_port;
    message.request.id.idiag_dport = local.sin_port;
    message.request.id.idiag_src[0] = peer.sin_addr.s_addr;
    message.request.id.idiag_dst[0] = local.sin_addr.s_addr;
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(diag.Get(), &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0) {
        error = std::string("sock_diag request: ") + std::strerror(errno);
        return false;
    }
    alignas(nlmsghdr) char buffer[8192];
    ssize_t n = recv(diag.Get(), buffer, sizeof buffer, 0);
    if (n < 0) {
        error = std::string("sock_diag answer: ") + std::strerror(errno);
        return false;
    }
    for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, n); h = NLMSG_NEXT(h, n)) {
        if (h->nlmsg_type == NLMSG_ERROR) {
            const auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
            error = std::string("sock_diag: ") + std::strerror(-e->error);
            return false;
        }
        if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
            h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
            continue;
        const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
        if (m->id.idiag_sport != peer.sin_port || m->id.idiag_dport != local.sin_port ||
            m->id.idiag_src[0] != peer.sin_addr.s_addr ||
            m->id.idiag_dst[0] != local.sin_addr.s_addr)
            continue;
        // Only an open, connected socket tells its owner: one its process closed
        // may live on as a time-wait entry that the kernel reports as uid 0.
        if (m->idiag_state != TCP_ESTABLISHED || m->idiag_inode == 0) {
            error =
                "the peer's socket is closed (TCP state " + std::to_string(m->idiag_state) + ")";
            return false;
        }
        uid = m->idiag_uid;
        return true;
    }
    error = "the kernel knows no such socket";
    return false;
}

std::vector<pid_t> ChildProcesses(pid_t pid) {
    const std::string id = std::to_string(pid);
    std::ifstream in("/proc/" + id + "/task/" + id + "/children");
    std::vector<pid_t> children;
    for (long child; in >> child;)
        children.push_back(static_cast<pid_t>(child));
    return children;
}

bool ProcessUser(pid_t pid, uid_t& uid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 4, "Uid:") == 0) {
            std::istringstream fields(line.substr(4));
            unsigned long real = 0, effective = 0;
            if (!(fields >> real >> effective))
                return false;
            uid = static_cast<uid_t>(effective);
            return true;
        }
    }
    return false;
}

} // namespace Kwvp
