// Value and exception types: field order, defaults, wire names and UIDs,
// the property-type enum and registration.
#include "TestSupport.h"
#include "xadracommon/PreviewApi.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace xad::preview::api;
using xad::preview::streams::ByteArrayMimeInputStream;
using Plume::ObjPtr;
using xadtest::RecordingSerializer;

template <class T>
std::string fieldsOf(const T& v) {
    RecordingSerializer r;
    v.writeFields(r);
    return r.describe();
}

// Writes src, reads the record back into a fresh T and checks every field was consumed.
template <class T>
ObjPtr<T> roundTrip(const T& src) {
    RecordingSerializer r;
    src.writeFields(r);
    auto dst = Plume::makeObj<T>();
    dst->readFields(r, src.getSerialVersionUID());
    EXPECT_EQ(r.next, r.fields.size());
    return dst;
}

TEST(FieldOrder, DefaultBoundingBoxIsAngleAndFiveZeros) {
    EXPECT_EQ(fieldsOf(BoundingBoxWithAngle()), "I:0 D:0 D:0 D:0 D:0 D:0");
}

TEST(FieldOrder, BoundingBox) {
    BoundingBoxWithAngle b;
    b.setAngle(90);
    b.setLlx(1);
    b.setLly(2);
    b.setUrx(3);
    b.setUry(4);
    b.setUserUnit(0.5);
    EXPECT_EQ(fieldsOf(b), "I:90 D:1 D:2 D:3 D:4 D:0.5");
    auto c = roundTrip(b);
    EXPECT_EQ(fieldsOf(*c), fieldsOf(b));
}

TEST(FieldOrder, PatternParameters) {
    PatternParameters p;
    p.setAngle(270);
    p.setCorrelation(0.75);
    p.setDx(1.5);
    p.setDy(-2);
    p.setOverlap(0.25);
    p.setSeparation(3);
    EXPECT_EQ(fieldsOf(p), "I:270 D:0.75 D:1.5 D:-2 D:0.25 D:3");
    auto q = roundTrip(p);
    EXPECT_EQ(q->getDx(), 1.5);
    EXPECT_EQ(q->getDy(), -2);
    EXPECT_EQ(q->getSeparation(), 3);
}

TEST(FieldOrder, AnnotationWithNullsAndValues) {
    Annotation a;
    EXPECT_EQ(fieldsOf(a), "O:null O:null I:0 O:null O:null");
    a.setColor("#ff00a0");
    a.setFdf(ByteArrayMimeInputStream::newInstance("%FDF", 4, "a.fdf", "application/vnd.fdf"));
    a.setMode(2);
    a.setOwner("xadrac");
    a.setTitle("xadrac 1");
    EXPECT_EQ(fieldsOf(a),
              "O:#ff00a0 O:xad.preview.streams.ByteArrayMimeInputStream I:2 O:xadrac O:xadrac 1");
    auto b = roundTrip(a);
    EXPECT_EQ(b->getColor()->str(), "#ff00a0");
    EXPECT_EQ(b->getFdf().get(), a.getFdf().get());
    EXPECT_EQ(b->getMode(), 2);
    EXPECT_EQ(b->getOwner()->str(), "xadrac");
    EXPECT_EQ(b->getTitle()->str(), "xadrac 1");
}

TEST(FieldOrder, FieldsOfUnexpectedTypeAreReadAsNull) {
    RecordingSerializer r;
    r.writeObject(Plume::Integer::newInstance(1));            // color
    r.writeObject(Plume::String::newInstance("not a stream"));  // fdf
    r.writeInt(1);
    r.writeObject(Plume::List::newInstance());  // owner
    r.writeObject(Plume::String::newInstance("t"));
    Annotation a;
    a.setColor("#000000");
    a.readFields(r, Annotation::SERIAL_VERSION_UID);
    EXPECT_FALSE(a.getColor());
    EXPECT_FALSE(a.getFdf());
    EXPECT_FALSE(a.getOwner());
    EXPECT_EQ(a.getTitle()->str(), "t");

    RecordingSerializer r2;
    r2.writeObject(Plume::String::newInstance("TITLE"));  // a name, not the enum
    r2.writeObject(Plume::Integer::newInstance(3));
    PDFProperty p;
    p.readFields(r2, PDFProperty::SERIAL_VERSION_UID);
    EXPECT_FALSE(p.getType());
    EXPECT_FALSE(p.getValue());
}

TEST(FieldOrder, PatternSeekResultAndPdfProperty) {
    PatternSeekResult s;
    EXPECT_EQ(fieldsOf(s), "O:null O:null");
    s.setBoundingBox(BoundingBoxWithAngle::newInstance());
    auto arr = PatternSeekResult::newParametersArray(4);
    for (int k = 0; k < 4; ++k) {
        auto p = PatternParameters::newInstance();
        p->setAngle(90 * k);
        arr->set(k, p);
    }
    s.setParameters(arr);
    EXPECT_EQ(fieldsOf(s), "O:xad.preview.api.BoundingBoxWithAngle O:[Lxad.preview.api.PatternParameters;");
    auto t = roundTrip(s);
    ASSERT_TRUE(t->getParameter(3));
    EXPECT_EQ(t->getParameter(3)->getAngle(), 270);
    EXPECT_FALSE(t->getParameter(4));

    auto prop = PDFProperty::newInstance(PDFPropertyType::valueOf("AUTHOR"), "Jane");
    EXPECT_EQ(fieldsOf(*prop), "O:xad.preview.api.PDFPropertyType O:Jane");
    EXPECT_EQ(roundTrip(*prop)->getType()->getOrdinal(), 1);
}

TEST(FieldOrder, ByteArrayStream) {
    auto s = ByteArrayMimeInputStream::newInstance(Plume::ByteArray::newInstance(3), 12.5, "pretty", "image/hpgl");
    EXPECT_EQ(fieldsOf(*s), "O:[B O:image/hpgl O:pretty D:12.5 O:" + s->getUniqueName()->str());
}

// --- exceptions ------------------------------------------------------------

TEST(PreviewExceptions, TimeoutWritesItsFieldFirstAndRoundTrips) {
    Timeout t("Job did not run in time.", 60);
    EXPECT_EQ(fieldsOf(t), "I:60 O:Job did not run in time.");
    auto u = roundTrip(t);
    EXPECT_EQ(u->getTimeout(), 60);
    EXPECT_EQ(u->getDetailMessage(), "Job did not run in time.");
    Timeout none;
    EXPECT_EQ(fieldsOf(none), "I:0 O:null");
    EXPECT_FALSE(roundTrip(none)->hasDetailMessage());
}

TEST(PreviewExceptions, OthersWriteOnlyTheMessage) {
    EXPECT_EQ(fieldsOf(IOError("disk gone")), "O:disk gone");
    EXPECT_EQ(roundTrip(HPGSError("bad pen"))->getDetailMessage(), "bad pen");
    EXPECT_EQ(roundTrip(DRMError("locked"))->getDetailMessage(), "locked");
}

TEST(PreviewExceptions, HierarchyAndText) {
    ObjPtr<Plume::Throwable> e = Plume::makeObj<IOError>("disk gone");
    EXPECT_TRUE(Plume::objCast<PreviewException>(e));
    EXPECT_TRUE(Plume::objCast<Plume::JavaException>(e));
    EXPECT_FALSE(Plume::objCast<Timeout>(e));
    EXPECT_EQ(e->toString(), "xad.preview.api.IOError: disk gone");
    try {
        throwPreview(Plume::makeObj<Timeout>("late", 30));
    } catch (const Plume::ThrowableException& x) {
        EXPECT_EQ(x.getCategory(), 16u);
        EXPECT_EQ(x.getLevel(), 3);
        EXPECT_EQ(&x.getLogService(), &Xadra::logService());
        auto t = Plume::objCast<Timeout>(x.getThrowable());
        ASSERT_TRUE(t);
        EXPECT_EQ(t->getTimeout(), 30);
    }
}

// --- wire names and UIDs ---------------------------------------------------

TEST(TypeRegistration, AllTwelveTypesWithUidsAndArrays) {
    auto f = Plume::SerializableFactory::newInstance();
    registerTypes(*f);
    struct Want {
        const char* id;
        int64_t uid;
    } want[] = {
        {"xad.preview.api.Annotation", 7072325182404949278LL},
        {"xad.preview.api.BoundingBoxWithAngle", 2280904842547387023LL},
        {"xad.preview.api.PatternParameters", 7278454683144328889LL},
        {"xad.preview.api.PatternSeekResult", 705550413708373337LL},
        {"xad.preview.api.PDFProperty", -4678211486168957013LL},
        {"xad.preview.api.PDFPropertyType", 0},
        {"xad.preview.api.PreviewException", -8613402002615537011LL},
        {"xad.preview.api.DRMError", 7174653008276797179LL},
        {"xad.preview.api.HPGSError", -3602010984353858792LL},
        {"xad.preview.api.IOError", 1955749351692554062LL},
        {"xad.preview.api.Timeout", 138013960363251379LL},
        {"xad.preview.streams.ByteArrayMimeInputStream", -657380116893924918LL},
    };
    for (const Want& w : want) {
        const auto* info = f->find(w.id);
        ASSERT_TRUE(info) << w.id;
        EXPECT_EQ(info->uid, w.uid) << w.id;
        auto obj = info->creator();
        ASSERT_TRUE(obj);
        EXPECT_STREQ(obj->getSerialID(), w.id);
        EXPECT_EQ(obj->getSerialVersionUID(), w.uid) << w.id;
        EXPECT_TRUE(f->isArrayTypeRegistered(std::string("[L") + w.id + ";")) << w.id;
    }
}

// --- enum ------------------------------------------------------------------

TEST(PropertyType, NamesOrdinalsAndSharedConstants) {
    const char* names[] = {"TITLE",       "AUTHOR",    "SUBJECT",   "KEYWORDS",  "CREATOR",
                           "ANNOTATION",  "SCALE_ANNO", "SUBMIT_MSG", "OPEN_SCRIPT", "DC_SCRIPT",
                           "WS_SCRIPT",   "DS_SCRIPT", "WP_SCRIPT", "DP_SCRIPT"};
    for (int i = 0; i < 14; ++i) {
        auto byName = PDFPropertyType::valueOf(names[i]);
        ASSERT_TRUE(byName);
        EXPECT_EQ(byName->getOrdinal(), i);
        EXPECT_EQ(byName->toString(), names[i]);
        EXPECT_EQ(byName.get(), PDFPropertyType::valueOf(i).get());  // one shared constant
        EXPECT_EQ(byName->getEnumConstant(i).get(), static_cast<Plume::Enum*>(byName.get()));
    }
    EXPECT_EQ(PDFPropertyType::valueOf("TITLE")->getOrdinal(), 0);
    EXPECT_TRUE(PDFPropertyType::valueOf(3)->equals(PDFPropertyType::valueOf("KEYWORDS").get()));
    EXPECT_TRUE(PDFPropertyType::valueOf(1)->lessThan(PDFPropertyType::valueOf(2).get()));
}

TEST(PropertyType, UnknownNamesAndOrdinals) {
    for (const char* bad : {"title", "Title", "TITLE ", "", "DP_SCRIPTS"})
        xadtest::expectLocalError([&] { PDFPropertyType::valueOf(bad); }, 16, 3,
                                  std::string("Invalid enum string [") + bad +
                                      "] for type [PDFPropertyType] specified.");
    EXPECT_THROW(PDFPropertyType::valueOf(14), Plume::Exception);
    EXPECT_THROW(PDFPropertyType::valueOf(-1), Plume::Exception);
    EXPECT_FALSE(PDFPropertyType::valueOf(0)->getEnumConstant(14));
    EXPECT_FALSE(PDFPropertyType::valueOf(0)->getEnumConstant(-1));
}

TEST(PropertyType, ReadingDoesNotDisturbTheSharedConstants) {
    // The framework reads into an instance from the registered creator and then
    // asks it for the shared constant; the constants themselves stay intact.
    auto f = Plume::SerializableFactory::newInstance();
    registerTypes(*f);
    RecordingSerializer r;
    PDFPropertyType::valueOf(PDFPropertyType::DP_SCRIPT)->writeFields(r);
    EXPECT_EQ(r.describe(), "I:13 O:DP_SCRIPT");
    auto fresh = Plume::objCast<PDFPropertyType>(f->find(PDFPropertyType::SERIAL_ID)->creator());
    ASSERT_TRUE(fresh);
    fresh->readFields(r, 0);
    auto constant = fresh->getEnumConstant(fresh->getOrdinal());
    EXPECT_EQ(constant.get(), static_cast<Plume::Enum*>(PDFPropertyType::valueOf(13).get()));
    EXPECT_EQ(PDFPropertyType::valueOf(0)->getOrdinal(), 0);
    EXPECT_EQ(PDFPropertyType::valueOf(0)->toString(), "TITLE");
}

}  // namespace
