// The rules for the paths that clients upload to, fetch and delete below /data/.
#pragma once

#include <string>
#include <vector>

namespace Kwvp {

// The prefix of the FastCGI location; what follows it names a file in the store.
inline constexpr const char kDataPrefix[] = "/data/";

// Files the service writes while a body is on its way carry this prefix; clients
// cannot name them.
inline constexpr const char kTempPrefix[] = ".kwvp-";

// Longest path below the store, and longest single name, in bytes.
inline constexpr size_t kMaxPathBytes = 1024;
inline constexpr size_t kMaxNameBytes = 255;

// Splits the path below /data/ into its names, or returns false when the path is
// not acceptable: empty, absolute, with an empty, "." or ".." segment, too long,
// or holding a control character (NUL included), a backslash, '%' (a name that was
// percent-encoded twice, such as %252e%252e) or '?', or a name that starts with the temporary
// prefix.
bool SplitUploadPath(const std::string& path, std::vector<std::string>& names);

// The part of the URI below the /data/ prefix; false when the URI does not start
// with it.
bool StripDataPrefix(const std::string& uri, std::string& path);

} // namespace Kwvp
