// The token module loaded as clients load it (dlopen, C_GetInterface), against the library: its
// deterministic signatures byte for byte, its refusals, its files, and sessions in many threads.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "p11.h"
#include "tavik_der.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

CK_FUNCTION_LIST_3_0 *F = nullptr;
std::string g_dir;
CK_UTF8CHAR SO_PIN[] = "so-secret", USER_PIN[] = "user-secret";
constexpr CK_SLOT_ID SLOT = 0;

CK_FUNCTION_LIST_3_0 *load() {
  void *h = dlopen(TAVIK_PKCS11_MODULE, RTLD_NOW | RTLD_LOCAL);
  if (!h) return nullptr;
  auto get = reinterpret_cast<CK_RV (*)(CK_UTF8CHAR_PTR, CK_VERSION_PTR, CK_INTERFACE_PTR_PTR, CK_FLAGS)>(
      dlsym(h, "C_GetInterface"));
  CK_INTERFACE_PTR i = nullptr;
  CK_VERSION v3 = {3, 0};
  if (!get || get(nullptr, &v3, &i, 0) != CKR_OK) return nullptr;
  return static_cast<CK_FUNCTION_LIST_3_0 *>(i->pFunctionList);
}

CK_SESSION_HANDLE open(bool rw = true) {
  CK_SESSION_HANDLE s = 0;
  EXPECT_EQ(F->C_OpenSession(SLOT, CKF_SERIAL_SESSION | (rw ? CKF_RW_SESSION : 0), nullptr, nullptr, &s), CKR_OK);
  return s;
}

struct Pair {
  CK_OBJECT_HANDLE pub = 0, priv = 0;
};

// A token key pair from a seed (or fresh), labelled.
Pair generate(CK_SESSION_HANDLE s, const uint8_t *seed, const char *label, CK_BBOOL token = CK_TRUE) {
  CK_MECHANISM m = {TAVIK_CKM_KEY_PAIR_GEN, const_cast<uint8_t *>(seed), seed ? CK_ULONG(TAVIK_SEED_BYTES) : 0};
  CK_ATTRIBUTE t[] = {{CKA_TOKEN, &token, 1}, {CKA_LABEL, const_cast<char *>(label), strlen(label)}};
  Pair p;
  EXPECT_EQ(F->C_GenerateKeyPair(s, &m, t, 2, t, 2, &p.pub, &p.priv), CKR_OK);
  return p;
}

Bytes sign(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mech, const Bytes &param, const Bytes &data,
           size_t parts, CK_RV *rv_out = nullptr) {
  CK_MECHANISM m = {mech, param.empty() ? nullptr : const_cast<uint8_t *>(param.data()), param.size()};
  Bytes sig(TAVIK_SIG_BYTES);
  CK_ULONG n = sig.size();
  CK_RV rv = F->C_SignInit(s, &m, key);
  if (rv == CKR_OK && parts == 0) {
    rv = F->C_Sign(s, const_cast<uint8_t *>(data.data()), data.size(), sig.data(), &n);
  } else if (rv == CKR_OK) {
    const size_t step = data.size() / parts + 1;
    for (size_t at = 0; rv == CKR_OK && at < data.size(); at += step)
      rv = F->C_SignUpdate(s, const_cast<uint8_t *>(data.data()) + at, std::min(step, data.size() - at));
    if (rv == CKR_OK) rv = F->C_SignFinal(s, sig.data(), &n);
  }
  if (rv_out) *rv_out = rv;
  else EXPECT_EQ(rv, CKR_OK);
  return rv == CKR_OK ? sig : Bytes();
}

CK_RV verify(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mech, const Bytes &param, const Bytes &data,
             const Bytes &sig) {
  CK_MECHANISM m = {mech, param.empty() ? nullptr : const_cast<uint8_t *>(param.data()), param.size()};
  CK_RV rv = F->C_VerifyInit(s, &m, key);
  return rv != CKR_OK ? rv : F->C_Verify(s, const_cast<uint8_t *>(data.data()), data.size(), const_cast<uint8_t *>(sig.data()), sig.size());
}

Bytes attribute(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type, CK_RV *rv_out = nullptr) {
  CK_ATTRIBUTE a = {type, nullptr, 0};
  CK_RV rv = F->C_GetAttributeValue(s, o, &a, 1);
  Bytes v;
  if (rv == CKR_OK) {
    v.resize(a.ulValueLen);
    a.pValue = v.data();
    rv = F->C_GetAttributeValue(s, o, &a, 1);
  }
  if (rv_out) *rv_out = rv;
  return v;
}

class Token : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/tavik-p11-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    g_dir = tmpl;
    setenv("TAVIK_PKCS11_DIR", g_dir.c_str(), 1);
    F = load();
    ASSERT_NE(F, nullptr);
    ASSERT_EQ(F->C_Initialize(nullptr), CKR_OK);
    CK_UTF8CHAR label[32];
    memset(label, ' ', 32);
    ASSERT_EQ(F->C_InitToken(SLOT, SO_PIN, strlen((char *)SO_PIN), label), CKR_OK);
    CK_SESSION_HANDLE s = open();
    ASSERT_EQ(F->C_Login(s, CKU_SO, SO_PIN, strlen((char *)SO_PIN)), CKR_OK);
    ASSERT_EQ(F->C_InitPIN(s, USER_PIN, strlen((char *)USER_PIN)), CKR_OK);
    ASSERT_EQ(F->C_CloseSession(s), CKR_OK);
  }
  static void TearDownTestSuite() {
    F->C_Finalize(nullptr);
    fs::remove_all(g_dir);
  }
  void SetUp() override {
    s = open();
    ASSERT_EQ(F->C_Login(s, CKU_USER, USER_PIN, strlen((char *)USER_PIN)), CKR_OK);
  }
  void TearDown() override { F->C_CloseSession(s); }
  CK_SESSION_HANDLE s = 0;
};

const uint8_t SEED[TAVIK_SEED_BYTES] = {7, 1, 2, 3};

// Deterministic signatures are the library's bytes, with and without a context, in one part, in
// several, longer than one-shot signing takes, and through µ; hedged ones verify in the library.
TEST_F(Token, SignaturesAreTheLibrarysBytes) {
  const Pair p = generate(s, SEED, "det", CK_FALSE);
  uint8_t pk[TAVIK_PK_BYTES], sk[TAVIK_SK_BYTES];
  ASSERT_EQ(sig_keygen_from_seed(pk, sk, SEED), 0);
  EXPECT_EQ(attribute(s, p.pub, CKA_VALUE), Bytes(pk, pk + TAVIK_PK_BYTES));
  const Bytes ctx = {'p', 'r', 'o', 't', 'o'};
  for (size_t msglen : {size_t(0), size_t(1024), size_t(TAVIK_MAX_MSG_BYTES + 500)}) {
    Bytes msg(msglen);
    for (size_t i = 0; i < msglen; i++) msg[i] = uint8_t(i * 7);
    for (const Bytes &c : {Bytes(), ctx}) {
      Bytes want(TAVIK_SIG_BYTES);
      tavik_sign_state st;
      ASSERT_EQ(tavik_sign_init_ctx(&st, sk, c.data(), c.size()), 0);
      ASSERT_EQ(tavik_sign_update(&st, msg.data(), msg.size()), 0);
      ASSERT_EQ(tavik_sign_final(&st, want.data()), 0);
      Bytes param = {TAVIK_CKP_DETERMINISTIC};
      param.insert(param.end(), c.begin(), c.end());
      for (size_t parts : {0, 1, 3}) EXPECT_EQ(sign(s, p.priv, TAVIK_CKM_SIGN, param, msg, parts), want) << msglen << "/" << parts;
      uint8_t mu[TAVIK_MU_BYTES];
      tavik_mu_state ms;
      ASSERT_EQ(tavik_mu_init(&ms, pk, c.data(), c.size()), 0);
      ASSERT_EQ(tavik_mu_update(&ms, msg.data(), msg.size()), 0);
      ASSERT_EQ(tavik_mu_final(&ms, mu), 0);
      const Bytes mub(mu, mu + sizeof mu);
      EXPECT_EQ(sign(s, p.priv, TAVIK_CKM_SIGN_MU, {TAVIK_CKP_DETERMINISTIC}, mub, 2), want);
      const Bytes hedged = sign(s, p.priv, TAVIK_CKM_SIGN, c.empty() ? Bytes() : Bytes{0, 'p', 'r', 'o', 't', 'o'}, msg, 0);
      EXPECT_NE(hedged, want);
      EXPECT_EQ(tavik_verify_ctx(pk, c.data(), c.size(), hedged.data(), hedged.size(), msg.data(), msg.size()), 0);
      EXPECT_EQ(verify(s, p.pub, TAVIK_CKM_SIGN, param, msg, hedged), CKR_OK);
      EXPECT_EQ(verify(s, p.pub, TAVIK_CKM_SIGN_MU, {}, mub, hedged), CKR_OK);
      Bytes bad = hedged;
      bad[100] ^= 1;
      EXPECT_EQ(verify(s, p.pub, TAVIK_CKM_SIGN, param, msg, bad), CKR_SIGNATURE_INVALID);
      // A signature under another context (or none) is not this context's.
      EXPECT_EQ(verify(s, p.pub, TAVIK_CKM_SIGN, c.empty() ? Bytes{0, 'x'} : Bytes(), msg, hedged), CKR_SIGNATURE_INVALID);
    }
  }
  uint8_t der[TAVIK_SPKI_MAX_BYTES];
  size_t derlen = 0;
  ASSERT_EQ(tavik_pk_to_der(der, sizeof der, &derlen, pk), 0);
  EXPECT_EQ(attribute(s, p.pub, CKA_PUBLIC_KEY_INFO), Bytes(der, der + derlen));
  EXPECT_EQ(attribute(s, p.priv, CKA_PUBLIC_KEY_INFO), Bytes(der, der + derlen));
}

// What a caller may not do gets its PKCS#11 code, and leaves the session usable.
TEST_F(Token, RefusalsHaveTheirCodes) {
  const Pair p = generate(s, nullptr, "refusals", CK_FALSE);
  const Bytes msg = {1, 2, 3};
  CK_RV rv = CKR_OK;
  struct Case {
    const char *why;
    CK_MECHANISM_TYPE mech;
    Bytes param, data;
    bool with_public;
    CK_RV want;
  } cases[] = {
      {"not this token's mechanism", CKM_ECDSA, {}, msg, false, CKR_MECHANISM_INVALID},
      {"a flag bit no one defined", TAVIK_CKM_SIGN, {0x80}, msg, false, CKR_MECHANISM_PARAM_INVALID},
      {"a context of 256 bytes", TAVIK_CKM_SIGN, Bytes(257, 0), msg, false, CKR_MECHANISM_PARAM_INVALID},
      {"a context with µ, which already holds it", TAVIK_CKM_SIGN_MU, {0, 'c'}, Bytes(48), false, CKR_MECHANISM_PARAM_INVALID},
      {"µ of 47 bytes", TAVIK_CKM_SIGN_MU, {}, Bytes(47), false, CKR_DATA_LEN_RANGE},
      {"signing with the public key", TAVIK_CKM_SIGN, {}, msg, true, CKR_KEY_TYPE_INCONSISTENT},
  };
  for (const Case &c : cases) {
    sign(s, c.with_public ? p.pub : p.priv, c.mech, c.param, c.data, 0, &rv);
    EXPECT_EQ(rv, c.want) << c.why;
  }
  // Too small a buffer keeps the operation for the retry; a null one asks the size.
  CK_MECHANISM m = {TAVIK_CKM_SIGN, nullptr, 0};
  Bytes sig(TAVIK_SIG_BYTES);
  CK_ULONG n = 10;
  ASSERT_EQ(F->C_SignInit(s, &m, p.priv), CKR_OK);
  EXPECT_EQ(F->C_Sign(s, (uint8_t *)msg.data(), msg.size(), sig.data(), &n), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(F->C_Sign(s, (uint8_t *)msg.data(), msg.size(), nullptr, &n), CKR_OK);
  EXPECT_EQ(n, CK_ULONG(TAVIK_SIG_BYTES));
  EXPECT_EQ(F->C_Sign(s, (uint8_t *)msg.data(), msg.size(), sig.data(), &n), CKR_OK);
  EXPECT_EQ(F->C_SignFinal(s, sig.data(), &n), CKR_OPERATION_NOT_INITIALIZED);
  EXPECT_EQ(verify(s, p.pub, TAVIK_CKM_SIGN, {}, msg, Bytes(sig.begin(), sig.end() - 1)), CKR_SIGNATURE_LEN_RANGE);
  // The secret key never leaves; other functions and secret-key generation are refused.
  attribute(s, p.priv, CKA_VALUE, &rv);
  EXPECT_EQ(rv, CKR_ATTRIBUTE_SENSITIVE);
  attribute(s, p.pub, CKA_SIGN, &rv);
  EXPECT_EQ(rv, CKR_ATTRIBUTE_TYPE_INVALID) << "a public key has no CKA_SIGN";
  EXPECT_EQ(F->C_EncryptInit(s, &m, p.pub), CKR_FUNCTION_NOT_SUPPORTED);
  CK_OBJECT_HANDLE k = 0;
  EXPECT_EQ(F->C_GenerateKey(s, &m, nullptr, 0, &k), CKR_MECHANISM_INVALID);
  // A read-only session makes no token object; a private key is never stored in the clear.
  const CK_SESSION_HANDLE ro = open(false);
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  CK_ATTRIBUTE tok = {CKA_TOKEN, &yes, 1}, pub_priv = {CKA_PRIVATE, &no, 1};
  CK_MECHANISM gen = {TAVIK_CKM_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE a, b;
  EXPECT_EQ(F->C_GenerateKeyPair(ro, &gen, &tok, 1, &tok, 1, &a, &b), CKR_SESSION_READ_ONLY);
  EXPECT_EQ(F->C_GenerateKeyPair(s, &gen, nullptr, 0, &pub_priv, 1, &a, &b), CKR_TEMPLATE_INCONSISTENT);
  CK_MECHANISM short_seed = {TAVIK_CKM_KEY_PAIR_GEN, (void *)SEED, 31};
  EXPECT_EQ(F->C_GenerateKeyPair(s, &short_seed, nullptr, 0, nullptr, 0, &a, &b), CKR_MECHANISM_PARAM_INVALID);
  F->C_CloseSession(ro);
}

// Token keys persist, are found by class, label and id, private ones only after login; a
// damaged or swapped object file is refused, and a destroyed key is gone with its file.
TEST_F(Token, FilesPersistAndDamageIsRefused) {
  const Pair a = generate(s, SEED, "persist-a"), b = generate(s, nullptr, "persist-b");
  const Bytes msg = {9, 9};
  const Bytes det = sign(s, a.priv, TAVIK_CKM_SIGN, {TAVIK_CKP_DETERMINISTIC}, msg, 0);
  auto find = [](CK_SESSION_HANDLE h, CK_OBJECT_CLASS cls, const char *label) {
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_LABEL, (void *)label, strlen(label)}};
    CK_OBJECT_HANDLE out[4];
    CK_ULONG n = 0;
    EXPECT_EQ(F->C_FindObjectsInit(h, t, 2), CKR_OK);
    EXPECT_EQ(F->C_FindObjects(h, out, 4, &n), CKR_OK);
    EXPECT_EQ(F->C_FindObjectsFinal(h), CKR_OK);
    return n == 1 ? out[0] : 0;
  };
  // The module read afresh from the directory.
  F->C_CloseSession(s);
  ASSERT_EQ(F->C_Finalize(nullptr), CKR_OK);
  ASSERT_EQ(F->C_Initialize(nullptr), CKR_OK);
  s = open();
  EXPECT_NE(find(s, CKO_PUBLIC_KEY, "persist-a"), 0u);
  EXPECT_EQ(find(s, CKO_PRIVATE_KEY, "persist-a"), 0u) << "private objects are hidden before login";
  ASSERT_EQ(F->C_Login(s, CKU_USER, USER_PIN, strlen((char *)USER_PIN)), CKR_OK);
  const CK_OBJECT_HANDLE priv = find(s, CKO_PRIVATE_KEY, "persist-a");
  ASSERT_NE(priv, 0u);
  EXPECT_EQ(sign(s, priv, TAVIK_CKM_SIGN, {TAVIK_CKP_DETERMINISTIC}, msg, 0), det);
  ASSERT_EQ(F->C_DestroyObject(s, find(s, CKO_PRIVATE_KEY, "persist-b")), CKR_OK);
  ASSERT_EQ(F->C_DestroyObject(s, find(s, CKO_PUBLIC_KEY, "persist-b")), CKR_OK);
  EXPECT_EQ(find(s, CKO_PRIVATE_KEY, "persist-b"), 0u);
  (void)b;

  std::vector<fs::path> files;
  for (auto &e : fs::directory_iterator(g_dir + "/token0"))
    if (e.path().filename().string().rfind("obj-", 0) == 0) files.push_back(e.path());
  ASSERT_EQ(files.size(), 2u) << "a's two objects remain, b's files are gone";
  for (auto &f : files) EXPECT_EQ(fs::status(f).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(g_dir + "/token0").permissions() & fs::perms::all, fs::perms::owner_all);
  // Each damage in turn; the module must refuse the token (public file) or the login (sealed file).
  auto read = [](const fs::path &f) {
    std::ifstream in(f, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  };
  auto write = [](const fs::path &f, const Bytes &d) { std::ofstream(f, std::ios::binary).write((const char *)d.data(), d.size()); };
  const Bytes f0 = read(files[0]), f1 = read(files[1]);
  for (int damage = 0; damage < 3; damage++) {
    F->C_CloseSession(s);
    F->C_Finalize(nullptr);
    if (damage < 2) {
      Bytes d = damage ? f1 : f0;
      d[d.size() - 40] ^= 0x20;
      write(damage ? files[1] : files[0], d);
    } else {
      write(files[0], f1);  // swapped names
      write(files[1], f0);
    }
    ASSERT_EQ(F->C_Initialize(nullptr), CKR_OK);
    CK_SESSION_HANDLE h = 0;
    CK_RV rv = F->C_OpenSession(SLOT, CKF_SERIAL_SESSION, nullptr, nullptr, &h);
    if (rv == CKR_OK) rv = F->C_Login(h, CKU_USER, USER_PIN, strlen((char *)USER_PIN));
    EXPECT_EQ(rv, CKR_DEVICE_ERROR) << "damage " << damage;
    if (h) F->C_CloseSession(h);
    write(files[0], f0);
    write(files[1], f1);
    F->C_Finalize(nullptr);
    ASSERT_EQ(F->C_Initialize(nullptr), CKR_OK);
    s = open();
  }
  // Repaired, the key signs as before, and its files go when destroyed.
  ASSERT_EQ(F->C_Login(s, CKU_USER, USER_PIN, strlen((char *)USER_PIN)), CKR_OK);
  EXPECT_EQ(sign(s, find(s, CKO_PRIVATE_KEY, "persist-a"), TAVIK_CKM_SIGN, {TAVIK_CKP_DETERMINISTIC}, msg, 0), det);
  EXPECT_EQ(F->C_DestroyObject(s, find(s, CKO_PRIVATE_KEY, "persist-a")), CKR_OK);
  EXPECT_EQ(F->C_DestroyObject(s, find(s, CKO_PUBLIC_KEY, "persist-a")), CKR_OK);
}

// Sessions in six threads sign, verify and draw random bytes at once (run under
// ThreadSanitizer by make test-tsan).
TEST_F(Token, ConcurrentSessions) {
  const Pair p = generate(s, SEED, "threads", CK_FALSE);
  uint8_t pk[TAVIK_PK_BYTES], sk[TAVIK_SK_BYTES];
  ASSERT_EQ(sig_keygen_from_seed(pk, sk, SEED), 0);
  std::vector<std::thread> threads;
  std::vector<int> bad(6, 0);
  for (int t = 0; t < 6; t++)
    threads.emplace_back([&, t] {
      const CK_SESSION_HANDLE h = open(t % 2);
      for (int i = 0; i < 4; i++) {
        const Bytes msg(size_t(t * 100 + i), uint8_t(t));
        Bytes want(TAVIK_SIG_BYTES);
        tavik_sign(sk, msg.data(), msg.size(), want.data());
        bad[t] += sign(h, p.priv, TAVIK_CKM_SIGN, {TAVIK_CKP_DETERMINISTIC}, msg, size_t(i % 2)) != want;
        bad[t] += verify(h, p.pub, TAVIK_CKM_SIGN, {}, msg, want) != CKR_OK;
        uint8_t r[32];
        bad[t] += F->C_GenerateRandom(h, r, sizeof r) != CKR_OK;
      }
      F->C_CloseSession(h);
    });
  for (auto &th : threads) th.join();
  for (int t = 0; t < 6; t++) EXPECT_EQ(bad[t], 0) << "thread " << t;
}

}  // namespace
