#include "fips202.h"

#include <cstring>

#include "cpu.h"
#include "fips202_internal.h"
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

uint64_t load64(const uint8_t *x) {
  uint64_t r = 0;
  for (unsigned i = 0; i < 8; ++i) r |= uint64_t(x[i]) << (8 * i);
  return r;
}

void store64(uint8_t *x, uint64_t u) {
  for (unsigned i = 0; i < 8; ++i) x[i] = uint8_t(u >> (8 * i));
}

using Permute = void (*)(uint64_t *);

// The single-stream permutation of the path in use.
Permute permutation() {
#if TAVIK_FIPS202_BMI
  if (active_backend() != Backend::scalar) return KeccakF1600_StatePermute_bmi;
#endif
  return KeccakF1600_StatePermute_portable;
}

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

void KeccakF1600_StatePermute_portable(uint64_t state[25]) {
  uint64_t Aba = state[0], Abe = state[1], Abi = state[2], Abo = state[3], Abu = state[4];
  uint64_t Aga = state[5], Age = state[6], Agi = state[7], Ago = state[8], Agu = state[9];
  uint64_t Aka = state[10], Ake = state[11], Aki = state[12], Ako = state[13], Aku = state[14];
  uint64_t Ama = state[15], Ame = state[16], Ami = state[17], Amo = state[18], Amu = state[19];
  uint64_t Asa = state[20], Ase = state[21], Asi = state[22], Aso = state[23], Asu = state[24];

  // Two rounds per pass: the first writes the E* lanes, the second writes back to A*.
  for (int round = 0; round < 24; round += 2) {
    uint64_t BCa, BCe, BCi, BCo, BCu, Da, De, Di, Do, Du;
    uint64_t Eba, Ebe, Ebi, Ebo, Ebu, Ega, Ege, Egi, Ego, Egu, Eka, Eke, Eki, Eko, Eku;
    uint64_t Ema, Eme, Emi, Emo, Emu, Esa, Ese, Esi, Eso, Esu;

    BCa = Aba ^ Aga ^ Aka ^ Ama ^ Asa;
    BCe = Abe ^ Age ^ Ake ^ Ame ^ Ase;
    BCi = Abi ^ Agi ^ Aki ^ Ami ^ Asi;
    BCo = Abo ^ Ago ^ Ako ^ Amo ^ Aso;
    BCu = Abu ^ Agu ^ Aku ^ Amu ^ Asu;
    Da = BCu ^ rol(BCe, 1);
    De = BCa ^ rol(BCi, 1);
    Di = BCe ^ rol(BCo, 1);
    Do = BCi ^ rol(BCu, 1);
    Du = BCo ^ rol(BCa, 1);

    Aba ^= Da; BCa = Aba;
    Age ^= De; BCe = rol(Age, 44);
    Aki ^= Di; BCi = rol(Aki, 43);
    Amo ^= Do; BCo = rol(Amo, 21);
    Asu ^= Du; BCu = rol(Asu, 14);
    Eba = BCa ^ ((~BCe) & BCi) ^ KeccakF_RoundConstants[round];
    Ebe = BCe ^ ((~BCi) & BCo);
    Ebi = BCi ^ ((~BCo) & BCu);
    Ebo = BCo ^ ((~BCu) & BCa);
    Ebu = BCu ^ ((~BCa) & BCe);

    Abo ^= Do; BCa = rol(Abo, 28);
    Agu ^= Du; BCe = rol(Agu, 20);
    Aka ^= Da; BCi = rol(Aka, 3);
    Ame ^= De; BCo = rol(Ame, 45);
    Asi ^= Di; BCu = rol(Asi, 61);
    Ega = BCa ^ ((~BCe) & BCi);
    Ege = BCe ^ ((~BCi) & BCo);
    Egi = BCi ^ ((~BCo) & BCu);
    Ego = BCo ^ ((~BCu) & BCa);
    Egu = BCu ^ ((~BCa) & BCe);

    Abe ^= De; BCa = rol(Abe, 1);
    Agi ^= Di; BCe = rol(Agi, 6);
    Ako ^= Do; BCi = rol(Ako, 25);
    Amu ^= Du; BCo = rol(Amu, 8);
    Asa ^= Da; BCu = rol(Asa, 18);
    Eka = BCa ^ ((~BCe) & BCi);
    Eke = BCe ^ ((~BCi) & BCo);
    Eki = BCi ^ ((~BCo) & BCu);
    Eko = BCo ^ ((~BCu) & BCa);
    Eku = BCu ^ ((~BCa) & BCe);

    Abu ^= Du; BCa = rol(Abu, 27);
    Aga ^= Da; BCe = rol(Aga, 36);
    Ake ^= De; BCi = rol(Ake, 10);
    Ami ^= Di; BCo = rol(Ami, 15);
    Aso ^= Do; BCu = rol(Aso, 56);
    Ema = BCa ^ ((~BCe) & BCi);
    Eme = BCe ^ ((~BCi) & BCo);
    Emi = BCi ^ ((~BCo) & BCu);
    Emo = BCo ^ ((~BCu) & BCa);
    Emu = BCu ^ ((~BCa) & BCe);

    Abi ^= Di; BCa = rol(Abi, 62);
    Ago ^= Do; BCe = rol(Ago, 55);
    Aku ^= Du; BCi = rol(Aku, 39);
    Ama ^= Da; BCo = rol(Ama, 41);
    Ase ^= De; BCu = rol(Ase, 2);
    Esa = BCa ^ ((~BCe) & BCi);
    Ese = BCe ^ ((~BCi) & BCo);
    Esi = BCi ^ ((~BCo) & BCu);
    Eso = BCo ^ ((~BCu) & BCa);
    Esu = BCu ^ ((~BCa) & BCe);

    BCa = Eba ^ Ega ^ Eka ^ Ema ^ Esa;
    BCe = Ebe ^ Ege ^ Eke ^ Eme ^ Ese;
    BCi = Ebi ^ Egi ^ Eki ^ Emi ^ Esi;
    BCo = Ebo ^ Ego ^ Eko ^ Emo ^ Eso;
    BCu = Ebu ^ Egu ^ Eku ^ Emu ^ Esu;
    Da = BCu ^ rol(BCe, 1);
    De = BCa ^ rol(BCi, 1);
    Di = BCe ^ rol(BCo, 1);
    Do = BCi ^ rol(BCu, 1);
    Du = BCo ^ rol(BCa, 1);

    Eba ^= Da; BCa = Eba;
    Ege ^= De; BCe = rol(Ege, 44);
    Eki ^= Di; BCi = rol(Eki, 43);
    Emo ^= Do; BCo = rol(Emo, 21);
    Esu ^= Du; BCu = rol(Esu, 14);
    Aba = BCa ^ ((~BCe) & BCi) ^ KeccakF_RoundConstants[round + 1];
    Abe = BCe ^ ((~BCi) & BCo);
    Abi = BCi ^ ((~BCo) & BCu);
    Abo = BCo ^ ((~BCu) & BCa);
    Abu = BCu ^ ((~BCa) & BCe);

    Ebo ^= Do; BCa = rol(Ebo, 28);
    Egu ^= Du; BCe = rol(Egu, 20);
    Eka ^= Da; BCi = rol(Eka, 3);
    Eme ^= De; BCo = rol(Eme, 45);
    Esi ^= Di; BCu = rol(Esi, 61);
    Aga = BCa ^ ((~BCe) & BCi);
    Age = BCe ^ ((~BCi) & BCo);
    Agi = BCi ^ ((~BCo) & BCu);
    Ago = BCo ^ ((~BCu) & BCa);
    Agu = BCu ^ ((~BCa) & BCe);

    Ebe ^= De; BCa = rol(Ebe, 1);
    Egi ^= Di; BCe = rol(Egi, 6);
    Eko ^= Do; BCi = rol(Eko, 25);
    Emu ^= Du; BCo = rol(Emu, 8);
    Esa ^= Da; BCu = rol(Esa, 18);
    Aka = BCa ^ ((~BCe) & BCi);
    Ake = BCe ^ ((~BCi) & BCo);
    Aki = BCi ^ ((~BCo) & BCu);
    Ako = BCo ^ ((~BCu) & BCa);
    Aku = BCu ^ ((~BCa) & BCe);

    Ebu ^= Du; BCa = rol(Ebu, 27);
    Ega ^= Da; BCe = rol(Ega, 36);
    Eke ^= De; BCi = rol(Eke, 10);
    Emi ^= Di; BCo = rol(Emi, 15);
    Eso ^= Do; BCu = rol(Eso, 56);
    Ama = BCa ^ ((~BCe) & BCi);
    Ame = BCe ^ ((~BCi) & BCo);
    Ami = BCi ^ ((~BCo) & BCu);
    Amo = BCo ^ ((~BCu) & BCa);
    Amu = BCu ^ ((~BCa) & BCe);

    Ebi ^= Di; BCa = rol(Ebi, 62);
    Ego ^= Do; BCe = rol(Ego, 55);
    Eku ^= Du; BCi = rol(Eku, 39);
    Ema ^= Da; BCo = rol(Ema, 41);
    Ese ^= De; BCu = rol(Ese, 2);
    Asa = BCa ^ ((~BCe) & BCi);
    Ase = BCe ^ ((~BCi) & BCo);
    Asi = BCi ^ ((~BCo) & BCu);
    Aso = BCo ^ ((~BCu) & BCa);
    Asu = BCu ^ ((~BCa) & BCe);
  }

  state[0] = Aba; state[1] = Abe; state[2] = Abi; state[3] = Abo; state[4] = Abu;
  state[5] = Aga; state[6] = Age; state[7] = Agi; state[8] = Ago; state[9] = Agu;
  state[10] = Aka; state[11] = Ake; state[12] = Aki; state[13] = Ako; state[14] = Aku;
  state[15] = Ama; state[16] = Ame; state[17] = Ami; state[18] = Amo; state[19] = Amu;
  state[20] = Asa; state[21] = Ase; state[22] = Asi; state[23] = Aso; state[24] = Asu;
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
