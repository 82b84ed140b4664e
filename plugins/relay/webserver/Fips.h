// OpenSSL's FIPS state as the web server configuration and the nginx command
// lines see it. Internal to the module: scripts cannot reach it.
#pragma once

namespace Relay {
namespace WebServer {

// True when OpenSSL's default properties (default library context) are in FIPS
// mode. Asked afresh on every call; nothing is cached.
bool IsFipsEnabled();

// Replaces the question asked of OpenSSL; null restores OpenSSL's own answer.
// Only the tests use it: they cannot switch the library into FIPS mode.
using FipsQuery = bool (*)();
void SetFipsQuery(FipsQuery query);

} // namespace WebServer
} // namespace Relay
