#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "Polynomial.h"
#include "fips202.h"
#include "io.h"
#include "poly_reference.h"

using namespace tavik;

namespace {

using poly_reference::Poly;
using poly_reference::reduced;
using poly_reference::schoolbook;
constexpr uint32_t GUARD = 0xA5A5A5A5u;

Poly random_poly(std::mt19937 &rng, uint32_t below) {
  std::uniform_int_distribution<uint32_t> d(0, below - 1);
  Poly p;
  for (uint32_t &x : p) x = d(rng);
  return p;
}

Poly ntt_of(Poly p) {
  forward_ntt(p.data());
  return p;
}

// ------------------------------------------------------------------------------------------
// Transform

TEST(Ntt, ForwardOfOneKeepsTheUnreducedLevelSums) {
  Poly one{};
  one[0] = 1;
  const Poly f = ntt_of(one);
  EXPECT_EQ(f[0], 1u);
  // Positions 2^m .. 2^(m+1) - 1 hold (m + 2) Q + 1.
  for (uint32_t m = 0; m < 8; ++m) {
    for (uint32_t i = 1u << m; i < 2u << m; ++i) ASSERT_EQ(f[i], (m + 2) * Q + 1) << "position " << i;
  }
}

TEST(Ntt, InverseOfKnownProducts) {
  Poly one{}, x{}, x255{};
  one[0] = 1;
  x[1] = 1;
  x255[255] = 1;
  struct Case {
    const char *name;
    Poly a, b;
    uint32_t first;
  };
  const Case cases[] = {
      {"1 * 1", one, one, Q + 1},
      {"X * X^255 = -1", x, x255, Q - 1},
  };
  for (const Case &c : cases) {
    const Poly fa = ntt_of(c.a), fb = ntt_of(c.b);
    Poly out;
    inverse_ntt(out.data(), fa.data(), fb.data());
    EXPECT_EQ(out[0], c.first) << c.name;
    for (uint32_t i = 1; i < N; ++i) ASSERT_EQ(out[i], Q) << c.name << " position " << i;
  }
}

TEST(Ntt, RandomProductsMatchSchoolbook) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    std::mt19937 rng(seed);
    // Odd seeds use canonical inputs, even seeds the widest operands the scheme passes (< 2Q),
    // one of them at the very top of that range.
    const uint32_t below = (seed & 1) ? Q : 2 * Q;
    Poly a = random_poly(rng, below), b = random_poly(rng, below);
    if (seed == 6) a.fill(2 * Q - 1);
    const Poly fa = ntt_of(a), fb = ntt_of(b);
    for (uint32_t i = 0; i < N; ++i) ASSERT_LT(fa[i], below + 16 * Q);
    Poly out;
    inverse_ntt(out.data(), fa.data(), fb.data());
    for (uint32_t i = 0; i < N; ++i) ASSERT_LT(out[i], 2 * Q) << "seed " << seed;
    EXPECT_EQ(reduced(out), schoolbook(a.data(), b.data())) << "seed " << seed;
  }
}

// ------------------------------------------------------------------------------------------
// PolyVec_mult

// The chosen path may hold other representatives of the NTT form than forward_ntt, so operands
// and products are compared as residues.
TEST(PolyVecMult, FlagsTransformEachOperandOnce) {
  std::mt19937 rng(7);
  std::vector<uint32_t> a(N), b(L * N);
  for (uint32_t &x : a) x = std::uniform_int_distribution<uint32_t>(0, Q - 1)(rng);
  for (uint32_t &x : b) x = std::uniform_int_distribution<uint32_t>(0, Q - 1)(rng);
  std::vector<uint32_t> a_ntt = a, b_ntt = b;
  forward_ntt(a_ntt.data());
  for (uint32_t i = 0; i < L; ++i) forward_ntt(b_ntt.data() + i * N);
  const auto residues = [](std::vector<uint32_t> v) {
    for (uint32_t &x : v) x %= Q;
    return v;
  };

  int32_t a_flag = 0, b_flag = 0;
  std::vector<uint32_t> out1(L * N), out2(L * N);
  PolyVec_mult(out1.data(), a.data(), &a_flag, 1, b.data(), &b_flag, L);
  EXPECT_EQ(a_flag, 1);
  EXPECT_EQ(b_flag, 1);
  EXPECT_EQ(residues(a), residues(a_ntt));
  EXPECT_EQ(residues(b), residues(b_ntt));

  const std::vector<uint32_t> a_once = a, b_once = b;
  PolyVec_mult(out2.data(), a.data(), &a_flag, 1, b.data(), &b_flag, L);
  EXPECT_EQ(out1, out2);
  EXPECT_EQ(a, a_once) << "second call must not transform again";
  EXPECT_EQ(b, b_once);
  EXPECT_EQ(a_flag, 1);

  // A flag set by the caller (any nonzero value) means the operand is already in NTT form.
  std::vector<uint32_t> a2 = a_ntt, b2 = b_ntt, out3(L * N);
  int32_t set = 7;
  PolyVec_mult(out3.data(), a2.data(), &set, 1, b2.data(), &b_flag, L);
  EXPECT_EQ(set, 7);
  EXPECT_EQ(a2, a_ntt);
  EXPECT_EQ(residues(out3), residues(out1));
}

TEST(PolyVecMult, ScalarTimesVectorWritesBCountPolynomials) {
  std::mt19937 rng(8);
  const Poly c = random_poly(rng, Q);
  std::vector<uint32_t> b(K * N);
  for (uint32_t &x : b) x = std::uniform_int_distribution<uint32_t>(0, 2 * Q - 1)(rng);
  const std::vector<uint32_t> b_orig = b;
  Poly a = c;
  std::vector<uint32_t> out((K + 1) * N, GUARD);
  int32_t a_flag = 0, b_flag = 0;
  PolyVec_mult(out.data(), a.data(), &a_flag, 1, b.data(), &b_flag, K);
  for (uint32_t i = 0; i < K; ++i) {
    Poly got;
    std::memcpy(got.data(), out.data() + i * N, sizeof got);
    for (uint32_t x : got) ASSERT_LT(x, 2 * Q);
    EXPECT_EQ(reduced(got), schoolbook(c.data(), b_orig.data() + i * N)) << "output " << i;
  }
  for (uint32_t i = K * N; i < (K + 1) * N; ++i) ASSERT_EQ(out[i], GUARD);
}

TEST(PolyVecMult, InnerProductWritesOnePolynomial) {
  std::mt19937 rng(9);
  std::vector<uint32_t> a(L * N), b(L * N);
  for (uint32_t &x : a) x = std::uniform_int_distribution<uint32_t>(0, Q - 1)(rng);
  for (uint32_t &x : b) x = std::uniform_int_distribution<uint32_t>(0, 2 * Q - 1)(rng);
  const std::vector<uint32_t> a_orig = a, b_orig = b;
  // The matrix row arrives in NTT form with its flag at 1.
  for (uint32_t i = 0; i < L; ++i) forward_ntt(a.data() + i * N);
  std::vector<uint32_t> out(L * N, GUARD);
  int32_t a_flag = 1, b_flag = 0;
  PolyVec_mult(out.data(), a.data(), &a_flag, L, b.data(), &b_flag, L);

  std::array<uint64_t, N> expect{};
  for (uint32_t i = 0; i < L; ++i) {
    const Poly p = schoolbook(a_orig.data() + i * N, b_orig.data() + i * N);
    for (uint32_t j = 0; j < N; ++j) expect[j] += p[j];
  }
  for (uint32_t j = 0; j < N; ++j) {
    ASSERT_LT(out[j], 2 * L * Q);
    ASSERT_EQ(out[j] % Q, expect[j] % Q) << "coefficient " << j;
  }
  for (uint32_t i = N; i < L * N; ++i) ASSERT_EQ(out[i], GUARD) << "index " << i;
}

// ------------------------------------------------------------------------------------------
// Element-wise operations

TEST(PolyVec, FreezeKnownValues) {
  const uint32_t in[][2] = {
      {0, 0},          {Q, 0},           {Q - 1, Q - 1},          {2 * Q, 0},
      {4 * Q - 1, Q - 1}, {1u << 31, 1572352}, {0xFFFFFFFFu, 3144703}, {1u << 22, 3071},
  };
  Poly p{};
  for (uint32_t i = 0; i < std::size(in); ++i) p[i] = in[i][0];
  PolyVec_freeze(p.data(), 1);
  for (uint32_t i = 0; i < std::size(in); ++i) EXPECT_EQ(p[i], in[i][1]) << "x = " << in[i][0];
}

// Every 7th 32-bit value (every 97th under the sanitizers, which slow the sweep tenfold), plus
// the values around multiples of Q and of 2^22 and the top.
#if defined(__SANITIZE_ADDRESS__)
constexpr uint32_t FREEZE_STRIDE = 97;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr uint32_t FREEZE_STRIDE = 97;
#else
constexpr uint32_t FREEZE_STRIDE = 7;
#endif
#else
constexpr uint32_t FREEZE_STRIDE = 7;
#endif

TEST(PolyVec, FreezeMatchesRemainderOverTheWholeRange) {
  constexpr uint32_t COUNT = 16;
  std::vector<uint32_t> v(COUNT * N), expect(COUNT * N);
  uint64_t value = 0;
  uint32_t remainder = 0;  // carried along instead of divided out
  while (value <= 0xFFFFFFFFu) {
    size_t n = 0;
    for (; n < v.size() && value <= 0xFFFFFFFFu; ++n, value += FREEZE_STRIDE) {
      v[n] = uint32_t(value);
      expect[n] = remainder;
      remainder += FREEZE_STRIDE;
      if (remainder >= Q) remainder -= Q;
    }
    PolyVec_freeze(v.data(), COUNT);
    const size_t bad = size_t(std::mismatch(v.begin(), v.begin() + n, expect.begin()).first - v.begin());
    ASSERT_EQ(bad, n) << "x = " << value - FREEZE_STRIDE * (n - bad) << " gave " << v[bad]
                      << ", not " << expect[bad];
  }

  std::vector<uint32_t> edges;
  for (uint64_t m = 0; m * Q <= 0xFFFFFFFFu + uint64_t(1); ++m) {
    for (int64_t d = -2; d <= 2; ++d) {
      const int64_t x = int64_t(m * Q) + d;
      if (x >= 0 && x <= int64_t(0xFFFFFFFFu)) edges.push_back(uint32_t(x));
    }
  }
  for (uint64_t h = 1; h < 1024; ++h) {
    edges.push_back(uint32_t((h << 22) - 1));
    edges.push_back(uint32_t(h << 22));
  }
  edges.push_back(0xFFFFFFFFu);
  edges.resize((edges.size() + N - 1) / N * N, 0);
  std::vector<uint32_t> frozen = edges;
  PolyVec_freeze(frozen.data(), uint32_t(frozen.size() / N));
  for (size_t i = 0; i < edges.size(); ++i) ASSERT_EQ(frozen[i], edges[i] % Q) << "x = " << edges[i];
}

TEST(PolyVec, AddAndSubAllowOutputEqualToAnInput) {
  std::mt19937 rng(11);
  std::vector<uint32_t> a(K * N), b(K * N);
  for (uint32_t &x : a) x = rng();
  for (uint32_t i = 0; i < K * N; ++i) b[i] = rng() % (2 * Q);
  std::vector<uint32_t> sum(K * N), diff(K * N);
  PolyVec_add(sum.data(), a.data(), b.data(), K);
  PolyVec_sub(diff.data(), a.data(), b.data(), K);
  for (uint32_t i = 0; i < K * N; ++i) {
    ASSERT_EQ(sum[i], uint32_t(a[i] + b[i]));
    ASSERT_EQ(diff[i], uint32_t(a[i] - b[i] + 2 * Q));
  }
  std::vector<uint32_t> in_place = a;
  PolyVec_add(in_place.data(), in_place.data(), b.data(), K);
  EXPECT_EQ(in_place, sum);
  in_place = b;
  PolyVec_sub(in_place.data(), a.data(), in_place.data(), K);
  EXPECT_EQ(in_place, diff);

  PolyVec_sub(diff.data(), a.data(), a.data(), K);
  for (uint32_t x : diff) ASSERT_EQ(x, 8382466u) << "a - a is 2Q, not 0";

  std::vector<uint32_t> copy(K * N);
  PolyVec_assignment(copy.data(), a.data(), K);
  EXPECT_EQ(copy, a);
}

TEST(PolyVec, CompareIsRawAndCoversTheWholeVector) {
  std::vector<uint32_t> zeros(K * N, 0), qs(K * N, Q);
  EXPECT_EQ(PolyVec_compare(zeros.data(), qs.data(), K), 1) << "congruent is not equal";
  std::vector<uint32_t> a(K * N, 5), b = a;
  EXPECT_EQ(PolyVec_compare(a.data(), b.data(), K), 0);
  b.back() = 6;
  EXPECT_EQ(PolyVec_compare(a.data(), b.data(), K), 1) << "last coefficient of the last polynomial";
  EXPECT_EQ(PolyVec_compare(a.data(), b.data(), K - 1), 0) << "beyond count";
}

TEST(PolyVec, CheckNormKnownValues) {
  struct Case {
    uint32_t x, bound;
    int32_t result;
  };
  const Case cases[] = {
      {Q + 261833, 261834, 0}, {Q - 261833, 261834, 0}, {Q + 261834, 261834, 1},
      {Q - 261834, 261834, 1}, {261834, 261834, 1},     {2 * Q - 261834, 261834, 1},
      {HALF_Q, 2095616, 1},    {HALF_Q + 1, 2095616, 1}, {HALF_Q, 2095617, 0},
      {HALF_Q + 1, 2095617, 0}, {0xFFFFFFFFu, 2095617, 0}, {Q, 0, 1},
      {Q, 1, 0},               {0xFFFFFFFFu, 1046530, 1}, {0xFFFFFFFFu, 1046531, 0},
  };
  for (const Case &c : cases) {
    Poly p;
    p.fill(Q);  // centred value 0
    p[N - 1] = c.x;
    EXPECT_EQ(PolyVec_check_norm(p.data(), 1, c.bound), c.result) << "x = " << c.x << " bound " << c.bound;
  }
}

// The compared value is min(x mod Q, Q - x mod Q), wherever x sits in the vector.
TEST(PolyVec, CheckNormMatchesCentredValue) {
  std::mt19937 rng(12);
  std::vector<uint32_t> v(K * N);
  for (int iter = 0; iter < 2000; ++iter) {
    std::fill(v.begin(), v.end(), 2 * Q);
    const uint32_t x = rng();
    const uint32_t at = rng() % (K * N);
    v[at] = x;
    const uint32_t r = x % Q;
    const uint32_t centred = r <= HALF_Q ? r : Q - r;
    ASSERT_EQ(PolyVec_check_norm(v.data(), K, centred), 1) << "x = " << x;
    ASSERT_EQ(PolyVec_check_norm(v.data(), K, centred + 1), 0) << "x = " << x;
    ASSERT_EQ(v[at], x) << "the vector is only read";
  }
}

TEST(PolyVec, CountZeroTouchesNothing) {
  std::vector<uint32_t> out(N, GUARD), a(N, 1), b(N, 2);
  PolyVec_assignment(out.data(), a.data(), 0);
  PolyVec_add(out.data(), a.data(), b.data(), 0);
  PolyVec_sub(out.data(), a.data(), b.data(), 0);
  PolyVec_freeze(out.data(), 0);
  for (uint32_t x : out) ASSERT_EQ(x, GUARD);
  EXPECT_EQ(PolyVec_compare(a.data(), b.data(), 0), 0);
  EXPECT_EQ(PolyVec_check_norm(out.data(), 0, 0), 0);
}

// ------------------------------------------------------------------------------------------
// Matrix sampler

TEST(Sampler, MatrixCandidates) {
  struct Case {
    std::array<uint8_t, 3> bytes;
    uint32_t count, value;
  };
  const Case cases[] = {
      {{0x03, 0xD0, 0xFF}, 1, Q - 1},  // 4Q - 1
      {{0x04, 0xD0, 0xFF}, 0, 0},      // 4Q is rejected
      {{0x01, 0xF4, 0x3F}, 1, 0},      // Q
      {{0x00, 0x00, 0x00}, 1, 0},
      {{0xDF, 0x4F, 0xCE}, 1, 947164},  // 3Q + 947164
  };
  for (const Case &c : cases) {
    uint32_t out[2] = {GUARD, GUARD};
    EXPECT_EQ(rej_uniform(out, 2, c.bytes.data(), 3), c.count);
    if (c.count) {
      EXPECT_EQ(out[0], c.value);
    }
    EXPECT_EQ(out[c.count], GUARD);
  }
  // A partial candidate at the end is not read; `needed` caps the output.
  const uint8_t zeros[8] = {};
  uint32_t out[3] = {GUARD, GUARD, GUARD};
  EXPECT_EQ(rej_uniform(out, 3, zeros, 8), 2u);
  EXPECT_EQ(out[2], GUARD);
  EXPECT_EQ(rej_uniform(out, 1, zeros, 8), 1u);
}

TEST(Sampler, GenerateAKnownAnswersAndLayout) {
  std::vector<uint32_t> A(K * L * N);
  const uint8_t rho[SEED_BYTES] = {};
  Generate_A(A.data(), rho);
  const uint32_t a00[] = {947164, 565944, 2231632, 2991916};
  const uint32_t a43[] = {312009, 337930, 219986, 3689002};
  for (uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(A[i], a00[i]);
    EXPECT_EQ(A[(4 * L + 3) * N + i], a43[i]);
  }
  for (uint32_t x : A) ASSERT_LT(x, Q);

  // Polynomial (i, j) comes from the stream of rho || 16i + 4j.
  for (uint32_t i = 0; i < K; ++i) {
    for (uint32_t j = 0; j < L; ++j) {
      uint8_t in[SEED_BYTES + 1] = {};
      in[SEED_BYTES] = uint8_t(16 * i + 4 * j);
      uint8_t stream[840];
      shake128(stream, sizeof stream, in, sizeof in);
      Poly expect;
      ASSERT_EQ(rej_uniform(expect.data(), N, stream, sizeof stream), N);
      ASSERT_EQ(0, std::memcmp(expect.data(), A.data() + (i * L + j) * N, sizeof expect))
          << "polynomial " << i << "," << j;
    }
  }

  std::vector<uint32_t> again(K * L * N), other(K * L * N);
  Generate_A(again.data(), rho);
  EXPECT_EQ(again, A);
  uint8_t rho2[SEED_BYTES] = {};
  rho2[31] = 1;
  Generate_A(other.data(), rho2);
  EXPECT_NE(other, A);
}

// ------------------------------------------------------------------------------------------
// Secret sampler

TEST(Sampler, EtaCandidateBytes) {
  struct Case {
    uint8_t byte;
    std::vector<uint32_t> values;
  };
  const Case cases[] = {
      {0x00, {Q + 2, Q + 2}},
      {0x18, {Q + 2, Q + 2}},  // bits 3 and 4 are ignored
      {0xFF, {}},
      {0x85, {Q - 2}},  // low 5 rejected, high 4 accepted
      {0x9C, {Q - 2, Q - 2}},
      {0x61, {Q + 1, Q - 1}},
  };
  for (const Case &c : cases) {
    uint32_t out[3] = {GUARD, GUARD, GUARD};
    ASSERT_EQ(rej_eta(out, 3, &c.byte, 1, ETA), c.values.size()) << int(c.byte);
    for (size_t i = 0; i < c.values.size(); ++i) EXPECT_EQ(out[i], c.values[i]) << int(c.byte);
    EXPECT_EQ(out[c.values.size()], GUARD);
  }
  // The last coefficient filled by a low candidate leaves the high candidate unused.
  const uint8_t two[2] = {0x00, 0x00};
  uint32_t out[4] = {GUARD, GUARD, GUARD, GUARD};
  EXPECT_EQ(rej_eta(out, 3, two, 2, ETA), 3u);
  EXPECT_EQ(out[3], GUARD);
}

TEST(Sampler, EtaKnownAnswerAndRange) {
  const uint8_t seed[SEED_BYTES] = {};
  Poly p;
  Poly_uniform_eta(p.data(), seed, 0, ETA);
  const uint32_t expect[] = {Q + 2, Q + 1, Q - 2, Q + 1, Q - 2, Q + 1, Q + 1, Q + 2};
  for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(p[i], expect[i]) << i;

  for (int32_t nonce = 0; nonce < 9; ++nonce) {
    Poly_uniform_eta(p.data(), seed, nonce, ETA);
    for (uint32_t x : p) ASSERT_TRUE(x >= Q - 2 && x <= Q + 2) << x;
  }
  // Only the low byte of the nonce is hashed.
  Poly p0, p256;
  Poly_uniform_eta(p0.data(), seed, 0, ETA);
  Poly_uniform_eta(p256.data(), seed, 256, ETA);
  EXPECT_EQ(p0, p256);
}

// The sampler's output is the fill step applied to its SHAKE256 stream.
TEST(Sampler, EtaFollowsItsStream) {
  std::mt19937 rng(13);
  for (int32_t nonce : {0, 3, 8, 200, -1}) {
    uint8_t in[SEED_BYTES + 1];
    for (uint32_t i = 0; i < SEED_BYTES; ++i) in[i] = uint8_t(rng());
    in[SEED_BYTES] = uint8_t(nonce);
    uint8_t stream[6 * SHAKE256_RATE];
    shake256(stream, sizeof stream, in, sizeof in);
    Poly expect, got;
    ASSERT_EQ(rej_eta(expect.data(), N, stream, sizeof stream, ETA), N);
    Poly_uniform_eta(got.data(), in, nonce, ETA);
    EXPECT_EQ(got, expect) << "nonce " << nonce;
  }
}

// A stream that is short of accepted candidates, fed as the sampler feeds it (two blocks, then
// one block at a time), fills exactly what the whole stream fills, however many blocks it takes.
TEST(Sampler, EtaContinuationMatchesTheLongerStream) {
  std::mt19937 rng(14);
  std::vector<uint8_t> stream(12 * SHAKE256_RATE);
  for (uint8_t &b : stream) b = (rng() % 8 == 0) ? uint8_t(rng()) : 0xFF;  // mostly rejected bytes

  Poly whole;
  whole.fill(GUARD);
  ASSERT_EQ(rej_eta(whole.data(), N, stream.data(), uint32_t(stream.size()), ETA), N);

  Poly pieces;
  pieces.fill(GUARD);
  uint32_t filled = rej_eta(pieces.data(), N, stream.data(), 2 * SHAKE256_RATE, ETA);
  ASSERT_LT(filled, N) << "the test stream must need further blocks";
  uint32_t blocks = 2;
  while (filled < N) {
    ASSERT_LT(blocks, 12u);
    filled += rej_eta(pieces.data() + filled, N - filled, stream.data() + blocks * SHAKE256_RATE,
                      SHAKE256_RATE, ETA);
    ++blocks;
  }
  EXPECT_GT(blocks, 3u) << "more than the one extra block of the original design";
  EXPECT_EQ(filled, N);
  EXPECT_EQ(pieces, whole);

  // Pieces of arbitrary lengths give the same result too.
  Poly odd;
  odd.fill(GUARD);
  filled = 0;
  for (uint32_t pos = 0, step = 1; filled < N; pos += step, step = step % 13 + 1) {
    ASSERT_LT(pos, stream.size());
    filled += rej_eta(odd.data() + filled, N - filled, stream.data() + pos, step, ETA);
  }
  EXPECT_EQ(odd, whole);
}

// ------------------------------------------------------------------------------------------
// Mask sampler

TEST(Sampler, Gamma1CandidateGroups) {
  struct Case {
    std::array<uint8_t, 5> group;
    std::vector<uint32_t> values;
  };
  const Case cases[] = {
      {{0x00, 0x00, 0x00, 0x00, 0x00}, {Q + 261951, Q + 261951}},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {}},
      {{0x7E, 0xFE, 0x07, 0x00, 0x00}, {Q - 261951, Q + 261951}},  // t0 = 523902 is not folded
      {{0x7F, 0xFE, 0xC7, 0xCF, 0xFF}, {Q + 261951, Q - 261950}},  // 523903 -> 0, 1047804 -> 523901
      {{0xFD, 0xFC, 0xFF, 0xFF, 0xFF}, {}},                         // 1047805 is rejected
  };
  for (const Case &c : cases) {
    uint32_t out[3] = {GUARD, GUARD, GUARD};
    ASSERT_EQ(rej_gamma1m1(out, 3, c.group.data(), 5), c.values.size());
    for (size_t i = 0; i < c.values.size(); ++i) EXPECT_EQ(out[i], c.values[i]);
    EXPECT_EQ(out[c.values.size()], GUARD);
  }
  // Trailing bytes short of a group are not read; `needed` is honoured inside a group.
  const uint8_t zeros[680] = {};
  std::vector<uint32_t> out(300, GUARD);
  const uint32_t lens[][2] = {{9, 2}, {680, 272}, {678, 270}, {136, 54}};
  for (const auto &l : lens) EXPECT_EQ(rej_gamma1m1(out.data(), 300, zeros, l[0]), l[1]) << l[0];
  std::fill(out.begin(), out.end(), GUARD);
  EXPECT_EQ(rej_gamma1m1(out.data(), 1, zeros, 5), 1u);
  EXPECT_EQ(out[1], GUARD);
}

int32_t centred(uint32_t x) { return int32_t(x) - int32_t(Q); }

TEST(Sampler, Gamma1KnownAnswers) {
  const uint8_t seed[80] = {};
  uint8_t flags[K] = {9, 9, 9, 9, 9};
  Poly y;
  poly_uniform_gamma1m1(flags, y.data(), seed, 0);
  const uint8_t flags0[K] = {0, 1, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(flags, flags0, K));
  const int32_t y0[] = {-74393, -62339, 45498, -222762};
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(centred(y[i]), y0[i]) << i;

  uint8_t untouched[K] = {7, 7, 7, 7, 7};
  poly_uniform_gamma1m1(untouched, y.data(), seed, 1);
  for (uint8_t f : untouched) EXPECT_EQ(f, 7);
  const int32_t y1[] = {-252515, -169496, 188274, 73645};
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(centred(y[i]), y1[i]) << i;
}

// Flags, candidate bytes and nonce bytes as they come from the SHAKE256 stream of seed || the
// low 16 nonce bits (so nonce 65540 gives what nonce 4 gives).
TEST(Sampler, Gamma1FollowsItsStream) {
  std::mt19937 rng(15);
  uint8_t in[82];
  for (uint32_t i = 0; i < 80; ++i) in[i] = uint8_t(rng());
  for (uint32_t nonce : {0u, 1u, 2u, 3u, 4u, 5u, 0x1234u, 0xFFFFu, 65540u, 0x12345u}) {
    in[80] = uint8_t(nonce);
    in[81] = uint8_t(nonce >> 8);
    uint8_t stream[5 * SHAKE256_RATE];
    shake256(stream, sizeof stream, in, sizeof in);
    const uint32_t skip = (nonce % 4 == 0) ? 2 : 0;
    Poly expect;
    ASSERT_EQ(rej_gamma1m1(expect.data(), N, stream + skip, sizeof stream - skip), N);

    uint8_t flags[K] = {9, 9, 9, 9, 9};
    Poly got;
    poly_uniform_gamma1m1(flags, got.data(), in, nonce);
    EXPECT_EQ(got, expect) << "nonce " << nonce;
    for (uint32_t i = 0; i < K; ++i)
      EXPECT_EQ(flags[i], skip ? (stream[0] >> i) & 1 : 9) << "nonce " << nonce << " flag " << i;
    for (uint32_t x : got) ASSERT_TRUE(x >= Q - 261951 && x <= Q + 261951) << x;
  }
}

// ------------------------------------------------------------------------------------------
// Challenge

struct ChallengeInput {
  uint8_t mu[CRH_BYTES];
  std::vector<uint32_t> w1;
};

ChallengeInput random_challenge_input(std::mt19937 &rng) {
  ChallengeInput in;
  for (uint8_t &b : in.mu) b = uint8_t(rng());
  in.w1.resize(K * N);
  for (uint32_t &x : in.w1) x = rng() % 16;
  return in;
}

// The positions and signs, worked out from the SHAKE256 output of mu || packed w1: byte 8 on
// picks the positions; for position i a byte j <= i moves what is at j to i and puts the k-th
// sign at j.
Poly rederive_challenge(const ChallengeInput &in) {
  uint8_t msg[CRH_BYTES + W1_PACKED_BYTES];
  std::memcpy(msg, in.mu, CRH_BYTES);
  pack_w1(msg + CRH_BYTES, in.w1.data());
  uint8_t stream[4 * SHAKE256_RATE];
  shake256(stream, sizeof stream, msg, sizeof msg);
  uint64_t signs = 0;
  for (int i = 7; i >= 0; --i) signs = (signs << 8) | stream[i];

  std::array<int, N> sign{};  // +1, -1 or 0
  size_t next = 8;
  for (uint32_t k = 0; k < TAU; ++k) {
    const uint32_t i = N - TAU + k;
    uint32_t j = stream[next++];
    while (j > i) j = stream[next++];
    sign[i] = sign[j];
    sign[j] = ((signs >> k) & 1) ? -1 : 1;
  }
  Poly c;
  for (uint32_t i = 0; i < N; ++i) c[i] = sign[i] == 0 ? 0 : sign[i] == 1 ? 1 : Q - 1;
  return c;
}

TEST(Challenge, SixtySignedOnesAndTheirOrder) {
  std::mt19937 rng(16);
  for (int iter = 0; iter < 20; ++iter) {
    const ChallengeInput in = random_challenge_input(rng);
    Poly c;
    c.fill(GUARD);
    challenge(c.data(), in.mu, in.w1.data());
    Poly public_c;
    challenge_vartime(public_c.data(), in.mu, in.w1.data());
    EXPECT_EQ(public_c, c) << "iteration " << iter;
    uint32_t nonzero = 0;
    for (uint32_t x : c) {
      ASSERT_TRUE(x == 0 || x == 1 || x == Q - 1) << x;
      nonzero += x != 0;
    }
    EXPECT_EQ(nonzero, TAU);
    EXPECT_EQ(c, rederive_challenge(in)) << "iteration " << iter;
  }
}

TEST(Challenge, DeterministicAndSensitiveToBothInputs) {
  std::mt19937 rng(17);
  ChallengeInput in = random_challenge_input(rng);
  Poly c1, c2;
  challenge(c1.data(), in.mu, in.w1.data());
  challenge(c2.data(), in.mu, in.w1.data());
  EXPECT_EQ(c1, c2);

  in.mu[CRH_BYTES - 1] ^= 1;
  challenge(c2.data(), in.mu, in.w1.data());
  EXPECT_NE(c1, c2);
  in.mu[CRH_BYTES - 1] ^= 1;

  in.w1[K * N - 1] ^= 1;
  challenge(c2.data(), in.mu, in.w1.data());
  EXPECT_NE(c1, c2);
}

}  // namespace
