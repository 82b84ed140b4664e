#include "Progress.h"

#include "AgentLua.h"
#include "Text.h"

#include <KwaCore.h>

#include <memory>
#include <mutex>
#include <string>

namespace Agent {

ProgressPrinter::ProgressPrinter(std::function<void(const std::string&)> say,
                                 std::function<Clock::time_point()> now, Clock::duration interval)
    : say_(std::move(say)), now_(std::move(now)), interval_(interval) {}

void ProgressPrinter::Report(bool packing, const std::string& archive, uint64_t entries,
                             uint64_t bytes, bool finished) {
    const Clock::time_point now = now_();
    const bool sameRun = running_ && packing == packing_ && archive == archive_ &&
                         entries >= entries_ && bytes >= bytes_;
    if (!sameRun) {
        // The first report comes only after a good deal of work: a short job ends
        // before a second has passed and shows its final line alone.
        running_ = true;
        packing_ = packing;
        archive_ = archive;
        lastLine_ = now;
    }
    entries_ = entries;
    bytes_ = bytes;
    const std::string counts =
        std::to_string(entries) + (entries == 1 ? " entry, " : " entries, ") + FormatBytes(bytes);
    if (finished) {
        say_(std::string(packing ? "packed " : "unpacked ") + archive + ": " + counts);
        running_ = false;
        return;
    }
    if (now - lastLine_ >= interval_) {
        say_(std::string(packing ? "packing " : "unpacking ") + archive + ": " + counts +
             " so far");
        lastLine_ = now;
    }
}

namespace {

std::mutex printerMutex;

std::string Narrow(const wchar_t* text) {
    if (text == nullptr)
        return std::string();
    const wxString wide(text);
    const wxScopedCharBuffer utf8 = wide.utf8_str();
    return std::string(utf8.data(), utf8.length());
}

} // namespace

void InstallProgressOutput() {
    auto printer =
        std::make_shared<ProgressPrinter>([](const std::string& line) { Say(line.c_str()); });
    KwaCore::SetArchiveProgressHandler([printer](const KwaCore::ArchiveProgress& progress) {
        std::lock_guard<std::mutex> lock(printerMutex);
        printer->Report(progress.packing, Narrow(progress.archive), progress.entriesDone,
                        progress.bytesDone, progress.finished);
    });
}

void RemoveProgressOutput() {
    KwaCore::SetArchiveProgressHandler(nullptr);
}

} // namespace Agent
