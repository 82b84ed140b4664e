// Method dispatch: one dispatcher per member signature. A bound method is a C
// closure over two upvalues: a userdata holding the member-function pointer and
// the signature's descriptor.
#pragma once

#include "Binding.h"

#include "../server/RelayServer.h"
#include "../server/ScriptText.h"

#include <lua.hpp>
#include <wx/string.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <utility>

namespace Relay {
namespace Binding {

// Describes a signature for introspection; nothing in the module reads it back.
struct SignatureInfo {
    const char* text;
};

// The binding's integer reader: a number (or a numeric string) cut toward zero
// and held to the 64-bit range; any other value, and NaN, read as 0.
inline int64_t GetInteger(lua_State* L, int slot) {
    int isNumber = 0;
    const lua_Number n = lua_tonumberx(L, slot, &isNumber);
    if (!isNumber || std::isnan(n))
        return 0;
    if (n >= 9223372036854775807.0)
        return INT64_MAX;
    if (n <= -9223372036854775808.0)
        return INT64_MIN;
    return static_cast<int64_t>(n);
}

template <typename T> struct ArgReader;

template <> struct ArgReader<bool> {
    static bool Read(lua_State* L, int slot) { return lua_toboolean(L, slot) != 0; }
};

template <> struct ArgReader<int> {
    // Narrowed to 32 bits: the low 32 bits of the 64-bit value.
    static int Read(lua_State* L, int slot) {
        return static_cast<int32_t>(
            static_cast<uint32_t>(static_cast<uint64_t>(GetInteger(L, slot))));
    }
};

template <> struct ArgReader<const char*> {
    // No string (null) when the value is neither a string nor a number.
    static const char* Read(lua_State* L, int slot) { return lua_tolstring(L, slot, nullptr); }
};

inline void PushResult(lua_State* L, bool value) {
    lua_pushboolean(L, value);
}
inline void PushResult(lua_State* L, unsigned short value) {
    lua_pushinteger(L, value);
}
inline void PushResult(lua_State* L, const wxString& value) {
    const wxScopedCharBuffer bytes = ScriptBytes(value);
    lua_pushlstring(L, bytes.data(), bytes.length());
}

template <typename MemberFunction> struct Signature;

template <typename R, typename... A> struct Signature<R (CRelayServer::*)(A...)> {
    static constexpr bool IsConst = false;
    using Result = R;
    using Args = std::tuple<A...>;
    using Object = CRelayServer;
};

template <typename R, typename... A> struct Signature<R (CRelayServer::*)(A...) const> {
    static constexpr bool IsConst = true;
    using Result = R;
    using Args = std::tuple<A...>;
    using Object = const CRelayServer;
};

template <typename Tuple, size_t... I>
Tuple ReadArguments(lua_State* L, std::index_sequence<I...>) {
    (void)L; // unused for members without arguments
    // Slot 1 holds the object: the arguments start at slot 2.
    return Tuple{ArgReader<std::tuple_element_t<I, Tuple>>::Read(L, int(I) + 2)...};
}

// Calls the member and pushes its result. Returns the number of results, or -1
// when the member threw (nothing is pushed then).
template <typename MemberFunction>
int CallMember(lua_State* L, CRelayServer* object, MemberFunction member) {
    using Sig = Signature<MemberFunction>;
    using Args = typename Sig::Args;
    try {
        Args args =
            ReadArguments<Args>(L, std::make_index_sequence<std::tuple_size<Args>::value>{});
        typename Sig::Object* target = object;
        if constexpr (std::is_void<typename Sig::Result>::value) {
            std::apply([&](auto... a) { (target->*member)(a...); }, args);
            return 0;
        } else {
            PushResult(L, std::apply([&](auto... a) { return (target->*member)(a...); }, args));
            return 1;
        }
    } catch (...) {
        return -1;
    }
}

// The dispatcher shared by every member of one signature.
template <typename MemberFunction> int DispatchMember(lua_State* L) {
    MemberFunction member;
    std::memcpy(&member, lua_touserdata(L, lua_upvalueindex(1)), sizeof member);

    bool readOnly = true;
    CRelayServer* object = CheckRelayServerArg(L, 1, &readOnly);
    if (object == nullptr || (readOnly && !Signature<MemberFunction>::IsConst))
        return luaL_error(L, "Expected non-null object(%s) as first argument to method call",
                          ClassName);
    // The object stays in slot 1 until the member returns: a collection step
    // while the arguments are read (a number turned into a string allocates)
    // must not finalise the object in use.
    const int results = CallMember(L, object, member);
    if (results < 0)
        return luaL_error(L, "%s: the method failed unexpectedly", ClassName);
    return results;
}

template <typename MemberFunction>
void PushBoundMethod(lua_State* L, MemberFunction member, const SignatureInfo* signature) {
    void* holder = lua_newuserdata(L, sizeof member);
    std::memcpy(holder, &member, sizeof member);
    lua_pushlightuserdata(L, const_cast<SignatureInfo*>(signature));
    lua_pushcclosure(L, DispatchMember<MemberFunction>, 2);
}

} // namespace Binding
} // namespace Relay
