// Malformed input: truncated files, absurd numbers, binary noise, endless
// commands. Every case must end without crash, in bounded time, and
// interruption and stream errors must end a read promptly.
#include "helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

using namespace hpgs_test;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Reads with a plot-size device and with a recording device; both must succeed.
void survives(const std::string &text, double max_seconds = 5.0) {
  auto t0 = Clock::now();
  hpgs_bbox bb;
  EXPECT_EQ(plotsize(text, &bb, true, true, 0, true), 0) << hpgs_get_error();
  auto r = record(text, true, HPGS_DEVICE_CAP_DRAWIMAGE | HPGS_DEVICE_CAP_CURVES);
  EXPECT_EQ(r.rc, 0) << hpgs_get_error();
  EXPECT_LT(seconds_since(t0), max_seconds);
}

TEST(HpgsMalformed, TruncatedRealFilesAreReadUpToTheCut) {
  for (const char *f : {"syn_rtl_raster.hpgl", "syn_pe_encoded.hpgl", "syn_pjl_frame.hpgl", "gp_pcl5_area.hpgl",
                        "fig_ibmgl_bracket_ro90.hpgl", "gp_hpgl_polar.hpgl"}) {
    std::string data = slurp(data_file(f));
    ASSERT_FALSE(data.empty()) << f;
    for (size_t cut = 1; cut < data.size(); cut += data.size() / 23 + 1) {
      SCOPED_TRACE(std::string(f) + " cut at " + std::to_string(cut));
      survives(data.substr(0, cut));
    }
  }
}

TEST(HpgsMalformed, AbsurdNumbersAreClampedOrRefused) {
  const char *cases[] = {
      "SP1PA1e999999,5;PD-1e999999,7;",
      "IP0,0,0,0;SC0,1,0,1;SP1PD1,1;",
      "SC0,1e-300,0,1e-300;SP1PD1,1;",
      "SC0,1e300,0,1e300,2;SP1PD1,1;",
      "SC0,10,0,10,1,1e300,-1e300;SP1PD1,1;",
      "PW1e308;SP1PD1000,1000;",
      "NP1e9;SP1e9;PC1e9,1,1,1;PD1,1;",
      "PS1e20,1e20;RO90;SP1PD1,1;",
      "PS0,0;PS-5;SP1PD1,1;",
      "SP1PU0,0;CI1e300,0.0000001;",
      "SP1PU0,0;PD;AA1e300,1e300,1e308,1e-300;",
      "SP1PU0,0;PD;AT1e300,0,-1e300,1e-300,0.5;",
      "SP1PU0,0;WG1,0,1e300,0;EW-1,1e300,-1e300,1e300;",
      "SP1LT1,1e300,1;UL1,1e300,1e300;PD1,1;LT-8,0,0;PD2,2;",
      "LA1,1e300,2,-5,3,1e300;SP1PD1,1;",
      "RO1e30;IR1e300,1e300,-1e300;SP1PD1,1;",
      "IW1e300,-1e300,1e300,1e300;SP1PD1,1;",
      "FT3,0,1e300;FT10,1e300;FT99;SP1PU0,0;RA10,10;",
      "SP1PU0,0;BZ1e300,1e300,-1e300,1,2,3;PD;BZ1,2,3;",
      "\x1b*r999999999S\x1b*r1A\x1b*b99999W\x1b*rC",
      "\x1b*b4294967296W\x1b*v99999999999W",
      "SP1PD1.2.3.4,--5++6..;PD.,.;",
      "SP1PD99999999999999999999999999999999999999999999999999999999,1;",
      "DT\x1b;LB\x1b;SM\x1b;CO\"\x1b\";",
  };
  for (const char *c : cases) {
    SCOPED_TRACE(c);
    survives(c);
  }
}

TEST(HpgsMalformed, BinaryNoiseNeverCrashes) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 40; ++round) {
    std::string noise(16384, '\0');
    for (char &ch : noise) ch = static_cast<char>(rng());
    if (round % 2) {
      // Noise salted with real command letters, escapes and digits.
      const char *salt[] = {"PD", "PE", "\x1b*b", "W", "PM0", "LB", ";", "1,2", "\x1b%0B", "AA", "CI", "RA"};
      for (int i = 0; i < 500; ++i) {
        const char *s = salt[rng() % 12];
        noise.replace(rng() % (noise.size() - 8), std::strlen(s), s);
      }
    }
    survives(noise);
  }
}

TEST(HpgsMalformed, EndlessLabelIsConsumedWithoutBuffering) {
  std::string text = "SP1PU0,0;LB" + std::string(8 << 20, 'x');
  survives(text, 20);
}

TEST(HpgsMalformed, EndlessPeAndEndlessCommentEnd) {
  survives("SP1PU0,0;PE" + std::string(4 << 20, '\x41'), 20);
  survives("CO\"" + std::string(4 << 20, 'c'), 20);
}

TEST(HpgsMalformed, MillionPointPolygonIsFilled) {
  std::string text = "SP1PU0,0;PM0;PD";
  text.reserve(12 << 20);
  for (int i = 0; i < 1000000; ++i) text += (i % 2) ? "3,-2," : "-2,3,";
  text += "1,1;PM2;FP;EP;";
  auto t0 = Clock::now();
  hpgs_bbox bb;
  ASSERT_EQ(plotsize(text, &bb), 0);
  EXPECT_LT(seconds_since(t0), 10.0);
  auto r = record(text);
  EXPECT_EQ(r.dev->named("fill").size(), 1u);
  EXPECT_EQ(r.dev->named("lineto").size(), 2u * 1000001u);
}

// An input stream that never ends: "PD1,1," forever.
struct Endless {
  size_t pos = 0;
  bool fail_after = false;
};
const hpgs_istream_vtable kEndless = {
    [](void *s) {
      auto *e = static_cast<Endless *>(s);
      static const char pat[] = "PD1,1,";
      if (e->fail_after && e->pos > 100000) return EOF;
      return static_cast<int>(pat[e->pos++ % 6]);
    },
    [](int, void *) { return EOF; },
    [](void *, size_t, size_t, void *) -> size_t { return 0; },
    [](void *, size_t) { return hpgs_set_error("stream cannot seek"); },
    [](void *s, size_t *p) {
      *p = static_cast<Endless *>(s)->pos;
      return 0;
    },
    [](void *) { return 0; },
    [](void *s) { return int(static_cast<Endless *>(s)->fail_after && static_cast<Endless *>(s)->pos > 100000); },
    [](void *s) {
      delete static_cast<Endless *>(s);
      return 0;
    },
};

TEST(HpgsInterrupt, AnotherThreadStopsARunningReadPromptly) {
  ReaderPtr r(hpgs_new_reader(hpgs_new_istream(&kEndless, new Endless), hpgs_new_plotsize_device(1, 1), 0, 0));
  std::atomic<bool> done{false};
  int rc = 0;
  std::thread reader([&] {
    rc = hpgs_read(r.get(), HPGS_TRUE);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(done.load());
  auto t0 = Clock::now();
  hpgs_reader_interrupt(r.get());
  reader.join();
  EXPECT_LT(seconds_since(t0), 1.0);
  EXPECT_EQ(rc, -1);
  // The error slot is per thread: the reading thread saw "Interrupted.";
  // a later read on this thread fails at once with the same message.
  EXPECT_EQ(hpgs_read(r.get(), HPGS_TRUE), -1);
  EXPECT_STREQ(hpgs_get_error(), "Interrupted.");
}

TEST(HpgsStreamErrors, ReadErrorFailsTheRead) {
  auto *e = new Endless;
  e->fail_after = true;
  ReaderPtr r(hpgs_new_reader(hpgs_new_istream(&kEndless, e), hpgs_new_plotsize_device(1, 1), 0, 0));
  EXPECT_EQ(hpgs_read(r.get(), HPGS_TRUE), -1);
  EXPECT_NE(std::string(hpgs_get_error()).find("Read error"), std::string::npos);
}

TEST(HpgsStreamErrors, SecondPassOnAStreamThatCannotRewindFails) {
  auto *e = new Endless;
  e->fail_after = true;
  // First pass fails with a read error; the second cannot rewind.
  ReaderPtr r(hpgs_new_reader(hpgs_new_istream(&kEndless, e), hpgs_new_plotsize_device(1, 1), 0, 0));
  hpgs_read(r.get(), HPGS_TRUE);
  EXPECT_EQ(hpgs_read(r.get(), HPGS_TRUE), -1);
  EXPECT_NE(std::string(hpgs_get_error()).find("rewind"), std::string::npos);
}

TEST(HpgsWarnings, MalformedInputIsReportedThroughTheLoggerAndCapped) {
  static int lines = 0;
  static std::string first;
  hpgs_set_logger([](const char *fmt, va_list ap) {
    char buf[512];
    vsnprintf(buf, sizeof buf, fmt, ap);
    if (lines++ == 0) first = buf;
  });
  std::string text;
  for (int i = 0; i < 500; ++i) text += "QQ1;";
  hpgs_device *dev = hpgs_new_plotsize_device(1, 1);
  ReaderPtr r(hpgs_new_reader(mem(text), dev, 0, 1));
  EXPECT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0);
  hpgs_set_logger(nullptr);
  EXPECT_NE(first.find("unknown command 'QQ'"), std::string::npos);
  EXPECT_NE(first.find("byte 2"), std::string::npos);
  EXPECT_LE(lines, 102);
}

}  // namespace

namespace {

TEST(HpgsThreads, ReadersOnSeveralThreadsDoNotDisturbEachOther) {
  const char *files[] = {"syn_pe_encoded.hpgl", "syn_iso_ro90.hpgl", "ps_parts_hpgl2.hpgl", "syn_rtl_raster.hpgl"};
  hpgs_bbox expected[4];
  std::string data[4];
  for (int i = 0; i < 4; ++i) {
    data[i] = slurp(data_file(files[i]));
    ASSERT_EQ(plotsize(data[i], &expected[i]), 0);
  }
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        int i = (t + round) % 4;
        hpgs_bbox bb;
        if (plotsize(data[i], &bb) != 0 || bb.llx != expected[i].llx || bb.ury != expected[i].ury) ++mismatches;
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace

namespace {

TEST(HpgsRaster, FormatChangedInTheMiddleOfAnImageKeepsTheImagesGeometry) {
  // A 24-bit image whose pixel format turns planar after the first row and
  // whose width grows: the rows keep the geometry the image started with.
  std::string s = "\x1b*r2S";
  s += std::string("\x1b*v6W\0\3\x08\x08\x08\x08", 11);
  s += "\x1b*r1A\x1b*b0M\x1b*b6WABCDEF";
  s += std::string("\x1b*v6W\0\0\x01\x01\x01\x01", 11);
  s += "\x1b*r64S\x1b*b6WGHIJKL\x1b*rC";
  auto r = record(s, false, HPGS_DEVICE_CAP_DRAWIMAGE);
  ASSERT_EQ(r.rc, 0);
  auto img = r.dev->named("drawimage");
  ASSERT_EQ(img.size(), 1u);
  EXPECT_EQ(img[0].args[0], 2);
  EXPECT_EQ(img[0].args[1], 2);
  EXPECT_EQ(img[0].args[9 + 6], 'G');
}

}  // namespace

namespace {

// An endless PE command: interruption must not wait for its end.
struct EndlessPe {
  size_t pos = 0;
};
const hpgs_istream_vtable kEndlessPe = {
    [](void *s) {
      auto *e = static_cast<EndlessPe *>(s);
      return e->pos++ < 2 ? static_cast<int>("PE"[e->pos - 1]) : static_cast<int>(0xc1);
    },
    [](int, void *) { return EOF; },
    [](void *, size_t, size_t, void *) -> size_t { return 0; },
    [](void *, size_t) { return -1; },
    [](void *, size_t *) { return -1; },
    [](void *) { return 0; },
    [](void *) { return 0; },
    [](void *s) {
      delete static_cast<EndlessPe *>(s);
      return 0;
    },
};

TEST(HpgsInterrupt, EndlessSingleCommandIsInterruptedToo) {
  ReaderPtr r(hpgs_new_reader(hpgs_new_istream(&kEndlessPe, new EndlessPe), hpgs_new_plotsize_device(1, 1), 0, 0));
  int rc = 0;
  std::thread reader([&] { rc = hpgs_read(r.get(), HPGS_TRUE); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  auto t0 = Clock::now();
  hpgs_reader_interrupt(r.get());
  reader.join();
  EXPECT_LT(seconds_since(t0), 1.0);
  EXPECT_EQ(rc, -1);
}

}  // namespace
