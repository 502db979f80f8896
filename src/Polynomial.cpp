#include "Polynomial.h"

#include <cstddef>
#include <cstring>

#include "Reduce.h"
#include "byteorder.h"
#include "ct.h"
#include "fips202.h"
#include "fips202x4.h"
#include "io.h"
#include "kernels.h"
#include "rules/polyvec_ops_impl.h"
#include "range_check.h"
#include "shake_lanes.h"
#include "wipe.h"

namespace tavik {


// ---------------------------------------------------------------------------------------------
// Transforms and products: the scalar kernels, and PolyVec_mult over the kernels of the path.

NttVec polyvec_ntt(uint32_t *v, uint32_t count) {
  TAVIK_ASSERT_ALL(v, size_t(count) * N, x < Q2);
  void (*const ntt)(uint32_t *) = kernels().forward_ntt;
  for (uint32_t i = 0; i < count; ++i) ntt(v + size_t(i) * N);
  return NttVec::of_ntt_form(v);
}

void polyvec_inner_product_minus(uint32_t *out, NttVec a, NttVec b, uint32_t count, NttVec c, NttVec d) {
  kernels().inner_product_minus(out, a.data(), b.data(), count, c.data(), d.data());
}

void polyvec_mult_ntt(uint32_t *out, NttVec a, uint32_t a_count, NttVec b, uint32_t b_count) {
  const Kernels &k = kernels();
  TAVIK_ASSERT_ALL(a.data(), size_t(a_count) * N, x < 18 * Q);
  TAVIK_ASSERT_ALL(b.data(), size_t(b_count) * N, x < 18 * Q);
  if (a_count == 1) {
    for (uint32_t i = 0; i < b_count; ++i) k.inverse_ntt(out + size_t(i) * N, a.data(), b.data() + size_t(i) * N);
  } else {
    k.inner_product(out, a.data(), b.data(), b_count);
  }
}

namespace {

// v as NTT form: transformed in place first when its domain flag is 0, which then becomes 1.
NttVec ntt_by_flag(uint32_t *v, int32_t *flag, uint32_t count) {
  if (*flag != 0) return NttVec::of_ntt_form(v);
  *flag = 1;
  return polyvec_ntt(v, count);
}

}  // namespace

void PolyVec_mult(uint32_t *out, uint32_t *a, int32_t *a_flag, uint32_t a_count, uint32_t *b,
                  int32_t *b_flag, uint32_t b_count) {
  const NttVec an = ntt_by_flag(a, a_flag, a_count);
  const NttVec bn = ntt_by_flag(b, b_flag, b_count);
  polyvec_mult_ntt(out, an, a_count, bn, b_count);
}

// ---------------------------------------------------------------------------------------------
// Element-wise operations: the loops of polyvec_ops_impl.h as the scalar kernels, and the
// operations themselves over the kernels of the path. The coefficient-wise loops have no
// data-dependent branch.

void PolyVec_assignment(uint32_t *dst, const uint32_t *src, uint32_t count) {
  if (count != 0) std::memcpy(dst, src, size_t(count) * N * sizeof *dst);
}

void PolyVec_add(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  kernels().add(out, a, b, count);
}

void PolyVec_sub(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  kernels().sub(out, a, b, count);
}

void PolyVec_freeze(uint32_t *v, uint32_t count) { kernels().freeze(v, count); }

void polyvec_split_pair(uint32_t *lo, uint32_t *hi, const uint32_t *packed, uint32_t shift, uint32_t count) {
  TAVIK_ASSERT_RANGE(shift <= 10);
  TAVIK_ASSERT_ALL(packed, size_t(count) * N, x < Q2);
  kernels().split_pair(lo, hi, packed, shift, count);
}

int32_t PolyVec_compare(const uint32_t *a, const uint32_t *b, uint32_t count) {
  return compare_loop(a, b, size_t(count) * N);
}

int32_t PolyVec_check_norm(const uint32_t *v, uint32_t count, uint32_t bound) {
  return kernels().check_norm(v, count, bound);
}

// ---------------------------------------------------------------------------------------------
// Samplers. The rejection steps are the path's kernels; on the paths whose four-stream Keccak
// runs the streams side by side the samplers draw four streams at once. Every output equals the
// scalar one.

namespace {

using RejStep = uint32_t (*)(uint32_t *, uint32_t, const uint8_t *, uint32_t);

constexpr size_t GAMMA1_SEED_BYTES = SEED_BYTES + CRH_BYTES;  // key, then mu

constexpr uint32_t MATRIX_DRAW = 5 * SHAKE128_RATE;  // 840 bytes, 280 candidates
constexpr uint32_t ETA_DRAW = 2 * SHAKE256_RATE;     // 272 bytes, first squeeze
constexpr uint32_t GAMMA1_DRAW = 5 * SHAKE256_RATE;  // 680 bytes, first squeeze
constexpr uint32_t EXTRA_DRAW = SHAKE256_RATE;       // each further block of the two SHAKE256 samplers
static_assert(L == 4, "the batched samplers fill one four-stream batch per row / mask vector");

// Completes polynomial a of A from position `filled` (<= N) with the retry draws e = 1, 2, ...:
// each hashes in = rho followed by the index byte plus e (modulo 256) and fills the remaining
// places from its first candidate on. in (33 bytes) keeps the last index byte used. Variable
// time: the number of draws depends on rho, which is public.
void finish_matrix_poly_vartime(uint32_t *a, uint32_t filled, uint8_t *in, uint32_t index, RejStep step) {
  uint8_t buf[MATRIX_DRAW];
  for (uint32_t e = 1; filled < N; ++e) {
    in[SEED_BYTES] = uint8_t(index + e);
    shake128(buf, sizeof buf, in, SEED_BYTES + 1);
    filled += step(a + filled, N - filled, buf, sizeof buf);
  }
}

// First draw of a masking polynomial: buf holds the first 680 bytes of its stream. When nonce %
// 4 == 0 writes the 5 choice flags from bits 0-4 of byte 0 and takes candidates from byte 2 on.
// Returns how many coefficients of out were filled.
uint32_t gamma1m1_first(uint8_t *choice_flags, uint32_t *out, const uint8_t *buf, uint32_t nonce,
                        RejStep step) {
  if (nonce % 4 == 0) {
    for (uint32_t i = 0; i < K; ++i) choice_flags[i] = uint8_t((buf[0] >> i) & 1);
    return step(out, N, buf + 2, GAMMA1_DRAW - 2);
  }
  return step(out, N, buf, GAMMA1_DRAW);
}

// Squeezes one more block of all four SHAKE256 streams of st at a time, into the start of
// buf[0..3], and hands block j to fill(j, block), which returns how many coefficients it added to
// polynomial j, until every filled[j] is N. A lane that needs nothing more starts with N.
template <typename Fill>
void squeeze_until_full(keccakx4_state *st, uint8_t *const buf[4], uint32_t filled[4], Fill fill) {
  while (filled[0] < N || filled[1] < N || filled[2] < N || filled[3] < N) {
    shake256x4_squeezeblocks(buf[0], buf[1], buf[2], buf[3], 1, st);
    for (uint32_t j = 0; j < 4; ++j) {
      if (filled[j] < N) filled[j] += fill(j, buf[j]);
    }
  }
}

// Writes the 82-byte input of the masking sampler: the 80-byte seed, then nonce's low 16 bits
// little-endian.
void gamma1m1_input(uint8_t *in, const uint8_t *seed, uint32_t nonce) {
  std::memcpy(in, seed, GAMMA1_SEED_BYTES);
  store_le<2>(in + GAMMA1_SEED_BYTES, nonce);
}

}  // namespace

namespace {

// Where the n extra jobs of a matrix expansion stand among its jobs: before the matrix streams,
// or at the places of a table (increasing). Either way the matrix streams take the other places
// in order. extra(j): job j is an extra one, extra_index(j) its index, else matrix_index(j) its
// polynomial; extra_job(e) and matrix_job(p) the other way round.
struct ExtrasFirst {
  uint32_t n;
  bool extra(uint32_t j) const { return j < n; }
  uint32_t extra_index(uint32_t j) const { return j; }
  uint32_t matrix_index(uint32_t j) const { return j - n; }
  uint32_t extra_job(uint32_t e) const { return e; }
  uint32_t matrix_job(uint32_t p) const { return n + p; }
};
struct ExtrasAt {
  static constexpr uint32_t MATRIX = K + L;  // role of matrix stream p: MATRIX + p
  const uint8_t *at;
  uint8_t role[K + L + K * L];
  uint8_t job[K * L];
  ExtrasAt(const uint8_t *places, uint32_t n) : at(places) {
    for (uint32_t j = 0, e = 0; j < n + K * L; ++j) {
      role[j] = uint8_t(e < n && at[e] == j ? e++ : MATRIX + j - e);
      if (role[j] >= MATRIX) job[role[j] - MATRIX] = uint8_t(j);
    }
  }
  bool extra(uint32_t j) const { return role[j] < MATRIX; }
  uint32_t extra_index(uint32_t j) const { return role[j]; }
  uint32_t matrix_index(uint32_t j) const { return role[j] - MATRIX; }
  uint32_t extra_job(uint32_t e) const { return at[e]; }
  uint32_t matrix_job(uint32_t p) const { return job[p]; }
};

// The first `rows` (<= K) rows of A from rho with their streams spread over the lanes of
// keccak_lanes(), with n_extra (<= K + L) further SHAKE jobs run in the same permutations at the
// places `places` gives them (ExtrasAt: rows == K only).
// Blocks of extra job e go to take_extra(e, block) as in run_shake_jobs (extra jobs waiting to be
// ready come after matrix streams started before they are). Each matrix stream gives its first
// five blocks (840 bytes); a polynomial still short after them goes on as in the scalar
// expansion, with the retry draws. poly_done(p) is told when polynomial p of A is complete; side,
// when given, rides beside the permutations (run_shake_jobs).
struct NoPolyDone {
  void operator()(uint32_t) const {}
};
template <typename Places, typename TakeExtra, typename PolyDone = NoPolyDone>
void expand_matrix_in_lanes(uint32_t *A, const uint8_t *rho, const ShakeJob *extra, uint32_t n_extra,
                            Places places, TakeExtra take_extra, uint32_t rows = K, PolyDone poly_done = {},
                            Shake256Beside *side = nullptr) {
  constexpr uint32_t MAX_EXTRA = K + L;
  const RejStep step = kernels().rej_uniform;
  uint8_t seeds[K * L][SEED_BYTES + 1];
  // The matrix streams start in order and all take five blocks, so those under way at any time
  // are at most MAX_LANES consecutive polynomials, each with its own draw here. Blocks are
  // extracted straight into their place in it.
  uint8_t buf[MAX_LANES][MATRIX_DRAW];
  ShakeJob jobs[MAX_EXTRA + K * L];
  uint32_t blocks[K * L] = {};
  n_extra = n_extra < MAX_EXTRA ? n_extra : MAX_EXTRA;
  const uint32_t streams = (rows < K ? rows : K) * L;
  const uint32_t count = n_extra + streams;
  for (uint32_t e = 0; e < n_extra; ++e) jobs[places.extra_job(e)] = extra[e];
  for (uint32_t p = 0; p < streams; ++p) {
    std::memcpy(seeds[p], rho, SEED_BYTES);
    seeds[p][SEED_BYTES] = uint8_t(4 * p);  // 16 * row + 4 * column
    jobs[places.matrix_job(p)] = {seeds[p], SEED_BYTES + 1, SHAKE128_RATE};
  }
  const auto place = [&](uint32_t j) -> uint8_t * {
    if (places.extra(j)) return nullptr;
    const uint32_t p = places.matrix_index(j);
    return buf[p % MAX_LANES] + blocks[p] * SHAKE128_RATE;
  };
  run_shake_jobs(keccak_lanes(), jobs, count, place, [&](uint32_t j, const uint8_t *block) {
    if (places.extra(j)) return take_extra(places.extra_index(j), block);
    const uint32_t p = places.matrix_index(j);
    if (++blocks[p] < MATRIX_DRAW / SHAKE128_RATE) return true;
    uint32_t *a = A + size_t(p) * N;
    finish_matrix_poly_vartime(a, step(a, N, buf[p % MAX_LANES], MATRIX_DRAW), seeds[p], 4 * p, step);
    poly_done(p);
    return false;
  }, side);
}

// A alone over the scheduler's lanes. Not inlined: the row-by-row expansion keeps its own,
// smaller frame.
[[gnu::noinline]] void expand_matrix_alone_in_lanes(uint32_t *A, const uint8_t *rho) {
  expand_matrix_in_lanes(A, rho, nullptr, 0, ExtrasFirst{0}, [](uint32_t, const uint8_t *) { return false; });
}

}  // namespace

namespace {

// Row i of A, one SHAKE128 stream after another (polynomial (i, j) from index byte 16 i + 4 j).
void expand_row_one_at_a_time(uint32_t *row, const uint8_t *rho, uint32_t i) {
  const RejStep step = kernels().rej_uniform;
  uint8_t in[SEED_BYTES + 1];
  uint8_t buf[MATRIX_DRAW];
  std::memcpy(in, rho, SEED_BYTES);
  for (uint32_t j = 0; j < L; ++j) {
    uint32_t *a = row + size_t(j) * N;
    in[SEED_BYTES] = uint8_t(16 * i + 4 * j);
    shake128(buf, sizeof buf, in, sizeof in);
    finish_matrix_poly_vartime(a, step(a, N, buf, sizeof buf), in, 16 * i + 4 * j, step);
  }
}

// Row i of A from four SHAKE128 streams side by side, their permutations taking blocks of side
// when it is given.
void expand_row_in_four(uint32_t *row, const uint8_t *rho, uint32_t i, Shake256Beside *side) {
  const RejStep step = kernels().rej_uniform;
  uint8_t in[L][SEED_BYTES + 1];
  uint8_t buf[L][MATRIX_DRAW];
  keccakx4_state st;
  for (uint32_t j = 0; j < L; ++j) {
    std::memcpy(in[j], rho, SEED_BYTES);
    in[j][SEED_BYTES] = uint8_t(16 * i + 4 * j);
  }
  shake128x4_absorb(&st, in[0], in[1], in[2], in[3], SEED_BYTES + 1);
  if (side != nullptr)
    shake128x4_squeezeblocks_beside(buf[0], buf[1], buf[2], buf[3], MATRIX_DRAW / SHAKE128_RATE, &st, *side);
  else
    shake128x4_squeezeblocks(buf[0], buf[1], buf[2], buf[3], MATRIX_DRAW / SHAKE128_RATE, &st);
  for (uint32_t j = 0; j < L; ++j) {
    uint32_t *a = row + size_t(j) * N;
    finish_matrix_poly_vartime(a, step(a, N, buf[j], MATRIX_DRAW), in[j], 16 * i + 4 * j, step);
  }
}

// The first `rows` rows of A a row at a time: its four polynomials from four SHAKE128 streams side
// by side where the path runs them so, else one stream after another.
void expand_rows(uint32_t *A, const uint8_t *rho, uint32_t rows) {
  for (uint32_t i = 0; i < rows; ++i) {
    if (kernels().four_streams) expand_row_in_four(A + size_t(i) * L * N, rho, i, nullptr);
    else expand_row_one_at_a_time(A + size_t(i) * L * N, rho, i);
  }
}

}  // namespace

void Generate_A(uint32_t *A, const uint8_t *rho) {
  // Eight lanes: the twenty streams through the job scheduler. Four: one row at a time, which
  // takes fewer instructions than the scheduler at that width.
  if (keccak_eight_lanes()) expand_matrix_alone_in_lanes(A, rho);
  else expand_rows(A, rho, K);
}

void generate_a_row(uint32_t *row, const uint8_t *rho, uint32_t i, Shake256Beside &side) {
  if (kernels().four_streams) expand_row_in_four(row, rho, i, &side);
  else expand_row_one_at_a_time(row, rho, i);
}

void generate_a_and_shake256(uint32_t *A, const uint8_t *rho, const SideHash *side, uint32_t count, uint32_t rows) {
  constexpr uint32_t MAX_SIDES = 3;
  count = count < MAX_SIDES ? count : MAX_SIDES;
  rows = rows < K ? rows : K;
  if (!kernels().four_streams || count == 0) {
    if (rows == K) Generate_A(A, rho);
    else expand_rows(A, rho, rows);
    for (uint32_t k = 0; k < count; ++k)
      shake256_pair(side[k].out, side[k].outlen, side[k].pre, side[k].prelen, side[k].in, side[k].inlen);
    return;
  }
  // The hashes are the first jobs, so that a long one (a public key's eleven blocks) starts first.
  ShakeJob jobs[MAX_SIDES];
  bool done[MAX_SIDES] = {};
  for (uint32_t k = 0; k < count; ++k) {
    const SideHash &h = side[k];
    jobs[k] = {h.in, h.inlen, SHAKE256_RATE, h.pre, h.prelen, k > 0 && h.after_previous ? &done[k - 1] : nullptr};
  }
  expand_matrix_in_lanes(
      A, rho, jobs, count, ExtrasFirst{count},
      [&](uint32_t k, const uint8_t *block) {
        std::memcpy(side[k].out, block, side[k].outlen);
        done[k] = true;
        return false;
      },
      rows);
}

namespace {

// A secret polynomial from the first ETA_DRAW bytes of its stream in buf and, while still short,
// further blocks of the stream in state, one at a time into the start of buf.
void eta_from_first_draw(uint32_t *out, uint8_t *buf, uint64_t *state, uint32_t eta) {
  const auto step = kernels().rej_eta;
  uint32_t filled = step(out, N, buf, ETA_DRAW, eta);
  while (filled < N) {
    shake256_squeezeblocks(buf, 1, state);
    filled += step(out + filled, N - filled, buf, EXTRA_DRAW, eta);
  }
}

}  // namespace

void Poly_uniform_eta(uint32_t *out, const uint8_t *seed, int32_t nonce, uint32_t eta) {
  uint8_t in[SEED_BYTES + 1];
  uint64_t state[25];
  uint8_t buf[ETA_DRAW];
  std::memcpy(in, seed, SEED_BYTES);
  in[SEED_BYTES] = uint8_t(nonce);
  shake256_absorb(state, in, sizeof in);
  shake256_squeezeblocks(buf, ETA_DRAW / SHAKE256_RATE, state);
  eta_from_first_draw(out, buf, state, eta);
  secure_wipe(in, sizeof in);
  secure_wipe(state, sizeof state);
  secure_wipe(buf, sizeof buf);
}

void polyvec_uniform_eta(uint32_t *out, const uint8_t *seed, int32_t first_nonce, uint32_t count,
                         uint32_t eta) {
  const uint32_t first = uint32_t(first_nonce);
  uint32_t k = 0;
  if (kernels().four_streams) {
    const auto step = kernels().rej_eta;
    uint8_t in[5][SEED_BYTES + 1];
    uint8_t buf[5][ETA_DRAW];
    uint8_t *const bufs[4] = {buf[0], buf[1], buf[2], buf[3]};
    keccakx4_state st;
    uint64_t one[25];
    for (uint32_t j = 0; j < 5; ++j) std::memcpy(in[j], seed, SEED_BYTES);
    // Batches of up to four streams; a batch of two or three repeats its last nonce in the
    // spare lanes, whose output is not used. When five are left, the fifth rides beside the
    // batch of four (permute4x1); a single polynomial left over otherwise goes alone below.
    while (count - k >= 2) {
      const uint32_t n = count - k < 4 ? count - k : 4;
      const bool fifth = count - k == 5;
      for (uint32_t j = 0; j < 4; ++j) in[j][SEED_BYTES] = uint8_t(first + k + (j < n ? j : n - 1));
      shake256x4_absorb(&st, in[0], in[1], in[2], in[3], SEED_BYTES + 1);
      if (fifth) {
        in[4][SEED_BYTES] = uint8_t(first + k + 4);
        shake256_absorb(one, in[4], SEED_BYTES + 1);
        shake256x4_squeezeblocks_and_one(buf[0], buf[1], buf[2], buf[3], buf[4], ETA_DRAW / SHAKE256_RATE, &st, one);
      } else {
        shake256x4_squeezeblocks(buf[0], buf[1], buf[2], buf[3], ETA_DRAW / SHAKE256_RATE, &st);
      }
      uint32_t *const poly = out + size_t(k) * N;
      uint32_t filled[4] = {N, N, N, N};
      for (uint32_t j = 0; j < n; ++j) filled[j] = step(poly + size_t(j) * N, N, buf[j], ETA_DRAW, eta);
      squeeze_until_full(&st, bufs, filled, [&](uint32_t j, const uint8_t *block) {
        return step(poly + size_t(j) * N + filled[j], N - filled[j], block, EXTRA_DRAW, eta);
      });
      if (fifth) eta_from_first_draw(poly + 4 * N, buf[4], one, eta);
      k += fifth ? 5 : n;
    }
    secure_wipe(in, sizeof in);
    secure_wipe(buf, sizeof buf);
    secure_wipe(&st, sizeof st);
    secure_wipe(one, sizeof one);
  }
  for (; k < count; ++k) Poly_uniform_eta(out + size_t(k) * N, seed, int32_t(first + k), eta);
}

namespace {

// A, s1 and s2 as generate_a_and_secrets, the K + L secret streams among the matrix streams in
// the scheduler's lanes. Each secret stream is fed to the rejection step block by block (its
// candidates are whole bytes, so the pieces fill what the first two blocks and the further ones
// fill at four lanes); it ends when its polynomial is full. Rows go to rows (when given) as they
// are complete. Not inlined: its frame is only on the stack during the call.
[[gnu::noinline]] void expand_matrix_and_secrets_in_lanes(uint32_t *A, const uint8_t *rho, uint32_t *s1, uint32_t *s2,
                                                          const uint8_t *seed, uint32_t eta, const RowsMade *rows) {
  constexpr uint32_t S = K + L;
  // Places of the secret streams (two blocks each) among the twenty matrix streams (five each)
  // that fill eight lanes with the fewest permutations when lanes take the jobs in order as they
  // fall free: fifteen rounds, as many as the matrix alone.
  constexpr uint8_t places[S] = {0, 1, 2, 8, 9, 10, 11, 27, 28};
  const auto step = kernels().rej_eta;
  uint8_t in[S][SEED_BYTES + 1];
  ShakeJob jobs[S];
  uint32_t filled[S] = {};
  for (uint32_t e = 0; e < S; ++e) {
    std::memcpy(in[e], seed, SEED_BYTES);
    in[e][SEED_BYTES] = uint8_t(e);  // s1 takes nonces 0 .. L - 1, s2 the next K
    jobs[e] = {in[e], SEED_BYTES + 1, SHAKE256_RATE};
  }
  // Rows told so far, and the polynomials of each row of A complete. Row i goes to rows once s1,
  // row i of s2 and row i of A are complete and every row before it has gone.
  uint32_t told = 0;
  uint32_t row_polys[K] = {};
  const auto tell = [&] {
    if (rows == nullptr) return;
    for (uint32_t e = 0; e < L; ++e)
      if (filled[e] < N) return;
    while (told < K && row_polys[told] == L && filled[L + told] == N) rows->row(rows->ctx, told++);
  };
  expand_matrix_in_lanes(
      A, rho, jobs, S, ExtrasAt(places, S),
      [&](uint32_t e, const uint8_t *block) {
        uint32_t *const poly = e < L ? s1 + size_t(e) * N : s2 + size_t(e - L) * N;
        filled[e] += step(poly + filled[e], N - filled[e], block, SHAKE256_RATE, eta);
        tell();
        return filled[e] < N;
      },
      K,
      [&](uint32_t p) {
        ++row_polys[p / L];
        tell();
      },
      rows != nullptr ? rows->beside : nullptr);
  secure_wipe(in, sizeof in);
}

}  // namespace

void generate_a_and_secrets(uint32_t *A, const uint8_t *rho, uint32_t *s1, uint32_t *s2, const uint8_t *seed,
                            uint32_t eta, const RowsMade *rows) {
  if (keccak_eight_lanes()) {
    expand_matrix_and_secrets_in_lanes(A, rho, s1, s2, seed, eta, rows);
    return;
  }
  Generate_A(A, rho);
  polyvec_uniform_eta(s1, seed, 0, L, eta);
  polyvec_uniform_eta(s2, seed, int32_t(L), K, eta);
  for (uint32_t i = 0; rows != nullptr && i < K; ++i) rows->row(rows->ctx, i);
}

void poly_uniform_gamma1m1(uint8_t *choice_flags, uint32_t *out, const uint8_t *seed, uint32_t nonce) {
  const RejStep step = kernels().rej_gamma1m1;
  uint8_t in[GAMMA1_SEED_BYTES + 2];
  uint64_t state[25];
  uint8_t buf[GAMMA1_DRAW];
  gamma1m1_input(in, seed, nonce);
  shake256_absorb(state, in, sizeof in);
  shake256_squeezeblocks(buf, GAMMA1_DRAW / SHAKE256_RATE, state);
  uint32_t filled = gamma1m1_first(choice_flags, out, buf, nonce, step);
  // Still short: further blocks of the same stream, one at a time, into the start of buf.
  while (filled < N) {
    shake256_squeezeblocks(buf, 1, state);
    filled += step(out + filled, N - filled, buf, EXTRA_DRAW);
  }
  secure_wipe(in, sizeof in);
  secure_wipe(state, sizeof state);
  secure_wipe(buf, sizeof buf);
}

void polyvec_uniform_gamma1m1(uint8_t *choice_flags, uint32_t *out, const uint8_t *seed, uint32_t nonce) {
  if (!kernels().four_streams) {
    for (uint32_t j = 0; j < L; ++j) poly_uniform_gamma1m1(choice_flags, out + size_t(j) * N, seed, nonce + j);
    return;
  }
  const RejStep step = kernels().rej_gamma1m1;
  uint8_t in[L][GAMMA1_SEED_BYTES + 2];
  uint8_t buf[L][GAMMA1_DRAW];
  keccakx4_state st;
  for (uint32_t j = 0; j < L; ++j) gamma1m1_input(in[j], seed, nonce + j);
  shake256x4_absorb(&st, in[0], in[1], in[2], in[3], GAMMA1_SEED_BYTES + 2);
  shake256x4_squeezeblocks(buf[0], buf[1], buf[2], buf[3], GAMMA1_DRAW / SHAKE256_RATE, &st);
  uint32_t filled[L];
  for (uint32_t j = 0; j < L; ++j) filled[j] = gamma1m1_first(choice_flags, out + size_t(j) * N, buf[j], nonce + j, step);
  uint8_t *const bufs[L] = {buf[0], buf[1], buf[2], buf[3]};
  squeeze_until_full(&st, bufs, filled, [&](uint32_t j, const uint8_t *block) {
    return step(out + size_t(j) * N + filled[j], N - filled[j], block, EXTRA_DRAW);
  });
  secure_wipe(in, sizeof in);
  secure_wipe(buf, sizeof buf);
  secure_wipe(&st, sizeof st);
}

namespace {

// The masks of two attempts as polyvec_uniform_gamma1m1_two, their 2L streams side by side in the
// scheduler's eight lanes. The first five blocks of each stream are extracted straight into its
// draw (the fifth extraction writes 32 bytes past it), further blocks go to the rejection step
// one at a time. Not inlined: its frame is only on the stack during the call.
[[gnu::noinline]] void masks_of_two_in_lanes(uint8_t *choice_flags, uint32_t *out, uint8_t *next_flags,
                                             uint32_t *next, const uint8_t *seed, uint32_t nonce) {
  constexpr uint32_t M = 2 * L;
  constexpr uint32_t FIRST_BLOCKS = GAMMA1_DRAW / SHAKE256_RATE;
  const RejStep step = kernels().rej_gamma1m1;
  uint8_t in[M][GAMMA1_SEED_BYTES + 2];
  uint8_t buf[M][GAMMA1_DRAW + SHAKE128_RATE - SHAKE256_RATE];
  ShakeJob jobs[M];
  uint32_t blocks[M] = {}, filled[M] = {};
  for (uint32_t j = 0; j < M; ++j) {
    gamma1m1_input(in[j], seed, nonce + j);  // the second attempt's nonces follow the first's
    jobs[j] = {in[j], GAMMA1_SEED_BYTES + 2, SHAKE256_RATE};
  }
  const auto poly = [&](uint32_t j) { return (j < L ? out : next) + size_t(j % L) * N; };
  const auto place = [&](uint32_t j) -> uint8_t * {
    return blocks[j] < FIRST_BLOCKS ? buf[j] + blocks[j] * SHAKE256_RATE : nullptr;
  };
  run_shake_jobs(keccak_lanes(), jobs, M, place, [&](uint32_t j, const uint8_t *block) {
    if (blocks[j] < FIRST_BLOCKS) {
      if (++blocks[j] < FIRST_BLOCKS) return true;
      filled[j] = gamma1m1_first(j < L ? choice_flags : next_flags, poly(j), buf[j], nonce + j, step);
    } else {
      filled[j] += step(poly(j) + filled[j], N - filled[j], block, EXTRA_DRAW);
    }
    return filled[j] < N;
  });
  secure_wipe(in, sizeof in);
  secure_wipe(buf, sizeof buf);
}

}  // namespace

void polyvec_uniform_gamma1m1_two(uint8_t *choice_flags, uint32_t *out, uint8_t *next_flags, uint32_t *next,
                                  const uint8_t *seed, uint32_t nonce) {
  if (keccak_eight_lanes()) {
    masks_of_two_in_lanes(choice_flags, out, next_flags, next, seed, nonce);
    return;
  }
  polyvec_uniform_gamma1m1(choice_flags, out, seed, nonce);
  polyvec_uniform_gamma1m1(next_flags, next, seed, nonce + L);
}

// ---------------------------------------------------------------------------------------------
// Challenge.

namespace {

// The challenge's draw from mu and w1: the 60 positions b (b <= 196 + k for the k-th) and the 60
// sign bits. The rejection of bytes above i is the sampler's public accept decision.
// The 60 positions and sign bits from the challenge hash's output: block holds its first 136
// bytes, and more(block) writes the next 136 over them.
template <typename More>
void challenge_from_output(uint8_t *positions, uint64_t *signs, uint8_t *block, More more) {
  *signs = load_le<8>(block);
  uint32_t pos = 8;
  for (uint32_t i = N - TAU; i < N; ++i) {
    uint32_t b;
    for (;;) {
      if (pos == SHAKE256_RATE) {
        more(block);
        pos = 0;
      }
      b = block[pos++];
      // Public: the sampler's accept decision; a refusal reveals only a discarded byte.
      if (!ct::declassify(b > i)) break;
    }
    positions[i - (N - TAU)] = uint8_t(b);
  }
}

void draw_challenge(uint8_t *positions, uint64_t *signs, const uint8_t *mu, const uint32_t *w1) {
  uint8_t in[CRH_BYTES + W1_PACKED_BYTES];
  std::memcpy(in, mu, CRH_BYTES);
  pack_w1(in + CRH_BYTES, w1);

  uint64_t state[25];
  uint8_t block[SHAKE256_RATE];
  shake256_absorb(state, in, sizeof in);
  shake256_squeezeblocks(block, 1, state);
  challenge_from_output(positions, signs, block, [&](uint8_t *b) { shake256_squeezeblocks(b, 1, state); });
  secure_wipe(in, sizeof in);
  secure_wipe(state, sizeof state);
  secure_wipe(block, sizeof block);
}

// Public positions and signs: the plain inside-out shuffle, indexing c by the drawn positions.
void place_challenge_vartime(uint32_t *c, const uint8_t *positions, uint64_t signs) {
  std::memset(c, 0, N * sizeof *c);
  for (uint32_t k = 0; k < TAU; ++k) {
    const uint32_t i = N - TAU + k, b = positions[k];
    c[i] = c[b];
    c[b] = (signs >> k) & 1 ? Q - 1 : 1;
  }
}

}  // namespace

// The shuffle itself is a kernel that touches no position chosen by the hash, since the
// challenge of an abandoned attempt is never published.
void challenge(uint32_t *c, const uint8_t *mu, const uint32_t *w1) {
  uint8_t positions[TAU];
  uint64_t signs;
  draw_challenge(positions, &signs, mu, w1);
  kernels().challenge_shuffle(c, positions, signs);
  secure_wipe(positions, sizeof positions);
  secure_wipe(&signs, sizeof signs);
}

void challenge_vartime(uint32_t *c, const uint8_t *mu, const uint32_t *w1) {
  uint8_t positions[TAU];
  uint64_t signs;
  draw_challenge(positions, &signs, mu, w1);
  place_challenge_vartime(c, positions, signs);
}

void challenge_vartime_of(uint32_t *c, Shake256Beside &hash) {
  uint8_t positions[TAU];
  uint64_t signs;
  uint8_t block[SHAKE256_RATE];
  hash.finish(block, sizeof block);
  challenge_from_output(positions, &signs, block, [&](uint8_t *b) { hash.squeeze_block(b); });
  place_challenge_vartime(c, positions, signs);
}

}  // namespace tavik
