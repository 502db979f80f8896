// The portable bit-plane packer and unpacker (layout in io_planes.h). Contracts in kernels.h.
#include <cstddef>
#include <cstdint>

#include "rules/io_planes.h"
#include "scalar/kernels_scalar.h"

namespace tavik {
namespace {


// 8x8 bit-matrix transpose: bit j of byte i of the result is bit i of byte j of x.
inline uint64_t transpose8x8(uint64_t x) {
  uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
  x ^= t ^ (t << 7);
  t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
  x ^= t ^ (t << 14);
  t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
  x ^= t ^ (t << 28);
  return x;
}

// The 8 values of a group are held as four pairs: pair j has value j in its low half and value
// j + 4 in its high half, so one mask picks a byte of two values at once.
constexpr uint64_t PAIR_BYTE = 0x000000FF000000FFull;

// Class CLS: 256 coefficients -> 32 * W bytes. Per group, byte k of the 8 stored values is
// gathered into one word (value j in byte j) whose transpose is bit planes 8k .. 8k + 7.
template <uint32_t CLS>
void pack_planes_class(uint8_t *out, const uint32_t *in) {
  constexpr uint32_t W = uint32_t(IO_var_table[CLS].width);
  constexpr int32_t OFF = IO_var_table[CLS].offset;
  for (uint32_t g = 0; g < N / 8; ++g, in += 8, out += W) {
    uint64_t pair[4];
    for (uint32_t j = 0; j < 4; ++j) {
      const uint32_t lo = io_is_offset_class(CLS) ? io_stored_value(in[j], OFF) : in[j];
      const uint32_t hi = io_is_offset_class(CLS) ? io_stored_value(in[j + 4], OFF) : in[j + 4];
      pair[j] = lo | uint64_t(hi) << 32;
    }
    for_each_word<plane_words<W>>([&](auto k) {
      uint64_t x = 0;
      for (uint32_t j = 0; j < 4; ++j) x |= ((pair[j] >> (8 * k)) & PAIR_BYTE) << (8 * j);
      store_le<planes_in_word<W>(k)>(out + 8 * k, transpose8x8(x));
    });
  }
}

// Class CLS: 32 * W bytes -> 256 coefficients. Per group, each word of up to 8 planes is
// transposed back into byte k of the 8 stored values; planes above W read as 0.
template <uint32_t CLS>
void unpack_planes_class(uint32_t *out, const uint8_t *in) {
  constexpr uint32_t W = uint32_t(IO_var_table[CLS].width);
  constexpr uint32_t SHIFT = CLS == IO_T1 ? D : 0;
  constexpr uint32_t ADD = io_is_offset_class(CLS) ? Q - uint32_t(IO_var_table[CLS].offset) : 0;
  for (uint32_t g = 0; g < N / 8; ++g, in += W, out += 8) {
    uint64_t pair[4] = {};
    for_each_word<plane_words<W>>([&](auto k) {
      const uint64_t x = transpose8x8(load_le<planes_in_word<W>(k)>(in + 8 * k));
      for (uint32_t j = 0; j < 4; ++j) pair[j] |= ((x >> (8 * j)) & PAIR_BYTE) << (8 * k);
    });
    for (uint32_t j = 0; j < 4; ++j) {
      out[j] = (uint32_t(pair[j]) << SHIFT) + ADD;
      out[j + 4] = (uint32_t(pair[j] >> 32) << SHIFT) + ADD;
    }
  }
}

}  // namespace

void pack_planes_scalar(uint8_t *out, const uint32_t *in, uint32_t cls) {
  with_class(cls, [&](auto c) { pack_planes_class<decltype(c)::value>(out, in); });
}

// in: 32 * W bytes -> all 256 coefficients: Q + s (classes 0, 1, 3, 4), t1 << 13 (class 2),
// w1 (class 5). cls in 0..5 (any other value writes nothing). out must not overlap in.
void unpack_planes_scalar(uint32_t *out, const uint8_t *in, uint32_t cls) {
  with_class(cls, [&](auto c) { unpack_planes_class<decltype(c)::value>(out, in); });
}

}  // namespace tavik
