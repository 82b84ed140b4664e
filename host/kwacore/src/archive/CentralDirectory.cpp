// Reading and validating the central directory: the end records, each entry's
// record (name, method, encryption, type, sizes), its local header, where its
// data lies, and duplicate names. Refusals say which rule an entry broke.
#include "CentralDirectory.h"

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <string_view>

namespace KwaCore {
namespace Archive {

namespace {
constexpr size_t BufferSize = 1 << 20;
// Whole records (at most 46 + 3 * 65535 bytes) stay in view while parsing.
constexpr size_t LargestRecord = CentralHeaderSize + 3 * 0xffff;

const char* TypeName(mode_t type) {
    switch (type) {
    case S_IFLNK:
        return "link entry";
    case S_IFCHR:
        return "device entry";
    case S_IFBLK:
        return "device entry";
    case S_IFIFO:
        return "named pipe entry";
    case S_IFSOCK:
        return "socket entry";
    default:
        return "entry of unknown type";
    }
}
} // namespace

bool CentralDirectory::Locate() {
    if (archiveSize_ < EndOfCentralSize)
        return failure_.Fail("", "not a zip archive (too short)");
    const size_t tailSize = size_t(std::min<uint64_t>(archiveSize_, EndOfCentralSize + 0xffff));
    std::vector<unsigned char> tail(tailSize);
    const uint64_t tailStart = archiveSize_ - tailSize;
    if (!ReadFully(fd_, tail.data(), tailSize, tailStart))
        return failure_.Fail("", "cannot read the archive");
    // The end record: its comment must reach exactly to the end of the file.
    size_t at = std::string::npos;
    for (size_t i = tailSize - EndOfCentralSize + 1; i-- > 0;) {
        const unsigned char* p = tail.data() + i;
        if (Get32(p) == EndOfCentralSignature && i + EndOfCentralSize + Get16(p + 20) == tailSize) {
            at = i;
            break;
        }
    }
    if (at == std::string::npos)
        return failure_.Fail("", "not a zip archive or truncated (no end of central directory)");
    const unsigned char* end = tail.data() + at;
    if (Get16(end + 4) != 0 || Get16(end + 6) != 0)
        return failure_.Fail("", "split archives are not supported");
    count_ = Get16(end + 10);
    size_ = Get32(end + 12);
    start_ = Get32(end + 16);
    end_ = tailStart + at;
    if (end_ >= Zip64LocatorSize) {
        unsigned char locator[Zip64LocatorSize];
        if (!ReadFully(fd_, locator, sizeof(locator), end_ - Zip64LocatorSize))
            return failure_.Fail("", "cannot read the archive");
        if (Get32(locator) == Zip64LocatorSignature) {
            const uint64_t recordAt = Get64(locator + 8);
            unsigned char record[Zip64EndOfCentralSize];
            if (recordAt + Zip64EndOfCentralSize > end_ - Zip64LocatorSize ||
                !ReadFully(fd_, record, sizeof(record), recordAt) ||
                Get32(record) != Zip64EndOfCentralSignature)
                return failure_.Fail("", "truncated or damaged (zip64 end record)");
            count_ = Get64(record + 32);
            size_ = Get64(record + 40);
            start_ = Get64(record + 48);
            end_ = recordAt;
        }
    }
    if (start_ > end_ || size_ > end_ - start_ || count_ > size_ / CentralHeaderSize)
        return failure_.Fail("", "truncated or damaged (central directory outside the file)");
    Rewind();
    return true;
}

void CentralDirectory::Rewind() {
    buffer_.resize(BufferSize);
    position_ = start_;
    have_ = at_ = 0;
    read_ = 0;
}

bool CentralDirectory::Next(EntryInfo& entry) {
    if (read_ >= count_) {
        if (at_ != have_ || position_ != start_ + size_)
            return failure_.Fail("", "damaged central directory (size and count disagree)");
        return false;
    }
    if (have_ - at_ < LargestRecord && position_ < start_ + size_) {
        std::memmove(buffer_.data(), buffer_.data() + at_, have_ - at_);
        have_ -= at_;
        at_ = 0;
        const size_t want =
            size_t(std::min<uint64_t>(BufferSize - have_, start_ + size_ - position_));
        if (!ReadFully(fd_, buffer_.data() + have_, want, position_))
            return failure_.Fail("", "cannot read the archive");
        have_ += want;
        position_ += want;
    }
    entry.recordAt = position_ - (have_ - at_);
    size_t used = 0;
    if (!Parse(buffer_.data() + at_, have_ - at_, used, entry))
        return false;
    at_ += used;
    ++read_;
    return true;
}

bool CentralDirectory::Parse(const unsigned char* p, size_t available, size_t& used,
                             EntryInfo& entry) {
    if (available < CentralHeaderSize || Get32(p) != CentralHeaderSignature)
        return failure_.Fail("", "truncated or damaged central directory");
    const uint16_t madeBy = Get16(p + 4);
    const uint16_t flags = Get16(p + 8);
    const uint16_t method = Get16(p + 10);
    uint64_t compressedSize = Get32(p + 20);
    uint64_t size = Get32(p + 24);
    const size_t nameLength = Get16(p + 28);
    const size_t extraLength = Get16(p + 30);
    const size_t commentLength = Get16(p + 32);
    const uint32_t external = Get32(p + 38);
    uint64_t offset = Get32(p + 42);
    used = CentralHeaderSize + nameLength + extraLength + commentLength;
    if (used > available)
        return failure_.Fail("", "truncated or damaged central directory");
    entry.name.assign(reinterpret_cast<const char*>(p + CentralHeaderSize), nameLength);
    const std::string& name = entry.name;

    // Zip64 fields stand in for the header fields that hold all ones.
    const unsigned char* extra = p + CentralHeaderSize + nameLength;
    for (size_t i = 0; i + 4 <= extraLength;) {
        const uint16_t id = Get16(extra + i);
        const size_t length = Get16(extra + i + 2);
        if (i + 4 + length > extraLength)
            return failure_.Fail(name, "damaged extra field");
        if (id == Zip64ExtraId) {
            const unsigned char* field = extra + i + 4;
            size_t left = length;
            auto take = [&](uint64_t& value) {
                if (value != Max32)
                    return true;
                if (left < 8)
                    return false;
                value = Get64(field);
                field += 8;
                left -= 8;
                return true;
            };
            if (!take(size) || !take(compressedSize) || !take(offset))
                return failure_.Fail(name, "damaged zip64 extra field");
        }
        i += 4 + length;
    }

    if (method == MethodAes)
        return failure_.Fail(name, "encrypted (AES)");
    if (flags & FlagStrongEncryption)
        return failure_.Fail(name, "encrypted (strong encryption)");
    if (flags & FlagEncrypted)
        return failure_.Fail(name, "encrypted (ZipCrypto)");
    if (method != MethodStore && method != MethodDeflate)
        return failure_.Fail(name, "unsupported compression method " + MethodText(method));
    const bool unixMode = (madeBy >> 8) == SystemUnix;
    const mode_t type = unixMode ? mode_t((external >> 16) & S_IFMT) : 0;
    if (type != 0 && type != S_IFREG && type != S_IFDIR)
        return failure_.Fail(name, TypeName(type));
    entry.directory = type == S_IFDIR || (external & 0x10) || (!name.empty() && name.back() == '/');
    entry.path = name;
    if (entry.directory && !entry.path.empty() && entry.path.back() == '/')
        entry.path.pop_back();
    if (const char* rule = NormalizeName(entry.path))
        return failure_.Fail(name, rule);
    if (entry.path.empty() && !entry.directory)
        return failure_.Fail(name, "unsafe name (names the target)");
    const mode_t permissions = unixMode ? mode_t((external >> 16) & 0777) : 0;
    if (entry.directory) {
        entry.mode = unixMode ? (0700 | (permissions & 0011)) : 0711;
        if (size != 0)
            return failure_.Fail(name, "directory entry with data");
    } else {
        entry.mode = unixMode ? (0600 | (permissions & 0044)) : 0644;
        if (method == MethodStore && size != compressedSize)
            return failure_.Fail(name, "size mismatch (stored entry)");
    }
    // The entry's data must end before the central directory (compared without
    // sums, which 64-bit sizes could wrap).
    if (offset > start_ || compressedSize > start_ - offset ||
        LocalHeaderSize > start_ - offset - compressedSize)
        return failure_.Fail(name, "data outside the archive's entry data");
    entry.offset = offset;
    entry.size = size;
    entry.compressedSize = compressedSize;
    entry.crc = Get32(p + 16);
    entry.method = method;
    entry.dosTime = Get32(p + 12);
    return true;
}

// The local header must name the entry as its central record does; returns
// where the entry's data ends.
bool CentralDirectory::CheckLocalHeader(const EntryInfo& entry, uint64_t& end) {
    const unsigned char* header = input_.View(entry.offset, LocalHeaderSize);
    if (header == nullptr || Get32(header) != LocalHeaderSignature)
        return failure_.Fail(entry.name, "truncated or damaged (no local header)");
    const size_t nameLength = Get16(header + 26);
    const uint64_t dataAt = entry.offset + LocalHeaderSize + nameLength + Get16(header + 28);
    const unsigned char* name = input_.View(entry.offset + LocalHeaderSize, nameLength);
    if (name == nullptr || nameLength != entry.name.size() ||
        std::memcmp(name, entry.name.data(), nameLength) != 0)
        return failure_.Fail(entry.name, "local header names another file");
    if (dataAt > start_ || entry.compressedSize > start_ - dataAt)
        return failure_.Fail(entry.name, "data outside the archive's entry data");
    end = dataAt + entry.compressedSize;
    return true;
}

bool CentralDirectory::Validate(Needs& needs) {
    // Spans of the entries in the file, and a hash of each path with the
    // position of its record (to compare the paths themselves on a match).
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    std::vector<std::pair<uint64_t, uint64_t>> paths;
    spans.reserve(size_t(count_));
    paths.reserve(size_t(count_));
    const std::hash<std::string_view> hash;
    EntryInfo entry;
    while (Next(entry)) {
        uint64_t end = 0;
        if (!CheckLocalHeader(entry, end))
            return false;
        spans.emplace_back(entry.offset, end);
        if (entry.path.empty())
            continue; // the target itself
        paths.emplace_back(hash(entry.path), entry.recordAt);
        needs.inodes += 1;
        if (entry.directory)
            needs.bytes += needs.blockSize;
        else
            needs.bytes += (entry.size + needs.blockSize - 1) / needs.blockSize * needs.blockSize;
    }
    if (failure_.set)
        return false;

    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i)
        if (spans[i].first < spans[i - 1].second)
            return failure_.Fail(NameOfEntryAt(spans[i].first),
                                 "overlaps entry \"" + NameOfEntryAt(spans[i - 1].first) + "\"");
    std::vector<std::pair<uint64_t, uint64_t>>().swap(spans);

    std::sort(paths.begin(), paths.end());
    EntryInfo first, second;
    for (size_t i = 1; i < paths.size(); ++i) {
        if (paths[i].first != paths[i - 1].first)
            continue;
        for (size_t j = i; j-- > 0 && paths[j].first == paths[i].first;) {
            if (!NameAt(paths[j].second, first) || !NameAt(paths[i].second, second))
                return false;
            if (first.path == second.path)
                return failure_.Fail(second.name, "duplicate of entry \"" + first.name + "\"");
        }
    }
    return NoFileIsADirectory(paths);
}

// No entry lies below a file entry ("a" and "a/b"): writers working side by side
// would otherwise decide which of the two is refused. paths is sorted by hash.
bool CentralDirectory::NoFileIsADirectory(const std::vector<std::pair<uint64_t, uint64_t>>& paths) {
    const std::hash<std::string_view> hash;
    EntryInfo entry, parent;
    Rewind();
    while (Next(entry)) {
        const std::string_view path(entry.path);
        for (size_t slash = path.find('/'); slash != std::string_view::npos;
             slash = path.find('/', slash + 1)) {
            const std::string_view dir = path.substr(0, slash);
            auto at = std::lower_bound(paths.begin(), paths.end(),
                                       std::make_pair(uint64_t(hash(dir)), uint64_t(0)));
            for (; at != paths.end() && at->first == hash(dir); ++at) {
                if (!NameAt(at->second, parent))
                    return false;
                if (!parent.directory && parent.path == dir)
                    return failure_.Fail(entry.name, "lies below the file \"" + parent.name + "\"");
            }
        }
    }
    if (failure_.set)
        return false;
    Rewind();
    return true;
}

// The entry whose record lies at recordAt (records were all checked before).
bool CentralDirectory::NameAt(uint64_t recordAt, EntryInfo& entry) {
    std::vector<unsigned char> record(LargestRecord);
    const size_t length = size_t(std::min<uint64_t>(LargestRecord, start_ + size_ - recordAt));
    size_t used = 0;
    return ReadFully(fd_, record.data(), length, recordAt) &&
           Parse(record.data(), length, used, entry);
}

std::string CentralDirectory::NameOfEntryAt(uint64_t offset) {
    Rewind();
    EntryInfo entry;
    while (Next(entry))
        if (entry.offset == offset)
            return entry.name;
    return std::string();
}

} // namespace Archive
} // namespace KwaCore
