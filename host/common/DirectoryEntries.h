// Listing a directory that is open as a descriptor.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace Kwa {

struct DirectoryEntry {
    std::string name;
    unsigned char type; // DT_* as readdir tells it; DT_UNKNOWN where the file system does not
};

// The entries of the directory open as directoryFd, without "." and "..", in the
// file system's order. The listing reads through a descriptor of its own, closed
// before the return, so the caller's descriptor keeps its position and a walk
// holds open descriptors in proportion to its depth only. False when the
// directory cannot be listed.
inline bool ListDirectory(int directoryFd, std::vector<DirectoryEntry>& entries) {
    // fdopendir takes the descriptor it is given: hand it a second one.
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
        entries.push_back(DirectoryEntry{entry->d_name, entry->d_type});
    }
    ::closedir(dir);
    return true;
}

} // namespace Kwa
