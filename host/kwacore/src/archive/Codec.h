// The zip layer's codec: raw deflate streams and the CRC-32 of entries.
//
// Deflate and inflate are ISA-L's igzip (streaming, with dictionaries and sync
// flushes), the CRC-32 is ISA-L's (carry-less multiply where the processor has
// it); zlib only combines the checksums of an entry's chunks. The zip code sees
// none of these libraries: it packs and unpacks through the two classes below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct isal_zstream;
struct inflate_state;

namespace KwaCore {
namespace Archive {

// CRC-32 (the zip and gzip polynomial) of data, continuing crc (0 to start).
uint32_t Crc32(uint32_t crc, const unsigned char* data, size_t length);
// The CRC-32 of two pieces joined, from the pieces' own CRCs.
uint32_t Crc32Combine(uint32_t first, uint32_t second, uint64_t secondLength);

// One raw deflate stream at a time, reused for every piece.
class Deflater {
public:
    enum class Effort {
        Probe, // fastest: only to see whether content compresses
        Pack   // what archives are packed with: about as small as Info-ZIP's default
    };

    explicit Deflater(Effort effort);
    ~Deflater();
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    bool Ok() const { return stream_ != nullptr; }

    // Deflates input into out from outStart (resized as needed), setting
    // outLength. A last piece ends the stream; any other leaves it open on a
    // byte boundary, so that the next piece, deflated with the previous 32 KiB
    // as its dictionary, continues the same stream.
    bool Run(const unsigned char* input, size_t length, const unsigned char* dictionary,
             size_t dictionaryLength, bool last, std::vector<unsigned char>& out, size_t outStart,
             size_t& outLength);

private:
    std::unique_ptr<isal_zstream> stream_;
    std::vector<unsigned char> levelBuffer_;
    unsigned level_;
};

// One raw deflate stream at a time, reset for every entry.
class Inflater {
public:
    enum class Result {
        More,  // the output is full or the input used up
        End,   // the stream ended
        Broken // the data is not a valid deflate stream
    };

    Inflater();
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    bool Ok() const { return state_ != nullptr; }

    // Starts a new stream; false when the inflater could not be made.
    bool Reset();
    // Hands over the next input; it must stay readable until it is used up.
    void Input(const unsigned char* data, size_t length);
    // Input not yet used.
    size_t InputLeft() const;
    // Inflates into out, at most space bytes; made is what it wrote.
    Result Run(unsigned char* out, size_t space, size_t& made);

private:
    std::unique_ptr<inflate_state> state_;
};

} // namespace Archive
} // namespace KwaCore
