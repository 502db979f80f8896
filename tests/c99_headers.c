/* The public C headers in a C99 program (built with -std=c99 -Wpedantic -Werror): they must
   compile there, and the expanded keys must keep the 64-byte alignment C11 and C++ give them. */
#include <stdint.h>
#include <string.h>

#include "tavik.h"
#include "tavik_api.h"
#include "tavik_der.h"
#include "tavik_files.h"
#include "tavik_hybrid.h"
#include "tavik_hybrid_der.h"
#include "tavik_pkcs11.h"

/* The token's key type and mechanisms lie in the vendor-defined ranges (from 0x80000000). */
typedef char tavik_pkcs11_vendor_range[(TAVIK_CKK_KEY >= 0x80000000UL && TAVIK_CKM_KEY_PAIR_GEN >= 0x80000000UL &&
                                        TAVIK_CKM_SIGN >= 0x80000000UL && TAVIK_CKM_SIGN_MU >= 0x80000000UL) ? 1 : -1];

/* A negative array size stops the build when the layout differs from the C11 and C++ one. */
typedef char tavik_sk_aligned[__alignof__(tavik_expanded_sk) == 64 ? 1 : -1];
typedef char tavik_pk_aligned[__alignof__(tavik_expanded_pk) == 64 ? 1 : -1];
typedef char tavik_sk_size[sizeof(tavik_expanded_sk) == TAVIK_EXPANDED_SK_BYTES ? 1 : -1];

int main(void) {
  static uint8_t pk[TAVIK_PK_BYTES], sk[TAVIK_SK_BYTES];
  tavik_expanded_pk xpk; /* on the stack: the compiler must honour the alignment itself */
  uint8_t seed[TAVIK_SEED_BYTES];
  memset(seed, 3, sizeof seed);
  if (sig_keygen_from_seed(pk, sk, seed) != TAVIK_OK) return 1;
  if ((uintptr_t)&xpk % 64 != 0) return 2;
  if (tavik_expand_pk(&xpk, pk) != TAVIK_OK) return 3;
  return 0;
}
