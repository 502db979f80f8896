// The console test and benchmark driver: the interactive menu, the functional tests, the
// interactive performance tests and the automatic performance run.
#pragma once
#include <sys/time.h>

#include <cstddef>
#include <cstdint>

// Default message length of the menu's tests.
inline constexpr int32_t DEFAULT_MSG_BYTES = 59;
// The menu: its ten lines after an empty line, then the prompt.
inline constexpr const char *MENU_TEXT =
    "\n"
    "---function test---\n"
    "1.illegal parameter of sig_keygen\n"
    "2.illegal parameter of sig_sign\n"
    "3.illegal parameter of sig_verf\n"
    "4.validate sig_verf base on forward reasoning\n"
    "5.validate sig_verf base on backward reasoning\n"
    "6.complete validation process and print result to file\n"
    "---iterative performance test---\n"
    "7.complete performance test of sig\n"
    "q.quit\n"
    "input your choice:";
// Files appended to in the working directory.
inline constexpr const char *TEST_RESULT_FILE = "tavik_c_test_result.txt";
inline constexpr const char *TEST_PERFORMANCE_FILE = "tavik_c_test_performance.txt";
// Message lengths and repetition counts of the automatic run, in the order they are measured.
inline constexpr int32_t PERF_MSG_LENGTHS[] = {1, 59, 512, 3300};
inline constexpr int32_t PERF_COUNTS[] = {1, 10, 100, 1000, 10000, 100000, 1000000};

// Measurement variables shared by the interactive and the automatic performance tests.
extern struct timeval tKeyStart, tSignStart, tVerfStart;
extern struct timeval tKeyStop, tSignStop, tVerfStop;
extern struct timeval tKeyDiff, tSignDiff, tVerfDiff;
extern struct timeval tKeyTotal, tSignTotal, tVerfTotal;
extern uint64_t lCpuCyKeyStart, lCpuCySignStart, lCpuCyVerfStart;
extern uint64_t lCpuCyKeyStop, lCpuCySignStop, lCpuCyVerfStop;
extern uint64_t lCpuCyKeyTotal, lCpuCySignTotal, lCpuCyVerfTotal;

// Banner, then the menu until "q", end of input or a failed test; always returns 0.
int32_t test_sig_iterative();

// Calls sig_keygen with a null public key, a null secret key, then both null; 0 when every call
// was refused (non-zero), else -1.
int32_t test_sig_keygen_illegal_parameter();
// Five sig_sign calls each with one illegal argument; 0 when all were refused, else -1.
int32_t test_sig_sign_illegal_parameter();
// Five sig_verf calls each with one illegal argument; 0 when all were refused, else -1.
int32_t test_sig_verf_illegal_parameter();

// keys key pairs, per_key signed and verified len-byte random messages each (keys, per_key <= 0:
// none); len > 3300 is refused and returns 0, len <= 0 fails at sig_sign. 0 pass, -1 failure.
int32_t test_sig_verf_forward_reasoning(int32_t keys, int32_t per_key, int32_t len);
// Signs one len-byte message, then count times alters one random byte of the public key (mode 0),
// signature (1) or message (2) and requires rejection; len > 3300 is refused and returns 0.
// 0 pass, -1 when an altered triple verified or keygen/sign failed.
int32_t test_sig_verf_backward_reasoning(int32_t count, int32_t len, int32_t mode);

// Ten key pairs, 59-byte messages, signatures and verifications recorded in TEST_RESULT_FILE;
// 0 pass, -1 at the first failing call.
int32_t test_complete_process_print();

// count repetitions (>= 1) with len-byte messages (1..3300), wall-clock totals and averages on
// stdout; -1 on an illegal argument or a failing call.
int32_t test_sig_performance_time(int32_t count, int32_t len);
// The same in time-stamp-counter ticks.
int32_t test_sig_performance_cpu(int32_t count, int32_t len);

// The unattended run over PERF_MSG_LENGTHS and PERF_COUNTS, logged to TEST_PERFORMANCE_FILE;
// returns 0.
int32_t test_sig_performance_auto();
// The unattended run over the given lists (lengths[0..nlengths), counts[0..ncounts)); returns 0.
int32_t test_sig_performance_auto_lists(const int32_t *lengths, size_t nlengths, const int32_t *counts,
                                        size_t ncounts);
// One logged wall-clock measurement: three data lines, or one failure line; 0 or -1.
int32_t test_sig_performance_auto_time(int32_t count, int32_t len);
// One logged cycle measurement: three data lines, or one failure line; 0 or -1.
int32_t test_sig_performance_auto_cpu(int32_t count, int32_t len);

// avg = total / count (count >= 1), seconds and microseconds each rounded down; total normalised.
void test_time_average(struct timeval *avg, const struct timeval *total, int32_t count);
// Prints the console summary line of one call's time total over count (>= 1) repetitions.
void test_print_time_summary(const char *name, int32_t count, const struct timeval *total);
// Prints the console summary line of one call's cycle total over count (>= 1) repetitions.
void test_print_cpu_summary(const char *name, int32_t count, uint64_t total);
// Appends the "time|name|len|count|total|average" line to TEST_PERFORMANCE_FILE; true when written.
bool test_writef_time_line(const char *name, int32_t len, int32_t count, const struct timeval *total);
// Appends the "cpucy|name|len|count|total|average" line to TEST_PERFORMANCE_FILE; true when written.
bool test_writef_cpu_line(const char *name, int32_t len, int32_t count, uint64_t total);

// Where the automatic run stands, as its progress line shows it.
struct ProgressView {
  const char *phase;    // "time" or "cpucycle"
  int32_t len;          // message length of the current measurement
  int32_t count;        // repetition count of the current measurement
  uint32_t step;        // the current measurement, counted from 1
  uint32_t steps;       // measurements of the whole run
  uint64_t done;        // repetitions finished in the whole run
  uint64_t total;       // repetitions of the whole run (>= 1)
  int64_t elapsed_sec;  // seconds since the run began
};

// Formats the automatic run's progress line (no "\r", no newline) into buf[0..size): the step and
// its measurement, then the share of the whole run done (rounded down to 0.1 %), the elapsed time
// and, once PROGRESS_ESTIMATE_AFTER_SEC have passed with work done, the estimated time left.
// Returns snprintf's result.
inline constexpr int64_t PROGRESS_ESTIMATE_AFTER_SEC = 5;
int32_t test_format_progress(char *buf, size_t size, const ProgressView &p);
