// Progress lines for long archive work (installing or packing an update bundle):
// entries and bytes done, at most one line a second, and a final line.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace Agent {

class ProgressPrinter {
public:
    using Clock = std::chrono::steady_clock;

    // say receives each line (without a line feed); now tells the time.
    explicit ProgressPrinter(std::function<void(const std::string&)> say,
                             std::function<Clock::time_point()> now = Clock::now,
                             Clock::duration interval = std::chrono::seconds(1));

    // One report of the core library's zip layer. A report for another archive, or
    // with smaller counts than the last one, begins a new run.
    void Report(bool packing, const std::string& archive, uint64_t entries, uint64_t bytes,
                bool finished);

private:
    std::function<void(const std::string&)> say_;
    std::function<Clock::time_point()> now_;
    Clock::duration interval_;
    bool running_ = false;
    bool packing_ = false;
    std::string archive_;
    uint64_t entries_ = 0;
    uint64_t bytes_ = 0;
    Clock::time_point lastLine_;
};

// Routes the core library's archive progress to the agent's standard error.
void InstallProgressOutput();
void RemoveProgressOutput();

} // namespace Agent
