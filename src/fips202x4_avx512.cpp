// Keccak-f[1600] with AVX-512: four interleaved states on 256-bit registers (AVX-512VL) and eight
// on 512-bit registers. Rotations are one vprolq; the column parities and the chi step are one
// or two ternary-logic instructions; 32 vector registers hold the whole state without spills.
#include "fips202x4_internal.h"

#if TAVIK_FIPS202X4_AVX512

#include <immintrin.h>

#include "fips202.h"
#include "fips202_internal.h"
#include "fips202x4_simd.h"
#include "keccak_rounds.h"

namespace tavik {
namespace {

// Truth tables of the ternary-logic instruction, bit (a << 2 | b << 1 | c) of the immediate.
constexpr int XOR3 = 0x96;  // a ^ b ^ c
constexpr int CHI = 0xD2;   // a ^ (~b & c)

// Four states on 256-bit registers.
struct Avx512VlLaneOps {
  using V = __m256i;
  static constexpr int W = 4;
  static V load(const uint64_t *p) { return _mm256_loadu_si256(reinterpret_cast<const V *>(p)); }
  static void store(uint64_t *p, V v) { _mm256_storeu_si256(reinterpret_cast<V *>(p), v); }
  static V bcast(uint64_t x) { return _mm256_set1_epi64x((long long)x); }
  static V xor2(V a, V b) { return _mm256_xor_si256(a, b); }
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

void KeccakF1600_StatePermute_avx512(uint64_t state[25]) { keccak_permute_lanes<Avx512VlSingleOps>(state); }

void KeccakF1600_StatePermute4x_avx512(uint64_t s[100]) { keccak_permute_lanes<Avx512VlLaneOps>(s); }

void keccakx4_absorb_avx512(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                            const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  keccakx4_absorb_with<KeccakF1600_StatePermute4x_avx512>(s, r, in0, in1, in2, in3, inlen);
}

void keccakx4_squeezeblocks_avx512(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                                   uint64_t nblocks, uint64_t s[100], size_t r) {
  keccakx4_squeezeblocks_with<KeccakF1600_StatePermute4x_avx512>(out0, out1, out2, out3, nblocks, s, r);
}

void KeccakF1600_StatePermute8x_avx512(uint64_t s[200]) { keccak_permute_lanes<Avx512LaneOps>(s); }

}  // namespace tavik

#endif  // TAVIK_FIPS202X4_AVX512
