// Built-in input and output streams (files and memory) and the generic
// stream wrappers.
#include "hpgs.h"
#include "hpgs_observed.h"
#include "stream_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace hpgs {

// Input served from a window over a buffer that the derived stream refills
// (bool refill(), const unsigned char *start() for the buffer's first
// byte): getc, ungetc and read through the window, with one pushed-back
// byte of its own when ungetc cannot step back in the window.
template <class D>
struct WindowIn {
  ByteWindow win;
  bool eof = false, error = false;
  int pushed = -1;  // pushed-back byte not in the buffer

  static D *self(void *s) { return static_cast<D *>(s); }
  static int getc_f(void *s) {
    auto *f = self(s);
    if (f->pushed >= 0) {
      int c = f->pushed;
      f->pushed = -1;
      return c;
    }
    if (f->win.cur == f->win.end && !f->refill()) return EOF;
    return *f->win.cur++;
  }
  static int ungetc_f(int c, void *s) {
    auto *f = self(s);
    if (c == EOF) return EOF;
    if (f->win.cur && f->win.cur > f->start() && f->pushed < 0 && f->win.cur[-1] == static_cast<unsigned char>(c)) {
      --f->win.cur;
      return c;
    }
    if (f->pushed >= 0) return EOF;
    f->pushed = c & 0xff;
    return c;
  }
  static size_t read_f(void *ptr, size_t size, size_t nmemb, void *s) {
    auto *f = self(s);
    if (size == 0 || nmemb == 0) return 0;
    size_t want = size * nmemb, got = 0;
    auto *out = static_cast<unsigned char *>(ptr);
    if (f->pushed >= 0 && want > 0) {
      out[got++] = static_cast<unsigned char>(f->pushed);
      f->pushed = -1;
    }
    while (got < want) {
      if (f->win.cur == f->win.end && !f->refill()) break;
      size_t n = std::min(want - got, static_cast<size_t>(f->win.end - f->win.cur));
      std::memcpy(out + got, f->win.cur, n);
      f->win.cur += n;
      got += n;
    }
    return got / size;
  }
  static int eof_f(void *s) {
    auto *f = self(s);
    return f->eof && f->win.cur == f->win.end && f->pushed < 0;
  }
  static int error_f(void *s) { return self(s)->error; }
};

// Buffered file input: fread in large blocks, getc served from the buffer.
struct FileIn : WindowIn<FileIn> {
  static constexpr size_t kBlock = 1 << 16;
  FILE *file = nullptr;
  std::string name;
  std::unique_ptr<unsigned char[]> buf = std::make_unique_for_overwrite<unsigned char[]>(kBlock);
  size_t buf_start = 0;  // file offset of buf[0]

  explicit FileIn(const char *fn) : name(fn) { win.cur = win.end = win.peak = buf.get(); }
  ~FileIn() {
    if (file) std::fclose(file);
  }
  const unsigned char *start() const { return buf.get(); }
  bool refill() {
    if (eof || error) return false;
    buf_start += static_cast<size_t>(win.end - buf.get());
    size_t n = std::fread(buf.get(), 1, kBlock, file);
    win.cur = buf.get();
    win.end = buf.get() + n;
    if (n < kBlock) {
      if (std::ferror(file)) error = true;
      else eof = true;
    }
    return n > 0;
  }
  static int seek_f(void *s, size_t pos) {
    auto *f = self(s);
    if (std::fseek(f->file, static_cast<long>(pos), SEEK_SET) != 0)
      return hpgs_set_error("Cannot seek in input file: %s", std::strerror(errno));
    f->pushed = -1;
    f->eof = f->error = false;
    f->buf_start = pos;
    f->win.cur = f->win.end = f->buf.get();
    return 0;
  }
  static int tell_f(void *s, size_t *pos) {
    auto *f = self(s);
    *pos = f->buf_start + static_cast<size_t>(f->win.cur - f->buf.get()) - (f->pushed >= 0 ? 1 : 0);
    return 0;
  }
  static int close_f(void *s) {
    auto *f = self(s);
    int rc = 0;
    if (f->file && std::fclose(f->file) != 0) rc = -1;
    f->file = nullptr;
    delete f;
    return rc;
  }
};

const hpgs_istream_vtable kFileInVtable = {FileIn::getc_f, FileIn::ungetc_f, FileIn::read_f, FileIn::seek_f,
                                           FileIn::tell_f, FileIn::eof_f,    FileIn::error_f, FileIn::close_f};

struct MemIn {
  std::vector<unsigned char> copy;
  const unsigned char *base = nullptr;
  ByteWindow win;

  static MemIn *self(void *s) { return static_cast<MemIn *>(s); }
  static int getc_f(void *s) {
    auto *m = self(s);
    return m->win.cur < m->win.end ? *m->win.cur++ : EOF;
  }
  static int ungetc_f(int c, void *s) {
    auto *m = self(s);
    if (c == EOF || m->win.cur == m->base) return EOF;
    --m->win.cur;
    return c;  // memory is read-only: the byte read before comes back
  }
  static size_t read_f(void *ptr, size_t size, size_t nmemb, void *s) {
    auto *m = self(s);
    if (size == 0) return 0;
    size_t avail = static_cast<size_t>(m->win.end - m->win.cur) / size;
    size_t n = std::min(avail, nmemb);
    if (n == 0) return 0;  // an empty stream has no buffer to copy from
    std::memcpy(ptr, m->win.cur, n * size);
    m->win.cur += n * size;
    return n;
  }
  static int seek_f(void *s, size_t pos) {
    auto *m = self(s);
    if (pos > static_cast<size_t>(m->win.end - m->base))
      return hpgs_set_error("Seek position %zu lies beyond the end of the memory stream.", pos);
    m->win.cur = m->base + pos;
    return 0;
  }
  static int tell_f(void *s, size_t *pos) {
    auto *m = self(s);
    *pos = static_cast<size_t>(m->win.cur - m->base);
    return 0;
  }
  static int eof_f(void *s) { return self(s)->win.cur >= self(s)->win.end; }
  static int error_f(void *) { return 0; }
  static int close_f(void *s) {
    delete self(s);
    return 0;
  }
};

const hpgs_istream_vtable kMemInVtable = {MemIn::getc_f, MemIn::ungetc_f, MemIn::read_f, MemIn::seek_f,
                                          MemIn::tell_f, MemIn::eof_f,    MemIn::error_f, MemIn::close_f};

// Input handed out in pieces by a callback (a download in progress, say):
// the window lies over the current piece, and an empty window pulls the
// next. Like FileIn otherwise, except that it cannot go back.
struct PullIn : WindowIn<PullIn> {
  hpgs_pull_func pull = nullptr;
  void *ctx = nullptr;
  std::string name;
  const unsigned char *base = nullptr;  // start of the current piece
  size_t base_offset = 0;               // stream offset of base

  const unsigned char *start() const { return base; }
  bool refill() {
    if (eof || error) return false;
    base_offset += static_cast<size_t>(win.end - base);
    const unsigned char *data = nullptr;
    const long n = pull(ctx, &data);
    if (n < 0 || (n > 0 && !data)) {
      error = true;
      base = win.cur = win.end = nullptr;
      return false;
    }
    if (n == 0) {
      eof = true;
      base = win.cur = win.end = nullptr;
      return false;
    }
    base = win.cur = win.peak = data;
    win.end = data + n;
    return true;
  }
  size_t position() const {
    return base_offset + static_cast<size_t>(win.cur - base) - (pushed >= 0 ? 1 : 0);
  }
  static int seek_f(void *s, size_t pos) {
    auto *f = self(s);
    if (pos == f->position()) return 0;
    return hpgs_set_error("Cannot seek to byte %zu of the pulled input%s%s: it is read once, in order.", pos,
                          f->name.empty() ? "" : " ", f->name.c_str());
  }
  static int tell_f(void *s, size_t *pos) {
    *pos = self(s)->position();
    return 0;
  }
  static int close_f(void *s) {
    delete self(s);
    return 0;
  }
};

const hpgs_istream_vtable kPullInVtable = {PullIn::getc_f, PullIn::ungetc_f, PullIn::read_f, PullIn::seek_f,
                                           PullIn::tell_f, PullIn::eof_f,    PullIn::error_f, PullIn::close_f};

ByteWindow *own_window(hpgs_istream *is) {
  if (is->vtable == &kMemInVtable) return &static_cast<MemIn *>(is->stream)->win;
  if (is->vtable == &kPullInVtable) {
    auto *f = static_cast<PullIn *>(is->stream);
    return f->pushed >= 0 ? nullptr : &f->win;
  }
  if (is->vtable == &kFileInVtable) {
    auto *f = static_cast<FileIn *>(is->stream);
    return f->pushed >= 0 ? nullptr : &f->win;
  }
  return nullptr;
}

// An observed stream shares the window of the built-in stream under it with
// the reader, and reports what the reader has consumed from it whenever it
// is called: the reader advances the window itself, in place.
struct ObservedIn {
  hpgs_istream *in;
  std::unique_ptr<ByteObserver> obs;
  ByteWindow *win = nullptr;  // in's window, or NULL (then bytes come one getc at a time)
  const unsigned char *done = nullptr;  // window bytes before it have been reported

  ObservedIn(hpgs_istream *i, std::unique_ptr<ByteObserver> o) : in(i), obs(std::move(o)) { resync(); }
  ~ObservedIn() { hpgs_istream_close(in); }

  // After in has moved by itself (refill, seek, ungetc): nothing of its
  // window is taken yet.
  void resync() {
    win = own_window(in);
    if (win) done = win->peak = win->cur;
  }
  // Reports the window bytes taken since the last report.
  int sync() {
    if (!win) return 0;
    const unsigned char *upto = std::max(win->cur, win->peak);
    if (upto <= done) return 0;
    const unsigned char *from = done;
    done = upto;
    return obs->taken(from, static_cast<size_t>(upto - from));
  }

  static ObservedIn *self(void *s) { return static_cast<ObservedIn *>(s); }
  static int getc_f(void *s) {
    auto *o = self(s);
    if (o->sync() != 0) return EOF;
    const int c = hpgs_getc(o->in);
    if (c == EOF) {
      o->obs->flush();  // a failed write shows when the output closes
      return EOF;
    }
    const unsigned char b = static_cast<unsigned char>(c);
    const int rc = o->obs->taken(&b, 1);
    o->resync();
    return rc == 0 ? c : EOF;
  }
  static int ungetc_f(int c, void *s) {
    auto *o = self(s);
    if (o->sync() != 0 || !o->obs->give_back()) return EOF;
    const int r = hpgs_ungetc(c, o->in);
    o->resync();
    return r;
  }
  static size_t read_f(void *ptr, size_t size, size_t nmemb, void *s) {
    auto *o = self(s);
    if (o->sync() != 0 || o->obs->flush() != 0) return 0;
    const size_t n = hpgs_istream_read(ptr, size, nmemb, o->in);
    o->resync();
    return n;
  }
  static int seek_f(void *s, size_t pos) {
    auto *o = self(s);
    const int synced = o->sync();
    o->obs->drop_kept();
    // For pos > 0 the byte before pos is read, unreported, so that in
    // stands at pos having been read up to there.
    int rc = hpgs_istream_seek(o->in, pos == 0 ? 0 : pos - 1);
    if (rc == 0 && pos > 0 && hpgs_getc(o->in) == EOF) rc = -1;
    o->resync();
    return synced == 0 ? rc : -1;
  }
  static int tell_f(void *s, size_t *pos) { return hpgs_istream_tell(self(s)->in, pos); }
  static int eof_f(void *s) { return hpgs_istream_iseof(self(s)->in); }
  static int error_f(void *s) { return hpgs_istream_iserror(self(s)->in); }
  static int close_f(void *s) {
    std::unique_ptr<ObservedIn> o(self(s));
    const int synced = o->sync();
    const int finished = o->obs->finish();
    const int closed = hpgs_istream_close(o->in);
    o->in = nullptr;
    return synced == 0 && finished == 0 && closed == 0 ? 0 : -1;
  }
};

const hpgs_istream_vtable kObservedVtable = {ObservedIn::getc_f, ObservedIn::ungetc_f, ObservedIn::read_f,
                                             ObservedIn::seek_f, ObservedIn::tell_f,   ObservedIn::eof_f,
                                             ObservedIn::error_f, ObservedIn::close_f};

ByteWindow *builtin_window(hpgs_istream *is) {
  if (is->vtable == &kObservedVtable) return static_cast<ObservedIn *>(is->stream)->win;
  return own_window(is);
}

hpgs_istream *new_observed_istream(hpgs_istream *in, std::unique_ptr<ByteObserver> observer) {
  if (!in || !observer) {
    hpgs_istream_close(in);
    hpgs_set_error("Observed stream: no %s given.", in ? "observer" : "input stream");
    return nullptr;
  }
  ObservedIn *o = new (std::nothrow) ObservedIn(in, std::move(observer));
  if (!o) {
    hpgs_istream_close(in);
    hpgs_set_error("Observed stream: out of memory.");
    return nullptr;
  }
  // On failure hpgs_new_istream closes the state (and with it in) itself.
  return hpgs_new_istream(&kObservedVtable, o);
}

ByteObserver *observer_of(hpgs_istream *is) {
  return is && is->vtable == &kObservedVtable ? static_cast<ObservedIn *>(is->stream)->obs.get() : nullptr;
}

int observed_istream_sync(hpgs_istream *is) {
  if (!is || is->vtable != &kObservedVtable) return hpgs_set_error("Not an observed input stream.");
  return static_cast<ObservedIn *>(is->stream)->sync();
}

const char *builtin_name(hpgs_istream *is) {
  if (is && is->vtable == &kFileInVtable) return static_cast<FileIn *>(is->stream)->name.c_str();
  if (is && is->vtable == &kPullInVtable && !static_cast<PullIn *>(is->stream)->name.empty())
    return static_cast<PullIn *>(is->stream)->name.c_str();
  return nullptr;
}

struct FileOut {
  FILE *file = nullptr;
  size_t written = 0;
  explicit FileOut(const char *) {}
  ~FileOut() {
    if (file) std::fclose(file);
  }
  static FileOut *self(void *s) { return static_cast<FileOut *>(s); }
  static int putc_f(int c, void *s) {
    auto *f = self(s);
    int r = std::putc(c, f->file);
    if (r != EOF) ++f->written;
    return r;
  }
  static size_t write_f(const void *p, size_t size, size_t n, void *s) {
    auto *f = self(s);
    size_t r = std::fwrite(p, size, n, f->file);
    f->written += r * size;
    return r;
  }
  static int vprintf_f(void *s, const char *fmt, va_list ap) {
    auto *f = self(s);
    int r = std::vfprintf(f->file, fmt, ap);
    if (r > 0) f->written += static_cast<size_t>(r);
    return r;
  }
  static int flush_f(void *s) { return std::fflush(self(s)->file) == 0 ? 0 : -1; }
  static int tell_f(void *s, size_t *pos) {
    *pos = self(s)->written;
    return 0;
  }
  static int error_f(void *s) { return std::ferror(self(s)->file); }
  static int close_f(void *s) {
    auto *f = self(s);
    int rc = std::ferror(f->file) ? -1 : 0;
    if (std::fclose(f->file) != 0) rc = -1;
    f->file = nullptr;
    delete f;
    return rc;
  }
};

const hpgs_ostream_vtable kFileOutVtable = {FileOut::putc_f,  FileOut::write_f, FileOut::vprintf_f, FileOut::flush_f,
                                            FileOut::tell_f,  FileOut::error_f, FileOut::close_f};

// Growing memory buffer. A write that finds no memory writes nothing and
// counts as a write error (error_f), as a full disk does for a file.
struct MemOut {
  std::vector<unsigned char> data;
  bool failed = false;
  static MemOut *self(void *s) { return static_cast<MemOut *>(s); }
  static int putc_f(int c, void *s) {
    try {
      self(s)->data.push_back(static_cast<unsigned char>(c));
    } catch (const std::bad_alloc &) {
      self(s)->failed = true;
      return EOF;
    }
    return c & 0xff;
  }
  static size_t write_f(const void *p, size_t size, size_t n, void *s) {
    auto *b = static_cast<const unsigned char *>(p);
    try {
      self(s)->data.insert(self(s)->data.end(), b, b + size * n);
    } catch (const std::exception &) {  // bad_alloc, or length_error beyond max_size
      self(s)->failed = true;
      return 0;
    }
    return n;
  }
  static int vprintf_f(void *s, const char *fmt, va_list ap) {
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, ap2);
    va_end(ap2);
    if (n < 0) return -1;
    auto &d = self(s)->data;
    size_t old = d.size();
    try {
      d.resize(old + static_cast<size_t>(n) + 1);
    } catch (const std::exception &) {
      self(s)->failed = true;
      return -1;
    }
    std::vsnprintf(reinterpret_cast<char *>(d.data() + old), static_cast<size_t>(n) + 1, fmt, ap);
    d.pop_back();
    return n;
  }
  static int flush_f(void *) { return 0; }
  static int tell_f(void *s, size_t *pos) {
    *pos = self(s)->data.size();
    return 0;
  }
  static int error_f(void *s) { return self(s)->failed; }
  static int close_f(void *s) {
    delete self(s);
    return 0;
  }
};

const hpgs_ostream_vtable kMemOutVtable = {MemOut::putc_f, MemOut::write_f, MemOut::vprintf_f, MemOut::flush_f,
                                           MemOut::tell_f, MemOut::error_f, MemOut::close_f};

// A file stream over fn: its state first, then the file opened into it (so
// that the file, once open, belongs to the state and a state that cannot
// be made creates no file), then the handle. NULL with "cannot open 'fn'
// for <purpose>: <reason>" when a step fails.
template <class State, class Handle, class Vtable>
Handle *open_file_stream(const char *fn, const char *mode, const char *purpose, const Vtable *vtable,
                         Handle *(*wrap)(const Vtable *, void *)) {
  auto fail = [&](int err) -> Handle * {
    hpgs_set_error("cannot open '%s' for %s: %s", fn, purpose, std::strerror(err));
    return nullptr;
  };
  std::unique_ptr<State> s;
  try {
    s = std::make_unique<State>(fn);
  } catch (const std::bad_alloc &) {
    return fail(ENOMEM);
  }
  s->file = std::fopen(fn, mode);
  if (!s->file) return fail(errno);
  Handle *h = wrap(vtable, s.release());
  return h ? h : fail(ENOMEM);
}

}  // namespace hpgs

using namespace hpgs;

extern "C" {

hpgs_istream *hpgs_new_istream(const hpgs_istream_vtable *vtable, void *stream) {
  auto *is = new (std::nothrow) hpgs_istream{vtable, stream};
  if (!is) {
    if (vtable && vtable->close_func) vtable->close_func(stream);
    hpgs_set_error("Out of memory creating an input stream.");
  }
  return is;
}

hpgs_istream *hpgs_new_file_istream(const char *fn) {
  if (!fn) {
    hpgs_set_error("cannot open input file: no file name given");
    return nullptr;
  }
  return open_file_stream<FileIn>(fn, "rb", "reading", &kFileInVtable, hpgs_new_istream);
}

hpgs_istream *hpgs_new_mem_istream(const void *data, size_t size, hpgs_bool dup) {
  std::unique_ptr<MemIn> m;
  const auto *p = static_cast<const unsigned char *>(data);
  try {
    m = std::make_unique<MemIn>();
    if (dup) {
      m->copy.assign(p, p + size);
      p = m->copy.data();
    }
  } catch (const std::exception &) {  // bad_alloc, or length_error beyond max_size
    hpgs_set_error("cannot make a memory stream of %zu bytes: %s", size, std::strerror(ENOMEM));
    return nullptr;
  }
  m->base = p;
  m->win.cur = m->win.peak = p;
  m->win.end = p + size;
  return hpgs_new_istream(&kMemInVtable, m.release());
}

hpgs_istream *hpgs_new_pull_istream(hpgs_pull_func pull, void *ctx, const char *name) {
  if (!pull) {
    hpgs_set_error("Pulled input stream: no function given.");
    return nullptr;
  }
  std::unique_ptr<PullIn> f;
  try {
    f = std::make_unique<PullIn>();
    if (name) f->name = name;
  } catch (const std::exception &) {
    hpgs_set_error("cannot make a pulled input stream: %s", std::strerror(ENOMEM));
    return nullptr;
  }
  f->pull = pull;
  f->ctx = ctx;
  return hpgs_new_istream(&kPullInVtable, f.release());
}

int hpgs_getc(hpgs_istream *is) { return is->vtable->getc_func(is->stream); }
int hpgs_ungetc(int c, hpgs_istream *is) { return is->vtable->ungetc_func(c, is->stream); }
size_t hpgs_istream_read(void *ptr, size_t size, size_t nmemb, hpgs_istream *is) {
  return is->vtable->read_func(ptr, size, nmemb, is->stream);
}
int hpgs_istream_seek(hpgs_istream *is, size_t pos) { return is->vtable->seek_func(is->stream, pos); }
int hpgs_istream_tell(hpgs_istream *is, size_t *pos) { return is->vtable->tell_func(is->stream, pos); }
int hpgs_istream_iseof(hpgs_istream *is) { return is->vtable->eof_func(is->stream); }
int hpgs_istream_iserror(hpgs_istream *is) { return is->vtable->error_func(is->stream); }
int hpgs_istream_close(hpgs_istream *is) {
  if (!is) return 0;
  int rc = is->vtable->close_func ? is->vtable->close_func(is->stream) : 0;
  delete is;
  return rc;
}

hpgs_ostream *hpgs_new_ostream(const hpgs_ostream_vtable *vtable, void *stream) {
  auto *os = new (std::nothrow) hpgs_ostream{vtable, stream};
  if (!os) {
    if (vtable && vtable->close_func) vtable->close_func(stream);
    hpgs_set_error("Out of memory creating an output stream.");
  }
  return os;
}

hpgs_ostream *hpgs_new_file_ostream(const char *fn) {
  if (!fn) {
    hpgs_set_error("cannot open output file: no file name given");
    return nullptr;
  }
  return open_file_stream<FileOut>(fn, "wb", "writing", &kFileOutVtable, hpgs_new_ostream);
}

hpgs_ostream *hpgs_new_mem_ostream(size_t initial_size) {
  std::unique_ptr<MemOut> m;
  try {
    m = std::make_unique<MemOut>();
    m->data.reserve(initial_size);
  } catch (const std::exception &) {  // bad_alloc, or length_error beyond max_size
    hpgs_set_error("cannot make a memory output stream of %zu bytes: %s", initial_size, std::strerror(ENOMEM));
    return nullptr;
  }
  return hpgs_new_ostream(&kMemOutVtable, m.release());
}

const unsigned char *hpgs_mem_ostream_data(hpgs_ostream *os, size_t *size) {
  if (!os || os->vtable != &kMemOutVtable) {
    if (size) *size = 0;
    return nullptr;
  }
  auto *m = static_cast<MemOut *>(os->stream);
  if (size) *size = m->data.size();
  return m->data.data();
}

int hpgs_putc(int c, hpgs_ostream *os) { return os->vtable->putc_func(c, os->stream); }
size_t hpgs_ostream_write(const void *ptr, size_t size, size_t nmemb, hpgs_ostream *os) {
  return os->vtable->write_func(ptr, size, nmemb, os->stream);
}
int hpgs_ostream_vprintf(hpgs_ostream *os, const char *fmt, va_list ap) {
  return os->vtable->vprintf_func(os->stream, fmt, ap);
}
int hpgs_ostream_printf(hpgs_ostream *os, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int r = hpgs_ostream_vprintf(os, fmt, ap);
  va_end(ap);
  return r;
}
int hpgs_ostream_flush(hpgs_ostream *os) { return os->vtable->flush_func ? os->vtable->flush_func(os->stream) : 0; }
int hpgs_ostream_tell(hpgs_ostream *os, size_t *pos) { return os->vtable->tell_func(os->stream, pos); }
int hpgs_ostream_iserror(hpgs_ostream *os) { return os->vtable->error_func(os->stream); }
int hpgs_ostream_close(hpgs_ostream *os) {
  if (!os) return 0;
  int rc = os->vtable->close_func ? os->vtable->close_func(os->stream) : 0;
  delete os;
  return rc;
}

}  // extern "C"
