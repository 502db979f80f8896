// The hybrid pair's keys in SubjectPublicKeyInfo and PrivateKeyInfo: the generic containers under
// the pair's identifier, and the checks that only the pair's library can make (a seed makes the
// key, a key passes both halves' checks, a stored public key is the key's own).
#include <cstring>

#include "ct.h"
#include "tavik_der.h"
#include "tavik_hybrid.h"
#include "tavik_hybrid_der.h"
#include "wipe.h"

namespace {

constexpr tavik_der_layout kPair{TAVIK_HYBRID_OID_TEXT, TAVIK_HYBRID_PK_BYTES, TAVIK_HYBRID_SEED_BYTES,
                                 TAVIK_HYBRID_SK_BYTES};
constexpr uint8_t kOidDer[TAVIK_HYBRID_OID_DER_BYTES] = TAVIK_HYBRID_OID_DER;
constexpr char PUBLIC_LABEL[] = "PUBLIC KEY", PRIVATE_LABEL[] = "PRIVATE KEY";

// The secret parts of a decoding, wiped when it ends.
struct Parts {
  uint8_t seed[TAVIK_HYBRID_SEED_BYTES], sk[TAVIK_HYBRID_SK_BYTES], made[TAVIK_HYBRID_SK_BYTES];
  uint8_t stored_pk[TAVIK_HYBRID_PK_BYTES], pk[TAVIK_HYBRID_PK_BYTES];
  ~Parts() { tavik::secure_wipe(this, sizeof *this); }
};

// Whether two secret keys differ; public: the answer is the call's result, where they differ stays
// secret.
bool differ(const uint8_t *a, const uint8_t *b) {
  return tavik::ct::declassify(tavik::ct::differ(a, b, TAVIK_HYBRID_SK_BYTES)) != 0;
}

}  // namespace

extern "C" int32_t tavik_hybrid_der_algorithm_identifier(uint8_t *out, size_t cap, size_t *outlen) {
  if (out == nullptr || outlen == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  if (cap < 2 + sizeof kOidDer) return TAVIK_DER_BUFFER_TOO_SMALL;
  out[0] = 0x30;
  out[1] = uint8_t(sizeof kOidDer);
  std::memcpy(out + 2, kOidDer, sizeof kOidDer);
  *outlen = 2 + sizeof kOidDer;
  return TAVIK_OK;
}

extern "C" int32_t tavik_hybrid_pk_to_der(uint8_t *out, size_t cap, size_t *outlen, const uint8_t *pk) {
  return tavik_der_spki_encode(out, cap, outlen, &kPair, pk);
}

extern "C" int32_t tavik_hybrid_pk_from_der(uint8_t *pk, const uint8_t *der, size_t derlen) {
  return tavik_der_spki_decode(pk, &kPair, der, derlen);
}

extern "C" int32_t tavik_hybrid_sk_to_der(uint8_t *out, size_t cap, size_t *outlen, const uint8_t *seed,
                                          const uint8_t *sk) {
  if (out == nullptr || outlen == nullptr || (seed == nullptr && sk == nullptr)) return TAVIK_ILLEGAL_PARAMETER;
  if (seed != nullptr && sk != nullptr) {
    Parts p;
    if (tavik_hybrid_keygen_from_seed(p.pk, p.made, seed) != TAVIK_OK) return TAVIK_ILLEGAL_PARAMETER;
    if (differ(p.made, sk)) return TAVIK_DER_SEED_MISMATCH;
  }
  return tavik_der_pkcs8_encode(out, cap, outlen, &kPair, seed, sk);
}

extern "C" int32_t tavik_hybrid_sk_from_der(uint8_t *sk, uint8_t *seed, uint32_t *form, const uint8_t *der,
                                            size_t derlen) {
  if (sk == nullptr || der == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  Parts p;
  uint32_t found = 0;
  int32_t r = tavik_der_pkcs8_decode(p.seed, p.sk, p.stored_pk, &found, &kPair, der, derlen);
  if (r != TAVIK_OK) return r;
  if (found & TAVIK_FORM_SEED) {
    if (tavik_hybrid_keygen_from_seed(p.pk, p.made, p.seed) != TAVIK_OK) return TAVIK_ILLEGAL_PARAMETER;
    if ((found & TAVIK_FORM_KEY) && differ(p.made, p.sk)) return TAVIK_DER_SEED_MISMATCH;
    std::memcpy(p.sk, p.made, sizeof p.sk);
  } else if (tavik_hybrid_pk_from_sk(p.pk, p.sk) != TAVIK_OK) {
    return TAVIK_DER_DAMAGED_KEY;
  }
  if ((found & TAVIK_FORM_PUBLIC) && std::memcmp(p.pk, p.stored_pk, sizeof p.pk) != 0)
    return TAVIK_DER_PUBLIC_KEY_MISMATCH;
  std::memcpy(sk, p.sk, sizeof p.sk);
  if (seed != nullptr && (found & TAVIK_FORM_SEED)) std::memcpy(seed, p.seed, sizeof p.seed);
  if (form != nullptr) *form = found & TAVIK_FORM_BOTH;
  return TAVIK_OK;
}

extern "C" int32_t tavik_hybrid_pk_to_pem(char *out, size_t cap, size_t *outlen, const uint8_t *pk) {
  if (out == nullptr || outlen == nullptr || pk == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  uint8_t der[TAVIK_HYBRID_SPKI_BYTES];
  size_t n = 0;
  const int32_t r = tavik_hybrid_pk_to_der(der, sizeof der, &n, pk);
  return r != TAVIK_OK ? r : tavik_der_to_pem(out, cap, outlen, PUBLIC_LABEL, der, n);
}

extern "C" int32_t tavik_hybrid_pk_from_pem(uint8_t *pk, const char *pem, size_t pemlen) {
  if (pk == nullptr || pem == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  uint8_t der[TAVIK_HYBRID_SPKI_BYTES];
  size_t n = 0;
  int32_t r = tavik_pem_to_der(der, sizeof der, &n, PUBLIC_LABEL, pem, pemlen);
  if (r == TAVIK_DER_BUFFER_TOO_SMALL) r = TAVIK_PEM_TOO_LONG;  // armour of more than the container can hold
  return r != TAVIK_OK ? r : tavik_hybrid_pk_from_der(pk, der, n);
}

extern "C" int32_t tavik_hybrid_sk_to_pem(char *out, size_t cap, size_t *outlen, const uint8_t *seed,
                                          const uint8_t *sk) {
  if (out == nullptr || outlen == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  uint8_t der[TAVIK_HYBRID_PKCS8_MAX_BYTES];
  size_t n = 0;
  int32_t r = tavik_hybrid_sk_to_der(der, sizeof der, &n, seed, sk);
  if (r == TAVIK_OK) r = tavik_der_to_pem(out, cap, outlen, PRIVATE_LABEL, der, n);
  tavik::secure_wipe(der, sizeof der);
  return r;
}

extern "C" int32_t tavik_hybrid_sk_from_pem(uint8_t *sk, uint8_t *seed, uint32_t *form, const char *pem,
                                            size_t pemlen) {
  if (sk == nullptr || pem == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  // Room for a version 1 container, which carries the public key besides.
  uint8_t der[TAVIK_HYBRID_PKCS8_MAX_BYTES + TAVIK_HYBRID_PK_BYTES + 8];
  size_t n = 0;
  int32_t r = tavik_pem_to_der(der, sizeof der, &n, PRIVATE_LABEL, pem, pemlen);
  if (r == TAVIK_DER_BUFFER_TOO_SMALL) r = TAVIK_PEM_TOO_LONG;
  if (r == TAVIK_OK) r = tavik_hybrid_sk_from_der(sk, seed, form, der, n);
  tavik::secure_wipe(der, sizeof der);
  return r;
}
