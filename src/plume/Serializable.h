// Values that cross a remote call by value.
//
// A Serializable writes its fields in a fixed order with writeFields and reads
// them back in the same order with readFields; the wire encoding belongs to the
// Serializer (see Remoting). The SerializableFactory maps a wire type name to
// a creator and the serialVersionUIDs it accepts.
//
// Thread-safety: a factory is filled before the first call and only read
// afterwards; lookups are then safe from any thread.
#pragma once

#include "Object.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace Plume {

class Serializer {
public:
    virtual ~Serializer();
    virtual void writeInt(int32_t v) = 0;
    virtual void writeLong(int64_t v) = 0;
    virtual void writeDouble(double v) = 0;
    virtual void writeBoolean(bool v) = 0;
    // Objects by value or by reference as the framework decides; null allowed.
    virtual void writeObject(const Object* o) = 0;
    template <class T> void writeObject(const ObjPtr<T>& o) { writeObject(static_cast<const Object*>(o.get())); }

    // Readers throw Plume::Exception when the next field is missing or is of
    // another primitive kind (a malformed message).
    virtual int32_t readInt() = 0;
    virtual int64_t readLong() = 0;
    virtual double readDouble() = 0;
    virtual bool readBoolean() = 0;
    virtual ObjPtr<Object> readObject() = 0;
    // Reads an object and casts it; a value of another type becomes null.
    template <class T> ObjPtr<T> readObjectAs() { return objCast<T>(readObject()); }
};

class Serializable : public virtual Object {
public:
    virtual void writeFields(Serializer& out) const = 0;
    // version is the serialVersionUID the sender wrote.
    virtual void readFields(Serializer& in, int64_t version) = 0;
};

class SerializableFactory : public virtual Object {
public:
    using Creator = std::function<ObjPtr<Serializable>()>;
    struct TypeInfo {
        std::string serialID;
        int64_t uid = 0;
        std::vector<int64_t> oldUids;
        Creator creator;
        bool accepts(int64_t v) const;
    };

    static ObjPtr<SerializableFactory> newInstance();

    // Registers a type; a second registration of the same name replaces it.
    void registerType(const std::string& serialID, int64_t uid, std::vector<int64_t> oldUids, Creator creator);
    // Registers the array type "[L" + componentID + ";".
    void registerArrayType(const std::string& componentID);

    // Null when the name is not registered.
    const TypeInfo* find(const std::string& serialID) const;
    bool isArrayTypeRegistered(const std::string& arrayID) const;

    // Registers the framework's own types (throwables, remote error).
    void registerFrameworkTypes();

private:
    std::map<std::string, TypeInfo, std::less<>> types_;
    std::map<std::string, bool, std::less<>> arrays_;
};

}  // namespace Plume
