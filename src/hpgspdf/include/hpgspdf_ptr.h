// Owned hpgspdf handles for C++ callers: std::unique_ptr types whose
// deleters call the library's release function (see hpgs_ptr.h for the
// hpgs ones).
//
// Calls that take an input stream over and close it, also when they fail,
// and so need release() at the call: hpgs_new_pdf_file,
// hpgs_pdf_fdf_bundle_import_fdf.
#pragma once

#include "hpgspdf.h"

#include <memory>

namespace hpgs {

struct PdfFileDeleter {
  void operator()(hpgs_pdf_file *f) const noexcept { hpgs_destroy_pdf_file(f); }
};
struct FdfBundleDeleter {
  void operator()(hpgs_pdf_fdf_bundle *b) const noexcept { hpgs_pdf_fdf_bundle_destroy(b); }
};
struct PdfTimestampDeleter {
  void operator()(hpgs_pdf_timestamp *t) const noexcept { hpgs_pdf_timestamp_destroy(t); }
};

using UniquePdfFile = std::unique_ptr<hpgs_pdf_file, PdfFileDeleter>;
using UniqueFdfBundle = std::unique_ptr<hpgs_pdf_fdf_bundle, FdfBundleDeleter>;
using UniquePdfTimestamp = std::unique_ptr<hpgs_pdf_timestamp, PdfTimestampDeleter>;

}  // namespace hpgs
