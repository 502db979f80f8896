// Every path of the four-stream SHAKE against the single-stream SHAKE, stream by stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <ostream>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cpu.h"
#include "fips202.h"
#include "fips202x4.h"
#include "keccak_reference.h"
#include "kernels.h"
#include "avx2/kernels_avx2.h"
#include "avx512/kernels_avx512.h"
#include "scalar/kernels_scalar.h"
#include "shake_lanes.h"

namespace {

using namespace tavik;

using PermuteFn = void (*)(uint64_t *);
using AbsorbFn = void (*)(uint64_t *, size_t, const uint8_t *, const uint8_t *, const uint8_t *,
                          const uint8_t *, uint64_t);
using SqueezeFn = void (*)(uint8_t *, uint8_t *, uint8_t *, uint8_t *, uint64_t, uint64_t *,
                           size_t);

// The public entry points, shaped like the per-path ones (rate as an argument).
void absorb_dispatch(uint64_t *s, size_t r, const uint8_t *a, const uint8_t *b, const uint8_t *c,
                     const uint8_t *d, uint64_t len) {
  auto *st = reinterpret_cast<keccakx4_state *>(s);
  if (r == SHAKE128_RATE) shake128x4_absorb(st, a, b, c, d, len);
  else shake256x4_absorb(st, a, b, c, d, len);
}

void squeeze_dispatch(uint8_t *a, uint8_t *b, uint8_t *c, uint8_t *d, uint64_t n, uint64_t *s,
                      size_t r) {
  auto *st = reinterpret_cast<keccakx4_state *>(s);
  if (r == SHAKE128_RATE) shake128x4_squeezeblocks(a, b, c, d, n, st);
  else shake256x4_squeezeblocks(a, b, c, d, n, st);
}

struct Path {
  std::string name;
  Backend needs;
  PermuteFn permute;
  AbsorbFn absorb;
  SqueezeFn squeeze;
};

// Names the path in failure messages instead of dumping its bytes.
void PrintTo(const Path &p, std::ostream *os) { *os << p.name; }

// Every path built into this binary; a vector one is skipped at run time on a processor without it.
std::vector<Path> paths() {
  std::vector<Path> p = {
      {"portable", Backend::scalar, keccak_permute4x_scalar, keccak_absorb4x_scalar,
       keccak_squeeze4x_scalar},
      {"dispatch", Backend::scalar, KeccakF1600_StatePermute4x, absorb_dispatch, squeeze_dispatch},
  };
#if TAVIK_X86_KERNELS
  p.push_back({"avx2", Backend::avx2, keccak_permute4x_avx2, keccak_absorb4x_avx2,
               keccak_squeeze4x_avx2});
  p.push_back({"avx512", Backend::avx512, keccak_permute4x_avx512,
               keccak_absorb4x_avx512, keccak_squeeze4x_avx512});
#endif
  return p;
}

class Fips202x4 : public ::testing::TestWithParam<Path> {
 protected:
  void SetUp() override {
    if (!backend_available(GetParam().needs))
      GTEST_SKIP() << "no " << backend_name(GetParam().needs) << " on this processor";
  }
};

// n bytes from rng.
std::vector<uint8_t> random_bytes(std::mt19937_64 &rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto &b : v) b = uint8_t(rng());
  return v;
}

// Scalar reference: nblocks of the SHAKE stream (rate r) of in.
std::vector<uint8_t> scalar_stream(size_t r, const std::vector<uint8_t> &in, uint64_t nblocks) {
  uint64_t st[25];
  std::vector<uint8_t> out(r * nblocks);
  const uint8_t none = 0;
  const uint8_t *data = in.empty() ? &none : in.data();  // the four-stream side gets null
  if (r == SHAKE128_RATE) {
    shake128_absorb(st, data, in.size());
    shake128_squeezeblocks(out.data(), nblocks, st);
  } else {
    shake256_absorb(st, data, in.size());
    shake256_squeezeblocks(out.data(), nblocks, st);
  }
  return out;
}

constexpr size_t kGuard = 40;  // bytes around each output that must stay untouched
constexpr uint8_t kFill = 0xA5;

// Absorbs the four inputs (equal lengths) with the path and squeezes the block counts of
// `squeezes` one call after another; checks each stream against the scalar stream and checks
// that nothing outside the requested output was written.
void check_streams(const Path &p, size_t r, const std::array<std::vector<uint8_t>, 4> &in,
                   const std::vector<uint64_t> &squeezes, const std::string &what) {
  uint64_t total = 0;
  for (uint64_t n : squeezes) total += n;
  keccakx4_state st;
  p.absorb(st.s, r, in[0].data(), in[1].data(), in[2].data(), in[3].data(), in[0].size());
  // One output buffer per stream, shifted by j bytes so the outputs are not all aligned.
  std::array<std::vector<uint8_t>, 4> buf;
  for (auto &b : buf) b.assign(total * r + 2 * kGuard + 4, kFill);
  uint64_t done = 0;
  for (uint64_t n : squeezes) {
    uint8_t *o[4];
    for (size_t j = 0; j < 4; ++j) o[j] = buf[j].data() + kGuard + j + done * r;
    p.squeeze(o[0], o[1], o[2], o[3], n, st.s, r);
    done += n;
  }
  for (size_t j = 0; j < 4; ++j) {
    const std::vector<uint8_t> want = scalar_stream(r, in[j], total);
    const uint8_t *got = buf[j].data() + kGuard + j;
    ASSERT_EQ(0, std::memcmp(got, want.data(), want.size()))
        << p.name << " " << what << " stream " << j;
    for (size_t k = 0; k < kGuard + j; ++k)
      ASSERT_EQ(kFill, buf[j][k]) << p.name << " " << what << " wrote before stream " << j;
    for (size_t k = kGuard + j + want.size(); k < buf[j].size(); ++k)
      ASSERT_EQ(kFill, buf[j][k]) << p.name << " " << what << " wrote past stream " << j;
  }
}

TEST_P(Fips202x4, PermutationEqualsFourScalarPermutations) {
  const Path &p = GetParam();
  std::mt19937_64 rng(0x4b43u);
  for (int trial = 0; trial < 20; ++trial) {
    keccakx4_state st;
    uint64_t ref[4][25];
    for (size_t i = 0; i < 25; ++i)
      for (size_t j = 0; j < 4; ++j) st.s[4 * i + j] = ref[j][i] = rng();
    if (trial == 0)  // all-zero states, the start of every stream
      for (size_t i = 0; i < 25; ++i)
        for (size_t j = 0; j < 4; ++j) st.s[4 * i + j] = ref[j][i] = 0;
    // Applied twice, so that an error in the second half of the rounds cannot cancel out.
    for (int rep = 0; rep < 2; ++rep) {
      p.permute(st.s);
      for (size_t j = 0; j < 4; ++j) KeccakF1600_StatePermute(ref[j]);
      for (size_t i = 0; i < 25; ++i)
        for (size_t j = 0; j < 4; ++j)
          ASSERT_EQ(ref[j][i], st.s[4 * i + j]) << p.name << " trial " << trial << " lane " << i
                                                << " stream " << j;
    }
  }
}

TEST_P(Fips202x4, StreamsEqualScalarForAllShortLengths) {
  const Path &p = GetParam();
  std::mt19937_64 rng(0x5eedu);
  for (size_t r : {SHAKE128_RATE, SHAKE256_RATE}) {
    for (size_t len = 0; len <= 300; ++len) {
      std::array<std::vector<uint8_t>, 4> in;
      for (auto &v : in) v = random_bytes(rng, len);
      check_streams(p, r, in, {2}, "rate " + std::to_string(r) + " len " + std::to_string(len));
      if (HasFatalFailure()) return;
    }
  }
}

TEST_P(Fips202x4, SamplerShapesAndContinuedSqueezes) {
  const Path &p = GetParam();
  struct Shape {
    size_t rate;
    size_t inlen;
    std::vector<uint64_t> squeezes;
  };
  const Shape shapes[] = {
      {SHAKE128_RATE, 33, {5}},           // matrix: 840 bytes per polynomial
      {SHAKE128_RATE, 33, {5, 1}},        // matrix with one extra block
      {SHAKE256_RATE, 33, {2}},           // secret polynomials
      {SHAKE256_RATE, 33, {2, 1}},        // secret polynomial short after two blocks
      {SHAKE256_RATE, 82, {5}},           // masking polynomials
      {SHAKE256_RATE, 82, {5, 1, 1}},     // masking, squeezing on block by block
      {SHAKE256_RATE, 688, {1, 1, 1}},    // long input, several absorbed blocks
      {SHAKE128_RATE, 33, {0, 1, 0, 3}},  // empty squeezes leave the stream where it was
      {SHAKE256_RATE, 136, {1, 2}},       // exactly one rate of input
      {SHAKE128_RATE, 167, {3}},          // rate minus one: single padding byte 0x9F
      {SHAKE256_RATE, 1472, {1}},         // packed public key length
  };
  std::mt19937_64 rng(0xabcdu);
  for (const Shape &sh : shapes) {
    std::array<std::vector<uint8_t>, 4> in;
    // Streams that differ in their last byte only, as the samplers' nonces do.
    in[0] = random_bytes(rng, sh.inlen);
    for (size_t j = 1; j < 4; ++j) {
      in[j] = in[0];
      if (sh.inlen != 0) in[j][sh.inlen - 1] = uint8_t(in[0][sh.inlen - 1] + j);
    }
    std::string what = "rate " + std::to_string(sh.rate) + " inlen " + std::to_string(sh.inlen);
    check_streams(p, sh.rate, in, sh.squeezes, what);
    if (HasFatalFailure()) return;
  }
}

TEST_P(Fips202x4, InputsMayBeTheSameBuffer) {
  const Path &p = GetParam();
  std::mt19937_64 rng(7);
  const std::vector<uint8_t> in = random_bytes(rng, 200);
  keccakx4_state st;
  p.absorb(st.s, SHAKE256_RATE, in.data(), in.data(), in.data(), in.data(), in.size());
  std::array<std::vector<uint8_t>, 4> out;
  for (auto &o : out) o.assign(2 * SHAKE256_RATE, 0);
  p.squeeze(out[0].data(), out[1].data(), out[2].data(), out[3].data(), 2, st.s, SHAKE256_RATE);
  const std::vector<uint8_t> want = scalar_stream(SHAKE256_RATE, in, 2);
  for (size_t j = 0; j < 4; ++j) EXPECT_EQ(want, out[j]) << p.name << " stream " << j;
}

// The eight-state permutation of every path this processor runs, state by state, against the
// step-by-step definition.
TEST(Fips202x8, PermutationEqualsEightReferencePermutations) {
  for (Backend b : {Backend::scalar, Backend::avx2, Backend::avx512}) {
    if (!backend_available(b)) continue;
    std::mt19937_64 rng(0x8a8au);
    for (int trial = 0; trial < 8; ++trial) {
      alignas(64) uint64_t s[200];
      uint64_t ref[8][25];
      for (size_t i = 0; i < 25; ++i)
        for (size_t j = 0; j < 8; ++j) s[8 * i + j] = ref[j][i] = trial == 0 ? 0 : rng();
      for (int rep = 0; rep < 2; ++rep) {
        kernels_of(b).permute8x(s);
        for (auto &r : ref) keccak_reference::permute(r);
        for (size_t i = 0; i < 25; ++i)
          for (size_t j = 0; j < 8; ++j)
            ASSERT_EQ(ref[j][i], s[8 * i + j]) << backend_name(b) << " trial " << trial << " lane " << i << " state " << j;
      }
    }
  }
}

// Jobs of mixed rates, input lengths (around the rate and a public key's) and block counts on
// every lane set, each job's blocks against its single-stream SHAKE; more jobs than lanes, so
// lanes are refilled, and jobs of different lengths share permutations. Every fourth job reads
// its input in two pieces split at varying places (the head in a buffer of its own), and job 1 is
// not ready, its input not yet written (0xEE), until job 0 is done. A SHAKE256 of a public key's
// length rides beside the permutations, its input written a piece at each block taken, and equals
// its single stream too.
TEST(ShakeJobs, EveryJobEqualsItsSingleStream) {
  std::vector<std::pair<std::string, KeccakLanes>> sets = {
      {"portable x4", {4, keccak_permute4x_scalar, keccak_extract4x_scalar, keccak_permute4x1_scalar}},
      {"path in use", keccak_lanes()}};
  for (Backend b : {Backend::scalar, Backend::avx2, Backend::avx512}) {
    if (!backend_available(b)) continue;
    const Kernels &k = kernels_of(b);
    if (b != Backend::scalar)
      sets.push_back({std::string(backend_name(b)) + " x4", {4, k.permute4x, k.extract4x, k.permute4x1}});
    sets.push_back({std::string(backend_name(b)) + " x8", {8, k.permute8x, k.extract8x, k.permute8x1}});
  }
  const size_t lengths[] = {0, 1, 33, 135, 136, 137, 167, 168, 300, 1472};
  std::mt19937_64 rng(0x10b5u);
  std::vector<std::vector<uint8_t>> in;
  std::vector<ShakeJob> jobs;
  std::vector<uint32_t> want_blocks;
  for (size_t n = 0; n < 23; ++n) {
    in.push_back(random_bytes(rng, lengths[n % 10]));
    want_blocks.push_back(1 + uint32_t(n % 6));
  }
  std::vector<std::vector<uint8_t>> heads(in.size());
  for (size_t n = 0; n < in.size(); ++n) {
    const uint32_t rate = n % 3 == 0 ? SHAKE256_RATE : SHAKE128_RATE;
    const size_t split = n % 4 == 2 ? (37 * n) % (in[n].size() + 1) : 0;
    heads[n].assign(in[n].begin(), in[n].begin() + ptrdiff_t(split));
    jobs.push_back({in[n].data() + split, in[n].size() - split, rate, heads[n].data(), uint32_t(split)});
  }
  const size_t late = 1;  // among the first jobs, which the lanes would otherwise start at once
  std::vector<uint8_t> late_in(in[late].size());
  bool late_ready = false;
  jobs[late].in = late_in.data() + jobs[late].prelen;
  jobs[late].ready = &late_ready;
  const std::vector<uint8_t> side_whole = random_bytes(rng, 1472);  // a public key's length
  uint8_t side_want[48];
  shake256(side_want, sizeof side_want, side_whole.data(), side_whole.size());
  for (const auto &[name, lanes] : sets) {
    std::vector<std::vector<uint8_t>> got(jobs.size());
    std::fill(late_in.begin(), late_in.end(), 0xEE);
    late_ready = false;
    std::vector<uint8_t> side_in(side_whole.size(), 0xEE);
    size_t side_written = 0;
    Shake256Beside side(side_in.data(), side_in.size());
    const auto no_place = [](uint32_t) -> uint8_t * { return nullptr; };
    run_shake_jobs(lanes, jobs.data(), uint32_t(jobs.size()), no_place, [&](uint32_t j, const uint8_t *block) {
      if (j == 0 && got[0].size() + jobs[0].rate == want_blocks[0] * jobs[0].rate) {
        std::copy(in[late].begin(), in[late].end(), late_in.begin());
        late_ready = true;
      }
      const size_t piece = std::min<size_t>(side_whole.size() - side_written, 97);
      std::copy_n(side_whole.begin() + ptrdiff_t(side_written), piece, side_in.begin() + ptrdiff_t(side_written));
      side.written(side_written += piece);
      got[j].insert(got[j].end(), block, block + jobs[j].rate);
      return got[j].size() < want_blocks[j] * jobs[j].rate;
    }, &side);
    for (size_t j = 0; j < jobs.size(); ++j)
      EXPECT_EQ(got[j], scalar_stream(jobs[j].rate, in[j], want_blocks[j])) << name << " job " << j;
    std::copy(side_whole.begin(), side_whole.end(), side_in.begin());
    side.written(side_whole.size());
    uint8_t side_got[48];
    side.finish(side_got, sizeof side_got);
    EXPECT_EQ(0, std::memcmp(side_got, side_want, sizeof side_got)) << name << " beside";
  }
}

// A single SHAKE256 riding beside four streams, on every path this processor runs: its input
// written in uneven pieces between the four streams' permutations (some with no whole block
// waiting, some lengths a multiple of the rate), it still equals shake256 of the whole input,
// and the four streams and a fifth squeezed beside them equal their single streams.
TEST(ShakeBeside, EqualsTheSingleStreams) {
  std::mt19937_64 rng(0xbe5du);
  for (Backend b : {Backend::scalar, Backend::avx2, Backend::avx512}) {
    if (!backend_available(b)) continue;
    const KernelsInThread use(kernels_of(b));
    for (size_t len : {size_t(0), size_t(135), size_t(136), size_t(408), size_t(1472)}) {
      const std::vector<uint8_t> whole = random_bytes(rng, len);
      std::vector<uint8_t> in(len, 0xEE);
      Shake256Beside side(in.data(), len);
      std::array<std::vector<uint8_t>, 4> seeds, got;
      for (size_t j = 0; j < 4; ++j) seeds[j] = random_bytes(rng, 33);
      for (size_t written = 0, row = 0; written < len || row < 2; ++row) {
        const size_t piece = std::min<size_t>(len - written, rng() % 300);
        std::copy_n(whole.begin() + ptrdiff_t(written), piece, in.begin() + ptrdiff_t(written));
        side.written(written += piece);
        keccakx4_state st;
        shake128x4_absorb(&st, seeds[0].data(), seeds[1].data(), seeds[2].data(), seeds[3].data(), 33);
        for (auto &g : got) g.assign(3 * SHAKE128_RATE, 0);
        shake128x4_squeezeblocks_beside(got[0].data(), got[1].data(), got[2].data(), got[3].data(), 3, &st, side);
        for (size_t j = 0; j < 4; ++j)
          ASSERT_EQ(got[j], scalar_stream(SHAKE128_RATE, seeds[j], 3)) << backend_name(b) << " stream " << j;
      }
      uint8_t out[48], want[48];
      side.finish(out, sizeof out);
      shake256(want, sizeof want, whole.data(), len);
      EXPECT_EQ(0, std::memcmp(out, want, sizeof out)) << backend_name(b) << " length " << len;
    }
    // A head before the written input (a digest's key hash), the padded block taken beside a
    // permutation too, and the output squeezed on past its first block.
    for (size_t len : {size_t(0), size_t(59), size_t(88), size_t(300)}) {
      const std::vector<uint8_t> head = random_bytes(rng, 48), in = random_bytes(rng, len);
      Shake256Beside h(head.data(), head.size(), in.data(), len);
      h.written(len);
      while (uint64_t *s = h.next_block()) kernels().permute(s);
      EXPECT_TRUE(h.padded());
      uint8_t got[3 * SHAKE256_RATE], want[sizeof got];
      h.finish(got, SHAKE256_RATE);
      h.squeeze_block(got + SHAKE256_RATE);
      h.squeeze_block(got + 2 * SHAKE256_RATE);
      std::vector<uint8_t> whole = head;
      whole.insert(whole.end(), in.begin(), in.end());
      shake256(want, sizeof want, whole.data(), whole.size());
      EXPECT_EQ(0, std::memcmp(got, want, sizeof got)) << backend_name(b) << " head and length " << len;
    }
    keccakx4_state st;
    uint64_t one[25];
    std::array<std::vector<uint8_t>, 5> seeds, got;
    for (size_t j = 0; j < 5; ++j) seeds[j] = random_bytes(rng, 33), got[j].assign(2 * SHAKE256_RATE, 0);
    shake256x4_absorb(&st, seeds[0].data(), seeds[1].data(), seeds[2].data(), seeds[3].data(), 33);
    shake256_absorb(one, seeds[4].data(), 33);
    shake256x4_squeezeblocks_and_one(got[0].data(), got[1].data(), got[2].data(), got[3].data(), got[4].data(), 2,
                                     &st, one);
    for (size_t j = 0; j < 5; ++j)
      EXPECT_EQ(got[j], scalar_stream(SHAKE256_RATE, seeds[j], 2)) << backend_name(b) << " stream " << j;
  }
}

INSTANTIATE_TEST_SUITE_P(AllPaths, Fips202x4, ::testing::ValuesIn(paths()),
                         [](const ::testing::TestParamInfo<Path> &info) { return info.param.name; });

}  // namespace
