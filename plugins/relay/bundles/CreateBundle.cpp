// CreateBundle: packs the web root into a new time-stamped update bundle in the
// relay's work directory, one creation at a time per object.
#include "binding/Binding.h"
#include "server/RelayServer.h"
#include "server/Trace.h"

#include <wx/datetime.h>
#include <wx/filename.h>

#include <lua.hpp>

#include <cstring>
#include <cwchar>

namespace Relay {

namespace {

const char* const CreateFunction = "Relay::CRelayServer::CreateBundle";

// Per-entry callback of KwaCore::Zip: what lies below bundle*, upload* or kwa*
// at the top of the web root stays out; the agent's shutdown aborts the build.
KwaCore::ZipAction createBundleCB(void* context, const wchar_t* path) {
    if (path != nullptr && path[0] != L'\0') {
        static const wchar_t* const excluded[] = {L"bundle", L"upload", L"kwa"};
        for (const wchar_t* prefix : excluded) {
            if (std::wcsncmp(path, prefix, std::wcslen(prefix)) == 0) {
                RS_TRACE("Relay::createBundleCB", " ignoring %s", path);
                return KwaCore::ZipAction::Skip;
            }
        }
        RS_TRACE("Relay::createBundleCB", " bundling %s", path);
    }
    return KwaCore::CDom::This()->ShouldExit(0, nullptr) ? KwaCore::ZipAction::Abort
                                                         : KwaCore::ZipAction::Include;
}

} // namespace

bool CRelayServer::CreateBundle(int& status, wxString& text) {
    const wxString name =
        "kwupdate_" + KwaCore::toString(static_cast<long long>(wxDateTime::GetTimeNow()));
    RS_TRACE(CreateFunction, "CreateBundle() %s", name);

    const wxFileName source = wxFileName::DirName(InstallDir);
    const wxFileName archive(WorkDir, name, "zip");

    if (UpdateLock.TryLock() == wxMUTEX_BUSY) {
        status = 503;
        text = "Busy with update";
        RS_TRACE(CreateFunction, "CreateBundle() Busy with update");
        return true;
    }
    // Any other answer of the try-lock lets the creation go on; the unlock below
    // runs on every path.
    struct Unlock {
        wxMutex& mutex;
        ~Unlock() { mutex.Unlock(); }
    } unlock{UpdateLock};

    if (KwaCore::Zip(archive, source, createBundleCB, nullptr)) {
        RS_TRACE(CreateFunction, "CreateBundle() Success");
        status = 0;
        text = name;
    } else {
        RS_TRACE(CreateFunction, "CreateBundle() Failed");
        if (archive.FileExists())
            wxRemoveFile(archive.GetFullPath());
        status = 500;
        text = "Failed to create";
    }
    return true;
}

int CRelayServer::CreateBundleLua(lua_State* L) {
    bool readOnly = false;
    CRelayServer* server = Binding::CheckRelayServerArg(L, 1, &readOnly);
    RS_TRACE("Relay::CRelayServer::CreateBundleLua", "RelayServer::CreateBundle()");
    if (server == nullptr || readOnly)
        return luaL_argerror(L, 1, "RelayServer object expected");

    int status = 500;
    char text[256] = "Failed to create";
    {
        try {
            wxString result;
            server->CreateBundle(status, result);
            const wxScopedCharBuffer utf8 = result.utf8_str();
            std::strncpy(text, utf8.data() ? utf8.data() : "", sizeof(text) - 1);
            text[sizeof(text) - 1] = '\0';
        } catch (...) {
            status = 500;
            std::strcpy(text, "Failed to create");
        }
    }
    lua_pushboolean(L, status == 0);
    lua_pushinteger(L, status);
    lua_pushstring(L, text);
    return 3;
}

} // namespace Relay
