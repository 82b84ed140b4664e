// Shared bits of the core library's tests.
#pragma once

#include "LuaFixture.h"

#include <KwaCore.h>
#include <KwaCoreHost.h>

#include <sstream>
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

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace kwatest
