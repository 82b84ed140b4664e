// The command line of a process, from /proc/<pid>/cmdline.
#include "Internal.h"

#include <KwaCore.h>

#include <climits>
#include <string>

namespace KwaCore {

wxString GetCommandLineW(unsigned long pid) {
    if (pid == 0 || pid > static_cast<unsigned long>(INT_MAX))
        return wxString();
    const std::string base = "/proc/" + std::to_string(pid);
    // A zombie has ended: it has no command line any more.
    std::string stat;
    if (!Internal::ReadWholeFile(base + "/stat", stat))
        return wxString();
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z')
        return wxString();
    std::string arguments;
    if (!Internal::ReadWholeFile(base + "/cmdline", arguments))
        return wxString();
    // The arguments end with a NUL each; a process that rewrote its title (nginx
    // does) may leave a run of them at the end.
    while (!arguments.empty() && arguments.back() == '\0')
        arguments.pop_back();
    for (char& c : arguments) {
        if (c == '\0')
            c = ' ';
    }
    return Internal::FromUtf8Lenient(arguments);
}

} // namespace KwaCore
