#include "fips202.h"

#include <cstring>

#include "byteorder.h"
#include "kernels.h"
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

uint64_t load64(const uint8_t *x) { return load_le<8>(x); }

void store64(uint8_t *x, uint64_t u) { store_le<8>(x, u); }

// The single-stream permutation of the path in use.
KeccakPermute permutation() { return kernels().permute; }

}  // namespace

// Absorbs the whole input with rate r and domain byte 0x1F; no permutation after the pad.
void keccak_absorb(uint64_t s[25], size_t r, const uint8_t *in, uint64_t inlen, KeccakPermute permute) {
  for (size_t i = 0; i < 25; ++i) s[i] = 0;
  while (inlen >= r) {
    for (size_t i = 0; i < r / 8; ++i) s[i] ^= load64(in + 8 * i);
    permute(s);
    in += r;
    inlen -= r;
  }
  // The last 0 to r - 1 bytes (in may be null when none remain): whole words, then one word built
  // in a register (no copy of a possibly secret input on the stack), then the padding.
  const size_t rest = size_t(inlen), whole = rest / 8;
  for (size_t i = 0; i < whole; ++i) s[i] ^= load64(in + 8 * i);
  uint64_t w = 0;
  for (size_t k = 0; k < rest % 8; ++k) w |= uint64_t(in[8 * whole + k]) << (8 * k);
  s[whole] ^= w;
  keccak_pad(s, 1, rest, r);
}

void keccak_squeezeblocks(uint8_t *out, uint64_t nblocks, uint64_t s[25], size_t r, KeccakPermute permute) {
  while (nblocks-- > 0) {
    permute(s);
    for (size_t i = 0; i < r / 8; ++i) store64(out + 8 * i, s[i]);
    out += r;
  }
}

namespace {

void shake(uint8_t *out, uint64_t outlen, const uint8_t *in, uint64_t inlen, size_t r) {
  const KeccakPermute permute = permutation();
  uint64_t s[25];
  keccak_absorb(s, r, in, inlen, permute);
  const uint64_t whole = outlen / r;
  keccak_squeezeblocks(out, whole, s, r, permute);
  out += whole * r;
  outlen -= whole * r;
  if (outlen != 0) {
    uint8_t block[SHAKE128_RATE];
    keccak_squeezeblocks(block, 1, s, r, permute);
    std::memcpy(out, block, outlen);
    secure_wipe(block, sizeof block);
  }
  secure_wipe(s, sizeof s);
}

}  // namespace

void KeccakF1600_StatePermute(uint64_t state[25]) { permutation()(state); }

void shake128_absorb(uint64_t state[25], const uint8_t *in, uint64_t inlen) {
  keccak_absorb(state, SHAKE128_RATE, in, inlen, permutation());
}

void shake128_squeezeblocks(uint8_t *out, uint64_t nblocks, uint64_t state[25]) {
  keccak_squeezeblocks(out, nblocks, state, SHAKE128_RATE, permutation());
}

void shake256_absorb(uint64_t state[25], const uint8_t *in, uint64_t inlen) {
  keccak_absorb(state, SHAKE256_RATE, in, inlen, permutation());
}

void shake256_squeezeblocks(uint8_t *out, uint64_t nblocks, uint64_t state[25]) {
  keccak_squeezeblocks(out, nblocks, state, SHAKE256_RATE, permutation());
}

void shake128(uint8_t *out, uint64_t outlen, const uint8_t *in, uint64_t inlen) {
  shake(out, outlen, in, inlen, SHAKE128_RATE);
}

void shake256(uint8_t *out, uint64_t outlen, const uint8_t *in, uint64_t inlen) {
  shake(out, outlen, in, inlen, SHAKE256_RATE);
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

void shake256_stream_absorb(Shake256Stream &st, const uint8_t *in, uint64_t inlen) {
  constexpr size_t r = SHAKE256_RATE;
  // Byte by byte up to a block boundary, then whole blocks lane by lane, then the tail.
  while (inlen > 0 && st.pos != 0) {
    st.s[st.pos / 8] ^= uint64_t(*in++) << (8 * (st.pos % 8));
    --inlen;
    if (++st.pos == r) {
      KeccakF1600_StatePermute(st.s);
      st.pos = 0;
    }
  }
  for (; inlen >= r; in += r, inlen -= r) {
    for (size_t i = 0; i < r / 8; ++i) st.s[i] ^= load64(in + 8 * i);
    KeccakF1600_StatePermute(st.s);
  }
  for (; inlen > 0; --inlen, ++st.pos) st.s[st.pos / 8] ^= uint64_t(*in++) << (8 * (st.pos % 8));
}

void shake256_stream_finish(Shake256Stream &st, uint8_t *out, uint64_t outlen) {
  keccak_pad(st.s, 1, size_t(st.pos), SHAKE256_RATE);
  KeccakF1600_StatePermute(st.s);
  for (uint64_t i = 0; i < outlen; ++i) out[i] = uint8_t(st.s[i / 8] >> (8 * (i % 8)));
  secure_wipe(st.s, sizeof st.s);
  st.pos = 0;
}

}  // namespace tavik
