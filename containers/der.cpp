// DER containers of the keys: SubjectPublicKeyInfo and PrivateKeyInfo (OneAsymmetricKey).
// The reader branches on tags and lengths only, which the format fixes; the key bytes are copied
// and compared without looking at their values.
#include <cstring>

#include "ct.h"
#include "oid.h"
#include "tavik.h"
#include "tavik_der.h"
#include "wipe.h"

namespace tavik::der {
namespace {

constexpr uint8_t TAG_INTEGER = 0x02, TAG_BIT_STRING = 0x03, TAG_OCTET_STRING = 0x04, TAG_OID = 0x06,
                  TAG_SEQUENCE = 0x30, TAG_SEED = 0x80, TAG_PUBLIC_KEY = 0x81, TAG_ATTRIBUTES = 0xA0;
constexpr uint8_t CONSTRUCTED = 0x20;  // the tag bit of the constructed form

struct Span {
  const uint8_t *p;
  size_t n;
};

// Takes one element of type `tag` off the front of `in`; its contents go to *content.
int32_t take(Span &in, uint8_t tag, Span *content) {
  if (in.n == 0) return TAVIK_DER_TRUNCATED;
  if (in.p[0] != tag) return TAVIK_DER_BAD_TAG;
  if (in.n < 2) return TAVIK_DER_TRUNCATED;
  size_t pos = 2, len = in.p[1];
  if (len & 0x80) {
    const size_t bytes = len & 0x7f;
    if (bytes == 0) return TAVIK_DER_NOT_MINIMAL;  // indefinite length
    if (in.n - 2 < bytes) return TAVIK_DER_TRUNCATED;
    if (in.p[2] == 0) return TAVIK_DER_NOT_MINIMAL;
    if (bytes > 4) return TAVIK_DER_TRUNCATED;  // 2^32 bytes or more: longer than any input
    len = 0;
    for (size_t i = 0; i < bytes; ++i) len = len << 8 | in.p[2 + i];
    if (len < 0x80) return TAVIK_DER_NOT_MINIMAL;
    pos += bytes;
  }
  if (in.n - pos < len) return TAVIK_DER_TRUNCATED;
  *content = Span{in.p + pos, len};
  in.p += pos + len;
  in.n -= pos + len;
  return TAVIK_OK;
}

#define TRY(expr)                          \
  do {                                     \
    const int32_t r_ = (expr);             \
    if (r_ != TAVIK_OK) return r_;         \
  } while (0)

// An algorithm as the containers see it: its identifier and the sizes of its keys. This build's
// algorithm is one; the generic calls describe others (a pair of keys, for instance).
struct Algorithm {
  const uint8_t *oid;
  size_t oid_len;
  size_t pk_bytes, seed_bytes, sk_bytes;
};

constexpr Algorithm kTavik{kOid.bytes, kOid.len, TAVIK_PK_BYTES, TAVIK_SEED_BYTES, TAVIK_SK_BYTES};

int32_t take_algorithm(Span &in, const Algorithm &a) {
  Span alg, oid;
  TRY(take(in, TAG_SEQUENCE, &alg));
  TRY(take(alg, TAG_OID, &oid));
  if (oid.n != a.oid_len || std::memcmp(oid.p, a.oid, oid.n) != 0) return TAVIK_DER_WRONG_ALGORITHM;
  if (alg.n != 0) return TAVIK_DER_PARAMETERS_PRESENT;
  return TAVIK_OK;
}

// A BIT STRING holding exactly one public key of pk_bytes bytes.
int32_t take_public_key(Span &in, uint8_t tag, size_t pk_bytes, const uint8_t **pk) {
  Span bits;
  TRY(take(in, tag, &bits));
  if (bits.n == 0) return TAVIK_DER_BAD_KEY_LENGTH;
  if (bits.p[0] != 0) return TAVIK_DER_BAD_BIT_STRING;
  if (bits.n - 1 != pk_bytes) return TAVIK_DER_BAD_KEY_LENGTH;
  *pk = bits.p + 1;
  return TAVIK_OK;
}

int32_t take_exact(Span &in, uint8_t tag, size_t len, const uint8_t **out) {
  Span c;
  TRY(take(in, tag, &c));
  if (c.n != len) return TAVIK_DER_BAD_KEY_LENGTH;
  *out = c.p;
  return TAVIK_OK;
}

// The version INTEGER: 0 or 1, in its one-byte form. An INTEGER without content bytes is no
// encoding of a number (it needs one byte at least): refused as an integer's encoding.
int32_t take_version(Span &in, uint32_t *version) {
  Span v;
  TRY(take(in, TAG_INTEGER, &v));
  if (v.n == 0) return TAVIK_DER_NOT_MINIMAL;
  if (v.n > 1 && ((v.p[0] == 0x00 && v.p[1] < 0x80) || (v.p[0] == 0xFF && v.p[1] >= 0x80)))
    return TAVIK_DER_NOT_MINIMAL;
  if (v.n != 1 || v.p[0] > 1) return TAVIK_DER_BAD_VERSION;
  *version = v.p[0];
  return TAVIK_OK;
}

// Element writer over a buffer whose size the caller has checked.
size_t header_bytes(size_t len) { return len < 0x80 ? 2 : len < 0x100 ? 3 : 4; }

uint8_t *put_header(uint8_t *out, uint8_t tag, size_t len) {
  *out++ = tag;
  if (len >= 0x100) {
    *out++ = 0x82;
    *out++ = uint8_t(len >> 8);
  } else if (len >= 0x80) {
    *out++ = 0x81;
  }
  *out++ = uint8_t(len);
  return out;
}

size_t algorithm_bytes(const Algorithm &a) { return 2 + 2 + a.oid_len; }

uint8_t *put_algorithm(uint8_t *out, const Algorithm &a) {
  out = put_header(out, TAG_SEQUENCE, 2 + a.oid_len);
  out = put_header(out, TAG_OID, a.oid_len);
  std::memcpy(out, a.oid, a.oid_len);
  return out + a.oid_len;
}

// SubjectPublicKeyInfo of pk (a.pk_bytes bytes); the caller has checked its arguments.
int32_t put_spki(uint8_t *out, size_t cap, size_t *outlen, const Algorithm &a, const uint8_t *pk) {
  const size_t bits = 1 + a.pk_bytes;
  const size_t content = algorithm_bytes(a) + header_bytes(bits) + bits;
  const size_t total = header_bytes(content) + content;
  if (cap < total) return TAVIK_DER_BUFFER_TOO_SMALL;
  uint8_t *p = put_header(out, TAG_SEQUENCE, content);
  p = put_algorithm(p, a);
  p = put_header(p, TAG_BIT_STRING, bits);
  *p++ = 0;
  std::memmove(p, pk, a.pk_bytes);
  *outlen = total;
  return TAVIK_OK;
}

// The public key inside a SubjectPublicKeyInfo of algorithm a, in place.
int32_t parse_spki(const Algorithm &a, const uint8_t *der, size_t derlen, const uint8_t **key) {
  Span in{der, derlen}, spki;
  TRY(take(in, TAG_SEQUENCE, &spki));
  if (in.n != 0) return TAVIK_DER_TRAILING_DATA;
  TRY(take_algorithm(spki, a));
  TRY(take_public_key(spki, TAG_BIT_STRING, a.pk_bytes, key));
  if (spki.n != 0) return TAVIK_DER_TRAILING_DATA;
  return TAVIK_OK;
}

// PrivateKeyInfo version 0 of the seed, the key or both (either may be null, not both); the caller
// has checked that they belong together.
int32_t put_pkcs8(uint8_t *out, size_t cap, size_t *outlen, const Algorithm &a, const uint8_t *seed,
                  const uint8_t *sk) {
  const size_t seed_el = seed ? 2 + a.seed_bytes : 0;
  const size_t sk_el = sk ? header_bytes(a.sk_bytes) + a.sk_bytes : 0;
  const size_t inner = seed && sk ? header_bytes(seed_el + sk_el) + seed_el + sk_el : seed_el + sk_el;
  const size_t content = 3 + algorithm_bytes(a) + header_bytes(inner) + inner;
  const size_t total = header_bytes(content) + content;
  if (cap < total) return TAVIK_DER_BUFFER_TOO_SMALL;
  uint8_t *p = put_header(out, TAG_SEQUENCE, content);
  *p++ = TAG_INTEGER;
  *p++ = 1;
  *p++ = 0;
  p = put_algorithm(p, a);
  p = put_header(p, TAG_OCTET_STRING, inner);
  if (seed && sk) p = put_header(p, TAG_SEQUENCE, seed_el + sk_el);
  if (seed) {
    p = put_header(p, sk ? TAG_OCTET_STRING : TAG_SEED, a.seed_bytes);
    std::memcpy(p, seed, a.seed_bytes);
    p += a.seed_bytes;
  }
  if (sk) {
    p = put_header(p, TAG_OCTET_STRING, a.sk_bytes);
    std::memcpy(p, sk, a.sk_bytes);
  }
  *outlen = total;
  return TAVIK_OK;
}

// The parts of a PrivateKeyInfo of algorithm a, in place: the seed and the key (either may be
// null, not both), and the version 1 public key (null when absent). Structure only: whether the
// parts belong together is the caller's to judge.
int32_t parse_pkcs8(const Algorithm &a, const uint8_t *der, size_t derlen, const uint8_t **seed, const uint8_t **key,
                    const uint8_t **pub) {
  Span in{der, derlen}, info, priv;
  uint32_t version = 0;
  TRY(take(in, TAG_SEQUENCE, &info));
  if (in.n != 0) return TAVIK_DER_TRAILING_DATA;
  TRY(take_version(info, &version));
  TRY(take_algorithm(info, a));
  TRY(take(info, TAG_OCTET_STRING, &priv));
  if (info.n != 0 && info.p[0] == TAG_ATTRIBUTES) return TAVIK_DER_ATTRIBUTES_PRESENT;
  // The tags of the fields that may follow, in the other form: not what their place needs.
  if (info.n != 0 && (info.p[0] == (TAG_ATTRIBUTES & ~CONSTRUCTED) || info.p[0] == (TAG_PUBLIC_KEY | CONSTRUCTED)))
    return TAVIK_DER_BAD_TAG;
  const uint8_t *stored_pk = nullptr;
  if (info.n != 0 && info.p[0] == TAG_PUBLIC_KEY) {
    if (version != 1) return TAVIK_DER_BAD_VERSION;
    TRY(take_public_key(info, TAG_PUBLIC_KEY, a.pk_bytes, &stored_pk));
  }
  if (info.n != 0) return TAVIK_DER_TRAILING_DATA;

  // The private key's own form: [0] seed, the key, or both in a sequence.
  const uint8_t *s = nullptr, *k = nullptr;
  if (priv.n == 0) return TAVIK_DER_TRUNCATED;
  if (priv.p[0] == TAG_SEED) {
    TRY(take_exact(priv, TAG_SEED, a.seed_bytes, &s));
  } else if (priv.p[0] == TAG_OCTET_STRING) {
    TRY(take_exact(priv, TAG_OCTET_STRING, a.sk_bytes, &k));
  } else if (priv.p[0] == TAG_SEQUENCE) {
    Span both;
    TRY(take(priv, TAG_SEQUENCE, &both));
    TRY(take_exact(both, TAG_OCTET_STRING, a.seed_bytes, &s));
    TRY(take_exact(both, TAG_OCTET_STRING, a.sk_bytes, &k));
    if (both.n != 0) return TAVIK_DER_TRAILING_DATA;
  } else {
    return TAVIK_DER_BAD_TAG;
  }
  if (priv.n != 0) return TAVIK_DER_TRAILING_DATA;
  *seed = s;
  *key = k;
  *pub = stored_pk;
  return TAVIK_OK;
}

// TAVIK_OK when the seed makes the secret key sk, else TAVIK_DER_SEED_MISMATCH.
int32_t check_seed_makes(const uint8_t *seed, const uint8_t *sk) {
  uint8_t pk[TAVIK_PK_BYTES], made[TAVIK_SK_BYTES];
  sig_keygen_from_seed(pk, made, seed);
  // Public: whether the two agree is the call's result; where they differ stays secret.
  const bool same = ct::declassify(ct::differ(made, sk, TAVIK_SK_BYTES)) == 0;
  secure_wipe(made, sizeof made);
  return same ? TAVIK_OK : TAVIK_DER_SEED_MISMATCH;
}

}  // namespace
}  // namespace tavik::der

extern "C" const char *tavik_der_error_string(int32_t code) {
  switch (code) {
    case TAVIK_ILLEGAL_PARAMETER: return "null pointer or unusable argument";
    case TAVIK_DER_TRUNCATED: return "DER: input ends inside an element";
    case TAVIK_DER_BAD_TAG: return "DER: unexpected element type";
    case TAVIK_DER_NOT_MINIMAL: return "DER: length or integer not in its shortest form, or an empty integer";
    case TAVIK_DER_TRAILING_DATA: return "DER: data after the last element";
    case TAVIK_DER_WRONG_ALGORITHM: return "DER: not this algorithm's object identifier";
    case TAVIK_DER_PARAMETERS_PRESENT: return "DER: algorithm parameters must be absent";
    case TAVIK_DER_BAD_VERSION: return "DER: unsupported private key version";
    case TAVIK_DER_BAD_BIT_STRING: return "DER: bit string with unused bits";
    case TAVIK_DER_BAD_KEY_LENGTH: return "DER: key or seed of the wrong size";
    case TAVIK_DER_ATTRIBUTES_PRESENT: return "DER: private key attributes are not supported";
    case TAVIK_DER_SEED_MISMATCH: return "DER: the seed does not make the stored secret key";
    case TAVIK_DER_PUBLIC_KEY_MISMATCH: return "DER: the stored public key is not the secret key's";
    case TAVIK_DER_DAMAGED_KEY: return "DER: damaged secret key (its hash or t0 do not match)";
    case TAVIK_DER_BUFFER_TOO_SMALL: return "output buffer too small";
    case TAVIK_PEM_BAD_HEADER: return "PEM: missing or wrong BEGIN line";
    case TAVIK_PEM_BAD_FOOTER: return "PEM: missing or wrong END line";
    case TAVIK_PEM_BAD_LINE: return "PEM: empty or over-long line, or stray carriage return";
    case TAVIK_PEM_BAD_BASE64: return "PEM: invalid base64";
    case TAVIK_PEM_TRAILING_DATA: return "PEM: data after the END line";
    case TAVIK_PEM_TOO_LONG: return "PEM: longer than any key container";
    default: return "";
  }
}

using namespace tavik;
using namespace tavik::der;

extern "C" const char *tavik_der_oid(void) { return TAVIK_OID_TEXT; }

extern "C" int32_t tavik_der_algorithm_identifier(uint8_t *out, size_t cap, size_t *outlen) {
  if (out == nullptr || outlen == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  if (cap < algorithm_bytes(kTavik)) return TAVIK_DER_BUFFER_TOO_SMALL;
  *outlen = size_t(put_algorithm(out, kTavik) - out);
  return TAVIK_OK;
}

extern "C" int32_t tavik_pk_to_der(uint8_t *out, size_t cap, size_t *outlen, const uint8_t *pk) {
  if (out == nullptr || outlen == nullptr || pk == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  return put_spki(out, cap, outlen, kTavik, pk);
}

extern "C" int32_t tavik_pk_from_der(uint8_t *pk, const uint8_t *der, size_t derlen) {
  if (pk == nullptr || der == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  const uint8_t *key = nullptr;
  TRY(parse_spki(kTavik, der, derlen, &key));
  std::memmove(pk, key, TAVIK_PK_BYTES);
  return TAVIK_OK;
}

extern "C" int32_t tavik_sk_to_der(uint8_t *out, size_t cap, size_t *outlen, const uint8_t *seed, const uint8_t *sk) {
  if (out == nullptr || outlen == nullptr || (seed == nullptr && sk == nullptr)) return TAVIK_ILLEGAL_PARAMETER;
  if (seed != nullptr && sk != nullptr) {
    const int32_t r = check_seed_makes(seed, sk);
    if (r != TAVIK_OK) return r;
  }
  return put_pkcs8(out, cap, outlen, kTavik, seed, sk);
}

extern "C" int32_t tavik_sk_from_der(uint8_t *sk, uint8_t *seed, uint32_t *form, const uint8_t *der, size_t derlen) {
  if (sk == nullptr || der == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  const uint8_t *s = nullptr, *k = nullptr, *stored_pk = nullptr;
  TRY(parse_pkcs8(kTavik, der, derlen, &s, &k, &stored_pk));

  uint8_t pk[TAVIK_PK_BYTES], key[TAVIK_SK_BYTES];
  int32_t r = TAVIK_OK;
  if (s != nullptr) {
    sig_keygen_from_seed(pk, key, s);
    // Public: whether the stored key is the seed's is the call's result.
    if (k != nullptr && ct::declassify(ct::differ(key, k, TAVIK_SK_BYTES)) != 0) r = TAVIK_DER_SEED_MISMATCH;
  } else {
    std::memcpy(key, k, TAVIK_SK_BYTES);
    if (tavik_pk_from_sk(pk, key) != TAVIK_OK) r = TAVIK_DER_DAMAGED_KEY;
  }
  if (r == TAVIK_OK && stored_pk != nullptr && std::memcmp(pk, stored_pk, TAVIK_PK_BYTES) != 0)
    r = TAVIK_DER_PUBLIC_KEY_MISMATCH;
  if (r == TAVIK_OK) {
    // s lies in der, which may overlap the outputs: the seed is copied out before sk is written.
    uint8_t seed_copy[TAVIK_SEED_BYTES];
    if (s != nullptr) std::memcpy(seed_copy, s, sizeof seed_copy);
    std::memcpy(sk, key, TAVIK_SK_BYTES);
    if (s != nullptr && seed != nullptr) std::memcpy(seed, seed_copy, sizeof seed_copy);
    if (form != nullptr) *form = (s ? TAVIK_FORM_SEED : 0u) | (k ? TAVIK_FORM_KEY : 0u);
    secure_wipe(seed_copy, sizeof seed_copy);
  }
  secure_wipe(key, sizeof key);
  return r;
}

// ---- Containers of other algorithms, by identifier and key sizes ----

namespace {

// The algorithm a generic call names, or false for arguments no container can carry.
bool generic_algorithm(const tavik_der_layout *layout, EncodedOid *oid, Algorithm *a) {
  if (layout == nullptr || layout->oid == nullptr) return false;
  *oid = encode_oid(layout->oid);
  if (!oid->ok || layout->pk_bytes == 0 || layout->pk_bytes > TAVIK_DER_MAX_KEY_BYTES ||
      layout->seed_bytes == 0 || layout->seed_bytes > 127 || layout->sk_bytes == 0 ||
      layout->sk_bytes > TAVIK_DER_MAX_KEY_BYTES)
    return false;
  *a = Algorithm{oid->bytes, oid->len, layout->pk_bytes, layout->seed_bytes, layout->sk_bytes};
  return true;
}

}  // namespace

extern "C" int32_t tavik_der_spki_encode(uint8_t *out, size_t cap, size_t *outlen, const tavik_der_layout *layout,
                                         const uint8_t *pk) {
  EncodedOid oid;
  Algorithm a{};
  if (out == nullptr || outlen == nullptr || pk == nullptr || !generic_algorithm(layout, &oid, &a))
    return TAVIK_ILLEGAL_PARAMETER;
  return put_spki(out, cap, outlen, a, pk);
}

extern "C" int32_t tavik_der_spki_decode(uint8_t *pk, const tavik_der_layout *layout, const uint8_t *der,
                                         size_t derlen) {
  EncodedOid oid;
  Algorithm a{};
  if (pk == nullptr || der == nullptr || !generic_algorithm(layout, &oid, &a)) return TAVIK_ILLEGAL_PARAMETER;
  const uint8_t *key = nullptr;
  TRY(parse_spki(a, der, derlen, &key));
  std::memmove(pk, key, a.pk_bytes);
  return TAVIK_OK;
}

extern "C" int32_t tavik_der_pkcs8_encode(uint8_t *out, size_t cap, size_t *outlen, const tavik_der_layout *layout,
                                          const uint8_t *seed, const uint8_t *sk) {
  EncodedOid oid;
  Algorithm a{};
  if (out == nullptr || outlen == nullptr || (seed == nullptr && sk == nullptr) || !generic_algorithm(layout, &oid, &a))
    return TAVIK_ILLEGAL_PARAMETER;
  return put_pkcs8(out, cap, outlen, a, seed, sk);
}

extern "C" int32_t tavik_der_pkcs8_decode(uint8_t *seed, uint8_t *sk, uint8_t *pk, uint32_t *form,
                                          const tavik_der_layout *layout, const uint8_t *der, size_t derlen) {
  EncodedOid oid;
  Algorithm a{};
  if (seed == nullptr || sk == nullptr || pk == nullptr || form == nullptr || der == nullptr ||
      !generic_algorithm(layout, &oid, &a))
    return TAVIK_ILLEGAL_PARAMETER;
  const uint8_t *s = nullptr, *k = nullptr, *p = nullptr;
  TRY(parse_pkcs8(a, der, derlen, &s, &k, &p));
  if (s != nullptr) std::memmove(seed, s, a.seed_bytes);
  if (k != nullptr) std::memmove(sk, k, a.sk_bytes);
  if (p != nullptr) std::memmove(pk, p, a.pk_bytes);
  *form = (s ? TAVIK_FORM_SEED : 0u) | (k ? TAVIK_FORM_KEY : 0u) | (p ? TAVIK_FORM_PUBLIC : 0u);
  return TAVIK_OK;
}
