// Absorbing into and squeezing out of four interleaved Keccak states with 256-bit transposes,
// shared by the AVX2 and AVX-512 files, each passing its own four-state permutation. Internal
// linkage: every including file compiles its own copy for its instruction set.
#pragma once
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fips202.h"

namespace tavik {
namespace {

// The lane operations of keccak_rounds.h that are the same on AVX2 and AVX-512VL: four states,
// one 256-bit register per lane index. Each file adds xor5, chi and rol for its instruction set.
struct Ymm4LaneOps {
  using V = __m256i;
  static constexpr int W = 4;
  static V load(const uint64_t *p) { return _mm256_loadu_si256(reinterpret_cast<const V *>(p)); }
  static void store(uint64_t *p, V v) { _mm256_storeu_si256(reinterpret_cast<V *>(p), v); }
  static V bcast(uint64_t x) { return _mm256_set1_epi64x((long long)x); }
  static V xor2(V a, V b) { return _mm256_xor_si256(a, b); }
};

// Loads / stores the four words p[0..3] (any alignment).
inline __m256i load4(const uint64_t *p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

inline void store4(uint64_t *p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v);
}

// Transposes a 4x4 matrix of 64-bit words held as four rows.
inline void transpose4(__m256i &r0, __m256i &r1, __m256i &r2, __m256i &r3) {
  const __m256i t0 = _mm256_unpacklo_epi64(r0, r1);  // r0[0] r1[0] r0[2] r1[2]
  const __m256i t1 = _mm256_unpackhi_epi64(r0, r1);  // r0[1] r1[1] r0[3] r1[3]
  const __m256i t2 = _mm256_unpacklo_epi64(r2, r3);
  const __m256i t3 = _mm256_unpackhi_epi64(r2, r3);
  r0 = _mm256_permute2x128_si256(t0, t2, 0x20);
  r1 = _mm256_permute2x128_si256(t1, t3, 0x20);
  r2 = _mm256_permute2x128_si256(t0, t2, 0x31);
  r3 = _mm256_permute2x128_si256(t1, t3, 0x31);
}

// The 8 bytes at p as a little-endian word.
inline uint64_t load64(const uint8_t *p) {
  uint64_t v;
  std::memcpy(&v, p, 8);  // x86-64 is little-endian, as the lane byte order requires
  return v;
}

// XORs lanes [from, to) of the four inputs (8 bytes per lane, all inside the inputs) into s.
inline void xor_lanes(uint64_t s[100], size_t from, size_t to, const uint8_t *in0,
                      const uint8_t *in1, const uint8_t *in2, const uint8_t *in3) {
  size_t i = from;
  for (; i + 4 <= to; i += 4) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in0 + 8 * i));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in1 + 8 * i));
    __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in2 + 8 * i));
    __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in3 + 8 * i));
    transpose4(a, b, c, d);
    store4(s + 4 * i, _mm256_xor_si256(load4(s + 4 * i), a));
    store4(s + 4 * i + 4, _mm256_xor_si256(load4(s + 4 * i + 4), b));
    store4(s + 4 * i + 8, _mm256_xor_si256(load4(s + 4 * i + 8), c));
    store4(s + 4 * i + 12, _mm256_xor_si256(load4(s + 4 * i + 12), d));
  }
  for (; i < to; ++i) {
    const __m256i v = _mm256_setr_epi64x((long long)load64(in0 + 8 * i),
                                         (long long)load64(in1 + 8 * i),
                                         (long long)load64(in2 + 8 * i),
                                         (long long)load64(in3 + 8 * i));
    store4(s + 4 * i, _mm256_xor_si256(load4(s + 4 * i), v));
  }
}

template <void (*Permute)(uint64_t *)>
inline void keccakx4_absorb_with(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                          const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  const __m256i zero = _mm256_setzero_si256();
  for (size_t i = 0; i < 100; i += 4) store4(s + i, zero);
  const size_t lanes = r / 8;
  uint64_t pos = 0;
  while (inlen - pos >= r) {
    xor_lanes(s, 0, lanes, in0 + pos, in1 + pos, in2 + pos, in3 + pos);
    Permute(s);
    pos += r;
  }
  // The last 0 to r-1 bytes straight into the lanes: whole words of input, one word with the last
  // rest % 8 bytes, then the padding.
  const size_t rest = size_t(inlen - pos);
  const size_t whole = rest / 8, tail = rest % 8;
  xor_lanes(s, 0, whole, in0 + pos, in1 + pos, in2 + pos, in3 + pos);
  const uint8_t *in[4] = {in0 + pos, in1 + pos, in2 + pos, in3 + pos};
  for (size_t j = 0; j < 4; ++j) {
    uint64_t w = 0;  // built in a register: no copy of the (possibly secret) input on the stack
    for (size_t k = 0; k < tail; ++k) w |= uint64_t(in[j][8 * whole + k]) << (8 * k);
    s[4 * whole + j] ^= w;
    keccak_pad(s + j, 4, rest, r);
  }
}

template <void (*Permute)(uint64_t *)>
inline void keccakx4_squeezeblocks_with(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                                 uint64_t nblocks, uint64_t s[100], size_t r) {
  const size_t lanes = r / 8;
  while (nblocks-- > 0) {
    Permute(s);
    size_t i = 0;
    for (; i + 4 <= lanes; i += 4) {
      __m256i a = load4(s + 4 * i), b = load4(s + 4 * i + 4), c = load4(s + 4 * i + 8),
              d = load4(s + 4 * i + 12);
      transpose4(a, b, c, d);
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out0 + 8 * i), a);
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out1 + 8 * i), b);
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out2 + 8 * i), c);
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out3 + 8 * i), d);
    }
    for (; i < lanes; ++i) {
      std::memcpy(out0 + 8 * i, s + 4 * i + 0, 8);
      std::memcpy(out1 + 8 * i, s + 4 * i + 1, 8);
      std::memcpy(out2 + 8 * i, s + 4 * i + 2, 8);
      std::memcpy(out3 + 8 * i, s + 4 * i + 3, 8);
    }
    out0 += r;
    out1 += r;
    out2 += r;
    out3 += r;
  }
}

// Writes the first 168 bytes (21 lanes) of each of the four states of s to out[j].
inline void keccakx4_extract_with(uint8_t *const out[4], const uint64_t *s) {
  for (size_t i = 0; i < 20; i += 4) {
    __m256i a = load4(s + 4 * i), b = load4(s + 4 * i + 4), c = load4(s + 4 * i + 8),
            d = load4(s + 4 * i + 12);
    transpose4(a, b, c, d);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out[0] + 8 * i), a);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out[1] + 8 * i), b);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out[2] + 8 * i), c);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out[3] + 8 * i), d);
  }
  for (size_t j = 0; j < 4; ++j) std::memcpy(out[j] + 160, s + 80 + j, 8);
}

}  // namespace
}  // namespace tavik
