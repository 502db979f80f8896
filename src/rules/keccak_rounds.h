// Keccak-f[1600] written once over an abstract lane type, so that one text serves every width:
// a 64-bit integer (one state, or one of several interleaved states), four states in a 256-bit
// register, eight in a 512-bit register. The operations type Ops supplies, for its lane type
// Ops::V:
//   static constexpr int W                             the distance between lanes i and i + 1
//   V load(const uint64_t *), store(uint64_t *, V)     one lane of every state (W consecutive words)
//   V bcast(uint64_t)                                  the same word in every state
//   V xor2(V, V)                                       exclusive or
//   V xor5(V, V, V, V, V)                              the column parity of theta
//   V chi(V a, V b, V c)                               a ^ (~b & c)
//   template <int n> V rol(V)                          rotate each 64-bit word left by n (1..63)
// and may declare COMPLEMENTED true (integer lanes only): see keccak_chi, or FUSED true with
//   template <int n> V rol_xor(V a, V b)               rol<n>(a ^ b)
//   V xor_rol1(V a, V b)                               a ^ rol<1>(b)
// where the instruction set has them as single instructions.
// The interleaved state holds lane i of state j at s[W * i + j]. Everything here has internal
// linkage: each file that includes it compiles the permutation for its own instruction set.
#pragma once
#include <cstdint>

#include "fips202.h"

namespace tavik {
namespace {

// Lane complementing, for processors without an and-not instruction: the lanes be, bi, go, ki,
// mi and sa are held inverted between rounds (inverted on entry and again on exit), so that the
// chi step of a plane needs one NOT instead of five: n = ~b[KECCAK_CHI_NOT[p]] of the plane's
// five inputs b[0..4]. The chi step at plane p, column k then takes the form
// KECCAK_CHI_FORM[p][k], which follows from which of its inputs arrive inverted and whether its
// output leaves inverted (n standing for the inverted input):
//   0: a ^ (b | c)   1: a ^ (b & c)   2: a ^ (n & c)   3: a ^ (n | c)   4: a ^ (b | n)
//   5: n ^ (b | c)   6: n ^ (b & c)
template <class O>
constexpr bool keccak_complemented = requires { requires O::COMPLEMENTED; };
inline constexpr int KECCAK_CHI_NOT[5] = {2, 4, 3, 3, 1};
inline constexpr int KECCAK_CHI_FORM[5][5] = {
    {0, 3, 1, 0, 1}, {0, 1, 4, 0, 1}, {0, 1, 2, 5, 1}, {1, 0, 3, 6, 0}, {2, 5, 1, 0, 1}};

// The inverted input n of plane p's chi step with lane complementing; unused otherwise.
template <class O, int p, class V>
[[gnu::always_inline]] inline V keccak_chi_not(V b0, V b1, V b2, V b3, V b4) {
  if constexpr (!keccak_complemented<O>) return b0;
  else if constexpr (KECCAK_CHI_NOT[p] == 1) return ~b1;
  else if constexpr (KECCAK_CHI_NOT[p] == 2) return ~b2;
  else if constexpr (KECCAK_CHI_NOT[p] == 3) return ~b3;
  else return ~b4;
}

template <class O>
constexpr bool keccak_fused = requires { requires O::FUSED; };

// rol<n>(a ^ b) and a ^ rol<1>(b), fused where the operations offer them.
template <class O, int n, class V>
[[gnu::always_inline]] inline V keccak_rol_xor(V a, V b) {
  if constexpr (keccak_fused<O>) return O::template rol_xor<n>(a, b);
  else return O::template rol<n>(O::xor2(a, b));
}
template <class O, class V>
[[gnu::always_inline]] inline V keccak_xor_rol1(V a, V b) {
  if constexpr (keccak_fused<O>) return O::xor_rol1(a, b);
  else return O::xor2(a, O::template rol<1>(b));
}

// The chi step of lane (p, k): a ^ (~b & c) on plain lanes, its form above on complemented ones.
template <class O, int p, int k, class V>
[[gnu::always_inline]] inline V keccak_chi(V a, V b, V c, [[maybe_unused]] V n) {
  if constexpr (!keccak_complemented<O>) {
    return O::chi(a, b, c);
  } else {
    constexpr int f = KECCAK_CHI_FORM[p][k];
    if constexpr (f == 0) return a ^ (b | c);
    else if constexpr (f == 1) return a ^ (b & c);
    else if constexpr (f == 2) return a ^ (n & c);
    else if constexpr (f == 3) return a ^ (n | c);
    else if constexpr (f == 4) return a ^ (b | n);
    else if constexpr (f == 5) return n ^ (b | c);
    else return n ^ (b & c);
  }
}

// One round from the 25 lanes X** to the 25 lanes Y** (named by plane b, g, k, m, s and column
// a, e, i, o, u), with operations O, lane type V and round constant rc. Each plane of Y gathers
// five lanes of X along the pi step, rotated by their rho offsets. Named variables rather than
// arrays keep more lanes in registers (the compilers spill arrays of vectors more).
#define TAVIK_KECCAK_ROUND(O, V, X, Y, rc)                                                         \
  do {                                                                                             \
    const V ca = O::xor5(X##ba, X##ga, X##ka, X##ma, X##sa);                                       \
    const V ce = O::xor5(X##be, X##ge, X##ke, X##me, X##se);                                       \
    const V ci = O::xor5(X##bi, X##gi, X##ki, X##mi, X##si);                                       \
    const V co = O::xor5(X##bo, X##go, X##ko, X##mo, X##so);                                       \
    const V cu = O::xor5(X##bu, X##gu, X##ku, X##mu, X##su);                                       \
    const V da = keccak_xor_rol1<O>(cu, ce);                                                       \
    const V de = keccak_xor_rol1<O>(ca, ci);                                                       \
    const V di = keccak_xor_rol1<O>(ce, co);                                                       \
    const V d_o = keccak_xor_rol1<O>(ci, cu);                                                      \
    const V du = keccak_xor_rol1<O>(co, ca);                                                       \
    V b0, b1, b2, b3, b4, n;                                                                       \
                                                                                                   \
    b0 = O::xor2(X##ba, da);                                                                       \
    b1 = keccak_rol_xor<O, 44>(X##ge, de);                                                         \
    b2 = keccak_rol_xor<O, 43>(X##ki, di);                                                         \
    b3 = keccak_rol_xor<O, 21>(X##mo, d_o);                                                        \
    b4 = keccak_rol_xor<O, 14>(X##su, du);                                                         \
    n = keccak_chi_not<O, 0>(b0, b1, b2, b3, b4);                                                  \
    Y##ba = O::xor2(keccak_chi<O, 0, 0>(b0, b1, b2, n), O::bcast(rc));                             \
    Y##be = keccak_chi<O, 0, 1>(b1, b2, b3, n);                                                    \
    Y##bi = keccak_chi<O, 0, 2>(b2, b3, b4, n);                                                    \
    Y##bo = keccak_chi<O, 0, 3>(b3, b4, b0, n);                                                    \
    Y##bu = keccak_chi<O, 0, 4>(b4, b0, b1, n);                                                    \
                                                                                                   \
    b0 = keccak_rol_xor<O, 28>(X##bo, d_o);                                                        \
    b1 = keccak_rol_xor<O, 20>(X##gu, du);                                                         \
    b2 = keccak_rol_xor<O, 3>(X##ka, da);                                                          \
    b3 = keccak_rol_xor<O, 45>(X##me, de);                                                         \
    b4 = keccak_rol_xor<O, 61>(X##si, di);                                                         \
    n = keccak_chi_not<O, 1>(b0, b1, b2, b3, b4);                                                  \
    Y##ga = keccak_chi<O, 1, 0>(b0, b1, b2, n);                                                    \
    Y##ge = keccak_chi<O, 1, 1>(b1, b2, b3, n);                                                    \
    Y##gi = keccak_chi<O, 1, 2>(b2, b3, b4, n);                                                    \
    Y##go = keccak_chi<O, 1, 3>(b3, b4, b0, n);                                                    \
    Y##gu = keccak_chi<O, 1, 4>(b4, b0, b1, n);                                                    \
                                                                                                   \
    b0 = keccak_rol_xor<O, 1>(X##be, de);                                                          \
    b1 = keccak_rol_xor<O, 6>(X##gi, di);                                                          \
    b2 = keccak_rol_xor<O, 25>(X##ko, d_o);                                                        \
    b3 = keccak_rol_xor<O, 8>(X##mu, du);                                                          \
    b4 = keccak_rol_xor<O, 18>(X##sa, da);                                                         \
    n = keccak_chi_not<O, 2>(b0, b1, b2, b3, b4);                                                  \
    Y##ka = keccak_chi<O, 2, 0>(b0, b1, b2, n);                                                    \
    Y##ke = keccak_chi<O, 2, 1>(b1, b2, b3, n);                                                    \
    Y##ki = keccak_chi<O, 2, 2>(b2, b3, b4, n);                                                    \
    Y##ko = keccak_chi<O, 2, 3>(b3, b4, b0, n);                                                    \
    Y##ku = keccak_chi<O, 2, 4>(b4, b0, b1, n);                                                    \
                                                                                                   \
    b0 = keccak_rol_xor<O, 27>(X##bu, du);                                                         \
    b1 = keccak_rol_xor<O, 36>(X##ga, da);                                                         \
    b2 = keccak_rol_xor<O, 10>(X##ke, de);                                                         \
    b3 = keccak_rol_xor<O, 15>(X##mi, di);                                                         \
    b4 = keccak_rol_xor<O, 56>(X##so, d_o);                                                        \
    n = keccak_chi_not<O, 3>(b0, b1, b2, b3, b4);                                                  \
    Y##ma = keccak_chi<O, 3, 0>(b0, b1, b2, n);                                                    \
    Y##me = keccak_chi<O, 3, 1>(b1, b2, b3, n);                                                    \
    Y##mi = keccak_chi<O, 3, 2>(b2, b3, b4, n);                                                    \
    Y##mo = keccak_chi<O, 3, 3>(b3, b4, b0, n);                                                    \
    Y##mu = keccak_chi<O, 3, 4>(b4, b0, b1, n);                                                    \
                                                                                                   \
    b0 = keccak_rol_xor<O, 62>(X##bi, di);                                                         \
    b1 = keccak_rol_xor<O, 55>(X##go, d_o);                                                        \
    b2 = keccak_rol_xor<O, 39>(X##ku, du);                                                         \
    b3 = keccak_rol_xor<O, 41>(X##ma, da);                                                         \
    b4 = keccak_rol_xor<O, 2>(X##se, de);                                                          \
    n = keccak_chi_not<O, 4>(b0, b1, b2, b3, b4);                                                  \
    Y##sa = keccak_chi<O, 4, 0>(b0, b1, b2, n);                                                    \
    Y##se = keccak_chi<O, 4, 1>(b1, b2, b3, n);                                                    \
    Y##si = keccak_chi<O, 4, 2>(b2, b3, b4, n);                                                    \
    Y##so = keccak_chi<O, 4, 3>(b3, b4, b0, n);                                                    \
    Y##su = keccak_chi<O, 4, 4>(b4, b0, b1, n);                                                    \
  } while (0)

// The 25 lanes X** of the states at s, loaded with Ops (lane i at s + Ops::W * i), held inverted
// where lane complementing wants them; and stored back, inverted again.
#define TAVIK_KECCAK_LOAD(Ops, V, X, s)                                                          \
  V X##ba = Ops::load(s + Ops::W * 0), X##be = Ops::load(s + Ops::W * 1),                        \
    X##bi = Ops::load(s + Ops::W * 2), X##bo = Ops::load(s + Ops::W * 3),                        \
    X##bu = Ops::load(s + Ops::W * 4), X##ga = Ops::load(s + Ops::W * 5),                        \
    X##ge = Ops::load(s + Ops::W * 6), X##gi = Ops::load(s + Ops::W * 7),                        \
    X##go = Ops::load(s + Ops::W * 8), X##gu = Ops::load(s + Ops::W * 9),                        \
    X##ka = Ops::load(s + Ops::W * 10), X##ke = Ops::load(s + Ops::W * 11),                      \
    X##ki = Ops::load(s + Ops::W * 12), X##ko = Ops::load(s + Ops::W * 13),                      \
    X##ku = Ops::load(s + Ops::W * 14), X##ma = Ops::load(s + Ops::W * 15),                      \
    X##me = Ops::load(s + Ops::W * 16), X##mi = Ops::load(s + Ops::W * 17),                      \
    X##mo = Ops::load(s + Ops::W * 18), X##mu = Ops::load(s + Ops::W * 19),                      \
    X##sa = Ops::load(s + Ops::W * 20), X##se = Ops::load(s + Ops::W * 21),                      \
    X##si = Ops::load(s + Ops::W * 22), X##so = Ops::load(s + Ops::W * 23),                      \
    X##su = Ops::load(s + Ops::W * 24);                                                          \
  if constexpr (keccak_complemented<Ops>) {                                                      \
    X##be = ~X##be, X##bi = ~X##bi, X##go = ~X##go, X##ki = ~X##ki, X##mi = ~X##mi, X##sa = ~X##sa; \
  }                                                                                              \
  V X##_##ba, X##_##be, X##_##bi, X##_##bo, X##_##bu, X##_##ga, X##_##ge, X##_##gi, X##_##go,      \
      X##_##gu, X##_##ka, X##_##ke, X##_##ki, X##_##ko, X##_##ku, X##_##ma, X##_##me, X##_##mi,  \
      X##_##mo, X##_##mu, X##_##sa, X##_##se, X##_##si, X##_##so, X##_##su

#define TAVIK_KECCAK_STORE(Ops, X, s)                                                            \
  do {                                                                                           \
    if constexpr (keccak_complemented<Ops>) {                                                    \
      X##be = ~X##be, X##bi = ~X##bi, X##go = ~X##go, X##ki = ~X##ki, X##mi = ~X##mi, X##sa = ~X##sa; \
    }                                                                                            \
    Ops::store(s + Ops::W * 0, X##ba), Ops::store(s + Ops::W * 1, X##be);                        \
    Ops::store(s + Ops::W * 2, X##bi), Ops::store(s + Ops::W * 3, X##bo);                        \
    Ops::store(s + Ops::W * 4, X##bu), Ops::store(s + Ops::W * 5, X##ga);                        \
    Ops::store(s + Ops::W * 6, X##ge), Ops::store(s + Ops::W * 7, X##gi);                        \
    Ops::store(s + Ops::W * 8, X##go), Ops::store(s + Ops::W * 9, X##gu);                        \
    Ops::store(s + Ops::W * 10, X##ka), Ops::store(s + Ops::W * 11, X##ke);                      \
    Ops::store(s + Ops::W * 12, X##ki), Ops::store(s + Ops::W * 13, X##ko);                      \
    Ops::store(s + Ops::W * 14, X##ku), Ops::store(s + Ops::W * 15, X##ma);                      \
    Ops::store(s + Ops::W * 16, X##me), Ops::store(s + Ops::W * 17, X##mi);                      \
    Ops::store(s + Ops::W * 18, X##mo), Ops::store(s + Ops::W * 19, X##mu);                      \
    Ops::store(s + Ops::W * 20, X##sa), Ops::store(s + Ops::W * 21, X##se);                      \
    Ops::store(s + Ops::W * 22, X##si), Ops::store(s + Ops::W * 23, X##so);                      \
    Ops::store(s + Ops::W * 24, X##su);                                                          \
  } while (0)

// Two rounds, X -> X_ -> X (X_ names the lanes of the round between).
#define TAVIK_KECCAK_TWO_ROUNDS(Ops, V, X, round)                                                \
  do {                                                                                           \
    TAVIK_KECCAK_ROUND(Ops, V, X, X##_, KeccakF_RoundConstants[round]);                          \
    TAVIK_KECCAK_ROUND(Ops, V, X##_, X, KeccakF_RoundConstants[(round) + 1]);                    \
  } while (0)

// Keccak-f[1600] on the states whose lanes Ops loads from s (lane i at s + W * i), two rounds
// per pass.
template <class Ops>
[[gnu::always_inline]] inline void keccak_permute_lanes(uint64_t *s) {
  using V = typename Ops::V;
  TAVIK_KECCAK_LOAD(Ops, V, A, s);
  for (int round = 0; round < 24; round += 2) TAVIK_KECCAK_TWO_ROUNDS(Ops, V, A, round);
  TAVIK_KECCAK_STORE(Ops, A, s);
}

// keccak_permute_lanes<Ops>(s) and keccak_permute_lanes<Beside>(t) as one loop, their rounds
// interleaved one by one: where the two lane types run on different units (vector registers and
// general ones), the processor overlaps them. s and t must not overlap.
template <class Ops, class Beside>
[[gnu::always_inline]] inline void keccak_permute_lanes_beside(uint64_t *s, uint64_t *t) {
  using V = typename Ops::V;
  using U = typename Beside::V;
  TAVIK_KECCAK_LOAD(Ops, V, A, s);
  TAVIK_KECCAK_LOAD(Beside, U, B, t);
  for (int round = 0; round < 24; round += 2) {
    TAVIK_KECCAK_ROUND(Ops, V, A, A_, KeccakF_RoundConstants[round]);
    TAVIK_KECCAK_ROUND(Beside, U, B, B_, KeccakF_RoundConstants[round]);
    TAVIK_KECCAK_ROUND(Ops, V, A_, A, KeccakF_RoundConstants[round + 1]);
    TAVIK_KECCAK_ROUND(Beside, U, B_, B, KeccakF_RoundConstants[round + 1]);
  }
  TAVIK_KECCAK_STORE(Ops, A, s);
  TAVIK_KECCAK_STORE(Beside, B, t);
}

// X = Y, lane by lane.
#define TAVIK_KECCAK_COPY(X, Y)                                                                    \
  do {                                                                                             \
    X##ba = Y##ba, X##be = Y##be, X##bi = Y##bi, X##bo = Y##bo, X##bu = Y##bu;                     \
    X##ga = Y##ga, X##ge = Y##ge, X##gi = Y##gi, X##go = Y##go, X##gu = Y##gu;                     \
    X##ka = Y##ka, X##ke = Y##ke, X##ki = Y##ki, X##ko = Y##ko, X##ku = Y##ku;                     \
    X##ma = Y##ma, X##me = Y##me, X##mi = Y##mi, X##mo = Y##mo, X##mu = Y##mu;                     \
    X##sa = Y##sa, X##se = Y##se, X##si = Y##si, X##so = Y##so, X##su = Y##su;                     \
  } while (0)

// keccak_permute_lanes and keccak_permute_lanes_beside with one round per pass, its result
// copied back to the lanes the next pass reads. For WebAssembly: V8 keeps fewer lanes in
// registers than a native compiler and spills the two-round loop's fifty lanes more; the copies
// cost it less than the spills (see js/wasm/wasm.cmake for the measurements).
template <class Ops>
[[gnu::always_inline]] inline void keccak_permute_lanes_by_round(uint64_t *s) {
  using V = typename Ops::V;
  TAVIK_KECCAK_LOAD(Ops, V, A, s);
  for (int round = 0; round < 24; ++round) {
    TAVIK_KECCAK_ROUND(Ops, V, A, A_, KeccakF_RoundConstants[round]);
    TAVIK_KECCAK_COPY(A, A_);
  }
  TAVIK_KECCAK_STORE(Ops, A, s);
}

template <class Ops, class Beside>
[[gnu::always_inline]] inline void keccak_permute_lanes_beside_by_round(uint64_t *s, uint64_t *t) {
  using V = typename Ops::V;
  using U = typename Beside::V;
  TAVIK_KECCAK_LOAD(Ops, V, A, s);
  TAVIK_KECCAK_LOAD(Beside, U, B, t);
  for (int round = 0; round < 24; ++round) {
    TAVIK_KECCAK_ROUND(Ops, V, A, A_, KeccakF_RoundConstants[round]);
    TAVIK_KECCAK_ROUND(Beside, U, B, B_, KeccakF_RoundConstants[round]);
    TAVIK_KECCAK_COPY(A, A_);
    TAVIK_KECCAK_COPY(B, B_);
  }
  TAVIK_KECCAK_STORE(Ops, A, s);
  TAVIK_KECCAK_STORE(Beside, B, t);
}

// The operations on one state in 64-bit integers, its lanes Stride words apart (one of several
// interleaved states when Stride > 1). With BMI1 the chi step is one andn; without it, lane
// complementing (Complemented) saves four NOTs per plane.
template <int Stride = 1, bool Complemented = false>
struct ScalarLaneOps {
  using V = uint64_t;
  static constexpr int W = Stride;
  static constexpr bool COMPLEMENTED = Complemented;
  static V load(const uint64_t *p) { return *p; }
  static void store(uint64_t *p, V v) { *p = v; }
  static V bcast(uint64_t x) { return x; }
  static V xor2(V a, V b) { return a ^ b; }
  static V xor5(V a, V b, V c, V d, V e) { return a ^ b ^ c ^ d ^ e; }
  static V chi(V a, V b, V c) { return a ^ (~b & c); }
  template <int n>
  static V rol(V a) {
    static_assert(n > 0 && n < 64);
    return (a << n) | (a >> (64 - n));
  }
};

}  // namespace
}  // namespace tavik
