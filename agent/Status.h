// kwagent status: what the relay under KWA_HOME is doing, read without starting
// or changing anything. Serving means the launcher and nginx are alive, proved by
// their pid files and command lines, and a TLS handshake on loopback succeeded.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace Agent {
namespace Status {

// Exit statuses, as service managers expect of a status command.
constexpr int ExitServing = 0;
constexpr int ExitUsage = 2;
constexpr int ExitNotServing = 3;
constexpr int ExitUnknown = 4;

struct Options {
    bool json = false;
    int events = 10;      // the last events shown
    int timeoutMs = 2000; // for the whole handshake
};

// The arguments after "status". False with a message on a bad one.
bool ParseArguments(const std::vector<std::string>& arguments, Options& options,
                    std::string& error);

// One "listen" directive of nginx.conf.
struct ListenAddress {
    std::string host; // "" for every address, else as written (without brackets)
    bool v6 = false;
    int port = 0;
};
std::vector<ListenAddress> ParseListenLines(const std::string& config);
// The loopback address through which a listen address can be reached, or "" when
// it cannot (a specific address that is not loopback is never contacted).
std::string LoopbackFor(const ListenAddress& listen);

// True for the names of update bundles: kwupdate_*.zip.
bool IsBundleArchiveName(const std::string& name);

// Everything status knows, as the JSON object that --json prints.
nlohmann::ordered_json Gather(const Options& options);
// The same for a person.
std::string RenderText(const nlohmann::ordered_json& facts);

// kwagent status [--json] [--events N] [--timeout MS]; returns the exit status.
int Main(const std::vector<std::string>& arguments);

} // namespace Status
} // namespace Agent
