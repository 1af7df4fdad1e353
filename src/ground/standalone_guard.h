// The ABI wall of the libraries that stand apart from the decoder (the row
// buffer, the capture reader): every export runs through guarded(), which
// refuses null pointers before the body can touch them and keeps every C++
// exception inside. These libraries have no logger, so a refusal is
// reported by the result alone.
#pragma once

#include <type_traits>

namespace palvex::standalone {

// The handle a host holds is the library's object itself, seen as an opaque
// type; a const handle gives a const object.
template <class Handle, class Object>
Handle* handle_of(Object* object) {
    return static_cast<Handle*>(static_cast<void*>(object));
}

template <class Object, class Handle>
auto object_of(Handle* handle) {
    if constexpr (std::is_const_v<Handle>)
        return static_cast<const Object*>(static_cast<const void*>(handle));
    else
        return static_cast<Object*>(static_cast<void*>(handle));
}

// Runs body() and returns its result, or `refused` when any of `required`
// is null or the body throws. Exports without a result have their bodies
// return 0 and drop it.
template <class R, class Body, class... Pointers>
R guarded(R refused, Body&& body, Pointers... required) noexcept {
    if (((required == nullptr) || ...)) return refused;
    try {
        return body();
    } catch (...) {
        return refused;
    }
}

}  // namespace palvex::standalone
