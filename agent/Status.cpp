#include "Status.h"

#include "Privilege.h"
#include "Text.h"
#include "TlsProbe.h"

#include <KwaCore.h>
#include <KwaCoreHost.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

namespace Agent {
namespace Status {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

// The relay's limits for its web server logs.
constexpr uint64_t RotationSize = 5242880;    // 5 MiB: a larger log is rotated
constexpr uint64_t ProtectionSize = 20971520; // 20 MiB: a larger error log is deleted
constexpr int GenerationsKept = 5;
constexpr int DefaultPort = 4122;

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

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

bool ParsePort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    port = std::atoi(text.c_str());
    return port >= 1 && port <= 65535;
}

bool IsRegularFile(const fs::path& path, uint64_t* size = nullptr) {
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

// Names in a directory, sorted; nothing when it cannot be listed.
std::vector<std::string> Names(const fs::path& directory) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(directory, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// ---------------------------------------------------------------------------
// Processes
// ---------------------------------------------------------------------------

// The launcher and nginx: alive, and proved by their command lines as the relay
// proves them before it removes a stale server.
Json ProcessFacts(const fs::path& pidFile, const std::string& program, bool mustBeginWith,
                  const char* what, Json& reasons) {
    Json facts;
    facts["pid_file"] = pidFile.string();
    const bool exists = IsRegularFile(pidFile);
    const unsigned long pid = KwaCore::ReadPidFile(wxString::FromUTF8(pidFile.c_str()));
    facts["pid"] = pid != 0 ? Json(pid) : Json(nullptr);
    const wxString commandLine = pid != 0 ? KwaCore::GetCommandLineW(pid) : wxString();
    const bool running = !commandLine.empty();
    facts["running"] = running;
    facts["command_line"] = running ? Json(Utf8(commandLine)) : Json(nullptr);
    const wxString line = commandLine.Lower();
    const wxString expected = wxString::FromUTF8(program.c_str()).Lower();
    const bool proved =
        running && (mustBeginWith ? line.StartsWith(expected) : line.Find(expected) != wxNOT_FOUND);
    facts["proved"] = proved;
    std::string reason;
    if (!exists)
        reason = std::string(what) + ": no pid file " + pidFile.string();
    else if (pid == 0)
        reason = std::string(what) + ": the pid file " + pidFile.string() + " holds no process id";
    else if (!running)
        reason = std::string(what) + ": pid " + std::to_string(pid) + " is not running";
    else if (!proved)
        reason = std::string(what) + ": pid " + std::to_string(pid) + " is another program (" +
                 (mustBeginWith ? "its command line does not begin with "
                                : "its command line does not name ") +
                 program + ")";
    if (!reason.empty())
        reasons.push_back(reason);
    return facts;
}

// The agent that holds the data directory's lock, from /proc/locks (reading it
// takes no lock, so a starting agent is never turned away).
long AgentHoldingLock(const fs::path& lockFile) {
    struct stat st;
    if (stat(lockFile.c_str(), &st) != 0)
        return 0;
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:10952785 0 EOF"
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, where;
        if (!(fields >> number >> kind))
            continue;
        if (kind == "->") // a waiter
            continue;
        if (!(fields >> mode >> access >> pid >> where) || kind != "FLOCK")
            continue;
        unsigned int deviceMajor = 0, deviceMinor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &deviceMajor, &deviceMinor, &inode) != 3)
            continue;
        if (inode == st.st_ino && deviceMajor == major(st.st_dev) &&
            deviceMinor == minor(st.st_dev))
            return std::atol(pid.c_str());
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Listen port and handshake
// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------
// Bundles, logs, events
// ---------------------------------------------------------------------------

std::string BundleName(const std::string& archive) {
    const auto dot = archive.rfind('.');
    return dot == std::string::npos ? archive : archive.substr(0, dot);
}

Json ArchivesIn(const fs::path& directory, const fs::path& markers, bool skipInstalled) {
    Json list = Json::array();
    for (const auto& name : Names(directory)) {
        uint64_t size = 0;
        if (!IsBundleArchiveName(name) || !IsRegularFile(directory / name, &size))
            continue;
        if (skipInstalled && IsDirectory(markers / BundleName(name)))
            continue;
        Json archive;
        archive["name"] = BundleName(name);
        archive["path"] = (directory / name).string();
        archive["size"] = size;
        list.push_back(archive);
    }
    return list;
}

Json BundleFacts(const fs::path& work, const std::string& programDir) {
    const fs::path markers = work / "bundle";
    Json facts;
    Json installed = Json::array();
    for (const auto& name : Names(markers))
        if (name != "tmp" && name.rfind('.', 0) != 0 && IsDirectory(markers / name))
            installed.push_back(name);
    facts["installed"] = installed;
    // Archives beside the agent: the program directory, then the one above it,
    // as the relay searches them.
    Json waiting = Json::array();
    if (!programDir.empty() && IsDirectory(programDir)) {
        const fs::path program(programDir);
        for (auto& archive : ArchivesIn(program, markers, true))
            waiting.push_back(archive);
        const fs::path parent = program.parent_path();
        if (!parent.empty() && parent != program)
            for (auto& archive : ArchivesIn(parent, markers, true))
                waiting.push_back(archive);
    }
    facts["waiting"] = waiting;
    facts["made"] = ArchivesIn(work, markers, false);
    return facts;
}

fs::path Generation(const fs::path& log, int n) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%02d", n);
    return log.parent_path() / (log.stem().string() + suffix + log.extension().string());
}

Json LogFacts(const fs::path& log, bool isErrorLog) {
    Json facts;
    facts["path"] = log.string();
    uint64_t size = 0;
    const bool exists = IsRegularFile(log, &size);
    facts["size"] = exists ? Json(size) : Json(nullptr);
    facts["above_rotation"] = exists && size > RotationSize;
    facts["above_protection"] = isErrorLog && exists && size > ProtectionSize;
    Json generations = Json::array();
    for (int n = 1; n <= GenerationsKept; ++n)
        if (IsRegularFile(Generation(log, n)))
            generations.push_back(n);
    facts["generations"] = generations;
    return facts;
}

// The last lines of a file, at most count of them; a line cut by the start of
// the part read is dropped.
std::vector<std::string> LastLines(const fs::path& path, size_t count) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    if (!in || count == 0)
        return lines;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    std::streamoff chunk = 64 * 1024;
    for (;;) {
        const std::streamoff start = size > chunk ? size - chunk : 0;
        in.clear();
        in.seekg(start);
        std::string text(static_cast<size_t>(size - start), '\0');
        in.read(&text[0], static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<size_t>(in.gcount()));
        std::vector<std::string> all;
        std::istringstream split(text);
        std::string line;
        while (std::getline(split, line))
            all.push_back(line);
        if (start > 0 && !all.empty())
            all.erase(all.begin());
        if (all.size() >= count || start == 0 || chunk >= (64 << 20)) {
            const size_t first = all.size() > count ? all.size() - count : 0;
            lines.assign(all.begin() + static_cast<std::ptrdiff_t>(first), all.end());
            return lines;
        }
        chunk *= 4;
    }
}

Json EventFacts(const fs::path& eventsLog, int count) {
    Json events = Json::array();
    if (count <= 0)
        return events;
    // A few more lines than events: a broken line is skipped, not counted.
    const size_t wanted = static_cast<size_t>(count);
    for (const auto& line : LastLines(eventsLog, wanted * 2 + 16)) {
        const Json record = Json::parse(line, nullptr, false);
        if (record.is_discarded() || !record.is_object() || !record.contains("id") ||
            !record["id"].is_number_integer())
            continue;
        Json event;
        event["time"] = record.value("time", "");
        event["id"] = record["id"];
        event["meaning"] = EventMeaning(record["id"].get<int>());
        if (record.contains("text") && record["text"].is_string())
            event["text"] = record["text"];
        events.push_back(event);
    }
    if (events.size() > wanted)
        events.erase(events.begin(),
                     events.begin() + static_cast<std::ptrdiff_t>(events.size() - wanted));
    return events;
}

// ---------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------

std::string Str(const Json& value, const char* key) {
    return value.contains(key) && value[key].is_string() ? value[key].get<std::string>()
                                                         : std::string();
}

std::string PidText(const Json& process) {
    return process["pid"].is_null() ? std::string("-") : std::to_string(process["pid"].get<long>());
}

void ProcessLine(std::ostringstream& out, const char* label, const Json& process) {
    out << "  " << label << "pid " << PidText(process) << ", ";
    if (process["proved"].get<bool>())
        out << "running, proved by its command line\n";
    else if (process["running"].get<bool>())
        out << "another program: " << Str(process, "command_line") << "\n";
    else if (process["pid"].is_null())
        out << "no process (" << Str(process, "pid_file") << ")\n";
    else
        out << "not running\n";
}

void LogLine(std::ostringstream& out, const char* label, const Json& log, bool isErrorLog) {
    out << "  " << label;
    if (log["size"].is_null()) {
        out << "missing";
    } else {
        out << FormatBytes(log["size"].get<uint64_t>());
        if (log["above_protection"].get<bool>())
            out << ", ABOVE the 20 MiB protection limit: the relay stops nginx and deletes it";
        else if (log["above_rotation"].get<bool>())
            out << ", above the 5 MiB rotation size: rotated at the relay's next check";
        else
            out << (isErrorLog ? " (rotated above 5 MiB, protection above 20 MiB)"
                               : " (rotated above 5 MiB)");
    }
    out << "; generations:";
    if (log["generations"].empty())
        out << " none";
    for (const auto& n : log["generations"]) {
        char text[8];
        std::snprintf(text, sizeof text, " -%02d", n.get<int>());
        out << text;
    }
    out << "\n";
}

void ArchiveLines(std::ostringstream& out, const char* label, const Json& archives) {
    out << "  " << label;
    if (archives.empty()) {
        out << "none\n";
        return;
    }
    out << "\n";
    for (const auto& archive : archives)
        out << "    " << Str(archive, "path") << " ("
            << FormatBytes(archive["size"].get<uint64_t>()) << ")\n";
}

void CertificateLines(std::ostringstream& out, const Json& certificate) {
    out << "  subject    " << Str(certificate, "subject") << "\n";
    out << "  issuer     " << Str(certificate, "issuer") << "\n";
    out << "  not after  " << Str(certificate, "not_after");
    const long long days = certificate["days_left"].get<long long>();
    if (certificate["expired"].get<bool>())
        out << " (EXPIRED " << -days << " days ago)\n";
    else
        out << " (" << days << " days left)\n";
    if (certificate["not_yet_valid"].get<bool>())
        out << "  not before " << Str(certificate, "not_before") << " (NOT YET VALID)\n";
    out << "  SHA-256    " << Str(certificate, "sha256") << "\n";
    out << "  key        " << Str(certificate, "key") << "\n";
}

} // namespace

// ---------------------------------------------------------------------------

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

bool IsBundleArchiveName(const std::string& name) {
    static const std::string prefix = "kwupdate_";
    static const std::string suffix = ".zip";
    return name.size() >= prefix.size() + suffix.size() && name.rfind(prefix, 0) == 0 &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

Json Gather(const Options& options) {
    Json facts;
    Json reasons = Json::array();
    const fs::path home(Utf8(KwaCore::Host::Home()));
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

std::string RenderText(const Json& facts) {
    std::ostringstream out;
    const Json& home = facts["home"];
    out << "Relay: " << (facts["serving"].get<bool>() ? "SERVING" : "NOT SERVING") << "\n";
    for (const auto& reason : facts["reasons"])
        out << "  - " << reason.get<std::string>() << "\n";
    out << "  data directory " << Str(home, "path")
        << (home["default"].get<bool>() ? " (the default for this user)" : " (from KWA_HOME)")
        << (home["exists"].get<bool>() ? "" : ", missing") << "\n";
    out << "  program directory " << Str(facts, "program_dir") << "\n";

    out << "\nProcesses\n";
    const Json& agent = facts["agent"];
    if (agent["running"].get<bool>())
        out << "  agent      pid " << agent["pid"].get<long>()
            << ", holds the data directory's lock\n";
    else
        out << "  agent      not running\n";
    ProcessLine(out, "launcher   ", facts["launcher"]);
    ProcessLine(out, "nginx      ", facts["nginx"]);
    const Json& listen = facts["listen"];
    out << "  listen     ";
    bool first = true;
    for (const auto& address : listen["addresses"]) {
        out << (first ? "" : ", ") << address.get<std::string>();
        first = false;
    }
    out << " (from " << Str(listen, "source") << ")\n";
    const Json& handshake = facts["handshake"];
    out << "  handshake  ";
    if (handshake["ok"].get<bool>()) {
        const std::string address = Str(handshake, "address");
        out << (address == "::1" ? "[::1]" : address) << ":" << handshake["port"].get<int>() << " "
            << Str(handshake, "protocol") << " " << Str(handshake, "cipher") << ", "
            << handshake["milliseconds"].get<long>() << " ms\n";
        out << "             presented " << Str(handshake["certificate"], "subject") << ", SHA-256 "
            << Str(handshake["certificate"], "sha256") << "\n";
        out << "             "
            << (handshake["matches_relay_certificate"].get<bool>()
                    ? "the relay's certificate"
                    : "NOT the relay's certificate file")
            << "\n";
    } else {
        out << Str(handshake, "error") << "\n";
    }

    const Json& certificate = facts["certificate"];
    out << "\nCertificate " << Str(certificate, "path") << "\n";
    if (certificate["present"].get<bool>())
        CertificateLines(out, certificate);
    else
        out << "  missing or unreadable: " << Str(certificate, "error") << "\n";

    const Json& ca = facts["management_ca"];
    out << "\nManagement CA " << Str(ca, "path") << ": "
        << (ca["present"].get<bool>() ? "present" : "MISSING") << "\n";
    if (ca.contains("subject"))
        out << "  subject    " << Str(ca, "subject") << ", not after " << Str(ca, "not_after")
            << (ca["expired"].get<bool>() ? " (EXPIRED)" : "") << "\n";
    else if (ca.contains("error"))
        out << "  unreadable: " << Str(ca, "error") << "\n";

    const Json& bundles = facts["bundles"];
    out << "\nBundles\n  installed: ";
    if (bundles["installed"].empty())
        out << "none";
    first = true;
    for (const auto& name : bundles["installed"]) {
        out << (first ? "" : ", ") << name.get<std::string>();
        first = false;
    }
    out << "\n";
    ArchiveLines(out, "waiting beside the agent: ", bundles["waiting"]);
    ArchiveLines(out, "made on this relay: ", bundles["made"]);

    const Json& logs = facts["logs"];
    out << "\nLogs " << Str(logs, "directory") << "\n";
    LogLine(out, "access.log ", logs["access"], false);
    LogLine(out, "error.log  ", logs["error"], true);

    out << "\nLast agent events (oldest first)\n";
    if (facts["events"].empty())
        out << "  none\n";
    for (const auto& event : facts["events"]) {
        out << "  " << Str(event, "time") << "  " << event["id"].get<int>() << " "
            << Str(event, "meaning");
        if (event.contains("text"))
            out << ": " << Str(event, "text");
        out << "\n";
    }
    return out.str();
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
            std::cout << facts.dump(2) << std::endl;
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
