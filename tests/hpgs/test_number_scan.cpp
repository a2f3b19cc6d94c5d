// Coordinates are scanned straight from the stream's buffer where it holds
// a whole run of digits and byte by byte elsewhere; both ways must give the
// same values, also for digit runs longer than one scan and for numbers
// split by the file stream's buffer refills.
#include "paint_helpers.h"
#include "recording_device.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

using namespace hpgs_test;

namespace {

TEST(HpgsNumberScan, LongRunsAndBufferEdgesGiveTheSameCoordinates) {
  std::string text = "IN;SP1;PU0,0;PD";
  std::vector<int> values;
  for (int i = 0; i < 40000; ++i) {
    const int v = (i * 7919) % 10000;
    const int width = 1 + i % 30;  // leading zeros up to 30 digits
    char buf[64];
    std::snprintf(buf, sizeof buf, "%0*d", width, v);
    text += (i ? "," : "") + std::string(i % 3 == 0 ? "+" : "") + buf;
    values.push_back(v);
  }
  text += ";PU;";
  const std::string path = temp_path("number_scan.hpgl");
  std::ofstream(path, std::ios::binary) << text;
  for (int file = 0; file < 2; ++file) {
    RecordingDevice *rec = new_recording_device();
    rec->caps = HPGS_DEVICE_CAP_VECTOR;
    hpgs_istream *in = file ? hpgs_new_file_istream(path.c_str()) : mem(text);
    ASSERT_NE(in, nullptr);
    ReaderPtr r(hpgs_new_reader(in, &rec->base, HPGS_FALSE, 0));  // owns rec
    ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0) << hpgs_get_error();
    const auto lines = rec->named("lineto");
    ASSERT_EQ(lines.size(), values.size() / 2) << "file " << file;
    const double k = 72.0 / 1016.0;
    for (size_t i = 0; i < lines.size(); ++i) {
      ASSERT_NEAR(lines[i].args[0], values[2 * i] * k, 1e-9) << "file " << file << " point " << i;
      ASSERT_NEAR(lines[i].args[1], values[2 * i + 1] * k, 1e-9) << "file " << file << " point " << i;
    }
  }
  std::remove(path.c_str());
}

}  // namespace
