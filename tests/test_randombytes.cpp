// The scheme's random source, through its test seam, and on the real device.
#include "randombytes.h"

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <deque>

#include "params.h"
#include "random_source_cases.h"
#include "tavik.h"

INSTANTIATE_TEST_SUITE_P(Scheme, RandomSourceTest,
                         ::testing::Values(RandomSource{"randombytes",
                                                        [](uint8_t *b, uint64_t n) { (void)tavik::randombytes(b, n); },
                                                        &tavik::randombytes_platform,
                                                        tavik::randombytes_seam_fd,
                                                        tavik::randombytes_seam_reset}),
                         [](const auto &info) { return std::string(info.param.name); });

namespace {

using Pk = std::array<uint8_t, tavik::PK_BYTES>;
using Sk = std::array<uint8_t, tavik::SK_BYTES>;

// A closed device descriptor whose number now belongs to /dev/zero is not read: the keys that
// follow are neither the keys of 32 zero bytes nor equal to each other.
TEST(RandomDevice, AReusedDescriptorNumberIsNotRead) {
  tavik::randombytes_seam_reset();
  tavik::randombytes_platform.syscall3 = random_fake::failing_syscall3;
  Pk pk, pk2, zero_pk;
  Sk sk, sk2, zero_sk;
  const uint8_t zero_seed[tavik::SEED_BYTES] = {};
  ASSERT_EQ(sig_keygen_from_seed(zero_pk.data(), zero_sk.data(), zero_seed), 0);
  ASSERT_EQ(sig_keygen(pk.data(), sk.data()), 0);
  const int kept = tavik::randombytes_seam_fd();
  ASSERT_GE(kept, 0);
  EXPECT_NE(::fcntl(kept, F_GETFD) & FD_CLOEXEC, 0) << "the device is opened with close-on-exec";

  // What a daemon does: close every descriptor, then open a file that takes the number.
  ASSERT_EQ(::close(kept), 0);
  const int zero = ::open("/dev/zero", O_RDONLY);
  ASSERT_GE(zero, 0);
  if (zero != kept) {
    ASSERT_EQ(::dup2(zero, kept), kept);
    ::close(zero);
  }
  ASSERT_EQ(sig_keygen(pk.data(), sk.data()), 0);
  ASSERT_EQ(sig_keygen(pk2.data(), sk2.data()), 0);
  EXPECT_NE(pk, zero_pk);
  EXPECT_NE(pk2, zero_pk);
  EXPECT_NE(pk, pk2);
  const int reopened = tavik::randombytes_seam_reset();
  EXPECT_NE(reopened, kept);
  ::close(kept);
  if (reopened >= 0) ::close(reopened);
}

// A device path that opens as something other than a character device (here a regular file) is
// never read: each such descriptor is closed at once, and with getrandom refused too the source
// reports its failure after its waits instead of handing out the file's bytes.
std::vector<int> opened_files;
int open_regular_file(const char *, int flags) {
  char path[] = "/tmp/tavik_not_a_device_XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd >= 0) {
    ::unlink(path);
    (void)!::write(fd, "not random", 10);
    ::lseek(fd, 0, SEEK_SET);
    (void)flags;
    opened_files.push_back(fd);
  }
  return fd;
}
unsigned no_sleep(unsigned) { return 0; }

TEST(RandomDevice, AnOpenedFileThatIsNoDeviceIsClosedAndNeverRead) {
  tavik::randombytes_seam_reset();
  tavik::randombytes_platform.syscall3 = random_fake::failing_syscall3;
  tavik::randombytes_platform.open = open_regular_file;
  tavik::randombytes_platform.sleep = no_sleep;
  opened_files.clear();
  uint8_t buf[32] = {};
  EXPECT_FALSE(tavik::randombytes(buf, sizeof buf));
  EXPECT_EQ(opened_files.size(), size_t(TAVIK_RANDOM_TIMEOUT_SECONDS) + 1);
  for (int fd : opened_files) {
    errno = 0;
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "descriptor " << fd << " was left open";
    EXPECT_EQ(errno, EBADF);
  }
  for (uint8_t b : buf) EXPECT_EQ(b, 0) << "nothing is written when the source gives up";
  tavik::randombytes_seam_reset();
}

// A source that answers without ever delivering ends after the request's waits with "no random
// bytes", never spinning and never reporting an unfilled buffer as filled. The waits of one
// request are counted together, getrandom's before the device's.
TEST(RandomSource, WhatNeverDeliversEndsAfterTheWaits) {
  constexpr int LIMIT = TAVIK_RANDOM_TIMEOUT_SECONDS;
  const std::deque<long> never(200, 0);
  struct Case {
    const char *what;
    std::deque<long> syscall_script, read_script;
    size_t syscalls, reads;
  };
  std::deque<long> five_zeros_then_enosys(5, 0);
  five_zeros_then_enosys.push_back(-ENOSYS);
  const Case cases[] = {
      {"getrandom answers 0 (a filter's RET_ERRNO(0))", never, {}, LIMIT + 1, 0},
      {"getrandom is always interrupted", std::deque<long>(200, -EINTR), {}, 64 + LIMIT + 1, 0},
      {"the device opens but reads 0", {-ENOSYS}, never, 1, LIMIT + 1},
      {"getrandom answers 0 five times, then the device reads 0", five_zeros_then_enosys, never, 6, LIMIT + 1 - 5},
  };
  for (const Case &c : cases) {
    tavik::randombytes_seam_reset();
    random_fake::log = {};
    tavik::randombytes_platform = random_fake::FAKE;
    random_fake::log.syscall_script = c.syscall_script;
    random_fake::log.read_script = c.read_script;
    uint8_t seed[tavik::SEED_BYTES] = {};
    random_fake::log.base = seed;
    EXPECT_FALSE(tavik::randombytes(seed, sizeof seed)) << c.what << ": an unfilled seed must not be reported filled";
    EXPECT_EQ(random_fake::log.sleeps, LIMIT) << c.what;
    EXPECT_EQ(random_fake::log.syscalls.size(), c.syscalls) << c.what;
    EXPECT_EQ(random_fake::log.reads.size(), c.reads) << c.what;
  }

  // The calls that draw: nothing written, TAVIK_NO_RANDOMNESS.
  uint8_t zero_seed[tavik::SEED_BYTES] = {};
  Pk pk;
  Sk sk;
  ASSERT_EQ(sig_keygen_from_seed(pk.data(), sk.data(), zero_seed), 0);
  random_fake::log = {};
  random_fake::log.syscall_script = {-ENOSYS, -ENOSYS};
  random_fake::log.read_script = std::deque<long>(200, 0);
  Pk pk2;
  Sk sk2;
  pk2.fill(0xA5);
  sk2.fill(0xA5);
  EXPECT_EQ(sig_keygen(pk2.data(), sk2.data()), TAVIK_NO_RANDOMNESS);
  uint8_t sig[tavik::SIG_BYTES];
  std::fill_n(sig, sizeof sig, 0xA5);
  const uint8_t msg[3] = {1, 2, 3};
  EXPECT_EQ(tavik_sign_hedged(sk.data(), msg, sizeof msg, sig), TAVIK_NO_RANDOMNESS);
  EXPECT_TRUE(std::all_of(pk2.begin(), pk2.end(), [](uint8_t b) { return b == 0xA5; }));
  EXPECT_TRUE(std::all_of(sk2.begin(), sk2.end(), [](uint8_t b) { return b == 0xA5; }));
  EXPECT_TRUE(std::all_of(sig, sig + sizeof sig, [](uint8_t b) { return b == 0xA5; }));
  tavik::randombytes_seam_reset();
}

// Installs a filter that answers getrandom with RET_ERRNO(err) and lets every other call through;
// false when the kernel refuses it.
bool filter_getrandom(unsigned err) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | err),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog prog = {static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

int child_sleeps = 0;
unsigned count_sleep(unsigned) {
  ++child_sleeps;
  return 0;
}

// Under a real filter whose getrandom answers 0 bytes (RET_ERRNO(0)), key generation and hedged
// signing end in TAVIK_NO_RANDOMNESS after the source's waits (counted, not slept, through the
// seam) and write nothing.
TEST(RandomSource, AGetrandomThatAnswersZeroEndsInNoRandomness) {
  uint8_t zero_seed[tavik::SEED_BYTES] = {};
  Pk pk;
  Sk sk;
  ASSERT_EQ(sig_keygen_from_seed(pk.data(), sk.data(), zero_seed), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::alarm(30);  // a source that spins ends the child instead of the test run
    if (!filter_getrandom(0)) ::_exit(77);
    uint8_t probe[4];
    if (::syscall(SYS_getrandom, probe, sizeof probe, 0) != 0) ::_exit(2);
    tavik::randombytes_seam_reset();
    tavik::randombytes_platform.sleep = count_sleep;
    Pk pk2;
    Sk sk2;
    pk2.fill(0xA5);
    sk2.fill(0xA5);
    if (sig_keygen(pk2.data(), sk2.data()) != TAVIK_NO_RANDOMNESS) ::_exit(3);
    if (child_sleeps < int(TAVIK_RANDOM_TIMEOUT_SECONDS)) ::_exit(4);  // it waited before giving up
    uint8_t sig[tavik::SIG_BYTES];
    std::fill_n(sig, sizeof sig, 0xA5);
    const uint8_t msg[3] = {1, 2, 3};
    if (tavik_sign_hedged(sk.data(), msg, sizeof msg, sig) != TAVIK_NO_RANDOMNESS) ::_exit(5);
    const auto untouched = [](const uint8_t *p, size_t n) { return std::all_of(p, p + n, [](uint8_t b) { return b == 0xA5; }); };
    if (!untouched(pk2.data(), pk2.size()) || !untouched(sk2.data(), sk2.size()) || !untouched(sig, sizeof sig)) ::_exit(6);
    ::_exit(tavik::randombytes_seam_fd() == -1 ? 0 : 7);  // a count of 0 is no failure: the device is not tried
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "this kernel does not let the test install a seccomp filter";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "child step that failed";
}

// In a child whose getrandom is refused by a seccomp filter (ENOSYS, as on an old kernel or in a
// sandbox), key generation reads the device and still makes distinct, valid keys.
TEST(RandomDevice, KeysUnderASeccompFilterThatDeniesGetrandom) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (!filter_getrandom(ENOSYS)) ::_exit(77);
    uint8_t probe[4];
    if (::syscall(SYS_getrandom, probe, sizeof probe, 0) != -1 || errno != ENOSYS) ::_exit(2);
    tavik::randombytes_seam_reset();
    Pk pk1, pk2;
    Sk sk1, sk2;
    if (sig_keygen(pk1.data(), sk1.data()) != 0 || sig_keygen(pk2.data(), sk2.data()) != 0) ::_exit(3);
    if (pk1 == pk2 || sk1 == sk2) ::_exit(4);
    if (tavik::randombytes_seam_fd() < 0) ::_exit(5);
    uint8_t sig[tavik::SIG_BYTES], msg[3] = {1, 2, 3};
    uint64_t siglen = 0;
    if (sig_sign(sk2.data(), msg, sizeof msg, sig, &siglen) != 0) ::_exit(6);
    ::_exit(sig_verf(pk2.data(), sig, siglen, msg, sizeof msg) == 0 ? 0 : 7);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "this kernel does not let the test install a seccomp filter";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "child step that failed";
}

}  // namespace
