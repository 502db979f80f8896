/* tavik-c: module-lattice signatures. C and C++ interface. */
#ifndef TAVIK_H
#define TAVIK_H

#include <stdint.h>

/* Version of this header; tavik_version() gives the library's. */
#define TAVIK_VERSION_MAJOR 0
#define TAVIK_VERSION_MINOR 2
#define TAVIK_VERSION_PATCH 0
#define TAVIK_VERSION_STRING "0.2.0"

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden symbols; every call declared between this push and the pop
   below is part of the public interface and exported by the shared library. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

#define TAVIK_PK_BYTES 1472
#define TAVIK_SK_BYTES 3056
#define TAVIK_SIG_BYTES 2573
#define TAVIK_SEED_BYTES 32
#define TAVIK_MAX_MSG_BYTES 3300

#define TAVIK_OK 0                 /* key pair made, signature made, signature valid */
#define TAVIK_INVALID_SIGNATURE 1  /* sig_verf only */
#define TAVIK_ILLEGAL_PARAMETER (-2) /* null pointer, bad length or damaged key; nothing was written */
/* Signing made TAVIK_MAX_SIGN_ATTEMPTS attempts without a signature; nothing was written. An
   intact key never gets here (see the bound below): the key or the memory holding it is faulty. */
#define TAVIK_SIGNING_FAILED (-3)
/* No random source answered within TAVIK_RANDOM_TIMEOUT_SECONDS (getrandom refused and the device
   could not be opened or read): key generation and hedged signing wrote nothing. */
#define TAVIK_NO_RANDOMNESS (-4)

/* Signing gives up after this many attempts. An attempt of an intact key succeeds with probability
   about 0.29 (3.5 attempts on average); with any key whose probability is at least 1/12, 1024
   failed attempts in a row have probability (11/12)^1024 < 2^-128. */
#define TAVIK_MAX_SIGN_ATTEMPTS 1024
/* How long key generation and hedged signing wait for a random source that does not answer. */
#define TAVIK_RANDOM_TIMEOUT_SECONDS 10
/* Fresh random bytes that hedged signing mixes into the seed of its masks. */
#define TAVIK_HEDGE_BYTES 32

/* Makes a key pair from 32 bytes of the operating system's random source.
   pk: TAVIK_PK_BYTES out, sk: TAVIK_SK_BYTES out. pk and sk must not overlap (-2).
   TAVIK_NO_RANDOMNESS (nothing written) when no random source answers in time. */
int32_t sig_keygen(uint8_t *pk, uint8_t *sk);

/* The key pair sig_keygen makes when its random source yields these 32 seed bytes.
   pk and sk must not overlap (-2); seed may lie in either, it is read before anything is written. */
int32_t sig_keygen_from_seed(uint8_t *pk, uint8_t *sk, const uint8_t *seed);

/* The public key of a secret key, rebuilt from the secret key's own fields. Writes TAVIK_PK_BYTES
   to pk and returns 0, or -2 (nothing written) for a null pointer or a secret key whose stored
   hash of its public key or stored t0 does not match the rebuilt one (a damaged key). */
int32_t tavik_pk_from_sk(uint8_t *pk, const uint8_t *sk);

/* Deterministic and hedged signing. Every signing call below has a deterministic form (the same key
   and message always give the same signature: for known answers and reproducible test vectors)
   and a hedged form, which mixes TAVIK_HEDGE_BYTES fresh random bytes into the seed of its masks,
   so that no two signatures ever share a mask even when a fault damages the key or the
   computation. Use the hedged forms everywhere else: a deterministic signer whose key is damaged
   by one bit can give away the secret key in two signatures. Both forms verify alike.
   Every signing call may also return TAVIK_SIGNING_FAILED (attempt bound reached) and, in its
   hedged form, TAVIK_NO_RANDOMNESS; neither writes the signature.
   Every call that signs from a stored secret key (sig_sign, tavik_sign, tavik_sign_hedged, the
   final call of a state started with tavik_sign_init or tavik_sign_init_hedged, and the
   crypto_sign calls of tavik_api.h) first checks that the key's parts agree: it rebuilds
   t = A*s1 + s2 from the stored rho, s1 and s2, and refuses with -2, writing nothing, a key whose
   stored hash of the public key (tr) or stored t0 differs from the rebuilt one. The check covers
   every byte of the key but the 32-byte mask seed at bytes 32 to 63, which only chooses the
   masks. The calls that sign from an expanded key check its check value instead (below). */

/* Deterministic signature of msg[0..msglen), 1 <= msglen <= 3300.
   Writes TAVIK_SIG_BYTES to sig and 2573 to *siglen. sig may overlap sk or msg (both are read
   in full before sig is written); siglen must not point into sig. */
int32_t sig_sign(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig, uint64_t *siglen);

/* 0 when sig is a valid signature of msg under pk, 1 when not, -2 for illegal arguments
   (null pointer, msglen outside [1, 3300], siglen other than 2573). Only reads: any argument
   may overlap any other. */
int32_t sig_verf(const uint8_t *pk, const uint8_t *sig, uint64_t siglen, const uint8_t *msg, uint64_t msglen);

/* Messages of any length, the message read where it lies (msg may be NULL when msglen is 0).
   For every message sig_sign accepts, tavik_sign writes the same signature and tavik_verify gives
   the verdict of sig_verf.
   tavik_sign: 0, or -2 for a null sk or sig, a null msg with msglen > 0, or a key whose parts
   disagree; writes TAVIK_SIG_BYTES.
   tavik_verify: 0 valid, 1 invalid, -2 for a null pointer (msg only when msglen > 0) or a siglen
   other than TAVIK_SIG_BYTES.
   Overlaps as for sig_sign and sig_verf: sig may overlap sk or msg; tavik_verify only reads. */
int32_t tavik_sign(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig);
/* tavik_sign, hedged: 0, -2 as tavik_sign, -3, or -4 when no random source answers. */
int32_t tavik_sign_hedged(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig);
int32_t tavik_verify(const uint8_t *pk, const uint8_t *sig, uint64_t siglen, const uint8_t *msg, uint64_t msglen);

/* Streaming: a message given in pieces of any sizes (empty ones too) signs and verifies exactly as
   the pieces joined do with tavik_sign and tavik_verify. The states are caller-allocated, of the
   sizes below, and may live anywhere (stack, static, heap); their contents are private.
   A sign state holds a copy of the secret key until tavik_sign_final, which wipes it; a state
   given up before its final call must be wiped with tavik_sign_state_wipe. Verify states hold the
   public key and are wiped by tavik_verify_final. An update or final call on a state that was
   not initialised, or has been finished, returns -2. Every call returns -2 for a null state,
   key or signature, or a null msg with len > 0; a final call that returns -2 leaves the state as
   it was. A state must not overlap the key, message or signature given with it: a key, message
   or signature buffer that shares a byte with the state is refused (-2), and so is a state whose
   sponge position has been overwritten with a value no call writes. tavik_sign_final also
   returns -2 (the state left as it was) for a stored key whose parts disagree. */
#define TAVIK_SIGN_STATE_BYTES 4096
#define TAVIK_VERIFY_STATE_BYTES 2048
typedef struct tavik_sign_state { uint64_t opaque[TAVIK_SIGN_STATE_BYTES / 8]; } tavik_sign_state;
typedef struct tavik_verify_state { uint64_t opaque[TAVIK_VERIFY_STATE_BYTES / 8]; } tavik_verify_state;

int32_t tavik_sign_init(tavik_sign_state *st, const uint8_t *sk);                  /* 0 | -2 */
/* As tavik_sign_init; the final call then signs hedged, drawing its random bytes. */
int32_t tavik_sign_init_hedged(tavik_sign_state *st, const uint8_t *sk);           /* 0 | -2 */
int32_t tavik_sign_update(tavik_sign_state *st, const uint8_t *msg, uint64_t len); /* 0 | -2 */
/* Writes TAVIK_SIG_BYTES to sig and wipes st: 0. -2 (st left as it was) for illegal arguments or
   an expanded key that was wiped or has changed since; -3 or -4 (st wiped, sig not written). */
int32_t tavik_sign_final(tavik_sign_state *st, uint8_t *sig);
void tavik_sign_state_wipe(tavik_sign_state *st);

int32_t tavik_verify_init(tavik_verify_state *st, const uint8_t *pk);                  /* 0 | -2 */
int32_t tavik_verify_update(tavik_verify_state *st, const uint8_t *msg, uint64_t len); /* 0 | -2 */
/* 0 valid, 1 invalid (and st wiped), or -2, also for siglen other than TAVIK_SIG_BYTES. */
int32_t tavik_verify_final(tavik_verify_state *st, const uint8_t *sig, uint64_t siglen);

/* Expanded keys: what signing and verification derive from a key alone (the matrix, the
   transformed key polynomials, the public key's hash), kept by the caller to sign or verify many
   messages under one key at a fraction of the cost. Fixed-size caller-allocated storage, no heap;
   contents private. An expanded key is for use in the process and library version that made it,
   on any path; it is not a storage format. The expanded secret key is as secret as the key: wipe
   it with tavik_expanded_sk_wipe when done. Signing and verifying from expanded keys give exactly
   the bytes and verdicts of tavik_sign and tavik_verify.
   tavik_expand_sk: 0, or -2 for a null pointer or a damaged secret key: it rebuilds the public
   part from the key's secret fields as tavik_pk_from_sk does, and refuses a key whose stored hash
   of the public key or stored t0 disagrees. tavik_expand_pk: 0, or -2 for a null pointer.
   Both also return TAVIK_NO_RANDOMNESS, writing nothing, while the process has no check key (below)
   and the random source does not answer; a later call tries the source again.
   Check values. Each expanded key carries a 128-bit check value over its contents, which every
   call that uses the key (signing, verifying, and starting and finishing a streaming state)
   recomputes and compares in full first. It is keyed with a check key of 32,848 bytes, the
   SHAKE256 output of 32 bytes drawn from the random source at the first expansion in the process,
   which never leaves the process: expanded keys do not outlive the process that made them (one
   saved and loaded by another process is refused as changed). Reading the key's contents as
   little-endian 64-bit words m[0..n), and the check key as words k[0..n), the value is, on the
   avx2 and avx512 paths (whose processors multiply without carries),
     V = XOR over i < n/2 of (m[2i] XOR k[2i]) (x) (m[2i+1] XOR k[2i+1]),
   (x) the 127-bit product of polynomials over GF(2), and on the other paths
     V = sum over i < n/2 of ((m[2i] + k[2i]) mod 2^64) * ((m[2i+1] + k[2i+1]) mod 2^64) mod 2^128.
   Bound: a change of the contents and of the stored value, made without knowledge of the check
   key, passes with probability at most 2^-63 (the SHAKE256 output taken as uniform); q changes
   tried in one process, at most q * 2^-63. Derivation: take the last changed pair of words j,
   (x, y) changed to (x', y'), say x != x' (else swap the roles), and fix every check-key word but
   l = k[2j+1]; the change passes only if pair j's term changes by one fixed value D. Carry-less:
   with a = x XOR k[2j], b = y XOR l, the term changes by (a XOR a') (x) b XOR a' (x) (y XOR y'),
   so (a XOR a') (x) b must be one value; polynomials over GF(2) have no zero divisors and
   a XOR a' != 0, so at most one b: probability at most 2^-64. Integer: with a = (x + k[2j]) mod
   2^64 != a' and b = (y + l) mod 2^64, the changed factor is b + (y' - y) - 2^64 w for w in {0, 1},
   so for each w, (a' - a) * b must be one value modulo 2^128; as 0 < |a' - a| < 2^64, that fixes
   b modulo 2^(128 - e) > 2^64 (2^e the largest power of two dividing a' - a): at most two of the
   2^64 equally likely values of l. A changed stored value with unchanged contents never passes.
   Stored secret keys are checked by rebuilding their public part (above); a key found intact is
   remembered by its check value over its 3,056 bytes (the last 8 keys), and a later call with the
   same bytes skips the rebuild: a changed key passes for a remembered one with the bound above.
   Without a check key (the source had no bytes at once) nothing is remembered and every call
   rebuilds; deterministic signing never waits for the source.
   tavik_sign_expanded(_hedged), tavik_verify_expanded: as tavik_sign(_hedged) and tavik_verify;
   also -2 (nothing written) for a key that was not expanded, has been wiped, or has changed
   since it was expanded. */
#define TAVIK_EXPANDED_SK_BYTES 45056
#define TAVIK_EXPANDED_PK_BYTES 28672
#if defined(__cplusplus)
#define TAVIK_ALIGN64 alignas(64)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define TAVIK_ALIGN64 _Alignas(64)
#elif defined(__GNUC__)
/* C before C11 has no _Alignas; GCC and Clang give the same alignment through their attribute. */
#define TAVIK_ALIGN64 __attribute__((aligned(64)))
#else
#error "tavik.h needs C11, C++, or a compiler with __attribute__((aligned))"
#endif
typedef struct tavik_expanded_sk { TAVIK_ALIGN64 uint64_t opaque[TAVIK_EXPANDED_SK_BYTES / 8]; } tavik_expanded_sk;
typedef struct tavik_expanded_pk { TAVIK_ALIGN64 uint64_t opaque[TAVIK_EXPANDED_PK_BYTES / 8]; } tavik_expanded_pk;

int32_t tavik_expand_sk(tavik_expanded_sk *xsk, const uint8_t *sk);
int32_t tavik_expand_pk(tavik_expanded_pk *xpk, const uint8_t *pk);
void tavik_expanded_sk_wipe(tavik_expanded_sk *xsk);
int32_t tavik_sign_expanded(const tavik_expanded_sk *xsk, const uint8_t *msg, uint64_t msglen, uint8_t *sig);
int32_t tavik_sign_expanded_hedged(const tavik_expanded_sk *xsk, const uint8_t *msg, uint64_t msglen,
                                   uint8_t *sig);
int32_t tavik_verify_expanded(const tavik_expanded_pk *xpk, const uint8_t *sig, uint64_t siglen,
                              const uint8_t *msg, uint64_t msglen);
/* Streaming from an expanded key, which must stay unchanged until the final call (a key wiped in
   the meantime makes the final call return -2). The state holds no copy of the key. */
int32_t tavik_sign_init_expanded(tavik_sign_state *st, const tavik_expanded_sk *xsk);
int32_t tavik_sign_init_expanded_hedged(tavik_sign_state *st, const tavik_expanded_sk *xsk);
int32_t tavik_verify_init_expanded(tavik_verify_state *st, const tavik_expanded_pk *xpk);

/* Contexts. One key may serve several protocols, each signature bound to the context string of
   its protocol: ctx[0..ctxlen), 0 <= ctxlen <= TAVIK_MAX_CONTEXT_BYTES. The digest signed under a
   context of ctxlen >= 1 bytes is
     mu = SHAKE256(tr_ctx || msg), tr_ctx = SHAKE256("tavik-c context v1" || tr || ctxlen || ctx),
   both 48 bytes (the label's 18 ASCII bytes without terminator, ctxlen as one byte, tr the
   public key's hash); without a context it is mu = SHAKE256(tr || msg). A context of 0 bytes is no
   context: every _ctx call with ctxlen 0 writes the bytes, and gives the verdicts, of the same
   call without _ctx. A signature made under one context verifies under that context only, and one
   made without a context under none (docs/formats.md argues why).
   Each _ctx call takes the context after the key, then the arguments of the call without a
   context in their order, and returns what that call returns, with its message lengths, overlaps
   and checks of the key; also -2 (nothing written) for ctxlen > TAVIK_MAX_CONTEXT_BYTES or a null
   ctx with ctxlen > 0, and (streaming) for a ctx sharing a byte with the state. The context is read
   before anything is written, and a streaming state does not keep it (the state absorbs tr_ctx). */
#define TAVIK_MAX_CONTEXT_BYTES 255

int32_t tavik_sign_ctx(const uint8_t *sk, const uint8_t *ctx, uint64_t ctxlen,
                       const uint8_t *msg, uint64_t msglen, uint8_t *sig);
int32_t tavik_sign_ctx_hedged(const uint8_t *sk, const uint8_t *ctx, uint64_t ctxlen,
                              const uint8_t *msg, uint64_t msglen, uint8_t *sig);
int32_t tavik_verify_ctx(const uint8_t *pk, const uint8_t *ctx, uint64_t ctxlen,
                         const uint8_t *sig, uint64_t siglen, const uint8_t *msg, uint64_t msglen);
int32_t tavik_sign_init_ctx(tavik_sign_state *st, const uint8_t *sk, const uint8_t *ctx, uint64_t ctxlen);
int32_t tavik_sign_init_ctx_hedged(tavik_sign_state *st, const uint8_t *sk, const uint8_t *ctx, uint64_t ctxlen);
int32_t tavik_verify_init_ctx(tavik_verify_state *st, const uint8_t *pk, const uint8_t *ctx, uint64_t ctxlen);
int32_t tavik_sign_expanded_ctx(const tavik_expanded_sk *xsk, const uint8_t *ctx, uint64_t ctxlen,
                                const uint8_t *msg, uint64_t msglen, uint8_t *sig);
int32_t tavik_sign_expanded_ctx_hedged(const tavik_expanded_sk *xsk, const uint8_t *ctx, uint64_t ctxlen,
                                       const uint8_t *msg, uint64_t msglen, uint8_t *sig);
int32_t tavik_verify_expanded_ctx(const tavik_expanded_pk *xpk, const uint8_t *ctx, uint64_t ctxlen,
                                  const uint8_t *sig, uint64_t siglen, const uint8_t *msg, uint64_t msglen);
int32_t tavik_sign_init_expanded_ctx(tavik_sign_state *st, const tavik_expanded_sk *xsk,
                                     const uint8_t *ctx, uint64_t ctxlen);
int32_t tavik_sign_init_expanded_ctx_hedged(tavik_sign_state *st, const tavik_expanded_sk *xsk,
                                            const uint8_t *ctx, uint64_t ctxlen);
int32_t tavik_verify_init_expanded_ctx(tavik_verify_state *st, const tavik_expanded_pk *xpk,
                                       const uint8_t *ctx, uint64_t ctxlen);

/* External mu: the message hashed where it lies, from the public key alone, and only the
   TAVIK_MU_BYTES digest handed to the signer (another process or machine, say). mu is the digest
   defined above, with or without a context; signing mu gives exactly the signature of the message
   (deterministic: the same bytes; hedged: the same bytes for the same random bytes), and verifying
   a signature against mu gives the verdict of verifying it against the message.
   tavik_mu_init: 0, or -2 for a null st or pk, a bad context (as the _ctx calls) or a pk or ctx
   sharing a byte with st. tavik_mu_update: any number of pieces of any length (messages of any
   length, 0 included); 0, or -2 for a state not initialised or finished, a null msg with len > 0,
   or a msg sharing a byte with st. tavik_mu_final: writes TAVIK_MU_BYTES to mu and wipes st: 0;
   -2 (st left as it was) for a state not initialised or finished, a null mu or a mu sharing a
   byte with st. A state whose contents were overwritten with a sponge position no call writes is
   refused (-2). The state holds no key material (the sponge of tr or tr_ctx and the message so
   far); tavik_mu_state_wipe wipes one given up.
   tavik_sign_mu(_hedged): 0, -2 for a null pointer or a stored key whose parts disagree (checked
   as every signing call from a stored key checks it), -3, and -4 (hedged); writes
   TAVIK_SIG_BYTES; sig may overlap sk or mu. tavik_sign_expanded_mu(_hedged): the same from an
   expanded key, -2 also for a key not expanded, wiped or changed. tavik_verify_mu and
   tavik_verify_expanded_mu: 0 valid, 1 invalid, -2 for a null pointer, a siglen other than
   TAVIK_SIG_BYTES, or (expanded) a key not expanded, wiped or changed; they only read. */
#define TAVIK_MU_BYTES 48
#define TAVIK_MU_STATE_BYTES 512
typedef struct tavik_mu_state { uint64_t opaque[TAVIK_MU_STATE_BYTES / 8]; } tavik_mu_state;

int32_t tavik_mu_init(tavik_mu_state *st, const uint8_t *pk, const uint8_t *ctx, uint64_t ctxlen); /* 0 | -2 */
int32_t tavik_mu_update(tavik_mu_state *st, const uint8_t *msg, uint64_t len);                     /* 0 | -2 */
int32_t tavik_mu_final(tavik_mu_state *st, uint8_t *mu);                                           /* 0 | -2 */
void tavik_mu_state_wipe(tavik_mu_state *st);
int32_t tavik_sign_mu(const uint8_t *sk, const uint8_t *mu, uint8_t *sig);
int32_t tavik_sign_mu_hedged(const uint8_t *sk, const uint8_t *mu, uint8_t *sig);
int32_t tavik_sign_expanded_mu(const tavik_expanded_sk *xsk, const uint8_t *mu, uint8_t *sig);
int32_t tavik_sign_expanded_mu_hedged(const tavik_expanded_sk *xsk, const uint8_t *mu, uint8_t *sig);
int32_t tavik_verify_mu(const uint8_t *pk, const uint8_t *sig, uint64_t siglen, const uint8_t *mu);
int32_t tavik_verify_expanded_mu(const tavik_expanded_pk *xpk, const uint8_t *sig, uint64_t siglen,
                                 const uint8_t *mu);

/* The library's version, "MAJOR.MINOR.PATCH"; a static string. */
const char *tavik_version(void);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
