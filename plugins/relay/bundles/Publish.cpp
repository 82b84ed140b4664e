// Publish: sets the access modes of the web root so that the web server's
// workers can read everything in it: 0711 for directories, 0644 for the rest.
//
// The walk goes relative to open directory descriptors and never follows a
// link: a link inside the web root keeps its target's mode untouched, and a tree
// with a link loop ends like any other. Only the agent can change the web root,
// so an entry seen as a regular file is changed by name.
#include "DirectoryEntries.h"
#include "UniqueFd.h"
#include "server/RelayServer.h"
#include "server/Trace.h"

#include <wx/filename.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Relay {

namespace {

const char* const PublishFunction = "Relay::CRelayServer::PublishFiles";

// Opens the directory name (relative to directoryFd) for listing after setting
// its mode to 0711: the mode comes first, so that a directory its owner could not
// read or enter (000, 0300) is opened up and walked all the same. The mode is
// set through a descriptor that reaches the directory without reading it.
Kwa::UniqueFd OpenedUp(int directoryFd, const char* name, int flags) {
    const Kwa::UniqueFd path(::openat(directoryFd, name, O_PATH | O_DIRECTORY | O_CLOEXEC | flags));
    if (!path)
        return Kwa::UniqueFd();
    const std::string viaDescriptor = "/proc/self/fd/" + std::to_string(path.Get());
    if (::chmod(viaDescriptor.c_str(), 0711) != 0 && errno == ENOENT)
        ::fchmodat(directoryFd, name, 0711, 0); // no /proc: by name
    return Kwa::UniqueFd(::openat(path.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

class Walker {
public:
    explicit Walker(bool tracing) : tracing_(tracing) {}

    // prefix: the directory's path with one separator at its end (for traces).
    void Walk(int directoryFd, const wxString& prefix) {
        std::vector<Kwa::DirectoryEntry> names;
        if (!Kwa::ListDirectory(directoryFd, names))
            return; // a directory that cannot be listed keeps only its own mode
        for (const Kwa::DirectoryEntry& name : names) {
            if (tracing_)
                RS_TRACE(PublishFunction, "PublishFiles() - %s",
                         prefix + wxString(name.name.c_str(), *wxConvFileName));
            unsigned char type = name.type;
            if (type == DT_UNKNOWN) {
                struct stat info {};
                if (::fstatat(directoryFd, name.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISLNK(info.st_mode) ? DT_LNK : DT_REG;
            }
            if (type == DT_LNK)
                continue; // never followed: the target keeps its mode
            if (type == DT_DIR) {
                Kwa::UniqueFd sub = OpenedUp(directoryFd, name.name.c_str(), O_NOFOLLOW);
                if (sub.Get() < 0)
                    continue;
                Walk(sub.Get(), tracing_ ? prefix + wxString(name.name.c_str(), *wxConvFileName) +
                                               wxFILE_SEP_PATH
                                         : prefix);
            } else {
                ::fchmodat(directoryFd, name.name.c_str(), 0644, 0);
            }
        }
    }

private:
    bool tracing_;
};

} // namespace

bool CRelayServer::PublishPackages() {
    RS_TRACE("Relay::CRelayServer::PublishPackages", "PublishPackages()");
    PublishFiles(InstallDir);
    return true;
}

bool CRelayServer::PublishFiles(const wxString& directory) {
    wxString prefix = directory;
    if (!prefix.EndsWith(wxFILE_SEP_PATH))
        prefix += wxFILE_SEP_PATH;
    const Kwa::UniqueFd root = OpenedUp(AT_FDCWD, prefix.fn_str(), 0);
    if (root.Get() < 0)
        return true;
    Walker(KwaCore::LogTraceIsEnabled(L"RS")).Walk(root.Get(), prefix);
    return true;
}

} // namespace Relay
