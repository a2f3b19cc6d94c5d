#include "Object.h"

#include <cstdio>

namespace Plume {

Object::~Object() = default;

std::string Object::toString() const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "@%p", static_cast<const void*>(this));
    return std::string(getSerialID()) + buf;
}

bool Object::equals(const Object* other) const { return other == this; }

bool Object::lessThan(const Object* other) const {
    return reinterpret_cast<uintptr_t>(this) < reinterpret_cast<uintptr_t>(other);
}

const char* Object::getSerialID() const { return "java.lang.Object"; }

int64_t Object::getSerialVersionUID() const { return 0; }

}  // namespace Plume
