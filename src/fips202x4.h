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
// A SHAKE256 of pre[0..prelen) || in[0..inlen) whose in is written piece by piece (a public key, a
// row at a time) and absorbed a block at a time beside the permutations of four streams, as soon
// as each whole block is written, the last one with the padding once all of in is; what is left
// when the output is wanted runs alone. Its output equals shake256 of the whole input.
class Shake256Beside {
 public:
  // pre: complete before the first block is taken; in: none of it written yet.
  Shake256Beside(const uint8_t *pre, uint64_t prelen, const uint8_t *in, uint64_t inlen);
  Shake256Beside(const uint8_t *in, uint64_t inlen) : Shake256Beside(nullptr, 0, in, inlen) {}
  ~Shake256Beside();
  Shake256Beside(const Shake256Beside &) = delete;
  Shake256Beside &operator=(const Shake256Beside &) = delete;
  // in[0 .. n) is now final (n never shrinks and is at most inlen).
  void written(uint64_t n) { written_ = prelen_ + (n < inlen_ ? n : inlen_); }
  // When a whole block is written and not yet absorbed, or all of in is and the padded last block
  // is not: XORs it into the state and returns the state, which the caller permutes next (beside
  // four streams, with permute4x1). Else null.
  uint64_t *next_block();
  // True once the padded last block has been taken by next_block (and so permuted).
  bool padded() const { return padded_; }
  // Once all of in is written: absorbs what is left, with the padding, and writes the first
  // outlen (<= 136) bytes of the output.
  void finish(uint8_t *out, uint64_t outlen);
  // After finish: the next 136 bytes of the output.
  void squeeze_block(uint8_t *out);

 private:
  // Bytes [absorbed_, absorbed_ + n) of the whole input: where they lie, or a copy in tmp_.
  const uint8_t *input(uint64_t n);

  uint64_t s_[25] = {};
  uint8_t tmp_[136];
  const uint8_t *pre_, *in_;
  uint64_t prelen_, inlen_, written_, absorbed_ = 0;
  bool padded_ = false;
};

// As shake128x4_squeezeblocks, with each permutation also taking the next written block of side,
// if there is one.
void shake128x4_squeezeblocks_beside(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                                     uint64_t nblocks, keccakx4_state *st, Shake256Beside &side);
// As shake256x4_squeezeblocks, with one more SHAKE256 state (25 words, absorbed as
// shake256_absorb leaves it) squeezed beside the four: nblocks blocks of 136 bytes to out4 too.
void shake256x4_squeezeblocks_and_one(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3, uint8_t *out4,
                                      uint64_t nblocks, keccakx4_state *st, uint64_t one[25]);
// As shake128x4_absorb, with rate 136.
void shake256x4_absorb(keccakx4_state *st, const uint8_t *in0, const uint8_t *in1,
                       const uint8_t *in2, const uint8_t *in3, uint64_t inlen);
// As shake128x4_squeezeblocks, with 136-byte blocks.
void shake256x4_squeezeblocks(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                              uint64_t nblocks, keccakx4_state *st);

}  // namespace tavik
