/* tavik-c: keys in the containers other tools read. The public key as a DER SubjectPublicKeyInfo,
   the secret key as a DER PrivateKeyInfo (OneAsymmetricKey), and both in PEM armour
   ("PUBLIC KEY", "PRIVATE KEY").

   The algorithm identifier is an object identifier with absent parameters. Until one is
   assigned it comes from a private arc; the build chooses it (CMake option TAVIK_OID) and
   tavik_der_oid() says which. Containers made under one identifier are refused by a build with
   another (TAVIK_DER_WRONG_ALGORITHM).

   The private key's octet string holds one of three forms:
     seed          [0] IMPLICIT OCTET STRING (SIZE (32))            the key generation seed
     expandedKey   OCTET STRING (SIZE (3056))                       the secret key
     both          SEQUENCE { seed OCTET STRING (SIZE (32)),
                              expandedKey OCTET STRING (SIZE (3056)) }
   The seed is the small, portable form; a decoder that meets both checks that the seed makes
   that key.

   Decoding is strict: DER only (shortest lengths, definite form), exact key sizes, this build's
   algorithm identifier, no parameters, no attributes, nothing after the last element. Version 0
   is accepted, and version 1 with an optional public key, which must be the key's own. Every
   refusal has its own code below; the PEM decoders return the DER codes for what the armour
   carries. Decoders write their outputs only on success. Secret bytes are wiped from the
   calls' own storage before they return, and the PEM armour of a secret key is encoded and
   decoded without a table lookup or a branch on the key's bytes. Nothing is allocated. */
#ifndef TAVIK_DER_H
#define TAVIK_DER_H

#include <stddef.h>
#include <stdint.h>

#include "tavik.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* Refusals. TAVIK_ILLEGAL_PARAMETER (-2) stays the code for a null pointer. */
#define TAVIK_DER_TRUNCATED (-101)            /* the input ends inside an element */
#define TAVIK_DER_BAD_TAG (-102)              /* an element is not of the type its place needs */
#define TAVIK_DER_NOT_MINIMAL (-103)          /* a length or integer not in its shortest form, an integer
                                                 without content bytes, or an indefinite length */
#define TAVIK_DER_TRAILING_DATA (-104)        /* bytes after the last element, or after a sequence's last field */
#define TAVIK_DER_WRONG_ALGORITHM (-105)      /* another algorithm's identifier */
#define TAVIK_DER_PARAMETERS_PRESENT (-106)   /* the algorithm identifier carries parameters (NULL included) */
#define TAVIK_DER_BAD_VERSION (-107)          /* a private key version other than 0 or 1 */
#define TAVIK_DER_BAD_BIT_STRING (-108)       /* a bit string whose unused-bit count is not 0 */
#define TAVIK_DER_BAD_KEY_LENGTH (-109)       /* a key, seed or bit string of the wrong size */
#define TAVIK_DER_ATTRIBUTES_PRESENT (-110)   /* private key attributes */
#define TAVIK_DER_SEED_MISMATCH (-111)        /* seed and key both given, and the seed makes another key */
#define TAVIK_DER_PUBLIC_KEY_MISMATCH (-112)  /* a version 1 public key that is not the secret key's */
#define TAVIK_DER_DAMAGED_KEY (-113)          /* a secret key whose stored hash or t0 is not its own */
#define TAVIK_DER_BUFFER_TOO_SMALL (-114)     /* the output does not fit; nothing written */
#define TAVIK_PEM_BAD_HEADER (-120)           /* the text does not start with this key's BEGIN line */
#define TAVIK_PEM_BAD_FOOTER (-121)           /* no matching END line */
#define TAVIK_PEM_BAD_LINE (-122)             /* an empty or over-long line, or a stray carriage return */
#define TAVIK_PEM_BAD_BASE64 (-123)           /* a character outside base64, misplaced or wrong padding */
#define TAVIK_PEM_TRAILING_DATA (-124)        /* anything but one line end after the END line */
#define TAVIK_PEM_TOO_LONG (-125)             /* more armour than any key's container needs */

/* The private key's forms, as bits: what an encoder writes and what a decoder found. */
#define TAVIK_FORM_SEED 1u
#define TAVIK_FORM_KEY 2u
#define TAVIK_FORM_BOTH 3u

/* Bounds for every build: an identifier has at most TAVIK_OID_MAX_BYTES content bytes. */
#define TAVIK_OID_MAX_BYTES 40
#define TAVIK_SPKI_MAX_BYTES (1485 + TAVIK_OID_MAX_BYTES)
#define TAVIK_PKCS8_MAX_BYTES (3113 + TAVIK_OID_MAX_BYTES)
/* PEM text: the armour lines, 64 base64 characters a line, each line ended by '\n', and a NUL. */
#define TAVIK_PEM_BYTES_FOR(der) (64 + ((der) + 2) / 3 * 4 + ((der) + 47) / 48 + 1)
#define TAVIK_PK_PEM_MAX_BYTES TAVIK_PEM_BYTES_FOR(TAVIK_SPKI_MAX_BYTES)
#define TAVIK_SK_PEM_MAX_BYTES TAVIK_PEM_BYTES_FOR(TAVIK_PKCS8_MAX_BYTES)

/* The algorithm's identifier as dotted text ("2.25...."); a static string. */
const char *tavik_der_oid(void);
/* The DER AlgorithmIdentifier (SEQUENCE { OID }) to out: 0 and its length in *outlen, -2, or
   TAVIK_DER_BUFFER_TOO_SMALL. */
int32_t tavik_der_algorithm_identifier(uint8_t *out, size_t cap, size_t *outlen);
/* A short English description of any code these calls return ("" for none of them). */
const char *tavik_der_error_string(int32_t code);

/* SubjectPublicKeyInfo of a TAVIK_PK_BYTES public key. Encoders write *outlen bytes to out (cap
   bytes of room) and return 0, -2 or TAVIK_DER_BUFFER_TOO_SMALL. */
int32_t tavik_pk_to_der(uint8_t *out, size_t cap, size_t *outlen, const uint8_t *pk);
int32_t tavik_pk_from_der(uint8_t *pk, const uint8_t *der, size_t derlen);

/* PrivateKeyInfo (version 0) of the seed, the secret key, or both: seed or sk may be NULL, not
   both. With both, the seed must make sk (TAVIK_DER_SEED_MISMATCH otherwise). */
int32_t tavik_sk_to_der(uint8_t *out, size_t cap, size_t *outlen, const uint8_t *seed, const uint8_t *sk);
/* Writes the secret key (made from the seed when only the seed is stored) to sk, the seed to
   seed when one is stored and seed is not NULL, and the form found to *form when form is not
   NULL. A stored secret key is checked against its own fields (TAVIK_DER_DAMAGED_KEY). */
int32_t tavik_sk_from_der(uint8_t *sk, uint8_t *seed, uint32_t *form, const uint8_t *der, size_t derlen);

/* PEM: the encoders write *outlen characters and a terminating NUL (cap must hold both); the
   decoders read pemlen characters, NUL not needed. Lines of at most 76 characters and either
   line end are accepted; nothing may come before the BEGIN line. */
int32_t tavik_pk_to_pem(char *out, size_t cap, size_t *outlen, const uint8_t *pk);
int32_t tavik_pk_from_pem(uint8_t *pk, const char *pem, size_t pemlen);
int32_t tavik_sk_to_pem(char *out, size_t cap, size_t *outlen, const uint8_t *seed, const uint8_t *sk);
int32_t tavik_sk_from_pem(uint8_t *sk, uint8_t *seed, uint32_t *form, const char *pem, size_t pemlen);

/* ---- Containers of other algorithms ----
   The same containers, strict in the same ways, for an algorithm named by its identifier and
   the sizes of its keys: a pair of keys of which this scheme is one half, for instance. These
   calls check structure only (identifier, form, sizes, DER rules); whether a seed makes the
   key, whether a key is intact and whether a stored public key is the key's own are for the
   caller, who knows the algorithm. The single scheme's calls above refuse such a container
   (TAVIK_DER_WRONG_ALGORITHM), and these refuse the single scheme's under another identifier. */
#define TAVIK_DER_MAX_KEY_BYTES 4096     /* a public or secret key */
#define TAVIK_DER_MAX_SEED_BYTES 127     /* a seed */
/* The longest container the generic decoders read: a version 1 PrivateKeyInfo of the largest
   seed, key and public key. */
#define TAVIK_DER_MAX_CONTAINER_BYTES (2 * TAVIK_DER_MAX_KEY_BYTES + TAVIK_DER_MAX_SEED_BYTES + 96 + TAVIK_OID_MAX_BYTES)
/* The form bit of a version 1 private key's public key (reported by tavik_der_pkcs8_decode). */
#define TAVIK_FORM_PUBLIC 4u

typedef struct tavik_der_layout {
  const char *oid;    /* dotted text, at most TAVIK_OID_MAX_BYTES content bytes encoded */
  size_t pk_bytes;    /* 1 to TAVIK_DER_MAX_KEY_BYTES */
  size_t seed_bytes;  /* 1 to TAVIK_DER_MAX_SEED_BYTES */
  size_t sk_bytes;    /* 1 to TAVIK_DER_MAX_KEY_BYTES */
} tavik_der_layout;

/* SubjectPublicKeyInfo of the layout's pk_bytes of pk: 0, -2 (a null pointer or a layout no
   container can carry) or TAVIK_DER_BUFFER_TOO_SMALL. */
int32_t tavik_der_spki_encode(uint8_t *out, size_t cap, size_t *outlen, const tavik_der_layout *layout,
                              const uint8_t *pk);
int32_t tavik_der_spki_decode(uint8_t *pk, const tavik_der_layout *layout, const uint8_t *der, size_t derlen);
/* PrivateKeyInfo version 0 of the seed, the key or both (seed or sk may be NULL, not both). */
int32_t tavik_der_pkcs8_encode(uint8_t *out, size_t cap, size_t *outlen, const tavik_der_layout *layout,
                               const uint8_t *seed, const uint8_t *sk);
/* The parts a PrivateKeyInfo holds: the seed to seed, the key to sk, a version 1 public key to pk,
   each only when present, and which were present to *form (TAVIK_FORM_SEED, _KEY, _PUBLIC bits).
   No pointer may be NULL, and no output may overlap der. */
int32_t tavik_der_pkcs8_decode(uint8_t *seed, uint8_t *sk, uint8_t *pk, uint32_t *form,
                               const tavik_der_layout *layout, const uint8_t *der, size_t derlen);
/* PEM armour of any DER text under `label` (1 to 40 characters, capital letters, digits and
   spaces, as "PUBLIC KEY"): at most TAVIK_DER_MAX_CONTAINER_BYTES of DER. The decoder writes
   *derlen bytes to der (cap bytes of room) and is as strict as the key decoders above; the
   encoder writes text and a NUL as tavik_pk_to_pem does. Nothing of a secret key's armour is
   looked up in a table or branched on. */
int32_t tavik_der_to_pem(char *out, size_t cap, size_t *outlen, const char *label, const uint8_t *der,
                         size_t derlen);
int32_t tavik_pem_to_der(uint8_t *der, size_t cap, size_t *derlen, const char *label, const char *pem,
                         size_t pemlen);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
