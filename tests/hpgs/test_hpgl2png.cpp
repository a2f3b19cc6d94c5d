// The hpgl2png command-line tool: sizes, options, and clear failures.
#include "paint_helpers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sys/wait.h>

namespace {

using ToolResult = hpgs_test::ToolRun;

ToolResult hpgl2png(const std::string &args) { return hpgs_test::run_tool("hpgl2png", args); }

std::string write_temp(const std::string &name, const std::string &text) {
  std::string path = hpgs_test::temp_path(name);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

TEST(HpgsHpgl2png, SizesFollowDpiSizeAndAngle) {
  // One inch by half an inch of lines (with 0.35 mm pens adding their
  // half widths).
  std::string in = write_temp("rect.hpgl", "IN;SP1;PW0;PA0,0;PD1016,0,1016,508,0,508,0;PU;");
  std::string out = hpgs_test::temp_path("rect.png");
  ToolResult r = hpgl2png(in + " " + out + " --dpi 100");
  ASSERT_EQ(r.status, 0) << r.out;
  hpgs_test::Png p;
  ASSERT_TRUE(hpgs_test::read_png(out, p));
  EXPECT_EQ(p.width, 100);
  EXPECT_EQ(p.height, 50);
  EXPECT_EQ(p.ppm_x, 3937u);  // 100 dpi
  r = hpgl2png(in + " " + out + " --size 400 --angle 90");
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_TRUE(hpgs_test::read_png(out, p));
  EXPECT_EQ(p.width, 200);
  EXPECT_EQ(p.height, 400);
  r = hpgl2png(in + " " + out + " --dpi 100 --no-antialias --thin-alpha 0.2 --stamp DRAFT");
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_TRUE(hpgs_test::read_png(out, p));
  for (size_t i = 0; i < p.pixels.size(); i += 3) {
    // Without anti-aliasing: black frame, white ground, the stamp's light
    // red merged with white; nothing in between.
    bool ok = (p.pixels[i] == 0 && p.pixels[i + 1] == 0) || (p.pixels[i] == 255 && p.pixels[i + 1] == 255) ||
              (p.pixels[i] == 255 && p.pixels[i + 1] == 153);
    ASSERT_TRUE(ok) << int(p.pixels[i]) << "," << int(p.pixels[i + 1]);
  }
  std::remove(in.c_str());
  std::remove(out.c_str());
}

TEST(HpgsHpgl2png, FailuresAreClearWithStatusOne) {
  std::string out = hpgs_test::temp_path("fail.png");
  ToolResult r = hpgl2png("/nonexistent/in.hpgl " + out);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("cannot open"), std::string::npos) << r.out;
  std::string empty = write_temp("empty.hpgl", "IN;SP1;PU100,100;");
  r = hpgl2png(empty + " " + out);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("empty"), std::string::npos) << r.out;
  std::string big = write_temp("big.hpgl", "IN;SP1;PA0,0;PD100000,100000;");
  r = hpgl2png(big + " " + out + " --dpi 5000");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("too large"), std::string::npos) << r.out;
  r = hpgl2png(big + " " + out + " --dpi -3");
  EXPECT_EQ(r.status, 1);
  r = hpgl2png(big + " " + out + " --thin-alpha 7");
  EXPECT_EQ(r.status, 1);
  r = hpgl2png(big);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("usage"), std::string::npos);
  r = hpgl2png(empty + " /nonexistent/dir/out.png");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("/nonexistent/dir/out.png"), std::string::npos) << r.out;
  std::remove(empty.c_str());
  std::remove(big.c_str());
  std::remove(out.c_str());
}

}  // namespace
