// The core library's wx log target: errors and warnings are always recorded,
// verbose messages (wxLOG_Info) only while verbose logging is on. Nothing goes to
// standard error; the agent program decides what to print through its observer.
#include "Internal.h"

#include <KwaCoreHost.h>

#include <wx/log.h>

#include <atomic>

namespace KwaCore {
namespace {

std::atomic<bool> verbose{false};

class CoreLogTarget : public wxLog {
protected:
    void DoLogRecord(wxLogLevel level, const wxString& message,
                     const wxLogRecordInfo& info) override {
        const bool wanted = level == wxLOG_Error || level == wxLOG_Warning ||
                            (level == wxLOG_Info && Internal::VerboseEnabled());
        if (!wanted)
            return;
        const wxString function = info.func != nullptr ? wxString::FromUTF8(info.func) : wxString();
        Internal::RecordLogMessage(static_cast<int>(level), function, message);
    }
};

// wx keeps the messages of threads other than its main one in a private buffer
// that only the main thread's event loop empties (wxLog::FlushThreadMessages).
// The agent has no event loop, so that buffer is emptied as soon as a message
// arrives in it (see FlushBackgroundLogMessages). The member is private; an
// explicit template instantiation may name it (access checks do not apply there)
// and hand it out through a friend function.
struct FlushThreadMessagesTag {
    using type = void (wxLog::*)();
    friend type Member(FlushThreadMessagesTag);
};
template <typename Tag, typename Tag::type member> struct Expose {
    friend typename Tag::type Member(Tag) { return member; }
};
template struct Expose<FlushThreadMessagesTag, &wxLog::FlushThreadMessages>;

} // namespace

namespace Internal {

void InstallLogTarget() {
    // Repetition counting would hold back a repeated message until the next one.
    wxLog::SetRepetitionCounting(false);
    wxLog::SetLogLevel(wxLOG_Max);
    delete wxLog::SetActiveTarget(new CoreLogTarget);
}

void FlushBackgroundLogMessages() {
    // Called on the logging thread, inside wx's (recursive) buffer lock: the
    // buffered records are handed to the target at once, in the order logged.
    wxLog* const target = wxLog::GetActiveTarget();
    if (target != nullptr)
        (target->*Member(FlushThreadMessagesTag()))();
}

bool VerboseEnabled() {
    return verbose.load();
}

} // namespace Internal

namespace Host {

void SetVerbose(bool on) {
    verbose.store(on);
    // Code that checks wxLog::GetVerbose() before logging verbosely must agree.
    wxLog::SetVerbose(on);
}

} // namespace Host
} // namespace KwaCore
