// Publish: sets the access modes of the web root so that the web server's
// workers can read everything in it: 0711 for directories, 0644 for the rest.
//
// The walk goes relative to open directory descriptors and never follows a
// link: a link inside the web root keeps its target's mode untouched, and a tree
// with a link loop ends like any other. Only the agent can change the web root,
// so an entry seen as a regular file is changed by name.
#include "server/RelayServer.h"
#include "server/Trace.h"

#include <wx/filename.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Relay {

namespace {

const char* const PublishFunction = "Relay::CRelayServer::PublishFiles";

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

struct Name {
    std::string text;
    unsigned char type;
};

// The entries of an open directory, without "." and "..". The listing is closed
// before the caller descends, so open descriptors grow with depth only.
bool List(int directoryFd, std::vector<Name>& names) {
    const int listFd = ::openat(directoryFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0)
        return false;
    DIR* dir = ::fdopendir(listFd);
    if (dir == nullptr) {
        ::close(listFd);
        return false;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        names.push_back(Name{entry->d_name, entry->d_type});
    }
    ::closedir(dir);
    return true;
}

class Walker {
public:
    explicit Walker(bool tracing) : tracing_(tracing) {}

    // prefix: the directory's path with one separator at its end (for traces).
    void Walk(int directoryFd, const wxString& prefix) {
        std::vector<Name> names;
        if (!List(directoryFd, names))
            return; // a directory that cannot be listed keeps only its own mode
        for (const Name& name : names) {
            if (tracing_)
                RS_TRACE(PublishFunction, "PublishFiles() - %s",
                         prefix + wxString(name.text.c_str(), *wxConvFileName));
            unsigned char type = name.type;
            if (type == DT_UNKNOWN) {
                struct stat info {};
                if (::fstatat(directoryFd, name.text.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISLNK(info.st_mode) ? DT_LNK : DT_REG;
            }
            if (type == DT_LNK)
                continue; // never followed: the target keeps its mode
            if (type == DT_DIR) {
                Fd sub(::openat(directoryFd, name.text.c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (sub.Get() < 0)
                    continue;
                ::fchmod(sub.Get(), 0711);
                Walk(sub.Get(), tracing_ ? prefix + wxString(name.text.c_str(), *wxConvFileName) +
                                               wxFILE_SEP_PATH
                                         : prefix);
            } else {
                ::fchmodat(directoryFd, name.text.c_str(), 0644, 0);
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
    const Fd root(::open(prefix.fn_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.Get() < 0)
        return true;
    ::fchmod(root.Get(), 0711);
    Walker(KwaCore::LogTraceIsEnabled(L"RS")).Walk(root.Get(), prefix);
    return true;
}

} // namespace Relay
