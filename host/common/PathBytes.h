// A path's bytes as the system names it. The core library's file name conversion
// keeps the bytes of a name that has no UTF-8 form; UTF-8 is the fallback.
#pragma once

#include <wx/strconv.h>
#include <wx/string.h>

#include <string>

namespace Kwa {

inline std::string PathBytes(const wxString& path) {
    wxScopedCharBuffer bytes = path.mb_str(*wxConvFileName);
    if (bytes.data() == nullptr)
        bytes = path.utf8_str();
    return std::string(bytes.data(), bytes.length());
}

} // namespace Kwa
