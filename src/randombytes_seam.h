// Test seam of the random sources: the platform calls they make, held as replaceable pointers.
// Left alone, every pointer is the real call and the sources behave exactly as without it.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace tavik {

// System-call number of getrandom: 318 on x86-64, the platform's own number elsewhere.
#if defined(__x86_64__)
inline constexpr long GETRANDOM_SYSCALL = 318;
#else
inline constexpr long GETRANDOM_SYSCALL = SYS_getrandom;
#endif

// The platform calls of one random source.
struct RandomPlatform {
  // Generic system-call entry with three arguments; returns the raw result (-1 and errno on failure).
  long (*syscall3)(long number, void *buf, size_t len, unsigned flags);
  // Opens path with flags; returns a descriptor or -1.
  int (*open)(const char *path, int flags);
  // Reads up to len bytes; returns the count, 0 at end of file or -1 and errno.
  ssize_t (*read)(int fd, void *buf, size_t len);
  // Sleeps for the given number of seconds; returns the seconds left unslept.
  unsigned (*sleep)(unsigned seconds);
  // Describes the file open on fd; returns 0, or -1 when fd is not open.
  int (*fstat)(int fd, struct stat *st);
};

// Real generic system-call entry: syscall(number, buf, len, flags).
inline long real_syscall3(long number, void *buf, size_t len, unsigned flags) {
  return ::syscall(number, buf, len, flags);
}
// Real open(path, flags) (no mode: never creates a file).
inline int real_open(const char *path, int flags) { return ::open(path, flags); }

// The real calls; what every random source starts with.
inline constexpr RandomPlatform REAL_RANDOM_PLATFORM = {real_syscall3, real_open, ::read, ::sleep, ::fstat};

// The device of one random source: its descriptor (-1 until first needed) and the device number
// it had when opened, guarded by one lock.
struct RandomDevice {
  std::mutex lock;
  int32_t fd = -1;
  dev_t rdev = 0;
};

// One random source: its platform calls, its device, and how many one-second waits for the device
// one request may make before it gives up (0: it waits as long as it takes). The scheme and the
// driver each own one; they share the logic, never the state.
struct RandomSource {
  RandomPlatform *platform;
  RandomDevice *device;
  uint32_t max_waits;
};
// Fills buf[0..len) from getrandom (flags 0), calling again after a short count; a count of 0
// waits a second first, and so does an interruption once 64 of the request's were retried at
// once. A permanent failure (any other error) hands the missing bytes, at the current position,
// to random_device_fill, with the waits the request has made so far. Length 0 makes no call.
// False when the request's waits ran out (src.max_waits in all, getrandom's and the device's):
// buf[0..len) then holds no random bytes the caller may use.
bool random_fill(const RandomSource &src, uint8_t *buf, uint64_t len);
// Fills buf[0..len) from "/dev/urandom": opens it once with close-on-exec (even for len 0,
// retrying every second), then reads pieces of at most 1 MiB, sleeping a second after a read
// that yields nothing (an interrupted read: as getrandom's interruptions in random_fill). Before and after every read the kept descriptor must still be the
// character device it was opened as; if not (closed, or its number reused by another file), it
// is forgotten, never closed, the device is opened again and that read's bytes are not used.
// False when src.max_waits waits went by without the request filled.
bool random_device_fill(const RandomSource &src, uint8_t *buf, uint64_t len);

// The calls `randombytes` makes; tests may replace any of them.
extern RandomPlatform randombytes_platform;
// Device descriptor of `randombytes`: -1 until its first fallback.
int32_t randombytes_seam_fd();
// Restores the real calls and forgets the device descriptor without closing it; returns the
// forgotten descriptor (-1 if none) so a test that opened the real device can close it.
int32_t randombytes_seam_reset();

}  // namespace tavik
