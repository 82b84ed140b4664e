// Small file and directory helpers: descriptors, directories, atomic replacement.
#include "Internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace KwaCore {
namespace Internal {

bool RunningAsRoot() {
    return geteuid() == 0;
}

mode_t PrivateDirectoryMode() {
    return RunningAsRoot() ? 0711 : 0700;
}

namespace {
std::string ParentOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return std::string();
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}
} // namespace

bool EnsureDirectory(const std::string& path, mode_t mode, bool traversable) {
    if (path.empty()) {
        errno = ENOENT;
        return false;
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return false;
        }
        if (traversable && RunningAsRoot() && (st.st_mode & S_IXOTH) == 0)
            chmod(path.c_str(), (st.st_mode & 07777) | S_IXOTH);
        return true;
    }
    if (errno != ENOENT)
        return false;
    const std::string parent = ParentOf(path);
    if (!parent.empty() && parent != path && !EnsureDirectory(parent, 0755, false))
        return false;
    if (mkdir(path.c_str(), mode) != 0) {
        if (errno != EEXIST)
            return false;
        // Made by someone else meanwhile: take it as it is.
        return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    // mkdir applied the umask; the mode asked for is the one wanted.
    chmod(path.c_str(), mode);
    return true;
}

int WriteFileAtomically(const std::string& path, const std::string& content, mode_t mode) {
    std::string temporary = path + ".tmpXXXXXX";
    Fd fd(mkostemp(&temporary[0], O_CLOEXEC));
    if (!fd)
        return errno;
    const auto fail = [&temporary](int error) {
        unlink(temporary.c_str());
        return error;
    };
    if (fchmod(fd.Get(), mode) != 0)
        return fail(errno);
    size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = write(fd.Get(), content.data() + written, content.size() - written);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(errno);
        }
        written += static_cast<size_t>(n);
    }
    if (fsync(fd.Get()) != 0)
        return fail(errno);
    if (::close(fd.Release()) != 0)
        return fail(errno);
    if (rename(temporary.c_str(), path.c_str()) != 0)
        return fail(errno);
    // Make the rename itself durable.
    std::string directory = ParentOf(path);
    if (directory.empty())
        directory = ".";
    Fd dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        fsync(dir.Get());
    return 0;
}

bool ReadWholeFile(const std::string& path, std::string& content) {
    content.clear();
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return false;
    char buffer[8192];
    for (;;) {
        const ssize_t n = read(fd.Get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        content.append(buffer, static_cast<size_t>(n));
    }
}

} // namespace Internal
} // namespace KwaCore
