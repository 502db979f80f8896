#include "selftest.h"

#include <cstring>

#include "fips202.h"
#include "params.h"
#include "signature.h"

namespace tavik {
namespace {

// SHAKE256(pk || signature), 32 bytes, for the seed 1, 8, 15, ... and the message 0, 1, ..., 58.
constexpr uint8_t PINNED[32] = {
    0xFF, 0xFF, 0xC6, 0x79, 0x89, 0xD2, 0x25, 0x1D, 0xA9, 0x83, 0xE4, 0x8C, 0xAF, 0xF1, 0x2B, 0x6F,
    0x5E, 0x54, 0xAF, 0x2C, 0xDE, 0x09, 0x4A, 0xD2, 0x4C, 0xB9, 0x16, 0xFE, 0xB7, 0x2D, 0x34, 0x60};

}  // namespace

bool self_test_current() {
  uint8_t seed[SEED_BYTES], msg[59];
  for (uint32_t i = 0; i < sizeof seed; ++i) seed[i] = uint8_t(7 * i + 1);
  for (uint32_t i = 0; i < sizeof msg; ++i) msg[i] = uint8_t(i);
  uint8_t keys_sig[PK_BYTES + SIG_BYTES];
  uint8_t sk[SK_BYTES];
  uint64_t siglen = 0;
  uint8_t digest[32];
  if (sig_keygen_from_seed(keys_sig, sk, seed) != TAVIK_OK) return false;
  // Faulty kernels can fail every attempt: the pinned signature takes 3 attempts, so 64 ends the test.
  SignStats stats;
  stats.max_attempts = 64;
  const int32_t signed_ok = sign_with_stats(sk, msg, sizeof msg, keys_sig + PK_BYTES, &siglen, &stats);
  if (signed_ok != TAVIK_OK) return false;
  if (sig_verf(keys_sig, keys_sig + PK_BYTES, siglen, msg, sizeof msg) != TAVIK_OK) return false;
  shake256(digest, sizeof digest, keys_sig, sizeof keys_sig);
  return std::memcmp(digest, PINNED, sizeof digest) == 0;
}

bool path_self_test(Backend b) { return with_backend(b, self_test_current); }

}  // namespace tavik
