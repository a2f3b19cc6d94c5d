// Coordinates are scanned straight from the stream's buffer where it holds
// a whole run of digits and byte by byte elsewhere; both ways must give the
// same values, also for digit runs longer than one scan and for numbers
// split by the file stream's buffer refills.
#include "paint_helpers.h"
#include "recording_device.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
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

namespace {

// Hands out the bytes of a memory stream one getc at a time: a stream the
// reader cannot scan in place.
const hpgs_istream_vtable kByteByByte = {
    [](void *s) { return hpgs_getc(static_cast<hpgs_istream *>(s)); },
    [](int c, void *s) { return hpgs_ungetc(c, static_cast<hpgs_istream *>(s)); },
    [](void *p, size_t size, size_t n, void *s) { return hpgs_istream_read(p, size, n, static_cast<hpgs_istream *>(s)); },
    [](void *s, size_t p) { return hpgs_istream_seek(static_cast<hpgs_istream *>(s), p); },
    [](void *s, size_t *p) { return hpgs_istream_tell(static_cast<hpgs_istream *>(s), p); },
    [](void *s) { return hpgs_istream_iseof(static_cast<hpgs_istream *>(s)); },
    [](void *s) { return hpgs_istream_iserror(static_cast<hpgs_istream *>(s)); },
    [](void *s) { return hpgs_istream_close(static_cast<hpgs_istream *>(s)); },
};

struct Calls {
  std::vector<Call> calls;
  bool ok = false;
};

Calls read_calls(hpgs_istream *in) {
  Calls out;
  RecordingDevice *rec = new_recording_device();
  rec->caps = HPGS_DEVICE_CAP_VECTOR;
  ReaderPtr r(hpgs_new_reader(in, &rec->base, HPGS_FALSE, 0));  // owns rec
  out.ok = hpgs_read(r.get(), HPGS_TRUE) == 0;
  out.calls = rec->calls;
  return out;
}

// Same calls with the same numbers, bit for bit (the sign of zero too).
void expect_same_calls(const Calls &a, const Calls &b, const char *what) {
  ASSERT_TRUE(a.ok && b.ok) << what;
  ASSERT_EQ(a.calls.size(), b.calls.size()) << what;
  for (size_t i = 0; i < a.calls.size(); ++i) {
    ASSERT_EQ(a.calls[i].name, b.calls[i].name) << what << " call " << i;
    ASSERT_EQ(a.calls[i].args.size(), b.calls[i].args.size()) << what << " call " << i;
    if (!a.calls[i].args.empty()) {
      ASSERT_EQ(std::memcmp(a.calls[i].args.data(), b.calls[i].args.data(), a.calls[i].args.size() * sizeof(double)), 0)
          << what << " call " << i << " (" << a.calls[i].name << ")";
    }
  }
}

// Every form a parameter takes, scanned in place from memory and file
// buffers and byte by byte from a stream without a buffer: signs, zeros of
// both signs, fractions without integer digits or without fraction digits,
// leading zeros, more digits than a mantissa holds on either side of the
// point, values beyond the coordinate range, exponents, lone signs and
// points, quoted text. The file is long enough to split numbers at its
// buffer refills and at the reader's interruption checks.
TEST(HpgsNumberScan, InPlaceAndByteByByteReadingsAgreeBitForBit) {
  const char *forms[] = {"0", "-0", "+0", "7", "-12", "+34", "0005", "12.5", "-0.125", ".5", "-.75", "+.0", "5.",
                         "-3.", "-0.0", "123456789012345678", "1234567890123456789",
                         "1234567890123456789012345678901234567890", "0.1234567890123456789012",
                         "-98765432109876543.21", "000000000000000000000001.5", "1073741824", "1073741825",
                         "-99999999999", "12.34567890123456789", "3.14159265358979323846", "123456.7890123456789",
                         "0.00000000000000000000000000000001", "000000000000000000000000000000000005", "1e3", "2.5E-2", "-4e+1", "0.30000000000000004", "4.48966e-09", "9999.9999"};
  const char *seps[] = {",", " ", ", ", "\t", "\r\n", ",,", " - ", " . ", ",\"text\","};
  std::string body;
  const size_t nf = sizeof forms / sizeof *forms, ns = sizeof seps / sizeof *seps;
  for (size_t i = 0; body.size() < 300000; ++i) {
    // Pen down, pen up and polygon commands, absolute and relative, and
    // a circle whose radius and chord take the same forms.
    const size_t kind = i % 5;
    std::string cmd = kind == 0 ? "PD" : kind == 1 ? "PU" : kind == 2 ? "PR" : kind == 3 ? "PA" : "CI";
    if (kind == 3 && i % 10 == 3) body += "PM0;";
    body += cmd;
    const size_t count = kind == 4 ? 2 : 2 * (1 + i % 7);
    for (size_t k = 0; k < count; ++k) {
      if (k) body += seps[(i + k) % ns];
      body += forms[(i * 7 + k * 3) % nf];
    }
    body += kind == 3 && i % 10 == 3 ? ";PM2;EP;" : ";";
    body.append(i % 13, ' ');  // shifts the next numbers against the buffer edges
  }
  const std::string text = "IN;SP1;PW0.1;" + body + "PU;";
  const std::string path = temp_path("number_forms.hpgl");
  std::ofstream(path, std::ios::binary) << text;

  const Calls ref = read_calls(hpgs_new_istream(&kByteByByte, mem(text)));
  ASSERT_GT(ref.calls.size(), 10000u);
  expect_same_calls(ref, read_calls(mem(text)), "memory");
  expect_same_calls(ref, read_calls(hpgs_new_file_istream(path.c_str())), "file");
  std::remove(path.c_str());

  // A few values checked outright (72/1016 points per plotter unit).
  const Calls some = read_calls(mem("IN;SP1;PU0,0;PD12.5,-.75,+.5,5.,1073741825,-0;"));
  std::vector<Call> lines;
  for (const Call &c : some.calls)
    if (c.name == "lineto") lines.push_back(c);
  ASSERT_EQ(lines.size(), 3u);
  const double k = 72.0 / 1016.0;
  EXPECT_EQ(lines[0].args[0], 12.5 * k);
  EXPECT_EQ(lines[0].args[1], -0.75 * k);
  EXPECT_EQ(lines[1].args[0], 0.5 * k);
  EXPECT_EQ(lines[1].args[1], 5.0 * k);
  EXPECT_EQ(lines[2].args[0], 1073741824.0 * k);  // clamped to 2^30
  EXPECT_EQ(lines[2].args[1], 0.0);
}

}  // namespace
