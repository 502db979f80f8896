// What the hybrid calls share: the Ed25519 half's key check and signing, both halves' signing and
// verification of a representative, and the argument checks.
#pragma once
#include <cstddef>
#include <cstdint>

#include "representative.h"
#include "tavik_hybrid.h"

namespace tavik::hybrid {

// True when [a, a + an) and [b, b + bn) share a byte.
inline bool overlaps(const void *a, size_t an, const void *b, size_t bn) {
  const auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
  return an > 0 && bn > 0 && x < y + bn && y < x + an;
}

// The Ed25519 key of a hybrid secret key, as libsodium signs with it: seed || public key.
struct Ed25519Key {
  uint8_t seed_pk[TAVIK_HYBRID_ED25519_SEED_BYTES + TAVIK_HYBRID_ED25519_PK_BYTES];
};

// Reads the Ed25519 seed and public key stored in sk into key, and checks that the public key is
// the seed's: remembered from an earlier call (key_memo.h), or rebuilt from the seed and compared.
// True when they agree (key then holds the secret seed: wipe it), false (key wiped) when not.
bool ed25519_key_of(Ed25519Key &key, const uint8_t *sk);

// Signs rep with both halves into sig (TAVIK_HYBRID_SIG_BYTES, written only on success): the
// Ed25519 half with key, the tavik half with the tavik secret key at the start of sk, hedged or
// not. The tavik call's code: 0, -2 (a damaged tavik half), -3 or -4.
int32_t sign_representative(const uint8_t *sk, const Ed25519Key &key, const Representative &rep, bool hedged,
                            uint8_t *sig);

// Verifies both halves of sig over rep under pk; the TAVIK_HYBRID_*_HALF bits of those that fail.
uint32_t verify_representative(const uint8_t *pk, const uint8_t *sig, const Representative &rep);

}  // namespace tavik::hybrid
