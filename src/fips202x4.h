// Four independent SHAKE128 / SHAKE256 streams computed side by side over a lane-interleaved
// Keccak state; each stream equals the single-stream SHAKE of its own input bit for bit.
#pragma once
#include <cstdint>

namespace tavik {

// Four Keccak-f[1600] states interleaved lane by lane: lane i of stream j is s[4*i + j].
struct keccakx4_state {
  alignas(32) uint64_t s[100];
};

// Applies Keccak-f[1600] to each of the four interleaved states of s in place.
void KeccakF1600_StatePermute4x(uint64_t s[100]);

// Starts four new SHAKE128 computations in st, absorbing in0..in3 (inlen bytes each, padding
// included); the inputs may alias one another. Whatever st held before is discarded.
void shake128x4_absorb(keccakx4_state *st, const uint8_t *in0, const uint8_t *in1,
                       const uint8_t *in2, const uint8_t *in3, uint64_t inlen);
// Writes nblocks * 168 bytes to each of out0..out3 (distinct, not overlapping st), continuing
// the four output streams of st.
void shake128x4_squeezeblocks(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                              uint64_t nblocks, keccakx4_state *st);
// As shake128x4_absorb, with rate 136.
void shake256x4_absorb(keccakx4_state *st, const uint8_t *in0, const uint8_t *in1,
                       const uint8_t *in2, const uint8_t *in3, uint64_t inlen);
// As shake128x4_squeezeblocks, with 136-byte blocks.
void shake256x4_squeezeblocks(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                              uint64_t nblocks, keccakx4_state *st);

}  // namespace tavik
