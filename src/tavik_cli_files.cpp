#include "tavik_cli_files.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sodium.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "fips202.h"
#include "tavik.h"

namespace tavik_cli {

namespace {

constexpr char B64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t MAX_FILE_BYTES = 64 * 1024;
constexpr size_t LINE_CHARS = 64;
constexpr const char *SEALED = "argon2id-xchacha20poly1305";
constexpr size_t SALT_BYTES = 16;
constexpr unsigned long long MAX_OPSLIMIT = 64;      // refused above: a file must not stall the tool
constexpr size_t MAX_MEMLIMIT = size_t(4) << 30;     // nor exhaust the machine's memory

std::string errno_text() { return std::strerror(errno); }

size_t data_bytes(Kind k, bool sealed) {
  switch (k) {
    case Kind::public_key: return TAVIK_PK_BYTES;
    case Kind::secret_key: return TAVIK_SK_BYTES + (sealed ? crypto_aead_xchacha20poly1305_ietf_ABYTES : 0);
    case Kind::signature: return TAVIK_SIG_BYTES;
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

// The Argon2id key of a sealed document, from its salt and limits.
void derive_key(uint8_t *key, const Document &d, const std::string &path, const std::string &passphrase) {
  std::vector<uint8_t> salt;
  unsigned long long ops = 0, mem = 0;
  if (!base64_decode(*d.field("salt"), &salt) || salt.size() != SALT_BYTES)
    throw Error{path + ": bad salt (" + std::to_string(SALT_BYTES) + " bytes in base64 expected)"};
  if (!decimal(*d.field("argon2id-opslimit"), &ops) || !decimal(*d.field("argon2id-memlimit"), &mem) ||
      ops < crypto_pwhash_OPSLIMIT_MIN || ops > MAX_OPSLIMIT || mem < crypto_pwhash_MEMLIMIT_MIN || mem > MAX_MEMLIMIT)
    throw Error{path + ": unsupported argon2id limits"};
  if (crypto_pwhash(key, crypto_aead_xchacha20poly1305_ietf_KEYBYTES, passphrase.data(), passphrase.size(),
                    salt.data(), ops, size_t(mem), crypto_pwhash_ALG_ARGON2ID13) != 0)
    throw Error{path + ": not enough memory for the passphrase's key derivation"};
}

// Test seam: TAVIK_CLI_FAULT=write makes every write of a temporary file fail as on a full disk;
// TAVIK_CLI_FAULT=rename kills the process after the temporary files are complete, before the
// first rename, as a power cut or `kill -9` would.
bool fault(const char *what) {
  const char *f = getenv("TAVIK_CLI_FAULT");
  return f != nullptr && std::strcmp(f, what) == 0;
}

}  // namespace

std::string base64_encode(const uint8_t *data, size_t len) {
  std::string o;
  o.reserve((len + 2) / 3 * 4);
  for (size_t i = 0; i < len; i += 3) {
    const uint32_t v = uint32_t(data[i]) << 16 | (i + 1 < len ? uint32_t(data[i + 1]) << 8 : 0) |
                       (i + 2 < len ? data[i + 2] : 0);
    o += B64[v >> 18];
    o += B64[(v >> 12) & 63];
    o += i + 1 < len ? B64[(v >> 6) & 63] : '=';
    o += i + 2 < len ? B64[v & 63] : '=';
  }
  return o;
}

bool base64_decode(const std::string &text, std::vector<uint8_t> *out) {
  std::string s;
  s.reserve(text.size());
  out->reserve(text.size() / 4 * 3);
  for (const char ch : text) {
    if (ch != ' ' && ch != '\t' && ch != '\n' && ch != '\r') s += ch;
  }
  out->clear();
  if (s.size() % 4 != 0) return false;
  for (size_t i = 0; i < s.size(); i += 4) {
    uint32_t v = 0;
    int pad = 0;
    for (int j = 0; j < 4; ++j) {
      const char ch = s[i + j];
      const char *p = ch == '\0' ? nullptr : std::strchr(B64, ch);
      if (ch == '=' && j >= 2 && i + 4 == s.size() && (j == 3 || s[i + 3] == '=')) {
        ++pad;
        v <<= 6;
      } else if (p != nullptr && pad == 0) {
        v = v << 6 | uint32_t(p - B64);
      } else {
        return false;
      }
    }
    if ((pad == 1 && (v & 0xFF) != 0) || (pad == 2 && (v & 0xFFFF) != 0)) return false;
    out->push_back(uint8_t(v >> 16));
    if (pad < 2) out->push_back(uint8_t(v >> 8));
    if (pad < 1) out->push_back(uint8_t(v));
  }
  wipe(s);
  return true;
}

std::string key_id(const uint8_t *pk) {
  uint8_t h[8];
  tavik::shake256(h, sizeof h, pk, TAVIK_PK_BYTES);
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
  t.append("tavik ").append(kind_name(d.kind)).append(" v1\n");
  for (const auto &f : d.fields) t.append(f.first).append(": ").append(f.second).append("\n");
  t.append("data:\n");
  for (size_t i = 0; i < b.size(); i += LINE_CHARS) t.append(b, i, LINE_CHARS).append("\n");
  wipe(b);
  return t;
}

Document read_document(const std::string &path, Kind want) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw Error{path + ": " + errno_text()};
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 && text.size() <= MAX_FILE_BYTES) text.append(buf, size_t(n));
  const int read_errno = errno;
  close(fd);
  if (n < 0) throw Error{path + ": " + std::strerror(read_errno)};
  if (text.size() > MAX_FILE_BYTES) throw Error{path + ": not a tavik file (larger than 64 KiB)"};

  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();  // a file that went through mail
    lines.push_back(line);
    at = end + 1;
  }
  const std::string want_line = std::string("tavik ") + kind_name(want) + " v1";
  const std::string first = lines.empty() ? "" : lines[0];
  if (first != want_line) {
    for (Kind k : {Kind::public_key, Kind::secret_key, Kind::signature}) {
      const std::string prefix = std::string("tavik ") + kind_name(k) + " v";
      if (first.rfind(prefix, 0) != 0) continue;
      if (k != want) throw Error{path + ": wrong kind of file: a " + kind_name(k) + ", not a " + kind_name(want)};
      throw Error{path + ": unknown format version " + first.substr(prefix.size() - 1) + " of a " + kind_name(k) +
                  " (this tool reads v1)"};
    }
    throw Error{path + ": not a tavik " + kind_name(want) + " file (first line is not \"" + want_line + "\")"};
  }

  Document d;
  d.kind = want;
  size_t i = 1;
  for (; i < lines.size() && lines[i] != "data:"; ++i) {
    const size_t colon = lines[i].find(": ");
    if (colon == std::string::npos || colon == 0)
      throw Error{path + ":" + std::to_string(i + 1) + ": malformed line (\"name: value\" or \"data:\" expected)"};
    d.fields.emplace_back(lines[i].substr(0, colon), lines[i].substr(colon + 2));
  }
  if (i == lines.size()) throw Error{path + ": no \"data:\" line"};
  std::string b64;
  b64.reserve(text.size());
  for (++i; i < lines.size(); ++i) b64 += lines[i];
  wipe(text);
  for (std::string &line : lines) wipe(line);

  std::vector<std::string> names = {"key-id"};
  bool sealed = false;
  if (want == Kind::secret_key) {
    names.push_back("encryption");
    const std::string *enc = d.field("encryption");
    sealed = enc != nullptr && *enc == SEALED;
    if (enc != nullptr && !sealed && *enc != "none")
      throw Error{path + ": unknown encryption \"" + *enc + "\" (none or " + SEALED + " expected)"};
    if (sealed) names.insert(names.end(), {"argon2id-opslimit", "argon2id-memlimit", "salt", "nonce"});
  }
  std::vector<std::string> got;
  for (const auto &f : d.fields) got.push_back(f.first);
  if (got != names) {
    std::string list;
    for (const auto &n : names) list += (list.empty() ? "" : ", ") + n;
    throw Error{path + ": unexpected header fields (want " + list + ")"};
  }
  const std::string &id = *d.field("key-id");
  if (id.size() != 16 || id.find_first_not_of("0123456789abcdef") != std::string::npos)
    throw Error{path + ": malformed key id \"" + id.substr(0, 32) + "\" (16 hex digits expected)"};
  const bool decoded = base64_decode(b64, &d.data);
  wipe(b64);
  if (!decoded) throw Error{path + ": bad base64 in the data"};
  const size_t want_bytes = data_bytes(want, sealed);
  if (d.data.size() != want_bytes)
    throw Error{path + ": wrong length of the " + kind_name(want) + " (" + std::to_string(d.data.size()) +
                " bytes, " + std::to_string(want_bytes) + " expected)"};
  if (want == Kind::public_key && key_id(d.data.data()) != id)
    throw Error{path + ": key id mismatch (the file says " + id + ", the key is " + key_id(d.data.data()) + ")"};
  return d;
}

void AtomicWrites::add(const std::string &path, const std::string &content, bool secret, bool replace) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp = dir + "." + base + ".tmp.XXXXXX";
  const int fd = mkstemp(temp.data());  // mode 0600
  if (fd < 0) throw Error{path + ": cannot create a temporary file beside it: " + errno_text()};
  pending_.push_back({path, temp, replace});
  if (!secret) {
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0) {
      close(fd);
      throw Error{temp + ": " + errno_text()};
    }
  }
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = fault("write") ? (errno = ENOSPC, -1) : write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string why = errno_text();
      close(fd);
      throw Error{path + ": writing failed: " + why};
    }
    done += size_t(n);
  }
  if (fsync(fd) != 0 || close(fd) != 0) throw Error{path + ": flushing failed: " + errno_text()};
}

void AtomicWrites::commit() {
  if (fault("rename")) kill(getpid(), SIGKILL);
  for (auto it = pending_.begin(); it != pending_.end();) {
    int r;
    if (it->replace) {
      r = rename(it->temp.c_str(), it->path.c_str());
    } else {
      // No replacing: a hard link fails when the name exists, even if it appeared just now.
      r = link(it->temp.c_str(), it->path.c_str());
      if (r == 0) unlink(it->temp.c_str());
    }
    if (r != 0) {
      throw Error{it->path + (errno == EEXIST ? ": exists; use -f to replace it" : ": " + errno_text())};
    }
    const size_t slash = it->path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : it->path.substr(0, slash + 1);
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      fsync(dfd);
      close(dfd);
    }
    it = pending_.erase(it);
  }
}

AtomicWrites::~AtomicWrites() {
  for (const auto &p : pending_) unlink(p.temp.c_str());
}

const SealLimits DEFAULT_SEAL_LIMITS = {3, size_t(256) << 20};

Document seal_secret_key(const uint8_t *sk, const std::string &id, const std::string *passphrase,
                         const SealLimits &limits) {
  Document d;
  d.kind = Kind::secret_key;
  d.fields = {{"key-id", id}};
  if (passphrase == nullptr) {
    d.fields.emplace_back("encryption", "none");
    d.data.assign(sk, sk + TAVIK_SK_BYTES);
    return d;
  }
  uint8_t salt[SALT_BYTES], nonce[crypto_aead_xchacha20poly1305_ietf_NPUBBYTES];
  randombytes_buf(salt, sizeof salt);
  randombytes_buf(nonce, sizeof nonce);
  d.fields.emplace_back("encryption", SEALED);
  d.fields.emplace_back("argon2id-opslimit", std::to_string(limits.opslimit));
  d.fields.emplace_back("argon2id-memlimit", std::to_string(limits.memlimit));
  d.fields.emplace_back("salt", base64_encode(salt, sizeof salt));
  d.fields.emplace_back("nonce", base64_encode(nonce, sizeof nonce));
  uint8_t key[crypto_aead_xchacha20poly1305_ietf_KEYBYTES];
  derive_key(key, d, "the new secret key", *passphrase);
  const std::string header = sealed_header(d);
  d.data.resize(TAVIK_SK_BYTES + crypto_aead_xchacha20poly1305_ietf_ABYTES);
  crypto_aead_xchacha20poly1305_ietf_encrypt(d.data.data(), nullptr, sk, TAVIK_SK_BYTES,
                                             reinterpret_cast<const uint8_t *>(header.data()), header.size(),
                                             nullptr, nonce, key);
  sodium_memzero(key, sizeof key);
  return d;
}

bool is_sealed(const Document &d) {
  const std::string *enc = d.field("encryption");
  return enc != nullptr && *enc == SEALED;
}

void open_secret_key(const Document &d, const std::string &path, const std::string *passphrase, uint8_t *sk) {
  if (!is_sealed(d)) {
    std::memcpy(sk, d.data.data(), TAVIK_SK_BYTES);
    return;
  }
  if (passphrase == nullptr) throw Error{path + ": the secret key is protected by a passphrase"};
  std::vector<uint8_t> nonce;
  if (!base64_decode(*d.field("nonce"), &nonce) || nonce.size() != crypto_aead_xchacha20poly1305_ietf_NPUBBYTES)
    throw Error{path + ": bad nonce (24 bytes in base64 expected)"};
  uint8_t key[crypto_aead_xchacha20poly1305_ietf_KEYBYTES];
  derive_key(key, d, path, *passphrase);
  const std::string header = sealed_header(d);
  const int r = crypto_aead_xchacha20poly1305_ietf_decrypt(
      sk, nullptr, nullptr, d.data.data(), d.data.size(), reinterpret_cast<const uint8_t *>(header.data()),
      header.size(), nonce.data(), key);
  sodium_memzero(key, sizeof key);
  if (r != 0) {
    sodium_memzero(sk, TAVIK_SK_BYTES);
    throw Error{path + ": wrong passphrase, or the file was changed"};
  }
}

}  // namespace tavik_cli
