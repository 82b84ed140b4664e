// The fixture of the core library's tests: a fresh KWA_HOME and Lua state per test.
#pragma once

#include "LuaFixture.h"

#include <KwaCore.h>

namespace kwatest {

class HostTest : public LuaFixture {
protected:
    void TearDown() override {
        KwaCore::Host::SetVerbose(false);
        LuaFixture::TearDown();
    }
};

} // namespace kwatest
