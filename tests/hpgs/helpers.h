// Helpers shared by the reader tests.
#ifndef HPGS_TEST_HELPERS_H
#define HPGS_TEST_HELPERS_H

#include "hpgs.h"
#include "hpgs_ptr.h"
#include "recording_device.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace hpgs_test {

using ReaderPtr = hpgs::UniqueReader;

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

// Runs one of the command-line tools of build/bin with its output and errors
// captured together.
struct ToolRun {
  int status;
  std::string out;
};

inline ToolRun run_tool(const std::string &tool, const std::string &args) {
  std::string cmd = std::string(XAD_BIN_DIR) + "/" + tool + " " + args + " 2>&1";
  ToolRun r{-1, {}};
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

}  // namespace hpgs_test

#endif
