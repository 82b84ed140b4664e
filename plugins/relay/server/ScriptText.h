// Text handed to the scripts: UTF-8, except that the bytes of a file name that
// has no UTF-8 form pass through unchanged, so that the script names the same file.
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

} // namespace Relay
