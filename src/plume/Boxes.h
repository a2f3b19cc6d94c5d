// Boxed values, lists, object arrays, byte arrays and enums.
//
// Boxes are immutable after creation and so safe to share between threads.
// List and ObjectArray are not synchronised: one thread at a time.
#pragma once

#include "Serializable.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Plume {

class String : public virtual Object {
public:
    explicit String(std::string v) : value_(std::move(v)) {}
    static ObjPtr<String> newInstance(std::string v) { return makeObj<String>(std::move(v)); }
    const std::string& str() const { return value_; }
    const char* c_str() const { return value_.c_str(); }
    std::string toString() const override { return value_; }
    bool equals(const Object* o) const override;
    bool lessThan(const Object* o) const override;
    const char* getSerialID() const override { return "java.lang.String"; }
    // The text of a String object, or def when o is null or not a String.
    static std::string toText(const Object* o, const std::string& def = std::string());

private:
    std::string value_;
};

// Unboxing helpers throw Plume::Exception (category 1, level 3) naming the
// expected type when the object is null or of another type.
class Integer : public virtual Object {
public:
    explicit Integer(int32_t v) : value_(v) {}
    static ObjPtr<Integer> newInstance(int32_t v) { return makeObj<Integer>(v); }
    int32_t value() const { return value_; }
    static int32_t toInteger(const Object* o);
    static int32_t toInteger(const ObjPtr<Object>& o) { return toInteger(o.get()); }
    std::string toString() const override { return std::to_string(value_); }
    bool equals(const Object* o) const override;
    bool lessThan(const Object* o) const override;
    const char* getSerialID() const override { return "java.lang.Integer"; }

private:
    int32_t value_;
};

class Long : public virtual Object {
public:
    explicit Long(int64_t v) : value_(v) {}
    static ObjPtr<Long> newInstance(int64_t v) { return makeObj<Long>(v); }
    int64_t value() const { return value_; }
    static int64_t toLong(const Object* o);
    static int64_t toLong(const ObjPtr<Object>& o) { return toLong(o.get()); }
    std::string toString() const override { return std::to_string(value_); }
    bool equals(const Object* o) const override;
    bool lessThan(const Object* o) const override;
    const char* getSerialID() const override { return "java.lang.Long"; }

private:
    int64_t value_;
};

class Double : public virtual Object {
public:
    explicit Double(double v) : value_(v) {}
    static ObjPtr<Double> newInstance(double v) { return makeObj<Double>(v); }
    double value() const { return value_; }
    static double toDouble(const Object* o);
    static double toDouble(const ObjPtr<Object>& o) { return toDouble(o.get()); }
    std::string toString() const override;
    bool equals(const Object* o) const override;
    bool lessThan(const Object* o) const override;
    const char* getSerialID() const override { return "java.lang.Double"; }

private:
    double value_;
};

class Boolean : public virtual Object {
public:
    explicit Boolean(bool v) : value_(v) {}
    static ObjPtr<Boolean> newInstance(bool v) { return makeObj<Boolean>(v); }
    bool value() const { return value_; }
    static bool toBoolean(const Object* o);
    static bool toBoolean(const ObjPtr<Object>& o) { return toBoolean(o.get()); }
    std::string toString() const override { return value_ ? "true" : "false"; }
    bool equals(const Object* o) const override;
    const char* getSerialID() const override { return "java.lang.Boolean"; }

private:
    bool value_;
};

// A growable list of objects (null elements allowed); wire type "java.util.List".
class List : public virtual Object {
public:
    explicit List(size_t capacity = 0) { items_.reserve(capacity); }
    static ObjPtr<List> newInstance(size_t capacity = 0) { return makeObj<List>(capacity); }
    void add(const ObjPtr<Object>& o) { items_.push_back(o); }
    size_t getSize() const { return items_.size(); }
    // Null for an index out of range.
    ObjPtr<Object> get(size_t i) const { return i < items_.size() ? items_[i] : ObjPtr<Object>(); }
    const char* getSerialID() const override { return "java.util.List"; }

private:
    std::vector<ObjPtr<Object>> items_;
};

// A fixed-size array of objects, used for call arguments and typed arrays.
// Its wire type is "[L" + component type + ";".
class ObjectArray : public virtual Object {
public:
    explicit ObjectArray(size_t size, std::string componentType = "java.lang.Object")
        : items_(size), component_(std::move(componentType)), serialId_("[L" + component_ + ";") {}
    static ObjPtr<ObjectArray> newInstance(size_t size, std::string componentType = "java.lang.Object") {
        return makeObj<ObjectArray>(size, std::move(componentType));
    }
    size_t getSize() const { return items_.size(); }
    ObjPtr<Object> get(size_t i) const { return i < items_.size() ? items_[i] : ObjPtr<Object>(); }
    // Ignores an index out of range.
    void set(size_t i, const ObjPtr<Object>& o) { if (i < items_.size()) items_[i] = o; }
    const std::string& getComponentType() const { return component_; }
    const char* getSerialID() const override { return serialId_.c_str(); }

private:
    std::vector<ObjPtr<Object>> items_;
    std::string component_;
    std::string serialId_;
};

// An array of primitive values; ArrayObject<signed char> is the byte array "[B".
template <class T>
class ArrayObject : public virtual Object {
public:
    explicit ArrayObject(size_t n = 0) : data_(n) {}
    ArrayObject(const T* p, size_t n) : data_(p, p + n) {}
    static ObjPtr<ArrayObject> newInstance(size_t n) { return makeObj<ArrayObject>(n); }
    static ObjPtr<ArrayObject> newInstance(const T* p, size_t n) { return makeObj<ArrayObject>(p, n); }
    size_t getSize() const { return data_.size(); }
    T* getData() { return data_.data(); }
    const T* getData() const { return data_.data(); }
    std::vector<T>& vec() { return data_; }
    const char* getSerialID() const override;

private:
    std::vector<T> data_;
};
using ByteArray = ArrayObject<signed char>;
template <> inline const char* ArrayObject<signed char>::getSerialID() const { return "[B"; }

// An enum constant. Subclasses keep one shared instance per ordinal and return
// it from getEnumConstant; the framework reads the ordinal into a fresh
// instance made by the registered creator and then asks that instance for the
// shared constant.
class Enum : public virtual Serializable {
public:
    Enum(int ordinal = 0, std::string name = std::string()) : ordinal_(ordinal), name_(std::move(name)) {}
    int getOrdinal() const { return ordinal_; }
    const std::string& getName() const { return name_; }
    std::string toString() const override { return name_; }
    bool equals(const Object* o) const override;
    bool lessThan(const Object* o) const override;
    // Shared constant for an ordinal, or null when the ordinal is out of range.
    virtual ObjPtr<Enum> getEnumConstant(int ordinal) const = 0;
    void writeFields(Serializer& out) const override;
    void readFields(Serializer& in, int64_t version) override;

private:
    int ordinal_;
    std::string name_;
};

}  // namespace Plume
