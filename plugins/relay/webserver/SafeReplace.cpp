// Safe replacement of the configuration file: the new text goes whole into a
// temporary file beside the configuration, is flushed to disk, and then takes
// the configuration's place in one rename(2). A crash at any moment leaves either
// the old or the new file whole, never a torn one.
#include "UniqueFd.h"
#include "WriteFully.h"
#include "server/RelayServer.h"

#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/strconv.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace Relay {

namespace {

// The configuration path with its extension replaced by "tmp" (added when the
// name has none), in the same directory.
wxString TemporaryPathFor(const wxString& configPath) {
    wxFileName name(configPath);
    name.SetExt(L"tmp");
    return name.GetFullPath();
}

// True when every character has a UTF-8 form: no surrogate halves and nothing
// beyond U+10FFFF. The converter alone lets surrogates through.
bool HasUtf8Form(const wxString& text) {
    for (const wxUniChar c : text) {
        const wxUint32 code = c.GetValue();
        if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
            return false;
    }
    return true;
}

// Writes the text as strict UTF-8 (no byte-order mark, line feeds as they are)
// and flushes it to disk. 0 on success, otherwise an errno value; a text that
// cannot be converted is EILSEQ.
int WriteUtf8(int fd, const wxString& text) {
    if (!text.empty()) {
        if (!HasUtf8Form(text))
            return EILSEQ;
        size_t length = 0;
        const wxCharBuffer utf8 =
            wxMBConvStrictUTF8().cWC2MB(text.wc_str(), text.length(), &length);
        if (utf8.data() == nullptr || length == wxCONV_FAILED)
            return EILSEQ;
        if (!Kwa::WriteFully(fd, utf8.data(), length))
            return errno;
    }
    if (::fsync(fd) != 0)
        return errno;
    return 0;
}

// Makes the rename itself durable. Failures here change nothing that a reader
// could see and are not reported.
void SyncDirectoryOf(const wxString& path) {
    const wxString directory = wxFileName(path).GetPath(wxPATH_GET_VOLUME);
    Kwa::UniqueFd dir(::open(directory.empty() ? "." : static_cast<const char*>(directory.fn_str()),
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Valid())
        ::fsync(dir.Get());
}

} // namespace

bool CRelayServer::ReplaceWebServerConfig(const wxString& text) {
    const wxString configPath = WebServerConfigPath;
    const wxString tempPath = TemporaryPathFor(configPath);

    // A temporary file left by an earlier failed run is truncated and reused. A
    // link in its place is refused rather than followed.
    Kwa::UniqueFd file(
        ::open(tempPath.fn_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!file.Valid()) {
        const int error = errno;
        KwaCore::CDom::DoLogAgentEvent(0, 3006, "create|%s|%d (%s)", tempPath, error,
                                       KwaCore::ErrnoToString(error));
        return false;
    }

    KwaCore::SecureFileOrDirectory(tempPath, false);

    // A text that did not reach the disk whole never replaces the configuration:
    // the temporary file stays behind and the configuration in force is kept.
    if (const int error = WriteUtf8(file.Get(), text)) {
        KwaCore::CDom::DoLogAgentEvent(0, 3006, "write|%s|%d (%s)", tempPath, error,
                                       KwaCore::ErrnoToString(error));
        return false;
    }
    file.Reset();

    // rename(2) replaces an existing configuration in one step, and moves the
    // file into place when there is none; the reports keep the two cases apart.
    const bool configExisted = wxFileExists(configPath);
    if (::rename(tempPath.fn_str(), configPath.fn_str()) != 0) {
        const int error = errno;
        if (configExisted)
            KwaCore::CDom::DoLogAgentEvent(0, 3006, "!ReplaceFile|%s -> %s|", tempPath, configPath);
        else
            KwaCore::CDom::DoLogAgentEvent(0, 3006, "rename|%s -> %s|%d (%s)", tempPath, configPath,
                                           error, KwaCore::ErrnoToString(error));
        return false;
    }
    SyncDirectoryOf(configPath);

    KwaCore::SecureFileOrDirectory(configPath, false);
    return true;
}

} // namespace Relay
