// Bit-plane layout helpers shared by the portable and the AVX2 codec. Everything here has
// internal linkage, so each file compiles its own copy with its own instruction set.
#pragma once
#include <cstdint>
#include <type_traits>
#include <utility>

#include "byteorder.h"
#include "io.h"
#include "params.h"

namespace tavik {
namespace {

// Calls f(std::integral_constant<uint32_t, cls>()) for a class in 0..5; any other value calls
// nothing. Lets each codec form be written once as a template over the class.
template <typename F>
inline void with_class(uint32_t cls, F &&f) {
  switch (cls) {
    case IO_S1: f(std::integral_constant<uint32_t, IO_S1>()); break;
    case IO_S2: f(std::integral_constant<uint32_t, IO_S2>()); break;
    case IO_T1: f(std::integral_constant<uint32_t, IO_T1>()); break;
    case IO_T0: f(std::integral_constant<uint32_t, IO_T0>()); break;
    case IO_Z: f(std::integral_constant<uint32_t, IO_Z>()); break;
    case IO_W1: f(std::integral_constant<uint32_t, IO_W1>()); break;
    default: break;
  }
}

// A group of 8 coefficients spans W bit planes, handled as words of up to 8 planes each: word k
// holds planes 8k .. 8k + 7, that is byte k of every stored value.
template <uint32_t W>
constexpr uint32_t plane_words = (W + 7) / 8;
// Number of planes (bytes) in word k of a group of width W: 8, or what is left for the last one.
template <uint32_t W>
constexpr uint32_t planes_in_word(uint32_t k) { return W - 8 * k < 8 ? W - 8 * k : 8; }

// Calls f(std::integral_constant<uint32_t, k>()) for k = 0 .. COUNT - 1, unrolled at compile time.
template <uint32_t COUNT, typename F>
inline void for_each_word(F &&f) {
  [&]<uint32_t... k>(std::integer_sequence<uint32_t, k...>) {
    (f(std::integral_constant<uint32_t, k>()), ...);
  }(std::make_integer_sequence<uint32_t, COUNT>());
}

}  // namespace
}  // namespace tavik
