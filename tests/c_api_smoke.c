/* Uses the library from C through the public header only. */
#include <stdio.h>
#include <string.h>

#include "tavik.h"
#include "tavik_api.h"

int main(void) {
  static uint8_t pk[TAVIK_PK_BYTES], sk[TAVIK_SK_BYTES], sig[TAVIK_SIG_BYTES];
  uint8_t seed[TAVIK_SEED_BYTES];
  const uint8_t msg[] = "a message from C";
  uint64_t siglen = 0;
  memset(seed, 7, sizeof seed);
  if (sig_keygen_from_seed(pk, sk, seed) != TAVIK_OK) return 1;
  if (sig_sign(sk, msg, sizeof msg, sig, &siglen) != TAVIK_OK || siglen != TAVIK_SIG_BYTES) return 2;
  if (sig_verf(pk, sig, siglen, msg, sizeof msg) != TAVIK_OK) return 3;
  sig[0] ^= 1;
  if (sig_verf(pk, sig, siglen, msg, sizeof msg) != TAVIK_INVALID_SIGNATURE) return 4;
  if (sig_keygen(NULL, sk) != TAVIK_ILLEGAL_PARAMETER) return 5;
  {
    tavik_sign_state st;
    tavik_verify_state vst;
    if (tavik_sign_init(&st, sk) != TAVIK_OK || tavik_sign_update(&st, msg, 5) != TAVIK_OK ||
        tavik_sign_update(&st, msg + 5, sizeof msg - 5) != TAVIK_OK || tavik_sign_final(&st, sig) != TAVIK_OK)
      return 7;
    if (tavik_verify(pk, sig, TAVIK_SIG_BYTES, msg, sizeof msg) != TAVIK_OK) return 8;
    if (tavik_verify_init(&vst, pk) != TAVIK_OK || tavik_verify_update(&vst, msg, sizeof msg) != TAVIK_OK ||
        tavik_verify_final(&vst, sig, TAVIK_SIG_BYTES) != TAVIK_OK)
      return 9;
  }
  {
    static unsigned char sm[CRYPTO_BYTES + sizeof msg], opened[CRYPTO_BYTES + sizeof msg];
    unsigned long long smlen = 0, mlen = 0;
    if (crypto_sign(sm, &smlen, msg, sizeof msg, sk) != 0 || crypto_sign_open(opened, &mlen, sm, smlen, pk) != 0 ||
        mlen != sizeof msg || memcmp(opened, msg, sizeof msg) != 0)
      return 10;
  }
  if (sig_keygen(pk, sk) != TAVIK_OK) return 6;
  /* The library, the header and the build agree on the version. */
  if (strcmp(tavik_version(), TAVIK_VERSION_STRING) != 0 || strcmp(tavik_version(), TAVIK_PROJECT_VERSION) != 0) return 7;
  puts("C interface works");
  return 0;
}
