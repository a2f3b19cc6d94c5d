// One candidate of a pattern seek at one rotation.
#pragma once

#include "plume/Boxes.h"

#include <cstdint>

namespace xad::preview::api {

class PatternParameters : public virtual Plume::Serializable {
public:
    static constexpr const char* SERIAL_ID = "xad.preview.api.PatternParameters";
    static constexpr int64_t SERIAL_VERSION_UID = 0x650243F8AE9896B9LL;

    PatternParameters() = default;
    static Plume::ObjPtr<PatternParameters> newInstance() { return Plume::makeObj<PatternParameters>(); }

    // Rotation tried: 0, 90, 180 or 270.
    int32_t getAngle() const { return angle_; }
    void setAngle(int32_t v) { angle_ = v; }
    double getCorrelation() const { return correlation_; }
    void setCorrelation(double v) { correlation_ = v; }
    // Offset of the pattern in the searched drawing.
    double getDx() const { return dx_; }
    void setDx(double v) { dx_ = v; }
    double getDy() const { return dy_; }
    void setDy(double v) { dy_ = v; }
    double getOverlap() const { return overlap_; }
    void setOverlap(double v) { overlap_ = v; }
    double getSeparation() const { return separation_; }
    void setSeparation(double v) { separation_ = v; }

    static const char* getStaticSerialID() { return SERIAL_ID; }
    static int64_t getStaticSerialVersionUID() { return SERIAL_VERSION_UID; }
    const char* getSerialID() const override { return SERIAL_ID; }
    int64_t getSerialVersionUID() const override { return SERIAL_VERSION_UID; }
    // Order: angle, correlation, dx, dy, overlap, separation.
    void writeFields(Plume::Serializer& out) const override;
    void readFields(Plume::Serializer& in, int64_t version) override;

private:
    int32_t angle_ = 0;
    double correlation_ = 0, dx_ = 0, dy_ = 0, overlap_ = 0, separation_ = 0;
};

}  // namespace xad::preview::api
