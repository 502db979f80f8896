// The AVX-512 bit-plane codec against the scalar one, for every class: encoding of stored values
// in both forms, values around the offset and arbitrary 32-bit words; decoding of random, zero,
// all-ones and single-bit byte strings. Inputs are exactly as long as the field (an
// AddressSanitizer build catches any read past it) and guards after the output must stay as they
// were.
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "avx512_suite.h"
#include "io.h"
#include "kernels.h"

using namespace tavik;

namespace {

using Bytes = std::vector<uint8_t>;
using Poly = std::vector<uint32_t>;
constexpr uint32_t GUARD = 16;  // elements after each output that must stay untouched

const Kernels &scalar() { return kernels_of(Backend::scalar); }
uint32_t width(uint32_t cls) { return uint32_t(IO_var_table[cls].width); }

// Polynomials for class cls: stored values as s and as s + Q (offset classes), values around
// the offset and Q, and arbitrary words.
std::vector<Poly> encoder_inputs(uint32_t cls, std::mt19937 &rng) {
  const uint32_t off = uint32_t(IO_var_table[cls].offset), top = (1u << width(cls)) - 1;
  const uint32_t edges[] = {0, 1, off, off + 1, Q - off - 1, Q - off, Q - 1, Q, top, top + 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
  std::vector<Poly> inputs;
  for (int r = 0; r < 12; ++r) {
    Poly p(N);
    for (uint32_t &x : p) {
      const uint32_t stored = rng() & top;
      switch (r % 3) {
        case 0: x = io_is_offset_class(cls) ? stored - off + (rng() & 1 ? Q : 0) : stored; break;
        case 1: x = edges[rng() % std::size(edges)]; break;
        default: x = uint32_t(rng()); break;
      }
    }
    inputs.push_back(p);
  }
  return inputs;
}

// Byte strings for class cls: zeros, all ones, random, and each single bit of the first two groups
// (one register: both halves).
std::vector<Bytes> decoder_inputs(uint32_t cls, std::mt19937 &rng) {
  const uint32_t len = 32 * width(cls);
  std::vector<Bytes> inputs = {Bytes(len, 0), Bytes(len, 0xFF)};
  for (int r = 0; r < 4; ++r) {
    Bytes b(len);
    for (uint8_t &x : b) x = uint8_t(rng());
    inputs.push_back(b);
  }
  for (uint32_t bit = 0; bit < 2 * width(cls) * 8; ++bit) {
    Bytes b(len, 0);
    b[bit / 8] = uint8_t(1u << (bit % 8));
    inputs.push_back(b);
  }
  return inputs;
}

TEST(CodecAvx512, MatchesScalarForEveryClass) {
  AVX512_SUITE_REQUIRE();
  std::mt19937 rng(19);
  for (uint32_t cls = 0; cls < 6; ++cls) {
    const uint32_t len = 32 * width(cls);
    for (const Poly &in : encoder_inputs(cls, rng)) {
      Bytes want(len + GUARD, 0xEE), got(len + GUARD, 0xEE);
      scalar().pack_planes(want.data(), in.data(), cls);
      pack_planes_avx512(got.data(), in.data(), cls);
      ASSERT_EQ(got, want) << "pack, class " << cls;
    }
    for (const Bytes &in : decoder_inputs(cls, rng)) {
      Poly want(N + GUARD, 0xEEEEEEEE), got(N + GUARD, 0xEEEEEEEE);
      scalar().unpack_planes(want.data(), in.data(), cls);
      unpack_planes_avx512(got.data(), in.data(), cls);
      ASSERT_EQ(got, want) << "unpack, class " << cls;
    }
  }
}

}  // namespace
