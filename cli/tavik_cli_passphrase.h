// Passphrases of the tavik tool and the command options they come from.
#pragma once
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "tavik_cli_files.h"

namespace tavik_cli {

constexpr size_t MAX_PASSPHRASE = 1024;

// A command's options: each at most once, except -m (the files, in order).
struct Options : std::map<std::string, std::string> {
  std::vector<std::string> files;
  bool stdin_taken = false;  // a file of the command (not a passphrase) reads standard input
  bool old_secret_key = false;  // the secret key is ./tavik.sec of an earlier tool: warned when read
};

// A passphrase, wiped when it goes out of scope.
struct Passphrase {
  std::string text;
  Passphrase() { text.reserve(MAX_PASSPHRASE + 1); }  // never reallocated, so never copied
  ~Passphrase() { wipe(text); }
};

// The descriptor number of --passphrase-fd N: a decimal number of an open descriptor.
int descriptor(const std::string &opt, const std::string &text);
// Whether descriptor fd reads what descriptor 0 holds: the same file, pipe or terminal.
bool fd_reads_stdin(int fd);
// Whether FILE reads standard input, however it is named ("-", /dev/stdin, /proc/self/fd/0, the
// name of the file or pipe given as standard input); `dash` says whether "-" stands for it.
bool path_reads_stdin(const std::string &path, bool dash = true);
// The passphrase from the source that `prefix` ("--" or "--new-") names: FILE, "-" (standard
// input) or descriptor N. False when neither option was given. A source that reads what
// o.stdin_taken says a file of the command reads already is refused, by what it opened.
bool given_passphrase(Options &o, const std::string &prefix, Passphrase *p);
// The same for any secret (`what`: "PIN", say) from the options `file` and `fd`.
bool given_secret(Options &o, const std::string &file, const std::string &fd, const char *what, Passphrase *p);
// A secret typed on the terminal with its echo off, after `prompt`; `no_tty` is the error when there
// is no terminal. An answer longer than 1024 bytes is refused.
void ask_secret(const std::string &prompt, const char *no_tty, Passphrase *p);
// Whether a passphrase option of `o` reads standard input, however it names it.
bool passphrase_on_stdin(Options &o);
// For the signal handlers (async-signal-safe): the echo back before the process ends or stops, and
// off again when a stopped process continues while a passphrase is typed.
void restore_terminal();
void resume_terminal();
// The passphrase of an existing secret key: from its option, else from the terminal.
void existing_passphrase(Options &o, const std::string &secfile, Passphrase *p);
// A new passphrase: from the option that `prefix` names, else asked twice on the terminal with
// `prompt`; null with --no-passphrase. An empty one is refused.
const std::string *new_passphrase(Options &o, const std::string &prefix, const std::string &prompt, Passphrase *p);

}  // namespace tavik_cli
