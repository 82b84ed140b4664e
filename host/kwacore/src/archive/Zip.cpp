// KwaCore::Zip: packs a directory tree into a zip archive. The walk offers each
// entry to the callback, refuses names the unpacking would refuse, and feeds the
// files to the packer's jobs. The archive is written beside its final name and
// renamed into place only once it is complete; a failure is one error line in
// the log naming the file and the reason.
#include "DirectoryEntries.h"
#include "ZipPacker.h"

#include <wx/filename.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace KwaCore {

namespace Archive {

size_t Packer::NewEntry(const std::string& name, const struct stat& info, bool directory) {
    Entry entry;
    entry.name = name;
    entry.dosTime = ToDosTime(info.st_mtime);
    const uint32_t type = directory ? S_IFDIR : S_IFREG;
    uint32_t attributes = (type | (info.st_mode & 07777)) << 16;
    if (directory)
        attributes |= 0x10; // MS-DOS directory
    if (!(info.st_mode & S_IWUSR))
        attributes |= 0x01; // MS-DOS read-only
    entry.externalAttributes = attributes;
    // The UTF-8 flag only where the name is UTF-8: other tools decode a flagged
    // name strictly, and bytes without that form are kept as they are.
    for (unsigned char c : name)
        if (c >= 0x80) {
            if (!wxString::FromUTF8(name.data(), name.size()).empty())
                entry.flags |= FlagUtf8;
            break;
        }
    entry.zip64Local = !directory && uint64_t(info.st_size) >= Zip64LocalThreshold;
    entries_.push_back(std::move(entry));
    return firstEntry_ + entries_.size() - 1;
}

// Names the unpacking would refuse (a backslash, a control character, a drive
// letter) fail the archive: an archive that could not be unpacked is no archive.
bool Packer::CheckName(const std::string& name, bool directory) {
    std::string path = directory ? name.substr(0, name.size() - 1) : name;
    if (const char* rule = NormalizeName(path))
        return failure_.Fail(name, std::string("a name the unpacking refuses: ") + rule);
    if (name.size() > Max16)
        return failure_.Fail(name, "name longer than a zip entry can hold");
    return true;
}

ZipAction Packer::Ask(const std::string& name) {
    if (callback_ == nullptr)
        return ZipAction::Include;
    wxString path = wxString::FromUTF8(name.data(), name.size());
    if (path.empty())
        path = wxString(name.data(), wxConvISO8859_1, name.size());
    return callback_(context_, path.wc_str());
}

bool Packer::AddDirectory(const std::string& name, const struct stat& info) {
    Job& job = CurrentJob(0);
    if (failed_)
        return false;
    Item item;
    item.directory = true;
    item.entry = NewEntry(name, info, true);
    job.items.push_back(item);
    return true;
}

// Reads exactly length bytes; false when the file ends early or fails.
bool ReadChunk(int fd, unsigned char* data, size_t length) {
    size_t got = 0;
    while (got < length) {
        const ssize_t n = ::read(fd, data + got, length - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += size_t(n);
    }
    return true;
}

bool Packer::AddFile(int directoryFd, const char* leaf, const std::string& name,
                     const struct stat& seen) {
    UniqueFd fd(::openat(directoryFd, leaf, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
    struct stat info {};
    if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0)
        return failure_.Fail(name, "cannot open: " + ErrorText(errno));
    if (!S_ISREG(info.st_mode) || info.st_ino != seen.st_ino || info.st_dev != seen.st_dev)
        return failure_.Fail(name, "replaced while being packed");
    const size_t entry = NewEntry(name, info, false);
    const bool storedByName = HasStoredExtension(name);
    const uint64_t size = uint64_t(info.st_size);

    if (size <= ChunkSize) {
        // A whole file: it shares a job with its neighbours.
        Job& job = CurrentJob(size_t(size));
        if (failed_)
            return false;
        Item item;
        item.entry = entry;
        item.deflate = !storedByName;
        item.mayStore = true;
        item.inOffset = job.inUsed;
        item.inLength = size_t(size);
        if (!ReadChunk(fd.Get(), job.in.data() + job.inUsed, item.inLength))
            return failure_.Fail(name, "shrank or could not be read while being packed");
        job.inUsed += item.inLength;
        job.items.push_back(item);
        return true;
    }

    // A large file: one job per chunk.
    SubmitCurrent();
    uint64_t done = 0;
    bool deflate = !storedByName;
    tailLength_ = 0;
    while (done < size) {
        Job& job = AcquireSlot();
        if (failed_)
            return false;
        Item item;
        item.entry = entry;
        item.first = done == 0;
        item.inLength = size_t(std::min<uint64_t>(ChunkSize, size - done));
        if (!ReadChunk(fd.Get(), job.in.data(), item.inLength)) {
            job.done = true;
            return failure_.Fail(name, "shrank or could not be read while being packed");
        }
        done += item.inLength;
        item.last = done == size;
        if (item.first && deflate)
            deflate = !LooksIncompressible(probe_, job.in.data(), item.inLength, probeScratch_);
        item.deflate = deflate;
        if (deflate && !item.first) {
            job.dictionary.resize(DictionarySize);
            std::memcpy(job.dictionary.data(), tail_.data(), tailLength_);
            job.dictionaryLength = tailLength_;
        }
        if (deflate && !item.last) {
            tail_.resize(DictionarySize);
            tailLength_ = std::min(item.inLength, DictionarySize);
            std::memcpy(tail_.data(), job.in.data() + item.inLength - tailLength_, tailLength_);
        }
        job.inUsed = item.inLength;
        job.items.push_back(item);
        Submit(job);
    }
    return true;
}

bool Packer::Walk(int directoryFd, const std::string& prefix, int depth) {
    if (depth > MaxDepth)
        return failure_.Fail(prefix, "more than 200 directories deep");
    std::vector<std::string> names;
    {
        std::vector<Kwa::DirectoryEntry> entries;
        if (!Kwa::ListDirectory(directoryFd, entries))
            return failure_.Fail(prefix, "cannot list the directory: " + ErrorText(errno));
        names.reserve(entries.size());
        for (auto& entry : entries)
            names.push_back(std::move(entry.name));
    }
    std::sort(names.begin(), names.end());
    for (const std::string& leaf : names) {
        struct stat info {};
        if (::fstatat(directoryFd, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue; // gone since the listing
            return failure_.Fail(prefix + leaf, "cannot read: " + ErrorText(errno));
        }
        if (S_ISDIR(info.st_mode)) {
            const std::string name = prefix + leaf + "/";
            const ZipAction action = Ask(name);
            if (action == ZipAction::Abort)
                return failure_.Fail(name, "stopped by the caller");
            if (action != ZipAction::Include)
                continue;
            if (!CheckName(name, true) || !AddDirectory(name, info))
                return false;
            UniqueFd sub(::openat(directoryFd, leaf.c_str(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!sub.Valid())
                return failure_.Fail(name, "cannot open: " + ErrorText(errno));
            if (!Walk(sub.Get(), name, depth + 1))
                return false;
        } else if (S_ISREG(info.st_mode)) {
            if (info.st_dev == archiveDevice_ && info.st_ino == archiveInode_)
                continue; // the archive being written
            const std::string name = prefix + leaf;
            const ZipAction action = Ask(name);
            if (action == ZipAction::Abort)
                return failure_.Fail(name, "stopped by the caller");
            if (action != ZipAction::Include)
                continue;
            if (!CheckName(name, false) || !AddFile(directoryFd, leaf.c_str(), name, info))
                return false;
        }
        // Links, sockets, pipes and devices are never packed.
    }
    return !failed_;
}

bool Packer::Run(const std::string& archivePath, const std::string& sourcePath) {
    if (archivePath.empty() || sourcePath.empty())
        return failure_.Fail("", "no path");
    UniqueFd source(::open(sourcePath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!source.Valid())
        return failure_.Fail("", "cannot open the source directory: " + ErrorText(errno));

    const std::string partPath = archivePath + ".part";
    ::unlink(partPath.c_str());
    UniqueFd out(
        ::open(partPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!out.Valid())
        return failure_.Fail("", "cannot create " + partPath + ": " + ErrorText(errno));
    const size_t slash = archivePath.rfind('/');
    central_ = std::make_unique<CentralRecords>(
        slash == std::string::npos ? std::string(".") : archivePath.substr(0, slash + 1));
    struct stat outInfo {};
    ::fstat(out.Get(), &outInfo);
    archiveDevice_ = outInfo.st_dev;
    archiveInode_ = outInfo.st_ino;
    output_ = std::make_unique<Output>(out.Get());

    bool ok = probe_.Ok() && StartWorkers();
    ok = ok && Walk(source.Get(), std::string(), 0);
    ok = ok && Drain() && WriteCentralDirectory();
    // After a failure the workers drop what is queued and finish what they hold.
    StopWorkers();
    if (ok && ::close(out.Release()) != 0)
        ok = false;
    ok = ok && ::rename(partPath.c_str(), archivePath.c_str()) == 0;
    if (!ok && !failure_.set)
        failure_.Fail("", "cannot write the archive: " + ErrorText(errno));
    if (!ok) {
        out.Reset();
        ::unlink(partPath.c_str());
        return false;
    }
    progress_.Finish();
    return true;
}

} // namespace Archive

bool Zip(const wxFileName& archive, const wxFileName& source, ZipCallback callback, void* context) {
    Archive::Failure failure;
    bool ok = false;
    try {
        const std::string archivePath = Archive::FileSystemPath(archive);
        const std::string sourcePath = Archive::FileSystemPath(source);
        Archive::Packer packer(callback, context, archive);
        ok = packer.Run(archivePath, sourcePath);
        failure = packer.Why();
    } catch (...) {
        failure.Fail("", "out of memory");
    }
    if (!ok) {
        const wxString sourceText =
            source.IsDir() ? source.GetPath(wxPATH_GET_VOLUME) : source.GetFullPath();
        Archive::LogFailure("Cannot pack " + sourceText + " into " + archive.GetFullPath(),
                            failure);
    }
    return ok;
}

} // namespace KwaCore
