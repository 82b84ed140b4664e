// Reading the "pid" directive of an nginx configuration file, and the
// configuration test that removes the empty pid file it leaves behind.
#include "PidDirective.h"

#include "UniqueFd.h"
#include "server/RelayServer.h"

#include <wx/filefn.h>
#include <wx/filename.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace Relay {
namespace WebServer {

namespace {

// nginx's tokens: blanks separate, '#' starts a comment up to the line's end,
// quotes group (a backslash escapes the next character), ';' ends a directive,
// '{' and '}' open and close a block. Memory stays bounded whatever the file
// holds: a token longer than any path is cut.
class PidScanner {
public:
    void Feed(const char* data, size_t size) {
        for (size_t i = 0; i < size; ++i)
            Take(data[i]);
    }
    const std::string& Found() const { return found_; }

private:
    static constexpr size_t MaxToken = 4096;

    void Take(char c) {
        if (comment_) {
            comment_ = c != '\n';
            return;
        }
        if (escaped_) {
            escaped_ = false;
            Append(c);
            return;
        }
        if (quote_ != 0) {
            if (c == '\\')
                escaped_ = true;
            else if (c == quote_)
                quote_ = 0;
            else
                Append(c);
            return;
        }
        switch (c) {
        case '#':
            EndToken();
            comment_ = true;
            break;
        case '"':
        case '\'':
            inToken_ = true;
            quote_ = c;
            break;
        case ';':
            EndToken();
            if (depth_ == 0 && count_ == 2 && first_ == "pid")
                found_ = second_;
            count_ = 0;
            break;
        case '{':
            EndToken();
            ++depth_;
            count_ = 0;
            break;
        case '}':
            EndToken();
            if (depth_ > 0)
                --depth_;
            count_ = 0;
            break;
        case ' ':
        case '\t':
        case '\r':
        case '\n':
            EndToken();
            break;
        default:
            Append(c);
        }
    }
    void Append(char c) {
        inToken_ = true;
        if (token_.size() < MaxToken)
            token_.push_back(c);
    }
    void EndToken() {
        if (!inToken_)
            return;
        if (count_ == 0)
            first_ = token_;
        else if (count_ == 1)
            second_ = token_;
        if (count_ < 3)
            ++count_;
        token_.clear();
        inToken_ = false;
    }

    std::string token_, first_, second_, found_;
    bool inToken_ = false, comment_ = false, escaped_ = false;
    char quote_ = 0;
    int count_ = 0;
    long depth_ = 0;
};

} // namespace

wxString PidFileOf(const wxString& configPath, bool& notRegular) {
    notRegular = false;
    // Non-blocking: opening a FIFO must not wait for a writer.
    const Kwa::UniqueFd fd(::open(configPath.fn_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.Get(), &info) != 0)
        return wxString();
    if (S_ISDIR(info.st_mode))
        return wxString(); // nginx says itself what is wrong with it
    if (!S_ISREG(info.st_mode)) {
        notRegular = true;
        return wxString();
    }
    PidScanner scanner;
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        scanner.Feed(buffer, static_cast<size_t>(n));
    }
    const std::string& pid = scanner.Found();
    if (pid.empty() || pid[0] != '/')
        return wxString();
    return wxString(pid.data(), *wxConvFileName, pid.size());
}

bool ValidateLeavingNoPidFile(const wxString& configPath, const wxString& pidPath,
                              wxString& output) {
    // wxFILE_EXISTS_ANY: anything at the path, links not followed (the NO_FOLLOW
    // flag alone accepts no kind of file and answers false).
    const bool hadPidFile = pidPath.empty() || wxFileName::Exists(pidPath, wxFILE_EXISTS_ANY);
    const bool valid = _ValidateWebServerConfig(configPath, output);
    if (!hadPidFile && wxFileName::GetSize(pidPath) == 0)
        wxRemoveFile(pidPath);
    return valid;
}

} // namespace WebServer
} // namespace Relay
