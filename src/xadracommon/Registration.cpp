#include "PreviewApi.h"

namespace xad::preview::api {

namespace {
template <class T>
void registerOne(Plume::SerializableFactory& f) {
    f.registerType(T::getStaticSerialID(), T::getStaticSerialVersionUID(), {},
                   [] { return Plume::ObjPtr<Plume::Serializable>(Plume::makeObj<T>()); });
    f.registerArrayType(T::getStaticSerialID());
}
}  // namespace

void registerTypes(Plume::SerializableFactory& f) {
    registerOne<Annotation>(f);
    registerOne<BoundingBoxWithAngle>(f);
    registerOne<PatternParameters>(f);
    registerOne<PatternSeekResult>(f);
    registerOne<PDFProperty>(f);
    // The reader fills a fresh instance and then swaps in the shared constant,
    // so the creator must not hand out a shared constant itself.
    registerOne<PDFPropertyType>(f);
    registerOne<PreviewException>(f);
    registerOne<DRMError>(f);
    registerOne<HPGSError>(f);
    registerOne<IOError>(f);
    registerOne<Timeout>(f);
    registerOne<streams::ByteArrayMimeInputStream>(f);
}

void registerInterfaces(Plume::InterfaceRegistry& reg) {
    reg.registerInterface(IMimeInputStream::INTERFACE_NAME, &IMimeInputStream__reflection_proxy::create,
                          &IMimeInputStream__reflection_target::create, &IMimeInputStream::isInstance);
    reg.registerInterface(IMimeInputStream::INTERFACE_NAME, &IMimeInputStream__reflection_proxy::create,
                          &IMimeInputStream__reflection_target::create, &IMimeInputStream::isInstance, "close");
    reg.registerInterface(IHPGLRenderer::INTERFACE_NAME, &IHPGLRenderer__reflection_proxy::create,
                          &IHPGLRenderer__reflection_target::create, &IHPGLRenderer::isInstance);
}

}  // namespace xad::preview::api
