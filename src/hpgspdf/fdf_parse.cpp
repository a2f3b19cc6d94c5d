// Reading FDF documents: PDF syntax with an %FDF header whose catalog holds
// /FDF << /Annots [...] >>. Every value an annotation is drawn from is
// checked here (type, count, finiteness, size), so that drawing can trust it.
#include "common.h"
#include "fdf_bundle.h"

#include <cmath>
#include <cstring>
#include <sstream>

namespace hpgspdf {
namespace {

constexpr int kMaxAnnotations = 10000;
constexpr size_t kMaxPoints = 1000000;
constexpr double kMaxCoordinate = 1e6;  // points: about 350 m

struct Kind {
    const char* name;
    AnnotKind kind;
};
constexpr Kind kKinds[] = {
    {"/Line", AnnotKind::Line},         {"/Square", AnnotKind::Square},
    {"/Circle", AnnotKind::Circle},     {"/Polygon", AnnotKind::Polygon},
    {"/PolyLine", AnnotKind::PolyLine}, {"/Ink", AnnotKind::Ink},
    {"/FreeText", AnnotKind::FreeText}, {"/Highlight", AnnotKind::Highlight},
    {"/Underline", AnnotKind::Underline}, {"/StrikeOut", AnnotKind::StrikeOut},
    {"/Squiggly", AnnotKind::Squiggly}, {"/Text", AnnotKind::Text},
    {"/Stamp", AnnotKind::Stamp},
};

double number(QPDFObjectHandle o, const char* what) {
    if (!o.isNumber()) fail("%s is not a number", what);
    double v = o.getNumericValue();
    if (!std::isfinite(v) || std::fabs(v) > kMaxCoordinate) fail("%s is out of range", what);
    return v;
}

std::vector<double> numbers(QPDFObjectHandle arr, const char* what) {
    if (!arr.isArray()) fail("%s is not an array", what);
    std::vector<double> out;
    int n = arr.getArrayNItems();
    if (static_cast<size_t>(n) > 2 * kMaxPoints) fail("%s has too many entries", what);
    out.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) out.push_back(number(arr.getArrayItem(i), what));
    return out;
}

std::vector<hpgs_point> points(QPDFObjectHandle arr, const char* what, size_t minPoints) {
    auto v = numbers(arr, what);
    if (v.size() % 2 != 0) fail("%s has an odd number of coordinates", what);
    if (v.size() / 2 < minPoints) fail("%s has fewer than %zu points", what, minPoints);
    std::vector<hpgs_point> pts;
    for (size_t i = 0; i + 1 < v.size(); i += 2) pts.push_back(hpgs_point{v[i], v[i + 1]});
    return pts;
}

// Colour arrays of 0 (transparent), 1 (gray), 3 (RGB) or 4 (CMYK) entries.
std::optional<hpgs_color> colour(QPDFObjectHandle o, const char* what) {
    if (!o.isInitialized() || o.isNull()) return std::nullopt;
    auto v = numbers(o, what);
    auto c = [](double x) { return std::min(1.0, std::max(0.0, x)); };
    switch (v.size()) {
    case 0: return std::nullopt;
    case 1: return hpgs_color{c(v[0]), c(v[0]), c(v[0])};
    case 3: return hpgs_color{c(v[0]), c(v[1]), c(v[2])};
    case 4: {
        double k = c(v[3]);
        return hpgs_color{(1 - c(v[0])) * (1 - k), (1 - c(v[1])) * (1 - k), (1 - c(v[2])) * (1 - k)};
    }
    default: fail("%s has %zu components (0, 1, 3 or 4 expected)", what, v.size());
    }
}

// The parts of a default appearance string we draw with: font size from
// "Tf" and the fill colour from "g", "rg" or "k".
void parseDefaultAppearance(const std::string& da, Annotation& a) {
    std::istringstream in(da);
    std::vector<std::string> stack;
    std::string tok;
    auto num = [&](size_t back) {
        const std::string& s = stack[stack.size() - back];
        char* end = nullptr;
        double v = std::strtod(s.c_str(), &end);
        return end && *end == 0 && std::isfinite(v) ? v : 0.0;
    };
    while (in >> tok) {
        if (tok == "Tf" && stack.size() >= 1) {
            double size = num(1);
            if (size > 0.5 && size < 1000) a.fontSize = size;
        } else if (tok == "g" && stack.size() >= 1) {
            double g = std::min(1.0, std::max(0.0, num(1)));
            a.textColor = hpgs_color{g, g, g};
        } else if (tok == "rg" && stack.size() >= 3) {
            auto c = [](double x) { return std::min(1.0, std::max(0.0, x)); };
            a.textColor = hpgs_color{c(num(3)), c(num(2)), c(num(1))};
        } else if (tok == "k" && stack.size() >= 4) {
            auto c = [](double x) { return std::min(1.0, std::max(0.0, x)); };
            double k = c(num(1));
            a.textColor = hpgs_color{(1 - c(num(4))) * (1 - k), (1 - c(num(3))) * (1 - k),
                                     (1 - c(num(2))) * (1 - k)};
        }
        stack.push_back(tok);
        if (stack.size() > 64) stack.erase(stack.begin());
    }
}

Annotation parseOne(QPDFObjectHandle dict, AnnotKind kind, size_t& totalPoints) {
    Annotation a;
    a.kind = kind;
    a.subtype = dict.getKey("/Subtype").getName();

    auto page = dict.getKey("/Page");
    if (page.isInitialized() && !page.isNull()) {
        if (!page.isInteger() || page.getIntValue() < 0 || page.getIntValue() > 1000000)
            fail("/Page is not a page number");
        a.page = static_cast<int>(page.getIntValue());
    }
    auto r = numbers(dict.getKey("/Rect"), "/Rect");
    if (r.size() != 4) fail("/Rect has %zu numbers, not 4", r.size());
    a.rect = hpgs_bbox{std::min(r[0], r[2]), std::min(r[1], r[3]), std::max(r[0], r[2]),
                       std::max(r[1], r[3])};

    a.color = colour(dict.getKey("/C"), "/C");
    a.interior = colour(dict.getKey("/IC"), "/IC");

    auto bs = dict.getKey("/BS");
    auto border = dict.getKey("/Border");
    if (bs.isDictionary() && bs.hasKey("/W")) {
        a.width = number(bs.getKey("/W"), "/BS /W");
    } else if (border.isArray() && border.getArrayNItems() >= 3) {
        a.width = number(border.getArrayItem(2), "/Border width");
    }
    if (a.width < 0 || a.width > 1000) fail("border width %g is out of range", a.width);
    if (bs.isDictionary() && bs.getKey("/S").isName() && bs.getKey("/S").getName() == "/D") {
        auto d = bs.hasKey("/D") ? numbers(bs.getKey("/D"), "/BS /D") : std::vector<double>{3};
        for (double x : d)
            if (x < 0) fail("/BS /D has a negative length");
        if (d.size() > 16) d.resize(16);
        for (double x : d) a.dash.push_back(static_cast<float>(x));
    }

    switch (kind) {
    case AnnotKind::Line: {
        auto l = points(dict.getKey("/L"), "/L", 2);
        if (l.size() != 2) fail("/L has %zu points, not 2", l.size());
        a.paths.push_back(l);
        break;
    }
    case AnnotKind::Polygon:
    case AnnotKind::PolyLine:
        a.paths.push_back(points(dict.getKey("/Vertices"), "/Vertices", 2));
        break;
    case AnnotKind::Ink: {
        auto ink = dict.getKey("/InkList");
        if (!ink.isArray()) fail("/InkList is not an array");
        for (int i = 0; i < ink.getArrayNItems(); ++i)
            a.paths.push_back(points(ink.getArrayItem(i), "/InkList stroke", 1));
        break;
    }
    case AnnotKind::Highlight:
    case AnnotKind::Underline:
    case AnnotKind::StrikeOut:
    case AnnotKind::Squiggly: {
        auto qp = dict.getKey("/QuadPoints");
        if (qp.isInitialized() && !qp.isNull()) {
            auto pts = points(qp, "/QuadPoints", 4);
            if (pts.size() % 4 != 0) fail("/QuadPoints is not a list of quadrilaterals");
            for (size_t i = 0; i < pts.size(); i += 4)
                a.paths.push_back(std::vector<hpgs_point>(pts.begin() + static_cast<long>(i),
                                                          pts.begin() + static_cast<long>(i) + 4));
        } else {
            // Without quadrilaterals the rectangle is the marked area.
            a.paths.push_back({{a.rect.llx, a.rect.ury}, {a.rect.urx, a.rect.ury},
                               {a.rect.llx, a.rect.lly}, {a.rect.urx, a.rect.lly}});
        }
        break;
    }
    default: break;
    }
    for (auto& p : a.paths) {
        totalPoints += p.size();
        if (totalPoints > kMaxPoints) fail("more than %zu points", kMaxPoints);
    }

    auto le = dict.getKey("/LE");
    if (le.isArray()) {
        for (int i = 0; i < 2 && i < le.getArrayNItems(); ++i)
            if (le.getArrayItem(i).isName()) a.lineEndings[static_cast<size_t>(i)] = le.getArrayItem(i).getName().substr(1);
    }
    auto contents = dict.getKey("/Contents");
    if (contents.isString()) a.contents = contents.getUTF8Value();
    auto name = dict.getKey("/Name");
    if (name.isName()) a.iconName = name.getName().substr(1);
    auto da = dict.getKey("/DA");
    if (da.isString()) parseDefaultAppearance(da.getUTF8Value(), a);
    auto q = dict.getKey("/Q");
    if (q.isInteger() && q.getIntValue() >= 0 && q.getIntValue() <= 2)
        a.quadding = static_cast<int>(q.getIntValue());
    return a;
}

}  // namespace

std::vector<Annotation> parseFdf(const std::string& data) {
    if (data.empty()) fail("the FDF input is empty");
    std::string head = data.substr(0, 1024);
    if (head.find("%FDF-") == std::string::npos && head.find("%PDF-") == std::string::npos)
        fail("not an FDF document (no %%FDF- header)");
    auto fdf = openQpdf(data, "FDF input", false);
    QPDFObjectHandle root = fdf->getRoot();
    auto body = root.getKey("/FDF");
    if (!body.isDictionary()) fail("not an FDF document (the catalog has no /FDF dictionary)");
    auto annots = body.getKey("/Annots");
    if (!annots.isArray()) fail("the FDF document has no /Annots array");
    int n = annots.getArrayNItems();
    if (n > kMaxAnnotations) fail("the FDF document has %d annotations (at most %d)", n, kMaxAnnotations);

    std::vector<Annotation> out;
    size_t totalPoints = 0;
    for (int i = 0; i < n; ++i) {
        auto item = annots.getArrayItem(i);
        std::string where = "annotation " + std::to_string(i + 1);
        if (item.isIndirect())
            where += " (object " + std::to_string(item.getObjectID()) + " " +
                     std::to_string(item.getGeneration()) + ")";
        try {
            if (!item.isDictionary()) fail("is not a dictionary");
            auto subtype = item.getKey("/Subtype");
            if (!subtype.isName()) fail("has no /Subtype");
            const Kind* kind = nullptr;
            for (const auto& k : kKinds)
                if (subtype.getName() == k.name) kind = &k;
            if (!kind) {
                // Popups belong to their parent; other kinds (links, widgets,
                // attachments) are not drawings.
                if (subtype.getName() != "/Popup")
                    hpgs_log("FDF %s: %s annotations are not supported, skipped\n", where.c_str(),
                             subtype.getName().c_str());
                continue;
            }
            Annotation a = parseOne(item, kind->kind, totalPoints);
            a.original = item;
            a.source = fdf;
            out.push_back(std::move(a));
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            fail("FDF %s: %s", where.c_str(), e.what());
        }
    }
    // An object qpdf could not read for lack of memory was read as null.
    takeWarnings(*fdf);
    return out;
}

}  // namespace hpgspdf
