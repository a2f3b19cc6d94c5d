// An input stream that lets an observer see the bytes a reader takes from a
// built-in file or memory stream, while the reader still scans that
// stream's buffer in place (no call per byte): the observer is handed the
// bytes in runs, each byte once and in input order, whenever the reader
// goes back to the stream for more, on observed_istream_sync, and before a
// block read, seek, ungetc or close.
//
// Ownership: the observed stream owns the underlying stream and the
// observer (both go with hpgs_istream_close).
// Thread-safety: none; the stream belongs to the read that uses it.
#ifndef HPGS_OBSERVED_H
#define HPGS_OBSERVED_H

#include "hpgs.h"

#include <cstddef>
#include <memory>

namespace hpgs {

class ByteObserver {
 public:
  virtual ~ByteObserver() = default;
  // n >= 1 bytes taken (p valid during the call only). 0 to go on; -1 makes
  // the stream end (getc gives EOF).
  virtual int taken(const unsigned char *p, size_t n) = 0;
  // The stream ended, or a block read (whose bytes are not taken) follows:
  // everything the observer still keeps is to go out. 0 or -1.
  virtual int flush() = 0;
  // ungetc of the byte taken last: false refuses it (ungetc gives EOF).
  virtual bool give_back() = 0;
  // A seek: what the observer keeps of the bytes taken is dropped.
  virtual void drop_kept() = 0;
  // The stream closes: 0 or -1 (close gives -1).
  virtual int finish() = 0;
};

// An observed stream over in. Takes in and observer over (in is closed also
// when the stream cannot be made; hpgs error set, NULL returned). Bytes
// before in's position at creation are not reported.
hpgs_istream *new_observed_istream(hpgs_istream *in, std::unique_ptr<ByteObserver> observer);

// The observer of an observed stream; NULL for any other stream.
ByteObserver *observer_of(hpgs_istream *is);

// Hands the observer every byte the reader has taken (or looked at and put
// back) so far. 0, or -1 when the observer failed; NULL or another stream:
// -1 with the hpgs error set.
int observed_istream_sync(hpgs_istream *is);

}  // namespace hpgs

#endif
