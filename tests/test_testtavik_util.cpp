// The driver's own services: random source, time arithmetic, cycle counter, log writers,
// hex printing, time stamp and trimming.
#include "testtavik_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "random_source_cases.h"
#include "testtavik_seam.h"

INSTANTIATE_TEST_SUITE_P(Driver, RandomSourceTest,
                         ::testing::Values(RandomSource{"test_getrandombytes", test_getrandombytes,
                                                        &test_random_platform, test_random_seam_fd,
                                                        test_random_seam_reset}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(DriverRandom, FallbackOpensTheDeviceEvenForLengthZero) {
  test_random_seam_reset();
  random_fake::log = {};
  test_random_platform = random_fake::FAKE;
  uint8_t buf[4] = {1, 2, 3, 4};
  random_fake::log.base = buf;
  test_fallbackrandombytes(buf, 0);
  EXPECT_EQ(random_fake::log.open_paths.size(), 1u);
  EXPECT_TRUE(random_fake::log.reads.empty());
  EXPECT_EQ(test_random_seam_fd(), random_fake::FAKE_FD);
  // Used directly it reads the device only, never the system call.
  test_fallbackrandombytes(buf, 4);
  EXPECT_EQ(random_fake::log.open_paths.size(), 1u);
  EXPECT_EQ(random_fake::log.reads.size(), 1u);
  EXPECT_TRUE(random_fake::log.syscalls.empty());
  EXPECT_EQ(test_random_seam_reset(), random_fake::FAKE_FD);
}

TEST(DriverTime, TimevalsubGivesTheDistanceAndTheOrder) {
  struct Case {
    timeval x, y, want;
    int32_t ret;
  } cases[] = {
      {{5, 900000}, {7, 100000}, {1, 200000}, 0},
      {{7, 100000}, {5, 900000}, {1, 200000}, 1},
      {{4, 250}, {4, 250}, {0, 0}, 0},
      {{3, 200}, {3, 100}, {0, 100}, 1},  // same second, second value earlier
      {{3, 100}, {3, 200}, {0, 100}, 0},
      {{1, 0}, {4, 999999}, {3, 999999}, 0},
      {{1, 999999}, {2, 0}, {0, 1}, 0},
      {{1700000000, 5}, {1600000000, 6}, {99999999, 999999}, 1},
  };
  for (const auto &c : cases) {
    timeval r = {-1, -1};
    EXPECT_EQ(test_timevalsub(&r, &c.x, &c.y), c.ret) << c.x.tv_sec << "." << c.x.tv_usec;
    EXPECT_EQ(r.tv_sec, c.want.tv_sec) << c.x.tv_sec << "." << c.x.tv_usec;
    EXPECT_EQ(r.tv_usec, c.want.tv_usec) << c.x.tv_sec << "." << c.x.tv_usec;
  }
}

TEST(DriverTime, TimevaladdCarriesOnce) {
  struct Case {
    timeval acc, add, want;
  } cases[] = {
      {{3, 999999}, {0, 1}, {4, 0}},
      {{3, 500000}, {1, 499999}, {4, 999999}},
      {{3, 999999}, {2, 999999}, {6, 999998}},
      {{0, 0}, {0, 0}, {0, 0}},
      {{10, 1}, {5, 999999}, {16, 0}},
  };
  for (auto c : cases) {
    EXPECT_EQ(test_timevaladd(&c.acc, &c.add), 0);
    EXPECT_EQ(c.acc.tv_sec, c.want.tv_sec);
    EXPECT_EQ(c.acc.tv_usec, c.want.tv_usec);
  }
}

TEST(DriverTime, CpucyclesDoesNotGoBackwards) {
  uint64_t prev = test_cpucycles();
  for (int i = 0; i < 100; ++i) {
    const uint64_t now = test_cpucycles();
    EXPECT_GE(now, prev);
    prev = now;
  }
}

class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tavik_writer_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string path(const std::string &name) const { return dir_ + "/" + name; }
  static std::string contents(const std::string &p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  static bool exists(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
  }
  std::string dir_;
};

TEST_F(WriterTest, LinesAreAppendedInOrder) {
  const std::string p = path("tavik_c_test_result.txt");
  {
    std::ofstream(p) << "earlier run\n";
  }
  const uint8_t sig[] = {0x00, 0x0F, 0xA0, 0xFF};
  const uint8_t one[] = {0x5A};
  EXPECT_TRUE(test_writef(p.c_str(), "[%s]begin %d", "stamp", 7));
  EXPECT_TRUE(test_writef(p.c_str(), "header\n"));  // leaves an empty line
  EXPECT_TRUE(test_writehexf(p.c_str(), sig, 4, "signature value:"));
  EXPECT_TRUE(test_writehexf(p.c_str(), sig, 0, "empty:"));
  EXPECT_TRUE(test_writehexf(p.c_str(), sig, -3, "negative:"));
  EXPECT_TRUE(test_writehexf(p.c_str(), one, 1, "key %d:", 2));
  EXPECT_TRUE(test_writef(p.c_str(), "%s", ""));
  EXPECT_EQ(contents(p),
            "earlier run\n"
            "[stamp]begin 7\n"
            "header\n\n"
            "signature value:000FA0FF\n"
            "empty:\n"
            "negative:\n"
            "key 2:5A\n"
            "\n");
}

TEST_F(WriterTest, HexTextCoversEveryByteValue) {
  const std::string p = path("all.txt");
  uint8_t data[256];
  std::string want = "all:";
  for (int i = 0; i < 256; ++i) {
    data[i] = uint8_t(i);
    want += "0123456789ABCDEF"[i >> 4];
    want += "0123456789ABCDEF"[i & 15];
  }
  EXPECT_TRUE(test_writehexf(p.c_str(), data, 256, "all:"));
  EXPECT_EQ(contents(p), want + "\n");
}

TEST_F(WriterTest, UnwritableTargetsReturnFalse) {
  const std::string missing = path("no_such_dir/log.txt");
  const uint8_t b[] = {1};
  EXPECT_FALSE(test_writef(missing.c_str(), "line %d", 1));
  EXPECT_FALSE(test_writehexf(missing.c_str(), b, 1, "label:"));
  EXPECT_FALSE(exists(path("no_such_dir")));
  // A directory cannot be opened for appending.
  EXPECT_FALSE(test_writef(dir_.c_str(), "line"));
  EXPECT_FALSE(test_writehexf(dir_.c_str(), b, 1, "label:"));
  // The open succeeds but the data never reaches the device.
  if (exists("/dev/full")) {
    EXPECT_FALSE(test_writef("/dev/full", "line %d", 1));
    EXPECT_FALSE(test_writehexf("/dev/full", b, 1, "label:"));
  }
}

TEST(DriverPrint, PrinthexPrintsLabelHexAndNewline) {
  const uint8_t data[] = {0x00, 0xAB, 0x7F, 0x10};
  struct Case {
    const char *label;
    uint64_t len;
    const char *want;
  } cases[] = {
      {"pk:", 4, "pk:00AB7F10\n"},
      {nullptr, 4, "00AB7F10\n"},
      {"msg:", 0, "msg:\n"},
      {nullptr, 0, "\n"},
      {"100%s:", 1, "100%s:00\n"},  // the label is printed as text, not as a format
  };
  for (const auto &c : cases) {
    testing::internal::CaptureStdout();
    const int32_t r = test_printhex(c.label, data, c.len);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.want);
    EXPECT_EQ(r, 1);
  }
}

TEST(DriverClock, MicrotimeIsTheCurrentLocalTimeIn24Characters) {
  char buf[65];
  std::memset(buf, 'x', sizeof buf);
  const time_t before = time(nullptr);
  test_getmicrotime(buf);
  const time_t after = time(nullptr);
  ASSERT_EQ(std::strlen(buf), 24u);
  EXPECT_EQ(buf[25], 'x') << "nothing written past the terminator";
  EXPECT_TRUE(std::regex_match(buf, std::regex(R"(\d{8}-\d\d:\d\d:\d\d\.\d{6})"))) << buf;
  bool matched = false;
  for (time_t t = before; t <= after && !matched; ++t) {
    char want[32];
    std::strftime(want, sizeof want, "%Y%m%d-%H:%M:%S", localtime(&t));
    matched = std::string(buf, 17) == want;
  }
  EXPECT_TRUE(matched) << buf;
}

TEST(DriverTrim, TrimsTheGivenCharacterInPlace) {
  enum Fn { L, R, B };
  struct Case {
    Fn fn;
    const char *in;
    int32_t c;
    const char *want;
  } cases[] = {
      {L, "\n\n", '\n', "\n\n"},  // only c: ltrim leaves it as it is
      {B, "\n\n", '\n', ""},
      {R, "\n\n", '\n', ""},
      {L, "", '\n', ""},
      {R, "", '\n', ""},
      {B, "", '\n', ""},
      {L, "\n\nab\n", '\n', "ab\n"},
      {R, "\nab\n\n", '\n', "\nab"},
      {B, "\n 7 \r\n", '\n', " 7 \r"},  // spaces and carriage returns stay
      {B, "  a b  ", ' ', "a b"},
      {B, "q", '\n', "q"},
      {R, "x", 'x', ""},
      {L, "x", 'x', "x"},
      {B, "abc", 'b', "abc"},
  };
  for (const auto &c : cases) {
    char buf[32];
    std::memset(buf, '#', sizeof buf);
    std::strcpy(buf, c.in);
    const size_t in_len = std::strlen(c.in);
    if (c.fn == L) test_ltrim(buf, c.c);
    if (c.fn == R) test_rtrim(buf, c.c);
    if (c.fn == B) test_trim(buf, c.c);
    EXPECT_STREQ(buf, c.want) << "fn " << c.fn << " on \"" << c.in << "\"";
    EXPECT_EQ(buf[in_len + 1], '#') << "wrote past the original string";
  }
  test_ltrim(nullptr, '\n');
  test_rtrim(nullptr, '\n');
  test_trim(nullptr, '\n');
}

TEST(BackendEnv, UnknownValuesAreNamedOnTheGivenStream) {
  const char *before = std::getenv("TAVIK_BACKEND");
  const std::string saved = before ? before : "";
  struct Case {
    const char *value;  // nullptr: unset
    int32_t ret;
    const char *printed;
  };
  const Case cases[] = {
      {nullptr, 0, ""},
      {"scalar", 0, ""},
      {"avx2", 0, ""},
      {"avx512", 0, ""},
      {"AVX2", -1, "TAVIK_BACKEND=AVX2 names no path (scalar, avx2, avx512, neon, simd128); using the best available one\n"},
      {"", -1, "TAVIK_BACKEND= names no path (scalar, avx2, avx512, neon, simd128); using the best available one\n"},
  };
  for (const Case &c : cases) {
    if (c.value) setenv("TAVIK_BACKEND", c.value, 1);
    else unsetenv("TAVIK_BACKEND");
    char *text = nullptr;
    size_t size = 0;
    FILE *err = open_memstream(&text, &size);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(test_check_backend_env(err), c.ret) << (c.value ? c.value : "(unset)");
    fclose(err);
    EXPECT_EQ(std::string(text, size), c.printed);
    free(text);
  }
  if (before) setenv("TAVIK_BACKEND", saved.c_str(), 1);
  else unsetenv("TAVIK_BACKEND");
  const char *lanes_before = std::getenv("TAVIK_LANES");
  const std::string lanes_saved = lanes_before ? lanes_before : "";
  for (const Case &c : {Case{"8", 0, ""}, Case{"16", -1, "TAVIK_LANES=16 is neither 4 nor 8; the width is measured\n"}}) {
    setenv("TAVIK_LANES", c.value, 1);
    char *text = nullptr;
    size_t size = 0;
    FILE *err = open_memstream(&text, &size);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(test_check_backend_env(err), c.ret) << c.value;
    fclose(err);
    EXPECT_EQ(std::string(text, size), c.printed);
    free(text);
  }
  if (lanes_before) setenv("TAVIK_LANES", lanes_saved.c_str(), 1);
  else unsetenv("TAVIK_LANES");
}
