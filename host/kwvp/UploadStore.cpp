// Storing, opening and removing uploads; checking, moving and sweeping the body
// files nginx writes.
#include "UploadStore.h"

#include "DirectoryEntries.h"
#include "UploadPath.h"
#include "WriteFully.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

namespace fs = std::filesystem;

namespace Kwvp {

namespace {

constexpr mode_t kDirMode = 0700;
constexpr mode_t kFileMode = 0600;

std::string ErrnoText(int error) {
    return std::to_string(error) + " (" + std::strerror(error) + ")";
}

StoreResult Fail(const std::string& what, const std::string& path, int error) {
    LogError(what + "|" + path + "|" + ErrnoText(error));
    return error == ENOSPC || error == EDQUOT ? StoreResult::NoSpace : StoreResult::Failed;
}

// What stands at name in dirFd when it could not be opened as a directory.
StoreResult ClassifyNonDirectory(int dirFd, const std::string& name, bool create) {
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? StoreResult::NotFound : Fail("stat", name, errno);
    if (S_ISLNK(st.st_mode))
        return StoreResult::BadPath;
    return create ? StoreResult::Conflict : StoreResult::NotFound;
}

// Opens the directory name in dirFd without following a symbolic link, making it
// when create is set and it is missing.
StoreResult OpenDirectory(int dirFd, const std::string& name, bool create, UniqueFd& out) {
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    out.Reset(openat(dirFd, name.c_str(), flags));
    if (out.Valid())
        return StoreResult::Ok;
    if (errno == ENOENT && create) {
        if (mkdirat(dirFd, name.c_str(), kDirMode) != 0 && errno != EEXIST)
            return Fail("mkdir", name, errno);
        out.Reset(openat(dirFd, name.c_str(), flags));
        if (out.Valid())
            return StoreResult::Ok;
    }
    if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
        return ClassifyNonDirectory(dirFd, name, create);
    return Fail("open", name, errno);
}

std::string RandomSuffix() {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 engine{std::random_device{}()};
    std::uniform_int_distribution<size_t> pick(0, sizeof letters - 2);
    std::string suffix;
    for (int i = 0; i < 12; ++i)
        suffix += letters[pick(engine)];
    return suffix;
}

// A file under a temporary name in a directory, removed unless committed by
// renaming it to its final name.
class TempFile {
public:
    explicit TempFile(int dirFd) : dirFd_(dirFd) {
        for (int tries = 0; tries < 16 && !fd_.Valid(); ++tries) {
            name_ = kTempPrefix + RandomSuffix();
            fd_.Reset(openat(dirFd_, name_.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode));
            if (!fd_.Valid() && errno != EEXIST)
                break;
        }
        error_ = fd_.Valid() ? 0 : errno;
    }
    ~TempFile() {
        fd_.Reset();
        if (!committed_ && error_ == 0)
            unlinkat(dirFd_, name_.c_str(), 0);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int Fd() const { return fd_.Get(); }
    int Error() const { return error_; }
    const std::string& Name() const { return name_; }

    // Copies from reader until its end.
    StoreResult Fill(const BodyReader& reader) {
        char buffer[64 * 1024];
        while (true) {
            const long n = reader(buffer, sizeof buffer);
            if (n < 0) {
                LogError("reading the request body failed|" + name_ + "|");
                return StoreResult::Failed;
            }
            if (n == 0)
                return StoreResult::Ok;
            if (!Kwa::WriteFully(fd_.Get(), buffer, static_cast<size_t>(n)))
                return Fail("write", name_, errno);
        }
    }

    // Sets the mode, flushes, and renames the file to name.
    StoreResult Commit(const std::string& name) {
        if (fchmod(fd_.Get(), kFileMode) != 0)
            return Fail("chmod", name_, errno);
        if (fsync(fd_.Get()) != 0)
            return Fail("fsync", name_, errno);
        if (close(fd_.Release()) != 0)
            return Fail("close", name_, errno);
        if (renameat(dirFd_, name_.c_str(), dirFd_, name.c_str()) != 0)
            return Fail("rename", name_ + " -> " + name, errno);
        committed_ = true;
        return StoreResult::Ok;
    }

private:
    int dirFd_;
    UniqueFd fd_;
    std::string name_;
    int error_ = 0;
    bool committed_ = false;
};

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

StoreResult RefuseBody(const std::string& path, const std::string& reason) {
    LogError("refused request body file|" + path + "|" + reason);
    return StoreResult::BadBody;
}

} // namespace

void LogError(const std::string& message) {
    std::fprintf(stderr, "kwvp: %s\n", message.c_str());
    std::fflush(stderr);
}

UploadStore::UploadStore(const std::string& webRoot, const std::string& storeDir)
    : uploadDir_(fs::path(webRoot + "/upload").lexically_normal().string()), storeDir_(storeDir) {}

void UploadStore::AdoptOldStore() const {
    const std::string old = uploadDir_ + "/store";
    struct stat st;
    if (lstat(old.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return;
    if (lstat(storeDir_.c_str(), &st) == 0)
        LogError("an earlier store remains inside the web root, beside " + storeDir_ + "|" + old +
                 "|");
    else if (rename(old.c_str(), storeDir_.c_str()) != 0)
        Fail("rename", old + " -> " + storeDir_, errno);
    else if (chmod(storeDir_.c_str(), kDirMode) != 0)
        Fail("chmod", storeDir_, errno);
}

StoreResult UploadStore::OpenParent(const std::vector<std::string>& names, bool create,
                                    UniqueFd& parent) const {
    parent.Reset(open(storeDir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.Valid() && errno == ENOENT && create) {
        if (mkdir(storeDir_.c_str(), kDirMode) != 0 && errno != EEXIST)
            return Fail("mkdir", storeDir_, errno);
        parent.Reset(open(storeDir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (!parent.Valid())
        return errno == ENOENT ? StoreResult::NotFound : Fail("open", storeDir_, errno);
    StoreResult result = StoreResult::Ok;
    for (size_t i = 0; result == StoreResult::Ok && i + 1 < names.size(); ++i) {
        UniqueFd next;
        result = OpenDirectory(parent.Get(), names[i], create, next);
        parent = std::move(next);
    }
    return result;
}

std::string UploadStore::BodyName(const std::string& path) const {
    if (path.size() <= uploadDir_.size() + 1 ||
        path.compare(0, uploadDir_.size(), uploadDir_) != 0 || path[uploadDir_.size()] != '/')
        return "";
    const std::string name = path.substr(uploadDir_.size() + 1);
    if (name == "." || name == ".." || name.find('/') != std::string::npos)
        return "";
    return name;
}

StoreResult UploadStore::TakeBodyFile(const std::string& path, uid_t owner, UniqueFd& uploadDir,
                                      std::string& name, UniqueFd& body) const {
    name = BodyName(path);
    if (name.empty())
        return RefuseBody(path, "not directly in " + uploadDir_);
    uploadDir.Reset(open(uploadDir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!uploadDir.Valid())
        return Fail("open", uploadDir_, errno);
    // Non-blocking: a FIFO put in its place must not hang the service.
    body.Reset(openat(uploadDir.Get(), name.c_str(),
                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!body.Valid())
        return RefuseBody(path, ErrnoText(errno));
    struct stat st;
    if (fstat(body.Get(), &st) != 0)
        return Fail("stat", path, errno);
    if (!S_ISREG(st.st_mode))
        return RefuseBody(path, "not a regular file");
    if (st.st_nlink != 1)
        return RefuseBody(path, std::to_string(st.st_nlink) + " links");
    if (st.st_uid != owner)
        return RefuseBody(path, "owner " + std::to_string(st.st_uid) + ", not the web server's " +
                                    std::to_string(owner));
    return StoreResult::Ok;
}

StoreResult UploadStore::Put(const std::vector<std::string>& names, const std::string& bodyFile,
                             uid_t bodyOwner, const BodyReader& reader) {
    UniqueFd uploadDir, body;
    std::string bodyName;
    if (!bodyFile.empty()) {
        const StoreResult taken = TakeBodyFile(bodyFile, bodyOwner, uploadDir, bodyName, body);
        if (taken != StoreResult::Ok)
            return taken;
    }
    UniqueFd parent;
    const StoreResult result = OpenParent(names, true, parent);
    if (result != StoreResult::Ok)
        return result;
    const std::string& name = names.back();
    struct stat st;
    if (fstatat(parent.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode))
            return StoreResult::BadPath;
        if (!S_ISREG(st.st_mode))
            return StoreResult::Conflict;
    } else if (errno != ENOENT) {
        return Fail("stat", name, errno);
    }
    if (body.Valid())
        return MoveBody(uploadDir.Get(), bodyName, body.Get(), parent.Get(), name);

    // No body file: the body comes with the request itself.
    TempFile temp(parent.Get());
    if (temp.Error() != 0)
        return Fail("create", temp.Name(), temp.Error());
    const StoreResult filled = temp.Fill(reader);
    return filled != StoreResult::Ok ? filled : temp.Commit(name);
}

StoreResult MoveBody(int fromDir, const std::string& fromName, int body, int dir,
                     const std::string& name) {
    struct stat source;
    if (fstat(body, &source) != 0)
        return Fail("stat", fromName, errno);
    // First under a temporary name, to see that the name still held the checked file.
    const std::string temp = kTempPrefix + RandomSuffix();
    if (renameat(fromDir, fromName.c_str(), dir, temp.c_str()) == 0) {
        struct stat moved;
        if (fstatat(dir, temp.c_str(), &moved, AT_SYMLINK_NOFOLLOW) != 0 ||
            !SameFile(moved, source)) {
            unlinkat(dir, temp.c_str(), 0);
            return RefuseBody(fromName, "replaced while it was checked");
        }
        if (geteuid() == 0 && fchown(body, 0, 0) != 0)
            return Fail("chown", fromName, errno);
        if (fchmod(body, kFileMode) != 0 || renameat(dir, temp.c_str(), dir, name.c_str()) != 0) {
            const int error = errno;
            unlinkat(dir, temp.c_str(), 0);
            return Fail("move", fromName + " -> " + name, error);
        }
        return StoreResult::Ok;
    }
    if (errno != EXDEV)
        return Fail("rename", fromName + " -> " + name, errno);
    // Another file system: copy from the checked descriptor.
    TempFile copy(dir);
    if (copy.Error() != 0)
        return Fail("create", copy.Name(), copy.Error());
    const StoreResult filled = copy.Fill([body, &fromName](char* buffer, size_t size) -> long {
        ssize_t n;
        while ((n = read(body, buffer, size)) < 0 && errno == EINTR) {
        }
        if (n < 0)
            Fail("read", fromName, errno);
        return static_cast<long>(n);
    });
    const StoreResult result = filled != StoreResult::Ok ? filled : copy.Commit(name);
    struct stat now;
    if (fstatat(fromDir, fromName.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFile(now, source) && unlinkat(fromDir, fromName.c_str(), 0) != 0)
        Fail("unlink", fromName, errno);
    return result;
}

StoreResult UploadStore::Open(const std::vector<std::string>& names, UniqueFd& file,
                              off_t& size) const {
    UniqueFd parent;
    const StoreResult result = OpenParent(names, false, parent);
    if (result != StoreResult::Ok)
        return result;
    file.Reset(openat(parent.Get(), names.back().c_str(),
                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.Valid()) {
        if (errno == ELOOP)
            return StoreResult::BadPath;
        return errno == ENOENT ? StoreResult::NotFound : Fail("open", names.back(), errno);
    }
    struct stat st;
    if (fstat(file.Get(), &st) != 0)
        return Fail("stat", names.back(), errno);
    if (!S_ISREG(st.st_mode)) {
        file.Reset();
        return StoreResult::NotFound;
    }
    size = st.st_size;
    return StoreResult::Ok;
}

StoreResult UploadStore::Remove(const std::vector<std::string>& names) {
    UniqueFd parent;
    const StoreResult result = OpenParent(names, false, parent);
    if (result != StoreResult::Ok)
        return result;
    const std::string& name = names.back();
    struct stat st;
    if (fstatat(parent.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? StoreResult::NotFound : Fail("stat", name, errno);
    if (S_ISLNK(st.st_mode))
        return StoreResult::BadPath;
    if (!S_ISREG(st.st_mode))
        return StoreResult::Conflict;
    if (unlinkat(parent.Get(), name.c_str(), 0) != 0)
        return errno == ENOENT ? StoreResult::NotFound : Fail("unlink", name, errno);
    return StoreResult::Ok;
}

void UploadStore::DiscardBodyFile(const std::string& path) const {
    const std::string name = BodyName(path);
    if (name.empty())
        return;
    UniqueFd dir(open(uploadDir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Valid() && unlinkat(dir.Get(), name.c_str(), 0) != 0 && errno != ENOENT &&
        errno != EISDIR)
        Fail("unlink", path, errno);
}

int UploadStore::SweepBodyFiles(std::chrono::seconds age) const {
    UniqueFd dir(open(uploadDir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<Kwa::DirectoryEntry> entries;
    if (!dir.Valid() || !Kwa::ListDirectory(dir.Get(), entries))
        return 0;
    const time_t limit = time(nullptr) - static_cast<time_t>(age.count());
    int removed = 0;
    for (const auto& entry : entries) {
        if (entry.name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        struct stat st;
        if (fstatat(dir.Get(), entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && st.st_mtime < limit &&
            unlinkat(dir.Get(), entry.name.c_str(), 0) == 0)
            ++removed;
    }
    return removed;
}

} // namespace Kwvp
