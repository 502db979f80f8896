// Keyed check values of the expanded keys: a sum of pairwise products of key words shifted by the
// words of a check key drawn once per process, in two halves, the second under the check key
// moved on by two words (one more pair). The vector forms compute the same sums in 64-bit lanes
// and add the lanes at the end.
#include "key_check.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "ct.h"
#include "fips202.h"
#include "randombytes.h"
#include "wipe.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tavik {

namespace {

constexpr size_t KEY_WORDS = KEY_CHECK_MAX_BYTES / 4;
static_assert(KEY_CHECK_MAX_BYTES % 64 == 16, "the vector forms end with one 16-byte tail");

// The process's check key, and whether it is drawn: half h reads it from word 2h on. Written once,
// under the lock, before `drawn` is set; only read after.
alignas(64) uint32_t check_key[KEY_WORDS + 16];
std::atomic<bool> drawn{false};
std::mutex draw_lock;

// The sums over the words [from, n) of p, added to s.
void sums_portable(KeyCheckValue &s, const uint8_t *p, size_t from, size_t n) {
  for (size_t i = from; i + 1 < n; i += 2) {
    uint32_t m0, m1;
    std::memcpy(&m0, p + 4 * i, 4);
    std::memcpy(&m1, p + 4 * i + 4, 4);
    for (size_t h = 0; h < 2; ++h)
      s.sum[h] += uint64_t(uint32_t(m0 + check_key[2 * h + i])) * uint32_t(m1 + check_key[2 * h + i + 1]);
  }
}

#if defined(__x86_64__)
// GCC 12's 512-bit intrinsics start their results from an undefined vector, which it then reports
// as uninitialised when they are compiled for a target attribute.
#pragma GCC diagnostic push
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// The 64-byte blocks with 512-bit vectors; returns the words done.
[[gnu::target("avx512f")]] size_t sums_avx512(KeyCheckValue &s, const uint8_t *p, size_t n) {
  __m512i acc0 = _mm512_setzero_si512(), acc1 = _mm512_setzero_si512();
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512i m = _mm512_loadu_si512(p + 4 * i);
    const __m512i a = _mm512_add_epi32(m, _mm512_load_si512(check_key + i));
    const __m512i b = _mm512_add_epi32(m, _mm512_loadu_si512(check_key + i + 2));
    acc0 = _mm512_add_epi64(acc0, _mm512_mul_epu32(a, _mm512_srli_epi64(a, 32)));
    acc1 = _mm512_add_epi64(acc1, _mm512_mul_epu32(b, _mm512_srli_epi64(b, 32)));
  }
  uint64_t l0[8], l1[8];
  _mm512_storeu_si512(l0, acc0);
  _mm512_storeu_si512(l1, acc1);
  for (int j = 0; j < 8; ++j) s.sum[0] += l0[j], s.sum[1] += l1[j];
  secure_wipe(l0, sizeof l0);
  secure_wipe(l1, sizeof l1);
  return i;
}
#pragma GCC diagnostic pop

// The 32-byte blocks with 256-bit vectors; returns the words done.
[[gnu::target("avx2")]] size_t sums_avx2(KeyCheckValue &s, const uint8_t *p, size_t n) {
  __m256i acc0 = _mm256_setzero_si256(), acc1 = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 4 * i));
    const __m256i a = _mm256_add_epi32(m, _mm256_load_si256(reinterpret_cast<const __m256i *>(check_key + i)));
    const __m256i b = _mm256_add_epi32(m, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(check_key + i + 2)));
    acc0 = _mm256_add_epi64(acc0, _mm256_mul_epu32(a, _mm256_srli_epi64(a, 32)));
    acc1 = _mm256_add_epi64(acc1, _mm256_mul_epu32(b, _mm256_srli_epi64(b, 32)));
  }
  uint64_t l0[4], l1[4];
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(l0), acc0);
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(l1), acc1);
  s.sum[0] += l0[0] + l0[1] + l0[2] + l0[3];
  s.sum[1] += l1[0] + l1[1] + l1[2] + l1[3];
  secure_wipe(l0, sizeof l0);
  secure_wipe(l1, sizeof l1);
  return i;
}
#endif

}  // namespace

bool key_check_ready() {
  if (drawn.load(std::memory_order_acquire)) return true;
  const std::lock_guard<std::mutex> hold(draw_lock);
  if (drawn.load(std::memory_order_relaxed)) return true;
  uint8_t seed[32];
  const bool got = randombytes(seed, sizeof seed);
  if (got) shake256(reinterpret_cast<uint8_t *>(check_key), sizeof check_key, seed, sizeof seed);
  secure_wipe(seed, sizeof seed);
  if (got) drawn.store(true, std::memory_order_release);
  return got;
}

void key_check_seam_forget() {
  const std::lock_guard<std::mutex> hold(draw_lock);
  drawn.store(false, std::memory_order_release);
  secure_wipe(check_key, sizeof check_key);
}

KeyCheckValue key_check_of_portable(const void *p, size_t len) {
  KeyCheckValue s = {{0, 0}};
  sums_portable(s, static_cast<const uint8_t *>(p), 0, len / 4);
  return s;
}

KeyCheckValue key_check_of(const void *p, size_t len, Backend path) {
  const auto *bytes = static_cast<const uint8_t *>(p);
  const size_t n = len / 4;
  KeyCheckValue s = {{0, 0}};
  size_t done = 0;
#if defined(__x86_64__)
  if (path == Backend::avx512) done = sums_avx512(s, bytes, n);
  else if (path == Backend::avx2) done = sums_avx2(s, bytes, n);
#else
  (void)path;
#endif
  sums_portable(s, bytes, done, n);
  return s;
}

bool key_check_matches(const void *p, size_t len, const KeyCheckValue &stored, Backend path) {
  // No key drawn: no value was made in this process, so none can be checked.
  if (!drawn.load(std::memory_order_acquire)) return false;
  KeyCheckValue now = key_check_of(p, len, path);
  // Public: a changed key is refused, which its holder learns anyway; the value stays secret.
  const bool same = ct::declassify(ct::differ(&now, &stored, sizeof now)) == 0;
  secure_wipe(&now, sizeof now);
  return same;
}

}  // namespace tavik
