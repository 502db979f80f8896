#include "tavik_cli_files.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "base64.h"
#include "fips202.h"
#include "tavik.h"
#include "tavik_files.h"
#include "tavik_hybrid.h"

namespace tavik_cli {

namespace {

constexpr size_t MAX_FILE_BYTES = 64 * 1024;
constexpr size_t LINE_CHARS = 64;
constexpr size_t MAX_COMMENT_BYTES = 1024;
constexpr const char *SEALED = "argon2id-xchacha20poly1305";
constexpr size_t SALT_BYTES = 16;
constexpr size_t NONCE_BYTES = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr int VARIANT = sodium_base64_VARIANT_ORIGINAL;

std::string errno_text() { return std::strerror(errno); }

size_t data_bytes(Kind k, bool sealed, bool pair) {
  switch (k) {
    case Kind::public_key: return pair ? TAVIK_HYBRID_PK_BYTES : TAVIK_PK_BYTES;
    case Kind::secret_key: return secret_key_bytes(pair) + (sealed ? crypto_aead_xchacha20poly1305_ietf_ABYTES : 0);
    case Kind::signature: return pair ? TAVIK_HYBRID_SIG_BYTES : TAVIK_SIG_BYTES;
  }
  return 0;
}

// The bytes the seal authenticates besides the key: kind line and header fields, one per line.
std::string sealed_header(const Document &d) {
  std::string t = format_document(Document{d.kind, d.fields, {}});
  return t.substr(0, t.rfind("data:"));
}

bool decimal(const std::string &s, unsigned long long *out) {
  if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string::npos) return false;
  *out = std::strtoull(s.c_str(), nullptr, 10);
  return true;
}

// Salt and limits of a sealed document, refused outside the window of MIN/MAX_SEAL_LIMITS.
void seal_parameters(const Document &d, const std::string &path, std::vector<uint8_t> *salt, SealLimits *limits) {
  unsigned long long ops = 0, mem = 0;
  const std::string &ops_text = *d.field("argon2id-opslimit"), &mem_text = *d.field("argon2id-memlimit");
  if (!decimal(ops_text, &ops) || !decimal(mem_text, &mem) || ops < MIN_SEAL_LIMITS.opslimit ||
      ops > MAX_SEAL_LIMITS.opslimit || mem < MIN_SEAL_LIMITS.memlimit || mem > MAX_SEAL_LIMITS.memlimit)
    throw Error{shown_path(path) + ": unsupported argon2id limits (" + shown(ops_text.substr(0, 24)) +
                " passes over " + shown(mem_text.substr(0, 24)) + " bytes; this tool accepts " +
                std::to_string(MIN_SEAL_LIMITS.opslimit) + " to " + std::to_string(MAX_SEAL_LIMITS.opslimit) +
                " passes over " + std::to_string(MIN_SEAL_LIMITS.memlimit >> 20) + " MiB to " +
                std::to_string(MAX_SEAL_LIMITS.memlimit >> 20) + " MiB)"};
  if (!base64_decode(*d.field("salt"), salt) || salt->size() != SALT_BYTES)
    throw Error{shown_path(path) + ": bad salt (" + std::to_string(SALT_BYTES) + " bytes in base64 expected)"};
  *limits = {ops, size_t(mem)};
}

// A key for XChaCha20-Poly1305 that wipes itself.
struct SealKey {
  uint8_t bytes[crypto_aead_xchacha20poly1305_ietf_KEYBYTES];
  SealKey() { sodium_memzero(bytes, sizeof bytes); }
  ~SealKey() { sodium_memzero(bytes, sizeof bytes); }
};

// The Argon2id key of a sealed document, from its salt and limits; the stack Argon2id used is
// scrubbed before this returns.
void derive_key(SealKey *key, const Document &d, const std::string &path, const std::string &passphrase) {
  std::vector<uint8_t> salt;
  SealLimits limits{};
  seal_parameters(d, path, &salt, &limits);
  const int r = crypto_pwhash(key->bytes, sizeof key->bytes, passphrase.data(), passphrase.size(), salt.data(),
                              limits.opslimit, limits.memlimit, crypto_pwhash_ALG_ARGON2ID13);
  scrub_stack();
  if (r != 0) throw Error{shown_path(path) + ": not enough memory for the passphrase's key derivation"};
  note_secret(key->bytes, sizeof key->bytes);
}

#ifdef TAVIK_CLI_TESTING
// Secrets the tool held, for residue_found; kept outside the heap that it searches.
uint8_t noted[8192];
size_t noted_len = 0;
#endif

}  // namespace

bool fault(const char *what) {
#ifdef TAVIK_CLI_TESTING
  // TAVIK_CLI_FAULT=write: every write of a temporary file fails as on a full disk; rename: the
  // process is killed when the temporary files are complete, before the first gets its name, as a
  // power cut or `kill -9` would; wait: it waits there for a signal; no-tmpfile: temporaries are
  // named from the start, as on a file system without unnamed files; residue: see residue_found.
  const char *f = getenv("TAVIK_CLI_FAULT");
  if (f == nullptr) return false;
  const std::string list = std::string(",") + f + ",";
  return list.find(std::string(",") + what + ",") != std::string::npos;
#else
  (void)what;
  return false;
#endif
}

#ifdef TAVIK_CLI_TESTING
void note_secret(const void *p, size_t n) {
  const uint8_t *b = static_cast<const uint8_t *>(p);
  for (size_t i = 0; i + 16 <= n && noted_len + 16 <= sizeof noted; i += 16) {
    bool varied = false;  // a run of one byte value is no evidence
    for (size_t j = 1; j < 16; ++j) varied |= b[i + j] != b[i];
    if (!varied) continue;
    std::memcpy(noted + noted_len, b + i, 16);
    noted_len += 16;
  }
}

void note_secret_key(const uint8_t *sk) {
  note_secret(sk + 32, TAVIK_SK_BYTES - 32);  // all but the public seed
  std::string text = base64_encode(sk, TAVIK_SK_BYTES);
  note_secret(text.data() + 44, text.size() - 44);  // and the same as its file holds it
  wipe(text);
}

namespace {
bool holds_noted(const uint8_t *region, size_t n) {
  for (size_t w = 0; w < noted_len; w += 16) {
    if (memmem(region, n, noted + w, 16) != nullptr) return true;
  }
  return false;
}
}  // namespace

// Looks through the 256 KiB of stack below the caller, as the calls before left it, and through the
// heap, freed blocks included, for 16-byte pieces of the noted secrets.
[[gnu::noinline]] bool residue_found() {
  uint8_t dead[256 * 1024];
  const uint8_t *volatile below = dead;  // the stack as it is: no value of the compiler's own
  bool found = holds_noted(below, sizeof dead);
  if (FILE *maps = std::fopen("/proc/self/maps", "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, maps) != nullptr) {
      unsigned long lo = 0, hi = 0;
      if (std::strstr(line, "[heap]") != nullptr && std::sscanf(line, "%lx-%lx", &lo, &hi) == 2)
        found |= holds_noted(reinterpret_cast<const uint8_t *>(lo), hi - lo);
    }
    std::fclose(maps);
  }
  return found;
}
#endif

[[gnu::noinline]] void scrub_stack() {
  uint8_t dead[256 * 1024];
  sodium_memzero(dead, sizeof dead);
}

std::string base64_encode(const uint8_t *data, size_t len) {
  std::string o(sodium_base64_ENCODED_LEN(len, VARIANT), '\0');  // with the terminating zero
  sodium_bin2base64(o.data(), o.size(), data, len, VARIANT);
  o.pop_back();
  return o;
}

bool base64_decode(const std::string &text, std::vector<uint8_t> *out) {
  out->assign(text.size() / 4 * 3 + 3, 0);  // room for the longest result: never reallocated
  size_t n = 0;
  const bool ok = tavik::base64_decode_text(out->data(), out->size(), &n, text.data(), text.size());
  if (!ok) sodium_memzero(out->data(), out->size());
  out->resize(ok ? n : 0);
  return ok;
}

namespace {

// text with every byte for which keep() is false written as \xHH.
template <typename Keep>
std::string escaped(const std::string &text, Keep keep) {
  std::string o;
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (keep(c)) {
      o += ch;
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      o += hex;
    }
  }
  return o;
}

}  // namespace

std::string shown(const std::string &text) {
  return escaped(text, [](unsigned char c) { return c >= 0x20 && c < 0x7f && c != '\\'; });
}

namespace {

// Code points that may not reach a terminal as they are: C0 and C1 controls, DEL, the marks and
// embeddings that reorder text (a name ending in "\u202Etxt.exe" shows as "exe.txt"), and the
// line and paragraph separators.
bool control_point(uint32_t cp) {
  return cp < 0x20 || (cp >= 0x7f && cp < 0xa0) || cp == 0x061c || cp == 0x200e || cp == 0x200f ||
         (cp >= 0x2028 && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069);
}

// Well-formed UTF-8 of printable characters stays; every byte of a control point and every byte
// that begins no well-formed sequence (a raw 0x9b, an overlong form, a surrogate) becomes \xHH.
std::string shown_utf8(const std::string &text) {
  std::string o;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    // The length of a well-formed sequence at i (shortest form, no surrogates, at most U+10FFFF).
    size_t len = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      len = 1;
      cp = c;
    } else if (c >= 0xc2 && c <= 0xf4) {
      len = c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
      cp = c & (0x7f >> len);
      for (size_t k = 1; k < len; ++k) {
        const unsigned char d = i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
        if ((d & 0xc0) != 0x80) len = 0;
        if (len == 0) break;
        cp = cp << 6 | (d & 0x3f);
      }
      if ((len == 3 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) || (len == 4 && (cp < 0x10000 || cp > 0x10ffff)))
        len = 0;
    }
    if (len > 0 && !control_point(cp)) {
      o.append(text, i, len);
      i += len;
      continue;
    }
    for (const size_t end = i + (len > 0 ? len : 1); i < end; ++i) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(text[i]));
      o += hex;
    }
  }
  return o;
}

}  // namespace

std::string shown_path(const std::string &path) { return shown_utf8(path); }

std::string shown_text(const std::string &text) { return shown_utf8(text); }

const char *comment_fault(const std::string &comment) {
  if (comment.size() > MAX_COMMENT_BYTES) return "longer than 1024 bytes";
  for (const char ch : comment) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f) return "holds a control character (a line end, a tab, an escape)";
  }
  return nullptr;
}

const char *const PAIR_ALGORITHM = "tavik-ed25519";

bool is_pair(const Document &d) { return !d.fields.empty() && d.fields[0].first == "algorithm"; }

size_t secret_key_bytes(bool pair) { return pair ? TAVIK_HYBRID_SK_BYTES : TAVIK_SK_BYTES; }

std::string key_id(const uint8_t *pk, size_t pklen) {
  uint8_t h[8];
  tavik::shake256(h, sizeof h, pk, pklen);
  char hex[17];
  for (int i = 0; i < 8; ++i) std::snprintf(hex + 2 * i, 3, "%02x", h[i]);
  return hex;
}

const char *kind_name(Kind k) {
  switch (k) {
    case Kind::public_key: return "public key";
    case Kind::secret_key: return "secret key";
    case Kind::signature: return "signature";
  }
  return "";
}

const std::string *Document::field(const std::string &name) const {
  for (const auto &f : fields) {
    if (f.first == name) return &f.second;
  }
  return nullptr;
}

Document::~Document() { sodium_memzero(data.data(), data.size()); }

void wipe(std::string &s) { sodium_memzero(s.data(), s.size()); }

std::string format_document(const Document &d) {
  std::string b = base64_encode(d.data.data(), d.data.size());
  std::string t;
  t.reserve(256 + b.size() + b.size() / LINE_CHARS + 1);  // one allocation: no stray copies of a key
  t.append("tavik ").append(kind_name(d.kind)).append(" v").append(std::to_string(d.version)).append("\n");
  for (const auto &f : d.fields) t.append(f.first).append(": ").append(f.second).append("\n");
  t.append("data:\n");
  for (size_t i = 0; i < b.size(); i += LINE_CHARS) t.append(b, i, LINE_CHARS).append("\n");
  wipe(b);
  return t;
}

Document read_document(const std::string &path, Kind want) {
  const bool in = path == "-" && want == Kind::signature;  // keys only from files
  const std::string name = in ? "standard input" : shown_path(path);
  const int fd = in ? 0 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw Error{name + ": " + errno_text()};
  struct stat st {};
  const unsigned mode = fstat(fd, &st) == 0 ? unsigned(st.st_mode & 07777) : 0;
  std::string text;
  char buf[4096];
  text.reserve(MAX_FILE_BYTES + sizeof buf);  // one allocation: no stray copies of a key
  ssize_t n = 0;
  while (text.size() <= MAX_FILE_BYTES && (n = read(fd, buf, sizeof buf)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    text.append(buf, size_t(n));
  }
  const int read_errno = errno;
  sodium_memzero(buf, sizeof buf);
  if (!in) close(fd);
  if (n < 0) throw Error{name + ": " + std::strerror(read_errno)};
  if (text.size() > MAX_FILE_BYTES) {
    wipe(text);
    throw Error{name + ": not a tavik file (larger than 64 KiB)"};
  }

  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();  // a file that went through mail
    lines.push_back(std::move(line));
    at = end + 1;
  }
  wipe(text);
  // The kind line this tool writes for the kind, named when a file is none of its kind.
  const std::string want_line = std::string("tavik ") + kind_name(want) + " v" +
                                std::to_string(want == Kind::signature ? TAVIK_FILE_SIGNATURE_VERSION : 1);
  const std::string first = lines.empty() ? "" : lines[0];
  unsigned version = first == std::string("tavik ") + kind_name(want) + " v1" ? 1 : 0;
  for (const unsigned later : {2u, 3u}) {  // signatures only; 1 and 2 are legacy, for verify to judge
    if (want == Kind::signature && first == "tavik signature v" + std::to_string(later)) version = later;
  }
  if (version == 0) {
    for (std::string &line : lines) wipe(line);
    for (Kind k : {Kind::public_key, Kind::secret_key, Kind::signature}) {
      const std::string prefix = std::string("tavik ") + kind_name(k) + " v";
      if (first.rfind(prefix, 0) != 0) continue;
      if (k != want) throw Error{name + ": wrong kind of file: a " + kind_name(k) + ", not a " + kind_name(want)};
      throw Error{name + ": unknown format version " + shown(first.substr(prefix.size() - 1, 32)) + " of a " +
                  kind_name(k) + (k == Kind::signature ? " (this tool reads v1 to v3)" : " (this tool reads v1)")};
    }
    throw Error{name + ": not a tavik " + kind_name(want) + " file (first line is not \"" + want_line + "\")"};
  }

  Document d;
  d.kind = want;
  d.version = version;
  d.mode = mode;
  size_t i = 1;
  for (; i < lines.size() && lines[i] != "data:"; ++i) {
    const size_t colon = lines[i].find(": ");
    if (colon == std::string::npos || colon == 0)
      throw Error{name + ":" + std::to_string(i + 1) + ": malformed line (\"name: value\" or \"data:\" expected)"};
    d.fields.emplace_back(lines[i].substr(0, colon), lines[i].substr(colon + 2));
  }
  if (i == lines.size()) throw Error{name + ": no \"data:\" line"};
  std::string b64;
  b64.reserve(MAX_FILE_BYTES);
  for (++i; i < lines.size(); ++i) b64 += lines[i];
  for (std::string &line : lines) wipe(line);

  // The pair's files name their algorithm first; only version 3 signatures exist for it.
  const bool pair = is_pair(d);
  if (pair && d.fields[0].second != PAIR_ALGORITHM) {
    wipe(b64);
    throw Error{name + ": unknown algorithm \"" + shown(d.fields[0].second.substr(0, 64)) + "\" (" +
                PAIR_ALGORITHM + " expected)"};
  }
  if (pair && want == Kind::signature && version != 3) {
    wipe(b64);
    throw Error{name + ": a " + PAIR_ALGORITHM + " signature exists in version 3 only"};
  }
  std::vector<std::string> names = {"key-id"};
  if (pair) names.insert(names.begin(), "algorithm");
  if (version >= 2) names.insert(names.end(), {"untrusted-comment", "trusted-comment"});
  bool sealed = false;
  if (want == Kind::secret_key) {
    names.push_back("encryption");
    const std::string *enc = d.field("encryption");
    sealed = enc != nullptr && *enc == SEALED;
    if (enc != nullptr && !sealed && *enc != "none") {
      wipe(b64);
      throw Error{name + ": unknown encryption \"" + shown(enc->substr(0, 64)) + "\" (none or " + SEALED +
                  " expected)"};
    }
    if (sealed) names.insert(names.end(), {"argon2id-opslimit", "argon2id-memlimit", "salt", "nonce"});
  }
  std::vector<std::string> got;
  for (const auto &f : d.fields) got.push_back(f.first);
  if (got != names) {
    wipe(b64);
    std::string list;
    for (const auto &f : names) list += (list.empty() ? "" : ", ") + f;
    throw Error{name + ": unexpected header fields (want " + list + ")"};
  }
  const std::string &id = *d.field("key-id");
  if (id.size() != 16 || id.find_first_not_of("0123456789abcdef") != std::string::npos) {
    wipe(b64);
    throw Error{name + ": malformed key id \"" + shown(id.substr(0, 32)) + "\" (16 hex digits expected)"};
  }
  for (const char *comment : {"untrusted-comment", "trusted-comment"}) {
    const std::string *text = version >= 2 ? d.field(comment) : nullptr;
    if (text != nullptr && comment_fault(*text) != nullptr) {
      wipe(b64);
      throw Error{name + ": the " + comment + " " + comment_fault(*text)};
    }
  }
  if (sealed) {  // refused here, before anyone asks for a passphrase
    std::vector<uint8_t> salt, nonce;
    SealLimits limits{};
    seal_parameters(d, path, &salt, &limits);
    if (!base64_decode(*d.field("nonce"), &nonce) || nonce.size() != NONCE_BYTES)
      throw Error{name + ": bad nonce (" + std::to_string(NONCE_BYTES) + " bytes in base64 expected)"};
  }
  const bool decoded = base64_decode(b64, &d.data);
  wipe(b64);
  if (!decoded) throw Error{name + ": bad base64 in the data"};
  const size_t want_bytes = data_bytes(want, sealed, pair);
  if (d.data.size() != want_bytes)
    throw Error{name + ": wrong length of the " + kind_name(want) + " (" + std::to_string(d.data.size()) +
                " bytes, " + std::to_string(want_bytes) + " expected)"};
  if (want == Kind::public_key && key_id(d.data.data(), d.data.size()) != id)
    throw Error{name + ": key id mismatch (the file says " + id + ", the key is " +
                key_id(d.data.data(), d.data.size()) + ")"};
  return d;
}

const SealLimits DEFAULT_SEAL_LIMITS = {3, size_t(256) << 20};
const SealLimits MIN_SEAL_LIMITS = {2, size_t(64) << 20};
const SealLimits MAX_SEAL_LIMITS = {8, size_t(1) << 30};

Document seal_secret_key(const uint8_t *sk, const std::string &id, const std::string *passphrase,
                         const SealLimits &limits, bool pair) {
  Document d;
  d.kind = Kind::secret_key;
  d.fields = {{"key-id", id}};
  if (pair) d.fields.insert(d.fields.begin(), {"algorithm", PAIR_ALGORITHM});
  const size_t sk_bytes = secret_key_bytes(pair);
  if (passphrase == nullptr) {
    d.fields.emplace_back("encryption", "none");
    d.data.assign(sk, sk + sk_bytes);
    return d;
  }
  uint8_t salt[SALT_BYTES], nonce[NONCE_BYTES];
  randombytes_buf(salt, sizeof salt);
  randombytes_buf(nonce, sizeof nonce);
  d.fields.emplace_back("encryption", SEALED);
  d.fields.emplace_back("argon2id-opslimit", std::to_string(limits.opslimit));
  d.fields.emplace_back("argon2id-memlimit", std::to_string(limits.memlimit));
  d.fields.emplace_back("salt", base64_encode(salt, sizeof salt));
  d.fields.emplace_back("nonce", base64_encode(nonce, sizeof nonce));
  SealKey key;
  derive_key(&key, d, "the new secret key", *passphrase);
  const std::string header = sealed_header(d);
  d.data.resize(sk_bytes + crypto_aead_xchacha20poly1305_ietf_ABYTES);
  crypto_aead_xchacha20poly1305_ietf_encrypt(d.data.data(), nullptr, sk, sk_bytes,
                                             reinterpret_cast<const uint8_t *>(header.data()), header.size(),
                                             nullptr, nonce, key.bytes);
  return d;
}

bool is_sealed(const Document &d) {
  const std::string *enc = d.field("encryption");
  return enc != nullptr && *enc == SEALED;
}

void open_secret_key(const Document &d, const std::string &path, const std::string *passphrase, uint8_t *sk) {
  const size_t sk_bytes = secret_key_bytes(is_pair(d));
  if (!is_sealed(d)) {
    std::memcpy(sk, d.data.data(), sk_bytes);
    return;
  }
  if (passphrase == nullptr) throw Error{shown_path(path) + ": the secret key is protected by a passphrase"};
  std::vector<uint8_t> nonce;
  if (!base64_decode(*d.field("nonce"), &nonce) || nonce.size() != NONCE_BYTES)
    throw Error{shown_path(path) + ": bad nonce (24 bytes in base64 expected)"};
  SealKey key;
  derive_key(&key, d, path, *passphrase);
  const std::string header = sealed_header(d);
  const int r = crypto_aead_xchacha20poly1305_ietf_decrypt(
      sk, nullptr, nullptr, d.data.data(), d.data.size(), reinterpret_cast<const uint8_t *>(header.data()),
      header.size(), nonce.data(), key.bytes);
  if (r != 0) {
    sodium_memzero(sk, sk_bytes);
    throw Error{shown_path(path) + ": wrong passphrase, or the file was changed"};
  }
}

}  // namespace tavik_cli
