// KwaCore::Zip: packs a directory tree into a zip archive.
//
// The walk, the reads and the writes run on the calling thread; deflating and the
// checksums run on worker threads, one per core. Files are cut into chunks that
// pass through a small ring of slots in archive order, so memory stays bounded
// whatever the size of the tree or of one file. A chunk after the first is
// deflated with the previous 32 KiB as its dictionary and every chunk but the
// last ends on a byte boundary (sync flush), so the chunks of one entry join into
// one deflate stream. Content that does not compress (by its extension, or by a
// quick probe of its first block) is stored; the rest is deflated (Codec.h)
// about as small as Info-ZIP's default makes it. Local headers are patched with the
// checksum and sizes once an entry is complete; Zip64 records appear where sizes,
// offsets or counts need them. The archive is written beside its final name and
// renamed into place only once it is complete.
#include "ArchiveSupport.h"
#include "Codec.h"
#include "DirectoryEntries.h"

#include <wx/filename.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace KwaCore {

namespace {

using namespace Archive;

constexpr size_t ChunkSize = 256 * 1024;
constexpr size_t ProbeSize = 64 * 1024;
constexpr size_t DictionarySize = 32 * 1024;
constexpr int MaxDepth = 200;
constexpr size_t MaxItemsPerJob = 256;
// Sizes from this one up get Zip64 fields in their local header, leaving room
// for what deflate may add to content that does not compress.
constexpr uint64_t Zip64LocalThreshold = 0xF0000000ull;

// Already compressed formats: deflating them again costs time and saves nothing.
bool HasStoredExtension(const std::string& name) {
    static const char* const extensions[] = {
        "zip",   "gz",  "tgz", "bz2", "tbz",  "tbz2", "xz",   "txz",  "lz",   "lzma", "lz4",
        "zst",   "7z",  "rar", "cab", "jar",  "war",  "apk",  "deb",  "rpm",  "whl",  "nupkg",
        "msu",   "cgz", "z",   "jpg", "jpeg", "png",  "gif",  "webp", "avif", "heic", "mp3",
        "mp4",   "m4a", "m4v", "mkv", "webm", "avi",  "mov",  "ogg",  "opus", "flac", "woff",
        "woff2", "br",  "xpi", "crx", "docx", "xlsx", "pptx", "odt"};
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.size() - dot > 7 ||
        name.find('/', dot) != std::string::npos)
        return false;
    std::string extension = name.substr(dot + 1);
    for (char& c : extension)
        c = char(tolower(static_cast<unsigned char>(c)));
    for (const char* known : extensions)
        if (extension == known)
            return true;
    return false;
}

// True when a quick deflate of the first block saves next to nothing.
bool LooksIncompressible(Deflater& probe, const unsigned char* data, size_t length,
                         std::vector<unsigned char>& scratch) {
    length = std::min(length, ProbeSize);
    if (length < 512)
        return false;
    size_t outLength = 0;
    if (!probe.Run(data, length, nullptr, 0, true, scratch, 0, outLength))
        return false;
    return outLength * 100 >= length * 97;
}

struct Entry {
    std::string name;
    uint64_t offset = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;
    uint32_t crc = 0;
    uint32_t dosTime = 0;
    uint32_t externalAttributes = 0;
    uint16_t method = MethodStore;
    uint16_t flags = 0;
    bool zip64Local = false;
};

// One entry's part of a job: a whole small file, a chunk of a large one, or a
// directory.
struct Item {
    size_t entry = 0;
    bool directory = false;
    bool first = true;
    bool last = true;
    bool deflate = false;
    bool mayStore = false; // a whole file falls back to storing when it does not shrink
    size_t inOffset = 0;
    size_t inLength = 0;
    // Set by the worker.
    size_t outOffset = 0;
    size_t outLength = 0;
    bool stored = true;
    uint32_t crc = 0;
};

// What one worker does at once: many small files, or one chunk of a large file.
struct Job {
    std::vector<Item> items;
    std::vector<unsigned char> in;
    size_t inUsed = 0;
    std::vector<unsigned char> dictionary; // the chunk before, for a continued entry
    size_t dictionaryLength = 0;
    std::vector<unsigned char> out;
    size_t outUsed = 0;
    bool failed = false;
    bool done = false;
};

// The archive file: a write buffer in front of the descriptor, and patches of
// bytes already written.
class Output {
public:
    explicit Output(int fd) : fd_(fd), buffer_(1 << 20) {}

    uint64_t Position() const { return flushed_ + used_; }

    bool Write(const void* data, size_t length) {
        if (used_ + length > buffer_.size()) {
            if (!Flush())
                return false;
            if (length >= buffer_.size()) {
                if (!WriteFully(fd_, data, length))
                    return false;
                flushed_ += length;
                return true;
            }
        }
        std::memcpy(buffer_.data() + used_, data, length);
        used_ += length;
        return true;
    }

    bool Patch(uint64_t offset, const void* data, size_t length) {
        if (offset >= flushed_ && offset + length <= flushed_ + used_) {
            std::memcpy(buffer_.data() + (offset - flushed_), data, length);
            return true;
        }
        if (offset + length > flushed_ && !Flush())
            return false;
        const auto* p = static_cast<const unsigned char*>(data);
        while (length > 0) {
            const ssize_t n = ::pwrite(fd_, p, length, off_t(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            p += n;
            length -= size_t(n);
            offset += uint64_t(n);
        }
        return true;
    }

    bool Flush() {
        if (used_ > 0 && !WriteFully(fd_, buffer_.data(), used_))
            return false;
        flushed_ += used_;
        used_ = 0;
        return true;
    }

private:
    int fd_;
    std::vector<unsigned char> buffer_;
    size_t used_ = 0;
    uint64_t flushed_ = 0;
};

class Packer {
public:
    Packer(ZipCallback callback, void* context, const wxFileName& archive)
        : callback_(callback), context_(context), progress_(true, archive),
          probe_(Deflater::Effort::Probe) {}

    ~Packer() { StopWorkers(); }

    bool Run(const std::string& archivePath, const std::string& sourcePath);

private:
    bool StartWorkers();
    void StopWorkers();
    void WorkerLoop();
    static void Work(Job& job, Deflater& deflater, Deflater& probe,
                     std::vector<unsigned char>& scratch);

    Job& AcquireSlot();
    Job& CurrentJob(size_t inLength);
    void SubmitCurrent();
    void Submit(Job& job);
    bool RetireOldest();
    bool Retire(const Job& job, const Item& item);
    bool Drain();

    bool Walk(int directoryFd, const std::string& prefix, int depth);
    ZipAction Ask(const std::string& name);
    bool AddDirectory(const std::string& name, const struct stat& info);
    bool AddFile(int directoryFd, const char* leaf, const std::string& name,
                 const struct stat& info);
    size_t NewEntry(const std::string& name, const struct stat& info, bool directory);

    bool WriteLocalHeader(Entry& entry, bool final);
    bool PatchLocalHeader(const Entry& entry);
    bool WriteCentralDirectory();

    ZipCallback callback_;
    void* context_;
    ProgressReporter progress_;
    Deflater probe_;
    std::vector<unsigned char> probeScratch_;

    std::unique_ptr<Output> output_;
    dev_t archiveDevice_ = 0;
    ino_t archiveInode_ = 0;
    std::vector<Entry> entries_;
    std::vector<unsigned char> tail_; // the last 32 KiB read of the current file
    size_t tailLength_ = 0;

    std::vector<Job> ring_;
    Job* current_ = nullptr; // the job being filled with small files
    size_t head_ = 0;
    size_t count_ = 0;
    std::mutex mutex_;
    std::condition_variable workReady_;
    std::condition_variable jobDone_;
    std::deque<Job*> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
    bool failed_ = false;
};

bool Packer::StartWorkers() {
    unsigned n = std::thread::hardware_concurrency();
    n = std::max(1u, std::min(n, 4u));
    // Chunks take uneven times to deflate and retire in archive order: a deep
    // ring keeps every worker busy while the oldest chunk is still in work.
    ring_.resize(n * 4 + 8);
    for (unsigned i = 0; i < n; ++i)
        workers_.emplace_back([this] { WorkerLoop(); });
    return true;
}

void Packer::StopWorkers() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    workReady_.notify_all();
    for (std::thread& worker : workers_)
        if (worker.joinable())
            worker.join();
    workers_.clear();
}

void Packer::WorkerLoop() {
    Deflater deflater(Deflater::Effort::Pack);
    Deflater probe(Deflater::Effort::Probe);
    std::vector<unsigned char> scratch;
    for (;;) {
        Job* job = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            workReady_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty())
                return;
            job = queue_.front();
            queue_.pop_front();
        }
        try {
            Work(*job, deflater, probe, scratch);
        } catch (...) {
            job->failed = true;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job->done = true;
        }
        jobDone_.notify_all();
    }
}

void Packer::Work(Job& job, Deflater& deflater, Deflater& probe,
                  std::vector<unsigned char>& scratch) {
    job.outUsed = 0;
    for (Item& item : job.items) {
        item.stored = true;
        item.outLength = 0;
        if (item.directory)
            continue;
        const unsigned char* data = job.in.data() + item.inOffset;
        item.crc = Crc32(0, data, item.inLength);
        if (!item.deflate || item.inLength == 0)
            continue;
        if (item.mayStore && item.inLength > ProbeSize &&
            LooksIncompressible(probe, data, item.inLength, scratch))
            continue;
        const size_t dictionaryLength = item.first ? 0 : job.dictionaryLength;
        item.outOffset = job.outUsed;
        if (!deflater.Run(data, item.inLength, job.dictionary.data(), dictionaryLength, item.last,
                          job.out, job.outUsed, item.outLength)) {
            job.failed = true;
            return;
        }
        item.stored = item.mayStore && item.outLength >= item.inLength;
        if (!item.stored)
            job.outUsed += item.outLength;
    }
}

Job& Packer::AcquireSlot() {
    if (count_ == ring_.size() && !RetireOldest())
        failed_ = true;
    Job& job = ring_[(head_ + count_) % ring_.size()];
    ++count_;
    job.done = false;
    job.failed = false;
    job.items.clear();
    job.inUsed = 0;
    job.dictionaryLength = 0;
    job.outUsed = 0;
    if (job.in.size() < ChunkSize)
        job.in.resize(ChunkSize);
    return job;
}

Job& Packer::CurrentJob(size_t inLength) {
    if (current_ != nullptr &&
        (current_->inUsed + inLength > ChunkSize || current_->items.size() >= MaxItemsPerJob))
        SubmitCurrent();
    if (current_ == nullptr)
        current_ = &AcquireSlot();
    return *current_;
}

void Packer::SubmitCurrent() {
    if (current_ != nullptr)
        Submit(*current_);
    current_ = nullptr;
}

void Packer::Submit(Job& job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(&job);
    }
    workReady_.notify_one();
}

bool Packer::RetireOldest() {
    Job& job = ring_[head_];
    {
        std::unique_lock<std::mutex> lock(mutex_);
        jobDone_.wait(lock, [&job] { return job.done; });
    }
    head_ = (head_ + 1) % ring_.size();
    --count_;
    if (failed_ || job.failed)
        return false;
    for (const Item& item : job.items)
        if (!Retire(job, item))
            return false;
    return true;
}

bool Packer::Retire(const Job& job, const Item& item) {
    Entry& entry = entries_[item.entry];
    if (item.directory) {
        progress_.Add(1, 0);
        return WriteLocalHeader(entry, true);
    }
    const bool single = item.first && item.last;
    const uint64_t written = item.stored ? item.inLength : item.outLength;
    if (item.first) {
        entry.method = item.stored ? MethodStore : MethodDeflate;
        entry.crc = item.crc;
        entry.size = item.inLength;
        entry.compressedSize = written;
        if (!WriteLocalHeader(entry, single))
            return false;
    } else {
        entry.crc = Crc32Combine(entry.crc, item.crc, item.inLength);
        entry.size += item.inLength;
        entry.compressedSize += written;
    }
    const bool ok = item.stored ? output_->Write(job.in.data() + item.inOffset, item.inLength)
                                : output_->Write(job.out.data() + item.outOffset, item.outLength);
    if (!ok)
        return false;
    progress_.Add(item.last ? 1 : 0, item.inLength);
    if (item.last && !single) {
        if (!entry.zip64Local && (entry.size >= Max32 || entry.compressedSize >= Max32))
            return false; // the file grew past what its header can hold
        return PatchLocalHeader(entry);
    }
    return true;
}

bool Packer::Drain() {
    SubmitCurrent();
    while (count_ > 0)
        if (!RetireOldest())
            return false;
    return !failed_;
}

size_t Packer::NewEntry(const std::string& name, const struct stat& info, bool directory) {
    Entry entry;
    entry.name = name;
    entry.dosTime = ToDosTime(info.st_mtime);
    const uint32_t type = directory ? S_IFDIR : S_IFREG;
    uint32_t attributes = (type | (info.st_mode & 07777)) << 16;
    if (directory)
        attributes |= 0x10; // MS-DOS directory
    if (!(info.st_mode & S_IWUSR))
        attributes |= 0x01; // MS-DOS read-only
    entry.externalAttributes = attributes;
    for (unsigned char c : name)
        if (c >= 0x80) {
            entry.flags |= FlagUtf8;
            break;
        }
    entry.zip64Local = !directory && uint64_t(info.st_size) >= Zip64LocalThreshold;
    entries_.push_back(std::move(entry));
    return entries_.size() - 1;
}

ZipAction Packer::Ask(const std::string& name) {
    if (callback_ == nullptr)
        return ZipAction::Include;
    wxString path = wxString::FromUTF8(name.data(), name.size());
    if (path.empty())
        path = wxString(name.data(), wxConvISO8859_1, name.size());
    return callback_(context_, path.wc_str());
}

bool Packer::AddDirectory(const std::string& name, const struct stat& info) {
    Job& job = CurrentJob(0);
    if (failed_)
        return false;
    Item item;
    item.directory = true;
    item.entry = NewEntry(name, info, true);
    job.items.push_back(item);
    return true;
}

// Reads exactly length bytes; false when the file ends early or fails.
bool ReadChunk(int fd, unsigned char* data, size_t length) {
    size_t got = 0;
    while (got < length) {
        const ssize_t n = ::read(fd, data + got, length - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += size_t(n);
    }
    return true;
}

bool Packer::AddFile(int directoryFd, const char* leaf, const std::string& name,
                     const struct stat& seen) {
    UniqueFd fd(::openat(directoryFd, leaf, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
    struct stat info {};
    if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_ino != seen.st_ino || info.st_dev != seen.st_dev)
        return false;
    const size_t entry = NewEntry(name, info, false);
    const bool storedByName = HasStoredExtension(name);
    const uint64_t size = uint64_t(info.st_size);

    if (size <= ChunkSize) {
        // A whole file: it shares a job with its neighbours.
        Job& job = CurrentJob(size_t(size));
        if (failed_)
            return false;
        Item item;
        item.entry = entry;
        item.deflate = !storedByName;
        item.mayStore = true;
        item.inOffset = job.inUsed;
        item.inLength = size_t(size);
        if (!ReadChunk(fd.Get(), job.in.data() + job.inUsed, item.inLength))
            return false; // the file shrank or could not be read
        job.inUsed += item.inLength;
        job.items.push_back(item);
        return true;
    }

    // A large file: one job per chunk.
    SubmitCurrent();
    uint64_t done = 0;
    bool deflate = !storedByName;
    tailLength_ = 0;
    while (done < size) {
        Job& job = AcquireSlot();
        if (failed_)
            return false;
        Item item;
        item.entry = entry;
        item.first = done == 0;
        item.inLength = size_t(std::min<uint64_t>(ChunkSize, size - done));
        if (!ReadChunk(fd.Get(), job.in.data(), item.inLength)) {
            job.done = true;
            return false;
        }
        done += item.inLength;
        item.last = done == size;
        if (item.first && deflate)
            deflate = !LooksIncompressible(probe_, job.in.data(), item.inLength, probeScratch_);
        item.deflate = deflate;
        if (deflate && !item.first) {
            job.dictionary.resize(DictionarySize);
            std::memcpy(job.dictionary.data(), tail_.data(), tailLength_);
            job.dictionaryLength = tailLength_;
        }
        if (deflate && !item.last) {
            tail_.resize(DictionarySize);
            tailLength_ = std::min(item.inLength, DictionarySize);
            std::memcpy(tail_.data(), job.in.data() + item.inLength - tailLength_, tailLength_);
        }
        job.inUsed = item.inLength;
        job.items.push_back(item);
        Submit(job);
    }
    return true;
}

bool Packer::Walk(int directoryFd, const std::string& prefix, int depth) {
    if (depth > MaxDepth)
        return false;
    std::vector<std::string> names;
    {
        std::vector<Kwa::DirectoryEntry> entries;
        if (!Kwa::ListDirectory(directoryFd, entries))
            return false;
        names.reserve(entries.size());
        for (auto& entry : entries)
            names.push_back(std::move(entry.name));
    }
    std::sort(names.begin(), names.end());
    for (const std::string& leaf : names) {
        struct stat info {};
        if (::fstatat(directoryFd, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue; // gone since the listing
            return false;
        }
        if (S_ISDIR(info.st_mode)) {
            const std::string name = prefix + leaf + "/";
            const ZipAction action = Ask(name);
            if (action == ZipAction::Abort)
                return false;
            if (action != ZipAction::Include)
                continue;
            if (!AddDirectory(name, info))
                return false;
            UniqueFd sub(::openat(directoryFd, leaf.c_str(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!sub.Valid() || !Walk(sub.Get(), name, depth + 1))
                return false;
        } else if (S_ISREG(info.st_mode)) {
            if (info.st_dev == archiveDevice_ && info.st_ino == archiveInode_)
                continue; // the archive being written
            const std::string name = prefix + leaf;
            const ZipAction action = Ask(name);
            if (action == ZipAction::Abort)
                return false;
            if (action != ZipAction::Include)
                continue;
            if (!AddFile(directoryFd, leaf.c_str(), name, info))
                return false;
        }
        // Links, sockets, pipes and devices are never packed.
    }
    return !failed_;
}

bool Packer::WriteLocalHeader(Entry& entry, bool final) {
    entry.offset = output_->Position();
    const bool zip64 = entry.zip64Local;
    std::vector<unsigned char> header(LocalHeaderSize + entry.name.size() + (zip64 ? 20 : 0));
    unsigned char* p = header.data();
    p = Put32(p, LocalHeaderSignature);
    p = Put16(p, zip64 ? 45 : 20);
    p = Put16(p, entry.flags);
    p = Put16(p, entry.method);
    p = Put32(p, entry.dosTime);
    p = Put32(p, final ? entry.crc : 0);
    p = Put32(p, zip64 ? Max32 : final ? uint32_t(entry.compressedSize) : 0);
    p = Put32(p, zip64 ? Max32 : final ? uint32_t(entry.size) : 0);
    p = Put16(p, uint16_t(entry.name.size()));
    p = Put16(p, zip64 ? 20 : 0);
    std::memcpy(p, entry.name.data(), entry.name.size());
    p += entry.name.size();
    if (zip64) {
        p = Put16(p, Zip64ExtraId);
        p = Put16(p, 16);
        p = Put64(p, final ? entry.size : 0);
        p = Put64(p, final ? entry.compressedSize : 0);
    }
    return output_->Write(header.data(), header.size());
}

bool Packer::PatchLocalHeader(const Entry& entry) {
    unsigned char sums[12];
    Put32(sums, entry.crc);
    if (entry.zip64Local) {
        Put32(sums + 4, Max32);
        Put32(sums + 8, Max32);
    } else {
        Put32(sums + 4, uint32_t(entry.compressedSize));
        Put32(sums + 8, uint32_t(entry.size));
    }
    if (!output_->Patch(entry.offset + 14, sums, sizeof(sums)))
        return false;
    if (!entry.zip64Local)
        return true;
    unsigned char sizes[16];
    Put64(sizes, entry.size);
    Put64(sizes + 8, entry.compressedSize);
    return output_->Patch(entry.offset + LocalHeaderSize + entry.name.size() + 4, sizes,
                          sizeof(sizes));
}

bool Packer::WriteCentralDirectory() {
    const uint64_t start = output_->Position();
    std::vector<unsigned char> record;
    for (const Entry& entry : entries_) {
        const bool zip64 =
            entry.size >= Max32 || entry.compressedSize >= Max32 || entry.offset >= Max32;
        record.assign(CentralHeaderSize + entry.name.size() + (zip64 ? 28 : 0), 0);
        unsigned char* p = record.data();
        p = Put32(p, CentralHeaderSignature);
        p = Put16(p, uint16_t((SystemUnix << 8) | 45));
        p = Put16(p, zip64 || entry.zip64Local ? 45 : 20);
        p = Put16(p, entry.flags);
        p = Put16(p, entry.method);
        p = Put32(p, entry.dosTime);
        p = Put32(p, entry.crc);
        p = Put32(p, zip64 ? Max32 : uint32_t(entry.compressedSize));
        p = Put32(p, zip64 ? Max32 : uint32_t(entry.size));
        p = Put16(p, uint16_t(entry.name.size()));
        p = Put16(p, zip64 ? 28 : 0);
        p = Put16(p, 0); // comment
        p = Put16(p, 0); // disk
        p = Put16(p, 0); // internal attributes
        p = Put32(p, entry.externalAttributes);
        p = Put32(p, zip64 ? Max32 : uint32_t(entry.offset));
        std::memcpy(p, entry.name.data(), entry.name.size());
        p += entry.name.size();
        if (zip64) {
            p = Put16(p, Zip64ExtraId);
            p = Put16(p, 24);
            p = Put64(p, entry.size);
            p = Put64(p, entry.compressedSize);
            p = Put64(p, entry.offset);
        }
        if (!output_->Write(record.data(), record.size()))
            return false;
    }
    const uint64_t end = output_->Position();
    const uint64_t size = end - start;
    const uint64_t count = entries_.size();
    const bool zip64 = count >= Max16 || size >= Max32 || start >= Max32;
    unsigned char tail[Zip64EndOfCentralSize + Zip64LocatorSize + EndOfCentralSize];
    unsigned char* p = tail;
    if (zip64) {
        p = Put32(p, Zip64EndOfCentralSignature);
        p = Put64(p, Zip64EndOfCentralSize - 12);
        p = Put16(p, uint16_t((SystemUnix << 8) | 45));
        p = Put16(p, 45);
        p = Put32(p, 0);
        p = Put32(p, 0);
        p = Put64(p, count);
        p = Put64(p, count);
        p = Put64(p, size);
        p = Put64(p, start);
        p = Put32(p, Zip64LocatorSignature);
        p = Put32(p, 0);
        p = Put64(p, end);
        p = Put32(p, 1);
    }
    p = Put32(p, EndOfCentralSignature);
    p = Put16(p, 0);
    p = Put16(p, 0);
    p = Put16(p, zip64 ? Max16 : uint16_t(count));
    p = Put16(p, zip64 ? Max16 : uint16_t(count));
    p = Put32(p, zip64 ? Max32 : uint32_t(size));
    p = Put32(p, zip64 ? Max32 : uint32_t(start));
    p = Put16(p, 0);
    return output_->Write(tail, size_t(p - tail)) && output_->Flush();
}

bool Packer::Run(const std::string& archivePath, const std::string& sourcePath) {
    if (archivePath.empty() || sourcePath.empty())
        return false;
    UniqueFd source(::open(sourcePath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!source.Valid())
        return false;

    const std::string partPath = archivePath + ".part";
    ::unlink(partPath.c_str());
    UniqueFd out(
        ::open(partPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!out.Valid())
        return false;
    struct stat outInfo {};
    ::fstat(out.Get(), &outInfo);
    archiveDevice_ = outInfo.st_dev;
    archiveInode_ = outInfo.st_ino;
    output_ = std::make_unique<Output>(out.Get());

    bool ok = probe_.Ok() && StartWorkers();
    ok = ok && Walk(source.Get(), std::string(), 0);
    ok = ok && Drain() && WriteCentralDirectory();
    // After a failure the workers drop what is queued and finish what they hold.
    StopWorkers();
    if (ok && ::close(out.Release()) != 0)
        ok = false;
    ok = ok && ::rename(partPath.c_str(), archivePath.c_str()) == 0;
    if (!ok) {
        out.Reset();
        ::unlink(partPath.c_str());
        return false;
    }
    progress_.Finish();
    return true;
}

} // namespace

bool Zip(const wxFileName& archive, const wxFileName& source, ZipCallback callback, void* context) {
    try {
        const std::string archivePath = Archive::FileSystemPath(archive);
        const std::string sourcePath = Archive::FileSystemPath(source);
        Packer packer(callback, context, archive);
        return packer.Run(archivePath, sourcePath);
    } catch (...) {
        return false;
    }
}

} // namespace KwaCore
