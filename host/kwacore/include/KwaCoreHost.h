// The host's side of the core library: what the agent program, the kwacore Lua
// module and the tests use to set the agent up and to read its records back.
// Plug-ins use KwaCore.h only.
#pragma once

#include "KwaCore.h"

#include <string>
#include <vector>

namespace KwaCore {
namespace Host {

// Makes sure wxWidgets is initialised (an application object exists) and the
// process converts text as UTF-8 when it never chose a locale. Runs by itself
// when the library is loaded; calling it again does nothing.
KWACORE_API void Initialize();

// The agent's data root: $KWA_HOME, or the default for the user the process runs as.
KWACORE_API wxString Home();
// True when KWA_HOME was not set and Home() is the default.
KWACORE_API bool HomeIsDefault();
// The program directory: "app.path.bin", or the directory holding libkwacore.so.
KWACORE_API wxString ProgramDir();
// A path's bytes as the system names it: the bytes of a name without a UTF-8 form
// come back unchanged.
KWACORE_API std::string PathBytes(const wxString& path);

struct EventRecord {
    int id;
    bool hasText;
    wxString text;
};
struct TraceRecord {
    wxString component;
    wxString function;
    wxString message;
};
struct LogRecord {
    int level; // wxLogLevel: 1 error, 2 warning, 5 info
    wxString function;
    wxString message;
};

// What this process recorded since it started or since ClearRecords, oldest first.
KWACORE_API std::vector<EventRecord> Events();
KWACORE_API std::vector<TraceRecord> Traces();
KWACORE_API std::vector<LogRecord> LogMessages();
KWACORE_API void ClearRecords();

// Switches tracing of a component ("*" for all) on or off.
KWACORE_API void SetTraceComponent(const wxString& component, bool on);
// Switches recording of verbose wx messages (wxLOG_Info).
KWACORE_API void SetVerbose(bool on);

// Files of the records under $KWA_HOME/logs.
KWACORE_API wxString TraceLogPath();
KWACORE_API wxString EventLogPath();
KWACORE_API wxString AgentLogPath();

// Called for each record as it is made (for the agent's own output). Null removes.
KWACORE_API void SetEventObserver(std::function<void(const EventRecord&)> observer);
KWACORE_API void SetLogObserver(std::function<void(const LogRecord&)> observer);

} // namespace Host
} // namespace KwaCore
