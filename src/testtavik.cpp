// The console test and benchmark driver: menu, functional tests, performance tests and the
// automatic performance run. Its services (random bytes, clocks, writers, trimming) are in
// testtavik_util.cpp.
#include "testtavik.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "signature.h"
#include "tavik.h"
#include "testtavik_util.h"
#include "wipe.h"

struct timeval tKeyStart, tSignStart, tVerfStart;
struct timeval tKeyStop, tSignStop, tVerfStop;
struct timeval tKeyDiff, tSignDiff, tVerfDiff;
struct timeval tKeyTotal, tSignTotal, tVerfTotal;
uint64_t lCpuCyKeyStart, lCpuCySignStart, lCpuCyVerfStart;
uint64_t lCpuCyKeyStop, lCpuCySignStop, lCpuCyVerfStop;
uint64_t lCpuCyKeyTotal, lCpuCySignTotal, lCpuCyVerfTotal;

namespace {

constexpr int32_t PK_BYTES = TAVIK_PK_BYTES;
constexpr int32_t SK_BYTES = TAVIK_SK_BYTES;
constexpr int32_t SIG_BYTES = TAVIK_SIG_BYTES;
constexpr int32_t MAX_MSG_BYTES = TAVIK_MAX_MSG_BYTES;

constexpr int INPUT_BUFFER_BYTES = 1024;  // the menu's line buffer
constexpr int INPUT_READ_BYTES = 1023;    // at most 1022 characters and the NUL per read
constexpr int STAMP_BYTES = 65;           // time-stamp buffer

// Failure lines of a measurement, indexed by the failing call (1 keygen, 2 sign, 3 verify).
constexpr const char *FAIL_LINES[4] = {"", "sig_keygen fail!", "sig_sign fail!", "sig_verf fail!"};
constexpr int32_t FAIL_KEYGEN = 1;
constexpr int32_t FAIL_SIGN = 2;
constexpr int32_t FAIL_VERF = 3;

// Wipes a secret-key buffer when the test that owns it returns, on every path.
class WipeOnReturn {
 public:
  WipeOnReturn(void *p, size_t n) : p_(p), n_(n) {}
  WipeOnReturn(const WipeOnReturn &) = delete;
  WipeOnReturn &operator=(const WipeOnReturn &) = delete;
  ~WipeOnReturn() { tavik::secure_wipe(p_, n_); }

 private:
  void *p_;
  size_t n_;
};

// Number of signature bytes to show for a reported length: the length, capped at the buffer
// (SIG_BYTES + 1) so that a wrong report never reads past it.
uint64_t sig_dump_len(uint64_t siglen) {
  return siglen < uint64_t(SIG_BYTES + 1) ? siglen : uint64_t(SIG_BYTES + 1);
}

// Message bytes to fill and show for a length from the caller: len, or 0 when negative.
uint64_t msg_fill_len(int32_t len) { return len > 0 ? uint64_t(len) : 0; }

// Prints "Insufficient test space" with the longest message length.
void print_msg_refused() {
  printf("Insufficient test space,test msg is restricted to %d bytes.\n", MAX_MSG_BYTES);
}

// The reasoning tests' key step: zeroes pk and sk, makes a key pair and shows both. False after
// printing "sig_keygen fail!".
bool keygen_shown(uint8_t *pk, size_t pk_size, uint8_t *sk, size_t sk_size) {
  memset(pk, 0, pk_size);
  memset(sk, 0, sk_size);
  if (sig_keygen(pk, sk) != 0) {
    printf("sig_keygen fail!\n");
    return false;
  }
  test_printhex("gen public key:", pk, PK_BYTES);
  test_printhex("gen private key:", sk, SK_BYTES);
  return true;
}

// The reasoning tests' signing step: a zeroed msg gets fill random bytes, shown; a zeroed sig
// gets the signature of its first len bytes, shown. False after printing "sig_sign fail!".
bool sign_random_shown(const uint8_t *sk, uint8_t *msg, size_t msg_size, uint64_t fill, int32_t len,
                       uint8_t *sig, size_t sig_size, uint64_t *siglen) {
  memset(msg, 0, msg_size);
  test_getrandombytes(msg, fill);
  test_printhex("random msg:", msg, fill);
  memset(sig, 0, sig_size);
  if (sig_sign(sk, msg, uint64_t(int64_t(len)), sig, siglen) != 0) {
    printf("sig_sign fail!\n");
    return false;
  }
  test_printhex("signature value:", sig, sig_dump_len(*siglen));
  return true;
}

// ---- progress indicator of the automatic run (stderr, only while stderr is a terminal) ----

struct Progress {
  bool active;              // drawing enabled for this run
  bool drawn;               // a progress line is on the screen
  const char *phase;        // "time" or "cpucycle"
  int32_t len;              // message length of the current measurement
  int32_t count;            // repetition count of the current measurement
  uint32_t step;            // measurements begun in this run
  uint32_t steps;           // measurements of the whole run
  uint64_t done;            // repetitions finished in this run
  uint64_t total;           // repetitions of the whole run
  struct timespec start;    // start of the run (monotonic)
  struct timespec last;     // last redraw (monotonic)
};
Progress progress;

constexpr int64_t PROGRESS_REDRAW_NS = 250000000;  // at most four redraws a second
constexpr uint64_t PROGRESS_CHECK_MASK = 15;       // look at the clock every 16 repetitions

// Nanoseconds from a to b (b not earlier than a).
int64_t elapsed_ns(const struct timespec &a, const struct timespec &b) {
  return (int64_t(b.tv_sec) - int64_t(a.tv_sec)) * 1000000000 + (int64_t(b.tv_nsec) - int64_t(a.tv_nsec));
}

// Redraws the progress line when the last redraw is at least PROGRESS_REDRAW_NS old (or force).
void progress_draw(bool force) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (!force && progress.drawn && elapsed_ns(progress.last, now) < PROGRESS_REDRAW_NS) return;
  char line[200];
  test_format_progress(line, sizeof line,
                       ProgressView{progress.phase, progress.len, progress.count, progress.step, progress.steps,
                                    progress.done, progress.total, elapsed_ns(progress.start, now) / 1000000000});
  fprintf(stderr, "\r%s\033[K", line);
  fflush(stderr);
  progress.last = now;
  progress.drawn = true;
}

// Starts the indicator for a run of steps measurements and total repetitions when stderr is a
// terminal.
void progress_start(uint32_t steps, uint64_t total) {
  progress = Progress{};
  progress.active = isatty(2) == 1 && total > 0;
  progress.steps = steps;
  progress.total = total;
  progress.phase = "time";
  clock_gettime(CLOCK_MONOTONIC, &progress.start);
}

// Announces the measurement about to run; redraws if due.
void progress_measurement(const char *phase, int32_t len, int32_t count) {
  if (!progress.active) return;
  progress.phase = phase;
  progress.len = len;
  progress.count = count;
  ++progress.step;
  progress_draw(false);
}

// Counts one finished repetition; looks at the clock every few repetitions.
inline void progress_step() {
  if (!progress.active) return;
  ++progress.done;
  if ((progress.done & PROGRESS_CHECK_MASK) == 0) progress_draw(false);
}

// Erases the progress line and stops the indicator.
void progress_stop() {
  if (progress.active && progress.drawn) {
    fputs("\r\033[K", stderr);
    fflush(stderr);
  }
  progress.active = false;
  progress.drawn = false;
}

// ---- measuring loops shared by the interactive and the automatic performance tests ----

// One measured call in wall-clock time, through its named Start, Stop, Diff and Total variables.
struct TimeMeter {
  struct timeval *start, *stop, *diff, *total;
  void reset() const { *total = {0, 0}; }
  void begin() const { gettimeofday(start, nullptr); }
  // Reads the clock first, then adds |stop - start| to the total.
  void end() const {
    gettimeofday(stop, nullptr);
    test_timevalsub(diff, start, stop);
    test_timevaladd(total, diff);
  }
};

// One measured call in time-stamp-counter ticks; the difference (modulo 2^64) goes to Total.
struct CpuMeter {
  uint64_t *start, *stop, *total;
  void reset() const { *total = 0; }
  void begin() const { *start = test_cpucycles(); }
  void end() const {
    *stop = test_cpucycles();
    *total += *stop - *start;
  }
};

// Meters of sig_keygen, sig_sign and sig_verf, in that order.
const TimeMeter TIME_METERS[3] = {{&tKeyStart, &tKeyStop, &tKeyDiff, &tKeyTotal},
                                  {&tSignStart, &tSignStop, &tSignDiff, &tSignTotal},
                                  {&tVerfStart, &tVerfStop, &tVerfDiff, &tVerfTotal}};
const CpuMeter CPU_METERS[3] = {{&lCpuCyKeyStart, &lCpuCyKeyStop, &lCpuCyKeyTotal},
                                {&lCpuCySignStart, &lCpuCySignStop, &lCpuCySignTotal},
                                {&lCpuCyVerfStart, &lCpuCyVerfStop, &lCpuCyVerfTotal}};

// Runs count repetitions of sig_keygen, sig_sign and sig_verf over fresh keys and len-byte random
// messages (1 <= len <= 3300); each meter brackets its call alone and totals it (reset first).
// Returns 0, or FAIL_KEYGEN / FAIL_SIGN / FAIL_VERF at the first failing call.
template <typename Meter>
int32_t measure(const Meter (&m)[3], int32_t count, int32_t len) {
  uint8_t pk[PK_BYTES + 1], sk[SK_BYTES + 1], msg[MAX_MSG_BYTES + 1], sig[SIG_BYTES + 1];
  uint64_t siglen = 0;
  int32_t failed = 0;
  for (const Meter &meter : m) meter.reset();
  for (int32_t i = 0; i < count; ++i) {
    memset(pk, 0, sizeof pk);
    memset(sk, 0, sizeof sk);
    m[0].begin();
    int32_t ret = sig_keygen(pk, sk);
    m[0].end();
    if (ret != 0) {
      failed = FAIL_KEYGEN;
      break;
    }
    memset(msg, 0, sizeof msg);
    memset(sig, 0, sizeof sig);
    test_getrandombytes(msg, uint64_t(len));
    m[1].begin();
    ret = sig_sign(sk, msg, uint64_t(len), sig, &siglen);
    m[1].end();
    if (ret != 0) {
      failed = FAIL_SIGN;
      break;
    }
    m[2].begin();
    ret = sig_verf(pk, sig, siglen, msg, uint64_t(len));
    m[2].end();
    if (ret != 0) {
      failed = FAIL_VERF;
      break;
    }
    progress_step();
  }
  tavik::secure_wipe(sk, sizeof sk);
  return failed;
}

int32_t measure_time(int32_t count, int32_t len) { return measure(TIME_METERS, count, len); }
int32_t measure_cpu(int32_t count, int32_t len) { return measure(CPU_METERS, count, len); }

// Refusal text for an illegal measurement (length checked first), or null when both are legal.
const char *measurement_refusal(int32_t count, int32_t len) {
  if (len < 1 || len > MAX_MSG_BYTES) return "message length is illegal.";
  if (count <= 0) return "the times of test is illegal.";
  return nullptr;
}

// ---- menu input ----

// Zeroes buf (INPUT_BUFFER_BYTES), reads one line of at most 1022 characters from stdin and trims
// newlines at both ends; false when nothing could be read (errno then tells why, 0 if unknown).
bool read_line(char *buf) {
  memset(buf, 0, INPUT_BUFFER_BYTES);
  errno = 0;
  if (fgets(buf, INPUT_READ_BYTES, stdin) == nullptr) return false;
  test_trim(buf, '\n');
  return true;
}

// The leading decimal integer of buf as strtol reads it (0 without digits), narrowed to 32 bits.
int32_t read_number(const char *buf) { return static_cast<int32_t>(strtol(buf, nullptr, 10)); }

// Prints question, reads the answer into buf and returns it as a number; an unreadable answer
// leaves buf empty and gives 0.
int32_t ask(char *buf, const char *question) {
  fputs(question, stdout);
  fflush(stdout);
  read_line(buf);
  return read_number(buf);
}

// Prints the menu and its prompt.
void print_menu() {
  fputs(MENU_TEXT, stdout);
  fflush(stdout);
}

}  // namespace

// ---- menu ----

int32_t test_sig_iterative() {
  char buf[INPUT_BUFFER_BYTES];
  char stamp[STAMP_BYTES];
  char length_question[96];
  snprintf(length_question, sizeof length_question, "length of test msg (default %d bytes, <=%d):",
           DEFAULT_MSG_BYTES, MAX_MSG_BYTES);

  memset(stamp, 0, sizeof stamp);
  test_getmicrotime(stamp);
  printf("[%s]begin to test tavik-c algo\n", stamp);
  printf("the length of pk: %d\n", PK_BYTES);
  printf("the length of sk: %d\n", SK_BYTES);
  printf("the length of sig: %d\n", SIG_BYTES);
  printf("the path: %s (%s)\n", tavik::backend_name(tavik::active_backend()), tavik::backend_reason());
  printf("the Keccak lanes: %u (%s)\n", unsigned(tavik::backend_lanes()), tavik::backend_lanes_reason());
  printf("the arithmetic: %u bits (%s)\n", unsigned(tavik::backend_arith_bits()), tavik::backend_arith_reason());

  for (;;) {
    print_menu();
    if (!read_line(buf)) {
      // End of input ends the menu like "q", and so does a read error that no retry can cure
      // (closed or unreadable stdin); an interrupted read shows the menu again.
      if (feof(stdin) || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return 0;
      clearerr(stdin);
      continue;
    }
    if (buf[0] == 'q') return 0;
    int32_t choice = read_number(buf);
    int32_t ret = 0;
    switch (choice) {
      case 1:
        ret = test_sig_keygen_illegal_parameter();
        break;
      case 2:
        ret = test_sig_sign_illegal_parameter();
        break;
      case 3:
        ret = test_sig_verf_illegal_parameter();
        break;
      case 4: {
        int32_t keys = ask(buf, "times to change key(default one time):");
        if (keys <= 0) keys = 1;
        int32_t per_key = ask(buf, "test times at same key(default one time):");
        if (per_key <= 0) per_key = 1;
        int32_t len = ask(buf, length_question);
        if (len <= 0) len = DEFAULT_MSG_BYTES;
        ret = test_sig_verf_forward_reasoning(keys, per_key, len);
        break;
      }
      case 5: {
        int32_t count = ask(buf, "times of test (default one time):");
        if (count <= 0) count = 1;
        int32_t len = ask(buf, length_question);
        if (len <= 0) len = DEFAULT_MSG_BYTES;
        int32_t mode =
            ask(buf, "backward reasoning mode of sig_verf(to replace 0-key,default;1-signature;2-msg):");
        if (mode < 0 || mode > 2) mode = 0;
        ret = test_sig_verf_backward_reasoning(count, len, mode);
        break;
      }
      case 6:
        ret = test_complete_process_print();
        break;
      case 7: {
        int32_t mode = ask(buf, "mode of performance test (0-time default,1-cpucycle ):");
        if (mode != 1) mode = 0;
        int32_t count = ask(buf, "times of test (default one time):");
        if (count <= 0) count = 1;
        int32_t len = ask(buf, length_question);
        if (len <= 0) len = DEFAULT_MSG_BYTES;
        if (len > MAX_MSG_BYTES) {
          print_msg_refused();
          continue;
        }
        ret = mode == 1 ? test_sig_performance_cpu(count, len) : test_sig_performance_time(count, len);
        break;
      }
      default:
        printf("invalid choice!\n");
        continue;
    }
    if (ret != 0) return 0;
  }
}

// ---- illegal-parameter tests ----

int32_t test_sig_keygen_illegal_parameter() {
  uint8_t pk[PK_BYTES + 1], sk[SK_BYTES + 1];
  memset(pk, 0, sizeof pk);
  memset(sk, 0, sizeof sk);
  printf("begin to test sig_keygen illegal parameter.\n");
  int32_t r[3];
  r[0] = sig_keygen(nullptr, sk);
  r[1] = sig_keygen(pk, nullptr);
  r[2] = sig_keygen(nullptr, nullptr);
  printf("the return value after input illegal parameter is [%d][%d][%d] in turn\n", int(r[0]), int(r[1]),
         int(r[2]));
  tavik::secure_wipe(sk, sizeof sk);
  if (r[0] == 0 || r[1] == 0 || r[2] == 0) {
    printf("sig_keygen illegal parameter test fail!\n");
    return -1;
  }
  printf("sig_keygen illegal parameter test pass!\n");
  return 0;
}

int32_t test_sig_sign_illegal_parameter() {
  uint8_t sk[SK_BYTES + 1], sig[SIG_BYTES + 1], msg[MAX_MSG_BYTES + 1];
  uint64_t siglen = 0;
  memset(sk, 0, sizeof sk);
  memset(sig, 0, sizeof sig);
  memset(msg, 0, sizeof msg);
  printf("begin to test sig_sign illegal parameter.\n");
  int32_t r[5];
  r[0] = sig_sign(nullptr, msg, 64, sig, &siglen);
  r[1] = sig_sign(sk, nullptr, 64, sig, &siglen);
  r[2] = sig_sign(sk, msg, 0, sig, &siglen);
  r[3] = sig_sign(sk, msg, 64, nullptr, &siglen);
  r[4] = sig_sign(sk, msg, 64, sig, nullptr);
  printf("the return value after input illegal parameter is [%d][%d][%d][%d][%d] in turn\n", int(r[0]), int(r[1]),
         int(r[2]), int(r[3]), int(r[4]));
  for (int32_t v : r) {
    if (v == 0) {
      printf("the sig_sign illegal-parameter test not passed!\n");
      return -1;
    }
  }
  printf("the sig_sign illegal-parameter test has passed\n");
  return 0;
}

int32_t test_sig_verf_illegal_parameter() {
  uint8_t pk[PK_BYTES + 1], sig[SIG_BYTES + 1], msg[MAX_MSG_BYTES + 1];
  memset(pk, 0, sizeof pk);
  memset(sig, 0, sizeof sig);
  memset(msg, 0, sizeof msg);
  printf("begin to test sig_verf illegal parameter.\n");
  int32_t r[5];
  r[0] = sig_verf(nullptr, sig, SIG_BYTES, msg, SIG_BYTES);
  r[1] = sig_verf(pk, nullptr, SIG_BYTES, msg, SIG_BYTES);
  r[2] = sig_verf(pk, sig, 0, msg, SIG_BYTES);
  r[3] = sig_verf(pk, sig, SIG_BYTES, nullptr, SIG_BYTES);
  r[4] = sig_verf(pk, sig, SIG_BYTES, msg, 0);
  printf("the return value after input illegal parameter is [%d][%d][%d][%d][%d] in turn\n", int(r[0]), int(r[1]),
         int(r[2]), int(r[3]), int(r[4]));
  for (int32_t v : r) {
    if (v == 0) {
      printf("the sig_verf illegal-parameter test not passed!\n");
      return -1;
    }
  }
  printf("the sig_verf illegal-parameter test has passed\n");
  return 0;
}

// ---- forward and backward reasoning ----

int32_t test_sig_verf_forward_reasoning(int32_t keys, int32_t per_key, int32_t len) {
  uint8_t pk[PK_BYTES + 1], sk[SK_BYTES + 1], msg[MAX_MSG_BYTES + 1], sig[SIG_BYTES + 1];
  uint64_t siglen = 0;
  const WipeOnReturn wipe_sk(sk, sizeof sk);
  printf("begin to test sig_verf based on forward reasoning(legal signature data should be verified success)\n");
  printf("the times to change key is [%d], the times to sign and verify with the same key is [%d], msg length "
         "is[%d]\n",
         keys, per_key, len);
  if (len > MAX_MSG_BYTES) {
    print_msg_refused();
    return 0;
  }
  const uint64_t fill = msg_fill_len(len);
  for (int32_t k = 1; k <= keys; ++k) {
    printf("change key %d:\n", k);
    if (!keygen_shown(pk, sizeof pk, sk, sizeof sk)) return -1;
    for (int32_t j = 0; j < per_key; ++j) {
      if (!sign_random_shown(sk, msg, sizeof msg, fill, len, sig, sizeof sig, &siglen)) return -1;
      if (sig_verf(pk, sig, siglen, msg, uint64_t(int64_t(len))) != 0) {
        printf("sig_verf fail!\n");
        return -1;
      }
      printf("sig_verf success\n");
    }
  }
  printf("the test of sig_verf based on forward reasoning has passed!\n");
  return 0;
}

int32_t test_sig_verf_backward_reasoning(int32_t count, int32_t len, int32_t mode) {
  uint8_t pk[PK_BYTES + 1], sk[SK_BYTES + 1], msg[MAX_MSG_BYTES + 1], sig[SIG_BYTES + 1];
  uint64_t siglen = 0;
  const WipeOnReturn wipe_sk(sk, sizeof sk);
  memset(msg, 0, sizeof msg);
  memset(sig, 0, sizeof sig);
  printf("begin to test sig_verf based on backward reasoning(illegal signature data should be verified fail)\n");
  printf("the times to sign and verify is [%d], msg length is[%d], test mode is [%d]\n", count, len, mode);
  if (len > MAX_MSG_BYTES) {
    print_msg_refused();
    return 0;
  }
  if (!keygen_shown(pk, sizeof pk, sk, sizeof sk)) return -1;
  const uint64_t fill = msg_fill_len(len);
  if (!sign_random_shown(sk, msg, sizeof msg, fill, len, sig, sizeof sig, &siglen)) return -1;

  srand(unsigned(time(nullptr)));
  for (int32_t i = 0; i < count; ++i) {
    const int32_t r = rand();
    uint8_t *target = nullptr;
    if (mode == 1) {
      const int32_t offset = r % SIG_BYTES;
      printf("change offset=[%d]\n", offset);
      target = sig + offset;
    } else if (mode == 2) {
      const int32_t offset = len > 0 ? r % len : 0;  // sig_sign has refused every len below 1
      printf("change offset=[%d]\n", offset);
      target = msg + offset;
    } else if (mode == 0) {
      const int32_t offset = r % PK_BYTES;
      printf("change offset=[%d]\n", offset);
      target = pk + offset;
    }
    uint8_t saved = 0;
    if (target != nullptr) {
      saved = *target;
      do {
        test_getrandombytes(target, 1);
      } while (*target == saved);
      if (mode == 1) {
        test_printhex("tampered signature value:", sig, sig_dump_len(siglen));
      } else if (mode == 2) {
        test_printhex("tampered random msg:", msg, fill);
      } else {
        test_printhex("tampered public key:", pk, PK_BYTES);
      }
    }
    const int32_t ret = sig_verf(pk, sig, siglen, msg, uint64_t(len));
    if (target != nullptr) *target = saved;
    if (ret == 0) {
      printf("the test of sig_verf backward reasoning  failed!\n");
      return -1;
    }
  }
  printf("the test of sig_verf backward reasoning pass\n");
  return 0;
}

// ---- complete process ----

int32_t test_complete_process_print() {
  constexpr int32_t TIMES = 10;
  uint8_t pk[PK_BYTES + 1], sk[SK_BYTES + 1], msg[MAX_MSG_BYTES + 1], sig[SIG_BYTES + 1];
  uint64_t siglen = 0;
  const WipeOnReturn wipe_sk(sk, sizeof sk);
  bool written = true;  // every line reached the result file
  int32_t ret = 0;

  printf("begin the complete process test of tavik-c\n");
  printf("the test times of complete process is [%d]\n", TIMES);
  written &= test_writef(TEST_RESULT_FILE, "begin the complete process test of tavik-c");
  written &= test_writef(TEST_RESULT_FILE, "the test times is [%d]", TIMES);
  for (int32_t i = 1; i <= TIMES; ++i) {
    written &= test_writef(TEST_RESULT_FILE, "test %d", i);
    memset(pk, 0, sizeof pk);
    memset(sk, 0, sizeof sk);
    if (sig_keygen(pk, sk) != 0) {
      printf("sig_keygen fail!\n");
      written &= test_writef(TEST_RESULT_FILE, "sig_keygen execute fail!");
      ret = -1;
      break;
    }
    written &= test_writef(TEST_RESULT_FILE, "-api :sig_keygen");
    written &= test_writehexf(TEST_RESULT_FILE, pk, PK_BYTES, "public key:");
    written &= test_writehexf(TEST_RESULT_FILE, sk, SK_BYTES, "private key:");
    memset(msg, 0, sizeof msg);
    test_getrandombytes(msg, DEFAULT_MSG_BYTES);
    written &= test_writehexf(TEST_RESULT_FILE, msg, DEFAULT_MSG_BYTES, "random msg:");
    memset(sig, 0, sizeof sig);
    if (sig_sign(sk, msg, DEFAULT_MSG_BYTES, sig, &siglen) != 0) {
      printf("sig_sign fail!\n");
      written &= test_writef(TEST_RESULT_FILE, "sig_sign execute fail!");
      ret = -1;
      break;
    }
    written &= test_writef(TEST_RESULT_FILE, "-api :sig_sign");
    written &= test_writehexf(TEST_RESULT_FILE, sig, int32_t(sig_dump_len(siglen)), "signature value:");
    if (sig_verf(pk, sig, siglen, msg, DEFAULT_MSG_BYTES) != 0) {
      printf("sig_verf fail!\n");
      written &= test_writef(TEST_RESULT_FILE, "sig_verf execute fail!");
      ret = -1;
      break;
    }
    written &= test_writef(TEST_RESULT_FILE, "-api :sig_verf return OK");
  }
  if (ret == 0) {
    written &= test_writef(TEST_RESULT_FILE, "the complete process test of tavik-c has finished.\n");
    printf("test has finished, the test data has been written in[%s]\n", TEST_RESULT_FILE);
  }
  if (!written) {
    fflush(stdout);
    fprintf(stderr, "the test data could not be written in[%s]\n", TEST_RESULT_FILE);
  }
  return ret;
}

// ---- summaries and log lines ----

void test_time_average(struct timeval *avg, const struct timeval *total, int32_t count) {
  const int64_t s = int64_t(total->tv_sec);
  const int64_t u = int64_t(total->tv_usec);
  avg->tv_sec = time_t(s / count);
  avg->tv_usec = suseconds_t((u + (s % count) * 1000000) / count);
}

void test_print_time_summary(const char *name, int32_t count, const struct timeval *total) {
  struct timeval avg;
  test_time_average(&avg, total, count);
  printf("%s|total time cost of [%d] execs is [%ld.%06ld] seconds, average time cost of one exec is [%ld.%06ld]\n",
         name, count, long(total->tv_sec), long(total->tv_usec), long(avg.tv_sec), long(avg.tv_usec));
}

void test_print_cpu_summary(const char *name, int32_t count, uint64_t total) {
  printf("%s|total cpucycle cost of [%d] times exec is [%llu],  average cpucycle cost of one exec is [%llu]\n",
         name, count, static_cast<unsigned long long>(total),
         static_cast<unsigned long long>(total / uint64_t(count)));
}

bool test_writef_time_line(const char *name, int32_t len, int32_t count, const struct timeval *total) {
  struct timeval avg;
  test_time_average(&avg, total, count);
  return test_writef(TEST_PERFORMANCE_FILE, "time|%s|%d|%d|%ld.%06ld|%ld.%06ld", name, len, count,
                     long(total->tv_sec), long(total->tv_usec), long(avg.tv_sec), long(avg.tv_usec));
}

bool test_writef_cpu_line(const char *name, int32_t len, int32_t count, uint64_t total) {
  return test_writef(TEST_PERFORMANCE_FILE, "cpucy|%s|%d|%d|%llu|%llu", name, len, count,
                     static_cast<unsigned long long>(total), static_cast<unsigned long long>(total / uint64_t(count)));
}

int32_t test_format_progress(char *buf, size_t size, const ProgressView &p) {
  const uint64_t done = p.done > p.total ? p.total : p.done;
  const uint64_t permille = p.total == 0 ? 0 : done * 1000 / p.total;
  // Time left: repetitions cost about the same throughout, so the rest takes as long per repetition.
  const bool estimable = done > 0 && p.elapsed_sec >= PROGRESS_ESTIMATE_AFTER_SEC;
  const int64_t left = estimable ? int64_t(double(p.elapsed_sec) * double(p.total - done) / double(done) + 0.5) : 0;
  const int64_t secs[2] = {p.elapsed_sec, left};
  char hms[2][32];
  for (int i = 0; i < 2; ++i) {
    snprintf(hms[i], sizeof hms[i], "%02lld:%02lld:%02lld", static_cast<long long>(secs[i] / 3600),
             static_cast<long long>(secs[i] / 60 % 60), static_cast<long long>(secs[i] % 60));
  }
  return snprintf(buf, size, "step %u/%u: %s, msglen %d, count %d | whole run %llu.%llu%% done, %s elapsed, %s%s",
                  p.step, p.steps, p.phase, p.len, p.count, static_cast<unsigned long long>(permille / 10),
                  static_cast<unsigned long long>(permille % 10), hms[0], estimable ? hms[1] : "time left",
                  estimable ? " left" : " not yet known");
}

// ---- interactive and automatic performance tests ----

namespace {

// What distinguishes the wall-clock measurements from the cycle-counting ones.
struct PerfMode {
  const char *phase;       // name shown by the progress line
  const char *begin_line;  // console line with the time stamp, before the checks
  const char *end_line;    // console line with the time stamp, after the summaries
  int32_t (*measure)(int32_t count, int32_t len);
  void (*print_summaries)(int32_t count);
  void (*write_lines)(int32_t len, int32_t count);
};

const PerfMode TIME_MODE = {
    "time", "[%s]begin to test tavik-c time performance\n", "[%s]time performance test end\n", measure_time,
    [](int32_t count) {
      test_print_time_summary("sig_keygen", count, &tKeyTotal);
      test_print_time_summary("sig_sign", count, &tSignTotal);
      test_print_time_summary("sig_verf", count, &tVerfTotal);
    },
    [](int32_t len, int32_t count) {
      test_writef_time_line("sig_keygen", len, count, &tKeyTotal);
      test_writef_time_line("sig_sign", len, count, &tSignTotal);
      test_writef_time_line("sig_verf", len, count, &tVerfTotal);
    }};

const PerfMode CPU_MODE = {
    "cpucycle", "[%s]begin to test tavik-c cpu cycle performance\n", "[%s]cpu cycle performance test end\n",
    measure_cpu,
    [](int32_t count) {
      test_print_cpu_summary("sig_keygen", count, lCpuCyKeyTotal);
      test_print_cpu_summary("sig_sign", count, lCpuCySignTotal);
      test_print_cpu_summary("sig_verf", count, lCpuCyVerfTotal);
    },
    [](int32_t len, int32_t count) {
      test_writef_cpu_line("sig_keygen", len, count, lCpuCyKeyTotal);
      test_writef_cpu_line("sig_sign", len, count, lCpuCySignTotal);
      test_writef_cpu_line("sig_verf", len, count, lCpuCyVerfTotal);
    }};

// Prints fmt with a fresh time stamp.
void print_stamped(const char *fmt) {
  char stamp[STAMP_BYTES];
  memset(stamp, 0, sizeof stamp);
  test_getmicrotime(stamp);
  printf(fmt, stamp);
}

// Menu item 7 in one mode: header, checks, measurement, console summaries.
int32_t performance_interactive(const PerfMode &mode, int32_t count, int32_t len) {
  print_stamped(mode.begin_line);
  printf("the times of test is [%d]\n", count);
  printf("the length of test-message is [%d]\n", len);
  if (const char *refusal = measurement_refusal(count, len)) {
    printf("%s\n", refusal);
    return -1;
  }
  if (const int32_t failed = mode.measure(count, len)) {
    printf("%s\n", FAIL_LINES[failed]);
    return -1;
  }
  mode.print_summaries(count);
  print_stamped(mode.end_line);
  return 0;
}

// One measurement of the automatic run: its three log lines, or one refusal or failure line.
int32_t performance_auto(const PerfMode &mode, int32_t count, int32_t len) {
  if (const char *refusal = measurement_refusal(count, len)) {
    test_writef(TEST_PERFORMANCE_FILE, "%s", refusal);
    return -1;
  }
  progress_measurement(mode.phase, len, count);
  if (const int32_t failed = mode.measure(count, len)) {
    test_writef(TEST_PERFORMANCE_FILE, "%s", FAIL_LINES[failed]);
    return -1;
  }
  mode.write_lines(len, count);
  return 0;
}

}  // namespace

int32_t test_sig_performance_time(int32_t count, int32_t len) { return performance_interactive(TIME_MODE, count, len); }

int32_t test_sig_performance_cpu(int32_t count, int32_t len) { return performance_interactive(CPU_MODE, count, len); }

int32_t test_sig_performance_auto_time(int32_t count, int32_t len) { return performance_auto(TIME_MODE, count, len); }

int32_t test_sig_performance_auto_cpu(int32_t count, int32_t len) { return performance_auto(CPU_MODE, count, len); }

int32_t test_sig_performance_auto_lists(const int32_t *lengths, size_t nlengths, const int32_t *counts,
                                        size_t ncounts) {
  char stamp[STAMP_BYTES];
  printf("the testmessage length list:");
  for (size_t i = 0; i < nlengths; ++i) printf(" %d", lengths[i]);
  printf("\n");
  fflush(stdout);

  // Measurements and repetitions of the whole run, both phases, for the progress indicator.
  uint32_t steps = 0;
  uint64_t total = 0;
  for (size_t i = 0; i < nlengths; ++i) {
    for (size_t j = 0; j < ncounts; ++j) {
      if (measurement_refusal(counts[j], lengths[i]) == nullptr) {
        steps += 2;
        total += 2 * uint64_t(counts[j]);
      }
    }
  }

  memset(stamp, 0, sizeof stamp);
  test_getmicrotime(stamp);
  if (!test_writef(TEST_PERFORMANCE_FILE,
                   "[%s]begin to test tavik-c performance -[time]\nmsglen|count|total-time|average-time\n", stamp)) {
    fprintf(stderr, "the performance data could not be written in[%s]\n", TEST_PERFORMANCE_FILE);
  }
  progress_start(steps, total);
  for (size_t i = 0; i < nlengths; ++i) {
    for (size_t j = 0; j < ncounts; ++j) test_sig_performance_auto_time(counts[j], lengths[i]);
  }
  memset(stamp, 0, sizeof stamp);
  test_getmicrotime(stamp);
  test_writef(TEST_PERFORMANCE_FILE, "[%s]test tavik-c end -[time]\n", stamp);

  memset(stamp, 0, sizeof stamp);
  test_getmicrotime(stamp);
  test_writef(TEST_PERFORMANCE_FILE,
              "[%s]begin to test tavik-c performance -[cpucycle]\nmsglen|count|total-cpucy|average-cpucy\n", stamp);
  for (size_t i = 0; i < nlengths; ++i) {
    for (size_t j = 0; j < ncounts; ++j) test_sig_performance_auto_cpu(counts[j], lengths[i]);
  }
  progress_stop();
  memset(stamp, 0, sizeof stamp);
  test_getmicrotime(stamp);
  test_writef(TEST_PERFORMANCE_FILE, "[%s]test tavik-c performance end -[cpucycle]\n", stamp);
  return 0;
}

int32_t test_sig_performance_auto() {
  return test_sig_performance_auto_lists(PERF_MSG_LENGTHS, sizeof PERF_MSG_LENGTHS / sizeof PERF_MSG_LENGTHS[0],
                                         PERF_COUNTS, sizeof PERF_COUNTS / sizeof PERF_COUNTS[0]);
}
