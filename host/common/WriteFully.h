// Writing a whole buffer to a descriptor, across short writes and signals, at
// its current position or at a given offset.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace Kwa {

// Writes all size bytes. False on a failure, with errno telling why.
inline bool WriteFully(int fd, const void* buffer, size_t size) {
    const auto* p = static_cast<const unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = EIO; // nothing written and no error: do not spin
            return false;
        }
        p += n;
        size -= size_t(n);
    }
    return true;
}

// Writes all size bytes at offset (pwrite). False on a failure, with errno
// telling why.
inline bool WriteFullyAt(int fd, const void* buffer, size_t size, uint64_t offset) {
    const auto* p = static_cast<const unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, p, size, off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        size -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}

} // namespace Kwa
