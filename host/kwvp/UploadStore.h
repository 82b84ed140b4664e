// The store of uploaded files and the request-body files nginx leaves for it.
//
// The store lies outside the web root (mode 0700, files 0600), so that nginx's
// workers never reach a stored file whatever the configuration says: only the
// upload service reads it, for requests that passed the /data/ location's checks.
// nginx writes each request body into the upload directory <webroot>/upload.
#pragma once

#include "UniqueFd.h"

#include <sys/types.h>

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
    BadBody,  // the body file is not one nginx wrote for this request (logged)
    NoSpace,  // the file system is full (logged)
    Failed,   // a file operation failed (logged)
};

// Reads the next piece of a request body: the number of bytes read, 0 at its end,
// negative on error.
using BodyReader = std::function<long(char* buffer, size_t size)>;

class UploadStore {
public:
    UploadStore(const std::string& webRoot, const std::string& storeDir);

    const std::string& UploadDir() const { return uploadDir_; }
    const std::string& StoreDir() const { return storeDir_; }

    // Moves a store that an earlier version kept at <webroot>/upload/store (where
    // nginx could serve it) to the store directory, unless that exists already.
    void AdoptOldStore() const;

    // Stores a file under names (as SplitUploadPath gives them). With a body file,
    // that file is moved into the store after the checks of TakeBodyFile (owner:
    // the user of the web server process that sent the request); without one, the
    // body is read from reader.
    StoreResult Put(const std::vector<std::string>& names, const std::string& bodyFile,
                    uid_t bodyOwner, const BodyReader& reader);
    // Opens the regular file stored under names for reading.
    StoreResult Open(const std::vector<std::string>& names, UniqueFd& file, off_t& size) const;
    // Removes the file stored under names.
    StoreResult Remove(const std::vector<std::string>& names);

    // Removes path when it names an entry directly in the upload directory.
    void DiscardBodyFile(const std::string& path) const;
    // Removes the body files (names of digits) in the upload directory unchanged for
    // longer than age; returns how many went.
    int SweepBodyFiles(std::chrono::seconds age) const;

private:
    StoreResult OpenParent(const std::vector<std::string>& names, bool create,
                           UniqueFd& parent) const;
    // The body file path, opened without following a link and checked: directly in
    // the upload directory, regular, one link, owned by owner.
    StoreResult TakeBodyFile(const std::string& path, uid_t owner, UniqueFd& uploadDir,
                             std::string& name, UniqueFd& body) const;
    // The name of path when it lies directly in the upload directory, else "".
    std::string BodyName(const std::string& path) const;

    std::string uploadDir_;
    std::string storeDir_;
};

// Moves the checked body file fromName in fromDir (open as body) to name in dir:
// renamed when both lie on one file system, else copied to a temporary file beside
// the target, flushed and renamed over it. The mode is set on the descriptor.
StoreResult MoveBody(int fromDir, const std::string& fromName, int body, int dir,
                     const std::string& name);

// Reports an error on stderr (the agent's output).
void LogError(const std::string& message);

} // namespace Kwvp
