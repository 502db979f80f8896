// Bit-plane codec worked examples and round trips, key and signature layouts, and the strict
// (canonical-only) decoding of the hint and challenge fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "Polynomial.h"
#include "io.h"

using namespace tavik;

namespace {

using Bytes = std::vector<uint8_t>;
using Poly = std::vector<uint32_t>;

Bytes encode(const Poly &p, uint32_t cls) {
  Bytes out(32 * size_t(IO_var_table[cls].width));
  compress(out.data(), p.data(), cls);
  return out;
}

Poly decode(const Bytes &b, uint32_t cls) {
  Poly out(N, 0xDEADBEEF);
  decompress(out.data(), b.data(), cls);
  return out;
}

// Runs a decoder on a copy placed in a heap block of exactly the field's size, so an
// AddressSanitizer build catches any read past the field.
template <typename F>
int32_t on_exact_heap(const Bytes &field, F decode_fn) {
  std::unique_ptr<uint8_t[]> buf(new uint8_t[field.size()]);
  std::memcpy(buf.get(), field.data(), field.size());
  return decode_fn(buf.get());
}

// Each example group is placed in groups 0 and 31; the groups between hold coefficient 0, whose
// bit planes are those of the stored zero (the offset): 0xFF where the offset has a 1 bit.
TEST(Codec, WorkedExamples) {
  struct Example {
    uint32_t cls;
    uint32_t in[8];
    Bytes bytes;
    uint32_t out[8];
  };
  const Example examples[] = {
      {IO_W1, {0, 1, 2, 3, 4, 5, 6, 15}, {0xAA, 0xCC, 0xF0, 0x80}, {0, 1, 2, 3, 4, 5, 6, 15}},
      {IO_S1, {0, 1, 2, Q - 1, Q - 2, 1, 0, Q - 2}, {0x2A, 0x63, 0x04},
       {Q, Q + 1, Q + 2, Q - 1, Q - 2, Q + 1, Q, Q - 2}},
      {IO_T1, {1, 0, 0, 0, 0, 0, 0, 511}, {0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80},
       {8192, 0, 0, 0, 0, 0, 0, 4186112}},
      {IO_T0, {0, 1, Q - 1, 4095, Q - 4095, Q + 4096, 100, Q - 100},
       {0xE1, 0xED, 0x2D, 0xAD, 0xAD, 0x6D, 0x6D, 0xAD, 0xAD, 0xAD, 0xAD, 0xAD, 0x6A},
       {Q, Q + 1, Q - 1, Q + 4095, Q - 4095, Q + 4096, Q + 100, Q - 100}},
      {IO_Z, {0, 1, Q - 1, 261833, Q - 261833, 100, Q - 100, 5},
       {0x61, 0x8A, 0xE0, 0xA7, 0x08, 0x60, 0xC7, 0x8F, 0x28, 0xE7, 0xEF, 0xEF, 0xEF, 0xEF, 0xEF,
        0xEF, 0xEF, 0xEF, 0x08},
       {Q, Q + 1, Q - 1, Q + 261833, Q - 261833, Q + 100, Q - 100, Q + 5}},
  };
  for (const Example &ex : examples) {
    SCOPED_TRACE(ex.cls);
    const uint32_t w = uint32_t(IO_var_table[ex.cls].width);
    const uint32_t off = uint32_t(IO_var_table[ex.cls].offset);
    const bool offset_class = ex.cls != IO_T1 && ex.cls != IO_W1;
    ASSERT_EQ(ex.bytes.size(), w);
    Poly p(N, 0);
    for (uint32_t j = 0; j < 8; ++j) p[j] = p[248 + j] = ex.in[j];
    Bytes b = encode(p, ex.cls);
    for (uint32_t g = 0; g < 32; ++g) {
      for (uint32_t i = 0; i < w; ++i) {
        uint8_t expect = (g == 0 || g == 31) ? ex.bytes[i] : ((off >> i) & 1 ? 0xFF : 0x00);
        ASSERT_EQ(b[g * w + i], expect) << "group " << g << " byte " << i;
      }
    }
    Poly d = decode(b, ex.cls);
    for (uint32_t j = 0; j < 8; ++j) {
      EXPECT_EQ(d[j], ex.out[j]) << j;
      EXPECT_EQ(d[248 + j], ex.out[j]) << j;
    }
    for (uint32_t k = 8; k < 248; ++k) ASSERT_EQ(d[k], offset_class ? Q : 0u) << k;
  }
}

TEST(Codec, EdgeCases) {
  // All-zero class 0: stored 2 everywhere, 00 FF 00 repeated.
  Bytes b = encode(Poly(N, 0), IO_S1);
  for (size_t i = 0; i < b.size(); ++i) ASSERT_EQ(b[i], i % 3 == 1 ? 0xFF : 0x00) << i;

  // All-zero bytes decode to Q - offset (offset classes) or 0.
  const uint32_t zero_decodes[6] = {Q - 2, Q - 2, 0, Q - 4095, Q - 261833, 0};
  for (uint32_t cls = 0; cls < 6; ++cls) {
    Poly d = decode(Bytes(32 * size_t(IO_var_table[cls].width), 0), cls);
    for (uint32_t x : d) ASSERT_EQ(x, zero_decodes[cls]) << cls;
  }

  // All-0xFF class 4: the codec itself does not bound z.
  for (uint32_t x : decode(Bytes(POLY_Z_BYTES, 0xFF), IO_Z)) ASSERT_EQ(x, Q + 262454);

  // Bits above W are dropped.
  Poly wide(N), narrow(N);
  for (uint32_t k = 0; k < N; ++k) narrow[k] = k % 16, wide[k] = narrow[k] + (k << 4);
  EXPECT_EQ(encode(wide, IO_W1), encode(narrow, IO_W1));
  for (uint32_t k = 0; k < N; ++k) narrow[k] = (7 * k) % 512, wide[k] = narrow[k] | (1u << 9) | (k << 20);
  EXPECT_EQ(encode(wide, IO_T1), encode(narrow, IO_T1));

  // A negative s given as a plain signed value or as Q + s gives the same bytes.
  const int32_t lowest[6] = {-2, -2, 0, -4095, -261833, 0};
  for (uint32_t cls : {IO_S1, IO_S2, IO_T0, IO_Z}) {
    Poly plain(N), lifted(N);
    for (uint32_t k = 0; k < N; ++k) {
      int32_t s = lowest[cls] + int32_t(k * 977 % uint32_t(-lowest[cls] + 1));  // s in [lowest, 0]
      plain[k] = uint32_t(s);
      lifted[k] = Q + uint32_t(s);
    }
    EXPECT_EQ(encode(plain, cls), encode(lifted, cls)) << cls;
  }
}

// Every stored value of every class, given in each accepted form, decodes to the expected form
// and re-encodes to the same bytes.
TEST(Codec, RoundTripEveryClass) {
  std::mt19937 rng(5);
  for (uint32_t cls = 0; cls < 6; ++cls) {
    const uint32_t w = uint32_t(IO_var_table[cls].width);
    const int32_t off = IO_var_table[cls].offset;
    const bool offset_class = cls != IO_T1 && cls != IO_W1;
    for (int round = 0; round < 20; ++round) {
      Poly p(N), want(N);
      for (uint32_t k = 0; k < N; ++k) {
        uint32_t v = rng() & ((1u << w) - 1);  // stored value
        if (k < 2) v = k == 0 ? 0 : (1u << w) - 1;
        if (offset_class) {
          int32_t s = int32_t(v) - off;
          p[k] = (s <= off && rng() % 2) ? uint32_t(s) : Q + uint32_t(s);
          want[k] = Q + uint32_t(s);
        } else {
          p[k] = v;
          want[k] = cls == IO_T1 ? v << 13 : v;
        }
      }
      Bytes b = encode(p, cls);
      Poly d = decode(b, cls);
      ASSERT_EQ(d, want) << cls;
      if (cls != IO_T1) {
        ASSERT_EQ(encode(d, cls), b) << cls;
      }
    }
  }
}

std::vector<uint32_t> random_vec(std::mt19937 &rng, uint32_t polys, int32_t lo, int32_t hi) {
  std::vector<uint32_t> v(polys * N);
  for (uint32_t &x : v) x = Q + uint32_t(lo + int32_t(rng() % uint32_t(hi - lo + 1)));
  return v;
}

// Every field sits at its fixed offset, encoded in its class; decoding gives it back.
TEST(Layout, KeysAndSignature) {
  std::mt19937 rng(9);
  uint8_t rho[SEED_BYTES], key[SEED_BYTES];
  for (auto &b : rho) b = uint8_t(rng());
  for (auto &b : key) b = uint8_t(rng());
  std::vector<uint32_t> t1(K * N), s1 = random_vec(rng, L, -2, 2), s2 = random_vec(rng, K, -2, 2);
  std::vector<uint32_t> t0 = random_vec(rng, K, -4095, 4096), z = random_vec(rng, L, -261833, 261833);
  for (uint32_t &x : t1) x = rng() % 512;

  Bytes pk(PK_BYTES), sk(SK_BYTES, 0xA5);
  pack_pk(pk.data(), rho, t1.data());
  pack_sk1(sk.data(), rho, key, s1.data(), s2.data());
  pack_sk2(sk.data() + 928, t0.data());
  auto field_is = [](const Bytes &whole, size_t at, const uint32_t *poly, uint32_t cls) {
    Bytes want(32 * size_t(IO_var_table[cls].width));
    compress(want.data(), poly, cls);
    return std::equal(want.begin(), want.end(), whole.begin() + long(at));
  };
  EXPECT_EQ(0, std::memcmp(pk.data(), rho, 32));
  EXPECT_EQ(0, std::memcmp(sk.data(), rho, 32));
  EXPECT_EQ(0, std::memcmp(sk.data() + 32, key, 32));
  for (uint32_t i = 0; i < K; ++i) {
    EXPECT_TRUE(field_is(pk, 32 + 288 * i, &t1[i * N], IO_T1)) << i;
    EXPECT_TRUE(field_is(sk, 448 + 96 * i, &s2[i * N], IO_S2)) << i;
    EXPECT_TRUE(field_is(sk, 976 + 416 * i, &t0[i * N], IO_T0)) << i;
  }
  for (uint32_t i = 0; i < L; ++i) EXPECT_TRUE(field_is(sk, 64 + 96 * i, &s1[i * N], IO_S1)) << i;
  for (size_t i = 928; i < 976; ++i) ASSERT_EQ(sk[i], 0xA5) << "pack_sk2 wrote into tr at " << i;

  std::vector<uint32_t> A1(K * L * N), A2(K * L * N), t1d(K * N), s1d(L * N), s2d(K * N), t0d(K * N);
  uint8_t rho1[32], rho2[32], key2[32];
  unpack_pk(A1.data(), rho1, t1d.data(), pk.data());
  unpack_sk1(A2.data(), rho2, key2, s1d.data(), s2d.data(), sk.data());
  EXPECT_EQ(0, std::memcmp(rho1, rho, 32));
  EXPECT_EQ(0, std::memcmp(rho2, rho, 32));
  EXPECT_EQ(0, std::memcmp(key2, key, 32));
  EXPECT_EQ(A1, A2);
  for (uint32_t &x : t1) x <<= 13;
  EXPECT_EQ(t1d, t1);
  EXPECT_EQ(s1d, s1);
  EXPECT_EQ(s2d, s2);

  // unpack_sk2 copies tr to a separate destination; onto itself it copies nothing.
  uint8_t tr[CRH_BYTES];
  std::memset(tr, 0, sizeof tr);
  unpack_sk2(tr, t0d.data(), sk.data() + 928);
  for (uint8_t b : tr) ASSERT_EQ(b, 0xA5);
  EXPECT_EQ(t0d, t0);
  std::fill(t0d.begin(), t0d.end(), 0);
  const Bytes before = sk;
  unpack_sk2(sk.data() + 928, t0d.data(), sk.data() + 928);
  EXPECT_EQ(sk, before);
  EXPECT_EQ(t0d, t0);

  // Signature: z at 0, h at 2432, c at 2533.
  std::vector<uint32_t> h(K * N, 0), c(N, 0);
  h[3] = h[200] = h[2 * N + 7] = 1;
  c[0] = 1, c[9] = Q - 1, c[255] = 1;
  Bytes sig(SIG_BYTES);
  pack_signature(sig.data(), z.data(), h.data(), c.data());
  for (uint32_t i = 0; i < L; ++i) EXPECT_TRUE(field_is(sig, 608 * i, &z[i * N], IO_Z)) << i;
  Bytes hb(H_BYTES), cb(C_BYTES);
  pack_h(hb.data(), h.data());
  pack_c(cb.data(), c.data());
  EXPECT_TRUE(std::equal(hb.begin(), hb.end(), sig.begin() + 2432));
  EXPECT_TRUE(std::equal(cb.begin(), cb.end(), sig.begin() + 2533));
  std::vector<uint32_t> zd(L * N), hd(K * N), cd(N);
  EXPECT_EQ(on_exact_heap(sig, [&](const uint8_t *p) { return unpack_signature(zd.data(), hd.data(), cd.data(), p); }), 0);
  EXPECT_EQ(zd, z);
  EXPECT_EQ(hd, h);
  EXPECT_EQ(cd, c);
  // A non-canonical hint or challenge field makes the whole signature non-canonical.
  for (size_t at : {size_t(2432 + 95), size_t(2533 + 39)}) {
    Bytes bad = sig;
    bad[at] ^= 0x80;
    EXPECT_EQ(unpack_signature(zd.data(), hd.data(), cd.data(), bad.data()), 1) << at;
  }
  // pack_w1: five class-5 polynomials, 128 bytes apart.
  std::vector<uint32_t> w1(K * N);
  for (uint32_t &x : w1) x = rng() % 16;
  Bytes w1b(W1_PACKED_BYTES);
  pack_w1(w1b.data(), w1.data());
  for (uint32_t i = 0; i < K; ++i) EXPECT_TRUE(field_is(w1b, 128 * i, &w1[i * N], IO_W1)) << i;
}

TEST(Layout, HintEncoding) {
  std::vector<uint32_t> h(K * N, 0);
  Bytes b(H_BYTES + 8, 0xEE);  // guard bytes behind the field
  pack_h(b.data(), h.data());
  for (size_t i = 0; i < H_BYTES; ++i) ASSERT_EQ(b[i], 0) << i;

  h[3] = h[200] = h[2 * N + 7] = 1;
  h[5] = 2;  // only exactly 1 counts
  pack_h(b.data(), h.data());
  Bytes want(H_BYTES, 0);
  want[0] = 0x03, want[1] = 0xC8, want[2] = 0x07;
  want[96] = 2, want[97] = 2, want[98] = 3, want[99] = 3, want[100] = 3;
  EXPECT_TRUE(std::equal(want.begin(), want.end(), b.begin()));

  // 96 ones (the most allowed) fill every position byte; more never write past the field.
  std::fill(h.begin(), h.end(), 0);
  for (uint32_t k = 0; k < 96; ++k) h[(k % K) * N + 2 * k + 1] = 1;
  pack_h(b.data(), h.data());
  EXPECT_EQ(b[100], 0x60);
  std::vector<uint32_t> back(K * N);
  EXPECT_EQ(unpack_h(back.data(), b.data()), 0);
  EXPECT_EQ(back, h);
  std::fill(h.begin(), h.end(), 1);
  pack_h(b.data(), h.data());
  for (size_t i = 96; i < H_BYTES; ++i) EXPECT_LE(b[i], 96) << i;
  for (size_t i = H_BYTES; i < b.size(); ++i) ASSERT_EQ(b[i], 0xEE) << i;

  std::mt19937 rng(13);
  for (int round = 0; round < 200; ++round) {
    std::fill(h.begin(), h.end(), 0);
    uint32_t ones = rng() % 97;
    for (uint32_t k = 0; k < ones; ++k) h[rng() % (K * N)] = 1;
    pack_h(b.data(), h.data());
    ASSERT_EQ(unpack_h(back.data(), b.data()), 0);
    ASSERT_EQ(back, h);
  }
}

// Hand-built hint fields on both sides of every rule, decoded from exact-size heap blocks.
TEST(Layout, HintStrictDecoding) {
  auto field = [](std::vector<uint8_t> pos, std::vector<uint8_t> counts) {
    Bytes f(H_BYTES, 0);
    std::copy(pos.begin(), pos.end(), f.begin());
    std::copy(counts.begin(), counts.end(), f.begin() + 96);
    return f;
  };
  Bytes ramp(96);
  for (uint32_t k = 0; k < 96; ++k) ramp[k] = uint8_t(k);
  struct Case { const char *what; Bytes f; int32_t bad; };
  Case cases[] = {
      {"canonical example", field({3, 200, 7}, {2, 2, 3, 3, 3}), 0},
      {"no ones", field({}, {0, 0, 0, 0, 0}), 0},
      {"count 96", field(ramp, {0, 0, 0, 0, 96}), 0},
      {"count 97", field(ramp, {0, 0, 0, 0, 97}), 1},
      {"count 255 first", field(ramp, {255, 255, 255, 255, 255}), 1},
      {"decreasing counts", field({3, 5, 7}, {2, 1, 3, 3, 3}), 1},
      {"equal positions", field({5, 5}, {2, 2, 2, 2, 2}), 1},
      {"decreasing positions", field({6, 5}, {2, 2, 2, 2, 2}), 1},
      {"increasing positions", field({5, 6}, {2, 2, 2, 2, 2}), 0},
      {"decrease across polys", field({200, 7}, {1, 2, 2, 2, 2}), 0},
      {"nonzero right after last", field({3, 200, 7, 1}, {2, 2, 3, 3, 3}), 1},
      {"nonzero last byte", [&] { Bytes f = field({3, 200, 7}, {2, 2, 3, 3, 3}); f[95] = 1; return f; }(), 1},
      {"positions with zero counts", field({9}, {0, 0, 0, 0, 0}), 1},
  };
  for (Case &c : cases) {
    std::vector<uint32_t> h(K * N, 0xDEAD);
    EXPECT_EQ(on_exact_heap(c.f, [&](const uint8_t *p) { return unpack_h(h.data(), p); }), c.bad) << c.what;
    for (uint32_t x : h) ASSERT_LE(x, 1u) << c.what;  // always fully written
  }
  // Decoding of the boundary cases: 97 stops after the 96 position bytes; positions with zero
  // counts give no ones; a decreasing count gives its polynomial none and restarts there.
  std::vector<uint32_t> h(K * N), h2(K * N);
  unpack_h(h.data(), cases[2].f.data());
  unpack_h(h2.data(), cases[3].f.data());
  EXPECT_EQ(h, h2);
  for (uint32_t k = 0; k < N; ++k) ASSERT_EQ(h[4 * N + k], k < 96 ? 1u : 0u);
  unpack_h(h.data(), cases[12].f.data());
  for (uint32_t x : h) ASSERT_EQ(x, 0u);
  unpack_h(h.data(), cases[5].f.data());
  std::vector<uint32_t> want(K * N, 0);
  want[3] = want[5] = want[2 * N + 5] = want[2 * N + 7] = 1;
  EXPECT_EQ(h, want);
}

TEST(Layout, ChallengeEncoding) {
  std::vector<uint32_t> c(N, 0);
  c[0] = 1, c[9] = Q - 1, c[255] = 1;
  Bytes b(C_BYTES);
  pack_c(b.data(), c.data());
  Bytes want(C_BYTES, 0);
  want[0] = 0x01, want[1] = 0x02, want[31] = 0x80, want[32] = 0x02;
  EXPECT_EQ(b, want);

  std::mt19937 rng(17);
  std::vector<uint32_t> back(N);
  for (int round = 0; round < 200; ++round) {
    std::fill(c.begin(), c.end(), 0);
    uint32_t count = round < 3 ? 64u * uint32_t(round / 2) : rng() % 65;
    for (uint32_t k = 0; k < count; ++k) c[rng() % N] = (rng() & 1) ? 1 : Q - 1;
    pack_c(b.data(), c.data());
    ASSERT_EQ(unpack_c(back.data(), b.data()), 0);
    ASSERT_EQ(back, c);
  }
}

// Sign bits at or above the number of set flags must be zero; decoded from exact-size heap blocks.
TEST(Layout, ChallengeStrictDecoding) {
  auto field = [](uint32_t flags, uint64_t signs) {
    Bytes f(C_BYTES, 0);
    for (uint32_t k = 0; k < flags; ++k) f[(k * 4) / 8] |= uint8_t(1u << ((k * 4) % 8));
    for (int i = 0; i < 8; ++i) f[32 + size_t(i)] = uint8_t(signs >> (8 * i));
    return f;
  };
  struct Case { uint32_t flags; uint64_t signs; int32_t bad; };
  const Case cases[] = {
      {0, 0, 0},          {0, 1, 1},
      {3, 1u << 2, 0},    {3, 1u << 3, 1},    {3, uint64_t(1) << 63, 1},
      {60, uint64_t(1) << 59, 0}, {60, uint64_t(1) << 60, 1}, {60, uint64_t(0xF) << 60, 1},
      {63, uint64_t(1) << 62, 0}, {63, uint64_t(1) << 63, 1},
      {64, ~uint64_t(0), 0},  {64, 0, 0},  // every bit is a sign
  };
  for (const Case &c : cases) {
    std::vector<uint32_t> poly(N, 0xDEAD);
    Bytes f = field(c.flags, c.signs);
    EXPECT_EQ(on_exact_heap(f, [&](const uint8_t *p) { return unpack_c(poly.data(), p); }), c.bad)
        << c.flags << " flags, signs " << std::hex << c.signs;
    uint32_t nonzero = 0;
    for (uint32_t k = 0; k < N; ++k) {
      ASSERT_TRUE(poly[k] == 0 || poly[k] == 1 || poly[k] == Q - 1);
      nonzero += poly[k] != 0;
    }
    EXPECT_EQ(nonzero, c.flags);
  }
  // Every flag set: the first 64 take the sign bits, the rest decode as 1.
  std::vector<uint32_t> poly(N);
  Bytes all(C_BYTES, 0xFF);
  EXPECT_EQ(on_exact_heap(all, [&](const uint8_t *p) { return unpack_c(poly.data(), p); }), 0);
  for (uint32_t k = 0; k < N; ++k) ASSERT_EQ(poly[k], k < 64 ? Q - 1 : 1u) << k;
}

}  // namespace
