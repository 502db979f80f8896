#include "Polynomial.h"

#include <cstddef>
#include <cstring>

#include "Reduce.h"
#include "cpu.h"
#include "fips202.h"
#include "io.h"
#include "ntt_avx2.h"
#include "wipe.h"

namespace tavik {

namespace {

// ---------------------------------------------------------------------------------------------
// Constants of the transform, derived at compile time from their rules.

constexpr uint32_t ROOT = 2225;  // primitive 512th root of unity modulo Q

constexpr uint32_t mulmod(uint32_t a, uint32_t b) { return uint32_t(uint64_t(a) * b % Q); }

constexpr uint32_t powmod(uint32_t base, uint32_t e) {
  uint32_t r = 1;
  for (; e != 0; e >>= 1) {
    if (e & 1) r = mulmod(r, base);
    base = mulmod(base, base);
  }
  return r;
}

// The 8-bit number whose bits are those of k in reverse order.
constexpr uint32_t bitrev8(uint32_t k) {
  uint32_t r = 0;
  for (int j = 0; j < 8; ++j) r |= ((k >> j) & 1) << (7 - j);
  return r;
}

static_assert(powmod(ROOT, 256) == Q - 1, "r^256 = -1, so r has order 512");

struct Table {
  uint32_t v[256];
};

// zetas[k] = MONT * r^br(k) mod Q for k = 1..255, in the order the forward transform uses them.
constexpr Table make_zetas() {
  Table t{};
  for (uint32_t k = 1; k < 256; ++k) t.v[k] = mulmod(MONT, powmod(ROOT, bitrev8(k)));
  return t;
}
constexpr Table ZETAS = make_zetas();

// zetas_inv[k] = Q - zetas[255 - k] = MONT * (-r^br(255 - k)) mod Q for k = 0..254.
constexpr Table make_zetas_inv() {
  Table t{};
  for (uint32_t k = 0; k < 255; ++k) t.v[k] = Q - ZETAS.v[255 - k];
  return t;
}
constexpr Table ZETAS_INV = make_zetas_inv();

static_assert(ZETAS.v[0] == 0 && ZETAS.v[1] == 16400 && ZETAS.v[2] == 1980911 &&
              ZETAS.v[3] == 1247182 && ZETAS.v[4] == 2296457 && ZETAS.v[5] == 2804120 &&
              ZETAS.v[6] == 224117 && ZETAS.v[7] == 3869184);
static_assert(ZETAS.v[252] == 863625 && ZETAS.v[253] == 2253466 && ZETAS.v[254] == 1083135 &&
              ZETAS.v[255] == 2095145);
static_assert(ZETAS_INV.v[0] == 2096088 && ZETAS_INV.v[1] == 3108098 &&
              ZETAS_INV.v[2] == 1937767 && ZETAS_INV.v[3] == 3327608);
static_assert(ZETAS_INV.v[252] == 2944051 && ZETAS_INV.v[253] == 2210322 &&
              ZETAS_INV.v[254] == 4174833 && ZETAS_INV.v[255] == 0);

// MONT^2 / 256 mod Q: removes the 2^-32 of the pointwise product and the 256 of the inverse.
constexpr uint32_t NTT_SCALE = mulmod(mulmod(mulmod(MONT, MONT), Q - 1), (Q - 1) / 256);
static_assert(NTT_SCALE == 3140608);
static_assert(mulmod(NTT_SCALE, 256) == mulmod(MONT, MONT));

// Offsets that keep the butterfly differences non-negative in unsigned arithmetic.
constexpr uint32_t FWD_OFFSET = 2 * Q;
constexpr uint32_t INV_OFFSET = 256 * Q;
static_assert(FWD_OFFSET == 8382466 && INV_OFFSET == 1072955648);
static_assert(uint64_t(2) * INV_OFFSET < (uint64_t(1) << 32), "inverse sums stay below 512Q");

// Any 32-bit x -> x mod Q: the shift by 22 never overestimates the quotient, so d is in [-Q, Q)
// and adding Q under the sign mask finishes the reduction.
inline uint32_t freeze1(uint32_t x) {
  const uint32_t d = x - ((x >> 22) + 1) * Q;
  return d + (Q & uint32_t(int32_t(d) >> 31));
}

// Centred |x mod Q| in [0, (Q - 1) / 2], without a branch.
inline uint32_t centred_abs(uint32_t x) {
  int32_t e = int32_t(HALF_Q) - int32_t(freeze1(x));
  e ^= e >> 31;  // a negative e becomes -e - 1
  return HALF_Q - uint32_t(e);
}

// Mask sampler: candidates up to 4 * (GAMMA1 - 1) are accepted and folded onto
// [0, 2 * (GAMMA1 - 1)]; the coefficient is Q + (GAMMA1 - 1) - t.
constexpr uint32_t GAMMA1M1_BOUND = 4 * (GAMMA1 - 1);       // 1047804
constexpr uint32_t GAMMA1M1_FOLD = 2 * (GAMMA1 - 1);        // 523902
constexpr uint32_t GAMMA1M1_TOP = Q + GAMMA1 - 1;           // 4453184
static_assert(GAMMA1M1_BOUND == 0xFFCFC && GAMMA1M1_FOLD == 0x7FE7E && GAMMA1M1_TOP == 0x43F340);

inline uint32_t fold_gamma1m1(uint32_t t) {
  return t > GAMMA1M1_FOLD ? t - (GAMMA1M1_FOLD + 1) : t;
}

constexpr size_t GAMMA1_SEED_BYTES = SEED_BYTES + CRH_BYTES;  // key, then mu

}  // namespace

// The tables are spelled out from the compile-time ones above.
#define TAVIK_T4(t, i) t.v[i], t.v[i + 1], t.v[i + 2], t.v[i + 3]
#define TAVIK_T16(t, i) TAVIK_T4(t, i), TAVIK_T4(t, i + 4), TAVIK_T4(t, i + 8), TAVIK_T4(t, i + 12)
#define TAVIK_T64(t, i) TAVIK_T16(t, i), TAVIK_T16(t, i + 16), TAVIK_T16(t, i + 32), TAVIK_T16(t, i + 48)
#define TAVIK_T256(t) TAVIK_T64(t, 0), TAVIK_T64(t, 64), TAVIK_T64(t, 128), TAVIK_T64(t, 192)
const uint32_t zetas[256] = {TAVIK_T256(ZETAS)};
const uint32_t zetas_inv[256] = {TAVIK_T256(ZETAS_INV)};
#undef TAVIK_T256
#undef TAVIK_T64
#undef TAVIK_T16
#undef TAVIK_T4

// ---------------------------------------------------------------------------------------------
// Transforms and products.

// In place, ordinary form -> NTT form; inputs below B leave outputs below B + 16Q (no reduction).
void forward_ntt(uint32_t *p) {
  uint32_t k = 1;
  for (uint32_t len = 128; len > 0; len >>= 1) {
    for (uint32_t start = 0; start < N; start += 2 * len) {
      const uint32_t zeta = zetas[k++];
      for (uint32_t j = start; j < start + len; ++j) {
        const uint32_t t = montgomery_reduce(uint64_t(zeta) * p[j + len]);
        p[j + len] = p[j] + FWD_OFFSET - t;
        p[j] = p[j] + t;
      }
    }
  }
}

// out = a * b (negacyclic), a and b NTT form below 18Q; out ordinary form in [0, 2Q). out may not alias a or b.
void inverse_ntt(uint32_t *out, const uint32_t *a, const uint32_t *b) {
  for (uint32_t i = 0; i < N; ++i) out[i] = montgomery_reduce(uint64_t(a[i]) * b[i]);

  uint32_t k = 0;
  for (uint32_t len = 1; len < N; len <<= 1) {
    for (uint32_t start = 0; start < N; start += 2 * len) {
      const uint32_t zeta = zetas_inv[k++];
      for (uint32_t j = start; j < start + len; ++j) {
        const uint32_t t = out[j];
        out[j] = t + out[j + len];
        const uint32_t u = t + INV_OFFSET - out[j + len];
        out[j + len] = montgomery_reduce(uint64_t(zeta) * u);
      }
    }
  }

  for (uint32_t i = 0; i < N; ++i) out[i] = montgomery_reduce(uint64_t(NTT_SCALE) * out[i]);
}

// a_count == 1: out[i] = a[0] * b[i] for i < b_count, each in [0, 2Q);
// else out[0] = sum of a[i] * b[i] for i < b_count, below 2 * b_count * Q.
// An operand whose flag is 0 is transformed in place first and its flag set to 1.
void PolyVec_mult(uint32_t *out, uint32_t *a, int32_t *a_flag, uint32_t a_count, uint32_t *b,
                  int32_t *b_flag, uint32_t b_count) {
  // The vector kernels keep the positions of the NTT form and give congruent results within the
  // ranges stated in ntt_avx2.h, so operands may be shared with the scalar definition below.
  const bool vector = active_backend() != Backend::scalar;
  void (*const ntt)(uint32_t *) = vector ? forward_ntt_avx2 : forward_ntt;
  if (*a_flag == 0) {
    *a_flag = 1;
    for (uint32_t i = 0; i < a_count; ++i) ntt(a + size_t(i) * N);
  }
  if (*b_flag == 0) {
    *b_flag = 1;
    for (uint32_t i = 0; i < b_count; ++i) ntt(b + size_t(i) * N);
  }

  if (a_count == 1) {
    void (*const product)(uint32_t *, const uint32_t *, const uint32_t *) = vector ? inverse_ntt_avx2 : inverse_ntt;
    for (uint32_t i = 0; i < b_count; ++i) product(out + size_t(i) * N, a, b + size_t(i) * N);
    return;
  }
  if (vector) {
    poly_inner_product_avx2(out, a, b, b_count);
    return;
  }

  inverse_ntt(out, a, b);
  uint32_t tmp[N];  // one term of the inner product, which may involve a secret operand
  for (uint32_t i = 1; i < b_count; ++i) {
    inverse_ntt(tmp, a + size_t(i) * N, b + size_t(i) * N);
    PolyVec_add(out, out, tmp, 1);
  }
  secure_wipe(tmp, sizeof tmp);
}

// ---------------------------------------------------------------------------------------------
// Element-wise operations. The coefficient-wise loops have no data-dependent branch.

// dst = src, count polynomials; the two never overlap.
void PolyVec_assignment(uint32_t *dst, const uint32_t *src, uint32_t count) {
  const size_t n = size_t(count) * N;
  for (size_t i = 0; i < n; ++i) dst[i] = src[i];
}

// out = a + b, 32-bit wrap, no reduction; out may be a or b.
void PolyVec_add(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  const size_t n = size_t(count) * N;
  for (size_t i = 0; i < n; ++i) out[i] = a[i] + b[i];
}

// out = a - b + 2Q, 32-bit wrap, no reduction; out may be a or b.
void PolyVec_sub(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  const size_t n = size_t(count) * N;
  for (size_t i = 0; i < n; ++i) out[i] = a[i] - b[i] + Q2;
}

// Any 32-bit value -> canonical residue in [0, Q), in place.
void PolyVec_freeze(uint32_t *v, uint32_t count) {
  const size_t n = size_t(count) * N;
  for (size_t i = 0; i < n; ++i) v[i] = freeze1(v[i]);
}

// 1 at the first stored value that differs, else 0 (raw comparison, not residues).
int32_t PolyVec_compare(const uint32_t *a, const uint32_t *b, uint32_t count) {
  const size_t n = size_t(count) * N;
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return 1;
  }
  return 0;
}

// 1 at the first coefficient whose centred |x mod Q| (in [0, 2095616]) is >= bound, else 0.
int32_t PolyVec_check_norm(const uint32_t *v, uint32_t count, uint32_t bound) {
  const size_t n = size_t(count) * N;
  for (size_t i = 0; i < n; ++i) {
    if (centred_abs(v[i]) >= bound) return 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Samplers.

// Matrix candidates: 3-byte little-endian values of buf[0..len); those up to 4Q - 1 are kept as
// f mod Q. Writes at most `needed` coefficients to out, returns how many.
uint32_t rej_uniform(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len) {
  uint32_t ctr = 0;
  for (uint32_t pos = 0; ctr < needed && pos + 3 <= len; pos += 3) {
    const uint32_t f = buf[pos] | uint32_t(buf[pos + 1]) << 8 | uint32_t(buf[pos + 2]) << 16;
    if (f <= 4 * Q - 1) out[ctr++] = freeze1(f);
  }
  return ctr;
}

// A (20 polynomials, row-major, NTT form, each coefficient in [0, Q)) from the 32-byte rho.
void Generate_A(uint32_t *A, const uint8_t *rho) {
  uint8_t in[SEED_BYTES + 1];
  uint8_t buf[5 * SHAKE128_RATE];
  std::memcpy(in, rho, SEED_BYTES);
  for (uint32_t i = 0; i < K; ++i) {
    for (uint32_t j = 0; j < L; ++j) {
      uint32_t *a = A + size_t(i * L + j) * N;
      const uint32_t index = 16 * i + 4 * j;
      uint32_t filled = 0;
      // Each retry e = 1, 2, ... hashes the index byte plus e and fills the remaining places.
      for (uint32_t e = 0; filled < N; ++e) {
        in[SEED_BYTES] = uint8_t(index + e);
        shake128(buf, sizeof buf, in, sizeof in);
        filled += rej_uniform(a + filled, N - filled, buf, sizeof buf);
      }
    }
  }
}

// Secret candidates: bits 0-2, then bits 5-7 of each byte of buf[0..len); a value t up to
// 2 * eta gives Q + eta - t. Writes at most `needed` coefficients to out, returns how many.
uint32_t rej_eta(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len, uint32_t eta) {
  uint32_t ctr = 0;
  for (uint32_t pos = 0; ctr < needed && pos < len; ++pos) {
    const uint32_t lo = buf[pos] & 7;
    const uint32_t hi = buf[pos] >> 5;
    if (lo <= 2 * eta) out[ctr++] = Q + eta - lo;
    if (hi <= 2 * eta && ctr < needed) out[ctr++] = Q + eta - hi;
  }
  return ctr;
}

// One polynomial with coefficients Q + x, x in [-eta, eta], from a 32-byte seed and the low byte of nonce.
void Poly_uniform_eta(uint32_t *out, const uint8_t *seed, int32_t nonce, uint32_t eta) {
  uint8_t in[SEED_BYTES + 1];
  uint64_t state[25];
  uint8_t buf[2 * SHAKE256_RATE];
  std::memcpy(in, seed, SEED_BYTES);
  in[SEED_BYTES] = uint8_t(nonce);
  shake256_absorb(state, in, sizeof in);
  shake256_squeezeblocks(buf, 2, state);
  uint32_t filled = rej_eta(out, N, buf, sizeof buf, eta);
  // Still short: further blocks of the same stream, one at a time, into the start of buf.
  while (filled < N) {
    shake256_squeezeblocks(buf, 1, state);
    filled += rej_eta(out + filled, N - filled, buf, SHAKE256_RATE, eta);
  }
  secure_wipe(in, sizeof in);
  secure_wipe(state, sizeof state);
  secure_wipe(buf, sizeof buf);
}

// Rejection step of the masking sampler: reads 5-byte groups of buf[0..len), writes at most
// `needed` (>= 1) coefficients to out, returns how many.
uint32_t rej_gamma1m1(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len) {
  uint32_t ctr = 0;
  for (uint32_t pos = 0; ctr < needed && pos + 5 <= len; pos += 5) {
    const uint8_t *g = buf + pos;
    const uint32_t t0 = (g[0] | uint32_t(g[1]) << 8 | uint32_t(g[2]) << 16) & 0xFFFFF;
    const uint32_t t1 = (g[2] >> 4) | uint32_t(g[3]) << 4 | uint32_t(g[4]) << 12;
    if (t0 <= GAMMA1M1_BOUND) out[ctr++] = GAMMA1M1_TOP - fold_gamma1m1(t0);
    if (t1 <= GAMMA1M1_BOUND && ctr < needed) out[ctr++] = GAMMA1M1_TOP - fold_gamma1m1(t1);
  }
  return ctr;
}

// One masking polynomial, coefficients Q + y, y in [-261951, 261951], from the 80-byte seed
// (key, then mu) and the low 16 bits of nonce; when nonce % 4 == 0 also writes 5 choice flags (0/1).
void poly_uniform_gamma1m1(uint8_t *choice_flags, uint32_t *out, const uint8_t *seed, uint32_t nonce) {
  uint8_t in[GAMMA1_SEED_BYTES + 2];
  uint64_t state[25];
  uint8_t buf[5 * SHAKE256_RATE];
  std::memcpy(in, seed, GAMMA1_SEED_BYTES);
  in[GAMMA1_SEED_BYTES] = uint8_t(nonce);
  in[GAMMA1_SEED_BYTES + 1] = uint8_t(nonce >> 8);
  shake256_absorb(state, in, sizeof in);
  shake256_squeezeblocks(buf, 5, state);

  const uint8_t *cand = buf;
  uint32_t len = sizeof buf;
  if (nonce % 4 == 0) {
    // Byte 0 carries the flags in bits 0-4; byte 1 is skipped.
    for (uint32_t i = 0; i < K; ++i) choice_flags[i] = uint8_t((buf[0] >> i) & 1);
    cand += 2;
    len -= 2;
  }
  uint32_t filled = rej_gamma1m1(out, N, cand, len);
  // Still short: further blocks of the same stream, one at a time, into the start of buf.
  while (filled < N) {
    shake256_squeezeblocks(buf, 1, state);
    filled += rej_gamma1m1(out + filled, N - filled, buf, SHAKE256_RATE);
  }
  secure_wipe(in, sizeof in);
  secure_wipe(state, sizeof state);
  secure_wipe(buf, sizeof buf);
}

// ---------------------------------------------------------------------------------------------
// Challenge.

// c: 60 coefficients in {1, Q - 1}, the rest 0, from the 48-byte mu and w1 (K polynomials, values 0..15).
void challenge(uint32_t *c, const uint8_t *mu, const uint32_t *w1) {
  uint8_t in[CRH_BYTES + W1_PACKED_BYTES];
  std::memcpy(in, mu, CRH_BYTES);
  pack_w1(in + CRH_BYTES, w1);

  uint64_t state[25];
  uint8_t block[SHAKE256_RATE];
  shake256_absorb(state, in, sizeof in);
  shake256_squeezeblocks(block, 1, state);

  uint64_t signs = 0;
  for (uint32_t i = 0; i < 8; ++i) signs |= uint64_t(block[i]) << (8 * i);
  for (uint32_t i = 0; i < N; ++i) c[i] = 0;

  // Inside-out shuffle: each new nonzero goes to a position b <= i, the old c[b] moves to i.
  uint32_t pos = 8;
  for (uint32_t i = N - TAU; i < N; ++i) {
    uint32_t b;
    do {
      if (pos == SHAKE256_RATE) {
        shake256_squeezeblocks(block, 1, state);
        pos = 0;
      }
      b = block[pos++];
    } while (b > i);
    c[i] = c[b];
    c[b] = ((signs >> (i - (N - TAU))) & 1) ? Q - 1 : 1;
  }
}

}  // namespace tavik
