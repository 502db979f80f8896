/* "tavik-ed25519", the hybrid pair (tavik beside Ed25519, libtavik-hybrid): its sizes, names and
   the library's calls, on which the key management, signatures and containers shared with the
   single scheme run. */
#include <openssl/core_names.h>
#include <openssl/params.h>

#include "tavik_prov.h"

_Static_assert(TAVIK_HYBRID_SEED_BYTES <= TAVIK_PROV_SEED_MAX_BYTES, "the pair's seed fits a key generation's");

/* The public key's size in bits, and the strength libcrypto's security levels read. A forgery of the
   pair needs a forgery of its Ed25519 half, and the best known classical attack on Ed25519 is a
   discrete logarithm in a group of order about 2^252 (Pollard's rho: about 2^126 group operations),
   which libcrypto labels 128 for Ed25519 itself. That is a classical figure only: against an
   adversary who can run Shor's algorithm the pair stands on the tavik half, for which no figure is
   claimed (the single scheme reports none, keymgmt.c). */
#define PAIR_KEY_BITS (8 * TAVIK_HYBRID_PK_BYTES)
#define PAIR_SECURITY_BITS 128

static const OSSL_PARAM gettable[] = {OSSL_PARAM_int(OSSL_PKEY_PARAM_BITS, NULL),
                                      OSSL_PARAM_int(OSSL_PKEY_PARAM_SECURITY_BITS, NULL),
                                      OSSL_PARAM_int(OSSL_PKEY_PARAM_MAX_SIZE, NULL),
                                      OSSL_PARAM_utf8_string(OSSL_PKEY_PARAM_DEFAULT_DIGEST, NULL, 0),
                                      OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PUB_KEY, NULL, 0),
                                      OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PRIV_KEY, NULL, 0),
                                      OSSL_PARAM_octet_string(TAVIK_PKEY_PARAM_SEED, NULL, 0),
                                      OSSL_PARAM_END};

const TAVIK_ALG tavik_pair_alg = {
    .name = TAVIK_PAIR_NAME,
    .pk_bytes = TAVIK_HYBRID_PK_BYTES,
    .sk_bytes = TAVIK_HYBRID_SK_BYTES,
    .seed_bytes = TAVIK_HYBRID_SEED_BYTES,
    .sig_bytes = TAVIK_HYBRID_SIG_BYTES,
    .key_bits = PAIR_KEY_BITS,
    .security_bits = PAIR_SECURITY_BITS,
    .gettable = gettable,
    .damaged_key = "a half of the pair's secret key fails its check",
    .keygen_from_seed = tavik_hybrid_keygen_from_seed,
    .pk_from_sk = tavik_hybrid_pk_from_sk,
    .algorithm_identifier = tavik_hybrid_der_algorithm_identifier,
    .sig = &tavik_pair_sig_calls,
    .codec = &tavik_pair_codec_calls,
};
