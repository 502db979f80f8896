// The crypto_sign interface, the known-answer generator's DRBG, and the generator's files pinned.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ctr_drbg.h"
#include "tavik.h"
#include "tavik_api.h"

namespace {

std::string hex(const uint8_t *p, size_t len) {
  std::string s;
  char buf[3];
  for (size_t i = 0; i < len; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", p[i]);
    s += buf;
  }
  return s;
}

std::string slurp(const std::filesystem::path &p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::string sha256_hex(const std::string &data) {
  uint8_t d[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const uint8_t *>(data.data()), data.size(), d);
  return hex(d, sizeof d);
}

}  // namespace

// The first outputs of the DRBG seeded with 0..47, which every known-answer file of this kind
// starts with: the first seed, the first 33-byte message, the second seed.
TEST(CryptoSign, DrbgFirstOutputs) {
  uint8_t entropy[48];
  for (int i = 0; i < 48; ++i) entropy[i] = uint8_t(i);
  tavik::kat::CtrDrbg drbg(entropy);
  const struct {
    size_t len;
    const char *want;
  } draws[] = {
      {48, "061550234D158C5EC95595FE04EF7A25767F2E24CC2BC479D09D86DC9ABCFDE7056A8C266F9EF97ED08541DBD2E1FFA1"},
      {33, "D81C4D8D734FCBFBEADE3D3F8A039FAA2A2C9957E835AD55B22E75BF57BB556AC8"},
      {48, "64335BF29E5DE62842C941766BA129B0643B5E7121CA26CFC190EC7DC3543830557FDD5C03CF123A456D48EFEA43C868"},
  };
  for (const auto &d : draws) {
    uint8_t out[48];
    drbg.generate(out, d.len);
    EXPECT_EQ(hex(out, d.len), d.want);
  }
}

// Signed messages round-trip for any length, in place too; a refused one leaves mlen 0 and m as it
// was; the detached calls agree with tavik_sign and tavik_verify.
TEST(CryptoSign, SignedMessagesAndRefusals) {
  uint8_t seed[TAVIK_SEED_BYTES] = {1, 2, 3};
  static uint8_t pk[CRYPTO_PUBLICKEYBYTES], sk[CRYPTO_SECRETKEYBYTES];
  ASSERT_EQ(sig_keygen_from_seed(pk, sk, seed), 0);
  for (size_t len : {size_t(0), size_t(1), size_t(3300), size_t(5000)}) {
    std::vector<uint8_t> m(len), sm(len + CRYPTO_BYTES), out(len + CRYPTO_BYTES, 0xEE);
    for (size_t i = 0; i < len; ++i) m[i] = uint8_t(i * 7);
    unsigned long long smlen = 0, mlen = 99;
    ASSERT_EQ(crypto_sign(sm.data(), &smlen, m.data(), len, sk), 0);
    ASSERT_EQ(smlen, len + CRYPTO_BYTES);
    uint8_t sig[CRYPTO_BYTES];
    size_t siglen = 0;
    ASSERT_EQ(crypto_sign_signature(sig, &siglen, m.data(), len, sk), 0);
    EXPECT_EQ(siglen, size_t(CRYPTO_BYTES));
    EXPECT_EQ(hex(sig, CRYPTO_BYTES), hex(sm.data(), CRYPTO_BYTES));
    EXPECT_EQ(crypto_sign_verify(sig, siglen, m.data(), len, pk), 0);
    ASSERT_EQ(crypto_sign_open(out.data(), &mlen, sm.data(), smlen, pk), 0);
    EXPECT_EQ(mlen, len);
    EXPECT_TRUE(std::equal(m.begin(), m.end(), out.begin()));

    // Signing in place (the message already behind the room for the signature) gives the same bytes.
    std::vector<uint8_t> inplace(len + CRYPTO_BYTES);
    std::copy(m.begin(), m.end(), inplace.begin() + CRYPTO_BYTES);
    unsigned long long inplace_len = 0;
    ASSERT_EQ(crypto_sign(inplace.data(), &inplace_len, inplace.data() + CRYPTO_BYTES, len, sk), 0);
    EXPECT_EQ(inplace, sm);

    std::vector<uint8_t> bad = sm;
    bad[len ? CRYPTO_BYTES + len - 1 : 0] ^= 1;
    std::fill(out.begin(), out.end(), 0xEE);
    struct Refused {
      const uint8_t *sm;
      unsigned long long smlen;
      const uint8_t *pk;
    };
    for (const Refused &r : {Refused{bad.data(), smlen, pk}, Refused{sm.data(), smlen, sk},
                             Refused{sm.data(), CRYPTO_BYTES - 1, pk}, Refused{nullptr, smlen, pk}}) {
      mlen = 99;
      EXPECT_EQ(crypto_sign_open(out.data(), &mlen, r.sm, r.smlen, r.pk), -1);
      EXPECT_EQ(mlen, 0u);
      for (uint8_t b : out) ASSERT_EQ(b, 0xEE);
    }
    EXPECT_EQ(crypto_sign_verify(sig, siglen - 1, m.data(), len, pk), -1);
  }
  EXPECT_EQ(crypto_sign_keypair(pk, nullptr), -1);

  // A message lying partly over its own destination (m at sm + 100, moved up to sm + 2573) signs
  // as a separate copy does; a length whose signed message would not fit 64 bits is refused before
  // anything is moved.
  const size_t len = 3000;
  std::vector<uint8_t> m(len), want(len + CRYPTO_BYTES), buf(len + CRYPTO_BYTES);
  for (size_t i = 0; i < len; ++i) m[i] = uint8_t(i * 5 + 1);
  unsigned long long want_len = 0, smlen = 7;
  ASSERT_EQ(crypto_sign(want.data(), &want_len, m.data(), len, sk), 0);
  std::copy(m.begin(), m.end(), buf.begin() + 100);
  ASSERT_EQ(crypto_sign(buf.data(), &smlen, buf.data() + 100, len, sk), 0);
  EXPECT_EQ(buf, want);
  smlen = 7;
  EXPECT_EQ(crypto_sign(buf.data(), &smlen, buf.data(), ~0ULL - CRYPTO_BYTES + 1, sk), -1);
  EXPECT_EQ(smlen, 7u);
}

// Overlapping buffers: a secret key lying in sm where the message or the signature goes signs as
// the intact key does (moving the message first would sign a damaged key), and opening in place
// moves the message down over its own signature (a memcpy there is what the sanitizer reports).
TEST(CryptoSign, OverlappingBuffers) {
  uint8_t seed[TAVIK_SEED_BYTES] = {4, 5, 6};
  static uint8_t pk[CRYPTO_PUBLICKEYBYTES], sk[CRYPTO_SECRETKEYBYTES];
  ASSERT_EQ(sig_keygen_from_seed(pk, sk, seed), 0);
  const size_t len = CRYPTO_SECRETKEYBYTES + 300;
  std::vector<uint8_t> m(len), want(len + CRYPTO_BYTES);
  for (size_t i = 0; i < len; ++i) m[i] = uint8_t(i * 11 + 3);
  unsigned long long smlen = 0;
  ASSERT_EQ(crypto_sign(want.data(), &smlen, m.data(), len, sk), 0);
  for (size_t key_at : {size_t(CRYPTO_BYTES + 100), size_t(10)}) {  // in the message area, in the signature
    std::vector<uint8_t> sm(len + CRYPTO_BYTES, 0);
    std::copy(sk, sk + CRYPTO_SECRETKEYBYTES, sm.begin() + long(key_at));
    smlen = 0;
    ASSERT_EQ(crypto_sign(sm.data(), &smlen, m.data(), len, sm.data() + key_at), 0) << "key at " << key_at;
    EXPECT_EQ(sm, want) << "key at " << key_at;
  }
  std::vector<uint8_t> sm = want;
  unsigned long long mlen = 0;
  ASSERT_EQ(crypto_sign_open(sm.data(), &mlen, sm.data(), want.size(), pk), 0);
  ASSERT_EQ(mlen, len);
  EXPECT_TRUE(std::equal(m.begin(), m.end(), sm.begin()));
}

// The generator's two files, byte for byte. The digests are printed in the README so that any
// other implementation can be checked against them.
TEST(CryptoSign, GeneratorFilesArePinned) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("tavik_genkat_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string cmd = "cd '" + dir.string() + "' && '" TAVIK_GENKAT_BIN "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const std::string req = slurp(dir / "PQCsignKAT_3056.req"), rsp = slurp(dir / "PQCsignKAT_3056.rsp");
  std::filesystem::remove_all(dir);
  EXPECT_EQ(rsp.rfind("# tavik-c\n\ncount = 0\nseed = 061550234D158C5E", 0), 0u);
  EXPECT_EQ(req.rfind("count = 0\nseed = 061550234D158C5E", 0), 0u);
  EXPECT_EQ(sha256_hex(req), "81FF60E3EF698751E5572F0BB7F831F069605229C220EE1CF27A92572D6EBC7E");
  EXPECT_EQ(sha256_hex(rsp), "35DDCF8CC4C014FCAD824D4AC475FEE4C4C7B2709FADFF82DB245084C2AD263F");
}
