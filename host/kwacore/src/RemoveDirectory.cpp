// Removing a directory with everything in it. Links are removed, never followed;
// directories without search permission are opened up before their turn comes.
// The flag has no meaning on Linux.
#include "DirectoryEntries.h"
#include "Internal.h"

#include <KwaCore.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace KwaCore {
namespace {

const int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A directory that cannot be listed has no names to remove: removing it fails.
std::vector<std::string> Names(int directory) {
    std::vector<Kwa::DirectoryEntry> entries;
    Kwa::ListDirectory(directory, entries);
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (auto& entry : entries)
        names.push_back(std::move(entry.name));
    return names;
}

// Makes a directory of ours listable and searchable (it may have been made 0600).
void OpenUp(int parent, const char* name, const struct stat& st) {
    if ((st.st_mode & S_IRWXU) != S_IRWXU)
        fchmodat(parent, name, S_IRWXU, AT_SYMLINK_NOFOLLOW);
}

bool RemoveContents(int directory) {
    bool removed = true;
    for (const auto& name : Names(directory)) {
        struct stat st;
        if (fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            removed = removed && errno == ENOENT;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            OpenUp(directory, name.c_str(), st);
            Internal::Fd child(openat(directory, name.c_str(), kDirectoryFlags));
            if (!child || !RemoveContents(child.Get()))
                removed = false;
            child.Reset();
            if (unlinkat(directory, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
                removed = false;
        } else if (unlinkat(directory, name.c_str(), 0) != 0 && errno != ENOENT) {
            removed = false;
        }
    }
    return removed;
}

} // namespace

bool RemoveDirectoryW(const wxString& path, bool flag) {
    std::string directory = Internal::FsPath(path);
    // "link/" would name the directory the link points to.
    while (directory.size() > 1 && directory.back() == '/')
        directory.pop_back();
    if (directory.empty() || directory == "/")
        return false;
    struct stat st;
    if (lstat(directory.c_str(), &st) != 0)
        return errno == ENOENT;
    if (S_ISLNK(st.st_mode))
        return unlink(directory.c_str()) == 0 || errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return false;
    OpenUp(AT_FDCWD, directory.c_str(), st);
    Internal::Fd fd(open(directory.c_str(), kDirectoryFlags));
    if (fd)
        RemoveContents(fd.Get());
    fd.Reset();
    rmdir(directory.c_str());
    return lstat(directory.c_str(), &st) != 0 && errno == ENOENT;
}

} // namespace KwaCore
