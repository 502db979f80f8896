// The public key rebuilt from a secret key equals the one key generation made, and a damaged
// secret key is refused without writing.
#include <gtest/gtest.h>

#include <cstring>

#include "tavik.h"

TEST(PkFromSk, RebuildsTheGeneratedKeyAndRefusesDamage) {
  uint8_t seed[TAVIK_SEED_BYTES], pk[TAVIK_PK_BYTES], sk[TAVIK_SK_BYTES], rebuilt[TAVIK_PK_BYTES];
  for (int s = 0; s < 4; ++s) {
    for (int i = 0; i < TAVIK_SEED_BYTES; ++i) seed[i] = uint8_t(s * 37 + i);
    ASSERT_EQ(sig_keygen_from_seed(pk, sk, seed), 0);
    std::memset(rebuilt, 0xA5, sizeof rebuilt);
    ASSERT_EQ(tavik_pk_from_sk(rebuilt, sk), 0);
    EXPECT_EQ(std::memcmp(rebuilt, pk, sizeof pk), 0) << "seed " << s;
  }
  // A flipped bit in rho, s1, s2, the stored hash or t0 (a change of s2 by one mostly leaves t1
  // alone and shows only in t0).
  for (const size_t at : {0, 100, 700, 928, 975, 3055}) {
    uint8_t bad[TAVIK_SK_BYTES];
    std::memcpy(bad, sk, sizeof bad);
    bad[at] ^= 1;
    std::memset(rebuilt, 0xA5, sizeof rebuilt);
    EXPECT_EQ(tavik_pk_from_sk(rebuilt, bad), TAVIK_ILLEGAL_PARAMETER) << "byte " << at;
    EXPECT_EQ(rebuilt[0], 0xA5) << "written despite refusal";
  }
  EXPECT_EQ(tavik_pk_from_sk(nullptr, sk), TAVIK_ILLEGAL_PARAMETER);
  EXPECT_EQ(tavik_pk_from_sk(rebuilt, nullptr), TAVIK_ILLEGAL_PARAMETER);
}
