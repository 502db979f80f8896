// The leaks of planted.h, written as the avx512 path's kernels are: on 512-bit registers, in a
// file compiled as the path's kernels are in the build (for AVX-512, or over SIMDe).
#include "planted.h"

#include "avx512/zmm.h"

#include <cstring>

#include "params.h"

namespace tavik::ct_planted {
namespace {

Kernels table;
const Kernels *base_table = nullptr;
alignas(64) uint32_t lookup[256];
volatile uint32_t sink;

// A secret-dependent branch: the volatile store keeps it a branch (no conditional move can do it).
// On AVX-512 it branches on a compare's mask; over SIMDe on one lane, since the emulated compare
// may itself be compiled to branches, which would then be reported in its stead.
int32_t check_norm_branching(const uint32_t *v, uint32_t count, uint32_t bound) {
  const __m512i half = _mm512_set1_epi32(int(Q / 2));
  for (size_t i = 0; i < size_t(count) * N; i += 16) {
    const __m512i x = _mm512_loadu_si512(v + i);
#if TAVIK_AVX512_EMULATED
    (void)half;
    if (uint32_t(_mm_cvtsi128_si32(_mm512_castsi512_si128(x))) > Q / 2) sink = sink + 1;
#else
    if (_mm512_cmpgt_epi32_mask(x, half) != 0) sink = sink + 1;
#endif
  }
  return base_table->check_norm(v, count, bound);
}

// A secret-indexed load: one table entry per sixteen coefficients of the sum.
void add_loading(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  base_table->add(out, a, b, count);
  uint32_t acc = 0;
  for (size_t i = 0; i < size_t(count) * N; i += 16) {
    const __m512i x = _mm512_loadu_si512(out + i);
    acc ^= lookup[uint32_t(_mm_cvtsi128_si32(_mm512_castsi512_si128(x))) & 255];
  }
  sink = acc;
}

#if !TAVIK_AVX512_EMULATED
// Secret-indexed loads by a vector gather (vpgatherdd, which SIMDe does not have): sixteen table
// entries per sixteen coefficients.
void add_gathering(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  base_table->add(out, a, b, count);
  __m512i acc = _mm512_setzero_si512();
  const __m512i low = _mm512_set1_epi32(255);
  for (size_t i = 0; i < size_t(count) * N; i += 16) {
    const __m512i idx = _mm512_and_si512(_mm512_loadu_si512(out + i), low);
    acc = _mm512_xor_si512(acc, _mm512_i32gather_epi32(idx, lookup, 4));
  }
  alignas(64) uint32_t lanes[16];
  _mm512_store_si512(lanes, acc);
  sink = lanes[0];
}
#endif

}  // namespace

const Kernels *planted_table(const Kernels &base, const char *kind) {
  base_table = &base;
  table = base;
  for (uint32_t i = 0; i < 256; ++i) lookup[i] = i * 0x9E3779B9u;  // not constant: every load stays
  if (std::strcmp(kind, "branch") == 0) {
    table.check_norm = check_norm_branching;
  } else if (std::strcmp(kind, "load") == 0) {
    table.add = add_loading;
#if !TAVIK_AVX512_EMULATED
  } else if (std::strcmp(kind, "gather") == 0) {
    table.add = add_gathering;
#endif
  } else {
    return nullptr;
  }
  return &table;
}

}  // namespace tavik::ct_planted
