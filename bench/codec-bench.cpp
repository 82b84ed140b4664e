// Codec benchmark: the deflate, inflate and CRC-32 implementations Debian packages
// (zlib, libdeflate, ISA-L igzip), each on one core, on the data the zip layer
// sees: large files cut into 256 KiB chunks (the streaming codecs continue each
// chunk with the previous 32 KiB as dictionary and end it with a sync flush, as
// packing does; libdeflate takes each chunk whole) and small files deflated whole.
//
//   ROUNDS=5 codec-bench FILE...   a markdown table: MiB/s per codec and path
//                                  (median and range of the rounds), deflated size
//                                  against zlib's level 6 on the same pieces
//
// Built and run by bench/codecs.
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
constexpr size_t Chunk = 256 * 1024;
constexpr size_t Dictionary = 32 * 1024;

Bytes ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// One deflate per piece; pieces of one file continue each other when chained.
struct Piece {
    const unsigned char* data;
    size_t length;
    bool chained; // continues the previous piece (dictionary, sync flush before)
    bool last;
};

std::vector<Piece> Pieces(const std::vector<Bytes>& files) {
    std::vector<Piece> pieces;
    for (const Bytes& f : files)
        for (size_t at = 0; at < f.size() || at == 0; at += Chunk)
            pieces.push_back(
                {f.data() + at, std::min(Chunk, f.size() - at), at > 0, at + Chunk >= f.size()});
    return pieces;
}

size_t ZlibDeflate(const std::vector<Piece>& pieces, int level, std::vector<Bytes>* streams) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    Bytes out(Chunk * 2);
    size_t total = 0;
    for (const Piece& p : pieces) {
        deflateReset(&z);
        if (p.chained)
            deflateSetDictionary(&z, p.data - Dictionary, Dictionary);
        z.next_in = const_cast<unsigned char*>(p.data);
        z.avail_in = uInt(p.length);
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        deflate(&z, p.last ? Z_FINISH : Z_SYNC_FLUSH);
        const size_t n = out.size() - z.avail_out;
        total += n;
        if (streams) {
            if (!p.chained)
                streams->emplace_back();
            streams->back().insert(streams->back().end(), out.data(), out.data() + n);
        }
    }
    deflateEnd(&z);
    return total;
}

size_t IsalDeflate(const std::vector<Piece>& pieces, int level) {
    isal_zstream z{};
    isal_deflate_init(&z);
    Bytes levelBuffer(level == 1   ? ISAL_DEF_LVL1_DEFAULT
                      : level == 2 ? ISAL_DEF_LVL2_DEFAULT
                                   : ISAL_DEF_LVL3_DEFAULT);
    Bytes out(Chunk * 2);
    size_t total = 0;
    for (const Piece& p : pieces) {
        isal_deflate_reset(&z);
        z.level = level;
        z.level_buf = levelBuffer.data();
        z.level_buf_size = uint32_t(levelBuffer.size());
        z.gzip_flag = IGZIP_DEFLATE;
        if (p.chained)
            isal_deflate_set_dict(&z, const_cast<unsigned char*>(p.data - Dictionary), Dictionary);
        z.next_in = const_cast<unsigned char*>(p.data);
        z.avail_in = uint32_t(p.length);
        z.next_out = out.data();
        z.avail_out = uint32_t(out.size());
        z.end_of_stream = p.last;
        z.flush = p.last ? NO_FLUSH : SYNC_FLUSH;
        if (isal_deflate(&z) != COMP_OK)
            std::fprintf(stderr, "isal_deflate failed\n");
        total += out.size() - z.avail_out;
    }
    return total;
}

size_t LibdeflateDeflate(const std::vector<Piece>& pieces, int level) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    Bytes out(libdeflate_deflate_compress_bound(c, Chunk));
    size_t total = 0;
    for (const Piece& p : pieces)
        total += libdeflate_deflate_compress(c, p.data, p.length, out.data(), out.size());
    libdeflate_free_compressor(c);
    return total;
}

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One measured case: its name and a run that returns the bytes it made.
struct Case {
    std::string name;
    std::function<size_t()> run;
    size_t in = 0;
    size_t out = 0;
    std::vector<double> seconds;
};

} // namespace

int main(int argc, char** argv) {
    const int rounds = std::getenv("ROUNDS") ? std::atoi(std::getenv("ROUNDS")) : 5;
    std::vector<Bytes> large, small;
    for (int i = 1; i < argc; ++i) {
        Bytes b = ReadFile(argv[i]);
        (b.size() > Chunk ? large : small).push_back(std::move(b));
    }
    std::vector<Case> cases;
    std::vector<std::vector<Piece>> pieces(2);
    std::vector<std::vector<Bytes>> streams(2);
    Bytes out(Chunk);
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    std::unique_ptr<inflate_state> state(new inflate_state);
    for (int k = 0; k < 2; ++k) {
        const std::vector<Bytes>& set = k == 0 ? large : small;
        if (set.empty())
            continue;
        const std::string kind = k == 0 ? "large files, " : "4 KiB files, ";
        pieces[k] = Pieces(set);
        size_t in = 0;
        for (const Bytes& b : set)
            in += b.size();
        ZlibDeflate(pieces[k], 6, &streams[k]);
        const std::vector<Piece>& p = pieces[k];
        const std::vector<Bytes>& z = streams[k];
        for (int level : {1, 6})
            cases.push_back({kind + "deflate zlib " + std::to_string(level),
                             [&p, level] { return ZlibDeflate(p, level, nullptr); }, in});
        for (int level : {1, 2, 3})
            cases.push_back({kind + "deflate ISA-L " + std::to_string(level),
                             [&p, level] { return IsalDeflate(p, level); }, in});
        for (int level : {1, 6, 9})
            cases.push_back({kind + "deflate libdeflate " + std::to_string(level),
                             [&p, level] { return LibdeflateDeflate(p, level); }, in});
        // Inflating the zlib 6 streams: zlib and ISA-L through 256 KiB of output
        // at a time, libdeflate whole (only small files: it needs all of an entry).
        cases.push_back({kind + "inflate zlib",
                         [&z, &out] {
                             z_stream s{};
                             inflateInit2(&s, -MAX_WBITS);
                             size_t made = 0;
                             for (const Bytes& b : z) {
                                 inflateReset(&s);
                                 s.next_in = const_cast<unsigned char*>(b.data());
                                 s.avail_in = uInt(b.size());
                                 for (int rc = Z_OK; rc == Z_OK;) {
                                     s.next_out = out.data();
                                     s.avail_out = uInt(out.size());
                                     rc = inflate(&s, Z_NO_FLUSH);
                                     made += out.size() - s.avail_out;
                                 }
                             }
                             inflateEnd(&s);
                             return made;
                         },
                         in});
        cases.push_back({kind + "inflate ISA-L",
                         [&z, &out, &state] {
                             size_t made = 0;
                             for (const Bytes& b : z) {
                                 isal_inflate_init(state.get());
                                 state->crc_flag = ISAL_DEFLATE;
                                 state->next_in = const_cast<unsigned char*>(b.data());
                                 state->avail_in = uint32_t(b.size());
                                 while (state->block_state != ISAL_BLOCK_FINISH) {
                                     state->next_out = out.data();
                                     state->avail_out = uint32_t(out.size());
                                     if (isal_inflate(state.get()) != ISAL_DECOMP_OK)
                                         break;
                                     made += out.size() - state->avail_out;
                                 }
                             }
                             return made;
                         },
                         in});
        if (k == 1)
            cases.push_back({kind + "inflate libdeflate",
                             [&z, &out, decompressor] {
                                 size_t made = 0;
                                 for (const Bytes& b : z) {
                                     size_t n = 0;
                                     if (libdeflate_deflate_decompress(
                                             decompressor, b.data(), b.size(), out.data(),
                                             out.size(), &n) == LIBDEFLATE_SUCCESS)
                                         made += n;
                                 }
                                 return made;
                             },
                             in});
        const std::vector<Bytes>* data = &set;
        cases.push_back({kind + "crc32 zlib",
                         [data] {
                             size_t c = 0;
                             for (const Bytes& b : *data)
                                 c += crc32(0, b.data(), uInt(b.size()));
                             return c & 1;
                         },
                         in});
        cases.push_back({kind + "crc32 ISA-L",
                         [data] {
                             size_t c = 0;
                             for (const Bytes& b : *data)
                                 c += crc32_gzip_refl(0, b.data(), b.size());
                             return c & 1;
                         },
                         in});
        cases.push_back({kind + "crc32 libdeflate",
                         [data] {
                             size_t c = 0;
                             for (const Bytes& b : *data)
                                 c += libdeflate_crc32(0, b.data(), b.size());
                             return c & 1;
                         },
                         in});
    }
    // Rounds interleave the cases, so that a busy moment of the machine hits all.
    for (int r = 0; r < rounds; ++r)
        for (Case& c : cases) {
            const double t0 = Now();
            c.out = c.run();
            c.seconds.push_back(Now() - t0);
        }
    libdeflate_free_decompressor(decompressor);
    std::map<std::string, size_t> zlib6;
    for (const Case& c : cases)
        if (c.name.find("deflate zlib 6") != std::string::npos)
            zlib6[c.name.substr(0, c.name.find(','))] = c.out;
    std::printf("| %-32s | %-22s | %-14s |\n", "codec, path (one core)", "MiB/s: median (range)",
                "size / zlib 6");
    std::printf("|---|---|---|\n");
    for (Case& c : cases) {
        std::sort(c.seconds.begin(), c.seconds.end());
        const double mib = c.in / 1048576.0;
        char size[32] = "";
        if (c.name.find("deflate") != std::string::npos &&
            c.name.find("inflate") == std::string::npos)
            std::snprintf(size, sizeof size, "%.4f",
                          double(c.out) / zlib6[c.name.substr(0, c.name.find(','))]);
        char speed[64];
        std::snprintf(speed, sizeof speed, "%.0f (%.0f-%.0f)",
                      mib / c.seconds[c.seconds.size() / 2], mib / c.seconds.back(),
                      mib / c.seconds.front());
        std::printf("| %-32s | %-22s | %-14s |\n", c.name.c_str(), speed, size);
    }
}
