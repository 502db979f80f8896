// The portable Keccak kernels: the round text of keccak_rounds.h on 64-bit integers with lane
// complementing (no and-not instruction is assumed), for one state and for four or eight
// interleaved states, and the sponge of keccak_sponge.h on four states one word at a time.
// Contracts in kernels.h.
#include <cstddef>
#include <cstdint>

#include "rules/keccak_rounds.h"
#include "rules/keccak_sponge.h"
#include "scalar/kernels_scalar.h"

namespace tavik {
namespace {

// In WebAssembly one round per pass (keccak_permute_lanes_by_round), which V8 runs faster than
// two; native compilers keep the two-round loop's lanes in registers.
template <class Ops>
inline void permute_lanes(uint64_t *s) {
#if defined(__wasm__)
  keccak_permute_lanes_by_round<Ops>(s);
#else
  keccak_permute_lanes<Ops>(s);
#endif
}

}  // namespace

void keccak_permute_scalar(uint64_t s[25]) { permute_lanes<ScalarLaneOps<1, true>>(s); }

// Each of the four states in place, its lanes four words apart.
void keccak_permute4x_scalar(uint64_t s[100]) {
  for (size_t j = 0; j < 4; ++j) permute_lanes<ScalarLaneOps<4, true>>(s + j);
}

void keccak_permute4x1_scalar(uint64_t s[100], uint64_t t[25]) {
  keccak_permute4x_scalar(s);
  keccak_permute_scalar(t);
}

// Each of the eight states in place, its lanes eight words apart.
void keccak_permute8x_scalar(uint64_t s[200]) {
  for (size_t j = 0; j < 8; ++j) permute_lanes<ScalarLaneOps<8, true>>(s + j);
}

void keccak_permute8x1_scalar(uint64_t s[200], uint64_t t[25]) {
  keccak_permute8x_scalar(s);
  keccak_permute_scalar(t);
}

namespace {
constexpr WordLanes<4> LANES4{keccak_permute4x_scalar};
constexpr WordLanes<8> LANES8{keccak_permute8x_scalar};
}  // namespace

void keccak_absorb4x_scalar(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                            const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  sponge_absorb4x(LANES4, s, r, in0, in1, in2, in3, inlen);
}

void keccak_squeeze4x_scalar(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                             uint64_t nblocks, uint64_t s[100], size_t r) {
  sponge_squeezeblocks4x(LANES4, out0, out1, out2, out3, nblocks, s, r);
}

void keccak_extract4x_scalar(uint8_t *const out[4], const uint64_t s[100]) { sponge_extract(LANES4, out, s); }

void keccak_extract8x_scalar(uint8_t *const out[8], const uint64_t s[200]) { sponge_extract(LANES8, out, s); }

}  // namespace tavik
