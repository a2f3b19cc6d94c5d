// The kinds of document property a PDF result can be given.
//
// The fourteen constants are shared: created once on first use (thread-safe)
// and released at program exit. Received values are replaced by the shared
// constant of their ordinal.
#pragma once

#include "plume/Boxes.h"

#include <string>

namespace xad::preview::api {

class PDFPropertyType : public Plume::Enum {
public:
    enum Ordinal {
        TITLE = 0,
        AUTHOR,
        SUBJECT,
        KEYWORDS,
        CREATOR,
        ANNOTATION,
        SCALE_ANNO,
        SUBMIT_MSG,
        OPEN_SCRIPT,
        DC_SCRIPT,
        WS_SCRIPT,
        DS_SCRIPT,
        WP_SCRIPT,
        DP_SCRIPT,
    };
    static constexpr int COUNT = 14;
    static constexpr const char* SERIAL_ID = "xad.preview.api.PDFPropertyType";
    // Enums carry the framework's default for objects.
    static constexpr int64_t SERIAL_VERSION_UID = 0;

    // A detached instance (ordinal 0, "TITLE"); only the framework's reader
    // uses it, and swaps it for the shared constant after reading.
    PDFPropertyType() : PDFPropertyType(TITLE) {}
    explicit PDFPropertyType(int ordinal);

    // The shared constant; throws Xadra::Exception (category 16, level 3)
    // naming the ordinal when it is outside 0..13.
    static Plume::ObjPtr<PDFPropertyType> valueOf(int ordinal);
    // The constant whose name is exactly text (case-sensitive); throws
    // Xadra::Exception (category 16, level 3)
    // "Invalid enum string [text] for type [PDFPropertyType] specified.".
    static Plume::ObjPtr<PDFPropertyType> valueOf(const std::string& text);
    static Plume::ObjPtr<PDFPropertyType> valueOf(const char* text) { return valueOf(std::string(text ? text : "")); }
    // Name of an ordinal, or null outside 0..13.
    static const char* nameOf(int ordinal);

    Plume::ObjPtr<Plume::Enum> getEnumConstant(int ordinal) const override;
    static const char* getStaticSerialID() { return SERIAL_ID; }
    static int64_t getStaticSerialVersionUID() { return SERIAL_VERSION_UID; }
    const char* getSerialID() const override { return SERIAL_ID; }
    int64_t getSerialVersionUID() const override { return SERIAL_VERSION_UID; }
};

}  // namespace xad::preview::api
