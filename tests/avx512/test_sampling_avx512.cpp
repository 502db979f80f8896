// The AVX-512 rejection steps against the scalar ones: the same count and coefficients for every
// `needed` and every buffer length, nothing written at or beyond out[needed], and a stream fed in
// pieces giving what it gives whole.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "avx512_suite.h"
#include "kernels.h"
#include "params.h"

using namespace tavik;

namespace {

using Bytes = std::vector<uint8_t>;
using Rej = std::function<uint32_t(uint32_t *, uint32_t, const uint8_t *, uint32_t)>;
constexpr uint32_t GUARD = 0xA5A5A5A5u;

struct Kernel {
  std::string name;
  uint32_t group_bytes, group_candidates;
  Rej scalar, vector;
  std::vector<uint32_t> boundary;  // candidates around the accept and fold limits
  // Writes one group of bytes whose candidates are c[0], c[1] (as many as a group holds).
  std::function<void(uint8_t *, const uint32_t *)> encode;
};

std::vector<Kernel> kernels() {
  const Kernels &s = kernels_of(Backend::scalar);
  auto le = [](uint8_t *g, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) g[i] = uint8_t(v >> (8 * i));
  };
  std::vector<Kernel> k;
  k.push_back({"uniform", 3, 1, s.rej_uniform, rej_uniform_avx512,
               {0, Q - 1, Q, 2 * Q - 1, 2 * Q, 3 * Q, 4 * Q - 1, 4 * Q, 0xFFFFFF},
               [le](uint8_t *g, const uint32_t *c) { le(g, c[0], 3); }});
  // 2 * eta wraps: 0x80000003 acts as 3, 0x7FFFFFFF accepts every candidate.
  for (uint32_t eta : {0u, 1u, 2u, 3u, 0x80000003u, 0x7FFFFFFFu}) {
    auto scalar_eta = s.rej_eta;
    k.push_back({"eta " + std::to_string(eta), 1, 2,
                 [scalar_eta, eta](uint32_t *o, uint32_t n, const uint8_t *b, uint32_t l) { return scalar_eta(o, n, b, l, eta); },
                 [eta](uint32_t *o, uint32_t n, const uint8_t *b, uint32_t l) { return rej_eta_avx512(o, n, b, l, eta); },
                 {std::min(2 * eta, 7u), std::min(2 * eta + 1, 7u), 0, 7},
                 [](uint8_t *g, const uint32_t *c) { g[0] = uint8_t(c[0] | c[1] << 5 | 0x18); }});  // bits 3-4 ignored
  }
  k.push_back({"gamma1m1", 5, 2, s.rej_gamma1m1, rej_gamma1m1_avx512,
               {0, 523902, 523903, 1047804, 1047805, 0xFFFFF},
               [le](uint8_t *g, const uint32_t *c) { le(g, c[0] | uint64_t(c[1]) << 20, 5); }});
  return k;
}

// Buffers of len bytes: random; all candidates accepted (zeros); all rejected (0xFF); whole
// groups of boundary candidates; rejected groups with one random group in eight.
std::vector<std::pair<std::string, Bytes>> buffers(const Kernel &k, uint32_t len, std::mt19937 &rng) {
  Bytes random(len), boundary(len), mixed(len, 0xFF);
  for (uint8_t &b : random) b = uint8_t(rng());
  boundary = random;
  for (uint32_t p = 0; p + k.group_bytes <= len; p += k.group_bytes) {
    const uint32_t c[2] = {k.boundary[rng() % k.boundary.size()], k.boundary[rng() % k.boundary.size()]};
    k.encode(&boundary[p], c);
    if (rng() % 8 == 0) std::copy_n(&random[p], k.group_bytes, &mixed[p]);
  }
  return {{"random", random}, {"all accepted", Bytes(len, 0)}, {"all rejected", Bytes(len, 0xFF)},
          {"boundary", boundary}, {"mostly rejected", mixed}};
}

// Every needed from 0 to the buffer's candidates plus 2: both agree, the vector step agrees fed
// in pieces of whole groups (some empty, some shorter than a round) while coefficients are
// wanted, and a guard after out[needed] (a whole vector) is untouched.
void expect_agree(const Kernel &k, const Bytes &buf, const std::string &what, std::mt19937 &rng) {
  const uint32_t len = uint32_t(buf.size());
  const uint32_t capacity = len / k.group_bytes * k.group_candidates;
  for (uint32_t needed = 0; needed <= capacity + 2; ++needed) {
    std::vector<uint32_t> want(needed + 16, GUARD), got(needed + 16, GUARD), pieces(needed + 16, GUARD);
    const uint32_t n_want = k.scalar(want.data(), needed, buf.data(), len);
    const uint32_t n_got = k.vector(got.data(), needed, buf.data(), len);
    uint32_t n_pieces = 0;
    for (uint32_t pos = 0; pos < len && n_pieces < needed;) {
      const uint32_t piece = std::min(len - pos, uint32_t(rng() % 24) * k.group_bytes);
      n_pieces += k.vector(pieces.data() + n_pieces, needed - n_pieces, buf.data() + pos, piece);
      pos += piece;
    }
    SCOPED_TRACE(k.name + ", " + what + ", len " + std::to_string(len) + ", needed " + std::to_string(needed));
    ASSERT_EQ(n_got, n_want);
    ASSERT_EQ(n_pieces, n_want);
    ASSERT_TRUE(std::equal(want.begin(), want.begin() + n_want, got.begin()));
    ASSERT_TRUE(std::equal(want.begin(), want.begin() + n_want, pieces.begin()));
    for (size_t i = needed; i < got.size(); ++i) ASSERT_TRUE(got[i] == GUARD && pieces[i] == GUARD) << "wrote out[" << i << "]";
  }
}

TEST(RejAvx512, MatchesScalarWholeAndInPieces) {
  AVX512_SUITE_REQUIRE();
  std::mt19937 rng(512);
  std::vector<uint32_t> lengths(97);
  for (uint32_t i = 0; i < lengths.size(); ++i) lengths[i] = i;  // every length to two rounds of each
  lengths.insert(lengths.end(), {136, 272, 680, 840});             // the samplers' draws
  for (const Kernel &k : kernels())
    for (uint32_t len : lengths)
      for (const auto &[what, buf] : buffers(k, len, rng)) expect_agree(k, buf, what, rng);
}

}  // namespace
