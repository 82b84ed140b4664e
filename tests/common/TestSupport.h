// Small helpers shared by the tests: temporary directories, files, ports, commands.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kwatest {

// The program directory of the build under test (relay.so, nginx.exe, ...).
inline std::string BinDir() {
    return KWA_TEST_BIN_DIR;
}
inline std::string SourceDir() {
    return KWA_TEST_SOURCE_DIR;
}

// A fresh directory under $TMPDIR or /tmp, traversable by nginx, removed when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "kwa-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

bool FileExists(const std::string& path);
bool DirExists(const std::string& path);
bool IsSymlink(const std::string& path);
std::string ReadFile(const std::string& path);
std::vector<std::string> Lines(const std::string& text);
// Writes content, creating missing parent directories.
void WriteFile(const std::string& path, const std::string& content);
// A file of this size, all of it a hole: no disk is used.
void WriteSparseFile(const std::string& path, long long size);
void MakeDirs(const std::string& path, unsigned mode = 0755);
void RemoveTree(const std::string& path);
long long FileSize(const std::string& path); // -1 when missing
unsigned FileMode(const std::string& path);  // permission bits, 0 when missing

// A free loopback TCP port whose successor (the relay's upload port) is free too.
int FreePortPair();

// A TCP socket bound to 127.0.0.1:port (address reuse on; the caller closes it), or -1.
int BindLoopback(int port);
// Whether something accepts connections on 127.0.0.1:port.
bool LoopbackConnects(int port);

struct CommandResult {
    int exitCode = -1;  // -1 when the command did not exit normally
    std::string output; // standard output and error together
};
// Runs a shell command and waits for it.
CommandResult RunCommand(const std::string& command);
std::string ShellQuote(const std::string& text);

// Polls until predicate is true or the timeout ends; returns the last answer.
bool WaitUntil(const std::function<bool()>& predicate,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

bool ProcessAlive(long pid);

} // namespace kwatest
