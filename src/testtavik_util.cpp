#include "testtavik_util.h"

#include <syslog.h>
#include <time.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cpu.h"
#include "cpucycles.h"
#include "testtavik_seam.h"

tavik::RandomPlatform test_random_platform = tavik::REAL_RANDOM_PLATFORM;

namespace {

// The driver's "/dev/urandom": not open until first needed, never closed.
tavik::RandomDevice device;

// The driver's own random source: its own calls and device, the scheme's logic; it waits for the
// device as long as it takes, so it always fills the buffer.
const tavik::RandomSource DRIVER_SOURCE = {&test_random_platform, &device, 0};

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

// Opens path for appending and writes the formatted text; *ok tells whether that text was
// written. A file that cannot be opened is reported to the system log (null).
FILE *open_log(const char *path, bool *ok, const char *fmt, va_list args) {
  FILE *fp = std::fopen(path, "a+");
  if (fp == nullptr) {
    syslog(LOG_ERR, "WriteF error: fail to open log file[%s]", path);
    return nullptr;
  }
  *ok = std::vfprintf(fp, fmt, args) >= 0;
  return fp;
}

// Flushes and closes fp; true when ok and both succeed.
bool close_log(FILE *fp, bool ok) {
  ok = std::fflush(fp) == 0 && ok;
  return std::fclose(fp) == 0 && ok;
}

}  // namespace

void test_getrandombytes(uint8_t *buf, uint64_t len) { (void)tavik::random_fill(DRIVER_SOURCE, buf, len); }

void test_fallbackrandombytes(uint8_t *buf, uint64_t len) { (void)tavik::random_device_fill(DRIVER_SOURCE, buf, len); }

int32_t test_random_seam_fd() {
  const std::lock_guard<std::mutex> hold(device.lock);
  return device.fd;
}

int32_t test_random_seam_reset() {
  const std::lock_guard<std::mutex> hold(device.lock);
  test_random_platform = tavik::REAL_RANDOM_PLATFORM;
  const int32_t old = device.fd;
  device.fd = -1;
  return old;
}

uint64_t test_cpucycles() { return tavik::cpucycles(); }

int32_t test_timevalsub(struct timeval *result, const struct timeval *x, const struct timeval *y) {
  const bool y_earlier = y->tv_sec < x->tv_sec || (y->tv_sec == x->tv_sec && y->tv_usec < x->tv_usec);
  const struct timeval *from = y_earlier ? y : x;
  const struct timeval *to = y_earlier ? x : y;
  result->tv_sec = to->tv_sec - from->tv_sec;
  result->tv_usec = to->tv_usec - from->tv_usec;
  if (result->tv_usec < 0) {
    result->tv_usec += 1000000;
    result->tv_sec -= 1;
  }
  return y_earlier ? 1 : 0;
}

int32_t test_timevaladd(struct timeval *acc, const struct timeval *add) {
  const auto usec = acc->tv_usec + add->tv_usec;
  if (usec > 999999) {
    acc->tv_usec = usec - 1000000;
    acc->tv_sec += add->tv_sec + 1;
  } else {
    acc->tv_usec = usec;
    acc->tv_sec += add->tv_sec;
  }
  return 0;
}

bool test_writef(const char *path, const char *fmt, ...) {
  bool ok = false;
  va_list args;
  va_start(args, fmt);
  FILE *fp = open_log(path, &ok, fmt, args);
  va_end(args);
  if (fp == nullptr) return false;
  ok = std::fputc('\n', fp) != EOF && ok;
  return close_log(fp, ok);
}

bool test_writehexf(const char *path, const uint8_t *data, int32_t len, const char *fmt, ...) {
  bool ok = false;
  va_list args;
  va_start(args, fmt);
  FILE *fp = open_log(path, &ok, fmt, args);
  va_end(args);
  if (fp == nullptr) return false;

  // Sized in 64 bits: 2 * len + 1 would overflow int32_t for len above 2^30 - 1.
  const size_t n = len > 0 ? static_cast<size_t>(len) : 0;
  char *hex = static_cast<char *>(std::calloc(2 * n + 1, 1));
  if (hex == nullptr) {
    std::fclose(fp);
    return false;
  }
  for (size_t i = 0; i < n; ++i) {
    hex[2 * i] = HEX_DIGITS[data[i] >> 4];
    hex[2 * i + 1] = HEX_DIGITS[data[i] & 0x0F];
  }
  ok = std::fprintf(fp, "%s\n", hex) >= 0 && ok;
  std::free(hex);
  return close_log(fp, ok);
}

int32_t test_printhex(const char *label, const uint8_t *data, uint64_t len) {
  if (label != nullptr) std::printf("%s", label);
  for (uint64_t i = 0; i < len; ++i) std::printf("%02X", data[i]);
  return std::printf("\n");
}

void test_getmicrotime(char *buf) {
  struct timeval tv = {};
  gettimeofday(&tv, nullptr);
  const time_t secs = tv.tv_sec;
  const struct tm *lt = localtime(&secs);
  // Formatted at full width first; buf receives exactly 24 characters and a NUL, even for a
  // year beyond 9999 or a time the C library cannot convert (then the date reads as zeros).
  char text[96] = {};
  if (lt != nullptr) {
    std::snprintf(text, sizeof text, "%04d%02d%02d-%02d:%02d:%02d.%06ld", lt->tm_year + 1900,
                  lt->tm_mon + 1, lt->tm_mday, lt->tm_hour, lt->tm_min, lt->tm_sec,
                  static_cast<long>(tv.tv_usec));
  } else {
    std::snprintf(text, sizeof text, "00000000-00:00:00.%06ld", static_cast<long>(tv.tv_usec));
  }
  std::memcpy(buf, text, 24);
  buf[24] = '\0';
}

void test_ltrim(char *str, int32_t c) {
  if (str == nullptr) return;
  const char ch = static_cast<char>(c);
  const char *p = str;
  while (*p == ch && *p != '\0') ++p;
  if (*p == '\0') return;
  std::memmove(str, p, std::strlen(p) + 1);
}

void test_rtrim(char *str, int32_t c) {
  if (str == nullptr) return;
  const char ch = static_cast<char>(c);
  size_t len = std::strlen(str);
  while (len > 0 && str[len - 1] == ch) str[--len] = '\0';
}

void test_trim(char *str, int32_t c) {
  test_ltrim(str, c);
  test_rtrim(str, c);
}

int32_t test_check_backend_env(FILE *err) {
  int32_t ret = 0;
  const char *lanes = std::getenv("TAVIK_LANES");
  if (lanes != nullptr && std::strcmp(lanes, "4") != 0 && std::strcmp(lanes, "8") != 0) {
    fprintf(err, "TAVIK_LANES=%s is neither 4 nor 8; the width is measured\n", lanes);
    ret = -1;
  }
  const char *arith = std::getenv("TAVIK_ARITH");
  if (arith != nullptr && std::strcmp(arith, "256") != 0 && std::strcmp(arith, "512") != 0) {
    fprintf(err, "TAVIK_ARITH=%s is neither 256 nor 512; the width is measured\n", arith);
    ret = -1;
  }
  const char *env = std::getenv("TAVIK_BACKEND");
  if (env == nullptr) return ret;
  const tavik::Backend all[] = {tavik::Backend::scalar, tavik::Backend::avx2, tavik::Backend::avx512,
                                tavik::Backend::neon, tavik::Backend::simd128};
  for (tavik::Backend b : all) {
    if (std::strcmp(env, tavik::backend_name(b)) == 0) return ret;
  }
  fprintf(err, "TAVIK_BACKEND=%s names no path (scalar, avx2, avx512, neon, simd128); using the best available one\n", env);
  return -1;
}
