// The console program run as a user would: piped standard input, every menu path, the end of
// input, and the command-line variants that open the menu.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "signature.h"
#include "test_testtavik_support.h"
#include "testtavik.h"

namespace {

using driver_test::mask;

struct ProgramRun {
  std::string out;
  std::string err;
  int status;  // exit status; -1 when it was killed (time limit, output limit or other signal)
};

// Runs the program in the current directory with args, input on a pipe as standard input (or, with
// stdin_path, that file opened read-only), and stdout and stderr collected in files; kills it after
// 60 seconds or 8 MiB of output to a file.
ProgramRun run_program(const std::vector<std::string> &args, const std::string &input,
                       const char *stdin_path = nullptr) {
  char out_path[] = "/tmp/tavik_console_out_XXXXXX";
  char err_path[] = "/tmp/tavik_console_err_XXXXXX";
  const int out_fd = mkstemp(out_path);
  const int err_fd = mkstemp(err_path);
  int in_pipe[2];
  if (out_fd < 0 || err_fd < 0 || pipe(in_pipe) != 0) return {"", "cannot set up", -1};
  std::vector<char *> argv;
  std::string bin = TAVIK_TESTTAVIK_BIN;
  argv.push_back(bin.data());
  std::vector<std::string> copies = args;
  for (std::string &a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);

  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) {
    const struct rlimit most = {8 << 20, 8 << 20};
    setrlimit(RLIMIT_FSIZE, &most);
    dup2(stdin_path == nullptr ? in_pipe[0] : open(stdin_path, O_RDONLY), 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    close(in_pipe[0]);
    close(in_pipe[1]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  size_t written = 0;
  signal(SIGPIPE, SIG_IGN);  // the program may stop reading before the input ends
  while (written < input.size()) {
    const ssize_t n = write(in_pipe[1], input.data() + written, input.size() - written);
    if (n <= 0) break;
    written += size_t(n);
  }
  close(in_pipe[1]);

  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      status = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ProgramRun r{driver_test::read_file(out_path), driver_test::read_file(err_path),
               status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1};
  close(out_fd);
  close(err_fd);
  unlink(out_path);
  unlink(err_path);
  return r;
}

// Runs the menu (no arguments) on input.
ProgramRun menu(const std::string &input) { return run_program({}, input); }

// The child runs the path this process runs (same processor, same TAVIK_BACKEND).
const std::string BANNER =
    "[STAMP]begin to test tavik-c algo\n"
    "the length of pk: 1472\n"
    "the length of sk: 3056\n"
    "the length of sig: 2573\n"
    "the path: " + std::string(tavik::backend_name(tavik::active_backend())) + " (" +
    tavik::backend_reason() + ")\n"
    "the Keccak lanes: [LANES]\n"
    "the arithmetic: [BITS]\n";
const std::string MENU = MENU_TEXT;  // the driver's own text, shown after every choice
const std::string INVALID = "invalid choice!\n";
const std::string ITEM1 =
    "begin to test sig_keygen illegal parameter.\n"
    "the return value after input illegal parameter is [-2][-2][-2] in turn\n"
    "sig_keygen illegal parameter test pass!\n";
const std::string ITEM2 =
    "begin to test sig_sign illegal parameter.\n"
    "the return value after input illegal parameter is [-2][-2][-2][-2][-2] in turn\n"
    "the sig_sign illegal-parameter test has passed\n";
const std::string ITEM3 =
    "begin to test sig_verf illegal parameter.\n"
    "the return value after input illegal parameter is [-2][-2][-2][-2][-2] in turn\n"
    "the sig_verf illegal-parameter test has passed\n";
const std::string LENGTH_Q = "length of test msg (default 59 bytes, <=3300):";
const std::string Q4 = "times to change key(default one time):test times at same key(default one time):" + LENGTH_Q;
const std::string Q5 = "times of test (default one time):" + LENGTH_Q +
                       "backward reasoning mode of sig_verf(to replace 0-key,default;1-signature;2-msg):";
const std::string Q7 = "mode of performance test (0-time default,1-cpucycle ):times of test (default one time):" + LENGTH_Q;
const std::string REFUSED = "Insufficient test space,test msg is restricted to 3300 bytes.\n";
const std::string KEYS = "gen public key:<1472 bytes>\ngen private key:<3056 bytes>\n";
const std::string ITEM6 =
    "begin the complete process test of tavik-c\n"
    "the test times of complete process is [10]\n"
    "test has finished, the test data has been written in[tavik_c_test_result.txt]\n";

std::string repeat(const std::string &s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

std::string forward_head(int keys, int per_key, int len) {
  return "begin to test sig_verf based on forward reasoning(legal signature data should be verified success)\n"
         "the times to change key is [" +
         std::to_string(keys) + "], the times to sign and verify with the same key is [" + std::to_string(per_key) +
         "], msg length is[" + std::to_string(len) + "]\n";
}

// Masked text of a forward run that passes.
std::string forward(int keys, int per_key, int len) {
  std::string s = forward_head(keys, per_key, len);
  for (int k = 1; k <= keys; ++k) {
    s += "change key " + std::to_string(k) + ":\n" + KEYS;
    s += repeat("random msg:<" + std::to_string(len) + " bytes>\nsignature value:<2573 bytes>\nsig_verf success\n",
                per_key);
  }
  return s + "the test of sig_verf based on forward reasoning has passed!\n";
}

// Masked text of a backward run of count iterations that passed, or that failed at iteration
// iterations (the last one shown).
std::string backward(int count, int len, int mode, bool passed = true, int iterations = -1) {
  const std::string tampered = mode == 0   ? "tampered public key:<1472 bytes>\n"
                               : mode == 1 ? "tampered signature value:<2573 bytes>\n"
                                           : "tampered random msg:<" + std::to_string(len) + " bytes>\n";
  return "begin to test sig_verf based on backward reasoning(illegal signature data should be verified fail)\n"
         "the times to sign and verify is [" +
         std::to_string(count) + "], msg length is[" + std::to_string(len) + "], test mode is [" +
         std::to_string(mode) + "]\n" + KEYS + "random msg:<" + std::to_string(len) +
         " bytes>\nsignature value:<2573 bytes>\n" +
         repeat("change offset=[N]\n" + tampered, iterations < 0 ? count : iterations) +
         (passed ? "the test of sig_verf backward reasoning pass\n" : "the test of sig_verf backward reasoning  failed!\n");
}

// Masked text of a passing interactive time (or cycle) test.
std::string performance(bool cycles, int count, int len) {
  const std::string params = "the times of test is [" + std::to_string(count) + "]\nthe length of test-message is [" +
                             std::to_string(len) + "]\n";
  if (!cycles) {
    const std::string line = "|total time cost of [" + std::to_string(count) +
                             "] execs is [T] seconds, average time cost of one exec is [T]\n";
    return "[STAMP]begin to test tavik-c time performance\n" + params + "sig_keygen" + line + "sig_sign" + line +
           "sig_verf" + line + "[STAMP]time performance test end\n";
  }
  const std::string line = "|total cpucycle cost of [" + std::to_string(count) +
                           "] times exec is [C],  average cpucycle cost of one exec is [C]\n";
  return "[STAMP]begin to test tavik-c cpu cycle performance\n" + params + "sig_keygen" + line + "sig_sign" + line +
         "sig_verf" + line + "[STAMP]cpu cycle performance test end\n";
}

// Expects a normal end (status 0, nothing on stderr) with the masked stdout equal to expected.
void expect_run(const ProgramRun &r, const std::string &expected) {
  EXPECT_EQ(r.status, 0);
  if (r.out.size() > (1u << 20)) {
    ADD_FAILURE() << "runaway output of " << r.out.size() << " bytes";
    return;
  }
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(mask(r.out), expected);
}

TEST(Console, ChoicesOutsideTheMenuAreInvalid) {
  driver_test::ScopedTempCwd dir;
  // Empty line, 0, 8, -1, letters, q after a space or a tab, and a number that narrows to 0.
  expect_run(menu("\n0\n8\n-1\nabc\n q\n\tq\n4294967296\nq\n"), BANNER + repeat(MENU + INVALID, 8) + MENU);
  // A line of more than 1022 characters is read in two pieces: the rest is the next choice.
  expect_run(menu(std::string(1022, 'x') + "1\nq\n"), BANNER + MENU + INVALID + MENU + ITEM1 + MENU);
}

TEST(Console, LinesStartingWithQEndTheMenu) {
  driver_test::ScopedTempCwd dir;
  for (const char *input : {"q\n", "quit\n", "q7\n", "q\n1\n2\n"}) {
    SCOPED_TRACE(input);
    expect_run(menu(input), BANNER + MENU);
  }
}

TEST(Console, IllegalParameterItemsAndChoiceParsing) {
  driver_test::ScopedTempCwd dir;
  // " 1" and "3abc" select 1 and 3; 4294967297 narrows to 1.
  expect_run(menu("1\n2\n3\n 1\n3abc\n4294967297\nq\n"),
             BANNER + MENU + ITEM1 + MENU + ITEM2 + MENU + ITEM3 + MENU + ITEM1 + MENU + ITEM3 + MENU + ITEM1 + MENU);
}

TEST(Console, ForwardReasoningItem) {
  driver_test::ScopedTempCwd dir;
  // Defaults; a length above 3300 reaches the test, which refuses it and passes; 2 keys, -3 -> 1
  // signature, 1-byte messages.
  expect_run(menu("4\n\n\n\n4\n\n\n4000\n4\n2\n-3\n1\nq\n"),
             BANNER + MENU + Q4 + forward(1, 1, 59) + MENU + Q4 + forward_head(1, 1, 4000) + REFUSED + MENU + Q4 +
                 forward(2, 1, 1) + MENU);
}

TEST(Console, BackwardReasoningItemModes) {
  driver_test::ScopedTempCwd dir;
  // " 5" with defaults (mode 0); 2 iterations of 1 byte with mode answer 3 -> 0; -1 -> 0; mode 2.
  const ProgramRun r = menu(" 5\n\n\n\n5\n2\n1\n3\n5\n\n\n-1\n5\n\n\n2\nq\n");
  expect_run(r, BANNER + MENU + Q5 + backward(1, 59, 0) + MENU + Q5 + backward(2, 1, 0) + MENU + Q5 +
                    backward(1, 59, 0) + MENU + Q5 + backward(1, 59, 2) + MENU);
  // Each run's dumps are faithful to the data it verified.
  const std::string menu_text = MENU.substr(1);  // the segments split at the menu's lines
  std::vector<std::string> runs;
  for (size_t at = r.out.find(menu_text), next; at != std::string::npos; at = next) {
    next = r.out.find(menu_text, at + 1);
    runs.push_back(r.out.substr(at, next == std::string::npos ? std::string::npos : next - at));
  }
  ASSERT_EQ(runs.size(), 5u);
  driver_test::expect_backward_faithful(runs[0], 0, 59, true);
  driver_test::expect_backward_faithful(runs[1], 0, 1, true);
  driver_test::expect_backward_faithful(runs[2], 0, 59, true);
  driver_test::expect_backward_faithful(runs[3], 2, 59, true);
}

TEST(Console, BackwardReasoningItemSignatureMode) {
  driver_test::ScopedTempCwd dir;
  const ProgramRun r = menu("5\n3\n\n1\nq\n");
  if (r.out.find("backward reasoning  failed!") != std::string::npos) {
    // A byte that verification never reads was altered: the test fails and the menu ends.
    const int iterations = int(driver_test::offsets(r.out).size());
    expect_run(r, BANNER + MENU + Q5 + backward(3, 59, 1, false, iterations));
    driver_test::expect_backward_faithful(r.out, 1, 59, false);
    return;
  }
  expect_run(r, BANNER + MENU + Q5 + backward(3, 59, 1) + MENU);
  driver_test::expect_backward_faithful(r.out, 1, 59, true);
}

TEST(Console, CompleteProcessItemTwiceAppendsTwoRecords) {
  driver_test::ScopedTempCwd dir;
  expect_run(menu("6\n6\nq\n"), BANNER + MENU + ITEM6 + MENU + ITEM6 + MENU);
  const std::vector<std::string> lines = driver_test::split_lines(driver_test::read_file("tavik_c_test_result.txt"));
  ASSERT_EQ(lines.size(), 2 * 84 + 1u);
  for (size_t first : {size_t(0), size_t(84)}) {
    EXPECT_EQ(lines[first], "begin the complete process test of tavik-c");
    EXPECT_EQ(lines[first + 2], "test 1");
    EXPECT_EQ(lines[first + 74], "test 10");
    EXPECT_EQ(lines[first + 81], "-api :sig_verf return OK");
    EXPECT_EQ(lines[first + 82], "the complete process test of tavik-c has finished.");
    EXPECT_EQ(lines[first + 83], "");
  }
}

TEST(Console, PerformanceItem) {
  driver_test::ScopedTempCwd dir;
  // Mode 2 -> time; mode 1 with 2 runs of 1 byte; 3301 refused without a test; -5 -> 59; a mode
  // that is not a number -> time, with the longest message.
  expect_run(menu("7\n2\n\n\n7\n1\n2\n1\n7\n\n\n3301\n7\n\n\n-5\n7\nx\n\n3300\nq\n"),
             BANNER + MENU + Q7 + performance(false, 1, 59) + MENU + Q7 + performance(true, 2, 1) + MENU + Q7 +
                 REFUSED + MENU + Q7 + performance(false, 1, 59) + MENU + Q7 + performance(false, 1, 3300) + MENU);
}

TEST(Console, EndOfInputEndsTheMenuAndUnreadAnswersTakeDefaults) {
  driver_test::ScopedTempCwd dir;
  struct Case {
    const char *input;
    std::string expected;
  };
  const Case cases[] = {
      {"", BANNER + MENU},
      {"1\n", BANNER + MENU + ITEM1 + MENU},
      {"2", BANNER + MENU + ITEM2 + MENU},
      {"4\n", BANNER + MENU + Q4 + forward(1, 1, 59) + MENU},
      {"5\n", BANNER + MENU + Q5 + backward(1, 59, 0) + MENU},
      {"7\n1\n", BANNER + MENU + Q7 + performance(true, 1, 59) + MENU},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.input);
    expect_run(menu(c.input), c.expected);
  }
}

TEST(Console, UnreadableInputEndsTheMenu) {
  driver_test::ScopedTempCwd dir;
  // Reading a directory fails with an error that no retry cures: the menu ends after one showing.
  expect_run(run_program({}, "", "."), BANNER + MENU);
}

TEST(Console, ArgumentsOtherThanASingleTOpenTheMenu) {
  driver_test::ScopedTempCwd dir;
  const std::vector<std::vector<std::string>> variants = {{}, {"T"}, {"tt"}, {"t", "x"}, {"x", "t"}, {""}};
  for (const auto &args : variants) {
    SCOPED_TRACE(args.empty() ? std::string("(none)") : args[0]);
    expect_run(run_program(args, "q\n"), BANNER + MENU);
  }
  EXPECT_FALSE(std::filesystem::exists("tavik_c_test_performance.txt"));
}

}  // namespace
