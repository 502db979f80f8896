// Passphrases of the tavik tool: from a file, a descriptor or standard input, or typed on the
// terminal with its echo off; and which of a command's inputs read standard input.
#include "tavik_cli_passphrase.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sodium.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

namespace tavik_cli {

namespace {

// The first line of what fd `fd` holds, without its line end; read a byte at a time, so that the
// next line stays for the next reader of a shared stream (old and new passphrase on one pipe).
void read_passphrase_line(int fd, const std::string &name, Passphrase *p, const char *what = "passphrase") {
  char ch = 0;
  size_t len = 0;
  ssize_t n;
  p->text.clear();
  while ((n = read(fd, &ch, 1)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Error{name + ": " + std::strerror(errno)};
    if (ch == '\n') break;
    if (len++ < MAX_PASSPHRASE + 1) p->text += ch;
    if (len > MAX_PASSPHRASE + 1) break;
  }
  sodium_memzero(&ch, sizeof ch);
  if (!p->text.empty() && p->text.back() == '\r') p->text.pop_back();
  if (p->text.size() > MAX_PASSPHRASE) {
    wipe(p->text);
    throw Error{name + ": " + what + " longer than 1024 bytes"};
  }
  note_secret(p->text.data(), p->text.size());
}

}  // namespace

// The descriptor number of --passphrase-fd N: a decimal number of an open descriptor.
int descriptor(const std::string &opt, const std::string &text) {
  unsigned long n = 0;
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos ||
      (n = std::strtoul(text.c_str(), nullptr, 10), fcntl(int(n), F_GETFD) < 0))
    throw Error{opt + " " + shown_path(text) + ": not an open file descriptor"};
  return int(n);
}

namespace {

// Whether what st describes is what descriptor 0 holds: the same file, pipe or terminal.
bool is_stdin(const struct stat &st) {
  struct stat in {};
  return fstat(0, &in) == 0 && in.st_dev == st.st_dev && in.st_ino == st.st_ino;
}
}  // namespace

bool fd_reads_stdin(int fd) {
  struct stat st {};
  return fd == 0 || (fstat(fd, &st) == 0 && is_stdin(st));
}
// Whether FILE reads standard input, however it is named ("-", /dev/stdin, /proc/self/fd/0, the
// name of the file or pipe given as standard input); `dash` says whether "-" stands for it.
bool path_reads_stdin(const std::string &path, bool dash) {
  struct stat st {};
  return (dash && path == "-") || (stat(path.c_str(), &st) == 0 && is_stdin(st));
}

namespace {

// A passphrase source that reads what a file of the command reads already: refused.
void refuse_shared_stdin(Options &o, int fd, const std::string &name, const char *what) {
  if (o.stdin_taken && fd_reads_stdin(fd))
    throw Error{name + ": standard input cannot hold both a file and a " + what};
}

}  // namespace

// The passphrase from the source that `prefix` ("--" or "--new-") names: FILE, "-" (standard
// input) or descriptor N. False when neither option was given.
bool given_passphrase(Options &o, const std::string &prefix, Passphrase *p) {
  return given_secret(o, prefix + "passphrase-file", prefix + "passphrase-fd", "passphrase", p);
}

// A secret (`what`: "passphrase", "PIN") from the option `file` (a file name, "-" for standard
// input) or `fd` (a descriptor number); false when neither was given.
bool given_secret(Options &o, const std::string &file, const std::string &fd, const char *what, Passphrase *p) {
  if (o.count(file) && o.count(fd)) throw Error{file + " and " + fd + " exclude each other"};
  if (o.count(fd)) {
    const int n = descriptor(fd, o[fd]);
    refuse_shared_stdin(o, n, "descriptor " + o[fd], what);
    read_passphrase_line(n, "descriptor " + o[fd], p, what);
  } else if (o.count(file) && o[file] == "-") {
    refuse_shared_stdin(o, 0, "-", what);
    read_passphrase_line(0, "standard input", p, what);
  } else if (o.count(file)) {
    const int f = open(o[file].c_str(), O_RDONLY | O_CLOEXEC);
    if (f < 0) throw Error{shown_path(o[file]) + ": " + std::strerror(errno)};
    try {
      refuse_shared_stdin(o, f, shown_path(o[file]), what);  // by what was opened, not by its name
      read_passphrase_line(f, shown_path(o[file]), p, what);
    } catch (...) {
      close(f);
      throw;
    }
    close(f);
  } else {
    return false;
  }
  return true;
}

// Whether a passphrase option of `o` reads standard input, however it names it.
bool passphrase_on_stdin(Options &o) {
  for (const char *prefix : {"--", "--new-"}) {
    const std::string file = std::string(prefix) + "passphrase-file", fd = std::string(prefix) + "passphrase-fd";
    if ((o.count(file) && path_reads_stdin(o[file])) || (o.count(fd) && fd_reads_stdin(descriptor(fd, o[fd]))))
      return true;
  }
  return false;
}

namespace {

// The terminal while its echo is off, for the signal handlers.
int quiet_tty = -1;
termios tty_before{}, tty_silent{};
volatile sig_atomic_t tty_quiet = 0;

}  // namespace

// Puts the echo back before the process ends or stops (async-signal-safe).
void restore_terminal() {
  if (tty_quiet) tcsetattr(quiet_tty, TCSANOW, &tty_before);
}

// Takes the echo off again when a stopped process continues (async-signal-safe).
void resume_terminal() {
  if (tty_quiet) tcsetattr(quiet_tty, TCSANOW, &tty_silent);
}

namespace {

// The terminal's echo off for a scope; back on at its end, by whatever way it ends.
class EchoOff {
 public:
  explicit EchoOff(int tty) {
    if (tcgetattr(tty, &tty_before) != 0) return;
    tty_silent = tty_before;
    tty_silent.c_lflag &= ~tcflag_t(ECHO);
    quiet_tty = tty;
    tty_quiet = 1;  // before the change: a signal that comes between restores what was there
    tcsetattr(tty, TCSAFLUSH, &tty_silent);
  }
  ~EchoOff() {
    if (!tty_quiet) return;
    tty_quiet = 0;  // before the change: a stop that comes between cannot take the echo off again
    tcsetattr(quiet_tty, TCSANOW, &tty_before);
  }
  EchoOff(const EchoOff &) = delete;
  EchoOff &operator=(const EchoOff &) = delete;
};

// Asks on the terminal with echo off; an empty answer is returned as such, a longer one than 1024
// bytes refused.
void ask_passphrase(const char *prompt, Passphrase *p,
                    const char *no_tty = "no terminal to ask for the passphrase: use --passphrase-file FILE") {
  const int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (tty < 0) throw Error{no_tty};
  size_t len = 0;
  {
    const EchoOff quiet(tty);
    if (write(tty, prompt, std::strlen(prompt)) < 0) { /* the question is a courtesy */ }
    char ch = 0;
    p->text.clear();
    while (read(tty, &ch, 1) == 1 && ch != '\n' && ch != '\r') {
      if (len++ < MAX_PASSPHRASE) p->text += ch;
    }
    sodium_memzero(&ch, sizeof ch);
  }
  if (write(tty, "\n", 1) < 0) { /* as above */ }
  close(tty);
  if (len > MAX_PASSPHRASE) {
    wipe(p->text);
    throw Error{"passphrase longer than 1024 bytes"};
  }
  note_secret(p->text.data(), p->text.size());
}

}  // namespace

// A secret typed on the terminal with its echo off, after `prompt`; `no_tty` is the error when there
// is no terminal.
void ask_secret(const std::string &prompt, const char *no_tty, Passphrase *p) { ask_passphrase(prompt.c_str(), p, no_tty); }

// The passphrase of an existing secret key: from its option, else from the terminal.
void existing_passphrase(Options &o, const std::string &secfile, Passphrase *p) {
  if (!given_passphrase(o, "--", p)) ask_passphrase(("passphrase for " + shown_path(secfile) + ": ").c_str(), p);
}

// A new passphrase: from the option that `prefix` names, else asked twice on the terminal with
// `prompt`; null with --no-passphrase. An empty one is refused.
const std::string *new_passphrase(Options &o, const std::string &prefix, const std::string &prompt, Passphrase *p) {
  for (const char *source : {"passphrase-file", "passphrase-fd"}) {
    if (o.count("--no-passphrase") && o.count(prefix + source))
      throw Error{"--no-passphrase and " + prefix + source + " exclude each other"};
  }
  if (o.count("--no-passphrase")) return nullptr;
  if (!given_passphrase(o, prefix, p)) {
    Passphrase again;
    ask_passphrase(prompt.c_str(), p);
    ask_passphrase("the same passphrase again: ", &again);
    if (p->text != again.text) throw Error{"the two passphrases differ; nothing written"};
  }
  if (p->text.empty()) throw Error{"empty passphrase; use --no-passphrase to store the key unencrypted"};
  return &p->text;
}

}  // namespace tavik_cli
