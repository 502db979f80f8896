// The portable transforms and products, and the twiddle tables they and the vector transforms
// are checked against. Contracts in kernels.h.
#include <cstddef>
#include <cstdint>

#include "Reduce.h"
#include "rules/ntt_rules.h"
#include "params.h"
#include "range_check.h"
#include "scalar/kernels_scalar.h"

namespace tavik {

namespace {

// ---------------------------------------------------------------------------------------------
// Constants of the transform, derived at compile time from their rules.

using ntt_rules::mulmod;
using ntt_rules::NTT_SCALE;
using ntt_rules::zeta_fwd;

struct Table {
  uint32_t v[256];
};

// zetas[k] = MONT * r^br(k) mod Q for k = 1..255, in the order the forward transform uses them.
constexpr Table make_zetas() {
  Table t{};
  for (uint32_t k = 1; k < 256; ++k) t.v[k] = zeta_fwd(k);
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


// Offsets that keep the butterfly differences non-negative in unsigned arithmetic.
constexpr uint32_t FWD_OFFSET = 2 * Q;
constexpr uint32_t INV_OFFSET = 256 * Q;
static_assert(FWD_OFFSET == 8382466 && INV_OFFSET == 1072955648);
static_assert(uint64_t(2) * INV_OFFSET < (uint64_t(1) << 32), "inverse sums stay below 512Q");

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

namespace {

// The eight inverse levels and the final scaling, in place: out holds pointwise products in
// NTT form, every coefficient below 2Q; it ends in ordinary form in [0, 2Q). The sums stay
// below 512Q and the offset 256Q keeps every difference non-negative.
void inverse_levels(uint32_t *out) {
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

}  // namespace

void forward_ntt(uint32_t *p) {
  TAVIK_ASSERT_ALL(p, N, x < 0u - 16 * Q);  // room for the growth of 16Q
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

void inverse_ntt(uint32_t *out, const uint32_t *a, const uint32_t *b) {
  TAVIK_ASSERT_ALL(a, N, x < 18 * Q);
  TAVIK_ASSERT_ALL(b, N, x < 18 * Q);
  for (uint32_t i = 0; i < N; ++i) out[i] = montgomery_reduce(uint64_t(a[i]) * b[i]);
  inverse_levels(out);
}

// The products are summed in the NTT domain, brought below 2Q and transformed back once.
void poly_inner_product_scalar(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  for (uint32_t j = 0; j < N; ++j) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) {
      sum = reduce22(sum + montgomery_reduce(uint64_t(a[size_t(i) * N + j]) * b[size_t(i) * N + j]));
    }
    out[j] = sum;
  }
  inverse_levels(out);
}

// The inner product and the subtraction in the NTT domain, brought below 2Q, transformed once.
void poly_inner_product_minus_scalar(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count,
                                     const uint32_t *c, const uint32_t *d) {
  for (uint32_t j = 0; j < N; ++j) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) {
      sum = reduce22(sum + montgomery_reduce(uint64_t(a[size_t(i) * N + j]) * b[size_t(i) * N + j]));
    }
    out[j] = reduce22(sum + Q2 - montgomery_reduce(uint64_t(c[j]) * d[j]));
  }
  inverse_levels(out);
}

}  // namespace tavik
