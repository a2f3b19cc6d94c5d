// The document stream interface: a named, typed, timestamped byte stream read
// block by block. Implementations: ByteArrayMimeInputStream (crosses by value)
// and FileMimeInputStream (crosses by reference).
//
// The proxy turns each call into a named invocation; the target turns a named
// invocation back into a call on a local implementation.
#pragma once

#include "plume/Boxes.h"
#include "plume/Remoting.h"

#include <cstdint>

namespace xad::preview::api {

class IMimeInputStream : public virtual Plume::Object {
public:
    static constexpr const char* INTERFACE_NAME = "xad.preview.api.IMimeInputStream";

    ~IMimeInputStream() override;
    // Releases the document; further reads fail.
    virtual void close() = 0;
    // Seconds since 1970-01-01 UTC.
    virtual double getTimestamp() = 0;
    virtual int64_t getStreamSize() = 0;
    virtual Plume::ObjPtr<Plume::String> getMimeType() = 0;
    virtual Plume::ObjPtr<Plume::String> getPrettyName() = 0;
    virtual Plume::ObjPtr<Plume::String> getUniqueName() = 0;
    // The next block of at most 65536 bytes; empty at the end.
    virtual Plume::ObjPtr<Plume::ByteArray> readBlock(int32_t maxLength) = 0;

    static bool isInstance(const Plume::Object* o);
};

class IMimeInputStream__reflection_proxy : public IMimeInputStream, public Plume::ReflectionProxy {
public:
    explicit IMimeInputStream__reflection_proxy(Plume::ObjPtr<Plume::InvocationHandler> handler)
        : handler_(std::move(handler)) {}
    // Proxy creator for the interface registry.
    static Plume::ObjPtr<Plume::Object> create(const Plume::ObjPtr<Plume::InvocationHandler>& handler);

    void close() override;
    double getTimestamp() override;
    int64_t getStreamSize() override;
    Plume::ObjPtr<Plume::String> getMimeType() override;
    Plume::ObjPtr<Plume::String> getPrettyName() override;
    Plume::ObjPtr<Plume::String> getUniqueName() override;
    Plume::ObjPtr<Plume::ByteArray> readBlock(int32_t maxLength) override;

    const Plume::ObjPtr<Plume::InvocationHandler>& getInvocationHandler() const override { return handler_; }

private:
    Plume::ObjPtr<Plume::InvocationHandler> handler_;
};

class IMimeInputStream__reflection_target : public Plume::ReflectionTarget {
public:
    explicit IMimeInputStream__reflection_target(Plume::ObjPtr<IMimeInputStream> impl) : impl_(std::move(impl)) {}
    // Target creator for the interface registry: obj must be null or an
    // IMimeInputStream (otherwise a null-pointer error naming "check_cast").
    static Plume::ObjPtr<Plume::ReflectionTarget> create(const Plume::ObjPtr<Plume::Object>& obj);

    const char* getInterfaceName() const override { return IMimeInputStream::INTERFACE_NAME; }
    Plume::ObjPtr<Plume::Object> invokeMethod(const char* method, const Plume::ObjPtr<Plume::ObjectArray>& args) override;
    const char* const* getMethodNames(size_t* count) const override;
    const char* const* getArgumentTypes(const char* method, size_t* count) const override;
    const char* getReturnType(const char* method) const override;

    const Plume::ObjPtr<IMimeInputStream>& getImplementation() const { return impl_; }

private:
    Plume::ObjPtr<IMimeInputStream> impl_;
};

}  // namespace xad::preview::api
