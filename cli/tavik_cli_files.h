// Files of the tavik command-line tool: base64, the text formats of keys and signatures, atomic
// writes, and secret keys sealed under a passphrase.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tavik.h"

namespace tavik_cli {

// A refusal or failure: one line for standard error.
struct Error {
  std::string message;
};

// Base64 through libsodium's constant-time encoder (no branch or table index on a data byte): the
// data may be a secret key.
std::string base64_encode(const uint8_t *data, size_t len);
// Strict decoding by the library's own decoder (the one its reader of these files uses, in
// constant time): the standard alphabet with padding; spaces, tabs and line ends are ignored.
// False for any other byte (a NUL, a byte above 0x7f), for padding in the wrong place and for
// nonzero bits after the last byte.
bool base64_decode(const std::string &text, std::vector<uint8_t> *out);

// Text from a file, fit for a message: printable ASCII stays, a backslash and every other byte
// become \xHH, so that no control sequence of a crafted file reaches the terminal.
std::string shown(const std::string &text);
// A path for a message: well-formed UTF-8 stays legible; control bytes, C1 controls (a raw 0x9b
// or U+009B in UTF-8), the bidirectional marks and embeddings (U+061C, U+200E, U+200F,
// U+202A-U+202E, U+2066-U+2069), the line and paragraph separators and bytes of no well-formed
// sequence become \xHH, one for each byte.
std::string shown_path(const std::string &path);
// A comment for the terminal, as typed where it is printable: as shown_path (a backslash stays a
// backslash; controls, C1 controls and the bidirectional marks are escaped).
std::string shown_text(const std::string &text);
// Why `comment` cannot go into a signature file (longer than 1024 bytes, or a control byte), or
// null when it can.
const char *comment_fault(const std::string &comment);

// First 8 bytes of SHAKE256 of the public key (pklen bytes: a tavik key's, or a hybrid pair's), in
// lower-case hex.
std::string key_id(const uint8_t *pk, size_t pklen = TAVIK_PK_BYTES);

// The hybrid pair (tavik beside Ed25519) in the tool's files: its keys and signatures carry the
// header field "algorithm: tavik-ed25519" first, so that a reader of the single scheme's files (an
// earlier tool, the library's reader) refuses them for their fields, and their data has the
// pair's sizes.
extern const char *const PAIR_ALGORITHM;
struct Document;
bool is_pair(const Document &d);
// The secret key's size in a document: the pair's or the single scheme's.
size_t secret_key_bytes(bool pair);

enum class Kind { public_key, secret_key, signature };
const char *kind_name(Kind k);

// A parsed file: its fields in order and the decoded data block.
struct Document {
  Kind kind{};
  std::vector<std::pair<std::string, std::string>> fields;  // name, value (header lines)
  std::vector<uint8_t> data;
  unsigned version = 1;  // of the kind line: 1 for keys, 1 to 3 for signatures
  unsigned mode = 0;     // permission bits of the file it was read from
  const std::string *field(const std::string &name) const;
  ~Document();  // wipes the data: it may be a secret key
};

// Overwrites the characters of s with zeros (texts that held a secret key).
void wipe(std::string &s);

// Text of a file: kind line with version, the fields as "name: value", "data:" and the data in
// base64 lines of 64 characters.
std::string format_document(const Document &d);
// Reads `path` ("-": standard input, for a signature; at most 64 KiB, a longer file is refused, never cut) as a file
// of kind `want` with exactly the fields of its kind and version (a signature of version 2 or 3 adds
// an untrusted and a trusted comment, each at most 1024 bytes without control bytes), a well-formed
// key id, data of the kind's length, for a public key the id of that key, and for a sealed secret
// key a salt, a nonce and key-derivation limits this tool accepts; throws Error naming the file and
// the reason.
Document read_document(const std::string &path, Kind want);

// A file as the system knows it: two names are one file when device and inode agree.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileId &o) const { return dev == o.dev && ino == o.ino; }
};

// Writes files so that each name holds either its old content or the complete new one. Every
// content goes to an unnamed temporary file in the target's directory (O_TMPFILE; mode 0600 for
// secrets, else 0666 less the umask) and is flushed to disk; only then does each get its name, in
// the order added, and the directory is flushed. A target that does not exist gets the file as a
// new link, which fails if the name appeared meanwhile. `replace` names the one file that may be
// replaced: the file is linked under a temporary name beside it and renamed over it if the name
// still holds that file (a regular file of that device and inode). Where the file system has no
// unnamed files, the temporary is named from the start. Named temporaries are removed on failure
// and by the handler of handle_fatal_signals; one that a killed run left (".NAME.tmp." and 8 hex
// digits, a regular file of this user) is removed by the next write to NAME.
class AtomicWrites {
 public:
  void add(const std::string &path, const std::string &content, bool secret, const FileId *replace);
  void commit();  // throws Error; temporary files are removed on failure
  ~AtomicWrites();

 private:
  struct Pending {
    std::string path, temp;  // temp: the name of a named temporary, else empty
    int fd = -1;             // an unnamed temporary not yet linked
    int slot = -1;           // the temporary's place in the signal handler's list
    bool replace = false;
    FileId old;
  };
  std::vector<Pending> pending_;
};

// Every signal whose default action ends the process (interrupt, termination, hangup, quit, the
// user signals, the timers, a broken pipe, the real-time ones...), where that default holds, calls
// `restore` (async-signal-safe: it puts the terminal back), removes the named temporaries and ends
// the process by the signal as it would have. A stop from the terminal (SIGTSTP, SIGTTIN, SIGTTOU)
// calls `restore`, stops, and calls `resume` when the process continues. A file size limit makes a
// write fail (EFBIG) instead of killing the process.
void handle_fatal_signals(void (*restore)(), void (*resume)());

// Overwrites the stack below the caller with zeros: what the calls it made left there (the state of
// Argon2id and BLAKE2b, copies of keys) is gone.
void scrub_stack();

// Test builds only (TAVIK_CLI_TESTING): TAVIK_CLI_FAULT, a comma-separated list, makes the tool fail
// on purpose; note_secret records secret bytes, and residue_found looks for them on the dead stack
// and in the freed heap.
bool fault(const char *what);
#ifdef TAVIK_CLI_TESTING
void note_secret(const void *p, size_t n);
void note_secret_key(const uint8_t *sk);
bool residue_found();
#else
inline void note_secret(const void *, size_t) {}
inline void note_secret_key(const uint8_t *) {}
#endif

// Passphrase protection of a 3056-byte secret key: Argon2id (libsodium crypto_pwhash) with a random
// 16-byte salt derives a key for XChaCha20-Poly1305, which seals the secret key together with the
// file's header fields.
struct SealLimits {
  unsigned long long opslimit;
  size_t memlimit;
};
extern const SealLimits DEFAULT_SEAL_LIMITS;  // 3 passes over 256 MiB
// The limits a sealed file may state: a window around the defaults, 2 to 8 passes over 64 MiB to
// 1 GiB. Below it a guess costs too little; above it a crafted file would stall the tool or exhaust
// the machine's memory before the passphrase is even checked. A file outside is refused unread.
extern const SealLimits MIN_SEAL_LIMITS, MAX_SEAL_LIMITS;
// Fields and data of a secret-key document: encryption none or sealed.
Document seal_secret_key(const uint8_t *sk, const std::string &id, const std::string *passphrase,
                         const SealLimits &limits, bool pair = false);
// The secret key of a document (secret_key_bytes(is_pair(d)) bytes to sk); passphrase is consulted only for a sealed key (null: the key is
// sealed and no passphrase was given, an Error). Throws Error for a wrong passphrase or a changed
// file.
void open_secret_key(const Document &d, const std::string &path, const std::string *passphrase, uint8_t *sk);
bool is_sealed(const Document &d);

}  // namespace tavik_cli
