// Internal access to the buffers of the built-in input streams, so that the
// reader can scan them without a function call per byte.
#ifndef HPGS_STREAM_INTERNAL_H
#define HPGS_STREAM_INTERNAL_H

#include "hpgs.h"

namespace hpgs {

// Unread bytes of a built-in stream: [cur, end). Advancing cur consumes them.
// A reader that steps cur back over bytes it has looked at first raises
// peak to cur: bytes before max(cur, peak) have been taken at least once
// (what an observed stream reports). peak is only meaningful to the one
// who last set it to cur after a refill.
struct ByteWindow {
  const unsigned char *cur = nullptr;
  const unsigned char *end = nullptr;
  const unsigned char *peak = nullptr;
};

// The window of a built-in file or memory stream, or of the built-in
// stream under an observed stream; NULL for any other stream (or while a
// built-in stream holds a pushed-back byte). When the window is empty, one
// hpgs_getc refills it.
ByteWindow *builtin_window(hpgs_istream *is);

// The file name of a built-in file stream, NULL for any other stream.
const char *builtin_name(hpgs_istream *is);

}  // namespace hpgs

#endif
