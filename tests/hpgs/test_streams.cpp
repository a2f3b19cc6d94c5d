// Built-in input and output streams and streams implemented outside the
// library.
#include "hpgs.h"
#include "helpers.h"
#include "hpgs_observed.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

std::string temp_path(const char *tag) {
  return std::string(::testing::TempDir()) + "hpgs_stream_" + tag + "_" + std::to_string(getpid());
}

// The first four bytes of a stream over "abcdef": getc, ungetc of the byte
// read, getc again, read and tell.
void check_first_four(hpgs_istream *is) {
  EXPECT_EQ(hpgs_getc(is), 'a');
  EXPECT_EQ(hpgs_ungetc('a', is), 'a');
  EXPECT_EQ(hpgs_getc(is), 'a');
  char buf[8] = {};
  EXPECT_EQ(hpgs_istream_read(buf, 1, 3, is), 3u);
  EXPECT_STREQ(buf, "bcd");
  size_t pos = 0;
  EXPECT_EQ(hpgs_istream_tell(is, &pos), 0);
  EXPECT_EQ(pos, 4u);
}

// The same checks for every built-in input stream over "abcdef".
void check_istream(hpgs_istream *is) {
  ASSERT_NE(is, nullptr);
  check_first_four(is);
  char buf[8] = {};
  EXPECT_EQ(hpgs_istream_read(buf, 1, 8, is), 2u);  // short read at the end
  EXPECT_EQ(hpgs_getc(is), EOF);
  EXPECT_TRUE(hpgs_istream_iseof(is));
  EXPECT_FALSE(hpgs_istream_iserror(is));
  EXPECT_EQ(hpgs_istream_seek(is, 2), 0);
  EXPECT_EQ(hpgs_getc(is), 'c');
  EXPECT_EQ(hpgs_istream_seek(is, 0), 0);
  EXPECT_EQ(hpgs_getc(is), 'a');
  EXPECT_EQ(hpgs_istream_close(is), 0);
}

TEST(HpgsInputStream, MemoryCopyAndBorrowedBehaveAlike) {
  std::string data = "abcdef";
  check_istream(hpgs_new_mem_istream(data.data(), data.size(), HPGS_TRUE));
  check_istream(hpgs_new_mem_istream(data.data(), data.size(), HPGS_FALSE));
}

TEST(HpgsInputStream, FileStream) {
  std::string path = temp_path("in");
  FILE *f = std::fopen(path.c_str(), "wb");
  std::fputs("abcdef", f);
  std::fclose(f);
  check_istream(hpgs_new_file_istream(path.c_str()));
  std::remove(path.c_str());
}

TEST(HpgsInputStream, LargeFileIsReadAcrossBufferBoundaries) {
  std::string path = temp_path("big");
  std::string data;
  for (int i = 0; i < 200000; ++i) data.push_back(static_cast<char>('A' + i % 26));
  FILE *f = std::fopen(path.c_str(), "wb");
  std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
  hpgs_istream *is = hpgs_new_file_istream(path.c_str());
  std::string back;
  for (int c; (c = hpgs_getc(is)) != EOF;) back.push_back(static_cast<char>(c));
  EXPECT_EQ(back, data);
  ASSERT_EQ(hpgs_istream_seek(is, 150000), 0);
  EXPECT_EQ(hpgs_getc(is), data[150000]);
  hpgs_istream_close(is);
  std::remove(path.c_str());
}

TEST(HpgsInputStream, MissingFileNamesTheFile) {
  EXPECT_EQ(hpgs_new_file_istream("/nonexistent/dir/plan.plt"), nullptr);
  std::string err = hpgs_get_error();
  EXPECT_NE(err.find("/nonexistent/dir/plan.plt"), std::string::npos);
  EXPECT_NE(err.find("No such file"), std::string::npos);
}

TEST(HpgsInputStream, SeekBeyondMemoryEndFails) {
  hpgs_istream *is = hpgs_new_mem_istream("ab", 2, HPGS_FALSE);
  EXPECT_EQ(hpgs_istream_seek(is, 3), -1);
  EXPECT_EQ(hpgs_istream_close(is), 0);
  EXPECT_EQ(hpgs_istream_close(nullptr), 0);
}

TEST(HpgsOutputStream, MemoryCollectsPutcWriteAndPrintf) {
  hpgs_ostream *os = hpgs_new_mem_ostream(4);
  hpgs_putc('P', os);
  hpgs_ostream_write("G;", 1, 2, os);
  EXPECT_EQ(hpgs_ostream_printf(os, "PC%d,%d", 1, 255), 7);
  size_t n = 0;
  const unsigned char *d = hpgs_mem_ostream_data(os, &n);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(d), n), "PG;PC1,255");
  size_t pos = 0;
  hpgs_ostream_tell(os, &pos);
  EXPECT_EQ(pos, 10u);
  EXPECT_EQ(hpgs_ostream_close(os), 0);
}

TEST(HpgsOutputStream, FileRoundTripAndOpenError) {
  std::string path = temp_path("out");
  hpgs_ostream *os = hpgs_new_file_ostream(path.c_str());
  ASSERT_NE(os, nullptr);
  hpgs_ostream_printf(os, "\x1b%%1A%s", "IN;");
  EXPECT_EQ(hpgs_mem_ostream_data(os, nullptr), nullptr);  // not a memory stream
  EXPECT_EQ(hpgs_ostream_close(os), 0);
  hpgs_istream *is = hpgs_new_file_istream(path.c_str());
  std::string back;
  for (int c; (c = hpgs_getc(is)) != EOF;) back.push_back(static_cast<char>(c));
  hpgs_istream_close(is);
  EXPECT_EQ(back, "\x1b%1AIN;");
  std::remove(path.c_str());
  EXPECT_EQ(hpgs_new_file_ostream("/nonexistent/dir/out.plt"), nullptr);
  EXPECT_NE(std::string(hpgs_get_error()).find("/nonexistent/dir/out.plt"), std::string::npos);
}

// An input stream implemented outside the library through the public vtable.
struct Counting {
  std::string data;
  size_t pos = 0;
  int getc_calls = 0;
  bool *closed;
};
const hpgs_istream_vtable kCountingVtable = {
    [](void *s) {
      auto *c = static_cast<Counting *>(s);
      ++c->getc_calls;
      return c->pos < c->data.size() ? static_cast<unsigned char>(c->data[c->pos++]) : EOF;
    },
    [](int ch, void *s) {
      auto *c = static_cast<Counting *>(s);
      if (c->pos == 0) return EOF;
      --c->pos;
      return ch;
    },
    [](void *, size_t, size_t, void *) -> size_t { return 0; },
    [](void *s, size_t p) {
      static_cast<Counting *>(s)->pos = p;
      return 0;
    },
    [](void *s, size_t *p) {
      *p = static_cast<Counting *>(s)->pos;
      return 0;
    },
    [](void *s) { return int(static_cast<Counting *>(s)->pos >= static_cast<Counting *>(s)->data.size()); },
    [](void *) { return 0; },
    [](void *s) {
      auto *c = static_cast<Counting *>(s);
      *c->closed = true;
      delete c;
      return 0;
    },
};

TEST(HpgsInputStream, ExternalStreamIsReadOneGetcPerByteAndClosedByTheReader) {
  bool closed = false;
  auto *c = new Counting{"IN;SP1;PU0,0;PD100,0;PG;", 0, 0, &closed};
  hpgs_istream *is = hpgs_new_istream(&kCountingVtable, c);
  hpgs_device *dev = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_FALSE);
  hpgs_reader *r = hpgs_new_reader(is, dev, HPGS_FALSE, 0);
  ASSERT_EQ(hpgs_read(r, HPGS_TRUE), 0);
  // Every byte once, plus the final getc that reports the end.
  EXPECT_EQ(c->getc_calls, static_cast<int>(c->data.size()) + 1);
  hpgs_destroy_reader(r);
  EXPECT_TRUE(closed);
}

// Collects what it is handed, and counts the runs.
struct Collecting : hpgs::ByteObserver {
  std::string *seen;
  int *runs;
  Collecting(std::string *s, int *r) : seen(s), runs(r) {}
  int taken(const unsigned char *p, size_t n) override {
    seen->append(reinterpret_cast<const char *>(p), n);
    ++*runs;
    return 0;
  }
  int flush() override { return 0; }
  bool give_back() override {
    seen->pop_back();
    return true;
  }
  void drop_kept() override {}
  int finish() override { return 0; }
};

TEST(HpgsObservedStream, ReaderScansInPlaceAndTheObserverSeesEveryByteOnceInOrder) {
  // Larger than a file stream's buffer, so that it is refilled under the reader.
  std::string text = "IN;SP1;PA0,0;";
  while (text.size() < 200000) text += "PD" + std::to_string(text.size() % 9973) + ",17 3;PU;";
  text += "PG;";
  const std::string path = temp_path("observed");
  std::ofstream(path, std::ios::binary) << text;
  for (bool file : {true, false}) {
    SCOPED_TRACE(file);
    std::string seen;
    int runs = 0;
    hpgs_istream *in = file ? hpgs_new_file_istream(path.c_str()) : hpgs_new_mem_istream(text.data(), text.size(), HPGS_FALSE);
    hpgs_istream *is = hpgs::new_observed_istream(in, std::make_unique<Collecting>(&seen, &runs));
    ASSERT_NE(is, nullptr);
    EXPECT_NE(hpgs::observer_of(is), nullptr);
    hpgs_reader *r = hpgs_new_reader(is, hpgs_new_plotsize_device(HPGS_TRUE, HPGS_FALSE), HPGS_FALSE, 0);
    ASSERT_EQ(hpgs_read(r, HPGS_TRUE), 0);
    EXPECT_EQ(seen, text);
    // In runs of a buffer, not a call per byte.
    EXPECT_LT(runs, 20);
    hpgs_destroy_reader(r);
  }
  std::remove(path.c_str());
}

TEST(HpgsObservedStream, DirectCallsReportEachByteAndSyncReportsWhatWasLookedAt) {
  const std::string text = "abcdef";
  std::string seen;
  int runs = 0;
  hpgs_istream *is = hpgs::new_observed_istream(hpgs_new_mem_istream(text.data(), text.size(), HPGS_FALSE),
                                                std::make_unique<Collecting>(&seen, &runs));
  EXPECT_EQ(hpgs_getc(is), 'a');
  EXPECT_EQ(hpgs_getc(is), 'b');
  EXPECT_EQ(seen, "ab");
  EXPECT_EQ(hpgs_ungetc('b', is), 'b');  // given back by the observer
  EXPECT_EQ(seen, "a");
  EXPECT_EQ(hpgs_getc(is), 'b');
  char buf[2];
  EXPECT_EQ(hpgs_istream_read(buf, 1, 2, is), 2u);  // a block read is not reported
  EXPECT_EQ(seen, "ab");
  EXPECT_EQ(hpgs::observed_istream_sync(is), 0);
  EXPECT_EQ(hpgs_getc(is), 'e');
  EXPECT_EQ(seen, "abe");
  EXPECT_EQ(hpgs_istream_close(is), 0);
  // Not an observed stream.
  hpgs_istream *plain = hpgs_new_mem_istream(text.data(), text.size(), HPGS_FALSE);
  EXPECT_EQ(hpgs::observer_of(plain), nullptr);
  EXPECT_EQ(hpgs::observed_istream_sync(plain), -1);
  hpgs_istream_close(plain);
}

}  // namespace

// ------------------------------------------------------------ pulled input

namespace {

// Hands out text in pieces of the given sizes (cycled); fails at byte
// fail_at when it is set.
struct Pieces {
  std::string text;
  std::vector<size_t> sizes;
  size_t pos = 0, next = 0, calls = 0;
  size_t fail_at = std::string::npos;
  static long pull(void *ctx, const unsigned char **data) {
    auto *p = static_cast<Pieces *>(ctx);
    ++p->calls;
    if (p->pos >= p->fail_at) return -1;
    if (p->pos >= p->text.size()) return 0;
    size_t n = std::min(p->sizes[p->next++ % p->sizes.size()], p->text.size() - p->pos);
    if (p->fail_at != std::string::npos) n = std::min(n, p->fail_at - p->pos);
    *data = reinterpret_cast<const unsigned char *>(p->text.data() + p->pos);
    p->pos += n;
    return static_cast<long>(n);
  }
};

hpgs_bbox plot_size(hpgs_istream *in) {
  hpgs_bbox box{};
  hpgs_device *measure = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
  hpgs_reader *r = hpgs_new_reader(in, measure, HPGS_FALSE, 0);
  EXPECT_NE(r, nullptr) << hpgs_get_error();
  if (!r) return box;
  EXPECT_EQ(hpgs_read(r, HPGS_TRUE), 0) << hpgs_get_error();
  EXPECT_EQ(hpgs_getplotsize(measure, 1, &box), 0);
  hpgs_destroy_reader(r);
  return box;
}

}  // namespace

TEST(HpgsPulledStream, BehavesLikeTheOtherStreamsAcrossPieces) {
  for (size_t piece : {1, 2, 6}) {
    SCOPED_TRACE(piece);
    Pieces p{"abcdef", {piece}};
    hpgs_istream *is = hpgs_new_pull_istream(Pieces::pull, &p, "pieces");
    ASSERT_NE(is, nullptr);
    check_first_four(is);
    char buf[8] = {};
    size_t pos = 0;
    // Going back is refused; staying where it is is not.
    EXPECT_EQ(hpgs_istream_seek(is, 4), 0);
    EXPECT_EQ(hpgs_istream_seek(is, 0), -1);
    EXPECT_NE(std::string(hpgs_get_error()).find("pieces"), std::string::npos) << hpgs_get_error();
    EXPECT_EQ(hpgs_getc(is), 'e');
    EXPECT_EQ(hpgs_ungetc('x', is), 'x');  // not the byte read: held apart
    EXPECT_EQ(hpgs_getc(is), 'x');
    EXPECT_EQ(hpgs_istream_read(buf, 1, 8, is), 1u);  // short read at the end
    EXPECT_EQ(buf[0], 'f');
    EXPECT_EQ(hpgs_getc(is), EOF);
    EXPECT_TRUE(hpgs_istream_iseof(is));
    EXPECT_FALSE(hpgs_istream_iserror(is));
    EXPECT_EQ(hpgs_istream_tell(is, &pos), 0);
    EXPECT_EQ(pos, 6u);
    EXPECT_EQ(hpgs_istream_close(is), 0);
  }
  EXPECT_EQ(hpgs_new_pull_istream(nullptr, nullptr, nullptr), nullptr);
}

// The reader scans the pieces in place: numbers, commands and labels cut
// anywhere between two pieces read as from the file.
TEST(HpgsPulledStream, DrawingsMeasureAsFromTheirFilesHoweverThePiecesFall) {
  for (const char *name : {"pu_big_harmonograph.hpgl", "pu_plotfont_gothic.hpgl", "syn_pe_encoded.hpgl",
                           "syn_rtl_raster.hpgl", "gp_pcl5_area.hpgl", "syn_pjl_frame.hpgl"}) {
    SCOPED_TRACE(name);
    std::ifstream f(hpgs_test::data_file(name), std::ios::binary);
    ASSERT_TRUE(f) << name;
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const hpgs_bbox want = plot_size(hpgs_new_file_istream(hpgs_test::data_file(name).c_str()));
    for (const std::vector<size_t> &sizes : std::vector<std::vector<size_t>>{{4096}, {1}, {3, 7, 1, 4093}, {65536}}) {
      Pieces p{text, sizes};
      const hpgs_bbox got = plot_size(hpgs_new_pull_istream(Pieces::pull, &p, name));
      EXPECT_EQ(got.llx, want.llx);
      EXPECT_EQ(got.lly, want.lly);
      EXPECT_EQ(got.urx, want.urx);
      EXPECT_EQ(got.ury, want.ury);
      if (sizes[0] == 4096) {
        EXPECT_LE(p.calls, text.size() / 4096 + 3) << "one call a piece";
      }
    }
  }
}

TEST(HpgsPulledStream, AFailedPullIsAReadErrorNamingTheInput) {
  Pieces p{"IN;SP1;PA0,0;PD100,100;PU;PD200,200;", {5}};
  p.fail_at = 20;
  hpgs_reader *r = hpgs_new_reader(hpgs_new_pull_istream(Pieces::pull, &p, "drawing.plt"),
                                   hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE), HPGS_FALSE, 0);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(hpgs_read(r, HPGS_TRUE), -1);
  EXPECT_NE(std::string(hpgs_get_error()).find("Read error in the input stream 'drawing.plt' after 20 bytes"),
            std::string::npos)
      << hpgs_get_error();
  hpgs_destroy_reader(r);
}
