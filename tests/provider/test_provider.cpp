// The provider module through libcrypto's EVP interface, loaded into a library context of its
// own: signatures that the library's own calls accept and the reverse, keys through DER and PEM,
// the key's parameters and refusals, and eight threads signing and verifying with one key.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tavik.h"
#include "tavik_der.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Context {
  OSSL_LIB_CTX *lib = OSSL_LIB_CTX_new();
  OSSL_PROVIDER *tavik = nullptr, *deflt = nullptr;
  Context() {
    OSSL_PROVIDER_set_default_search_path(lib, TAVIK_PROVIDER_DIR);
    tavik = OSSL_PROVIDER_load(lib, "tavik");
    deflt = OSSL_PROVIDER_load(lib, "default");
  }
  ~Context() {
    OSSL_PROVIDER_unload(tavik);
    OSSL_PROVIDER_unload(deflt);
    OSSL_LIB_CTX_free(lib);
  }
};

class Provider : public testing::Test {
 protected:
  static Context *ctx;
  static void SetUpTestSuite() { ctx = new Context; }
  static void TearDownTestSuite() { delete ctx; }
  void SetUp() override {
    ASSERT_NE(ctx->tavik, nullptr) << "tavik.so not loaded from " << TAVIK_PROVIDER_DIR;
    ASSERT_NE(ctx->deflt, nullptr);
  }

  // A key made by the provider from a given seed, and the library's keys for the same seed.
  struct Keys {
    EVP_PKEY *pkey = nullptr;
    uint8_t seed[TAVIK_SEED_BYTES], pk[TAVIK_PK_BYTES], sk[TAVIK_SK_BYTES];
    ~Keys() { EVP_PKEY_free(pkey); }
  };
  static void make(Keys &k, uint8_t fill) {
    std::memset(k.seed, fill, sizeof k.seed);
    ASSERT_EQ(sig_keygen_from_seed(k.pk, k.sk, k.seed), 0);
    EVP_PKEY_CTX *gen = EVP_PKEY_CTX_new_from_name(ctx->lib, "tavik", nullptr);
    ASSERT_NE(gen, nullptr);
    const OSSL_PARAM params[] = {OSSL_PARAM_octet_string("seed", k.seed, sizeof k.seed), OSSL_PARAM_END};
    ASSERT_EQ(EVP_PKEY_keygen_init(gen), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_params(gen, params), 1);
    ASSERT_EQ(EVP_PKEY_generate(gen, &k.pkey), 1);
    EVP_PKEY_CTX_free(gen);
  }

  static Bytes digest_sign(EVP_PKEY *pkey, const Bytes &msg) {
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    Bytes sig(TAVIK_SIG_BYTES + 10);
    size_t len = sig.size();
    const bool ok = EVP_DigestSignInit_ex(md, nullptr, nullptr, ctx->lib, nullptr, pkey, nullptr) == 1 &&
                    EVP_DigestSign(md, sig.data(), &len, msg.data(), msg.size()) == 1;
    EVP_MD_CTX_free(md);
    sig.resize(ok ? len : 0);
    return sig;
  }
  static int digest_verify(EVP_PKEY *pkey, const Bytes &sig, const Bytes &msg) {
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    int r = EVP_DigestVerifyInit_ex(md, nullptr, nullptr, ctx->lib, nullptr, pkey, nullptr);
    if (r == 1) r = EVP_DigestVerify(md, sig.data(), sig.size(), msg.data(), msg.size());
    EVP_MD_CTX_free(md);
    return r;
  }
};
Context *Provider::ctx = nullptr;

Bytes message(size_t n, uint8_t salt) {
  Bytes m(n);
  for (size_t i = 0; i < n; ++i) m[i] = uint8_t(i * 31 + salt);
  return m;
}

TEST_F(Provider, KeysAreTheLibrarysAndReportTheirParameters) {
  Keys k;
  make(k, 7);
  uint8_t pk[TAVIK_PK_BYTES], sk[TAVIK_SK_BYTES];
  size_t n = 0;
  ASSERT_EQ(EVP_PKEY_get_octet_string_param(k.pkey, OSSL_PKEY_PARAM_PUB_KEY, pk, sizeof pk, &n), 1);
  EXPECT_EQ(std::memcmp(pk, k.pk, sizeof pk), 0);
  ASSERT_EQ(EVP_PKEY_get_octet_string_param(k.pkey, OSSL_PKEY_PARAM_PRIV_KEY, sk, sizeof sk, &n), 1);
  EXPECT_EQ(std::memcmp(sk, k.sk, sizeof sk), 0);
  EXPECT_EQ(EVP_PKEY_get_size(k.pkey), TAVIK_SIG_BYTES);
  EXPECT_EQ(EVP_PKEY_get_bits(k.pkey), 8 * TAVIK_PK_BYTES);
  EXPECT_GE(EVP_PKEY_get_security_bits(k.pkey), 128);
  EXPECT_TRUE(EVP_PKEY_is_a(k.pkey, "tavik"));
  EXPECT_TRUE(EVP_PKEY_is_a(k.pkey, tavik_der_oid()));
  char md[64];
  EXPECT_EQ(EVP_PKEY_get_default_digest_name(k.pkey, md, sizeof md), 2);  // mandatory: none
  EXPECT_STREQ(md, "UNDEF");

  EVP_PKEY_CTX *check = EVP_PKEY_CTX_new_from_pkey(ctx->lib, k.pkey, nullptr);
  EXPECT_EQ(EVP_PKEY_check(check), 1);
  EVP_PKEY_CTX_free(check);

  // Imported from the secret key alone, the key is the same; a seed with another key is refused.
  EVP_PKEY_CTX *from = EVP_PKEY_CTX_new_from_name(ctx->lib, "tavik", nullptr);
  EVP_PKEY *imported = nullptr, *mismatched = nullptr;
  OSSL_PARAM by_sk[] = {OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PRIV_KEY, k.sk, sizeof k.sk), OSSL_PARAM_END};
  uint8_t other_seed[TAVIK_SEED_BYTES] = {1};
  OSSL_PARAM both[] = {OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PRIV_KEY, k.sk, sizeof k.sk),
                       OSSL_PARAM_octet_string("seed", other_seed, sizeof other_seed), OSSL_PARAM_END};
  ASSERT_EQ(EVP_PKEY_fromdata_init(from), 1);
  ASSERT_EQ(EVP_PKEY_fromdata(from, &imported, EVP_PKEY_KEYPAIR, by_sk), 1);
  EXPECT_EQ(EVP_PKEY_eq(imported, k.pkey), 1);
  EXPECT_NE(EVP_PKEY_fromdata(from, &mismatched, EVP_PKEY_KEYPAIR, both), 1);
  EXPECT_EQ(mismatched, nullptr);
  ERR_clear_error();
  EVP_PKEY_free(imported);
  EVP_PKEY_CTX_free(from);

  // A digest is refused, with a reason a user can read.
  EVP_MD_CTX *mdctx = EVP_MD_CTX_new();
  EXPECT_NE(EVP_DigestSignInit_ex(mdctx, nullptr, "SHA256", ctx->lib, nullptr, k.pkey, nullptr), 1);
  char reason[256];
  ERR_error_string_n(ERR_peek_last_error(), reason, sizeof reason);
  EXPECT_NE(std::string(reason).find("no digest may be set"), std::string::npos) << reason;
  ERR_clear_error();
  EVP_MD_CTX_free(mdctx);
}

// Provider signatures verify with tavik_verify, the library's with the provider, in every way
// libcrypto passes a message: one piece, streamed pieces, and raw EVP_PKEY_sign.
TEST_F(Provider, SignaturesCrossBetweenProviderAndLibrary) {
  Keys k;
  make(k, 9);
  for (size_t len : {0, 1, 59, 3300, 10000}) {
    const Bytes msg = message(len, uint8_t(len));
    Bytes changed = msg;
    changed.push_back(1);

    const Bytes sig = digest_sign(k.pkey, msg);
    ASSERT_EQ(sig.size(), size_t(TAVIK_SIG_BYTES)) << len;
    EXPECT_EQ(tavik_verify(k.pk, sig.data(), sig.size(), msg.data(), msg.size()), 0) << len;
    EXPECT_EQ(tavik_verify(k.pk, sig.data(), sig.size(), changed.data(), changed.size()), 1) << len;

    Bytes lib_sig(TAVIK_SIG_BYTES);
    ASSERT_EQ(tavik_sign(k.sk, msg.data(), msg.size(), lib_sig.data()), 0);
    EXPECT_EQ(digest_verify(k.pkey, lib_sig, msg), 1) << len;
    EXPECT_EQ(digest_verify(k.pkey, lib_sig, changed), 0) << len;

    // Streamed in uneven pieces, with a size query and a signature taken midway.
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    ASSERT_EQ(EVP_DigestSignInit_ex(md, nullptr, nullptr, ctx->lib, nullptr, k.pkey, nullptr), 1);
    for (size_t off = 0; off < msg.size(); off += 777)
      ASSERT_EQ(EVP_DigestSignUpdate(md, msg.data() + off, std::min<size_t>(777, msg.size() - off)), 1);
    size_t n = 0;
    ASSERT_EQ(EVP_DigestSignFinal(md, nullptr, &n), 1);
    ASSERT_EQ(n, size_t(TAVIK_SIG_BYTES));
    Bytes streamed(n);
    ASSERT_EQ(EVP_DigestSignFinal(md, streamed.data(), &n), 1);
    EVP_MD_CTX_free(md);
    EXPECT_EQ(tavik_verify(k.pk, streamed.data(), n, msg.data(), msg.size()), 0) << len;

    md = EVP_MD_CTX_new();
    ASSERT_EQ(EVP_DigestVerifyInit_ex(md, nullptr, nullptr, ctx->lib, nullptr, k.pkey, nullptr), 1);
    for (size_t off = 0; off < msg.size(); off += 1000)
      ASSERT_EQ(EVP_DigestVerifyUpdate(md, msg.data() + off, std::min<size_t>(1000, msg.size() - off)), 1);
    EXPECT_EQ(EVP_DigestVerifyFinal(md, lib_sig.data(), lib_sig.size()), 1) << len;
    EVP_MD_CTX_free(md);

    // EVP_PKEY_sign and EVP_PKEY_verify over the message itself.
    EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new_from_pkey(ctx->lib, k.pkey, nullptr);
    Bytes raw(TAVIK_SIG_BYTES);
    n = raw.size() - 1;
    ASSERT_EQ(EVP_PKEY_sign_init(pctx), 1);
    EXPECT_NE(EVP_PKEY_sign(pctx, raw.data(), &n, msg.data(), msg.size()), 1);  // room for 2572 bytes: refused
    ERR_clear_error();
    n = raw.size();
    ASSERT_EQ(EVP_PKEY_sign(pctx, raw.data(), &n, msg.data(), msg.size()), 1);
    EXPECT_EQ(tavik_verify(k.pk, raw.data(), n, msg.data(), msg.size()), 0) << len;
    ASSERT_EQ(EVP_PKEY_verify_init(pctx), 1);
    EXPECT_EQ(EVP_PKEY_verify(pctx, lib_sig.data(), lib_sig.size(), msg.data(), msg.size()), 1) << len;
    EXPECT_NE(EVP_PKEY_verify(pctx, lib_sig.data(), lib_sig.size() - 1, msg.data(), msg.size()), 1) << len;
    EVP_PKEY_CTX_free(pctx);
  }
}

// DER and PEM, public and private, written by libcrypto through the provider's encoders are the
// library's containers, and read back through its decoders to the same key.
TEST_F(Provider, KeysRoundTripThroughDerAndPem) {
  Keys k;
  make(k, 11);
  uint8_t want[TAVIK_PKCS8_MAX_BYTES];
  size_t want_len = 0;

  unsigned char *der = nullptr;
  int len = i2d_PrivateKey(k.pkey, &der);
  ASSERT_GT(len, 0);
  ASSERT_EQ(tavik_sk_to_der(want, sizeof want, &want_len, k.seed, k.sk), 0);
  EXPECT_EQ(Bytes(der, der + len), Bytes(want, want + want_len));
  const unsigned char *p = der;
  EVP_PKEY *back = d2i_AutoPrivateKey_ex(nullptr, &p, len, ctx->lib, nullptr);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(EVP_PKEY_eq(back, k.pkey), 1);
  EVP_PKEY_free(back);
  OPENSSL_free(der);

  der = nullptr;
  len = i2d_PUBKEY(k.pkey, &der);
  ASSERT_GT(len, 0);
  ASSERT_EQ(tavik_pk_to_der(want, sizeof want, &want_len, k.pk), 0);
  EXPECT_EQ(Bytes(der, der + len), Bytes(want, want + want_len));
  p = der;
  back = d2i_PUBKEY_ex(nullptr, &p, len, ctx->lib, nullptr);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(EVP_PKEY_eq(back, k.pkey), 1);
  EVP_PKEY_free(back);
  OPENSSL_free(der);

  for (bool secret : {false, true}) {
    BIO *bio = BIO_new(BIO_s_mem());
    ASSERT_EQ(secret ? PEM_write_bio_PrivateKey(bio, k.pkey, nullptr, nullptr, 0, nullptr, nullptr)
                     : PEM_write_bio_PUBKEY(bio, k.pkey),
              1);
    char *text = nullptr;
    const long n = BIO_get_mem_data(bio, &text);
    char lib_pem[TAVIK_SK_PEM_MAX_BYTES];
    size_t lib_len = 0;
    ASSERT_EQ(secret ? tavik_sk_to_pem(lib_pem, sizeof lib_pem, &lib_len, k.seed, k.sk)
                     : tavik_pk_to_pem(lib_pem, sizeof lib_pem, &lib_len, k.pk),
              0);
    EXPECT_EQ(std::string(text, size_t(n)), std::string(lib_pem, lib_len));
    back = secret ? PEM_read_bio_PrivateKey_ex(bio, nullptr, nullptr, nullptr, ctx->lib, nullptr)
                  : PEM_read_bio_PUBKEY_ex(bio, nullptr, nullptr, nullptr, ctx->lib, nullptr);
    ASSERT_NE(back, nullptr) << secret;
    EXPECT_EQ(EVP_PKEY_eq(back, k.pkey), 1);
    EVP_PKEY_free(back);
    BIO_free(bio);
  }

  // A container of this algorithm that the strict decoder refuses is not read: a seed that does
  // not make the key beside it.
  ASSERT_EQ(tavik_sk_to_der(want, sizeof want, &want_len, k.seed, k.sk), 0);
  uint8_t sk[TAVIK_SK_BYTES];
  want[want_len - TAVIK_SK_BYTES - 8] ^= 1;  // inside the seed
  ASSERT_EQ(tavik_sk_from_der(sk, nullptr, nullptr, want, want_len), TAVIK_DER_SEED_MISMATCH);
  p = want;
  EXPECT_EQ(d2i_AutoPrivateKey_ex(nullptr, &p, long(want_len), ctx->lib, nullptr), nullptr);
  ERR_clear_error();
}

// Eight threads sign and verify at once with one key through one library context.
TEST_F(Provider, EightThreadsShareOneKey) {
  Keys k;
  make(k, 13);
  std::vector<int> failures(8, 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < failures.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 6; ++i) {
        const Bytes msg = message(100 + 37 * t + i, uint8_t(t));
        const Bytes sig = digest_sign(k.pkey, msg);
        if (sig.size() != TAVIK_SIG_BYTES || digest_verify(k.pkey, sig, msg) != 1 ||
            tavik_verify(k.pk, sig.data(), sig.size(), msg.data(), msg.size()) != 0)
          ++failures[t];
      }
    });
  }
  for (auto &th : threads) th.join();
  for (size_t t = 0; t < failures.size(); ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
