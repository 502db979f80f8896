// Keyed check values of the expanded keys and of stored secret keys found intact: a pairwise
// product hash of the key's 64-bit words, each shifted by a word of a check key drawn once per
// process. Two forms: where the path's processor multiplies without carries (the x86 vector paths),
// the products are carry-less and summed by XOR; elsewhere they are integer products summed modulo
// 2^128. The vector forms run the carry-less one on 128-, 256- or 512-bit vectors.
#include "key_check.h"

#include <atomic>
#include <cstring>

#include "byteorder.h"
#include "ct.h"
#include "fips202.h"
#include "lock.h"
#include "randombytes.h"
#include "wipe.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tavik {

namespace {

static_assert(KEY_CHECK_MAX_BYTES % 16 == 0, "whole pairs of words");

// The process's check key (little-endian words), and whether it is drawn. Written once, under the
// lock, before `drawn` is set; only read after.
alignas(64) uint8_t check_key[KEY_CHECK_MAX_BYTES];
std::atomic<bool> drawn{false};
Lock draw_lock;

__extension__ typedef unsigned __int128 u128;

// Integer form over the pairs of p: two sums, for two products at once.
u128 integer_sums(const uint8_t *p, size_t pairs) {
  u128 a = 0, b = 0;
  size_t i = 0;
  for (; i + 2 <= pairs; i += 2) {
    const uint8_t *m = p + 16 * i, *k = check_key + 16 * i;
    a += u128(load_le<8>(m) + load_le<8>(k)) * (load_le<8>(m + 8) + load_le<8>(k + 8));
    b += u128(load_le<8>(m + 16) + load_le<8>(k + 16)) * (load_le<8>(m + 24) + load_le<8>(k + 24));
  }
  if (i < pairs) {
    const uint8_t *m = p + 16 * i, *k = check_key + 16 * i;
    a += u128(load_le<8>(m) + load_le<8>(k)) * (load_le<8>(m + 8) + load_le<8>(k + 8));
  }
  return a + b;
}

// The carry-less product of x and y: 127 bits, as (low, high) words.
void clmul_portable(uint64_t x, uint64_t y, uint64_t &lo, uint64_t &hi) {
  lo = hi = 0;
  for (uint32_t i = 0; i < 64; ++i) {
    const uint64_t take = 0 - ((y >> i) & 1);  // all ones where bit i of y is set
    lo ^= (x << i) & take;
    hi ^= (i == 0 ? 0 : x >> (64 - i)) & take;
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
// The carry-less forms on 128-, 256- and 512-bit vectors: pair i of p, its words shifted by the
// check key's, multiplied without carries into acc.
[[gnu::target("sse4.1,pclmul")]] inline __m128i clmul_pair(__m128i acc, const uint8_t *p, size_t i) {
  const __m128i x = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * i)),
                                  _mm_load_si128(reinterpret_cast<const __m128i *>(check_key + 16 * i)));
  return _mm_xor_si128(acc, _mm_clmulepi64_si128(x, x, 0x10));
}
[[gnu::target("sse4.1")]] inline KeyCheckValue value_of(__m128i v) {
  return {{uint64_t(_mm_cvtsi128_si64(v)), uint64_t(_mm_extract_epi64(v, 1))}};
}

// Four pairs a step, in four sums.
[[gnu::target("sse4.1,pclmul")]] KeyCheckValue carryless_128(const uint8_t *p, size_t pairs) {
  __m128i acc[4] = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
  size_t i = 0;
  for (; i + 4 <= pairs; i += 4)
    for (size_t j = 0; j < 4; ++j) acc[j] = clmul_pair(acc[j], p, i + j);
  for (; i < pairs; ++i) acc[0] = clmul_pair(acc[0], p, i);
  return value_of(_mm_xor_si128(_mm_xor_si128(acc[0], acc[1]), _mm_xor_si128(acc[2], acc[3])));
}

// Sixteen pairs (eight 256-bit vectors) a step, in eight sums.
[[gnu::target("avx2,pclmul,vpclmulqdq")]] KeyCheckValue carryless_256(const uint8_t *p, size_t pairs) {
  __m256i acc[8];
  for (__m256i &a : acc) a = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 16 <= pairs; i += 16)
    for (size_t v = 0; v < 8; ++v) {
      const size_t at = 16 * i + 32 * v;
      const __m256i x = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + at)),
                                         _mm256_load_si256(reinterpret_cast<const __m256i *>(check_key + at)));
      acc[v] = _mm256_xor_si256(acc[v], _mm256_clmulepi64_epi128(x, x, 0x10));
    }
  for (size_t v = 1; v < 8; ++v) acc[0] = _mm256_xor_si256(acc[0], acc[v]);
  __m128i cl = _mm_xor_si128(_mm256_castsi256_si128(acc[0]), _mm256_extracti128_si256(acc[0], 1));
  for (; i < pairs; ++i) cl = clmul_pair(cl, p, i);
  return value_of(cl);
}

// Thirty-two pairs (eight 512-bit vectors) a step, in eight sums.
[[gnu::target("avx512f,avx2,pclmul,vpclmulqdq")]] KeyCheckValue carryless_512(const uint8_t *p, size_t pairs) {
  __m512i acc[8];
  for (__m512i &a : acc) a = _mm512_setzero_si512();
  size_t i = 0;
  for (; i + 32 <= pairs; i += 32)
    for (size_t v = 0; v < 8; ++v) {
      const size_t at = 16 * i + 64 * v;
      const __m512i x = _mm512_xor_si512(_mm512_loadu_si512(p + at), _mm512_load_si512(check_key + at));
      acc[v] = _mm512_xor_si512(acc[v], _mm512_clmulepi64_epi128(x, x, 0x10));
    }
  for (size_t v = 1; v < 8; ++v) acc[0] = _mm512_xor_si512(acc[0], acc[v]);
  const __m256i half = _mm256_xor_si256(_mm512_castsi512_si256(acc[0]), _mm512_extracti64x4_epi64(acc[0], 1));
  __m128i cl = _mm_xor_si128(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
  for (; i < pairs; ++i) cl = clmul_pair(cl, p, i);
  return value_of(cl);
}
#pragma GCC diagnostic pop
#endif

// Draws the check key unless it is drawn; wait: from the random source as it waits for bytes,
// else only from bytes there at once.
bool draw_check_key(bool wait) {
  if (drawn.load(std::memory_order_acquire)) return true;
  const LockHold hold(draw_lock);
  if (drawn.load(std::memory_order_relaxed)) return true;
  uint8_t seed[32];
  const bool got = wait ? randombytes(seed, sizeof seed) : randombytes_now(seed, sizeof seed);
  if (got) shake256(reinterpret_cast<uint8_t *>(check_key), sizeof check_key, seed, sizeof seed);
  secure_wipe(seed, sizeof seed);
  if (got) drawn.store(true, std::memory_order_release);
  return got;
}

// The remembered values of intact stored keys: the first `used` of `value`, `next` the place the
// next one takes. Guarded by remembered_lock.
struct Remembered {
  KeyCheckValue value[STORED_KEYS_REMEMBERED];
  size_t used = 0, next = 0;
};
Remembered remembered;
Lock remembered_lock;

}  // namespace

bool key_check_ready() { return draw_check_key(true); }

StoredKeyLookup stored_key_seen(const uint8_t *key, size_t len, KeyCheckValue &value, Backend path) {
  if (!draw_check_key(false)) return StoredKeyLookup::no_key;
  value = key_check_of(key, len, path);
  uint32_t same = 0;
  {
    const LockHold hold(remembered_lock);
    // Every remembered value is compared, whichever matches.
    for (size_t i = 0; i < remembered.used; ++i)
      same |= ct::mask_zero(ct::differ(&value, &remembered.value[i], sizeof value));
  }
  // Public: whether the key was found intact before in this process; the values stay secret.
  return ct::declassify(same) != 0 ? StoredKeyLookup::known : StoredKeyLookup::unknown;
}

void stored_key_remember(const KeyCheckValue &value) {
  const LockHold hold(remembered_lock);
  remembered.value[remembered.next] = value;
  remembered.next = (remembered.next + 1) % STORED_KEYS_REMEMBERED;
  if (remembered.used < STORED_KEYS_REMEMBERED) ++remembered.used;
}

void key_check_seam_forget() {
  {
    const LockHold hold(remembered_lock);
    secure_wipe(&remembered, sizeof remembered);
    remembered.used = remembered.next = 0;
  }
  const LockHold hold(draw_lock);
  drawn.store(false, std::memory_order_release);
  secure_wipe(check_key, sizeof check_key);
}

bool key_check_carryless(Backend path) {
#if defined(__x86_64__)
  return (path == Backend::avx2 || path == Backend::avx512) && cpu_has_pclmul();
#else
  (void)path;
  return false;
#endif
}

KeyCheckValue key_check_of_reference(const void *p, size_t len, Backend path) {
  const auto *bytes = static_cast<const uint8_t *>(p);
  if (!key_check_carryless(path)) {
    u128 sum = 0;
    for (size_t i = 0; i < len / 16; ++i)
      sum += u128(load_le<8>(bytes + 16 * i) + load_le<8>(check_key + 16 * i)) *
             (load_le<8>(bytes + 16 * i + 8) + load_le<8>(check_key + 16 * i + 8));
    return {{uint64_t(sum), uint64_t(sum >> 64)}};
  }
  KeyCheckValue v = {{0, 0}};
  for (size_t i = 0; i < len / 16; ++i) {
    uint64_t lo, hi;
    clmul_portable(load_le<8>(bytes + 16 * i) ^ load_le<8>(check_key + 16 * i),
                   load_le<8>(bytes + 16 * i + 8) ^ load_le<8>(check_key + 16 * i + 8), lo, hi);
    v.sum[0] ^= lo;
    v.sum[1] ^= hi;
  }
  return v;
}

KeyCheckValue key_check_of(const void *p, size_t len, Backend path) {
  const auto *bytes = static_cast<const uint8_t *>(p);
  const size_t pairs = len / 16;
#if defined(__x86_64__)
  if (key_check_carryless(path)) {
    if (cpu_has_vpclmul() && path == Backend::avx512) return carryless_512(bytes, pairs);
    if (cpu_has_vpclmul()) return carryless_256(bytes, pairs);
    return carryless_128(bytes, pairs);
  }
#else
  (void)path;  // one form only: the integer one
#endif
  const u128 sum = integer_sums(bytes, pairs);
  return {{uint64_t(sum), uint64_t(sum >> 64)}};
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
