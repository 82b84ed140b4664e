// TEMPORARY: weak placeholders so that the tree links while the core library is
// being written. Every real definition overrides its placeholder; this file goes
// once all of them exist.
#include "KwaCore.h"
#include "KwaCoreHost.h"

#include <wx/filename.h>

#define PENDING __attribute__((weak))

namespace KwaCore {
PENDING CDom* CDom::This() { static CDom dom; return &dom; }
PENDING wxString CDom::GetWxString(const char*) { return wxString(); }
PENDING std::string CDom::GetString(const char*) { return std::string(); }
PENDING bool CDom::Set(const char*, const char*) { return false; }
PENDING wxString CDom::GetPluginWorkdirWx(const char*) { return wxString(); }
PENDING std::string CDom::GetPluginWorkdir(const char*) { return std::string(); }
PENDING bool CDom::ShouldExit(unsigned long, bool*) { return false; }
PENDING void CDom::LogAgentEvent(int, int) {}
PENDING void CDom::LogAgentEventText(int, int, const wxString&) {}
PENDING CRunnable::CRunnable() {}
PENDING CRunnable::~CRunnable() {}
PENDING CRunnable* CRunnable::This() { return nullptr; }
PENDING void CRunnable::SetThis(CRunnable*) {}
PENDING bool CRunnable::Wait(unsigned long, bool*) { return false; }
PENDING void RequestShutdown(bool) {}
PENDING bool LogTraceIsEnabled(const wchar_t*) { return false; }
PENDING void LogTrace(const wchar_t*, const char*, int, const char*, const wxString&) {}
PENDING bool Execute(const wxString&, const wxString&, wxString&, long&, wxString&) { return false; }
PENDING void ReapChildren() {}
PENDING unsigned long ReadPidFile(const wxString&) { return 0; }
PENDING bool WriteThisPidToFile(unsigned long, const wxString&) { return false; }
PENDING wxString GetCommandLineW(unsigned long) { return wxString(); }
PENDING bool SecureFileOrDirectory(const wxString&, bool) { return false; }
PENDING bool RemoveDirectoryW(const wxString&, bool) { return false; }
PENDING bool IpVersionsSupported(bool&, bool&) { return false; }
PENDING wxString OpenSSLError() { return wxString(); }
PENDING wxString ErrnoToString(int) { return wxString(); }
PENDING wxString toString(long long) { return wxString(); }
PENDING bool Zip(const wxFileName&, const wxFileName&, ZipCallback, void*) { return false; }
PENDING bool Unzip(const wxFileName&, const wxFileName&, UnzipCallback, void*) { return false; }
PENDING void SetArchiveProgressHandler(std::function<void(const ArchiveProgress&)>) {}
namespace Host {
PENDING void Initialize() {}
PENDING wxString Home() { return wxString(); }
PENDING bool HomeIsDefault() { return false; }
PENDING wxString ProgramDir() { return wxString(); }
PENDING std::vector<EventRecord> Events() { return {}; }
PENDING std::vector<TraceRecord> Traces() { return {}; }
PENDING std::vector<LogRecord> LogMessages() { return {}; }
PENDING void ClearRecords() {}
PENDING void SetTraceComponent(const wxString&, bool) {}
PENDING void SetVerbose(bool) {}
PENDING wxString TraceLogPath() { return wxString(); }
PENDING wxString EventLogPath() { return wxString(); }
PENDING wxString AgentLogPath() { return wxString(); }
PENDING void SetEventObserver(std::function<void(const EventRecord&)>) {}
PENDING void SetLogObserver(std::function<void(const LogRecord&)>) {}
} // namespace Host
} // namespace KwaCore
