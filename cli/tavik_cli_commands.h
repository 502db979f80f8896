// What the tool's commands share: exit codes, secret keys in memory, where keys lie by default, the
// checks on output files, and the commands that live in files of their own.
#pragma once
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <sodium.h>
#include <string>
#include <vector>

#include "tavik.h"
#include "tavik_cli_files.h"
#include "tavik_cli_passphrase.h"
#include "tavik_hybrid.h"

namespace tavik_cli {

constexpr int EXIT_VALID = 0, EXIT_INVALID = 1, EXIT_ERROR = 2;

// Secret bytes wiped when they go out of scope: a tavik secret key or a hybrid pair's.
struct SecretKey {
  uint8_t bytes[TAVIK_HYBRID_SK_BYTES];
  SecretKey() { sodium_memzero(bytes, sizeof bytes); }
  ~SecretKey() { sodium_memzero(bytes, sizeof bytes); }
};

// The secret key of document d (read from path) and its key id, checked against the public key it
// rebuilds; the passphrase is asked for only when the key is sealed. Warns of a key that others may
// read, and of ./tavik.sec of an earlier tool. pk has room for a pair's public key; returns the
// public key's size (TAVIK_PK_BYTES, or TAVIK_HYBRID_PK_BYTES for a pair).
size_t open_checked(Options &o, const Document &d, const std::string &path, SecretKey *sk, std::string *id,
                    uint8_t *pk);
// The files a command reads (paths and passphrase sources), by device and inode.
std::vector<FileId> input_files(Options &o, const std::vector<std::string> &paths);
// Whether `path` may receive an output: the file to replace, or nothing for a new name; throws Error.
std::optional<FileId> output_file(const std::string &path, const std::vector<FileId> &inputs, bool force,
                                  bool signature);
// Whether two paths name one file.
bool same_file(const std::string &a, const std::string &b);
// The public key file of pk (pklen bytes: a pair's key carries its algorithm field).
Document public_document(const uint8_t *pk, size_t pklen = TAVIK_PK_BYTES);

// The secret key's home: $XDG_CONFIG_HOME/tavik/tavik.sec, or ~/.config/tavik/tavik.sec when
// XDG_CONFIG_HOME is unset, empty or not an absolute path. Throws Error when neither is known.
std::string default_secret_key();
// The secret key a command reads: -s, else the file of default_secret_key(), else ./tavik.sec of
// an earlier tool (o.old_secret_key, and open_checked warns in one line when it reads it); when none
// exists, the default (whose absence the reader reports).
std::string secret_key_to_read(Options &o);
// The secret key keygen writes: -s, else default_secret_key() with its directories made (0700).
std::string secret_key_to_write(const Options &o);

// A public key from PUBFILE: the tool's public key file, or a "PUBLIC KEY" in PEM or DER (a
// SubjectPublicKeyInfo, under either identifier), into pk (room bytes); returns its size:
// TAVIK_PK_BYTES, or a pair's TAVIK_HYBRID_PK_BYTES when room holds it. Throws Error naming the file and the reason.
size_t read_public_key(const std::string &path, uint8_t *pk, size_t room = TAVIK_PK_BYTES);

// The bytes a file is read in.
inline constexpr size_t STREAM_CHUNK = 64 * 1024;
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
  std::vector<uint8_t> buf(STREAM_CHUNK);
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

// The files of -m and the signature file of each (-x for a single one, else FILE.tsig); marks
// standard input taken when one of them reads it. Throws Error.
std::vector<std::pair<std::string, std::string>> signed_files(Options &o);

// tavik verify.
int cmd_verify(Options &o);

// tavik convert.
extern const char *const CONVERT_HELP;
int cmd_convert(Options &o);

}  // namespace tavik_cli
