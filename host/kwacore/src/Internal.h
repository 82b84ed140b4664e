// Helpers shared by the parts of the core library. Not exported.
#pragma once

#include "UniqueFd.h"

#include <wx/strconv.h>
#include <wx/string.h>

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

namespace KwaCore {
namespace Internal {

// ---------------------------------------------------------------------------
// Text and paths
// ---------------------------------------------------------------------------
// File names are bytes: UTF-8 where they are UTF-8, and any other byte kept as it
// is, so that a name read from the system names the same file when it goes back.
// The conversion between such names and wxString, and the one wx itself uses for
// file names from the core library's initialisation on (wxConvFileName).
wxMBConv& FileNameConversion();
void UseRawFileNames();
// The bytes that name a path for the operating system.
std::string FsPath(const wxString& path);
// A path's bytes as a wxString (bytes that are not UTF-8 survive the way back).
wxString FromFs(const std::string& bytes);
// UTF-8 bytes of a text.
std::string Utf8(const wxString& text);
// Decodes UTF-8 leniently: every byte that does not start a valid sequence becomes U+FFFD.
wxString FromUtf8Lenient(const char* data, size_t size);
inline wxString FromUtf8Lenient(const std::string& bytes) {
    return FromUtf8Lenient(bytes.data(), bytes.size());
}

// Restores errno when it goes out of scope. Recording a trace or reading a setting
// between a failed call and the use of its errno must not change the errno.
class ErrnoKeeper {
public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

private:
    int saved_;
};

// ---------------------------------------------------------------------------
// Files and directories
// ---------------------------------------------------------------------------
// Owns a file descriptor.
using Fd = Kwa::UniqueFd;

// True when the process runs as root (nginx workers then run as another user).
bool RunningAsRoot();
// Mode of the agent's private directories: 0711 as root (nginx workers must pass
// through them), 0700 otherwise.
mode_t PrivateDirectoryMode();

// Makes sure the directory exists. A directory it creates gets mode (missing parents
// get 0755, as mkdir -p gives them); when traversable is set and the process runs as
// root, an existing directory gains o+x so that nginx workers can pass through it.
// False with errno set when it could not be made.
bool EnsureDirectory(const std::string& path, mode_t mode, bool traversable);

// Writes content to path through a temporary file in the same directory (fsync,
// rename), so that readers see the old or the new file, never a part. Returns 0 or
// the errno of the step that failed.
int WriteFileAtomically(const std::string& path, const std::string& content, mode_t mode);

// Reads a whole file; false with errno set when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& content);

// ---------------------------------------------------------------------------
// The agent's home
// ---------------------------------------------------------------------------
// $KWA_HOME made absolute without trailing separators, or the user's default.
std::string HomePath();
// HomePath() created when missing and made traversable for nginx workers.
bool EnsureHome();
// The directory that holds libkwacore.so.
std::string LibraryDirectory();

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------
// Records a wx log message (levels already filtered by the log target).
void RecordLogMessage(int level, const wxString& function, const wxString& message);
// Installs the core library's wx log target (replacing wx's default one).
void InstallLogTarget();
// Hands messages that other threads logged (wx buffers them for the main thread)
// to the active log target now.
void FlushBackgroundLogMessages();
// Whether verbose wx messages are recorded.
bool VerboseEnabled();

// ---------------------------------------------------------------------------
// Shutdown
// ---------------------------------------------------------------------------
// Creates the descriptor that wakes waiters; done at load time so that
// RequestShutdown never allocates (it may run in a signal handler).
void PrepareShutdownSignal();
// Waits up to ms milliseconds for the shutdown; true once it is requested.
bool WaitForShutdown(unsigned long ms);

} // namespace Internal
} // namespace KwaCore
