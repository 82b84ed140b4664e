// Reading nginx's command line and configuration text for the upload service.
#include "NginxConfig.h"

#include "UploadStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>

namespace Kwvp {

namespace {

constexpr off_t kMaxConfigBytes = 1 << 20;

} // namespace

std::string ConfigPathOf(const std::vector<std::string>& nginxArgs) {
    std::string prefix, config;
    for (size_t i = 0; i + 1 < nginxArgs.size(); ++i) {
        if (nginxArgs[i] == "-p")
            prefix = nginxArgs[++i];
        else if (nginxArgs[i] == "-c")
            config = nginxArgs[++i];
    }
    if (config.empty() || config.front() == '/' || prefix.empty())
        return config;
    return prefix.back() == '/' ? prefix + config : prefix + "/" + config;
}

bool PassesFastCgiTo(const std::string& text, int port) {
    // Comments run from '#' to the end of the line.
    std::string code;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        code += line.substr(0, line.find('#')) + "\n";
    static const std::regex pass(R"((^|[\s;{}])fastcgi_pass\s+127\.0\.0\.1:([0-9]{1,5})\s*;)");
    for (std::sregex_iterator it(code.begin(), code.end(), pass), end; it != end; ++it) {
        if (std::stoi((*it)[2].str()) == port)
            return true;
    }
    return false;
}

bool ConfigPassesFastCgiTo(const std::string& path, int port) {
    // Never blocking: a FIFO in the file's place is refused, not waited on.
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    std::string text;
    if (fd.Valid() && fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode) &&
        st.st_size <= kMaxConfigBytes) {
        text.resize(static_cast<size_t>(st.st_size));
        const ssize_t n = pread(fd.Get(), &text[0], text.size(), 0);
        if (n >= 0) {
            text.resize(static_cast<size_t>(n));
            return PassesFastCgiTo(text, port);
        }
    }
    LogError("cannot read the web server's configuration as a regular file of at most 1 MiB|" +
             path + "|; no upload service");
    return false;
}

} // namespace Kwvp
