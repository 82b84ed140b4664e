// Conversions between wxString and the bytes the system and the agent's files use.
#include "Internal.h"

#include <wx/strconv.h>

#include <string>

namespace KwaCore {
namespace Internal {

static_assert(sizeof(wchar_t) == 4, "wxString holds UTF-32 code points on this platform");

wxMBConv& FileNameConversion() {
    // Bytes that are not UTF-8 become code points of a private use plane
    // (U+100000 + byte) and turn back into the very same bytes. Never destroyed:
    // wx may convert names until the very end of the process.
    static wxMBConvUTF8* const conversion = new wxMBConvUTF8(wxMBConvUTF8::MAP_INVALID_UTF8_TO_PUA);
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
    const wchar_t replacement = 0xFFFD;
    std::wstring text;
    text.reserve(size);
    size_t i = 0;
    while (i < size) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            text.push_back(static_cast<wchar_t>(lead));
            ++i;
            continue;
        }
        size_t length;
        char32_t code;
        char32_t smallest;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1F;
            smallest = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0F;
            smallest = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07;
            smallest = 0x10000;
        } else {
            text.push_back(replacement);
            ++i;
            continue;
        }
        bool valid = i + length <= size;
        for (size_t k = 1; valid && k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80)
                valid = false;
            else
                code = (code << 6) | (bytes[i + k] & 0x3F);
        }
        if (valid && (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)))
            valid = false;
        if (!valid) {
            text.push_back(replacement);
            ++i;
            continue;
        }
        text.push_back(static_cast<wchar_t>(code));
        i += length;
    }
    return wxString(text);
}

} // namespace Internal
} // namespace KwaCore
