// Enabling and disabling: the site root is served to every client, or to the
// loopback addresses only. Neither starts nor stops the web server: the file is
// rewritten and the running web server asked to reload it.
#include "server/RelayServer.h"
#include "server/Trace.h"

namespace Relay {

bool CRelayServer::EnableWebServer() {
    RS_TRACE("Relay::CRelayServer::EnableWebServer", "EnableWebServer");
    InitializeWebServerConfig();

    wxString errorText;
    // A file nginx refuses is left on disk, but the running web server keeps the
    // configuration it has.
    if (!ValidateWebServerConfig(errorText) || !SignalWebServer(Reload, errorText)) {
        KwaCore::CDom::LogAgentEventText(0, 9105, errorText);
        return false;
    }
    KwaCore::CDom::LogAgentEvent(0, 9104);
    return true;
}

bool CRelayServer::DisableWebServer() {
    RS_TRACE("Relay::CRelayServer::DisableWebServer", "DisableWebServer");
    IsWebServerConfigSet();
    // Loopback only. The file is not tested: the same text with the site root
    // open has passed the test when the web server started.
    WriteDefaultWebServerConfig(2, true);

    wxString errorText;
    if (!SignalWebServer(Reload, errorText)) {
        KwaCore::CDom::LogAgentEventText(0, 9106, errorText);
        return false;
    }
    KwaCore::CDom::LogAgentEvent(0, 9103);
    return true;
}

} // namespace Relay
