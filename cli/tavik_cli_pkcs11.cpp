// Keys held in a PKCS#11 token. The URI (RFC 7512) picks the token by its label, manufacturer,
// model, serial number or slot, and the key by its label (object=) and CKA_ID (id=); the module
// comes from module-path=, else TAVIK_PKCS11_MODULE, else libtavik-pkcs11.so beside the tool, else
// where `make install` puts it. The tool hashes the file itself and the token signs the 48-byte µ
// with the sign-µ mechanism, hedged; the token never sees the file.
#include "tavik_cli_pkcs11.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "tavik_cli_files.h"

namespace tavik_cli {

bool is_pkcs11_uri(const std::string &s) { return s.size() >= 7 && strncasecmp(s.c_str(), "pkcs11:", 7) == 0; }

void check_key_options(Options &o, bool token) {
  for (const char *opt : {"--passphrase-file", "--passphrase-fd"}) {
    if (token && o.count(opt))
      throw Error{std::string(opt) + " is for a key file; a key in a token takes --pin-file or --pin-fd"};
  }
  for (const char *opt : {"--pin-file", "--pin-fd"}) {
    if (!token && o.count(opt)) throw Error{std::string(opt) + " is for a key in a token (-s 'pkcs11:...')"};
  }
}

}  // namespace tavik_cli

#if __has_include(<p11-kit/pkcs11.h>)

extern "C" {
#include <p11-kit/pkcs11.h>
}

#include "tavik_der.h"
#include "tavik_files.h"
#include "tavik_pkcs11.h"

namespace tavik_cli {

namespace {

// The attributes of a URI this tool understands: the token's, the key's, and module-path.
struct Uri {
  std::string token, manufacturer, model, serial, object, type, module_path;
  std::vector<uint8_t> id;
  bool has_token = false, has_manufacturer = false, has_model = false, has_serial = false, has_object = false,
       has_id = false, has_slot = false;
  CK_SLOT_ID slot = 0;
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A value with its %XX escapes decoded.
std::string unescape(const std::string &name, const std::string &v) {
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '%') {
      out += v[i];
      continue;
    }
    const int hi = i + 2 < v.size() ? hex_digit(v[i + 1]) : -1, lo = hi >= 0 ? hex_digit(v[i + 2]) : -1;
    if (lo < 0) throw Error{"the PKCS#11 URI: a % not followed by two hex digits in " + name + "="};
    out += char(hi * 16 + lo);
    i += 2;
  }
  return out;
}

Uri parse_uri(const std::string &text) {
  Uri u;
  const std::string body = text.substr(7);
  const size_t q = body.find('?');
  const std::string path = body.substr(0, q), query = q == std::string::npos ? "" : body.substr(q + 1);
  std::vector<std::string> seen;
  const auto each = [&](const std::string &part, char sep, bool in_query) {
    size_t at = 0;
    while (at <= part.size() && !part.empty()) {
      const size_t end = std::min(part.find(sep, at), part.size());
      const std::string attr = part.substr(at, end - at);
      at = end + 1;
      if (attr.empty()) continue;
      const size_t eq = attr.find('=');
      if (eq == std::string::npos) throw Error{"the PKCS#11 URI: \"" + shown_path(attr) + "\" has no value"};
      const std::string name = attr.substr(0, eq), v = unescape(name, attr.substr(eq + 1));
      for (const std::string &s : seen) {
        if (s == name) throw Error{"the PKCS#11 URI names " + shown_path(name) + "= twice"};
      }
      seen.push_back(name);
      if (in_query && name == "module-path") {
        u.module_path = v;
      } else if (in_query && name == "pin-value") {
        // A command line is seen by every user of the machine (ps, /proc) and kept in shell histories.
        throw Error{"the PKCS#11 URI holds pin-value=, which others can read on this command line; "
                    "give the PIN with --pin-file or --pin-fd, or type it when asked"};
      } else if (in_query && name == "pin-source") {
        throw Error{"the PKCS#11 URI: pin-source= is not read; give the PIN with --pin-file or --pin-fd"};
      } else if (!in_query && name == "token") {
        u.token = v, u.has_token = true;
      } else if (!in_query && name == "manufacturer") {
        u.manufacturer = v, u.has_manufacturer = true;
      } else if (!in_query && name == "model") {
        u.model = v, u.has_model = true;
      } else if (!in_query && name == "serial") {
        u.serial = v, u.has_serial = true;
      } else if (!in_query && name == "object") {
        u.object = v, u.has_object = true;
      } else if (!in_query && name == "id") {
        u.id.assign(v.begin(), v.end());
        u.has_id = true;
      } else if (!in_query && name == "type") {
        if (v != "private" && v != "public")
          throw Error{"the PKCS#11 URI: type=" + shown_path(v) + " is no key pair's part (private or public)"};
        u.type = v;
      } else if (!in_query && name == "slot-id") {
        if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
          throw Error{"the PKCS#11 URI: slot-id= is not a decimal number"};
        u.slot = CK_SLOT_ID(std::strtoul(v.c_str(), nullptr, 10));
        u.has_slot = true;
      } else {
        throw Error{"the PKCS#11 URI: " + shown_path(name) + "= is not understood by this tool"};
      }
    }
  };
  each(path, ';', false);
  each(query, '&', true);
  return u;
}

const char *rv_name(CK_RV rv) {
  switch (rv) {
    case CKR_PIN_INCORRECT: return "CKR_PIN_INCORRECT";
    case CKR_PIN_LOCKED: return "CKR_PIN_LOCKED";
    case CKR_PIN_LEN_RANGE: return "CKR_PIN_LEN_RANGE";
    case CKR_DEVICE_ERROR: return "CKR_DEVICE_ERROR";
    case CKR_TOKEN_NOT_PRESENT: return "CKR_TOKEN_NOT_PRESENT";
    case CKR_MECHANISM_INVALID: return "CKR_MECHANISM_INVALID";
    case CKR_KEY_FUNCTION_NOT_PERMITTED: return "CKR_KEY_FUNCTION_NOT_PERMITTED";
    case CKR_FUNCTION_FAILED: return "CKR_FUNCTION_FAILED";
    case CKR_GENERAL_ERROR: return "CKR_GENERAL_ERROR";
    case CKR_HOST_MEMORY: return "CKR_HOST_MEMORY";
    default: return nullptr;
  }
}

std::string rv_text(CK_RV rv) {
  if (const char *n = rv_name(rv)) return n;
  char b[32];
  std::snprintf(b, sizeof b, "CKR 0x%lx", static_cast<unsigned long>(rv));
  return b;
}

// A blank-padded field of CK_TOKEN_INFO, without its padding.
std::string field(const CK_UTF8CHAR *p, size_t n) {
  while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\0')) --n;
  return std::string(reinterpret_cast<const char *>(p), n);
}

std::string module_of(const Uri &u) {
  // A name without a slash is a file of the current directory, not one for dlopen to search for.
  const auto as_path = [](const std::string &p) { return p.find('/') == std::string::npos ? "./" + p : p; };
  if (!u.module_path.empty()) return as_path(u.module_path);
  const char *env = std::getenv("TAVIK_PKCS11_MODULE");
  if (env != nullptr && *env != '\0') return as_path(env);
  std::vector<std::string> where;
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    const std::string exe(self, size_t(n));
    where.push_back(exe.substr(0, exe.rfind('/') + 1) + "libtavik-pkcs11.so");
  }
#ifdef TAVIK_PKCS11_INSTALLED
  where.push_back(TAVIK_PKCS11_INSTALLED);
#endif
  std::string tried;
  for (const std::string &w : where) {
    if (access(w.c_str(), F_OK) == 0) return w;
    if (!tried.empty()) tried += ", ";
    tried += shown_path(w);
  }
  throw Error{"no PKCS#11 module: name it by module-path= in the URI or by TAVIK_PKCS11_MODULE (looked for " +
              tried + ")"};
}

// The token under a module: the module loaded and started, a session on the token's slot.
class Token {
 public:
  // A constructor that throws runs no destructor: what was opened is closed here.
  Token(const Uri &u, const std::string &uri_text) {
    try {
      open(u, uri_text);
    } catch (...) {
      close();
      throw;
    }
  }
  ~Token() { close(); }
  Token(const Token &) = delete;
  Token &operator=(const Token &) = delete;

  std::string name() const { return "token \"" + shown_text(label_) + "\""; }

 private:
  void open(const Uri &u, const std::string &uri_text) {
    const std::string path = module_of(u);
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      const char *why = dlerror();
      throw Error{"cannot load the PKCS#11 module " + shown_path(path) + ": " + shown(why ? why : "unknown reason")};
    }
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
    if (get == nullptr || get(&f_) != CKR_OK || f_ == nullptr)
      throw Error{shown_path(path) + " is no PKCS#11 module (no function list)"};
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    CK_RV rv = f_->C_Initialize(&args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED)
      throw Error{"the PKCS#11 module " + shown_path(path) + " failed to start: " + rv_text(rv)};
    started_ = rv == CKR_OK;
    CK_ULONG count = 0;
    if (f_->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) throw Error{"the PKCS#11 module lists no slots"};
    std::vector<CK_SLOT_ID> slots(count);
    if (count > 0 && f_->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK)
      throw Error{"the PKCS#11 module lists no slots"};
    slots.resize(count);
    std::vector<std::string> labels;
    int matches = 0;
    for (const CK_SLOT_ID s : slots) {
      CK_TOKEN_INFO ti{};
      if (f_->C_GetTokenInfo(s, &ti) != CKR_OK || !(ti.flags & CKF_TOKEN_INITIALIZED)) continue;
      const std::string label = field(ti.label, sizeof ti.label);
      std::string quoted(1, '"');  // built piece by piece: g++ 12 misreads "\"" + s + "\"" (-Wrestrict)
      quoted += shown_text(label);
      quoted += '"';
      labels.push_back(quoted);
      if ((u.has_token && label != u.token) ||
          (u.has_manufacturer && field(ti.manufacturerID, sizeof ti.manufacturerID) != u.manufacturer) ||
          (u.has_model && field(ti.model, sizeof ti.model) != u.model) ||
          (u.has_serial && field(ti.serialNumber, sizeof ti.serialNumber) != u.serial) || (u.has_slot && s != u.slot))
        continue;
      ++matches;
      slot_ = s;
      label_ = label;
      flags_ = ti.flags;
    }
    std::string all;
    for (const std::string &l : labels) {
      if (!all.empty()) all += ", ";
      all += l;
    }
    if (matches == 0)
      throw Error{"no token matches " + shown_text(uri_text) + " in " + shown_path(path) +
                  (all.empty() ? " (it has no initialised token)" : " (its tokens: " + all + ")")};
    if (matches > 1)
      throw Error{std::to_string(matches) + " tokens match " + shown_text(uri_text) + "; add token= or serial="};
    rv = f_->C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &session_);
    if (rv != CKR_OK) throw Error{name() + ": no session: " + rv_text(rv)};
    open_ = true;
  }

  void close() {
    if (f_ != nullptr) {
      if (logged_in_) f_->C_Logout(session_);
      if (open_) f_->C_CloseSession(session_);
      if (started_) f_->C_Finalize(nullptr);
    }
    logged_in_ = open_ = started_ = false;
    // The module stays loaded: a module's own threads or handlers may outlive C_Finalize.
  }

 public:

  // Logs in as the user with the PIN from --pin-file, --pin-fd or the terminal; wiped at once.
  void login(Options &o) {
    CK_RV rv;
    if (flags_ & CKF_PROTECTED_AUTHENTICATION_PATH) {
      rv = f_->C_Login(session_, CKU_USER, nullptr, 0);
    } else {
      Passphrase pin;
      if (!given_secret(o, "--pin-file", "--pin-fd", "PIN", &pin))
        ask_secret("PIN for " + name() + ": ", "no terminal to ask for the PIN: use --pin-file FILE or --pin-fd N",
                   &pin);
      rv = f_->C_Login(session_, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.text.data()), pin.text.size());
    }
    if (rv == CKR_USER_ALREADY_LOGGED_IN) rv = CKR_OK;
    if (rv == CKR_PIN_INCORRECT) throw Error{"wrong PIN for " + name()};
    if (rv == CKR_PIN_LOCKED)
      throw Error{"the user PIN of " + name() +
                  " is locked after too many wrong PINs; its security officer must set a new one"};
    if (rv == CKR_PIN_LEN_RANGE) throw Error{"a PIN of that length is not one of " + name()};
    if (rv == CKR_USER_PIN_NOT_INITIALIZED) throw Error{name() + " has no user PIN yet; its security officer sets one"};
    if (rv != CKR_OK) throw Error{"login to " + name() + " failed: " + rv_text(rv)};
    logged_in_ = true;
  }

  // The one key of class `cls` and type TAVIK_CKK_KEY that the URI names; 0 when there is none.
  CK_OBJECT_HANDLE find(const Uri &u, CK_OBJECT_CLASS cls, const std::string &uri_text) {
    CK_KEY_TYPE kt = TAVIK_CKK_KEY;
    std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &kt, sizeof kt}};
    if (u.has_object) t.push_back({CKA_LABEL, const_cast<char *>(u.object.data()), u.object.size()});
    if (u.has_id) t.push_back({CKA_ID, const_cast<uint8_t *>(u.id.data()), u.id.size()});
    CK_RV rv = f_->C_FindObjectsInit(session_, t.data(), t.size());
    if (rv != CKR_OK) throw Error{name() + ": cannot search its objects: " + rv_text(rv)};
    CK_OBJECT_HANDLE found[2];
    CK_ULONG n = 0;
    rv = f_->C_FindObjects(session_, found, 2, &n);
    f_->C_FindObjectsFinal(session_);
    if (rv != CKR_OK) throw Error{name() + ": cannot search its objects: " + rv_text(rv)};
    if (n > 1)
      throw Error{"several " + std::string(cls == CKO_PRIVATE_KEY ? "private" : "public") + " keys of " + name() +
                  " match " + shown_text(uri_text) + "; name one by object= and id="};
    return n == 1 ? found[0] : 0;
  }

  // An attribute's bytes; empty when the object has none (or the module will not give it).
  std::vector<uint8_t> attribute(CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (f_->C_GetAttributeValue(session_, obj, &a, 1) != CKR_OK || a.ulValueLen > 65536) return {};
    std::vector<uint8_t> v(a.ulValueLen);
    a.pValue = v.data();
    if (f_->C_GetAttributeValue(session_, obj, &a, 1) != CKR_OK || a.ulValueLen != v.size()) return {};
    return v;
  }

  // The public key of a key object: CKA_VALUE of a public key, CKA_PUBLIC_KEY_INFO of either.
  bool public_key_of(CK_OBJECT_HANDLE obj, CK_OBJECT_CLASS cls, uint8_t *pk) {
    if (cls == CKO_PUBLIC_KEY) {
      const std::vector<uint8_t> v = attribute(obj, CKA_VALUE);
      if (v.size() == TAVIK_PK_BYTES) {
        std::memcpy(pk, v.data(), TAVIK_PK_BYTES);
        return true;
      }
    }
    const std::vector<uint8_t> der = attribute(obj, CKA_PUBLIC_KEY_INFO);
    return !der.empty() && tavik_pk_from_der(pk, der.data(), der.size()) == TAVIK_OK;
  }

  // The signature of µ by `key`, hedged (the mechanism without its parameter).
  void sign_mu(CK_OBJECT_HANDLE key, const uint8_t *mu, uint8_t *sig) {
    CK_MECHANISM m{TAVIK_CKM_SIGN_MU, nullptr, 0};
    CK_RV rv = f_->C_SignInit(session_, &m, key);
    if (rv != CKR_OK) throw Error{name() + " does not sign µ with this key: " + rv_text(rv)};
    uint8_t data[TAVIK_MU_BYTES];
    std::memcpy(data, mu, sizeof data);
    CK_ULONG len = TAVIK_SIG_BYTES;
    rv = f_->C_Sign(session_, data, sizeof data, sig, &len);
    if (rv != CKR_OK) throw Error{name() + " failed to sign: " + rv_text(rv)};
    if (len != TAVIK_SIG_BYTES) throw Error{name() + " gave a signature of " + std::to_string(len) + " bytes, not " +
                                            std::to_string(TAVIK_SIG_BYTES)};
  }

 private:
  std::string label_;
  void *handle_ = nullptr;
  CK_FUNCTION_LIST_PTR f_ = nullptr;
  CK_SLOT_ID slot_ = 0;
  CK_FLAGS flags_ = 0;
  CK_SESSION_HANDLE session_ = 0;
  bool started_ = false, open_ = false, logged_in_ = false;
};

}  // namespace

class TokenKey {
 public:
  TokenKey(const Uri &u, const std::string &text) : token(u, text) {}
  Token token;
  CK_OBJECT_HANDLE key = 0;
  uint8_t pk[TAVIK_PK_BYTES] = {};
};

void TokenKeyDeleter::operator()(TokenKey *k) const { delete k; }

TokenKeyPtr open_token_key(Options &o, const std::string &uri, std::string *id, uint8_t *pk) {
  const Uri u = parse_uri(uri);
  if (u.type == "public")
    throw Error{"the PKCS#11 URI names a public key (type=public); signing needs the private one"};
  TokenKeyPtr k(new TokenKey(u, uri));
  k->token.login(o);
  k->key = k->token.find(u, CKO_PRIVATE_KEY, uri);
  if (k->key == 0) throw Error{"no tavik private key of " + k->token.name() + " matches " + shown_text(uri)};
  // The public key the µ is made from: the private key's own, else that of the public key
  // object of the same id; the token's first signature is checked against it.
  bool have = k->token.public_key_of(k->key, CKO_PRIVATE_KEY, k->pk);
  if (!have) {
    const std::vector<uint8_t> kid = k->token.attribute(k->key, CKA_ID);
    Uri same = u;
    same.has_id = true;
    same.id = kid;
    const CK_OBJECT_HANDLE pub = k->token.find(same, CKO_PUBLIC_KEY, uri);
    have = pub != 0 && k->token.public_key_of(pub, CKO_PUBLIC_KEY, k->pk);
  }
  if (!have) throw Error{k->token.name() + " gives no public key for the private key " + shown_text(uri)};
  std::memcpy(pk, k->pk, TAVIK_PK_BYTES);
  *id = key_id(pk);
  return k;
}

void token_sign_file(TokenKey &key, const std::string &comment, const Feed &feed, uint8_t *sig) {
  tavik_mu_state st;
  if (tavik_file_mu_init(&st, key.pk, comment.data(), comment.size()) != TAVIK_OK) throw Error{"signing failed"};
  try {
    feed([&](const uint8_t *p, uint64_t n) { tavik_mu_update(&st, p, n); });
  } catch (...) {
    tavik_mu_state_wipe(&st);
    throw;
  }
  uint8_t mu[TAVIK_MU_BYTES];
  if (tavik_mu_final(&st, mu) != TAVIK_OK) throw Error{"signing failed"};
  key.token.sign_mu(key.key, mu, sig);
  // A token that signs with another key than it names, or returns damaged bytes, writes nothing.
  if (tavik_verify_mu(key.pk, sig, TAVIK_SIG_BYTES, mu) != TAVIK_OK)
    throw Error{key.token.name() + " returned a signature its public key does not verify; nothing written"};
}

void token_public_key(Options &o, const std::string &uri, std::string *id, uint8_t *pk) {
  const Uri u = parse_uri(uri);
  Token token(u, uri);
  bool have = false;
  if (u.type != "private") {
    const CK_OBJECT_HANDLE pub = token.find(u, CKO_PUBLIC_KEY, uri);
    have = pub != 0 && token.public_key_of(pub, CKO_PUBLIC_KEY, pk);
  }
  if (!have && u.type != "public") {
    token.login(o);
    const CK_OBJECT_HANDLE priv = token.find(u, CKO_PRIVATE_KEY, uri);
    have = priv != 0 && token.public_key_of(priv, CKO_PRIVATE_KEY, pk);
  }
  if (!have) throw Error{"no tavik key of " + token.name() + " matches " + shown_text(uri)};
  *id = key_id(pk);
}

}  // namespace tavik_cli

#else  // built without a PKCS#11 header: a token's URI is refused with the reason

namespace tavik_cli {

class TokenKey {};
void TokenKeyDeleter::operator()(TokenKey *k) const { delete k; }

namespace {
[[noreturn]] void no_tokens() {
  throw Error{"this tavik was built without keys in tokens (p11-kit's PKCS#11 header, libp11-kit-dev, was missing)"};
}
}  // namespace

TokenKeyPtr open_token_key(Options &, const std::string &, std::string *, uint8_t *) { no_tokens(); }
void token_sign_file(TokenKey &, const std::string &, const Feed &, uint8_t *) { no_tokens(); }
void token_public_key(Options &, const std::string &, std::string *, uint8_t *) { no_tokens(); }

}  // namespace tavik_cli

#endif
