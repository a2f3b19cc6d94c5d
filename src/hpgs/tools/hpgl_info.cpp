// hpgl-info: plot size and command statistics of an HP-GL/2 file.
#include "hpgs.h"
#include "hpgs_ptr.h"
#include "reader.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: hpgl-info [-m] [-v] [-q] FILE\n"
               "  -m  read every page (default: the first page only)\n"
               "  -v  log every warning about the input (default: up to 100)\n"
               "  -q  no warnings\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  bool multipage = false;
  int verbosity = 1;
  const char *file = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "-m")) multipage = true;
    else if (!std::strcmp(argv[i], "-v")) verbosity = 2;
    else if (!std::strcmp(argv[i], "-q")) verbosity = 0;
    else if (argv[i][0] == '-' && argv[i][1]) return usage();
    else if (!file) file = argv[i];
    else return usage();
  }
  if (!file) return usage();

  hpgs_init("/usr");
  hpgs::UniqueIstream in(hpgs_new_file_istream(file));
  if (!in) {
    std::fprintf(stderr, "hpgl-info: %s\n", hpgs_get_error());
    return 1;
  }
  hpgs::UniqueDevice measure(hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE));
  if (!measure) {
    std::fprintf(stderr, "hpgl-info: %s\n", hpgs_get_error());
    return 1;
  }
  hpgs_device *dev = measure.get();  // owned by the reader from here on
  hpgs::UniqueReader reader(hpgs_new_reader(in.release(), measure.release(), multipage, verbosity));
  if (!reader || hpgs_read(reader.get(), HPGS_TRUE) != 0) {
    std::fprintf(stderr, "hpgl-info: %s: %s\n", file, hpgs_get_error());
    return 1;
  }
  const hpgs::Stats &st = reader->impl.stats();
  std::printf("file: %s\n", file);
  std::printf("pages: %lu\n", st.pages);
  hpgs_bbox bb;
  if (hpgs_getplotsize(dev, 0, &bb) == 0) {
    double w = bb.urx - bb.llx, h = bb.ury - bb.lly;
    std::printf("plot size: %.3f %.3f %.3f %.3f pt (%.3f x %.3f pt, %.2f x %.2f mm)\n", bb.llx, bb.lly, bb.urx,
                bb.ury, w, h, w * 25.4 / 72, h * 25.4 / 72);
  }
  for (unsigned long p = 1; multipage && p <= st.pages; ++p) {
    if (hpgs_getplotsize(dev, static_cast<int>(p), &bb) == 0)
      std::printf("page %lu: %.3f %.3f %.3f %.3f pt\n", p, bb.llx, bb.lly, bb.urx, bb.ury);
  }
  std::printf("commands:\n");
  unsigned long total = 0;
  for (size_t k = 0; k < st.commands.size(); ++k) {
    if (!st.commands[k]) continue;
    total += st.commands[k];
    std::printf("  %c%c %10lu\n", static_cast<char>('A' + k / 26), static_cast<char>('A' + k % 26), st.commands[k]);
  }
  std::printf("total commands: %lu\n", total);
  std::printf("PE pairs: %lu\n", st.pe_pairs);
  std::printf("raster rows: %lu\n", st.raster_rows);
  std::printf("warnings: %lu\n", st.warnings);
  hpgs_cleanup();
  return 0;
}
