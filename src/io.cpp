// Bit-plane coefficient codec and the byte layouts of keys and signatures.
#include "io.h"

#include <cstring>

#include "tavik.h"

#include "Polynomial.h"
#include "byteorder.h"
#include "kernels.h"
#include "range_check.h"

namespace tavik {

// The public sizes are the layouts' sizes.
static_assert(TAVIK_PK_BYTES == PK_BYTES && TAVIK_SK_BYTES == SK_BYTES && TAVIK_SIG_BYTES == SIG_BYTES);
static_assert(TAVIK_SEED_BYTES == SEED_BYTES && TAVIK_MAX_MSG_BYTES == MAX_MSG_BYTES);

namespace {

constexpr size_t POS_BYTES = OMEGA;  // hint position bytes, then K count bytes
constexpr uint32_t MINUS_ONE = Q - 1;

// True when coefficient x of class cls has a stored value that fits the class's W bits, as every
// polynomial the layouts encode does.
[[maybe_unused]] inline bool fits_class(uint32_t x, uint32_t cls) {
  const IoVar v = IO_var_table[cls];
  const uint32_t stored = io_is_offset_class(cls) ? io_stored_value(x, v.offset) : x;
  return stored < (uint32_t(1) << v.width);
}

// compress of one polynomial of a key, signature or challenge input, whose range is checked
// first in builds with range checks.
inline void encode(uint8_t *out, const uint32_t *in, uint32_t cls) {
  TAVIK_ASSERT_ALL(in, N, fits_class(x, cls));
  compress(out, in, cls);
}

}  // namespace

void compress(uint8_t *out, const uint32_t *in, uint32_t cls) { kernels().pack_planes(out, in, cls); }

void decompress(uint32_t *out, const uint8_t *in, uint32_t cls) { kernels().unpack_planes(out, in, cls); }

void pack_pk(uint8_t *pk, const uint8_t *rho, const uint32_t *t1) {
  std::memcpy(pk, rho, SEED_BYTES);
  for (uint32_t i = 0; i < K; ++i) pack_pk_row(pk, t1 + i * N, i);
}

void pack_pk_row(uint8_t *pk, const uint32_t *t1_row, uint32_t i) {
  encode(pk + SEED_BYTES + i * POLY_T1_BYTES, t1_row, IO_T1);
}

void unpack_pk(uint32_t *A, uint8_t *rho, uint32_t *t1, const uint8_t *pk) {
  std::memcpy(rho, pk, SEED_BYTES);
  Generate_A(A, rho);
  unpack_t1(t1, pk);
}

void unpack_t1(uint32_t *t1, const uint8_t *pk) {
  for (uint32_t i = 0; i < K; ++i) decompress(t1 + i * N, pk + SEED_BYTES + i * POLY_T1_BYTES, IO_T1);
}

void pack_sk1(uint8_t *sk, const uint8_t *rho, const uint8_t *key, const uint32_t *s1, const uint32_t *s2) {
  pack_sk1_seeds(sk, rho, key);
  for (uint32_t i = 0; i < L; ++i) pack_sk1_secret(sk, s1 + i * N, i);
  for (uint32_t i = 0; i < K; ++i) pack_sk1_secret(sk, s2 + i * N, L + i);
}

void pack_sk1_seeds(uint8_t *sk, const uint8_t *rho, const uint8_t *key) {
  std::memcpy(sk, rho, SEED_BYTES);
  std::memcpy(sk + SEED_BYTES, key, SEED_BYTES);
}

void pack_sk1_secret(uint8_t *sk, const uint32_t *s, uint32_t index) {
  encode(sk + 2 * SEED_BYTES + index * POLY_S_BYTES, s, index < L ? IO_S1 : IO_S2);
}

void unpack_sk1(uint32_t *A, uint8_t *rho, uint8_t *key, uint32_t *s1, uint32_t *s2, const uint8_t *sk) {
  std::memcpy(rho, sk, SEED_BYTES);
  Generate_A(A, rho);
  unpack_sk1_secrets(key, s1, s2, sk);
}

void unpack_sk1_secrets(uint8_t *key, uint32_t *s1, uint32_t *s2, const uint8_t *sk) {
  std::memcpy(key, sk + SEED_BYTES, SEED_BYTES);
  const uint8_t *p = sk + 2 * SEED_BYTES;
  for (uint32_t i = 0; i < L; ++i, p += POLY_S_BYTES) decompress(s1 + i * N, p, IO_S1);
  for (uint32_t i = 0; i < K; ++i, p += POLY_S_BYTES) decompress(s2 + i * N, p, IO_S2);
}

void pack_sk2(uint8_t *sk_tail, const uint32_t *t0) {
  for (uint32_t i = 0; i < K; ++i) encode(sk_tail + CRH_BYTES + i * POLY_T0_BYTES, t0 + i * N, IO_T0);
}

void unpack_sk2(uint8_t *tr, uint32_t *t0, const uint8_t *sk_tail) {
  if (tr != sk_tail) std::memmove(tr, sk_tail, CRH_BYTES);
  for (uint32_t i = 0; i < K; ++i) decompress(t0 + i * N, sk_tail + CRH_BYTES + i * POLY_T0_BYTES, IO_T0);
}

void pack_w1(uint8_t *out, const uint32_t *w1) {
  for (uint32_t i = 0; i < K; ++i) pack_w1_row(out + i * POLY_W1_BYTES, w1 + i * N);
}

void pack_w1_row(uint8_t *out, const uint32_t *w1_row) { encode(out, w1_row, IO_W1); }

void pack_z(uint8_t *out, const uint32_t *z) {
  // Not checked: signing bounds z by its norm check before packing, and tests pack a z beyond
  // the class's range on purpose to forge signatures that verification must refuse.
  for (uint32_t i = 0; i < L; ++i) compress(out + i * POLY_Z_BYTES, z + i * N, IO_Z);
}

// 2432 bytes -> z: L polys as Q + s, s in [-261833, 262454].
void unpack_z(uint32_t *z, const uint8_t *in) {
  for (uint32_t i = 0; i < L; ++i) decompress(z + i * N, in + i * POLY_Z_BYTES, IO_Z);
}

void pack_h(uint8_t *out, const uint32_t *h) {
  std::memset(out, 0, H_BYTES);
  uint32_t n = 0;
  for (uint32_t i = 0; i < K; ++i) {
    for (uint32_t g = 0; g < N; g += 8) {
      const uint32_t *x = h + i * N + g;
      // A hint has at most 96 ones in 1280 places: groups of eight zeros are passed at once.
      if ((x[0] | x[1] | x[2] | x[3] | x[4] | x[5] | x[6] | x[7]) == 0) continue;
      for (uint32_t k = 0; k < 8; ++k) {
        if (x[k] == 1 && n < OMEGA) out[n++] = uint8_t(g + k);
      }
    }
    out[POS_BYTES + i] = uint8_t(n);
  }
}

int32_t unpack_h(uint32_t *h, const uint8_t *in) {
  std::memset(h, 0, K * N * sizeof(uint32_t));
  uint32_t bad = 0;
  uint32_t start = 0;
  for (uint32_t i = 0; i < K; ++i) {
    uint32_t end = in[POS_BYTES + i];
    bad |= uint32_t(end > OMEGA) | uint32_t(end < start);
    if (end > OMEGA) end = OMEGA;
    for (uint32_t j = start; j < end; ++j) {
      if (j > start) bad |= uint32_t(in[j] <= in[j - 1]);
      h[i * N + in[j]] = 1;
    }
    start = end;
  }
  for (uint32_t j = start; j < POS_BYTES; ++j) bad |= uint32_t(in[j] != 0);
  return int32_t(bad);
}

void pack_c(uint8_t *out, const uint32_t *c) {
  uint64_t signs = 0;
  uint32_t m = 0;
  for (uint32_t g = 0; g < N / 8; ++g) {
    uint32_t flags = 0;
    for (uint32_t j = 0; j < 8; ++j) {
      uint32_t x = c[8 * g + j];
      if (x == 0) continue;
      flags |= 1u << j;
      if (m < 64) signs |= uint64_t(x == MINUS_ONE) << m;
      ++m;
    }
    out[g] = uint8_t(flags);
  }
  store_le<8>(out + 32, signs);
}

int32_t unpack_c(uint32_t *c, const uint8_t *in) {
  const uint64_t signs = load_le<8>(in + 32);
  uint32_t m = 0;
  for (uint32_t g = 0; g < N / 8; ++g) {
    for (uint32_t j = 0; j < 8; ++j) {
      uint32_t set = (in[g] >> j) & 1;
      uint32_t neg = m < 64 ? uint32_t(signs >> m) & 1 : 0;
      c[8 * g + j] = set == 0 ? 0 : neg != 0 ? MINUS_ONE : 1;
      m += set;
    }
  }
  return int32_t(m < 64 && (signs >> m) != 0);
}

void pack_signature(uint8_t *sig, const uint32_t *z, const uint32_t *h, const uint32_t *c) {
  pack_z(sig, z);
  pack_h(sig + SIG_Z_BYTES, h);
  pack_c(sig + SIG_Z_BYTES + H_BYTES, c);
}

int32_t unpack_signature(uint32_t *z, uint32_t *h, uint32_t *c, const uint8_t *sig) {
  unpack_z(z, sig);
  int32_t bad = unpack_h(h, sig + SIG_Z_BYTES);
  bad |= unpack_c(c, sig + SIG_Z_BYTES + H_BYTES);
  return bad;
}

}  // namespace tavik
