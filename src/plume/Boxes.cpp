#include "Boxes.h"

#include "Exception.h"

#include <cstdio>

namespace Plume {

Serializer::~Serializer() = default;

namespace {
[[noreturn]] void unboxError(const char* type, const Object* o) {
    if (!o) throw Exception(1, 3, "Cannot unbox null as %s.", type);
    throw Exception(1, 3, "Cannot unbox object of type %s as %s.", o->getSerialID(), type);
}
}  // namespace

bool String::equals(const Object* o) const {
    auto* s = dynamic_cast<const String*>(o);
    return s && s->value_ == value_;
}
bool String::lessThan(const Object* o) const {
    auto* s = dynamic_cast<const String*>(o);
    return s ? value_ < s->value_ : Object::lessThan(o);
}
std::string String::toText(const Object* o, const std::string& def) {
    auto* s = dynamic_cast<const String*>(o);
    return s ? s->value_ : def;
}

int32_t Integer::toInteger(const Object* o) {
    if (auto* v = dynamic_cast<const Integer*>(o)) return v->value_;
    unboxError("java.lang.Integer", o);
}
bool Integer::equals(const Object* o) const {
    auto* v = dynamic_cast<const Integer*>(o);
    return v && v->value_ == value_;
}
bool Integer::lessThan(const Object* o) const {
    auto* v = dynamic_cast<const Integer*>(o);
    return v ? value_ < v->value_ : Object::lessThan(o);
}

int64_t Long::toLong(const Object* o) {
    if (auto* v = dynamic_cast<const Long*>(o)) return v->value_;
    unboxError("java.lang.Long", o);
}
bool Long::equals(const Object* o) const {
    auto* v = dynamic_cast<const Long*>(o);
    return v && v->value_ == value_;
}
bool Long::lessThan(const Object* o) const {
    auto* v = dynamic_cast<const Long*>(o);
    return v ? value_ < v->value_ : Object::lessThan(o);
}

double Double::toDouble(const Object* o) {
    if (auto* v = dynamic_cast<const Double*>(o)) return v->value_;
    unboxError("java.lang.Double", o);
}
std::string Double::toString() const {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", value_);
    return buf;
}
bool Double::equals(const Object* o) const {
    auto* v = dynamic_cast<const Double*>(o);
    return v && v->value_ == value_;
}
bool Double::lessThan(const Object* o) const {
    auto* v = dynamic_cast<const Double*>(o);
    return v ? value_ < v->value_ : Object::lessThan(o);
}

bool Boolean::toBoolean(const Object* o) {
    if (auto* v = dynamic_cast<const Boolean*>(o)) return v->value_;
    unboxError("java.lang.Boolean", o);
}
bool Boolean::equals(const Object* o) const {
    auto* v = dynamic_cast<const Boolean*>(o);
    return v && v->value_ == value_;
}

bool Enum::equals(const Object* o) const {
    auto* e = dynamic_cast<const Enum*>(o);
    return e && e->ordinal_ == ordinal_ && std::string(e->getSerialID()) == getSerialID();
}
bool Enum::lessThan(const Object* o) const {
    auto* e = dynamic_cast<const Enum*>(o);
    return e ? ordinal_ < e->ordinal_ : Object::lessThan(o);
}
void Enum::writeFields(Serializer& out) const {
    out.writeInt(ordinal_);
    out.writeObject(String::newInstance(name_));
}
void Enum::readFields(Serializer& in, int64_t) {
    ordinal_ = in.readInt();
    name_ = String::toText(in.readObject().get());
}

}  // namespace Plume
