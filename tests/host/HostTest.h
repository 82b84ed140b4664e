// Shared bits of the core library's tests.
#pragma once

#include "LuaFixture.h"

#include <KwaCore.h>
#include <KwaCoreHost.h>

#include <string>
#include <vector>

namespace kwatest {

// A fresh KWA_HOME per test (and a Lua state for the module's tests).
class HostTest : public LuaFixture {
protected:
    void TearDown() override {
        KwaCore::Host::SetVerbose(false);
        LuaFixture::TearDown();
    }
};

inline std::wstring Wide(const wxString& text) {
    return text.ToStdWstring();
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

} // namespace kwatest
