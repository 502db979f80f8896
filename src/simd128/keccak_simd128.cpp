// The WebAssembly SIMD Keccak kernels: two states in the two 64-bit halves of a register, the
// round text of keccak_rounds.h with rotation as two shifts and an or, chi as an and-not and an
// exclusive or, one round per pass (V8 runs that faster than two: fewer spilled lanes). Four and eight interleaved states run as two and four pairs (lanes i of states
// 2m and 2m + 1 are adjacent words); the single state stays on 64-bit integers, where a rotation
// is one instruction, and rides beside the first pair in permute4x1 and permute8x1. Contracts in
// kernels.h.
#include <cstddef>
#include <cstdint>

#include "rules/keccak_rounds.h"
#include "rules/keccak_sponge.h"
#include "scalar/kernels_scalar.h"
#include "simd128/kernels_simd128.h"
#include "simd128/v128.h"

namespace tavik {
namespace {

// Lane i of two states at p and p + 1, Stride words between lanes i and i + 1.
template <int Stride>
struct PairOps {
  using V = v128_t;
  static constexpr int W = Stride;
  static V load(const uint64_t *p) { return wasm_v128_load(p); }
  static void store(uint64_t *p, V v) { wasm_v128_store(p, v); }
  static V bcast(uint64_t x) { return wasm_i64x2_splat(int64_t(x)); }
  static V xor2(V a, V b) { return wasm_v128_xor(a, b); }
  static V xor5(V a, V b, V c, V d, V e) {
    return wasm_v128_xor(wasm_v128_xor(wasm_v128_xor(a, b), wasm_v128_xor(c, d)), e);
  }
  static V chi(V a, V b, V c) { return wasm_v128_xor(a, wasm_v128_andnot(c, b)); }  // a ^ (c & ~b)
  template <int n>
  static V rol(V a) {
    static_assert(n > 0 && n < 64);
    return wasm_v128_or(wasm_i64x2_shl(a, n), wasm_u64x2_shr(a, 64 - n));
  }
};

using Pair4 = PairOps<4>;
using Pair8 = PairOps<8>;
using One = ScalarLaneOps<1, true>;  // no and-not on the integers: lane complementing

}  // namespace

void keccak_permute4x_simd128(uint64_t s[100]) {
  keccak_permute_lanes_by_round<Pair4>(s);
  keccak_permute_lanes_by_round<Pair4>(s + 2);
}

void keccak_permute4x1_simd128(uint64_t s[100], uint64_t t[25]) {
  keccak_permute_lanes_beside_by_round<Pair4, One>(s, t);
  keccak_permute_lanes_by_round<Pair4>(s + 2);
}

void keccak_permute8x_simd128(uint64_t s[200]) {
  for (size_t j = 0; j < 8; j += 2) keccak_permute_lanes_by_round<Pair8>(s + j);
}

void keccak_permute8x1_simd128(uint64_t s[200], uint64_t t[25]) {
  keccak_permute_lanes_beside_by_round<Pair8, One>(s, t);
  for (size_t j = 2; j < 8; j += 2) keccak_permute_lanes_by_round<Pair8>(s + j);
}

namespace {
// The sponge's bytes go in and out a word at a time (keccak_sponge.h); only the permutations are
// vector work.
constexpr WordLanes<4> LANES4{keccak_permute4x_simd128};
constexpr WordLanes<8> LANES8{keccak_permute8x_simd128};
}  // namespace

void keccak_absorb4x_simd128(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                             const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  sponge_absorb4x(LANES4, s, r, in0, in1, in2, in3, inlen);
}

void keccak_squeeze4x_simd128(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3, uint64_t nblocks,
                              uint64_t s[100], size_t r) {
  sponge_squeezeblocks4x(LANES4, out0, out1, out2, out3, nblocks, s, r);
}

void keccak_extract4x_simd128(uint8_t *const out[4], const uint64_t *s) { sponge_extract(LANES4, out, s); }

void keccak_extract8x_simd128(uint8_t *const out[8], const uint64_t *s) { sponge_extract(LANES8, out, s); }

}  // namespace tavik
