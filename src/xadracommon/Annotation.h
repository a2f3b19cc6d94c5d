// One annotation to merge into a result, given as an FDF document.
#pragma once

#include "xad_preview_api_IMimeInputStream.h"
#include "plume/Boxes.h"

#include <cstdint>
#include <string>

namespace xad::preview::api {

class Annotation : public virtual Plume::Serializable {
public:
    static constexpr const char* SERIAL_ID = "xad.preview.api.Annotation";
    static constexpr int64_t SERIAL_VERSION_UID = 0x6225F248594BF51ELL;

    Annotation() = default;
    static Plume::ObjPtr<Annotation> newInstance() { return Plume::makeObj<Annotation>(); }

    // Colour as "#rrggbb" with lower-case hexadecimal digits.
    const Plume::ObjPtr<Plume::String>& getColor() const { return color_; }
    void setColor(const Plume::ObjPtr<Plume::String>& v) { color_ = v; }
    void setColor(const std::string& v) { color_ = Plume::String::newInstance(v); }
    // The FDF document ("application/vnd.fdf").
    const Plume::ObjPtr<IMimeInputStream>& getFdf() const { return fdf_; }
    void setFdf(const Plume::ObjPtr<IMimeInputStream>& v) { fdf_ = v; }
    // 2: drawn into the page content; 1: imported as PDF annotation (import
    // mode 3); anything else: imported with import mode 0.
    int32_t getMode() const { return mode_; }
    void setMode(int32_t v) { mode_ = v; }
    const Plume::ObjPtr<Plume::String>& getOwner() const { return owner_; }
    void setOwner(const Plume::ObjPtr<Plume::String>& v) { owner_ = v; }
    void setOwner(const std::string& v) { owner_ = Plume::String::newInstance(v); }
    const Plume::ObjPtr<Plume::String>& getTitle() const { return title_; }
    void setTitle(const Plume::ObjPtr<Plume::String>& v) { title_ = v; }
    void setTitle(const std::string& v) { title_ = Plume::String::newInstance(v); }

    static const char* getStaticSerialID() { return SERIAL_ID; }
    static int64_t getStaticSerialVersionUID() { return SERIAL_VERSION_UID; }
    const char* getSerialID() const override { return SERIAL_ID; }
    int64_t getSerialVersionUID() const override { return SERIAL_VERSION_UID; }
    // Order: color, fdf, mode, owner, title.
    void writeFields(Plume::Serializer& out) const override;
    void readFields(Plume::Serializer& in, int64_t version) override;

private:
    Plume::ObjPtr<Plume::String> color_;
    Plume::ObjPtr<IMimeInputStream> fdf_;
    int32_t mode_ = 0;
    Plume::ObjPtr<Plume::String> owner_;
    Plume::ObjPtr<Plume::String> title_;
};

}  // namespace xad::preview::api
