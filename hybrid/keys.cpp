// Hybrid key pairs: from one seed, from the random source, from a tavik and an Ed25519 key pair;
// and the public key of a secret key.
#include <sodium.h>

#include <cstring>

#include "fips202.h"
#include "halves.h"
#include "randombytes.h"
#include "sodium_marks.h"
#include "wipe.h"

namespace {

using namespace tavik::hybrid;

// Domain of the seed's expansion: no other SHAKE256 input of the library begins with it.
constexpr char kKeyLabel[] = "tavik-c hybrid key v1";
constexpr size_t kKeyLabelBytes = sizeof kKeyLabel - 1;

bool keys_overlap(const uint8_t *pk, const uint8_t *sk) {
  return overlaps(pk, TAVIK_HYBRID_PK_BYTES, sk, TAVIK_HYBRID_SK_BYTES);
}

}  // namespace

extern "C" int32_t tavik_hybrid_keygen_from_seed(uint8_t *pk, uint8_t *sk, const uint8_t *seed) {
  if (pk == nullptr || sk == nullptr || seed == nullptr || keys_overlap(pk, sk)) return TAVIK_HYBRID_ILLEGAL_PARAMETER;
  uint8_t input[kKeyLabelBytes + TAVIK_HYBRID_SEED_BYTES];
  std::memcpy(input, kKeyLabel, kKeyLabelBytes);
  std::memcpy(input + kKeyLabelBytes, seed, TAVIK_HYBRID_SEED_BYTES);
  // The first 32 bytes seed the tavik key pair, the last 32 are the Ed25519 seed.
  uint8_t halves[TAVIK_SEED_BYTES + TAVIK_HYBRID_ED25519_SEED_BYTES];
  tavik::shake256(halves, sizeof halves, input, sizeof input);
  tavik::secure_wipe(input, sizeof input);
  uint8_t ed_pk[TAVIK_HYBRID_ED25519_PK_BYTES];
  Ed25519Key ed;
  crypto_sign_ed25519_seed_keypair(ed_pk, ed.seed_pk, halves + TAVIK_SEED_BYTES);
  public_from_sodium(ed_pk, sizeof ed_pk);
  secret_from_sodium(ed.seed_pk, TAVIK_HYBRID_ED25519_SEED_BYTES);
  public_from_sodium(ed.seed_pk + TAVIK_HYBRID_ED25519_SEED_BYTES, TAVIK_HYBRID_ED25519_PK_BYTES);
  const int32_t rc = sig_keygen_from_seed(pk, sk, halves);
  tavik::secure_wipe(halves, sizeof halves);
  if (rc == TAVIK_OK) {
    std::memcpy(pk + TAVIK_HYBRID_PK_ED25519_OFFSET, ed_pk, sizeof ed_pk);
    std::memcpy(sk + TAVIK_HYBRID_SK_ED25519_SEED_OFFSET, ed.seed_pk, sizeof ed.seed_pk);
  }
  tavik::secure_wipe(ed.seed_pk, sizeof ed.seed_pk);
  tavik::secure_wipe(ed_pk, sizeof ed_pk);
  tavik::scrub_stack<4096>();
  return rc;
}

extern "C" int32_t tavik_hybrid_keygen(uint8_t *pk, uint8_t *sk) {
  if (pk == nullptr || sk == nullptr || keys_overlap(pk, sk)) return TAVIK_HYBRID_ILLEGAL_PARAMETER;
  uint8_t seed[TAVIK_HYBRID_SEED_BYTES];
  if (!tavik::randombytes(seed, sizeof seed)) {
    tavik::secure_wipe(seed, sizeof seed);
    return TAVIK_HYBRID_NO_RANDOMNESS;
  }
  const int32_t rc = tavik_hybrid_keygen_from_seed(pk, sk, seed);
  tavik::secure_wipe(seed, sizeof seed);
  return rc;
}

extern "C" int32_t tavik_hybrid_keygen_from_keys(uint8_t *pk, uint8_t *sk, const uint8_t *tavik_pk,
                                                 const uint8_t *tavik_sk, const uint8_t *ed25519_pk,
                                                 const uint8_t *ed25519_seed) {
  if (pk == nullptr || sk == nullptr || tavik_pk == nullptr || tavik_sk == nullptr || ed25519_pk == nullptr ||
      ed25519_seed == nullptr || keys_overlap(pk, sk))
    return TAVIK_HYBRID_ILLEGAL_PARAMETER;
  // Every input is read before anything is written: they may lie in pk or sk.
  uint8_t out_sk[TAVIK_HYBRID_SK_BYTES];
  uint8_t out_pk[TAVIK_HYBRID_PK_BYTES];
  uint8_t rebuilt_pk[TAVIK_PK_BYTES];
  std::memcpy(out_sk, tavik_sk, TAVIK_SK_BYTES);
  std::memcpy(out_sk + TAVIK_HYBRID_SK_ED25519_SEED_OFFSET, ed25519_seed, TAVIK_HYBRID_ED25519_SEED_BYTES);
  std::memcpy(out_sk + TAVIK_HYBRID_SK_ED25519_PK_OFFSET, ed25519_pk, TAVIK_HYBRID_ED25519_PK_BYTES);
  std::memcpy(out_pk, tavik_pk, TAVIK_PK_BYTES);
  std::memcpy(out_pk + TAVIK_HYBRID_PK_ED25519_OFFSET, ed25519_pk, TAVIK_HYBRID_ED25519_PK_BYTES);
  int32_t rc = TAVIK_HYBRID_ILLEGAL_PARAMETER;
  Ed25519Key ed;
  // Public keys are public: comparing them may branch.
  if (tavik_pk_from_sk(rebuilt_pk, out_sk) == TAVIK_OK && std::memcmp(rebuilt_pk, out_pk, TAVIK_PK_BYTES) == 0 &&
      ed25519_key_of(ed, out_sk)) {
    std::memcpy(pk, out_pk, sizeof out_pk);
    std::memcpy(sk, out_sk, sizeof out_sk);
    rc = TAVIK_HYBRID_OK;
  }
  tavik::secure_wipe(ed.seed_pk, sizeof ed.seed_pk);
  tavik::secure_wipe(out_sk, sizeof out_sk);
  // The public keys too: nothing on the dead stack tells which key pair was made.
  tavik::secure_wipe(out_pk, sizeof out_pk);
  tavik::secure_wipe(rebuilt_pk, sizeof rebuilt_pk);
  tavik::scrub_stack<4096>();
  return rc;
}

extern "C" int32_t tavik_hybrid_pk_from_sk(uint8_t *pk, const uint8_t *sk) {
  if (pk == nullptr || sk == nullptr) return TAVIK_HYBRID_ILLEGAL_PARAMETER;
  uint8_t out[TAVIK_HYBRID_PK_BYTES];
  Ed25519Key ed;
  int32_t rc = TAVIK_HYBRID_ILLEGAL_PARAMETER;
  if (tavik_pk_from_sk(out, sk) == TAVIK_OK && ed25519_key_of(ed, sk)) {
    std::memcpy(out + TAVIK_HYBRID_PK_ED25519_OFFSET, sk + TAVIK_HYBRID_SK_ED25519_PK_OFFSET,
                TAVIK_HYBRID_ED25519_PK_BYTES);
    std::memcpy(pk, out, sizeof out);
    rc = TAVIK_HYBRID_OK;
  }
  tavik::secure_wipe(out, sizeof out);
  tavik::secure_wipe(ed.seed_pk, sizeof ed.seed_pk);
  tavik::scrub_stack<4096>();
  return rc;
}
