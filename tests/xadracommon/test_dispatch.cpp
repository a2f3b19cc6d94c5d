// Proxies and dispatch targets of the two remote interfaces.
#include "TestSupport.h"
#include "xadracommon/PreviewApi.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace xad::preview::api;
using xad::preview::streams::ByteArrayMimeInputStream;
using Plume::ObjPtr;
using Plume::Object;
using Plume::ObjectArray;
using xadtest::expectLocalError;

// --- helpers ---------------------------------------------------------------

std::string show(const ObjPtr<IMimeInputStream>& s) { return s ? Plume::String::toText(s->getUniqueName().get()) : "null"; }
std::string show(const ObjPtr<Plume::String>& s) { return s ? "'" + s->str() + "'" : "null"; }
std::string show(const ObjPtr<Plume::List>& l) { return l ? "list" + std::to_string(l->getSize()) : "null"; }
std::string show(const ObjPtr<BoundingBoxWithAngle>& b) { return b ? "bbox" + std::to_string(b->getAngle()) : "null"; }
std::string show(int32_t v) { return std::to_string(v); }
std::string show(double v) { return Plume::Double(v).toString(); }
std::string show(bool v) { return v ? "true" : "false"; }

template <class... A>
std::string call(const char* name, const A&... a) {
    std::string s = name;
    s += '(';
    bool first = true;
    ((s += (first ? "" : ","), s += show(a), first = false), ...);
    return s + ')';
}

// Records every call as "name(arg,...)" and returns a preset result.
class RecordingRenderer : public IHPGLRenderer {
public:
    std::string last;
    ObjPtr<IMimeInputStream> result;

    int32_t getLoadFactor() override { last = "getLoadFactor()"; return 42; }
    BBox getBoundingBox(const Stream& i) override {
        last = call("getBoundingBox", i);
        auto b = BoundingBoxWithAngle::newInstance();
        b->setAngle(90);
        return b;
    }
    ListP getPageBoundingBoxes(const Stream& i) override { last = call("getPageBoundingBoxes", i); return Plume::List::newInstance(); }
    ObjPtr<PatternSeekResult> seekPattern(const Stream& i, const Stream& p, int32_t a) override {
        last = call("seekPattern", i, p, a);
        return PatternSeekResult::newInstance();
    }
    Stream insertAnnotations(const Stream& i, int32_t a, const StringP& s, const ListP& l) override {
        last = call("insertAnnotations", i, a, s, l);
        return result;
    }
    Stream mergeWithAnnotations(const Stream& i1, int32_t a1, const Stream& i2, int32_t a2, const ListP& l,
                                const StringP& s) override {
        last = call("mergeWithAnnotations", i1, a1, i2, a2, l, s);
        return result;
    }
    Stream mergePdfWithAnnotations(const Stream& i1, int32_t a1, const Stream& i2, int32_t a2, const ListP& l,
                                   const StringP& s, const ListP& p) override {
        last = call("mergePdfWithAnnotations", i1, a1, i2, a2, l, s, p);
        return result;
    }
    Stream comparePngByResolution(const Stream& i1, int32_t a1, const Stream& i2, int32_t a2, double r,
                                  bool aa) override {
        last = call("comparePngByResolution", i1, a1, i2, a2, r, aa);
        return result;
    }
    Stream comparePngByPixelSize(const Stream& i1, int32_t a1, const Stream& i2, int32_t a2, int32_t px,
                                 bool aa) override {
        last = call("comparePngByPixelSize", i1, a1, i2, a2, px, aa);
        return result;
    }
    Stream comparePngTileByResolution(const Stream& i1, const BBox& t1, const Stream& i2, const BBox& t2, double r,
                                      bool aa, int32_t w, int32_t h) override {
        last = call("comparePngTileByResolution", i1, t1, i2, t2, r, aa, w, h);
        return result;
    }
    Stream renderPngByResolution(const Stream& i, double r, bool aa, int32_t a, const StringP& s,
                                 const ListP& l) override {
        last = call("renderPngByResolution", i, r, aa, a, s, l);
        return result;
    }
    Stream renderPngPageByResolution(const Stream& i, int32_t pg, double r, bool aa, int32_t a, const StringP& s,
                                     const ListP& l) override {
        last = call("renderPngPageByResolution", i, pg, r, aa, a, s, l);
        return result;
    }
    Stream renderPngByPixelSize(const Stream& i, int32_t px, bool aa, int32_t a, const StringP& s,
                                const ListP& l) override {
        last = call("renderPngByPixelSize", i, px, aa, a, s, l);
        return result;
    }
    Stream renderPngTileByResolution(const Stream& i, double r, bool aa, const BBox& t, const StringP& s,
                                     const ListP& l) override {
        last = call("renderPngTileByResolution", i, r, aa, t, s, l);
        return result;
    }
    Stream renderPdf(const Stream& i, const ListP& p, int32_t a, const StringP& s, const ListP& l) override {
        last = call("renderPdf", i, p, a, s, l);
        return result;
    }
};

// Captures what a proxy hands to its invocation handler.
class CapturingHandler : public Plume::InvocationHandler {
public:
    std::string method;
    ObjPtr<ObjectArray> args;
    ObjPtr<Object> reply;
    ObjPtr<Object> invoke(const std::string& m, const ObjPtr<ObjectArray>& a) override {
        method = m;
        args = a;
        return reply;
    }
};

ObjPtr<IMimeInputStream> stream(const char* text) {
    return ByteArrayMimeInputStream::newInstance(text, std::strlen(text), text, "image/hpgl");
}
std::string uname(const char* text) { return Plume::String::toText(stream(text)->getUniqueName().get()); }

ObjPtr<ObjectArray> args(std::initializer_list<ObjPtr<Object>> items) {
    auto a = ObjectArray::newInstance(items.size());
    size_t i = 0;
    for (auto& x : items) a->set(i++, x);
    return a;
}
ObjPtr<ObjectArray> nulls(size_t n) { return ObjectArray::newInstance(n); }

const char* const kRendererMethods[] = {
    "comparePngByPixelSize",     "comparePngByResolution",    "comparePngTileByResolution",
    "getBoundingBox",            "getLoadFactor",             "getPageBoundingBoxes",
    "insertAnnotations",         "mergePdfWithAnnotations",   "mergeWithAnnotations",
    "renderPdf",                 "renderPngByPixelSize",      "renderPngByResolution",
    "renderPngPageByResolution", "renderPngTileByResolution", "seekPattern"};
const size_t kRendererArgc[] = {6, 6, 8, 1, 0, 1, 4, 7, 6, 5, 6, 6, 7, 6, 3};

struct RendererDispatch : ::testing::Test {
    ObjPtr<RecordingRenderer> impl = Plume::makeObj<RecordingRenderer>();
    ObjPtr<Plume::ReflectionTarget> target = IHPGLRenderer__reflection_target::create(impl);
    ObjPtr<IHPGLRenderer> proxy = Plume::objCast<IHPGLRenderer>(
        IHPGLRenderer__reflection_proxy::create(Plume::makeObj<Plume::TargetInvocationHandler>(target)));
};

// --- tables ----------------------------------------------------------------

TEST(RendererTable, NamesSortedWithCountsAndTypes) {
    auto t = IHPGLRenderer__reflection_target::create(nullptr);
    EXPECT_STREQ(t->getInterfaceName(), "xad.preview.api.IHPGLRenderer");
    size_t n = 0;
    const char* const* names = t->getMethodNames(&n);
    ASSERT_EQ(n, 15u);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_STREQ(names[i], kRendererMethods[i]);
        if (i > 0) {
            EXPECT_LT(std::strcmp(names[i - 1], names[i]), 0);
        }
        size_t argc = 99;
        t->getArgumentTypes(names[i], &argc);
        EXPECT_EQ(argc, kRendererArgc[i]) << names[i];
    }
    size_t argc = 0;
    const char* const* types = t->getArgumentTypes("comparePngTileByResolution", &argc);
    std::vector<std::string> got(types, types + argc);
    std::vector<std::string> want = {"xad.preview.api.IMimeInputStream", "xad.preview.api.BoundingBoxWithAngle",
                                     "xad.preview.api.IMimeInputStream", "xad.preview.api.BoundingBoxWithAngle",
                                     "double", "boolean", "int", "int"};
    EXPECT_EQ(got, want);
    types = t->getArgumentTypes("renderPdf", &argc);
    EXPECT_EQ(std::vector<std::string>(types, types + argc),
              (std::vector<std::string>{"xad.preview.api.IMimeInputStream", "java.util.List", "int",
                                        "java.lang.String", "java.util.List"}));
    EXPECT_STREQ(t->getReturnType("getLoadFactor"), "int");
    EXPECT_STREQ(t->getReturnType("getBoundingBox"), "xad.preview.api.BoundingBoxWithAngle");
    EXPECT_STREQ(t->getReturnType("getPageBoundingBoxes"), "java.util.List");
    EXPECT_STREQ(t->getReturnType("seekPattern"), "xad.preview.api.PatternSeekResult");
    EXPECT_STREQ(t->getReturnType("renderPdf"), "xad.preview.api.IMimeInputStream");
    expectLocalError([&] { t->getReturnType("renderpdf"); }, 16, 3,
                     "Invalid method renderpdf specified in query of interface IHPGLRenderer.");
    expectLocalError([&] { t->getArgumentTypes("zzz", &argc); }, 16, 3,
                     "Invalid method zzz specified in query of interface IHPGLRenderer.");
}

TEST(StreamTable, NamesSortedWithCountsAndTypes) {
    auto t = IMimeInputStream__reflection_target::create(nullptr);
    EXPECT_STREQ(t->getInterfaceName(), "xad.preview.api.IMimeInputStream");
    size_t n = 0;
    const char* const* names = t->getMethodNames(&n);
    std::vector<std::string> got(names, names + n);
    EXPECT_EQ(got, (std::vector<std::string>{"close", "getMimeType", "getPrettyName", "getStreamSize",
                                             "getTimestamp", "getUniqueName", "readBlock"}));
    const char* returns[] = {"void", "java.lang.String", "java.lang.String", "long", "double", "java.lang.String", "[B"};
    for (size_t i = 0; i < n; ++i) {
        EXPECT_STREQ(t->getReturnType(names[i]), returns[i]);
        size_t argc = 9;
        const char* const* types = t->getArgumentTypes(names[i], &argc);
        EXPECT_EQ(argc, i == 6 ? 1u : 0u);
        if (i == 6) {
            EXPECT_STREQ(types[0], "int");
        }
    }
    expectLocalError([&] { t->getReturnType("ReadBlock"); }, 16, 3,
                     "Invalid method ReadBlock specified in query of interface IMimeInputStream.");
}

// --- target dispatch -------------------------------------------------------

TEST_F(RendererDispatch, EveryMethodNameIsFoundAndOthersAreNot) {
    // Each table name dispatches (with null arguments where allowed); names
    // that differ by case, prefix or suffix do not.
    size_t n = 0;
    const char* const* names = target->getMethodNames(&n);
    for (size_t i = 0; i < n; ++i) {
        std::string name = names[i];
        if (name == "getLoadFactor") continue;
        for (std::string bad : {name + "x", name.substr(0, name.size() - 1), std::string(1, char(toupper(name[0]))) + name.substr(1)})
            expectLocalError([&] { target->invokeMethod(bad.c_str(), nulls(kRendererArgc[i])); }, 16, 3,
                             "Invalid method " + bad + " specified in call to interface IHPGLRenderer.");
    }
    expectLocalError([&] { target->invokeMethod("GetLoadFactor", nullptr); }, 16, 3,
                     "Invalid method GetLoadFactor specified in call to interface IHPGLRenderer.");
    expectLocalError([&] { target->invokeMethod("", nullptr); }, 16, 3,
                     "Invalid method  specified in call to interface IHPGLRenderer.");
    expectLocalError([&] { target->invokeMethod("zzzz", nullptr); }, 16, 3,
                     "Invalid method zzzz specified in call to interface IHPGLRenderer.");
    expectLocalError([&] { target->invokeMethod("aaaa", nullptr); }, 16, 3,
                     "Invalid method aaaa specified in call to interface IHPGLRenderer.");
}

TEST_F(RendererDispatch, WrongArgumentCountsFailWithTheMethodsMessage) {
    for (size_t i = 0; i < 15; ++i) {
        std::string name = kRendererMethods[i];
        if (name == "getLoadFactor") continue;
        std::string msg = "Invalid number of arguments specified in call to IHPGLRenderer::" + name;
        size_t argc = kRendererArgc[i];
        expectLocalError([&] { target->invokeMethod(name.c_str(), nullptr); }, 16, 3, msg);
        expectLocalError([&] { target->invokeMethod(name.c_str(), nulls(argc - 1)); }, 16, 3, msg);
        expectLocalError([&] { target->invokeMethod(name.c_str(), nulls(argc + 1)); }, 16, 3, msg);
    }
    EXPECT_EQ(impl->last, "");  // nothing reached the implementation
}

TEST_F(RendererDispatch, GetLoadFactorIgnoresItsArgumentArray) {
    for (auto a : {ObjPtr<ObjectArray>(), nulls(0), args({Plume::String::newInstance("x"), nullptr})}) {
        auto r = target->invokeMethod("getLoadFactor", a);
        EXPECT_EQ(Plume::Integer::toInteger(r), 42);
    }
}

TEST_F(RendererDispatch, ObjectArgumentsOfAnotherTypeArriveAsNull) {
    auto s = stream("in");
    auto text = Plume::String::newInstance("stamp");
    // A String where a List is declared, an Integer where a stream is, a String where a bbox is.
    target->invokeMethod("renderPdf", args({s, Plume::String::newInstance("notalist"), Plume::Integer::newInstance(0),
                                            text, Plume::Integer::newInstance(7)}));
    EXPECT_EQ(impl->last, call("renderPdf", s, ObjPtr<Plume::List>(), 0, text, ObjPtr<Plume::List>()));
    target->invokeMethod("getBoundingBox", args({Plume::Integer::newInstance(1)}));
    EXPECT_EQ(impl->last, "getBoundingBox(null)");
    target->invokeMethod("renderPngTileByResolution",
                         args({nullptr, Plume::Double::newInstance(72), Plume::Boolean::newInstance(true),
                               Plume::String::newInstance("bbox"), Plume::List::newInstance(), nullptr}));
    EXPECT_EQ(impl->last, "renderPngTileByResolution(null,72,true,null,null,null)");
}

TEST_F(RendererDispatch, WholeNumberDoublesMayArriveAsIntegers) {
    // The wire does not keep 72.0 apart from 72; a declared double accepts both.
    target->invokeMethod("renderPngByResolution", args({nullptr, Plume::Integer::newInstance(72),
                                                        Plume::Boolean::newInstance(false),
                                                        Plume::Integer::newInstance(0), nullptr, nullptr}));
    EXPECT_EQ(impl->last, "renderPngByResolution(null,72,false,0,null,null)");
    EXPECT_THROW(target->invokeMethod("renderPngByResolution",
                                      args({nullptr, Plume::String::newInstance("72"), Plume::Boolean::newInstance(false),
                                            Plume::Integer::newInstance(0), nullptr, nullptr})),
                 Plume::Exception);
}

TEST_F(RendererDispatch, PrimitiveArgumentOfWrongTypeIsAnError) {
    EXPECT_THROW(target->invokeMethod("seekPattern", args({nullptr, nullptr, Plume::String::newInstance("90")})),
                 Plume::Exception);
    EXPECT_THROW(target->invokeMethod("seekPattern", nulls(3)), Plume::Exception);
}

TEST_F(RendererDispatch, ResultsAreBoxedOrPassedAsTheyAre) {
    auto r = target->invokeMethod("getBoundingBox", nulls(1));
    auto b = Plume::objCast<BoundingBoxWithAngle>(r);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->getAngle(), 90);
    impl->result = nullptr;
    EXPECT_FALSE(target->invokeMethod("renderPdf", args({nullptr, nullptr, Plume::Integer::newInstance(0), nullptr, nullptr})));
}

TEST(TargetCreation, NullImplementationAndWrongObject) {
    auto t = IHPGLRenderer__reflection_target::create(nullptr);
    try {
        t->invokeMethod("getLoadFactor", nullptr);
        FAIL() << "no exception";
    } catch (const Plume::Exception& e) {
        std::string m = e.getMessage();
        EXPECT_NE(m.find("(invokeMethod): Pointer to type xad::preview::api::IHPGLRenderer is null."),
                  std::string::npos) << m;
    }
    try {
        IHPGLRenderer__reflection_target::create(Plume::String::newInstance("not a renderer"));
        FAIL() << "no exception";
    } catch (const Plume::Exception& e) {
        EXPECT_NE(e.getMessage().find("(check_cast): Pointer to type xad::preview::api::IHPGLRenderer is null."),
                  std::string::npos) << e.getMessage();
    }
    try {
        IMimeInputStream__reflection_target::create(Plume::String::newInstance("x"));
        FAIL() << "no exception";
    } catch (const Plume::Exception& e) {
        EXPECT_NE(e.getMessage().find("(check_cast): Pointer to type xad::preview::api::IMimeInputStream is null."),
                  std::string::npos) << e.getMessage();
    }
    auto st = IMimeInputStream__reflection_target::create(nullptr);
    EXPECT_THROW(st->invokeMethod("close", nullptr), Plume::Exception);
}

// --- proxy -----------------------------------------------------------------

TEST(RendererProxy, BuildsExactArgumentArrays) {
    auto h = Plume::makeObj<CapturingHandler>();
    auto p = Plume::objCast<IHPGLRenderer>(IHPGLRenderer__reflection_proxy::create(h));
    ASSERT_TRUE(p);
    EXPECT_TRUE(Plume::objCast<Plume::ReflectionProxy>(p));
    h->reply = Plume::Integer::newInstance(5);
    EXPECT_EQ(p->getLoadFactor(), 5);
    EXPECT_EQ(h->method, "getLoadFactor");
    EXPECT_FALSE(h->args);  // no array for a method without arguments

    h->reply = nullptr;
    auto s = stream("abc");
    p->renderPngPageByResolution(s, 3, 150.5, true, 270, nullptr, Plume::List::newInstance());
    EXPECT_EQ(h->method, "renderPngPageByResolution");
    ASSERT_TRUE(h->args);
    ASSERT_EQ(h->args->getSize(), 7u);
    EXPECT_EQ(h->args->get(0).get(), static_cast<Object*>(s.get()));
    EXPECT_EQ(Plume::Integer::toInteger(h->args->get(1)), 3);
    EXPECT_EQ(Plume::Double::toDouble(h->args->get(2)), 150.5);
    EXPECT_TRUE(Plume::Boolean::toBoolean(h->args->get(3)));
    EXPECT_EQ(Plume::Integer::toInteger(h->args->get(4)), 270);
    EXPECT_FALSE(h->args->get(5));
    EXPECT_TRUE(Plume::objCast<Plume::List>(h->args->get(6)));
}

TEST(RendererProxy, ResultOfUnexpectedTypeBecomesNull) {
    auto h = Plume::makeObj<CapturingHandler>();
    auto p = Plume::objCast<IHPGLRenderer>(IHPGLRenderer__reflection_proxy::create(h));
    h->reply = Plume::String::newInstance("surprise");
    EXPECT_FALSE(p->getBoundingBox(nullptr));
    EXPECT_FALSE(p->getPageBoundingBoxes(nullptr));
    EXPECT_FALSE(p->seekPattern(nullptr, nullptr, 0));
    EXPECT_FALSE(p->renderPdf(nullptr, nullptr, 0, nullptr, nullptr));
    EXPECT_THROW(p->getLoadFactor(), Plume::Exception);  // an int result cannot be null
}

TEST(RendererProxy, PeerFailurePassesUnchanged) {
    class Failing : public Plume::InvocationHandler {
    public:
        ObjPtr<Object> invoke(const std::string&, const ObjPtr<ObjectArray>&) override {
            throwPreview(Plume::makeObj<HPGSError>("render failed"));
        }
    };
    auto p = Plume::objCast<IHPGLRenderer>(IHPGLRenderer__reflection_proxy::create(Plume::makeObj<Failing>()));
    xadtest::expectRemoteError<HPGSError>([&] { p->renderPdf(nullptr, nullptr, 0, nullptr, nullptr); }, 16, 3,
                                          "render failed");
}

TEST_F(RendererDispatch, EveryMethodRoundTripsThroughProxyAndTarget) {
    auto a = stream("A"), b = stream("B");
    auto st = Plume::String::newInstance("stamp");
    auto l1 = Plume::List::newInstance();
    auto l2 = Plume::List::newInstance();
    l2->add(nullptr);
    auto t1 = BoundingBoxWithAngle::newInstance();
    t1->setAngle(1);
    auto t2 = BoundingBoxWithAngle::newInstance();
    t2->setAngle(2);
    impl->result = stream("R");

    EXPECT_EQ(proxy->getLoadFactor(), 42);
    EXPECT_EQ(proxy->getBoundingBox(a)->getAngle(), 90);
    EXPECT_EQ(impl->last, call("getBoundingBox", a));
    EXPECT_TRUE(proxy->getPageBoundingBoxes(b));
    EXPECT_EQ(impl->last, call("getPageBoundingBoxes", b));
    EXPECT_TRUE(proxy->seekPattern(a, b, 180));
    EXPECT_EQ(impl->last, call("seekPattern", a, b, 180));

    auto check = [&](const ObjPtr<IMimeInputStream>& r, const std::string& want) {
        EXPECT_EQ(r.get(), impl->result.get());
        EXPECT_EQ(impl->last, want);
    };
    check(proxy->insertAnnotations(a, 90, st, l1), call("insertAnnotations", a, 90, st, l1));
    check(proxy->mergeWithAnnotations(a, 1, b, 2, l2, st), call("mergeWithAnnotations", a, 1, b, 2, l2, st));
    check(proxy->mergePdfWithAnnotations(a, 1, b, 2, l2, st, l1),
          call("mergePdfWithAnnotations", a, 1, b, 2, l2, st, l1));
    check(proxy->comparePngByResolution(a, 0, b, 90, 96.5, false),
          call("comparePngByResolution", a, 0, b, 90, 96.5, false));
    check(proxy->comparePngByPixelSize(a, 0, b, 90, 800, true), call("comparePngByPixelSize", a, 0, b, 90, 800, true));
    check(proxy->comparePngTileByResolution(a, t1, b, t2, 300.0, true, 640, 480),
          call("comparePngTileByResolution", a, t1, b, t2, 300.0, true, 640, 480));
    check(proxy->renderPngByResolution(a, 150.0, true, 90, st, l1),
          call("renderPngByResolution", a, 150.0, true, 90, st, l1));
    check(proxy->renderPngPageByResolution(a, 4, 72.0, false, 180, nullptr, nullptr),
          call("renderPngPageByResolution", a, 4, 72.0, false, 180, ObjPtr<Plume::String>(), ObjPtr<Plume::List>()));
    check(proxy->renderPngByPixelSize(b, 1024, false, 270, st, l2), call("renderPngByPixelSize", b, 1024, false, 270, st, l2));
    check(proxy->renderPngTileByResolution(a, 200.0, true, t2, st, l1),
          call("renderPngTileByResolution", a, 200.0, true, t2, st, l1));
    check(proxy->renderPdf(a, l2, 90, st, l1), call("renderPdf", a, l2, 90, st, l1));
    EXPECT_EQ(uname("A"), Plume::String::toText(a->getUniqueName().get()));
}

// --- stream interface ------------------------------------------------------

TEST(StreamDispatch, TargetAndProxyOverAByteArrayStream) {
    auto impl = ByteArrayMimeInputStream::newInstance("0123456789", 10, "digits", "text/plain");
    auto target = IMimeInputStream__reflection_target::create(impl);
    auto p = Plume::objCast<IMimeInputStream>(
        IMimeInputStream__reflection_proxy::create(Plume::makeObj<Plume::TargetInvocationHandler>(target)));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->getStreamSize(), 10);
    EXPECT_EQ(p->getTimestamp(), impl->getTimestamp());
    EXPECT_EQ(p->getMimeType()->str(), "text/plain");
    EXPECT_EQ(p->getPrettyName()->str(), "digits");
    EXPECT_EQ(p->getUniqueName()->str(), impl->getUniqueName()->str());
    auto block = p->readBlock(4);
    ASSERT_TRUE(block);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block->getData()), block->getSize()), "0123");

    // Boxing of results by the target itself.
    EXPECT_TRUE(Plume::objCast<Plume::Long>(target->invokeMethod("getStreamSize", nullptr)));
    EXPECT_TRUE(Plume::objCast<Plume::Double>(target->invokeMethod("getTimestamp", args({Plume::Integer::newInstance(1)}))));
    expectLocalError([&] { target->invokeMethod("readBlock", nullptr); }, 16, 3,
                     "Invalid number of arguments specified in call to IMimeInputStream::readBlock");
    expectLocalError([&] { target->invokeMethod("readBlock", nulls(2)); }, 16, 3,
                     "Invalid number of arguments specified in call to IMimeInputStream::readBlock");
    expectLocalError([&] { target->invokeMethod("Close", nullptr); }, 16, 3,
                     "Invalid method Close specified in call to interface IMimeInputStream.");

    EXPECT_FALSE(target->invokeMethod("close", nullptr));
    EXPECT_EQ(p->getStreamSize(), 0);
    xadtest::expectRemoteError<IOError>([&] { p->readBlock(4); }, 16, 3, "Stream [digits] has been closed.");
}

TEST(StreamProxy, UnexpectedResultTypes) {
    auto h = Plume::makeObj<CapturingHandler>();
    auto p = Plume::objCast<IMimeInputStream>(IMimeInputStream__reflection_proxy::create(h));
    h->reply = Plume::Integer::newInstance(1);
    EXPECT_FALSE(p->getMimeType());
    EXPECT_FALSE(p->readBlock(10));
    EXPECT_EQ(h->method, "readBlock");
    ASSERT_TRUE(h->args);
    ASSERT_EQ(h->args->getSize(), 1u);
    EXPECT_EQ(Plume::Integer::toInteger(h->args->get(0)), 10);
    p->close();  // result dropped
    EXPECT_EQ(h->method, "close");
    EXPECT_FALSE(h->args);
}

// --- registration ----------------------------------------------------------

TEST(InterfaceRegistration, InterfacesWithReleaseMethod) {
    Plume::InterfaceRegistry reg;
    registerInterfaces(reg);
    auto s = reg.find("xad.preview.api.IMimeInputStream");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->releaseMethod, "close");
    auto r = reg.find("xad.preview.api.IHPGLRenderer");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->releaseMethod, "");
    auto impl = Plume::makeObj<RecordingRenderer>();
    auto found = reg.findFor(impl.get());
    ASSERT_TRUE(found);
    EXPECT_EQ(found->name, "xad.preview.api.IHPGLRenderer");
    auto proxy = r->proxyCreator(Plume::makeObj<Plume::TargetInvocationHandler>(r->targetCreator(impl)));
    EXPECT_EQ(Plume::objCast<IHPGLRenderer>(proxy)->getLoadFactor(), 42);
    EXPECT_FALSE(s->isInstance(impl.get()));
    EXPECT_TRUE(s->isInstance(stream("x").get()));
}

}  // namespace
