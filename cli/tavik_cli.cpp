// tavik: makes key pairs, signs files and verifies signatures of files.
//   tavik keygen [-p PUBFILE] [-s SECFILE] [-f] [--no-passphrase] [--passphrase-file FILE]
//   tavik sign -s SECFILE -m FILE [-x SIGFILE] [-f] [--passphrase-file FILE]
//   tavik verify -p PUBFILE -m FILE [-x SIGFILE] [-q]
//   tavik pubkey -s SECFILE [-p PUBFILE] [-f] [--passphrase-file FILE]
// Exit status: 0 success (valid signature), 1 invalid signature, 2 usage or input error.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sodium.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tavik.h"
#include "tavik_cli_files.h"

using namespace tavik_cli;

namespace {

constexpr int EXIT_VALID = 0, EXIT_INVALID = 1, EXIT_ERROR = 2;
constexpr size_t CHUNK = 64 * 1024;
constexpr size_t MAX_PASSPHRASE = 1024;

const char *const USAGE =
    "usage: tavik keygen [-p PUBFILE] [-s SECFILE] [-f] [--no-passphrase] [--passphrase-file FILE]\n"
    "       tavik sign -s SECFILE -m FILE [-x SIGFILE] [-f] [--passphrase-file FILE]\n"
    "       tavik verify -p PUBFILE -m FILE [-x SIGFILE] [-q]\n"
    "       tavik pubkey -s SECFILE [-p PUBFILE] [-f] [--passphrase-file FILE]\n"
    "       tavik --help | --version | COMMAND --help\n";

struct Command {
  const char *name;
  const char *help;
  const char *flags;    // options without a value
  const char *valued;   // options with a value
  int (*run)(std::map<std::string, std::string> &opts);
};

// Secret bytes wiped when they go out of scope.
struct SecretKey {
  uint8_t bytes[TAVIK_SK_BYTES];
  SecretKey() { sodium_memzero(bytes, sizeof bytes); }
  ~SecretKey() { sodium_memzero(bytes, sizeof bytes); }
};
struct Passphrase {
  std::string text;
  Passphrase() { text.reserve(MAX_PASSPHRASE + 1); }  // never reallocated, so never copied
  ~Passphrase() { wipe(text); }
};

// First line of a passphrase file, without its line end.
void read_passphrase_file(const std::string &path, Passphrase *p) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw Error{shown_path(path) + ": " + std::strerror(errno)};
  char buf[MAX_PASSPHRASE + 2];
  ssize_t n, got = 0;
  while (got < ssize_t(sizeof buf) && (n = read(fd, buf + got, sizeof buf - size_t(got))) > 0) got += n;
  close(fd);
  size_t len = 0;
  while (len < size_t(got) && buf[len] != '\n' && buf[len] != '\r') ++len;
  if (len <= MAX_PASSPHRASE) p->text.assign(buf, len);
  sodium_memzero(buf, sizeof buf);
  if (len > MAX_PASSPHRASE) throw Error{shown_path(path) + ": passphrase longer than 1024 bytes"};
  note_secret(p->text.data(), p->text.size());
}

// The terminal while its echo is off, for the handler of fatal signals.
int quiet_tty = -1;
termios tty_before{};
volatile sig_atomic_t tty_quiet = 0;

// Puts the echo back (async-signal-safe: the handler of fatal signals calls it).
void restore_terminal() {
  if (tty_quiet) tcsetattr(quiet_tty, TCSANOW, &tty_before);
  tty_quiet = 0;
}

// The terminal's echo off for a scope; back on at its end, by whatever way it ends.
class EchoOff {
 public:
  explicit EchoOff(int tty) {
    if (tcgetattr(tty, &tty_before) != 0) return;
    quiet_tty = tty;
    tty_quiet = 1;
    termios quiet = tty_before;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(tty, TCSAFLUSH, &quiet);
  }
  ~EchoOff() { restore_terminal(); }
  EchoOff(const EchoOff &) = delete;
  EchoOff &operator=(const EchoOff &) = delete;
};

// Asks on the terminal with echo off; an empty answer is returned as such, a longer one than 1024
// bytes refused.
void ask_passphrase(const char *prompt, Passphrase *p) {
  const int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (tty < 0) throw Error{"no terminal to ask for the passphrase: use --passphrase-file FILE"};
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

// The passphrase of an existing secret key: from --passphrase-file, else from the terminal.
void existing_passphrase(std::map<std::string, std::string> &o, const std::string &secfile, Passphrase *p) {
  if (o.count("--passphrase-file")) {
    read_passphrase_file(o["--passphrase-file"], p);
  } else {
    ask_passphrase(("passphrase for " + shown_path(secfile) + ": ").c_str(), p);
  }
}

// The secret key of SECFILE and its key id, checked against the public key it rebuilds.
void load_secret_key(std::map<std::string, std::string> &o, const std::string &path, SecretKey *sk, std::string *id,
                     uint8_t *pk) {
  const Document d = read_document(path, Kind::secret_key);
  const std::string name = shown_path(path);
  if (d.mode & 044)
    std::fprintf(stderr, "tavik: warning: %s is readable by group or others (mode %04o); chmod 600 it\n",
                 name.c_str(), d.mode);
  Passphrase pass;
  if (is_sealed(d)) existing_passphrase(o, path, &pass);
  open_secret_key(d, path, is_sealed(d) ? &pass.text : nullptr, sk->bytes);
  note_secret_key(sk->bytes);
  *id = *d.field("key-id");
  if (tavik_pk_from_sk(pk, sk->bytes) != TAVIK_OK) throw Error{name + ": damaged secret key (its parts disagree)"};
  if (key_id(pk) != *id)
    throw Error{name + ": key id mismatch (the file says " + *id + ", the key is " + key_id(pk) + ")"};
}

// The files a command reads, by device and inode: no output may be one of them.
std::vector<FileId> input_files(std::map<std::string, std::string> &o, std::initializer_list<const char *> opts) {
  std::vector<FileId> ids;
  for (const char *opt : opts) {
    if (!o.count(opt)) continue;
    struct stat st {};
    if (o[opt] == "-" ? fstat(0, &st) == 0 : stat(o[opt].c_str(), &st) == 0) ids.push_back({st.st_dev, st.st_ino});
  }
  return ids;
}

// Whether the regular file `path` begins as a signature file of this tool does.
bool is_signature_file(const std::string &path, const struct stat &seen) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  char head[17] = {};
  const bool same = fstat(fd, &st) == 0 && st.st_dev == seen.st_dev && st.st_ino == seen.st_ino;
  const bool read_all = same && read(fd, head, sizeof head) == ssize_t(sizeof head);
  close(fd);
  return read_all && std::memcmp(head, "tavik signature v", sizeof head) == 0;
}

// Whether `path` may receive an output of the command. Never a symbolic link, a directory, a
// device or anything else but a regular file, nor one of the command's inputs; an existing file
// only with -f (`force`) or, if `signature` holds, when it is a signature file of this tool.
// Returns the file to replace, or nothing when the name is new.
std::optional<FileId> output_file(const std::string &path, const std::vector<FileId> &inputs, bool force,
                                  bool signature) {
  const std::string name = shown_path(path);
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::nullopt;
    throw Error{name + ": " + std::strerror(errno)};
  }
  if (S_ISLNK(st.st_mode)) throw Error{name + ": is a symbolic link; not written (name the file itself)"};
  if (S_ISDIR(st.st_mode)) throw Error{name + ": is a directory; not written"};
  if (!S_ISREG(st.st_mode)) throw Error{name + ": is a device, pipe or socket, not a regular file; not written"};
  const FileId id{st.st_dev, st.st_ino};
  for (const FileId &in : inputs) {
    if (in == id) throw Error{name + ": is one of this command's inputs; not written over"};
  }
  if (!force && !(signature && is_signature_file(path, st)))
    throw Error{name + (signature ? ": exists and is not a signature file; use -f to replace it"
                                  : ": exists; use -f to replace it")};
  return id;
}

// Whether two paths name one file: the same file if both exist, else the same directory entry.
bool same_file(const std::string &a, const std::string &b) {
  struct stat sa {}, sb {};
  const bool ea = lstat(a.c_str(), &sa) == 0, eb = lstat(b.c_str(), &sb) == 0;
  if (ea || eb) return ea && eb && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  const auto entry = [](const std::string &p, struct stat *dir) {
    const size_t slash = p.rfind('/');
    const std::string d = slash == std::string::npos ? "." : p.substr(0, slash + 1);
    return stat(d.c_str(), dir) == 0 ? p.substr(slash == std::string::npos ? 0 : slash + 1) : std::string("/");
  };
  struct stat da {}, db {};
  const std::string na = entry(a, &da), nb = entry(b, &db);
  return na == nb && da.st_dev == db.st_dev && da.st_ino == db.st_ino;
}

// Feeds FILE ("-" for standard input) to `update` in chunks.
template <typename Update>
void stream_file(const std::string &path, Update update) {
  const bool in = path == "-";
  const int fd = in ? 0 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw Error{shown_path(path) + ": " + std::strerror(errno)};
  struct stat st{};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    if (!in) close(fd);
    throw Error{shown_path(path) + ": is a directory"};
  }
  std::vector<uint8_t> buf(CHUNK);
  ssize_t n;
  while ((n = read(fd, buf.data(), buf.size())) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const std::string why = std::strerror(errno);
      if (!in) close(fd);
      throw Error{(in ? std::string("standard input") : shown_path(path)) + ": " + why};
    }
    update(buf.data(), uint64_t(n));
  }
  if (!in) close(fd);
}

Document public_document(const uint8_t *pk) {
  return Document{Kind::public_key, {{"key-id", key_id(pk)}}, std::vector<uint8_t>(pk, pk + TAVIK_PK_BYTES)};
}

int cmd_keygen(std::map<std::string, std::string> &o) {
  const std::string pub = o.count("-p") ? o["-p"] : "tavik.pub";
  const std::string sec = o.count("-s") ? o["-s"] : "tavik.sec";
  const bool force = o.count("-f") != 0;
  if (same_file(pub, sec)) throw Error{"the public and the secret key need different files"};
  if (o.count("--no-passphrase") && o.count("--passphrase-file"))
    throw Error{"--no-passphrase and --passphrase-file exclude each other"};
  const std::vector<FileId> inputs = input_files(o, {"--passphrase-file"});
  const std::optional<FileId> old_sec = output_file(sec, inputs, force, false);
  const std::optional<FileId> old_pub = output_file(pub, inputs, force, false);
  Passphrase pass;
  if (o.count("--passphrase-file")) {
    read_passphrase_file(o["--passphrase-file"], &pass);
  } else if (!o.count("--no-passphrase")) {
    Passphrase again;
    ask_passphrase(("passphrase for " + shown_path(sec) + ": ").c_str(), &pass);
    ask_passphrase("the same passphrase again: ", &again);
    if (pass.text != again.text) throw Error{"the two passphrases differ; nothing written"};
  }
  if (!o.count("--no-passphrase") && pass.text.empty())
    throw Error{"empty passphrase; use --no-passphrase to store the key unencrypted"};

  uint8_t pk[TAVIK_PK_BYTES];
  SecretKey sk;
  const int32_t made = sig_keygen(pk, sk.bytes);
  if (made == TAVIK_NO_RANDOMNESS) throw Error{"key generation failed: the system's random source does not answer"};
  if (made != TAVIK_OK) throw Error{"key generation failed"};
  note_secret_key(sk.bytes);
  const std::string id = key_id(pk);
  const Document sealed =
      seal_secret_key(sk.bytes, id, o.count("--no-passphrase") ? nullptr : &pass.text, DEFAULT_SEAL_LIMITS);
  std::string sec_text = format_document(sealed);
  AtomicWrites w;
  try {
    w.add(sec, sec_text, true, old_sec ? &*old_sec : nullptr);
    w.add(pub, format_document(public_document(pk)), false, old_pub ? &*old_pub : nullptr);
    w.commit();
  } catch (...) {
    wipe(sec_text);
    throw;
  }
  wipe(sec_text);
  std::printf("key id %s: public key %s, secret key %s%s\n", id.c_str(), shown_path(pub).c_str(),
              shown_path(sec).c_str(),
              is_sealed(sealed) ? " (passphrase-protected)" : " (unencrypted)");
  return EXIT_VALID;
}

int cmd_sign(std::map<std::string, std::string> &o) {
  if (!o.count("-s") || !o.count("-m")) throw Error{"sign needs -s SECFILE and -m FILE"};
  const std::string msg = o["-m"];
  if (msg == "-" && !o.count("-x")) throw Error{"-m - (standard input) needs -x SIGFILE"};
  const std::string sigfile = o.count("-x") ? o["-x"] : msg + ".tsig";
  if (msg != "-" && access(msg.c_str(), R_OK) != 0) throw Error{shown_path(msg) + ": " + std::strerror(errno)};
  const std::vector<FileId> inputs = input_files(o, {"-s", "-m", "--passphrase-file"});
  const std::optional<FileId> old_sig = output_file(sigfile, inputs, o.count("-f") != 0, true);
  SecretKey sk;
  std::string id;
  uint8_t pk[TAVIK_PK_BYTES];
  load_secret_key(o, o["-s"], &sk, &id, pk);

  tavik_sign_state st;
  // Hedged: fresh random bytes in every signature's masks, so that a key damaged in memory or on
  // disk cannot give itself away through two signatures of one file.
  if (tavik_sign_init_hedged(&st, sk.bytes) != TAVIK_OK) throw Error{"signing failed"};
  uint8_t sig[TAVIK_SIG_BYTES];
  try {
    stream_file(msg, [&](const uint8_t *p, uint64_t n) { tavik_sign_update(&st, p, n); });
  } catch (...) {
    tavik_sign_state_wipe(&st);
    throw;
  }
  const int32_t signed_ = tavik_sign_final(&st, sig);
  if (signed_ != TAVIK_OK) {
    tavik_sign_state_wipe(&st);
    throw Error{signed_ == TAVIK_NO_RANDOMNESS ? "signing failed: the system's random source does not answer"
                : signed_ == TAVIK_SIGNING_FAILED ? "signing failed: the secret key or the memory holding it is faulty"
                                                  : "signing failed"};
  }
  AtomicWrites w;
  w.add(sigfile, format_document(Document{Kind::signature, {{"key-id", id}}, {sig, sig + sizeof sig}}), false,
        old_sig ? &*old_sig : nullptr);
  w.commit();
  std::printf("%s: signed with key %s, signature in %s\n", msg == "-" ? "standard input" : shown_path(msg).c_str(),
              id.c_str(), shown_path(sigfile).c_str());
  return EXIT_VALID;
}

int cmd_verify(std::map<std::string, std::string> &o) {
  if (!o.count("-p") || !o.count("-m")) throw Error{"verify needs -p PUBFILE and -m FILE"};
  const std::string msg = o["-m"];
  if (msg == "-" && !o.count("-x")) throw Error{"-m - (standard input) needs -x SIGFILE"};
  const std::string sigfile = o.count("-x") ? o["-x"] : msg + ".tsig";
  const bool quiet = o.count("-q") != 0;
  const std::string shown = msg == "-" ? "standard input" : shown_path(msg);
  const Document pub = read_document(o["-p"], Kind::public_key);
  const Document sig = read_document(sigfile, Kind::signature);
  const std::string &id = *pub.field("key-id"), &sig_id = *sig.field("key-id");
  if (id != sig_id) {
    if (!quiet)
      std::printf("%s: NOT verified: signed with a different key (id %s), not %s (id %s)\n", shown.c_str(),
                  sig_id.c_str(), shown_path(o["-p"]).c_str(), id.c_str());
    return EXIT_INVALID;
  }
  tavik_verify_state st;
  if (tavik_verify_init(&st, pub.data.data()) != TAVIK_OK) throw Error{"verification failed to start"};
  stream_file(msg, [&](const uint8_t *p, uint64_t n) { tavik_verify_update(&st, p, n); });
  const int32_t r = tavik_verify_final(&st, sig.data.data(), sig.data.size());
  if (r == TAVIK_OK) {
    if (!quiet) std::printf("%s: valid signature by key %s\n", shown.c_str(), id.c_str());
    return EXIT_VALID;
  }
  if (r != TAVIK_INVALID_SIGNATURE) throw Error{"verification failed"};
  if (!quiet) std::printf("%s: INVALID signature: the file or the signature is not what key %s signed\n",
                          shown.c_str(), id.c_str());
  return EXIT_INVALID;
}

int cmd_pubkey(std::map<std::string, std::string> &o) {
  if (!o.count("-s")) throw Error{"pubkey needs -s SECFILE"};
  std::optional<FileId> old_pub;
  if (o.count("-p")) {
    if (same_file(o["-p"], o["-s"])) throw Error{"the public and the secret key need different files"};
    old_pub = output_file(o["-p"], input_files(o, {"-s", "--passphrase-file"}), o.count("-f") != 0, false);
  }
  SecretKey sk;
  std::string id;
  uint8_t pk[TAVIK_PK_BYTES];
  load_secret_key(o, o["-s"], &sk, &id, pk);
  const std::string text = format_document(public_document(pk));
  if (!o.count("-p")) {
    std::fputs(text.c_str(), stdout);
    return EXIT_VALID;
  }
  AtomicWrites w;
  w.add(o["-p"], text, false, old_pub ? &*old_pub : nullptr);
  w.commit();
  std::printf("key id %s: public key %s\n", id.c_str(), shown_path(o["-p"]).c_str());
  return EXIT_VALID;
}

const Command COMMANDS[] = {
    {"keygen",
     "tavik keygen [-p PUBFILE] [-s SECFILE] [-f] [--no-passphrase] [--passphrase-file FILE]\n"
     "  Makes a key pair: the public key in PUBFILE (default tavik.pub), the secret key in SECFILE\n"
     "  (default tavik.sec, mode 0600), encrypted under a passphrase asked twice on the terminal or\n"
     "  read from the first line of FILE. --no-passphrase stores it unencrypted. Existing files are\n"
     "  kept unless -f; an interrupted run leaves the old files whole.\n",
     "-f --no-passphrase", "-p -s --passphrase-file", cmd_keygen},
    {"sign",
     "tavik sign -s SECFILE -m FILE [-x SIGFILE] [-f] [--passphrase-file FILE]\n"
     "  Signs the bytes of FILE (any size; - reads standard input and then needs -x) into SIGFILE,\n"
     "  default FILE.tsig. An existing SIGFILE is replaced only if it is a signature file, or with\n"
     "  -f; never a link, a directory, a device, or a file the command reads.\n",
     "-f", "-s -m -x --passphrase-file", cmd_sign},
    {"verify",
     "tavik verify -p PUBFILE -m FILE [-x SIGFILE] [-q]\n"
     "  Checks SIGFILE (default FILE.tsig) over FILE with the public key and says whether it is\n"
     "  valid; -q says nothing. Exit status 0 valid, 1 invalid, 2 usage or input error.\n",
     "-q", "-p -m -x", cmd_verify},
    {"pubkey",
     "tavik pubkey -s SECFILE [-p PUBFILE] [-f] [--passphrase-file FILE]\n"
     "  Rebuilds the public key from the secret key, into PUBFILE (kept unless -f) or onto\n"
     "  standard output.\n",
     "-f", "-s -p --passphrase-file", cmd_pubkey},
};

bool listed(const char *list, const std::string &opt) {
  const std::string padded = std::string(" ") + list + " ";
  return padded.find(" " + opt + " ") != std::string::npos;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fputs(USAGE, stderr);
    return EXIT_ERROR;
  }
  const std::string first = argv[1];
  if (first == "--help" || first == "-h") {
    std::fputs(USAGE, stdout);
    for (const Command &c : COMMANDS) std::printf("\n%s", c.help);
    return EXIT_VALID;
  }
  if (first == "--version") {
    std::printf("tavik %s\n", tavik_version());
    return EXIT_VALID;
  }
  const Command *cmd = nullptr;
  for (const Command &c : COMMANDS) {
    if (first == c.name) cmd = &c;
  }
  if (cmd == nullptr) {
    std::fprintf(stderr, "tavik: unknown command \"%s\"\n%s", shown_path(first).c_str(), USAGE);
    return EXIT_ERROR;
  }
  std::map<std::string, std::string> opts;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(cmd->help, stdout);
      return EXIT_VALID;
    }
    if (listed(cmd->flags, a)) {
      opts[a] = "";
    } else if (listed(cmd->valued, a) && i + 1 < argc) {
      opts[a] = argv[++i];
    } else {
      std::fprintf(stderr, "tavik %s: %s \"%s\"\n%s", cmd->name,
                   listed(cmd->valued, a) ? "missing value after" : "unknown option", shown_path(a).c_str(),
                   cmd->help);
      return EXIT_ERROR;
    }
  }
  if (sodium_init() < 0) {
    std::fprintf(stderr, "tavik: the cryptographic library failed to start\n");
    return EXIT_ERROR;
  }
  handle_fatal_signals(restore_terminal);
  int status;
  try {
    status = cmd->run(opts);
  } catch (const Error &e) {
    std::fprintf(stderr, "tavik %s: %s\n", cmd->name, e.message.c_str());
    status = EXIT_ERROR;
  }
  scrub_stack();  // the secrets' last traces: signing's and the passphrase's
#ifdef TAVIK_CLI_TESTING
  if (fault("residue") && residue_found()) {
    std::fputs("tavik: secret bytes left on the stack or the heap\n", stderr);
    return 3;
  }
#endif
  return status;
}
