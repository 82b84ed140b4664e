// The parts of kwagent status shared by its files: the facts it gathers about
// processes, the listen port and handshake, bundles, logs and events, and the
// small file and text helpers they use.
#pragma once

#include "Status.h"
#include "TlsProbe.h"

#include <wx/string.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace Agent {
namespace Status {

using Json = nlohmann::ordered_json;

// The relay's limits for its web server logs.
constexpr uint64_t RotationSize = 5242880;    // 5 MiB: a larger log is rotated
constexpr uint64_t ProtectionSize = 20971520; // 20 MiB: a larger error log is deleted
constexpr int GenerationsKept = 5;
constexpr int DefaultPort = 4122;

std::string Utf8(const wxString& text);
std::string Trim(const std::string& text);
bool ParsePort(const std::string& text, int& port);
bool IsRegularFile(const std::filesystem::path& path, uint64_t* size = nullptr);
bool IsDirectory(const std::filesystem::path& path);

// The launcher and nginx: alive, and proved by their command lines as the relay
// proves them before it removes a stale server. A reason is added when not.
Json ProcessFacts(const std::filesystem::path& pidFile, const std::string& program,
                  bool mustBeginWith, const char* what, Json& reasons);
// The agent that holds the data directory's lock; 0 for none.
long AgentHoldingLock(const std::filesystem::path& lockFile);

// "*:4122", "[::]:4122", "127.0.0.1:4122".
std::string ShowAddress(const ListenAddress& listen);
// The listen addresses of the written configuration, or the configured port.
Json ListenFacts(const std::filesystem::path& config, std::vector<ListenAddress>& addresses);
Json CertificateJson(const CertificateFacts& certificate);
// A TLS handshake on the first loopback address that answers.
Json HandshakeFacts(const std::vector<ListenAddress>& addresses, bool nginxProved,
                    const std::string& relaySha256, int timeoutMs, Json& reasons);

Json BundleFacts(const std::filesystem::path& work, const std::string& programDir);
Json LogFacts(const std::filesystem::path& log, bool isErrorLog);
// The last count events of the agent's events log, oldest first.
Json EventFacts(const std::filesystem::path& eventsLog, int count);

} // namespace Status
} // namespace Agent
