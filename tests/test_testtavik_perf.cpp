// Performance side of the driver: summary and log line formats, the interactive time and cycle
// tests, the automatic run's log structure over small injected lists, its progress line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "test_testtavik_support.h"
#include "testtavik.h"

namespace {

using driver_test::capture;
using driver_test::Captured;
using driver_test::mask;

TEST(PerformanceFormat, TimeSummaryAndAverage) {
  struct Case {
    const char *name;
    int32_t count;
    long sec, usec;
    std::string totals;  // "[total] ... [average]" as the line shows them
  };
  const Case cases[] = {
      {"sig_keygen", 3, 1, 500000, "[3] execs is [1.500000] seconds, average time cost of one exec is [0.500000]"},
      {"sig_sign", 2, 0, 7, "[2] execs is [0.000007] seconds, average time cost of one exec is [0.000003]"},
      {"sig_verf", 1000, 12, 345678,
       "[1000] execs is [12.345678] seconds, average time cost of one exec is [0.012345]"},
      {"sig_verf", 1, 4, 123, "[1] execs is [4.000123] seconds, average time cost of one exec is [4.000123]"},
      {"sig_sign", 3, 5, 0, "[3] execs is [5.000000] seconds, average time cost of one exec is [1.666666]"},
      {"sig_keygen", 7, 100, 999999,
       "[7] execs is [100.999999] seconds, average time cost of one exec is [14.428571]"},
  };
  for (const Case &c : cases) {
    const struct timeval total = {c.sec, c.usec};
    const Captured r = capture([&] {
      test_print_time_summary(c.name, c.count, &total);
      return 0;
    });
    EXPECT_EQ(r.out, std::string(c.name) + "|total time cost of " + c.totals + "\n");
  }
}

TEST(PerformanceFormat, CycleSummary) {
  const Captured r = capture([] {
    test_print_cpu_summary("sig_keygen", 3, 10);
    test_print_cpu_summary("sig_verf", 1, 18446744073709551615ull);
    return 0;
  });
  EXPECT_EQ(r.out,
            "sig_keygen|total cpucycle cost of [3] times exec is [10],  average cpucycle cost of one exec is [3]\n"
            "sig_verf|total cpucycle cost of [1] times exec is [18446744073709551615],  average cpucycle cost of "
            "one exec is [18446744073709551615]\n");
}

TEST(PerformanceFormat, LogLines) {
  driver_test::ScopedTempCwd dir;
  const struct timeval total = {12, 345678};
  EXPECT_TRUE(test_writef_time_line("sig_sign", 59, 1000, &total));
  EXPECT_TRUE(test_writef_cpu_line("sig_verf", 3300, 7, 100));
  EXPECT_EQ(driver_test::read_file(TEST_PERFORMANCE_FILE), "time|sig_sign|59|1000|12.345678|0.012345\n"
                                                  "cpucy|sig_verf|3300|7|100|14\n");
}

const std::string TIME_HEAD = "[STAMP]begin to test tavik-c time performance\n";
const std::string CPU_HEAD = "[STAMP]begin to test tavik-c cpu cycle performance\n";

std::string perf_params(int count, int len) {
  return "the times of test is [" + std::to_string(count) + "]\nthe length of test-message is [" +
         std::to_string(len) + "]\n";
}

TEST(InteractivePerformance, IllegalLengthOrCountIsRefusedAfterTheHeader) {
  struct Case {
    int32_t count, len;
    const char *refusal;
  };
  const Case cases[] = {
      {1, 0, "message length is illegal.\n"},     {1, 3301, "message length is illegal.\n"},
      {0, 3301, "message length is illegal.\n"},  {-3, -1, "message length is illegal.\n"},
      {0, 3300, "the times of test is illegal.\n"}, {-1, 1, "the times of test is illegal.\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.count) + "," + std::to_string(c.len));
    Captured r = capture([&] { return test_sig_performance_time(c.count, c.len); });
    EXPECT_EQ(r.ret, -1);
    EXPECT_EQ(mask(r.out), TIME_HEAD + perf_params(c.count, c.len) + c.refusal);
    r = capture([&] { return test_sig_performance_cpu(c.count, c.len); });
    EXPECT_EQ(r.ret, -1);
    EXPECT_EQ(mask(r.out), CPU_HEAD + perf_params(c.count, c.len) + c.refusal);
  }
}

TEST(InteractivePerformance, TimeTestPrintsFreshTotalsOfItsOwnRun) {
  // Leftovers from an earlier run must not leak into the figures.
  tKeyTotal = tSignTotal = tVerfTotal = {100000, 0};
  const Captured r = capture([] { return test_sig_performance_time(3, 59); });
  ASSERT_EQ(r.ret, 0);
  const std::string line = "|total time cost of [3] execs is [T] seconds, average time cost of one exec is [T]\n";
  EXPECT_EQ(mask(r.out), TIME_HEAD + perf_params(3, 59) + "sig_keygen" + line + "sig_sign" + line + "sig_verf" +
                             line + "[STAMP]time performance test end\n");
  const struct timeval *totals[] = {&tKeyTotal, &tSignTotal, &tVerfTotal};
  const std::vector<std::string> lines = driver_test::split_lines(r.out);
  for (int i = 0; i < 3; ++i) {
    EXPECT_LT(totals[i]->tv_sec, 100);
    char expected[64];
    snprintf(expected, sizeof expected, "[%ld.%06ld] seconds", long(totals[i]->tv_sec), long(totals[i]->tv_usec));
    EXPECT_NE(lines[size_t(3 + i)].find(expected), std::string::npos) << lines[size_t(3 + i)];
  }
}

TEST(InteractivePerformance, CycleTestPrintsFreshTotalsAndTheirAverage) {
  lCpuCyKeyTotal = lCpuCySignTotal = lCpuCyVerfTotal = ~0ull - 5;
  const Captured r = capture([] { return test_sig_performance_cpu(2, 1); });
  ASSERT_EQ(r.ret, 0);
  const std::string line =
      "|total cpucycle cost of [2] times exec is [C],  average cpucycle cost of one exec is [C]\n";
  EXPECT_EQ(mask(r.out), CPU_HEAD + perf_params(2, 1) + "sig_keygen" + line + "sig_sign" + line + "sig_verf" + line +
                             "[STAMP]cpu cycle performance test end\n");
  const uint64_t totals[] = {lCpuCyKeyTotal, lCpuCySignTotal, lCpuCyVerfTotal};
  const std::vector<std::string> lines = driver_test::split_lines(r.out);
  for (int i = 0; i < 3; ++i) {
    EXPECT_GT(totals[i], 0u);
    EXPECT_LT(totals[i], 1ull << 40);
    const std::string figures =
        "[" + std::to_string(totals[i]) + "],  average cpucycle cost of one exec is [" + std::to_string(totals[i] / 2) + "]";
    EXPECT_NE(lines[size_t(3 + i)].find(figures), std::string::npos) << lines[size_t(3 + i)];
  }
}

// Checks the log lines of one complete automatic run over lengths x counts (all legal) starting at
// lines[first]; returns the index after it.
size_t expect_auto_run(const std::vector<std::string> &lines, size_t first, const std::vector<int> &lengths,
                       const std::vector<int> &counts) {
  static const std::regex stamp(R"(\[\d{8}-\d{2}:\d{2}:\d{2}\.\d{6}\].*)");
  static const std::regex time_line(R"(time\|(sig_keygen|sig_sign|sig_verf)\|(\d+)\|(\d+)\|(\d+)\.(\d{6})\|(\d+)\.(\d{6}))");
  static const std::regex cpu_line(R"(cpucy\|(sig_keygen|sig_sign|sig_verf)\|(\d+)\|(\d+)\|(\d+)\|(\d+))");
  static const char *const names[] = {"sig_keygen", "sig_sign", "sig_verf"};
  const size_t expected_lines = 10 + 6 * lengths.size() * counts.size();
  EXPECT_GE(lines.size(), first + expected_lines);
  if (lines.size() < first + expected_lines) return lines.size();
  size_t at = first;
  for (int phase = 0; phase < 2; ++phase) {
    SCOPED_TRACE(phase == 0 ? "time" : "cpucycle");
    EXPECT_EQ(mask(lines[at++]), phase == 0 ? "[STAMP]begin to test tavik-c performance -[time]"
                                            : "[STAMP]begin to test tavik-c performance -[cpucycle]");
    EXPECT_EQ(lines[at++], phase == 0 ? "msglen|count|total-time|average-time" : "msglen|count|total-cpucy|average-cpucy");
    EXPECT_EQ(lines[at++], "");
    for (int len : lengths) {
      for (int count : counts) {
        for (const char *name : names) {
          const std::string &line = lines[at++];
          std::smatch m;
          const bool shaped = std::regex_match(line, m, phase == 0 ? time_line : cpu_line);
          EXPECT_TRUE(shaped) << line;
          if (!shaped) continue;
          EXPECT_EQ(m[1], name) << line;
          EXPECT_EQ(std::stoi(m[2]), len) << line;
          EXPECT_EQ(std::stoi(m[3]), count) << line;
          if (phase == 0) {
            const long long s = std::stoll(m[4]), u = std::stoll(m[5]);
            EXPECT_EQ(std::stoll(m[6]), s / count) << line;
            EXPECT_EQ(std::stoll(m[7]), (u + (s % count) * 1000000) / count) << line;
          } else {
            EXPECT_EQ(std::stoull(m[5]), std::stoull(m[4]) / unsigned(count)) << line;
          }
        }
      }
    }
    EXPECT_TRUE(std::regex_match(lines[at], stamp));
    EXPECT_EQ(mask(lines[at++]), phase == 0 ? "[STAMP]test tavik-c end -[time]"
                                            : "[STAMP]test tavik-c performance end -[cpucycle]");
    EXPECT_EQ(lines[at++], "");
  }
  EXPECT_EQ(at - first, expected_lines);
  return at;
}

TEST(AutomaticRun, RealListsGiveTheDocumentedRun) {
  const std::vector<int> lengths(std::begin(PERF_MSG_LENGTHS), std::end(PERF_MSG_LENGTHS));
  const std::vector<int> counts(std::begin(PERF_COUNTS), std::end(PERF_COUNTS));
  EXPECT_EQ(lengths, (std::vector<int>{1, 59, 512, 3300}));
  EXPECT_EQ(counts, (std::vector<int>{1, 10, 100, 1000, 10000, 100000, 1000000}));
  EXPECT_EQ(10 + 6 * lengths.size() * counts.size(), 178u);
}

TEST(AutomaticRun, InjectedListsProduceTheWholeLogStructureAndAppend) {
  driver_test::ScopedTempCwd dir;
  const int32_t lengths[] = {1, 7};
  const int32_t counts[] = {1, 3};
  for (int run = 1; run <= 2; ++run) {
    const Captured r = capture([&] { return test_sig_performance_auto_lists(lengths, 2, counts, 2); });
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.out, "the testmessage length list: 1 7\n");
    EXPECT_EQ(r.err, "");
  }
  const std::vector<std::string> lines = driver_test::split_lines(driver_test::read_file(TEST_PERFORMANCE_FILE));
  ASSERT_EQ(lines.size(), 2 * 34 + 1u);
  size_t at = expect_auto_run(lines, 0, {1, 7}, {1, 3});
  at = expect_auto_run(lines, at, {1, 7}, {1, 3});
  EXPECT_EQ(lines[at], "");
}

TEST(AutomaticRun, IllegalEntriesLeaveOneFailureLineEachAndTheRunGoesOn) {
  driver_test::ScopedTempCwd dir;
  const int32_t lengths[] = {0, 2, 3301};
  const int32_t counts[] = {0, 1};
  const Captured r = capture([&] { return test_sig_performance_auto_lists(lengths, 3, counts, 2); });
  EXPECT_EQ(r.ret, 0);
  EXPECT_EQ(r.out, "the testmessage length list: 0 2 3301\n");
  std::string masked = mask(driver_test::read_file(TEST_PERFORMANCE_FILE));
  masked = std::regex_replace(masked, std::regex(R"(\|2\|1\|[0-9.]+\|[0-9.]+)"), "|2|1|X|X");
  const std::string failures = "message length is illegal.\nmessage length is illegal.\n"
                               "the times of test is illegal.\n";
  EXPECT_EQ(masked,
            "[STAMP]begin to test tavik-c performance -[time]\nmsglen|count|total-time|average-time\n\n" + failures +
                "time|sig_keygen|2|1|X|X\ntime|sig_sign|2|1|X|X\ntime|sig_verf|2|1|X|X\n"
                "message length is illegal.\nmessage length is illegal.\n"
                "[STAMP]test tavik-c end -[time]\n\n"
                "[STAMP]begin to test tavik-c performance -[cpucycle]\nmsglen|count|total-cpucy|average-cpucy\n\n" +
                failures +
                "cpucy|sig_keygen|2|1|X|X\ncpucy|sig_sign|2|1|X|X\ncpucy|sig_verf|2|1|X|X\n"
                "message length is illegal.\nmessage length is illegal.\n"
                "[STAMP]test tavik-c performance end -[cpucycle]\n\n");
}

TEST(AutomaticRun, SingleMeasurementsReturnTheirVerdict) {
  driver_test::ScopedTempCwd dir;
  const Captured r = capture([] {
    return (test_sig_performance_auto_time(0, 59) == -1) + 2 * (test_sig_performance_auto_cpu(1, 3301) == -1) +
           4 * (test_sig_performance_auto_cpu(2, 3300) == 0);
  });
  EXPECT_EQ(r.ret, 7);
  EXPECT_EQ(r.out, "");
  const std::vector<std::string> lines = driver_test::split_lines(driver_test::read_file(TEST_PERFORMANCE_FILE));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "the times of test is illegal.");
  EXPECT_EQ(lines[1], "message length is illegal.");
  EXPECT_EQ(lines[2].rfind("cpucy|sig_keygen|3300|2|", 0), 0u) << lines[2];
  EXPECT_EQ(lines[4].rfind("cpucy|sig_verf|3300|2|", 0), 0u) << lines[4];
}

TEST(AutomaticRun, UnwritableLogIsReportedOnceOnStderr) {
  driver_test::ScopedTempCwd dir;
  dir.make_unwritable();
  const int32_t lengths[] = {1, 2};
  const int32_t counts[] = {1};
  const Captured r = capture([&] { return test_sig_performance_auto_lists(lengths, 2, counts, 1); });
  EXPECT_EQ(r.ret, 0);
  EXPECT_EQ(r.out, "the testmessage length list: 1 2\n");
  EXPECT_EQ(r.err, "the performance data could not be written in[tavik_c_test_performance.txt]\n");
}

TEST(AutomaticRun, ProgressLineFormat) {
  struct Case {
    ProgressView view;
    const char *expected;
  };
  const Case cases[] = {
      {{"time", 1, 1, 1, 48, 0, 8888888, 0},
       "step 1/48: time, msglen 1, count 1 | whole run 0.0% done, 00:00:00 elapsed, time left not yet known"},
      // Work done but too early to judge: still no estimate.
      {{"time", 59, 1000, 2, 48, 1999, 1000000, 4},
       "step 2/48: time, msglen 59, count 1000 | whole run 0.1% done, 00:00:04 elapsed, time left not yet known"},
      // A quarter done in 10 minutes: 30 minutes left.
      {{"time", 512, 10, 12, 48, 250, 1000, 600},
       "step 12/48: time, msglen 512, count 10 | whole run 25.0% done, 00:10:00 elapsed, 00:30:00 left"},
      {{"cpucycle", 3300, 1000000, 48, 48, 8888888, 8888888, 3723},
       "step 48/48: cpucycle, msglen 3300, count 1000000 | whole run 100.0% done, 01:02:03 elapsed, 00:00:00 left"},
      // Long runs keep counting hours; done never reads above the total.
      {{"time", 512, 10, 3, 4, 4, 3, 360000},
       "step 3/4: time, msglen 512, count 10 | whole run 100.0% done, 100:00:00 elapsed, 00:00:00 left"},
  };
  for (const Case &c : cases) {
    char buf[200];
    const int32_t n = test_format_progress(buf, sizeof buf, c.view);
    EXPECT_EQ(std::string(buf), c.expected);
    EXPECT_EQ(n, int32_t(std::string(c.expected).size()));
  }
}

TEST(AutomaticRun, ProgressIsDrawnOnATerminalAndErasedAtTheEnd) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) GTEST_SKIP() << "no pseudo-terminal";
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  driver_test::ScopedTempCwd dir;
  const int32_t lengths[] = {1, 59};
  const int32_t counts[] = {1, 60};

  // stderr is the terminal, stdout a file; the run is short enough for the terminal's buffer.
  fflush(stderr);
  const int saved = dup(2);
  dup2(slave, 2);
  const auto started = std::chrono::steady_clock::now();
  driver_test::FdCapture out(1);
  const int32_t ret = test_sig_performance_auto_lists(lengths, 2, counts, 2);
  const std::string printed = out.finish();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  dup2(saved, 2);
  close(saved);
  std::string drawn;
  char buf[4096];
  struct pollfd p = {master, POLLIN, 0};
  while (poll(&p, 1, 100) > 0) {
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    drawn.append(buf, size_t(n));
  }
  close(slave);
  close(master);

  EXPECT_EQ(ret, 0);
  EXPECT_EQ(printed, "the testmessage length list: 1 59\n");
  const std::vector<std::string> lines = driver_test::split_lines(driver_test::read_file(TEST_PERFORMANCE_FILE));
  expect_auto_run(lines, 0, {1, 59}, {1, 60});

  // Redraws: "\r" + line + "\033[K"; then the erase "\r\033[K".
  ASSERT_GE(drawn.size(), 6u);
  EXPECT_EQ(drawn.substr(drawn.size() - 4), "\r\033[K");
  EXPECT_EQ(drawn.find('\n'), std::string::npos);
  static const std::regex redraw(
      R"(\rstep ([1-8])/8: (time|cpucycle), msglen (1|59), count (1|60) \| whole run (\d+)\.\d% done, )"
      R"(\d{2}:\d{2}:\d{2} elapsed, (\d{2}:\d{2}:\d{2} left|time left not yet known)\x1b\[K)");
  const std::string draws = drawn.substr(0, drawn.size() - 4);
  size_t n = 0;
  int last_percent = -1;
  for (std::sregex_iterator it(draws.begin(), draws.end(), redraw), end; it != end; ++it) {
    const int percent = std::stoi((*it)[5]);
    EXPECT_GE(percent, last_percent);
    EXPECT_LE(percent, 100);
    last_percent = percent;
    ++n;
  }
  EXPECT_GE(n, 1u) << "the first line is drawn at once";
  EXPECT_EQ(std::regex_replace(draws, redraw, ""), "") << "only whole redraws";
  EXPECT_LE(n, size_t(2 + ms.count() / 250)) << "at most four redraws a second";
}

}  // namespace
