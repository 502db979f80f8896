// NEON bit-plane packer and unpacker (layout in io_planes.h), two groups of eight coefficients a
// step.
//
// The 16 stored values of the two groups sit in four registers. For each byte k of the values
// (planes 8k .. 8k + 7), one table lookup gathers byte k of all 16 into one register (group g in
// the low half, g + 1 in the high half). Plane b of that byte is then a bit test of every lane
// against 1 << b, masked with the weight 1 << (lane % 8) of the value's place in its group; three
// rounds of pairwise adds sum the eight weights of each half, and of the eight planes at once:
// lane 2b + h of the result is plane 8k + b of group g + h. An unzip separates the two groups.
// The same transpose of the planes gives the bytes of the values back.
#include <arm_neon.h>

#include <cstdint>
#include <cstring>

#include "neon/kernels_neon.h"
#include "rules/io_planes.h"

namespace tavik {
namespace {

// Byte k of value i (i < 16) of four registers of 32-bit values, at lane i.
template <uint32_t k>
constexpr uint8x16_t byte_k = {k,      4 + k,  8 + k,  12 + k, 16 + k, 20 + k, 24 + k, 28 + k,
                               32 + k, 36 + k, 40 + k, 44 + k, 48 + k, 52 + k, 56 + k, 60 + k};

// The 8x8 bit transposes of the two halves of x at once: lane j (< 8) of the result is the byte
// whose bit i is bit j of lane i of x, lane 8 + j the same for lanes 8 + i. Bits j >= bits are
// taken as zero (their lanes read 0).
template <uint32_t bits>
inline uint8x16_t transpose_halves(uint8x16_t x) {
  const uint8x16_t weight = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  uint8x16_t t[8];
  for (uint32_t b = 0; b < 8; ++b)
    t[b] = b < bits ? vandq_u8(vtstq_u8(x, vdupq_n_u8(uint8_t(1u << b))), weight) : vdupq_n_u8(0);
  const uint8x16_t p01 = vpaddq_u8(t[0], t[1]), p23 = vpaddq_u8(t[2], t[3]);
  const uint8x16_t p45 = vpaddq_u8(t[4], t[5]), p67 = vpaddq_u8(t[6], t[7]);
  const uint8x16_t all = vpaddq_u8(vpaddq_u8(p01, p23), vpaddq_u8(p45, p67));  // lane 2j + half
  return vuzp1q_u8(all, vextq_u8(all, all, 1));
}

// Planes 8k .. 8k + count - 1 of the two groups whose byte k is x: count bytes of group g at
// lo, of group g + 1 at hi.
template <uint32_t count>
inline void planes_of_byte(uint8_t *lo, uint8_t *hi, uint8x16_t x) {
  uint8_t bytes[16];
  vst1q_u8(bytes, transpose_halves<count>(x));
  std::memcpy(lo, bytes, count);
  std::memcpy(hi, bytes + 8, count);
}

template <uint32_t CLS>
void pack_planes_class(uint8_t *out, const uint32_t *in) {
  constexpr uint32_t W = uint32_t(IO_var_table[CLS].width);
  constexpr int32_t OFF = IO_var_table[CLS].offset;
  for (uint32_t g = 0; g < N / 8; g += 2, in += 16, out += 2 * W) {
    uint8x16x4_t v;
    for (uint32_t r = 0; r < 4; ++r) {
      uint32x4_t x = vld1q_u32(in + 4 * r);
      if constexpr (io_is_offset_class(CLS)) {
        // off + x, less Q where x (read as signed) is above off.
        const uint32x4_t above = vcgtq_s32(vreinterpretq_s32_u32(x), vdupq_n_s32(OFF));
        x = vsubq_u32(vaddq_u32(x, vdupq_n_u32(uint32_t(OFF))), vandq_u32(above, vdupq_n_u32(Q)));
      }
      v.val[r] = vreinterpretq_u8_u32(x);
    }
    for_each_word<plane_words<W>>([&](auto k) {
      constexpr uint32_t K = decltype(k)::value;
      planes_of_byte<planes_in_word<W>(K)>(out + 8 * K, out + W + 8 * K, vqtbl4q_u8(v, byte_k<K>));
    });
  }
}

// Class CLS: 2 groups a step, each word of up to 8 planes of both transposed back into byte k of
// the 16 values, which four zips spread to 32-bit lanes; planes above W read as 0.
template <uint32_t CLS>
void unpack_planes_class(uint32_t *out, const uint8_t *in) {
  constexpr uint32_t W = uint32_t(IO_var_table[CLS].width);
  constexpr uint32_t SHIFT = CLS == IO_T1 ? D : 0;
  constexpr uint32_t ADD = io_is_offset_class(CLS) ? Q - uint32_t(IO_var_table[CLS].offset) : 0;
  constexpr uint32_t WORDS = plane_words<W>;
  static_assert(WORDS <= 3);
  for (uint32_t g = 0; g < N / 8; g += 2, in += 2 * W, out += 16) {
    uint8x16_t r[3] = {vdupq_n_u8(0), vdupq_n_u8(0), vdupq_n_u8(0)};
    for_each_word<WORDS>([&](auto k) {
      constexpr uint32_t K = decltype(k)::value, C = planes_in_word<W>(K);
      uint8_t planes[16] = {};
      std::memcpy(planes, in + 8 * K, C);
      std::memcpy(planes + 8, in + W + 8 * K, C);
      r[K] = transpose_halves<8>(vld1q_u8(planes));
    });
    const uint8x16_t zero = vdupq_n_u8(0);
    const uint16x8_t b01[2] = {vreinterpretq_u16_u8(vzip1q_u8(r[0], r[1])), vreinterpretq_u16_u8(vzip2q_u8(r[0], r[1]))};
    const uint16x8_t b2[2] = {vreinterpretq_u16_u8(vzip1q_u8(r[2], zero)), vreinterpretq_u16_u8(vzip2q_u8(r[2], zero))};
    for (uint32_t h = 0; h < 2; ++h) {
      const uint32x4_t lo = vreinterpretq_u32_u16(vzip1q_u16(b01[h], b2[h]));
      const uint32x4_t hi = vreinterpretq_u32_u16(vzip2q_u16(b01[h], b2[h]));
      vst1q_u32(out + 8 * h, vaddq_u32(vshlq_n_u32(lo, SHIFT), vdupq_n_u32(ADD)));
      vst1q_u32(out + 8 * h + 4, vaddq_u32(vshlq_n_u32(hi, SHIFT), vdupq_n_u32(ADD)));
    }
  }
}

}  // namespace

void pack_planes_neon(uint8_t *out, const uint32_t *in, uint32_t cls) {
  with_class(cls, [&](auto c) { pack_planes_class<decltype(c)::value>(out, in); });
}

}  // namespace tavik

namespace tavik {

void unpack_planes_neon(uint32_t *out, const uint8_t *in, uint32_t cls) {
  with_class(cls, [&](auto c) { unpack_planes_class<decltype(c)::value>(out, in); });
}

}  // namespace tavik
