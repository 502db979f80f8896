// Ed25519 halves found intact, remembered so that signing again with the same key skips rebuilding
// its public key from the seed (a scalar multiplication: about a fifth of a hybrid signature).
#pragma once
#include <cstdint>

#include "tavik_hybrid.h"

namespace tavik::hybrid {

inline constexpr unsigned kMemoKeys = 8;

// seed_pk: an Ed25519 seed followed by its public key (64 bytes). True when these bytes were
// remembered as intact in this process; false when not, or when the process has no memo key.
bool ed25519_remembered(const uint8_t *seed_pk);
// Remembers seed_pk, which was just found intact, in place of the oldest of kMemoKeys.
void ed25519_remember(const uint8_t *seed_pk);

}  // namespace tavik::hybrid
