// The parallel part of unpacking: a few worker threads that unpack the entries
// the calling thread hands them, one entry per worker at a time. The calling
// thread keeps everything that must stay in order or on its own thread (the
// central directory, the callback, directories, progress reports); the workers
// do the byte work. A worker that fails stops the others at their next piece,
// and the first reason recorded is the archive's.
#pragma once

#include "CentralDirectory.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace KwaCore {
namespace Archive {

class WorkerPool;

// The byte work of one worker, made on the calling thread and then used only by
// its worker.
class EntryWork {
public:
    virtual ~EntryWork() = default;
    // Unpacks one file entry; false when it failed (the worker's failure set) or
    // when the pool was stopped (failure not set).
    virtual bool Unpack(const EntryInfo& entry) = 0;
    // Waits until everything is written; false when a write failed (failure set).
    virtual bool Finish() = 0;
};

class WorkerPool {
public:
    using Factory = std::function<std::unique_ptr<EntryWork>(WorkerPool&, Failure&)>;

    explicit WorkerPool(ProgressReporter& progress) : progress_(progress) {}
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // How many workers this machine gets for entryCount entries: one per
    // processor the process may run on, at least one and at most four.
    static size_t WorkerCount(uint64_t entryCount);
    void Start(size_t workers, const Factory& make);

    // Calling thread: hands out a file entry, waiting while the workers are
    // behind; false once the pool has stopped.
    bool Give(EntryInfo&& entry);
    // Calling thread: a refusal of its own stops the workers.
    void Fail(const Failure& failure);
    // Calling thread: waits for the workers to end; true when every entry was
    // unpacked, else failure holds the first reason recorded.
    bool Finish(Failure& failure);

    // Workers: true once the unpacking has failed; stop at the next piece.
    bool Stopped() const { return stopped_.load(std::memory_order_relaxed); }
    // Workers: counts unpacked entries and bytes for the progress reports.
    void Count(uint64_t entries, uint64_t bytes);

private:
    void Run(EntryWork& work, Failure& failure);
    void Record(const Failure& failure);
    void Report();
    void Join();

    ProgressReporter& progress_;
    std::mutex mutex_;
    std::condition_variable work_;  // workers wait for entries
    std::condition_variable state_; // the calling thread waits for room or news
    std::deque<EntryInfo> queue_;
    size_t limit_ = 1;
    size_t running_ = 0;
    bool closing_ = false;
    std::atomic<bool> stopped_{false};
    Failure first_;
    uint64_t changes_ = 0;
    std::atomic<uint64_t> entries_{0};
    std::atomic<uint64_t> bytes_{0};
    uint64_t reportedEntries_ = 0;
    uint64_t reportedBytes_ = 0;
    std::vector<std::unique_ptr<Failure>> failures_; // outlive the works using them
    std::vector<std::unique_ptr<EntryWork>> works_;
    std::vector<std::thread> threads_;
};

} // namespace Archive
} // namespace KwaCore
