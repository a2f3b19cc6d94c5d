#include "plume/Boxes.h"
#include "plume/Exception.h"
#include "plume/System.h"

#include <gtest/gtest.h>

using namespace Plume;

namespace {
struct Tracked : Object {
    int* dtor;
    explicit Tracked(int* d) : dtor(d) {}
    ~Tracked() override { ++*dtor; }
};
}  // namespace

TEST(ObjPtr, LastReferenceDeletesAndMovesDoNotCount) {
    int dtor = 0;
    {
        ObjPtr<Tracked> a = makeObj<Tracked>(&dtor);
        EXPECT_EQ(a->refCount(), 1);
        ObjPtr<Object> b = a;
        EXPECT_EQ(a->refCount(), 2);
        ObjPtr<Object> c = std::move(b);
        EXPECT_EQ(a->refCount(), 2);
        EXPECT_FALSE(b);
        c.reset();
        EXPECT_EQ(dtor, 0);
    }
    EXPECT_EQ(dtor, 1);
}

TEST(ObjPtr, CastsYieldNullForOtherTypes) {
    ObjPtr<Object> s = String::newInstance("x");
    EXPECT_TRUE(objCast<String>(s));
    EXPECT_FALSE(objCast<Integer>(s));
    EXPECT_FALSE(objCast<String>(ObjPtr<Object>()));
}

TEST(ObjPtr, TryRefRefusesADyingObject) {
    int dtor = 0;
    auto* raw = new Tracked(&dtor);
    EXPECT_FALSE(raw->tryRef());  // never referenced: count 0
    ObjPtr<Tracked> p(raw);
    EXPECT_TRUE(raw->tryRef());
    raw->deref();
    p.reset();
    EXPECT_EQ(dtor, 1);
}

TEST(Boxes, UnboxingChecksTypeAndNull) {
    EXPECT_EQ(Integer::toInteger(Integer::newInstance(42)), 42);
    EXPECT_EQ(Long::toLong(Long::newInstance(-5)), -5);
    EXPECT_DOUBLE_EQ(Double::toDouble(Double::newInstance(1.5)), 1.5);
    EXPECT_TRUE(Boolean::toBoolean(Boolean::newInstance(true)));
    try {
        Integer::toInteger(ObjPtr<Object>(Long::newInstance(1)));
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Cannot unbox object of type java.lang.Long as java.lang.Integer.");
    }
    EXPECT_THROW(Double::toDouble(ObjPtr<Object>()), Exception);
}

TEST(Boxes, EqualityAndOrderByValue) {
    EXPECT_TRUE(String::newInstance("a")->equals(String::newInstance("a").get()));
    EXPECT_FALSE(String::newInstance("a")->equals(Integer::newInstance(1).get()));
    EXPECT_TRUE(String::newInstance("a")->lessThan(String::newInstance("b").get()));
    EXPECT_TRUE(Integer::newInstance(1)->lessThan(Integer::newInstance(2).get()));
    EXPECT_EQ(Double::newInstance(100.02)->toString(), "100.02");
}

TEST(Boxes, ListsAndArraysHoldNullsAndIgnoreBadIndexes) {
    auto l = List::newInstance(2);
    l->add(nullptr);
    l->add(String::newInstance("b"));
    EXPECT_EQ(l->getSize(), 2u);
    EXPECT_EQ(l->get(0), nullptr);
    EXPECT_EQ(l->get(9), nullptr);
    auto a = ObjectArray::newInstance(2, "x.Y");
    a->set(5, String::newInstance("ignored"));
    EXPECT_STREQ(a->getSerialID(), "[Lx.Y;");
    EXPECT_EQ(a->get(5), nullptr);
    EXPECT_STREQ(ByteArray::newInstance(3)->getSerialID(), "[B");
}

TEST(Exceptions, MessagesCategoriesAndErrnoText) {
    Exception e(16, 3, "value %d of %s", 5, "key");
    EXPECT_STREQ(e.what(), "value 5 of key");
    EXPECT_EQ(e.getCategory(), 16u);
    EXPECT_EQ(e.getLevel(), 3);
    errno = ENOENT;
    CException c(2, 3, "Cannot open %s", "/nope");
    EXPECT_STREQ(c.what(), "Cannot open /nope: No such file or directory");
    EXPECT_FALSE(c.isInterrupt());
    errno = EINTR;
    CException i(2, 3, "wait");
    EXPECT_TRUE(i.isInterrupt());
    try {
        throwNull("f.cpp", 12, "invokeMethod", "x::IFace");
    } catch (const Exception& n) {
        EXPECT_STREQ(n.what(), "f.cpp:12(invokeMethod): Pointer to type x::IFace is null.");
    }
}

TEST(Exceptions, ThrowableExceptionCarriesTheThrowable) {
    auto t = makeObj<JavaException>("boom");
    ThrowableException te(16, 3, t);
    EXPECT_EQ(te.getThrowable().get(), t.get());
    EXPECT_STREQ(te.what(), "java.lang.Exception: boom");
    EXPECT_EQ(makeObj<Throwable>()->toString(), "java.lang.Throwable");
}

TEST(System, Crc32MatchesTheCheckValue) {
    CRC32 crc;
    crc.update("123456789", 9);
    EXPECT_EQ(crc.get(), 0xCBF43926u);
    CRC32 split;
    split.update("1234", 4);
    split.update("56789", 5);
    EXPECT_EQ(split.get(), crc.get());
}

TEST(System, FileHandleReportsThePath) {
    try {
        FileHandle::newInstance("/nonexistent/dir/file", "r");
        FAIL();
    } catch (const CException& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/dir/file"), std::string::npos);
    }
}
