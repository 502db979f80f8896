// The vector paths' transforms and products (each path's kernel table) against their definitions
// (evaluation at the roots, schoolbook negacyclic product) and against the scalar forward_ntt /
// inverse_ntt: equal residues and the stated output ranges, on random, sparse and extreme inputs.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "Polynomial.h"
#include "cpu.h"
#include "kernels.h"
#include "params.h"
#include "poly_reference.h"

using namespace tavik;

namespace {

using poly_reference::Poly;
using poly_reference::reduced;
using poly_reference::schoolbook;

constexpr uint64_t FWD_BOUND = 12 * uint64_t(Q);  // the vector forward transforms' output, any input
constexpr uint64_t PRODUCT_BOUND = 2 * uint64_t(Q);  // inverse / inner product output
constexpr uint32_t NTT_INPUT_MAX = 18 * Q - 1;     // largest NTT-form input admitted
// Largest input for which the scalar forward transform's growth of 16Q still fits 32 bits.
constexpr uint64_t SCALAR_FWD_LIMIT = (uint64_t(1) << 32) - 16 * uint64_t(Q);

uint32_t mulq(uint64_t a, uint64_t b) { return uint32_t(a % Q * (b % Q) % Q); }

uint32_t powq(uint32_t base, uint32_t e) {
  uint32_t r = 1;
  for (; e != 0; e >>= 1, base = mulq(base, base))
    if (e & 1) r = mulq(r, base);
  return r;
}

uint32_t bitrev8(uint32_t i) {
  uint32_t r = 0;
  for (int j = 0; j < 8; ++j) r |= ((i >> j) & 1) << (7 - j);
  return r;
}

// The NTT form by its definition: position i holds p(r^(2*br(i)+1)) mod Q, r = 2225.
Poly evaluate(const Poly &p) {
  Poly out{};
  for (uint32_t i = 0; i < N; ++i) {
    const uint32_t x = powq(2225, 2 * bitrev8(i) + 1);
    uint64_t acc = 0;
    for (uint32_t j = N; j-- > 0;) acc = (acc * x + p[j] % Q) % Q;
    out[i] = uint32_t(acc);
  }
  return out;
}

testing::AssertionResult SameResidues(const Poly &got, const Poly &want) {
  for (uint32_t i = 0; i < N; ++i) {
    if (got[i] % Q != want[i] % Q) {
      return testing::AssertionFailure() << "first difference at index " << i << ": " << got[i]
                                         << " vs " << want[i] << " (mod Q " << got[i] % Q
                                         << " vs " << want[i] % Q << ")";
    }
  }
  return testing::AssertionSuccess();
}

testing::AssertionResult AllBelow(const Poly &p, uint64_t bound) {
  for (uint32_t i = 0; i < N; ++i) {
    if (p[i] >= bound) {
      return testing::AssertionFailure() << "index " << i << " holds " << p[i] << ", not below "
                                         << bound;
    }
  }
  return testing::AssertionSuccess();
}

Poly filled(uint32_t v) {
  Poly p;
  p.fill(v);
  return p;
}

Poly random_poly(std::mt19937 &rng, uint32_t lo, uint32_t hi) {
  std::uniform_int_distribution<uint32_t> d(lo, hi);
  Poly p;
  for (uint32_t &x : p) x = d(rng);
  return p;
}

Poly monomial(uint32_t at, uint32_t value) {
  Poly p{};
  p[at] = value;
  return p;
}

struct Named {
  std::string name;
  Poly p;
};

// Ordinary-form operands: the shapes the scheme transforms (secrets, masks, challenges, t1),
// sparse ones, and the extremes of the admitted range.
std::vector<Named> ordinary_inputs() {
  std::mt19937 rng(60061);
  std::vector<Named> v;
  v.push_back({"zeros", Poly{}});
  v.push_back({"one", monomial(0, 1)});
  v.push_back({"X", monomial(1, 1)});
  v.push_back({"X^255", monomial(255, 1)});
  v.push_back({"(Q-1)X^128", monomial(128, Q - 1)});
  v.push_back({"5X^77", monomial(77, 5)});
  v.push_back({"all Q-1", filled(Q - 1)});
  v.push_back({"all 2Q-1", filled(2 * Q - 1)});
  v.push_back({"all 18Q-1", filled(NTT_INPUT_MAX)});
  v.push_back({"uniform [0,Q)", random_poly(rng, 0, Q - 1)});
  v.push_back({"uniform [0,2Q)", random_poly(rng, 0, 2 * Q - 1)});
  v.push_back({"secret Q+[-2,2]", random_poly(rng, Q - 2, Q + 2)});
  v.push_back({"mask Q+[-261951,261951]", random_poly(rng, Q - 261951, Q + 261951)});
  v.push_back({"t1 * 2^13", [&] {
                 Poly p = random_poly(rng, 0, 511);
                 for (uint32_t &x : p) x <<= 13;
                 return p;
               }()});
  v.push_back({"challenge", [&] {
                 Poly p{};
                 for (int i = 0; i < 60; ++i) p[rng() % N] = (rng() & 1) ? 1 : Q - 1;
                 return p;
               }()});
  v.push_back({"largest scalar input", filled(uint32_t(SCALAR_FWD_LIMIT - 1))});
  v.push_back({"all 2^32-1", filled(0xFFFFFFFFu)});
  v.push_back({"uniform 32-bit", random_poly(rng, 0, 0xFFFFFFFFu)});
  return v;
}

bool scalar_accepts(const Poly &p) {
  for (uint32_t x : p)
    if (x >= SCALAR_FWD_LIMIT) return false;
  return true;
}

// Inputs whose scalar NTT form is below 18Q, so that a pointwise product may take it.
bool scalar_feeds_product(const Poly &p) {
  for (uint32_t x : p)
    if (x >= 2 * Q) return false;
  return true;
}

// The kernels of the vector path under test.
const Kernels *vec = nullptr;

Poly forward_vector(Poly p) {
  vec->forward_ntt(p.data());
  return p;
}

Poly forward_scalar(Poly p) {
  forward_ntt(p.data());
  return p;
}

class NttAvx2 : public testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (!backend_available(GetParam())) GTEST_SKIP() << backend_name(GetParam()) << " is not available here";
    vec = &kernels_of(GetParam());
  }
};
INSTANTIATE_TEST_SUITE_P(VectorPaths, NttAvx2, testing::Values(Backend::avx2, Backend::avx512),
                         [](const auto &info) { return std::string(backend_name(info.param)); });

// Positions and values of the NTT form: the definition, and the scalar transform where it applies.
TEST_P(NttAvx2, ForwardMatchesDefinitionAndScalar) {
  for (const Named &in : ordinary_inputs()) {
    SCOPED_TRACE(in.name);
    const Poly got = forward_vector(in.p);
    EXPECT_TRUE(AllBelow(got, FWD_BOUND));
    EXPECT_TRUE(SameResidues(got, evaluate(in.p)));
    if (scalar_accepts(in.p)) {
      EXPECT_TRUE(SameResidues(got, forward_scalar(in.p)));
    }
  }
}

// The vector inverse_ntt of two NTT forms is the negacyclic product, whichever path made the NTT forms.
TEST_P(NttAvx2, InverseGivesNegacyclicProduct) {
  const std::vector<Named> inputs = ordinary_inputs();
  std::mt19937 rng(2225);
  std::vector<std::pair<const Named *, const Named *>> pairs;
  for (const Named &a : inputs) pairs.push_back({&a, &inputs[rng() % inputs.size()]});
  pairs.push_back({&inputs[1], &inputs[1]});  // 1 * 1
  pairs.push_back({&inputs[2], &inputs[3]});  // X * X^255 = -1
  pairs.push_back({&inputs[8], &inputs[8]});  // 18Q-1 everywhere, both sides

  for (const auto &[a, b] : pairs) {
    SCOPED_TRACE(a->name + " * " + b->name);
    const Poly want = schoolbook(reduced(a->p), reduced(b->p));
    // Every pairing of forward paths; the scalar one only where its output suits the product.
    for (int paths = 0; paths < 4; ++paths) {
      const bool a_scalar = paths & 1, b_scalar = paths & 2;
      if ((a_scalar && !scalar_feeds_product(a->p)) || (b_scalar && !scalar_feeds_product(b->p))) {
        continue;
      }
      SCOPED_TRACE(std::string("a by ") + (a_scalar ? "scalar" : "vector") + ", b by " +
                   (b_scalar ? "scalar" : "vector"));
      const Poly ah = a_scalar ? forward_scalar(a->p) : forward_vector(a->p);
      const Poly bh = b_scalar ? forward_scalar(b->p) : forward_vector(b->p);
      Poly got{}, scalar{};
      vec->inverse_ntt(got.data(), ah.data(), bh.data());
      inverse_ntt(scalar.data(), ah.data(), bh.data());
      EXPECT_TRUE(AllBelow(got, PRODUCT_BOUND));
      EXPECT_TRUE(SameResidues(got, want));
      EXPECT_TRUE(SameResidues(got, scalar));
    }
  }
}

// Sum over i of (NTT forms) a[i] * b[i], with NTT-form inputs given directly: values in [0, Q) as
// the matrix sampler writes them, and up to the largest values a pointwise product admits. The
// reference is the schoolbook product or the scalar inverse. Count 1 is also the single product
// of the vector inverse_ntt; counts above 4 take the path that adds groups of four.
TEST_P(NttAvx2, InnerProductMatchesSumOfProducts) {
  std::mt19937 rng(1024);
  for (uint32_t count : {1u, 2u, 3u, 4u, 5u, 8u, 9u}) {
    for (int shape = 0; shape < 3; ++shape) {
      // shape 0: row of A (direct [0, Q)) times a vector-transformed mask vector, with schoolbook;
      // shape 1: everything 18Q - 1; shape 2: uniform below 18Q.
      SCOPED_TRACE("count " + std::to_string(count) + ", shape " + std::to_string(shape));
      std::vector<uint32_t> a(size_t(count) * N), b(size_t(count) * N);
      Poly want{};
      for (uint32_t i = 0; i < count; ++i) {
        Poly ai, bi;
        if (shape == 0) {
          const Poly a_ord = random_poly(rng, 0, Q - 1);
          const Poly y = random_poly(rng, Q - 261951, Q + 261951);
          ai = reduced(forward_scalar(a_ord));
          bi = forward_vector(y);
          const Poly term = schoolbook(a_ord, reduced(y));
          for (uint32_t j = 0; j < N; ++j) want[j] = (want[j] + term[j]) % Q;
        } else {
          ai = shape == 1 ? filled(NTT_INPUT_MAX) : random_poly(rng, 0, NTT_INPUT_MAX);
          bi = shape == 1 ? filled(NTT_INPUT_MAX) : random_poly(rng, 0, NTT_INPUT_MAX);
          Poly term{};
          inverse_ntt(term.data(), ai.data(), bi.data());
          for (uint32_t j = 0; j < N; ++j) want[j] = (want[j] + term[j]) % Q;
        }
        std::copy(ai.begin(), ai.end(), a.begin() + size_t(i) * N);
        std::copy(bi.begin(), bi.end(), b.begin() + size_t(i) * N);
      }
      Poly got{};
      vec->inner_product(got.data(), a.data(), b.data(), count);
      EXPECT_TRUE(AllBelow(got, PRODUCT_BOUND));
      EXPECT_TRUE(SameResidues(got, want));
      if (count == 1) {
        Poly single{};
        vec->inverse_ntt(single.data(), a.data(), b.data());
        EXPECT_TRUE(AllBelow(single, PRODUCT_BOUND));
        EXPECT_TRUE(SameResidues(single, want));
      }

      // The output may be one of the input polynomials.
      std::vector<uint32_t> b_alias = b;
      uint32_t *last = b_alias.data() + size_t(count - 1) * N;
      vec->inner_product(last, a.data(), b_alias.data(), count);
      Poly aliased;
      std::copy(last, last + N, aliased.begin());
      EXPECT_EQ(aliased, got) << "output written over b[count - 1]";
    }
  }
}

// The inner product minus one more product, against the scalar products it replaces, at the
// extremes of the input range and on random inputs; the output may be the subtracted operand d.
TEST_P(NttAvx2, InnerProductMinusMatchesScalarProducts) {
  std::mt19937 rng(4096);
  for (uint32_t count : {1u, 4u, 5u}) {
    for (int shape = 0; shape < 3; ++shape) {
      SCOPED_TRACE("count " + std::to_string(count) + ", shape " + std::to_string(shape));
      // shape 0: uniform below 18Q; 1: 18Q - 1 in the sum, zero subtracted; 2: zero sum, 18Q - 1 subtracted.
      auto draw = [&](bool top) {
        return shape == 0 ? random_poly(rng, 0, NTT_INPUT_MAX) : top ? filled(NTT_INPUT_MAX) : filled(0);
      };
      std::vector<uint32_t> a(size_t(count) * N), b(size_t(count) * N);
      Poly want{}, term{};
      for (uint32_t i = 0; i < count; ++i) {
        const Poly ai = draw(shape != 2), bi = draw(shape != 2);
        inverse_ntt(term.data(), ai.data(), bi.data());
        for (uint32_t j = 0; j < N; ++j) want[j] = (want[j] + term[j]) % Q;
        std::copy(ai.begin(), ai.end(), a.begin() + size_t(i) * N);
        std::copy(bi.begin(), bi.end(), b.begin() + size_t(i) * N);
      }
      const Poly c = draw(shape != 1);
      Poly d = draw(shape != 1);
      inverse_ntt(term.data(), c.data(), d.data());
      for (uint32_t j = 0; j < N; ++j) want[j] = (want[j] + 2 * Q - term[j]) % Q;

      Poly got{};
      vec->inner_product_minus(got.data(), a.data(), b.data(), count, c.data(), d.data());
      EXPECT_TRUE(AllBelow(got, PRODUCT_BOUND));
      EXPECT_TRUE(SameResidues(got, want));
      vec->inner_product_minus(d.data(), a.data(), b.data(), count, c.data(), d.data());
      EXPECT_EQ(d, got) << "output written over d";
    }
  }
}

// The single product may write over either operand.
TEST_P(NttAvx2, InverseOutputMayBeAnOperand) {
  std::mt19937 rng(512);
  const Poly a = forward_vector(random_poly(rng, 0, 2 * Q - 1));
  const Poly b = random_poly(rng, 0, Q - 1);
  Poly separate{};
  vec->inverse_ntt(separate.data(), a.data(), b.data());
  Poly over_a = a, over_b = b;
  vec->inverse_ntt(over_a.data(), over_a.data(), b.data());
  vec->inverse_ntt(over_b.data(), a.data(), over_b.data());
  EXPECT_EQ(over_a, separate);
  EXPECT_EQ(over_b, separate);
}

}  // namespace
