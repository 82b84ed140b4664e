// The store of uploaded files: <webroot>/upload/store, beside the request-body
// files that nginx writes into <webroot>/upload. nginx serves the store through its
// internal location /upload/.
#pragma once

#include "UniqueFd.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace Kwvp {

using Kwa::UniqueFd;

enum class StoreResult {
    Ok,
    BadPath,  // the path leads through a symbolic link
    NotFound, // nothing stored under that path
    Conflict, // a directory stands where a file should, or a file where a directory should
    Failed,   // a file operation failed (reported on stderr)
};

// Reads the next piece of a request body: the number of bytes read, 0 at its end,
// negative on error.
using BodyReader = std::function<long(char* buffer, size_t size)>;

class UploadStore {
public:
    explicit UploadStore(const std::string& webRoot);

    const std::string& UploadDir() const { return uploadDir_; }
    const std::string& StoreDir() const { return storeDir_; }

    // Stores a file under names (as SplitUploadPath gives them): the request-body
    // file bodyFile is moved there; without one, the body is read from reader.
    // Missing directories are made (mode 0711); the file gets mode 0644.
    StoreResult Put(const std::vector<std::string>& names, const std::string& bodyFile,
                    const BodyReader& reader);
    // Ok when a regular file is stored under names.
    StoreResult Find(const std::vector<std::string>& names) const;
    // Removes the file stored under names.
    StoreResult Remove(const std::vector<std::string>& names);

    // True when path names a regular file below the upload directory and outside
    // the store, i.e. a request body that nginx wrote.
    bool IsBodyFile(const std::string& path) const;
    // Removes path when it is such a body file; anything else is left alone.
    void DiscardBodyFile(const std::string& path) const;
    // Removes the body files that nginx left in the upload directory (names of
    // digits only) last changed longer ago than age.
    void SweepBodyFiles(std::chrono::seconds age) const;

private:
    StoreResult OpenStore(bool create, UniqueFd& store) const;
    StoreResult OpenParent(const std::vector<std::string>& names, bool create,
                           UniqueFd& parent) const;

    std::string uploadDir_;
    std::string storeDir_;
};

// Puts the file srcPath (open as srcFd) under name in directory dirFd, with mode
// 0644: renamed when both lie on one file system, else copied to a temporary file
// beside the target, flushed to disk and renamed over it, and the source removed.
StoreResult MoveInto(int srcFd, const std::string& srcPath, int dirFd, const std::string& name);

// Reports an error on stderr (the agent's output).
void LogError(const std::string& message);

} // namespace Kwvp
