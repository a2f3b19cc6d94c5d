// Replays the fuzz target on the sample files and on inputs the fuzzer
// once found faulty, so that the normal test run keeps them fixed.
#include "helpers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <dirent.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

std::vector<std::string> files_in(const std::string &dir) {
  std::vector<std::string> r;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (e->d_name[0] != '.') r.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  return r;
}

TEST(HpgsFuzzReplay, SampleFilesAndFoundInputsRunCleanly) {
  std::vector<std::string> inputs = files_in(std::string(XAD_TEST_DATA) + "/hpgl/fuzz");
  for (const char *f : {"syn_pjl_frame.hpgl", "syn_rtl_raster.hpgl", "syn_pe_encoded.hpgl", "gp_pcl5_area.hpgl"})
    inputs.push_back(hpgs_test::data_file(f));
  for (const auto &path : inputs) {
    SCOPED_TRACE(path);
    std::string data = hpgs_test::slurp(path);
    EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.data()), data.size()), 0);
  }
  hpgs_set_logger(nullptr);
}

}  // namespace
