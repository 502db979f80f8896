// The contracts of kernels.h as a table of checks, each running one kernel of a table under test
// and its scalar twin on the same inputs: equal values where values are promised, equal residues
// and the stated range where a range is promised, and the permitted overlaps. Shared by the suite
// of every path's table (test_kernels.cpp) and the suites of kernels built outside the library.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Reduce.h"
#include "kernels.h"
#include "params.h"

namespace kernel_checks {

using namespace tavik;

using Vec = std::vector<uint32_t>;

inline Vec random_vec(std::mt19937 &rng, size_t n, uint32_t below) {
  Vec v(n);
  for (uint32_t &x : v) x = below == 0 ? uint32_t(rng()) : uint32_t(rng() % below);
  return v;
}

// "" when got and want agree at every index (exactly, or modulo Q with got below `bound`).
inline std::string compare(const Vec &got, const Vec &want, bool residues = false, uint64_t bound = 0) {
  for (size_t i = 0; i < want.size(); ++i) {
    const bool same = residues ? got[i] % Q == want[i] % Q : got[i] == want[i];
    if (!same || (bound != 0 && got[i] >= bound)) {
      return "index " + std::to_string(i) + ": got " + std::to_string(got[i]) + ", want " + std::to_string(want[i]);
    }
  }
  return "";
}

// One check: runs kernel k of the path under test and the scalar twin s on the same inputs.
using Check = std::function<std::string(const Kernels &k, const Kernels &s, std::mt19937 &rng)>;

inline const std::vector<std::pair<const char *, Check>> &checks() {
  static const std::vector<std::pair<const char *, Check>> c = {
      {"forward_ntt: inputs below 2Q -> below 18Q, residues of the scalar transform",
       [](const Kernels &k, const Kernels &s, std::mt19937 &rng) {
         Vec p = random_vec(rng, N, 2 * Q), want = p;
         k.forward_ntt(p.data());
         s.forward_ntt(want.data());
         return compare(p, want, true, 18 * uint64_t(Q));
       }},
      {"inverse_ntt: NTT inputs below 18Q -> [0, 2Q); out may be a or b",
       [](const Kernels &k, const Kernels &s, std::mt19937 &rng) {
         const Vec a = random_vec(rng, N, 18 * Q), b = random_vec(rng, N, 18 * Q);
         Vec got(N), want(N), over_a = a, over_b = b;
         k.inverse_ntt(got.data(), a.data(), b.data());
         s.inverse_ntt(want.data(), a.data(), b.data());
         k.inverse_ntt(over_a.data(), over_a.data(), b.data());
         k.inverse_ntt(over_b.data(), a.data(), over_b.data());
         std::string e = compare(got, want, true, 2 * uint64_t(Q));
         if (e.empty()) e = compare(over_a, got);
         return e.empty() ? compare(over_b, got) : e;
       }},
      {"inner_product: sum of the single products, [0, 2Q), out may be one of b",
       [](const Kernels &k, const Kernels &s, std::mt19937 &rng) {
         for (uint32_t count = 1; count <= 9; ++count) {
           const Vec a = random_vec(rng, size_t(count) * N, 18 * Q);
           Vec b = random_vec(rng, size_t(count) * N, 18 * Q);
           Vec got(N), want(N, 0), term(N);
           for (uint32_t i = 0; i < count; ++i) {
             s.inverse_ntt(term.data(), a.data() + size_t(i) * N, b.data() + size_t(i) * N);
             for (uint32_t j = 0; j < N; ++j) want[j] = (want[j] + term[j]) % Q;
           }
           k.inner_product(got.data(), a.data(), b.data(), count);
           std::string e = compare(got, want, true, 2 * uint64_t(Q));
           uint32_t *last = b.data() + size_t(count - 1) * N;
           k.inner_product(last, a.data(), b.data(), count);
           if (e.empty()) e = compare(Vec(last, last + N), got);
           if (!e.empty()) return "count " + std::to_string(count) + ": " + e;
         }
         return std::string();
       }},
      {"inner_product_minus: the sum of products minus c * d, [0, 2Q), out may be d",
       [](const Kernels &k, const Kernels &s, std::mt19937 &rng) {
         const uint32_t count = 1 + rng() % 5;
         const Vec a = random_vec(rng, size_t(count) * N, 18 * Q), b = random_vec(rng, size_t(count) * N, 18 * Q);
         const Vec c = random_vec(rng, N, 18 * Q);
         Vec d = random_vec(rng, N, 18 * Q), got(N), want(N), term(N);
         s.inner_product(want.data(), a.data(), b.data(), count);
         s.inverse_ntt(term.data(), c.data(), d.data());
         for (uint32_t j = 0; j < N; ++j) want[j] = (want[j] + 2 * Q - term[j]) % Q;
         k.inner_product_minus(got.data(), a.data(), b.data(), count, c.data(), d.data());
         std::string e = compare(got, want, true, 2 * uint64_t(Q));
         k.inner_product_minus(d.data(), a.data(), b.data(), count, c.data(), d.data());
         return e.empty() ? compare(d, got) : e;
       }},
      {"add, sub, freeze, check_norm: the scalar values, in place too",
       [](const Kernels &k, const Kernels &s, std::mt19937 &rng) {
         const Vec a = random_vec(rng, K * N, 0), b = random_vec(rng, K * N, 0);
         Vec x = a, y = a;
         k.add(x.data(), x.data(), b.data(), K);
         s.add(y.data(), a.data(), b.data(), K);
         std::string e = compare(x, y);
         x = b, y = b;
         k.sub(x.data(), a.data(), x.data(), K);
         s.sub(y.data(), a.data(), b.data(), K);
         if (e.empty()) e = compare(x, y);
         x = a, y = a;
         k.freeze(x.data(), K);
         s.freeze(y.data(), K);
         if (e.empty()) e = compare(x, y);
         for (uint32_t bound : {0u, 1u, HALF_Q, HALF_Q + 1, uint32_t(rng() % HALF_Q)}) {
           Vec v = random_vec(rng, K * N, 2 * Q);
           if (bound > 1) v[rng() % v.size()] = bound;
           if (e.empty() && k.check_norm(v.data(), K, bound) != s.check_norm(v.data(), K, bound))
             e = "check_norm differs at bound " + std::to_string(bound);
         }
         return e;
       }},
      {"power2round, decompose, make_hint, use_hint: the scalar values",
       [](const Kernels &k, const Kernels &s, std::mt19937 &rng) {
         const Vec t = random_vec(rng, K * N, 0);
         Vec a = random_vec(rng, K * N, 64 * Q), hint = random_vec(rng, K * N, 2);
         const Vec b = random_vec(rng, K * N, 64 * Q);
         // The turns of the rounding, which random inputs all but never reach: r0 = 0, +1, -1,
         // +-(Q - 1)/2 and the top wrap, reduced and as the largest representatives, each hinted
         // and not.
         const uint32_t turns[] = {0, 3929281, 261952, 130976, 130977, Q - 1, 63 * Q, 63 * Q + 3929281, 63 * Q + 261952};
         for (uint32_t i = 0; i < 2 * std::size(turns); ++i) {
           a[i] = turns[i / 2];
           hint[i] = i % 2;
         }
         Vec x1(K * N), x0(K * N), y1(K * N), y0(K * N);
         k.power2round(x1.data(), x0.data(), t.data(), K);
         s.power2round(y1.data(), y0.data(), t.data(), K);
         std::string e = compare(x1, y1) + compare(x0, y0);
         k.decompose(x1.data(), x0.data(), a.data(), K);
         s.decompose(y1.data(), y0.data(), a.data(), K);
         e += compare(x1, y1) + compare(x0, y0);
         Vec h = a;
         k.highbits(h.data(), h.data(), K);
         e += compare(h, y1);
         if (k.make_hint(x1.data(), a.data(), b.data()) != s.make_hint(y1.data(), a.data(), b.data()))
           e += "make_hint counts differ; ";
         e += compare(x1, y1);
         k.use_hint(x1.data(), hint.data(), a.data(), K);
         s.use_hint(y1.data(), hint.data(), a.data(), K);
         return e + compare(x1, y1);
       }},
      {"candidate_check: passes and fails where the scalar check does",
       [](const Kernels &k, const Kernels &s, std::mt19937 &rng) {
         // Bounds drawn near the largest values present, so both outcomes occur; the high parts
         // are v's own, or one of them is off by one.
         const Vec v = random_vec(rng, N, 64 * Q);
         Vec w1(N), e(N), low(N);
         s.decompose(w1.data(), low.data(), v.data(), 1);
         const uint32_t e_bound = 1 + rng() % 400000, r0_bound = 2095000 + rng() % 700;
         for (uint32_t &x : e) x = Q - (e_bound - 1) + rng() % (2 * e_bound - 1);
         if (rng() % 2 == 0) e[rng() % N] = rng() % 2 ? Q + e_bound : Q - e_bound;
         if (rng() % 4 == 0) w1[rng() % N] ^= 1;
         const bool kf = k.candidate_check(v.data(), e.data(), w1.data(), r0_bound, e_bound) != 0;
         const bool sf = s.candidate_check(v.data(), e.data(), w1.data(), r0_bound, e_bound) != 0;
         return kf == sf ? std::string() : std::string(kf ? "fails" : "passes") + " where the scalar check does not";
       }},
      {"split_pair: a and b back from every representative of a + (b << shift), extremes included",
       [](const Kernels &k, const Kernels &, std::mt19937 &rng) {
         std::string e;
         for (uint32_t shift : {6u, 10u}) {
           Vec x(2 * N), lo(2 * N), hi(2 * N), want_lo(2 * N), want_hi(2 * N);
           const int32_t step = 1 << (10 - shift), b_max = (int32_t(HALF_Q) - 511) >> shift & -step;
           for (uint32_t j = 0; j < 2 * N; ++j) {
             int32_t a = int32_t(rng() % 1023) - 511;
             int32_t b = (int32_t(rng() % uint32_t(2 * b_max / step + 1)) - b_max / step) * step;
             if (j < 4) a = j % 2 ? 511 : -511, b = j < 2 ? b_max : -b_max;
             const int64_t v = a + int64_t(b) * (1 << shift);
             x[j] = uint32_t((v + Q) % Q) + (rng() % 2) * Q;
             want_lo[j] = Q + uint32_t(a);
             want_hi[j] = Q + uint32_t(b);
           }
           k.split_pair(lo.data(), hi.data(), x.data(), shift, 2);
           e += compare(lo, want_lo) + compare(hi, want_hi);
         }
         return e;
       }},
      {"challenge_shuffle: the plain inside-out shuffle",
       [](const Kernels &k, const Kernels &, std::mt19937 &rng) {
         uint8_t positions[TAU];
         const uint64_t signs = uint64_t(rng()) << 32 | rng();
         Vec want(N, 0), got(N, 7);
         for (uint32_t t = 0; t < TAU; ++t) {
           const uint32_t i = N - TAU + t, b = t % 5 == 0 ? i : rng() % (i + 1);  // b = i included
           positions[t] = uint8_t(b);
           want[i] = want[b];
           want[b] = (signs >> t) & 1 ? Q - 1 : 1;
         }
         k.challenge_shuffle(got.data(), positions, signs);
         return compare(got, want);
       }},
      {"compress, decompress: the scalar bytes and coefficients in every class",
       [](const Kernels &k, const Kernels &s, std::mt19937 &rng) {
         for (uint32_t cls = 0; cls < 6; ++cls) {
           const Vec in = random_vec(rng, N, 0);
           std::vector<uint8_t> x(32 * 19), y(32 * 19);
           k.pack_planes(x.data(), in.data(), cls);
           s.pack_planes(y.data(), in.data(), cls);
           if (x != y) return "compress, class " + std::to_string(cls);
           Vec cx(N), cy(N);
           k.unpack_planes(cx.data(), x.data(), cls);
           s.unpack_planes(cy.data(), x.data(), cls);
           if (cx != cy) return "decompress, class " + std::to_string(cls);
         }
         return std::string();
       }},
      {"rejection steps: the scalar count and coefficients for every `needed`",
       [](const Kernels &k, const Kernels &s, std::mt19937 &rng) {
         std::vector<uint8_t> buf(5 * 136);
         for (uint8_t &x : buf) x = uint8_t(rng());
         const auto eta2 = [](auto f) { return [f](uint32_t *o, uint32_t n, const uint8_t *b, uint32_t l) { return f(o, n, b, l, ETA); }; };
         const std::function<uint32_t(uint32_t *, uint32_t, const uint8_t *, uint32_t)> pairs[][2] = {
             {k.rej_uniform, s.rej_uniform}, {eta2(k.rej_eta), eta2(s.rej_eta)}, {k.rej_gamma1m1, s.rej_gamma1m1}};
         for (const auto &p : pairs) {
           for (uint32_t needed : {0u, 1u, 7u, 8u, 9u, 100u, N, 2000u}) {
             Vec x(needed + 8, 7), y(needed + 8, 7);
             const uint32_t len = uint32_t(rng() % buf.size());
             const uint32_t cx = p[0](x.data(), needed, buf.data(), len), cy = p[1](y.data(), needed, buf.data(), len);
             x.resize(cx), y.resize(cy);
             if (cx != cy || x != y) return "needed " + std::to_string(needed) + ", len " + std::to_string(len);
           }
         }
         return std::string();
       }},
      {"Keccak-f[1600]: the scalar state",
       [](const Kernels &k, const Kernels &s, std::mt19937 &rng) {
         uint64_t x[25], y[25];
         for (int i = 0; i < 25; ++i) x[i] = y[i] = uint64_t(rng()) << 32 | rng();
         k.permute(x);
         s.permute(y);
         return std::equal(x, x + 25, y) ? std::string() : std::string("states differ");
       }},
      {"four-stream Keccak: the scalar states and output",
       [](const Kernels &k, const Kernels &s, std::mt19937 &rng) {
         for (size_t r : {size_t(168), size_t(136)}) {
           std::vector<uint8_t> in(4 * 300);
           for (uint8_t &x : in) x = uint8_t(rng());
           const uint64_t len = rng() % 300;
           uint64_t sx[100], sy[100];
           k.absorb4x(sx, r, &in[0], &in[300], &in[600], &in[900], len);
           s.absorb4x(sy, r, &in[0], &in[300], &in[600], &in[900], len);
           std::vector<uint8_t> x(4 * 2 * r), y(4 * 2 * r);
           k.squeeze4x(&x[0], &x[2 * r], &x[4 * r], &x[6 * r], 2, sx, r);
           s.squeeze4x(&y[0], &y[2 * r], &y[4 * r], &y[6 * r], 2, sy, r);
           k.permute4x(sx);
           s.permute4x(sy);
           if (x != y || !std::equal(sx, sx + 100, sy)) return "rate " + std::to_string(r) + ", length " + std::to_string(len);
         }
         return std::string();
       }},
      {"four or eight states and one beside them: the scalar permutations of each",
       [](const Kernels &k, const Kernels &s, std::mt19937 &rng) {
         for (int width : {4, 8}) {
           uint64_t sx[200], sy[200], tx[25], ty[25];
           for (int i = 0; i < 200; ++i) sx[i] = sy[i] = uint64_t(rng()) << 32 | rng();
           for (int i = 0; i < 25; ++i) tx[i] = ty[i] = uint64_t(rng()) << 32 | rng();
           if (width == 4) {
             k.permute4x1(sx, tx);
             s.permute4x(sy);
           } else {
             k.permute8x1(sx, tx);
             s.permute8x(sy);
           }
           s.permute(ty);
           if (!std::equal(sx, sx + 25 * width, sy)) return std::to_string(width) + " states differ";
           if (!std::equal(tx, tx + 25, ty)) return "the state beside " + std::to_string(width) + " differs";
         }
         return std::string();
       }},
  };
  return c;
}

// Every check, 20 rounds each, of table k against the scalar table s; a failing check is reported
// once, with its name.
inline void expect_contracts(const Kernels &k, const Kernels &s) {
  std::mt19937 rng(4191233);
  for (const auto &[name, check] : checks()) {
    for (int round = 0; round < 20; ++round) {
      const std::string e = check(k, s, rng);
      if (!e.empty()) {
        ADD_FAILURE() << name << ": " << e;
        break;
      }
    }
  }
}

}  // namespace kernel_checks
