// A second signer for the tests, built plainly from the library's own steps, whose two bounds
// that end an attempt (the norm of z and the number of hint ones) are parameters, and which
// records what each attempt saw. With the library's bounds it must sign exactly as the library.
#pragma once
#include <cstring>
#include <vector>

#include "Polynomial.h"
#include "Rounding.h"
#include "fips202.h"
#include "io.h"
#include "params.h"

namespace test_signer {

using namespace tavik;

struct Attempt {
  uint32_t max_z;    // largest centred |z|
  bool candidates;   // every polynomial had a passing candidate (judged only when z passed)
  uint32_t ones;     // hint ones (counted only when the candidates passed)
};

struct Signer {
  uint32_t z_bound = Z_BOUND;  // an attempt whose largest |z| reaches this is abandoned
  uint32_t omega = OMEGA;      // an attempt with more hint ones is abandoned
  std::vector<Attempt> attempts;
  std::vector<uint32_t> z;  // z of the accepted attempt, frozen
};

inline uint32_t max_centred(const uint32_t *v, size_t n) {
  uint32_t m = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t x = v[i] % Q, a = x <= HALF_Q ? x : Q - x;
    m = a > m ? a : m;
  }
  return m;
}

// Signs msg under sk into sig and returns true; returns false, with sig untouched, when the
// accepted attempt has more than 96 hint ones (which no signature can hold).
inline bool sign(Signer &s, const uint8_t *sk, const uint8_t *msg, size_t len, uint8_t *sig) {
  std::vector<uint32_t> A(K * L * N), s1(L * N), s2(K * N), t0(K * N), t0x(K * N), y(L * N), z(L * N),
      w(K * N), w1(K * N), w0(K * N), c(N), c_saved(N), cs1(L * N), cs2(K * N), ct0(K * N), ct0x(K * N),
      h(K * N), r1(N), r0(N), v(N), e(N);
  uint8_t rho[SEED_BYTES], key_mu[SEED_BYTES + CRH_BYTES];
  std::vector<uint8_t> hash_in(CRH_BYTES + len);
  unpack_sk1(A.data(), rho, key_mu, s1.data(), s2.data(), sk);
  unpack_sk2(hash_in.data(), t0.data(), sk + SK1_BYTES);
  for (size_t i = 0; i < t0.size(); ++i) t0x[i] = (t0[i] ^ 48u) - t0[i] + Q;
  std::memcpy(hash_in.data() + CRH_BYTES, msg, len);
  shake256(key_mu + SEED_BYTES, CRH_BYTES, hash_in.data(), hash_in.size());
  int32_t a_flag = 1, s1_flag = 0, s2_flag = 0, t0_flag = 0, t0x_flag = 0;
  s.attempts.clear();
  for (uint32_t nonce = 0;; nonce += 4) {
    uint8_t flags[K];
    polyvec_uniform_gamma1m1(flags, y.data(), key_mu, nonce);
    z = y;
    int32_t y_flag = 0, c_flag = 0;
    for (uint32_t i = 0; i < K; ++i) PolyVec_mult(&w[i * N], &A[i * L * N], &a_flag, L, y.data(), &y_flag, L);
    PolyVec_decompose(w1.data(), w0.data(), w.data(), K);
    challenge(c.data(), key_mu + SEED_BYTES, w1.data());
    c_saved = c;
    PolyVec_mult(cs1.data(), c.data(), &c_flag, 1, s1.data(), &s1_flag, L);
    PolyVec_add(z.data(), z.data(), cs1.data(), L);
    PolyVec_freeze(z.data(), L);
    Attempt at{max_centred(z.data(), z.size()), false, 0};
    if (at.max_z >= s.z_bound) {
      s.attempts.push_back(at);
      continue;
    }
    PolyVec_mult(cs2.data(), c.data(), &c_flag, 1, s2.data(), &s2_flag, K);
    PolyVec_sub(w0.data(), w.data(), cs2.data(), K);
    PolyVec_mult(ct0.data(), c.data(), &c_flag, 1, t0.data(), &t0_flag, K);
    PolyVec_mult(ct0x.data(), c.data(), &c_flag, 1, t0x.data(), &t0x_flag, K);
    // Variant f of polynomial i passes when v keeps w1[i] with a small low part and e is small.
    auto passes = [&](uint32_t i, uint32_t f) {
      v.assign(&w0[i * N], &w0[i * N] + N);
      e.assign(&ct0[i * N], &ct0[i * N] + N);
      if (f != 0) {
        PolyVec_sub(v.data(), v.data(), &ct0x[i * N], 1);
        PolyVec_add(e.data(), e.data(), &ct0x[i * N], 1);
      }
      PolyVec_decompose(r1.data(), r0.data(), v.data(), 1);
      return max_centred(r0.data(), N) < R0_BOUND && std::memcmp(r1.data(), &w1[i * N], N * 4) == 0 &&
             max_centred(e.data(), N) < CT0_BOUND;
    };
    at.candidates = true;
    for (uint32_t i = 0; i < K && at.candidates; ++i) {
      if (passes(i, flags[i])) continue;
      flags[i] ^= 1;
      at.candidates = passes(i, flags[i]);
    }
    if (!at.candidates) {
      s.attempts.push_back(at);
      continue;
    }
    for (uint32_t i = 0; i < K; ++i) {
      PolyVec_add(&w[i * N], &w0[i * N], &ct0[i * N], 1);
      if (flags[i] != 0) PolyVec_sub(&w0[i * N], &w0[i * N], &ct0x[i * N], 1);
    }
    at.ones = PolyVec_make_hint(h.data(), w.data(), w0.data());
    s.attempts.push_back(at);
    if (at.ones > s.omega) continue;
    if (at.ones > OMEGA) return false;
    pack_signature(sig, z.data(), h.data(), c_saved.data());
    s.z = z;
    return true;
  }
}

}  // namespace test_signer
