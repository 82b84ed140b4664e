// Paths of the relay's bundle directories, shared by extraction and cleanup.
#pragma once

#include <KwaCore.h>

#include <wx/filename.h>
#include <wx/string.h>

namespace Relay {
namespace Bundles {

// W: the relay's work directory as the core library names it for "relay".
inline wxString RelayWorkDir() {
    const std::string narrow = KwaCore::CDom::This()->GetPluginWorkdir("relay");
    // The agent's file name conversion: a name that is not UTF-8 keeps its bytes.
    return wxString(narrow.data(), *wxConvFileName, narrow.size());
}

// W/"bundle", then any further levels appended.
inline wxFileName BundleDir() {
    wxFileName dir = wxFileName::DirName(RelayWorkDir());
    dir.AppendDir("bundle");
    return dir;
}

// Directories are created owner-only: 0700 rather than 0600, so that an owner
// without privileges can still create the levels below.
constexpr int BundleDirMode = 0700;

} // namespace Bundles
} // namespace Relay
