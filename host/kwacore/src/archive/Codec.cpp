// The zip layer's codec on ISA-L: raw deflate and inflate streams, CRC-32.
//
// Level 3 of igzip packs text within half a percent of zlib's level 6 (Info-ZIP's
// default) at several times its speed; level 1 is the quick probe of whether
// content compresses at all. Inflation streams through igzip whatever the entry's size,
// so memory stays bounded. zlib only joins the checksums of chunks.
#include "Codec.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <new>

namespace KwaCore {
namespace Archive {

uint32_t Crc32(uint32_t crc, const unsigned char* data, size_t length) {
    return length == 0 ? crc : crc32_gzip_refl(crc, data, uint64_t(length));
}

uint32_t Crc32Combine(uint32_t first, uint32_t second, uint64_t secondLength) {
    return uint32_t(crc32_combine(first, second, z_off_t(secondLength)));
}

Deflater::Deflater(Effort effort) : level_(effort == Effort::Pack ? 3 : 1) {
    stream_.reset(new (std::nothrow) isal_zstream);
    if (stream_ == nullptr)
        return;
    isal_deflate_init(stream_.get());
    levelBuffer_.resize(level_ == 3 ? ISAL_DEF_LVL3_DEFAULT : ISAL_DEF_LVL1_DEFAULT);
}

Deflater::~Deflater() = default;

bool Deflater::Run(const unsigned char* input, size_t length, const unsigned char* dictionary,
                   size_t dictionaryLength, bool last, std::vector<unsigned char>& out,
                   size_t outStart, size_t& outLength) {
    if (!Ok() || length > UINT32_MAX)
        return false;
    isal_zstream& z = *stream_;
    isal_deflate_reset(&z);
    z.level = level_;
    z.level_buf = levelBuffer_.data();
    z.level_buf_size = uint32_t(levelBuffer_.size());
    z.gzip_flag = IGZIP_DEFLATE;
    z.hist_bits = 0; // the whole 32 KiB window
    if (dictionaryLength > 0 && isal_deflate_set_dict(&z, const_cast<unsigned char*>(dictionary),
                                                      uint32_t(dictionaryLength)) != COMP_OK)
        return false;
    z.next_in = const_cast<unsigned char*>(input);
    z.avail_in = uint32_t(length);
    z.end_of_stream = last ? 1 : 0;
    z.flush = last ? NO_FLUSH : SYNC_FLUSH;
    // Content that does not compress comes out as stored blocks: a few bytes
    // more than the input.
    const size_t bound = outStart + length + length / 64 + 1024;
    if (out.size() < bound)
        out.resize(std::max(bound, out.size() + out.size() / 2));
    size_t at = outStart;
    for (;;) {
        z.next_out = out.data() + at;
        z.avail_out = uint32_t(std::min<size_t>(out.size() - at, UINT32_MAX));
        if (isal_deflate(&z) != COMP_OK)
            return false;
        at = size_t(z.next_out - out.data());
        outLength = at - outStart;
        if (z.avail_out > 0) // all input taken and flushed
            return z.avail_in == 0 && (!last || z.internal_state.state == ZSTATE_END);
        out.resize(out.size() * 2);
    }
}

Inflater::Inflater() {
    state_.reset(new (std::nothrow) inflate_state);
    if (state_ != nullptr)
        Reset();
}

Inflater::~Inflater() = default;

bool Inflater::Reset() {
    if (!Ok())
        return false;
    isal_inflate_init(state_.get());
    state_->crc_flag = ISAL_DEFLATE;
    state_->hist_bits = 0;
    return true;
}

void Inflater::Input(const unsigned char* data, size_t length) {
    state_->next_in = const_cast<unsigned char*>(data);
    state_->avail_in = uint32_t(length);
}

size_t Inflater::InputLeft() const {
    return state_->avail_in;
}

Inflater::Result Inflater::Run(unsigned char* out, size_t space, size_t& made) {
    inflate_state& s = *state_;
    s.next_out = out;
    s.avail_out = uint32_t(std::min<size_t>(space, UINT32_MAX));
    const int rc = isal_inflate(&s);
    made = size_t(s.next_out - out);
    if (rc < 0)
        return Result::Broken;
    return s.block_state == ISAL_BLOCK_FINISH ? Result::End : Result::More;
}

} // namespace Archive
} // namespace KwaCore
