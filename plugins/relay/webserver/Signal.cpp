// Signalling the web server: nginx is run once more with -s, pointed at the
// relay's prefix and configuration, and finds the running master through the
// pid file that configuration names.
#include "Fips.h"

#include "server/RelayServer.h"
#include "server/Trace.h"

#include <wx/file.h>

namespace Relay {

bool CRelayServer::SignalWebServer(int signal, wxString& output) {
    const char* const traceName = "Relay::CRelayServer::SignalWebServer";
    RS_TRACE(traceName, "SignalWebServer(sig=%d)", signal);

    // The prefix is the work directory followed by a forward slash, whatever
    // separators the directory itself is written with.
    wxString arguments = L" -p \"" + WorkDir + L"/\" -c \"" + WebServerConfigPath + L"\"";
    switch (signal) {
    case Stop:
        arguments += L" -s stop";
        break;
    case Quit:
        arguments += L" -s quit";
        break;
    case Reload:
        arguments += L" -s reload";
        break;
    case Reopen:
        arguments += L" -s reopen";
        break;
    default:
        RS_LOG_ERROR(traceName, "unknown WebServerSignal=%d", signal);
        return false;
    }
    if (WebServer::IsFipsEnabled())
        arguments += L" -f \"" + LibDir + L"\" \"" + OpensslFipsConfigPath + L"\"";

    // nginx sends the signal to whatever process its pid file names. A pid file
    // that outlived its nginx (killed, never cleaned up) may by now name another
    // program, which a reload (SIGHUP) or a reopen (SIGUSR1) would end: such a
    // request is refused. A pid that names no process is left to nginx to report.
    const unsigned long pid = KwaCore::ReadPidFile(WebServerPidPath);
    if (pid != 0) {
        const wxString commandLine = KwaCore::GetCommandLineW(pid);
        if (!commandLine.empty() && !commandLine.Lower().Contains(WebServerBinaryPath.Lower())) {
            output = wxString::Format(L"%s names process %lu, which is not the web server",
                                      WebServerPidPath, pid);
            RS_TRACE(traceName, "%s", output);
            return false;
        }
    }

    long exitCode = 0;
    wxString errorText;
    return KwaCore::Execute(WebServerBinaryPath, arguments, output, exitCode, errorText);
}

bool CRelayServer::ReloadWebServerConfig() {
    RS_TRACE("Relay::CRelayServer::ReloadWebServerConfig", "ReloadWebServerConfig");
    if (!wxFile::Exists(WebServerPidPath)) {
        KwaCore::CDom::LogAgentEventText(0, 9103, L"Pid file does not exist");
        return false;
    }
    wxString output;
    if (!SignalWebServer(Reload, output)) {
        // What nginx printed, taken literally.
        KwaCore::CDom::LogAgentEventText(0, 9103, output);
        return false;
    }
    KwaCore::CDom::LogAgentEventText(0, 9104, L"New configuration loaded");
    return true;
}

} // namespace Relay
