// Atomic replacement of the tool's output files, and the signal handlers that put the terminal
// back and remove named temporaries when the process ends or stops.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sodium.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "tavik_cli_files.h"

namespace tavik_cli {

namespace {

std::string errno_text() { return std::strerror(errno); }


std::pair<std::string, std::string> split_path(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// Named temporary files that exist now, for the signal handler: fixed slots, nothing allocated.
constexpr int TEMP_SLOTS = 4;
char temp_names[TEMP_SLOTS][PATH_MAX];
volatile sig_atomic_t temp_live[TEMP_SLOTS];
void (*volatile signal_restore)() = nullptr;
void (*volatile signal_resume)() = nullptr;
// Signals whose default action ends the process (the real-time ones are added at run time), and
// those whose default action stops it. The faults a program makes itself (SIGSEGV, SIGBUS, SIGFPE,
// SIGILL) are among the first: a handler that a sanitizer's runtime installed is left in place.
constexpr int ENDING_SIGNALS[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM,
                                  SIGVTALRM, SIGPROF, SIGPIPE, SIGIO,   SIGXCPU, SIGPWR,  SIGSYS,
                                  SIGTRAP, SIGABRT, SIGSEGV, SIGBUS,  SIGFPE,  SIGILL,  SIGSTKFLT};
constexpr int STOPPING_SIGNALS[] = {SIGTSTP, SIGTTIN, SIGTTOU};
sigset_t ending_set;  // filled by handle_fatal_signals

void remove_temporaries_now() {
  for (int i = 0; i < TEMP_SLOTS; ++i) {
    if (temp_live[i]) unlink(temp_names[i]);
    temp_live[i] = 0;
  }
}

// Puts the terminal back, removes the temporaries and ends the process by the same signal with its
// default action.
extern "C" void on_fatal_signal(int sig) {
  if (signal_restore != nullptr) signal_restore();
  remove_temporaries_now();
  signal(sig, SIG_DFL);
  raise(sig);  // delivered, with its default action, when the handler returns
}

// Puts the terminal back, stops as the signal asks, and on continuing takes the terminal again as
// the tool had it (echo off while a passphrase is typed).
extern "C" void on_stop_signal(int sig) {
  const int saved_errno = errno;
  if (signal_restore != nullptr) signal_restore();
  struct sigaction mine {}, dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, &mine);
  sigset_t only, before;
  sigemptyset(&only);
  sigaddset(&only, sig);
  raise(sig);
  sigprocmask(SIG_UNBLOCK, &only, &before);  // the stop happens here, until SIGCONT
  sigprocmask(SIG_SETMASK, &before, nullptr);
  sigaction(sig, &mine, nullptr);
  if (signal_resume != nullptr) signal_resume();
  errno = saved_errno;
}

// The ending signals blocked for a scope: a temporary gets its name and its slot, or loses both, at once.
class SignalsHeld {
 public:
  SignalsHeld() { sigprocmask(SIG_BLOCK, &ending_set, &old_); }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
  SignalsHeld(const SignalsHeld &) = delete;
  SignalsHeld &operator=(const SignalsHeld &) = delete;

 private:
  sigset_t old_;
};

int hold_temp_name(const std::string &name) {
  for (int i = 0; i < TEMP_SLOTS; ++i) {
    if (!temp_live[i] && name.size() < PATH_MAX) {
      std::memcpy(temp_names[i], name.c_str(), name.size() + 1);
      temp_live[i] = 1;
      return i;
    }
  }
  return -1;
}

// A fresh name ".BASE.tmp.XXXXXX" beside `path` for `fd`: a new named temporary (fd < 0, created
// with mode 0600 and opened into *fd) or a link to the unnamed file fd. Returns the slot.
int named_temporary(const std::string &path, int *fd, std::string *temp) {
  const auto [dir, base] = split_path(path);
  for (int attempt = 0; attempt < 16; ++attempt) {
    uint8_t r[4];
    randombytes_buf(r, sizeof r);
    char suffix[9];
    std::snprintf(suffix, sizeof suffix, "%02x%02x%02x%02x", r[0], r[1], r[2], r[3]);
    *temp = (dir == "." ? "" : dir) + "." + base + ".tmp." + suffix;
    const SignalsHeld held;
    int ok;
    if (*fd < 0) {
      *fd = open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      ok = *fd >= 0;
    } else {
      char proc[32];
      std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", *fd);
      ok = linkat(AT_FDCWD, proc, AT_FDCWD, temp->c_str(), AT_SYMLINK_FOLLOW) == 0;
    }
    if (ok) {
      const int slot = hold_temp_name(*temp);
      if (slot >= 0) return slot;
      unlink(temp->c_str());
      errno = EMFILE;
      return -1;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

// Removes what a run killed before its rename left beside `path`: a regular file of this user
// named as named_temporary names them. Another run that writes `path` at this moment loses its
// temporary and fails; the file itself is never touched.
void remove_stale_temporaries(const std::string &path) {
  const auto [dir, base] = split_path(path);
  const std::string prefix = "." + base + ".tmp.";
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent *e = readdir(d)) {
    const std::string n = e->d_name;
    if (n.size() != prefix.size() + 8 || n.compare(0, prefix.size(), prefix) != 0 ||
        n.find_first_not_of("0123456789abcdef", prefix.size()) != std::string::npos)
      continue;
    struct stat st {};
    if (fstatat(dirfd(d), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid())
      unlinkat(dirfd(d), n.c_str(), 0);
  }
  closedir(d);
}

}  // namespace

void handle_fatal_signals(void (*restore)(), void (*resume)()) {
  signal_restore = restore;
  signal_resume = resume;
  sigemptyset(&ending_set);
  for (int sig : ENDING_SIGNALS) sigaddset(&ending_set, sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&ending_set, sig);
  const auto install = [](int sig, void (*handler)(int), const sigset_t &mask) {
    struct sigaction was {}, sa {};
    // Only where the default action holds: a signal the caller ignores stays ignored (nohup, a
    // background job of a script), and a handler of a sanitizer's runtime stays too.
    if (sigaction(sig, nullptr, &was) != 0 || (was.sa_flags & SA_SIGINFO) || was.sa_handler != SIG_DFL) return;
    sa.sa_handler = handler;
    sa.sa_mask = mask;
    sa.sa_flags = SA_RESTART;  // a read of the terminal goes on after a stop
    sigaction(sig, &sa, nullptr);
  };
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&ending_set, sig) == 1) install(sig, on_fatal_signal, ending_set);
  }
  sigset_t stopping = ending_set;  // a stop never interrupts the handler of another
  for (int sig : STOPPING_SIGNALS) sigaddset(&stopping, sig);
  for (int sig : STOPPING_SIGNALS) install(sig, on_stop_signal, stopping);
  signal(SIGXFSZ, SIG_IGN);
}

void AtomicWrites::add(const std::string &path, const std::string &content, bool secret, const FileId *replace) {
  const std::string name = shown_path(path);
  Pending p;
  p.path = path;
  p.replace = replace != nullptr;
  if (replace != nullptr) p.old = *replace;
  remove_stale_temporaries(path);
  const mode_t mode = secret ? 0600 : 0666;  // less the umask
  if (!fault("no-tmpfile") && access("/proc/self/fd", X_OK) == 0)
    p.fd = open(split_path(path).first.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  if (p.fd < 0) {  // no unnamed files here: a named temporary, 0600 from the start
    p.slot = named_temporary(path, &p.fd, &p.temp);
    if (p.slot < 0) throw Error{name + ": cannot create a temporary file beside it: " + errno_text()};
    const mode_t mask = umask(0);
    umask(mask);
    if (!secret && fchmod(p.fd, mode & ~mask) != 0) {
      const std::string why = errno_text();
      pending_.push_back(p);
      throw Error{shown_path(p.temp) + ": " + why};
    }
  }
  pending_.push_back(p);
  const int fd = p.fd;
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = fault("write") ? (errno = ENOSPC, -1) : write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw Error{name + ": writing failed: " + errno_text()};
    done += size_t(n);
  }
  if (fsync(fd) != 0) throw Error{name + ": flushing failed: " + errno_text()};
}

void AtomicWrites::commit() {
  if (fault("rename")) kill(getpid(), SIGKILL);
  if (fault("wait")) {
    std::fputs("tavik: waiting for a signal\n", stderr);
    for (;;) pause();
  }
  while (!pending_.empty()) {
    Pending &p = pending_.front();
    const std::string name = shown_path(p.path);
    struct stat st {};
    const bool present = lstat(p.path.c_str(), &st) == 0;
    const bool replace = p.replace && present;
    if (replace && (!S_ISREG(st.st_mode) || !(FileId{st.st_dev, st.st_ino} == p.old)))
      throw Error{name + ": changed while the tool ran; not replaced"};
    int r;
    if (p.temp.empty() && !replace) {  // the unnamed file gets its name, unless the name is taken
      char proc[32];
      std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", p.fd);
      r = linkat(AT_FDCWD, proc, AT_FDCWD, p.path.c_str(), AT_SYMLINK_FOLLOW);
    } else {
      if (p.temp.empty()) {
        p.slot = named_temporary(p.path, &p.fd, &p.temp);
        if (p.slot < 0) throw Error{name + ": cannot link a temporary file beside it: " + errno_text()};
      }
      const SignalsHeld held;
      // No replacing: a hard link fails when the name exists, even if it appeared just now.
      r = replace ? rename(p.temp.c_str(), p.path.c_str()) : link(p.temp.c_str(), p.path.c_str());
      if (r == 0) {
        if (!replace) unlink(p.temp.c_str());
        temp_live[p.slot] = 0;
        p.slot = -1;
        p.temp.clear();
      }
    }
    if (r != 0) throw Error{name + (errno == EEXIST ? ": exists; use -f to replace it" : ": " + errno_text())};
    close(p.fd);
    const int dfd = open(split_path(p.path).first.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      fsync(dfd);
      close(dfd);
    }
    pending_.erase(pending_.begin());
  }
}

AtomicWrites::~AtomicWrites() {
  for (const auto &p : pending_) {
    if (p.fd >= 0) close(p.fd);
    if (p.slot >= 0) {
      const SignalsHeld held;
      unlink(p.temp.c_str());
      temp_live[p.slot] = 0;
    }
  }
}

}  // namespace tavik_cli
