// The agent's core library: settings, work directories, records (traces, agent
// events, log messages), processes, pid files, file protection and archives.
//
// Every plug-in of the agent reaches the host through this header only.
#pragma once

#include <wx/string.h>

#include <cstdint>
#include <functional>
#include <string>

class wxFileName;
class wxZipEntry;

#if defined(__GNUC__)
#define KWACORE_API __attribute__((visibility("default")))
#else
#define KWACORE_API
#endif

namespace KwaCore {

// ---------------------------------------------------------------------------
// Settings, work directories, agent events, shutdown state
// ---------------------------------------------------------------------------
class KWACORE_API CDom {
public:
    // The agent's settings object; never null.
    static CDom* This();

    // The text of a setting; empty when unset.
    wxString GetWxString(const char* key);
    std::string GetString(const char* key);

    // Stores the value and writes agent.conf through (atomically). False when the
    // file could not be written; the value is kept in memory either way.
    bool Set(const char* key, const char* value);

    // $KWA_HOME/plugins/NAME, without a trailing separator. Only named, not created.
    wxString GetPluginWorkdirWx(const char* name);
    std::string GetPluginWorkdir(const char* name);

    // True once the agent is shutting down. With ms > 0 waits up to ms milliseconds
    // for the shutdown to begin; flag, when given, receives the answer as well.
    bool ShouldExit(unsigned long ms, bool* flag);

    // Agent events. The first argument is reserved and always 0.
    static void LogAgentEvent(int reserved, int id);
    // printf-style with wxWidgets formatting, e.g. ("failed %.4000s", command).
    template <typename... Args>
    static void DoLogAgentEvent(int reserved, int id, const wxFormatString& format,
                                const Args&... args) {
        LogAgentEventText(reserved, id, wxString::Format(format, args...));
    }
    // The text is recorded exactly as given (never used as a format).
    static void LogAgentEventText(int reserved, int id, const wxString& text);
};

// The calling thread's runnable: the host thread that runs scripts registers one.
class KWACORE_API CRunnable {
public:
    CRunnable();
    ~CRunnable();
    CRunnable(const CRunnable&) = delete;
    CRunnable& operator=(const CRunnable&) = delete;

    // The runnable registered for the calling thread, or null.
    static CRunnable* This();
    // Registers this runnable for the calling thread (null unregisters).
    static void SetThis(CRunnable* runnable);

    // Waits up to ms milliseconds. True when waiting is to end because the agent is
    // shutting down (then at once); false when the time ran out. flag, when given,
    // receives the result too.
    bool Wait(unsigned long ms, bool* flag);
};

// Starts the shutdown: ShouldExit answers true and every Wait wakes up.
// Async-signal-safe, so a SIGTERM handler may call it.
KWACORE_API void RequestShutdown(bool on = true);

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------
KWACORE_API bool LogTraceIsEnabled(const wchar_t* component);
KWACORE_API void LogTrace(const wchar_t* component, const char* sourceFile, int line,
                          const char* function, const wxString& message);

// ---------------------------------------------------------------------------
// Processes
// ---------------------------------------------------------------------------
// Runs program with the argument string split as on the agent's home platform
// (blanks separate, double quotes group), waits for it and puts its standard
// output and error into output. True when it exited with status 0.
KWACORE_API bool Execute(const wxString& program, const wxString& arguments, wxString& output,
                         long& exitCode, wxString& errorText);

// Reaps launched child processes that have ended (no zombie stays behind).
KWACORE_API void ReapChildren();

// The id stored in a pid file; 0 for a missing, empty or unreadable file.
KWACORE_API unsigned long ReadPidFile(const wxString& path);
// Writes the decimal id and a line feed, replacing the file atomically.
KWACORE_API bool WriteThisPidToFile(unsigned long pid, const wxString& path);

// The process's argument vector joined by single blanks; empty when none.
KWACORE_API wxString GetCommandLineW(unsigned long pid);

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------
// Restricts access to the agent, except what the web server's workers must reach.
KWACORE_API bool SecureFileOrDirectory(const wxString& path, bool flag);
// Removes the directory and everything in it; links are removed, never followed.
KWACORE_API bool RemoveDirectoryW(const wxString& path, bool flag);

// ---------------------------------------------------------------------------
// Network, texts
// ---------------------------------------------------------------------------
// Whether IPv4 and IPv6 can be used on this host. KWA_IP_VERSIONS ("4", "6",
// "4,6" or "none") overrides the probe.
KWACORE_API bool IpVersionsSupported(bool& ipv4, bool& ipv6);

// Text of the oldest error on the thread's OpenSSL error queue, taking it off;
// empty when the queue is empty.
KWACORE_API wxString OpenSSLError();
KWACORE_API wxString ErrnoToString(int error);
KWACORE_API wxString toString(long long value);

// ---------------------------------------------------------------------------
// Archives
// ---------------------------------------------------------------------------
enum class ZipAction : int32_t { Include = 0, Skip = 1, Abort = -1 };

// path: the entry's path relative to the source directory ('/' separated).
typedef ZipAction (*ZipCallback)(void* context, const wchar_t* path);
// entry: the entry about to be unpacked, or null; path: its target path.
typedef bool (*UnzipCallback)(void* context, const wxZipEntry* entry, const wchar_t* path);

// Packs the directory source into archive. True when the whole archive was written.
KWACORE_API bool Zip(const wxFileName& archive, const wxFileName& source, ZipCallback callback,
                     void* context);
// Unpacks archive into the directory target. True when everything was unpacked.
KWACORE_API bool Unzip(const wxFileName& archive, const wxFileName& target,
                       UnzipCallback callback, void* context);

// Progress of long archive work, for the host's output. Called on the working
// thread; keep it short.
struct ArchiveProgress {
    bool packing;            // true: Zip, false: Unzip
    const wchar_t* archive;  // the archive's path
    uint64_t entriesDone;
    uint64_t bytesDone;      // uncompressed bytes
    bool finished;
};
KWACORE_API void SetArchiveProgressHandler(std::function<void(const ArchiveProgress&)> handler);

} // namespace KwaCore
