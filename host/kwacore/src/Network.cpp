// Which IP versions this host can use: a socket of each family bound to the
// loopback address. KWA_IP_VERSIONS ("4", "6", "4,6", "none") overrides the probe.
#include "Internal.h"

#include <KwaCore.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <sstream>
#include <string>

namespace KwaCore {
namespace {

bool CanBindLoopback(int family) {
    Internal::Fd fd(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return false;
    if (family == AF_INET) {
        struct sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    const int one = 1;
    setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    struct sockaddr_in6 address = {};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    return bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// False when the variable is unset or not understood (then the probe decides).
bool Override(bool& ipv4, bool& ipv6) {
    const char* value = std::getenv("KWA_IP_VERSIONS");
    if (value == nullptr)
        return false;
    bool v4 = false, v6 = false, none = false;
    std::istringstream list(value);
    std::string item;
    while (std::getline(list, item, ',')) {
        const auto first = item.find_first_not_of(" \t");
        const auto last = item.find_last_not_of(" \t");
        item = first == std::string::npos ? std::string() : item.substr(first, last - first + 1);
        if (item == "4")
            v4 = true;
        else if (item == "6")
            v6 = true;
        else if (item == "none")
            none = true;
        else
            return false;
    }
    if (none && (v4 || v6))
        return false;
    if (!none && !v4 && !v6)
        return false;
    ipv4 = v4;
    ipv6 = v6;
    return true;
}

} // namespace

bool IpVersionsSupported(bool& ipv4, bool& ipv6) {
    if (!Override(ipv4, ipv6)) {
        ipv4 = CanBindLoopback(AF_INET);
        ipv6 = CanBindLoopback(AF_INET6);
    }
    return ipv4 || ipv6;
}

} // namespace KwaCore
