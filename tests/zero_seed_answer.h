// The scheme's first known answer: the key pair of the all-zero seed and its deterministic
// signature of "abc", as 16-byte SHAKE256 digests. Any path, at any Keccak width, must give it.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "fips202.h"
#include "params.h"
#include "signature.h"

namespace zero_seed_answer {

// The first 16 bytes of SHAKE256(data), in hex.
inline std::string digest_hex(const uint8_t *data, size_t len) {
  uint8_t d[16];
  tavik::shake256(d, sizeof d, data, len);
  std::string s;
  char buf[3];
  for (uint8_t b : d) {
    std::snprintf(buf, sizeof buf, "%02x", b);
    s += buf;
  }
  return s;
}

// Makes, signs and verifies through the kernels and Keccak width in use on this thread; `label`
// names them in a failure.
inline void expect(const std::string &label) {
  using namespace tavik;
  uint8_t seed[SEED_BYTES] = {}, pk[PK_BYTES], sk[SK_BYTES], sig[SIG_BYTES];
  ASSERT_EQ(sig_keygen_from_seed(pk, sk, seed), 0) << label;
  const uint8_t msg[3] = {'a', 'b', 'c'};
  uint64_t siglen = 0;
  ASSERT_EQ(sig_sign(sk, msg, sizeof msg, sig, &siglen), 0) << label;
  EXPECT_EQ(digest_hex(pk, sizeof pk), "2c8ffc397891c91be70a35be1144ceb2") << label;
  EXPECT_EQ(digest_hex(sk, sizeof sk), "07be541fb46c56ea25fba41bc3738783") << label;
  EXPECT_EQ(digest_hex(sig, sizeof sig), "ab08f5d664e1568026b0ae8e326ee9aa") << label;
  EXPECT_EQ(sig_verf(pk, sig, siglen, msg, sizeof msg), 0) << label;
}

}  // namespace zero_seed_answer
