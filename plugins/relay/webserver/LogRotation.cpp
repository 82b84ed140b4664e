// Rotation of the web server's access and error logs, and the protection of the
// disk from a runaway error log.
#include "server/RelayServer.h"
#include "server/ScriptText.h"
#include "server/Trace.h"

#include <wx/dir.h>
#include <wx/file.h>
#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/log.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <set>

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

// Up to this many generations the rotation probes every name; beyond, it lists
// the directory once, so that a script's huge count does not hold the thread for
// hours (two billion probes) when only a few generations exist.
const int probedGenerations = 100;

// The generations 1 to below count of the log that exist now, found by listing
// its directory: each entry is taken only when it is exactly the name of
// generation n as Generation() writes it.
std::set<int, std::greater<int>> ListedGenerations(const wxString& log, int count) {
    std::set<int, std::greater<int>> found;
    const wxFileName name(log);
    const wxString prefix = name.GetName() + L"-";
    wxString directory = name.GetPath(wxPATH_GET_VOLUME);
    if (directory.empty())
        directory = wxFileName::GetCwd();
    wxLogNull quiet; // an unreadable directory simply has no generations to show
    wxDir dir(directory);
    if (!dir.IsOpened())
        return found;
    wxString entry;
    // No file pattern: the log's own name may hold wildcard characters.
    for (bool more = dir.GetFirst(&entry, wxEmptyString, wxDIR_FILES | wxDIR_HIDDEN); more;
         more = dir.GetNext(&entry)) {
        if (!entry.StartsWith(prefix))
            continue;
        size_t end = prefix.length();
        long n = 0;
        while (end < entry.length() && entry[end] >= '0' && entry[end] <= '9' && n < count)
            n = n * 10 + (entry[end++] - '0');
        if (end == prefix.length() || n < 1 || n >= count)
            continue;
        if (wxFileName(Generation(log, int(n))).GetFullName() == entry)
            found.insert(int(n));
    }
    return found;
}

// Moves generation n - 1 (the log itself for n = 1) to generation n; a file that
// cannot move on is deleted, so that rotation always makes room.
void ShiftInto(const wxString& log, int n) {
    const wxString source = n == 1 ? log : Generation(log, n - 1);
    if (wxFile::Exists(source) && !wxRenameFile(source, Generation(log, n), true))
        wxRemoveFile(source);
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
    // Not text of the locale: a file name whose bytes are kept as they are.
    const wxString log = FromScript(path, std::strlen(path), *wxConvFileName);
    if (log.empty())
        return;
    const wxString oldest = Generation(log, count);
    if (wxFile::Exists(oldest))
        wxRemoveFile(oldest); // the oldest generation is dropped
    if (count <= probedGenerations) {
        for (int i = count; i >= 1; --i)
            ShiftInto(log, i);
        return;
    }
    // From the top down, only where a source exists: the same moves as probing
    // every generation, since a move never touches a lower generation.
    for (const int n : ListedGenerations(log, count))
        ShiftInto(log, n + 1);
    ShiftInto(log, 1);
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
