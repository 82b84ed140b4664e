// The archive being unpacked, read through its descriptor: a seekable wx stream
// (wxZipInputStream walks the central directory with it to hand the callback its
// entries) and a direct reader. Reads go through two windows, one for the central
// directory and one for the entry being read, so that walking both at once does
// not read the same bytes again and again.
#pragma once

#include "ArchiveSupport.h"

#include <wx/stream.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace KwaCore {
namespace Archive {

constexpr size_t WindowSize = 256 * 1024;

class ArchiveInput : public wxInputStream {
public:
    ArchiveInput(int fd, uint64_t size) : fd_(fd), size_(size) {}
    bool IsSeekable() const override { return true; }
    wxFileOffset GetLength() const override { return wxFileOffset(size_); }

    // The bytes [offset, offset + length) through a window, length at most
    // WindowSize; null when the archive ends before or cannot be read.
    const unsigned char* View(uint64_t offset, size_t length) {
        if (length > WindowSize || offset > size_ || length > size_ - offset)
            return nullptr;
        Window* window = Find(offset);
        if (window == nullptr || offset + length > window->start + window->length)
            window = Fill(offset);
        return window == nullptr ? nullptr : window->data.data() + (offset - window->start);
    }

    // Copies [offset, offset + length) into buffer; large reads skip the windows.
    bool ReadAt(uint64_t offset, unsigned char* buffer, size_t length) {
        if (offset > size_ || length > size_ - offset)
            return false;
        if (length >= WindowSize / 2)
            return ReadFully(fd_, buffer, length, offset);
        const unsigned char* view = View(offset, length);
        if (view == nullptr)
            return false;
        std::memcpy(buffer, view, length);
        return true;
    }

protected:
    size_t OnSysRead(void* buffer, size_t size) override {
        auto* out = static_cast<unsigned char*>(buffer);
        size_t done = 0;
        while (done < size) {
            if (position_ >= size_) {
                m_lasterror = wxSTREAM_EOF;
                break;
            }
            Window* window = Find(position_);
            if (window == nullptr && size - done >= WindowSize) {
                // A large read goes straight into the caller's buffer.
                const size_t want = size_t(std::min<uint64_t>(size - done, size_ - position_));
                if (!ReadFully(fd_, out + done, want, position_)) {
                    m_lasterror = wxSTREAM_READ_ERROR;
                    break;
                }
                done += want;
                position_ += want;
                continue;
            }
            if (window == nullptr && (window = Fill(position_)) == nullptr) {
                m_lasterror = wxSTREAM_READ_ERROR;
                break;
            }
            const size_t at = size_t(position_ - window->start);
            const size_t n = std::min(size - done, window->length - at);
            std::memcpy(out + done, window->data.data() + at, n);
            done += n;
            position_ += n;
        }
        return done;
    }

    wxFileOffset OnSysSeek(wxFileOffset offset, wxSeekMode mode) override {
        int64_t base = 0;
        if (mode == wxFromCurrent)
            base = int64_t(position_);
        else if (mode == wxFromEnd)
            base = int64_t(size_);
        const int64_t target = base + offset;
        if (target < 0)
            return wxInvalidOffset;
        position_ = uint64_t(target);
        return wxFileOffset(position_);
    }

    wxFileOffset OnSysTell() const override { return wxFileOffset(position_); }

private:
    struct Window {
        uint64_t start = 0;
        size_t length = 0;
        uint64_t used = 0;
        std::vector<unsigned char> data;
    };

    Window* Find(uint64_t at) {
        for (Window& window : windows_)
            if (window.length > 0 && at >= window.start && at < window.start + window.length) {
                window.used = ++clock_;
                return &window;
            }
        return nullptr;
    }

    Window* Fill(uint64_t at) {
        Window& window = windows_[0].used <= windows_[1].used ? windows_[0] : windows_[1];
        window.data.resize(WindowSize);
        const size_t want = size_t(std::min<uint64_t>(WindowSize, size_ - at));
        window.length = 0;
        if (!ReadFully(fd_, window.data.data(), want, at))
            return nullptr;
        window.start = at;
        window.length = want;
        window.used = ++clock_;
        return &window;
    }

    int fd_;
    uint64_t size_;
    uint64_t position_ = 0;
    Window windows_[2];
    uint64_t clock_ = 0;
};

} // namespace Archive
} // namespace KwaCore
