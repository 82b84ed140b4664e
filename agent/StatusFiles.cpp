// kwagent status: installed, waiting and made bundles, the web server logs and
// their generations, and the last agent events.
#include "StatusParts.h"

#include "Text.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace Agent {
namespace Status {

namespace fs = std::filesystem;

namespace {

// Names in a directory, sorted; nothing when it cannot be listed.
std::vector<std::string> Names(const fs::path& directory) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(directory, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string BundleName(const std::string& archive) {
    const auto dot = archive.rfind('.');
    return dot == std::string::npos ? archive : archive.substr(0, dot);
}

Json ArchivesIn(const fs::path& directory, const fs::path& markers, bool skipInstalled) {
    Json list = Json::array();
    for (const auto& name : Names(directory)) {
        uint64_t size = 0;
        if (!IsBundleArchiveName(name) || !IsRegularFile(directory / name, &size))
            continue;
        if (skipInstalled && IsDirectory(markers / BundleName(name)))
            continue;
        Json archive;
        archive["name"] = BundleName(name);
        archive["path"] = (directory / name).string();
        archive["size"] = size;
        list.push_back(archive);
    }
    return list;
}

} // namespace

bool IsBundleArchiveName(const std::string& name) {
    static const std::string prefix = "kwupdate_";
    static const std::string suffix = ".zip";
    return name.size() >= prefix.size() + suffix.size() && name.rfind(prefix, 0) == 0 &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

Json BundleFacts(const fs::path& work, const std::string& programDir) {
    const fs::path markers = work / "bundle";
    Json facts;
    Json installed = Json::array();
    for (const auto& name : Names(markers))
        if (name != "tmp" && name.rfind('.', 0) != 0 && IsDirectory(markers / name))
            installed.push_back(name);
    facts["installed"] = installed;
    // Archives beside the agent: the program directory, then the one above it,
    // as the relay searches them.
    Json waiting = Json::array();
    if (!programDir.empty() && IsDirectory(programDir)) {
        const fs::path program(programDir);
        for (auto& archive : ArchivesIn(program, markers, true))
            waiting.push_back(archive);
        const fs::path parent = program.parent_path();
        if (!parent.empty() && parent != program)
            for (auto& archive : ArchivesIn(parent, markers, true))
                waiting.push_back(archive);
    }
    facts["waiting"] = waiting;
    facts["made"] = ArchivesIn(work, markers, false);
    return facts;
}

namespace {

fs::path Generation(const fs::path& log, int n) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%02d", n);
    return log.parent_path() / (log.stem().string() + suffix + log.extension().string());
}

} // namespace

Json LogFacts(const fs::path& log, bool isErrorLog) {
    Json facts;
    facts["path"] = log.string();
    uint64_t size = 0;
    const bool exists = IsRegularFile(log, &size);
    facts["size"] = exists ? Json(size) : Json(nullptr);
    facts["above_rotation"] = exists && size > RotationSize;
    facts["above_protection"] = isErrorLog && exists && size > ProtectionSize;
    Json generations = Json::array();
    for (int n = 1; n <= GenerationsKept; ++n)
        if (IsRegularFile(Generation(log, n)))
            generations.push_back(n);
    facts["generations"] = generations;
    return facts;
}

namespace {

// The last lines of a file, at most count of them; a line cut by the start of
// the part read is dropped.
std::vector<std::string> LastLines(const fs::path& path, size_t count) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    if (!in || count == 0)
        return lines;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    std::streamoff chunk = 64 * 1024;
    for (;;) {
        const std::streamoff start = size > chunk ? size - chunk : 0;
        in.clear();
        in.seekg(start);
        std::string text(static_cast<size_t>(size - start), '\0');
        in.read(&text[0], static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<size_t>(in.gcount()));
        std::vector<std::string> all;
        std::istringstream split(text);
        std::string line;
        while (std::getline(split, line))
            all.push_back(line);
        if (start > 0 && !all.empty())
            all.erase(all.begin());
        if (all.size() >= count || start == 0 || chunk >= (64 << 20)) {
            const size_t first = all.size() > count ? all.size() - count : 0;
            lines.assign(all.begin() + static_cast<std::ptrdiff_t>(first), all.end());
            return lines;
        }
        chunk *= 4;
    }
}

} // namespace

Json EventFacts(const fs::path& eventsLog, int count) {
    Json events = Json::array();
    if (count <= 0)
        return events;
    // A few more lines than events: a broken line is skipped, not counted.
    const size_t wanted = static_cast<size_t>(count);
    for (const auto& line : LastLines(eventsLog, wanted * 2 + 16)) {
        const Json record = Json::parse(line, nullptr, false);
        if (record.is_discarded() || !record.is_object() || !record.contains("id") ||
            !record["id"].is_number_integer())
            continue;
        Json event;
        event["time"] = record.value("time", "");
        event["id"] = record["id"];
        event["meaning"] = EventMeaning(record["id"].get<int>());
        if (record.contains("text") && record["text"].is_string())
            event["text"] = record["text"];
        events.push_back(event);
    }
    if (events.size() > wanted)
        events.erase(events.begin(),
                     events.begin() + static_cast<std::ptrdiff_t>(events.size() - wanted));
    return events;
}

} // namespace Status
} // namespace Agent
