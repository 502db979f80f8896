/* The calls whose executed instructions bench/insn/count.sh counts under qemu-user: a fixed
   sequence of key generations, signatures and verifications, chosen by the arguments
   `keygens signs verifies`, so that the count of one call is the difference between two runs.
   The path choice and its self-test run in every sequence alike (the first key generation
   makes it), so they cancel in each difference. Keys, messages and signatures are fixed: every
   run executes the same instructions. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tavik.h"

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: insn_calls KEYGENS SIGNS VERIFIES\n");
    return 2;
  }
  const long keygens = atol(argv[1]), signs = atol(argv[2]), verifies = atol(argv[3]);
  static uint8_t pk[TAVIK_PK_BYTES], sk[TAVIK_SK_BYTES], sig[TAVIK_SIG_BYTES];
  static uint8_t pk2[TAVIK_PK_BYTES], sk2[TAVIK_SK_BYTES], sig2[TAVIK_SIG_BYTES];
  uint8_t seed[32], msg[33];
  memset(seed, 7, sizeof seed);
  memset(msg, 0, sizeof msg);
  /* In every run: one key pair (which makes the path choice) and one signature to verify. */
  if (sig_keygen_from_seed(pk, sk, seed) != 0 || tavik_sign(sk, msg, sizeof msg, sig) != 0) return 1;
  for (long i = 0; i < keygens; ++i) {
    seed[0] = (uint8_t)(i + 1);
    if (sig_keygen_from_seed(pk2, sk2, seed) != 0) return 1;
  }
  for (long i = 0; i < signs; ++i) {
    uint8_t m[33];
    memset(m, (int)(i + 1), sizeof m);
    m[0] = (uint8_t)(i >> 8);
    if (tavik_sign(sk, m, sizeof m, sig2) != 0) return 1;
  }
  for (long i = 0; i < verifies; ++i) {
    if (tavik_verify(pk, sig, TAVIK_SIG_BYTES, msg, sizeof msg) != 0) return 1;
  }
  return 0;
}
