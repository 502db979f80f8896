// The tables of kernels and the one place that picks the table of the path in use.
#include "kernels.h"

#include "Polynomial.h"
#include "io.h"
#include "kernels_scalar.h"

#if TAVIK_X86_KERNELS
#include "kernels_avx2.h"
#include "kernels_avx512.h"
#endif

namespace tavik {
namespace {

// Portable C++, for every processor.
constexpr Kernels SCALAR = {
    forward_ntt, inverse_ntt, poly_inner_product_scalar, poly_inner_product_minus_scalar,
    PolyVec_add_scalar, PolyVec_sub_scalar, PolyVec_freeze_scalar, PolyVec_split_pair_scalar, PolyVec_check_norm_scalar,
    PolyVec_Power2Round_scalar, PolyVec_decompose_scalar, PolyVec_highbits_scalar, PolyVec_make_hint_scalar,
    PolyVec_use_hint_scalar, Poly_candidate_check_scalar,
    challenge_shuffle_scalar,
    pack_planes_scalar, unpack_planes_scalar,
    rej_uniform, rej_eta, rej_gamma1m1,
    KeccakF1600_StatePermute_portable,
    KeccakF1600_StatePermute4x_portable, keccakx4_absorb_portable, keccakx4_squeezeblocks_portable,
    keccakx4_extract_portable,
    false,
};

#if TAVIK_X86_KERNELS
// 256-bit integer vectors (AVX2 with BMI2).
constexpr Kernels AVX2 = {
    forward_ntt_avx2, inverse_ntt_avx2, poly_inner_product_avx2, poly_inner_product_minus_avx2,
    PolyVec_add_avx2, PolyVec_sub_avx2, PolyVec_freeze_avx2, PolyVec_split_pair_avx2, PolyVec_check_norm_avx2,
    PolyVec_Power2Round_avx2, PolyVec_decompose_avx2, PolyVec_highbits_avx2, PolyVec_make_hint_avx2,
    PolyVec_use_hint_avx2, Poly_candidate_check_avx2,
    challenge_shuffle_avx2,
    pack_planes_avx2, unpack_planes_avx2,
    rej_uniform_avx2, rej_eta_avx2, rej_gamma1m1_avx2,
    KeccakF1600_StatePermute_bmi,
    KeccakF1600_StatePermute4x_avx2, keccakx4_absorb_avx2, keccakx4_squeezeblocks_avx2,
    keccakx4_extract_avx2,
    true,
};

// AVX-512 (F, VL, BW): its own kernels where they exist, the AVX2 ones elsewhere.
constexpr Kernels avx512_table() {
  Kernels k = AVX2;
  k.permute = KeccakF1600_StatePermute_avx512;
  k.permute4x = KeccakF1600_StatePermute4x_avx512;
  k.absorb4x = keccakx4_absorb_avx512;
  k.squeeze4x = keccakx4_squeezeblocks_avx512;
  k.extract4x = keccakx4_extract_avx512;
  return k;
}
constexpr Kernels AVX512 = avx512_table();
#endif

}  // namespace

const Kernels &kernels_of(Backend b) {
  switch (b) {
#if TAVIK_X86_KERNELS
    case Backend::avx2: return AVX2;
    case Backend::avx512: return AVX512;
#endif
    default: return SCALAR;
  }
}

const Kernels &kernels() {
  // During a path's self-test active_backend() names the path under test: not kept.
  if (backend_trial_running()) return kernels_of(active_backend());
  static const Kernels &table = kernels_of(active_backend());
  return table;
}

}  // namespace tavik
