/*
 * hpgspdf.h - PDF documents, the PDF output device and FDF annotation
 * bundles, on top of the hpgs device model.
 *
 * Conventions (those of hpgs.h):
 *  - Functions returning int return 0 on success and -1 on failure; the
 *    message is then in the calling thread's hpgs error slot
 *    (hpgs_get_error()). Constructors return NULL on failure.
 *  - Pages count from 0. Boxes are hpgs bounding boxes in PDF user space
 *    units (points unless the page has a /UserUnit).
 *  - Objects are not thread-safe; different objects may be used from
 *    different threads at the same time.
 *  - Malformed PDF or FDF input never crashes: it gives NULL or -1 with a
 *    message naming what was wrong.
 *  - No function throws. Running out of memory is a failure (NULL or -1),
 *    also where qpdf would go on with what it could read: a document is
 *    never handed out "repaired" for lack of memory.
 */
#ifndef HPGSPDF_H
#define HPGSPDF_H

#include "hpgs.h"

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Process-wide start and end; both may be called more than once. */
void hpgs_pdf_init(void);
void hpgs_pdf_cleanup(void);

/* ------------------------------------------------------------ documents */

typedef struct hpgs_pdf_file_st hpgs_pdf_file;

/* Reads a whole PDF document from is and closes is (also on failure; NULL
   is refused with an error). Damaged cross-reference tables are repaired
   as far as possible. A document that needs a password is still returned,
   only to answer hpgs_pdf_file_is_encrypted: every other operation on an
   encrypted document fails. */
hpgs_pdf_file *hpgs_new_pdf_file(hpgs_istream *is);
/* Releases the document. NULL is accepted. */
void hpgs_destroy_pdf_file(hpgs_pdf_file *pdf);

/* Non-zero for an encrypted document (with or without a user password). */
int hpgs_pdf_file_is_encrypted(hpgs_pdf_file *pdf);
/* Number of pages, or -1. */
int hpgs_pdf_file_get_npages(hpgs_pdf_file *pdf);

/* The crop box of the page (inherited, falling back to the media box). */
int hpgs_pdf_file_get_page_crop_box(hpgs_pdf_file *pdf, int page, hpgs_bbox *bb);
int hpgs_pdf_file_set_page_crop_box(hpgs_pdf_file *pdf, int page, const hpgs_bbox *bb);
int hpgs_pdf_file_set_page_media_box(hpgs_pdf_file *pdf, int page, const hpgs_bbox *bb);
/* The page's /UserUnit, 1.0 when absent. */
int hpgs_pdf_file_get_page_user_unit(hpgs_pdf_file *pdf, int page, double *uu);
/* Sets the page's /UserUnit (1.0 removes it); a document with a page whose
   unit is not 1 is written as PDF 1.6 at least. */
int hpgs_pdf_file_set_page_user_unit(hpgs_pdf_file *pdf, int page, double uu);
/* The page's /Rotate (inherited) in degrees, normalised to 0, 90, 180, 270. */
int hpgs_pdf_file_get_native_page_angle(hpgs_pdf_file *pdf, int page, int *angle);
/* Adds angle (a multiple of 90, clockwise as /Rotate counts) to the page's
   /Rotate. */
int hpgs_pdf_file_rotate_page(hpgs_pdf_file *pdf, int page, int angle);
/* Puts the pages of other in front of the pages of pdf, with everything
   they use. other is used up in every case: do not touch it afterwards. */
int hpgs_pdf_file_prepend_pdf_file(hpgs_pdf_file *pdf, hpgs_pdf_file *other);
/* Writes the document to os; os stays open (the caller closes it). */
int hpgs_pdf_file_write(hpgs_pdf_file *pdf, hpgs_ostream *os);

/* ---------------------------------------------------- document information
 *
 * Keys of hpgs_pdf_file_set_info / hpgs_pdf_device_set_info:
 *   0 Title, 1 Author, 2 Subject, 3 Keywords, 4 Creator  (Info dictionary)
 *   5 CreationDate, 6 ModDate      (timestamps only, see below)
 *   7 Info /Annotation, 8 Info /ScaleAnnotation (free texts shown by
 *     viewers among the custom document properties)
 *   9 SUBMIT_MSG: a document-level script "SubmitMessage" that defines the
 *     JavaScript string variable submitMessage with the text, for the
 *     document's form and submit scripts
 *  10 the document's open action (JavaScript)
 *  11..15 the document's additional actions (JavaScript): 11 will close
 *     (/WC), 12 will save (/WS), 13 did save (/DS), 14 will print (/WP),
 *     15 did print (/DP)
 * Texts are given in encoding "UTF-8" (any case; NULL means UTF-8) or
 * "ISO-8859-1"; they are stored as PDF text strings. An empty text removes
 * the entry.
 */
#define HPGS_PDF_INFO_TITLE 0
#define HPGS_PDF_INFO_AUTHOR 1
#define HPGS_PDF_INFO_SUBJECT 2
#define HPGS_PDF_INFO_KEYWORDS 3
#define HPGS_PDF_INFO_CREATOR 4
#define HPGS_PDF_INFO_CREATION_DATE 5
#define HPGS_PDF_INFO_MOD_DATE 6
#define HPGS_PDF_INFO_ANNOTATION 7
#define HPGS_PDF_INFO_SCALE_ANNO 8
#define HPGS_PDF_INFO_SUBMIT_MSG 9
#define HPGS_PDF_INFO_OPEN_SCRIPT 10
#define HPGS_PDF_INFO_DC_SCRIPT 11
#define HPGS_PDF_INFO_WS_SCRIPT 12
#define HPGS_PDF_INFO_DS_SCRIPT 13
#define HPGS_PDF_INFO_WP_SCRIPT 14
#define HPGS_PDF_INFO_DP_SCRIPT 15

int hpgs_pdf_file_set_info(hpgs_pdf_file *pdf, int key, const char *text,
                           const char *encoding);

/* A point in time with the UTC offset it is to be shown with. */
typedef struct hpgs_pdf_timestamp_st hpgs_pdf_timestamp;

/* The current time with the local UTC offset. */
hpgs_pdf_timestamp *hpgs_pdf_timestamp_now(void);
/* seconds since 1970-01-01 UTC; utc_offset in seconds east of UTC
   (-3600 for UTC-1), at most 24 hours either way. */
hpgs_pdf_timestamp *hpgs_pdf_timestamp_new(time_t seconds, int utc_offset);
/* NULL is accepted. */
void hpgs_pdf_timestamp_destroy(hpgs_pdf_timestamp *ts);

/* Key 5 sets /CreationDate, key 6 /ModDate; other keys are refused. */
int hpgs_pdf_file_set_timestamp_info(hpgs_pdf_file *pdf, int key,
                                     const hpgs_pdf_timestamp *ts);

/* ------------------------------------------------------------- devices */

/* A device writing a PDF file at path: every showpage adds a page whose
   media box is the page box given here (the page box given to
   hpgs_pdf_device_render_page_assets wins for its page); finish writes the
   file. Paths, fills with both rules, colours, line attributes, dashes,
   clipping and images are kept as vectors. compression: 0 stores content
   streams uncompressed, 1..9 deflates them: 1..6 at the compressor's
   fastest setting (on drawing content within a tenth of its best size),
   7..9 trading time for size. version: 1 for PDF 1.4 (the
   only one). Type name "hpgs_pdf_device". */
hpgs_device *hpgs_new_pdf_device(const char *path, const hpgs_bbox *page_box,
                                 int compression, int version);
int hpgs_pdf_device_set_info(hpgs_device *dev, int key, const char *text,
                             const char *encoding);
int hpgs_pdf_device_set_timestamp_info(hpgs_device *dev, int key,
                                       const hpgs_pdf_timestamp *ts);
/* Called from an hpgs page-asset callback: fixes the media box of the page
   being drawn to the device page (page_matrix applied to page_box). */
int hpgs_pdf_device_render_page_assets(hpgs_device *dev, const hpgs_matrix *page_matrix,
                                       const hpgs_bbox *page_box, int page);

/* Devices drawing onto an existing page of pdf, in the page's user space:
   the anno device over the page's content, the background device behind
   it. What is drawn reaches the page at hpgs_device_finish. The document
   must outlive the device. Type names "hpgs_pdf_anno_device" and
   "hpgs_pdf_background_device". */
hpgs_device *hpgs_pdf_file_new_anno_device(hpgs_pdf_file *pdf, int page);
hpgs_device *hpgs_pdf_file_new_background_device(hpgs_pdf_file *pdf, int page);

/* --------------------------------------------------------- FDF bundles */

typedef struct hpgs_pdf_fdf_bundle_st hpgs_pdf_fdf_bundle;

/* Import modes of hpgs_pdf_fdf_bundle_import_fdf. */
#define HPGS_PDF_FDF_IMPORT 0       /* PDF annotations the reader may edit */
#define HPGS_PDF_FDF_DRAW 2         /* drawn into page content */
#define HPGS_PDF_FDF_IMPORT_LOCKED 3 /* PDF annotations, locked and read-only */

hpgs_pdf_fdf_bundle *hpgs_pdf_new_fdf_bundle(void);
/* NULL is accepted. */
void hpgs_pdf_fdf_bundle_destroy(hpgs_pdf_fdf_bundle *bundle);

/* Reads one FDF document (PDF syntax, %FDF header, /Root << /FDF <<
   /Annots [...] >> >>) from is and closes is (also on failure). Every
   annotation gets author (/T) and title (/Subj) when these are not NULL or
   empty, and colour (three components 0..1) when color is not NULL. The
   annotations of one import all take its mode. On failure nothing of this
   FDF enters the bundle. */
int hpgs_pdf_fdf_bundle_import_fdf(hpgs_pdf_fdf_bundle *bundle, hpgs_istream *is,
                                   const char *author, const char *title,
                                   const char *encoding, const double *color, int mode);

/* Number of drawn (mode 2) annotations of the page whose rectangle,
   moved by offset, meets page_box (NULL offset: none; NULL page_box: all
   of the page). */
int hpgs_pdf_fdf_bundle_count_annotations(hpgs_pdf_fdf_bundle *bundle, int *count,
                                          const double *offset, const hpgs_bbox *page_box,
                                          int page);
/* Draws the drawn (mode 2) annotations of the page into dev, every
   coordinate moved by offset (two doubles, points; NULL: none) and clipped
   to page_box (NULL: not clipped). The device's colour, line attributes and
   raster operation are left as the last annotation set them. */
int hpgs_pdf_fdf_bundle_render(hpgs_pdf_fdf_bundle *bundle, hpgs_device *dev,
                               const double *offset, const hpgs_bbox *page_box, int page);

/* Adds the bundle's mode 0 and 3 annotations to their pages as PDF
   annotations with appearance streams and the print flag, at the places
   where mode 2 would draw them with offset (0, 0): FDF coordinates are the
   page's user space. border (points, >= 0) is the margin around the crop
   box within which an annotation still counts as on the page; annotations
   entirely outside the crop box grown by border, and annotations of pages
   the document lacks, are skipped with a log message. Mode 3 annotations
   are locked (/F Locked, LockedContents) and read-only (ReadOnly): a viewer
   neither moves, edits nor deletes them. */
int hpgs_pdf_file_import_fdf_bundle(hpgs_pdf_file *pdf, hpgs_pdf_fdf_bundle *bundle,
                                    double border);

#ifdef __cplusplus
}
#endif

#endif /* HPGSPDF_H */
