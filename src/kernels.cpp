// The tables of kernels, one per path, and the table in use.
#include "kernels.h"

#include <atomic>

#include "scalar/kernels_scalar.h"

#if TAVIK_X86_KERNELS
#include "avx2/kernels_avx2.h"
#include "avx512/kernels_avx512.h"
#endif
#if TAVIK_NEON_KERNELS
#include "neon/kernels_neon.h"
#endif
#if TAVIK_SIMD128_KERNELS
#include "simd128/kernels_simd128.h"
#endif

namespace tavik {
namespace {

// Portable C++, for every processor.
constexpr Kernels SCALAR = {
    .forward_ntt = forward_ntt,
    .inverse_ntt = inverse_ntt,
    .inner_product = poly_inner_product_scalar,
    .inner_product_minus = poly_inner_product_minus_scalar,
    .add = polyvec_add_scalar,
    .sub = polyvec_sub_scalar,
    .freeze = polyvec_freeze_scalar,
    .split_pair = polyvec_split_pair_scalar,
    .check_norm = polyvec_check_norm_scalar,
    .power2round = polyvec_power2round_scalar,
    .decompose = polyvec_decompose_scalar,
    .highbits = polyvec_highbits_scalar,
    .make_hint = polyvec_make_hint_scalar,
    .use_hint = polyvec_use_hint_scalar,
    .candidate_check = poly_candidate_check_scalar,
    .challenge_shuffle = challenge_shuffle_scalar,
    .pack_planes = pack_planes_scalar,
    .unpack_planes = unpack_planes_scalar,
    .rej_uniform = rej_uniform,
    .rej_eta = rej_eta,
    .rej_gamma1m1 = rej_gamma1m1,
    .permute = keccak_permute_scalar,
    .permute4x = keccak_permute4x_scalar,
    .permute4x1 = keccak_permute4x1_scalar,
    .absorb4x = keccak_absorb4x_scalar,
    .squeeze4x = keccak_squeeze4x_scalar,
    .extract4x = keccak_extract4x_scalar,
    .permute8x = keccak_permute8x_scalar,
    .permute8x1 = keccak_permute8x1_scalar,
    .extract8x = keccak_extract8x_scalar,
    .four_streams = false,
    .side_hashes_in_lanes = false,
};

#if TAVIK_X86_KERNELS
// 256-bit integer vectors (AVX2 with BMI2).
constexpr Kernels AVX2 = {
    .forward_ntt = forward_ntt_avx2,
    .inverse_ntt = inverse_ntt_avx2,
    .inner_product = poly_inner_product_avx2,
    .inner_product_minus = poly_inner_product_minus_avx2,
    .add = polyvec_add_avx2,
    .sub = polyvec_sub_avx2,
    .freeze = polyvec_freeze_avx2,
    .split_pair = polyvec_split_pair_avx2,
    .check_norm = polyvec_check_norm_avx2,
    .power2round = polyvec_power2round_avx2,
    .decompose = polyvec_decompose_avx2,
    .highbits = polyvec_highbits_avx2,
    .make_hint = polyvec_make_hint_avx2,
    .use_hint = polyvec_use_hint_avx2,
    .candidate_check = poly_candidate_check_avx2,
    .challenge_shuffle = challenge_shuffle_avx2,
    .pack_planes = pack_planes_avx2,
    .unpack_planes = unpack_planes_avx2,
    .rej_uniform = rej_uniform_avx2,
    .rej_eta = rej_eta_avx2,
    .rej_gamma1m1 = rej_gamma1m1_avx2,
    .permute = keccak_permute_bmi,
    .permute4x = keccak_permute4x_avx2,
    .permute4x1 = keccak_permute4x1_avx2,
    .absorb4x = keccak_absorb4x_avx2,
    .squeeze4x = keccak_squeeze4x_avx2,
    .extract4x = keccak_extract4x_avx2,
    .permute8x = keccak_permute8x_avx2,
    .permute8x1 = keccak_permute8x1_avx2,
    .extract8x = keccak_extract8x_avx2,
    .four_streams = true,
    .side_hashes_in_lanes = false,
    .path = Backend::avx2,
};

// AVX-512 (F, VL, BW): its own Keccak kernels, with the AVX2 arithmetic or its own 512-bit one.
constexpr Kernels AVX512_256 = avx512_table(AVX2, 256);
constexpr Kernels AVX512_512 = avx512_table(AVX2, 512);
#endif

#if TAVIK_NEON_KERNELS
// 128-bit NEON vectors of aarch64; the Keccak kernels with NEON alone (sfx neon) or with the
// SHA-3 instructions (sfx sha3). The challenge's shuffle stays scalar.
#define TAVIK_NEON_TABLE(sfx)                                                                      \
  Kernels {                                                                                        \
    .forward_ntt = forward_ntt_neon, .inverse_ntt = inverse_ntt_neon,                              \
    .inner_product = poly_inner_product_neon, .inner_product_minus = poly_inner_product_minus_neon,\
    .add = polyvec_add_neon, .sub = polyvec_sub_neon, .freeze = polyvec_freeze_neon,               \
    .split_pair = polyvec_split_pair_neon, .check_norm = polyvec_check_norm_neon,                  \
    .power2round = polyvec_power2round_neon, .decompose = polyvec_decompose_neon,                  \
    .highbits = polyvec_highbits_neon, .make_hint = polyvec_make_hint_neon,                        \
    .use_hint = polyvec_use_hint_neon, .candidate_check = poly_candidate_check_neon,               \
    .challenge_shuffle = challenge_shuffle_scalar, .pack_planes = pack_planes_neon,                \
    .unpack_planes = unpack_planes_neon, .rej_uniform = rej_uniform_neon,                          \
    .rej_eta = rej_eta_neon, .rej_gamma1m1 = rej_gamma1m1_neon, .permute = keccak_permute_##sfx,   \
    .permute4x = keccak_permute4x_##sfx, .permute4x1 = keccak_permute4x1_##sfx,                    \
    .absorb4x = keccak_absorb4x_##sfx, .squeeze4x = keccak_squeeze4x_##sfx,                        \
    .extract4x = keccak_extract4x_##sfx, .permute8x = keccak_permute8x_##sfx,                      \
    .permute8x1 = keccak_permute8x1_##sfx, .extract8x = keccak_extract8x_##sfx,                    \
    .four_streams = true, .side_hashes_in_lanes = false, .path = Backend::neon,                    \
  }
constexpr Kernels NEON = TAVIK_NEON_TABLE(neon);
constexpr Kernels NEON_SHA3 = TAVIK_NEON_TABLE(sha3);
#undef TAVIK_NEON_TABLE
#endif

#if TAVIK_SIMD128_KERNELS
// WebAssembly SIMD: 128-bit vectors where they pay, the scalar kernels elsewhere.
constexpr Kernels SIMD128 = simd128_table(SCALAR);
#endif

// The width of the avx512 path's arithmetic, set once by the path's choice.
std::atomic<uint32_t> avx512_bits{256};

// The process's table, set once by the path's choice; a relaxed load suffices because the choice
// publishes it before any caller that waited for the choice proceeds (std::call_once).
std::atomic<const Kernels *> process_table{&SCALAR};

// A table handed to this thread, or null.
thread_local const Kernels *thread_table = nullptr;

}  // namespace

const Kernels &kernels_of(Backend b) {
  switch (b) {
#if TAVIK_X86_KERNELS
    case Backend::avx2: return AVX2;
    case Backend::avx512: return kernels_avx512(avx512_bits.load(std::memory_order_relaxed));
#endif
#if TAVIK_NEON_KERNELS
    case Backend::neon: return kernels_neon(cpu_has_sha3());
#endif
#if TAVIK_SIMD128_KERNELS
    case Backend::simd128: return SIMD128;
#endif
    default: return SCALAR;
  }
}

#if TAVIK_X86_KERNELS
const Kernels &kernels_avx512(uint32_t bits) { return bits == 512 ? AVX512_512 : AVX512_256; }
#else
const Kernels &kernels_avx512(uint32_t) { return SCALAR; }
#endif

#if TAVIK_NEON_KERNELS
const Kernels &kernels_neon(bool sha3) { return sha3 ? NEON_SHA3 : NEON; }
#else
const Kernels &kernels_neon(bool) { return SCALAR; }
#endif

void kernels_avx512_bits_use(uint32_t bits) {
  avx512_bits.store(bits == 512 ? 512 : 256, std::memory_order_relaxed);
}

const Kernels &kernels() {
  const Kernels *t = thread_table;
  return t != nullptr ? *t : *process_table.load(std::memory_order_relaxed);
}

void kernels_use(Backend b) { process_table.store(&kernels_of(b), std::memory_order_relaxed); }

KernelsInThread::KernelsInThread(const Kernels &k) : saved_(thread_table) { thread_table = &k; }

KernelsInThread::~KernelsInThread() { thread_table = saved_; }

}  // namespace tavik
