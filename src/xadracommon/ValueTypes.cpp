// Field order of the value types; readers store a field of an unexpected
// type as null.
#include "Annotation.h"
#include "BoundingBoxWithAngle.h"
#include "PDFProperty.h"
#include "PatternParameters.h"
#include "PatternSeekResult.h"

namespace xad::preview::api {

void Annotation::writeFields(Plume::Serializer& out) const {
    out.writeObject(color_);
    out.writeObject(fdf_);
    out.writeInt(mode_);
    out.writeObject(owner_);
    out.writeObject(title_);
}

void Annotation::readFields(Plume::Serializer& in, int64_t) {
    color_ = in.readObjectAs<Plume::String>();
    fdf_ = in.readObjectAs<IMimeInputStream>();
    mode_ = in.readInt();
    owner_ = in.readObjectAs<Plume::String>();
    title_ = in.readObjectAs<Plume::String>();
}

void BoundingBoxWithAngle::writeFields(Plume::Serializer& out) const {
    out.writeInt(angle_);
    out.writeDouble(llx_);
    out.writeDouble(lly_);
    out.writeDouble(urx_);
    out.writeDouble(ury_);
    out.writeDouble(userUnit_);
}

void BoundingBoxWithAngle::readFields(Plume::Serializer& in, int64_t) {
    angle_ = in.readInt();
    llx_ = in.readDouble();
    lly_ = in.readDouble();
    urx_ = in.readDouble();
    ury_ = in.readDouble();
    userUnit_ = in.readDouble();
}

void PatternParameters::writeFields(Plume::Serializer& out) const {
    out.writeInt(angle_);
    out.writeDouble(correlation_);
    out.writeDouble(dx_);
    out.writeDouble(dy_);
    out.writeDouble(overlap_);
    out.writeDouble(separation_);
}

void PatternParameters::readFields(Plume::Serializer& in, int64_t) {
    angle_ = in.readInt();
    correlation_ = in.readDouble();
    dx_ = in.readDouble();
    dy_ = in.readDouble();
    overlap_ = in.readDouble();
    separation_ = in.readDouble();
}

void PatternSeekResult::writeFields(Plume::Serializer& out) const {
    out.writeObject(boundingBox_);
    out.writeObject(parameters_);
}

void PatternSeekResult::readFields(Plume::Serializer& in, int64_t) {
    boundingBox_ = in.readObjectAs<BoundingBoxWithAngle>();
    parameters_ = in.readObjectAs<Plume::ObjectArray>();
}

void PDFProperty::writeFields(Plume::Serializer& out) const {
    out.writeObject(type_);
    out.writeObject(value_);
}

void PDFProperty::readFields(Plume::Serializer& in, int64_t) {
    type_ = in.readObjectAs<PDFPropertyType>();
    value_ = in.readObjectAs<Plume::String>();
}

}  // namespace xad::preview::api
