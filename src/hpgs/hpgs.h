/*
 * hpgs.h - public C interface of the HPGL/2 library.
 *
 * The library reads HP-GL/2 plot files (with PJL, PCL and HP RTL framing),
 * interprets them and hands the resulting vector graphics to a device.
 * Devices are objects behind a table of function pointers (hpgs_device_vtable)
 * and can be written outside the library; so can input and output streams.
 *
 * Conventions of the whole interface:
 *  - Functions returning int return 0 on success and -1 on failure unless
 *    stated otherwise. On failure the message is left in the calling
 *    thread's error slot (hpgs_get_error()).
 *  - No function throws, and neither do the functions of the library's own
 *    device and stream tables: running out of memory is a failure like any
 *    other (NULL or -1, the file or value named in the message), and what
 *    a failing function was handed over is released.
 *  - Coordinates reaching a device are in points (1/72 inch) after the page
 *    transformation; y grows upwards. Line widths are in points, too.
 *  - Objects are not thread-safe; different objects may be used from
 *    different threads at the same time. The exceptions are
 *    hpgs_reader_interrupt() (callable from any thread), the error slot
 *    (one per thread) and the logger (set once at start-up, then read-only).
 */
#ifndef HPGS_H
#define HPGS_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define HPGS_PRINTF_ARGS(f, a) __attribute__((format(printf, f, a)))
#else
#define HPGS_PRINTF_ARGS(f, a)
#endif

typedef int hpgs_bool;
#define HPGS_TRUE 1
#define HPGS_FALSE 0

/* ------------------------------------------------------------------ core */

/* Initialises the library; prefix is the installation prefix (fonts and
   other data are looked up below it). Call it at start-up, before other
   threads use the library; calling it again replaces the prefix. */
void hpgs_init(const char *prefix);
/* Releases process-wide state. Objects still alive stay usable. */
void hpgs_cleanup(void);
/* The prefix given to hpgs_init ("/usr" before any call). */
const char *hpgs_get_prefix(void);

/* Per-thread error slot. hpgs_set_error formats like printf, replaces the
   slot's text and always returns -1 so that callers can write
   `return hpgs_set_error(...)`; without memory for a long text it keeps
   as much of it as the slot holds. hpgs_get_error never returns NULL; the text
   stays valid until the next change of this thread's slot. */
int hpgs_set_error(const char *fmt, ...) HPGS_PRINTF_ARGS(1, 2);
const char *hpgs_get_error(void);
void hpgs_clear_error(void);

/* Logger. Every diagnostic of the library (warnings about malformed input,
   information at higher verbosity) goes through hpgs_log. The default
   logger writes one line per message to stderr. Set it once at start-up
   before other threads use the library; NULL restores the default. The
   logger may be called from several threads at once. */
typedef void (*hpgs_logger_func_t)(const char *fmt, va_list ap);
void hpgs_set_logger(hpgs_logger_func_t func);
void hpgs_log(const char *fmt, ...) HPGS_PRINTF_ARGS(1, 2);

/* ------------------------------------------------------------ geometry */

typedef struct hpgs_point_st { double x, y; } hpgs_point;

/* Colour components in [0,1]. */
typedef struct hpgs_color_st { double r, g, b; } hpgs_color;

/* Axis-parallel box. A null box (nothing added yet) has llx > urx. */
typedef struct hpgs_bbox_st { double llx, lly, urx, ury; } hpgs_bbox;

/* Affine map: x' = dx + mxx*x + mxy*y,  y' = dy + myx*x + myy*y. */
typedef struct hpgs_matrix_st { double dx, dy, mxx, mxy, myx, myy; } hpgs_matrix;

void hpgs_bbox_null(hpgs_bbox *bb);
hpgs_bool hpgs_bbox_isnull(const hpgs_bbox *bb);
/* True for a null box and for a box of zero width or height. */
hpgs_bool hpgs_bbox_isempty(const hpgs_bbox *bb);
void hpgs_bbox_add(hpgs_bbox *bb, const hpgs_point *p);
/* bb := smallest box holding bb and other (a null box adds nothing). */
void hpgs_bbox_expand(hpgs_bbox *bb, const hpgs_bbox *other);
/* bb := bb intersected with other; the result may be null. */
void hpgs_bbox_intersect(hpgs_bbox *bb, const hpgs_bbox *other);

void hpgs_matrix_set_identity(hpgs_matrix *m);
/* res := a after b (apply b first). res may alias a or b. */
void hpgs_matrix_concat(hpgs_matrix *res, const hpgs_matrix *a, const hpgs_matrix *b);
/* res := inverse of m; -1 (error slot set) for a singular matrix. */
int hpgs_matrix_invert(hpgs_matrix *res, const hpgs_matrix *m);
/* res := m applied to p. res may alias p. */
void hpgs_matrix_xform(hpgs_point *res, const hpgs_matrix *m, const hpgs_point *p);
/* res := inverse of m applied to p (p unchanged for a singular m). */
void hpgs_matrix_ixform(hpgs_point *res, const hpgs_matrix *m, const hpgs_point *p);
/* Linear part only (no translation): for vectors. */
void hpgs_matrix_scale(hpgs_point *res, const hpgs_matrix *m, const hpgs_point *p);
/* res := smallest box holding the image of all four corners of bb. A null
   bb gives a null res. res may alias bb. */
void hpgs_matrix_xform_bbox(hpgs_bbox *res, const hpgs_matrix *m, const hpgs_bbox *bb);

/* -------------------------------------------------------------- streams */

/* Input stream. External implementations fill a vtable with functions
   working on their own state pointer and wrap it with hpgs_new_istream.
   Contract of the functions (stdio-like):
     getc_func   next byte as 0..255, or EOF (-1) at the end or on error
     ungetc_func push one byte back; returns it, or EOF if impossible
     read_func   fread-like; returns the number of whole items read
     seek_func   go to the absolute byte position; 0 or -1
     tell_func   store the current position; 0 or -1
     eof_func    non-zero once the end has been reached
     error_func  non-zero once a read error happened
     close_func  release everything behind the state pointer; 0 or -1 */
typedef struct hpgs_istream_vtable_st {
  int (*getc_func)(void *stream);
  int (*ungetc_func)(int c, void *stream);
  size_t (*read_func)(void *ptr, size_t size, size_t nmemb, void *stream);
  int (*seek_func)(void *stream, size_t pos);
  int (*tell_func)(void *stream, size_t *pos);
  int (*eof_func)(void *stream);
  int (*error_func)(void *stream);
  int (*close_func)(void *stream);
} hpgs_istream_vtable;

typedef struct hpgs_istream_st {
  const hpgs_istream_vtable *vtable;
  void *stream;
} hpgs_istream;

/* Wraps an implementation. The vtable must outlive the stream; the state
   pointer is owned by the new stream (released by close_func). */
hpgs_istream *hpgs_new_istream(const hpgs_istream_vtable *vtable, void *stream);
/* Buffered stream over a file; NULL with "cannot open 'name': reason". */
hpgs_istream *hpgs_new_file_istream(const char *fn);
/* Stream over size bytes of memory. With dup the bytes are copied; without,
   data must outlive the stream. */
hpgs_istream *hpgs_new_mem_istream(const void *data, size_t size, hpgs_bool dup);

/* Stream over bytes that pull hands out in pieces: pull(ctx, &data) points
   data at the next piece and returns its length, which stays readable until
   the next call or the stream's close; 0 at the end; -1 on a read error
   (the stream then reports one). ctx is not owned. name, which may be NULL,
   names the input in the reader's warnings. Read once, in order: seek only
   to the current position. NULL (with the reason) when out of memory. */
typedef long (*hpgs_pull_func)(void *ctx, const unsigned char **data);
hpgs_istream *hpgs_new_pull_istream(hpgs_pull_func pull, void *ctx, const char *name);

int hpgs_getc(hpgs_istream *is);
int hpgs_ungetc(int c, hpgs_istream *is);
size_t hpgs_istream_read(void *ptr, size_t size, size_t nmemb, hpgs_istream *is);
int hpgs_istream_seek(hpgs_istream *is, size_t pos);
int hpgs_istream_tell(hpgs_istream *is, size_t *pos);
int hpgs_istream_iseof(hpgs_istream *is);
int hpgs_istream_iserror(hpgs_istream *is);
/* Closes the stream and frees it (the hpgs_istream itself included). NULL is
   accepted. Returns the result of close_func. */
int hpgs_istream_close(hpgs_istream *is);

/* Output stream; same pattern as the input stream.
     putc_func    write one byte; the byte or EOF
     write_func   fwrite-like; number of whole items written
     vprintf_func vprintf-like; bytes written or -1
     flush_func   0 or -1
     tell_func    store the number of bytes written so far; 0 or -1
     error_func   non-zero once a write error happened
     close_func   flush and release everything; 0 or -1 */
typedef struct hpgs_ostream_vtable_st {
  int (*putc_func)(int c, void *stream);
  size_t (*write_func)(const void *ptr, size_t size, size_t nmemb, void *stream);
  int (*vprintf_func)(void *stream, const char *fmt, va_list ap);
  int (*flush_func)(void *stream);
  int (*tell_func)(void *stream, size_t *pos);
  int (*error_func)(void *stream);
  int (*close_func)(void *stream);
} hpgs_ostream_vtable;

typedef struct hpgs_ostream_st {
  const hpgs_ostream_vtable *vtable;
  void *stream;
} hpgs_ostream;

hpgs_ostream *hpgs_new_ostream(const hpgs_ostream_vtable *vtable, void *stream);
/* Creates or truncates the file; NULL with "cannot open 'name': reason".
   Without memory for the stream the file is left as it was. */
hpgs_ostream *hpgs_new_file_ostream(const char *fn);
/* Growing memory buffer; read it with hpgs_mem_ostream_data. A write that
   finds no memory writes nothing, fails and sets the error flag
   (hpgs_ostream_iserror); later writes may succeed. */
hpgs_ostream *hpgs_new_mem_ostream(size_t initial_size);
/* Bytes written so far to a memory stream (NULL for other streams). The
   pointer is valid until the next write or close. */
const unsigned char *hpgs_mem_ostream_data(hpgs_ostream *os, size_t *size);

int hpgs_putc(int c, hpgs_ostream *os);
size_t hpgs_ostream_write(const void *ptr, size_t size, size_t nmemb, hpgs_ostream *os);
int hpgs_ostream_printf(hpgs_ostream *os, const char *fmt, ...) HPGS_PRINTF_ARGS(2, 3);
int hpgs_ostream_vprintf(hpgs_ostream *os, const char *fmt, va_list ap);
int hpgs_ostream_flush(hpgs_ostream *os);
int hpgs_ostream_tell(hpgs_ostream *os, size_t *pos);
int hpgs_ostream_iserror(hpgs_ostream *os);
/* Flushes, closes and frees the stream. NULL is accepted. */
int hpgs_ostream_close(hpgs_ostream *os);

/* -------------------------------------------------------------- devices */

typedef enum hpgs_line_cap_e {
  hpgs_cap_butt = 0, hpgs_cap_round = 1, hpgs_cap_square = 2
} hpgs_line_cap;

typedef enum hpgs_line_join_e {
  hpgs_join_miter = 0, hpgs_join_round = 1, hpgs_join_bevel = 2
} hpgs_line_join;

/* Raster image handed to drawimage. Rows run from the top of the image;
   pixels are 3 bytes R, G, B (depth 24). A null image (data == NULL) only
   carries its size: devices with HPGS_DEVICE_CAP_NULLIMAGE and without
   HPGS_DEVICE_CAP_DRAWIMAGE receive those, because decoding the pixels
   would be wasted on them. */
typedef struct hpgs_image_st {
  int width, height;
  int depth;        /* bits per pixel: 24 */
  int stride;       /* bytes per row */
  unsigned char *data;
} hpgs_image;

/* Repeating raster pattern handed to setpattern (HP-GL/2 raster fills and
   screened vectors, PCL user patterns): width x height cells, rows from the
   top, cell (x, y) at argb[y * width + x] as 0xAARRGGBB. Alpha is 0 or 255:
   a cell of alpha 0 is clear (it leaves what lies below as it is, as white
   cells do under HP-GL/2 TR1), one of 255 paints its colour. to_dev maps
   pattern space (x right, y down, one unit per cell, the top-left corner
   of cell (0, 0) at the origin) to device coordinates; the cells repeat
   over the whole plane. The struct and its cells belong to the caller and
   are valid during the call only. */
typedef struct hpgs_pattern_st {
  int width, height;
  const uint32_t *argb;
  hpgs_matrix to_dev;
} hpgs_pattern;

/* Capability bits returned by the capabilities function. */
#define HPGS_DEVICE_CAP_RASTER 1         /* paints pixels */
#define HPGS_DEVICE_CAP_ANTIALIAS 2      /* paints with anti-aliasing */
#define HPGS_DEVICE_CAP_VECTOR 4         /* keeps vectors (PDF, HP-GL/2 writers) */
#define HPGS_DEVICE_CAP_MULTIPAGE 8      /* accepts more than one showpage */
#define HPGS_DEVICE_CAP_PAGECOLLATION 16 /* all pages go into one output */
#define HPGS_DEVICE_CAP_MULTISIZE 32     /* pages may differ in size */
#define HPGS_DEVICE_CAP_CURVES 64        /* takes curveto; else the reader flattens */
#define HPGS_DEVICE_CAP_DRAWIMAGE 128    /* wants decoded raster images */
#define HPGS_DEVICE_CAP_NULLIMAGE 256    /* wants only the placement of images */
#define HPGS_DEVICE_CAP_ROP3 512         /* applies raster operations itself */
#define HPGS_DEVICE_CAP_PATTERN 1024     /* paints raster patterns (setpattern) */

typedef struct hpgs_device_st hpgs_device;

/* The device table. Every function receives the device; all return 0 or
   -1 (error slot set) unless stated otherwise. A NULL entry means the
   operation is absent: the reader skips it (hpgs_getplotsize then fails,
   hpgs_device_capabilities returns 0).
   Path model (PostScript-like): moveto starts a subpath, lineto/curveto
   extend it, closepath closes the current subpath, stroke/fill consume the
   whole path, newpath discards it. clip intersects the clip region with the
   path and discards the path; clipsave/cliprestore nest.
     setrgbcolor   colour for the following strokes and fills
     setlinewidth  line width in points; 0 asks for the thinnest line the
                   device can draw (HP-GL/2 PW0)
     setdash       dash pattern, lengths in points (on, off, on, ...), n = 0
                   for solid lines; offset into the pattern in points
     setrop3       raster operation (ROP3 code, 252 = default) and the
                   transparency of source and pattern
     setpatcol     pattern colour (the "T" of a raster operation)
     drawimage     image with its lower-left, lower-right and upper-right
                   corners in device coordinates (any affine placement)
     setplotsize   the plot size declared by the input (PS) as a box
     getplotsize   measured size of page i (1 = first, 0 = all pages)
     showpage      page finished; i = page number from 1 in multipage mode,
                   0 when the reader runs in single-page mode
     finish        input finished; write outputs
     capabilities  HPGS_DEVICE_CAP_* bits (plain int, never -1)
     destroy       release the device and everything it holds (the device
                   struct included); called by hpgs_device_destroy.
     setpattern    raster pattern that paints the next stroke or fill
                   instead of the colour; that stroke or fill (also one of
                   an empty path) uses it up, and the colour set before
                   paints again afterwards. Calls in between (setrgbcolor
                   and the stroke state included) keep it pending. Read
                   only from devices whose capabilities hold
                   HPGS_DEVICE_CAP_PATTERN: tables written before the entry
                   existed need not have it. Devices without it receive a
                   raster pattern as its mean colour (clear cells counted
                   white) through setrgbcolor.
   Devices are called from the thread running hpgs_read only. */
typedef struct hpgs_device_vtable_st {
  const char *rtti; /* type name, e.g. "hpgs_plotsize_device" */
  int (*moveto)(hpgs_device *dev, const hpgs_point *p);
  int (*lineto)(hpgs_device *dev, const hpgs_point *p);
  int (*curveto)(hpgs_device *dev, const hpgs_point *p1, const hpgs_point *p2,
                 const hpgs_point *p3);
  int (*newpath)(hpgs_device *dev);
  int (*closepath)(hpgs_device *dev);
  int (*stroke)(hpgs_device *dev);
  int (*fill)(hpgs_device *dev, hpgs_bool winding);
  int (*clip)(hpgs_device *dev, hpgs_bool winding);
  int (*clipsave)(hpgs_device *dev);
  int (*cliprestore)(hpgs_device *dev);
  int (*setrgbcolor)(hpgs_device *dev, const hpgs_color *rgb);
  int (*setdash)(hpgs_device *dev, const float *segs, unsigned n, double offset);
  int (*setlinewidth)(hpgs_device *dev, double width);
  int (*setlinecap)(hpgs_device *dev, hpgs_line_cap cap);
  int (*setlinejoin)(hpgs_device *dev, hpgs_line_join join);
  int (*setmiterlimit)(hpgs_device *dev, double limit);
  int (*setrop3)(hpgs_device *dev, int rop, hpgs_bool src_transparency,
                 hpgs_bool pattern_transparency);
  int (*setpatcol)(hpgs_device *dev, const hpgs_color *rgb);
  int (*drawimage)(hpgs_device *dev, const hpgs_image *img, const hpgs_point *ll,
                   const hpgs_point *lr, const hpgs_point *ur);
  int (*setplotsize)(hpgs_device *dev, const hpgs_bbox *bb);
  int (*getplotsize)(hpgs_device *dev, int i, hpgs_bbox *bb);
  int (*showpage)(hpgs_device *dev, int i);
  int (*finish)(hpgs_device *dev);
  int (*capabilities)(hpgs_device *dev);
  void (*destroy)(hpgs_device *dev);
  int (*setpattern)(hpgs_device *dev, const hpgs_pattern *pat);
} hpgs_device_vtable;

/* A device is any struct whose first member is an hpgs_device (C-style
   inheritance): the library only touches the vtable pointer. */
struct hpgs_device_st {
  const hpgs_device_vtable *vtable;
};

const char *hpgs_device_rtti(hpgs_device *dev);
int hpgs_device_capabilities(hpgs_device *dev);
int hpgs_moveto(hpgs_device *dev, const hpgs_point *p);
int hpgs_lineto(hpgs_device *dev, const hpgs_point *p);
int hpgs_curveto(hpgs_device *dev, const hpgs_point *p1, const hpgs_point *p2,
                 const hpgs_point *p3);
int hpgs_newpath(hpgs_device *dev);
int hpgs_closepath(hpgs_device *dev);
int hpgs_stroke(hpgs_device *dev);
int hpgs_fill(hpgs_device *dev, hpgs_bool winding);
int hpgs_clip(hpgs_device *dev, hpgs_bool winding);
int hpgs_clipsave(hpgs_device *dev);
int hpgs_cliprestore(hpgs_device *dev);
int hpgs_setrgbcolor(hpgs_device *dev, const hpgs_color *rgb);
int hpgs_setdash(hpgs_device *dev, const float *segs, unsigned n, double offset);
int hpgs_setlinewidth(hpgs_device *dev, double width);
int hpgs_setlinecap(hpgs_device *dev, hpgs_line_cap cap);
int hpgs_setlinejoin(hpgs_device *dev, hpgs_line_join join);
int hpgs_setmiterlimit(hpgs_device *dev, double limit);
int hpgs_setrop3(hpgs_device *dev, int rop, hpgs_bool src_transparency,
                 hpgs_bool pattern_transparency);
int hpgs_setpatcol(hpgs_device *dev, const hpgs_color *rgb);
int hpgs_drawimage(hpgs_device *dev, const hpgs_image *img, const hpgs_point *ll,
                   const hpgs_point *lr, const hpgs_point *ur);
/* Fails naming the device when it lacks HPGS_DEVICE_CAP_PATTERN (or the
   entry), and for a pattern without cells. */
int hpgs_setpattern(hpgs_device *dev, const hpgs_pattern *pat);
int hpgs_setplotsize(hpgs_device *dev, const hpgs_bbox *bb);
int hpgs_getplotsize(hpgs_device *dev, int i, hpgs_bbox *bb);
int hpgs_showpage(hpgs_device *dev, int i);
int hpgs_device_finish(hpgs_device *dev);
/* Calls the device's destroy function. NULL is accepted. */
void hpgs_device_destroy(hpgs_device *dev);

/* Plot-size device: measures what is drawn, page by page.
   ignore_ps: the plot size declared by PS is ignored and the box of the
   marks is measured; without it a declared plot size replaces the measured
   box of its page.
   do_linewidth: strokes count with their width: half of it on every side
   of their points, and where square caps and miter joins (below the miter
   limit) reach further, as far as they reach. Caps and joins are taken in
   the stroke state set when the path is built; a path whose stroke state
   changes before its stroke counts with the farthest reach of the new
   state on every side.
   Marks in pure white (pen 0 by default) do not count: on white media they
   leave no trace. Soft-clip windows (IW) clip the measurement.
   Type name "hpgs_plotsize_device". */
hpgs_device *hpgs_new_plotsize_device(hpgs_bool ignore_ps, hpgs_bool do_linewidth);

/* Recording device: measures exactly like the plot-size device (same
   ignore_ps and do_linewidth, same hpgs_getplotsize) and keeps every
   drawing call of every page in drawing coordinates, raster images
   included (copied, so it asks for decoded images), so that an input read
   once can be painted once its size is known. It takes curves as curves.
   Memory grows with the drawing: about 17 bytes per point, plus 3 bytes
   per image pixel; running out of memory fails the read.
   Type name "hpgs_recording_device". */
hpgs_device *hpgs_new_recording_device(hpgs_bool ignore_ps, hpgs_bool do_linewidth);
/* Plays page `page` of a recording device back into dev: 1 is the first
   page (0 means 1, the page of a single-page read); the page still open
   after the last showpage counts as the next one. Points go through m
   (NULL: identity), e.g. the reader's page matrix after
   hpgs_reader_set_dynamic_page (hpgs_reader_get_page_matrix); line widths,
   dash lengths and the dash offset are scaled by sqrt|det m|, as the
   reader scales them on a dynamic page. showpage and finish are not
   played: the caller ends the page (stamp, showpage, finish), so painting
   an input read once matches reading it again into dev. rec keeps its
   recording (it can be replayed again) and still belongs to its owner;
   dev is not taken over. Both are used from the calling thread only.
   Errors: rec is not a recording device, the page was not recorded, or
   the first failing call of dev (its error text is kept). */
int hpgs_recording_device_replay(hpgs_device *rec, int page, hpgs_device *dev, const hpgs_matrix *m);

/* Tee device: every call goes to dev and then, unless dev failed, to
   listener, so that one read draws into dev while listener (a plot-size
   device, say) measures the same calls. The reader sees dev alone:
   capabilities and getplotsize are dev's, so it reads as it would into dev
   (with a plot-size listener, raster images reach the listener only when
   dev takes them, see hpgs_reader_get_skipped_images); a raster pattern
   reaches the listener only when its capabilities hold
   HPGS_DEVICE_CAP_PATTERN too. The tee owns both devices, also when
   creation fails (NULL, error set). Type name "hpgs_tee_device". */
hpgs_device *hpgs_new_tee_device(hpgs_device *dev, hpgs_device *listener);
/* From now on path calls (moveto, lineto, curveto, newpath, closepath,
   stroke, fill, clip) go to the listener alone; state calls still go to
   both. For a device that ignores the reader's paths, as an asset device
   does outside the assets drawn into it directly. 0, or -1 for a device
   that is no tee. */
int hpgs_tee_device_paths_to_listener_only(hpgs_device *tee);

/* --------------------------------------------------------------- reader */

typedef struct hpgs_reader_st hpgs_reader;

/* Asset callback, called by the reader when a page or frame is finished and
   before the device's showpage, so that the callback can draw on top of the
   page into dev:
     page_matrix  maps drawing coordinates (points on the physical plot, as
                  the plot-size device measures them) to device coordinates;
                  identity without a dynamic page
     xform        maps the current HP-GL/2 coordinates (user units while
                  scaling is on, else plotter units) to device coordinates
     page_box     the page in drawing coordinates: page_matrix applied to it
                  (hpgs_matrix_xform_bbox) gives exactly the device page
     index        page index counted from 0 (frame index for frame assets)
   The return value is passed on: a non-zero result fails hpgs_read with the
   callback's error slot text. */
typedef int (*hpgs_reader_asset_func_t)(void *ctxt, hpgs_device *dev,
                                        const hpgs_matrix *page_matrix,
                                        const hpgs_matrix *xform,
                                        const hpgs_bbox *page_box, int index);

/* Creates a reader over in drawing into dev. The reader owns both from now
   on, even when creation fails (then both are released at once).
   multipage: every page (PG, FR, reset with marks) goes to the device;
   without it only the first page is drawn and the rest of the input is
   read (so that a copying stream sees it) but not drawn.
   verbosity: 0 errors only, 1 warnings about malformed input (at most 100
   per read), 2 and more every warning and a summary of each read. */
hpgs_reader *hpgs_new_reader(hpgs_istream *in, hpgs_device *dev, hpgs_bool multipage,
                             int verbosity);

/* Reads the attached input to its end and draws it. A second call after a
   finished read rewinds the input (seek to 0) and starts afresh, which lets
   a measuring pass precede a drawing pass on the same input.
   finish: the last page is finished (asset callbacks, showpage) and the
   device's finish is called; without it the page stays open and the next
   hpgs_read (typically after hpgs_reader_attach) continues drawing on it.
   Malformed input produces warnings, not errors. Errors: device or
   callback failures, read errors of the stream, interruption. */
int hpgs_read(hpgs_reader *reader, hpgs_bool finish);

/* Replaces the device; the old one is destroyed. The reader owns dev even
   when the call fails. */
int hpgs_reader_imbue(hpgs_reader *reader, hpgs_device *dev);
/* Replaces the input; the old one is closed. The reader owns in even when
   the call fails. */
int hpgs_reader_attach(hpgs_reader *reader, hpgs_istream *in);

/* Makes a running or later hpgs_read fail promptly with "Interrupted.".
   Callable from any thread while the reader exists; the reader stays
   interrupted. */
void hpgs_reader_interrupt(hpgs_reader *reader);
/* Whether hpgs_reader_interrupt was called for the reader; callable from
   any thread while the reader exists. HPGS_FALSE for NULL. */
hpgs_bool hpgs_reader_is_interrupted(hpgs_reader *reader);

/* Pen selected at this moment of the read (for asset callbacks). */
int hpgs_reader_get_current_pen(hpgs_reader *reader);

/* Page placement for the following reads. bbox is the part of the drawing
   to show, in drawing coordinates (points, as hpgs_getplotsize gives it).
   The page is that box turned counter-clockwise by angle degrees (any
   value), with border points added on every side; a page wider than max_w
   or higher than max_h is scaled down uniformly until it fits. On return
   bbox holds the device page: (0, 0, width, height) in points. Asset
   callbacks then receive the page matrix and the page box in drawing
   coordinates (see hpgs_reader_asset_func_t). Fails for a null box, a
   non-positive maximum or a negative border. */
int hpgs_reader_set_dynamic_page(hpgs_reader *reader, hpgs_bbox *bbox, double max_w,
                                 double max_h, double border, double angle);

/* What an asset callback called at this moment would receive (see
   hpgs_reader_asset_func_t): the page matrix, the transformation of the
   current HP-GL/2 coordinates and the page box; NULL for what is not
   wanted. Called from a frame asset callback after
   hpgs_reader_set_dynamic_page, these are exactly what a read with that
   page set up before its start passes at that frame: the page placement
   can be decided when the first frame ends, from what a plot-size device
   measured until then (a tee device), instead of in a measuring pass of
   its own. The page then applies to the rest of the read. Fails only for a
   NULL reader. */
int hpgs_reader_get_asset_frame(hpgs_reader *reader, hpgs_matrix *page_matrix, hpgs_matrix *xform,
                                hpgs_bbox *page_box);

/* Raster images of the current read (counted from the start of a fresh
   pass) that ended on a drawn page without reaching the device, because its
   capabilities take neither decoded images (HPGS_DEVICE_CAP_DRAWIMAGE, with
   the pixels kept) nor placements (HPGS_DEVICE_CAP_NULLIMAGE). A device
   taking placements, the plot-size device among them, would have got them
   (and counted their page as marked): where this is 0 so far, such a
   device would have received exactly the same calls. 0 for NULL. */
unsigned long hpgs_reader_get_skipped_images(hpgs_reader *reader);

/* The page matrix: drawing coordinates (points, as hpgs_getplotsize
   measures them) to device coordinates. The identity until
   hpgs_reader_set_dynamic_page, then the map that call set up. Fails only
   for NULL arguments. */
int hpgs_reader_get_page_matrix(hpgs_reader *reader, hpgs_matrix *m);

/* Callback for every finished page (NULL removes it). */
void hpgs_reader_set_page_asset_func(hpgs_reader *reader, void *ctxt,
                                     hpgs_reader_asset_func_t func);
/* Callback for every finished frame (PG or FR in the input, or the end of
   the input); called before the page asset callback. The reader calls it
   as soon as the frame command has been read: the input has then been
   consumed up to the command's terminator, or, without a terminator, up to
   the separators after it plus the first byte of what follows. A copying
   input stream can therefore hold the frame command back and let what the
   callback writes come first. */
void hpgs_reader_set_frame_asset_func(hpgs_reader *reader, void *ctxt,
                                      hpgs_reader_asset_func_t func);

/* Releases the reader with its stream and device. NULL is accepted. */
void hpgs_destroy_reader(hpgs_reader *reader);

/* ------------------------------------------------------ images, painting */

/* Image of 8-bit gray (depth 8) or 24-bit RGB (depth 24) pixels that a
   paint device draws into and writes as PNG. A new image is white.
   palette: write an indexed PNG (1, 2, 4 or 8 bits per pixel, as few as
   the colours need) when the page has at most 256 colours, otherwise
   gray or RGB as without it. Indexed files are several times smaller and
   faster to write; readers that need gray or RGB must expand them.
   do_rop3: marks are combined with the pixels by raster operations (MC,
   TR, ESC*l#O, ESC*v#N/O); without it every mark is a plain copy.
   Sizes from 1 to 32767 pixels per side.
   Layout: an image whose pixels would take more than 128 MiB at 4 bytes
   per pixel (the limit can be lowered or raised with the environment
   variable HPGS_BAND_LIMIT, in bytes, read when the image is made) is
   "banded": it holds only its packed pixels (3 or 1 bytes each) and a
   paint device paints its pages band by band at showpage. Smaller images
   keep room for 4 bytes per pixel and are painted in place. */
typedef struct hpgs_png_image_st hpgs_png_image;
hpgs_png_image *hpgs_new_png_image(int width, int height, int depth, hpgs_bool palette,
                                   hpgs_bool do_rop3);
/* Pixel memory: row y starts at data + y * stride and holds width pixels of
   depth / 8 bytes (R, G, B or gray). The pointer stays valid for the life of
   the image; while a paint device draws, call this again after drawing to
   see the result (the device paints in a wider layout of the same memory).
   The stride is 4 x width for images painted in place and width x
   depth / 8 for banded ones. */
int hpgs_image_get_data(hpgs_png_image *img, unsigned char **data, int *stride);
/* Width and height in pixels (either pointer may be NULL). */
int hpgs_image_get_size(const hpgs_png_image *img, int *width, int *height);
/* Colour of one pixel; alpha is 1 (images are opaque). */
int hpgs_image_get_pixel(hpgs_png_image *img, int x, int y, unsigned char rgb[3], double *alpha);
/* Resolution written into the PNG's pHYs chunk, dots per inch (a paint
   device sets it from its page box). */
int hpgs_image_set_resolution(hpgs_png_image *img, double xres, double yres);
/* Writes the image as PNG with its resolution. */
int hpgs_image_write(hpgs_png_image *img, const char *filename);
/* NULL is accepted. */
void hpgs_image_destroy(hpgs_png_image *img);

/* Paint device: anti-aliased (or exact) painting with cairo into image,
   which the device owns from now on (also when creation fails). bb is the
   page box in device points mapped onto the whole image; the PNG carries
   the resulting resolution. showpage writes the image: page 1 (and page 0
   of single-page readers) to filename, page n >= 2 to filename with "_n"
   before its extension ("out.png" -> "out_2.png"); an empty or NULL
   filename writes nothing. The pixels stay readable after showpage until
   the next page starts drawing, which starts from white.
   On a banded image (see hpgs_new_png_image) the device keeps the page's
   calls (about 17 bytes per point, images copied) and paints them at
   showpage; the pixels show a page's marks only from its showpage on. The
   pixels match painting in place, except that a turned raster image may
   take a neighbouring source pixel where a sample lies on the edge between
   two, and anti-aliased edges may differ by a level or two of coverage
   (cairo steps an edge from where it enters the band).
   Type name "hpgs_paint_device"; hpgs_reader_imbue takes it as a device
   (cast the pointer to hpgs_device *).
   Thin lines: strokes narrower than one pixel are drawn one pixel wide;
   with anti-aliasing their coverage is scaled by max(width in pixels, thin
   alpha); without anti-aliasing they are drawn in full colour. */
typedef struct hpgs_paint_device_st hpgs_paint_device;
hpgs_paint_device *hpgs_new_paint_device(hpgs_png_image *image, const char *filename,
                                         const hpgs_bbox *bb, hpgs_bool antialias);
/* Thin alpha in [0.001, 1] (default 0.5). */
int hpgs_paint_device_set_thin_alpha(hpgs_paint_device *dev, double alpha);
/* 0: raster images are sampled nearest-neighbour; 1 (default): smoothed. */
int hpgs_paint_device_set_image_interpolation(hpgs_paint_device *dev, int interpolation);
/* The image the device draws into (owned by the device). */
hpgs_png_image *hpgs_paint_device_get_image(hpgs_paint_device *dev);

/* Stamp: text written large along the diagonal of page_box (device
   points) through path calls, so that every device carries it. size is
   the height of capitals in points, reduced until the text fits the
   diagonal. Drawn as strokes of a single-stroke font in light red
   (1, 0.6, 0.6), merged with what lies below (raster operation 168, so
   dark ink stays visible through it on raster devices). encoding:
   "utf-8" (or NULL) and "iso-8859-1"/"latin1". */
int hpgs_device_stamp(hpgs_device *dev, const hpgs_bbox *page_box, const char *text,
                      const char *encoding, double size);
/* Draws the stamp on every page of the following reads, on top of the
   drawing and before the asset callbacks; page_box in device points as
   hpgs_reader_set_dynamic_page returned it. An empty text removes it. */
int hpgs_reader_stamp(hpgs_reader *reader, const hpgs_bbox *page_box, const char *text,
                      const char *encoding, double size);

#ifdef __cplusplus
}
#endif

#endif /* HPGS_H */
