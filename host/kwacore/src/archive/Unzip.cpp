// KwaCore::Unzip: unpacks a zip archive into a directory, refusing any archive
// that would write outside it, and the entry reader.
//
// The archive is opened without blocking and must be a regular file. Its central
// directory is read and every entry checked before anything is written
// (CentralDirectory), and the target's file system must have room for what the
// entries declare. Then the calling thread walks the entries in archive order,
// asks the callback about each (wxZipInputStream walks the same central
// directory to give it its wxZipEntry), creates the directories itself and
// hands the files out to one worker per processor (EntryWorkers), so that
// several entries are inflated, checked and written at once. Each worker reads
// through windows of its own over the archive's descriptor (stored data is
// copied, deflated data inflated (Codec.h); sizes are checked) and feeds a
// writer thread of its own that checks the CRC and writes (EntryPlacement): one
// large entry, whose deflate stream only one thread can inflate, still keeps
// two cores busy. Every failure is one error line in the log naming the
// archive, the entry and the rule; it stops every worker.
//
// wx's own read path zeroes every buffer it is handed and reads through 16 KiB
// steps, which made a plain wxZipInputStream loop twice as slow as Info-ZIP's
// unzip on many small files; reading the data directly avoids both.
#include "CentralDirectory.h"
#include "Codec.h"
#include "EntryPlacement.h"
#include "EntryWorkers.h"

#include <wx/filename.h>
#include <wx/zipstrm.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace KwaCore {

namespace {

using namespace Archive;

// Room kept free beyond what the entries declare.
constexpr uint64_t SpaceMargin = 1 << 20;

// Reads the entry's data (stored or deflated), checks its size and hands it to
// the writer piece by piece; the writer checks the checksum as it writes (the
// two threads share the work that way). A piece marked abandoned, a checksum
// that does not match, or a stop of the workers makes the writer remove what it
// wrote of the entry.
class EntryReader {
public:
    EntryReader(ArchiveInput& archive, WorkerPool& pool, Failure& failure)
        : archive_(archive), pool_(pool), failure_(failure) {}

    bool Ok() const { return inflater_.Ok(); }

    // Bytes of the last entry already counted as progress while it was read, so
    // that one large file does not hold the progress back until its end.
    uint64_t Streamed() const { return streamed_; }

    // The local header was checked with the central directory.
    bool Read(const EntryInfo& entry, Writer& writer, uint64_t& produced) {
        produced = 0;
        streamed_ = 0;
        const unsigned char* header = archive_.View(entry.offset, LocalHeaderSize);
        if (header == nullptr)
            return failure_.Fail(entry.name, "cannot read the archive");
        const uint64_t dataAt =
            entry.offset + LocalHeaderSize + Get16(header + 26) + Get16(header + 28);
        return entry.method == MethodStore ? Copy(entry, dataAt, writer, produced)
                                           : Inflate(entry, dataAt, writer, produced);
    }

private:
    // The next piece of the entry; its first says what the entry is. Null once
    // the writer or another worker failed.
    Piece* Next(const EntryInfo& entry, Writer& writer, bool& first) {
        if (pool_.Stopped())
            return nullptr;
        Piece* piece = writer.Acquire();
        if (piece == nullptr)
            return nullptr;
        if (first) {
            piece->name = entry.name;
            piece->path = entry.path;
            piece->mode = entry.mode;
            piece->crc = entry.crc;
            piece->dosTime = entry.dosTime;
        }
        piece->first = first;
        piece->last = false;
        first = false;
        return piece;
    }

    bool Finish(const EntryInfo& entry, Piece& piece, Writer& writer, const char* broken) {
        piece.last = broken == nullptr;
        piece.abandon = broken != nullptr;
        if (broken != nullptr) {
            writer.Push();
            return failure_.Fail(entry.name, broken);
        }
        return piece.first ? writer.PushWhole() : (writer.Push(), true);
    }

    bool Copy(const EntryInfo& entry, uint64_t at, Writer& writer, uint64_t& produced) {
        uint64_t left = entry.size;
        bool first = true;
        do {
            Piece* piece = Next(entry, writer, first);
            if (piece == nullptr)
                return false;
            const size_t n = size_t(std::min<uint64_t>(PieceSize, left));
            if (!archive_.ReadAt(at + produced, piece->data.data(), n))
                return Finish(entry, *piece, writer, "truncated");
            piece->length = n;
            produced += n;
            left -= n;
            if (left == 0)
                return Finish(entry, *piece, writer, nullptr);
            writer.Push();
            Stream(n);
        } while (true);
    }

    bool Inflate(const EntryInfo& entry, uint64_t at, Writer& writer, uint64_t& produced) {
        Inflater& z = inflater_;
        if (!z.Reset())
            return failure_.Fail(entry.name, "inflate failed");
        uint64_t inLeft = entry.compressedSize;
        bool first = true;
        bool end = false;
        while (!end) {
            Piece* piece = Next(entry, writer, first);
            if (piece == nullptr)
                return false;
            bool broken = false;
            while (piece->length < PieceSize && !end && !broken) {
                if (z.InputLeft() == 0 && inLeft > 0) {
                    const size_t n = size_t(std::min<uint64_t>(inLeft, WindowSize / 4));
                    const unsigned char* input = archive_.View(at, n);
                    if (input == nullptr) {
                        broken = true;
                        break;
                    }
                    z.Input(input, n);
                    at += n;
                    inLeft -= n;
                }
                const size_t before = z.InputLeft();
                size_t made = 0;
                const Inflater::Result rc =
                    z.Run(piece->data.data() + piece->length, PieceSize - piece->length, made);
                piece->length += made;
                if (rc == Inflater::Result::End)
                    end = true;
                else if (rc == Inflater::Result::Broken)
                    broken = true; // corrupt data
                else if (made == 0 && before == z.InputLeft() && inLeft == 0)
                    broken = true; // the data ends before the stream does
            }
            produced += piece->length;
            if (broken)
                return Finish(entry, *piece, writer, "truncated or damaged deflate data");
            if (produced > entry.size || (end && produced != entry.size))
                return Finish(entry, *piece, writer, "size mismatch");
            if (end)
                return Finish(entry, *piece, writer, nullptr);
            const size_t made = piece->length;
            writer.Push();
            Stream(made);
        }
        return false;
    }

    void Stream(uint64_t bytes) {
        pool_.Count(0, bytes);
        streamed_ += bytes;
    }

    ArchiveInput& archive_;
    WorkerPool& pool_;
    Failure& failure_;
    uint64_t streamed_ = 0;
    Inflater inflater_;
};

// One worker's byte work: its own windows over the archive, its own inflate
// stream and its own writer thread.
class UnpackWork : public EntryWork {
public:
    UnpackWork(int archiveFd, uint64_t archiveSize, int rootFd, WorkerPool& pool, Failure& failure)
        : input_(archiveFd, archiveSize), reader_(input_, pool, failure), writer_(rootFd),
          pool_(pool), failure_(failure) {
        if (!reader_.Ok())
            throw std::bad_alloc();
        writer_.Start();
    }

    bool Unpack(const EntryInfo& entry) override {
        uint64_t produced = 0;
        if (!reader_.Read(entry, writer_, produced))
            return false;
        pool_.Count(1, produced - reader_.Streamed());
        return true;
    }

    bool Finish() override {
        if (writer_.Finish())
            return true;
        failure_ = writer_.Why(); // the writer's reason comes first
        return false;
    }

private:
    ArchiveInput input_;
    EntryReader reader_;
    Writer writer_;
    WorkerPool& pool_;
    Failure& failure_;
};

// The target's file system must hold what the entries declare: bytes against
// the space available to this process, entries against the free inodes.
// (Compressing file systems can fool the estimate; a failed write still ends
// the unpacking cleanly.)
bool CheckRoom(int rootFd, const Needs& needs, Failure& failure) {
    struct statvfs fs {};
    if (::fstatvfs(rootFd, &fs) != 0)
        return true;
    const uint64_t blocks = ::geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
    const uint64_t available = blocks * uint64_t(fs.f_frsize);
    if (needs.bytes > available || available - needs.bytes < SpaceMargin)
        return failure.Fail("", "not enough free space (" + std::to_string(needs.bytes) +
                                    " bytes needed, " + std::to_string(available) + " available)");
    if (fs.f_files != 0 && needs.inodes > fs.f_favail)
        return failure.Fail("", "not enough free inodes (" + std::to_string(needs.inodes) +
                                    " needed, " + std::to_string(fs.f_favail) + " available)");
    return true;
}

bool Extract(const wxFileName& archive, const wxFileName& target, UnzipCallback callback,
             void* context, Failure& failure) {
    const std::string archivePath = FileSystemPath(archive);
    const std::string targetPath = FileSystemPath(target);
    if (archivePath.empty() || targetPath.empty())
        return failure.Fail("", "no path");
    // A named pipe or a device in the archive's place must not block the call.
    UniqueFd in(::open(archivePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat info {};
    if (!in.Valid() || ::fstat(in.Get(), &info) != 0)
        return failure.Fail("", "cannot open: " + ErrorText(errno));
    if (!S_ISREG(info.st_mode))
        return failure.Fail("", "not a regular file");
    ::fcntl(in.Get(), F_SETFL, ::fcntl(in.Get(), F_GETFL) & ~O_NONBLOCK);
    UniqueFd root(::open(targetPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.Valid())
        return failure.Fail("", "cannot open the target directory: " + ErrorText(errno));

    ArchiveInput stream(in.Get(), uint64_t(info.st_size));
    CentralDirectory directory(stream, in.Get(), uint64_t(info.st_size), failure);
    Needs needs;
    struct statvfs fs {};
    if (::fstatvfs(root.Get(), &fs) == 0 && fs.f_frsize > 0)
        needs.blockSize = fs.f_frsize;
    if (!directory.Locate())
        return false;
    // The entry count is checked before the validation allocates for it.
    if (!CheckRoom(root.Get(), Needs{needs.blockSize, 0, directory.Count()}, failure) ||
        !directory.Validate(needs) || !CheckRoom(root.Get(), needs, failure))
        return false;

    ProgressReporter progress(false, archive);
    // wx walks the same central directory and gives the callback its entries.
    wxZipInputStream zip(stream, wxConvUTF8);
    const wxString targetText =
        target.IsDir() ? target.GetPath(wxPATH_GET_VOLUME) : target.GetFullPath();
    // Directories are made here, in archive order, before the files in them are
    // handed out; the workers place the files.
    TargetTree tree(root.Get());
    WorkerPool pool(progress);
    const int archiveFd = in.Get(), rootFd = root.Get();
    const uint64_t archiveSize = uint64_t(info.st_size);
    pool.Start(WorkerPool::WorkerCount(directory.Count()), [=](WorkerPool& workers,
                                                               Failure& workerFailure) {
        return std::make_unique<UnpackWork>(archiveFd, archiveSize, rootFd, workers, workerFailure);
    });
    bool ok = true;
    EntryInfo entry;
    while (ok && directory.Next(entry)) {
        if (callback != nullptr) {
            std::unique_ptr<wxZipEntry> zipEntry(zip.GetNextEntry());
            if (!zipEntry || uint64_t(zipEntry->GetOffset()) != entry.offset) {
                ok = failure.Fail(entry.name, "damaged central directory");
                break;
            }
            const wxString path =
                targetText + wxFILE_SEP_PATH + wxString::FromUTF8(entry.path.c_str());
            if (!callback(context, zipEntry.get(), path.wc_str())) {
                ok = failure.Fail(entry.name, "stopped by the caller");
                break;
            }
        }
        if (entry.path.empty())
            continue; // the target itself ("./"): it exists already
        if (!entry.directory) {
            ok = pool.Give(std::move(entry));
            continue;
        }
        if (tree.Directory(entry.path, entry.mode) < 0)
            ok = failure.Fail(entry.name, "cannot create the directory: " + ErrorText(errno));
        else
            progress.Add(1, 0);
    }
    if (failure.set)
        pool.Fail(failure); // a refusal here, or the central directory not read again
    if (!pool.Finish(failure))
        return false;
    if (!ok || failure.set)
        return false;
    progress.Finish();
    return true;
}

} // namespace

bool Unzip(const wxFileName& archive, const wxFileName& target, UnzipCallback callback,
           void* context) {
    Failure failure;
    bool ok = false;
    try {
        ok = Extract(archive, target, callback, context, failure);
    } catch (...) {
        failure.Fail("", "out of memory");
    }
    if (!ok)
        LogFailure("Cannot unpack " + archive.GetFullPath(), failure);
    return ok;
}

} // namespace KwaCore
