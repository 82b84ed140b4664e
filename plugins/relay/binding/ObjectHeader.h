// The header that precedes every object the binding keeps in a Lua userdata.
#pragma once

#include <cstdint>

namespace Relay {
namespace Binding {

struct ObjectHeader;

// Storage kinds (the two low bits of the kind flags); the bits above hold the
// ownership policy, 0 being the default.
enum : uint32_t {
    KindNone = 0,     // destroyed: no object any more
    KindInline = 1,   // the object lives inside the userdata, right behind the header
    KindPointer = 2,  // the userdata holds a pointer to an object owned elsewhere
    KindReadOnly = 3, // as KindPointer, read-only
    KindMask = 3,
};

using UnpackFunction = void* (*)(ObjectHeader* header, void* payload);
using ConvertFunction = void* (*)(void* object);

// One parent class of a class and how to convert an object pointer to it; a list
// of them ends with an entry whose name is null.
struct ParentConversion {
    const char* name;
    ConvertFunction convert;
};

struct ObjectHeader {
    uint32_t kindFlags;
    const char* className;
    UnpackFunction unpack;
    const ParentConversion* parents;
};

} // namespace Binding
} // namespace Relay
