#include "fips202.h"

#include "kernels.h"
#include "rules/keccak_sponge.h"
#include "wipe.h"

namespace tavik {

const uint64_t KeccakF_RoundConstants[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL, 0x8000000080008000ULL,
    0x000000000000808bULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008aULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
    0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800aULL, 0x800000008000000aULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL,
};

namespace {

// One state with the single-state permutation of the path in use.
WordLanes<1> shake_one_state() { return {kernels().permute}; }

void shake_absorb(uint64_t s[25], size_t r, const uint8_t *in, uint64_t inlen) {
  const uint8_t *const one[1] = {in};
  sponge_absorb(shake_one_state(), s, r, one, inlen);
}

void shake_squeezeblocks(uint8_t *out, uint64_t nblocks, uint64_t s[25], size_t r) {
  uint8_t *const one[1] = {out};
  sponge_squeezeblocks(shake_one_state(), one, nblocks, s, r);
}

void shake_oneshot(uint8_t *out, uint64_t outlen, const uint8_t *in, uint64_t inlen, size_t r) {
  uint64_t s[25];
  shake_absorb(s, r, in, inlen);
  uint8_t *const one[1] = {out};
  sponge_squeeze(shake_one_state(), one, outlen, s, r);
  secure_wipe(s, sizeof s);
}

}  // namespace

void KeccakF1600_StatePermute(uint64_t state[25]) { kernels().permute(state); }

void shake128_absorb(uint64_t state[25], const uint8_t *in, uint64_t inlen) {
  shake_absorb(state, SHAKE128_RATE, in, inlen);
}

void shake128_squeezeblocks(uint8_t *out, uint64_t nblocks, uint64_t state[25]) {
  shake_squeezeblocks(out, nblocks, state, SHAKE128_RATE);
}

void shake256_absorb(uint64_t state[25], const uint8_t *in, uint64_t inlen) {
  shake_absorb(state, SHAKE256_RATE, in, inlen);
}

void shake256_squeezeblocks(uint8_t *out, uint64_t nblocks, uint64_t state[25]) {
  shake_squeezeblocks(out, nblocks, state, SHAKE256_RATE);
}

void shake128(uint8_t *out, uint64_t outlen, const uint8_t *in, uint64_t inlen) {
  shake_oneshot(out, outlen, in, inlen, SHAKE128_RATE);
}

void shake256(uint8_t *out, uint64_t outlen, const uint8_t *in, uint64_t inlen) {
  shake_oneshot(out, outlen, in, inlen, SHAKE256_RATE);
}

void shake256_pair(uint8_t *out, uint64_t outlen, const uint8_t *a, uint64_t alen, const uint8_t *b, uint64_t blen) {
  Shake256Stream h;
  shake256_stream_init(h);
  shake256_stream_absorb(h, a, alen);
  shake256_stream_absorb(h, b, blen);
  shake256_stream_finish(h, out, outlen);
}

void shake256_stream_init(Shake256Stream &st) {
  for (uint64_t &lane : st.s) lane = 0;
  st.pos = 0;
}

// Byte by byte up to a block boundary, then whole blocks a word at a time, then the tail byte by
// byte again: the stream keeps no copy of its input, only the state.
void shake256_stream_absorb(Shake256Stream &st, const uint8_t *in, uint64_t inlen) {
  constexpr size_t r = SHAKE256_RATE;
  const WordLanes<1> lanes = shake_one_state();
  while (inlen > 0 && st.pos != 0) {
    st.s[st.pos / 8] ^= uint64_t(*in++) << (8 * (st.pos % 8));
    --inlen;
    if (++st.pos == r) {
      lanes.permute(st.s);
      st.pos = 0;
    }
  }
  for (; inlen >= r; in += r, inlen -= r) {
    sponge_absorb_step(st.s, 1, in, r, r);
    lanes.permute(st.s);
  }
  for (; inlen > 0; --inlen, ++st.pos) st.s[st.pos / 8] ^= uint64_t(*in++) << (8 * (st.pos % 8));
}

// The absorbed bytes are in the state; what is left is the padding and the squeeze of every
// one-shot call.
void shake256_stream_finish(Shake256Stream &st, uint8_t *out, uint64_t outlen) {
  keccak_pad(st.s, 1, size_t(st.pos), SHAKE256_RATE);
  uint8_t *const one[1] = {out};
  sponge_squeeze(shake_one_state(), one, outlen, st.s, SHAKE256_RATE);
  secure_wipe(st.s, sizeof st.s);
  st.pos = 0;
}

}  // namespace tavik
