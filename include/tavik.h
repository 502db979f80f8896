/* tavik-c: module-lattice signatures. C and C++ interface. */
#ifndef TAVIK_H
#define TAVIK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TAVIK_PK_BYTES 1472
#define TAVIK_SK_BYTES 3056
#define TAVIK_SIG_BYTES 2573
#define TAVIK_SEED_BYTES 32
#define TAVIK_MAX_MSG_BYTES 3300

#define TAVIK_OK 0                 /* key pair made, signature made, signature valid */
#define TAVIK_INVALID_SIGNATURE 1  /* sig_verf only */
#define TAVIK_ILLEGAL_PARAMETER (-2) /* null pointer or bad length; nothing was written */

/* Makes a key pair from 32 bytes of the operating system's random source.
   pk: TAVIK_PK_BYTES out, sk: TAVIK_SK_BYTES out. */
int32_t sig_keygen(uint8_t *pk, uint8_t *sk);

/* The key pair sig_keygen makes when its random source yields these 32 seed bytes. */
int32_t sig_keygen_from_seed(uint8_t *pk, uint8_t *sk, const uint8_t *seed);

/* Deterministic signature of msg[0..msglen), 1 <= msglen <= 3300.
   Writes TAVIK_SIG_BYTES to sig and 2573 to *siglen. */
int32_t sig_sign(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig, uint64_t *siglen);

/* 0 when sig is a valid signature of msg under pk, 1 when not, -2 for illegal arguments
   (null pointer, msglen outside [1, 3300], siglen other than 2573). */
int32_t sig_verf(const uint8_t *pk, const uint8_t *sig, uint64_t siglen, const uint8_t *msg, uint64_t msglen);

#ifdef __cplusplus
}
#endif

#endif
