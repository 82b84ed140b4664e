// What kwvp reads of nginx's command line and configuration: which file nginx
// runs, and whether that configuration passes requests to the upload service.
#pragma once

#include <string>
#include <vector>

namespace Kwvp {

// The configuration file named by nginx's arguments (-c, relative to -p when not
// absolute); "" when they name none.
std::string ConfigPathOf(const std::vector<std::string>& nginxArgs);

// Whether the configuration text passes FastCGI requests to 127.0.0.1:port (a
// "fastcgi_pass 127.0.0.1:<port>;" directive outside comments).
bool PassesFastCgiTo(const std::string& text, int port);

// The same for the file at path; false (with a log line) when it cannot be read.
bool ConfigPassesFastCgiTo(const std::string& path, int port);

} // namespace Kwvp
