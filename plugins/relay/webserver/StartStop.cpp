// Starting and stopping the web server. The relay never starts nginx itself: it
// starts the agent's launcher kwvp, hands it the FastCGI loopback address, the web
// root, the nginx executable and nginx's own arguments, and records the launcher's
// process id. Stopping kills the launcher and asks nginx to quit through "-s".
#include "server/RelayServer.h"
#include "server/Trace.h"

#include "Fips.h"

#include <wx/file.h>
#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/utils.h>

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace Relay {

namespace {
// How long a restart waits for the old web server to end: 5 s in all.
const int restartWaitSteps = 250;
const unsigned long restartWaitStepMs = 20;

// The launcher this process started stays its child until it has been reaped
// (ReapChildren runs on many calls); from then on its id is free and may belong
// to any other process, which must not be killed in its place.
bool IsChildOfThisProcess(long pid) {
    if (pid <= 0)
        return false;
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(file, stat);
    const auto close = stat.rfind(')'); // the name in parentheses may hold anything
    if (close == std::string::npos)
        return false;
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    long parent = 0;
    fields >> state >> parent;
    return fields && parent == static_cast<long>(getpid());
}
} // namespace

wxString CRelayServer::BuildLaunchCommand() const {
    wxString command;
    command << "\"" << KwvpBinaryPath << "\" ";
    // Computed as an int: port 65535 gives 65536, nothing wraps.
    command << "localhost:" << static_cast<int>(WebServerListenPort) + 1;
    command << " \"" << InstallDir;
    // No separator may stand before the closing quote.
    if (command.EndsWith(wxString(wxFileName::GetPathSeparator())))
        command.RemoveLast();
    command << "\" \"" << WebServerBinaryPath << "\"";
    command << " -p \"" << WorkDir << "/\" -c \"" << WebServerConfigPath << "\"";
    if (WebServer::IsFipsEnabled())
        command << " -f \"" << LibDir << "\" \"" << OpensslFipsConfigPath << "\"";
    return command;
}

bool CRelayServer::StartWebServer(bool force) {
    static const char* const function = "Relay::CRelayServer::StartWebServer";
    RS_TRACE(function, "StartWebServer(force=%d)", force ? 1 : 0);
    // Launchers that ended since the last call must not stay zombies.
    KwaCore::ReapChildren();

    if (wxFile::Exists(WebServerPidPath)) {
        RS_TRACE(function, "Pid file already exists.");
        if (!force) {
            if (EnableWebServer())
                return true;
            RS_TRACE(function, "Enable failed.");
        }
        RS_TRACE(function, "Restarting web server.");
        StopWebServer(true);
        // A new nginx started while the old one still exits finds the port taken,
        // and the old one's exit would delete the pid file that the new one wrote.
        // Only the web server is waited for: "nginx -t" leaves an empty pid file,
        // and a file can outlive its process and name another program.
        for (int i = 0;
             i < restartWaitSteps && IsWebServerProcess(KwaCore::ReadPidFile(WebServerPidPath));
             ++i)
            wxMilliSleep(restartWaitStepMs);
    }

    if (!force)
        InitializeWebServerConfig();

    wxString message;
    if (!ValidateWebServerConfig(message)) {
        KwaCore::CDom::LogAgentEventText(0, 9105, message);
        return false;
    }

    const wxString command = BuildLaunchCommand();
    RS_TRACE(function, "%s", command);
    // fork() succeeds even when the launcher cannot be run and the child fails at
    // once; a launcher that is missing or not executable creates no process.
    const long pid = wxFileName::IsFileExecutable(KwvpBinaryPath)
                         ? wxExecute(command, wxEXEC_ASYNC, nullptr, nullptr)
                         : 0;
    KwvpPid = static_cast<int32_t>(pid);
    if (pid > 0) {
        KwaCore::CDom::LogAgentEvent(0, 9104);
        KwaCore::WriteThisPidToFile(static_cast<unsigned long>(pid), KwvpPidPath);
        return true;
    }
    KwvpPid = 0;
    KwaCore::CDom::DoLogAgentEvent(0, 9106, "failed %.4000s", command);
    return false;
}

bool CRelayServer::StopWebServer(bool force) {
    static const char* const function = "Relay::CRelayServer::StopWebServer";
    RS_TRACE(function, "StopWebServer(force=%d)", force ? 1 : 0);

    if (KwvpPid != 0) {
        // Only the launcher: nginx, its child, is asked to quit below. A launcher
        // that has ended and been reaped is not killed: its id is no longer ours.
        wxKillError error = wxKILL_OK;
        if (IsChildOfThisProcess(KwvpPid))
            wxKill(KwvpPid, wxSIGKILL, &error, wxKILL_NOCHILDREN);
        KwvpPid = 0;
        if (wxFile::Exists(KwvpPidPath))
            wxRemoveFile(KwvpPidPath);
    }

    bool stopped = false;
    if (!wxFile::Exists(WebServerPidPath)) {
        KwaCore::CDom::DoLogAgentEvent(0, 9105, "Pid file does not exist");
    } else {
        wxString output;
        if (SignalWebServer(Quit, output)) {
            stopped = true;
        } else if (force && SignalWebServer(Stop, output)) {
            RS_LOG_WARNING(function, "Disabled web server on forced stop");
            stopped = true;
        } else {
            KwaCore::CDom::LogAgentEventText(0, 9105, output);
        }
    }
    if (stopped)
        KwaCore::CDom::LogAgentEvent(0, 9103);

    // The killed launcher has ended by now (the signal command ran in between).
    KwaCore::ReapChildren();
    return stopped;
}

bool CRelayServer::CleanupWebServer() {
    RS_TRACE("Relay::CRelayServer::CleanupWebServer", "CleanupWebServer()");
    KwaCore::RemoveDirectoryW(InstallDir, true);
    return true;
}

} // namespace Relay
