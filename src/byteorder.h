// Little-endian fields: every multi-byte number the scheme reads from or writes to bytes (hash
// lanes, sampler candidates, nonces, the challenge's sign word, codec planes) goes through these,
// so results are the same on processors of either byte order. Internal linkage: each file keeps
// a copy built for its own instruction set.
#pragma once
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace tavik {
namespace {

// Little-endian load of n <= 8 bytes into the low bytes of a word (the rest 0). Composed of
// power-of-two loads, so no partial word goes through memory.
template <uint32_t n>
inline uint64_t load_le(const uint8_t *p) {
  static_assert(n >= 1 && n <= 8);
  if constexpr (std::endian::native == std::endian::little && (n & (n - 1)) == 0) {
    std::conditional_t<n == 8, uint64_t, std::conditional_t<n == 4, uint32_t, std::conditional_t<n == 2, uint16_t, uint8_t>>> w;
    std::memcpy(&w, p, n);
    return w;
  } else if constexpr (std::endian::native == std::endian::little) {
    constexpr uint32_t head = std::bit_floor(n);
    return load_le<head>(p) | load_le<n - head>(p + head) << (8 * head);
  } else {
    uint64_t w = 0;
    for (uint32_t i = 0; i < n; ++i) w |= uint64_t(p[i]) << (8 * i);
    return w;
  }
}

// Little-endian store of the n <= 8 low bytes of w, in power-of-two pieces.
template <uint32_t n>
inline void store_le(uint8_t *p, uint64_t w) {
  static_assert(n >= 1 && n <= 8);
  if constexpr (std::endian::native == std::endian::little && (n & (n - 1)) == 0) {
    const std::conditional_t<n == 8, uint64_t, std::conditional_t<n == 4, uint32_t, std::conditional_t<n == 2, uint16_t, uint8_t>>> x =
        decltype(x)(w);
    std::memcpy(p, &x, n);
  } else if constexpr (std::endian::native == std::endian::little) {
    constexpr uint32_t head = std::bit_floor(n);
    store_le<head>(p, w);
    store_le<n - head>(p + head, w >> (8 * head));
  } else {
    for (uint32_t i = 0; i < n; ++i) p[i] = uint8_t(w >> (8 * i));
  }
}

}  // namespace
}  // namespace tavik
