// The token's directory: the token file (PIN wraps of the master key, failure counts) and one file
// per token object, public ones checksummed, private ones sealed under the master key. Every file
// is written to a fresh temporary name, synced, renamed over the old one, and the directory synced.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sodium.h>

#include <cerrno>
#include <cstring>

#include "p11.h"

namespace tp11 {

void wipe(void *p, size_t n) { sodium_memzero(p, n); }

Object::~Object() { wipe(sk, sizeof sk); }

namespace {

constexpr char TOKEN_MAGIC[8] = {'T', 'A', 'V', 'I', 'K', 'T', 'O', 'K'};
constexpr char OBJECT_MAGIC[8] = {'T', 'A', 'V', 'I', 'K', 'O', 'B', 'J'};
constexpr size_t HEADER_BYTES = 276, CHECKSUM_AT = 244, OBJ_HEAD = 16, MAX_BODY = 8192;
constexpr uint32_t MIN_OPS = 2, MAX_OPS = 8, MIN_MEM = 64u << 20, MAX_MEM = 1024u << 20;
constexpr const char *TOKEN_FILE = "token.dat";

// Bytes wiped when they go.
struct Bytes : std::vector<uint8_t> {
  using std::vector<uint8_t>::vector;
  ~Bytes() { wipe(data(), size()); }
};

void put32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (24 - 8 * i));
}
uint32_t get32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

bool read_file(const std::string &path, Bytes *out, size_t max) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && size_t(st.st_size) <= max;
  if (ok) {
    out->resize(size_t(st.st_size));
    size_t got = 0;
    while (ok && got < out->size()) {
      const ssize_t n = read(fd, out->data() + got, out->size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) ok = false;
      else got += size_t(n);
    }
  }
  close(fd);
  return ok;
}

bool sync_dir(const std::string &dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

// Writes name in dir through a temporary file, owner-only.
bool write_atomic(const std::string &dir, const std::string &name, const uint8_t *data, size_t len) {
  uint8_t r[8];
  randombytes_buf(r, sizeof r);
  char suffix[17];
  sodium_bin2hex(suffix, sizeof suffix, r, sizeof r);
  const std::string tmp = dir + "/." + name + ".tmp-" + suffix, final_path = dir + "/" + name;
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  size_t done = 0;
  while (ok && done < len) {
    const ssize_t n = write(fd, data + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += size_t(n);
  }
  ok = ok && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  ok = ok && rename(tmp.c_str(), final_path.c_str()) == 0;
  if (!ok) unlink(tmp.c_str());
  return ok && sync_dir(dir);
}

// Makes dir and its missing parents, owner-only.
bool make_dirs(const std::string &dir) {
  for (size_t i = 1; i <= dir.size(); i++) {
    if (i < dir.size() && dir[i] != '/') continue;
    const std::string part = dir.substr(0, i);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> object_files(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (!d) return names;
  while (const dirent *e = readdir(d)) {
    const std::string n = e->d_name;
    if (n.size() == 20 && n.compare(0, 4, "obj-") == 0 && n.find_first_not_of("0123456789abcdef", 4) == std::string::npos)
      names.push_back(n);
  }
  closedir(d);
  return names;
}

void encode_header(const TokenHeader &h, uint8_t out[HEADER_BYTES]) {
  std::memcpy(out, TOKEN_MAGIC, 8);
  out[8] = 1;
  out[9] = h.user_pin_set;
  out[10] = h.so_fail;
  out[11] = h.user_fail;
  put32(out + 12, h.opslimit);
  put32(out + 16, h.memlimit);
  std::memcpy(out + 20, h.token_id, 16);
  std::memcpy(out + 36, h.label, 32);
  std::memcpy(out + 68, &h.so, 88);
  std::memcpy(out + 156, &h.user, 88);
  crypto_generichash(out + CHECKSUM_AT, 32, out, CHECKSUM_AT, nullptr, 0);
}

CK_RV read_header(Token &t) {
  Bytes b;
  if (!read_file(t.dir + "/" + TOKEN_FILE, &b, HEADER_BYTES + 1) || b.size() != HEADER_BYTES) return CKR_DEVICE_ERROR;
  uint8_t sum[32];
  crypto_generichash(sum, 32, b.data(), CHECKSUM_AT, nullptr, 0);
  if (std::memcmp(b.data(), TOKEN_MAGIC, 8) != 0 || b[8] != 1 || b[9] > 1 ||
      sodium_memcmp(sum, b.data() + CHECKSUM_AT, 32) != 0)
    return CKR_DEVICE_ERROR;
  TokenHeader &h = t.hdr;
  h.user_pin_set = b[9];
  h.so_fail = b[10];
  h.user_fail = b[11];
  h.opslimit = get32(b.data() + 12);
  h.memlimit = get32(b.data() + 16);
  // Limits outside the window are refused unread: a crafted file would stall a login or make it
  // cheap to guess.
  if (h.opslimit < MIN_OPS || h.opslimit > MAX_OPS || h.memlimit < MIN_MEM || h.memlimit > MAX_MEM) return CKR_DEVICE_ERROR;
  std::memcpy(h.token_id, b.data() + 20, 16);
  std::memcpy(h.label, b.data() + 36, 32);
  std::memcpy(&h.so, b.data() + 68, 88);
  std::memcpy(&h.user, b.data() + 156, 88);
  return CKR_OK;
}

// What binds a sealed or checksummed object to its place: the token and the file's name.
Bytes binding(const Token &t, const std::string &name, const uint8_t *head) {
  Bytes ad(OBJ_HEAD + 16 + name.size());
  std::memcpy(ad.data(), head, OBJ_HEAD);
  std::memcpy(ad.data() + OBJ_HEAD, t.hdr.token_id, 16);
  std::memcpy(ad.data() + OBJ_HEAD + 16, name.data(), name.size());
  return ad;
}

constexpr uint32_t F_TOKEN = 1, F_PRIV = 2, F_SENS = 4, F_EXTR = 8, F_SIGN = 16, F_VERIFY = 32, F_LOCAL = 64,
                   F_ASENS = 128, F_NEXTR = 256, F_MOD = 512;

Bytes encode_body(const Object &o) {
  const uint32_t flags = (o.token ? F_TOKEN : 0) | (o.priv ? F_PRIV : 0) | (o.sensitive ? F_SENS : 0) |
                         (o.extractable ? F_EXTR : 0) | (o.sign ? F_SIGN : 0) | (o.verify ? F_VERIFY : 0) |
                         (o.local ? F_LOCAL : 0) | (o.always_sensitive ? F_ASENS : 0) |
                         (o.never_extractable ? F_NEXTR : 0) | (o.modifiable ? F_MOD : 0);
  Bytes b(12);
  put32(b.data(), uint32_t(o.cls));
  put32(b.data() + 4, uint32_t(TAVIK_CKK_KEY));
  put32(b.data() + 8, flags);
  auto field = [&b](const uint8_t *p, size_t n) {
    b.push_back(uint8_t(n >> 8));
    b.push_back(uint8_t(n));
    b.insert(b.end(), p, p + n);
  };
  field(reinterpret_cast<const uint8_t *>(o.label.data()), o.label.size());
  field(o.id.data(), o.id.size());
  if (o.cls == CKO_PRIVATE_KEY) field(o.sk, TAVIK_SK_BYTES);
  else field(o.pk, TAVIK_PK_BYTES);
  return b;
}

bool decode_body(const uint8_t *b, size_t n, Object &o) {
  if (n < 12) return false;
  o.cls = get32(b);
  const uint32_t flags = get32(b + 8);
  if ((o.cls != CKO_PUBLIC_KEY && o.cls != CKO_PRIVATE_KEY) || get32(b + 4) != TAVIK_CKK_KEY || flags >= 1024)
    return false;
  o.token = flags & F_TOKEN;
  o.priv = flags & F_PRIV;
  o.sensitive = flags & F_SENS;
  o.extractable = flags & F_EXTR;
  o.sign = flags & F_SIGN;
  o.verify = flags & F_VERIFY;
  o.local = flags & F_LOCAL;
  o.always_sensitive = flags & F_ASENS;
  o.never_extractable = flags & F_NEXTR;
  o.modifiable = flags & F_MOD;
  size_t at = 12;
  auto field = [&](size_t *len) {
    if (n - at < 2) return false;
    *len = size_t(b[at]) << 8 | b[at + 1];
    at += 2;
    if (n - at < *len) return false;
    at += *len;
    return true;
  };
  size_t len = 0;
  if (!field(&len) || len > 255) return false;
  o.label.assign(reinterpret_cast<const char *>(b + at - len), len);
  if (!field(&len) || len > 255) return false;
  o.id.assign(b + at - len, b + at);
  if (!field(&len) || at != n) return false;
  if (o.cls == CKO_PRIVATE_KEY) {
    if (len != TAVIK_SK_BYTES || !o.priv) return false;
    std::memcpy(o.sk, b + at - len, len);
    return tavik_pk_from_sk(o.pk, o.sk) == TAVIK_OK;
  }
  if (len != TAVIK_PK_BYTES) return false;
  std::memcpy(o.pk, b + at - len, len);
  return true;
}

// Reads one object file; sealed ones only with the master key (master null: skipped, *o left null).
CK_RV read_object(const Token &t, const std::string &name, const uint8_t *master, std::unique_ptr<Object> *out) {
  Bytes f;
  if (!read_file(t.dir + "/" + name, &f, OBJ_HEAD + MAX_BODY + 64) || f.size() < OBJ_HEAD ||
      std::memcmp(f.data(), OBJECT_MAGIC, 8) != 0 || f[8] != 1 || f[9] > 1 || f[10] || f[11])
    return CKR_DEVICE_ERROR;
  const bool sealed = f[9] == 1;
  const size_t len = get32(f.data() + 12);
  const Bytes ad = binding(t, name, f.data());
  auto o = std::make_unique<Object>();
  o->file_name = name;
  if (!sealed) {
    if (len > MAX_BODY || f.size() != OBJ_HEAD + len + 32) return CKR_DEVICE_ERROR;
    uint8_t sum[32];
    crypto_generichash_state st;
    crypto_generichash_init(&st, nullptr, 0, 32);
    crypto_generichash_update(&st, ad.data(), ad.size());
    crypto_generichash_update(&st, f.data() + OBJ_HEAD, len);
    crypto_generichash_final(&st, sum, 32);
    if (sodium_memcmp(sum, f.data() + OBJ_HEAD + len, 32) != 0 || !decode_body(f.data() + OBJ_HEAD, len, *o) || o->priv)
      return CKR_DEVICE_ERROR;
  } else {
    if (!master) return CKR_OK;
    const size_t nb = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES, ab = crypto_aead_xchacha20poly1305_ietf_ABYTES;
    if (len > MAX_BODY || f.size() != OBJ_HEAD + nb + len + ab) return CKR_DEVICE_ERROR;
    Bytes body(len);
    unsigned long long got = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(body.data(), &got, nullptr, f.data() + OBJ_HEAD + nb, len + ab,
                                                   ad.data(), ad.size(), f.data() + OBJ_HEAD, master) != 0 ||
        got != len || !decode_body(body.data(), len, *o) || !o->priv)
      return CKR_DEVICE_ERROR;
  }
  if (!o->token) return CKR_DEVICE_ERROR;
  *out = std::move(o);
  return CKR_OK;
}

// The key that opens a PIN's wrap of the master key.
bool pin_key(const TokenHeader &h, const TokenHeader::Wrap &w, const uint8_t *pin, size_t pinlen, uint8_t key[32]) {
  return crypto_pwhash(key, 32, reinterpret_cast<const char *>(pin), pinlen, w.salt, h.opslimit, h.memlimit,
                       crypto_pwhash_ALG_ARGON2ID13) == 0;
}

void wrap_ad(const TokenHeader &h, CK_USER_TYPE user, uint8_t ad[25]) {
  std::memcpy(ad, TOKEN_MAGIC, 8);
  std::memcpy(ad + 8, h.token_id, 16);
  ad[24] = user == CKU_SO ? 0 : 1;
}

bool unwrap(const TokenHeader &h, CK_USER_TYPE user, const uint8_t *pin, size_t pinlen, uint8_t master[32]) {
  const TokenHeader::Wrap &w = user == CKU_SO ? h.so : h.user;
  uint8_t key[32], ad[25];
  wrap_ad(h, user, ad);
  bool ok = pin_key(h, w, pin, pinlen, key) &&
            crypto_aead_xchacha20poly1305_ietf_decrypt(master, nullptr, nullptr, w.sealed, sizeof w.sealed, ad, sizeof ad,
                                                       w.nonce, key) == 0;
  wipe(key, sizeof key);
  return ok;
}

bool wrap(TokenHeader &h, CK_USER_TYPE user, const uint8_t *pin, size_t pinlen, const uint8_t master[32]) {
  TokenHeader::Wrap &w = user == CKU_SO ? h.so : h.user;
  randombytes_buf(w.salt, sizeof w.salt);
  randombytes_buf(w.nonce, sizeof w.nonce);
  uint8_t key[32], ad[25];
  wrap_ad(h, user, ad);
  const bool ok = pin_key(h, w, pin, pinlen, key);
  if (ok)
    crypto_aead_xchacha20poly1305_ietf_encrypt(w.sealed, nullptr, master, 32, ad, sizeof ad, nullptr, w.nonce, key);
  wipe(key, sizeof key);
  return ok;
}

// Holds an exclusive lock on the token's directory: processes sharing a token count wrong PINs
// one after the other.
struct DirLock {
  int fd;
  explicit DirLock(const std::string &dir) : fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd >= 0) flock(fd, LOCK_EX);
  }
  ~DirLock() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

CK_RV write_header(const Token &t) {
  uint8_t b[HEADER_BYTES];
  encode_header(t.hdr, b);
  return write_atomic(t.dir, TOKEN_FILE, b, sizeof b) ? CKR_OK : CKR_DEVICE_ERROR;
}

CK_RV load_token(Token &t) {
  t.objects.clear();
  struct stat st {};
  t.present = stat((t.dir + "/" + TOKEN_FILE).c_str(), &st) == 0;
  if (!t.present) return t.status = CKR_OK;
  if (read_header(t) != CKR_OK) return t.status = CKR_DEVICE_ERROR;
  for (const std::string &name : object_files(t.dir)) {
    std::unique_ptr<Object> o;
    if (read_object(t, name, nullptr, &o) != CKR_OK) {
      t.objects.clear();
      return t.status = CKR_DEVICE_ERROR;
    }
    if (o) t.objects.push_back(std::move(o));
  }
  return t.status = CKR_OK;
}

CK_RV init_token(Token &t, const uint8_t *pin, size_t pinlen, const uint8_t label[32]) {
  if (!make_dirs(t.dir)) return CKR_DEVICE_ERROR;
  DirLock lock(t.dir);
  for (const std::string &name : object_files(t.dir))
    if (unlink((t.dir + "/" + name).c_str()) != 0) return CKR_DEVICE_ERROR;
  TokenHeader h;
  h.opslimit = MIN_OPS;
  h.memlimit = MIN_MEM;
  randombytes_buf(h.token_id, sizeof h.token_id);
  std::memcpy(h.label, label, 32);
  uint8_t master[32];
  randombytes_buf(master, sizeof master);
  const bool ok = wrap(h, CKU_SO, pin, pinlen, master);
  wipe(master, sizeof master);
  if (!ok) return CKR_HOST_MEMORY;
  logout(t);
  t.objects.clear();
  t.hdr = h;
  if (write_header(t) != CKR_OK) return CKR_DEVICE_ERROR;
  t.present = true;
  t.status = CKR_OK;
  return CKR_OK;
}

CK_RV check_pin(Token &t, CK_USER_TYPE user, const uint8_t *pin, size_t pinlen, uint8_t master[32]) {
  DirLock lock(t.dir);
  // The counts on disk, which other processes may have raised.
  if (read_header(t) != CKR_OK) return CKR_DEVICE_ERROR;
  if (user == CKU_USER && !t.hdr.user_pin_set) return CKR_USER_PIN_NOT_INITIALIZED;
  uint8_t &fails = user == CKU_SO ? t.hdr.so_fail : t.hdr.user_fail;
  if (fails >= TAVIK_PKCS11_MAX_PIN_TRIES) return CKR_PIN_LOCKED;
  // The failure is counted before the PIN is tried, so that stopping the process mid-way saves
  // no try.
  fails++;
  if (write_header(t) != CKR_OK) return CKR_DEVICE_ERROR;
  if (!unwrap(t.hdr, user, pin, pinlen, master)) return CKR_PIN_INCORRECT;
  fails = 0;
  if (write_header(t) != CKR_OK) {
    wipe(master, 32);
    return CKR_DEVICE_ERROR;
  }
  return CKR_OK;
}

CK_RV login(Token &t, CK_USER_TYPE user, const uint8_t *pin, size_t pinlen) {
  uint8_t master[32];
  CK_RV rv = check_pin(t, user, pin, pinlen, master);
  if (rv != CKR_OK) return rv;
  std::vector<std::unique_ptr<Object>> priv;
  if (user == CKU_USER) {
    for (const std::string &name : object_files(t.dir)) {
      std::unique_ptr<Object> o;
      rv = read_object(t, name, master, &o);
      if (rv != CKR_OK) break;
      if (o && o->priv) priv.push_back(std::move(o));
    }
  }
  if (rv != CKR_OK) {
    wipe(master, sizeof master);
    return rv;
  }
  std::memcpy(t.master, master, 32);
  wipe(master, sizeof master);
  for (auto &o : priv) t.objects.push_back(std::move(o));
  t.user = user;
  return CKR_OK;
}

void logout(Token &t) {
  wipe(t.master, sizeof t.master);
  std::erase_if(t.objects, [](const std::unique_ptr<Object> &o) { return o->priv; });
  t.user = NO_USER;
}

CK_RV set_pin(Token &t, CK_USER_TYPE user, const uint8_t *pin, size_t pinlen, const uint8_t master[32]) {
  DirLock lock(t.dir);
  TokenHeader h = t.hdr;
  if (!wrap(h, user, pin, pinlen, master)) return CKR_HOST_MEMORY;
  if (user == CKU_USER) {
    h.user_pin_set = 1;
    h.user_fail = 0;
  } else {
    h.so_fail = 0;
  }
  const TokenHeader old = t.hdr;
  t.hdr = h;
  if (write_header(t) != CKR_OK) {
    t.hdr = old;
    return CKR_DEVICE_ERROR;
  }
  return CKR_OK;
}

CK_RV write_object(const Token &t, Object &o) {
  if (o.priv && t.user != CKU_USER) return CKR_USER_NOT_LOGGED_IN;
  std::string name = o.file_name;
  while (name.empty()) {
    uint8_t r[8];
    char hex[17];
    randombytes_buf(r, sizeof r);
    sodium_bin2hex(hex, sizeof hex, r, sizeof r);
    struct stat st {};
    if (stat((t.dir + "/obj-" + hex).c_str(), &st) != 0) name = std::string("obj-") + hex;
  }
  const Bytes body = encode_body(o);
  Bytes f(OBJ_HEAD);
  std::memcpy(f.data(), OBJECT_MAGIC, 8);
  f[8] = 1;
  f[9] = o.priv ? 1 : 0;
  put32(f.data() + 12, uint32_t(body.size()));
  const Bytes ad = binding(t, name, f.data());
  if (!o.priv) {
    f.insert(f.end(), body.begin(), body.end());
    uint8_t sum[32];
    crypto_generichash_state st;
    crypto_generichash_init(&st, nullptr, 0, 32);
    crypto_generichash_update(&st, ad.data(), ad.size());
    crypto_generichash_update(&st, body.data(), body.size());
    crypto_generichash_final(&st, sum, 32);
    f.insert(f.end(), sum, sum + 32);
  } else {
    const size_t nb = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES, ab = crypto_aead_xchacha20poly1305_ietf_ABYTES;
    f.resize(OBJ_HEAD + nb + body.size() + ab);
    randombytes_buf(f.data() + OBJ_HEAD, nb);
    crypto_aead_xchacha20poly1305_ietf_encrypt(f.data() + OBJ_HEAD + nb, nullptr, body.data(), body.size(), ad.data(),
                                               ad.size(), nullptr, f.data() + OBJ_HEAD, t.master);
  }
  if (!write_atomic(t.dir, name, f.data(), f.size())) return CKR_DEVICE_ERROR;
  o.file_name = name;
  return CKR_OK;
}

CK_RV remove_object(const Token &t, const Object &o) {
  if (unlink((t.dir + "/" + o.file_name).c_str()) != 0 && errno != ENOENT) return CKR_DEVICE_ERROR;
  return sync_dir(t.dir) ? CKR_OK : CKR_DEVICE_ERROR;
}

}  // namespace tp11
