// The annotations of FDF documents, parsed into plain values once at import
// so that drawing them never touches qpdf again, plus what the import into
// a PDF document needs of the original dictionaries.
#ifndef HPGSPDF_FDF_BUNDLE_H
#define HPGSPDF_FDF_BUNDLE_H

#include "hpgspdf.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hpgspdf {

enum class AnnotKind {
    Line, Square, Circle, Polygon, PolyLine, Ink, FreeText,
    Highlight, Underline, StrikeOut, Squiggly, Text, Stamp
};

struct Annotation {
    AnnotKind kind = AnnotKind::Square;
    std::string subtype;  // the PDF name, "/Square"
    int page = 0;
    hpgs_bbox rect{0, 0, 0, 0};
    std::optional<hpgs_color> color;     // /C (FreeText: background)
    std::optional<hpgs_color> interior;  // /IC
    double width = 1.0;                  // border width, points
    std::vector<float> dash;             // empty: solid
    // Line: one path of two points; Polygon, PolyLine: one path; Ink: the
    // strokes; markup kinds: one path of four points per quadrilateral.
    std::vector<std::vector<hpgs_point>> paths;
    std::array<std::string, 2> lineEndings{"None", "None"};
    std::string contents;  // UTF-8
    std::string iconName;  // /Name of Text and Stamp, without the slash
    double fontSize = 12.0;  // FreeText, from /DA
    hpgs_color textColor{0, 0, 0};
    int quadding = 0;
    int mode = HPGS_PDF_FDF_DRAW;
    // The FDF's own dictionary (in source) for the import into a PDF.
    QPDFObjectHandle original;
    std::shared_ptr<QPDF> source;
};

// Reads one FDF document; throws Error naming the object at fault.
std::vector<Annotation> parseFdf(const std::string& data);

// Draws one annotation into dev with every point moved by (dx, dy).
void paintAnnotation(hpgs_device* dev, const Annotation& a, double dx, double dy);

// Strokes text with the built-in stroke font: baseline starts at (x, y),
// height is the cap height in points. Returns the advance width. Without
// the font files nothing is drawn and the width is estimated.
double strokeText(hpgs_device* dev, const std::string& utf8, double x, double y, double height,
                  bool draw);

}  // namespace hpgspdf

struct hpgs_pdf_fdf_bundle_st {
    std::vector<hpgspdf::Annotation> annotations;
};

#endif
