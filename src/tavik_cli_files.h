// Files of the tavik command-line tool: base64, the text formats of keys and signatures, atomic
// writes, and secret keys sealed under a passphrase.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavik_cli {

// A refusal or failure: one line for standard error.
struct Error {
  std::string message;
};

std::string base64_encode(const uint8_t *data, size_t len);
// Strict decoding: the standard alphabet with padding; whitespace is ignored. False for anything
// else, for padding in the wrong place and for nonzero bits after the last byte.
bool base64_decode(const std::string &text, std::vector<uint8_t> *out);

// First 8 bytes of SHAKE256 of the public key, in lower-case hex.
std::string key_id(const uint8_t *pk);

enum class Kind { public_key, secret_key, signature };
const char *kind_name(Kind k);

// A parsed file: its fields in order and the decoded data block.
struct Document {
  Kind kind{};
  std::vector<std::pair<std::string, std::string>> fields;  // name, value (header lines)
  std::vector<uint8_t> data;
  const std::string *field(const std::string &name) const;
  ~Document();  // wipes the data: it may be a secret key
};

// Overwrites the characters of s with zeros (texts that held a secret key).
void wipe(std::string &s);

// Text of a file: kind line with version, the fields as "name: value", "data:" and the data in
// base64 lines of 64 characters.
std::string format_document(const Document &d);
// Reads `path` (at most 64 KiB) as a file of kind `want` with exactly the fields of its kind, a
// well-formed key id, data of the kind's length and, for a public key, the id of that key; throws
// Error naming the file and the reason.
Document read_document(const std::string &path, Kind want);

// Writes files so that each name holds either its old content or the complete new one: every
// content goes to a temporary file beside its target (mode 0600 for secrets, else 0666 less the
// umask) and is flushed to disk; only then are the temporary files renamed over their targets, in
// the order added, and the directory flushed. Without `replace` an existing target is refused
// (also one that appears between the check and the rename).
class AtomicWrites {
 public:
  void add(const std::string &path, const std::string &content, bool secret, bool replace);
  void commit();  // throws Error; temporary files are removed on failure
  ~AtomicWrites();

 private:
  struct Pending {
    std::string path, temp;
    bool replace;
  };
  std::vector<Pending> pending_;
};

// Passphrase protection of a 3056-byte secret key: Argon2id (libsodium crypto_pwhash) with a random
// 16-byte salt derives a key for XChaCha20-Poly1305, which seals the secret key together with the
// file's header fields.
struct SealLimits {
  unsigned long long opslimit;
  size_t memlimit;
};
extern const SealLimits DEFAULT_SEAL_LIMITS;  // 3 passes over 256 MiB
// Fields and data of a secret-key document: encryption none or sealed.
Document seal_secret_key(const uint8_t *sk, const std::string &id, const std::string *passphrase,
                         const SealLimits &limits);
// The secret key of a document; passphrase is consulted only for a sealed key (null: the key is
// sealed and no passphrase was given, an Error). Throws Error for a wrong passphrase or a changed
// file.
void open_secret_key(const Document &d, const std::string &path, const std::string *passphrase, uint8_t *sk);
bool is_sealed(const Document &d);

}  // namespace tavik_cli
