// The portable Keccak kernels: the single-state permutation with complemented lanes, and the
// four-state kernels as that permutation and the single-state sponge applied to each state in
// turn. Contracts in kernels.h.
#include <cstddef>
#include <cstdint>

#include "fips202.h"
#include "scalar/kernels_scalar.h"
#include "wipe.h"

namespace tavik {
namespace {

constexpr uint64_t rol(uint64_t a, unsigned n) { return (a << n) | (a >> ((64 - n) & 63)); }

// t = the 25 lanes of stream j of the interleaved state s.
void lanes_out(uint64_t t[25], const uint64_t s[100], size_t j) {
  for (size_t i = 0; i < 25; ++i) t[i] = s[4 * i + j];
}

// Stream j of the interleaved state s = the 25 lanes t.
void lanes_in(uint64_t s[100], const uint64_t t[25], size_t j) {
  for (size_t i = 0; i < 25; ++i) s[4 * i + j] = t[i];
}

}  // namespace

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
#undef TAVIK_KECCAK_ROUND_LC

void KeccakF1600_StatePermute4x_portable(uint64_t s[100]) {
  uint64_t t[25];
  for (size_t j = 0; j < 4; ++j) {
    lanes_out(t, s, j);
    KeccakF1600_StatePermute_portable(t);
    lanes_in(s, t, j);
  }
  secure_wipe(t, sizeof t);
}

void keccakx4_absorb_portable(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                              const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  const uint8_t *in[4] = {in0, in1, in2, in3};
  uint64_t t[25];
  for (size_t j = 0; j < 4; ++j) {
    keccak_absorb(t, r, in[j], inlen, KeccakF1600_StatePermute_portable);
    lanes_in(s, t, j);
  }
  secure_wipe(t, sizeof t);
}

void keccakx4_squeezeblocks_portable(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                                     uint64_t nblocks, uint64_t s[100], size_t r) {
  uint8_t *out[4] = {out0, out1, out2, out3};
  uint64_t t[25];
  for (size_t j = 0; j < 4; ++j) {
    lanes_out(t, s, j);
    keccak_squeezeblocks(out[j], nblocks, t, r, KeccakF1600_StatePermute_portable);
    lanes_in(s, t, j);
  }
  secure_wipe(t, sizeof t);
}

void keccakx4_extract_portable(uint8_t *const out[4], const uint64_t s[100]) {
  for (size_t j = 0; j < 4; ++j)
    for (size_t i = 0; i < 21; ++i)
      for (size_t k = 0; k < 8; ++k) out[j][8 * i + k] = uint8_t(s[4 * i + j] >> (8 * k));
}

}  // namespace tavik
