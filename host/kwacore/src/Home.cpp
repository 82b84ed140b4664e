// The agent's data root, the plug-in work directories and the program directory.
#include "Internal.h"

#include <KwaCore.h>
#include <KwaCoreHost.h>

#include <dlfcn.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

namespace KwaCore {
namespace Internal {

namespace {

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string CurrentDirectory() {
    std::vector<char> buffer(PATH_MAX);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr)
            return buffer.data();
        if (errno != ERANGE)
            return "/";
        buffer.resize(buffer.size() * 2);
    }
}

std::string UserHomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/')
        return found->pw_dir;
    return "/tmp";
}

// The system user the packaged service runs as.
bool RunningAsServiceUser() {
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    return getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
           found != nullptr && found->pw_name != nullptr &&
           std::string(found->pw_name) == "kwagent";
}

std::string DefaultHome() {
    // As root the web server's workers run as an unprivileged user: the web root
    // must not lie below a home directory such as /root that they cannot enter.
    // The service's own user has no home: its data root is the service's.
    if (RunningAsRoot() || RunningAsServiceUser())
        return "/var/lib/kwagent";
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/')
        return WithoutTrailingSlashes(data) + "/kwagent";
    return WithoutTrailingSlashes(UserHomeDirectory()) + "/.local/share/kwagent";
}

const char* HomeVariable() {
    const char* home = std::getenv("KWA_HOME");
    return home != nullptr && home[0] != '\0' ? home : nullptr;
}

} // namespace

std::string HomePath() {
    const char* home = HomeVariable();
    if (home == nullptr)
        return DefaultHome();
    std::string path = home;
    if (path[0] != '/')
        path = CurrentDirectory() + "/" + path;
    return WithoutTrailingSlashes(path);
}

bool EnsureHome() {
    return EnsureDirectory(HomePath(), PrivateDirectoryMode(), true);
}

std::string LibraryDirectory() {
    static const std::string* directory = [] {
        Dl_info info;
        std::string path;
        if (dladdr(reinterpret_cast<void*>(&LibraryDirectory), &info) != 0 &&
            info.dli_fname != nullptr) {
            char* resolved = realpath(info.dli_fname, nullptr);
            path = resolved != nullptr ? resolved : info.dli_fname;
            std::free(resolved);
        }
        const auto slash = path.find_last_of('/');
        path = slash == std::string::npos ? CurrentDirectory()
                                          : (slash == 0 ? "/" : path.substr(0, slash));
        return new std::string(path);
    }();
    return *directory;
}

} // namespace Internal

namespace Host {

wxString Home() {
    return Internal::FromFs(Internal::HomePath());
}

bool HomeIsDefault() {
    return Internal::HomeVariable() == nullptr;
}

wxString ProgramDir() {
    return CDom::This()->GetWxString("app.path.bin");
}

} // namespace Host

std::string CDom::GetPluginWorkdir(const char* name) {
    const std::string plugins = Internal::HomePath() + "/plugins";
    // nginx workers (another user when the agent runs as root) must pass through
    // the home and the plug-ins directory to reach a plug-in's web root.
    if (Internal::EnsureHome())
        Internal::EnsureDirectory(plugins, Internal::PrivateDirectoryMode(), true);
    std::string directory = plugins;
    if (name != nullptr && name[0] != '\0')
        directory += "/" + Internal::WithoutTrailingSlashes(name);
    return directory;
}

wxString CDom::GetPluginWorkdirWx(const char* name) {
    return Internal::FromFs(GetPluginWorkdir(name));
}

} // namespace KwaCore
