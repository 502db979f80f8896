// What the 128-bit kernels (four 32-bit lanes a register: neon, simd128) share: the order of the
// transform's twiddles in their two lowest levels, and the table that moves accepted lanes to the
// front in the rejection steps. Tables only, computed at compile time; each path builds its
// registers from them with its own instructions.
#pragma once
#include <cstdint>

#include "rules/ntt_rules.h"

namespace tavik::lanes128 {

// The scalar twiddles of levels 2 and 1 for group g (coefficients 8g .. 8g + 7), in the lane order
// of two registers after a 64-bit interleave (level 2: lanes [c0 c1 c4 c5] against [c2 c3 c6 c7],
// blocks 2g and 2g + 1) and a 32-bit transpose (level 1: lanes [c0 c4 c2 c6] against
// [c1 c5 c3 c7], pairs 4g + 0, 2, 1, 3); the inverse uses them in the opposite order.
struct Level12 {
  uint32_t fwd2[4], fwd1[4], inv1[4], inv2[4];
};

constexpr Level12 level12_twiddles(uint32_t g) {
  using ntt_rules::zeta_fwd, ntt_rules::zeta_inv;
  return {{zeta_fwd(64 + 2 * g), zeta_fwd(64 + 2 * g), zeta_fwd(65 + 2 * g), zeta_fwd(65 + 2 * g)},
          {zeta_fwd(128 + 4 * g), zeta_fwd(130 + 4 * g), zeta_fwd(129 + 4 * g), zeta_fwd(131 + 4 * g)},
          {zeta_inv(4 * g), zeta_inv(4 * g + 2), zeta_inv(4 * g + 1), zeta_inv(4 * g + 3)},
          {zeta_inv(128 + 2 * g), zeta_inv(128 + 2 * g), zeta_inv(129 + 2 * g), zeta_inv(129 + 2 * g)}};
}

// For every 4-bit accept mask: the bytes of the accepted 32-bit lanes, in lane order, then
// indices that yield zero bytes (0xFF, out of range for both paths' byte lookups); and the number
// of accepted lanes.
struct CompactTable {
  uint8_t idx[16][16];
  uint32_t count[16];
};

constexpr CompactTable make_compact_table() {
  CompactTable t{};
  for (uint32_t m = 0; m < 16; ++m) {
    uint32_t k = 0;
    for (uint32_t lane = 0; lane < 4; ++lane) {
      if ((m >> lane) & 1) {
        for (uint32_t b = 0; b < 4; ++b) t.idx[m][4 * k + b] = uint8_t(4 * lane + b);
        ++k;
      }
    }
    for (uint32_t b = 4 * k; b < 16; ++b) t.idx[m][b] = 0xFF;
    t.count[m] = k;
  }
  return t;
}

alignas(16) inline constexpr CompactTable COMPACT = make_compact_table();
static_assert(COMPACT.count[15] == 4 && COMPACT.idx[10][0] == 4 && COMPACT.idx[10][4] == 12);

}  // namespace tavik::lanes128
