// Removing a web server left from an earlier run. After a restart of the agent the
// relay knows its launcher and nginx only through their pid files; an id is acted
// on only when the process that has it now names the expected executable.
#include "server/RelayServer.h"
#include "server/Trace.h"

#include <wx/utils.h>

namespace Relay {

bool CRelayServer::IsWebServerProcess(unsigned long pid) const {
    // nginx rewrites its title ("nginx: master process <path> -p ..."), which
    // still holds the path: a containment test, not a prefix test.
    return pid != 0 && KwaCore::GetCommandLineW(pid).Lower().Contains(WebServerBinaryPath.Lower());
}

bool CRelayServer::KillWebServerByPidFile() {
    static const char* const function = "Relay::CRelayServer::KillWebServerByPidFile";
    bool result = true;
    RS_TRACE(function, "KillWebServerByPidFile()");

    const unsigned long kwvpPid = KwaCore::ReadPidFile(KwvpPidPath);
    RS_TRACE(function, "kwvp pid %lu", kwvpPid);
    if (kwvpPid != 0) {
        const wxString commandLine = KwaCore::GetCommandLineW(kwvpPid).Lower();
        RS_TRACE(function, "GetCommandLine kwvp pid %lu: %s", kwvpPid, commandLine);
        // The launcher's command line begins with its own path.
        if (commandLine.StartsWith(KwvpBinaryPath.Lower())) {
            wxKillError error = wxKILL_OK;
            wxKill(static_cast<long>(kwvpPid), wxSIGKILL, &error, wxKILL_NOCHILDREN);
            RS_LOG_VERBOSE(function, "Kill kwvp pid %lu, result %d", kwvpPid,
                           static_cast<int>(error));
            if (error != wxKILL_OK)
                result = false;
        } else {
            RS_LOG_VERBOSE(function, "kwvp pid file exists but pid %lu is not a kwvp process",
                           kwvpPid);
        }
    }

    const unsigned long nginxPid = KwaCore::ReadPidFile(WebServerPidPath);
    RS_TRACE(function, "nginx pid %lu", nginxPid);
    if (nginxPid != 0) {
        RS_TRACE(function, "GetCommandLine nginx pid %lu: %s", nginxPid,
                 KwaCore::GetCommandLineW(nginxPid).Lower());
        if (IsWebServerProcess(nginxPid)) {
            wxString output;
            if (SignalWebServer(Quit, output)) {
                RS_LOG_VERBOSE(function, "Web server pid %lu shut down", nginxPid);
            } else if (SignalWebServer(Stop, output)) {
                RS_LOG_VERBOSE(function, "Web server pid %lu killed", nginxPid);
            } else {
                RS_LOG_VERBOSE(function, "Could not shut down web server, pid %lu", nginxPid);
                result = false;
            }
        } else {
            RS_LOG_VERBOSE(function, "nginx pid file exists but pid %lu is not an nginx process",
                           nginxPid);
        }
    }

    KwaCore::ReapChildren();
    return result;
}

} // namespace Relay
