// kwagent status: its arguments, the facts it gathers into one JSON object, and
// its exit status. The facts themselves come from the Status*.cpp files beside it.
#include "Status.h"

#include "Privilege.h"
#include "StatusParts.h"

#include <KwaCore.h>
#include <KwaCoreHost.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

namespace Agent {
namespace Status {

namespace fs = std::filesystem;

std::string Utf8(const wxString& text) {
    const wxScopedCharBuffer utf8 = text.utf8_str();
    return std::string(utf8.data(), utf8.length());
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

namespace {

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

} // namespace

bool ParsePort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    port = std::atoi(text.c_str());
    return port >= 1 && port <= 65535;
}

bool IsRegularFile(const fs::path& path, uint64_t* size) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (size != nullptr)
        *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool IsDirectory(const fs::path& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ParseArguments(const std::vector<std::string>& arguments, Options& options,
                    std::string& error) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        if (arg == "--json") {
            options.json = true;
        } else if (arg == "--events" || arg == "--timeout") {
            int value = 0;
            const std::string text = i + 1 < arguments.size() ? arguments[i + 1] : std::string();
            const bool digits = !text.empty() && text.size() <= 6 &&
                                std::all_of(text.begin(), text.end(),
                                            [](unsigned char c) { return std::isdigit(c); });
            if (digits)
                value = std::atoi(text.c_str());
            if (!digits || (arg == "--timeout" && value < 1)) {
                error = arg + " needs a whole number";
                return false;
            }
            (arg == "--events" ? options.events : options.timeoutMs) = value;
            ++i;
        } else {
            error = "unknown argument " + arg;
            return false;
        }
    }
    return true;
}

Json Gather(const Options& options) {
    Json facts;
    Json reasons = Json::array();
    const fs::path home(KwaCore::Host::PathBytes(KwaCore::Host::Home()));
    const fs::path work = home / "plugins" / "relay";
    const std::string programDir =
        WithoutTrailingSlashes(Trim(KwaCore::CDom::This()->GetString("app.path.bin")));

    facts["serving"] = false;
    facts["reasons"] = Json::array();
    facts["home"] = {{"path", home.string()},
                     {"default", KwaCore::Host::HomeIsDefault()},
                     {"exists", IsDirectory(home)}};
    if (!IsDirectory(home))
        reasons.push_back("the data directory " + home.string() + " does not exist");
    facts["program_dir"] = programDir;
    facts["work_dir"] = work.string();

    const long agent = AgentHoldingLock(home / "kwagent.lock");
    facts["agent"] = {{"running", agent != 0}, {"pid", agent != 0 ? Json(agent) : Json(nullptr)}};

    facts["launcher"] =
        ProcessFacts(work / "kwvp.pid", programDir + "/kwvp.exe", true, "launcher", reasons);
    facts["nginx"] =
        ProcessFacts(work / "nginx.pid", programDir + "/nginx.exe", false, "nginx", reasons);

    std::vector<ListenAddress> addresses;
    facts["listen"] = ListenFacts(work / "nginx.conf", addresses);

    const fs::path certificatePath = work / "kw_relay.pem";
    const CertificateFacts certificate = ReadCertificateFile(certificatePath.string());
    Json certificateFacts;
    certificateFacts["path"] = certificatePath.string();
    certificateFacts["present"] = certificate.read;
    if (certificate.read) {
        const Json described = CertificateJson(certificate);
        for (const auto& item : described.items())
            certificateFacts[item.key()] = item.value();
    } else {
        certificateFacts["error"] = certificate.error;
    }

    facts["handshake"] = HandshakeFacts(addresses, facts["nginx"]["proved"].get<bool>(),
                                        certificate.sha256, options.timeoutMs, reasons);
    facts["certificate"] = certificateFacts;

    const fs::path caPath = home / "plugins" / "kwa_core" / "kw_agent_kwm.crt";
    const CertificateFacts ca = ReadCertificateFile(caPath.string());
    Json caFacts;
    caFacts["path"] = caPath.string();
    caFacts["present"] = IsRegularFile(caPath);
    if (ca.read) {
        caFacts["subject"] = ca.subject;
        caFacts["not_after"] = ca.notAfter;
        caFacts["expired"] = ca.expired;
    } else if (IsRegularFile(caPath)) {
        caFacts["error"] = ca.error;
    }
    facts["management_ca"] = caFacts;

    facts["bundles"] = BundleFacts(work, programDir);

    Json logs;
    logs["directory"] = (work / "logs").string();
    logs["rotation_size"] = RotationSize;
    logs["protection_size"] = ProtectionSize;
    logs["generations_kept"] = GenerationsKept;
    logs["access"] = LogFacts(work / "logs" / "access.log", false);
    logs["error"] = LogFacts(work / "logs" / "error.log", true);
    facts["logs"] = logs;

    facts["events"] = EventFacts(home / "logs" / "events.log", options.events);

    facts["serving"] = facts["launcher"]["proved"].get<bool>() &&
                       facts["nginx"]["proved"].get<bool>() && facts["handshake"]["ok"].get<bool>();
    // A low port the service may not bind: nginx never comes up.
    int port = DefaultPort;
    ParsePort(Trim(KwaCore::CDom::This()->GetString("kwp.RelayServer.port")), port);
    if (!facts["serving"].get<bool>() && !LowPortAdvice(port).empty())
        reasons.push_back(LowPortAdvice(port));
    facts["reasons"] = reasons;
    return facts;
}

int Main(const std::vector<std::string>& arguments) {
    const char* const usage =
        "usage: kwagent status [--json] [--events N] [--timeout MS]\n"
        "Tells whether the relay under KWA_HOME serves (exit 0) or not (exit 3), with its\n"
        "certificate, bundles, logs and last agent events; --json prints one JSON object.\n";
    for (const auto& arg : arguments)
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage, stdout);
            return ExitServing;
        }
    Options options;
    std::string error;
    if (!ParseArguments(arguments, options, error)) {
        std::fprintf(stderr, "kwagent status: %s\n%s", error.c_str(), usage);
        return ExitUsage;
    }
    // A server that closes the connection must not end the status command.
    signal(SIGPIPE, SIG_IGN);
    try {
        const Json facts = Gather(options);
        if (options.json)
            std::cout << facts.dump(2, ' ', false, Json::error_handler_t::replace) << std::endl;
        else
            std::cout << RenderText(facts) << std::flush;
        return facts["serving"].get<bool>() ? ExitServing : ExitNotServing;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kwagent status: %s\n", e.what());
        return ExitUnknown;
    }
}

} // namespace Status
} // namespace Agent
