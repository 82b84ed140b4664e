// The text of the web server's default configuration file (nginx.conf).
// Internal to the module.
#pragma once

#include "../server/RelayServer.h"

#include <wx/string.h>

namespace Relay {

// First line of every configuration file the relay writes.
extern const wxString DefaultConfigHeader;

namespace WebServer {

// What the listen lines take from outside the relay object.
struct ListenSettings {
    wxString v4Prefix; // "<address>:" or "" (port alone: every IPv4 interface)
    wxString v6Prefix; // "<address>:" or "[::]:"
    bool ipv4 = false; // IPv4 usable on this host
    bool ipv6 = false; // IPv6 usable on this host
};

// Reads the address settings kwp.RelayServer.address.v4 / .v6 and the IP versions
// the host supports, tracing the ports and addresses as the writer does.
ListenSettings ReadListenSettings(const CRelayServer& server);

// The whole configuration text for the object's paths and settings, the listen
// settings and OpenSSL's FIPS state (asked afresh). One line feed per line.
wxString BuildConfigText(const CRelayServer& server, int accessMode, bool requestClientCertificate,
                         const ListenSettings& listen);

} // namespace WebServer
} // namespace Relay
