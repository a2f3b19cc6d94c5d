// Helpers shared by the generated proxies and dispatch targets: the sorted
// method tables, argument boxing and checked unboxing.
#pragma once

#include "plume/Boxes.h"

#include <cstddef>
#include <cstring>

namespace xad::preview::api::dispatch {

struct MethodEntry {
    const char* name;
    const char* const* argTypes;
    size_t argCount;
    const char* returnType;
};

// Index of name in a table sorted by strcmp, or -1.
inline int findMethod(const MethodEntry* table, size_t n, const char* name) {
    if (!name) return -1;
    size_t lo = 0, hi = n;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        int c = std::strcmp(name, table[mid].name);
        if (c == 0) return static_cast<int>(mid);
        if (c < 0) hi = mid;
        else lo = mid + 1;
    }
    return -1;
}

inline bool argCountIs(const Plume::ObjPtr<Plume::ObjectArray>& args, size_t n) {
    return args && args->getSize() == n;
}

// Object argument i cast to T; null when missing or of another type.
template <class T>
Plume::ObjPtr<T> objArg(const Plume::ObjPtr<Plume::ObjectArray>& args, size_t i) {
    return Plume::objCast<T>(args->get(i));
}
inline int32_t intArg(const Plume::ObjPtr<Plume::ObjectArray>& args, size_t i) {
    return Plume::Integer::toInteger(args->get(i).get());
}
// A double that may have crossed the wire as an integer: the wire encoding
// does not keep whole-number doubles (72.0, a timestamp in seconds) apart
// from integers, so integers are widened; anything else is the framework's
// unboxing error.
inline double toDouble(const Plume::Object* o) {
    if (auto* v = dynamic_cast<const Plume::Integer*>(o)) return v->value();
    if (auto* v = dynamic_cast<const Plume::Long*>(o)) return static_cast<double>(v->value());
    return Plume::Double::toDouble(o);
}
inline double doubleArg(const Plume::ObjPtr<Plume::ObjectArray>& args, size_t i) {
    return toDouble(args->get(i).get());
}
inline bool boolArg(const Plume::ObjPtr<Plume::ObjectArray>& args, size_t i) {
    return Plume::Boolean::toBoolean(args->get(i).get());
}

inline Plume::ObjPtr<Plume::Object> box(int32_t v) { return Plume::Integer::newInstance(v); }
inline Plume::ObjPtr<Plume::Object> box(double v) { return Plume::Double::newInstance(v); }
inline Plume::ObjPtr<Plume::Object> box(bool v) { return Plume::Boolean::newInstance(v); }
template <class T>
Plume::ObjPtr<Plume::Object> box(const Plume::ObjPtr<T>& p) {
    return Plume::ObjPtr<Plume::Object>(p.get());
}

// An argument array of exactly the given values, boxed, in order.
template <class... A>
Plume::ObjPtr<Plume::ObjectArray> makeArgs(const A&... a) {
    auto arr = Plume::ObjectArray::newInstance(sizeof...(A));
    size_t i = 0;
    (arr->set(i++, box(a)), ...);
    return arr;
}

}  // namespace xad::preview::api::dispatch
