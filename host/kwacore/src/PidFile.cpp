// Pid files: the decimal id and a line feed.
#include "Internal.h"

#include <KwaCore.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace KwaCore {
namespace {

// The largest process id Linux can hand out (PID_MAX_LIMIT on 64-bit systems).
const unsigned long kLargestPid = 4194304;
// A pid file is a few bytes; anything much longer is not one.
const size_t kLongestPidFile = 64;

} // namespace

unsigned long ReadPidFile(const wxString& path) {
    const std::string file = Internal::FsPath(path);
    if (file.empty())
        return 0;
    // O_NONBLOCK: a FIFO in the pid file's place must not block the agent.
    Internal::Fd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (!fd || fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    char buffer[kLongestPidFile + 1];
    size_t size = 0;
    for (;;) {
        const ssize_t n = read(fd.Get(), buffer + size, sizeof buffer - size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return 0;
        if (n == 0)
            break;
        size += static_cast<size_t>(n);
        if (size > kLongestPidFile)
            return 0;
    }
    unsigned long id = 0;
    size_t i = 0;
    for (; i < size && buffer[i] >= '0' && buffer[i] <= '9'; ++i) {
        id = id * 10 + static_cast<unsigned long>(buffer[i] - '0');
        if (id > kLargestPid)
            return 0;
    }
    if (i == 0)
        return 0; // empty, a sign, or not a number at all
    for (; i < size; ++i) {
        const char c = buffer[i];
        if (c != '\n' && c != '\r' && c != ' ' && c != '\t')
            return 0;
    }
    return id;
}

bool WriteThisPidToFile(unsigned long pid, const wxString& path) {
    const std::string file = Internal::FsPath(path);
    if (file.empty())
        return false;
    return Internal::WriteFileAtomically(file, std::to_string(pid) + "\n", 0644) == 0;
}

} // namespace KwaCore
