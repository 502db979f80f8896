// Cases shared by the two random sources (the scheme's `randombytes` and the driver's
// `test_getrandombytes`): each suite instantiates RandomSourceTest with its source.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <ostream>
#include <string>
#include <vector>

#include "randombytes_seam.h"

struct RandomSource {
  const char *name;
  void (*fill)(uint8_t *buf, uint64_t len);
  tavik::RandomPlatform *platform;
  int32_t (*fd)();
  int32_t (*reset)();
};
inline void PrintTo(const RandomSource &s, std::ostream *os) { *os << s.name; }

namespace random_fake {

constexpr int FAKE_FD = 4242;

struct Call {
  long number;  // system-call number (syscall) or descriptor (read)
  size_t offset;
  size_t len;
  unsigned flags;
};

// Scripted platform: every call is recorded; results come from the scripts, then "all of it".
struct Log {
  const uint8_t *base = nullptr;
  std::deque<long> syscall_script;  // >= 0: deliver that many bytes; < 0: fail with errno -value
  std::deque<long> read_script;     // > 0: deliver that many bytes; 0: end of file; < 0: errno -value
  std::deque<bool> fstat_script;    // false: the descriptor is no longer the device; then always true
  int open_failures = 0;            // opens that fail before one succeeds
  std::vector<Call> syscalls, reads;
  std::vector<std::string> open_paths;
  std::vector<int> open_flags;
  int sleeps = 0;
  int fstats = 0;
};
inline Log log;

// Position of p in the buffer under test (the base is only a reference point).
inline size_t offset(const uint8_t *p) { return size_t(reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(log.base)); }

// Bytes delivered by the i-th system call / the i-th device read.
inline uint8_t syscall_byte(size_t i) { return uint8_t(0x10 + i); }
inline uint8_t read_byte(size_t i) { return uint8_t(0x80 + i); }

inline long syscall3(long number, void *buf, size_t len, unsigned flags) {
  const auto *p = static_cast<const uint8_t *>(buf);
  const size_t index = log.syscalls.size();
  log.syscalls.push_back({number, offset(p), len, flags});
  long r = long(len);
  if (!log.syscall_script.empty()) {
    r = log.syscall_script.front();
    log.syscall_script.pop_front();
  }
  if (r < 0) {
    errno = int(-r);
    return -1;
  }
  r = std::min(r, long(len));
  std::fill_n(static_cast<uint8_t *>(buf), r, syscall_byte(index));
  return r;
}

inline long failing_syscall3(long, void *, size_t, unsigned) {
  errno = ENOSYS;
  return -1;
}

inline int open(const char *path, int flags) {
  log.open_paths.push_back(path);
  log.open_flags.push_back(flags);
  if (log.open_failures > 0) {
    --log.open_failures;
    return -1;
  }
  return FAKE_FD;
}

inline ssize_t read(int fd, void *buf, size_t len) {
  const auto *p = static_cast<const uint8_t *>(buf);
  const size_t index = log.reads.size();
  log.reads.push_back({fd, offset(p), len, 0});
  long r = long(len);
  if (!log.read_script.empty()) {
    r = log.read_script.front();
    log.read_script.pop_front();
  }
  if (r < 0) {
    errno = int(-r);
    return -1;
  }
  if (r == 0) return 0;
  r = std::min(r, long(len));
  std::fill_n(static_cast<uint8_t *>(buf), r, read_byte(index));
  return r;
}

// The fake descriptor is the random device (character device 1:9) unless the script says it no
// longer is; every other descriptor is not open.
inline int fstat(int fd, struct stat *st) {
  ++log.fstats;
  bool device = fd == FAKE_FD;
  if (!log.fstat_script.empty()) {
    device = device && log.fstat_script.front();
    log.fstat_script.pop_front();
  }
  if (!device) {
    errno = EBADF;
    return -1;
  }
  *st = {};
  st->st_mode = S_IFCHR | 0666;
  st->st_rdev = makedev(1, 9);
  return 0;
}

inline unsigned sleep(unsigned) {
  ++log.sleeps;
  return 0;
}

inline const tavik::RandomPlatform FAKE = {syscall3, open, read, sleep, fstat};

}  // namespace random_fake

class RandomSourceTest : public ::testing::TestWithParam<RandomSource> {
 protected:
  void SetUp() override {
    GetParam().reset();
    random_fake::log = {};
  }
  void TearDown() override {
    const int32_t old = GetParam().reset();
    if (real_device_used_ && old >= 0) ::close(old);
  }
  void use_fake() { *GetParam().platform = random_fake::FAKE; }
  void fill(std::vector<uint8_t> &buf, size_t offset, uint64_t len) {
    random_fake::log.base = buf.data();
    GetParam().fill(buf.data() + offset, len);
  }
  bool real_device_used_ = false;
};

constexpr uint8_t GUARD = 0xCC;

TEST_P(RandomSourceTest, ZeroLengthMakesNoCallAndWritesNothing) {
  use_fake();
  std::vector<uint8_t> buf(8, GUARD);
  fill(buf, 4, 0);
  EXPECT_TRUE(random_fake::log.syscalls.empty());
  EXPECT_TRUE(random_fake::log.reads.empty());
  EXPECT_TRUE(random_fake::log.open_paths.empty());
  EXPECT_EQ(buf, std::vector<uint8_t>(8, GUARD));
}

TEST_P(RandomSourceTest, RealSourceFillsExactlyTheRequestedBytes) {
  std::vector<uint8_t> buf(16 + 32 + 16, GUARD);
  fill(buf, 16, 32);
  for (size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(buf[i], GUARD) << i;
    EXPECT_EQ(buf[48 + i], GUARD) << i;
  }
  // 32 random bytes all equal to the guard has probability 2^-256.
  EXPECT_FALSE(std::all_of(buf.begin() + 16, buf.begin() + 48, [](uint8_t b) { return b == GUARD; }));
  EXPECT_EQ(GetParam().fd(), -1) << "the device is opened only when the system call fails";
}

TEST_P(RandomSourceTest, OneCallWithFlagsZeroServesAWholeRequest) {
  use_fake();
  std::vector<uint8_t> buf(4 + 32 + 4, GUARD);
  fill(buf, 4, 32);
  ASSERT_EQ(random_fake::log.syscalls.size(), 1u);
  const auto &c = random_fake::log.syscalls[0];
#if defined(__x86_64__)
  EXPECT_EQ(c.number, 318);
#endif
  EXPECT_EQ(c.offset, 4u);
  EXPECT_EQ(c.len, 32u);
  EXPECT_EQ(c.flags, 0u);
  std::vector<uint8_t> want(4, GUARD);
  want.resize(36, random_fake::syscall_byte(0));
  want.resize(40, GUARD);
  EXPECT_EQ(buf, want);
}

TEST_P(RandomSourceTest, ShortDeliveriesContinueWithTheMissingBytes) {
  use_fake();
  random_fake::log.syscall_script = {5, 0, 10};  // then the rest
  std::vector<uint8_t> buf(40 + 2, GUARD);
  fill(buf, 0, 40);
  const auto &calls = random_fake::log.syscalls;
  ASSERT_EQ(calls.size(), 4u);
  const size_t offsets[] = {0, 5, 5, 15}, lens[] = {40, 35, 35, 25};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(calls[i].offset, offsets[i]) << i;
    EXPECT_EQ(calls[i].len, lens[i]) << i;
  }
  for (size_t i = 0; i < 40; ++i) {
    const uint8_t want = random_fake::syscall_byte(i < 5 ? 0 : i < 15 ? 2 : 3);
    EXPECT_EQ(buf[i], want) << i;
  }
  EXPECT_EQ(buf[40], GUARD);
  EXPECT_EQ(buf[41], GUARD);
  EXPECT_TRUE(random_fake::log.reads.empty());
}

TEST_P(RandomSourceTest, FailureAfterPartialDeliveryHandsTheRestToTheDevice) {
  use_fake();
  random_fake::log.syscall_script = {12, -1};
  std::vector<uint8_t> buf(40 + 2, GUARD);
  fill(buf, 0, 40);
  ASSERT_EQ(random_fake::log.syscalls.size(), 2u);
  ASSERT_EQ(random_fake::log.open_paths.size(), 1u);
  EXPECT_EQ(random_fake::log.open_paths[0], "/dev/urandom");
  EXPECT_EQ(random_fake::log.open_flags[0], O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(random_fake::log.reads.size(), 1u);
  EXPECT_EQ(random_fake::log.reads[0].number, random_fake::FAKE_FD);
  EXPECT_EQ(random_fake::log.reads[0].offset, 12u);
  EXPECT_EQ(random_fake::log.reads[0].len, 28u);
  for (size_t i = 0; i < 40; ++i)
    EXPECT_EQ(buf[i], i < 12 ? random_fake::syscall_byte(0) : random_fake::read_byte(0)) << i;
  EXPECT_EQ(buf[40], GUARD);
  EXPECT_EQ(GetParam().fd(), random_fake::FAKE_FD);

  // The next request tries the system call again, and a new failure reuses the open device.
  random_fake::log.syscall_script = {-1};
  fill(buf, 0, 8);
  EXPECT_EQ(random_fake::log.syscalls.size(), 3u);
  EXPECT_EQ(random_fake::log.open_paths.size(), 1u);
  ASSERT_EQ(random_fake::log.reads.size(), 2u);
  EXPECT_EQ(random_fake::log.reads[1].number, random_fake::FAKE_FD);
  EXPECT_EQ(random_fake::log.reads[1].len, 8u);
}

TEST_P(RandomSourceTest, LargeDeviceRequestsAreReadInPiecesOfAtMostOneMebibyte) {
  use_fake();
  random_fake::log.syscall_script = {-1};
  random_fake::log.read_script = {1000};  // one short read, then full pieces
  const size_t MiB = 1048576, len = 3 * MiB + 100;
  std::vector<uint8_t> buf(len + 1, GUARD);
  fill(buf, 0, len);
  const auto &reads = random_fake::log.reads;
  ASSERT_EQ(reads.size(), 4u);
  const size_t offsets[] = {0, 1000, 1000 + MiB, 1000 + 2 * MiB};
  const size_t lens[] = {MiB, MiB, MiB, len - 1000 - 2 * MiB};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(reads[i].offset, offsets[i]) << i;
    EXPECT_EQ(reads[i].len, lens[i]) << i;
  }
  EXPECT_EQ(buf[999], random_fake::read_byte(0));
  EXPECT_EQ(buf[1000], random_fake::read_byte(1));
  EXPECT_EQ(buf[len - 1], random_fake::read_byte(3));
  EXPECT_EQ(buf[len], GUARD);
}

TEST_P(RandomSourceTest, DeviceIsAwaitedUntilItCanBeOpenedAndRead) {
  use_fake();
  random_fake::log.syscall_script = {-1};
  random_fake::log.open_failures = 3;
  random_fake::log.read_script = {0, -EIO};  // nothing twice, then the bytes
  std::vector<uint8_t> buf(16, GUARD);
  fill(buf, 0, 16);
  EXPECT_EQ(random_fake::log.open_paths.size(), 4u);
  ASSERT_EQ(random_fake::log.reads.size(), 3u);
  for (const auto &r : random_fake::log.reads) {
    EXPECT_EQ(r.number, random_fake::FAKE_FD);
    EXPECT_EQ(r.offset, 0u);
    EXPECT_EQ(r.len, 16u);
  }
  EXPECT_EQ(random_fake::log.sleeps, 5) << "one sleep per failed open and per empty read";
  EXPECT_EQ(buf, std::vector<uint8_t>(16, random_fake::read_byte(2)));
}

TEST_P(RandomSourceTest, RealDeviceServesTheFallbackAndStaysOpen) {
  GetParam().platform->syscall3 = random_fake::failing_syscall3;
  real_device_used_ = true;
  std::vector<uint8_t> buf(64 + 1, GUARD);
  fill(buf, 0, 64);
  const int32_t fd = GetParam().fd();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(buf[64], GUARD);
  EXPECT_FALSE(std::all_of(buf.begin(), buf.begin() + 64, [](uint8_t b) { return b == GUARD; }));
  fill(buf, 0, 64);
  EXPECT_EQ(GetParam().fd(), fd);
}

// Interruptions and short counts call getrandom again; only a lasting failure turns to the device.
TEST_P(RandomSourceTest, OnlyAPermanentFailureTurnsToTheDevice) {
  struct Case {
    std::deque<long> script;
    size_t syscalls, reads;
    int sleeps;  // a count of 0 waits a second before the next call; an interruption does not
  };
  const Case cases[] = {
      {{-EINTR, -EINTR}, 3, 0, 0},  // interrupted twice, then served
      {{7, -EINTR, 0, 9}, 5, 0, 1},
      {{-ENOSYS}, 1, 1, 0},
      {{-EPERM}, 1, 1, 0},
      {{11, -EINTR, -EFAULT}, 3, 1, 0},
  };
  for (const Case &c : cases) {
    GetParam().reset();
    random_fake::log = {};
    use_fake();
    random_fake::log.syscall_script = c.script;
    std::vector<uint8_t> buf(32 + 1, GUARD);
    fill(buf, 0, 32);
    EXPECT_EQ(random_fake::log.syscalls.size(), c.syscalls) << c.script.size();
    EXPECT_EQ(random_fake::log.reads.size(), c.reads) << c.script.size();
    EXPECT_EQ(random_fake::log.sleeps, c.sleeps) << c.script.size();
    EXPECT_EQ(buf[32], GUARD);
  }
}

// The kept descriptor is checked before and after every read: closed, or its number taken by
// another file, it is reopened, and bytes read while it was not the device are not used.
TEST_P(RandomSourceTest, ADescriptorThatIsNoLongerTheDeviceIsReopened) {
  struct Case {
    const char *what;
    std::deque<bool> fstat_script;  // for the second request, after the open of the first
    size_t opens, reads;
  };
  const Case cases[] = {
      {"still the device", {}, 1, 2},
      {"replaced before the read", {false}, 2, 2},
      {"replaced during the read", {true, false, false}, 2, 3},
  };
  for (const Case &c : cases) {
    GetParam().reset();
    random_fake::log = {};
    use_fake();
    random_fake::log.syscall_script = {-ENOSYS, -ENOSYS};
    std::vector<uint8_t> buf(16 + 1, GUARD);
    fill(buf, 0, 16);
    random_fake::log.fstat_script = c.fstat_script;
    fill(buf, 0, 16);
    EXPECT_EQ(random_fake::log.open_paths.size(), c.opens) << c.what;
    ASSERT_EQ(random_fake::log.reads.size(), c.reads) << c.what;
    std::vector<uint8_t> want(16, random_fake::read_byte(c.reads - 1));
    want.push_back(GUARD);
    EXPECT_EQ(buf, want) << c.what;
    EXPECT_EQ(GetParam().fd(), random_fake::FAKE_FD) << c.what;
  }
}

// Many threads falling back at once open the device once and are all served.
TEST_P(RandomSourceTest, ThreadsFallingBackTogetherOpenTheDeviceOnce) {
  use_fake();
  GetParam().platform->syscall3 = random_fake::failing_syscall3;  // records nothing: not locked
  std::vector<std::vector<uint8_t>> bufs(8, std::vector<uint8_t>(64, GUARD));
  random_fake::log.base = nullptr;
  std::vector<std::thread> threads;
  for (auto &b : bufs) threads.emplace_back([&] { GetParam().fill(b.data(), b.size()); });
  for (auto &t : threads) t.join();
  EXPECT_EQ(random_fake::log.open_paths.size(), 1u);
  EXPECT_EQ(random_fake::log.reads.size(), bufs.size());
  for (const auto &b : bufs) EXPECT_NE(b[0], GUARD);
}
