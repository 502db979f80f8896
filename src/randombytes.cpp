#include "randombytes.h"

#include <fcntl.h>

#include "randombytes_seam.h"

namespace tavik {

RandomPlatform randombytes_platform = REAL_RANDOM_PLATFORM;

namespace {

// Largest piece read from the device at once.
constexpr uint64_t DEVICE_PIECE = 1048576;

// Descriptor of "/dev/urandom" of `randombytes`: -1 until first needed, then open for good.
int32_t fd = -1;

const RandomSource SCHEME_SOURCE = {&randombytes_platform, &fd};

}  // namespace

void random_device_fill(const RandomSource &src, uint8_t *buf, uint64_t len) {
  while (*src.fd == -1) {
    *src.fd = src.platform->open("/dev/urandom", O_RDONLY);
    if (*src.fd == -1) src.platform->sleep(1);
  }
  while (len > 0) {
    const uint64_t want = len < DEVICE_PIECE ? len : DEVICE_PIECE;
    const ssize_t got = src.platform->read(*src.fd, buf, want);
    if (got < 1) {
      src.platform->sleep(1);
      continue;
    }
    buf += got;
    len -= static_cast<uint64_t>(got);
  }
}

void random_fill(const RandomSource &src, uint8_t *buf, uint64_t len) {
  uint64_t done = 0;
  while (done < len) {
    const int32_t got = static_cast<int32_t>(src.platform->syscall3(GETRANDOM_SYSCALL, buf + done, len - done, 0));
    if (got < 0) {
      random_device_fill(src, buf + done, len - done);
      return;
    }
    done += static_cast<uint64_t>(got);
  }
}

// Fills buf[0..len) from getrandom (flags 0); a failing call hands the missing bytes to the device.
void randombytes(uint8_t *buf, uint64_t len) { random_fill(SCHEME_SOURCE, buf, len); }

int32_t randombytes_seam_fd() { return fd; }

int32_t randombytes_seam_reset() {
  randombytes_platform = REAL_RANDOM_PLATFORM;
  const int32_t old = fd;
  fd = -1;
  return old;
}

}  // namespace tavik
