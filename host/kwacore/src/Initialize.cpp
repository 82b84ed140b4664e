// Setting up the process for the core library, whoever loaded it (the agent, a
// stock lua5.2, a test program): wxWidgets with an application object, the core
// library's log target, a UTF-8 character type, file names kept as raw bytes
// and the shutdown signal.
#include "Internal.h"

#include <KwaCoreHost.h>

#include <wx/app.h>
#include <wx/init.h>
#include <wx/thread.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace KwaCore {
namespace {

// The application object the core library gives a process that has none.
class CoreApp : public wxAppConsole {
public:
    // wx calls this (through wxWakeUpIdle) on a thread other than the main one
    // right after it buffered that thread's log message for the main thread's
    // event loop. There is no such loop: the message is recorded now instead.
    void WakeUpIdle() override {
        if (!wxThread::IsMain())
            Internal::FlushBackgroundLogMessages();
        wxAppConsole::WakeUpIdle();
    }
};

// A process that never chose a locale converts text as ASCII only: non-ASCII paths
// (a home below "Café") would then come back empty from wx's conversions. The
// character type alone is switched; numbers and messages keep the C conventions.
void ChooseUtf8CharacterType() {
    const char* current = std::setlocale(LC_CTYPE, nullptr);
    if (current != nullptr && std::strcmp(current, "C") != 0 && std::strcmp(current, "POSIX") != 0)
        return;
    if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr)
        std::setlocale(LC_CTYPE, "C.utf8");
}

bool VerboseRequested() {
    const char* value = std::getenv("KWA_VERBOSE");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

} // namespace

namespace Host {

void Initialize() {
    static std::once_flag once;
    std::call_once(once, [] {
        ChooseUtf8CharacterType();
        Internal::UseRawFileNames();
        Internal::PrepareShutdownSignal();
        // wxExecute needs an application object; a host that made its own keeps it.
        if (wxTheApp == nullptr)
            wxApp::SetInstance(new CoreApp);
        wxInitialize();
        Internal::InstallLogTarget();
        SetVerbose(VerboseRequested());
    });
}

} // namespace Host
} // namespace KwaCore

namespace {
// Runs when the library is loaded, before anything can call into it.
__attribute__((constructor)) void InitializeWhenLoaded() {
    try {
        KwaCore::Host::Initialize();
    } catch (...) {
    }
}
} // namespace
