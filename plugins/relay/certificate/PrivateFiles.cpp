// Creating the key and certificate files without following links, and keeping a
// kept key readable by its owner alone.
#include "PrivateFiles.h"

#include "UniqueFd.h"
#include "server/Trace.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace Relay {
namespace Certificate {

namespace {

std::string OwnerName(uid_t uid) {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->pw_name;
    return std::to_string(uid);
}

} // namespace

Kwa::FilePtr CreateFresh(const wxString& path) {
    const wxScopedCharBuffer name = path.fn_str();
    if (::unlink(name.data()) != 0 && errno != ENOENT && errno != EISDIR)
        return nullptr;
    // O_EXCL: a link or file that appeared meanwhile makes the open fail.
    Kwa::UniqueFd fd(
        ::open(name.data(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
        return nullptr;
    Kwa::FilePtr file(::fdopen(fd.Get(), "wb"));
    if (file)
        fd.Release();
    return file;
}

bool KeepPrivate(const wxString& path, const char* function) {
    // Non-blocking and not following a link: only a regular file is looked at.
    const Kwa::UniqueFd fd(::open(path.fn_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    const mode_t mode = info.st_mode & 07777;
    if (mode != 0600 && ::fchmod(fd.Get(), 0600) != 0) {
        const int error = errno;
        RS_LOG_ERROR(function, "Private key %s (owner %s, mode %04o) cannot be made 0600: %s", path,
                     OwnerName(info.st_uid), static_cast<unsigned>(mode),
                     KwaCore::ErrnoToString(error));
    }
    return true;
}

} // namespace Certificate
} // namespace Relay
