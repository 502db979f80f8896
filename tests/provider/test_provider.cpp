// The provider module through libcrypto's EVP interface, loaded into a library context of its
// own: signatures that the library's own calls accept and the reverse, keys through DER and PEM,
// the key's parameters and refusals, misuse of a context, the secret key wiped when freed, and
// eight threads signing and verifying with one key.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tavik.h"
#include "tavik_der.h"
#ifdef TAVIK_TEST_PAIR
#include "tavik_hybrid.h"
#include "tavik_hybrid_der.h"
#endif

namespace {

using Bytes = std::vector<uint8_t>;

// libcrypto's allocations, the provider's included (its secure-heap calls fall back to them, no
// secure heap being set up here), go through these functions, set before libcrypto allocates
// anything. A block keeps its size in front of it; while a pattern is watched, every block freed
// is searched for it, to see what a free leaves behind in memory given back.
namespace freed {
struct alignas(16) Header {
  size_t size;
};
std::atomic<const std::vector<Bytes> *> patterns{nullptr};
std::atomic<int> found{0};

void *take(size_t n, const char *, int) {
  auto *h = static_cast<Header *>(std::malloc(sizeof(Header) + n));
  if (h == nullptr) return nullptr;
  h->size = n;
  return h + 1;
}
void give(void *p, const char *, int) {
  if (p == nullptr) return;
  Header *h = static_cast<Header *>(p) - 1;
  const uint8_t *begin = static_cast<uint8_t *>(p), *end = begin + h->size;
  if (const std::vector<Bytes> *want = patterns.load())
    for (const Bytes &w : *want)
      if (std::search(begin, end, w.begin(), w.end()) != end) ++found;
  std::free(h);
}
void *resize(void *p, size_t n, const char *file, int line) {
  if (p == nullptr) return take(n, file, line);
  void *q = n > 0 ? take(n, file, line) : nullptr;
  if (q != nullptr) std::memcpy(q, p, std::min(n, (static_cast<Header *>(p) - 1)->size));
  if (q != nullptr || n == 0) give(p, file, line);
  return q;
}
const bool installed = CRYPTO_set_mem_functions(take, resize, give) == 1;

// How many times a block freed while `during` ran held one of `secrets`.
template <class F>
int count_in_freed(const std::vector<Bytes> &secrets, F during) {
  found = 0;
  patterns = &secrets;
  during();
  patterns = nullptr;
  return found.load();
}
}  // namespace freed

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
    Bytes sig(4096);  // room for either algorithm's signature
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
  EXPECT_EQ(EVP_PKEY_get_security_bits(k.pkey), 0);  // no strength figure is claimed
  EXPECT_TRUE(EVP_PKEY_is_a(k.pkey, "tavik"));
  EXPECT_TRUE(EVP_PKEY_is_a(k.pkey, tavik_der_oid()));
  char md[64];
  // No digest, said as the default rather than as mandatory: on a mandatory one the openssl program
  // drops a digest the user named instead of letting the signature refuse it.
  EXPECT_EQ(EVP_PKEY_get_default_digest_name(k.pkey, md, sizeof md), 1);
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
  // Keys compare by their public keys: another key pair differs, a public key alone matches its pair.
  Keys other;
  make(other, 8);
  EVP_PKEY *public_only = nullptr;
  OSSL_PARAM by_pk[] = {OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PUB_KEY, k.pk, sizeof k.pk), OSSL_PARAM_END};
  ASSERT_EQ(EVP_PKEY_fromdata(from, &public_only, EVP_PKEY_PUBLIC_KEY, by_pk), 1);
  EXPECT_EQ(EVP_PKEY_eq(other.pkey, k.pkey), 0);
  EXPECT_EQ(EVP_PKEY_eq(public_only, k.pkey), 1);
  EXPECT_EQ(EVP_PKEY_eq(public_only, other.pkey), 0);
  EVP_PKEY_free(public_only);
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

// Every altered signature is refused in each way libcrypto verifies, streamed too: the library's
// refusal codes (-2 for a signature of the wrong length) never count as valid.
TEST_F(Provider, AlteredSignaturesAreRefused) {
  Keys k;
  make(k, 15);
  const Bytes msg = message(500, 3);
  Bytes sig(TAVIK_SIG_BYTES);
  ASSERT_EQ(tavik_sign(k.sk, msg.data(), msg.size(), sig.data()), 0);
  Bytes flipped = sig;
  flipped[1000] ^= 1;
  const struct {
    const char *name;
    Bytes sig;
    bool valid;
  } cases[] = {
      {"the signature", sig, true},
      {"cut by 100 bytes", Bytes(sig.begin(), sig.end() - 100), false},
      {"one byte more", [&] { Bytes b = sig; b.push_back(0); return b; }(), false},
      {"empty", Bytes(), false},
      {"one bit changed", flipped, false},
  };
  EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new_from_pkey(ctx->lib, k.pkey, nullptr);
  for (const auto &c : cases) {
    const uint8_t none = 0, *p = c.sig.empty() ? &none : c.sig.data();
    EXPECT_EQ(digest_verify(k.pkey, c.sig, msg) == 1, c.valid) << c.name;
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    ASSERT_EQ(EVP_DigestVerifyInit_ex(md, nullptr, nullptr, ctx->lib, nullptr, k.pkey, nullptr), 1);
    ASSERT_EQ(EVP_DigestVerifyUpdate(md, msg.data(), 100), 1);
    ASSERT_EQ(EVP_DigestVerifyUpdate(md, msg.data() + 100, msg.size() - 100), 1);
    EXPECT_EQ(EVP_DigestVerifyFinal(md, p, c.sig.size()) == 1, c.valid) << c.name << " (streamed)";
    EVP_MD_CTX_free(md);
    ASSERT_EQ(EVP_PKEY_verify_init(pctx), 1);
    EXPECT_EQ(EVP_PKEY_verify(pctx, p, c.sig.size(), msg.data(), msg.size()) == 1, c.valid) << c.name << " (raw)";
  }
  EVP_PKEY_CTX_free(pctx);
  ERR_clear_error();
}

// Every error on the queue, which it empties.
std::string reasons() {
  std::string all;
  char text[256];
  while (const unsigned long e = ERR_get_error()) {
    ERR_error_string_n(e, text, sizeof text);
    all += std::string(text) + "\n";
  }
  return all;
}

// Under EVP_MD_CTX_FLAG_FINALISE libcrypto runs the final call on the context itself: after it,
// further pieces and finals are refused until the context is initialised again ("Final,
// Update(B), Final" would otherwise sign B alone). Without the flag it finishes a copy, and the
// context goes on with the whole message (checked in SignaturesCrossBetweenProviderAndLibrary).
TEST_F(Provider, FinishedContextsRefuseMorePieces) {
  Keys k;
  make(k, 17);
  const Bytes a = message(100, 1), b = message(200, 2);
  Bytes sig(TAVIK_SIG_BYTES), sig_b(TAVIK_SIG_BYTES);
  ASSERT_EQ(tavik_sign(k.sk, b.data(), b.size(), sig_b.data()), 0);
  size_t n = sig.size();
  for (bool signing : {true, false}) {
    SCOPED_TRACE(signing ? "signing" : "verifying");
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    EVP_MD_CTX_set_flags(md, EVP_MD_CTX_FLAG_FINALISE);
    auto init = [&] {
      return signing ? EVP_DigestSignInit_ex(md, nullptr, nullptr, ctx->lib, nullptr, k.pkey, nullptr)
                     : EVP_DigestVerifyInit_ex(md, nullptr, nullptr, ctx->lib, nullptr, k.pkey, nullptr);
    };
    auto update = [&](const Bytes &m) {
      return signing ? EVP_DigestSignUpdate(md, m.data(), m.size()) : EVP_DigestVerifyUpdate(md, m.data(), m.size());
    };
    // Signing writes sig; verifying checks sig_b, B's signature.
    auto final = [&] {
      n = sig.size();
      return signing ? EVP_DigestSignFinal(md, sig.data(), &n) : EVP_DigestVerifyFinal(md, sig_b.data(), sig_b.size());
    };
    ASSERT_EQ(init(), 1);
    ASSERT_EQ(update(a), 1);
    if (signing) {
      ASSERT_EQ(final(), 1);
      EXPECT_EQ(tavik_verify(k.pk, sig.data(), n, a.data(), a.size()), 0);
    } else {
      EXPECT_NE(final(), 1);  // B's signature, A's message
      ERR_clear_error();
    }
    EXPECT_NE(update(b), 1);
    EXPECT_NE(reasons().find("finished"), std::string::npos);
    EXPECT_NE(final(), 1);
    EXPECT_NE(reasons().find("finished"), std::string::npos);
    // Initialised again, the context takes a new message.
    ASSERT_EQ(init(), 1);
    ASSERT_EQ(update(b), 1);
    ASSERT_EQ(final(), 1);
    if (signing) {
      EXPECT_EQ(tavik_verify(k.pk, sig.data(), n, b.data(), b.size()), 0);
    }
    EVP_MD_CTX_free(md);
  }
}

// A digest is refused however it is set, with the provider's reason, and a context it was set on
// signs nothing afterwards (it would sign the digest bytes given as the message).
TEST_F(Provider, DigestsAreRefusedHoweverTheyAreSet) {
  Keys k;
  make(k, 19);
  const Bytes msg = message(32, 5);
  char sha256[] = "SHA256";
  const OSSL_PARAM with_digest[] = {OSSL_PARAM_utf8_string(OSSL_SIGNATURE_PARAM_DIGEST, sha256, 0), OSSL_PARAM_END};
  const struct {
    const char *name;
    bool one_shot;  // EVP_PKEY_sign on the context, else EVP_DigestSign
    int (*set)(EVP_MD_CTX *, EVP_PKEY_CTX *, EVP_PKEY *, OSSL_LIB_CTX *, const OSSL_PARAM *);
  } cases[] = {
      {"digest name at init", false,
       [](EVP_MD_CTX *md, EVP_PKEY_CTX *, EVP_PKEY *key, OSSL_LIB_CTX *lib, const OSSL_PARAM *) {
         return EVP_DigestSignInit_ex(md, nullptr, "SHA256", lib, nullptr, key, nullptr);
       }},
      {"digest name at verification's init", false,
       [](EVP_MD_CTX *md, EVP_PKEY_CTX *, EVP_PKEY *key, OSSL_LIB_CTX *lib, const OSSL_PARAM *) {
         return EVP_DigestVerifyInit_ex(md, nullptr, "SHA512", lib, nullptr, key, nullptr);
       }},
      {"digest in the init parameters", false,
       [](EVP_MD_CTX *md, EVP_PKEY_CTX *, EVP_PKEY *key, OSSL_LIB_CTX *lib, const OSSL_PARAM *params) {
         return EVP_DigestSignInit_ex(md, nullptr, nullptr, lib, nullptr, key, params);
       }},
      {"digest set after EVP_DigestSignInit", false,
       [](EVP_MD_CTX *md, EVP_PKEY_CTX *, EVP_PKEY *key, OSSL_LIB_CTX *lib, const OSSL_PARAM *) {
         EVP_PKEY_CTX *inner = nullptr;
         if (EVP_DigestSignInit_ex(md, &inner, nullptr, lib, nullptr, key, nullptr) != 1) return -100;
         return EVP_PKEY_CTX_set_signature_md(inner, EVP_sha256());
       }},
      {"digest in EVP_PKEY_sign_init_ex's parameters", true,
       [](EVP_MD_CTX *, EVP_PKEY_CTX *pctx, EVP_PKEY *, OSSL_LIB_CTX *, const OSSL_PARAM *params) {
         return EVP_PKEY_sign_init_ex(pctx, params);
       }},
      {"EVP_PKEY_CTX_set_signature_md", true,
       [](EVP_MD_CTX *, EVP_PKEY_CTX *pctx, EVP_PKEY *, OSSL_LIB_CTX *, const OSSL_PARAM *) {
         if (EVP_PKEY_sign_init(pctx) != 1) return -100;
         return EVP_PKEY_CTX_set_signature_md(pctx, EVP_sha256());
       }},
  };
  for (const auto &c : cases) {
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new_from_pkey(ctx->lib, k.pkey, nullptr);
    const int r = c.set(md, pctx, k.pkey, ctx->lib, with_digest);
    EXPECT_NE(r, -100) << c.name << ": the init before it failed";
    EXPECT_LE(r, 0) << c.name;
    const std::string why = reasons();
    EXPECT_NE(why.find("no digest may be set"), std::string::npos) << c.name << ": " << why;
    Bytes sig(TAVIK_SIG_BYTES);
    size_t n = sig.size();
    EXPECT_NE(c.one_shot ? EVP_PKEY_sign(pctx, sig.data(), &n, msg.data(), msg.size())
                         : EVP_DigestSign(md, sig.data(), &n, msg.data(), msg.size()),
              1)
        << c.name << ": signed after the refusal";
    ERR_clear_error();
    EVP_PKEY_CTX_free(pctx);
    EVP_MD_CTX_free(md);
  }
}

// The "context-string" parameter, however it reaches the operation (init parameters of one-piece
// EVP_DigestSign/Verify, EVP_MD_CTX_set_params before a streamed message, EVP_PKEY_CTX_set_params
// before EVP_PKEY_sign/verify), binds the signature to its context, for the library and the
// provider alike. The key is fresh: its first use takes the stored keys, the rest the expanded ones.
TEST_F(Provider, ContextsBindSignatures) {
  Keys k;
  make(k, 23);
  const Bytes msg = message(59, 6), a(32, 'a'), b = [&] { Bytes c = a; c[31] ^= 1; return c; }();
  const Bytes empty, longest(TAVIK_MAX_CONTEXT_BYTES, 0xc5);
  enum Way { AT_INIT, STREAMED, RAW };
  // Signing fills sig (empty on failure); verifying gives libcrypto's verdict, -100 if setup failed.
  auto run = [&](Way way, bool signing, const Bytes *c, Bytes &sig) {
    uint8_t *data = const_cast<uint8_t *>(c != nullptr ? c->data() : nullptr);
    OSSL_PARAM p[] = {OSSL_PARAM_octet_string("context-string", data, c != nullptr ? c->size() : 0),
                      OSSL_PARAM_END};
    if (signing) sig.assign(TAVIK_SIG_BYTES, 0);
    size_t n = sig.size();
    int r = -100;
    if (way == RAW) {
      EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new_from_pkey(ctx->lib, k.pkey, nullptr);
      if ((signing ? EVP_PKEY_sign_init(pctx) : EVP_PKEY_verify_init(pctx)) == 1 &&
          (c == nullptr || EVP_PKEY_CTX_set_params(pctx, p) == 1))
        r = signing ? EVP_PKEY_sign(pctx, sig.data(), &n, msg.data(), msg.size())
                    : EVP_PKEY_verify(pctx, sig.data(), n, msg.data(), msg.size());
      EVP_PKEY_CTX_free(pctx);
    } else {
      EVP_MD_CTX *md = EVP_MD_CTX_new();
      const OSSL_PARAM *at_init = way == AT_INIT && c != nullptr ? p : nullptr;
      if ((signing ? EVP_DigestSignInit_ex(md, nullptr, nullptr, ctx->lib, nullptr, k.pkey, at_init)
                   : EVP_DigestVerifyInit_ex(md, nullptr, nullptr, ctx->lib, nullptr, k.pkey, at_init)) == 1 &&
          (way == AT_INIT || c == nullptr || EVP_MD_CTX_set_params(md, p) == 1)) {
        auto update = signing ? EVP_DigestSignUpdate : EVP_DigestVerifyUpdate;
        if (way == AT_INIT)
          r = signing ? EVP_DigestSign(md, sig.data(), &n, msg.data(), msg.size())
                      : EVP_DigestVerify(md, sig.data(), n, msg.data(), msg.size());
        else if (update(md, msg.data(), 20) == 1 && update(md, msg.data() + 20, msg.size() - 20) == 1)
          r = signing ? EVP_DigestSignFinal(md, sig.data(), &n) : EVP_DigestVerifyFinal(md, sig.data(), n);
      }
      EVP_MD_CTX_free(md);
    }
    if (signing) sig.resize(r == 1 ? n : 0);
    ERR_clear_error();
    return r;
  };
  auto lib_verify = [&](const Bytes *c, const Bytes &sig) {
    return tavik_verify_ctx(k.pk, c != nullptr ? c->data() : nullptr, c != nullptr ? c->size() : 0, sig.data(),
                            sig.size(), msg.data(), msg.size());
  };
  for (Way way : {AT_INIT, STREAMED, RAW}) {
    SCOPED_TRACE(way);
    Bytes sig_a, sig_long, sig_empty, lib_sig(TAVIK_SIG_BYTES), plain = digest_sign(k.pkey, msg);
    ASSERT_EQ(run(way, true, &a, sig_a), 1);
    EXPECT_EQ(lib_verify(&a, sig_a), 0);
    EXPECT_EQ(lib_verify(nullptr, sig_a), 1) << "a context's signature passed as one without a context";
    EXPECT_EQ(lib_verify(&b, sig_a), 1) << "context A's signature passed under context B";
    EXPECT_EQ(run(way, false, &a, sig_a), 1);
    EXPECT_EQ(run(way, false, nullptr, sig_a), 0) << "verified without the context it was made under";
    EXPECT_EQ(run(way, false, &b, sig_a), 0) << "verified under another context";
    EXPECT_EQ(run(way, false, &a, plain), 0) << "a signature without a context verified under one";
    ASSERT_EQ(tavik_sign_ctx(k.sk, a.data(), a.size(), msg.data(), msg.size(), lib_sig.data()), 0);
    EXPECT_EQ(run(way, false, &a, lib_sig), 1);
    ASSERT_EQ(run(way, true, &longest, sig_long), 1);
    EXPECT_EQ(lib_verify(&longest, sig_long), 0);
    // An empty context is no context, both ways.
    ASSERT_EQ(run(way, true, &empty, sig_empty), 1);
    EXPECT_EQ(tavik_verify(k.pk, sig_empty.data(), sig_empty.size(), msg.data(), msg.size()), 0);
    EXPECT_EQ(run(way, false, &empty, plain), 1);
  }
}

// A context of 256 bytes, or one set once a streamed message has begun, is refused, and the
// operation then signs nothing until initialised again (it would sign under the wrong context). A
// new init clears the context; the context set reads back.
TEST_F(Provider, ContextsRefusedAndReset) {
  Keys k;
  make(k, 25);
  const Bytes msg = message(40, 8), too_long(TAVIK_MAX_CONTEXT_BYTES + 1, 1), abc = {'A', 'B', 'C'};
  const OSSL_PARAM set_long[] = {OSSL_PARAM_octet_string("context-string", const_cast<uint8_t *>(too_long.data()),
                                                         too_long.size()),
                                 OSSL_PARAM_END};
  const OSSL_PARAM set_abc[] = {
      OSSL_PARAM_octet_string("context-string", const_cast<uint8_t *>(abc.data()), abc.size()), OSSL_PARAM_END};
  Bytes sig(TAVIK_SIG_BYTES);
  size_t n = sig.size();

  EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new_from_pkey(ctx->lib, k.pkey, nullptr);
  ASSERT_EQ(EVP_PKEY_sign_init(pctx), 1);
  EXPECT_LE(EVP_PKEY_CTX_set_params(pctx, set_long), 0);
  EXPECT_NE(reasons().find("context-string refused"), std::string::npos);
  EXPECT_NE(EVP_PKEY_sign(pctx, sig.data(), &n, msg.data(), msg.size()), 1) << "signed after a refused context";
  ERR_clear_error();
  // Initialised again, with a context read back, then again without one: the context is gone.
  ASSERT_EQ(EVP_PKEY_sign_init_ex(pctx, set_abc), 1);
  uint8_t got[8] = {0};
  OSSL_PARAM get[] = {OSSL_PARAM_octet_string("context-string", got, sizeof got), OSSL_PARAM_END};
  ASSERT_EQ(EVP_PKEY_CTX_get_params(pctx, get), 1);
  EXPECT_EQ(Bytes(got, got + get[0].return_size), abc);
  ASSERT_EQ(EVP_PKEY_sign_init(pctx), 1);
  n = sig.size();
  ASSERT_EQ(EVP_PKEY_sign(pctx, sig.data(), &n, msg.data(), msg.size()), 1);
  EXPECT_EQ(tavik_verify(k.pk, sig.data(), n, msg.data(), msg.size()), 0);
  EVP_PKEY_CTX_free(pctx);

  EVP_MD_CTX *md = EVP_MD_CTX_new();
  ASSERT_EQ(EVP_DigestSignInit_ex(md, nullptr, nullptr, ctx->lib, nullptr, k.pkey, nullptr), 1);
  ASSERT_EQ(EVP_DigestSignUpdate(md, msg.data(), msg.size()), 1);
  EXPECT_LE(EVP_MD_CTX_set_params(md, set_abc), 0) << "context changed after the message began";
  EXPECT_NE(reasons().find("context-string refused"), std::string::npos);
  n = sig.size();
  EXPECT_NE(EVP_DigestSignFinal(md, sig.data(), &n), 1);
  ERR_clear_error();
  EVP_MD_CTX_free(md);
}

// Freeing a key, and a context whose streamed signature holds a copy of it, leaves none of its
// secret bytes in the memory given back: the seed, the signing seed after rho, and the start of
// s1. The key is used twice first, so that it has made its expanded form.
TEST_F(Provider, FreedKeysLeaveNoSecretBehind) {
  ASSERT_TRUE(freed::installed) << "libcrypto allocated before the test set its allocation functions";
  Keys k;
  make(k, 21);
  const Bytes msg = message(300, 4);
  ASSERT_EQ(digest_sign(k.pkey, msg).size(), size_t(TAVIK_SIG_BYTES));
  ASSERT_EQ(digest_sign(k.pkey, msg).size(), size_t(TAVIK_SIG_BYTES));
  EVP_MD_CTX *midway = EVP_MD_CTX_new();
  ASSERT_EQ(EVP_DigestSignInit_ex(midway, nullptr, nullptr, ctx->lib, nullptr, k.pkey, nullptr), 1);
  ASSERT_EQ(EVP_DigestSignUpdate(midway, msg.data(), msg.size()), 1);
  const std::vector<Bytes> secrets = {Bytes(k.seed, k.seed + 32), Bytes(k.sk + 32, k.sk + 64), Bytes(k.sk + 64, k.sk + 96)};
  // The watch sees secret bytes in a block freed unwiped.
  EXPECT_EQ(freed::count_in_freed(secrets, [&] { OPENSSL_free(OPENSSL_memdup(k.sk + 32, 64)); }), 2);
  EXPECT_EQ(freed::count_in_freed(secrets,
                                  [&] {
                                    EVP_MD_CTX_free(midway);
                                    EVP_PKEY_free(k.pkey);
                                    k.pkey = nullptr;
                                  }),
            0);
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

#ifdef TAVIK_TEST_PAIR
// The hybrid pair through libcrypto: the provider's keys are the library's for the same seed, its
// signatures verify with tavik_hybrid_verify and the library's with it (one piece, streamed, raw,
// under a context), its containers are the pair's, and a single scheme's key is not a pair's.
TEST_F(Provider, PairKeysSignaturesAndContainersAreTheHybridLibrarys) {
  uint8_t seed[TAVIK_HYBRID_SEED_BYTES], pk[TAVIK_HYBRID_PK_BYTES], sk[TAVIK_HYBRID_SK_BYTES];
  std::memset(seed, 0x5c, sizeof seed);
  ASSERT_EQ(tavik_hybrid_keygen_from_seed(pk, sk, seed), 0);
  EVP_PKEY_CTX *gen = EVP_PKEY_CTX_new_from_name(ctx->lib, "tavik-ed25519", nullptr);
  ASSERT_NE(gen, nullptr);
  const OSSL_PARAM params[] = {OSSL_PARAM_octet_string("seed", seed, sizeof seed), OSSL_PARAM_END};
  EVP_PKEY *pkey = nullptr;
  ASSERT_EQ(EVP_PKEY_keygen_init(gen), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_params(gen, params), 1);
  ASSERT_EQ(EVP_PKEY_generate(gen, &pkey), 1);
  EVP_PKEY_CTX_free(gen);
  uint8_t got[TAVIK_HYBRID_SK_BYTES];
  size_t n = 0;
  ASSERT_EQ(EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, got, sizeof got, &n), 1);
  EXPECT_EQ(Bytes(got, got + n), Bytes(pk, pk + sizeof pk));
  ASSERT_EQ(EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PRIV_KEY, got, sizeof got, &n), 1);
  EXPECT_EQ(Bytes(got, got + n), Bytes(sk, sk + sizeof sk));
  EXPECT_TRUE(EVP_PKEY_is_a(pkey, TAVIK_HYBRID_OID_TEXT));
  EXPECT_FALSE(EVP_PKEY_is_a(pkey, "tavik"));
  EXPECT_EQ(EVP_PKEY_get_size(pkey), TAVIK_HYBRID_SIG_BYTES);

  const uint8_t context[] = {'a', 'p', 'p'};
  for (size_t len : {0, 59, 10000}) {
    const Bytes msg = message(len, 5);
    const Bytes sig = digest_sign(pkey, msg);
    ASSERT_EQ(sig.size(), size_t(TAVIK_HYBRID_SIG_BYTES)) << len;
    EXPECT_EQ(tavik_hybrid_verify(pk, nullptr, 0, sig.data(), sig.size(), msg.data(), msg.size()), 0) << len;
    Bytes lib_sig(TAVIK_HYBRID_SIG_BYTES);
    ASSERT_EQ(tavik_hybrid_sign_deterministic(sk, nullptr, 0, msg.data(), msg.size(), lib_sig.data()), 0);
    EXPECT_EQ(digest_verify(pkey, lib_sig, msg), 1) << len;
    // The tavik half with another message's Ed25519 half: refused.
    Bytes other(TAVIK_HYBRID_SIG_BYTES);
    ASSERT_EQ(tavik_hybrid_sign_deterministic(sk, nullptr, 0, context, sizeof context, other.data()), 0);
    std::copy(other.begin() + TAVIK_HYBRID_SIG_ED25519_OFFSET, other.end(), lib_sig.begin() + TAVIK_HYBRID_SIG_ED25519_OFFSET);
    EXPECT_EQ(digest_verify(pkey, lib_sig, msg), 0) << len;

    // Streamed in pieces.
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    ASSERT_EQ(EVP_DigestSignInit_ex(md, nullptr, nullptr, ctx->lib, nullptr, pkey, nullptr), 1);
    for (size_t off = 0; off < msg.size(); off += 777)
      ASSERT_EQ(EVP_DigestSignUpdate(md, msg.data() + off, std::min<size_t>(777, msg.size() - off)), 1);
    Bytes streamed(TAVIK_HYBRID_SIG_BYTES);
    n = streamed.size();
    ASSERT_EQ(EVP_DigestSignFinal(md, streamed.data(), &n), 1);
    EVP_MD_CTX_free(md);
    EXPECT_EQ(tavik_hybrid_verify(pk, nullptr, 0, streamed.data(), n, msg.data(), msg.size()), 0) << len;

    // Raw, under a context: it binds the signature.
    EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new_from_pkey(ctx->lib, pkey, nullptr);
    const OSSL_PARAM with_context[] = {OSSL_PARAM_octet_string("context-string", const_cast<uint8_t *>(context),
                                                               sizeof context),
                                       OSSL_PARAM_END};
    Bytes raw(TAVIK_HYBRID_SIG_BYTES);
    n = raw.size();
    ASSERT_EQ(EVP_PKEY_sign_init_ex(pctx, with_context), 1);
    ASSERT_EQ(EVP_PKEY_sign(pctx, raw.data(), &n, msg.data(), msg.size()), 1);
    EVP_PKEY_CTX_free(pctx);
    EXPECT_EQ(tavik_hybrid_verify(pk, context, sizeof context, raw.data(), n, msg.data(), msg.size()), 0) << len;
    EXPECT_EQ(tavik_hybrid_verify(pk, nullptr, 0, raw.data(), n, msg.data(), msg.size()), 1) << len;
  }

  // The containers libcrypto writes are the pair's, and read back to the same key.
  unsigned char *der = nullptr;
  int len = i2d_PUBKEY(pkey, &der);
  uint8_t want[TAVIK_HYBRID_PKCS8_MAX_BYTES];
  size_t want_len = 0;
  ASSERT_EQ(tavik_hybrid_pk_to_der(want, sizeof want, &want_len, pk), 0);
  EXPECT_EQ(Bytes(der, der + len), Bytes(want, want + want_len));
  const unsigned char *p = der;
  EVP_PKEY *back = d2i_PUBKEY_ex(nullptr, &p, len, ctx->lib, nullptr);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(EVP_PKEY_eq(back, pkey), 1);
  EVP_PKEY_free(back);
  OPENSSL_free(der);
  der = nullptr;
  len = i2d_PrivateKey(pkey, &der);
  ASSERT_EQ(tavik_hybrid_sk_to_der(want, sizeof want, &want_len, seed, sk), 0);
  EXPECT_EQ(Bytes(der, der + len), Bytes(want, want + want_len));
  p = der;
  back = d2i_AutoPrivateKey_ex(nullptr, &p, len, ctx->lib, nullptr);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(EVP_PKEY_eq(back, pkey), 1);
  EVP_PKEY_free(back);
  OPENSSL_free(der);

  // A single scheme's key is not the pair's tavik half: never equal, its signatures never pass.
  Keys single;
  make(single, 0x5c);
  EXPECT_NE(EVP_PKEY_eq(single.pkey, pkey), 1);
  const Bytes msg = message(59, 1);
  EXPECT_NE(digest_verify(pkey, digest_sign(single.pkey, msg), msg), 1);
  ERR_clear_error();
  EVP_PKEY_free(pkey);
}
#endif

}  // namespace
