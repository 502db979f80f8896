#include "halves.h"

#include <sodium.h>

#include <cstring>

#include "ct.h"
#include "key_memo.h"
#include "sodium_marks.h"
#include "wipe.h"

// The library never calls sodium_init(): it only picks faster forms of some primitives (BLAKE2b's
// among them; the portable forms give the same bytes) and opens libsodium's own random source,
// which no call here uses.

namespace tavik::hybrid {

namespace {

// ed25519_key_of's work; it leaves the seed's traces in the dead frames below it.
bool ed25519_key_intact(Ed25519Key &key) {
  if (ed25519_remembered(key.seed_pk)) return true;
  uint8_t rebuilt[TAVIK_HYBRID_ED25519_PK_BYTES];
  uint8_t expanded[TAVIK_HYBRID_ED25519_SEED_BYTES + TAVIK_HYBRID_ED25519_PK_BYTES];
  crypto_sign_ed25519_seed_keypair(rebuilt, expanded, key.seed_pk);
  public_from_sodium(rebuilt, sizeof rebuilt);
  secure_wipe(expanded, sizeof expanded);
  // Whether the stored public key is the seed's is public: a key whose halves disagree is refused.
  const uint32_t differs = ct::declassify(
      ct::differ(rebuilt, key.seed_pk + TAVIK_HYBRID_ED25519_SEED_BYTES, TAVIK_HYBRID_ED25519_PK_BYTES));
  if (differs != 0) return false;
  ed25519_remember(key.seed_pk);
  return true;
}

}  // namespace

bool ed25519_key_of(Ed25519Key &key, const uint8_t *sk) {
  // The key is read once; what is checked is what signs.
  std::memcpy(key.seed_pk, sk + TAVIK_HYBRID_SK_ED25519_SEED_OFFSET, sizeof key.seed_pk);
  const bool intact = ed25519_key_intact(key);
  // The tag's hashing and the scalar multiplication of the seed left their frames below this one.
  scrub_stack<4096>();
  if (!intact) secure_wipe(key.seed_pk, sizeof key.seed_pk);
  return intact;
}

int32_t sign_representative(const uint8_t *sk, const Ed25519Key &key, const Representative &rep, bool hedged,
                            uint8_t *sig) {
  uint8_t out[TAVIK_HYBRID_SIG_BYTES];
  crypto_sign_ed25519_detached(out + TAVIK_HYBRID_SIG_ED25519_OFFSET, nullptr, rep.bytes, rep.len, key.seed_pk);
  public_from_sodium(out + TAVIK_HYBRID_SIG_ED25519_OFFSET, TAVIK_HYBRID_ED25519_SIG_BYTES);
  const auto sign = hedged ? tavik_sign_ctx_hedged : tavik_sign_ctx;
  const int32_t rc = sign(sk, reinterpret_cast<const uint8_t *>(TAVIK_HYBRID_TAVIK_CONTEXT),
                          TAVIK_HYBRID_TAVIK_CONTEXT_BYTES, rep.bytes, rep.len, out);
  if (rc == TAVIK_OK) std::memcpy(sig, out, sizeof out);
  secure_wipe(out, sizeof out);
  // The Ed25519 signing's dead frames (its nonce's and its scalar's arithmetic) below this one.
  scrub_stack<4096>();
  return rc;
}

uint32_t verify_representative(const uint8_t *pk, const uint8_t *sig, const Representative &rep) {
  uint32_t failed = 0;
  if (tavik_verify_ctx(pk, reinterpret_cast<const uint8_t *>(TAVIK_HYBRID_TAVIK_CONTEXT),
                       TAVIK_HYBRID_TAVIK_CONTEXT_BYTES, sig, TAVIK_SIG_BYTES, rep.bytes, rep.len) != TAVIK_OK)
    failed |= TAVIK_HYBRID_TAVIK_HALF;
  if (crypto_sign_ed25519_verify_detached(sig + TAVIK_HYBRID_SIG_ED25519_OFFSET, rep.bytes, rep.len,
                                          pk + TAVIK_HYBRID_PK_ED25519_OFFSET) != 0)
    failed |= TAVIK_HYBRID_ED25519_HALF;
  return failed;
}

}  // namespace tavik::hybrid
