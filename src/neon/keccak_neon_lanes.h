// The Keccak kernels of the NEON path written once for both of its forms: two states in the two
// 64-bit halves of a register, with NEON alone (rotation as a shift and a shift-insert, chi as an
// and-not and an exclusive or) or with the SHA-3 instructions (EOR3 for the column parities, RAX1
// for theta's rotated parities, XAR for theta's sum rotated, BCAX for chi). Included by
// keccak_neon.cpp and keccak_sha3_neon.cpp only, each defining TAVIK_NEON_SHA3 (0 or 1) and
// TAVIK_NEON_SFX (the kernels' name suffix) first; internal linkage, so each file keeps its own.
#pragma once
#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

#include "neon/kernels_neon.h"
#include "rules/keccak_rounds.h"
#include "rules/keccak_sponge.h"

namespace tavik {
namespace {

// Lane i of two states at p and p + 1 (Stride words between lanes i and i + 1); with Single,
// lane i of one state in the low half (the high half is garbage that never reaches memory).
template <int Stride, bool Sha3, bool Single = false>
struct NeonLaneOps {
  using V = uint64x2_t;
  static constexpr int W = Stride;
  static constexpr bool FUSED = Sha3;
  static V load(const uint64_t *p) {
    if constexpr (Single) return vld1q_dup_u64(p);
    else return vld1q_u64(p);
  }
  static void store(uint64_t *p, V v) {
    if constexpr (Single) vst1q_lane_u64(p, v, 0);
    else vst1q_u64(p, v);
  }
  static V bcast(uint64_t x) { return vdupq_n_u64(x); }
  static V xor2(V a, V b) { return veorq_u64(a, b); }
#if TAVIK_NEON_SHA3
  static V xor5(V a, V b, V c, V d, V e) { return veor3q_u64(veor3q_u64(a, b, c), d, e); }
  static V chi(V a, V b, V c) { return vbcaxq_u64(a, c, b); }  // a ^ (c & ~b)
  template <int n>
  static V rol_xor(V a, V b) {
    return vxarq_u64(a, b, 64 - n);  // (a ^ b) rotated right by 64 - n
  }
  static V xor_rol1(V a, V b) { return vrax1q_u64(a, b); }
  template <int n>
  static V rol(V a) {
    return vxarq_u64(a, vdupq_n_u64(0), 64 - n);
  }
#else
  static V xor5(V a, V b, V c, V d, V e) { return veorq_u64(veorq_u64(veorq_u64(a, b), veorq_u64(c, d)), e); }
  static V chi(V a, V b, V c) { return veorq_u64(a, vbicq_u64(c, b)); }
  template <int n>
  static V rol(V a) {
    static_assert(n > 0 && n < 64);
    return vsriq_n_u64(vshlq_n_u64(a, n), a, 64 - n);
  }
#endif
};

using Pair4 = NeonLaneOps<4, TAVIK_NEON_SHA3 != 0>;
using Pair8 = NeonLaneOps<8, TAVIK_NEON_SHA3 != 0>;
#if TAVIK_NEON_SHA3
using One = NeonLaneOps<1, true, true>;
#else
using One = ScalarLaneOps<1, false>;  // and-not (BIC) and rotation (ROR) are single instructions
#endif

}  // namespace

#define TAVIK_NEON_NAME2(a, b) a##b
#define TAVIK_NEON_NAME(a, b) TAVIK_NEON_NAME2(a, b)
#define TAVIK_NEON_FN(name) TAVIK_NEON_NAME(name, TAVIK_NEON_SFX)

void TAVIK_NEON_FN(keccak_permute_)(uint64_t s[25]) { keccak_permute_lanes<One>(s); }

void TAVIK_NEON_FN(keccak_permute4x_)(uint64_t s[100]) {
  keccak_permute_lanes<Pair4>(s);
  keccak_permute_lanes<Pair4>(s + 2);
}

// The single state rides beside the first pair: in the general registers beside the vector ones
// on NEON alone; with SHA-3 both are vector work, and the interleaving still overlaps their chains.
void TAVIK_NEON_FN(keccak_permute4x1_)(uint64_t s[100], uint64_t t[25]) {
  keccak_permute_lanes_beside<Pair4, One>(s, t);
  keccak_permute_lanes<Pair4>(s + 2);
}

void TAVIK_NEON_FN(keccak_permute8x_)(uint64_t s[200]) {
  for (size_t j = 0; j < 8; j += 2) keccak_permute_lanes<Pair8>(s + j);
}

void TAVIK_NEON_FN(keccak_permute8x1_)(uint64_t s[200], uint64_t t[25]) {
  keccak_permute_lanes_beside<Pair8, One>(s, t);
  for (size_t j = 2; j < 8; j += 2) keccak_permute_lanes<Pair8>(s + j);
}

namespace {
// The sponge's lane set (keccak_sponge.h) on W interleaved states: a lane of states j and j + 1
// is one 16-byte load, its two words go to (or come from) their outputs (inputs) one each.
// Little-endian only, as the whole path: a word's bytes are its memory.
template <size_t Width>
struct NeonWordLanes {
  static constexpr size_t W = Width;
  void (*permute)(uint64_t *s);
  static void xor_words(uint64_t *s, const uint8_t *const *in, uint64_t pos, size_t words) {
    for (size_t i = 0; i < words; ++i) {
      for (size_t j = 0; j < W; j += 2) {
        const uint64x2_t x = vreinterpretq_u64_u8(vcombine_u8(vld1_u8(in[j] + pos + 8 * i), vld1_u8(in[j + 1] + pos + 8 * i)));
        vst1q_u64(s + W * i + j, veorq_u64(vld1q_u64(s + W * i + j), x));
      }
    }
  }
  static void store_words(uint8_t *const *out, uint64_t pos, const uint64_t *s, size_t words) {
    for (size_t i = 0; i < words; ++i) {
      for (size_t j = 0; j < W; j += 2) {
        const uint64x2_t v = vld1q_u64(s + W * i + j);
        vst1_u8(out[j] + pos + 8 * i, vreinterpret_u8_u64(vget_low_u64(v)));
        vst1_u8(out[j + 1] + pos + 8 * i, vreinterpret_u8_u64(vget_high_u64(v)));
      }
    }
  }
};

constexpr NeonWordLanes<4> NEON_LANES4{TAVIK_NEON_FN(keccak_permute4x_)};
constexpr NeonWordLanes<8> NEON_LANES8{TAVIK_NEON_FN(keccak_permute8x_)};
}  // namespace

void TAVIK_NEON_FN(keccak_absorb4x_)(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                                     const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  sponge_absorb4x(NEON_LANES4, s, r, in0, in1, in2, in3, inlen);
}

void TAVIK_NEON_FN(keccak_squeeze4x_)(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                                      uint64_t nblocks, uint64_t s[100], size_t r) {
  sponge_squeezeblocks4x(NEON_LANES4, out0, out1, out2, out3, nblocks, s, r);
}

void TAVIK_NEON_FN(keccak_extract4x_)(uint8_t *const out[4], const uint64_t *s) {
  sponge_extract(NEON_LANES4, out, s);
}

void TAVIK_NEON_FN(keccak_extract8x_)(uint8_t *const out[8], const uint64_t *s) {
  sponge_extract(NEON_LANES8, out, s);
}

#undef TAVIK_NEON_FN
#undef TAVIK_NEON_NAME
#undef TAVIK_NEON_NAME2

}  // namespace tavik
