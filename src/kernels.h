// The dispatch point: one table of kernels per path (scalar, avx2, avx512, neon, simd128). The
// generic modules (Polynomial, Rounding, io, fips202, fips202x4) call through kernels() and never
// ask which path runs; the kernels never call back into them. Which table kernels() returns is
// set from outside: once per process by the path's choice (path.h), and per thread while a
// self-test runs on the kernels it was handed.
//
// Each field below states the one contract that every path's kernel meets, scalar and vector
// alike: the input ranges it accepts, the range of what it returns and which arguments may
// share memory. Results of different paths are congruent modulo Q wherever a range rather than
// a value is promised, and equal everywhere else.
//
// Adding a path: a folder of kernel files compiled with its instruction set (see CMakeLists.txt),
// one table in kernels.cpp, and its feature test in cpu.cpp.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cpu.h"

namespace tavik {

struct Kernels {
  // --- Transforms (NTT positions as in forward_ntt: position i is the value at r^(2*br(i)+1)).

  // In place, ordinary form -> NTT form. Input: every coefficient below 2Q. Output: every
  // coefficient below 18Q.
  void (*forward_ntt)(uint32_t *p);
  // out = a * b (negacyclic) in ordinary form, every coefficient in [0, 2Q). a and b: NTT form,
  // every coefficient below 18Q. out may be the same array as a or b; no other overlap.
  void (*inverse_ntt)(uint32_t *out, const uint32_t *a, const uint32_t *b);
  // out = sum over i < count (>= 1) of a[i] * b[i] (negacyclic), a and b vectors of count
  // polynomials in NTT form, every coefficient below 18Q. The products are summed in the NTT
  // domain and transformed back once. out: ordinary form, every coefficient in [0, 2Q). out
  // may be the same array as one polynomial of a or b; no other overlap.
  void (*inner_product)(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
  // As inner_product, minus c * d (single polynomials in NTT form below 18Q), still with one
  // inverse transform: out in [0, 2Q). out may be one input polynomial; no other overlap.
  void (*inner_product_minus)(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count,
                              const uint32_t *c, const uint32_t *d);

  // --- Element-wise vector operations over count polynomials; no data-dependent branch.

  // out = a + b, 32-bit wrap, no reduction; out may be a or b.
  void (*add)(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
  // out = a - b + 2Q, 32-bit wrap, no reduction; out may be a or b.
  void (*sub)(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
  // Any 32-bit value -> canonical residue in [0, Q), in place.
  void (*freeze)(uint32_t *v, uint32_t count);
  // x: count polys below 2Q, each coefficient congruent to a + (b << shift) with |a| < 512,
  // b << shift a multiple of 1024 and |a + (b << shift)| <= (Q - 1) / 2, shift <= 10 -> lo = Q + a,
  // hi = Q + b. No overlap among lo, hi and x.
  void (*split_pair)(uint32_t *lo, uint32_t *hi, const uint32_t *x, uint32_t shift, uint32_t count);
  // 1 if some coefficient's centred |x mod Q| (in [0, 2095616]) is >= bound, else 0. Any input.
  int32_t (*check_norm)(const uint32_t *v, uint32_t count, uint32_t bound);

  // --- Rounding (rules in rounding_rules.h).

  // t: count polys of any 32-bit values -> t1 in [0, 511], t0 = Q + r, r in [-4095, 4096].
  // No overlap between t1, t0 and t.
  void (*power2round)(uint32_t *t1, uint32_t *t0, const uint32_t *t, uint32_t count);
  // a: count polys below 64Q -> a1 in [0, 15], a0 = Q + r0, r0 in [-2095616, 2095616].
  // a1 and a0 must not overlap a or each other.
  void (*decompose)(uint32_t *a1, uint32_t *a0, const uint32_t *a, uint32_t count);
  // The a1 of decompose alone; a1 may be a.
  void (*highbits)(uint32_t *a1, const uint32_t *a, uint32_t count);
  // a, b: K polys below 64Q -> h in {0, 1} (1 where the high parts differ); returns the number
  // of ones. h may be a or b.
  uint32_t (*make_hint)(uint32_t *h, const uint32_t *a, const uint32_t *b);
  // hint: count polys (nonzero counts as 1), a: count polys below 64Q -> corrected high parts
  // in [0, 15]. out may be hint or a.
  void (*use_hint)(uint32_t *out, const uint32_t *hint, const uint32_t *a, uint32_t count);
  // One polynomial of a signing candidate, in one pass that reads every coefficient: nonzero
  // when some coefficient of v (below 64Q) has a centred low part of at least r0_bound or a high
  // part other than w1's (in [0, 15]), or some centred |e mod Q| (e any 32-bit value) reaches
  // e_bound; 0 otherwise. The nonzero value is path-specific.
  uint32_t (*candidate_check)(const uint32_t *v, const uint32_t *e, const uint32_t *w1, uint32_t r0_bound,
                              uint32_t e_bound);

  // --- Challenge.

  // The inside-out shuffle of the challenge from its drawn positions: for k < 60, in turn,
  // c[i] = c[b] then c[b] = 1, or Q - 1 when bit k of signs is set, where i = 196 + k and
  // b = positions[k] <= i, starting from the zero polynomial. Writes all 256 coefficients of c:
  // 60 in {1, Q - 1}, the rest 0. No branch and no memory index depends on a position or a sign.
  void (*challenge_shuffle)(uint32_t *c, const uint8_t *positions, uint64_t signs);

  // --- Bit-plane codec (rules in io_planes.h), one polynomial of class cls.

  // 256 coefficients -> 32 * W bytes of class cls (0..5; any other writes nothing); stored
  // bits at or above W are dropped. out must not overlap in.
  void (*pack_planes)(uint8_t *out, const uint32_t *in, uint32_t cls);
  // 32 * W bytes of class cls (0..5; any other writes nothing) -> 256 coefficients: Q + s
  // (classes 0, 1, 3, 4), t1 << 13 (class 2), w1 (class 5). out must not overlap in.
  void (*unpack_planes)(uint32_t *out, const uint8_t *in, uint32_t cls);

  // --- Rejection steps of the samplers (rules in sampler_rules.h). Each reads buf[0..len),
  // writes at most `needed` coefficients, returns how many; out[count .. needed) may be
  // overwritten with discarded values, nothing at or beyond out[needed] is touched. Feeding a
  // stream in consecutive pieces fills the same coefficients as feeding it whole.

  // 3-byte little-endian candidates; those up to 4Q - 1 kept as f mod Q in [0, Q).
  uint32_t (*rej_uniform)(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len);
  // Bits 0-2, then bits 5-7 of each byte; t <= 2 * eta gives Q + eta - t (32-bit wrap).
  uint32_t (*rej_eta)(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len, uint32_t eta);
  // Two 20-bit candidates per 5-byte group, accepted up to 4 * (GAMMA1 - 1), folded, written as
  // Q + y with y in [-(GAMMA1 - 1), GAMMA1 - 1].
  uint32_t (*rej_gamma1m1)(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len);

  // --- Keccak-f[1600].

  // Applies the permutation to one state (25 lanes) in place.
  void (*permute)(uint64_t s[25]);

  // Four states interleaved lane by lane (lane i of stream j is s[4*i + j]).

  // Applies the permutation to each of the four states in place.
  void (*permute4x)(uint64_t s[100]);
  // permute4x(s) and permute(t) (t: one state, not overlapping s), side by side where the path's
  // units for the two can overlap them: a single stream then rides beside four for part of the cost.
  void (*permute4x1)(uint64_t s[100], uint64_t t[25]);
  // Starts four SHAKE computations with rate r (168 or 136), absorbing in0..in3 (inlen bytes
  // each, 0x1F padding included); the inputs may be the same array.
  void (*absorb4x)(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                   const uint8_t *in2, const uint8_t *in3, uint64_t inlen);
  // Squeezes nblocks blocks of r bytes into each output (distinct, not overlapping s).
  void (*squeeze4x)(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3, uint64_t nblocks,
                    uint64_t s[100], size_t r);
  // Writes the first 168 bytes (21 lanes) of each of the four states to out[j] (distinct, not
  // overlapping s).
  void (*extract4x)(uint8_t *const out[4], const uint64_t *s);

  // Eight states interleaved lane by lane (lane i of state j is s[8*i + j], 200 words), for the
  // job scheduler when the measurement at the path's choice finds them faster (shake_lanes.h).

  // Applies the permutation to each of the eight states in place.
  void (*permute8x)(uint64_t s[200]);
  // permute8x(s) and permute(t) (t: one state, not overlapping s), side by side where the path's
  // units can overlap them, as permute4x1.
  void (*permute8x1)(uint64_t s[200], uint64_t t[25]);
  // Writes the first 168 bytes (21 lanes) of each of the eight states to out[j] (distinct, not
  // overlapping s).
  void (*extract8x)(uint8_t *const out[8], const uint64_t *s);

  // True when the samplers should draw four SHAKE streams at once (faster only where
  // permute4x really runs the four states side by side). Outputs are the same either way.
  bool four_streams;
  // True where, at four lanes, a single SHAKE256 stream costs less in a lane of the scheduled
  // matrix expansion than beside four states (permute4x1): one-shot verification then hashes the
  // public key and the message in those lanes. Outputs are the same either way.
  bool side_hashes_in_lanes;

  // The path whose table this is: code outside the kernels that has vector forms of its own (the
  // keys' check values) runs the form of the kernels in use.
  Backend path = Backend::scalar;
};

// The kernels in use: those handed to this thread (KernelsInThread), else those of the path chosen
// for the process (kernels_use), else the scalar ones.
const Kernels &kernels();
// The kernels of path b, which must be available (backend_available(b)); for the choice of the
// path, the suites that check each path against the scalar one, and the benchmark.
const Kernels &kernels_of(Backend b);
// Makes the kernels of path b (available) those of every thread without kernels of its own.
void kernels_use(Backend b);
// The avx512 path's two tables: its Keccak kernels with 256-bit (AVX2) or 512-bit arithmetic
// (bits 256 or 512; any other value means 256). kernels_of(Backend::avx512) returns the one of
// the width set by kernels_avx512_bits_use, 256 until the path's choice measures both.
const Kernels &kernels_avx512(uint32_t bits);
void kernels_avx512_bits_use(uint32_t bits);
// The neon path's two tables: its Keccak kernels with NEON alone (sha3 false) or with the SHA-3
// instructions (sha3 true, only where cpu_has_sha3()). kernels_of(Backend::neon) returns the one
// with SHA-3 where the processor has it. On other processors both are the scalar table.
const Kernels &kernels_neon(bool sha3);

// While it lives, kernels() in the thread that made it returns k (the self-test of a path runs the
// scheme on the kernels it is handed). Guards nest; each restores what was in use before it.
class KernelsInThread {
 public:
  explicit KernelsInThread(const Kernels &k);
  ~KernelsInThread();
  KernelsInThread(const KernelsInThread &) = delete;
  KernelsInThread &operator=(const KernelsInThread &) = delete;

 private:
  const Kernels *saved_;
};

}  // namespace tavik
