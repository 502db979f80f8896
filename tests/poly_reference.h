// Reference arithmetic shared by the polynomial test suites: the negacyclic product by its
// definition, written independently of the library's transforms.
#pragma once
#include <array>
#include <cstdint>

#include "params.h"

namespace poly_reference {

using Poly = std::array<uint32_t, tavik::N>;

// Every coefficient reduced into [0, Q).
inline Poly reduced(Poly p) {
  for (uint32_t &x : p) x %= tavik::Q;
  return p;
}

// a * b modulo X^256 + 1 and Q, for any 32-bit coefficients; result in [0, Q).
inline Poly schoolbook(const uint32_t *a, const uint32_t *b) {
  constexpr uint64_t Q = tavik::Q;
  std::array<uint64_t, tavik::N> acc{};
  for (uint32_t i = 0; i < tavik::N; ++i) {
    for (uint32_t j = 0; j < tavik::N; ++j) {
      const uint64_t t = a[i] % Q * (b[j] % Q) % Q;
      if (i + j < tavik::N) acc[i + j] += t;
      else acc[i + j - tavik::N] += Q - t;
    }
  }
  Poly out{};
  for (uint32_t i = 0; i < tavik::N; ++i) out[i] = uint32_t(acc[i] % Q);
  return out;
}

inline Poly schoolbook(const Poly &a, const Poly &b) { return schoolbook(a.data(), b.data()); }

}  // namespace poly_reference
