// Drawing FDF annotations through the hpgs device interface, the way
// viewers show them: outlines in the annotation colour, interiors in the
// interior colour, markup over text, icons for notes and stamps.
#include "common.h"
#include "fdf_bundle.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace hpgspdf {
namespace {

constexpr double kKappa = 0.5522847498;  // Bezier handle length of a quarter circle

// Moves every point by the offset, checks each device call and flattens
// curves for devices that do not take them.
class Painter {
public:
    Painter(hpgs_device* dev, double dx, double dy)
        : dev_(dev), dx_(dx), dy_(dy),
          curves_((hpgs_device_capabilities(dev) & HPGS_DEVICE_CAP_CURVES) != 0) {}

    void moveto(double x, double y) {
        cur_ = {x, y};
        hpgs_point p{x + dx_, y + dy_};
        check(hpgs_moveto(dev_, &p));
    }
    void lineto(double x, double y) {
        cur_ = {x, y};
        hpgs_point p{x + dx_, y + dy_};
        check(hpgs_lineto(dev_, &p));
    }
    void curveto(hpgs_point a, hpgs_point b, hpgs_point c) {
        if (!curves_) {
            hpgs_point s = cur_;
            for (int i = 1; i <= 16; ++i) {
                double t = i / 16.0, u = 1 - t;
                lineto(u * u * u * s.x + 3 * u * u * t * a.x + 3 * u * t * t * b.x + t * t * t * c.x,
                       u * u * u * s.y + 3 * u * u * t * a.y + 3 * u * t * t * b.y + t * t * t * c.y);
            }
            return;
        }
        cur_ = c;
        hpgs_point p1{a.x + dx_, a.y + dy_}, p2{b.x + dx_, b.y + dy_}, p3{c.x + dx_, c.y + dy_};
        check(hpgs_curveto(dev_, &p1, &p2, &p3));
    }
    void closepath() { check(hpgs_closepath(dev_)); }
    void stroke() { check(hpgs_stroke(dev_)); }
    void fill() { check(hpgs_fill(dev_, HPGS_TRUE)); }
    void color(const hpgs_color& c) { check(hpgs_setrgbcolor(dev_, &c)); }
    void width(double w) { check(hpgs_setlinewidth(dev_, w)); }
    void cap(hpgs_line_cap c) { check(hpgs_setlinecap(dev_, c)); }
    void join(hpgs_line_join j) { check(hpgs_setlinejoin(dev_, j)); }
    void dash(const std::vector<float>& d) {
        check(hpgs_setdash(dev_, d.empty() ? nullptr : d.data(), static_cast<unsigned>(d.size()), 0));
    }
    void rop(int r) { check(hpgs_setrop3(dev_, r, HPGS_TRUE, HPGS_TRUE)); }

    void rect(double x1, double y1, double x2, double y2) {
        moveto(x1, y1);
        lineto(x2, y1);
        lineto(x2, y2);
        lineto(x1, y2);
        closepath();
    }
    void ellipse(double x1, double y1, double x2, double y2) {
        double cx = (x1 + x2) / 2, cy = (y1 + y2) / 2, rx = (x2 - x1) / 2, ry = (y2 - y1) / 2;
        double kx = rx * kKappa, ky = ry * kKappa;
        moveto(cx + rx, cy);
        curveto({cx + rx, cy + ky}, {cx + kx, cy + ry}, {cx, cy + ry});
        curveto({cx - kx, cy + ry}, {cx - rx, cy + ky}, {cx - rx, cy});
        curveto({cx - rx, cy - ky}, {cx - kx, cy - ry}, {cx, cy - ry});
        curveto({cx + kx, cy - ry}, {cx + rx, cy - ky}, {cx + rx, cy});
        closepath();
    }
    void polyline(const std::vector<hpgs_point>& pts, bool closed) {
        moveto(pts[0].x, pts[0].y);
        if (pts.size() == 1) lineto(pts[0].x, pts[0].y);  // a dot with round caps
        for (size_t i = 1; i < pts.size(); ++i) lineto(pts[i].x, pts[i].y);
        if (closed) closepath();
    }
    hpgs_device* device() { return dev_; }
    double dx() const { return dx_; }
    double dy() const { return dy_; }

private:
    static void check(int rc) {
        if (rc != 0) throw Error(hpgs_get_error());
    }
    hpgs_device* dev_;
    double dx_, dy_;
    bool curves_;
    hpgs_point cur_{0, 0};
};

hpgs_color colourOr(const std::optional<hpgs_color>& c, hpgs_color fallback) {
    return c ? *c : fallback;
}

// One line ending at tip, the line arriving from "from".
void lineEnding(Painter& p, const std::string& style, hpgs_point tip, hpgs_point from, double w,
                const Annotation& a) {
    double vx = tip.x - from.x, vy = tip.y - from.y, len = std::hypot(vx, vy);
    if (len <= 0 || style == "None") return;
    vx /= len;
    vy /= len;
    double nx = -vy, ny = vx, s = std::max(3.0 * w, 6.0);
    bool reverse = style == "ROpenArrow" || style == "RClosedArrow";
    if (style == "OpenArrow" || style == "ClosedArrow" || reverse) {
        double dir = reverse ? -1 : 1;
        double bx = tip.x - dir * vx * s * 1.5, by = tip.y - dir * vy * s * 1.5;
        p.moveto(bx + nx * s * 0.6, by + ny * s * 0.6);
        p.lineto(tip.x, tip.y);
        p.lineto(bx - nx * s * 0.6, by - ny * s * 0.6);
        if (style == "ClosedArrow" || style == "RClosedArrow") {
            p.closepath();
            if (a.interior) {
                p.color(*a.interior);
                p.fill();
                p.moveto(bx + nx * s * 0.6, by + ny * s * 0.6);
                p.lineto(tip.x, tip.y);
                p.lineto(bx - nx * s * 0.6, by - ny * s * 0.6);
                p.closepath();
                p.color(colourOr(a.color, {0, 0, 0}));
            }
        }
        p.stroke();
    } else if (style == "Square" || style == "Circle" || style == "Diamond") {
        double h = s / 2;
        if (style == "Square") {
            p.rect(tip.x - h, tip.y - h, tip.x + h, tip.y + h);
        } else if (style == "Circle") {
            p.ellipse(tip.x - h, tip.y - h, tip.x + h, tip.y + h);
        } else {
            p.moveto(tip.x + h, tip.y);
            p.lineto(tip.x, tip.y + h);
            p.lineto(tip.x - h, tip.y);
            p.lineto(tip.x, tip.y - h);
            p.closepath();
        }
        p.stroke();
    } else if (style == "Butt" || style == "Slash") {
        double ax = nx, ay = ny;
        if (style == "Slash") {  // 30 degrees off the perpendicular
            ax = nx * 0.866 + vx * 0.5;
            ay = ny * 0.866 + vy * 0.5;
        }
        p.moveto(tip.x + ax * s / 2, tip.y + ay * s / 2);
        p.lineto(tip.x - ax * s / 2, tip.y - ay * s / 2);
        p.stroke();
    }
}

// Geometry of one text quadrilateral: the bottom edge from ll to lr and the
// height towards the top edge.
struct Quad {
    hpgs_point ll, lr, ul;
    double height() const { return std::hypot(ul.x - ll.x, ul.y - ll.y); }
    // The point at fraction t along the bottom edge and fraction h up.
    hpgs_point at(double t, double h) const {
        return {ll.x + (lr.x - ll.x) * t + (ul.x - ll.x) * h,
                ll.y + (lr.y - ll.y) * t + (ul.y - ll.y) * h};
    }
};

// Quadrilaterals come as upper left, upper right, lower left, lower right.
Quad quadOf(const std::vector<hpgs_point>& q) { return Quad{q[2], q[3], q[0]}; }

void markup(Painter& p, const Annotation& a) {
    for (const auto& pts : a.paths) {
        Quad q = quadOf(pts);
        double h = q.height();
        if (h <= 0) continue;
        switch (a.kind) {
        case AnnotKind::Highlight:
            p.moveto(pts[0].x, pts[0].y);
            p.lineto(pts[1].x, pts[1].y);
            p.lineto(pts[3].x, pts[3].y);
            p.lineto(pts[2].x, pts[2].y);
            p.closepath();
            p.fill();
            break;
        case AnnotKind::Underline:
        case AnnotKind::StrikeOut: {
            double y = a.kind == AnnotKind::Underline ? 0.08 : 0.45;
            p.width(std::max(1.0, h / 14));
            auto s = q.at(0, y), e = q.at(1, y);
            p.moveto(s.x, s.y);
            p.lineto(e.x, e.y);
            p.stroke();
            break;
        }
        case AnnotKind::Squiggly: {
            p.width(std::max(0.75, h / 20));
            double len = std::hypot(q.lr.x - q.ll.x, q.lr.y - q.ll.y);
            int waves = std::max(1, std::min(10000, static_cast<int>(len / std::max(h / 4, 1.0))));
            auto s = q.at(0, 0.04);
            p.moveto(s.x, s.y);
            for (int i = 1; i <= waves; ++i) {
                auto pt = q.at(static_cast<double>(i) / waves, i % 2 ? 0.14 : 0.04);
                p.lineto(pt.x, pt.y);
            }
            p.stroke();
            break;
        }
        default: break;
        }
    }
}

// A speech bubble with three text lines, in the top left of the rectangle.
void noteIcon(Painter& p, const Annotation& a) {
    const hpgs_bbox& r = a.rect;
    double size = std::min({20.0, r.urx - r.llx, r.ury - r.lly});
    if (size <= 2) size = 20;
    double x1 = r.llx, y2 = r.ury, x2 = x1 + size, y1 = y2 - size;
    double tail = size * 0.25;
    p.width(std::max(0.5, size / 24));
    p.join(hpgs_join_round);
    auto bubble = [&] {
        p.moveto(x1 + 1, y1 + tail);
        p.lineto(x1 + size * 0.25, y1 + tail);
        p.lineto(x1 + size * 0.2, y1 + 1);
        p.lineto(x1 + size * 0.45, y1 + tail);
        p.lineto(x2 - 1, y1 + tail);
        p.lineto(x2 - 1, y2 - 1);
        p.lineto(x1 + 1, y2 - 1);
        p.closepath();
    };
    bubble();
    p.color(colourOr(a.color, {1, 0.82, 0}));
    p.fill();
    bubble();
    p.color({0.25, 0.25, 0.25});
    p.stroke();
    for (int i = 1; i <= 3; ++i) {
        double y = y1 + tail + (y2 - 1 - (y1 + tail)) * i / 4.0;
        p.moveto(x1 + size * 0.2, y);
        p.lineto(x2 - size * 0.2, y);
    }
    p.stroke();
}

// "NotApproved" -> "NOT APPROVED"; the standard stamp names are words in
// camel case; "SB" and "SH" prefixes of newer viewers are dropped.
std::string stampText(const Annotation& a) {
    std::string n = a.iconName.empty() ? "Draft" : a.iconName;
    if (n.size() > 2 && (n.rfind("SB", 0) == 0 || n.rfind("SH", 0) == 0) && std::isupper(static_cast<unsigned char>(n[2])))
        n = n.substr(2);
    std::string out;
    for (size_t i = 0; i < n.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(n[i]);
        if (i > 0 && std::isupper(c) && std::islower(static_cast<unsigned char>(n[i - 1]))) out += ' ';
        out += static_cast<char>(std::toupper(c));
    }
    return out;
}

std::vector<std::string> wrap(hpgs_device* dev, const std::string& text, double size, double maxWidth) {
    std::vector<std::string> lines;
    std::string para;
    auto flushPara = [&](const std::string& p) {
        std::string line, word;
        size_t i = 0;
        auto addWord = [&] {
            if (word.empty()) return;
            std::string candidate = line.empty() ? word : line + " " + word;
            if (!line.empty() && strokeText(dev, candidate, 0, 0, size, false) > maxWidth) {
                lines.push_back(line);
                line = word;
            } else {
                line = candidate;
            }
            word.clear();
        };
        for (; i < p.size(); ++i) {
            if (p[i] == ' ' || p[i] == '\t') addWord();
            else word += p[i];
        }
        addWord();
        lines.push_back(line);
    };
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            flushPara(para);
            para.clear();
        } else {
            para += c;
        }
        if (lines.size() > 200) break;
    }
    flushPara(para);
    return lines;
}

void freeText(Painter& p, const Annotation& a) {
    const hpgs_bbox& r = a.rect;
    if (a.color) {  // the background of a text box
        p.rect(r.llx, r.lly, r.urx, r.ury);
        p.color(*a.color);
        p.fill();
    }
    p.color(a.textColor);
    if (a.width > 0) {
        p.width(a.width);
        p.dash(a.dash);
        double h = a.width / 2;
        p.rect(r.llx + h, r.lly + h, r.urx - h, r.ury - h);
        p.stroke();
        p.dash({});
    }
    double pad = a.width + 2;
    double size = a.fontSize;
    double cap = size * 0.72;  // cap height of a typical sans-serif font
    auto lines = wrap(p.device(), a.contents, cap, r.urx - r.llx - 2 * pad);
    p.width(std::max(0.5, cap / 10));
    p.cap(hpgs_cap_round);
    p.join(hpgs_join_round);
    double y = r.ury - pad - cap;
    for (const auto& line : lines) {
        if (y < r.lly + pad * 0.5 - size * 0.2) break;
        double w = strokeText(p.device(), line, 0, 0, cap, false);
        double x = r.llx + pad;
        if (a.quadding == 1) x = (r.llx + r.urx - w) / 2;
        if (a.quadding == 2) x = r.urx - pad - w;
        strokeText(p.device(), line, x + p.dx(), y + p.dy(), cap, true);
        y -= size * 1.2;
    }
}

void stamp(Painter& p, const Annotation& a) {
    const hpgs_bbox& r = a.rect;
    double w = r.urx - r.llx, h = r.ury - r.lly;
    if (w <= 0 || h <= 0) return;
    double lw = std::max(1.0, std::min(w, h) / 15);
    p.color(colourOr(a.color, {0.8, 0, 0}));
    p.width(lw);
    p.join(hpgs_join_round);
    p.rect(r.llx + lw, r.lly + lw, r.urx - lw, r.ury - lw);
    p.stroke();
    std::string text = stampText(a);
    double cap = h * 0.45;
    double tw = strokeText(p.device(), text, 0, 0, cap, false);
    double avail = w - 6 * lw;
    if (tw > avail && tw > 0) {
        cap *= avail / tw;
        tw = avail;
    }
    p.width(std::max(0.5, cap / 8));
    p.cap(hpgs_cap_round);
    strokeText(p.device(), text, (r.llx + r.urx - tw) / 2 + p.dx(), (r.lly + r.ury - cap) / 2 + p.dy(),
               cap, true);
}

}  // namespace

void paintAnnotation(hpgs_device* dev, const Annotation& a, double dx, double dy) {
    Painter p(dev, dx, dy);
    p.rop(252);
    p.cap(hpgs_cap_butt);
    p.join(hpgs_join_miter);
    p.dash({});
    hpgs_color stroke = colourOr(a.color, {0, 0, 0});
    const hpgs_bbox& r = a.rect;
    double hw = a.width / 2;

    switch (a.kind) {
    case AnnotKind::Square:
    case AnnotKind::Circle: {
        if (r.urx - r.llx <= a.width || r.ury - r.lly <= a.width) break;
        auto shape = [&] {
            if (a.kind == AnnotKind::Square)
                p.rect(r.llx + hw, r.lly + hw, r.urx - hw, r.ury - hw);
            else
                p.ellipse(r.llx + hw, r.lly + hw, r.urx - hw, r.ury - hw);
        };
        if (a.interior) {
            shape();
            p.color(*a.interior);
            p.fill();
        }
        if (a.width > 0) {
            p.dash(a.dash);
            p.width(a.width);
            p.color(stroke);
            shape();
            p.stroke();
        }
        break;
    }
    case AnnotKind::Polygon:
    case AnnotKind::PolyLine:
    case AnnotKind::Line: {
        const auto& pts = a.paths[0];
        bool closed = a.kind == AnnotKind::Polygon;
        if (closed && a.interior) {
            p.polyline(pts, true);
            p.color(*a.interior);
            p.fill();
        }
        if (a.width <= 0) break;
        p.color(stroke);
        p.width(a.width);
        p.dash(a.dash);
        p.polyline(pts, closed);
        p.stroke();
        if (!closed && pts.size() >= 2) {
            p.dash({});
            lineEnding(p, a.lineEndings[0], pts[0], pts[1], a.width, a);
            lineEnding(p, a.lineEndings[1], pts.back(), pts[pts.size() - 2], a.width, a);
        }
        break;
    }
    case AnnotKind::Ink:
        if (a.width <= 0) break;
        p.color(stroke);
        p.width(a.width);
        p.cap(hpgs_cap_round);
        p.join(hpgs_join_round);
        for (const auto& stroke_pts : a.paths) {
            p.polyline(stroke_pts, false);
            p.stroke();
        }
        break;
    case AnnotKind::Highlight:
        p.color(colourOr(a.color, {1, 1, 0}));
        // Source AND destination: the text under the highlight stays legible.
        p.rop(0x88);
        markup(p, a);
        p.rop(252);
        break;
    case AnnotKind::Underline:
    case AnnotKind::StrikeOut:
    case AnnotKind::Squiggly:
        p.color(stroke);
        markup(p, a);
        break;
    case AnnotKind::FreeText: freeText(p, a); break;
    case AnnotKind::Text: noteIcon(p, a); break;
    case AnnotKind::Stamp: stamp(p, a); break;
    }
}

}  // namespace hpgspdf
