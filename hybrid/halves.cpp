#include "halves.h"

#include <sodium.h>

#include <cstring>

#include "ct.h"
#include "wipe.h"

// libsodium's Ed25519 with seeds and its SHA-512 need no sodium_init(): it chooses among
// implementations of other primitives and opens libsodium's own random source, which none of
// these calls use.
//
// The constant-time check: under valgrind, libsodium's code is followed like the library's own,
// and what it derives from the seed comes out secret. Under MemorySanitizer it is not
// instrumented: what it writes keeps the marks its buffer had. So every output of libsodium is
// marked for what it is as it returns (public_from_sodium, secret_from_sodium below).

namespace tavik::hybrid {

bool ed25519_key_of(Ed25519Key &key, const uint8_t *sk) {
  uint8_t rebuilt[TAVIK_HYBRID_ED25519_PK_BYTES];
  uint8_t seed[TAVIK_HYBRID_ED25519_SEED_BYTES];
  std::memcpy(seed, sk + TAVIK_HYBRID_SK_ED25519_SEED_OFFSET, sizeof seed);
  crypto_sign_ed25519_seed_keypair(rebuilt, key.seed_pk, seed);
  public_from_sodium(rebuilt, sizeof rebuilt);
  secret_from_sodium(key.seed_pk, TAVIK_HYBRID_ED25519_SEED_BYTES);
  public_from_sodium(key.seed_pk + TAVIK_HYBRID_ED25519_SEED_BYTES, TAVIK_HYBRID_ED25519_PK_BYTES);
  secure_wipe(seed, sizeof seed);
  // Whether the stored public key is the seed's is public: a key whose halves disagree is refused.
  const uint32_t differs = ct::declassify(
      ct::differ(rebuilt, sk + TAVIK_HYBRID_SK_ED25519_PK_OFFSET, TAVIK_HYBRID_ED25519_PK_BYTES));
  if (differs != 0) {
    secure_wipe(key.seed_pk, sizeof key.seed_pk);
    return false;
  }
  return true;
}

void message_hash(uint8_t digest[TAVIK_HYBRID_MESSAGE_HASH_BYTES], const uint8_t *msg, uint64_t msglen) {
  crypto_hash_sha512_state h;
  crypto_hash_sha512_init(&h);
  if (msglen > 0) crypto_hash_sha512_update(&h, msg, msglen);
  crypto_hash_sha512_final(&h, digest);
  public_from_sodium(digest, TAVIK_HYBRID_MESSAGE_HASH_BYTES);
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
