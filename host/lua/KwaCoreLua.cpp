// TEMPORARY placeholder until the kwacore Lua module is written.
#include <lua.hpp>
extern "C" __attribute__((visibility("default"))) int luaopen_kwacore(lua_State* L) {
    lua_newtable(L);
    return 1;
}
