// AVX2 rejection kernels and element-wise operations against their scalar twins and
// definitions, and the batched samplers against the SHAKE streams they are defined by. The
// sampler and scan tests run on whatever path the process selected (the suite runs once per
// path); the AVX2 builds are called directly and skipped where AVX2 is missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Polynomial.h"
#include "cpu.h"
#include "fips202.h"
#include "kernels.h"
#include "params.h"
#include "shake_lanes.h"
#include "avx2/kernels_avx2.h"

using namespace tavik;

namespace {

using Bytes = std::vector<uint8_t>;
using Poly = std::array<uint32_t, N>;
constexpr uint32_t GUARD = 0xA5A5A5A5u;

// True when the AVX2 builds can be called on this processor.
bool have_avx2() { return backend_available(Backend::avx2); }

// "index i: expected X, got Y" for the first position where a and b differ, or "" if none.
std::string first_difference(const uint32_t *want, const uint32_t *got, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (want[i] != got[i])
      return "index " + std::to_string(i) + ": scalar " + std::to_string(want[i]) + ", avx2 " + std::to_string(got[i]);
  }
  return "";
}

// ------------------------------------------------------------------------------------------
// Rejection kernels

using Rej = std::function<uint32_t(uint32_t *, uint32_t, const uint8_t *, uint32_t)>;

struct Kernel {
  std::string name;
  uint32_t bytes_per_group, candidates_per_group;
  Rej scalar, avx2;
  // A group of bytes whose candidates are taken from `values`, chosen by rng.
  std::function<void(uint8_t *, std::mt19937 &, const std::vector<uint32_t> &)> encode;
  std::vector<uint32_t> boundary;  // candidate values around the accept and fold limits
};

// The three kernels with their twins (eta at several bounds); empty where no AVX2 build exists.
std::vector<Kernel> kernels() {
  std::vector<Kernel> k;
#if TAVIK_X86_KERNELS
  auto pick = [](std::mt19937 &rng, const std::vector<uint32_t> &v) { return v[rng() % v.size()]; };
  k.push_back({"uniform", 3, 1, rej_uniform, rej_uniform_avx2,
               [pick](uint8_t *g, std::mt19937 &rng, const std::vector<uint32_t> &v) {
                 const uint32_t f = pick(rng, v);
                 for (int i = 0; i < 3; ++i) g[i] = uint8_t(f >> (8 * i));
               },
               {4 * Q - 2, 4 * Q - 1, 4 * Q, 4 * Q + 1, 0, Q - 1, Q, 0xFFFFFF}});
  // Beyond 3 only the 32-bit wrap of 2 * eta matters: 0x80000003 acts as 3, 0x7FFFFFFF accepts all.
  for (uint32_t eta : {0u, 1u, 2u, 3u, 0x80000003u, 0x7FFFFFFFu}) {
    k.push_back({"eta " + std::to_string(eta), 1, 2,
                 [eta](uint32_t *o, uint32_t n, const uint8_t *b, uint32_t l) { return rej_eta(o, n, b, l, eta); },
                 [eta](uint32_t *o, uint32_t n, const uint8_t *b, uint32_t l) { return rej_eta_avx2(o, n, b, l, eta); },
                 [pick](uint8_t *g, std::mt19937 &rng, const std::vector<uint32_t> &v) {
                   g[0] = uint8_t(pick(rng, v) | pick(rng, v) << 5 | (rng() & 0x18));  // bits 3-4 ignored
                 },
                 {std::min(2 * eta, 7u), std::min(2 * eta + 1, 7u), 4, 5, 0, 7}});
  }
  k.push_back({"gamma1m1", 5, 2, rej_gamma1m1, rej_gamma1m1_avx2,
               [pick](uint8_t *g, std::mt19937 &rng, const std::vector<uint32_t> &v) {
                 const uint64_t two = pick(rng, v) | uint64_t(pick(rng, v)) << 20;
                 for (int i = 0; i < 5; ++i) g[i] = uint8_t(two >> (8 * i));
               },
               {1047803, 1047804, 1047805, 0xFFFFF, 523901, 523902, 523903, 0}});
#endif
  return k;
}

// Runs both twins on buf for every needed from 0 to the buffer's candidate count plus 2:
// same count, same coefficients, nothing written at or beyond out[needed].
void expect_twins_agree(const Kernel &k, const Bytes &buf, const std::string &what) {
  const uint32_t len = uint32_t(buf.size());
  const uint32_t capacity = len / k.bytes_per_group * k.candidates_per_group;
  std::vector<uint32_t> want(capacity + 2 + 8), got(capacity + 2 + 8);
  for (uint32_t needed = 0; needed <= capacity + 2; ++needed) {
    std::fill(want.begin(), want.end(), GUARD);
    std::fill(got.begin(), got.end(), GUARD);
    const uint32_t n_want = k.scalar(want.data(), needed, buf.data(), len);
    const uint32_t n_got = k.avx2(got.data(), needed, buf.data(), len);
    const std::string where = k.name + ", " + what + ", len " + std::to_string(len) +
                              ", needed " + std::to_string(needed);
    ASSERT_EQ(n_got, n_want) << where;
    ASSERT_EQ(first_difference(want.data(), got.data(), n_want), "") << where;
    for (size_t i = needed; i < got.size(); ++i) ASSERT_EQ(got[i], GUARD) << where << ": wrote out[" << i << "]";
  }
}

TEST(RejAvx2, MatchesScalarTwinForEveryNeeded) {
  if (!have_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
  std::mt19937 rng(71);
  for (const Kernel &k : kernels()) {
    // Lengths around the vector widths (24, 4 and 20 bytes per round) and the samplers' draws.
    for (uint32_t len : {0u, 1u, 3u, 4u, 5u, 20u, 21u, 23u, 24u, 25u, 47u, 48u, 136u, 272u, 678u, 680u, 840u}) {
      Bytes random(len), zeros(len, 0), ones(len, 0xFF), boundary(len), mixed(len, 0xFF);
      for (uint8_t &b : random) b = uint8_t(rng());
      // Whole groups of boundary candidates (the tail of a partial group random); groups of
      // 0xFF bytes, rejected by every kernel, with one random group in eight.
      const uint32_t whole = len / k.bytes_per_group * k.bytes_per_group;
      for (uint32_t p = 0; p < len; ++p) boundary[p] = uint8_t(rng());
      for (uint32_t p = 0; p < whole; p += k.bytes_per_group) {
        k.encode(&boundary[p], rng, k.boundary);
        if (rng() % 8 == 0) std::copy_n(&random[p], k.bytes_per_group, &mixed[p]);
      }
      expect_twins_agree(k, random, "random");
      expect_twins_agree(k, zeros, "all accepted");
      expect_twins_agree(k, ones, "all rejected");
      expect_twins_agree(k, boundary, "boundary candidates");
      expect_twins_agree(k, mixed, "mostly rejected");
    }
  }
}

// ------------------------------------------------------------------------------------------
// Batched samplers against their SHAKE streams

// The secret polynomial by its definition: rej_eta over the SHAKE256 stream of seed || nonce
// byte (byte-wise rejection, so the stream may be fed whole).
Poly eta_reference(const uint8_t *seed, uint32_t nonce, uint32_t eta) {
  uint8_t in[SEED_BYTES + 1];
  std::memcpy(in, seed, SEED_BYTES);
  in[SEED_BYTES] = uint8_t(nonce);
  Bytes stream(40 * SHAKE256_RATE);
  shake256(stream.data(), stream.size(), in, sizeof in);
  Poly p;
  EXPECT_EQ(rej_eta(p.data(), N, stream.data(), uint32_t(stream.size()), eta), N);
  return p;
}

TEST(BatchedSampler, EtaEqualsOnePolynomialPerNonce) {
  std::mt19937 rng(72);
  uint8_t seed[SEED_BYTES];
  // eta 0 and 1 accept too few candidates for the first two blocks, so every stream continues.
  const int32_t firsts[] = {0, 4, 250, 253, -2, INT32_MAX - 3, int32_t(rng())};
  for (uint32_t eta : {2u, 0u, 1u, 3u}) {
    for (int32_t first : firsts) {
      for (uint8_t &b : seed) b = uint8_t(rng());
      for (uint32_t count = 0; count <= 9; ++count) {
        std::vector<uint32_t> out((count + 1) * N, GUARD), single(N);
        polyvec_uniform_eta(out.data(), seed, first, count, eta);
        for (uint32_t k = 0; k < count; ++k) {
          const uint32_t nonce = uint32_t(first) + k;
          const Poly want = eta_reference(seed, nonce, eta);
          const std::string where = "eta " + std::to_string(eta) + ", nonce " + std::to_string(nonce) +
                                    ", polynomial " + std::to_string(k) + " of " + std::to_string(count);
          ASSERT_EQ(first_difference(want.data(), &out[k * N], N), "") << where;
          Poly_uniform_eta(single.data(), seed, int32_t(nonce), eta);
          ASSERT_EQ(first_difference(want.data(), single.data(), N), "") << where << " (single)";
        }
        for (uint32_t i = count * N; i < out.size(); ++i) ASSERT_EQ(out[i], GUARD) << "beyond count " << count;
      }
    }
  }
}

// The masking polynomial by its definition, with the flags it writes (or GUARD bytes).
struct MaskRef {
  Poly y;
  std::array<uint8_t, K> flags;
};

MaskRef gamma1m1_reference(const uint8_t *seed, uint32_t nonce, std::array<uint8_t, K> flags) {
  uint8_t in[SEED_BYTES + CRH_BYTES + 2];
  std::memcpy(in, seed, SEED_BYTES + CRH_BYTES);
  in[SEED_BYTES + CRH_BYTES] = uint8_t(nonce);
  in[SEED_BYTES + CRH_BYTES + 1] = uint8_t(nonce >> 8);
  uint8_t stream[5 * SHAKE256_RATE];
  shake256(stream, sizeof stream, in, sizeof in);
  uint32_t skip = 0;
  if (nonce % 4 == 0) {
    for (uint32_t i = 0; i < K; ++i) flags[i] = (stream[0] >> i) & 1;
    skip = 2;
  }
  MaskRef r{{}, flags};
  EXPECT_EQ(rej_gamma1m1(r.y.data(), N, stream + skip, sizeof stream - skip), N);
  return r;
}

TEST(BatchedSampler, Gamma1m1EqualsFourSingleCallsAndWritesTheFlagsOnce) {
  std::mt19937 rng(73);
  uint8_t seed[SEED_BYTES + CRH_BYTES];
  const uint32_t nonces[] = {0,     1,      2,      3,      4,          5,          65532,
                             65533, 65534,  65535,  65536,  0xFFFFFFFCu, 0xFFFFFFFDu, 0xFFFFFFFFu,
                             uint32_t(rng()), uint32_t(rng())};
  for (int round = 0; round < 4; ++round) {
    for (uint8_t &b : seed) b = uint8_t(rng());
    for (uint32_t nonce : nonces) {
      std::array<uint8_t, K + 3> flags, single_flags;
      flags.fill(0xEE);
      single_flags.fill(0xEE);
      std::array<uint8_t, K> want_flags;
      want_flags.fill(0xEE);
      std::vector<uint32_t> out((L + 1) * N, GUARD), single(N);
      polyvec_uniform_gamma1m1(flags.data(), out.data(), seed, nonce);
      for (uint32_t j = 0; j < L; ++j) {
        const MaskRef want = gamma1m1_reference(seed, nonce + j, want_flags);
        want_flags = want.flags;
        const std::string where = "nonce " + std::to_string(nonce + j);
        ASSERT_EQ(first_difference(want.y.data(), &out[j * N], N), "") << where;
        poly_uniform_gamma1m1(single_flags.data(), single.data(), seed, nonce + j);
        ASSERT_EQ(first_difference(want.y.data(), single.data(), N), "") << where << " (single)";
      }
      for (uint32_t i = 0; i < K; ++i) {
        ASSERT_NE(want_flags[i], 0xEE) << "one of four consecutive nonces is a multiple of 4";
        EXPECT_EQ(flags[i], want_flags[i]) << "flag " << i << ", nonces from " << nonce;
        EXPECT_EQ(single_flags[i], want_flags[i]) << "flag " << i << " (single), nonces from " << nonce;
      }
      for (uint32_t i = K; i < flags.size(); ++i) EXPECT_EQ(flags[i], 0xEE) << "only K flags";
      for (uint32_t i = L * N; i < out.size(); ++i) ASSERT_EQ(out[i], GUARD) << "only L polynomials";
    }
  }
}

TEST(BatchedSampler, GenerateAFollowsTheRowStreams) {
  std::mt19937 rng(74);
  uint8_t rho[SEED_BYTES];
  std::vector<uint32_t> A(K * L * N + N, GUARD);
  for (int round = 0; round < 8; ++round) {
    for (uint8_t &b : rho) b = uint8_t(rng());
    Generate_A(A.data(), rho);
    uint8_t in[SEED_BYTES + 1];
    std::memcpy(in, rho, SEED_BYTES);
    for (uint32_t p = 0; p < K * L; ++p) {
      in[SEED_BYTES] = uint8_t(4 * p);  // 16 * row + 4 * column
      uint8_t stream[5 * SHAKE128_RATE];
      shake128(stream, sizeof stream, in, sizeof in);
      Poly want;
      ASSERT_EQ(rej_uniform(want.data(), N, stream, sizeof stream), N);
      ASSERT_EQ(first_difference(want.data(), &A[p * N], N), "") << "polynomial " << p;
    }
    for (uint32_t i = K * L * N; i < A.size(); ++i) ASSERT_EQ(A[i], GUARD);

    // The same matrix with a public key's hash computed beside it, and then the hash of that
    // hash followed by a message (its length puts the seam between them, and the end, at
    // different places in a block; up to the longest message).
    std::vector<uint8_t> pk(PK_BYTES), msg(size_t(round) * 471 + round % 3);
    for (uint8_t &b : pk) b = uint8_t(rng());
    for (uint8_t &b : msg) b = uint8_t(rng());
    std::vector<uint32_t> A2(A.size(), GUARD);
    uint8_t tr[CRH_BYTES + 1], mu[CRH_BYTES + 1], want_tr[CRH_BYTES], want_mu[CRH_BYTES];
    tr[CRH_BYTES] = mu[CRH_BYTES] = 0xEE;
    const SideHash side[2] = {{tr, CRH_BYTES, nullptr, 0, pk.data(), pk.size(), false},
                              {mu, CRH_BYTES, tr, CRH_BYTES, msg.data(), msg.size(), true}};
    generate_a_and_shake256(A2.data(), rho, side, 2);
    shake256(want_tr, CRH_BYTES, pk.data(), pk.size());
    std::vector<uint8_t> tr_msg(want_tr, want_tr + CRH_BYTES);
    tr_msg.insert(tr_msg.end(), msg.begin(), msg.end());
    shake256(want_mu, CRH_BYTES, tr_msg.data(), tr_msg.size());
    ASSERT_EQ(A2, A);
    ASSERT_EQ(0, std::memcmp(tr, want_tr, CRH_BYTES));
    ASSERT_EQ(0, std::memcmp(mu, want_mu, CRH_BYTES)) << msg.size() << "-byte message";
    ASSERT_EQ(tr[CRH_BYTES], 0xEE) << "only the requested bytes";
    ASSERT_EQ(mu[CRH_BYTES], 0xEE) << "only the requested bytes";
  }
}

// Key generation's sampling at both lane widths: A and the secret streams (eta 0 and 1 accept
// too few candidates for two blocks, so at eight lanes the secret streams take further blocks in
// the matrix expansion's lanes).
TEST(BatchedSampler, MatrixWithSecretsEqualsTheSeparateSamplersAtBothWidths) {
  std::mt19937 rng(76);
  uint8_t rho[SEED_BYTES], seed[SEED_BYTES];
  for (uint8_t &b : rho) b = uint8_t(rng());
  std::vector<uint32_t> want_A(K * L * N);
  Generate_A(want_A.data(), rho);
  for (uint32_t width : {4u, 8u}) {
    const KeccakLanesInThread lanes(width);
    for (uint32_t eta : {2u, 0u, 1u}) {
      for (uint8_t &b : seed) b = uint8_t(rng());
      std::vector<uint32_t> A(K * L * N + N, GUARD), s1(L * N + N, GUARD), s2(K * N + N, GUARD);
      generate_a_and_secrets(A.data(), rho, s1.data(), s2.data(), seed, eta);
      ASSERT_TRUE(std::equal(want_A.begin(), want_A.end(), A.begin())) << width << " lanes";
      for (uint32_t k = 0; k < K + L; ++k) {
        const Poly want = eta_reference(seed, k, eta);
        const uint32_t *got = k < L ? &s1[k * N] : &s2[(k - L) * N];
        ASSERT_EQ(first_difference(want.data(), got, N), "") << width << " lanes, eta " << eta << ", nonce " << k;
      }
      EXPECT_EQ(A.back(), GUARD);
      EXPECT_EQ(s1.back(), GUARD);
      EXPECT_EQ(s2.back(), GUARD);
    }
  }
}

// The path's rejection step for the masks, refusing every 5-byte group whose first byte is odd as
// well: about half the candidates, so that every stream needs further blocks. Whole groups keep
// the step's promise that a stream fed in pieces fills what it fills fed whole.
uint32_t (*mask_step)(uint32_t *, uint32_t, const uint8_t *, uint32_t);
uint32_t stingy_mask_step(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len) {
  uint32_t filled = 0;
  for (uint32_t at = 0; at + 5 <= len && filled < needed; at += 5)
    if ((buf[at] & 1) == 0) filled += mask_step(out + filled, needed - filled, buf + at, 5);
  return filled;
}

// Two attempts' masks at once equal the single polynomials of their nonces at both lane widths,
// with the path's step and with one that makes every stream take further blocks.
TEST(BatchedSampler, MasksOfTwoAttemptsEqualTheSingleMasks) {
  std::mt19937 rng(77);
  uint8_t seed[SEED_BYTES + CRH_BYTES];
  Kernels stingy = tavik::kernels();
  mask_step = stingy.rej_gamma1m1;
  stingy.rej_gamma1m1 = stingy_mask_step;
  for (bool starved : {false, true}) {
    const KernelsInThread use(starved ? stingy : tavik::kernels());
    for (uint32_t width : {4u, 8u}) {
      const KeccakLanesInThread lanes(width);
      for (uint32_t nonce : {0u, 4u, 65532u, 0xFFFFFFFCu, uint32_t(rng()) & ~3u}) {
        for (uint8_t &b : seed) b = uint8_t(rng());
        std::array<uint8_t, K + 1> flags, next_flags, want_flags;
        flags.fill(0xEE);
        next_flags.fill(0xEE);
        want_flags.fill(0xEE);
        std::vector<uint32_t> y(L * N + N, GUARD), next(L * N + N, GUARD), single(N);
        polyvec_uniform_gamma1m1_two(flags.data(), y.data(), next_flags.data(), next.data(), seed, nonce);
        for (uint32_t j = 0; j < 2 * L; ++j) {
          poly_uniform_gamma1m1(want_flags.data(), single.data(), seed, nonce + j);
          const uint32_t *got = j < L ? &y[j * N] : &next[(j - L) * N];
          ASSERT_EQ(first_difference(single.data(), got, N), "")
              << width << " lanes, starved " << starved << ", nonce " << nonce + j;
          if (j == 0) {
            EXPECT_EQ(flags, want_flags) << "nonce " << nonce;
          }
        }
        EXPECT_EQ(next_flags, want_flags) << "nonce " << nonce + L;
        EXPECT_EQ(y.back(), GUARD);
        EXPECT_EQ(next.back(), GUARD);
      }
    }
  }
}

// ------------------------------------------------------------------------------------------
// Element-wise operations

#if TAVIK_X86_KERNELS
TEST(PolyVecAvx2, CoefficientWiseOpsMatchTheirDefinitions) {
  if (!have_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
  std::mt19937 rng(75);
  const uint32_t extremes[] = {0, 1, Q - 1, Q, 2 * Q - 1, 2 * Q, 4 * Q - 1, 1u << 31, (1u << 31) - 1, 0xFFFFFFFFu};
  auto value = [&](int kind) { return kind == 0 ? uint32_t(rng()) : extremes[rng() % std::size(extremes)]; };
  for (uint32_t count = 0; count <= K; ++count) {
    for (int kind = 0; kind < 2; ++kind) {
      const size_t n = size_t(count) * N;
      std::vector<uint32_t> a(n + N), b(n + N);
      for (size_t i = 0; i < a.size(); ++i) {
        a[i] = value(kind);
        b[i] = value(kind);
      }
      std::vector<uint32_t> sum(a.size()), diff(a.size()), frozen(a.size());
      for (size_t i = 0; i < a.size(); ++i) {
        sum[i] = i < n ? a[i] + b[i] : a[i];
        diff[i] = i < n ? a[i] - b[i] + 2 * Q : a[i];
        frozen[i] = i < n ? a[i] % Q : a[i];
      }
      const std::string where = "count " + std::to_string(count) + (kind ? ", extremes" : ", random");
      std::vector<uint32_t> in_place = a;
      polyvec_add_avx2(in_place.data(), in_place.data(), b.data(), count);
      EXPECT_EQ(first_difference(sum.data(), in_place.data(), a.size()), "") << "add out == a, " << where;
      in_place = b;
      polyvec_add_avx2(in_place.data(), a.data(), in_place.data(), count);
      for (size_t i = n; i < a.size(); ++i) sum[i] = b[i];
      EXPECT_EQ(first_difference(sum.data(), in_place.data(), a.size()), "") << "add out == b, " << where;
      in_place = a;
      polyvec_sub_avx2(in_place.data(), in_place.data(), b.data(), count);
      EXPECT_EQ(first_difference(diff.data(), in_place.data(), a.size()), "") << "sub out == a, " << where;
      in_place = b;
      polyvec_sub_avx2(in_place.data(), a.data(), in_place.data(), count);
      for (size_t i = n; i < a.size(); ++i) diff[i] = b[i];
      EXPECT_EQ(first_difference(diff.data(), in_place.data(), a.size()), "") << "sub out == b, " << where;
      in_place = a;
      polyvec_freeze_avx2(in_place.data(), count);
      EXPECT_EQ(first_difference(frozen.data(), in_place.data(), a.size()), "") << "freeze, " << where;
    }
  }
}

#endif

// The two tests scan branch-free blocks: a single differing or oversized coefficient is found
// wherever it sits, and nothing after `count` polynomials is looked at. Both builds of
// check_norm are run where AVX2 exists.
TEST(PolyVecScan, TestsFindEveryPosition) {
  std::mt19937 rng(76);
  std::vector<uint32_t> a(K * N + N), b;
  for (uint32_t &x : a) x = rng();
  b = a;
  EXPECT_EQ(PolyVec_compare(a.data(), b.data(), K), 0);
  for (size_t at = 0; at < a.size(); ++at) {
    b[at] ^= 1u << (rng() % 32);
    ASSERT_EQ(PolyVec_compare(a.data(), b.data(), K), at < K * N ? 1 : 0) << "difference at " << at;
    b[at] = a[at];
  }

  // Every coefficient centred 0 but one; bound equal to its centred value fails, one more passes.
  std::vector<std::pair<const char *, int32_t (*)(const uint32_t *, uint32_t, uint32_t)>> builds = {
      {"PolyVec_check_norm", PolyVec_check_norm}};
#if TAVIK_X86_KERNELS
  if (have_avx2()) builds.push_back({"polyvec_check_norm_avx2", polyvec_check_norm_avx2});
#endif
  const uint32_t extremes[] = {0, Q - 1, Q, 2 * Q - 1, HALF_Q, HALF_Q + 1, 1u << 31, 0xFFFFFFFFu};
  std::vector<uint32_t> v(K * N + N, Q);
  for (size_t at = 0; at < v.size(); ++at) {
    const uint32_t x = at % 3 == 0 ? extremes[rng() % std::size(extremes)] : uint32_t(rng());
    const uint32_t r = x % Q, centred = r <= HALF_Q ? r : Q - r;
    v[at] = x;
    for (uint32_t bound : {centred, centred + 1, 0u, 0xFFFFFFFFu}) {
      const int32_t want = bound == 0 || (at < K * N && centred >= bound) ? 1 : 0;
      for (const auto &[name, check] : builds)
        ASSERT_EQ(check(v.data(), K, bound), want) << name << ", x = " << x << " at " << at << ", bound " << bound;
    }
    v[at] = 2 * Q;
  }
  for (const auto &[name, check] : builds) EXPECT_EQ(check(v.data(), 0, 0), 0) << name;
}

}  // namespace
