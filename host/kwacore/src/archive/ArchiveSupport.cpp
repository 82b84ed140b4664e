#include "ArchiveSupport.h"

#include <wx/filename.h>
#include <wx/log.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>
#include <unistd.h>

namespace KwaCore {

namespace {
std::mutex handlerMutex;
std::function<void(const ArchiveProgress&)>& Handler() {
    static std::function<void(const ArchiveProgress&)> handler;
    return handler;
}
} // namespace

void SetArchiveProgressHandler(std::function<void(const ArchiveProgress&)> handler) {
    std::lock_guard<std::mutex> lock(handlerMutex);
    Handler() = std::move(handler);
}

namespace Archive {

uint32_t ToDosTime(time_t when) {
    struct tm t {};
    if (localtime_r(&when, &t) == nullptr || t.tm_year < 80)
        return (1u << 21) | (1u << 16); // 1980-01-01 00:00
    if (t.tm_year > 207)
        t.tm_year = 207;
    const uint32_t date = uint32_t(((t.tm_year - 80) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
    const uint32_t time = uint32_t((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2));
    return (date << 16) | time;
}

time_t FromDosTime(uint32_t dos) {
    // Entries of one archive mostly share a few times; mktime reads the zone
    // file's state on every call.
    thread_local uint32_t lastDos = 0;
    thread_local time_t lastTime = 0;
    if (dos == lastDos && lastDos != 0)
        return lastTime;
    struct tm t {};
    const uint32_t date = dos >> 16;
    t.tm_year = int((date >> 9) & 0x7f) + 80;
    t.tm_mon = int((date >> 5) & 0x0f) - 1;
    t.tm_mday = int(date & 0x1f);
    t.tm_hour = int((dos >> 11) & 0x1f);
    t.tm_min = int((dos >> 5) & 0x3f);
    t.tm_sec = int((dos & 0x1f) * 2);
    t.tm_isdst = -1;
    lastTime = mktime(&t);
    lastDos = dos;
    return lastTime;
}

std::string FileSystemPath(const wxFileName& name) {
    const wxString path = name.IsDir() ? name.GetPath(wxPATH_GET_VOLUME) : name.GetFullPath();
    const wxCharBuffer bytes = path.fn_str();
    return bytes.data() ? std::string(bytes.data()) : std::string();
}

ProgressReporter::ProgressReporter(bool packing, const wxFileName& archive) : packing_(packing) {
    std::lock_guard<std::mutex> lock(handlerMutex);
    active_ = static_cast<bool>(Handler());
    if (active_)
        archive_ = archive.GetFullPath().ToStdWstring();
}

void ProgressReporter::Add(uint64_t entries, uint64_t bytes) {
    entries_ += entries;
    bytes_ += bytes;
    if (active_ && (entries_ - reportedEntries_ >= 1000 || bytes_ - reportedBytes_ >= (64u << 20)))
        Report(false);
}

void ProgressReporter::Finish() {
    if (active_)
        Report(true);
}

void ProgressReporter::Report(bool finished) {
    reportedEntries_ = entries_;
    reportedBytes_ = bytes_;
    std::function<void(const ArchiveProgress&)> handler;
    {
        std::lock_guard<std::mutex> lock(handlerMutex);
        handler = Handler();
    }
    if (!handler)
        return;
    ArchiveProgress progress{packing_, archive_.c_str(), entries_, bytes_, finished};
    try {
        handler(progress);
    } catch (...) {
        // A host's output must not break the archive work.
    }
}

const char* NormalizeName(std::string& name) {
    if (name.empty())
        return "empty name";
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f)
            return "unsafe name (control character)";
    if (name.find('\\') != std::string::npos)
        return "unsafe name (backslash)";
    if (name[0] == '/')
        return "unsafe name (absolute path)";
    std::string kept;
    kept.reserve(name.size());
    for (size_t start = 0; start <= name.size();) {
        size_t end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        const std::string_view segment(name.data() + start, end - start);
        if (segment.empty())
            return "unsafe name (empty segment)";
        if (segment == "..")
            return "unsafe name (.. segment)";
        if (segment != ".") {
            if (!kept.empty())
                kept += '/';
            kept += segment;
        }
        start = end + 1;
    }
    if (kept.size() >= 2 && kept[1] == ':')
        return "unsafe name (drive letter)";
    name.swap(kept);
    return nullptr;
}

std::string MethodText(uint16_t method) {
    static const struct {
        uint16_t method;
        const char* name;
    } names[] = {
        {1, "shrink"},    {2, "reduce"},     {3, "reduce"},          {4, "reduce"},
        {5, "reduce"},    {6, "implode"},    {9, "Deflate64"},       {10, "PKWARE implode"},
        {12, "bzip2"},    {14, "LZMA"},      {16, "IBM z/OS CMPSC"}, {18, "IBM TERSE"},
        {19, "IBM LZ77"}, {20, "Zstandard"}, {93, "Zstandard"},      {94, "MP3"},
        {95, "XZ"},       {96, "JPEG"},      {97, "WavPack"},        {98, "PPMd"},
        {99, "AES"}};
    std::string text = std::to_string(method);
    for (const auto& known : names)
        if (known.method == method)
            return text + " (" + known.name + ")";
    return text + " (unknown)";
}

std::string ErrorText(int error) {
    return std::strerror(error);
}

bool Failure::Fail(const std::string& entryName, const std::string& why) {
    if (!set) {
        entry = entryName;
        rule = why;
        set = true;
    }
    return false;
}

namespace {
// Names in the log: UTF-8 where they are, bytes as Latin-1 otherwise; control
// characters escaped so that the record stays one line; very long names cut.
wxString Printable(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes.substr(0, 512)) {
        if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", c);
            text += escaped;
        } else {
            text += char(c);
        }
    }
    if (bytes.size() > 512)
        text += "...";
    wxString printable = wxString::FromUTF8(text.data(), text.size());
    return printable.empty() ? wxString(text.data(), wxConvISO8859_1, text.size()) : printable;
}
} // namespace

void LogFailure(const wxString& what, const Failure& failure) {
    const wxString rule = failure.set ? wxString::FromUTF8(failure.rule.c_str()) : "failed";
    if (failure.set && !failure.entry.empty())
        wxLogError("%s: entry \"%s\": %s", what, Printable(failure.entry), rule);
    else
        wxLogError("%s: %s", what, rule);
}

bool ReadFully(int fd, void* buffer, size_t size, uint64_t offset) {
    auto* p = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}

} // namespace Archive
} // namespace KwaCore
