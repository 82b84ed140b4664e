// Registration of the SLB.RelayServer class and the object check of its methods.
#pragma once

struct lua_State;

namespace Relay {

class CRelayServer;

namespace Binding {

extern const char* const ClassName; // "SLB.RelayServer"

// Registers the class in L, or only pushes the existing metatable. Leaves the
// metatable on the stack.
void RegisterRelayServerClass(lua_State* L);

// Turns a stack slot into an object pointer (null when the slot holds no object of
// the class) and a read-only flag. Never raises.
CRelayServer* CheckRelayServerArg(lua_State* L, int slot, bool* readOnly);

// The object in slot 1 for the raw methods: a read-only object counts as none.
// Raises the argument error "RelayServer object expected" when there is none.
CRelayServer* CheckRawMethodObject(lua_State* L);

// Stores the 22 methods in the class table at the top of the stack.
void RegisterMethods(lua_State* L);

} // namespace Binding
} // namespace Relay
