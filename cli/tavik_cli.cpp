// tavik: makes key pairs, signs files and verifies signatures of files.
//   tavik keygen [-p PUBFILE] [-s SECFILE] [-f] [--hybrid] [--no-passphrase] [PASSPHRASE]
//   tavik sign [-s SECFILE] -m FILE... [-x SIGFILE] [-t COMMENT] [-c COMMENT] [-f] [PASSPHRASE]
//   tavik verify [-p PUBFILE | -P KEY] -m FILE... [-x SIGFILE] [-q] [--allow-legacy]
//   tavik passwd [-s SECFILE] [PASSPHRASE] [--no-passphrase | NEW PASSPHRASE]
//   tavik pubkey [-s SECFILE] [-p PUBFILE] [-f] [PASSPHRASE]
//   tavik convert -i INFILE -o OUTFILE --to tavik|pem|der|raw [-f] [PASSPHRASE] [--no-passphrase | NEW PASSPHRASE]
// The secret key lives by default under $XDG_CONFIG_HOME/tavik/ (~/.config/tavik/).
// PASSPHRASE is --passphrase-file FILE ("-": standard input) or --passphrase-fd N, NEW PASSPHRASE
// the same with --new-. Exit status: 0 success (valid signature), 1 invalid signature, 2 usage or
// input error.
#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tavik.h"
#include "tavik_cli_commands.h"
#include "tavik_cli_files.h"
#include "tavik_cli_hybrid.h"
#include "tavik_cli_passphrase.h"
#include "tavik_cli_pkcs11.h"
#include "tavik_files.h"
#include "tavik_hybrid.h"

namespace {


const char *const USAGE =
    "usage: tavik keygen [-p PUBFILE] [-s SECFILE] [-f] [--hybrid]\n"
    "                    [--no-passphrase | --passphrase-file FILE | --passphrase-fd N]\n"
    "       tavik sign [-s SECFILE] -m FILE [-m FILE]... [-x SIGFILE] [-t COMMENT] [-c COMMENT] [-f]\n"
    "                  [--passphrase-file FILE | --passphrase-fd N | --pin-file FILE | --pin-fd N]\n"
    "       tavik verify [-p PUBFILE | -P KEY] -m FILE [-m FILE]... [-x SIGFILE] [-q] [--allow-legacy]\n"
    "       tavik passwd [-s SECFILE] [--passphrase-file FILE | --passphrase-fd N]\n"
    "                    [--no-passphrase | --new-passphrase-file FILE | --new-passphrase-fd N]\n"
    "       tavik pubkey [-s SECFILE] [-p PUBFILE] [-f] [--passphrase-file FILE | --passphrase-fd N]\n"
    "       tavik convert -i INFILE -o OUTFILE --to tavik|pem|der|raw [-f] [--no-passphrase]\n"
    "                     [--passphrase-file FILE | --passphrase-fd N]\n"
    "                     [--new-passphrase-file FILE | --new-passphrase-fd N]\n"
    "       tavik --help | --version | COMMAND --help\n";

}  // namespace

namespace tavik_cli {

// The secret key of document d (read from path) and its key id, checked against the public key it
// rebuilds (pk: room for a pair's). The passphrase is asked for only when the key is sealed.
// Returns the public key's size.
size_t open_checked(Options &o, const Document &d, const std::string &path, SecretKey *sk, std::string *id,
                    uint8_t *pk) {
  const std::string name = shown_path(path);
  if (o.old_secret_key)
    std::fprintf(stderr, "tavik: warning: reading ./tavik.sec from the current folder, where it is easily "
                 "published; move it to %s\n", shown_path(default_secret_key()).c_str());
  if (d.mode & 044)
    std::fprintf(stderr, "tavik: warning: %s is readable by group or others (mode %04o); chmod 600 it\n",
                 name.c_str(), d.mode);
  Passphrase pass;
  if (is_sealed(d)) existing_passphrase(o, path, &pass);
  open_secret_key(d, path, is_sealed(d) ? &pass.text : nullptr, sk->bytes);
  note_secret_key(sk->bytes);
  *id = *d.field("key-id");
  const bool pair = is_pair(d);
  if (!(pair ? pair_public_key(pk, sk->bytes) : tavik_pk_from_sk(pk, sk->bytes) == TAVIK_OK))
    throw Error{name + ": damaged secret key (its parts disagree)"};
  const size_t pklen = pair ? TAVIK_HYBRID_PK_BYTES : TAVIK_PK_BYTES;
  if (key_id(pk, pklen) != *id)
    throw Error{name + ": key id mismatch (the file says " + *id + ", the key is " + key_id(pk, pklen) + ")"};
  return pklen;
}

size_t load_secret_key(Options &o, const std::string &path, SecretKey *sk, std::string *id, uint8_t *pk) {
  return open_checked(o, read_document(path, Kind::secret_key), path, sk, id, pk);
}

// The files a command reads, by device and inode: no output may be one of them. `paths` are file
// names ("-": standard input); the passphrase options count too.
std::vector<FileId> input_files(Options &o, const std::vector<std::string> &paths) {
  std::vector<FileId> ids;
  const auto add = [&](bool ok, const struct stat &st) {
    if (ok) ids.push_back({st.st_dev, st.st_ino});
  };
  for (const std::string &path : paths) {
    struct stat st {};
    add(path == "-" ? fstat(0, &st) == 0 : stat(path.c_str(), &st) == 0, st);
  }
  for (const char *prefix : {"--", "--new-"}) {
    const std::string file = std::string(prefix) + "passphrase-file", fd = std::string(prefix) + "passphrase-fd";
    struct stat st {};
    if (o.count(file)) add(o[file] == "-" ? fstat(0, &st) == 0 : stat(o[file].c_str(), &st) == 0, st);
    if (o.count(fd)) add(fstat(descriptor(fd, o[fd]), &st) == 0, st);
  }
  struct stat pin {};  // a token's PIN
  if (o.count("--pin-file"))
    add(o["--pin-file"] == "-" ? fstat(0, &pin) == 0 : stat(o["--pin-file"].c_str(), &pin) == 0, pin);
  if (o.count("--pin-fd")) add(fstat(descriptor("--pin-fd", o["--pin-fd"]), &pin) == 0, pin);
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

Document public_document(const uint8_t *pk, size_t pklen) {
  Document d{Kind::public_key, {{"key-id", key_id(pk, pklen)}}, std::vector<uint8_t>(pk, pk + pklen)};
  if (pklen == TAVIK_HYBRID_PK_BYTES) d.fields.insert(d.fields.begin(), {"algorithm", PAIR_ALGORITHM});
  return d;
}

// The files of -m and the signature file of each (-x for a single one, else FILE.tsig).
std::vector<std::pair<std::string, std::string>> signed_files(Options &o) {
  if (o.files.empty()) throw Error{"no file: name one with -m FILE"};
  if (o.count("-x") && o.files.size() > 1) throw Error{"-x names the signature of a single file; give one -m with it"};
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const std::string &f : o.files) {
    if (f == "-" && !o.count("-x")) throw Error{"-m - (standard input) needs -x SIGFILE"};
    if (path_reads_stdin(f)) {
      if (o.stdin_taken || passphrase_on_stdin(o))
        throw Error{std::string("standard input cannot hold both the file and ") +
                    (o.stdin_taken ? "the secret key" : "a passphrase")};
      o.stdin_taken = true;
    }
    pairs.emplace_back(f, o.count("-x") ? o["-x"] : f + ".tsig");
  }
  for (size_t i = 0; i < pairs.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (pairs[i].first != "-" && same_file(pairs[i].first, pairs[j].first))
        throw Error{shown_path(pairs[i].first) + ": named twice"};
    }
  }
  return pairs;
}

}  // namespace tavik_cli

namespace {

using namespace tavik_cli;

struct Command {
  const char *name;
  const char *help;
  const char *flags;    // options without a value
  const char *valued;   // options with a value
  int (*run)(Options &opts);
};

int cmd_keygen(Options &o) {
  const std::string pub = o.count("-p") ? o["-p"] : "tavik.pub";
  const std::string sec = secret_key_to_write(o);
  const bool force = o.count("-f") != 0;
  if (same_file(pub, sec)) throw Error{"the public and the secret key need different files"};
  const std::vector<FileId> inputs = input_files(o, {});
  const std::optional<FileId> old_sec = output_file(sec, inputs, force, false);
  const std::optional<FileId> old_pub = output_file(pub, inputs, force, false);
  Passphrase pass;
  const std::string *passphrase = new_passphrase(o, "--", "passphrase for " + shown_path(sec) + ": ", &pass);

  const bool pair = o.count("--hybrid") != 0;
  uint8_t pk[TAVIK_HYBRID_PK_BYTES];
  const size_t pklen = pair ? TAVIK_HYBRID_PK_BYTES : TAVIK_PK_BYTES;
  SecretKey sk;
  if (pair) {
    pair_keygen(pk, sk.bytes);
  } else {
    const int32_t made = sig_keygen(pk, sk.bytes);
    if (made == TAVIK_NO_RANDOMNESS) throw Error{"key generation failed: the system's random source does not answer"};
    if (made != TAVIK_OK) throw Error{"key generation failed"};
    note_secret_key(sk.bytes);
  }
  const std::string id = key_id(pk, pklen);
  const Document sealed = seal_secret_key(sk.bytes, id, passphrase, DEFAULT_SEAL_LIMITS, pair);
  std::string sec_text = format_document(sealed);
  AtomicWrites w;
  try {
    w.add(sec, sec_text, true, old_sec ? &*old_sec : nullptr);
    w.add(pub, format_document(public_document(pk, pklen)), false, old_pub ? &*old_pub : nullptr);
    w.commit();
  } catch (...) {
    wipe(sec_text);
    throw;
  }
  wipe(sec_text);
  std::printf("key id %s%s: public key %s, secret key %s%s\n", id.c_str(), pair ? " (tavik-ed25519)" : "",
              shown_path(pub).c_str(), shown_path(sec).c_str(),
              is_sealed(sealed) ? " (passphrase-protected)" : " (unencrypted)");
  return EXIT_VALID;
}

// A comment for a signature file, refused with the option's name if it cannot be one.
std::string checked_comment(const char *opt, const std::string &text) {
  if (const char *why = comment_fault(text)) throw Error{std::string(opt) + ": the comment " + why};
  return text;
}

// The default trusted comment: the time of signing and the file's name (escaped, cut to fit).
std::string default_trusted_comment(const std::string &file, time_t now) {
  std::string c = "timestamp:" + std::to_string(static_cast<long long>(now));
  if (file == "-") return c;
  const size_t slash = file.rfind('/');
  std::string base = shown_path(slash == std::string::npos ? file : file.substr(slash + 1));
  c += " file:" + base.substr(0, 1024 - c.size() - 6);
  return c;
}

int cmd_sign(Options &o) {
  const std::string secfile = secret_key_to_read(o);  // -s as given: a key file or a token's URI
  check_key_options(o, is_pkcs11_uri(secfile));
  if (path_reads_stdin(secfile, false)) o.stdin_taken = true;
  const auto pairs = signed_files(o);
  const bool to_stdout = o.count("-x") && o["-x"] == "-";
  const std::string untrusted = o.count("-c") ? checked_comment("-c", o["-c"]) : "";
  const std::string trusted = o.count("-t") ? checked_comment("-t", o["-t"]) : "";
  std::vector<std::string> reads = {secfile};
  for (const auto &[msg, sig] : pairs) {
    if (msg != "-" && access(msg.c_str(), R_OK) != 0) throw Error{shown_path(msg) + ": " + std::strerror(errno)};
    reads.push_back(msg);
  }
  const std::vector<FileId> inputs = input_files(o, reads);
  std::vector<std::optional<FileId>> old_sigs;
  for (size_t i = 0; i < pairs.size(); ++i) {
    for (size_t j = 0; j < i && !to_stdout; ++j) {
      if (same_file(pairs[i].second, pairs[j].second)) throw Error{shown_path(pairs[i].second) + ": named twice"};
    }
    old_sigs.push_back(to_stdout ? std::nullopt : output_file(pairs[i].second, inputs, o.count("-f") != 0, true));
  }
  SecretKey sk;
  std::string id;
  uint8_t pk[TAVIK_HYBRID_PK_BYTES];
  TokenKeyPtr token;  // a key in a token signs instead of a key file
  bool pair = false;
  if (is_pkcs11_uri(secfile)) token = open_token_key(o, secfile, &id, pk);
  else pair = load_secret_key(o, secfile, &sk, &id, pk) == TAVIK_HYBRID_PK_BYTES;
  const time_t now = std::time(nullptr);

  for (size_t i = 0; i < pairs.size(); ++i) {
    const auto &[msg, sigfile] = pairs[i];
    const std::string comment = o.count("-t") ? trusted : default_trusted_comment(msg, now);
    std::vector<uint8_t> signature;
    if (pair) {
      const std::string &file = msg;  // a structured binding, which clang 14's lambdas cannot capture
      signature = pair_sign_file(sk.bytes, comment, [&](const auto &update) { stream_file(file, update); });
    } else if (token) {
      uint8_t sig[TAVIK_SIG_BYTES];
      token_sign_file(*token, comment, [&file = msg](const auto &sink) { stream_file(file, sink); }, sig);
      signature.assign(sig, sig + sizeof sig);
    } else {
      tavik_sign_state st;
      // Hedged: fresh random bytes in every signature's masks, so that a key damaged in memory or on
      // disk cannot give itself away through two signatures of one file. The signature is made
      // under the file tool's own context; the trusted comment goes in first, in its own framed
      // part, then the file's bytes.
      if (tavik_file_sign_init_hedged(&st, sk.bytes, comment.data(), comment.size()) != TAVIK_OK)
        throw Error{"signing failed"};
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
      signature.assign(sig, sig + sizeof sig);
    }
    Document d{Kind::signature,
               {{"key-id", id}, {"untrusted-comment", o.count("-c") ? untrusted : "signed by key " + id},
                {"trusted-comment", comment}},
               signature};
    if (pair) d.fields.insert(d.fields.begin(), {"algorithm", PAIR_ALGORITHM});
    d.version = TAVIK_FILE_SIGNATURE_VERSION;
    const std::string text = format_document(d);
    if (to_stdout) {
      if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
        throw Error{std::string("standard output: ") + std::strerror(errno)};
      continue;
    }
    AtomicWrites w;
    w.add(sigfile, text, false, old_sigs[i] ? &*old_sigs[i] : nullptr);
    w.commit();
    std::printf("%s: signed with key %s, signature in %s\n", msg == "-" ? "standard input" : shown_path(msg).c_str(),
                id.c_str(), shown_path(sigfile).c_str());
  }
  return EXIT_VALID;
}

int cmd_passwd(Options &o) {
  const std::string sec = secret_key_to_read(o);
  const std::string name = shown_path(sec);
  // The file is replaced where it lies: its name must hold a regular file, never a link.
  struct stat st {};
  if (lstat(sec.c_str(), &st) != 0) throw Error{name + ": " + std::strerror(errno)};
  if (S_ISLNK(st.st_mode)) throw Error{name + ": is a symbolic link; not written (name the file itself)"};
  if (!S_ISREG(st.st_mode)) throw Error{name + ": not a regular file"};
  const FileId old{st.st_dev, st.st_ino};
  for (const FileId &in : input_files(o, {})) {
    if (in == old) throw Error{name + ": is also a passphrase file"};
  }
  const Document d = read_document(sec, Kind::secret_key);
  SecretKey sk;
  std::string id;
  uint8_t pk[TAVIK_HYBRID_PK_BYTES];
  // A given old passphrase is read even for an unencrypted key, so that a stream holding the old
  // and the new one is read in that order whatever the key.
  Passphrase skipped;
  if (!is_sealed(d)) given_passphrase(o, "--", &skipped);
  open_checked(o, d, sec, &sk, &id, pk);
  Passphrase pass;
  const std::string *passphrase = new_passphrase(o, "--new-", "new passphrase for " + name + ": ", &pass);
  const Document sealed = seal_secret_key(sk.bytes, id, passphrase, DEFAULT_SEAL_LIMITS, is_pair(d));
  std::string text = format_document(sealed);
  try {
    AtomicWrites w;
    w.add(sec, text, true, &old);
    w.commit();
  } catch (...) {
    wipe(text);
    throw;
  }
  wipe(text);
  std::printf("key id %s: secret key %s%s\n", id.c_str(), name.c_str(),
              passphrase ? " now protected by the new passphrase" : " now stored unencrypted");
  return EXIT_VALID;
}

int cmd_pubkey(Options &o) {
  const std::string sec = secret_key_to_read(o);  // -s as given: a key file or a token's URI
  check_key_options(o, is_pkcs11_uri(sec));
  o.stdin_taken = path_reads_stdin(sec, false);
  std::optional<FileId> old_pub;
  if (o.count("-p")) {
    if (same_file(o["-p"], sec)) throw Error{"the public and the secret key need different files"};
    old_pub = output_file(o["-p"], input_files(o, {sec}), o.count("-f") != 0, false);
  }
  SecretKey sk;
  std::string id;
  uint8_t pk[TAVIK_HYBRID_PK_BYTES];
  size_t pklen = TAVIK_PK_BYTES;
  if (is_pkcs11_uri(sec)) token_public_key(o, sec, &id, pk);
  else pklen = load_secret_key(o, sec, &sk, &id, pk);
  const std::string text = format_document(public_document(pk, pklen));
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
     "tavik keygen [-p PUBFILE] [-s SECFILE] [-f] [--hybrid] [--no-passphrase]\n"
     "             [--passphrase-file FILE | --passphrase-fd N]\n"
     "  Makes a key pair: the public key in PUBFILE (default tavik.pub), the secret key in SECFILE\n"
     "  (default $XDG_CONFIG_HOME/tavik/tavik.sec, else ~/.config/tavik/tavik.sec, in folders made\n"
     "  with mode 0700; the file mode 0600), encrypted under a passphrase asked twice on the\n"
     "  terminal or read from the first line of FILE (- for standard input) or of descriptor N.\n"
     "  --no-passphrase stores it unencrypted. Existing files are kept unless -f; an interrupted run\n"
     "  leaves the old files whole. --hybrid makes a tavik-ed25519 pair: a tavik key beside an Ed25519\n"
     "  key, whose signatures hold only when both halves verify.\n",
     "-f --no-passphrase --hybrid", "-p -s --passphrase-file --passphrase-fd", cmd_keygen},
    {"sign",
     "tavik sign [-s SECFILE] -m FILE [-m FILE]... [-x SIGFILE] [-t COMMENT] [-c COMMENT] [-f]\n"
     "           [--passphrase-file FILE | --passphrase-fd N]\n"
     "  Signs the bytes of each FILE (any size; - reads standard input and then needs -x) with\n"
     "  SECFILE (default: see keygen; ./tavik.sec of earlier tools is read with a warning) into\n"
     "  FILE.tsig, or into SIGFILE for a single file (- writes it to standard output). The\n"
     "  signature covers the trusted comment -t (default: the time of signing and the file's name)\n"
     "  and not the untrusted comment -c; comments are one line of at most 1024 bytes. An existing\n"
     "  SIGFILE is replaced only if it is a signature file, or with -f; never a link, a directory, a\n"
     "  device, or a file the command reads.\n" TAVIK_CLI_SIGN_TOKEN_HELP,
     "-f", "-s -m -x -t -c --passphrase-file --passphrase-fd --pin-file --pin-fd", cmd_sign},
    {"verify",
     "tavik verify [-p PUBFILE | -P KEY] -m FILE [-m FILE]... [-x SIGFILE] [-q] [--allow-legacy]\n"
     "  Checks the signature of each FILE (FILE.tsig, or SIGFILE for a single file; - reads it from\n"
     "  standard input) with the public key PUBFILE (default tavik.pub; the tool's file, or a PUBLIC\n"
     "  KEY in PEM or DER) or KEY (a public key file's data lines joined into one base64 string),\n"
     "  and shows the trusted comment; -q says nothing.\n"
     "  Signatures of versions 1 and 2, made by earlier tools, are refused: a raw signature by the\n"
     "  same key can pass for one. --allow-legacy checks them and says what they leave open; a\n"
     "  version 1 signature of a file that begins with the version 2 label is refused even then.\n"
     "  Every file is reported; the exit status is the worst: 0 all valid, 1 one not verified (a\n"
     "  changed file, trusted comment or signature, another key, a refused legacy signature), 2 a\n"
     "  usage or input error (a missing file or signature).\n",
     "-q --allow-legacy", "-p -P -m -x", cmd_verify},
    {"passwd",
     "tavik passwd [-s SECFILE] [--passphrase-file FILE | --passphrase-fd N]\n"
     "             [--no-passphrase | --new-passphrase-file FILE | --new-passphrase-fd N]\n"
     "  Changes the passphrase of SECFILE (default: see sign): the old one (if it has one) and the\n"
     "  new one (twice) are asked on the terminal unless given; --no-passphrase stores the key\n"
     "  unencrypted. Both may come from one stream, the old on its first line, the new on its second.\n"
     "  The file is replaced at once or not at all.\n",
     "--no-passphrase", "-s --passphrase-file --passphrase-fd --new-passphrase-file --new-passphrase-fd", cmd_passwd},
    {"pubkey",
     "tavik pubkey [-s SECFILE] [-p PUBFILE] [-f] [--passphrase-file FILE | --passphrase-fd N]\n"
     "  Rebuilds the public key from the secret key (default: see sign), into PUBFILE (kept unless\n"
     "  -f) or onto standard output.\n" TAVIK_CLI_PUBKEY_TOKEN_HELP,
     "-f", "-s -p --passphrase-file --passphrase-fd --pin-file --pin-fd", cmd_pubkey},
    {"convert", CONVERT_HELP, "-f --no-passphrase",
     "-i -o --to --passphrase-file --passphrase-fd --new-passphrase-file --new-passphrase-fd", cmd_convert},
};

bool listed(const char *list, const std::string &opt) {
  const std::string padded = std::string(" ") + list + " ";
  return padded.find(" " + opt + " ") != std::string::npos;
}

}  // namespace

using namespace tavik_cli;

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
  Options opts;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(cmd->help, stdout);
      return EXIT_VALID;
    }
    if (opts.count(a)) {
      std::fprintf(stderr, "tavik %s: %s given twice\n", cmd->name, shown_path(a).c_str());
      return EXIT_ERROR;
    }
    if (listed(cmd->flags, a)) {
      opts[a] = "";
    } else if (a == "-m" && listed(cmd->valued, a) && i + 1 < argc) {
      opts.files.push_back(argv[++i]);
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
  handle_fatal_signals(restore_terminal, resume_terminal);
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
