#include "UploadPath.h"

#include <cstring>

namespace Kwvp {

namespace {

bool AcceptableByte(unsigned char c) {
    if (c < 0x20 || c == 0x7f)
        return false;
    return c != '\\' && c != '%' && c != '?';
}

bool AcceptableName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > kMaxNameBytes)
        return false;
    return name.compare(0, std::strlen(kTempPrefix), kTempPrefix) != 0;
}

} // namespace

bool SplitUploadPath(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    if (path.empty() || path.size() > kMaxPathBytes)
        return false;
    for (unsigned char c : path) {
        if (!AcceptableByte(c))
            return false;
    }
    size_t start = 0;
    while (true) {
        const size_t slash = path.find('/', start);
        std::string name = path.substr(start, slash == std::string::npos ? slash : slash - start);
        if (!AcceptableName(name)) {
            names.clear();
            return false;
        }
        names.push_back(std::move(name));
        if (slash == std::string::npos)
            return true;
        start = slash + 1;
    }
}

bool StripDataPrefix(const std::string& uri, std::string& path) {
    const size_t length = std::strlen(kDataPrefix);
    if (uri.compare(0, length, kDataPrefix) != 0)
        return false;
    path = uri.substr(length);
    return true;
}

} // namespace Kwvp
