// The archive writer of KwaCore::Zip: retiring finished jobs in archive order
// into the archive file, local headers (patched with the checksum and sizes once
// an entry is complete), the central directory and the end records, with Zip64
// records where sizes, offsets or counts need them.
#include "ZipPacker.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace KwaCore {
namespace Archive {

bool Output::Write(const void* data, size_t length) {
    if (used_ + length > buffer_.size()) {
        if (!Flush())
            return false;
        if (length >= buffer_.size()) {
            if (!WriteFully(fd_, data, length))
                return false;
            flushed_ += length;
            return true;
        }
    }
    std::memcpy(buffer_.data() + used_, data, length);
    used_ += length;
    return true;
}

bool Output::Patch(uint64_t offset, const void* data, size_t length) {
    if (offset >= flushed_ && offset + length <= flushed_ + used_) {
        std::memcpy(buffer_.data() + (offset - flushed_), data, length);
        return true;
    }
    if (offset + length > flushed_ && !Flush())
        return false;
    return WriteFullyAt(fd_, data, length, offset);
}

bool Output::Flush() {
    if (used_ > 0 && !WriteFully(fd_, buffer_.data(), used_))
        return false;
    flushed_ += used_;
    used_ = 0;
    return true;
}

bool Packer::RetireOldest() {
    Job& job = ring_[head_];
    {
        std::unique_lock<std::mutex> lock(mutex_);
        jobDone_.wait(lock, [&job] { return job.done; });
    }
    head_ = (head_ + 1) % ring_.size();
    --count_;
    if (failed_ || job.failed)
        return false;
    for (const Item& item : job.items)
        if (!Retire(job, item))
            return false;
    return true;
}

bool Packer::Retire(const Job& job, const Item& item) {
    Entry& entry = EntryAt(item.entry);
    if (item.directory) {
        progress_.Add(1, 0);
        return WriteLocalHeader(entry, true) && AddCentralRecord(entry);
    }
    const bool single = item.first && item.last;
    const uint64_t written = item.stored ? item.inLength : item.outLength;
    if (item.first) {
        entry.method = item.stored ? MethodStore : MethodDeflate;
        entry.crc = item.crc;
        entry.size = item.inLength;
        entry.compressedSize = written;
        if (!WriteLocalHeader(entry, single))
            return false;
    } else {
        entry.crc = Crc32Combine(entry.crc, item.crc, item.inLength);
        entry.size += item.inLength;
        entry.compressedSize += written;
    }
    const bool ok = item.stored ? output_->Write(job.in.data() + item.inOffset, item.inLength)
                                : output_->Write(job.out.data() + item.outOffset, item.outLength);
    if (!ok)
        return false;
    progress_.Add(item.last ? 1 : 0, item.inLength);
    if (item.last && !single) {
        if (!entry.zip64Local && (entry.size >= Max32 || entry.compressedSize >= Max32))
            return failure_.Fail(entry.name, "grew past 4 GiB while being packed");
        if (!PatchLocalHeader(entry))
            return false;
    }
    return !item.last || AddCentralRecord(entry);
}

bool Packer::Drain() {
    SubmitCurrent();
    while (count_ > 0)
        if (!RetireOldest())
            return false;
    return !failed_;
}

bool Packer::WriteLocalHeader(Entry& entry, bool final) {
    entry.offset = output_->Position();
    const bool zip64 = entry.zip64Local;
    std::vector<unsigned char> header(LocalHeaderSize + entry.name.size() + (zip64 ? 20 : 0));
    unsigned char* p = header.data();
    p = Put32(p, LocalHeaderSignature);
    p = Put16(p, zip64 ? 45 : 20);
    p = Put16(p, entry.flags);
    p = Put16(p, entry.method);
    p = Put32(p, entry.dosTime);
    p = Put32(p, final ? entry.crc : 0);
    p = Put32(p, zip64 ? Max32 : final ? uint32_t(entry.compressedSize) : 0);
    p = Put32(p, zip64 ? Max32 : final ? uint32_t(entry.size) : 0);
    p = Put16(p, uint16_t(entry.name.size()));
    p = Put16(p, zip64 ? 20 : 0);
    std::memcpy(p, entry.name.data(), entry.name.size());
    p += entry.name.size();
    if (zip64) {
        p = Put16(p, Zip64ExtraId);
        p = Put16(p, 16);
        p = Put64(p, final ? entry.size : 0);
        p = Put64(p, final ? entry.compressedSize : 0);
    }
    return output_->Write(header.data(), header.size());
}

bool Packer::PatchLocalHeader(const Entry& entry) {
    unsigned char sums[12];
    Put32(sums, entry.crc);
    if (entry.zip64Local) {
        Put32(sums + 4, Max32);
        Put32(sums + 8, Max32);
    } else {
        Put32(sums + 4, uint32_t(entry.compressedSize));
        Put32(sums + 8, uint32_t(entry.size));
    }
    if (!output_->Patch(entry.offset + 14, sums, sizeof(sums)))
        return false;
    if (!entry.zip64Local)
        return true;
    unsigned char sizes[16];
    Put64(sizes, entry.size);
    Put64(sizes + 8, entry.compressedSize);
    return output_->Patch(entry.offset + LocalHeaderSize + entry.name.size() + 4, sizes,
                          sizeof(sizes));
}

// Entries are complete in the order they were made: the oldest one goes.
bool Packer::AddCentralRecord(const Entry& entry) {
    if (&entry != &entries_.front())
        return failure_.Fail(entry.name, "entries completed out of order");
    std::vector<unsigned char>& record = record_;
    {
        const bool zip64 =
            entry.size >= Max32 || entry.compressedSize >= Max32 || entry.offset >= Max32;
        record.assign(CentralHeaderSize + entry.name.size() + (zip64 ? 28 : 0), 0);
        unsigned char* p = record.data();
        p = Put32(p, CentralHeaderSignature);
        p = Put16(p, uint16_t((SystemUnix << 8) | 45));
        p = Put16(p, zip64 || entry.zip64Local ? 45 : 20);
        p = Put16(p, entry.flags);
        p = Put16(p, entry.method);
        p = Put32(p, entry.dosTime);
        p = Put32(p, entry.crc);
        p = Put32(p, zip64 ? Max32 : uint32_t(entry.compressedSize));
        p = Put32(p, zip64 ? Max32 : uint32_t(entry.size));
        p = Put16(p, uint16_t(entry.name.size()));
        p = Put16(p, zip64 ? 28 : 0);
        p = Put16(p, 0); // comment
        p = Put16(p, 0); // disk
        p = Put16(p, 0); // internal attributes
        p = Put32(p, entry.externalAttributes);
        p = Put32(p, zip64 ? Max32 : uint32_t(entry.offset));
        std::memcpy(p, entry.name.data(), entry.name.size());
        p += entry.name.size();
        if (zip64) {
            p = Put16(p, Zip64ExtraId);
            p = Put16(p, 24);
            p = Put64(p, entry.size);
            p = Put64(p, entry.compressedSize);
            p = Put64(p, entry.offset);
        }
        if (!central_->Append(record.data(), record.size()))
            return false;
    }
    entries_.pop_front();
    ++firstEntry_;
    return true;
}

bool Packer::WriteCentralDirectory() {
    const uint64_t start = output_->Position();
    if (!central_->CopyTo(*output_))
        return false;
    const uint64_t end = output_->Position();
    const uint64_t size = end - start;
    const uint64_t count = central_->Count();
    const bool zip64 = count >= Max16 || size >= Max32 || start >= Max32;
    unsigned char tail[Zip64EndOfCentralSize + Zip64LocatorSize + EndOfCentralSize];
    unsigned char* p = tail;
    if (zip64) {
        p = Put32(p, Zip64EndOfCentralSignature);
        p = Put64(p, Zip64EndOfCentralSize - 12);
        p = Put16(p, uint16_t((SystemUnix << 8) | 45));
        p = Put16(p, 45);
        p = Put32(p, 0);
        p = Put32(p, 0);
        p = Put64(p, count);
        p = Put64(p, count);
        p = Put64(p, size);
        p = Put64(p, start);
        p = Put32(p, Zip64LocatorSignature);
        p = Put32(p, 0);
        p = Put64(p, end);
        p = Put32(p, 1);
    }
    p = Put32(p, EndOfCentralSignature);
    p = Put16(p, 0);
    p = Put16(p, 0);
    p = Put16(p, zip64 ? Max16 : uint16_t(count));
    p = Put16(p, zip64 ? Max16 : uint16_t(count));
    p = Put32(p, zip64 ? Max32 : uint32_t(size));
    p = Put32(p, zip64 ? Max32 : uint32_t(start));
    p = Put16(p, 0);
    return output_->Write(tail, size_t(p - tail)) && output_->Flush();
}

bool CentralRecords::Append(const unsigned char* data, size_t length) {
    ++count_;
    size_ += length;
    if (!file_.Valid() && memory_.size() + length <= CentralMemoryLimit) {
        memory_.insert(memory_.end(), data, data + length);
        return true;
    }
    if (!file_.Valid()) {
        file_.Reset(::open(directory_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
        if (!file_.Valid()) {
            std::string name = directory_ + "/.kwa-central-XXXXXX";
            file_.Reset(::mkostemp(name.data(), O_CLOEXEC));
            if (file_.Valid())
                ::unlink(name.c_str());
        }
        if (!file_.Valid())
            return false;
    }
    if (memory_.size() + length > CentralMemoryLimit) {
        if (!WriteFully(file_.Get(), memory_.data(), memory_.size()))
            return false;
        memory_.clear();
    }
    memory_.insert(memory_.end(), data, data + length);
    return true;
}

bool CentralRecords::CopyTo(Output& output) {
    if (file_.Valid()) {
        if (!WriteFully(file_.Get(), memory_.data(), memory_.size()))
            return false;
        memory_.clear();
        memory_.resize(CentralMemoryLimit);
        for (uint64_t at = 0; at < size_;) {
            const size_t n = size_t(std::min<uint64_t>(memory_.size(), size_ - at));
            if (!ReadFully(file_.Get(), memory_.data(), n, at) || !output.Write(memory_.data(), n))
                return false;
            at += n;
        }
        return true;
    }
    return output.Write(memory_.data(), memory_.size());
}

} // namespace Archive
} // namespace KwaCore
