// Rotation of the web server's access and error logs, and the protection of the
// disk from a runaway error log.
#include "server/RelayServer.h"
#include "server/Trace.h"

#include <wx/file.h>
#include <wx/filefn.h>
#include <wx/filename.h>

#include <cstdint>

namespace Relay {

namespace {

// Calls of RotateWebLogs in this process, shared by every relay object. Scripts
// call it from one thread; it is neither atomic nor locked.
uint32_t rotateWebLogsCalls = 0;

const wxULongLong rotationSize = 5242880;            // 5 MiB
const wxULongLong errorLogProtectionSize = 20971520; // 20 MiB
const int generationsKept = 5;
const unsigned long firstDeleteWaitMs = 500;
const unsigned long deleteWaitBoundMs = 50000;

// Generation n of a log: "-%02d" between the name and the extension
// (error.log -> error-03.log); a name without extension gets it at the end.
wxString Generation(const wxString& path, int n) {
    wxFileName name(path);
    name.SetName(name.GetName() + wxString::Format("-%02d", n));
    return name.GetFullPath();
}

// Deletes a runaway error log, retrying with growing pauses while the calling
// thread's runnable lets it wait; without a runnable the attempts follow each
// other at once.
void DeleteRunawayLog(const wxString& path) {
    KwaCore::CRunnable* runnable = KwaCore::CRunnable::This();
    unsigned long waitMs = firstDeleteWaitMs;
    do {
        if (wxRemoveFile(path))
            break;
        if (!wxFileExists(path))
            break;
        if (runnable != nullptr && runnable->Wait(waitMs, nullptr))
            break;
        waitMs += firstDeleteWaitMs;
    } while (waitMs < deleteWaitBoundMs);
}

} // namespace

void CRelayServer::RotateLogFile(const char* path, int count) {
    if (path == nullptr || count < 1)
        return;
    const wxString log(path, wxConvLibc);
    if (log.empty())
        return;
    for (int i = count; i >= 1; --i) {
        const wxString source = i == 1 ? log : Generation(log, i - 1);
        const wxString target = Generation(log, i);
        if (i == count && wxFile::Exists(target))
            wxRemoveFile(target); // the oldest generation is dropped
        if (wxFile::Exists(source)) {
            // A file that cannot move on is deleted, so that rotation always makes room.
            if (!wxRenameFile(source, target, true))
                wxRemoveFile(source);
        }
    }
}

bool CRelayServer::RotateWebLogs() {
    ++rotateWebLogsCalls;
    // Two calls out of every eight do the work: the 2nd, 8th, 10th, 16th, ...
    if ((rotateWebLogsCalls & 5) != 0)
        return true;
    KwaCore::ReapChildren();

    const wxULongLong accessSize = wxFileName::GetSize(WebServerAccessLogPath);
    const wxULongLong errorSize = wxFileName::GetSize(WebServerErrorLogPath);

    bool rotated = false;
    if (WebServerAccessLogPath.compare(WebServerErrorLogPath) != 0 && accessSize != wxInvalidSize &&
        accessSize > rotationSize) {
        RotateLogFile(WebServerAccessLogPath.mb_str(), generationsKept);
        rotated = true;
    }

    if (errorSize != wxInvalidSize && errorSize > rotationSize) {
        if (errorSize > errorLogProtectionSize) {
            StopWebServer(true);
            DeleteRunawayLog(WebServerErrorLogPath);
            KwaCore::CDom::DoLogAgentEvent(0, 9107, "Nginx error log protection triggered");
            return true;
        }
        RotateLogFile(WebServerErrorLogPath.mb_str(), generationsKept);
        rotated = true;
    }

    if (!rotated)
        return true;

    wxString output;
    // nginx goes on writing into the renamed files until it reopens its logs.
    if (SignalWebServer(Reopen, output))
        RS_TRACE("Relay::CRelayServer::DoNothing", "Webserver log rotation success %.128s", output);
    else
        RS_TRACE("Relay::CRelayServer::DoNothing", "Webserver log rotation failed %.128s", output);
    return true;
}

} // namespace Relay
