// Small text helpers shared by the agent's outputs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace Agent {

// A byte count for people: "512 B", "1.5 KiB", "12.0 MiB", "1.25 GiB".
inline std::string FormatBytes(uint64_t bytes) {
    char text[64];
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    } else if (bytes < (uint64_t(1) << 20)) {
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    } else if (bytes < (uint64_t(1) << 30)) {
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / 1048576.0);
    } else {
        std::snprintf(text, sizeof text, "%.2f GiB", bytes / 1073741824.0);
    }
    return text;
}

// What an agent event id means, for the agent's output and its status report.
inline const char* EventMeaning(int id) {
    switch (id) {
    case 3006:
        return "writing the web server configuration failed";
    case 9103:
        return "web server stopped or disabled";
    case 9104:
        return "web server started, enabled or reloaded";
    case 9105:
        return "web server not enabled, not valid or not stopped";
    case 9106:
        return "web server not disabled or not launched";
    case 9107:
        return "error log protection";
    default:
        return "agent event";
    }
}

} // namespace Agent
