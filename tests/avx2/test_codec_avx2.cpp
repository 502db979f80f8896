// The word-level and AVX2 bit-plane codecs against a per-bit reference: every class, both input
// forms, zeros, the extreme stored values, single nonzero coefficients, random and arbitrary
// 32-bit inputs; decoding of random, zero, all-ones and single-bit byte strings. Buffers are
// exactly as long as the field, so an AddressSanitizer build catches any access past it.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "cpu.h"
#include "io.h"
#include "scalar/kernels_scalar.h"
#include "avx2/kernels_avx2.h"

using namespace tavik;

namespace {

using Bytes = std::vector<uint8_t>;
using Poly = std::vector<uint32_t>;
using Encoder = std::function<void(uint8_t *, const uint32_t *, uint32_t)>;
using Decoder = std::function<void(uint32_t *, const uint8_t *, uint32_t)>;

uint32_t width(uint32_t cls) { return uint32_t(IO_var_table[cls].width); }
int32_t offset(uint32_t cls) { return IO_var_table[cls].offset; }
bool offset_class(uint32_t cls) { return cls != IO_T1 && cls != IO_W1; }

// Bit by bit, as the format is written: byte g*W + i, bit j = bit i of the stored value of
// coefficient 8g + j, where the stored value is off + x, less Q when x (signed) is above off.
void ref_compress(uint8_t *out, const uint32_t *in, uint32_t cls) {
  const uint32_t w = width(cls);
  for (uint32_t g = 0; g < N / 8; ++g) {
    for (uint32_t i = 0; i < w; ++i) {
      uint8_t byte = 0;
      for (uint32_t j = 0; j < 8; ++j) {
        const uint32_t x = in[8 * g + j];
        uint32_t v = x;
        if (offset_class(cls)) {
          v = uint32_t(offset(cls)) + x;
          if (int32_t(x) > offset(cls)) v -= Q;
        }
        byte = uint8_t(byte | ((v >> i) & 1) << j);
      }
      out[g * w + i] = byte;
    }
  }
}

// Bit by bit: stored value from bit j of the W bytes, then Q - off added or t1 shifted by 13.
void ref_decompress(uint32_t *out, const uint8_t *in, uint32_t cls) {
  const uint32_t w = width(cls);
  for (uint32_t k = 0; k < N; ++k) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < w; ++i) v |= uint32_t((in[(k / 8) * w + i] >> (k % 8)) & 1) << i;
    if (cls == IO_T1) v <<= D;
    if (offset_class(cls)) v += Q - uint32_t(offset(cls));
    out[k] = v;
  }
}

// Empty when equal, else the first differing index and both values.
template <typename T>
std::string first_difference(const std::vector<T> &got, const std::vector<T> &want) {
  for (size_t i = 0; i < want.size(); ++i) {
    if (got[i] != want[i]) {
      return "first difference at " + std::to_string(i) + ": got " + std::to_string(got[i]) +
             ", want " + std::to_string(want[i]);
    }
  }
  return "";
}

// The coefficient whose stored value is v, given as s (when allowed) or as s + Q.
uint32_t coefficient(uint32_t cls, uint32_t v, bool plain) {
  if (!offset_class(cls)) return v;
  const int32_t s = int32_t(v) - offset(cls);
  return plain && s <= offset(cls) ? uint32_t(s) : Q + uint32_t(s);
}

struct Case {
  std::string what;
  Poly in;
};

// Polynomials for class cls: zeros, extremes, single nonzero coefficients, random stored values
// in both forms, and arbitrary 32-bit words (stored values wider than W lose their top bits).
std::vector<Case> encoder_cases(uint32_t cls, std::mt19937 &rng) {
  const uint32_t top = (1u << width(cls)) - 1;
  std::vector<Case> cases;
  cases.push_back({"zeros", Poly(N, 0)});
  for (bool plain : {true, false}) {
    const std::string form = plain ? " as s" : " as s + Q";
    cases.push_back({"stored 0" + form, Poly(N, coefficient(cls, 0, plain))});
    cases.push_back({"stored 2^W - 1" + form, Poly(N, coefficient(cls, top, plain))});
    Poly alt(N);
    for (uint32_t k = 0; k < N; ++k) alt[k] = coefficient(cls, (k % 3 == 0) ? top : 0, plain);
    cases.push_back({"stored 0 and 2^W - 1 mixed" + form, alt});
    for (uint32_t k = 0; k < N; k += 37) {
      Poly one(N, coefficient(cls, offset_class(cls) ? uint32_t(offset(cls)) : 0, plain));
      one[k] = coefficient(cls, top, plain);
      cases.push_back({"single nonzero at " + std::to_string(k) + form, one});
    }
    for (int r = 0; r < 8; ++r) {
      Poly p(N);
      for (uint32_t &x : p) x = coefficient(cls, rng() & top, plain);
      cases.push_back({"random" + form, p});
    }
  }
  for (uint32_t k = 0; k < N; ++k) {  // one coefficient 1 (or -1), each position in turn
    Poly one(N, 0);
    one[k] = (k & 1) && offset_class(cls) ? Q - 1 : 1;
    cases.push_back({"single +-1 at " + std::to_string(k), one});
  }
  Poly mixed(N);
  for (uint32_t &x : mixed) x = coefficient(cls, rng() & top, rng() & 1);
  cases.push_back({"random, forms mixed", mixed});
  for (int r = 0; r < 4; ++r) {
    Poly wild(N);
    for (uint32_t &x : wild) x = rng();
    wild[0] = 0x7FFFFFFF, wild[1] = 0x80000000, wild[2] = 0xFFFFFFFF;
    cases.push_back({"arbitrary 32-bit words", wild});
  }
  return cases;
}

// Byte strings for class cls: zeros, all ones, each single bit of the first and last group,
// random bytes.
std::vector<Bytes> decoder_cases(uint32_t cls, std::mt19937 &rng) {
  const size_t len = 32 * size_t(width(cls));
  std::vector<Bytes> cases = {Bytes(len, 0x00), Bytes(len, 0xFF)};
  for (size_t byte : {size_t(0), size_t(width(cls) - 1), len - width(cls), len - 1}) {
    for (uint32_t bit = 0; bit < 8; ++bit) {
      Bytes b(len, 0);
      b[byte] = uint8_t(1u << bit);
      cases.push_back(b);
    }
  }
  for (int r = 0; r < 16; ++r) {
    Bytes b(len);
    for (uint8_t &x : b) x = uint8_t(rng());
    cases.push_back(b);
  }
  return cases;
}

void check_encoder(const Encoder &encode, const char *name) {
  std::mt19937 rng(21);
  for (uint32_t cls = 0; cls < 6; ++cls) {
    for (const Case &c : encoder_cases(cls, rng)) {
      const size_t len = 32 * size_t(width(cls));
      Bytes want(len), got(len);
      ref_compress(want.data(), c.in.data(), cls);
      encode(got.data(), c.in.data(), cls);
      const std::string diff = first_difference(got, want);
      ASSERT_TRUE(diff.empty()) << name << ", class " << cls << ", " << c.what << ": " << diff;
    }
  }
}

void check_decoder(const Decoder &decode, const char *name) {
  std::mt19937 rng(22);
  for (uint32_t cls = 0; cls < 6; ++cls) {
    std::vector<Bytes> inputs = decoder_cases(cls, rng);
    for (const Case &c : encoder_cases(cls, rng)) {  // and every encoding above
      Bytes b(32 * size_t(width(cls)));
      ref_compress(b.data(), c.in.data(), cls);
      inputs.push_back(b);
    }
    for (size_t n = 0; n < inputs.size(); ++n) {
      Poly want(N), got(N, 0xDEADBEEF);
      ref_decompress(want.data(), inputs[n].data(), cls);
      decode(got.data(), inputs[n].data(), cls);
      const std::string diff = first_difference(got, want);
      ASSERT_TRUE(diff.empty()) << name << ", class " << cls << ", input " << n << ": " << diff;
    }
  }
}

TEST(FastCodec, PortableMatchesReference) {
  check_encoder(pack_planes_scalar, "pack_planes_scalar");
  check_decoder(unpack_planes_scalar, "unpack_planes_scalar");
}

TEST(FastCodec, PathInUseMatchesReference) {
  check_encoder(compress, "compress");
  check_decoder(decompress, "decompress");
}

TEST(FastCodec, Avx2MatchesReference) {
#if TAVIK_X86_KERNELS
  if (!backend_available(Backend::avx2)) GTEST_SKIP() << "no AVX2 on this processor";
  check_encoder(pack_planes_avx2, "pack_planes_avx2");
  check_decoder(unpack_planes_avx2, "unpack_planes_avx2");
#else
  GTEST_SKIP() << "no AVX2 kernels in this build";
#endif
}

// Outputs land only inside their 32 * W bytes / 256 coefficients, whatever the neighbours hold,
// and encoders and decoders of different polynomials placed back to back do not disturb each other.
TEST(FastCodec, WritesStayInsideTheField) {
  struct Kernel {
    const char *name;
    Encoder enc;
    Decoder dec;
    bool available;
  };
  const Kernel kernels[] = {
    {"scalar", pack_planes_scalar, unpack_planes_scalar, true},
#if TAVIK_X86_KERNELS
    {"avx2", pack_planes_avx2, unpack_planes_avx2, backend_available(Backend::avx2)},
#endif
  };
  std::mt19937 rng(23);
  for (const Kernel &k : kernels) {
    if (!k.available) continue;
    for (uint32_t cls = 0; cls < 6; ++cls) {
      const size_t len = 32 * size_t(width(cls));
      Poly p(N);
      for (uint32_t &x : p) x = rng();
      Bytes buf(len + 64, 0xA5);
      k.enc(buf.data() + 32, p.data(), cls);
      for (size_t i = 0; i < 32; ++i) ASSERT_EQ(buf[i], 0xA5) << k.name << " class " << cls;
      for (size_t i = 32 + len; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xA5) << k.name << " class " << cls;
      Poly out(N + 16, 0x5A5A5A5A);
      k.dec(out.data() + 8, buf.data() + 32, cls);
      for (size_t i = 0; i < 8; ++i) ASSERT_EQ(out[i], 0x5A5A5A5Au) << k.name << " class " << cls;
      for (size_t i = N + 8; i < out.size(); ++i) ASSERT_EQ(out[i], 0x5A5A5A5Au) << k.name << " class " << cls;
    }
  }
}

}  // namespace
