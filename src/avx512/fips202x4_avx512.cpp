// Keccak-f[1600] and the sponge's lane sets with AVX-512: four interleaved states on 256-bit
// registers (AVX-512VL), also with a fifth state beside them on general registers, and eight on
// 512-bit registers. Rotations are one vprolq; the column
// parities and the chi step are one or two ternary-logic instructions; 32 vector registers hold
// the whole state without spills.
#include "avx512/kernels_avx512.h"

#include "rules/keccak_rounds.h"
#include "rules/keccak_sponge.h"
#include "rules/keccak_ymm4_lanes.h"

namespace tavik {
inline namespace TAVIK_AVX512_ABI {
namespace {

// Truth tables of the ternary-logic instruction, bit (a << 2 | b << 1 | c) of the immediate.
constexpr int XOR3 = 0x96;  // a ^ b ^ c
constexpr int CHI = 0xD2;   // a ^ (~b & c)

// Four states on 256-bit registers.
struct Avx512VlLaneOps : Ymm4LaneOps {
  static V xor5(V a, V b, V c, V d, V e) {
    return _mm256_ternarylogic_epi64(_mm256_ternarylogic_epi64(a, b, c, XOR3), d, e, XOR3);
  }
  static V chi(V a, V b, V c) { return _mm256_ternarylogic_epi64(a, b, c, CHI); }
  template <int n>
  static V rol(V a) { return _mm256_rol_epi64(a, n); }
};

// Eight states on 512-bit registers.
struct Avx512LaneOps {
  using V = __m512i;
  static constexpr int W = 8;
  static V load(const uint64_t *p) { return _mm512_loadu_si512(p); }
  static void store(uint64_t *p, V v) { _mm512_storeu_si512(p, v); }
  static V bcast(uint64_t x) { return _mm512_set1_epi64((long long)x); }
  static V xor2(V a, V b) { return _mm512_xor_si512(a, b); }
  static V xor5(V a, V b, V c, V d, V e) {
    return _mm512_ternarylogic_epi64(_mm512_ternarylogic_epi64(a, b, c, XOR3), d, e, XOR3);
  }
  static V chi(V a, V b, V c) { return _mm512_ternarylogic_epi64(a, b, c, CHI); }
  // The masked form with every lane selected: the plain one passes an undefined vector that
  // some compilers warn about.
  template <int n>
  static V rol(V a) { return _mm512_maskz_rol_epi64(__mmask8(0xFF), a, n); }
};

// One state, one lane per 128-bit register: the same instruction count as four states, which
// on this path beats the scalar form (rotations and chi in one instruction each).
struct Avx512VlSingleOps {
  using V = __m128i;
  static constexpr int W = 1;
  static V load(const uint64_t *p) { return _mm_loadl_epi64(reinterpret_cast<const V *>(p)); }
  static void store(uint64_t *p, V v) { _mm_storel_epi64(reinterpret_cast<V *>(p), v); }
  static V bcast(uint64_t x) { return _mm_cvtsi64_si128((long long)x); }
  static V xor2(V a, V b) { return _mm_xor_si128(a, b); }
  static V xor5(V a, V b, V c, V d, V e) {
    return _mm_ternarylogic_epi64(_mm_ternarylogic_epi64(a, b, c, XOR3), d, e, XOR3);
  }
  static V chi(V a, V b, V c) { return _mm_ternarylogic_epi64(a, b, c, CHI); }
  template <int n>
  static V rol(V a) { return _mm_rol_epi64(a, n); }
};

}  // namespace

void keccak_permute_avx512(uint64_t s[25]) { keccak_permute_lanes<Avx512VlSingleOps>(s); }

void keccak_permute4x_avx512(uint64_t s[100]) { keccak_permute_lanes<Avx512VlLaneOps>(s); }

void keccak_permute4x1_avx512(uint64_t s[100], uint64_t t[25]) {
  keccak_permute_lanes_beside<Avx512VlLaneOps, ScalarLaneOps<>>(s, t);
}

void keccak_permute8x_avx512(uint64_t s[200]) { keccak_permute_lanes<Avx512LaneOps>(s); }

void keccak_permute8x1_avx512(uint64_t s[200], uint64_t t[25]) {
  keccak_permute_lanes_beside<Avx512LaneOps, ScalarLaneOps<>>(s, t);
}

namespace {

constexpr Ymm4Lanes<keccak_permute4x_avx512> LANES4;

// Plain shuffles through their masked forms with every lane selected (see Avx512LaneOps::rol).
constexpr __mmask8 ALL = 0xFF;
inline __m512i keccak_unpacklo(__m512i a, __m512i b) { return _mm512_maskz_unpacklo_epi64(ALL, a, b); }
inline __m512i keccak_unpackhi(__m512i a, __m512i b) { return _mm512_maskz_unpackhi_epi64(ALL, a, b); }
template <int imm>
inline __m512i keccak_blocks(__m512i a, __m512i b) { return _mm512_maskz_shuffle_i64x2(ALL, a, b, imm); }

// The sponge's lane set of eight states, for squeezing only (the job scheduler absorbs one state
// at a time): lanes leave eight at a time through an 8x8 transpose of eight rows, each row lane i
// of the eight states, into eight columns, column j the eight lanes of state j.
struct Zmm8Lanes {
  static constexpr size_t W = 8;
  static void permute(uint64_t *s) { keccak_permute8x_avx512(s); }
  // Rows i .. i + 7 are read whole (at most up to row 23 for words <= 21); a last group of fewer
  // than eight words stores only those.
  static void store_words(uint8_t *const *out, uint64_t pos, const uint64_t *s, size_t words) {
    for (size_t i = 0; i < words; i += 8) {
      __m512i r[8], t[8], c[8];
      for (size_t k = 0; k < 8; ++k) r[k] = _mm512_loadu_si512(s + 8 * (i + k));
      for (size_t k = 0; k < 8; k += 2) {
        t[k] = keccak_unpacklo(r[k], r[k + 1]);
        t[k + 1] = keccak_unpackhi(r[k], r[k + 1]);
      }
      for (size_t odd = 0; odd < 2; ++odd) {
        const __m512i u0 = keccak_blocks<0x88>(t[odd], t[odd + 2]);  // 128-bit blocks 0, 2 of each
        const __m512i u1 = keccak_blocks<0x88>(t[odd + 4], t[odd + 6]);
        const __m512i u2 = keccak_blocks<0xDD>(t[odd], t[odd + 2]);  // blocks 1, 3 of each
        const __m512i u3 = keccak_blocks<0xDD>(t[odd + 4], t[odd + 6]);
        c[odd] = keccak_blocks<0x88>(u0, u1);
        c[odd + 4] = keccak_blocks<0xDD>(u0, u1);
        c[odd + 2] = keccak_blocks<0x88>(u2, u3);
        c[odd + 6] = keccak_blocks<0xDD>(u2, u3);
      }
      const __mmask8 keep = words - i >= 8 ? ALL : __mmask8((1u << (words - i)) - 1);
      for (size_t j = 0; j < W; ++j) _mm512_mask_storeu_epi64(out[j] + pos + 8 * i, keep, c[j]);
    }
  }
};

}  // namespace

void keccak_absorb4x_avx512(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                            const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  sponge_absorb4x(LANES4, s, r, in0, in1, in2, in3, inlen);
}

void keccak_squeeze4x_avx512(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                             uint64_t nblocks, uint64_t s[100], size_t r) {
  sponge_squeezeblocks4x(LANES4, out0, out1, out2, out3, nblocks, s, r);
}

void keccak_extract4x_avx512(uint8_t *const out[4], const uint64_t s[100]) { sponge_extract(LANES4, out, s); }

void keccak_extract8x_avx512(uint8_t *const out[8], const uint64_t s[200]) { sponge_extract(Zmm8Lanes{}, out, s); }

}  // namespace TAVIK_AVX512_ABI
}  // namespace tavik
