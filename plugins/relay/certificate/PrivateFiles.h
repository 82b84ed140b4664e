// The files of the key and the certificate: made afresh without following what
// stands at their path, and the key kept readable by its owner alone.
#pragma once

#include "OpenSslHandles.h"

#include <wx/string.h>

namespace Relay {
namespace Certificate {

// Opens path for writing ("wb") as a new file of mode 0600. Whatever stood at the
// path (a link, a file of another owner, a FIFO) is removed first, so nothing is
// written through it; a directory there makes the open fail. Null with errno set
// on failure.
Kwa::FilePtr CreateFresh(const wxString& path);

// For a key that is kept: true when path is a regular file (not a link), which
// then ends with mode 0600. Where its mode cannot be changed (another owner) one
// error line of function names the file, its owner and mode; the key is still
// kept. False (nothing changed) for anything else at the path.
bool KeepPrivate(const wxString& path, const char* function);

} // namespace Certificate
} // namespace Relay
