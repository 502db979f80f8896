// WebAssembly SIMD bit-plane packer (layout in io_planes.h), two groups of eight coefficients a
// step. The 16 stored values of the two groups sit in four registers; for each byte k of the
// values (planes 8k .. 8k + 7), three byte shuffles gather byte k of all 16 into one register
// (group g in the low half, g + 1 in the high half). The top bit of every byte lane is then one
// plane of both groups at once: i8x16.bitmask gives its 16 bits (group g's plane byte low, group
// g + 1's high), and adding the register to itself brings up the next plane down. Planes at or
// above the class's width are shifted out before the first.
#include <cstdint>

#include "rules/io_planes.h"
#include "simd128/kernels_simd128.h"
#include "simd128/v128.h"

namespace tavik {
namespace {

using V = v128_t;

// Byte K of each of the 16 values in v[0..4), value i at lane i.
template <uint32_t K>
inline V byte_k(const V *v) {
  const V ab = wasm_i8x16_shuffle(v[0], v[1], K, 4 + K, 8 + K, 12 + K, 16 + K, 20 + K, 24 + K, 28 + K, K, K, K, K,
                                  K, K, K, K);
  const V cd = wasm_i8x16_shuffle(v[2], v[3], K, 4 + K, 8 + K, 12 + K, 16 + K, 20 + K, 24 + K, 28 + K, K, K, K, K,
                                  K, K, K, K);
  return wasm_i8x16_shuffle(ab, cd, 0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23);
}

// Planes 8K .. 8K + C - 1 of the two groups whose byte K is x: C bytes of group g at lo, of
// group g + 1 at hi.
template <uint32_t C>
inline void planes_of_byte(uint8_t *lo, uint8_t *hi, V x) {
  if constexpr (C < 8) x = wasm_i8x16_shl(x, 8 - C);
  for (uint32_t b = C; b-- > 0;) {
    const uint32_t bits = uint32_t(wasm_i8x16_bitmask(x));
    lo[b] = uint8_t(bits);
    hi[b] = uint8_t(bits >> 8);
    x = wasm_i8x16_add(x, x);
  }
}

template <uint32_t CLS>
void pack_planes_class(uint8_t *out, const uint32_t *in) {
  constexpr uint32_t W = uint32_t(IO_var_table[CLS].width);
  constexpr int32_t OFF = IO_var_table[CLS].offset;
  for (uint32_t g = 0; g < N / 8; g += 2, in += 16, out += 2 * W) {
    V v[4];
    for (uint32_t r = 0; r < 4; ++r) {
      V x = wasm_v128_load(in + 4 * r);
      if constexpr (io_is_offset_class(CLS)) {
        // off + x, less Q where x (read as signed) is above off.
        const V above = wasm_i32x4_gt(x, wasm_i32x4_splat(OFF));
        x = wasm_i32x4_sub(wasm_i32x4_add(x, wasm_i32x4_splat(OFF)), wasm_v128_and(above, wasm_i32x4_splat(int32_t(Q))));
      }
      v[r] = x;
    }
    for_each_word<plane_words<W>>([&](auto k) {
      constexpr uint32_t K = decltype(k)::value;
      planes_of_byte<planes_in_word<W>(K)>(out + 8 * K, out + W + 8 * K, byte_k<K>(v));
    });
  }
}

}  // namespace

void pack_planes_simd128(uint8_t *out, const uint32_t *in, uint32_t cls) {
  with_class(cls, [&](auto c) { pack_planes_class<decltype(c)::value>(out, in); });
}

}  // namespace tavik
