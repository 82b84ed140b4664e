// ExtractBundles: unpacks the update bundles found beside the agent into
// temporary directories below the relay's bundle directory.
#include "BundlePaths.h"
#include "DirectoryEntries.h"
#include "UniqueFd.h"
#include "server/RelayServer.h"
#include "server/ScriptText.h"
#include "server/Trace.h"

#include <wx/arrstr.h>
#include <wx/log.h>
#include <wx/zipstrm.h>

#include <lua.hpp>

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace Relay {

namespace {

const char* const ExtractFunction = "Relay::CRelayServer::ExtractBundles";

// Per-entry callback of KwaCore::Unzip: traces the entry and stops once the
// agent is shutting down.
bool bundleUnzipCallback(void* context, const wxZipEntry* entry, const wchar_t* path) {
    if (entry != nullptr)
        RS_TRACE("Relay::bundleUnzipCallback", " extracting %s", entry->GetName());
    return !KwaCore::CDom::This()->ShouldExit(0, nullptr);
}

// The bundles in directory, in listing order: visible regular files (or links
// to one) named kwupdate_*.zip. A FIFO, socket, device or directory of that name
// is no bundle; stat() looks at it without opening it, so nothing here blocks.
void ListBundles(const wxString& directory, wxArrayString& found) {
    const wxScopedCharBuffer path = directory.fn_str();
    if (directory.empty() || path.length() == 0)
        return;
    const Kwa::UniqueFd dir(::open(path.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<Kwa::DirectoryEntry> entries;
    if (!dir || !Kwa::ListDirectory(dir.Get(), entries))
        return;
    const wxString prefix =
        directory.EndsWith(wxFILE_SEP_PATH) ? directory : directory + wxFILE_SEP_PATH;
    for (const Kwa::DirectoryEntry& entry : entries) {
        struct stat info {};
        if (::fnmatch("kwupdate_*.zip", entry.name.c_str(), FNM_PERIOD) != 0 ||
            ::fstatat(dir.Get(), entry.name.c_str(), &info, 0) != 0 || !S_ISREG(info.st_mode))
            continue;
        found.Add(prefix + wxString(entry.name.data(), *wxConvFileName, entry.name.size()));
    }
}

enum class Outcome { Nil, Table, NoBundleDir, Failed };

// Does the work with C++ objects alive; leaves nil or the table on the stack,
// or fills error and leaves the stack as it found it.
Outcome Extract(lua_State* L, char* error, size_t errorSize) {
    const int top = lua_gettop(L);
    const wxString programDir = KwaCore::CDom::This()->GetWxString("app.path.bin");
    if (programDir.empty() || !wxDirExists(programDir))
        return Outcome::Nil;
    // Q: P without its last directory; the root is its own parent.
    wxFileName parent = wxFileName::DirName(programDir);
    if (parent.GetDirCount() > 0)
        parent.RemoveLastDir();

    wxArrayString bundles;
    ListBundles(programDir, bundles);
    ListBundles(parent.GetPath(wxPATH_GET_VOLUME), bundles);
    if (bundles.empty())
        return Outcome::Nil;

    RS_LOG_VERBOSE(ExtractFunction, "ExtractBundles()");

    const wxFileName bundleDir = Bundles::BundleDir();
    const wxString bundlePath = bundleDir.GetPath(wxPATH_GET_VOLUME);
    if (!wxDirExists(bundlePath) &&
        !wxFileName::Mkdir(bundlePath, Bundles::BundleDirMode, wxPATH_MKDIR_FULL))
        return Outcome::NoBundleDir;

    wxFileName tempRoot = bundleDir;
    tempRoot.AppendDir("tmp");
    const wxString tempRootPath = tempRoot.GetPath(wxPATH_GET_VOLUME);

    lua_newtable(L);
    int next = 1;
    for (size_t i = 0; i < bundles.size(); ++i) {
        const int index = int(i);
        RS_TRACE(ExtractFunction, "UpdateBundle[%d]:%s", index, bundles[i]);
        const wxString name = wxFileName(bundles[i]).GetName();

        wxFileName marker = bundleDir;
        marker.AppendDir(name);
        if (wxDirExists(marker.GetPath(wxPATH_GET_VOLUME))) {
            RS_TRACE(ExtractFunction, "UpdateBundle[%d]:Already installed", index);
            continue;
        }

        wxFileName temp = tempRoot;
        temp.AppendDir(name);
        const wxString tempPath = temp.GetPath(wxPATH_GET_VOLUME);
        if (wxDirExists(tempPath)) {
            RS_TRACE(ExtractFunction, "UpdateBundle[%d]:Removing old temp files", index);
            KwaCore::RemoveDirectoryW(tempPath, false);
        }

        RS_TRACE(ExtractFunction, "UpdateBundle[%d]:Extracting...", index);
        bool ok = false;
        {
            wxLogNull quiet; // a failure is reported below, as the scripting error
            ok = wxFileName::Mkdir(tempPath, Bundles::BundleDirMode, wxPATH_MKDIR_FULL);
        }
        ok = ok && KwaCore::Unzip(wxFileName(bundles[i]), temp, bundleUnzipCallback, nullptr);
        const wxScopedCharBuffer bytes = ScriptBytes(tempPath);
        if (!ok) {
            RS_TRACE(ExtractFunction, "UpdateBundle[%d]:Failed...", index);
            KwaCore::RemoveDirectoryW(tempRootPath, false);
            snprintf(error, errorSize, "Failed bundle extraction: %s", bytes.data());
            lua_settop(L, top);
            return Outcome::Failed;
        }
        lua_pushlstring(L, bytes.data(), bytes.length());
        lua_rawseti(L, -2, next++);
    }
    return Outcome::Table;
}

} // namespace

int CRelayServer::ExtractBundles(lua_State* L) {
    char error[4096];
    error[0] = '\0';
    Outcome outcome = Outcome::Failed;
    try {
        outcome = Extract(L, error, sizeof(error));
    } catch (...) {
        snprintf(error, sizeof(error), "Failed bundle extraction: %s", "");
        outcome = Outcome::Failed;
    }
    // Only plain values live here, so raising cannot skip a destructor.
    switch (outcome) {
    case Outcome::Nil:
        lua_pushnil(L);
        return 1;
    case Outcome::Table:
        return 1;
    case Outcome::NoBundleDir:
        return luaL_error(L, "Failed to create bundle directory");
    case Outcome::Failed:
        break;
    }
    return luaL_error(L, "%s", error);
}

} // namespace Relay
