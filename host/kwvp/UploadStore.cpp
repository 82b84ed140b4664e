#include "UploadStore.h"

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

constexpr mode_t kDirMode = 0711;
constexpr mode_t kFileMode = 0644;
constexpr const char kStoreName[] = "store";

std::string ErrnoText(int error) {
    return std::to_string(error) + " (" + std::strerror(error) + ")";
}

StoreResult Fail(const std::string& what, const std::string& path, int error) {
    LogError(what + "|" + path + "|" + ErrnoText(error));
    return StoreResult::Failed;
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
        if (mkdirat(dirFd, name.c_str(), kDirMode) == 0) {
            out.Reset(openat(dirFd, name.c_str(), flags));
            // The umask of the agent may have taken bits that nginx's workers need.
            if (out.Valid() && fchmod(out.Get(), kDirMode) != 0)
                return Fail("chmod", name, errno);
        } else if (errno == EEXIST) {
            out.Reset(openat(dirFd, name.c_str(), flags));
        } else {
            return Fail("mkdir", name, errno);
        }
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
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
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

    // Sets the mode, optionally flushes, and renames the file to name.
    StoreResult Commit(const std::string& name, bool sync) {
        if (fchmod(fd_.Get(), kFileMode) != 0)
            return Fail("chmod", name_, errno);
        if (sync && fsync(fd_.Get()) != 0)
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

bool IsBelow(const fs::path& path, const fs::path& dir) {
    auto p = path.begin();
    for (auto d = dir.begin(); d != dir.end(); ++d, ++p) {
        if (p == path.end() || *p != *d)
            return false;
    }
    return true;
}

} // namespace

void LogError(const std::string& message) {
    std::fprintf(stderr, "kwvp: %s\n", message.c_str());
    std::fflush(stderr);
}

UploadStore::UploadStore(const std::string& webRoot)
    : uploadDir_(webRoot + "/upload"), storeDir_(uploadDir_ + "/" + kStoreName) {}

StoreResult UploadStore::OpenStore(bool create, UniqueFd& store) const {
    UniqueFd upload(open(uploadDir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!upload.Valid() && errno == ENOENT && create) {
        // nginx makes the upload directory when it starts; make it should it be gone.
        if (mkdir(uploadDir_.c_str(), kDirMode) != 0 && errno != EEXIST)
            return Fail("mkdir", uploadDir_, errno);
        upload.Reset(open(uploadDir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (!upload.Valid())
        return errno == ENOENT ? StoreResult::NotFound : Fail("open", uploadDir_, errno);
    return OpenDirectory(upload.Get(), kStoreName, create, store);
}

StoreResult UploadStore::OpenParent(const std::vector<std::string>& names, bool create,
                                    UniqueFd& parent) const {
    StoreResult result = OpenStore(create, parent);
    for (size_t i = 0; result == StoreResult::Ok && i + 1 < names.size(); ++i) {
        UniqueFd next;
        result = OpenDirectory(parent.Get(), names[i], create, next);
        parent = std::move(next);
    }
    return result;
}

StoreResult UploadStore::Put(const std::vector<std::string>& names, const std::string& bodyFile,
                             const BodyReader& reader) {
    UniqueFd parent;
    StoreResult result = OpenParent(names, true, parent);
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

    if (!bodyFile.empty()) {
        if (!IsBodyFile(bodyFile)) {
            LogError("request body file is not below " + uploadDir_ + "|" + bodyFile + "|");
            return StoreResult::Failed;
        }
        UniqueFd source(open(bodyFile.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!source.Valid())
            return Fail("open", bodyFile, errno);
        return MoveInto(source.Get(), bodyFile, parent.Get(), name);
    }

    // No body file: the body comes with the request itself.
    TempFile temp(parent.Get());
    if (temp.Error() != 0)
        return Fail("create", temp.Name(), temp.Error());
    char buffer[64 * 1024];
    while (true) {
        const long n = reader(buffer, sizeof buffer);
        if (n < 0) {
            LogError("reading the request body failed|" + name + "|");
            return StoreResult::Failed;
        }
        if (n == 0)
            break;
        if (!Kwa::WriteFully(temp.Fd(), buffer, static_cast<size_t>(n)))
            return Fail("write", temp.Name(), errno);
    }
    return temp.Commit(name, false);
}

StoreResult MoveInto(int srcFd, const std::string& srcPath, int dirFd, const std::string& name) {
    if (fchmod(srcFd, kFileMode) == 0) {
        if (renameat(AT_FDCWD, srcPath.c_str(), dirFd, name.c_str()) == 0)
            return StoreResult::Ok;
        if (errno != EXDEV)
            return Fail("rename", srcPath + " -> " + name, errno);
    }
    // Another file system (or a body file this user may not change): copy it.
    TempFile temp(dirFd);
    if (temp.Error() != 0)
        return Fail("create", temp.Name(), temp.Error());
    char buffer[64 * 1024];
    while (true) {
        const ssize_t n = read(srcFd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Fail("read", srcPath, errno);
        if (n == 0)
            break;
        if (!Kwa::WriteFully(temp.Fd(), buffer, static_cast<size_t>(n)))
            return Fail("write", temp.Name(), errno);
    }
    const StoreResult result = temp.Commit(name, true);
    if (result == StoreResult::Ok && unlink(srcPath.c_str()) != 0)
        Fail("unlink", srcPath, errno);
    return result;
}

StoreResult UploadStore::Find(const std::vector<std::string>& names) const {
    UniqueFd parent;
    const StoreResult result = OpenParent(names, false, parent);
    if (result != StoreResult::Ok)
        return result;
    struct stat st;
    if (fstatat(parent.Get(), names.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? StoreResult::NotFound : Fail("stat", names.back(), errno);
    if (S_ISLNK(st.st_mode))
        return StoreResult::BadPath;
    return S_ISREG(st.st_mode) ? StoreResult::Ok : StoreResult::NotFound;
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

bool UploadStore::IsBodyFile(const std::string& path) const {
    if (path.empty() || path.front() != '/')
        return false;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    std::error_code ec;
    const fs::path dir = fs::canonical(fs::path(path).parent_path(), ec);
    if (ec)
        return false;
    const fs::path upload = fs::canonical(uploadDir_, ec);
    if (ec)
        return false;
    return IsBelow(dir, upload) && !IsBelow(dir / fs::path(path).filename(), upload / kStoreName);
}

void UploadStore::DiscardBodyFile(const std::string& path) const {
    if (IsBodyFile(path) && unlink(path.c_str()) != 0 && errno != ENOENT)
        Fail("unlink", path, errno);
}

void UploadStore::SweepBodyFiles(std::chrono::seconds age) const {
    std::error_code ec;
    const auto limit = fs::file_time_type::clock::now() - age;
    for (fs::directory_iterator it(uploadDir_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code entryError;
        if (it->is_regular_file(entryError) && !it->is_symlink(entryError) &&
            it->last_write_time(entryError) < limit && !entryError)
            DiscardBodyFile(it->path().string());
    }
}

} // namespace Kwvp
