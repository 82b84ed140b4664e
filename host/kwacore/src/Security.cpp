// Restricting access to the agent's files. Files become 0600 (the private key
// among them: readable by its owner only). Directories become 0700, or 0711 when
// the agent runs as root: nginx workers then run as an unprivileged user and must
// pass through the work directory, logs, temporary files and web root (they never
// list them). Symbolic links are refused, never followed. The flag has no meaning
// on Linux: both values secure the same way.
#include "Internal.h"

#include <KwaCore.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

namespace KwaCore {

bool SecureFileOrDirectory(const wxString& path, bool flag) {
    const std::string name = Internal::FsPath(path);
    if (name.empty())
        return false;
    // Check and change the same object: a descriptor that does not follow a link.
    Internal::Fd fd(open(name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd || fstat(fd.Get(), &st) != 0)
        return false;
    mode_t mode;
    if (S_ISREG(st.st_mode))
        mode = 0600;
    else if (S_ISDIR(st.st_mode))
        mode = Internal::PrivateDirectoryMode();
    else
        return false; // a symbolic link, a device, a FIFO, a socket
    const std::string viaDescriptor = "/proc/self/fd/" + std::to_string(fd.Get());
    if (chmod(viaDescriptor.c_str(), mode) == 0)
        return true;
    if (errno != ENOENT)
        return false;
    // No /proc: the C library refuses links itself.
    return fchmodat(AT_FDCWD, name.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace KwaCore
