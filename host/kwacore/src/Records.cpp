// Records of the agent: traces, agent events and wx log messages. Each is appended
// to its file under $KWA_HOME/logs, kept in memory for the host's scripts and
// handed to the host's observer.
#include "Internal.h"

#include <KwaCore.h>
#include <KwaCoreHost.h>

#include <nlohmann/json.hpp>
#include <wx/log.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace KwaCore {
namespace {

using Host::EventRecord;
using Host::LogRecord;
using Host::TraceRecord;

// The in-memory lists keep the newest records only, so that a long-running agent
// does not grow without bound.
const size_t kMaxRecordsInMemory = 10000;

struct Store {
    std::mutex mutex;
    std::deque<EventRecord> events;
    std::deque<TraceRecord> traces;
    std::deque<LogRecord> logs;
    // Components switched on or off at run time ("*": all); they take precedence
    // over KWA_TRACE.
    std::map<wxString, bool> traceSwitches;
    std::function<void(const EventRecord&)> eventObserver;
    std::function<void(const LogRecord&)> logObserver;
};

Store& Records() {
    // Never destroyed: other threads may still record while the process exits.
    static Store* store = new Store;
    return *store;
}

template <typename Record> void Keep(std::deque<Record>& list, const Record& record) {
    list.push_back(record);
    while (list.size() > kMaxRecordsInMemory)
        list.pop_front();
}

std::string Now() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm utc;
    gmtime_r(&now.tv_sec, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  now.tv_nsec / 1000000);
    return text;
}

// One record is one line: line breaks inside a text are written as \n and \r.
std::string OneLine(const wxString& text) {
    std::string line;
    for (const char c : Internal::Utf8(text)) {
        if (c == '\n')
            line += "\\n";
        else if (c == '\r')
            line += "\\r";
        else
            line += c;
    }
    return line;
}

std::string JsonString(const wxString& text) {
    return nlohmann::json(Internal::Utf8(text))
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string LogsDirectory() {
    return Internal::HomePath() + "/logs";
}

// Appends one line to a file of the logs directory; losing a line when the disk
// refuses it is better than failing the operation that made the record.
void Append(const char* file, const std::string& line) {
    if (!Internal::EnsureHome() ||
        !Internal::EnsureDirectory(LogsDirectory(), Internal::PrivateDirectoryMode(), false))
        return;
    const std::string path = LogsDirectory() + "/" + file;
    Internal::Fd fd(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (!fd)
        return;
    const std::string text = line + "\n";
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd.Get(), text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        written += static_cast<size_t>(n);
    }
}

const char* LevelName(int level) {
    switch (level) {
    case wxLOG_Error:
        return "error";
    case wxLOG_Warning:
        return "warning";
    case wxLOG_Info:
        return "info";
    default:
        return "message";
    }
}

bool ListedInEnvironment(const wxString& component) {
    const char* list = std::getenv("KWA_TRACE");
    if (list == nullptr)
        return false;
    const wxString names = Internal::FromUtf8Lenient(list, std::strlen(list));
    size_t start = 0;
    while (start <= names.length()) {
        size_t end = names.find(',', start);
        if (end == wxString::npos)
            end = names.length();
        wxString name = names.Mid(start, end - start);
        name.Trim(true).Trim(false);
        if (name == "*" || (!name.empty() && name == component))
            return true;
        start = end + 1;
    }
    return false;
}

void RecordEvent(const EventRecord& event) {
    const Internal::ErrnoKeeper keepErrno;
    std::string line = "{\"time\": " + JsonString(Now()) + ", \"id\": " + std::to_string(event.id);
    if (event.hasText)
        line += ", \"text\": " + JsonString(event.text);
    line += "}";
    std::function<void(const EventRecord&)> observer;
    {
        std::lock_guard<std::mutex> lock(Records().mutex);
        Keep(Records().events, event);
        Append("events.log", line);
        observer = Records().eventObserver;
    }
    if (observer) {
        try {
            observer(event);
        } catch (...) {
        }
    }
}

} // namespace

namespace Internal {

void RecordLogMessage(int level, const wxString& function, const wxString& message) {
    const ErrnoKeeper keepErrno;
    const LogRecord record{level, function, message};
    const std::string line =
        Now() + " " + LevelName(level) + " " + OneLine(function) + ": " + OneLine(message);
    std::function<void(const LogRecord&)> observer;
    {
        std::lock_guard<std::mutex> lock(Records().mutex);
        Keep(Records().logs, record);
        Append("agent.log", line);
        observer = Records().logObserver;
    }
    if (observer) {
        try {
            observer(record);
        } catch (...) {
        }
    }
}

} // namespace Internal

bool LogTraceIsEnabled(const wchar_t* component) {
    const Internal::ErrnoKeeper keepErrno;
    if (component == nullptr || component[0] == L'\0')
        return false;
    const wxString name(component);
    {
        std::lock_guard<std::mutex> lock(Records().mutex);
        const auto& switches = Records().traceSwitches;
        auto found = switches.find(name);
        if (found == switches.end())
            found = switches.find("*");
        if (found != switches.end())
            return found->second;
    }
    return ListedInEnvironment(name);
}

void LogTrace(const wchar_t* component, const char* sourceFile, int line, const char* function,
              const wxString& message) {
    const Internal::ErrnoKeeper keepErrno;
    if (!LogTraceIsEnabled(component))
        return;
    const TraceRecord record{wxString(component),
                             function != nullptr ? wxString::FromUTF8(function) : wxString(),
                             message};
    const std::string text = Now() + " [" + OneLine(record.component) + "] " +
                             OneLine(record.function) + ": " + OneLine(message);
    std::lock_guard<std::mutex> lock(Records().mutex);
    Keep(Records().traces, record);
    Append("trace.log", text);
}

void CDom::LogAgentEvent(int reserved, int id) {
    RecordEvent(EventRecord{id, false, wxString()});
}

void CDom::LogAgentEventText(int reserved, int id, const wxString& text) {
    RecordEvent(EventRecord{id, true, text});
}

namespace Host {

std::vector<EventRecord> Events() {
    std::lock_guard<std::mutex> lock(Records().mutex);
    return std::vector<EventRecord>(Records().events.begin(), Records().events.end());
}

std::vector<TraceRecord> Traces() {
    std::lock_guard<std::mutex> lock(Records().mutex);
    return std::vector<TraceRecord>(Records().traces.begin(), Records().traces.end());
}

std::vector<LogRecord> LogMessages() {
    std::lock_guard<std::mutex> lock(Records().mutex);
    return std::vector<LogRecord>(Records().logs.begin(), Records().logs.end());
}

void ClearRecords() {
    std::lock_guard<std::mutex> lock(Records().mutex);
    Records().events.clear();
    Records().traces.clear();
    Records().logs.clear();
}

void SetTraceComponent(const wxString& component, bool on) {
    if (component.empty())
        return;
    std::lock_guard<std::mutex> lock(Records().mutex);
    auto& switches = Records().traceSwitches;
    if (component == "*")
        switches.clear();
    switches[component] = on;
}

wxString TraceLogPath() {
    return Internal::FromFs(LogsDirectory() + "/trace.log");
}
wxString EventLogPath() {
    return Internal::FromFs(LogsDirectory() + "/events.log");
}
wxString AgentLogPath() {
    return Internal::FromFs(LogsDirectory() + "/agent.log");
}

void SetEventObserver(std::function<void(const EventRecord&)> observer) {
    std::lock_guard<std::mutex> lock(Records().mutex);
    Records().eventObserver = std::move(observer);
}

void SetLogObserver(std::function<void(const LogRecord&)> observer) {
    std::lock_guard<std::mutex> lock(Records().mutex);
    Records().logObserver = std::move(observer);
}

} // namespace Host
} // namespace KwaCore
