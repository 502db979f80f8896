#include "randombytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "randombytes_seam.h"
#include "tavik.h"

namespace tavik {

RandomPlatform randombytes_platform = REAL_RANDOM_PLATFORM;

namespace {

// Largest piece read from the device at once.
constexpr uint64_t DEVICE_PIECE = 1048576;

// "/dev/urandom" of `randombytes`: not open until first needed, then kept.
RandomDevice device;

// The scheme reports a random source that stays silent instead of waiting for it without end.
const RandomSource SCHEME_SOURCE = {&randombytes_platform, &device, TAVIK_RANDOM_TIMEOUT_SECONDS};

// Interruptions one request retries at once before each further one counts as a wait: a signal
// now and then costs nothing, a source that is interrupted every time still ends.
constexpr uint32_t PROMPT_RETRIES = 64;

// Counts what one request spends without progress against the source's limit: one-second waits,
// and interruptions past the first PROMPT_RETRIES.
struct Waits {
  uint32_t limit, done = 0, interrupted = 0;
  // Sleeps a second; false (without sleeping) once the limit is spent.
  bool wait(const RandomPlatform &p) {
    if (limit != 0 && done >= limit) return false;
    ++done;
    p.sleep(1);
    return true;
  }
  // An interrupted call: retried at once while the prompt retries last, then as wait() says.
  bool interruption(const RandomPlatform &p) {
    if (interrupted < PROMPT_RETRIES) {
      ++interrupted;
      return true;
    }
    return wait(p);
  }
};

// True when fd is still open on the character device numbered rdev.
bool still_the_device(const RandomPlatform &p, int32_t fd, dev_t rdev) {
  struct stat st;
  return p.fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev;
}

// Opens the device, once a second until it opens as a character device, and keeps its
// descriptor and number; false when the waits ran out first. The caller holds the device's lock.
bool open_device(const RandomPlatform &p, RandomDevice &d, Waits &waits) {
  for (;;) {
    const int fd = p.open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd != -1) {
      struct stat st;
      if (p.fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
        d.fd = fd;
        d.rdev = st.st_rdev;
        return true;
      }
      ::close(fd);  // ours: opened just now, and not the device
    }
    if (!waits.wait(p)) return false;
  }
}

// random_device_fill with the waits of the request it serves (random_fill hands over its own).
bool device_fill(const RandomSource &src, uint8_t *buf, uint64_t len, Waits &waits) {
  const RandomPlatform &p = *src.platform;
  RandomDevice &d = *src.device;
  const std::lock_guard<std::mutex> hold(d.lock);
  if (d.fd == -1 && !open_device(p, d, waits)) return false;
  while (len > 0) {
    // A descriptor that is no longer the device was closed behind our back and its number may
    // now belong to another file: it is forgotten (not closed: it is not ours any more).
    if (!still_the_device(p, d.fd, d.rdev)) {
      d.fd = -1;
      if (!open_device(p, d, waits)) return false;
      continue;
    }
    const uint64_t want = len < DEVICE_PIECE ? len : DEVICE_PIECE;
    const ssize_t got = p.read(d.fd, buf, want);
    const int err = errno;
    if (!still_the_device(p, d.fd, d.rdev)) continue;  // these bytes may come from that other file
    if (got < 1) {
      const bool go_on = got < 0 && err == EINTR ? waits.interruption(p) : waits.wait(p);
      if (!go_on) return false;
      continue;
    }
    buf += got;
    len -= static_cast<uint64_t>(got);
  }
  return true;
}

}  // namespace

bool random_device_fill(const RandomSource &src, uint8_t *buf, uint64_t len) {
  Waits waits{src.max_waits};
  return device_fill(src, buf, len, waits);
}

bool random_fill(const RandomSource &src, uint8_t *buf, uint64_t len) {
  const RandomPlatform &p = *src.platform;
  Waits waits{src.max_waits};
  uint64_t done = 0;
  while (done < len) {
    const long got = p.syscall3(GETRANDOM_SYSCALL, buf + done, len - done, 0);
    if (got > 0) {
      done += static_cast<uint64_t>(got);
      continue;
    }
    if (got < 0 && errno != EINTR) return device_fill(src, buf + done, len - done, waits);
    // No bytes: an interruption, or a count of 0, which a filter or an emulation layer can
    // answer for ever. Either counts against the same limit as the device's waits.
    const bool go_on = got < 0 ? waits.interruption(p) : waits.wait(p);
    if (!go_on) return false;
  }
  return true;
}

bool randombytes(uint8_t *buf, uint64_t len) { return random_fill(SCHEME_SOURCE, buf, len); }

bool randombytes_now(uint8_t *buf, uint64_t len) {
  constexpr unsigned GETRANDOM_NONBLOCK = 1;  // GRND_NONBLOCK
  uint64_t done = 0;
  uint32_t interrupted = 0;
  while (done < len) {
    const long got = randombytes_platform.syscall3(GETRANDOM_SYSCALL, buf + done, len - done, GETRANDOM_NONBLOCK);
    if (got > 0) {
      done += static_cast<uint64_t>(got);
      continue;
    }
    if (got == 0 || errno != EINTR || ++interrupted > PROMPT_RETRIES) return false;
  }
  return true;
}

int32_t randombytes_seam_fd() {
  const std::lock_guard<std::mutex> hold(device.lock);
  return device.fd;
}

int32_t randombytes_seam_reset() {
  const std::lock_guard<std::mutex> hold(device.lock);
  randombytes_platform = REAL_RANDOM_PLATFORM;
  const int32_t old = device.fd;
  device.fd = -1;
  return old;
}

}  // namespace tavik
