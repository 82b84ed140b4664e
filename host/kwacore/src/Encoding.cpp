// Conversions between wxString and the bytes the system and the agent's files use.
#include "Internal.h"

#include <KwaCoreHost.h>

#include <wx/strconv.h>

#include <cstring>
#include <cwchar>
#include <string>

namespace KwaCore {
namespace Internal {

static_assert(sizeof(wchar_t) == 4, "wxString holds UTF-32 code points on this platform");

namespace {

// The length of the valid UTF-8 sequence at the start of bytes (size > 0), with
// its code point; 0 when none starts there (a stray byte, a cut or overlong
// sequence, a surrogate, a code point beyond U+10FFFF).
size_t DecodeOne(const unsigned char* bytes, size_t size, char32_t& code) {
    const unsigned char lead = bytes[0];
    size_t length;
    char32_t smallest;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1F, smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0F, smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07, smallest = 0x10000;
    } else {
        return 0;
    }
    if (length > size)
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((bytes[k] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (bytes[k] & 0x3F);
    }
    if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

// UTF-8 in which every byte that does not start a valid sequence stands for
// itself as U+100000 + byte, and turns back into that byte; a valid sequence of
// that range is taken byte by byte too, so every byte string survives the way
// there and back. wx's own mapping of this kind decodes sequences beyond Unicode
// (up to 31 bits) and surrogates, which its strict UTF-8 (utf8_str) then refuses
// to encode: the texts made here hold only Unicode scalar values.
class RawBytesUtf8 : public wxMBConv {
public:
    static constexpr char32_t ByteBase = 0x100000;

    size_t ToWChar(wchar_t* out, size_t outLength, const char* in,
                   size_t inLength = wxNO_LEN) const override {
        if (inLength == wxNO_LEN)
            inLength = std::strlen(in) + 1; // the terminating NUL is converted too
        const auto* bytes = reinterpret_cast<const unsigned char*>(in);
        size_t produced = 0;
        for (size_t i = 0; i < inLength; ++produced) {
            char32_t code = 0;
            size_t length = DecodeOne(bytes + i, inLength - i, code);
            if (length == 0 || (code >= ByteBase && code <= ByteBase + 0xFF)) {
                code = bytes[i] >= 0x80 ? ByteBase + bytes[i] : bytes[i];
                length = 1;
            }
            if (out != nullptr) {
                if (produced >= outLength)
                    return wxCONV_FAILED;
                out[produced] = static_cast<wchar_t>(code);
            }
            i += length;
        }
        return produced;
    }

    size_t FromWChar(char* out, size_t outLength, const wchar_t* in,
                     size_t inLength = wxNO_LEN) const override {
        if (inLength == wxNO_LEN)
            inLength = std::wcslen(in) + 1;
        size_t produced = 0;
        for (size_t i = 0; i < inLength; ++i) {
            const auto code = static_cast<char32_t>(in[i]);
            unsigned char bytes[4];
            size_t length = 1;
            if (code >= ByteBase && code <= ByteBase + 0xFF) {
                bytes[0] = static_cast<unsigned char>(code - ByteBase);
            } else if (code < 0x80) {
                bytes[0] = static_cast<unsigned char>(code);
            } else if (code < 0x800) {
                bytes[0] = 0xC0 | (code >> 6), bytes[1] = 0x80 | (code & 0x3F), length = 2;
            } else if (code < 0x10000) {
                bytes[0] = 0xE0 | (code >> 12), bytes[1] = 0x80 | ((code >> 6) & 0x3F);
                bytes[2] = 0x80 | (code & 0x3F), length = 3;
            } else if (code <= 0x10FFFF) {
                bytes[0] = 0xF0 | (code >> 18), bytes[1] = 0x80 | ((code >> 12) & 0x3F);
                bytes[2] = 0x80 | ((code >> 6) & 0x3F), bytes[3] = 0x80 | (code & 0x3F);
                length = 4;
            } else {
                return wxCONV_FAILED;
            }
            if (out != nullptr) {
                if (produced + length > outLength)
                    return wxCONV_FAILED;
                std::memcpy(out + produced, bytes, length);
            }
            produced += length;
        }
        return produced;
    }

    wxMBConv* Clone() const override { return new RawBytesUtf8; }
};

} // namespace

wxMBConv& FileNameConversion() {
    // Never destroyed: wx may convert names until the very end of the process.
    static RawBytesUtf8* const conversion = new RawBytesUtf8;
    return *conversion;
}

void UseRawFileNames() {
    wxConvFileName = &FileNameConversion();
}

std::string FsPath(const wxString& path) {
    if (path.empty())
        return std::string();
    const wxScopedCharBuffer bytes = path.mb_str(FileNameConversion());
    if (bytes.data() != nullptr && bytes.length() > 0)
        return std::string(bytes.data(), bytes.length());
    return Utf8(path);
}

wxString FromFs(const std::string& bytes) {
    if (bytes.empty())
        return wxString();
    const wxString text(bytes.data(), FileNameConversion(), bytes.size());
    if (!text.empty())
        return text;
    return FromUtf8Lenient(bytes);
}

std::string Utf8(const wxString& text) {
    const wxScopedCharBuffer utf8 = text.utf8_str();
    return std::string(utf8.data(), utf8.length());
}

wxString FromUtf8Lenient(const char* data, size_t size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    std::wstring text;
    text.reserve(size);
    for (size_t i = 0; i < size;) {
        char32_t code = 0;
        const size_t length = DecodeOne(bytes + i, size - i, code);
        text.push_back(length == 0 ? wchar_t(0xFFFD) : static_cast<wchar_t>(code));
        i += length == 0 ? 1 : length;
    }
    return wxString(text);
}

} // namespace Internal

std::string Host::PathBytes(const wxString& path) {
    return Internal::FsPath(path);
}

} // namespace KwaCore
