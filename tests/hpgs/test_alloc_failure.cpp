// Allocation failures at the C interface: every entry point reports them
// as its documented failure (NULL or -1, the file or value named in the
// error slot), never as an exception, and leaves nothing open or half
// made behind. Each test fails every allocation of its call in turn.
#include "alloc_failure.h"
#include "helpers.h"
#include "hpgs_ptr.h"
#include "paint_helpers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

using alloc_failure::each_failing_allocation;
using alloc_failure::FailAllocation;
using alloc_failure::open_fds;

namespace {

std::string temp_path(const char *tag) {
  return std::string(::testing::TempDir()) + "hpgs_alloc_" + tag + "_" + std::to_string(getpid());
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

TEST(HpgsAllocationFailure, FileInputStreamsLeaveNoDescriptorOpen) {
  const long fds = open_fds();
  const std::string missing = temp_path("missing");
  EXPECT_EQ(hpgs_new_file_istream(missing.c_str()), nullptr);
  EXPECT_NE(std::string(hpgs_get_error()).find(missing), std::string::npos) << hpgs_get_error();
  EXPECT_EQ(open_fds(), fds);

  const std::string file = hpgs_test::data_file("syn_bezier.hpgl");
  const long allocations = each_failing_allocation(
      [&] { return hpgs::UniqueIstream(hpgs_new_file_istream(file.c_str())); },
      [&](hpgs::UniqueIstream is, bool fired, long n) {
        if (!fired) {
          EXPECT_NE(is, nullptr);
        } else if (!is) {
          EXPECT_EQ(std::string(hpgs_get_error()), "cannot open '" + file + "' for reading: Cannot allocate memory")
              << "allocation " << n;
        }
        is.reset();
        EXPECT_EQ(open_fds(), fds) << "allocation " << n;
      });
  EXPECT_GE(allocations, 2);  // the state, its buffer, the name, the handle
}

TEST(HpgsAllocationFailure, FileOutputStreamsLeaveNoDescriptorOpen) {
  const long fds = open_fds();
  const std::string file = temp_path("out");
  std::remove(file.c_str());
  each_failing_allocation([&] { return hpgs::UniqueOstream(hpgs_new_file_ostream(file.c_str())); },
                          [&](hpgs::UniqueOstream os, bool fired, long n) {
                            if (fired && !os) {
                              EXPECT_NE(std::string(hpgs_get_error()).find(file), std::string::npos)
                                  << hpgs_get_error();
                              // Without memory for the stream's state the file is
                              // neither created nor truncated.
                              if (n == 0) {
                                EXPECT_FALSE(exists(file));
                              }
                            }
                            if (!fired) {
                              EXPECT_NE(os, nullptr);
                            }
                            os.reset();
                            EXPECT_EQ(open_fds(), fds) << "allocation " << n;
                            std::remove(file.c_str());
                          });
}

TEST(HpgsAllocationFailure, MemoryStreamsReportFailedWritesAsWriteErrors) {
  hpgs::UniqueOstream os(hpgs_new_mem_ostream(0));
  ASSERT_NE(os, nullptr);
  {
    FailAllocation fail(0);
    EXPECT_EQ(hpgs_putc('x', os.get()), EOF);
    EXPECT_TRUE(fail.fired());
  }
  EXPECT_NE(hpgs_ostream_iserror(os.get()), 0);
  EXPECT_EQ(hpgs_putc('y', os.get()), 'y');  // memory again: writes go on
  const std::string block(100000, 'z');
  {
    FailAllocation fail(0);
    EXPECT_EQ(hpgs_ostream_write(block.data(), 1, block.size(), os.get()), 0u);
  }
  {
    FailAllocation fail(0);
    EXPECT_EQ(hpgs_ostream_printf(os.get(), "%s", block.c_str()), -1);
  }
  size_t size = 0;
  const unsigned char *data = hpgs_mem_ostream_data(os.get(), &size);
  ASSERT_EQ(size, 1u);
  EXPECT_EQ(data[0], 'y');

  // Sizes beyond what a vector can hold are refused, not thrown.
  EXPECT_EQ(hpgs_new_mem_ostream(SIZE_MAX), nullptr);
  EXPECT_NE(std::string(hpgs_get_error()).find(std::to_string(SIZE_MAX)), std::string::npos) << hpgs_get_error();
}

TEST(HpgsAllocationFailure, ErrorSlotKeepsWhatFitsWithoutMemory) {
  hpgs_set_error("%s", std::string(64, 'a').c_str());  // capacity for 64 characters
  const std::string name(200, 'n');
  {
    FailAllocation fail(0);
    EXPECT_EQ(hpgs_set_error("cannot open '%s'", name.c_str()), -1);
    EXPECT_TRUE(fail.fired());
  }
  const std::string kept = hpgs_get_error();
  const std::string full = "cannot open '" + name + "'";
  EXPECT_GE(kept.size(), 64u);
  EXPECT_LT(kept.size(), full.size());
  EXPECT_EQ(full.compare(0, kept.size(), kept), 0) << kept;
}

TEST(HpgsAllocationFailure, ReaderReleasesStreamAndDeviceWhenItCannotBeMade) {
  const long fds = open_fds();
  const std::string file = hpgs_test::data_file("syn_bezier.hpgl");
  for (long n = 0;; ++n) {
    // Stream and device are made before the failing scope: only the
    // reader's own allocations fail.
    bool destroyed = false;
    hpgs_istream *in = hpgs_new_file_istream(file.c_str());
    ASSERT_NE(in, nullptr);
    auto *dev = hpgs_test::new_recording_device();
    dev->destroyed = &destroyed;
    bool fired;
    hpgs::UniqueReader reader;
    {
      FailAllocation fail(n);
      reader.reset(hpgs_new_reader(in, &dev->base, HPGS_FALSE, 0));
      fired = fail.fired();
    }
    if (!reader) {
      EXPECT_TRUE(fired);
      EXPECT_STREQ(hpgs_get_error(), "Out of memory creating a reader.");
      EXPECT_TRUE(destroyed) << "allocation " << n;
    }
    reader.reset();
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(open_fds(), fds) << "allocation " << n;
    if (!fired) break;
  }
}

// A drawing that reaches most of the paint device: polylines, dashes, a
// soft clip, fills with hatching and a raster pattern, a label, an RTL
// image, a raster operation, a second page.
const char kDrawing[] =
    "IN;SP1;PW0.5;PA100,100;PD2000,1500,3000,200,4000,1800;PU;"
    "LT2,4;PA200,2500;PD3800,2500;PU;LT;"
    "IW500,500,3500,3000;PA300,300;PD3900,2900;PU;IW;"
    "FT3,50,45;RA1500,1200;FT;PA600,600;CI300;"
    "RF1,2,2,1,0,0,1;FT11,1;RA2500,2500,3000,3000;FT;"
    "MC1,168;PA800,2000;PD2200,2000;PU;MC0;"
    "SP2;PA500,3200;LBhpgs\x03;"
    "\033%1A\033*r2S\033*b0M\033*b6W\xff\x00\x00\x00\xff\x00\033*b6W\x00\x00\xff\xff\xff\xff\033*rC\033%0B;"
    "PG;SP1;PA0,0;PD1000,1000;PU;";

// The paint pipeline of a render: image, paint device, reader, stamp and
// read. Any step may fail; none may throw.
int render(const std::string &out) {
  hpgs_png_image *img = hpgs_new_png_image(96, 72, 24, HPGS_TRUE, HPGS_TRUE);
  if (!img) return -1;
  const hpgs_bbox page{0, 0, 4000 * 72.0 / 1016, 3600 * 72.0 / 1016};
  hpgs_paint_device *paint = hpgs_new_paint_device(img, out.c_str(), &page, HPGS_TRUE);
  if (!paint) return -1;
  hpgs::UniqueReader reader(hpgs_new_reader(hpgs_new_mem_istream(kDrawing, sizeof kDrawing - 1, HPGS_FALSE),
                                            hpgs::as_device(paint), HPGS_TRUE, 0));
  if (!reader) return -1;
  if (hpgs_reader_stamp(reader.get(), &page, "DRAFT", "utf-8", 20) != 0) return -1;
  return hpgs_read(reader.get(), HPGS_TRUE);
}

void render_at_every_allocation(const char *tag) {
  const std::string out = temp_path(tag);
  const long fds = open_fds();
  ASSERT_EQ(render(out), 0) << hpgs_get_error();  // loads the stroke font once, unarmed
  const long allocations = each_failing_allocation([&] { return render(out); },
                                                   [&](int rc, bool fired, long n) {
                                                     if (!fired) {
                                                       EXPECT_EQ(rc, 0) << hpgs_get_error();
                                                     } else if (rc != 0) {
                                                       EXPECT_STRNE(hpgs_get_error(), "") << n;
                                                     }
                                                     EXPECT_EQ(open_fds(), fds) << "allocation " << n;
                                                   });
  EXPECT_GT(allocations, 20);
  std::remove(out.c_str());
  std::remove((out + "_2").c_str());
}

TEST(HpgsAllocationFailure, PaintingInPlaceFailsCleanlyAtEveryAllocation) { render_at_every_allocation("inplace"); }

TEST(HpgsAllocationFailure, BandedPaintingFailsCleanlyAtEveryAllocation) {
  const char *had = std::getenv("HPGS_BAND_LIMIT");
  const std::string saved = had ? had : "";
  setenv("HPGS_BAND_LIMIT", "4096", 1);  // bands of ten rows
  render_at_every_allocation("banded");
  if (had) setenv("HPGS_BAND_LIMIT", saved.c_str(), 1);
  else unsetenv("HPGS_BAND_LIMIT");
}

TEST(HpgsAllocationFailure, PngWritingLeavesNoFileBehindWhenItFails) {
  const std::string out = temp_path("png");
  hpgs::UniqueImage img(hpgs_new_png_image(40, 30, 24, HPGS_TRUE, HPGS_FALSE));
  ASSERT_NE(img, nullptr);
  const long fds = open_fds();
  each_failing_allocation([&] { return hpgs_image_write(img.get(), out.c_str()); },
                          [&](int rc, bool fired, long n) {
                            if (!fired) {
                              EXPECT_EQ(rc, 0) << hpgs_get_error();
                            } else if (rc != 0) {
                              EXPECT_EQ(std::string(hpgs_get_error()),
                                        "cannot write PNG file '" + out + "': out of memory");
                              EXPECT_FALSE(exists(out)) << "allocation " << n;
                            }
                            EXPECT_EQ(open_fds(), fds) << "allocation " << n;
                            std::remove(out.c_str());
                          });
}

}  // namespace
