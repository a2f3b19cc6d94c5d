// Helpers shared by the reader tests.
#ifndef HPGS_TEST_HELPERS_H
#define HPGS_TEST_HELPERS_H

#include "hpgs.h"
#include "recording_device.h"

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace hpgs_test {

struct ReaderDeleter {
  void operator()(hpgs_reader *r) const { hpgs_destroy_reader(r); }
};
using ReaderPtr = std::unique_ptr<hpgs_reader, ReaderDeleter>;

inline hpgs_istream *mem(const std::string &s) { return hpgs_new_mem_istream(s.data(), s.size(), HPGS_TRUE); }

// Reads text into a fresh recording device; returns the device (owned by
// the reader, valid while reader lives) and the read result.
struct Recorded {
  ReaderPtr reader;
  RecordingDevice *dev = nullptr;
  int rc = 0;
};

inline Recorded record(const std::string &text, bool multipage = false, int caps = -1) {
  Recorded r;
  r.dev = new_recording_device();
  if (caps >= 0) r.dev->caps = caps;
  r.reader.reset(hpgs_new_reader(mem(text), &r.dev->base, multipage, 0));
  r.rc = hpgs_read(r.reader.get(), HPGS_TRUE);
  return r;
}

inline std::string data_file(const std::string &name) { return std::string(XAD_TEST_DATA) + "/hpgl/" + name; }

inline std::string slurp(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Plot size of text with a plot-size device.
inline int plotsize(const std::string &text, hpgs_bbox *bb, bool ignore_ps = true, bool linewidth = true,
                    int page = 1, bool multipage = false) {
  hpgs_device *dev = hpgs_new_plotsize_device(ignore_ps, linewidth);
  ReaderPtr r(hpgs_new_reader(mem(text), dev, multipage, 0));
  if (hpgs_read(r.get(), HPGS_TRUE) != 0) return -1;
  return hpgs_getplotsize(dev, page, bb);
}

}  // namespace hpgs_test

#endif
