// One document property for a PDF result.
#pragma once

#include "PDFPropertyType.h"

namespace xad::preview::api {

class PDFProperty : public virtual Plume::Serializable {
public:
    static constexpr const char* SERIAL_ID = "xad.preview.api.PDFProperty";
    static constexpr int64_t SERIAL_VERSION_UID = static_cast<int64_t>(0xBF13A77086BF3FABULL);

    PDFProperty() = default;
    static Plume::ObjPtr<PDFProperty> newInstance() { return Plume::makeObj<PDFProperty>(); }
    static Plume::ObjPtr<PDFProperty> newInstance(const Plume::ObjPtr<PDFPropertyType>& type, const std::string& value) {
        auto p = newInstance();
        p->setType(type);
        p->setValue(value);
        return p;
    }

    const Plume::ObjPtr<PDFPropertyType>& getType() const { return type_; }
    void setType(const Plume::ObjPtr<PDFPropertyType>& v) { type_ = v; }
    const Plume::ObjPtr<Plume::String>& getValue() const { return value_; }
    void setValue(const Plume::ObjPtr<Plume::String>& v) { value_ = v; }
    void setValue(const std::string& v) { value_ = Plume::String::newInstance(v); }

    static const char* getStaticSerialID() { return SERIAL_ID; }
    static int64_t getStaticSerialVersionUID() { return SERIAL_VERSION_UID; }
    const char* getSerialID() const override { return SERIAL_ID; }
    int64_t getSerialVersionUID() const override { return SERIAL_VERSION_UID; }
    // Order: type, value.
    void writeFields(Plume::Serializer& out) const override;
    void readFields(Plume::Serializer& in, int64_t version) override;

private:
    Plume::ObjPtr<PDFPropertyType> type_;
    Plume::ObjPtr<Plume::String> value_;
};

}  // namespace xad::preview::api
