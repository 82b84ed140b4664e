// kwagent status: the report for a person, from the facts --json prints.
#include "StatusParts.h"

#include "Text.h"

#include <cstdio>
#include <sstream>

namespace Agent {
namespace Status {

namespace {

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

} // namespace Status
} // namespace Agent
