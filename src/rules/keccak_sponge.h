// The SHAKE sponge written once for any number of Keccak states side by side: start (zero the
// state), absorb whole blocks, absorb the last 0 .. r - 1 bytes with the padding, squeeze r-byte
// blocks or any number of bytes. The states are interleaved lane by lane (lane i of state j at
// s[W * i + j]); what differs between one, four and eight states and between instruction sets is
// a lane set L, which supplies:
//   static constexpr size_t W                     the number of states
//   permute(uint64_t *s)                          Keccak-f[1600] on each state
//   xor_words(uint64_t *s, const uint8_t *const *in, uint64_t pos, size_t words)
//       XORs the little-endian words at in[j] + pos + 8i (i < words <= 21) into lane i of state j
//   store_words(uint8_t *const *out, uint64_t pos, const uint64_t *s, size_t words)
//       stores lane i of state j (i < words <= 21) little-endian at out[j] + pos + 8i
// (a lane set that only squeezes may leave out xor_words).
// Internal linkage: each file that includes it compiles the sponge for its own instruction set.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "byteorder.h"

namespace tavik {
namespace {

// The SHAKE padding, the one place it is written: for a last block holding rest (0 .. r - 1)
// bytes of input, 0x1F follows them and 0x80 is the top bit of byte r - 1 (the same byte 0x9F
// when rest is r - 1). XORed into the lanes s[0], s[stride], s[2 * stride], ... of one state.
inline void keccak_pad(uint64_t *s, size_t stride, size_t rest, size_t r) {
  s[stride * (rest / 8)] ^= uint64_t(0x1F) << (8 * (rest % 8));
  s[stride * (r / 8 - 1)] ^= uint64_t(0x80) << 56;
}

// XORs `words` little-endian words at in into the lanes s[0], s[stride], ... of one state.
inline void sponge_xor_words(uint64_t *s, size_t stride, const uint8_t *in, size_t words) {
  for (size_t i = 0; i < words; ++i) s[stride * i] ^= load_le<8>(in + 8 * i);
}

// The end of one state's input after its whole words: the last rest % 8 bytes of the rest
// (0 .. r - 1) bytes at in, then the padding. The partial word is built in a register, so no copy
// of a possibly secret input lands on the stack.
inline void sponge_xor_tail(uint64_t *s, size_t stride, const uint8_t *in, size_t rest, size_t r) {
  const size_t whole = rest / 8;
  uint64_t w = 0;
  for (size_t k = 0; k < rest % 8; ++k) w |= uint64_t(in[8 * whole + k]) << (8 * k);
  s[stride * whole] ^= w;
  keccak_pad(s, stride, rest, r);
}

// One absorbing step of one state: the n (<= r) bytes at in; when n < r they end the input and
// the padding follows. Returns whether it did, that is whether the next permutation starts the
// squeezing.
inline bool sponge_absorb_step(uint64_t *s, size_t stride, const uint8_t *in, size_t n, size_t r) {
  sponge_xor_words(s, stride, in, n < r ? n / 8 : r / 8);
  if (n >= r) return false;
  sponge_xor_tail(s, stride, in, n, r);
  return true;
}

// Starts a SHAKE computation with rate r (168 or 136) in each of the W states of s and absorbs
// in[j][0 .. inlen), padding included; the permutation is not applied after the padding (each
// squeezed block starts with it). An input may be null when inlen is 0.
template <class L>
void sponge_absorb(const L &lanes, uint64_t *s, size_t r, const uint8_t *const *in, uint64_t inlen) {
  std::memset(s, 0, 25 * L::W * sizeof s[0]);
  uint64_t pos = 0;
  for (; inlen - pos >= r; pos += r) {
    lanes.xor_words(s, in, pos, r / 8);
    lanes.permute(s);
  }
  const size_t rest = size_t(inlen - pos);
  lanes.xor_words(s, in, pos, rest / 8);
  for (size_t j = 0; j < L::W; ++j) sponge_xor_tail(s + j, L::W, in[j] + pos, rest, r);
}

// Writes nblocks blocks of r bytes to each out[j], continuing the output streams of s.
template <class L>
void sponge_squeezeblocks(const L &lanes, uint8_t *const *out, uint64_t nblocks, uint64_t *s, size_t r) {
  for (uint64_t pos = 0; nblocks > 0; --nblocks, pos += r) {
    lanes.permute(s);
    lanes.store_words(out, pos, s, r / 8);
  }
}

// Writes exactly outlen bytes to each out[j], continuing the output streams of s: whole blocks
// straight to the output, then the first outlen % r bytes of one more block from the lanes.
template <class L>
void sponge_squeeze(const L &lanes, uint8_t *const *out, uint64_t outlen, uint64_t *s, size_t r) {
  const uint64_t whole = outlen / r;
  sponge_squeezeblocks(lanes, out, whole, s, r);
  const size_t rest = size_t(outlen % r), words = rest / 8;
  if (rest == 0) return;
  const uint64_t pos = whole * r;
  lanes.permute(s);
  lanes.store_words(out, pos, s, words);
  for (size_t j = 0; j < L::W; ++j)
    for (size_t k = 0; k < rest % 8; ++k) out[j][pos + 8 * words + k] = uint8_t(s[L::W * words + j] >> (8 * k));
}

// The first 168 bytes (21 lanes, a whole SHAKE128 block) of each state to out[j], whatever the
// rate: what the job scheduler (shake_lanes.h) reads after each permutation.
template <class L>
void sponge_extract(const L &lanes, uint8_t *const *out, const uint64_t *s) {
  lanes.store_words(out, 0, s, 21);
}

// The four-state kernels' argument lists (kernels.h) on the sponge above.
template <class L>
void sponge_absorb4x(const L &lanes, uint64_t *s, size_t r, const uint8_t *in0, const uint8_t *in1,
                     const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  static_assert(L::W == 4);
  const uint8_t *const in[4] = {in0, in1, in2, in3};
  sponge_absorb(lanes, s, r, in, inlen);
}

template <class L>
void sponge_squeezeblocks4x(const L &lanes, uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                            uint64_t nblocks, uint64_t *s, size_t r) {
  static_assert(L::W == 4);
  uint8_t *const out[4] = {out0, out1, out2, out3};
  sponge_squeezeblocks(lanes, out, nblocks, s, r);
}

// A lane set of W states in 64-bit words, one word at a time, with the permutation it is given:
// the single state of every path, and the four states of the portable path.
template <size_t Width>
struct WordLanes {
  static constexpr size_t W = Width;
  void (*permute)(uint64_t *s);
  static void xor_words(uint64_t *s, const uint8_t *const *in, uint64_t pos, size_t words) {
    for (size_t j = 0; j < W; ++j) sponge_xor_words(s + j, W, in[j] + pos, words);
  }
  static void store_words(uint8_t *const *out, uint64_t pos, const uint64_t *s, size_t words) {
    for (size_t j = 0; j < W; ++j)
      for (size_t i = 0; i < words; ++i) store_le<8>(out[j] + pos + 8 * i, s[W * i + j]);
  }
};

}  // namespace
}  // namespace tavik
