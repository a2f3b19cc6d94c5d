// Result of a pattern seek: the searched drawing's bounding box and one
// candidate per rotation (0, 90, 180, 270 degrees in that order).
#pragma once

#include "BoundingBoxWithAngle.h"
#include "PatternParameters.h"

namespace xad::preview::api {

class PatternSeekResult : public virtual Plume::Serializable {
public:
    static constexpr const char* SERIAL_ID = "xad.preview.api.PatternSeekResult";
    static constexpr int64_t SERIAL_VERSION_UID = 0x09CA9E5CF437AD59LL;

    PatternSeekResult() = default;
    static Plume::ObjPtr<PatternSeekResult> newInstance() { return Plume::makeObj<PatternSeekResult>(); }

    const Plume::ObjPtr<BoundingBoxWithAngle>& getBoundingBox() const { return boundingBox_; }
    void setBoundingBox(const Plume::ObjPtr<BoundingBoxWithAngle>& v) { boundingBox_ = v; }
    // An array of PatternParameters (component type "xad.preview.api.PatternParameters").
    const Plume::ObjPtr<Plume::ObjectArray>& getParameters() const { return parameters_; }
    void setParameters(const Plume::ObjPtr<Plume::ObjectArray>& v) { parameters_ = v; }

    // A new, empty array of n PatternParameters slots with the right wire type.
    static Plume::ObjPtr<Plume::ObjectArray> newParametersArray(size_t n) {
        return Plume::ObjectArray::newInstance(n, PatternParameters::SERIAL_ID);
    }
    // Entry i of the parameters, or null when absent or of another type.
    Plume::ObjPtr<PatternParameters> getParameter(size_t i) const {
        return parameters_ ? Plume::objCast<PatternParameters>(parameters_->get(i)) : nullptr;
    }

    static const char* getStaticSerialID() { return SERIAL_ID; }
    static int64_t getStaticSerialVersionUID() { return SERIAL_VERSION_UID; }
    const char* getSerialID() const override { return SERIAL_ID; }
    int64_t getSerialVersionUID() const override { return SERIAL_VERSION_UID; }
    // Order: boundingBox, parameters.
    void writeFields(Plume::Serializer& out) const override;
    void readFields(Plume::Serializer& in, int64_t version) override;

private:
    Plume::ObjPtr<BoundingBoxWithAngle> boundingBox_;
    Plume::ObjPtr<Plume::ObjectArray> parameters_;
};

}  // namespace xad::preview::api
