/* tavik-c hybrid signatures: a tavik signature beside an Ed25519 signature, valid only when both
   are. C interface of libtavik-hybrid. */
#ifndef TAVIK_HYBRID_H
#define TAVIK_HYBRID_H

#include <stdint.h>

#include "tavik.h"

/* Ed25519 comes from libsodium: its Ed25519 is constant-time, deterministic (RFC 8032) and makes
   key pairs from 32-byte seeds, and the file tool already depends on it. The core library keeps
   depending on nothing; only this library links libsodium.

   Sizes. A hybrid public key is the tavik public key followed by the Ed25519 public key; a hybrid
   signature is the tavik signature followed by the Ed25519 signature. A hybrid secret key is the
   tavik secret key, the Ed25519 seed (RFC 8032's private key) and the Ed25519 public key, in that
   order (docs/formats.md). */

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

#define TAVIK_HYBRID_SEED_BYTES 32
#define TAVIK_HYBRID_ED25519_PK_BYTES 32
#define TAVIK_HYBRID_ED25519_SEED_BYTES 32
#define TAVIK_HYBRID_ED25519_SIG_BYTES 64
#define TAVIK_HYBRID_PK_BYTES (TAVIK_PK_BYTES + TAVIK_HYBRID_ED25519_PK_BYTES)                  /* 1504 */
#define TAVIK_HYBRID_SK_BYTES                                                                  \
  (TAVIK_SK_BYTES + TAVIK_HYBRID_ED25519_SEED_BYTES + TAVIK_HYBRID_ED25519_PK_BYTES)            /* 3120 */
#define TAVIK_HYBRID_SIG_BYTES (TAVIK_SIG_BYTES + TAVIK_HYBRID_ED25519_SIG_BYTES)              /* 2637 */
/* Where each half lies: public key and signature, the tavik half at offset 0, the Ed25519 half
   after it; secret key, the Ed25519 seed at TAVIK_SK_BYTES and its public key after the seed. */
#define TAVIK_HYBRID_PK_ED25519_OFFSET TAVIK_PK_BYTES
#define TAVIK_HYBRID_SIG_ED25519_OFFSET TAVIK_SIG_BYTES
#define TAVIK_HYBRID_SK_ED25519_SEED_OFFSET TAVIK_SK_BYTES
#define TAVIK_HYBRID_SK_ED25519_PK_OFFSET (TAVIK_SK_BYTES + TAVIK_HYBRID_ED25519_SEED_BYTES)

/* Return codes: the core's, with the same meanings. */
#define TAVIK_HYBRID_OK 0
#define TAVIK_HYBRID_INVALID_SIGNATURE 1 /* either half, or both, does not verify */
#define TAVIK_HYBRID_ILLEGAL_PARAMETER (-2) /* null pointer, bad length, bad context or damaged key */
#define TAVIK_HYBRID_SIGNING_FAILED (-3)
#define TAVIK_HYBRID_NO_RANDOMNESS (-4)

/* The pair's object identifier: a private arc (a UUID under 2.25) beside the algorithm's own
   provisional one, used in key containers and in every message representative. The build reads
   the dotted text from this line; the library refuses to build if the DER bytes disagree. */
#define TAVIK_HYBRID_OID_TEXT "2.25.111349962548477456720602566244500413329"
/* Its DER encoding, tag and length included (22 bytes). */
#define TAVIK_HYBRID_OID_DER_BYTES 22
#define TAVIK_HYBRID_OID_DER                                                                    \
  { 0x06, 0x14, 0x69, 0x81, 0xa7, 0xc5, 0x9c, 0xc1, 0x81, 0x97, 0xf2, 0x97, 0xe1, 0xab, 0x85,  \
    0xe6, 0x90, 0xe0, 0x82, 0xda, 0xb7, 0x11 }

/* The message representative both halves sign, for a message M under a context ctx of 0 to
   TAVIK_HYBRID_MAX_CONTEXT_BYTES bytes:
     M' = TAVIK_HYBRID_PREFIX || TAVIK_HYBRID_OID_DER || byte(ctxlen) || ctx || SHA-512(M)
   (the prefix's ASCII bytes without terminator). The tavik half is the tavik signature of M' under
   the context TAVIK_HYBRID_TAVIK_CONTEXT (tavik_sign_ctx); the Ed25519 half is the pure Ed25519
   signature of M'. Neither half is the signature of M, and no signature of M made by either
   algorithm alone passes as a half (docs/formats.md argues both). */
#define TAVIK_HYBRID_PREFIX "tavik-c hybrid signature v1"
#define TAVIK_HYBRID_PREFIX_BYTES 27
#define TAVIK_HYBRID_TAVIK_CONTEXT "tavik-c hybrid tavik half v1"
#define TAVIK_HYBRID_TAVIK_CONTEXT_BYTES 28
#define TAVIK_HYBRID_MESSAGE_HASH_BYTES 64
#define TAVIK_HYBRID_MAX_CONTEXT_BYTES 255
/* The longest representative: prefix, identifier, length byte, context, digest (369 bytes). */
#define TAVIK_HYBRID_MAX_REPRESENTATIVE_BYTES                                                   \
  (TAVIK_HYBRID_PREFIX_BYTES + TAVIK_HYBRID_OID_DER_BYTES + 1 + TAVIK_HYBRID_MAX_CONTEXT_BYTES +  \
   TAVIK_HYBRID_MESSAGE_HASH_BYTES)

/* Bits of *failed from the _halves calls: which half did not verify. */
#define TAVIK_HYBRID_TAVIK_HALF 1u
#define TAVIK_HYBRID_ED25519_HALF 2u

/* Every call takes the context after the key: ctx[0..ctxlen), ctx may be NULL when ctxlen is 0;
   ctxlen > 255, or a NULL ctx with ctxlen > 0, is -2. msg may be NULL when msglen is 0; messages
   of any length. Outputs are written only on success; inputs are read in full before any output
   is written. Secret material the calls copy is wiped before they return. */

/* Key pairs. pk: TAVIK_HYBRID_PK_BYTES out, sk: TAVIK_HYBRID_SK_BYTES out; pk and sk must not
   overlap (-2).
   tavik_hybrid_keygen: from 32 bytes of the operating system's random source; 0, -2, or -4.
   tavik_hybrid_keygen_from_seed: both halves from one 32-byte seed: SHAKE256("tavik-c hybrid key
   v1" || seed) gives 64 bytes, the first 32 the tavik key's seed (sig_keygen_from_seed), the last
   32 the Ed25519 seed. 0 or -2 (null pointer, overlap). seed may lie in pk or sk.
   tavik_hybrid_keygen_from_keys: the pair of an existing tavik key pair and Ed25519 key pair
   (ed25519_seed: RFC 8032's 32-byte private key). 0, or -2 when a pointer is null, pk and sk
   overlap, the tavik secret key is damaged or its public key is not tavik_pk, or ed25519_pk is not
   the public key of ed25519_seed. */
int32_t tavik_hybrid_keygen(uint8_t *pk, uint8_t *sk);
int32_t tavik_hybrid_keygen_from_seed(uint8_t *pk, uint8_t *sk, const uint8_t *seed);
int32_t tavik_hybrid_keygen_from_keys(uint8_t *pk, uint8_t *sk, const uint8_t *tavik_pk, const uint8_t *tavik_sk,
                                      const uint8_t *ed25519_pk, const uint8_t *ed25519_seed);

/* The public key of a hybrid secret key: 0 and TAVIK_HYBRID_PK_BYTES to pk, or -2 (nothing
   written) for a null pointer or a damaged key (either half's check below fails). */
int32_t tavik_hybrid_pk_from_sk(uint8_t *pk, const uint8_t *sk);

/* Signing. tavik_hybrid_sign is hedged: the tavik half mixes fresh random bytes into its masks
   (tavik_sign_ctx_hedged); tavik_hybrid_sign_deterministic gives the same bytes for the same key,
   context and message (tavik_sign_ctx). Ed25519 is deterministic by its definition: its half is
   the same in both. Both check the secret key first: the tavik half as every tavik signing call
   from a stored key does, the Ed25519 half by rebuilding its public key from the seed and
   comparing with the stored one (an Ed25519 signer given a public key that is not its own can give
   away its key). The last 8 Ed25519 halves found intact are remembered by a 16-byte tag, BLAKE2b of
   seed and public key keyed with 32 bytes the process draws from its random source without
   waiting; the same bytes again skip the rebuild, and changed ones pass for a remembered key with
   probability at most 8 * 2^-128 (keyed BLAKE2b taken as a random function). Without those random
   bytes nothing is remembered. Writes TAVIK_HYBRID_SIG_BYTES to sig: 0; -2 (nothing written) for a null
   pointer, a bad context or a damaged key; -3; -4 (hedged, no random source answered). sig may
   overlap sk, ctx or msg. */
int32_t tavik_hybrid_sign(const uint8_t *sk, const uint8_t *ctx, uint64_t ctxlen, const uint8_t *msg,
                          uint64_t msglen, uint8_t *sig);
int32_t tavik_hybrid_sign_deterministic(const uint8_t *sk, const uint8_t *ctx, uint64_t ctxlen,
                                        const uint8_t *msg, uint64_t msglen, uint8_t *sig);

/* Verification: 0 when both halves verify over the representative of msg under ctx, 1 when either
   does not, -2 for a null pointer, a bad context or siglen other than TAVIK_HYBRID_SIG_BYTES.
   Both halves are always checked. tavik_hybrid_verify_halves also sets *failed (when failed is
   not NULL) to the TAVIK_HYBRID_*_HALF bits of the halves that did not verify (0 when valid; left
   alone on -2). Only reads. */
int32_t tavik_hybrid_verify(const uint8_t *pk, const uint8_t *ctx, uint64_t ctxlen, const uint8_t *sig,
                            uint64_t siglen, const uint8_t *msg, uint64_t msglen);
int32_t tavik_hybrid_verify_halves(const uint8_t *pk, const uint8_t *ctx, uint64_t ctxlen, const uint8_t *sig,
                                   uint64_t siglen, const uint8_t *msg, uint64_t msglen, uint32_t *failed);

/* Streaming: a message in pieces of any sizes (empty ones too) signs and verifies exactly as the
   pieces joined do with the one-shot calls. Caller-allocated states of the sizes below, contents
   private. A sign state holds a copy of the secret key until its final call, which wipes the state
   whatever it returns but -2; a state given up earlier must be wiped with
   tavik_hybrid_sign_state_wipe. A verify state holds the public key and is wiped by its final
   call (but -2). Every call returns -2 for a null state, key or signature, a null msg with len > 0,
   a bad context, a state not initialised or already finished, or a key, context, message or
   signature sharing a byte with the state; a final call returning -2 leaves the state as it was.
   The sign init calls check the Ed25519 half of the secret key (-2); the final call checks both
   halves as the one-shot calls do, and -2 for a damaged key leaves the state as it was. */
#define TAVIK_HYBRID_SIGN_STATE_BYTES 4096
#define TAVIK_HYBRID_VERIFY_STATE_BYTES 2048
typedef struct tavik_hybrid_sign_state { uint64_t opaque[TAVIK_HYBRID_SIGN_STATE_BYTES / 8]; } tavik_hybrid_sign_state;
typedef struct tavik_hybrid_verify_state {
  uint64_t opaque[TAVIK_HYBRID_VERIFY_STATE_BYTES / 8];
} tavik_hybrid_verify_state;

int32_t tavik_hybrid_sign_init(tavik_hybrid_sign_state *st, const uint8_t *sk, const uint8_t *ctx,
                               uint64_t ctxlen); /* hedged; 0 | -2 */
int32_t tavik_hybrid_sign_init_deterministic(tavik_hybrid_sign_state *st, const uint8_t *sk, const uint8_t *ctx,
                                             uint64_t ctxlen); /* 0 | -2 */
int32_t tavik_hybrid_sign_update(tavik_hybrid_sign_state *st, const uint8_t *msg, uint64_t len); /* 0 | -2 */
/* 0 | -2 | -3 | -4, as tavik_hybrid_sign. */
int32_t tavik_hybrid_sign_final(tavik_hybrid_sign_state *st, uint8_t *sig);
void tavik_hybrid_sign_state_wipe(tavik_hybrid_sign_state *st);

int32_t tavik_hybrid_verify_init(tavik_hybrid_verify_state *st, const uint8_t *pk, const uint8_t *ctx,
                                 uint64_t ctxlen); /* 0 | -2 */
int32_t tavik_hybrid_verify_update(tavik_hybrid_verify_state *st, const uint8_t *msg, uint64_t len); /* 0 | -2 */
/* 0 | 1 | -2, as tavik_hybrid_verify; the _halves form also says which half failed. */
int32_t tavik_hybrid_verify_final(tavik_hybrid_verify_state *st, const uint8_t *sig, uint64_t siglen);
int32_t tavik_hybrid_verify_final_halves(tavik_hybrid_verify_state *st, const uint8_t *sig, uint64_t siglen,
                                         uint32_t *failed);

/* The message representative M' of msg under ctx (above), for those who sign or check a half by
   other means: writes its length to *replen and the bytes to rep, which has room for
   TAVIK_HYBRID_MAX_REPRESENTATIVE_BYTES. 0, or -2 for a null pointer or a bad context. */
int32_t tavik_hybrid_representative(const uint8_t *ctx, uint64_t ctxlen, const uint8_t *msg, uint64_t msglen,
                                    uint8_t *rep, uint64_t *replen);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
