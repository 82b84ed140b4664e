// The pid file an nginx configuration file names, and a configuration test that
// leaves no pid file behind where there was none.
#pragma once

#include <wx/string.h>

namespace Relay {
namespace WebServer {

// The absolute path of the main context's "pid" directive of the configuration
// file at configPath; empty when it names none (or a relative path, which nginx
// resolves against a prefix that the file does not tell), or when the file cannot
// be read. notRegular is set when a FIFO, socket or device stands at configPath
// (a FIFO would keep its reader, nginx too, waiting): it is not read then.
wxString PidFileOf(const wxString& configPath, bool& notRegular);

// Has nginx test configPath (_ValidateWebServerConfig). "nginx -t" creates the
// pid file it names, empty, when none exists: pidPath, when given, is removed
// afterwards if it was absent before the test and is empty after it.
bool ValidateLeavingNoPidFile(const wxString& configPath, const wxString& pidPath,
                              wxString& output);

} // namespace WebServer
} // namespace Relay
