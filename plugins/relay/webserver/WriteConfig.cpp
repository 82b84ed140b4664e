// Writing the default web server configuration: the address settings, the IP
// versions the host supports, then the text, swapped in safely.
#include "ConfigText.h"

#include "server/Trace.h"

namespace Relay {

namespace WebServer {

ListenSettings ReadListenSettings(const CRelayServer& server) {
    const char* const traceName = "Relay::CRelayServer::WriteDefaultWebServerConfig";
    KwaCore::CDom* dom = KwaCore::CDom::This();
    ListenSettings listen;
    listen.v4Prefix = dom->GetWxString("kwp.RelayServer.address.v4");
    listen.v6Prefix = dom->GetWxString("kwp.RelayServer.address.v6");

    RS_TRACE(traceName, "FeedSyncPort Https is %d", static_cast<int>(server.WebServerListenPort));
    RS_TRACE(traceName, "FeedSyncPort Http is %d", static_cast<int>(server.HttpPort));

    // An empty IPv4 address leaves the port alone on the listen line (every
    // interface); an empty IPv6 address means every IPv6 interface. The stored
    // values are used as they are: no brackets are added.
    if (!listen.v4Prefix.empty()) {
        RS_TRACE(traceName, "FeedSync v4 address is %s", listen.v4Prefix);
        listen.v4Prefix += L':';
    }
    if (!listen.v6Prefix.empty()) {
        RS_TRACE(traceName, "FeedSync v6 address is %s", listen.v6Prefix);
        listen.v6Prefix += L':';
    } else {
        listen.v6Prefix = L"[::]:";
    }

    // The answer itself is not looked at: a failed probe leaves both false, and
    // the IPv4 line alone is written.
    bool ipv4 = false;
    bool ipv6 = false;
    KwaCore::IpVersionsSupported(ipv4, ipv6);
    listen.ipv4 = ipv4;
    listen.ipv6 = ipv6;
    return listen;
}

} // namespace WebServer

bool CRelayServer::WriteDefaultWebServerConfig(int accessMode, bool requestClientCertificate) {
    RS_TRACE("Relay::CRelayServer::WriteDefaultWebServerConfig", "WriteDefaultWebServerConfig");
    return ReplaceWebServerConfig(
        BuildDefaultWebServerConfig(accessMode, requestClientCertificate));
}

} // namespace Relay
