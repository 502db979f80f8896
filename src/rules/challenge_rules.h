// The inside-out shuffle of the challenge, driven once for every form of its sets: for k < 60,
// in turn, position 196 + k takes the value at the drawn position b, and b takes +1 or -1 by sign
// bit k. Sets supplies place(b, i, negative) (negative all ones or 0), expand(c) and wipe(), and
// touches no position through an index. Internal linkage, as every rules header.
#pragma once
#include <cstdint>

#include "ct.h"
#include "params.h"

namespace tavik {
namespace {

template <typename Sets>
void shuffle_challenge(uint32_t *c, const uint8_t *positions, uint64_t signs) {
  Sets sets;
  for (uint32_t k = 0; k < TAU; ++k) sets.place(positions[k], N - TAU + k, ct::mask_bit(uint32_t(signs >> k)));
  sets.expand(c);
  sets.wipe();
}

}  // namespace
}  // namespace tavik
