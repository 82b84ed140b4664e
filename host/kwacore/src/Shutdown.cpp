// The process-wide shutdown state: ShouldExit, RequestShutdown and the runnables'
// waits. RequestShutdown only stores an atomic flag and writes to an eventfd, so
// a signal handler may call it; waiters poll the eventfd and wake at once.
#include "Internal.h"

#include <KwaCore.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <mutex>
#include <thread>

namespace KwaCore {
namespace {

std::atomic<bool> shuttingDown{false};
// Readable while a shutdown is requested (written once per request, drained
// when the state is cleared).
std::atomic<int> wakeFd{-1};

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "RequestShutdown must be async-signal-safe");

thread_local CRunnable* currentRunnable = nullptr;

// Windows' INFINITE: wait until the shutdown, however long.
const unsigned long kForever = 0xFFFFFFFFul;

void DrainWakeFd() {
    const int fd = wakeFd.load();
    if (fd < 0)
        return;
    uint64_t count;
    while (read(fd, &count, sizeof count) > 0) {
    }
}

} // namespace

namespace Internal {

void PrepareShutdownSignal() {
    static std::once_flag once;
    std::call_once(once, [] { wakeFd.store(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)); });
}

bool WaitForShutdown(unsigned long ms) {
    if (shuttingDown.load())
        return true;
    if (ms == 0)
        return false;
    PrepareShutdownSignal();
    using Clock = std::chrono::steady_clock;
    const bool forever = ms >= kForever;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(forever ? 0 : ms);
    for (;;) {
        if (shuttingDown.load())
            return true;
        int timeout = -1;
        if (!forever) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0)
                return false;
            // Round up so that a wait never ends before its time.
            timeout = static_cast<int>(std::min<long long>(left + 1, INT_MAX));
        }
        const int fd = wakeFd.load();
        if (fd < 0) {
            // No eventfd: look at the flag every few milliseconds.
            std::this_thread::sleep_for(
                std::chrono::milliseconds(timeout < 0 ? 10 : std::min(timeout, 10)));
            continue;
        }
        struct pollfd wake = {fd, POLLIN, 0};
        const int ready = poll(&wake, 1, timeout);
        if (ready > 0 && !shuttingDown.load()) {
            // Readable although the shutdown was just called off: the clearing
            // thread is about to drain the descriptor.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

} // namespace Internal

void RequestShutdown(bool on) {
    if (on) {
        shuttingDown.store(true);
        const int fd = wakeFd.load();
        if (fd >= 0) {
            const int saved = errno;
            const uint64_t one = 1;
            ssize_t written = write(fd, &one, sizeof one);
            (void)written;
            errno = saved;
        }
    } else {
        shuttingDown.store(false);
        DrainWakeFd();
    }
}

bool CDom::ShouldExit(unsigned long ms, bool* flag) {
    const bool exiting = Internal::WaitForShutdown(ms);
    if (flag != nullptr)
        *flag = exiting;
    return exiting;
}

CRunnable::CRunnable() {}

CRunnable::~CRunnable() {
    if (currentRunnable == this)
        currentRunnable = nullptr;
}

CRunnable* CRunnable::This() {
    return currentRunnable;
}

void CRunnable::SetThis(CRunnable* runnable) {
    currentRunnable = runnable;
}

bool CRunnable::Wait(unsigned long ms, bool* flag) {
    const bool exiting = Internal::WaitForShutdown(ms);
    if (flag != nullptr)
        *flag = exiting;
    return exiting;
}

} // namespace KwaCore
