/* tavik-c through the three-call crypto_sign interface that signature implementations of this
   kind share. The symbols are exported as tavik_crypto_sign_*; the standard names below are
   macros for them, so several such libraries can be linked into one program. */
#ifndef TAVIK_API_H
#define TAVIK_API_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Exported by the shared library, which is built with hidden symbols. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

#define CRYPTO_SECRETKEYBYTES 3056
#define CRYPTO_PUBLICKEYBYTES 1472
#define CRYPTO_BYTES 2573
#define CRYPTO_ALGNAME "tavik-c"

#define crypto_sign_keypair tavik_crypto_sign_keypair
#define crypto_sign tavik_crypto_sign
#define crypto_sign_open tavik_crypto_sign_open
#define crypto_sign_signature tavik_crypto_sign_signature
#define crypto_sign_verify tavik_crypto_sign_verify

/* Every call returns 0 on success and -1 otherwise (a null pointer, a bad length, an invalid
   signature, no randomness, the attempt bound, a secret key whose parts disagree: see tavik.h). Messages may have any length, 0 included.
   Signing here is deterministic, as known-answer files need; tavik_sign_hedged (tavik.h) is the
   call for everything else. */

/* A fresh key pair from 32 bytes of the operating system's random source, as sig_keygen. */
int tavik_crypto_sign_keypair(unsigned char *pk, unsigned char *sk);

/* sm = signature (CRYPTO_BYTES) followed by the mlen message bytes; *smlen = CRYPTO_BYTES + mlen.
   m and sk may lie anywhere inside sm: the signature is made from them as they were before sm is
   written. */
int tavik_crypto_sign(unsigned char *sm, unsigned long long *smlen, const unsigned char *m,
                      unsigned long long mlen, const unsigned char *sk);

/* Checks the signed message sm; when valid, writes its message to m (room for smlen bytes; m may
   lie inside sm) and its length to *mlen. When not, *mlen = 0 and m is not written. */
int tavik_crypto_sign_open(unsigned char *m, unsigned long long *mlen, const unsigned char *sm,
                           unsigned long long smlen, const unsigned char *pk);

/* The detached signature of m: CRYPTO_BYTES to sig, *siglen = CRYPTO_BYTES. */
int tavik_crypto_sign_signature(unsigned char *sig, size_t *siglen, const unsigned char *m, size_t mlen,
                                const unsigned char *sk);

/* 0 when sig (siglen bytes) is a valid signature of m under pk. */
int tavik_crypto_sign_verify(const unsigned char *sig, size_t siglen, const unsigned char *m, size_t mlen,
                             const unsigned char *pk);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
