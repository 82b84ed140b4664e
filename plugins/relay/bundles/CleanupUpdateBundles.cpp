// CleanupUpdateBundles: records the bundles unpacked by ExtractBundles as
// installed (on request) and removes the temporary extraction tree.
#include "BundlePaths.h"
#include "server/RelayServer.h"
#include "server/Trace.h"

#include <wx/dir.h>
#include <wx/log.h>

namespace Relay {

void CRelayServer::CleanupUpdateBundles(bool flag) {
    const char* const function = "Relay::CRelayServer::CleanupUpdateBundles";
    const wxFileName bundleDir = Bundles::BundleDir();
    wxFileName tempRoot = bundleDir;
    tempRoot.AppendDir("tmp");
    const wxString tempRootPath = tempRoot.GetPath(wxPATH_GET_VOLUME);

    {
        wxDir listing;
        {
            wxLogNull quiet; // a missing tree is the normal case
            if (!wxDirExists(tempRootPath) || !listing.Open(tempRootPath))
                return;
        }
        RS_TRACE(function, "CleanupUpdateBundles()");
        if (flag) {
            wxString name;
            for (bool more = listing.GetFirst(&name, wxEmptyString, wxDIR_DIRS); more;
                 more = listing.GetNext(&name)) {
                RS_TRACE(function, "CleanupUpdateBundles: %s", name);
                wxFileName marker = bundleDir;
                marker.AppendDir(name);
                // An existing marker stays as it is; a failed creation is ignored.
                wxLogNull quiet;
                wxFileName::Mkdir(marker.GetPath(wxPATH_GET_VOLUME), Bundles::BundleDirMode,
                                  wxPATH_MKDIR_FULL);
            }
        }
    }
    KwaCore::RemoveDirectoryW(tempRootPath, false);
}

} // namespace Relay
