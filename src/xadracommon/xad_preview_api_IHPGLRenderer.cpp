#include "xad_preview_api_IHPGLRenderer.h"

#include "DispatchSupport.h"
#include "XadraException.h"

namespace xad::preview::api {

using Plume::List;
using Plume::ObjPtr;
using Plume::Object;
using Plume::ObjectArray;
using Plume::String;
using namespace dispatch;

namespace {

#define T_STREAM "xad.preview.api.IMimeInputStream"
#define T_BBOX "xad.preview.api.BoundingBoxWithAngle"
#define T_SEEK "xad.preview.api.PatternSeekResult"
#define T_LIST "java.util.List"
#define T_STRING "java.lang.String"

const char* const kNoArgs[] = {nullptr};
const char* const kComparePngByPixelSize[] = {T_STREAM, "int", T_STREAM, "int", "int", "boolean"};
const char* const kComparePngByResolution[] = {T_STREAM, "int", T_STREAM, "int", "double", "boolean"};
const char* const kComparePngTileByResolution[] = {T_STREAM, T_BBOX, T_STREAM, T_BBOX,
                                                   "double", "boolean", "int",  "int"};
const char* const kStreamOnly[] = {T_STREAM};
const char* const kInsertAnnotations[] = {T_STREAM, "int", T_STRING, T_LIST};
const char* const kMergePdfWithAnnotations[] = {T_STREAM, "int", T_STREAM, "int", T_LIST, T_STRING, T_LIST};
const char* const kMergeWithAnnotations[] = {T_STREAM, "int", T_STREAM, "int", T_LIST, T_STRING};
const char* const kRenderPdf[] = {T_STREAM, T_LIST, "int", T_STRING, T_LIST};
const char* const kRenderPngByPixelSize[] = {T_STREAM, "int", "boolean", "int", T_STRING, T_LIST};
const char* const kRenderPngByResolution[] = {T_STREAM, "double", "boolean", "int", T_STRING, T_LIST};
const char* const kRenderPngPageByResolution[] = {T_STREAM, "int", "double", "boolean", "int", T_STRING, T_LIST};
const char* const kRenderPngTileByResolution[] = {T_STREAM, "double", "boolean", T_BBOX, T_STRING, T_LIST};
const char* const kSeekPattern[] = {T_STREAM, T_STREAM, "int"};

#define ENTRY(name, args, ret) {#name, args, sizeof args / sizeof args[0], ret}

enum Method {
    COMPARE_PNG_BY_PIXEL_SIZE,
    COMPARE_PNG_BY_RESOLUTION,
    COMPARE_PNG_TILE_BY_RESOLUTION,
    GET_BOUNDING_BOX,
    GET_LOAD_FACTOR,
    GET_PAGE_BOUNDING_BOXES,
    INSERT_ANNOTATIONS,
    MERGE_PDF_WITH_ANNOTATIONS,
    MERGE_WITH_ANNOTATIONS,
    RENDER_PDF,
    RENDER_PNG_BY_PIXEL_SIZE,
    RENDER_PNG_BY_RESOLUTION,
    RENDER_PNG_PAGE_BY_RESOLUTION,
    RENDER_PNG_TILE_BY_RESOLUTION,
    SEEK_PATTERN,
};

// Sorted by strcmp; the enum above follows the same order.
const MethodEntry kMethods[] = {
    ENTRY(comparePngByPixelSize, kComparePngByPixelSize, T_STREAM),
    ENTRY(comparePngByResolution, kComparePngByResolution, T_STREAM),
    ENTRY(comparePngTileByResolution, kComparePngTileByResolution, T_STREAM),
    ENTRY(getBoundingBox, kStreamOnly, T_BBOX),
    {"getLoadFactor", kNoArgs, 0, "int"},
    ENTRY(getPageBoundingBoxes, kStreamOnly, T_LIST),
    ENTRY(insertAnnotations, kInsertAnnotations, T_STREAM),
    ENTRY(mergePdfWithAnnotations, kMergePdfWithAnnotations, T_STREAM),
    ENTRY(mergeWithAnnotations, kMergeWithAnnotations, T_STREAM),
    ENTRY(renderPdf, kRenderPdf, T_STREAM),
    ENTRY(renderPngByPixelSize, kRenderPngByPixelSize, T_STREAM),
    ENTRY(renderPngByResolution, kRenderPngByResolution, T_STREAM),
    ENTRY(renderPngPageByResolution, kRenderPngPageByResolution, T_STREAM),
    ENTRY(renderPngTileByResolution, kRenderPngTileByResolution, T_STREAM),
    ENTRY(seekPattern, kSeekPattern, T_SEEK),
};
constexpr size_t kCount = sizeof kMethods / sizeof kMethods[0];

const char* const kNames[] = {
    "comparePngByPixelSize",     "comparePngByResolution",    "comparePngTileByResolution",
    "getBoundingBox",            "getLoadFactor",             "getPageBoundingBoxes",
    "insertAnnotations",         "mergePdfWithAnnotations",   "mergeWithAnnotations",
    "renderPdf",                 "renderPngByPixelSize",      "renderPngByResolution",
    "renderPngPageByResolution", "renderPngTileByResolution", "seekPattern",
};
static_assert(kCount == sizeof kNames / sizeof kNames[0]);

const MethodEntry& queryMethod(const char* method) {
    int i = findMethod(kMethods, kCount, method);
    if (i < 0)
        throw Xadra::Exception(16, 3, "Invalid method %s specified in query of interface IHPGLRenderer.",
                               method ? method : "(null)");
    return kMethods[i];
}

void checkArgs(const ObjPtr<ObjectArray>& args, Method m) {
    if (!argCountIs(args, kMethods[m].argCount))
        throw Xadra::Exception(16, 3, "Invalid number of arguments specified in call to IHPGLRenderer::%s",
                               kMethods[m].name);
}

}  // namespace

IHPGLRenderer::~IHPGLRenderer() = default;

bool IHPGLRenderer::isInstance(const Object* o) { return dynamic_cast<const IHPGLRenderer*>(o) != nullptr; }

// ---------------------------------------------------------------------------
// Proxy

using Stream = IHPGLRenderer::Stream;
using StringP = IHPGLRenderer::StringP;
using ListP = IHPGLRenderer::ListP;
using BBox = IHPGLRenderer::BBox;
using Proxy = IHPGLRenderer__reflection_proxy;

ObjPtr<Object> Proxy::create(const ObjPtr<Plume::InvocationHandler>& handler) {
    return Plume::makeObj<IHPGLRenderer__reflection_proxy>(handler);
}

int32_t Proxy::getLoadFactor() {
    return Plume::Integer::toInteger(handler_->invoke("getLoadFactor", nullptr).get());
}

BBox Proxy::getBoundingBox(const Stream& input) {
    return Plume::objCast<BoundingBoxWithAngle>(handler_->invoke("getBoundingBox", makeArgs(input)));
}

ListP Proxy::getPageBoundingBoxes(const Stream& input) {
    return Plume::objCast<List>(handler_->invoke("getPageBoundingBoxes", makeArgs(input)));
}

ObjPtr<PatternSeekResult> Proxy::seekPattern(const Stream& input, const Stream& pattern, int32_t angle) {
    return Plume::objCast<PatternSeekResult>(handler_->invoke("seekPattern", makeArgs(input, pattern, angle)));
}

Stream Proxy::insertAnnotations(const Stream& input, int32_t angle, const StringP& stamp, const ListP& annotations) {
    return Plume::objCast<IMimeInputStream>(
        handler_->invoke("insertAnnotations", makeArgs(input, angle, stamp, annotations)));
}

Stream Proxy::mergeWithAnnotations(const Stream& input1, int32_t angle1, const Stream& input2, int32_t angle2,
                                   const ListP& annotations, const StringP& stamp) {
    return Plume::objCast<IMimeInputStream>(handler_->invoke(
        "mergeWithAnnotations", makeArgs(input1, angle1, input2, angle2, annotations, stamp)));
}

Stream Proxy::mergePdfWithAnnotations(const Stream& input1, int32_t angle1, const Stream& input2, int32_t angle2,
                                      const ListP& annotations, const StringP& stamp, const ListP& properties) {
    return Plume::objCast<IMimeInputStream>(handler_->invoke(
        "mergePdfWithAnnotations", makeArgs(input1, angle1, input2, angle2, annotations, stamp, properties)));
}

Stream Proxy::comparePngByResolution(const Stream& input1, int32_t angle1, const Stream& input2, int32_t angle2,
                                     double resolution, bool antialias) {
    return Plume::objCast<IMimeInputStream>(handler_->invoke(
        "comparePngByResolution", makeArgs(input1, angle1, input2, angle2, resolution, antialias)));
}

Stream Proxy::comparePngByPixelSize(const Stream& input1, int32_t angle1, const Stream& input2, int32_t angle2,
                                    int32_t pixelSize, bool antialias) {
    return Plume::objCast<IMimeInputStream>(handler_->invoke(
        "comparePngByPixelSize", makeArgs(input1, angle1, input2, angle2, pixelSize, antialias)));
}

Stream Proxy::comparePngTileByResolution(const Stream& input1, const BBox& tile1, const Stream& input2,
                                         const BBox& tile2, double resolution, bool antialias, int32_t width,
                                         int32_t height) {
    return Plume::objCast<IMimeInputStream>(
        handler_->invoke("comparePngTileByResolution",
                         makeArgs(input1, tile1, input2, tile2, resolution, antialias, width, height)));
}

Stream Proxy::renderPngByResolution(const Stream& input, double resolution, bool antialias, int32_t angle,
                                    const StringP& stamp, const ListP& annotations) {
    return Plume::objCast<IMimeInputStream>(handler_->invoke(
        "renderPngByResolution", makeArgs(input, resolution, antialias, angle, stamp, annotations)));
}

Stream Proxy::renderPngPageByResolution(const Stream& input, int32_t page, double resolution, bool antialias,
                                        int32_t angle, const StringP& stamp, const ListP& annotations) {
    return Plume::objCast<IMimeInputStream>(handler_->invoke(
        "renderPngPageByResolution", makeArgs(input, page, resolution, antialias, angle, stamp, annotations)));
}

Stream Proxy::renderPngByPixelSize(const Stream& input, int32_t pixelSize, bool antialias, int32_t angle,
                                   const StringP& stamp, const ListP& annotations) {
    return Plume::objCast<IMimeInputStream>(handler_->invoke(
        "renderPngByPixelSize", makeArgs(input, pixelSize, antialias, angle, stamp, annotations)));
}

Stream Proxy::renderPngTileByResolution(const Stream& input, double resolution, bool antialias, const BBox& tile,
                                        const StringP& stamp, const ListP& annotations) {
    return Plume::objCast<IMimeInputStream>(handler_->invoke(
        "renderPngTileByResolution", makeArgs(input, resolution, antialias, tile, stamp, annotations)));
}

Stream Proxy::renderPdf(const Stream& input, const ListP& properties, int32_t angle, const StringP& stamp,
                        const ListP& annotations) {
    return Plume::objCast<IMimeInputStream>(
        handler_->invoke("renderPdf", makeArgs(input, properties, angle, stamp, annotations)));
}

// ---------------------------------------------------------------------------
// Target

using Target = IHPGLRenderer__reflection_target;

ObjPtr<Plume::ReflectionTarget> Target::create(const ObjPtr<Object>& obj) {
    ObjPtr<IHPGLRenderer> impl = Plume::objCast<IHPGLRenderer>(obj);
    if (obj && !impl) Plume::throwNull(__FILE__, __LINE__, "check_cast", "xad::preview::api::IHPGLRenderer");
    return Plume::makeObj<IHPGLRenderer__reflection_target>(impl);
}

ObjPtr<Object> Target::invokeMethod(const char* method, const ObjPtr<ObjectArray>& a) {
    if (!impl_) Plume::throwNull(__FILE__, __LINE__, "invokeMethod", "xad::preview::api::IHPGLRenderer");
    int i = findMethod(kMethods, kCount, method);
    if (i < 0)
        throw Xadra::Exception(16, 3, "Invalid method %s specified in call to interface IHPGLRenderer.",
                               method ? method : "(null)");
    Method m = static_cast<Method>(i);
    if (m == GET_LOAD_FACTOR) return Plume::Integer::newInstance(impl_->getLoadFactor());
    checkArgs(a, m);
    auto S = [&a](size_t k) { return objArg<IMimeInputStream>(a, k); };
    auto L = [&a](size_t k) { return objArg<List>(a, k); };
    auto T = [&a](size_t k) { return objArg<String>(a, k); };
    auto B = [&a](size_t k) { return objArg<BoundingBoxWithAngle>(a, k); };
    switch (m) {
        case COMPARE_PNG_BY_PIXEL_SIZE:
            return impl_->comparePngByPixelSize(S(0), intArg(a, 1), S(2), intArg(a, 3), intArg(a, 4), boolArg(a, 5));
        case COMPARE_PNG_BY_RESOLUTION:
            return impl_->comparePngByResolution(S(0), intArg(a, 1), S(2), intArg(a, 3), doubleArg(a, 4),
                                                 boolArg(a, 5));
        case COMPARE_PNG_TILE_BY_RESOLUTION:
            return impl_->comparePngTileByResolution(S(0), B(1), S(2), B(3), doubleArg(a, 4), boolArg(a, 5),
                                                     intArg(a, 6), intArg(a, 7));
        case GET_BOUNDING_BOX:
            return impl_->getBoundingBox(S(0));
        case GET_LOAD_FACTOR:
            break;
        case GET_PAGE_BOUNDING_BOXES:
            return impl_->getPageBoundingBoxes(S(0));
        case INSERT_ANNOTATIONS:
            return impl_->insertAnnotations(S(0), intArg(a, 1), T(2), L(3));
        case MERGE_PDF_WITH_ANNOTATIONS:
            return impl_->mergePdfWithAnnotations(S(0), intArg(a, 1), S(2), intArg(a, 3), L(4), T(5), L(6));
        case MERGE_WITH_ANNOTATIONS:
            return impl_->mergeWithAnnotations(S(0), intArg(a, 1), S(2), intArg(a, 3), L(4), T(5));
        case RENDER_PDF:
            return impl_->renderPdf(S(0), L(1), intArg(a, 2), T(3), L(4));
        case RENDER_PNG_BY_PIXEL_SIZE:
            return impl_->renderPngByPixelSize(S(0), intArg(a, 1), boolArg(a, 2), intArg(a, 3), T(4), L(5));
        case RENDER_PNG_BY_RESOLUTION:
            return impl_->renderPngByResolution(S(0), doubleArg(a, 1), boolArg(a, 2), intArg(a, 3), T(4), L(5));
        case RENDER_PNG_PAGE_BY_RESOLUTION:
            return impl_->renderPngPageByResolution(S(0), intArg(a, 1), doubleArg(a, 2), boolArg(a, 3), intArg(a, 4),
                                                    T(5), L(6));
        case RENDER_PNG_TILE_BY_RESOLUTION:
            return impl_->renderPngTileByResolution(S(0), doubleArg(a, 1), boolArg(a, 2), B(3), T(4), L(5));
        case SEEK_PATTERN:
            return impl_->seekPattern(S(0), S(1), intArg(a, 2));
    }
    return nullptr;
}

const char* const* Target::getMethodNames(size_t* count) const {
    if (count) *count = kCount;
    return kNames;
}

const char* const* Target::getArgumentTypes(const char* method, size_t* count) const {
    const MethodEntry& m = queryMethod(method);
    if (count) *count = m.argCount;
    return m.argTypes;
}

const char* Target::getReturnType(const char* method) const { return queryMethod(method).returnType; }

}  // namespace xad::preview::api
