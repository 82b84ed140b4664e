// kwagent status: the addresses nginx listens on and a TLS handshake on loopback.
#include "StatusParts.h"

#include <KwaCore.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace Agent {
namespace Status {

namespace fs = std::filesystem;

std::string ShowAddress(const ListenAddress& listen) {
    const std::string port = std::to_string(listen.port);
    if (listen.host.empty())
        return (listen.v6 ? "[::]:" : "*:") + port;
    return listen.v6 ? "[" + listen.host + "]:" + port : listen.host + ":" + port;
}

Json ListenFacts(const fs::path& config, std::vector<ListenAddress>& addresses) {
    Json facts;
    std::ifstream in(config);
    if (in) {
        std::stringstream text;
        text << in.rdbuf();
        addresses = ParseListenLines(text.str());
    }
    if (!addresses.empty()) {
        facts["source"] = config.string();
    } else {
        // No configuration written yet: the port the relay script would use.
        int port = DefaultPort;
        const std::string setting = Trim(KwaCore::CDom::This()->GetString("kwp.RelayServer.port"));
        if (!setting.empty() && ParsePort(setting, port))
            facts["source"] = "kwp.RelayServer.port";
        else
            facts["source"] = "default";
        addresses.push_back(ListenAddress{"", false, port});
        addresses.push_back(ListenAddress{"::", true, port});
    }
    facts["port"] = addresses.front().port;
    Json shown = Json::array();
    for (const auto& address : addresses)
        shown.push_back(ShowAddress(address));
    facts["addresses"] = shown;
    return facts;
}

Json CertificateJson(const CertificateFacts& certificate) {
    Json facts;
    facts["subject"] = certificate.subject;
    facts["issuer"] = certificate.issuer;
    facts["not_before"] = certificate.notBefore;
    facts["not_after"] = certificate.notAfter;
    facts["days_left"] = certificate.daysLeft;
    facts["expired"] = certificate.expired;
    facts["not_yet_valid"] = certificate.notYetValid;
    facts["sha256"] = certificate.sha256;
    facts["key"] = certificate.key;
    return facts;
}

Json HandshakeFacts(const std::vector<ListenAddress>& addresses, bool nginxProved,
                    const std::string& relaySha256, int timeoutMs, Json& reasons) {
    Json facts;
    facts["attempted"] = false;
    facts["ok"] = false;
    if (!nginxProved) {
        facts["error"] = "not attempted: nginx is not running";
        return facts;
    }
    // IPv4 first; each loopback address once.
    std::vector<std::pair<std::string, int>> targets;
    for (int pass = 0; pass < 2; ++pass)
        for (const auto& address : addresses) {
            const std::string loopback = LoopbackFor(address);
            const bool v4 = loopback == "127.0.0.1";
            if (loopback.empty() || (pass == 0) != v4)
                continue;
            const auto target = std::make_pair(loopback, address.port);
            if (std::find(targets.begin(), targets.end(), target) == targets.end())
                targets.push_back(target);
        }
    if (targets.empty()) {
        std::string listed;
        for (const auto& address : addresses)
            listed += (listed.empty() ? "" : ", ") + ShowAddress(address);
        facts["error"] =
            "nginx listens on " + listed + " only; status contacts loopback addresses only";
        reasons.push_back("no TLS handshake: " + facts["error"].get<std::string>());
        return facts;
    }
    HandshakeResult result;
    for (const auto& target : targets) {
        result = Handshake(target.first, target.second, timeoutMs);
        if (result.ok)
            break;
    }
    facts["attempted"] = true;
    facts["ok"] = result.ok;
    facts["address"] = result.address;
    facts["port"] = result.port;
    facts["milliseconds"] = result.milliseconds;
    if (!result.ok) {
        facts["error"] = result.error;
        reasons.push_back("no TLS handshake on " +
                          (result.address == "::1" ? "[::1]" : result.address) + ":" +
                          std::to_string(result.port) + ": " + result.error);
        return facts;
    }
    facts["protocol"] = result.protocol;
    facts["cipher"] = result.cipher;
    facts["certificate"] = CertificateJson(result.presented);
    facts["matches_relay_certificate"] =
        !relaySha256.empty() && result.presented.sha256 == relaySha256;
    return facts;
}

std::vector<ListenAddress> ParseListenLines(const std::string& config) {
    std::vector<ListenAddress> addresses;
    std::istringstream lines(config);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string directive, word;
        if (!(words >> directive >> word) || directive != "listen")
            continue;
        if (!word.empty() && word.back() == ';')
            word.pop_back();
        if (word.rfind("unix:", 0) == 0)
            continue;
        ListenAddress address;
        std::string port = "80";
        if (!word.empty() && word[0] == '[') {
            const auto close = word.find(']');
            if (close == std::string::npos)
                continue;
            address.v6 = true;
            address.host = word.substr(1, close - 1);
            if (close + 1 < word.size()) {
                if (word[close + 1] != ':')
                    continue;
                port = word.substr(close + 2);
            }
            if (address.host == "::")
                address.host.clear();
        } else if (std::all_of(word.begin(), word.end(),
                               [](unsigned char c) { return std::isdigit(c); })) {
            port = word;
        } else {
            const auto colon = word.rfind(':');
            address.host = colon == std::string::npos ? word : word.substr(0, colon);
            if (colon != std::string::npos)
                port = word.substr(colon + 1);
            if (address.host == "*" || address.host == "0.0.0.0")
                address.host.clear();
        }
        if (!ParsePort(port, address.port))
            continue;
        addresses.push_back(address);
    }
    return addresses;
}

std::string LoopbackFor(const ListenAddress& listen) {
    if (listen.v6)
        return listen.host.empty() || listen.host == "::1" ? "::1" : "";
    return listen.host.empty() || listen.host == "127.0.0.1" || listen.host == "localhost"
               ? "127.0.0.1"
               : "";
}

} // namespace Status
} // namespace Agent
