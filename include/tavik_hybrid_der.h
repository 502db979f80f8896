/* tavik-c hybrid keys (tavik beside Ed25519, include/tavik_hybrid.h) in the containers other tools
   read: the public key as a DER SubjectPublicKeyInfo, the secret key as a DER PrivateKeyInfo, both
   in PEM armour ("PUBLIC KEY", "PRIVATE KEY"). Part of libtavik-hybrid.

   The algorithm identifier is the pair's own, TAVIK_HYBRID_OID_TEXT, with absent parameters: the
   scheme's single-key decoders (tavik_der.h) refuse these containers and these decoders refuse
   the single scheme's, both with TAVIK_DER_WRONG_ALGORITHM.

   The public key's bit string holds the TAVIK_HYBRID_PK_BYTES public key (tavik public key, then
   Ed25519 public key). The private key's octet string holds one of three forms, as the single
   scheme's does:
     seed          [0] IMPLICIT OCTET STRING (SIZE (32))      the seed of tavik_hybrid_keygen_from_seed
     expandedKey   OCTET STRING (SIZE (3120))                 the hybrid secret key
     both          SEQUENCE { seed OCTET STRING (SIZE (32)),
                              expandedKey OCTET STRING (SIZE (3120)) }
   A pair made from two existing keys (tavik_hybrid_keygen_from_keys) has no seed and is written
   in the key form. Decoding is as strict as the single scheme's, with the same codes (tavik_der.h),
   and checks what the pair's keys must satisfy: a seed and a key given both must agree
   (TAVIK_DER_SEED_MISMATCH), a stored key must pass both halves' checks (TAVIK_DER_DAMAGED_KEY:
   the tavik half's stored hash and t0, and the Ed25519 half's public key rebuilt from its seed),
   and a version 1 public key must be the key's own (TAVIK_DER_PUBLIC_KEY_MISMATCH). Decoders write
   their outputs only on success, and wipe the secret bytes they copied before they return. */
#ifndef TAVIK_HYBRID_DER_H
#define TAVIK_HYBRID_DER_H

#include <stddef.h>
#include <stdint.h>

#include "tavik_der.h"
#include "tavik_hybrid.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* The containers' sizes: the public key's, and the private key's largest (both forms). */
#define TAVIK_HYBRID_SPKI_BYTES 1537
#define TAVIK_HYBRID_PKCS8_MAX_BYTES 3197
#define TAVIK_HYBRID_PK_PEM_MAX_BYTES TAVIK_PEM_BYTES_FOR(TAVIK_HYBRID_SPKI_BYTES)
#define TAVIK_HYBRID_SK_PEM_MAX_BYTES TAVIK_PEM_BYTES_FOR(TAVIK_HYBRID_PKCS8_MAX_BYTES)

/* The DER AlgorithmIdentifier of the pair (SEQUENCE { OID }): 0, -2 or TAVIK_DER_BUFFER_TOO_SMALL. */
int32_t tavik_hybrid_der_algorithm_identifier(uint8_t *out, size_t cap, size_t *outlen);

/* Encoders write *outlen bytes to out (cap bytes of room) and return 0, -2 or
   TAVIK_DER_BUFFER_TOO_SMALL; PEM encoders add a terminating NUL. */
int32_t tavik_hybrid_pk_to_der(uint8_t *out, size_t cap, size_t *outlen, const uint8_t *pk);
int32_t tavik_hybrid_pk_from_der(uint8_t *pk, const uint8_t *der, size_t derlen);
/* seed or sk may be NULL, not both; with both, the seed must make sk (TAVIK_DER_SEED_MISMATCH). */
int32_t tavik_hybrid_sk_to_der(uint8_t *out, size_t cap, size_t *outlen, const uint8_t *seed, const uint8_t *sk);
/* The secret key to sk (made from the seed when only the seed is stored), the seed to seed when one
   is stored and seed is not NULL, the form found (TAVIK_FORM_SEED, _KEY bits) to *form when form
   is not NULL. */
int32_t tavik_hybrid_sk_from_der(uint8_t *sk, uint8_t *seed, uint32_t *form, const uint8_t *der, size_t derlen);

int32_t tavik_hybrid_pk_to_pem(char *out, size_t cap, size_t *outlen, const uint8_t *pk);
int32_t tavik_hybrid_pk_from_pem(uint8_t *pk, const char *pem, size_t pemlen);
int32_t tavik_hybrid_sk_to_pem(char *out, size_t cap, size_t *outlen, const uint8_t *seed, const uint8_t *sk);
int32_t tavik_hybrid_sk_from_pem(uint8_t *sk, uint8_t *seed, uint32_t *form, const char *pem, size_t pemlen);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
