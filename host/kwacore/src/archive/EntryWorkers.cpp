// The worker threads of unpacking: a short queue of entries between the calling
// thread and the workers (a few per worker, so that memory stays bounded and a
// refusal by the callback stops the unpacking close to its entry), the first
// failure, and the progress counters the calling thread turns into reports.
#include "EntryWorkers.h"

#include <sched.h>

#include <algorithm>

namespace KwaCore {
namespace Archive {

namespace {
// Entries waiting per worker: enough to keep a worker busy while the calling
// thread asks the callback about the next ones.
constexpr size_t QueuedPerWorker = 4;
constexpr size_t MaxWorkers = 4;
} // namespace

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        closing_ = true;
    }
    work_.notify_all();
    Join();
}

size_t WorkerPool::WorkerCount(uint64_t entryCount) {
    size_t processors = 0;
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof(set), &set) == 0)
        processors = size_t(CPU_COUNT(&set));
    if (processors == 0)
        processors = std::thread::hardware_concurrency();
    return size_t(
        std::max<uint64_t>(1, std::min<uint64_t>({uint64_t(processors), MaxWorkers, entryCount})));
}

void WorkerPool::Start(size_t workers, const Factory& make) {
    limit_ = QueuedPerWorker * workers;
    for (size_t i = 0; i < workers; ++i) {
        failures_.push_back(std::make_unique<Failure>());
        works_.push_back(make(*this, *failures_.back()));
    }
    threads_.reserve(workers);
    for (size_t i = 0; i < workers; ++i) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++running_;
        }
        try {
            threads_.emplace_back([this, i] { Run(*works_[i], *failures_[i]); });
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex_);
            --running_;
            throw;
        }
    }
}

bool WorkerPool::Give(EntryInfo&& entry) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopped_ && queue_.size() >= limit_) {
        const uint64_t seen = changes_;
        state_.wait(lock, [&] { return stopped_ || queue_.size() < limit_ || changes_ != seen; });
        lock.unlock();
        Report();
        lock.lock();
    }
    if (stopped_)
        return false;
    queue_.push_back(std::move(entry));
    lock.unlock();
    work_.notify_one();
    Report();
    return true;
}

void WorkerPool::Fail(const Failure& failure) {
    Record(failure);
}

bool WorkerPool::Finish(Failure& failure) {
    std::unique_lock<std::mutex> lock(mutex_);
    closing_ = true;
    work_.notify_all();
    while (running_ > 0) {
        const uint64_t seen = changes_;
        state_.wait(lock, [&] { return running_ == 0 || changes_ != seen; });
        lock.unlock();
        Report();
        lock.lock();
    }
    lock.unlock();
    Join();
    Report();
    if (!first_.set)
        return true;
    failure = first_;
    return false;
}

void WorkerPool::Count(uint64_t entries, uint64_t bytes) {
    entries_.fetch_add(entries, std::memory_order_relaxed);
    bytes_.fetch_add(bytes, std::memory_order_relaxed);
    if (entries > 0)
        return; // the calling thread hears of it when the worker takes its next entry
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++changes_;
    }
    state_.notify_one();
}

void WorkerPool::Run(EntryWork& work, Failure& failure) {
    bool ok = true;
    while (ok) {
        EntryInfo entry;
        bool wake = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_.wait(lock, [this] { return !queue_.empty() || closing_ || stopped_; });
            if (stopped_ || queue_.empty())
                break;
            entry = std::move(queue_.front());
            queue_.pop_front();
            // The calling thread refills the queue once it is half empty, not
            // after every entry.
            wake = queue_.size() <= limit_ / 2;
            changes_ += wake;
        }
        if (wake)
            state_.notify_one();
        try {
            ok = work.Unpack(entry);
        } catch (...) {
            ok = failure.Fail(entry.name, "out of memory");
        }
        if (failure.set)
            Record(failure); // the others stop before this worker's writes end
    }
    try {
        if (!work.Finish() && failure.set)
            Record(failure);
    } catch (...) {
        failure.Fail("", "out of memory");
        Record(failure);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        ++changes_;
    }
    state_.notify_one();
}

void WorkerPool::Record(const Failure& failure) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!first_.set)
            first_ = failure;
        stopped_ = true;
        ++changes_;
    }
    work_.notify_all();
    state_.notify_one();
}

// Hands what the workers counted since the last call to the progress reports.
void WorkerPool::Report() {
    const uint64_t entries = entries_.load(std::memory_order_relaxed);
    const uint64_t bytes = bytes_.load(std::memory_order_relaxed);
    progress_.Add(entries - reportedEntries_, bytes - reportedBytes_);
    reportedEntries_ = entries;
    reportedBytes_ = bytes;
}

void WorkerPool::Join() {
    for (std::thread& thread : threads_)
        if (thread.joinable())
            thread.join();
}

} // namespace Archive
} // namespace KwaCore
