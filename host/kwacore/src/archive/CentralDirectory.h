// Reading and validating the central directory of an archive being unpacked.
// Every entry is checked before anything is written; the records are then read
// a second time, one at a time, for the unpacking itself, so memory holds only a
// small fixed-size record per entry (its span in the file and a hash of its name).
#pragma once

#include "ArchiveInput.h"

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace KwaCore {
namespace Archive {

// One checked entry of the central directory.
struct EntryInfo {
    std::string name;    // as stored in the archive
    std::string path;    // without "." segments and trailing '/'; empty: the target itself
    uint64_t offset = 0; // of the local header
    uint64_t size = 0;
    uint64_t compressedSize = 0;
    uint64_t recordAt = 0; // of the central record
    uint32_t crc = 0;
    uint32_t dosTime = 0;
    uint16_t method = MethodStore;
    mode_t mode = 0; // capped permission bits
    bool directory = false;
};

// What the entries need on disk.
struct Needs {
    uint64_t blockSize = 4096; // the target's, to round file sizes up
    uint64_t bytes = 0;
    uint64_t inodes = 0;
};

class CentralDirectory {
public:
    CentralDirectory(ArchiveInput& input, int fd, uint64_t archiveSize, Failure& failure)
        : input_(input), fd_(fd), archiveSize_(archiveSize), failure_(failure) {}

    // Finds the end records; false (failure set) when there are none to trust.
    bool Locate();
    uint64_t Count() const { return count_; }
    // Checks every entry, its local header and its place in the file (inside the
    // entry data, overlapping no other), and that no two name the same path; adds
    // up what the entries need on disk.
    bool Validate(Needs& needs);
    // The next entry, from the first one after Rewind; false at a refusal
    // (failure set) or after the last one.
    void Rewind();
    bool Next(EntryInfo& entry);

private:
    bool NoFileIsADirectory(const std::vector<std::pair<uint64_t, uint64_t>>& paths);
    bool Parse(const unsigned char* p, size_t available, size_t& used, EntryInfo& entry);
    bool CheckLocalHeader(const EntryInfo& entry, uint64_t& end);
    bool NameAt(uint64_t recordAt, EntryInfo& entry);
    std::string NameOfEntryAt(uint64_t offset);

    ArchiveInput& input_;
    int fd_;
    uint64_t archiveSize_;
    Failure& failure_;
    uint64_t count_ = 0;
    uint64_t start_ = 0;
    uint64_t size_ = 0;
    uint64_t end_ = 0; // where the end records begin
    // Reading position of Next.
    std::vector<unsigned char> buffer_;
    uint64_t position_ = 0;
    size_t have_ = 0;
    size_t at_ = 0;
    uint64_t read_ = 0;
};

} // namespace Archive
} // namespace KwaCore
