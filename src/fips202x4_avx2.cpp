// Keccak-f[1600] on four interleaved states at once, one 256-bit register per lane index.
#include "fips202x4_internal.h"

#if TAVIK_FIPS202X4_AVX2

#include <immintrin.h>

#include <cstring>

#include "fips202.h"

namespace tavik {
namespace {

// Rotates each 64-bit lane left by n (1 to 63). Rotations by whole bytes take one byte
// shuffle; the left shift by 1 is an add, which more execution ports accept than shifts.
template <int n>
inline __m256i rol(__m256i a) {
  static_assert(n > 0 && n < 64);
  if constexpr (n == 1) {
    return _mm256_or_si256(_mm256_add_epi64(a, a), _mm256_srli_epi64(a, 63));
  } else if constexpr (n == 8) {
    const __m256i m = _mm256_setr_epi8(7, 0, 1, 2, 3, 4, 5, 6, 15, 8, 9, 10, 11, 12, 13, 14,
                                       7, 0, 1, 2, 3, 4, 5, 6, 15, 8, 9, 10, 11, 12, 13, 14);
    return _mm256_shuffle_epi8(a, m);
  } else if constexpr (n == 56) {
    const __m256i m = _mm256_setr_epi8(1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8,
                                       1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8);
    return _mm256_shuffle_epi8(a, m);
  } else {
    return _mm256_or_si256(_mm256_slli_epi64(a, n), _mm256_srli_epi64(a, 64 - n));
  }
}

// a ^ b ^ c ^ d ^ e, lane by lane.
inline __m256i xor5(__m256i a, __m256i b, __m256i c, __m256i d, __m256i e) {
  return _mm256_xor_si256(_mm256_xor_si256(_mm256_xor_si256(a, b), _mm256_xor_si256(c, d)), e);
}

// out = b0 ^ (~b1 & b2), the chi step for one lane.
inline __m256i chi(__m256i b0, __m256i b1, __m256i b2) {
  return _mm256_xor_si256(b0, _mm256_andnot_si256(b1, b2));
}

// One full round reading the lanes X** and writing the lanes Y**; rc is the round constant.
#define TAVIK_KECCAK_ROUND4(X, Y, rc)                                                  \
  do {                                                                                 \
    const __m256i Ca = xor5(X##ba, X##ga, X##ka, X##ma, X##sa);                         \
    const __m256i Ce = xor5(X##be, X##ge, X##ke, X##me, X##se);                         \
    const __m256i Ci = xor5(X##bi, X##gi, X##ki, X##mi, X##si);                         \
    const __m256i Co = xor5(X##bo, X##go, X##ko, X##mo, X##so);                         \
    const __m256i Cu = xor5(X##bu, X##gu, X##ku, X##mu, X##su);                         \
    const __m256i Da = _mm256_xor_si256(Cu, rol<1>(Ce));                                \
    const __m256i De = _mm256_xor_si256(Ca, rol<1>(Ci));                                \
    const __m256i Di = _mm256_xor_si256(Ce, rol<1>(Co));                                \
    const __m256i Do = _mm256_xor_si256(Ci, rol<1>(Cu));                                \
    const __m256i Du = _mm256_xor_si256(Co, rol<1>(Ca));                                \
    __m256i Ba, Be, Bi, Bo, Bu;                                                        \
                                                                                       \
    Ba = _mm256_xor_si256(X##ba, Da);                                                   \
    Be = rol<44>(_mm256_xor_si256(X##ge, De));                                          \
    Bi = rol<43>(_mm256_xor_si256(X##ki, Di));                                          \
    Bo = rol<21>(_mm256_xor_si256(X##mo, Do));                                          \
    Bu = rol<14>(_mm256_xor_si256(X##su, Du));                                          \
    Y##ba = _mm256_xor_si256(chi(Ba, Be, Bi), _mm256_set1_epi64x((long long)(rc)));     \
    Y##be = chi(Be, Bi, Bo);                                                           \
    Y##bi = chi(Bi, Bo, Bu);                                                           \
    Y##bo = chi(Bo, Bu, Ba);                                                           \
    Y##bu = chi(Bu, Ba, Be);                                                           \
                                                                                       \
    Ba = rol<28>(_mm256_xor_si256(X##bo, Do));                                          \
    Be = rol<20>(_mm256_xor_si256(X##gu, Du));                                          \
    Bi = rol<3>(_mm256_xor_si256(X##ka, Da));                                           \
    Bo = rol<45>(_mm256_xor_si256(X##me, De));                                          \
    Bu = rol<61>(_mm256_xor_si256(X##si, Di));                                          \
    Y##ga = chi(Ba, Be, Bi);                                                           \
    Y##ge = chi(Be, Bi, Bo);                                                           \
    Y##gi = chi(Bi, Bo, Bu);                                                           \
    Y##go = chi(Bo, Bu, Ba);                                                           \
    Y##gu = chi(Bu, Ba, Be);                                                           \
                                                                                       \
    Ba = rol<1>(_mm256_xor_si256(X##be, De));                                           \
    Be = rol<6>(_mm256_xor_si256(X##gi, Di));                                           \
    Bi = rol<25>(_mm256_xor_si256(X##ko, Do));                                          \
    Bo = rol<8>(_mm256_xor_si256(X##mu, Du));                                           \
    Bu = rol<18>(_mm256_xor_si256(X##sa, Da));                                          \
    Y##ka = chi(Ba, Be, Bi);                                                           \
    Y##ke = chi(Be, Bi, Bo);                                                           \
    Y##ki = chi(Bi, Bo, Bu);                                                           \
    Y##ko = chi(Bo, Bu, Ba);                                                           \
    Y##ku = chi(Bu, Ba, Be);                                                           \
                                                                                       \
    Ba = rol<27>(_mm256_xor_si256(X##bu, Du));                                          \
    Be = rol<36>(_mm256_xor_si256(X##ga, Da));                                          \
    Bi = rol<10>(_mm256_xor_si256(X##ke, De));                                          \
    Bo = rol<15>(_mm256_xor_si256(X##mi, Di));                                          \
    Bu = rol<56>(_mm256_xor_si256(X##so, Do));                                          \
    Y##ma = chi(Ba, Be, Bi);                                                           \
    Y##me = chi(Be, Bi, Bo);                                                           \
    Y##mi = chi(Bi, Bo, Bu);                                                           \
    Y##mo = chi(Bo, Bu, Ba);                                                           \
    Y##mu = chi(Bu, Ba, Be);                                                           \
                                                                                       \
    Ba = rol<62>(_mm256_xor_si256(X##bi, Di));                                          \
    Be = rol<55>(_mm256_xor_si256(X##go, Do));                                          \
    Bi = rol<39>(_mm256_xor_si256(X##ku, Du));                                          \
    Bo = rol<41>(_mm256_xor_si256(X##ma, Da));                                          \
    Bu = rol<2>(_mm256_xor_si256(X##se, De));                                           \
    Y##sa = chi(Ba, Be, Bi);                                                           \
    Y##se = chi(Be, Bi, Bo);                                                           \
    Y##si = chi(Bi, Bo, Bu);                                                           \
    Y##so = chi(Bo, Bu, Ba);                                                           \
    Y##su = chi(Bu, Ba, Be);                                                           \
  } while (0)

// Loads / stores the four words p[0..3] (any alignment).
inline __m256i load4(const uint64_t *p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

inline void store4(uint64_t *p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v);
}

// Transposes a 4x4 matrix of 64-bit words held as four rows.
inline void transpose4(__m256i &r0, __m256i &r1, __m256i &r2, __m256i &r3) {
  const __m256i t0 = _mm256_unpacklo_epi64(r0, r1);  // r0[0] r1[0] r0[2] r1[2]
  const __m256i t1 = _mm256_unpackhi_epi64(r0, r1);  // r0[1] r1[1] r0[3] r1[3]
  const __m256i t2 = _mm256_unpacklo_epi64(r2, r3);
  const __m256i t3 = _mm256_unpackhi_epi64(r2, r3);
  r0 = _mm256_permute2x128_si256(t0, t2, 0x20);
  r1 = _mm256_permute2x128_si256(t1, t3, 0x20);
  r2 = _mm256_permute2x128_si256(t0, t2, 0x31);
  r3 = _mm256_permute2x128_si256(t1, t3, 0x31);
}

// The 8 bytes at p as a little-endian word.
inline uint64_t load64(const uint8_t *p) {
  uint64_t v;
  std::memcpy(&v, p, 8);  // x86-64 is little-endian, as the lane byte order requires
  return v;
}

// XORs lanes [from, to) of the four inputs (8 bytes per lane, all inside the inputs) into s.
inline void xor_lanes(uint64_t s[100], size_t from, size_t to, const uint8_t *in0,
                      const uint8_t *in1, const uint8_t *in2, const uint8_t *in3) {
  size_t i = from;
  for (; i + 4 <= to; i += 4) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in0 + 8 * i));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in1 + 8 * i));
    __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in2 + 8 * i));
    __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in3 + 8 * i));
    transpose4(a, b, c, d);
    store4(s + 4 * i, _mm256_xor_si256(load4(s + 4 * i), a));
    store4(s + 4 * i + 4, _mm256_xor_si256(load4(s + 4 * i + 4), b));
    store4(s + 4 * i + 8, _mm256_xor_si256(load4(s + 4 * i + 8), c));
    store4(s + 4 * i + 12, _mm256_xor_si256(load4(s + 4 * i + 12), d));
  }
  for (; i < to; ++i) {
    const __m256i v = _mm256_setr_epi64x((long long)load64(in0 + 8 * i),
                                         (long long)load64(in1 + 8 * i),
                                         (long long)load64(in2 + 8 * i),
                                         (long long)load64(in3 + 8 * i));
    store4(s + 4 * i, _mm256_xor_si256(load4(s + 4 * i), v));
  }
}

}  // namespace

void KeccakF1600_StatePermute4x_avx2(uint64_t s[100]) {
  __m256i Aba = load4(s + 0), Abe = load4(s + 4), Abi = load4(s + 8), Abo = load4(s + 12),
          Abu = load4(s + 16);
  __m256i Aga = load4(s + 20), Age = load4(s + 24), Agi = load4(s + 28), Ago = load4(s + 32),
          Agu = load4(s + 36);
  __m256i Aka = load4(s + 40), Ake = load4(s + 44), Aki = load4(s + 48), Ako = load4(s + 52),
          Aku = load4(s + 56);
  __m256i Ama = load4(s + 60), Ame = load4(s + 64), Ami = load4(s + 68), Amo = load4(s + 72),
          Amu = load4(s + 76);
  __m256i Asa = load4(s + 80), Ase = load4(s + 84), Asi = load4(s + 88), Aso = load4(s + 92),
          Asu = load4(s + 96);
  __m256i Eba, Ebe, Ebi, Ebo, Ebu, Ega, Ege, Egi, Ego, Egu, Eka, Eke, Eki, Eko, Eku;
  __m256i Ema, Eme, Emi, Emo, Emu, Esa, Ese, Esi, Eso, Esu;

  // Two rounds per pass: A -> E, then E -> A.
  for (int round = 0; round < 24; round += 2) {
    TAVIK_KECCAK_ROUND4(A, E, KeccakF_RoundConstants[round]);
    TAVIK_KECCAK_ROUND4(E, A, KeccakF_RoundConstants[round + 1]);
  }

  store4(s + 0, Aba); store4(s + 4, Abe); store4(s + 8, Abi); store4(s + 12, Abo);
  store4(s + 16, Abu);
  store4(s + 20, Aga); store4(s + 24, Age); store4(s + 28, Agi); store4(s + 32, Ago);
  store4(s + 36, Agu);
  store4(s + 40, Aka); store4(s + 44, Ake); store4(s + 48, Aki); store4(s + 52, Ako);
  store4(s + 56, Aku);
  store4(s + 60, Ama); store4(s + 64, Ame); store4(s + 68, Ami); store4(s + 72, Amo);
  store4(s + 76, Amu);
  store4(s + 80, Asa); store4(s + 84, Ase); store4(s + 88, Asi); store4(s + 92, Aso);
  store4(s + 96, Asu);
}

void keccakx4_absorb_avx2(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                          const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  const __m256i zero = _mm256_setzero_si256();
  for (size_t i = 0; i < 100; i += 4) store4(s + i, zero);
  const size_t lanes = r / 8;
  uint64_t pos = 0;
  while (inlen - pos >= r) {
    xor_lanes(s, 0, lanes, in0 + pos, in1 + pos, in2 + pos, in3 + pos);
    KeccakF1600_StatePermute4x_avx2(s);
    pos += r;
  }
  // The last 0 to r-1 bytes, padded with 0x1F after them and 0x80 in byte r-1, straight into
  // the lanes: whole words of input, one word with the last rest % 8 bytes and the 0x1F, and
  // the 0x80 in the top byte of the last lane (the same lane when rest is r-1: 0x9F).
  const size_t rest = size_t(inlen - pos);
  const size_t whole = rest / 8, tail = rest % 8;
  xor_lanes(s, 0, whole, in0 + pos, in1 + pos, in2 + pos, in3 + pos);
  const uint8_t *in[4] = {in0 + pos, in1 + pos, in2 + pos, in3 + pos};
  for (size_t j = 0; j < 4; ++j) {
    uint64_t w = 0;  // built in a register: no copy of the (possibly secret) input on the stack
    for (size_t k = 0; k < tail; ++k) w |= uint64_t(in[j][8 * whole + k]) << (8 * k);
    s[4 * whole + j] ^= w | (uint64_t(0x1F) << (8 * tail));
    s[4 * (lanes - 1) + j] ^= uint64_t(0x80) << 56;
  }
}

void keccakx4_squeezeblocks_avx2(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                                 uint64_t nblocks, uint64_t s[100], size_t r) {
  const size_t lanes = r / 8;
  while (nblocks-- > 0) {
    KeccakF1600_StatePermute4x_avx2(s);
    size_t i = 0;
    for (; i + 4 <= lanes; i += 4) {
      __m256i a = load4(s + 4 * i), b = load4(s + 4 * i + 4), c = load4(s + 4 * i + 8),
              d = load4(s + 4 * i + 12);
      transpose4(a, b, c, d);
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out0 + 8 * i), a);
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out1 + 8 * i), b);
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out2 + 8 * i), c);
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out3 + 8 * i), d);
    }
    for (; i < lanes; ++i) {
      std::memcpy(out0 + 8 * i, s + 4 * i + 0, 8);
      std::memcpy(out1 + 8 * i, s + 4 * i + 1, 8);
      std::memcpy(out2 + 8 * i, s + 4 * i + 2, 8);
      std::memcpy(out3 + 8 * i, s + 4 * i + 3, 8);
    }
    out0 += r;
    out1 += r;
    out2 += r;
    out3 += r;
  }
}

}  // namespace tavik

#endif  // TAVIK_FIPS202X4_AVX2
