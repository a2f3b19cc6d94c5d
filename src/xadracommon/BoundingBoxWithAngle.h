// A rectangle in drawing units with its rotation.
#pragma once

#include "plume/Boxes.h"

#include <cstdint>

namespace xad::preview::api {

class BoundingBoxWithAngle : public virtual Plume::Serializable {
public:
    static constexpr const char* SERIAL_ID = "xad.preview.api.BoundingBoxWithAngle";
    static constexpr int64_t SERIAL_VERSION_UID = 0x1FA766DE9A815A8FLL;

    BoundingBoxWithAngle() = default;
    static Plume::ObjPtr<BoundingBoxWithAngle> newInstance() { return Plume::makeObj<BoundingBoxWithAngle>(); }

    // Rotation in degrees.
    int32_t getAngle() const { return angle_; }
    void setAngle(int32_t v) { angle_ = v; }
    double getLlx() const { return llx_; }
    void setLlx(double v) { llx_ = v; }
    double getLly() const { return lly_; }
    void setLly(double v) { lly_ = v; }
    double getUrx() const { return urx_; }
    void setUrx(double v) { urx_ = v; }
    double getUry() const { return ury_; }
    void setUry(double v) { ury_ = v; }
    // PDF user unit of the page; 0 when not known.
    double getUserUnit() const { return userUnit_; }
    void setUserUnit(double v) { userUnit_ = v; }

    static const char* getStaticSerialID() { return SERIAL_ID; }
    static int64_t getStaticSerialVersionUID() { return SERIAL_VERSION_UID; }
    const char* getSerialID() const override { return SERIAL_ID; }
    int64_t getSerialVersionUID() const override { return SERIAL_VERSION_UID; }
    // Order: angle, llx, lly, urx, ury, userUnit.
    void writeFields(Plume::Serializer& out) const override;
    void readFields(Plume::Serializer& in, int64_t version) override;

private:
    int32_t angle_ = 0;
    double llx_ = 0, lly_ = 0, urx_ = 0, ury_ = 0;
    double userUnit_ = 0;
};

}  // namespace xad::preview::api
