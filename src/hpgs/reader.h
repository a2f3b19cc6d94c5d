// HP-GL/2 reader: framing (PJL, PCL, HP RTL), tokenizer and interpreter.
//
// Internal header. One Reader per hpgs_reader handle; not thread-safe except
// interrupt(), which any thread may call while the reader exists.
// The reader owns its input stream and its device.
//
// Coordinate pipeline (all matrices kept in Transform):
//   current units --SC--> plotter units in the rotated frame --RO-->
//   physical plotter units --(72/1016)--> drawing points --page matrix-->
//   device points.
// Drawing points are what the plot-size device measures; the page matrix is
// the identity until hpgs_reader_set_dynamic_page sets one.
#ifndef HPGS_READER_H
#define HPGS_READER_H

#include "hpgs.h"
#include "stream_internal.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hpgs {

constexpr double kPluPerInch = 1016.0;
constexpr double kPtPerPlu = 72.0 / kPluPerInch;
constexpr double kMaxCoord = 1073741824.0;  // 2^30: larger values are clamped

// Thrown inside the reader to abandon hpgs_read; the error slot is set.
struct ReadAbort {};

namespace scan {

inline bool is_sep(int c) {
  return c == ' ' || c == ',' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}
inline bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Powers of ten that a double holds exactly.
inline constexpr double kPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                      1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The digits of a decimal number as they are read: up to 18 significant
// digits in an integer mantissa (leading zeros do not count); further
// integer digits only raise the exponent, further fraction digits are
// dropped.
struct Decimal {
  uint64_t mant = 0;
  int exp10 = 0;
  int sig = 0;
  bool any = false;  // at least one digit

  void int_digit(int d) {
    any = true;
    if (sig < 18) {
      if (mant || d != '0') ++sig;
      mant = mant * 10 + static_cast<uint64_t>(d - '0');
    } else {
      ++exp10;
    }
  }
  void frac_digit(int d) {
    any = true;
    if (sig < 18) {
      if (mant || d != '0') ++sig;
      mant = mant * 10 + static_cast<uint64_t>(d - '0');
      --exp10;
    }
  }
  // The value, its magnitude clamped to kMaxCoord (infinite and huge
  // exponents included).
  double value(bool neg) const;
};

// The value of the digits from p on (integer digits, optionally '.' and
// fraction digits), by the rules of Decimal.
double digits_value(const unsigned char *p, bool neg);

// Skips separators and scans a plain decimal number (sign, digits, point,
// digits) in [q, end). Returns the position after it, or NULL when the
// bytes there are no such number ended by a byte before end (no digits, an
// exponent, or bytes up to end that might go on).
[[gnu::always_inline]] inline const unsigned char *number(const unsigned char *q, const unsigned char *end,
                                                          double &v) {
  while (q < end && is_sep(*q)) ++q;
  if (q == end) return nullptr;
  bool neg = false;
  if (*q == '+' || *q == '-') {
    neg = *q == '-';
    ++q;
  }
  // Up to 18 digits in all, every one of them goes into the mantissa, so
  // they are summed up plainly; longer runs take the digit by digit rules.
  const unsigned char *const digits = q;
  uint64_t mant = 0;
  while (q < end && is_digit(*q)) mant = mant * 10 + static_cast<uint64_t>(*q++ - '0');
  ptrdiff_t n = q - digits;
  int frac = 0;
  if (q < end && *q == '.') {
    ++q;
    const unsigned char *const f = q;
    while (q < end && is_digit(*q)) mant = mant * 10 + static_cast<uint64_t>(*q++ - '0');
    frac = static_cast<int>(q - f);
    n += q - f;
  }
  if (q == end || n == 0 || *q == 'e' || *q == 'E') return nullptr;
  if (n > 18) {
    v = digits_value(digits, neg);
  } else if (frac == 0 && mant <= static_cast<uint64_t>(kMaxCoord)) {
    const double r = static_cast<double>(mant);
    v = neg ? -r : r;
  } else {
    v = Decimal{mant, -frac, 0, true}.value(neg);
  }
  return q;
}

}  // namespace scan

// Pulls bytes from an hpgs_istream with a small pushback stack. Built-in
// streams (and observed streams over them) are scanned through their
// buffer window; any other stream sees exactly one getc per byte in input
// order (a copying stream relies on it).
class Input {
 public:
  // interrupt: checked every kCheckEvery bytes; when set, get() sets the
  // error slot and throws ReadAbort.
  void reset(hpgs_istream *is, const std::atomic<bool> *interrupt) {
    is_ = is;
    npb_ = 0;
    offset_ = 0;
    budget_ = kCheckEvery;
    interrupt_ = interrupt;
    win_ = is ? builtin_window(is) : nullptr;
    floor_ = win_ ? win_->cur : nullptr;
  }
  int get() {
    if (npb_) return pb_[--npb_];
    if (--budget_ == 0) check();
    ++offset_;
    if (win_ && win_->cur < win_->end) return *win_->cur++;
    int c = is_->vtable->getc_func(is_->stream);
    if (c == EOF) --offset_;
    if (win_) floor_ = win_->cur;  // the stream may have refilled its window
    return c;
  }
  // A byte equal to the one before the window's position steps the window
  // back rather than being pushed: the same bytes follow either way, and
  // the scanning in place (span, direct) goes on working after a number
  // has been ended by peeking at its terminator.
  void unget(int c) {
    if (c == EOF) return;
    if (!npb_ && win_ && win_->cur > floor_ && win_->cur[-1] == c) {
      if (win_->cur > win_->peak) win_->peak = win_->cur;
      --win_->cur;
      --offset_;
      return;
    }
    if (npb_ < static_cast<int>(pb_.size())) pb_[npb_++] = c;
  }
  int peek() {
    int c = get();
    unget(c);
    return c;
  }
  // Direct access for scanning runs of bytes (numbers): the next bytes of
  // the input when at least n of them lie in the stream's window with
  // nothing pushed back and no interruption check due before n more bytes;
  // NULL otherwise. skip(k <= n) then consumes k of them.
  const unsigned char *direct(unsigned n) const {
    if (npb_ || !win_ || budget_ <= n || win_->end - win_->cur < static_cast<ptrdiff_t>(n)) return nullptr;
    return win_->cur;
  }
  void skip(unsigned k) {
    win_->cur += k;
    offset_ += k;
    budget_ -= k;
  }
  // All the bytes that may be scanned in place now: the rest of the
  // stream's window, short of the next interruption check; empty while
  // bytes are pushed back. skip() consumes a prefix.
  const unsigned char *span(const unsigned char *&end) const {
    if (npb_ || !win_) return end = nullptr;
    const ptrdiff_t room = win_->end - win_->cur;
    end = win_->cur + std::min<ptrdiff_t>(room, static_cast<ptrdiff_t>(budget_) - 1);
    return win_->cur;
  }
  // Number of bytes consumed so far (pushed-back bytes not counted).
  size_t offset() const { return offset_ - static_cast<size_t>(npb_); }
  hpgs_istream *stream() const { return is_; }

 private:
  static constexpr unsigned kCheckEvery = 4096;
  void check() {
    budget_ = kCheckEvery;
    if (interrupt_ && interrupt_->load(std::memory_order_relaxed)) {
      hpgs_set_error("Interrupted.");
      throw ReadAbort{};
    }
  }
  hpgs_istream *is_ = nullptr;
  const std::atomic<bool> *interrupt_ = nullptr;
  unsigned budget_ = kCheckEvery;
  ByteWindow *win_ = nullptr;
  const unsigned char *floor_ = nullptr;  // window bytes from here on are this window's
  std::array<int, 16> pb_{};
  int npb_ = 0;
  size_t offset_ = 0;
};

// Line type: pattern of on/off fractions (sum 1), first entry pen down.
struct LineType {
  int type = 0;        // 0 = solid (no LT active), else -8..8 or user index
  bool solid = true;
  double length = 4.0; // pattern length
  int mode = 0;        // 0: % of the P1-P2 diagonal, 1: millimetres
};

struct PaintPattern;  // paint_internal.h

// Raster fill pattern (RF, PCL user pattern): width x height cells, rows
// from the top; RF cells hold pen numbers (0 white), PCL cells 0 or 1.
// Width 0: not defined (filled solid).
struct RasterFill {
  int width = 0, height = 0;
  std::vector<int> cells;
};

// Everything the HP-GL/2 attribute commands set. Public so that renderers
// of text, hatches and patterns can read it.
struct GraphicState {
  // Pens and palette.
  int pen = 1;
  std::vector<hpgs_color> palette;   // NP entries
  std::vector<double> pen_width;     // per pen, in the units of width_relative
  bool width_relative = false;       // WU1: % of the P1-P2 diagonal, else mm
  double color_range[6] = {0, 255, 0, 255, 0, 255};  // CR

  // Lines.
  LineType line_type;
  LineType saved_line_type;          // for LT99
  double saved_line_phase = 0.0;     // residue kept with saved_line_type
  double lt_length = 4.0;            // last LT pattern length and mode: an
  int lt_mode = 0;                   // LT without them reuses these
  std::array<std::vector<double>, 9> user_line_types;  // UL 1..8 (index 0 unused)
  int cap = 1;                       // LA1: 1 butt, 2 square, 3 triangle, 4 round
  int join = 1;                      // LA2: 1 miter .. 6 none
  double miter_limit = 5.0;          // LA3

  // Fills.
  int fill_type = 1;                 // FT
  double fill_spacing = 0.0;         // FT3/4 spacing (current units), 0 = default
  double fill_angle = 0.0;           // FT3/4 angle in degrees
  double fill_level = 100.0;         // FT10 shading in percent
  int fill_pattern = 0;              // FT11/21/22 index
  hpgs_point anchor = {0, 0};        // AC, current units
  bool transparent = true;           // TR
  int rop = 252;                     // MC / ESC*l#O
  bool src_transparent = true;       // ESC*v#N
  bool pat_transparent = true;       // ESC*v#O
  int screen_type = 0;               // SV
  double screen_level = 100.0;       // SV1 shading in percent
  int screen_pattern = 1;            // SV2 RF index, SV21/22 pattern
  std::array<RasterFill, 9> raster_fills;  // RF 1..8 (index 0 unused)

  // Text (character group).
  int label_terminator = 3;          // DT
  bool terminator_printed = false;   // DT mode 0
  hpgs_point direction = {1, 0};     // DI/DR run, rise
  bool direction_relative = false;   // DR
  int label_origin = 1;              // LO
  bool size_set = false;             // SI/SR given
  bool size_relative = false;        // SR
  double char_width = 0.0;           // SI cm or SR % of P2x-P1x
  double char_height = 0.0;          // SI cm or SR % of P2y-P1y
  double slant = 0.0;                // SL, tangent
  double extra_space[2] = {0, 0};    // ES
  std::array<double, 8> std_font = {277, 0, 9, 11.5, 0, 0, 48, 0};  // SD kinds 1..7
  std::array<double, 8> alt_font = {277, 0, 9, 11.5, 0, 0, 48, 0};  // AD
  bool alternate = false;            // SS/SA
  int symbol_mode = 0;               // SM character, 0 = off
  int text_path = 0;                 // DV: 0 right, 1 down, 2 left, 3 up
  bool line_feed_reversed = false;   // DV second value 1
  bool transparent_data = false;     // TD1: control codes are printed
  int char_fill_mode = 0;            // CF
  int char_fill_edge_pen = 0;        // CF second value
  int label_mode = 0;                // LM
};

// One vertex of the polygon buffer.
struct PolyVertex {
  // A whole word (the struct has room for it): a vertex built on the
  // stack is copied into the buffer word by word, and a copy that reads a
  // word of which one byte was written waits for that store.
  enum Kind : uint64_t { Move, Line, Close };
  hpgs_point p;  // device coordinates
  Kind kind;
};

// Per-mnemonic counts for diagnostics.
struct Stats {
  std::array<unsigned long, 26 * 26> commands{};  // index (c1-'A')*26 + (c2-'A')
  unsigned long warnings = 0;
  unsigned long pages = 0;
  unsigned long raster_rows = 0;
  unsigned long pe_pairs = 0;
};

// State of an HP RTL raster graphic being received.
struct RasterState {
  bool active = false;
  double resolution = 300.0;  // ESC*t#R
  int width = 0;              // ESC*r#S source width (pixels)
  int height = 0;             // ESC*r#T (rows), 0 = unknown
  int compression = 0;        // ESC*b#M
  int bytes_per_pixel = 1;    // from ESC*v#W (3 for 24-bit direct by pixel)
  int planes = 1;
  int rows = 0;               // rows received
  // Geometry of the image being received, fixed at its start: changes of
  // width or pixel format in the middle apply to the next image.
  int img_width = 0;
  int img_bytes_per_pixel = 1;
  hpgs_point origin = {0, 0}; // top-left corner, physical plotter units
  std::vector<unsigned char> seed;   // seed row (previous row) in bytes
  std::vector<unsigned char> pixels; // decoded RGB rows when the device wants them
  bool keep_pixels = false;
};

class Reader {
 public:
  Reader(hpgs_istream *in, hpgs_device *dev, bool multipage, int verbosity);
  ~Reader();
  Reader(const Reader &) = delete;
  Reader &operator=(const Reader &) = delete;

  int read(bool finish);
  int imbue(hpgs_device *dev);
  int attach(hpgs_istream *in);
  void interrupt() { interrupted_.store(true, std::memory_order_relaxed); }
  bool interrupted() const { return interrupted_.load(std::memory_order_relaxed); }
  int current_pen() const { return gs_.pen; }
  int set_dynamic_page(hpgs_bbox *bb, double max_w, double max_h, double border, double angle);
  void set_page_asset(void *ctxt, hpgs_reader_asset_func_t f) {
    page_asset_ctxt_ = ctxt;
    page_asset_ = f;
  }
  void set_frame_asset(void *ctxt, hpgs_reader_asset_func_t f) {
    frame_asset_ctxt_ = ctxt;
    frame_asset_ = f;
  }
  const Stats &stats() const { return stats_; }
  const GraphicState &graphic_state() const { return gs_; }
  const hpgs_matrix &page_matrix() const { return page_matrix_; }
  void asset_frame(hpgs_matrix *pm, hpgs_matrix *xf, hpgs_bbox *pb) const;
  unsigned long skipped_images() const { return skipped_images_; }

 private:
  enum class Mode { GL2, PCL, PJL };

  // Framing (reader.cpp).
  void run();
  void check_interrupt();
  void escape();
  void escape_parameterized(int cls);
  void escape_command(int cls, int group, double value, bool has_value, int param);
  void hpgl1_device_control();
  void pjl_line();
  void skip_payload(size_t n);
  void reset_printer();
  void warn(const char *fmt, ...) HPGS_PRINTF_ARGS(2, 3);

  // Tokenizer (reader.cpp).
  // Reads the next numeric parameter of the running command. False at the
  // end of the parameter list (';' consumed; letter, ESC or EOF left).
  bool next_number(double &v) { return number_in_place(v) || next_number_stream(v); }
  bool number_in_place(double &v);
  bool pair_in_place(double &x, double &y);
  bool next_number_stream(double &v);
  bool parse_number(int first, double &v);
  int read_args(double *out, int max);
  void skip_args();
  void skip_separators();
  bool at_terminator();
  void command(int c1, int c2);

  // Raster (raster.cpp).
  void raster_start(int mode);
  void raster_row(size_t n, bool last_plane);
  void raster_skip_rows(int n);
  void raster_end();
  void raster_configure(size_t n);

  // Interpreter (commands.cpp).
  void defaults_in();
  void defaults_df();
  void update_transform(bool keep_pen);
  void picture_frame_changed();
  double length_scale() const;  // device points per point of plot length
  void default_p1p2();
  // Every vertex of a plot passes here: inline, and the product written
  // out rather than calling hpgs_matrix_xform (same arithmetic).
  hpgs_point to_dev(const hpgs_point &u) const {
    const hpgs_matrix &m = user_to_dev_;
    return {m.dx + m.mxx * u.x + m.mxy * u.y, m.dy + m.myx * u.x + m.myy * u.y};
  }
  hpgs_point plu_to_user(const hpgs_point &plu) const;
  double plu_per_unit() const;
  double diag_plu() const;
  double width_points(int pen) const;
  void set_pen_position(const hpgs_point &user);

  void move_to(const hpgs_point &user);                 // pen up
  void line_to(const hpgs_point &user);                 // pen down
  void line_dev(const hpgs_point &d);
  void open_path();
  bool drawing() const { return !drawing_off_; }
  void fill_buffer(bool winding);
  void edge_buffer();
  void flush_path();
  void begin_marking();
  void sync_stroke_attrs();
  void sync_fill_attrs();
  void stroke_device_path();  // stroke, with the SV screen pattern if any
  bool filling_ = false;      // sync for a fill: no vector screen
  // Line types (drawing.cpp): pattern length in device points, dashes of
  // the current type scaled to len, and the strokes of patterned lines.
  double pattern_length() const;
  std::vector<float> pattern_dashes(double len) const;
  bool fixed_pattern() const { return !gs_.line_type.solid && gs_.line_type.type > 0; }
  bool vector_pattern() const { return !gs_.line_type.solid && gs_.line_type.type <= 0; }
  void stroke_vector(const hpgs_point &a, const hpgs_point &b);
  void clear_line_residue(int command_key);
  void stroke_figure(const std::vector<std::vector<hpgs_point>> &subpaths, const std::vector<bool> &closed);
  void sync_clip();
  void dev(int rc);  // throws ReadAbort for a failing device call

  void cmd_coords(bool pen_down_change, bool pen_down, int abs_change);
  void cmd_pe();
  void cmd_arc(bool relative);
  void cmd_arc3(bool relative);
  void cmd_circle();
  void cmd_rect(bool relative, bool fill);
  void cmd_wedge(bool fill);
  void cmd_bezier(bool relative);
  void cmd_polygon_mode();
  void cmd_fill_polygon();
  void cmd_edge_polygon();
  void cmd_label();
  // Labels (text.cpp).
  struct LabelMetrics;
  LabelMetrics label_metrics(bool alternate) const;
  // Symbol mode: the SM character centred on the pen, which and whose
  // line-type residue stay where they were.
  void draw_symbol();
  void emit_label(const std::string &text);
  void draw_outline_label(std::vector<PolyVertex> &contours);
  void path_of(const std::vector<PolyVertex> &contours);
  void hatch_fill(bool winding);                    // fills.cpp
  void cmd_rf();                                    // fills.cpp
  // Raster pattern of FT11/FT22 (fill) or SV2/SV22 (screen) for the
  // current pen; false when the pattern is solid or not defined.
  bool raster_pattern(bool screen, PaintPattern &out) const;
  bool pattern_path(bool stroke, bool winding);    // true: drawn with a pattern
  void cmd_ip(bool relative);
  void cmd_sc();
  void cmd_ps();
  void cmd_ro();
  void cmd_iw();
  void cmd_sp(double n, bool given);
  void cmd_pw();
  void cmd_lt();
  void cmd_ul();
  void cmd_la();
  void cmd_pc();
  void cmd_np();
  void cmd_ft();
  void cmd_dt();
  void emit_arc(const hpgs_point &c, const hpgs_point &start, double sweep, double chord);
  void poly_add(const hpgs_point &dev_point, PolyVertex::Kind kind);
  void path_from_buffer(bool close_all);
  void advance_label(int chars, int lines);
  void move_pen_in_label(double x, double y, const LabelMetrics &m);

  void page_end();
  void call_asset(hpgs_reader_asset_func_t f, void *ctxt, int index);
  hpgs_bbox page_box_drawing() const;

  // Owned resources.
  hpgs_istream *in_ = nullptr;
  hpgs_device *dev_ = nullptr;
  int caps_ = 0;
  bool multipage_;
  int verbosity_;
  std::atomic<bool> interrupted_{false};
  Input input_;
  bool consumed_ = false;  // the attached stream has been read to its end
  bool page_open_ = false; // finish=false left a page open

  // Asset callbacks and page placement.
  hpgs_reader_asset_func_t page_asset_ = nullptr, frame_asset_ = nullptr;
  void *page_asset_ctxt_ = nullptr, *frame_asset_ctxt_ = nullptr;
  hpgs_matrix page_matrix_{0, 0, 1, 0, 0, 1};
  bool dynamic_page_ = false;
  hpgs_bbox dynamic_box_{0, 0, 0, 0};  // page in drawing coordinates

  // Framing state.
  Mode mode_ = Mode::GL2;
  unsigned long warnings_this_read_ = 0;

  // Page and frame bookkeeping.
  bool marked_ = false;      // something drawn on the current page
  bool drawing_off_ = false; // single-page mode after the first page
  int pages_done_ = 0;
  int frames_done_ = 0;

  // Coordinate system.
  double plot_w_ = 0, plot_h_ = 0;  // hard-clip size in physical plu
  // PCL picture frame (ESC*c#X/#Y) and the GL/2 plot size scaled onto it
  // (ESC*c#K/#L), plu; 0 = not given.
  double frame_w_ = 0, frame_h_ = 0;
  double frame_plot_w_ = 0, frame_plot_h_ = 0;
  bool ps_given_ = false;
  int rotation_ = 0;
  hpgs_point p1_{0, 0}, p2_{0, 0};  // rotated plu
  int sc_type_ = -1;                // -1 off, 0 anisotropic, 1 isotropic, 2 point factor
  double sc_[6] = {0, 0, 0, 0, 50, 50};
  hpgs_matrix user_to_plu_{0, 0, 1, 0, 0, 1};  // SC
  hpgs_matrix plu_to_phys_{0, 0, 1, 0, 0, 1};  // RO
  hpgs_matrix user_to_dev_{0, 0, 1, 0, 0, 1};
  hpgs_matrix phys_to_dev_{0, 0, 1, 0, 0, 1};
  bool window_set_ = false;
  hpgs_bbox window_{0, 0, 0, 0};    // IW in physical plu
  bool clip_dirty_ = true;
  bool clip_active_ = false;

  // Pen.
  hpgs_point pen_{0, 0};            // current units
  bool pen_down_ = false;
  bool relative_ = false;           // PR
  hpgs_point label_start_{0, 0};    // carriage-return point, current units
  bool lt_moved_since_reset_ = false;

  GraphicState gs_;

  // Device-side state (what the device was last told).
  bool path_open_ = false;
  size_t path_len_ = 0;
  hpgs_point path_cur_{0, 0};
  bool dev_attrs_valid_ = false;
  hpgs_color dev_color_{-1, -1, -1};
  double dev_width_ = -1;
  int dev_cap_ = -1, dev_join_ = -1;
  double dev_miter_ = -1;
  std::vector<float> dev_dash_;
  double dev_dash_offset_ = 0.0;
  bool dev_dash_valid_ = false;
  // Residue of a fixed line type: where in its pattern (0 ... 1) the next
  // pen-down vector starts, and the length (points) of the open path.
  double line_phase_ = 0.0;
  double path_pattern_len_ = 0.0;
  hpgs_point lt99_pen_{0, 0};       // pen position at the last LT;
  int dev_rop_ = -1, dev_src_tr_ = -1, dev_pat_tr_ = -1;

  // Polygon mode.
  bool polygon_mode_ = false;
  std::vector<PolyVertex> poly_;
  bool poly_overflow_warned_ = false;

  // PCL user-defined patterns (ESC*c#W) by id (ESC*c#G).
  int pcl_pattern_id_ = 0;
  std::vector<std::pair<int, RasterFill>> pcl_patterns_;
  void pcl_pattern_download(size_t n);

  // Raster.
  RasterState raster_;
  unsigned long skipped_images_ = 0;  // hpgs_reader_get_skipped_images
  hpgs_point pcl_cursor_{0, 0};  // physical plu, handed over by ESC%1A

  Stats stats_;

  // Stamp drawn on every page (stamp.cpp).
 public:
  int set_stamp(const hpgs_bbox *bb, const char *text, const char *encoding, double size);

 private:
  void draw_stamp();
  std::string stamp_text_, stamp_encoding_;
  hpgs_bbox stamp_box_{0, 0, 0, 0};
  double stamp_size_ = 0;
};

// Most parameters are plain decimal numbers between separators, wholly
// inside the stream's window: they are scanned there without a call per
// byte. Anything else (the end of the parameters, quoted text, an
// exponent, a number that may run on past the window) is left untouched
// for next_number_stream, which reads byte by byte; separators skipped
// here would be skipped there too.
inline bool Reader::number_in_place(double &v) {
  const unsigned char *end;
  const unsigned char *const begin = input_.span(end);
  if (!begin) return false;
  const unsigned char *const q = scan::number(begin, end, v);
  if (!q) return false;
  input_.skip(static_cast<unsigned>(q - begin));
  return true;
}

// Both numbers of a coordinate pair in place, or neither consumed. Inline
// in the coordinate loop: x and y stay in registers (written to memory
// and read back as a pair they would stall the load).
[[gnu::always_inline]] inline bool Reader::pair_in_place(double &x, double &y) {
  const unsigned char *end;
  const unsigned char *const begin = input_.span(end);
  if (!begin) return false;
  const unsigned char *q = scan::number(begin, end, x);
  if (q) q = scan::number(q, end, y);
  if (!q) return false;
  input_.skip(static_cast<unsigned>(q - begin));
  return true;
}

}  // namespace hpgs

struct hpgs_reader_st {
  hpgs::Reader impl;
  hpgs_reader_st(hpgs_istream *in, hpgs_device *dev, bool multipage, int verbosity)
      : impl(in, dev, multipage, verbosity) {}
};

#endif
