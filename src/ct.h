// Constant-time building blocks: masks, selections and comparisons whose running time and memory
// accesses do not depend on the values they handle, and the two annotations that mark bytes as
// secret or as public.
//
// A mask is 0 or all ones. Every mask passes through barrier(), which hides its value from the
// optimiser so that mask arithmetic is not turned back into a branch.
//
// TAVIK_SECRET(p, n) and TAVIK_DECLASSIFY(p, n) do nothing in normal builds. Built with
// TAVIK_CT_VALGRIND, they make the bytes undefined, or defined again, for valgrind's memcheck: any
// branch, memory index or system-call argument computed from secret bytes is then reported, and
// each TAVIK_DECLASSIFY marks one place where the scheme makes a value public on purpose.
// Built with TAVIK_CT_MSAN (clang's MemorySanitizer, whole library instrumented), they poison and
// unpoison the bytes instead: MemorySanitizer then reports a branch on secret bytes, a load or
// store at an address computed from them (with -msan-check-access-address) and a division by
// them, in code compiled for the processor's own vector instructions, which valgrind may not run.
// TAVIK_EXPECT_PUBLIC(p, n) reports, under either tool, any of the n bytes still secret; checks
// use it on outputs that must come out public (a public key, a signature).
#pragma once
#include <cstddef>
#include <cstdint>

#if defined(TAVIK_CT_VALGRIND) && TAVIK_CT_VALGRIND
#include <valgrind/memcheck.h>
#define TAVIK_SECRET(p, n) ((void)VALGRIND_MAKE_MEM_UNDEFINED((p), (n)))
#define TAVIK_DECLASSIFY(p, n) ((void)VALGRIND_MAKE_MEM_DEFINED((p), (n)))
#define TAVIK_EXPECT_PUBLIC(p, n) ((void)VALGRIND_CHECK_MEM_IS_DEFINED((p), (n)))
#elif defined(TAVIK_CT_MSAN) && TAVIK_CT_MSAN
#include <sanitizer/msan_interface.h>
#define TAVIK_SECRET(p, n) __msan_poison((p), (n))
#define TAVIK_DECLASSIFY(p, n) __msan_unpoison((p), (n))
#define TAVIK_EXPECT_PUBLIC(p, n) __msan_check_mem_is_initialized((p), (n))
#else
#define TAVIK_SECRET(p, n) ((void)(p), (void)(n))
#define TAVIK_DECLASSIFY(p, n) ((void)(p), (void)(n))
#define TAVIK_EXPECT_PUBLIC(p, n) ((void)(p), (void)(n))
#endif

namespace tavik::ct {

#if defined(TAVIK_CT_MSAN) && TAVIK_CT_MSAN
// MemorySanitizer checks every operand of an asm statement as if the asm branched on it. The
// barrier only hides a value from the optimiser, so its secrecy is carried around the asm.
template <typename T>
inline T barrier_keeping_secrecy(T x) {
  T secrecy = x;
  __msan_unpoison(&x, sizeof x);
  __asm__("" : "+r"(x));
  __msan_copy_shadow(&x, &secrecy, sizeof x);
  return x;
}
inline uint32_t barrier(uint32_t x) { return barrier_keeping_secrecy(x); }
inline uint64_t barrier(uint64_t x) { return barrier_keeping_secrecy(x); }
#else
// x, unchanged, but opaque to the optimiser.
inline uint32_t barrier(uint32_t x) {
  __asm__("" : "+r"(x));
  return x;
}
inline uint64_t barrier(uint64_t x) {
  __asm__("" : "+r"(x));
  return x;
}
#endif

// All ones when bit 0 of b is set, else 0.
inline uint32_t mask_bit(uint32_t b) { return barrier(0u - (b & 1u)); }
// All ones when x != 0, else 0.
inline uint32_t mask_nonzero(uint32_t x) { return barrier(0u - ((x | (0u - x)) >> 31)); }
// All ones when x == 0, else 0.
inline uint32_t mask_zero(uint32_t x) { return ~mask_nonzero(x); }
// All ones when a == b, else 0.
inline uint32_t mask_eq(uint32_t a, uint32_t b) { return mask_zero(a ^ b); }
// All ones when a < b (unsigned), else 0.
inline uint32_t mask_lt(uint32_t a, uint32_t b) {
  return barrier(uint32_t(0u - ((uint64_t(a) - uint64_t(b)) >> 63)));
}
// 64-bit mask from a 32-bit one.
inline uint64_t widen(uint32_t m) { return barrier(uint64_t(int64_t(int32_t(m)))); }

// m ? a : b for a mask m.
inline uint32_t select(uint32_t m, uint32_t a, uint32_t b) { return b ^ (m & (a ^ b)); }
inline uint64_t select(uint64_t m, uint64_t a, uint64_t b) { return b ^ (m & (a ^ b)); }

// |x| for any 32-bit signed x, as an unsigned value (|INT32_MIN| = 2^31).
inline uint32_t abs(int32_t x) {
  const uint32_t s = barrier(uint32_t(x >> 31));
  return (uint32_t(x) ^ s) - s;
}

// dst[i] = m ? src[i] : dst[i] for i < n.
inline void cmov(uint32_t *dst, const uint32_t *src, size_t n, uint32_t m) {
  for (size_t i = 0; i < n; ++i) dst[i] ^= m & (dst[i] ^ src[i]);
}
inline void cmov(uint8_t *dst, const uint8_t *src, size_t n, uint32_t m) {
  const uint8_t m8 = uint8_t(m);
  for (size_t i = 0; i < n; ++i) dst[i] ^= m8 & (dst[i] ^ src[i]);
}

// Exchanges a[i] and b[i] for i < n when m is all ones; leaves both alone when m is 0.
inline void cswap(uint32_t *a, uint32_t *b, size_t n, uint32_t m) {
  for (size_t i = 0; i < n; ++i) {
    const uint32_t t = m & (a[i] ^ b[i]);
    a[i] ^= t;
    b[i] ^= t;
  }
}

// All ones when the n bytes at a and b differ anywhere, else 0; reads every byte.
inline uint32_t differ(const void *a, const void *b, size_t n) {
  const uint8_t *x = static_cast<const uint8_t *>(a);
  const uint8_t *y = static_cast<const uint8_t *>(b);
  uint32_t acc = 0;
  for (size_t i = 0; i < n; ++i) acc |= uint32_t(x[i] ^ y[i]);
  return mask_nonzero(acc);
}

// v, made public: the caller states, next to the call, why the scheme may reveal it.
template <typename T>
inline T declassify(T v) {
  TAVIK_DECLASSIFY(&v, sizeof v);
  return v;
}

}  // namespace tavik::ct
