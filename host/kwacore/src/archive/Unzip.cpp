// KwaCore::Unzip: unpacks a zip archive into a directory, refusing any archive
// that would write outside it.
//
// First the central directory is read and every entry checked before anything
// is written: names must be relative, without "." or ".." segments, empty
// segments, backslashes or drive letters; link, device and pipe entries, unknown
// methods, encryption and duplicate names refuse the whole archive. Then the
// entries are read in archive order through two windows over the archive's
// descriptor (stored data is copied, deflated data inflated (Codec.h); sizes and
// checksums are checked), while wxZipInputStream walks the same central
// directory to hand the callback its wxZipEntry. A writer thread creates the
// files relative to open directory descriptors, never following a link, with
// modes capped at 0644 for files and 0711 for directories. An entry that fails
// its checks has its file removed, and the call fails.
//
// wx's own read path zeroes every buffer it is handed and reads through 16 KiB
// steps, which made a plain wxZipInputStream loop twice as slow as Info-ZIP's
// unzip on many small files; reading the data directly avoids both.
#include "ArchiveSupport.h"
#include "Codec.h"

#include <wx/filename.h>
#include <wx/log.h>
#include <wx/stream.h>
#include <wx/zipstrm.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace KwaCore {

namespace {

using namespace Archive;

constexpr size_t WindowSize = 256 * 1024;
constexpr size_t PieceSize = 256 * 1024;
constexpr size_t PieceCount = 6;
constexpr int WriterCount = 1;

// ---------------------------------------------------------------------------
// The archive as a seekable wx stream and a direct reader: reads go through two
// windows, one for the central directory and one for the entry being read, so
// that walking both at once does not read the same bytes again and again.
// ---------------------------------------------------------------------------
class FdInputStream : public wxInputStream {
public:
    FdInputStream(int fd, uint64_t size) : fd_(fd), size_(size) {}

    bool IsSeekable() const override { return true; }
    wxFileOffset GetLength() const override { return wxFileOffset(size_); }

    // The bytes [offset, offset + length) through a window, length at most
    // WindowSize; null when the archive ends before or cannot be read.
    const unsigned char* View(uint64_t offset, size_t length) {
        if (length > WindowSize || offset > size_ || length > size_ - offset)
            return nullptr;
        Window* window = Find(offset);
        if (window == nullptr || offset + length > window->start + window->length)
            window = Fill(offset);
        return window == nullptr ? nullptr : window->data.data() + (offset - window->start);
    }

    // Copies [offset, offset + length) into buffer; large reads skip the windows.
    bool ReadAt(uint64_t offset, unsigned char* buffer, size_t length) {
        if (offset > size_ || length > size_ - offset)
            return false;
        if (length >= WindowSize / 2)
            return ReadFully(fd_, buffer, length, offset);
        const unsigned char* view = View(offset, length);
        if (view == nullptr)
            return false;
        std::memcpy(buffer, view, length);
        return true;
    }

protected:
    size_t OnSysRead(void* buffer, size_t size) override {
        auto* out = static_cast<unsigned char*>(buffer);
        size_t done = 0;
        while (done < size) {
            if (position_ >= size_) {
                m_lasterror = wxSTREAM_EOF;
                break;
            }
            Window* window = Find(position_);
            if (window == nullptr && size - done >= WindowSize) {
                // A large read goes straight into the caller's buffer.
                const size_t want = size_t(std::min<uint64_t>(size - done, size_ - position_));
                if (!ReadFully(fd_, out + done, want, position_)) {
                    m_lasterror = wxSTREAM_READ_ERROR;
                    break;
                }
                done += want;
                position_ += want;
                continue;
            }
            if (window == nullptr && (window = Fill(position_)) == nullptr) {
                m_lasterror = wxSTREAM_READ_ERROR;
                break;
            }
            const size_t at = size_t(position_ - window->start);
            const size_t n = std::min(size - done, window->length - at);
            std::memcpy(out + done, window->data.data() + at, n);
            done += n;
            position_ += n;
        }
        return done;
    }

    wxFileOffset OnSysSeek(wxFileOffset offset, wxSeekMode mode) override {
        int64_t base = 0;
        if (mode == wxFromCurrent)
            base = int64_t(position_);
        else if (mode == wxFromEnd)
            base = int64_t(size_);
        const int64_t target = base + offset;
        if (target < 0)
            return wxInvalidOffset;
        position_ = uint64_t(target);
        return wxFileOffset(position_);
    }

    wxFileOffset OnSysTell() const override { return wxFileOffset(position_); }

private:
    struct Window {
        uint64_t start = 0;
        size_t length = 0;
        uint64_t used = 0;
        std::vector<unsigned char> data;
    };

    Window* Find(uint64_t at) {
        for (Window& window : windows_)
            if (window.length > 0 && at >= window.start && at < window.start + window.length) {
                window.used = ++clock_;
                return &window;
            }
        return nullptr;
    }

    Window* Fill(uint64_t at) {
        Window& window = windows_[0].used <= windows_[1].used ? windows_[0] : windows_[1];
        window.data.resize(WindowSize);
        const size_t want = size_t(std::min<uint64_t>(WindowSize, size_ - at));
        window.length = 0;
        if (!ReadFully(fd_, window.data.data(), want, at))
            return nullptr;
        window.start = at;
        window.length = want;
        window.used = ++clock_;
        return &window;
    }

    int fd_;
    uint64_t size_;
    uint64_t position_ = 0;
    Window windows_[2];
    uint64_t clock_ = 0;
};

// ---------------------------------------------------------------------------
// The central directory, read and checked before anything is written.
// ---------------------------------------------------------------------------
struct Record {
    std::string name; // relative path without a trailing separator
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t compressedSize = 0;
    uint32_t crc = 0;
    uint16_t method = MethodStore;
    uint32_t dosTime = 0;
    mode_t mode = 0; // capped permission bits
    bool directory = false;
};

// A name that stays inside the target: relative, no "." or ".." segment, no
// empty segment, no backslash, no drive letter, no control characters.
bool SafeName(const std::string& name) {
    if (name.empty() || name[0] == '/')
        return false;
    if (name.size() >= 2 && name[1] == ':')
        return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        const std::string segment = name.substr(start, end - start);
        if (segment.empty() || segment == "." || segment == "..")
            return false;
        start = end + 1;
    }
    for (unsigned char c : name)
        if (c < 0x20 || c == '\\' || c == 0x7f)
            return false;
    return true;
}

class CentralDirectory {
public:
    bool Read(int fd, uint64_t archiveSize);
    const std::vector<Record>& Records() const { return records_; }
    // Where entry data must end: the start of the central directory.
    uint64_t DataEnd() const { return start_; }

private:
    bool Locate(int fd, uint64_t archiveSize);
    bool Parse(const unsigned char* p, size_t available, size_t& used);

    uint64_t count_ = 0;
    uint64_t start_ = 0;
    uint64_t size_ = 0;
    uint64_t end_ = 0; // where the end records begin: entry data lies before it
    std::vector<Record> records_;
    std::unordered_set<std::string> names_;
};

bool CentralDirectory::Locate(int fd, uint64_t archiveSize) {
    if (archiveSize < EndOfCentralSize)
        return false;
    const size_t tailSize = size_t(std::min<uint64_t>(archiveSize, EndOfCentralSize + 0xffff));
    std::vector<unsigned char> tail(tailSize);
    const uint64_t tailStart = archiveSize - tailSize;
    if (!ReadFully(fd, tail.data(), tailSize, tailStart))
        return false;
    // The end record: its comment must reach exactly to the end of the file.
    size_t at = std::string::npos;
    for (size_t i = tailSize - EndOfCentralSize + 1; i-- > 0;) {
        const unsigned char* p = tail.data() + i;
        if (Get32(p) == EndOfCentralSignature && i + EndOfCentralSize + Get16(p + 20) == tailSize) {
            at = i;
            break;
        }
    }
    if (at == std::string::npos)
        return false;
    const unsigned char* end = tail.data() + at;
    if (Get16(end + 4) != 0 || Get16(end + 6) != 0)
        return false; // split archives are not supported
    count_ = Get16(end + 10);
    size_ = Get32(end + 12);
    start_ = Get32(end + 16);
    end_ = tailStart + at;
    if (end_ >= Zip64LocatorSize) {
        unsigned char locator[Zip64LocatorSize];
        if (!ReadFully(fd, locator, sizeof(locator), end_ - Zip64LocatorSize))
            return false;
        if (Get32(locator) == Zip64LocatorSignature) {
            const uint64_t recordAt = Get64(locator + 8);
            unsigned char record[Zip64EndOfCentralSize];
            if (recordAt + Zip64EndOfCentralSize > end_ - Zip64LocatorSize ||
                !ReadFully(fd, record, sizeof(record), recordAt) ||
                Get32(record) != Zip64EndOfCentralSignature)
                return false;
            count_ = Get64(record + 32);
            size_ = Get64(record + 40);
            start_ = Get64(record + 48);
            end_ = recordAt;
        }
    }
    return start_ <= end_ && size_ <= end_ - start_ && count_ <= size_ / CentralHeaderSize;
}

bool CentralDirectory::Parse(const unsigned char* p, size_t available, size_t& used) {
    if (available < CentralHeaderSize || Get32(p) != CentralHeaderSignature)
        return false;
    const uint16_t madeBy = Get16(p + 4);
    const uint16_t flags = Get16(p + 8);
    const uint16_t method = Get16(p + 10);
    const uint32_t dosTime = Get32(p + 12);
    uint64_t compressedSize = Get32(p + 20);
    uint64_t size = Get32(p + 24);
    const size_t nameLength = Get16(p + 28);
    const size_t extraLength = Get16(p + 30);
    const size_t commentLength = Get16(p + 32);
    const uint32_t external = Get32(p + 38);
    uint64_t offset = Get32(p + 42);
    used = CentralHeaderSize + nameLength + extraLength + commentLength;
    if (used > available)
        return false;
    std::string name(reinterpret_cast<const char*>(p + CentralHeaderSize), nameLength);

    // Zip64 fields stand in for the header fields that hold all ones.
    const unsigned char* extra = p + CentralHeaderSize + nameLength;
    for (size_t i = 0; i + 4 <= extraLength;) {
        const uint16_t id = Get16(extra + i);
        const size_t length = Get16(extra + i + 2);
        if (i + 4 + length > extraLength)
            return false;
        if (id == Zip64ExtraId) {
            const unsigned char* field = extra + i + 4;
            size_t left = length;
            auto take = [&](uint64_t& value) {
                if (value != Max32)
                    return true;
                if (left < 8)
                    return false;
                value = Get64(field);
                field += 8;
                left -= 8;
                return true;
            };
            if (!take(size) || !take(compressedSize) || !take(offset))
                return false;
        }
        i += 4 + length;
    }

    if (flags & FlagEncrypted)
        return false;
    if (method != MethodStore && method != MethodDeflate)
        return false;
    Record record;
    record.offset = offset;
    record.size = size;
    record.compressedSize = compressedSize;
    record.crc = Get32(p + 16);
    record.method = method;
    record.dosTime = dosTime;
    bool directory = !name.empty() && name.back() == '/';
    const bool unixMode = (madeBy >> 8) == SystemUnix;
    const mode_t type = unixMode ? mode_t((external >> 16) & S_IFMT) : 0;
    if (type != 0 && type != S_IFREG && type != S_IFDIR)
        return false; // links, devices, pipes, sockets
    if (type == S_IFDIR || (external & 0x10))
        directory = true;
    if (directory && !name.empty() && name.back() == '/')
        name.pop_back(); // (an empty name marked a directory is refused below)
    if (!SafeName(name))
        return false;
    const mode_t permissions = unixMode ? mode_t((external >> 16) & 0777) : 0;
    if (directory) {
        record.mode = unixMode ? (0700 | (permissions & 0011)) : 0711;
        if (size != 0)
            return false;
    } else {
        record.mode = unixMode ? (0600 | (permissions & 0044)) : 0644;
        if (method == MethodStore && size != compressedSize)
            return false;
    }
    record.directory = directory;
    // The entry's data must end before the central directory (compared without
    // sums, which 64-bit sizes could wrap).
    if (offset > start_ || compressedSize > start_ - offset ||
        LocalHeaderSize > start_ - offset - compressedSize)
        return false;
    if (!names_.insert(name).second)
        return false; // a second entry of the same name
    record.name = std::move(name);
    records_.push_back(std::move(record));
    return true;
}

bool CentralDirectory::Read(int fd, uint64_t archiveSize) {
    if (!Locate(fd, archiveSize))
        return false;
    records_.reserve(size_t(std::min<uint64_t>(count_, 1u << 20)));
    std::vector<unsigned char> buffer(1 << 20);
    uint64_t position = start_;
    const uint64_t end = start_ + size_;
    size_t have = 0;
    size_t at = 0;
    while (records_.size() < count_) {
        // Keep at least one whole record (at most 46 + 3 * 65535 bytes) in view.
        if (have - at < CentralHeaderSize + 3 * 0xffff && position < end) {
            std::memmove(buffer.data(), buffer.data() + at, have - at);
            have -= at;
            at = 0;
            const size_t want = size_t(std::min<uint64_t>(buffer.size() - have, end - position));
            if (!ReadFully(fd, buffer.data() + have, want, position))
                return false;
            have += want;
            position += want;
        }
        size_t used = 0;
        if (!Parse(buffer.data() + at, have - at, used))
            return false;
        at += used;
    }
    names_.clear();
    return at == have && position == end;
}

// ---------------------------------------------------------------------------
// The writer: creates directories and files below the target, relative to open
// directory descriptors, never following a link.
// ---------------------------------------------------------------------------
class TargetTree {
public:
    explicit TargetTree(int rootFd) : rootFd_(rootFd) {}

    // The descriptor of the directory dir ("" for the target itself), made
    // with its missing parents; -1 when it cannot be reached without a link.
    int Directory(const std::string& dir, mode_t lastMode = 0711) {
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
        while (common < parts.size() && common < chain_.size() &&
               chain_[common].first == parts[common])
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

private:
    static int Open(int parent, const std::string& name, mode_t mode) {
        const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int fd = ::openat(parent, name.c_str(), flags);
        if (fd < 0 && errno == ENOENT) {
            if (::mkdirat(parent, name.c_str(), mode) != 0 && errno != EEXIST)
                return -1;
            fd = ::openat(parent, name.c_str(), flags);
        }
        return fd;
    }

    int rootFd_;
    std::vector<std::pair<std::string, UniqueFd>> chain_;
};

struct Piece {
    size_t record = 0;
    bool first = true;
    bool last = true;
    bool abandon = false; // the entry failed: remove what was written of it
    std::vector<unsigned char> data;
    size_t length = 0;
};

class Writer {
public:
    Writer(int rootFd, const std::vector<Record>& records)
        : tree_(rootFd), records_(records), pieces_(PieceCount) {}
    ~Writer() { Finish(); }

    void Start() {
        thread_ = std::thread([this] { Loop(); });
    }

    // The next free piece, waiting for the writer when all are in use; null
    // once the writer has failed.
    Piece* Acquire() {
        std::unique_lock<std::mutex> lock(mutex_);
        spaceFree_.wait(lock, [this] { return count_ < pieces_.size() || failed_; });
        if (failed_)
            return nullptr;
        Piece& piece = pieces_[(head_ + count_) % pieces_.size()];
        piece.length = 0;
        piece.abandon = false;
        if (piece.data.size() < PieceSize)
            piece.data.resize(PieceSize);
        return &piece;
    }

    void Push() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++count_;
        }
        workReady_.notify_one();
    }

    // Waits until everything pushed is written; true when all went well.
    bool Finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closing_ = true;
        }
        workReady_.notify_one();
        if (thread_.joinable())
            thread_.join();
        return !failed_;
    }

    bool Failed() {
        std::lock_guard<std::mutex> lock(mutex_);
        return failed_;
    }

private:
    void Loop() {
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
                    ok = false;
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

    bool Handle(const Piece& piece) {
        const Record& record = records_[piece.record];
        if (piece.abandon) {
            Discard();
            return true;
        }
        if (record.directory)
            return tree_.Directory(record.name, record.mode) >= 0;
        if (piece.first) {
            if (!Create(record))
                return false;
            crc_ = 0;
        }
        crc_ = Crc32(crc_, piece.data.data(), piece.length);
        if (piece.length > 0 && !WriteFully(file_.Get(), piece.data.data(), piece.length)) {
            Discard();
            return false;
        }
        if (piece.last) {
            if (crc_ != record.crc) {
                Discard(); // damaged data never stays behind
                return false;
            }
            struct timespec times[2];
            times[0].tv_sec = times[1].tv_sec = FromDosTime(record.dosTime);
            times[0].tv_nsec = times[1].tv_nsec = 0;
            ::futimens(file_.Get(), times);
            if (::close(file_.Release()) != 0) {
                Discard();
                return false;
            }
            fileDirectory_ = -1;
        }
        return true;
    }

    bool Create(const Record& record) {
        const size_t slash = record.name.rfind('/');
        const std::string dir =
            slash == std::string::npos ? std::string() : record.name.substr(0, slash);
        leaf_ = slash == std::string::npos ? record.name : record.name.substr(slash + 1);
        fileDirectory_ = tree_.Directory(dir);
        if (fileDirectory_ < 0)
            return false;
        const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
        int fd = ::openat(fileDirectory_, leaf_.c_str(), flags, record.mode);
        if (fd < 0 && errno == EEXIST) {
            // Something left from before: a file or a link is replaced (the link
            // itself, never its target); a directory stays and fails the entry.
            struct stat info {};
            if (::fstatat(fileDirectory_, leaf_.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                !S_ISDIR(info.st_mode) && ::unlinkat(fileDirectory_, leaf_.c_str(), 0) == 0)
                fd = ::openat(fileDirectory_, leaf_.c_str(), flags, record.mode);
        }
        if (fd < 0) {
            fileDirectory_ = -1;
            return false;
        }
        file_.Reset(fd);
        return true;
    }

    // Removes the file being written, if any.
    void Discard() {
        if (file_.Valid()) {
            file_.Reset();
            if (fileDirectory_ >= 0)
                ::unlinkat(fileDirectory_, leaf_.c_str(), 0);
        }
        fileDirectory_ = -1;
    }

    TargetTree tree_;
    const std::vector<Record>& records_;
    std::vector<Piece> pieces_;
    size_t head_ = 0;
    size_t count_ = 0;
    bool closing_ = false;
    bool failed_ = false;
    bool failedLocal_ = false; // the writer thread's own copy
    std::mutex mutex_;
    std::condition_variable workReady_;
    std::condition_variable spaceFree_;
    std::thread thread_;

    UniqueFd file_;
    int fileDirectory_ = -1;
    std::string leaf_;
    uint32_t crc_ = 0; // of the file being written, checked at its last piece
};

// Reads the entry's data (stored or deflated), checks its size and hands it to
// the writer piece by piece; the writer checks the checksum as it writes (the
// two threads share the work that way). A piece marked abandoned, or a
// checksum that does not match, makes the writer remove what it wrote.
class EntryReader {
public:
    EntryReader(FdInputStream& archive, uint64_t dataEnd, ProgressReporter& progress)
        : archive_(archive), dataEnd_(dataEnd), progress_(progress) {}

    bool Ok() const { return inflater_.Ok(); }

    // Bytes of the last entry already counted as progress while it was read, so
    // that one large file does not hold the progress back until its end.
    uint64_t Streamed() const { return streamed_; }

    bool Read(size_t index, const Record& record, Writer& writer, uint64_t& produced) {
        produced = 0;
        streamed_ = 0;
        const unsigned char* header = archive_.View(record.offset, LocalHeaderSize);
        if (header == nullptr || Get32(header) != LocalHeaderSignature)
            return false;
        const uint64_t dataAt =
            record.offset + LocalHeaderSize + Get16(header + 26) + Get16(header + 28);
        if (dataAt > dataEnd_ || record.compressedSize > dataEnd_ - dataAt)
            return false;
        return record.method == MethodStore ? Copy(index, record, dataAt, writer, produced)
                                            : Inflate(index, record, dataAt, writer, produced);
    }

private:
    static bool Finish(Piece& piece, Writer& writer, bool good) {
        piece.last = good;
        piece.abandon = !good;
        writer.Push();
        return good;
    }

    bool Copy(size_t index, const Record& record, uint64_t at, Writer& writer, uint64_t& produced) {
        uint64_t left = record.size;
        bool first = true;
        do {
            Piece* piece = writer.Acquire();
            if (piece == nullptr)
                return false;
            piece->record = index;
            piece->first = first;
            piece->last = false;
            first = false;
            const size_t n = size_t(std::min<uint64_t>(PieceSize, left));
            if (!archive_.ReadAt(at + produced, piece->data.data(), n))
                return Finish(*piece, writer, false);
            piece->length = n;
            produced += n;
            left -= n;
            if (left == 0)
                return Finish(*piece, writer, true);
            writer.Push();
            Stream(n);
        } while (true);
    }

    bool Inflate(size_t index, const Record& record, uint64_t at, Writer& writer,
                 uint64_t& produced) {
        Inflater& z = inflater_;
        if (!z.Reset())
            return false;
        uint64_t inLeft = record.compressedSize;
        bool first = true;
        bool end = false;
        while (!end) {
            Piece* piece = writer.Acquire();
            if (piece == nullptr)
                return false;
            piece->record = index;
            piece->first = first;
            piece->last = false;
            first = false;
            bool broken = false;
            while (piece->length < PieceSize && !end && !broken) {
                if (z.InputLeft() == 0 && inLeft > 0) {
                    const size_t n = size_t(std::min<uint64_t>(inLeft, WindowSize / 4));
                    const unsigned char* input = archive_.View(at, n);
                    if (input == nullptr) {
                        broken = true;
                        break;
                    }
                    z.Input(input, n);
                    at += n;
                    inLeft -= n;
                }
                const size_t before = z.InputLeft();
                size_t made = 0;
                const Inflater::Result rc =
                    z.Run(piece->data.data() + piece->length, PieceSize - piece->length, made);
                piece->length += made;
                if (rc == Inflater::Result::End)
                    end = true;
                else if (rc == Inflater::Result::Broken)
                    broken = true; // corrupt data
                else if (made == 0 && before == z.InputLeft() && inLeft == 0)
                    broken = true; // the data ends before the stream does
            }
            produced += piece->length;
            if (broken || produced > record.size)
                return Finish(*piece, writer, false);
            if (end)
                return Finish(*piece, writer, produced == record.size);
            const size_t made = piece->length;
            writer.Push();
            Stream(made);
        }
        return false;
    }

    void Stream(uint64_t bytes) {
        progress_.Add(0, bytes);
        streamed_ += bytes;
    }

    FdInputStream& archive_;
    uint64_t dataEnd_;
    ProgressReporter& progress_;
    uint64_t streamed_ = 0;
    Inflater inflater_;
};

bool Extract(const wxFileName& archive, const wxFileName& target, UnzipCallback callback,
             void* context) {
    const std::string archivePath = FileSystemPath(archive);
    const std::string targetPath = FileSystemPath(target);
    if (archivePath.empty() || targetPath.empty())
        return false;
    UniqueFd in(::open(archivePath.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!in.Valid() || ::fstat(in.Get(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    UniqueFd root(::open(targetPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.Valid())
        return false;

    CentralDirectory directory;
    if (!directory.Read(in.Get(), uint64_t(info.st_size)))
        return false;
    const std::vector<Record>& records = directory.Records();

    ProgressReporter progress(false, archive);
    FdInputStream stream(in.Get(), uint64_t(info.st_size));
    // wx walks the same central directory and gives the callback its entries.
    wxZipInputStream zip(stream, wxConvUTF8);
    const wxString targetText =
        target.IsDir() ? target.GetPath(wxPATH_GET_VOLUME) : target.GetFullPath();
    EntryReader reader(stream, directory.DataEnd(), progress);
    if (!reader.Ok())
        return false;

    // File creation dominates small entries: the writers create files side by
    // side with the reading; all pieces of one entry go to the same writer.
    // (On two cores one writer does best: a second one only contends in the
    // file system.)
    std::vector<std::unique_ptr<Writer>> writers;
    for (int i = 0; i < WriterCount; ++i) {
        writers.push_back(std::make_unique<Writer>(root.Get(), records));
        writers.back()->Start();
    }
    bool ok = true;
    for (size_t i = 0; ok && i < records.size(); ++i) {
        const Record& record = records[i];
        if (callback != nullptr) {
            std::unique_ptr<wxZipEntry> entry(zip.GetNextEntry());
            if (!entry || uint64_t(entry->GetOffset()) != record.offset) {
                ok = false;
                break;
            }
            const wxString path =
                targetText + wxFILE_SEP_PATH + wxString::FromUTF8(record.name.c_str());
            if (!callback(context, entry.get(), path.wc_str())) {
                ok = false;
                break;
            }
        }
        Writer& writer = *writers[i % writers.size()];
        if (record.directory) {
            Piece* piece = writer.Acquire();
            if (piece == nullptr) {
                ok = false;
                break;
            }
            piece->record = i;
            writer.Push();
            progress.Add(1, 0);
            continue;
        }
        uint64_t produced = 0;
        ok = reader.Read(i, record, writer, produced);
        progress.Add(1, produced - reader.Streamed());
    }
    for (auto& writer : writers)
        if (!writer->Finish())
            ok = false;
    if (ok)
        progress.Finish();
    return ok;
}

} // namespace

bool Unzip(const wxFileName& archive, const wxFileName& target, UnzipCallback callback,
           void* context) {
    try {
        return Extract(archive, target, callback, context);
    } catch (...) {
        return false;
    }
}

} // namespace KwaCore
