// The crypto_sign interface as thin layers over tavik_sign and tavik_verify.
#include "tavik_api.h"

#include <cstring>

#include "tavik.h"

static_assert(CRYPTO_SECRETKEYBYTES == TAVIK_SK_BYTES && CRYPTO_PUBLICKEYBYTES == TAVIK_PK_BYTES &&
              CRYPTO_BYTES == TAVIK_SIG_BYTES);

extern "C" {

int tavik_crypto_sign_keypair(unsigned char *pk, unsigned char *sk) { return sig_keygen(pk, sk) == TAVIK_OK ? 0 : -1; }

int tavik_crypto_sign(unsigned char *sm, unsigned long long *smlen, const unsigned char *m,
                      unsigned long long mlen, const unsigned char *sk) {
  if (sm == nullptr || smlen == nullptr || sk == nullptr || (m == nullptr && mlen != 0)) return -1;
  if (mlen > UINT64_MAX - CRYPTO_BYTES) return -1;
  // Signed into a buffer of its own before anything of sm is written: m and sk may lie anywhere in
  // sm, and moving the message first could overwrite the key (the signature of a damaged key).
  unsigned char sig[CRYPTO_BYTES];
  const bool made = tavik_sign(sk, m, mlen, sig) == TAVIK_OK;
  if (made) {
    if (mlen != 0) std::memmove(sm + CRYPTO_BYTES, m, mlen);
    std::memcpy(sm, sig, CRYPTO_BYTES);
    *smlen = CRYPTO_BYTES + mlen;
  }
  std::memset(sig, 0, sizeof sig);  // public once written, but not left behind on a refusal
  return made ? 0 : -1;
}

int tavik_crypto_sign_open(unsigned char *m, unsigned long long *mlen, const unsigned char *sm,
                           unsigned long long smlen, const unsigned char *pk) {
  if (mlen == nullptr) return -1;
  *mlen = 0;
  if (m == nullptr || sm == nullptr || pk == nullptr || smlen < CRYPTO_BYTES) return -1;
  const unsigned long long len = smlen - CRYPTO_BYTES;
  if (tavik_verify(pk, sm, CRYPTO_BYTES, sm + CRYPTO_BYTES, len) != TAVIK_OK) return -1;
  if (len != 0) std::memmove(m, sm + CRYPTO_BYTES, len);
  *mlen = len;
  return 0;
}

int tavik_crypto_sign_signature(unsigned char *sig, size_t *siglen, const unsigned char *m, size_t mlen,
                                const unsigned char *sk) {
  if (siglen == nullptr || tavik_sign(sk, m, mlen, sig) != TAVIK_OK) return -1;
  *siglen = CRYPTO_BYTES;
  return 0;
}

int tavik_crypto_sign_verify(const unsigned char *sig, size_t siglen, const unsigned char *m, size_t mlen,
                             const unsigned char *pk) {
  return tavik_verify(pk, sig, siglen, m, mlen) == TAVIK_OK ? 0 : -1;
}

}  // extern "C"
