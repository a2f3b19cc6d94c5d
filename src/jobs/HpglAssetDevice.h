// Writing HP-GL/2 into a copy of an HP-GL/2 input: the asset device turns
// what is drawn into it while an asset runs (annotations drawn at a frame's
// end) into HP-GL/2 with PCL escapes, and the copy stream passes the input's
// bytes on to the same output while the reader reads them.
//
// Ownership: the device writes to an output stream it does not own (the
// caller closes it after the device is gone); the copy stream owns its
// underlying input stream, not the output.
// Thread-safety: none; both belong to the read that uses them.
#pragma once

#include "hpgs/hpgs.h"

#include <cstdint>
#include <string>

namespace Xadra {

// The PE (polyline encoded) form of n in the 8-bit base: 2n for n >= 0,
// 1 - 2n below, in 6-bit digits of 63 + d, the last one 191 + d.
void appendPeNumber(std::string& out, int64_t n);

// A device of type "hpgs_hpgl_asset_device" writing to out. Null when out is
// null or memory is short (hpgs error set).
hpgs_device* newHpglAssetDevice(hpgs_ostream* out, int maxFractBits);

// Starts an asset drawn with pen whose points arrive in device coordinates
// and go out in the coordinates matrix maps to the device (the reader's
// transformation): writes "IW". 0, or -1 with the write error.
int startAsset(hpgs_device* dev, int pen, const hpgs_matrix& matrix);
// Restores the drawing's colour and raster operation and ends the asset.
int finishAsset(hpgs_device* dev);
void setMaxFractBits(hpgs_device* dev, int bits);
// fn(context) runs before each write of the device (0 to go on): the copy
// stream feeding the same output writes what it passed on first.
void setBeforeWrite(hpgs_device* dev, int (*fn)(void*), void* context);

// An input stream that reads from in and writes what it reads to out, holding
// back PG and FR commands (with their number and separators) so that what
// a frame-asset callback writes comes before the frame's end. Takes in over
// (closed also when the stream cannot be made); null on failure.
// The copy stream collects what it passes on and writes it in large pieces:
// when it reaches the end of its input, when it is closed, and on
// flushHpglCopyStream (0, or -1 when out fails). Over a built-in file or
// memory stream the reader scans the input's buffer in place (an observed
// stream, hpgs_observed.h); what is passed on is the same as with one getc
// per byte.
hpgs_istream* newHpglCopyStream(hpgs_istream* in, hpgs_ostream* out);
int flushHpglCopyStream(hpgs_istream* stream);

}  // namespace Xadra
