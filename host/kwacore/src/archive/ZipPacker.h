// The packer of KwaCore::Zip: its records, jobs and threads, shared by the tree
// walk (Zip.cpp), the deflating workers (ZipDeflate.cpp) and the archive writer
// (ZipOutput.cpp).
//
// The walk, the reads and the writes run on the calling thread; deflating and the
// checksums run on worker threads, one per core. Files are cut into chunks that
// pass through a small ring of slots in archive order, so memory stays bounded
// whatever the size of the tree or of one file. The central directory goes to a
// temporary file once it outgrows a small buffer.
#pragma once

#include "ArchiveSupport.h"
#include "Codec.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace KwaCore {
namespace Archive {

constexpr size_t ChunkSize = 256 * 1024;
constexpr size_t ProbeSize = 64 * 1024;
constexpr size_t DictionarySize = 32 * 1024;
constexpr int MaxDepth = 200;
constexpr size_t MaxItemsPerJob = 256;
// Sizes from this one up get Zip64 fields in their local header, leaving room
// for what deflate may add to content that does not compress.
constexpr uint64_t Zip64LocalThreshold = 0xF0000000ull;
constexpr size_t CentralMemoryLimit = 4 << 20;

bool HasStoredExtension(const std::string& name);

bool LooksIncompressible(Deflater& probe, const unsigned char* data, size_t length,
                         std::vector<unsigned char>& scratch);

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
    bool Write(const void* data, size_t length);
    bool Patch(uint64_t offset, const void* data, size_t length);
    bool Flush();

private:
    int fd_;
    std::vector<unsigned char> buffer_;
    size_t used_ = 0;
    uint64_t flushed_ = 0;
};

// The central records of the entries written so far: in memory while small,
// then in an unnamed temporary file beside the archive.
class CentralRecords {
public:
    explicit CentralRecords(std::string directory) : directory_(std::move(directory)) {}
    bool Append(const unsigned char* data, size_t length);
    bool CopyTo(Output& output);
    uint64_t Count() const { return count_; }
    uint64_t Size() const { return size_; }

private:
    std::string directory_;
    std::vector<unsigned char> memory_;
    UniqueFd file_;
    uint64_t count_ = 0;
    uint64_t size_ = 0;
};

class Packer {
public:
    Packer(ZipCallback callback, void* context, const wxFileName& archive)
        : callback_(callback), context_(context), progress_(true, archive),
          probe_(Deflater::Effort::Probe) {}

    ~Packer() { StopWorkers(); }

    bool Run(const std::string& archivePath, const std::string& sourcePath);
    const Failure& Why() const { return failure_; }

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
    bool CheckName(const std::string& name, bool directory);
    bool AddDirectory(const std::string& name, const struct stat& info);
    bool AddFile(int directoryFd, const char* leaf, const std::string& name,
                 const struct stat& info);
    size_t NewEntry(const std::string& name, const struct stat& info, bool directory);
    Entry& EntryAt(size_t index) { return entries_[index - firstEntry_]; }

    bool WriteLocalHeader(Entry& entry, bool final);
    bool PatchLocalHeader(const Entry& entry);
    bool AddCentralRecord(const Entry& entry);
    bool WriteCentralDirectory();

    ZipCallback callback_;
    void* context_;
    ProgressReporter progress_;
    Deflater probe_;
    std::vector<unsigned char> probeScratch_;
    Failure failure_;

    std::unique_ptr<Output> output_;
    std::unique_ptr<CentralRecords> central_;
    std::vector<unsigned char> record_; // the central record being made
    dev_t archiveDevice_ = 0;
    ino_t archiveInode_ = 0;
    // Entries not yet written whole; those before firstEntry_ are in central_.
    std::deque<Entry> entries_;
    size_t firstEntry_ = 0;
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

} // namespace Archive
} // namespace KwaCore
