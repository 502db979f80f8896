// Polynomials of 256 unsigned 32-bit coefficients modulo Q, stored back to back as vectors;
// element-wise operations, the NTT and PolyVec_mult, the samplers and the challenge.
#pragma once
#include <cstdint>

#include "params.h"
// The twiddle tables, forward_ntt, inverse_ntt and the rejection steps rej_uniform, rej_eta and
// rej_gamma1m1: the portable kernels behind the operations below.
#include "scalar/kernels_scalar.h"

namespace tavik {

// A read-only view of polynomials in NTT form, every coefficient below 18Q: the type carries the
// domain, so no flag travels with it. The transform (polyvec_ntt) makes one; so does a caller that
// holds data in NTT form already (the matrix A as Generate_A writes it, a prepared key), through
// of_ntt_form. The number of polynomials is passed beside it, as for every vector.
class NttVec {
 public:
  static constexpr NttVec of_ntt_form(const uint32_t *p) { return NttVec(p); }
  constexpr const uint32_t *data() const { return p_; }
  // The polynomials from polynomial i on.
  constexpr NttVec from(uint32_t i) const { return NttVec(p_ + i * N); }

 private:
  explicit constexpr NttVec(const uint32_t *p) : p_(p) {}
  const uint32_t *p_;
};

// a_count == 1: out[i] = a[0] * b[i] for i < b_count, each in [0, 2Q);
// else out[0] = sum of a[i] * b[i] for i < b_count (>= 1), in [0, 2Q), summed in the NTT domain.
// An operand whose flag is 0 (every coefficient below 2Q) is transformed in place first and its
// flag set to 1; operands already in NTT form are below 18Q. Runs the kernels of the path in use.
void PolyVec_mult(uint32_t *out, uint32_t *a, int32_t *a_flag, uint32_t a_count, uint32_t *b,
                  int32_t *b_flag, uint32_t b_count);
// PolyVec_mult of operands in NTT form: out = a[0] * b[i] (a_count == 1) or the sum of a[i] * b[i],
// in ordinary form in [0, 2Q). out may be one polynomial of a or b.
void polyvec_mult_ntt(uint32_t *out, NttVec a, uint32_t a_count, NttVec b, uint32_t b_count);

// The count polynomials of v (every coefficient below 2Q) transformed in place, as NTT form.
NttVec polyvec_ntt(uint32_t *v, uint32_t count);
// out = sum over i < count of a[i] * b[i], minus c * d (negacyclic), c and d single polynomials;
// one polynomial in ordinary form, congruent to that value, in [0, 2Q), summed in the NTT domain
// and transformed back once.
void polyvec_inner_product_minus(uint32_t *out, NttVec a, NttVec b, uint32_t count, NttVec c, NttVec d);

// dst = src, count polynomials; the two never overlap.
void PolyVec_assignment(uint32_t *dst, const uint32_t *src, uint32_t count);
// out = a + b, 32-bit wrap, no reduction; out may be a or b.
void PolyVec_add(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
// out = a - b + 2Q, 32-bit wrap, no reduction; out may be a or b.
void PolyVec_sub(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
// Any 32-bit value -> canonical residue in [0, Q), in place.
void PolyVec_freeze(uint32_t *v, uint32_t count);
// Products by the challenge of packed pairs: count polynomials x, every coefficient below 2Q and
// congruent to a + (b << shift) with |a| < 512, b << shift a multiple of 1024 and
// |a + (b << shift)| <= 2095616; shift <= 10 -> lo = Q + a, hi = Q + b, count polynomials each.
// lo and hi must not overlap x or each other.
void polyvec_split_pair(uint32_t *lo, uint32_t *hi, const uint32_t *x, uint32_t shift, uint32_t count);
// 1 at the first stored value that differs, else 0 (raw comparison, not residues).
int32_t PolyVec_compare(const uint32_t *a, const uint32_t *b, uint32_t count);
// 1 at the first coefficient whose centred |x mod Q| (in [0, 2095616]) is >= bound, else 0.
int32_t PolyVec_check_norm(const uint32_t *v, uint32_t count, uint32_t bound);

// A (20 polynomials, row-major, NTT form, each coefficient in [0, Q)) from the 32-byte rho.
void Generate_A(uint32_t *A, const uint8_t *rho);
// Row i (< K) of A, its L polynomials as Generate_A writes them. Where four streams run side by side
// (Kernels::four_streams), each of the row's permutations also takes the next written block of
// side (fips202x4.h), if any; elsewhere side is left as it is.
class Shake256Beside;
void generate_a_row(uint32_t *row, const uint8_t *rho, uint32_t i, Shake256Beside &side);
// A hash run beside the matrix expansion: out[0..outlen) (outlen <= 136) = SHAKE256(pre[0..prelen)
// || in[0..inlen)). With after_previous, pre is the out of the hash before it, and it starts once
// that one is done.
struct SideHash {
  uint8_t *out;
  uint32_t outlen;
  const uint8_t *pre;
  uint32_t prelen;
  const uint8_t *in;
  uint64_t inlen;
  bool after_previous;
};
// The first `rows` (<= K) rows of A as Generate_A writes them, and the count (at most 3) hashes of
// side; on paths that run four Keccak states at once (Kernels::four_streams) the hashes run in the
// lanes of the matrix expansion.
void generate_a_and_shake256(uint32_t *A, const uint8_t *rho, const SideHash *side, uint32_t count, uint32_t rows = K);
// One polynomial with coefficients Q + x, x in [-eta, eta], from a 32-byte seed and the low byte of
// nonce; squeezes one more block at a time until all 256 coefficients are filled.
void Poly_uniform_eta(uint32_t *out, const uint8_t *seed, int32_t nonce, uint32_t eta);
// count polynomials back to back in out: polynomial k equals Poly_uniform_eta(seed, first_nonce + k,
// eta) (nonce low byte, so it wraps at 256); may draw four streams at once.
void polyvec_uniform_eta(uint32_t *out, const uint8_t *seed, int32_t first_nonce, uint32_t count,
                         uint32_t eta);
// Told by generate_a_and_secrets as rows are made: row(ctx, i) once row i of A, all of s1 and row
// i of s2 are complete, for i = 0 .. K - 1 in order, each once (it may write the caller's input
// of beside). beside, when not null, is a hash whose blocks ride beside the permutations that
// follow while it has whole blocks written (at four lanes and without lanes: none do).
struct RowsMade {
  void (*row)(void *ctx, uint32_t i);
  void *ctx;
  Shake256Beside *beside;
};
// A as Generate_A, s1 (L polynomials) as polyvec_uniform_eta(s1, seed, 0, L, eta) and s2 (K) as
// polyvec_uniform_eta(s2, seed, L, K, eta). At eight Keccak lanes (on paths with
// Kernels::four_streams) the secret streams run in the lanes of the matrix expansion. rows, when
// given, is told of each row as above.
void generate_a_and_secrets(uint32_t *A, const uint8_t *rho, uint32_t *s1, uint32_t *s2, const uint8_t *seed,
                            uint32_t eta, const RowsMade *rows = nullptr);
// One masking polynomial, coefficients Q + y, y in [-261951, 261951], from the 80-byte seed
// (key, then mu) and the low 16 bits of nonce; when nonce % 4 == 0 also writes 5 choice flags (0/1).
// Squeezes one more block at a time until all 256 coefficients are filled.
void poly_uniform_gamma1m1(uint8_t *choice_flags, uint32_t *out, const uint8_t *seed, uint32_t nonce);
// The L = 4 masking polynomials of nonces nonce .. nonce + 3 (32-bit wrap) back to back in out, each
// equal to poly_uniform_gamma1m1's; the call whose nonce is a multiple of 4 writes the 5 choice
// flags; may draw the four streams at once.
void polyvec_uniform_gamma1m1(uint8_t *choice_flags, uint32_t *out, const uint8_t *seed, uint32_t nonce);
// The masks of two attempts: polyvec_uniform_gamma1m1(choice_flags, out, seed, nonce) and
// polyvec_uniform_gamma1m1(next_flags, next, seed, nonce + L). At eight Keccak lanes (on paths with
// Kernels::four_streams) the eight streams run side by side.
void polyvec_uniform_gamma1m1_two(uint8_t *choice_flags, uint32_t *out, uint8_t *next_flags, uint32_t *next,
                                  const uint8_t *seed, uint32_t nonce);

// c: 60 coefficients in {1, Q - 1}, the rest 0, from the 48-byte mu and w1 (K polynomials, values 0..15).
// No branch and no memory index depends on the drawn positions or signs.
void challenge(uint32_t *c, const uint8_t *mu, const uint32_t *w1);
// The same c for public mu and w1 (verification): branches and indexes on the positions and signs.
void challenge_vartime(uint32_t *c, const uint8_t *mu, const uint32_t *w1);
// The same c from hash, a Shake256Beside of mu || packed w1 (688 bytes, all written), which it
// finishes and squeezes.
void challenge_vartime_of(uint32_t *c, Shake256Beside &hash);

}  // namespace tavik
