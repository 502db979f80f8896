// Shared helpers of the driver suites: temporary working directories, capture of stdout and
// stderr, masking of time stamps and random hex, parsing of hex dumps.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tavik.h"

namespace driver_test {

// A fresh directory under /tmp that is the working directory while the object lives.
class ScopedTempCwd {
 public:
  ScopedTempCwd() {
    char old[4096];
    if (getcwd(old, sizeof old) != nullptr) old_ = old;
    char tmpl[] = "/tmp/tavik_driver_XXXXXX";
    const char *made = mkdtemp(tmpl);
    if (made == nullptr) std::abort();
    path_ = made;
    if (chdir(path_.c_str()) != 0) std::abort();
  }
  ~ScopedTempCwd() {
    if (!old_.empty() && chdir(old_.c_str()) != 0) std::abort();
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScopedTempCwd(const ScopedTempCwd &) = delete;
  ScopedTempCwd &operator=(const ScopedTempCwd &) = delete;
  const std::string &path() const { return path_; }
  // Removes the directory while it stays the working directory: nothing can be created in it,
  // whatever the user's privileges.
  void make_unwritable() const { ASSERT_EQ(rmdir(path_.c_str()), 0); }

 private:
  std::string old_;
  std::string path_;
};

// Redirects a descriptor (1 or 2) into an anonymous file until finish().
class FdCapture {
 public:
  explicit FdCapture(int fd) : fd_(fd) {
    fflush(stdout);
    fflush(stderr);
    char tmpl[] = "/tmp/tavik_capture_XXXXXX";
    file_ = mkstemp(tmpl);
    if (file_ < 0) std::abort();
    unlink(tmpl);
    saved_ = dup(fd_);
    dup2(file_, fd_);
  }
  ~FdCapture() { finish(); }
  FdCapture(const FdCapture &) = delete;
  FdCapture &operator=(const FdCapture &) = delete;
  // Restores the descriptor and returns everything written to it meanwhile.
  std::string finish() {
    if (saved_ < 0) return text_;
    fflush(stdout);
    fflush(stderr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
    lseek(file_, 0, SEEK_SET);
    char buf[65536];
    ssize_t n;
    while ((n = read(file_, buf, sizeof buf)) > 0) text_.append(buf, size_t(n));
    close(file_);
    return text_;
  }

 private:
  int fd_;
  int file_ = -1;
  int saved_ = -1;
  std::string text_;
};

// Result and console text of one captured call.
struct Captured {
  int32_t ret;
  std::string out;
  std::string err;
};

// Runs f() with stdout and stderr captured.
template <class F>
Captured capture(F f) {
  FdCapture err(2);
  FdCapture out(1);
  const int32_t ret = f();
  std::string o = out.finish();
  std::string e = err.finish();
  return {ret, o, e};
}

// The whole content of a file ("" when missing).
inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Lines of text split at '\n'; the piece after the last '\n' is the last element (often "").
inline std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    const size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(start));
      return lines;
    }
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
}

// Labels in front of hex dumps on the console and in the result file.
inline const std::vector<std::string> &hex_labels() {
  static const std::vector<std::string> labels = {
      "gen public key:",      "gen private key:",          "random msg:",         "signature value:",
      "tampered public key:", "tampered signature value:", "tampered random msg:", "public key:",
      "private key:"};
  return labels;
}

// True when s is made of upper-case hex digit pairs only.
inline bool is_hex(const std::string &s) {
  if (s.size() % 2 != 0) return false;
  for (char ch : s) {
    if (!((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F'))) return false;
  }
  return true;
}

// Replaces what differs from run to run with placeholders: "[STAMP]" for each 24-character time
// stamp in brackets, "<N bytes>" for the hex after a known label at the start of a line,
// "change offset=[N]" for offsets, "[T]" for time figures and "[C]" for cycle figures.
inline std::string mask(const std::string &text) {
  static const std::regex stamp(R"(\[\d{8}-\d{2}:\d{2}:\d{2}\.\d{6}\])");
  static const std::regex offset(R"(change offset=\[\d+\])");
  static const std::regex seconds(R"(\[\d+\.\d{6}\])");
  static const std::regex cycles(R"((exec is )\[\d+\])");
  static const std::regex lanes(R"(^(the Keccak lanes: )[48] \(.*\)$)");
  static const std::regex bits(R"(^(the arithmetic: )(32|256|512) bits \(.*\)$)");
  std::string out;
  const std::vector<std::string> lines = split_lines(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string line = lines[i];
    for (const std::string &label : hex_labels()) {
      if (line.compare(0, label.size(), label) == 0) {
        const std::string rest = line.substr(label.size());
        line = label + (is_hex(rest) ? "<" + std::to_string(rest.size() / 2) + " bytes>" : "<not hex>");
        break;
      }
    }
    line = std::regex_replace(line, stamp, "[STAMP]");
    line = std::regex_replace(line, offset, "change offset=[N]");
    line = std::regex_replace(line, seconds, "[T]");
    line = std::regex_replace(line, cycles, "$1[C]");
    line = std::regex_replace(line, lanes, "$1[LANES]");
    line = std::regex_replace(line, bits, "$1[BITS]");
    out += line;
    if (i + 1 < lines.size()) out += '\n';
  }
  return out;
}

// Bytes of a hex text of digit pairs.
inline std::vector<uint8_t> from_hex(const std::string &hex) {
  std::vector<uint8_t> bytes(hex.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return bytes;
}

// One labelled hex line.
struct Dump {
  std::string label;
  std::vector<uint8_t> bytes;
};

// Every line of text that starts with a known label and continues with hex, in order.
inline std::vector<Dump> dumps(const std::string &text) {
  std::vector<Dump> found;
  for (const std::string &line : split_lines(text)) {
    for (const std::string &label : hex_labels()) {
      if (line.compare(0, label.size(), label) == 0 && is_hex(line.substr(label.size()))) {
        found.push_back({label, from_hex(line.substr(label.size()))});
        break;
      }
    }
  }
  return found;
}

// Offsets printed as "change offset=[N]", in order.
inline std::vector<int> offsets(const std::string &text) {
  static const std::regex offset(R"(change offset=\[(\d+)\])");
  std::vector<int> found;
  for (std::sregex_iterator it(text.begin(), text.end(), offset), end; it != end; ++it) {
    found.push_back(std::stoi((*it)[1]));
  }
  return found;
}

// Checks the console text of one backward reasoning run against the data it shows: every tampered
// dump differs from the signed data in exactly the one byte at the printed offset, and sig_verf
// rejects every tampered triple except, when the run failed (passed false), the last one, which it
// must accept. mode 0, 1 or 2; len the message length.
inline void expect_backward_faithful(const std::string &text, int32_t mode, int32_t len, bool passed) {
  std::vector<uint8_t> pk, msg, sig;
  std::vector<std::vector<uint8_t>> tampered;
  const std::string tampered_label =
      mode == 0 ? "tampered public key:" : mode == 1 ? "tampered signature value:" : "tampered random msg:";
  for (const Dump &d : dumps(text)) {
    if (d.label == "gen public key:") pk = d.bytes;
    if (d.label == "random msg:") msg = d.bytes;
    if (d.label == "signature value:") sig = d.bytes;
    if (d.label == tampered_label) tampered.push_back(d.bytes);
  }
  ASSERT_EQ(pk.size(), size_t(TAVIK_PK_BYTES));
  ASSERT_EQ(sig.size(), size_t(TAVIK_SIG_BYTES));
  ASSERT_EQ(msg.size(), size_t(len));
  ASSERT_EQ(sig_verf(pk.data(), sig.data(), sig.size(), msg.data(), msg.size()), 0) << "the signed data verifies";
  const std::vector<int> offs = offsets(text);
  ASSERT_EQ(offs.size(), tampered.size());
  ASSERT_FALSE(offs.empty());
  const std::vector<uint8_t> &original = mode == 0 ? pk : mode == 1 ? sig : msg;
  const int range = mode == 0 ? TAVIK_PK_BYTES : mode == 1 ? TAVIK_SIG_BYTES : len;
  for (size_t i = 0; i < offs.size(); ++i) {
    ASSERT_GE(offs[i], 0);
    ASSERT_LT(offs[i], range);
    ASSERT_EQ(tampered[i].size(), original.size());
    size_t differing = 0;
    for (size_t b = 0; b < original.size(); ++b) differing += tampered[i][b] != original[b];
    EXPECT_EQ(differing, 1u) << "iteration " << i;
    EXPECT_NE(tampered[i][size_t(offs[i])], original[size_t(offs[i])]) << "iteration " << i;
    const std::vector<uint8_t> &p = mode == 0 ? tampered[i] : pk;
    const std::vector<uint8_t> &s = mode == 1 ? tampered[i] : sig;
    const std::vector<uint8_t> &m = mode == 2 ? tampered[i] : msg;
    const int32_t verdict = sig_verf(p.data(), s.data(), s.size(), m.data(), m.size());
    if (!passed && i + 1 == offs.size()) {
      EXPECT_EQ(verdict, 0) << "the run failed on a triple that verifies";
    } else {
      EXPECT_NE(verdict, 0) << "iteration " << i << " offset " << offs[i];
    }
  }
}

}  // namespace driver_test
