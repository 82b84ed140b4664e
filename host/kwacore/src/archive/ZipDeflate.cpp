// The deflating side of KwaCore::Zip: which content is worth deflating, the
// worker threads that deflate and checksum the jobs, and the ring of job slots
// that keeps them in archive order. A chunk after the first is deflated with the
// previous 32 KiB as its dictionary and every chunk but the last ends on a byte
// boundary (sync flush), so the chunks of one entry join into one deflate stream.
// Content that does not compress (by its extension, or by a quick probe of its
// first block) is stored; the rest is deflated (Codec.h) about as small as
// Info-ZIP's default makes it.
#include "ZipPacker.h"

#include <algorithm>

namespace KwaCore {
namespace Archive {

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

} // namespace Archive
} // namespace KwaCore
