// SHAKE128 / SHAKE256 against libcrypto, the published vectors, and the streaming contract.
#include "fips202.h"

#include "cpu.h"
#include "avx2/kernels_avx2.h"
#include "avx512/kernels_avx512.h"
#include "scalar/kernels_scalar.h"
#include "keccak_reference.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace tavik;

namespace {

using Bytes = std::vector<uint8_t>;
using OneShot = void (*)(uint8_t *, uint64_t, const uint8_t *, uint64_t);
using Absorb = void (*)(uint64_t *, const uint8_t *, uint64_t);
using Squeeze = void (*)(uint8_t *, uint64_t, uint64_t *);

struct Shake {
  const char *name;
  size_t rate;
  OneShot oneshot;
  Absorb absorb;
  Squeeze squeeze;
  const EVP_MD *(*md)();
};

const Shake SHAKES[] = {
    {"shake128", SHAKE128_RATE, shake128, shake128_absorb, shake128_squeezeblocks, EVP_shake128},
    {"shake256", SHAKE256_RATE, shake256, shake256_absorb, shake256_squeezeblocks, EVP_shake256},
};

constexpr uint8_t GUARD = 0xA5;
constexpr size_t GUARD_LEN = 16;

Bytes message(size_t len) {
  Bytes m(len);
  for (size_t i = 0; i < len; ++i) m[i] = uint8_t(i * 167 + 13 + (i >> 8));
  return m;
}

Bytes reference(const Shake &s, const Bytes &in, size_t outlen) {
  Bytes out(outlen);
  if (outlen == 0) return out;
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  const bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, s.md(), nullptr) == 1 &&
                  EVP_DigestUpdate(ctx, in.data(), in.size()) == 1 &&
                  EVP_DigestFinalXOF(ctx, out.data(), outlen) == 1;
  EVP_MD_CTX_free(ctx);
  EXPECT_TRUE(ok) << "libcrypto " << s.name;
  return out;
}

// Runs the one-shot into a guarded buffer; fails the test if a byte past outlen changes.
Bytes oneshot(const Shake &s, const Bytes &in, size_t outlen) {
  Bytes out(outlen + GUARD_LEN, GUARD);
  s.oneshot(out.data(), outlen, in.data(), in.size());
  for (size_t i = outlen; i < out.size(); ++i)
    EXPECT_EQ(out[i], GUARD) << s.name << " wrote past outlen " << outlen << " at " << i;
  out.resize(outlen);
  return out;
}

Bytes squeeze(const Shake &s, uint64_t *state, size_t nblocks) {
  Bytes out(nblocks * s.rate);
  s.squeeze(out.data(), nblocks, state);
  return out;
}

Bytes from_hex(const std::string &hex) {
  Bytes b(hex.size() / 2);
  for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return b;
}

}  // namespace

TEST(Keccak, PermutationOfTheZeroStateMatchesKnownValues) {
  const uint64_t once[25] = {
      0xF1258F7940E1DDE7, 0x84D5CCF933C0478A, 0xD598261EA65AA9EE, 0xBD1547306F80494D,
      0x8B284E056253D057, 0xFF97A42D7F8E6FD4, 0x90FEE5A0A44647C4, 0x8C5BDA0CD6192E76,
      0xAD30A6F71B19059C, 0x30935AB7D08FFC64, 0xEB5AA93F2317D635, 0xA9A6E6260D712103,
      0x81A57C16DBCF555F, 0x43B831CD0347C826, 0x01F22F1A11A5569F, 0x05E5635A21D9AE61,
      0x64BEFEF28CC970F2, 0x613670957BC46611, 0xB87C5A554FD00ECB, 0x8C3EE88A1CCF32C8,
      0x940C7922AE3A2614, 0x1841F924A2C509E4, 0x16F53526E70465C2, 0x75F644E97F30A13B,
      0xEAF1FF7B5CECA249};
  const uint64_t twice[25] = {
      0x2D5C954DF96ECB3C, 0x6A332CD07057B56D, 0x093D8D1270D76B6C, 0x8A20D9B25569D094,
      0x4F9C4F99E5E7F156, 0xF957B9A2DA65FB38, 0x85773DAE1275AF0D, 0xFAF4F247C3D810F7,
      0x1F1B9EE6F79A8759, 0xE4FECC0FEE98B425, 0x68CE61B6B9CE68A1, 0xDEEA66C4BA8F974F,
      0x33C43D836EAFB1F5, 0xE00654042719DBD9, 0x7CF8A9F009831265, 0xFD5449A6BF174743,
      0x97DDAD33D8994B40, 0x48EAD5FC5D0BE774, 0xE3B8C8EE55B7B03C, 0x91A0226E649E42E9,
      0x900E3129E7BADD7B, 0x202A9EC5FAA3CCE8, 0x5B3402464E1C3DB6, 0x609F4E62A44C1059,
      0x20D06CD26A8FBF5C};
  uint64_t s[25] = {};
  KeccakF1600_StatePermute(s);
  for (int i = 0; i < 25; ++i) EXPECT_EQ(s[i], once[i]) << "lane " << i;
  KeccakF1600_StatePermute(s);
  for (int i = 0; i < 25; ++i) EXPECT_EQ(s[i], twice[i]) << "lane " << i;
}

// Every form of the single-stream permutation against the step-by-step definition, from the
// zero state and from random ones, applied twice so a fault in late rounds cannot cancel.
TEST(Keccak, EveryFormEqualsTheReferencePermutation) {
  struct Form {
    const char *name;
    void (*permute)(uint64_t *);
    bool available;
  };
  const Form forms[] = {
      {"portable", keccak_permute_scalar, true},
      {"path in use", KeccakF1600_StatePermute, true},
#if TAVIK_X86_KERNELS
      {"bmi", keccak_permute_bmi, backend_available(Backend::avx2)},
      {"avx512", keccak_permute_avx512, backend_available(Backend::avx512)},
#endif
  };
  std::mt19937_64 rng(0x6b65u);
  for (const Form &f : forms) {
    if (!f.available) continue;
    for (int trial = 0; trial < 8; ++trial) {
      uint64_t s[25], ref[25];
      for (int i = 0; i < 25; ++i) s[i] = ref[i] = trial == 0 ? 0 : rng();
      for (int rep = 0; rep < 2; ++rep) {
        f.permute(s);
        keccak_reference::permute(ref);
        for (int i = 0; i < 25; ++i) ASSERT_EQ(ref[i], s[i]) << f.name << " trial " << trial << " lane " << i;
      }
    }
  }
}

TEST(Shake, EmptyMessageGivesThePublishedValues) {
  EXPECT_EQ(oneshot(SHAKES[0], {}, 32),
            from_hex("7f9c2ba4e88f827d616045507605853ed73b8093f6efbc88eb1a6eacfa66ef26"));
  EXPECT_EQ(oneshot(SHAKES[1], {}, 64),
            from_hex("46b9dd2b0ba88d13233b3feb743eeb243fcd52ea62b81b82b50c27646ed5762f"
                     "d75dc4ddd8c0f200cb05019d67b592f6fc821c49479ab48640292eacb3b7c4be"));
}

TEST(Shake, MatchesLibcryptoForEveryInputLengthUpTo600) {
  const size_t outlens[] = {1, 32, 48, 137, 169, 400};
  for (const auto &s : SHAKES) {
    for (size_t inlen = 0; inlen <= 600; ++inlen) {
      const Bytes in = message(inlen);
      for (size_t outlen : outlens) {
        ASSERT_EQ(oneshot(s, in, outlen), reference(s, in, outlen))
            << s.name << " inlen " << inlen << " outlen " << outlen;
      }
    }
  }
}

TEST(Shake, RateBoundariesOfInputAndOutput) {
  for (const auto &s : SHAKES) {
    const size_t r = s.rate;
    for (size_t inlen : {r - 1, r, r + 1, 2 * r - 1, 2 * r, 2 * r + 1}) {
      const Bytes in = message(inlen);
      for (size_t outlen : {size_t(0), size_t(1), r - 1, r, r + 1, 5 * r}) {
        EXPECT_EQ(oneshot(s, in, outlen), reference(s, in, outlen))
            << s.name << " inlen " << inlen << " outlen " << outlen;
      }
    }
  }
}

// The absorbed state equals the hand-built one: full blocks XORed and permuted, then the last
// partial block with 0x1F after it and 0x80 in byte r-1 (0x9F when both fall on r-1), unpermuted.
TEST(Shake, AbsorbPadsAsDescribed) {
  for (const auto &s : SHAKES) {
    const size_t r = s.rate;
    for (size_t inlen : {size_t(0), size_t(5), r - 1, r, r + 1}) {
      const Bytes in = message(inlen);
      uint8_t bytes[200] = {};
      uint64_t want[25] = {};
      size_t pos = 0;
      auto xor_block = [&](const uint8_t *block) {
        for (size_t i = 0; i < r; ++i) bytes[i] ^= block[i];
      };
      auto load = [&] {
        for (int i = 0; i < 25; ++i) {
          want[i] = 0;
          for (int j = 0; j < 8; ++j) want[i] |= uint64_t(bytes[8 * i + j]) << (8 * j);
        }
      };
      auto store = [&] {
        for (int i = 0; i < 25; ++i) {
          for (int j = 0; j < 8; ++j) bytes[8 * i + j] = uint8_t(want[i] >> (8 * j));
        }
      };
      for (; inlen - pos >= r; pos += r) {
        xor_block(in.data() + pos);
        load();
        KeccakF1600_StatePermute(want);
        store();
      }
      uint8_t last[200] = {};
      if (inlen > pos) std::memcpy(last, in.data() + pos, inlen - pos);
      last[inlen - pos] ^= 0x1F;
      last[r - 1] ^= 0x80;
      if (inlen - pos == r - 1) {
        EXPECT_EQ(last[r - 1], 0x9F);
      }
      xor_block(last);
      load();

      uint64_t got[25];
      std::memset(got, 0x77, sizeof got);  // whatever the state held is discarded
      s.absorb(got, in.data(), inlen);
      for (int i = 0; i < 25; ++i) EXPECT_EQ(got[i], want[i]) << s.name << " inlen " << inlen << " lane " << i;
    }
  }
}

TEST(Shake, OneShotMayWriteOverItsInput) {
  for (const auto &s : SHAKES) {
    const Bytes seed = message(32);
    const Bytes want = reference(s, seed, 96);
    Bytes buf(96 + GUARD_LEN, GUARD);
    std::memcpy(buf.data(), seed.data(), 32);
    s.oneshot(buf.data(), 96, buf.data(), 32);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 96), want) << s.name << " in place";
    EXPECT_EQ(buf[96], GUARD);

    // Output starting inside the input, longer than a rate block.
    const Bytes in = message(300);
    const Bytes want2 = reference(s, in, 400);
    Bytes buf2(500, GUARD);
    std::memcpy(buf2.data() + 50, in.data(), 300);
    s.oneshot(buf2.data() + 100, 400, buf2.data() + 50, 300);
    EXPECT_EQ(Bytes(buf2.begin() + 100, buf2.end()), want2) << s.name << " overlapping";
  }
}

TEST(Shake, SuccessiveSqueezesContinueOneStream) {
  for (const auto &s : SHAKES) {
    const Bytes in = message(82);
    uint64_t a[25], b[25];
    s.absorb(a, in.data(), in.size());
    s.absorb(b, in.data(), in.size());
    Bytes split = squeeze(s, a, 1);
    const Bytes rest = squeeze(s, a, 2);
    split.insert(split.end(), rest.begin(), rest.end());
    const Bytes whole = squeeze(s, b, 3);
    EXPECT_EQ(split, whole) << s.name;
    EXPECT_EQ(whole, reference(s, in, 3 * s.rate)) << s.name;
    // Zero blocks leaves the stream where it was.
    Bytes untouched(8, GUARD);
    s.squeeze(untouched.data(), 0, a);
    EXPECT_EQ(untouched, Bytes(8, GUARD));
    EXPECT_EQ(squeeze(s, a, 1), squeeze(s, b, 1)) << s.name;
  }
}

TEST(Shake, PartialOutputIsThePrefixOfTheNextBlock) {
  // shake256 to 48 bytes equals the first 48 bytes of one squeezed block.
  const Shake &s256 = SHAKES[1];
  const Bytes tr_in = message(48 + 59);
  uint64_t st[25];
  s256.absorb(st, tr_in.data(), tr_in.size());
  const Bytes block = squeeze(s256, st, 1);
  EXPECT_EQ(oneshot(s256, tr_in, 48), Bytes(block.begin(), block.begin() + 48));

  // shake128 to 840 bytes is five whole blocks; to 841 adds the first byte of the sixth.
  const Shake &s128 = SHAKES[0];
  const Bytes seed = message(33);
  s128.absorb(st, seed.data(), seed.size());
  const Bytes six = squeeze(s128, st, 6);
  EXPECT_EQ(oneshot(s128, seed, 840), Bytes(six.begin(), six.begin() + 840));
  EXPECT_EQ(oneshot(s128, seed, 841), Bytes(six.begin(), six.begin() + 841));
}
