// The SLB.RelayServer class on the plain Lua C API: metatable, class table,
// constructor, collector and the object check.
#include "Binding.h"
#include "ObjectHeader.h"

#include "../server/RelayServer.h"

#include <lua.hpp>

#include <cstddef>
#include <cstring>
#include <new>

namespace Relay {
namespace Binding {

const char* const ClassName = "SLB.RelayServer";

namespace {

// Registry table (weak keys) of the metatables that mark objects of the binding.
const char* const ObjectMetatables = "SLB.ObjectMetatables";

// The payload of an inline object starts at the first suitably aligned offset
// behind the header.
constexpr size_t PayloadOffset = (sizeof(ObjectHeader) + alignof(CRelayServer) - 1) /
                                 alignof(CRelayServer) * alignof(CRelayServer);
constexpr size_t InlineBlockSize = PayloadOffset + sizeof(CRelayServer);
constexpr size_t PointerBlockSize = sizeof(ObjectHeader) + sizeof(void*);

void* UnpackRelayServer(ObjectHeader* header, void* payload) {
    if ((header->kindFlags & KindMask) == KindInline)
        return payload;
    void* stored = nullptr;
    std::memcpy(&stored, payload, sizeof stored);
    return stored;
}

// SLB.RelayServer has no parent class.
const ParentConversion RelayServerParents[] = {{nullptr, nullptr}};

const ParentConversion* GetParentsConversionArray(const char* className) {
    return std::strcmp(className, ClassName) == 0 ? RelayServerParents : nullptr;
}

void* PayloadOf(ObjectHeader* header) {
    const size_t offset =
        (header->kindFlags & KindMask) == KindInline ? PayloadOffset : sizeof(ObjectHeader);
    return reinterpret_cast<char*>(header) + offset;
}

// Pushes the global table's field name, creating an empty table when it is
// missing. Returns false (nothing pushed) when the field holds something else.
bool OpenTableField(lua_State* L, int table, const char* name) {
    table = lua_absindex(L, table);
    lua_pushstring(L, name);
    lua_rawget(L, table);
    if (lua_istable(L, -1))
        return true;
    if (!lua_isnil(L, -1)) {
        lua_pop(L, 1);
        return false;
    }
    lua_pop(L, 1);
    lua_newtable(L);
    lua_pushstring(L, name);
    lua_pushvalue(L, -2);
    lua_rawset(L, table);
    return true;
}

// Pushes the class table reached by the dotted global name SLB.RelayServer.
void OpenNamespace(lua_State* L) {
    lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS);
    if (!OpenTableField(L, -1, "SLB"))
        luaL_error(L, "cannot register %s: the global SLB is not a table", ClassName);
    if (!OpenTableField(L, -1, "RelayServer"))
        luaL_error(L, "cannot register %s: SLB.RelayServer is not a table", ClassName);
    lua_replace(L, -3);
    lua_pop(L, 1);
}

void MarkObjectMetatable(lua_State* L, int metatable) {
    metatable = lua_absindex(L, metatable);
    lua_getfield(L, LUA_REGISTRYINDEX, ObjectMetatables);
    if (!lua_istable(L, -1)) {
        lua_pop(L, 1);
        lua_newtable(L);
        lua_newtable(L);
        lua_pushliteral(L, "k");
        lua_setfield(L, -2, "__mode");
        lua_setmetatable(L, -2);
        lua_pushvalue(L, -1);
        lua_setfield(L, LUA_REGISTRYINDEX, ObjectMetatables);
    }
    lua_pushvalue(L, metatable);
    lua_pushboolean(L, 1);
    lua_rawset(L, -3);
    lua_pop(L, 1);
}

bool IsObjectMetatable(lua_State* L, int metatable) {
    metatable = lua_absindex(L, metatable);
    lua_getfield(L, LUA_REGISTRYINDEX, ObjectMetatables);
    if (!lua_istable(L, -1)) {
        lua_pop(L, 1);
        return false;
    }
    lua_pushvalue(L, metatable);
    lua_rawget(L, -2);
    const bool marked = lua_toboolean(L, -1) != 0;
    lua_pop(L, 2);
    return marked;
}

// The header of a binding object in slot, or null for any other value.
ObjectHeader* HeaderAt(lua_State* L, int slot) {
    if (lua_type(L, slot) != LUA_TUSERDATA || !lua_getmetatable(L, slot))
        return nullptr;
    const bool marked = IsObjectMetatable(L, -1);
    lua_pop(L, 1);
    if (!marked)
        return nullptr;
    auto* header = static_cast<ObjectHeader*>(lua_touserdata(L, slot));
    const size_t length = lua_rawlen(L, slot);
    if (length < sizeof(ObjectHeader))
        return nullptr;
    const uint32_t kind = header->kindFlags & KindMask;
    if (kind == KindInline && length != InlineBlockSize)
        return nullptr;
    if ((kind == KindPointer || kind == KindReadOnly) && length != PointerBlockSize)
        return nullptr;
    if (kind == KindNone)
        return nullptr;
    return header;
}

// __gc: destroys the object inside the userdata. The web server keeps running
// and no file is touched.
int CollectRelayServer(lua_State* L) {
    auto* header = static_cast<ObjectHeader*>(lua_touserdata(L, 1));
    if (header == nullptr || lua_rawlen(L, 1) != InlineBlockSize)
        return 0;
    if (header->kindFlags == KindInline) { // kind 1, default policy
        // Marked destroyed first, so that a resurrected reference finds no object.
        header->kindFlags = KindNone;
        static_cast<CRelayServer*>(PayloadOf(header))->~CRelayServer();
    }
    return 0;
}

// The class table's __call: SLB.RelayServer(...) makes a new object.
int ConstructRelayServer(lua_State* L) {
    lua_settop(L, 1); // arguments given to the call are ignored
    lua_remove(L, 1);
    void* block = lua_newuserdata(L, InlineBlockSize);
    auto* header = static_cast<ObjectHeader*>(block);
    header->kindFlags = KindNone; // becomes KindInline once the object stands
    header->className = ClassName;
    header->unpack = UnpackRelayServer;
    header->parents = GetParentsConversionArray(ClassName);
    RegisterRelayServerClass(L);
    lua_setmetatable(L, -2);

    bool constructed = false;
    try {
        new (PayloadOf(header)) CRelayServer();
        constructed = true;
    } catch (...) {
    }
    if (!constructed)
        return luaL_error(L, "%s: the object could not be constructed", ClassName);
    header->kindFlags = KindInline;
    return 1;
}

} // namespace

void RegisterRelayServerClass(lua_State* L) {
    luaL_getmetatable(L, ClassName);
    if (lua_istable(L, -1))
        return; // registered in this state already: the metatable stays pushed
    lua_pop(L, 1);

    OpenNamespace(L); // the class table
    luaL_newmetatable(L, ClassName);
    const int metatable = lua_gettop(L);
    const int classTable = metatable - 1;

    lua_pushvalue(L, classTable);
    lua_setfield(L, metatable, "__index");
    lua_pushstring(L, ClassName);
    lua_setfield(L, metatable, "__class");
    lua_pushcfunction(L, CollectRelayServer);
    lua_setfield(L, metatable, "__gc");
    MarkObjectMetatable(L, metatable);

    // The class table gets an empty metatable of its own whose __call constructs.
    lua_newtable(L);
    lua_pushcfunction(L, ConstructRelayServer);
    lua_setfield(L, -2, "__call");
    lua_setmetatable(L, classTable);

    lua_pushvalue(L, classTable);
    RegisterMethods(L);
    lua_pop(L, 1);

    lua_remove(L, classTable); // the metatable is the one value left pushed
}

CRelayServer* CheckRelayServerArg(lua_State* L, int slot, bool* readOnly) {
    const int height = lua_gettop(L);
    *readOnly = true;
    CRelayServer* object = nullptr;
    if (ObjectHeader* header = HeaderAt(L, slot)) {
        *readOnly = (header->kindFlags & KindMask) == KindReadOnly;
        void* payload = PayloadOf(header);
        if (header->className == ClassName ||
            (header->className != nullptr && std::strcmp(header->className, ClassName) == 0)) {
            object = static_cast<CRelayServer*>(header->unpack(header, payload));
        } else if (void* unpacked = header->unpack(header, payload)) {
            for (const ParentConversion* p = header->parents; p && p->name; ++p) {
                if (std::strcmp(p->name, ClassName) == 0) {
                    object = static_cast<CRelayServer*>(p->convert(unpacked));
                    break;
                }
            }
        }
    }
    lua_settop(L, height);
    return object;
}

CRelayServer* CheckRawMethodObject(lua_State* L) {
    bool readOnly = true;
    CRelayServer* object = CheckRelayServerArg(L, 1, &readOnly);
    if (object == nullptr || readOnly) {
        luaL_argerror(L, 1, "RelayServer object expected");
        return nullptr;
    }
    return object;
}

} // namespace Binding
} // namespace Relay
