#include "LuaFixture.h"

using kwatest::LuaFixture;

TEST_F(LuaFixture, RequireYieldsTrue) {
    EXPECT_EQ(String("tostring(require 'relay')"), "true");
}
