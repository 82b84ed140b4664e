// Safe placement of unpacked entries on disk: the writer thread and the tree of
// open directory descriptors below the target. Modes are capped by the reader
// (0644 for files, 0711 for directories); an entry that fails has its file
// removed, so damaged data never stays behind.
#include "EntryPlacement.h"

#include "Codec.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KwaCore {
namespace Archive {

int TargetTree::Directory(const std::string& dir, mode_t lastMode) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < dir.size()) {
        size_t end = dir.find('/', start);
        if (end == std::string::npos)
            end = dir.size();
        parts.push_back(dir.substr(start, end - start));
        start = end + 1;
    }
    size_t common = 0;
    while (common < parts.size() && common < chain_.size() && chain_[common].first == parts[common])
        ++common;
    chain_.resize(common);
    for (size_t i = common; i < parts.size(); ++i) {
        const int parent = i == 0 ? rootFd_ : chain_[i - 1].second.Get();
        const mode_t mode = i + 1 == parts.size() ? lastMode : 0711;
        UniqueFd fd(Open(parent, parts[i], mode));
        if (!fd.Valid())
            return -1;
        chain_.emplace_back(parts[i], std::move(fd));
    }
    return parts.empty() ? rootFd_ : chain_.back().second.Get();
}

int TargetTree::Open(int parent, const std::string& name, mode_t mode) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(parent, name.c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
        if (::mkdirat(parent, name.c_str(), mode) != 0 && errno != EEXIST)
            return -1;
        fd = ::openat(parent, name.c_str(), flags);
    }
    return fd;
}

void Writer::Start() {
    thread_ = std::thread([this] { Loop(); });
}

Piece* Writer::Acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    spaceFree_.wait(lock, [this] { return count_ < pieces_.size() || failed_; });
    if (failed_)
        return nullptr;
    Piece& piece = pieces_[(head_ + count_) % pieces_.size()];
    piece.length = 0;
    piece.abandon = false;
    piece.first = piece.last = true;
    if (piece.data.size() < PieceSize)
        piece.data.resize(PieceSize);
    return &piece;
}

void Writer::Push() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
    }
    workReady_.notify_one();
}

bool Writer::PushWhole() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count_ > 0 || failed_) {
            ++count_;
            workReady_.notify_one();
            return !failed_;
        }
    }
    // The writer thread waits for a piece and touches nothing until one is
    // pushed: its state is this thread's for the moment.
    bool ok = false;
    try {
        ok = Handle(pieces_[head_]);
    } catch (...) {
        ok = failure_.Fail(pieces_[head_].name, "out of memory");
    }
    if (!ok) {
        std::lock_guard<std::mutex> lock(mutex_);
        failed_ = failedLocal_ = true;
    }
    return ok;
}

bool Writer::Finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    workReady_.notify_one();
    if (thread_.joinable())
        thread_.join();
    return !failed_;
}

void Writer::Loop() {
    for (;;) {
        Piece* piece = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            workReady_.wait(lock, [this] { return count_ > 0 || closing_; });
            if (count_ == 0)
                break;
            piece = &pieces_[head_];
        }
        bool ok = !failedLocal_;
        if (ok) {
            try {
                ok = Handle(*piece);
            } catch (...) {
                ok = failure_.Fail(piece->name, "out of memory");
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            head_ = (head_ + 1) % pieces_.size();
            --count_;
            if (!ok)
                failed_ = failedLocal_ = true;
        }
        spaceFree_.notify_one();
    }
    Discard();
}

bool Writer::Handle(const Piece& piece) {
    if (piece.abandon) {
        Discard();
        return true;
    }
    if (piece.first) {
        if (!Create(piece))
            return false;
        crc_ = 0;
    }
    crc_ = Crc32(crc_, piece.data.data(), piece.length);
    if (piece.length > 0 && !WriteFully(file_.Get(), piece.data.data(), piece.length)) {
        const int error = errno;
        Discard();
        return failure_.Fail(name_, "cannot write: " + ErrorText(error));
    }
    if (piece.last) {
        if (crc_ != expectedCrc_) {
            Discard(); // damaged data never stays behind
            return failure_.Fail(name_, "CRC mismatch");
        }
        struct timespec times[2];
        times[0].tv_sec = times[1].tv_sec = FromDosTime(dosTime_);
        times[0].tv_nsec = times[1].tv_nsec = 0;
        ::futimens(file_.Get(), times);
        if (::close(file_.Release()) != 0) {
            const int error = errno;
            Discard();
            return failure_.Fail(name_, "cannot write: " + ErrorText(error));
        }
        fileDirectory_ = -1;
    }
    return true;
}

bool Writer::Create(const Piece& piece) {
    name_ = piece.name;
    expectedCrc_ = piece.crc;
    dosTime_ = piece.dosTime;
    const size_t slash = piece.path.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string() : piece.path.substr(0, slash);
    leaf_ = slash == std::string::npos ? piece.path : piece.path.substr(slash + 1);
    fileDirectory_ = tree_.Directory(dir);
    if (fileDirectory_ < 0)
        return failure_.Fail(name_, "cannot create its directory: " + ErrorText(errno));
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
    int fd = ::openat(fileDirectory_, leaf_.c_str(), flags, piece.mode);
    if (fd < 0 && errno == EEXIST) {
        // Something left from before: a file or a link is replaced (the link
        // itself, never its target); a directory stays and fails the entry.
        struct stat info {};
        if (::fstatat(fileDirectory_, leaf_.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISDIR(info.st_mode) && ::unlinkat(fileDirectory_, leaf_.c_str(), 0) == 0)
            fd = ::openat(fileDirectory_, leaf_.c_str(), flags, piece.mode);
    }
    if (fd < 0) {
        const int error = errno;
        fileDirectory_ = -1;
        return failure_.Fail(name_, "cannot create the file: " + ErrorText(error));
    }
    file_.Reset(fd);
    return true;
}

// Removes the file being written, if any.
void Writer::Discard() {
    if (file_.Valid()) {
        file_.Reset();
        if (fileDirectory_ >= 0)
            ::unlinkat(fileDirectory_, leaf_.c_str(), 0);
    }
    fileDirectory_ = -1;
}

} // namespace Archive
} // namespace KwaCore
