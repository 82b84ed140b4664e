// Printable texts: OpenSSL's error queue, error numbers, integers.
#include "Internal.h"

#include <KwaCore.h>

#include <openssl/err.h>

#include <cstring>
#include <string>

namespace KwaCore {

wxString OpenSSLError() {
    const unsigned long code = ERR_get_error();
    if (code == 0)
        return wxString();
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return Internal::FromUtf8Lenient(text, std::strlen(text));
}

wxString ErrnoToString(int error) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be in buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return Internal::FromFs(text != nullptr ? text : "");
}

wxString toString(long long value) {
    return wxString::FromAscii(std::to_string(value).c_str());
}

} // namespace KwaCore
