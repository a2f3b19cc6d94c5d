// Object model of the Plume framework: intrusively reference-counted objects
// held through ObjPtr.
//
// Thread-safety: the reference count is atomic, so ObjPtr copies of one object
// may live in several threads; the object's own state is guarded by whoever
// shares it. ObjPtr itself is a value: one ObjPtr instance is not to be
// assigned from two threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

namespace Plume {

class Object {
public:
    Object() = default;
    Object(const Object&) : refs_(0) {}
    Object& operator=(const Object&) { return *this; }
    virtual ~Object();

    void ref() const noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    // Drops one reference; the last one deletes the object.
    void deref() const noexcept {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
    int refCount() const noexcept { return refs_.load(std::memory_order_relaxed); }
    // Takes a reference unless the count has already dropped to zero (the
    // object is being destroyed). Used by weak lookup tables.
    bool tryRef() const noexcept {
        int n = refs_.load(std::memory_order_relaxed);
        while (n > 0)
            if (refs_.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel)) return true;
        return false;
    }

    // Text form for logs and messages; the default names the wire type and address.
    virtual std::string toString() const;
    // Identity by default; value types may compare by content.
    virtual bool equals(const Object* other) const;
    virtual bool lessThan(const Object* other) const;
    // Wire type name ("java.lang.Object" for plain objects) and serialVersionUID
    // (0 for plain objects).
    virtual const char* getSerialID() const;
    virtual int64_t getSerialVersionUID() const;

private:
    mutable std::atomic<int> refs_{0};
};

// Holds one counted reference to a T, or null.
template <class T>
class ObjPtr {
public:
    ObjPtr() noexcept = default;
    ObjPtr(std::nullptr_t) noexcept {}
    // Takes a new reference to p (p may be null).
    explicit ObjPtr(T* p) noexcept : p_(p) { if (p_) p_->ref(); }
    // Adopts a reference that the caller already took (see Object::tryRef).
    static ObjPtr adopt(T* p) noexcept { ObjPtr r; r.p_ = p; return r; }
    ObjPtr(const ObjPtr& o) noexcept : p_(o.p_) { if (p_) p_->ref(); }
    ObjPtr(ObjPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    ObjPtr(const ObjPtr<U>& o) noexcept : p_(o.get()) { if (p_) p_->ref(); }
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    ObjPtr(ObjPtr<U>&& o) noexcept : p_(o.release()) {}
    ~ObjPtr() { if (p_) p_->deref(); }

    ObjPtr& operator=(ObjPtr o) noexcept { std::swap(p_, o.p_); return *this; }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Gives up ownership without dropping the reference.
    T* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { ObjPtr().swap(*this); }
    void swap(ObjPtr& o) noexcept { std::swap(p_, o.p_); }

    friend bool operator==(const ObjPtr& a, const ObjPtr& b) { return a.p_ == b.p_; }
    friend bool operator==(const ObjPtr& a, std::nullptr_t) { return a.p_ == nullptr; }

private:
    T* p_ = nullptr;
};

// Creates a counted object; the only place where framework objects are newed.
template <class T, class... Args>
ObjPtr<T> makeObj(Args&&... args) {
    return ObjPtr<T>(new T(std::forward<Args>(args)...));
}

// Checked cast: null when p is null or not a T.
template <class T, class U>
ObjPtr<T> objCast(const ObjPtr<U>& p) {
    return ObjPtr<T>(dynamic_cast<T*>(p.get()));
}
template <class T, class U>
T* objCastRaw(U* p) {
    return dynamic_cast<T*>(p);
}

}  // namespace Plume
