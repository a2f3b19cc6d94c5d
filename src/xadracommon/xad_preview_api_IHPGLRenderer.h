// The preview service's remote interface.
//
// Angles are rotations in degrees, resolutions dots per inch, pixel sizes
// pixels. The stamp is a caller's text kept with the result. Lists named
// annotations hold Annotation objects, lists named properties PDFProperty
// objects. Every object argument and result may be null.
#pragma once

#include "BoundingBoxWithAngle.h"
#include "PatternSeekResult.h"
#include "xad_preview_api_IMimeInputStream.h"

namespace xad::preview::api {

class IHPGLRenderer : public virtual Plume::Object {
public:
    static constexpr const char* INTERFACE_NAME = "xad.preview.api.IHPGLRenderer";
    using Stream = Plume::ObjPtr<IMimeInputStream>;
    using StringP = Plume::ObjPtr<Plume::String>;
    using ListP = Plume::ObjPtr<Plume::List>;
    using BBox = Plume::ObjPtr<BoundingBoxWithAngle>;

    ~IHPGLRenderer() override;
    virtual int32_t getLoadFactor() = 0;
    virtual BBox getBoundingBox(const Stream& input) = 0;
    // A list of BoundingBoxWithAngle, one per page.
    virtual ListP getPageBoundingBoxes(const Stream& input) = 0;
    virtual Plume::ObjPtr<PatternSeekResult> seekPattern(const Stream& input, const Stream& pattern, int32_t angle) = 0;
    virtual Stream insertAnnotations(const Stream& input, int32_t angle, const StringP& stamp,
                                     const ListP& annotations) = 0;
    virtual Stream mergeWithAnnotations(const Stream& input1, int32_t angle1, const Stream& input2, int32_t angle2,
                                        const ListP& annotations, const StringP& stamp) = 0;
    virtual Stream mergePdfWithAnnotations(const Stream& input1, int32_t angle1, const Stream& input2, int32_t angle2,
                                           const ListP& annotations, const StringP& stamp,
                                           const ListP& properties) = 0;
    virtual Stream comparePngByResolution(const Stream& input1, int32_t angle1, const Stream& input2, int32_t angle2,
                                          double resolution, bool antialias) = 0;
    virtual Stream comparePngByPixelSize(const Stream& input1, int32_t angle1, const Stream& input2, int32_t angle2,
                                         int32_t pixelSize, bool antialias) = 0;
    virtual Stream comparePngTileByResolution(const Stream& input1, const BBox& tile1, const Stream& input2,
                                              const BBox& tile2, double resolution, bool antialias, int32_t width,
                                              int32_t height) = 0;
    virtual Stream renderPngByResolution(const Stream& input, double resolution, bool antialias, int32_t angle,
                                         const StringP& stamp, const ListP& annotations) = 0;
    virtual Stream renderPngPageByResolution(const Stream& input, int32_t page, double resolution, bool antialias,
                                             int32_t angle, const StringP& stamp, const ListP& annotations) = 0;
    virtual Stream renderPngByPixelSize(const Stream& input, int32_t pixelSize, bool antialias, int32_t angle,
                                        const StringP& stamp, const ListP& annotations) = 0;
    virtual Stream renderPngTileByResolution(const Stream& input, double resolution, bool antialias, const BBox& tile,
                                             const StringP& stamp, const ListP& annotations) = 0;
    virtual Stream renderPdf(const Stream& input, const ListP& properties, int32_t angle, const StringP& stamp,
                             const ListP& annotations) = 0;

    static bool isInstance(const Plume::Object* o);
};

class IHPGLRenderer__reflection_proxy : public IHPGLRenderer, public Plume::ReflectionProxy {
public:
    explicit IHPGLRenderer__reflection_proxy(Plume::ObjPtr<Plume::InvocationHandler> handler)
        : handler_(std::move(handler)) {}
    // Proxy creator for the interface registry.
    static Plume::ObjPtr<Plume::Object> create(const Plume::ObjPtr<Plume::InvocationHandler>& handler);

    int32_t getLoadFactor() override;
    BBox getBoundingBox(const Stream& input) override;
    ListP getPageBoundingBoxes(const Stream& input) override;
    Plume::ObjPtr<PatternSeekResult> seekPattern(const Stream& input, const Stream& pattern, int32_t angle) override;
    Stream insertAnnotations(const Stream& input, int32_t angle, const StringP& stamp,
                             const ListP& annotations) override;
    Stream mergeWithAnnotations(const Stream& input1, int32_t angle1, const Stream& input2, int32_t angle2,
                                const ListP& annotations, const StringP& stamp) override;
    Stream mergePdfWithAnnotations(const Stream& input1, int32_t angle1, const Stream& input2, int32_t angle2,
                                   const ListP& annotations, const StringP& stamp, const ListP& properties) override;
    Stream comparePngByResolution(const Stream& input1, int32_t angle1, const Stream& input2, int32_t angle2,
                                  double resolution, bool antialias) override;
    Stream comparePngByPixelSize(const Stream& input1, int32_t angle1, const Stream& input2, int32_t angle2,
                                 int32_t pixelSize, bool antialias) override;
    Stream comparePngTileByResolution(const Stream& input1, const BBox& tile1, const Stream& input2, const BBox& tile2,
                                      double resolution, bool antialias, int32_t width, int32_t height) override;
    Stream renderPngByResolution(const Stream& input, double resolution, bool antialias, int32_t angle,
                                 const StringP& stamp, const ListP& annotations) override;
    Stream renderPngPageByResolution(const Stream& input, int32_t page, double resolution, bool antialias,
                                     int32_t angle, const StringP& stamp, const ListP& annotations) override;
    Stream renderPngByPixelSize(const Stream& input, int32_t pixelSize, bool antialias, int32_t angle,
                                const StringP& stamp, const ListP& annotations) override;
    Stream renderPngTileByResolution(const Stream& input, double resolution, bool antialias, const BBox& tile,
                                     const StringP& stamp, const ListP& annotations) override;
    Stream renderPdf(const Stream& input, const ListP& properties, int32_t angle, const StringP& stamp,
                     const ListP& annotations) override;

    const Plume::ObjPtr<Plume::InvocationHandler>& getInvocationHandler() const override { return handler_; }

private:
    Plume::ObjPtr<Plume::InvocationHandler> handler_;
};

class IHPGLRenderer__reflection_target : public Plume::ReflectionTarget {
public:
    explicit IHPGLRenderer__reflection_target(Plume::ObjPtr<IHPGLRenderer> impl) : impl_(std::move(impl)) {}
    // Target creator for the interface registry: obj must be null or an
    // IHPGLRenderer (otherwise a null-pointer error naming "check_cast").
    static Plume::ObjPtr<Plume::ReflectionTarget> create(const Plume::ObjPtr<Plume::Object>& obj);

    const char* getInterfaceName() const override { return IHPGLRenderer::INTERFACE_NAME; }
    Plume::ObjPtr<Plume::Object> invokeMethod(const char* method, const Plume::ObjPtr<Plume::ObjectArray>& args) override;
    const char* const* getMethodNames(size_t* count) const override;
    const char* const* getArgumentTypes(const char* method, size_t* count) const override;
    const char* getReturnType(const char* method) const override;

    const Plume::ObjPtr<IHPGLRenderer>& getImplementation() const { return impl_; }

private:
    Plume::ObjPtr<IHPGLRenderer> impl_;
};

}  // namespace xad::preview::api
