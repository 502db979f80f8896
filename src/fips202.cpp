#include "fips202.h"

#include <cstring>

#include "byteorder.h"
#include "kernels.h"
#include "kernels_scalar.h"
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

constexpr uint64_t rol(uint64_t a, unsigned n) { return (a << n) | (a >> ((64 - n) & 63)); }

uint64_t load64(const uint8_t *x) { return load_le<8>(x); }

void store64(uint8_t *x, uint64_t u) { store_le<8>(x, u); }

using Permute = void (*)(uint64_t *);

// The single-stream permutation of the path in use.
Permute permutation() { return kernels().permute; }

// Absorbs the whole input with rate r and domain byte 0x1F; no permutation after the pad.
void keccak_absorb(uint64_t s[25], size_t r, const uint8_t *in, uint64_t inlen) {
  const Permute permute = permutation();
  for (size_t i = 0; i < 25; ++i) s[i] = 0;
  while (inlen >= r) {
    for (size_t i = 0; i < r / 8; ++i) s[i] ^= load64(in + 8 * i);
    permute(s);
    in += r;
    inlen -= r;
  }
  uint8_t block[SHAKE128_RATE] = {};
  if (inlen != 0) std::memcpy(block, in, inlen);  // in may be null when nothing remains
  block[inlen] = 0x1F;
  block[r - 1] |= 0x80;
  for (size_t i = 0; i < r / 8; ++i) s[i] ^= load64(block + 8 * i);
  secure_wipe(block, sizeof block);
}

void keccak_squeezeblocks(uint8_t *out, uint64_t nblocks, uint64_t s[25], size_t r) {
  const Permute permute = permutation();
  while (nblocks-- > 0) {
    permute(s);
    for (size_t i = 0; i < r / 8; ++i) store64(out + 8 * i, s[i]);
    out += r;
  }
}

void shake(uint8_t *out, uint64_t outlen, const uint8_t *in, uint64_t inlen, size_t r) {
  uint64_t s[25];
  keccak_absorb(s, r, in, inlen);
  const uint64_t whole = outlen / r;
  keccak_squeezeblocks(out, whole, s, r);
  out += whole * r;
  outlen -= whole * r;
  if (outlen != 0) {
    uint8_t block[SHAKE128_RATE];
    keccak_squeezeblocks(block, 1, s, r);
    std::memcpy(out, block, outlen);
    secure_wipe(block, sizeof block);
  }
  secure_wipe(s, sizeof s);
}

}  // namespace

void KeccakF1600_StatePermute(uint64_t state[25]) { permutation()(state); }

// One round from the lanes X** to the lanes Y** with round constant rc, the lanes Xbe, Xbi, Xgo,
// Xki, Xmi and Xsa arriving inverted and the same lanes of Y leaving inverted. With them inverted,
// the chi step of each plane needs one NOT instead of five: ~b & c becomes b | c, b & c or b | ~c
// according to which of its inputs arrive inverted.
#define TAVIK_KECCAK_ROUND_LC(X, Y, rc)                                                            \
  do {                                                                                             \
    uint64_t BCa, BCe, BCi, BCo, BCu, Da, De, Di, Do, Du, B0, B1, B2, B3, B4, N1, N2, N3, N4;      \
    BCa = X##ba ^ X##ga ^ X##ka ^ X##ma ^ X##sa;                                                   \
    BCe = X##be ^ X##ge ^ X##ke ^ X##me ^ X##se;                                                   \
    BCi = X##bi ^ X##gi ^ X##ki ^ X##mi ^ X##si;                                                   \
    BCo = X##bo ^ X##go ^ X##ko ^ X##mo ^ X##so;                                                   \
    BCu = X##bu ^ X##gu ^ X##ku ^ X##mu ^ X##su;                                                   \
    Da = BCu ^ rol(BCe, 1);                                                                        \
    De = BCa ^ rol(BCi, 1);                                                                        \
    Di = BCe ^ rol(BCo, 1);                                                                        \
    Do = BCi ^ rol(BCu, 1);                                                                        \
    Du = BCo ^ rol(BCa, 1);                                                                        \
    X##ba ^= Da; B0 = X##ba;                                                                       \
    X##ge ^= De; B1 = rol(X##ge, 44);                                                              \
    X##ki ^= Di; B2 = rol(X##ki, 43);                                                              \
    X##mo ^= Do; B3 = rol(X##mo, 21);                                                              \
    X##su ^= Du; B4 = rol(X##su, 14);                                                              \
    N2 = ~B2;                                                                                      \
    Y##ba = B0 ^ (B1 | B2) ^ rc;                                                                   \
    Y##be = B1 ^ (N2 | B3);                                                                        \
    Y##bi = B2 ^ (B3 & B4);                                                                        \
    Y##bo = B3 ^ (B4 | B0);                                                                        \
    Y##bu = B4 ^ (B0 & B1);                                                                        \
    X##bo ^= Do; B0 = rol(X##bo, 28);                                                              \
    X##gu ^= Du; B1 = rol(X##gu, 20);                                                              \
    X##ka ^= Da; B2 = rol(X##ka, 3);                                                               \
    X##me ^= De; B3 = rol(X##me, 45);                                                              \
    X##si ^= Di; B4 = rol(X##si, 61);                                                              \
    N4 = ~B4;                                                                                      \
    Y##ga = B0 ^ (B1 | B2);                                                                        \
    Y##ge = B1 ^ (B2 & B3);                                                                        \
    Y##gi = B2 ^ (B3 | N4);                                                                        \
    Y##go = B3 ^ (B4 | B0);                                                                        \
    Y##gu = B4 ^ (B0 & B1);                                                                        \
    X##be ^= De; B0 = rol(X##be, 1);                                                               \
    X##gi ^= Di; B1 = rol(X##gi, 6);                                                               \
    X##ko ^= Do; B2 = rol(X##ko, 25);                                                              \
    X##mu ^= Du; B3 = rol(X##mu, 8);                                                               \
    X##sa ^= Da; B4 = rol(X##sa, 18);                                                              \
    N3 = ~B3;                                                                                      \
    Y##ka = B0 ^ (B1 | B2);                                                                        \
    Y##ke = B1 ^ (B2 & B3);                                                                        \
    Y##ki = B2 ^ (N3 & B4);                                                                        \
    Y##ko = N3 ^ (B4 | B0);                                                                        \
    Y##ku = B4 ^ (B0 & B1);                                                                        \
    X##bu ^= Du; B0 = rol(X##bu, 27);                                                              \
    X##ga ^= Da; B1 = rol(X##ga, 36);                                                              \
    X##ke ^= De; B2 = rol(X##ke, 10);                                                              \
    X##mi ^= Di; B3 = rol(X##mi, 15);                                                              \
    X##so ^= Do; B4 = rol(X##so, 56);                                                              \
    N3 = ~B3;                                                                                      \
    Y##ma = B0 ^ (B1 & B2);                                                                        \
    Y##me = B1 ^ (B2 | B3);                                                                        \
    Y##mi = B2 ^ (N3 | B4);                                                                        \
    Y##mo = N3 ^ (B4 & B0);                                                                        \
    Y##mu = B4 ^ (B0 | B1);                                                                        \
    X##bi ^= Di; B0 = rol(X##bi, 62);                                                              \
    X##go ^= Do; B1 = rol(X##go, 55);                                                              \
    X##ku ^= Du; B2 = rol(X##ku, 39);                                                              \
    X##ma ^= Da; B3 = rol(X##ma, 41);                                                              \
    X##se ^= De; B4 = rol(X##se, 2);                                                               \
    N1 = ~B1;                                                                                      \
    Y##sa = B0 ^ (N1 & B2);                                                                        \
    Y##se = N1 ^ (B2 | B3);                                                                        \
    Y##si = B2 ^ (B3 & B4);                                                                        \
    Y##so = B3 ^ (B4 | B0);                                                                        \
    Y##su = B4 ^ (B0 & B1);                                                                        \
  } while (0)

// Lane complementing: the lanes Abe, Abi, Ago, Aki, Ami and Asa are held inverted between rounds
// (see TAVIK_KECCAK_ROUND_LC); they are inverted on entry and on exit.
void KeccakF1600_StatePermute_portable(uint64_t state[25]) {
  uint64_t Aba = state[0], Abe = ~state[1], Abi = ~state[2], Abo = state[3], Abu = state[4];
  uint64_t Aga = state[5], Age = state[6], Agi = state[7], Ago = ~state[8], Agu = state[9];
  uint64_t Aka = state[10], Ake = state[11], Aki = ~state[12], Ako = state[13], Aku = state[14];
  uint64_t Ama = state[15], Ame = state[16], Ami = ~state[17], Amo = state[18], Amu = state[19];
  uint64_t Asa = ~state[20], Ase = state[21], Asi = state[22], Aso = state[23], Asu = state[24];

  // Two rounds per pass: the first writes the E* lanes, the second writes back to A*.
  for (int round = 0; round < 24; round += 2) {
    uint64_t Eba, Ebe, Ebi, Ebo, Ebu, Ega, Ege, Egi, Ego, Egu, Eka, Eke, Eki, Eko, Eku;
    uint64_t Ema, Eme, Emi, Emo, Emu, Esa, Ese, Esi, Eso, Esu;
    TAVIK_KECCAK_ROUND_LC(A, E, KeccakF_RoundConstants[round]);
    TAVIK_KECCAK_ROUND_LC(E, A, KeccakF_RoundConstants[round + 1]);
  }

  state[0] = Aba; state[1] = ~Abe; state[2] = ~Abi; state[3] = Abo; state[4] = Abu;
  state[5] = Aga; state[6] = Age; state[7] = Agi; state[8] = ~Ago; state[9] = Agu;
  state[10] = Aka; state[11] = Ake; state[12] = ~Aki; state[13] = Ako; state[14] = Aku;
  state[15] = Ama; state[16] = Ame; state[17] = ~Ami; state[18] = Amo; state[19] = Amu;
  state[20] = ~Asa; state[21] = Ase; state[22] = Asi; state[23] = Aso; state[24] = Asu;
}

void shake128_absorb(uint64_t state[25], const uint8_t *in, uint64_t inlen) {
  keccak_absorb(state, SHAKE128_RATE, in, inlen);
}

void shake128_squeezeblocks(uint8_t *out, uint64_t nblocks, uint64_t state[25]) {
  keccak_squeezeblocks(out, nblocks, state, SHAKE128_RATE);
}

void shake256_absorb(uint64_t state[25], const uint8_t *in, uint64_t inlen) {
  keccak_absorb(state, SHAKE256_RATE, in, inlen);
}

void shake256_squeezeblocks(uint8_t *out, uint64_t nblocks, uint64_t state[25]) {
  keccak_squeezeblocks(out, nblocks, state, SHAKE256_RATE);
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
  st.s[st.pos / 8] ^= uint64_t(0x1F) << (8 * (st.pos % 8));
  st.s[(SHAKE256_RATE - 1) / 8] ^= uint64_t(0x80) << (8 * ((SHAKE256_RATE - 1) % 8));
  KeccakF1600_StatePermute(st.s);
  for (uint64_t i = 0; i < outlen; ++i) out[i] = uint8_t(st.s[i / 8] >> (8 * (i % 8)));
  secure_wipe(st.s, sizeof st.s);
  st.pos = 0;
}

}  // namespace tavik
