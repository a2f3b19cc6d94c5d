#include "PDFPropertyType.h"

#include "XadraException.h"

#include <array>
#include <cstring>

namespace xad::preview::api {

namespace {

const char* const kNames[PDFPropertyType::COUNT] = {
    "TITLE",       "AUTHOR",    "SUBJECT",   "KEYWORDS",  "CREATOR",   "ANNOTATION", "SCALE_ANNO",
    "SUBMIT_MSG",  "OPEN_SCRIPT", "DC_SCRIPT", "WS_SCRIPT", "DS_SCRIPT", "WP_SCRIPT",  "DP_SCRIPT",
};

// The shared constants; the function-local static gives the one-time,
// thread-safe creation, and its destruction at exit releases them.
const std::array<Plume::ObjPtr<PDFPropertyType>, PDFPropertyType::COUNT>& constants() {
    static const auto table = [] {
        std::array<Plume::ObjPtr<PDFPropertyType>, PDFPropertyType::COUNT> t;
        for (int i = 0; i < PDFPropertyType::COUNT; ++i) t[i] = Plume::makeObj<PDFPropertyType>(i);
        return t;
    }();
    return table;
}

}  // namespace

PDFPropertyType::PDFPropertyType(int ordinal) : Plume::Enum(ordinal, nameOf(ordinal) ? nameOf(ordinal) : "") {}

const char* PDFPropertyType::nameOf(int ordinal) {
    return ordinal >= 0 && ordinal < COUNT ? kNames[ordinal] : nullptr;
}

Plume::ObjPtr<PDFPropertyType> PDFPropertyType::valueOf(int ordinal) {
    if (ordinal < 0 || ordinal >= COUNT)
        throw Xadra::Exception(16, 3, "Invalid enum ordinal [%d] for type [PDFPropertyType] specified.", ordinal);
    return constants()[ordinal];
}

Plume::ObjPtr<PDFPropertyType> PDFPropertyType::valueOf(const std::string& text) {
    for (int i = 0; i < COUNT; ++i)
        if (text == kNames[i]) return constants()[i];
    throw Xadra::Exception(16, 3, "Invalid enum string [%s] for type [PDFPropertyType] specified.", text.c_str());
}

Plume::ObjPtr<Plume::Enum> PDFPropertyType::getEnumConstant(int ordinal) const {
    if (ordinal < 0 || ordinal >= COUNT) return nullptr;
    return constants()[ordinal];
}

}  // namespace xad::preview::api
