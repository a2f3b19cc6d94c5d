// Reader: public entry points, framing (PJL, PCL escapes, HP-GL/1 device
// control), tokenizer and command dispatch.
#include "reader.h"

#include "c_boundary.h"
#include "hpgs_ptr.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace hpgs {

namespace {
constexpr int kEsc = 27;
constexpr unsigned long kMaxWarnings = 100;  // per read; more are counted only

bool is_letter(int c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
using scan::is_digit;
using scan::is_sep;
}  // namespace

double scan::Decimal::value(bool neg) const {
  double r = static_cast<double>(mant);
  if (exp10 != 0 && mant != 0) {
    if (exp10 < -400) r = 0;
    else if (exp10 > 400) r = kMaxCoord * 2;
    else if (exp10 < 0 && exp10 >= -22) r /= kPow10[-exp10];
    else r *= std::pow(10.0, exp10);
  }
  if (!std::isfinite(r) || r > kMaxCoord) r = kMaxCoord;
  return neg ? -r : r;
}

double scan::digits_value(const unsigned char *p, bool neg) {
  Decimal dec;
  while (is_digit(*p)) dec.int_digit(*p++);
  if (*p == '.')
    for (++p; is_digit(*p); ++p) dec.frac_digit(*p);
  return dec.value(neg);
}

Reader::Reader(hpgs_istream *in, hpgs_device *dev, bool multipage, int verbosity)
    : in_(in), dev_(dev), multipage_(multipage), verbosity_(verbosity) {
  caps_ = hpgs_device_capabilities(dev_);
  defaults_in();
}

Reader::~Reader() {
  hpgs_istream_close(in_);
  hpgs_device_destroy(dev_);
}

void Reader::warn(const char *fmt, ...) {
  ++stats_.warnings;
  ++warnings_this_read_;
  if (verbosity_ < 1) return;
  if (verbosity_ < 2 && warnings_this_read_ > kMaxWarnings) {
    if (warnings_this_read_ == kMaxWarnings + 1) hpgs_log("hpgs: further warnings about this input suppressed");
    return;
  }
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  const char *name = builtin_name(in_);
  if (name) hpgs_log("hpgs: %s: byte %zu: %s", name, input_.offset(), buf);
  else hpgs_log("hpgs: byte %zu: %s", input_.offset(), buf);
}

void Reader::dev(int rc) {
  if (rc < 0) {
    if (!*hpgs_get_error()) hpgs_set_error("Device '%s' failed.", hpgs_device_rtti(dev_));
    throw ReadAbort{};
  }
}

void Reader::check_interrupt() {
  if (interrupted_.load(std::memory_order_relaxed)) {
    hpgs_set_error("Interrupted.");
    throw ReadAbort{};
  }
}

int Reader::imbue(hpgs_device *d) {
  if (!d) return hpgs_set_error("hpgs_reader_imbue: no device given.");
  hpgs_device_destroy(dev_);
  dev_ = d;
  caps_ = hpgs_device_capabilities(dev_);
  dev_attrs_valid_ = false;
  path_open_ = false;
  clip_active_ = false;
  clip_dirty_ = true;
  page_open_ = false;
  return 0;
}

int Reader::attach(hpgs_istream *in) {
  if (!in) return hpgs_set_error("hpgs_reader_attach: no input stream given.");
  hpgs_istream_close(in_);
  in_ = in;
  consumed_ = false;
  return 0;
}

int Reader::read(bool finish) {
  if (!in_ || !dev_) return hpgs_set_error("hpgs_read: reader has no input or no device.");
  try {
    check_interrupt();
    if (consumed_) {
      if (hpgs_istream_seek(in_, 0) != 0) {
        hpgs_set_error("hpgs_read: cannot rewind the input for another pass: %s", hpgs_get_error());
        return -1;
      }
      consumed_ = false;
    }
    warnings_this_read_ = 0;
    if (!page_open_) {
      // A fresh pass: interpreter defaults, first page, no declared size.
      plot_w_ = plot_h_ = 0;
      frame_w_ = frame_h_ = frame_plot_w_ = frame_plot_h_ = 0;
      ps_given_ = false;
      defaults_in();
      mode_ = Mode::GL2;
      marked_ = false;
      drawing_off_ = false;
      pages_done_ = 0;
      frames_done_ = 0;
      raster_ = RasterState{};
      skipped_images_ = 0;
      dev_attrs_valid_ = false;
      clip_active_ = false;
      clip_dirty_ = true;
      path_open_ = false;
      stats_ = Stats{};
    }
    input_.reset(in_, &interrupted_);
    run();
    if (hpgs_istream_iserror(in_)) {
      consumed_ = true;
      page_open_ = false;
      const char *name = builtin_name(in_);
      hpgs_set_error("Read error in the input stream%s%s%s after %zu bytes.", name ? " '" : "", name ? name : "",
                     name ? "'" : "", input_.offset());
      return -1;
    }
    consumed_ = true;
    flush_path();
    if (raster_.active) raster_end();
    if (verbosity_ >= 2) {
      unsigned long commands = 0;
      for (unsigned long n : stats_.commands) commands += n;
      hpgs_log("hpgs: read %zu bytes: %lu commands, %lu PE pairs, %lu raster rows, %lu warnings", input_.offset(),
               commands, stats_.pe_pairs, stats_.raster_rows, stats_.warnings);
    }
    if (finish) {
      if (polygon_mode_) {
        warn("input ends inside polygon mode");
        polygon_mode_ = false;
      }
      if (!drawing_off_ && (marked_ || pages_done_ == 0)) page_end();
      dev(hpgs_device_finish(dev_));
      page_open_ = false;
    } else {
      page_open_ = true;
    }
    return 0;
  } catch (const ReadAbort &) {
    consumed_ = true;
    page_open_ = false;
    return -1;
  } catch (const std::bad_alloc &) {
    consumed_ = true;
    page_open_ = false;
    return hpgs_set_error("Out of memory while reading the plot.");
  } catch (...) {
    consumed_ = true;
    page_open_ = false;
    return fail_from_exception("hpgs_read");
  }
}

// ------------------------------------------------------------- framing

void Reader::run() {
  for (;;) {
    int c = input_.get();
    if (c == EOF) return;
    if (c == kEsc) {
      escape();
      continue;
    }
    switch (mode_) {
      case Mode::GL2:
        if (is_letter(c)) {
          int c2 = input_.get();
          if (is_letter(c2)) {
            command(c, c2);
          } else {
            if (c2 != EOF && verbosity_ >= 2) warn("stray letter '%c' ignored", c);
            input_.unget(c2);
          }
        }
        // Separators, terminators and stray bytes between commands are ignored.
        break;
      case Mode::PCL:
        if (c == '\f' && marked_) page_end();
        break;  // PCL text is not drawn
      case Mode::PJL:
        if (c == '@') {
          pjl_line();
        } else if (is_letter(c)) {
          // No ENTER LANGUAGE: plain HP-GL/2 follows.
          mode_ = Mode::GL2;
          input_.unget(c);
        }
        break;
    }
  }
}

void Reader::pjl_line() {
  std::string line = "@";
  for (;;) {
    int c = input_.get();
    if (c == EOF || c == '\n') break;
    if (c == kEsc) {
      input_.unget(c);
      break;
    }
    if (line.size() < 1024) line.push_back(static_cast<char>(c));
  }
  std::string up;
  for (char ch : line) up.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(ch))));
  if (up.rfind("@PJL", 0) != 0) {
    warn("line in job control not starting with @PJL ignored");
    return;
  }
  auto pos = up.find("ENTER");
  if (pos == std::string::npos) return;
  auto eq = up.find('=', pos);
  if (eq == std::string::npos || up.find("LANGUAGE", pos) == std::string::npos) return;
  std::string lang;
  for (size_t i = eq + 1; i < up.size(); ++i)
    if (!std::isspace(static_cast<unsigned char>(up[i]))) lang.push_back(up[i]);
  if (lang == "HPGL2" || lang == "HPGL" || lang == "HP-GL/2") {
    mode_ = Mode::GL2;
  } else {
    if (lang != "PCL" && lang != "RTL" && lang != "PCLXL")
      warn("unknown PJL language '%s'; reading it as PCL", lang.c_str());
    mode_ = Mode::PCL;
  }
}

void Reader::reset_printer() {
  flush_path();
  pcl_patterns_.clear();
  if (raster_.active) raster_end();
  if (marked_) page_end();
  polygon_mode_ = false;
  // A printer reset also forgets the page set up before it.
  frame_w_ = frame_h_ = frame_plot_w_ = frame_plot_h_ = 0;
  plot_w_ = plot_h_ = 0;
  ps_given_ = false;
  defaults_in();
}

void Reader::escape() {
  flush_path();  // an escape ends every running command
  int c = input_.get();
  if (c == EOF) return;
  if (c == 'E') {
    reset_printer();
    mode_ = Mode::PCL;
  } else if (c == '.') {
    hpgl1_device_control();
  } else if (c >= 0x21 && c <= 0x2f) {
    escape_parameterized(c);
  } else if (c >= 0x30 && c <= 0x7e) {
    // Two-character escape without meaning for drawing.
  } else if (c == kEsc) {
    input_.unget(c);
  }
}

void Reader::hpgl1_device_control() {
  int c = input_.get();
  if (c == EOF) return;
  if (std::strchr("()YZBEJKLOR", c)) return;  // no parameters
  // Parameters separated by ';' and ended by ':' (bounded: devices never
  // take more than a few numbers).
  for (int n = 0; n < 256; ++n) {
    int d = input_.get();
    if (d == EOF || d == ':') return;
    if (d == kEsc) {
      input_.unget(d);
      return;
    }
  }
  warn("HP-GL/1 device control ESC.%c not ended by ':'", c);
}

void Reader::escape_parameterized(int cls) {
  int group = input_.get();
  if (group < 0x60 || group > 0x7e) {
    input_.unget(group);
    group = 0;
  }
  for (int guard = 0; guard < 64; ++guard) {
    // Value: sign, digits, optional fraction.
    double value = 0;
    bool has_value = false, neg = false;
    int c = input_.get();
    if (c == '+' || c == '-') {
      neg = c == '-';
      c = input_.get();
    }
    int digits = 0;
    while (is_digit(c)) {
      if (digits++ < 15) value = value * 10 + (c - '0');
      has_value = true;
      c = input_.get();
    }
    if (c == '.') {
      double f = 0.1;
      c = input_.get();
      while (is_digit(c)) {
        value += (c - '0') * f;
        f *= 0.1;
        has_value = true;
        c = input_.get();
      }
    }
    if (neg) value = -value;
    // No escape takes values beyond a billion; clamping keeps every later
    // conversion to int defined.
    value = std::clamp(value, -1e9, 1e9);
    if (c >= 0x60 && c <= 0x7e) {
      escape_command(cls, group, value, has_value, c - 0x20);
      continue;
    }
    if (c >= 0x40 && c <= 0x5e) {
      escape_command(cls, group, value, has_value, c);
      return;
    }
    input_.unget(c);
    if (c != EOF) warn("malformed escape sequence ESC%c%c", cls, group ? group : ' ');
    return;
  }
}

void Reader::skip_payload(size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (input_.get() == EOF) {
      warn("input ends inside a binary block (%zu of %zu bytes)", i, n);
      return;
    }
  }
}

void Reader::escape_command(int cls, int group, double value, bool has_value, int param) {
  const size_t count = value > 0 ? static_cast<size_t>(std::min(value, 2147483647.0)) : 0;
  auto is = [&](int c, int g, int p) { return cls == c && group == g && param == p; };

  if (cls == '%' && group == 0) {
    if (param == 'X') {  // UEL (ESC%-12345X): end of job
      reset_printer();
      mode_ = Mode::PJL;
    } else if (param == 'B') {
      if (mode_ != Mode::GL2 && raster_.active) raster_end();
      mode_ = Mode::GL2;
      int v = static_cast<int>(value);
      if ((v == 1 || v == 3) && has_value) set_pen_position(plu_to_user(pcl_cursor_));
    } else if (param == 'A') {
      mode_ = Mode::PCL;
      if (static_cast<int>(value) == 1) {
        hpgs_point phys;
        hpgs_point plu;
        hpgs_matrix_xform(&plu, &user_to_plu_, &pen_);
        hpgs_matrix_xform(&phys, &plu_to_phys_, &plu);
        pcl_cursor_ = phys;
      }
    }
    return;
  }
  // Binary blocks: the value is the byte count after the terminator.
  if (is('*', 'b', 'W') || is('*', 'b', 'V')) {
    raster_row(count, param == 'W');
    return;
  }
  if (is('*', 'v', 'W')) {
    raster_configure(count);
    return;
  }
  if (is('*', 'c', 'W')) {
    pcl_pattern_download(count);
    return;
  }
  if (is('*', 'c', 'G')) {
    pcl_pattern_id_ = static_cast<int>(std::clamp(value, -32768.0, 32767.0));
    return;
  }
  if (is('(', 's', 'W') || is(')', 's', 'W') || is('(', 'f', 'W') || is('*', 'm', 'W') ||
      is('*', 'l', 'W') || is('*', 'g', 'W') || is('&', 'n', 'W') || is('&', 'b', 'W') || is('*', 'o', 'W') ||
      is('&', 'p', 'X') || is('(', 0, 'W') || is(')', 0, 'W')) {
    skip_payload(count);
    return;
  }
  // Raster control.
  if (is('*', 't', 'R')) {
    if (value > 0) raster_.resolution = std::min(value, 10000.0);
  } else if (is('*', 'r', 'S')) {
    raster_.width = static_cast<int>(std::clamp(value, 0.0, 1e6));
  } else if (is('*', 'r', 'T')) {
    raster_.height = static_cast<int>(std::clamp(value, 0.0, 1e6));
  } else if (is('*', 'r', 'A')) {
    raster_start(static_cast<int>(value));
  } else if (is('*', 'r', 'C') || is('*', 'r', 'B')) {
    if (raster_.active) raster_end();
    if (param == 'C') raster_.compression = 0;
  } else if (is('*', 'b', 'M')) {
    raster_.compression = static_cast<int>(value);
  } else if (is('*', 'b', 'Y')) {
    raster_skip_rows(static_cast<int>(std::clamp(value, 0.0, 1e6)));
  } else if (is('*', 'r', 'U')) {
    raster_.bytes_per_pixel = 1;
    raster_.planes = std::abs(static_cast<int>(value)) == 3 ? 3 : (std::abs(static_cast<int>(value)) == 4 ? 4 : 1);
  } else if (is('*', 'v', 'N')) {
    gs_.src_transparent = value == 0;
  } else if (is('*', 'v', 'O')) {
    gs_.pat_transparent = value == 0;
  } else if (is('*', 'l', 'O')) {
    int rop = static_cast<int>(value);
    gs_.rop = rop >= 0 && rop <= 255 ? rop : 252;
  }
  // Picture frame (decipoints) and the GL/2 plot size scaled onto it
  // (inches, 0 = none).
  else if (is('*', 'c', 'X') || is('*', 'c', 'Y')) {
    double plu = std::clamp(value, 0.0, 1e7) * kPluPerInch / 720.0;
    (param == 'X' ? frame_w_ : frame_h_) = plu;
    picture_frame_changed();
  } else if (is('*', 'c', 'K') || is('*', 'c', 'L')) {
    double plu = std::clamp(value, 0.0, 1e5) * kPluPerInch;
    (param == 'K' ? frame_plot_w_ : frame_plot_h_) = plu;
    picture_frame_changed();
  }
  // Everything else (fonts, cursor, page setup, the frame's anchor) does
  // not change the drawing as read here.
}

// ------------------------------------------------------------ tokenizer

void Reader::skip_separators() {
  int c;
  do {
    c = input_.get();
  } while (is_sep(c));
  input_.unget(c);
}

bool Reader::parse_number(int c, double &v) {
  bool neg = false;
  if (c == '+' || c == '-') {
    neg = c == '-';
    c = input_.get();
  }
  scan::Decimal dec;
  // Integer digits straight from the stream's window where it holds them
  // (most coordinates), byte by byte through get() otherwise.
  constexpr unsigned kRun = 24;
  if (is_digit(c)) {
    if (const unsigned char *p = input_.direct(kRun)) {
      dec.int_digit(c);
      unsigned k = 0;
      while (k < kRun - 1 && is_digit(p[k])) dec.int_digit(p[k++]);
      input_.skip(k);
      c = input_.get();
    }
  }
  while (is_digit(c)) {
    dec.int_digit(c);
    c = input_.get();
  }
  if (c == '.') {
    c = input_.get();
    while (is_digit(c)) {
      dec.frac_digit(c);
      c = input_.get();
    }
  }
  // Exponent, as some producers write (4.48966e-09). 'E' also starts
  // mnemonics, so it only counts when digits follow.
  if (dec.any && (c == 'e' || c == 'E')) {
    int c2 = input_.get();
    int c3 = EOF;
    bool eneg = false;
    bool ok = false;
    if (is_digit(c2)) {
      ok = true;
    } else if (c2 == '+' || c2 == '-') {
      c3 = input_.get();
      if (is_digit(c3)) {
        ok = true;
        eneg = c2 == '-';
      }
    }
    if (ok) {
      int e = 0;
      int d = is_digit(c2) ? c2 : c3;
      while (is_digit(d)) {
        if (e < 100000) e = e * 10 + (d - '0');
        d = input_.get();
      }
      dec.exp10 += eneg ? -e : e;
      c = d;
    } else {
      if (c3 != EOF) input_.unget(c3);
      input_.unget(c2);
    }
  }
  input_.unget(c);
  if (!dec.any) {
    v = 0;
    return false;
  }
  v = dec.value(neg);
  return true;
}

// next_number byte by byte, for every case that number_in_place leaves.
bool Reader::next_number_stream(double &v) {
  for (;;) {
    int c = input_.get();
    while (is_sep(c)) c = input_.get();
    if (c == ';' || c == EOF) return false;
    if (is_letter(c) || c == kEsc) {
      input_.unget(c);
      return false;
    }
    if (is_digit(c) || c == '-' || c == '+' || c == '.') {
      if (parse_number(c, v)) return true;
      // A lone sign or dot: no number; keep looking.
      continue;
    }
    if (c == '"') {  // quoted text where a number belongs: skip it
      for (int n = 0; n < 65536; ++n) {
        int d = input_.get();
        if (d == '"' || d == EOF) break;
        if (d == kEsc) {
          input_.unget(d);
          break;
        }
      }
      continue;
    }
    if (verbosity_ >= 2 || c < 0x80) warn("unexpected byte 0x%02x in parameters ignored", c);
  }
}

bool Reader::at_terminator() {
  int c = input_.get();
  while (is_sep(c)) c = input_.get();
  input_.unget(c);
  return c == ';' || c == EOF || is_letter(c) || c == kEsc;
}

int Reader::read_args(double *out, int max) {
  int n = 0;
  double v;
  while (next_number(v)) {
    if (n < max) out[n++] = v;
    else if (n == max) {
      warn("surplus parameters ignored");
      ++n;
    }
  }
  return std::min(n, max);
}

void Reader::skip_args() {
  double v;
  while (next_number(v)) {
  }
}

}  // namespace hpgs

// ------------------------------------------------------------- C entry points

using hpgs::Reader;

extern "C" {

hpgs_reader *hpgs_new_reader(hpgs_istream *in, hpgs_device *dev, hpgs_bool multipage, int verbosity) {
  if (!in || !dev) {
    hpgs_set_error("hpgs_new_reader: %s.", !in ? "no input stream given" : "no device given");
    hpgs_istream_close(in);
    hpgs_device_destroy(dev);
    return nullptr;
  }
  // Ours until the reader stands: its constructor may throw, and a reader
  // that was never made releases nothing.
  hpgs::UniqueIstream owned_in(in);
  hpgs::UniqueDevice owned_dev(dev);
  try {
    auto r = std::make_unique<hpgs_reader_st>(in, dev, multipage != 0, verbosity);
    owned_in.release();
    owned_dev.release();
    return r.release();
  } catch (const std::bad_alloc &) {
    hpgs_set_error("Out of memory creating a reader.");
    return nullptr;
  }
}

int hpgs_read(hpgs_reader *reader, hpgs_bool finish) {
  if (!reader) return hpgs_set_error("hpgs_read: no reader given.");
  return reader->impl.read(finish != 0);
}

int hpgs_reader_imbue(hpgs_reader *reader, hpgs_device *dev) {
  if (!reader) {
    hpgs_device_destroy(dev);
    return hpgs_set_error("hpgs_reader_imbue: no reader given.");
  }
  return reader->impl.imbue(dev);
}

int hpgs_reader_attach(hpgs_reader *reader, hpgs_istream *in) {
  if (!reader) {
    hpgs_istream_close(in);
    return hpgs_set_error("hpgs_reader_attach: no reader given.");
  }
  return reader->impl.attach(in);
}

void hpgs_reader_interrupt(hpgs_reader *reader) {
  if (reader) reader->impl.interrupt();
}

hpgs_bool hpgs_reader_is_interrupted(hpgs_reader *reader) {
  return reader && reader->impl.interrupted() ? HPGS_TRUE : HPGS_FALSE;
}

int hpgs_reader_get_current_pen(hpgs_reader *reader) { return reader ? reader->impl.current_pen() : -1; }

int hpgs_reader_set_dynamic_page(hpgs_reader *reader, hpgs_bbox *bbox, double max_w, double max_h, double border,
                                 double angle) {
  if (!reader || !bbox) return hpgs_set_error("hpgs_reader_set_dynamic_page: no reader or no box given.");
  return reader->impl.set_dynamic_page(bbox, max_w, max_h, border, angle);
}

int hpgs_reader_get_page_matrix(hpgs_reader *reader, hpgs_matrix *m) {
  if (!reader || !m) return hpgs_set_error("hpgs_reader_get_page_matrix: no reader or no matrix given.");
  *m = reader->impl.page_matrix();
  return 0;
}

int hpgs_reader_get_asset_frame(hpgs_reader *reader, hpgs_matrix *page_matrix, hpgs_matrix *xform,
                                hpgs_bbox *page_box) {
  if (!reader) return hpgs_set_error("hpgs_reader_get_asset_frame: no reader given.");
  reader->impl.asset_frame(page_matrix, xform, page_box);
  return 0;
}

unsigned long hpgs_reader_get_skipped_images(hpgs_reader *reader) {
  return reader ? reader->impl.skipped_images() : 0;
}

void hpgs_reader_set_page_asset_func(hpgs_reader *reader, void *ctxt, hpgs_reader_asset_func_t func) {
  if (reader) reader->impl.set_page_asset(ctxt, func);
}

void hpgs_reader_set_frame_asset_func(hpgs_reader *reader, void *ctxt, hpgs_reader_asset_func_t func) {
  if (reader) reader->impl.set_frame_asset(ctxt, func);
}

void hpgs_destroy_reader(hpgs_reader *reader) { delete reader; }

}  // extern "C"
