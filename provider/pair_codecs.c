/* The containers of "tavik-ed25519", the hybrid pair (tavik_hybrid_der.h), which the encoders and
   decoders shared with the single scheme (codecs.c) write and read, and the pair's text form:
   after the seed, each half's secret key and each half's public key. */
#include "tavik_prov.h"

static const TAVIK_TEXT_PART pair_text[] = {
    {"tavik priv:\n", 1, 0, TAVIK_SK_BYTES},
    {"ed25519 priv:\n", 1, TAVIK_HYBRID_SK_ED25519_SEED_OFFSET, TAVIK_HYBRID_ED25519_SEED_BYTES},
    {"tavik pub:\n", 0, 0, TAVIK_PK_BYTES},
    {"ed25519 pub:\n", 0, TAVIK_HYBRID_PK_ED25519_OFFSET, TAVIK_HYBRID_ED25519_PK_BYTES},
    {NULL, 0, 0, 0}};

const TAVIK_CODEC_CALLS tavik_pair_codec_calls = {
    .room = TAVIK_HYBRID_SK_PEM_MAX_BYTES,
    .decode_room = TAVIK_DER_MAX_CONTAINER_BYTES + 4096,
    .pk_to_der = tavik_hybrid_pk_to_der,
    .pk_to_pem = tavik_hybrid_pk_to_pem,
    .sk_to_der = tavik_hybrid_sk_to_der,
    .sk_to_pem = tavik_hybrid_sk_to_pem,
    .pk_from_der = tavik_hybrid_pk_from_der,
    .sk_from_der = tavik_hybrid_sk_from_der,
    .text = pair_text,
};
