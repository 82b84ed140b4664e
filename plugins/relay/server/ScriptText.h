// Text between the scripts and the relay: UTF-8 out, except that the bytes of a file
// name that has no UTF-8 form pass through unchanged, so that the script names the
// same file; the locale's conversion in, with the bytes kept where it fails.
#pragma once

#include <wx/strconv.h>
#include <wx/string.h>

namespace Relay {

inline wxScopedCharBuffer ScriptBytes(const wxString& text) {
    // The agent's file name conversion: UTF-8 with the raw bytes kept.
    wxScopedCharBuffer bytes = text.mb_str(*wxConvFileName);
    if (bytes.data() == nullptr)
        bytes = text.utf8_str();
    return bytes;
}

// A script's text in the runtime library's locale conversion. Where that gives no
// text, or code points outside Unicode (the C library decodes UTF-8 sequences of up
// to 31 bits, which wx then refuses to encode again), the bytes are taken with
// fallback instead.
inline wxString FromScript(const char* text, size_t length, const wxMBConv& fallback) {
    const wxString converted(text, wxConvLibc, length);
    bool usable = !converted.empty() || length == 0;
    for (const wxUniChar c : converted)
        if (c.GetValue() > 0x10FFFF || (c.GetValue() >= 0xD800 && c.GetValue() <= 0xDFFF))
            usable = false;
    return usable ? converted : wxString(text, fallback, length);
}

} // namespace Relay
