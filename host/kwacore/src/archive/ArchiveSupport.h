// Shared pieces of the core library's zip layer: file descriptor ownership, the
// little-endian record fields of the zip format, DOS times, progress reports, the
// rules an entry name must follow (the packer writes only names the unpacker
// takes) and the one log line that says why an archive failed.
#pragma once

#include "UniqueFd.h"
#include "WriteFully.h"

#include "KwaCore.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

class wxFileName;

namespace KwaCore {
namespace Archive {

using Kwa::UniqueFd;

// Record signatures and limits of the zip format.
constexpr uint32_t LocalHeaderSignature = 0x04034b50;
constexpr uint32_t CentralHeaderSignature = 0x02014b50;
constexpr uint32_t EndOfCentralSignature = 0x06054b50;
constexpr uint32_t Zip64EndOfCentralSignature = 0x06064b50;
constexpr uint32_t Zip64LocatorSignature = 0x07064b50;
constexpr uint16_t Zip64ExtraId = 0x0001;
constexpr size_t LocalHeaderSize = 30;
constexpr size_t CentralHeaderSize = 46;
constexpr size_t EndOfCentralSize = 22;
constexpr size_t Zip64EndOfCentralSize = 56;
constexpr size_t Zip64LocatorSize = 20;
constexpr uint32_t Max32 = 0xffffffffu;
constexpr uint16_t Max16 = 0xffffu;

constexpr uint16_t MethodStore = 0;
constexpr uint16_t MethodDeflate = 8;
constexpr uint16_t FlagEncrypted = 0x0001;
constexpr uint16_t FlagStrongEncryption = 0x0040;
constexpr uint16_t MethodAes = 99;
constexpr uint16_t FlagUtf8 = 0x0800;
constexpr uint8_t SystemUnix = 3;

inline uint16_t Get16(const unsigned char* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t Get32(const unsigned char* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t Get64(const unsigned char* p) {
    return Get32(p) | (uint64_t(Get32(p + 4)) << 32);
}

inline unsigned char* Put16(unsigned char* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    return p + 2;
}
inline unsigned char* Put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
    return p + 4;
}
inline unsigned char* Put64(unsigned char* p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = uint8_t(v >> (8 * i));
    return p + 8;
}

// Local time <-> DOS date (high 16 bits) and time (low 16 bits).
uint32_t ToDosTime(time_t when);
time_t FromDosTime(uint32_t dos);

// The path of a file name object (or of a directory object) in the bytes the
// file system takes.
std::string FileSystemPath(const wxFileName& name);

// Reports progress to the handler set by SetArchiveProgressHandler, if any.
class ProgressReporter {
public:
    ProgressReporter(bool packing, const wxFileName& archive);
    // Counts one entry and its bytes; reports now and then.
    void Add(uint64_t entries, uint64_t bytes);
    void Finish();

private:
    void Report(bool finished);

    bool active_ = false;
    bool packing_;
    std::wstring archive_;
    uint64_t entries_ = 0;
    uint64_t bytes_ = 0;
    uint64_t reportedEntries_ = 0;
    uint64_t reportedBytes_ = 0;
};

// Checks an entry name (a directory's without its trailing '/') and drops its
// "." segments; null when it is safe, else the rule it breaks. Safe names are
// relative, without ".." or empty segments, backslashes, control characters or a
// drive letter. An empty result names the target directory itself.
const char* NormalizeName(std::string& name);

// "12 (bzip2)": a compression method's number and name.
std::string MethodText(uint16_t method);
std::string ErrorText(int error);

// Why archive work failed: the entry, when there is one, and the rule. The first
// reason recorded wins.
struct Failure {
    std::string entry;
    std::string rule;
    bool set = false;
    // Records the reason (unless one is recorded) and returns false.
    bool Fail(const std::string& entryName, const std::string& why);
};
// One error line: what (e.g. "Cannot unpack /x.zip"), the entry, the rule.
void LogFailure(const wxString& what, const Failure& failure);

// Reads exactly size bytes at offset; false on an error or a short file.
bool ReadFully(int fd, void* buffer, size_t size, uint64_t offset);
using Kwa::WriteFully;
using Kwa::WriteFullyAt;

} // namespace Archive
} // namespace KwaCore
