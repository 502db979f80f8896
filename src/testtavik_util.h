// The driver's own services: random bytes, time arithmetic, cycle counter, trimming,
// time stamps and the log writers. Kept apart from main so the test suites can link them.
#pragma once
#include <sys/time.h>

#include <cstdint>
#include <cstdio>

// Fills buf[0..len) from getrandom, handing the rest to test_fallbackrandombytes on failure.
void test_getrandombytes(uint8_t *buf, uint64_t len);
// Fills buf[0..len) from /dev/urandom only (opens it on first use, even for len 0).
void test_fallbackrandombytes(uint8_t *buf, uint64_t len);
// Unserialised time-stamp counter read.
uint64_t test_cpucycles();
// result = |y - x|; returns 1 when y is earlier than x, else 0. Microseconds in [0, 999999].
int32_t test_timevalsub(struct timeval *result, const struct timeval *x, const struct timeval *y);
// acc += add with one microsecond carry; returns 0.
int32_t test_timevaladd(struct timeval *acc, const struct timeval *add);

// Appends the formatted text and a newline to path ("a+"); false when the line was not written
// (the open failure is also reported to syslog).
bool test_writef(const char *path, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Appends the formatted label, the upper-case hex of data[0..len) and a newline; false when the
// line was not written whole.
bool test_writehexf(const char *path, const uint8_t *data, int32_t len, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
// Prints label (if not null), the hex of data[0..len) and a newline; returns printf's result for the newline.
int32_t test_printhex(const char *label, const uint8_t *data, uint64_t len);

// Writes the local time as "YYYYMMDD-HH:MM:SS.uuuuuu" (24 characters and a NUL) into buf (>= 25 bytes).
void test_getmicrotime(char *buf);
// In-place trimming of the character c at the left, the right, or both ends; null str is ignored.
void test_ltrim(char *str, int32_t c);
void test_rtrim(char *str, int32_t c);
void test_trim(char *str, int32_t c);

// Names an unknown TAVIK_BACKEND value, or a TAVIK_LANES other than 4 or 8, on err (the library
// itself ignores them silently: it takes the best path and measures the width); returns -1 for an
// unknown value, 0 when each variable is unset or valid.
int32_t test_check_backend_env(FILE *err);
