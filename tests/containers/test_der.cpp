// The key containers: round trips of every form, the identifier's encoding, and a table of
// malformed containers and armour, each refused with its own code.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#define TAVIK_OID_TEXT "1.2.3"  // the encoder's own compile-time check; the library has its own
#include "oid.h"
#include "tavik.h"
#include "tavik_der.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Keys {
  uint8_t seed[TAVIK_SEED_BYTES], pk[TAVIK_PK_BYTES], sk[TAVIK_SK_BYTES];
  explicit Keys(uint8_t fill) {
    for (size_t i = 0; i < sizeof seed; ++i) seed[i] = uint8_t(fill + 7 * i);
    EXPECT_EQ(sig_keygen_from_seed(pk, sk, seed), 0);
  }
};

const Keys &keys() {
  static const Keys k(1);
  return k;
}
const Keys &other_keys() {
  static const Keys k(2);
  return k;
}

// A DER element with its shortest length.
Bytes el(uint8_t tag, const Bytes &content) {
  Bytes out;
  out.reserve(content.size() + 4);
  out.push_back(tag);
  const size_t n = content.size();
  if (n >= 0x80) out.push_back(n >= 0x100 ? 0x82 : 0x81);
  if (n >= 0x100) out.push_back(uint8_t(n >> 8));
  out.push_back(uint8_t(n));
  for (uint8_t b : content) out.push_back(b);
  return out;
}
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes raw(const uint8_t *p, size_t n) { return Bytes(p, p + n); }

Bytes oid_content() {
  const auto oid = tavik::der::encode_oid(tavik_der_oid());
  EXPECT_TRUE(oid.ok);
  return raw(oid.bytes, oid.len);
}
Bytes algorithm(const Bytes &extra = {}) { return el(0x30, cat({el(0x06, oid_content()), extra})); }
Bytes bit_string(const uint8_t *pk, size_t n = TAVIK_PK_BYTES, uint8_t unused = 0) {
  return el(0x03, cat({{unused}, raw(pk, n)}));
}
// The public key of a version 1 private key: the bit string under tag [1].
Bytes v1_public_key(const uint8_t *pk) {
  Bytes b = bit_string(pk);
  b[0] = 0x81;
  return b;
}
Bytes spki(const Bytes &alg, const Bytes &bits) { return el(0x30, cat({alg, bits})); }
Bytes pkcs8(const Bytes &version, const Bytes &priv, const Bytes &tail = {}) {
  return el(0x30, cat({version, algorithm(), el(0x04, priv), tail}));
}
const Bytes V0{0x02, 0x01, 0x00}, V1{0x02, 0x01, 0x01};
Bytes seed_choice(const uint8_t *seed, size_t n = TAVIK_SEED_BYTES) { return el(0x80, raw(seed, n)); }
Bytes key_choice(const uint8_t *sk) { return el(0x04, raw(sk, TAVIK_SK_BYTES)); }
Bytes both_choice(const uint8_t *seed, const uint8_t *sk) {
  return el(0x30, cat({el(0x04, raw(seed, TAVIK_SEED_BYTES)), el(0x04, raw(sk, TAVIK_SK_BYTES))}));
}

TEST(Containers, ObjectIdentifierEncoding) {
  struct Case {
    const char *text;
    Bytes der;  // empty: refused
  } cases[] = {
      {"1.2.840.113549", {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D}},
      {"2.999.3", {0x88, 0x37, 0x03}},
      {"0.39", {0x27}},
      {"2.25.33929046536149465521623992287689459636",
       {0x69, 0xB3, 0x86, 0xBF, 0xC9, 0xBA, 0xA1, 0xC2, 0xAF, 0xED, 0x81, 0xD4, 0xAE, 0xFF, 0xCF, 0xD3, 0xD1, 0x8F,
        0x34}},
      {"1.40", {}}, {"3.1", {}}, {"1", {}}, {"1..2", {}}, {"1.02", {}}, {"1.2.", {}}, {"1.2a", {}},
      {"2.25.1000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000", {}},
  };
  for (const auto &c : cases) {
    const auto oid = tavik::der::encode_oid(c.text);
    EXPECT_EQ(oid.ok, !c.der.empty()) << c.text;
    if (oid.ok) {
      EXPECT_EQ(raw(oid.bytes, oid.len), c.der) << c.text;
    }
  }
  uint8_t alg[64];
  size_t n = 0;
  ASSERT_EQ(tavik_der_algorithm_identifier(alg, sizeof alg, &n), 0);
  EXPECT_EQ(raw(alg, n), algorithm());
}

TEST(Containers, EncodersWriteTheLayoutAndDecodersReadItBack) {
  const Keys &k = keys();
  uint8_t der[TAVIK_PKCS8_MAX_BYTES];
  size_t n = 0;
  ASSERT_EQ(tavik_pk_to_der(der, sizeof der, &n, k.pk), 0);
  EXPECT_EQ(raw(der, n), spki(algorithm(), bit_string(k.pk)));
  uint8_t pk[TAVIK_PK_BYTES];
  ASSERT_EQ(tavik_pk_from_der(pk, der, n), 0);
  EXPECT_EQ(std::memcmp(pk, k.pk, sizeof pk), 0);

  struct Form {
    const uint8_t *seed, *sk;
    Bytes expected;
  } forms[] = {{k.seed, nullptr, pkcs8(V0, seed_choice(k.seed))},
               {nullptr, k.sk, pkcs8(V0, key_choice(k.sk))},
               {k.seed, k.sk, pkcs8(V0, both_choice(k.seed, k.sk))}};
  for (const auto &f : forms) {
    const uint32_t want = (f.seed ? TAVIK_FORM_SEED : 0u) | (f.sk ? TAVIK_FORM_KEY : 0u);
    ASSERT_EQ(tavik_sk_to_der(der, sizeof der, &n, f.seed, f.sk), 0);
    EXPECT_EQ(raw(der, n), f.expected) << want;
    uint8_t sk[TAVIK_SK_BYTES], seed[TAVIK_SEED_BYTES] = {};
    uint32_t form = 0;
    ASSERT_EQ(tavik_sk_from_der(sk, seed, &form, der, n), 0);
    EXPECT_EQ(form, want);
    EXPECT_EQ(std::memcmp(sk, k.sk, sizeof sk), 0);
    if (f.seed) {
      EXPECT_EQ(std::memcmp(seed, k.seed, sizeof seed), 0);
    }

    char pem[TAVIK_SK_PEM_MAX_BYTES];
    size_t len = 0;
    ASSERT_EQ(tavik_sk_to_pem(pem, sizeof pem, &len, f.seed, f.sk), 0);
    EXPECT_EQ(std::strlen(pem), len);
    uint8_t sk2[TAVIK_SK_BYTES];
    ASSERT_EQ(tavik_sk_from_pem(sk2, nullptr, nullptr, pem, len), 0);
    EXPECT_EQ(std::memcmp(sk2, k.sk, sizeof sk2), 0);
  }
  // Version 1 may carry the key's own public key.
  const Bytes v1 = pkcs8(V1, seed_choice(k.seed), v1_public_key(k.pk));
  uint8_t sk[TAVIK_SK_BYTES];
  EXPECT_EQ(tavik_sk_from_der(sk, nullptr, nullptr, v1.data(), v1.size()), 0);
}

// The armour's base64 against a plain table-driven encoder, 64 characters a line.
TEST(Containers, PemIsStandardBase64) {
  const Keys &k = keys();
  uint8_t der[TAVIK_SPKI_MAX_BYTES];
  size_t n = 0, len = 0;
  ASSERT_EQ(tavik_pk_to_der(der, sizeof der, &n, k.pk), 0);
  static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string b64;
  for (size_t i = 0; i < n; i += 3) {
    const uint32_t w = uint32_t(der[i]) << 16 | (i + 1 < n ? der[i + 1] << 8 : 0) | (i + 2 < n ? der[i + 2] : 0);
    for (size_t j = 0; j < 4; ++j) b64 += i + j <= n ? table[(w >> (18 - 6 * j)) & 63] : '=';
  }
  std::string want = "-----BEGIN PUBLIC KEY-----\n";
  for (size_t i = 0; i < b64.size(); i += 64) want += b64.substr(i, 64) + "\n";
  want += "-----END PUBLIC KEY-----\n";
  char pem[TAVIK_PK_PEM_MAX_BYTES];
  ASSERT_EQ(tavik_pk_to_pem(pem, sizeof pem, &len, k.pk), 0);
  EXPECT_EQ(std::string(pem, len), want);

  // Readers that wrap differently: 76 characters a line, CRLF, no final line end.
  std::string wide = "-----BEGIN PUBLIC KEY-----\r\n";
  for (size_t i = 0; i < b64.size(); i += 76) wide += b64.substr(i, 76) + "\r\n";
  wide += "-----END PUBLIC KEY-----";
  uint8_t pk[TAVIK_PK_BYTES];
  ASSERT_EQ(tavik_pk_from_pem(pk, wide.data(), wide.size()), 0);
  EXPECT_EQ(std::memcmp(pk, k.pk, sizeof pk), 0);
}

TEST(Containers, MalformedContainersAreRefusedWithTheirOwnCodes) {
  const Keys &k = keys(), &o = other_keys();
  const Bytes good_spki = spki(algorithm(), bit_string(k.pk));
  Bytes long_len = good_spki;  // the outer length as 83 00 05 xx
  long_len.erase(long_len.begin() + 1);
  long_len.insert(long_len.begin() + 1, {0x83, 0x00});
  Bytes indefinite = good_spki;
  indefinite[1] = 0x80;
  indefinite.erase(indefinite.begin() + 2, indefinite.begin() + 4);
  Bytes alg_long = algorithm();  // the identifier's length as 81 xx
  alg_long.insert(alg_long.begin() + 1, 0x81);
  Bytes wrong_oid = algorithm();
  wrong_oid.back() ^= 1;
  Bytes damaged = Bytes(k.sk, k.sk + TAVIK_SK_BYTES);
  damaged[930] ^= 1;  // inside tr

  struct Case {
    const char *name;
    bool secret;
    Bytes der;
    int32_t code;
  } cases[] = {
      {"empty", false, {}, TAVIK_DER_TRUNCATED},
      {"cut short", false, Bytes(good_spki.begin(), good_spki.end() - 1), TAVIK_DER_TRUNCATED},
      {"trailing byte", false, cat({good_spki, {0}}), TAVIK_DER_TRAILING_DATA},
      {"outer set", false, cat({{0x31}, Bytes(good_spki.begin() + 1, good_spki.end())}), TAVIK_DER_BAD_TAG},
      {"long length", false, long_len, TAVIK_DER_NOT_MINIMAL},
      {"indefinite length", false, indefinite, TAVIK_DER_NOT_MINIMAL},
      {"length in long form", false, spki(alg_long, bit_string(k.pk)), TAVIK_DER_NOT_MINIMAL},
      {"other algorithm", false, spki(wrong_oid, bit_string(k.pk)), TAVIK_DER_WRONG_ALGORITHM},
      {"NULL parameters", false, spki(algorithm({0x05, 0x00}), bit_string(k.pk)), TAVIK_DER_PARAMETERS_PRESENT},
      {"unused bits", false, spki(algorithm(), bit_string(k.pk, TAVIK_PK_BYTES, 1)), TAVIK_DER_BAD_BIT_STRING},
      {"short key", false, spki(algorithm(), bit_string(k.pk, TAVIK_PK_BYTES - 1)), TAVIK_DER_BAD_KEY_LENGTH},
      {"octet string key", false, spki(algorithm(), el(0x04, raw(k.pk, TAVIK_PK_BYTES))), TAVIK_DER_BAD_TAG},
      {"field after key", false, el(0x30, cat({algorithm(), bit_string(k.pk), {0x05, 0x00}})),
       TAVIK_DER_TRAILING_DATA},

      {"version 2", true, pkcs8({0x02, 0x01, 0x02}, seed_choice(k.seed)), TAVIK_DER_BAD_VERSION},
      {"version padded", true, pkcs8({0x02, 0x02, 0x00, 0x00}, seed_choice(k.seed)), TAVIK_DER_NOT_MINIMAL},
      {"empty version", true, pkcs8({0x02, 0x00}, seed_choice(k.seed)), TAVIK_DER_NOT_MINIMAL},
      // [1] and [0] in the other form than the public key's and the attributes' fields have.
      {"constructed [1]", true, pkcs8(V1, seed_choice(k.seed), el(0xA1, bit_string(k.pk))), TAVIK_DER_BAD_TAG},
      {"primitive [0]", true, pkcs8(V0, seed_choice(k.seed), el(0x80, {})), TAVIK_DER_BAD_TAG},
      {"attributes", true, pkcs8(V0, seed_choice(k.seed), el(0xA0, {})), TAVIK_DER_ATTRIBUTES_PRESENT},
      {"public key in version 0", true, pkcs8(V0, seed_choice(k.seed), v1_public_key(k.pk)), TAVIK_DER_BAD_VERSION},
      {"another public key", true, pkcs8(V1, seed_choice(k.seed), v1_public_key(o.pk)), TAVIK_DER_PUBLIC_KEY_MISMATCH},
      {"short seed", true, pkcs8(V0, seed_choice(k.seed, 31)), TAVIK_DER_BAD_KEY_LENGTH},
      {"unknown form", true, pkcs8(V0, el(0x05, {})), TAVIK_DER_BAD_TAG},
      {"empty private key", true, pkcs8(V0, {}), TAVIK_DER_TRUNCATED},
      {"byte after seed", true, pkcs8(V0, cat({seed_choice(k.seed), {0}})), TAVIK_DER_TRAILING_DATA},
      {"seed of another key", true, pkcs8(V0, both_choice(o.seed, k.sk)), TAVIK_DER_SEED_MISMATCH},
      {"damaged key", true, pkcs8(V0, key_choice(damaged.data())), TAVIK_DER_DAMAGED_KEY},
  };
  for (const auto &c : cases) {
    uint8_t out[TAVIK_SK_BYTES], before[TAVIK_SK_BYTES];
    std::memset(out, 0xA5, sizeof out);
    std::memcpy(before, out, sizeof out);
    const uint8_t *der = c.der.empty() ? before : c.der.data();
    const int32_t r = c.secret ? tavik_sk_from_der(out, nullptr, nullptr, der, c.der.size())
                               : tavik_pk_from_der(out, der, c.der.size());
    EXPECT_EQ(r, c.code) << c.name << ": " << tavik_der_error_string(r);
    EXPECT_EQ(std::memcmp(out, before, sizeof out), 0) << c.name << ": output written on refusal";
    EXPECT_STRNE(tavik_der_error_string(c.code), "") << c.name;
  }
}

TEST(Containers, MalformedArmourIsRefusedWithItsOwnCode) {
  const Keys &k = keys();
  char buf[TAVIK_SK_PEM_MAX_BYTES];
  size_t len = 0;
  ASSERT_EQ(tavik_sk_to_pem(buf, sizeof buf, &len, k.seed, nullptr), 0);
  const std::string good(buf, len);  // header, two base64 lines (the second padded), footer
  const size_t body = good.find('\n') + 1, second = good.find('\n', body) + 1, footer = good.find("-----END");
  auto with = [&](size_t at, size_t erase, const std::string &text) {
    std::string s = good;
    return s.replace(at, erase, text);
  };
  std::string bad_bits = good;  // the last data character before the padding: its unused bits set
  const size_t last = good.find_last_not_of("=\n", footer - 1);
  ASSERT_EQ(good[last + 1], '=');
  ++bad_bits[last];  // A, Q, g or w, whose low bits are 0, to the next character
  std::string huge = good.substr(0, body);
  for (int i = 0; i < 70; ++i) huge += std::string(64, 'A') + "\n";
  huge += good.substr(footer);

  struct Case {
    const char *name;
    std::string pem;
    int32_t code;
  } cases[] = {
      {"text before", "x" + good, TAVIK_PEM_BAD_HEADER},
      {"public label", with(11, 7, "PUBLIC"), TAVIK_PEM_BAD_HEADER},
      {"no footer", good.substr(0, footer), TAVIK_PEM_BAD_FOOTER},
      {"other footer", with(footer + 9, 7, "PUBLIC"), TAVIK_PEM_BAD_FOOTER},
      {"empty line", with(second, 0, "\n"), TAVIK_PEM_BAD_LINE},
      {"77 characters", with(second - 1, 1, ""), TAVIK_PEM_BAD_LINE},
      {"stray carriage return", with(body + 10, 0, "\r"), TAVIK_PEM_BAD_LINE},
      {"space", with(body + 10, 1, " "), TAVIK_PEM_BAD_BASE64},
      {"padding inside", with(body + 10, 1, "="), TAVIK_PEM_BAD_BASE64},
      {"unused bits set", bad_bits, TAVIK_PEM_BAD_BASE64},
      {"not whole groups", with(body + 10, 1, ""), TAVIK_PEM_BAD_BASE64},
      {"text after", good + "x", TAVIK_PEM_TRAILING_DATA},
      {"two line ends after", good + "\n", TAVIK_PEM_TRAILING_DATA},
      {"too long", huge, TAVIK_PEM_TOO_LONG},
  };
  for (const auto &c : cases) {
    uint8_t sk[TAVIK_SK_BYTES];
    EXPECT_EQ(tavik_sk_from_pem(sk, nullptr, nullptr, c.pem.data(), c.pem.size()), c.code) << c.name;
  }
}

TEST(Containers, ArgumentsAndRoom) {
  const Keys &k = keys();
  uint8_t der[TAVIK_PKCS8_MAX_BYTES], sk[TAVIK_SK_BYTES];
  size_t n = 0;
  EXPECT_EQ(tavik_sk_to_der(der, sizeof der, &n, nullptr, nullptr), TAVIK_ILLEGAL_PARAMETER);
  EXPECT_EQ(tavik_pk_to_der(nullptr, sizeof der, &n, k.pk), TAVIK_ILLEGAL_PARAMETER);
  EXPECT_EQ(tavik_sk_from_der(nullptr, nullptr, nullptr, der, 0), TAVIK_ILLEGAL_PARAMETER);
  EXPECT_EQ(tavik_sk_to_der(der, sizeof der, &n, other_keys().seed, k.sk), TAVIK_DER_SEED_MISMATCH);
  ASSERT_EQ(tavik_sk_to_der(der, sizeof der, &n, k.seed, k.sk), 0);
  const size_t need = n;
  std::memset(der, 0x5A, sizeof der);
  EXPECT_EQ(tavik_sk_to_der(der, need - 1, &n, k.seed, k.sk), TAVIK_DER_BUFFER_TOO_SMALL);
  EXPECT_EQ(der[0], 0x5A);
  char pem[TAVIK_SK_PEM_MAX_BYTES];
  ASSERT_EQ(tavik_sk_to_pem(pem, sizeof pem, &n, k.seed, k.sk), 0);
  EXPECT_EQ(tavik_sk_to_pem(pem, n, &n, k.seed, k.sk), TAVIK_DER_BUFFER_TOO_SMALL);  // no room for the NUL
  EXPECT_EQ(tavik_sk_from_der(sk, nullptr, nullptr, der, 0), TAVIK_DER_TRUNCATED);
}

// The generic calls under another identifier and other sizes: every form round trips, and neither
// the scheme's decoders nor the generic ones take the other's containers.
TEST(Containers, OtherAlgorithmsRoundTripAndStayApart) {
  const tavik_der_layout pair{"1.3.6.1.4.1.55555.7", TAVIK_PK_BYTES + 32, 32, TAVIK_SK_BYTES + 64};
  Bytes pk(pair.pk_bytes), sk(pair.sk_bytes), seed(pair.seed_bytes);
  for (size_t i = 0; i < pk.size(); ++i) pk[i] = uint8_t(i * 7);
  for (size_t i = 0; i < sk.size(); ++i) sk[i] = uint8_t(i * 13 + 1);
  for (size_t i = 0; i < seed.size(); ++i) seed[i] = uint8_t(i + 100);
  uint8_t der[TAVIK_DER_MAX_CONTAINER_BYTES], back[TAVIK_DER_MAX_KEY_BYTES];
  size_t n = 0;
  ASSERT_EQ(tavik_der_spki_encode(der, sizeof der, &n, &pair, pk.data()), 0);
  ASSERT_EQ(tavik_der_spki_decode(back, &pair, der, n), 0);
  EXPECT_EQ(raw(back, pk.size()), pk);
  uint8_t single[TAVIK_PK_BYTES];
  EXPECT_EQ(tavik_pk_from_der(single, der, n), TAVIK_DER_WRONG_ALGORITHM) << "a pair's key under the single OID";
  size_t m = 0;
  ASSERT_EQ(tavik_pk_to_der(der, sizeof der, &m, keys().pk), 0);
  EXPECT_EQ(tavik_der_spki_decode(back, &pair, der, m), TAVIK_DER_WRONG_ALGORITHM) << "a single key as a pair's";

  for (const uint32_t want : {TAVIK_FORM_SEED, TAVIK_FORM_KEY, TAVIK_FORM_BOTH}) {
    ASSERT_EQ(tavik_der_pkcs8_encode(der, sizeof der, &n, &pair, want & TAVIK_FORM_SEED ? seed.data() : nullptr,
                                     want & TAVIK_FORM_KEY ? sk.data() : nullptr),
              0);
    char pem[TAVIK_PEM_BYTES_FOR(TAVIK_DER_MAX_CONTAINER_BYTES)];
    size_t len = 0;
    ASSERT_EQ(tavik_der_to_pem(pem, sizeof pem, &len, "PRIVATE KEY", der, n), 0);
    uint8_t sk1[TAVIK_SK_BYTES];
    EXPECT_EQ(tavik_sk_from_der(sk1, nullptr, nullptr, der, n), TAVIK_DER_WRONG_ALGORITHM) << want;
    // The key forms' armour is longer than any of the scheme's: refused before the identifier.
    EXPECT_NE(tavik_sk_from_pem(sk1, nullptr, nullptr, pem, len), 0) << want;
    uint8_t der2[TAVIK_DER_MAX_CONTAINER_BYTES], s2[32] = {}, k2[TAVIK_DER_MAX_KEY_BYTES] = {}, p2[1];
    size_t n2 = 0;
    uint32_t form = 0;
    ASSERT_EQ(tavik_pem_to_der(der2, sizeof der2, &n2, "PRIVATE KEY", pem, len), 0);
    EXPECT_EQ(raw(der2, n2), raw(der, n));
    EXPECT_EQ(tavik_pem_to_der(der2, n2 - 1, &n2, "PRIVATE KEY", pem, len), TAVIK_DER_BUFFER_TOO_SMALL);
    EXPECT_EQ(tavik_pem_to_der(der2, sizeof der2, &n2, "PUBLIC KEY", pem, len), TAVIK_PEM_BAD_HEADER);
    ASSERT_EQ(tavik_der_pkcs8_decode(s2, k2, p2, &form, &pair, der, n), 0);
    EXPECT_EQ(form, want);
    if (want & TAVIK_FORM_SEED) {
      EXPECT_EQ(raw(s2, 32), seed);
    }
    if (want & TAVIK_FORM_KEY) {
      EXPECT_EQ(raw(k2, sk.size()), sk);
    }
  }
  // A version 1 key reports its public key; the scheme's own PKCS#8 is another algorithm's.
  const auto oid = tavik::der::encode_oid(pair.oid);
  const Bytes v1 = el(0x30, cat({V1, el(0x30, el(0x06, raw(oid.bytes, oid.len))), el(0x04, el(0x80, seed)),
                                 el(0x81, cat({{0}, pk}))}));
  uint8_t s3[32], k3[TAVIK_DER_MAX_KEY_BYTES], p3[TAVIK_DER_MAX_KEY_BYTES];
  uint32_t form = 0;
  ASSERT_EQ(tavik_der_pkcs8_decode(s3, k3, p3, &form, &pair, v1.data(), v1.size()), 0);
  EXPECT_EQ(form, TAVIK_FORM_SEED | TAVIK_FORM_PUBLIC);
  EXPECT_EQ(raw(p3, pk.size()), pk);
  ASSERT_EQ(tavik_sk_to_der(der, sizeof der, &n, keys().seed, nullptr), 0);
  EXPECT_EQ(tavik_der_pkcs8_decode(s3, k3, p3, &form, &pair, der, n), TAVIK_DER_WRONG_ALGORITHM);

  // Layouts no container can carry, and labels no armour line can.
  const tavik_der_layout bad[] = {{nullptr, 1, 1, 1}, {"1.40", 1, 1, 1}, {"1.2.3", 0, 1, 1},
                                  {"1.2.3", TAVIK_DER_MAX_KEY_BYTES + 1, 1, 1}, {"1.2.3", 1, 128, 1}};
  for (const auto &b : bad) EXPECT_EQ(tavik_der_spki_encode(der, sizeof der, &n, &b, pk.data()), TAVIK_ILLEGAL_PARAMETER);
  char pem[64];
  for (const char *label : {"", " KEY", "KEY ", "A  B", "private key", "A-B"})
    EXPECT_EQ(tavik_der_to_pem(pem, sizeof pem, &n, label, der, 1), TAVIK_ILLEGAL_PARAMETER) << label;
}

}  // namespace
