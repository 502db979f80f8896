// libFuzzer target: the token module's C_ calls in any order with hostile templates, mechanisms,
// lengths and handles. A token is made once (its PINs derived once: logins are not fuzzed, each
// costs a PIN derivation); every input then runs a script of calls on up to four sessions. Each
// byte of the script picks a call, the following bytes its arguments: attribute types from the
// module's and random ones, lengths from 0 to past what any attribute holds (buffers always as
// large as the length given, or null), mechanism parameters of any length, signature buffers too
// small or null. Every call must return, and a signature the module returns must verify with the
// public key it reports. Objects the script made are destroyed at its end, so the token's
// directory stays small.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "p11.h"

extern "C" CK_RV C_GetInterface(CK_UTF8CHAR_PTR, CK_VERSION_PTR, CK_INTERFACE_PTR_PTR, CK_FLAGS);

namespace {

CK_FUNCTION_LIST_3_0 *F;
CK_OBJECT_HANDLE g_pub, g_priv;

void check(bool ok) {
  if (!ok) abort();
}

char g_dir[] = "/tmp/tavik-fuzz-p11-XXXXXX";

CK_FUNCTION_LIST_3_0 *setup() {
  check(mkdtemp(g_dir) != nullptr);
  setenv("TAVIK_PKCS11_DIR", g_dir, 1);
  std::atexit([] {
    std::error_code e;
    std::filesystem::remove_all(g_dir, e);
  });
  CK_INTERFACE_PTR i = nullptr;
  check(C_GetInterface(nullptr, nullptr, &i, 0) == CKR_OK);
  auto *f = static_cast<CK_FUNCTION_LIST_3_0 *>(i->pFunctionList);
  check(f->C_Initialize(nullptr) == CKR_OK);
  CK_UTF8CHAR label[32], pin[] = "fuzz-pin";
  memset(label, ' ', 32);
  check(f->C_InitToken(0, pin, 8, label) == CKR_OK);
  CK_SESSION_HANDLE s;
  check(f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s) == CKR_OK);
  check(f->C_Login(s, CKU_SO, pin, 8) == CKR_OK);
  check(f->C_InitPIN(s, pin, 8) == CKR_OK);
  check(f->C_Logout(s) == CKR_OK);
  check(f->C_Login(s, CKU_USER, pin, 8) == CKR_OK);  // this session stays: the login with it
  CK_MECHANISM gen = {TAVIK_CKM_KEY_PAIR_GEN, nullptr, 0};
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE tok = {CKA_TOKEN, &yes, 1};
  check(f->C_GenerateKeyPair(s, &gen, &tok, 1, &tok, 1, &g_pub, &g_priv) == CKR_OK);
  return f;
}

const CK_ATTRIBUTE_TYPE TYPES[] = {CKA_CLASS, CKA_KEY_TYPE, CKA_TOKEN, CKA_PRIVATE, CKA_LABEL, CKA_ID, CKA_VALUE,
                                   CKA_PUBLIC_KEY_INFO, CKA_SIGN, CKA_VERIFY, CKA_SENSITIVE, CKA_EXTRACTABLE,
                                   CKA_MODIFIABLE, CKA_ENCRYPT, CKA_DERIVE, CKA_SUBJECT, CKA_LOCAL, CKA_COPYABLE};

// A template whose values live in `store`: each buffer as long as its stated length, or null.
struct Template {
  std::vector<CK_ATTRIBUTE> attrs;
  std::vector<std::vector<uint8_t>> store;
  void make(FuzzedDataProvider &in) {
    const size_t n = in.ConsumeIntegralInRange<size_t>(0, 6);
    store.resize(n);
    attrs.resize(n);
    for (size_t i = 0; i < n; i++) {
      CK_ATTRIBUTE &a = attrs[i];
      a.type = in.ConsumeBool() ? TYPES[in.ConsumeIntegralInRange<size_t>(0, sizeof TYPES / sizeof TYPES[0] - 1)]
                                : in.ConsumeIntegral<CK_ULONG>();
      const size_t len = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, 8) : in.ConsumeIntegralInRange<size_t>(0, 4000);
      store[i] = in.ConsumeBytes<uint8_t>(len);
      store[i].resize(len, in.ConsumeIntegral<uint8_t>() & 1);
      a.ulValueLen = len;
      a.pValue = in.ConsumeIntegralInRange<int>(0, 7) == 0 ? nullptr : store[i].data();
      if (!a.pValue && in.ConsumeBool()) a.ulValueLen = 0;
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static CK_FUNCTION_LIST_3_0 *f = setup();
  F = f;
  FuzzedDataProvider in(data, size);
  std::vector<CK_SESSION_HANDLE> sessions;
  std::vector<CK_OBJECT_HANDLE> made;
  auto session = [&]() -> CK_SESSION_HANDLE {
    if (sessions.empty() || in.ConsumeIntegralInRange<int>(0, 15) == 0) return in.ConsumeIntegral<CK_ULONG>();
    return sessions[in.ConsumeIntegralInRange<size_t>(0, sessions.size() - 1)];
  };
  auto object = [&]() -> CK_OBJECT_HANDLE {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: return g_pub;
      case 1: return g_priv;
      case 2: return made.empty() ? 0 : made[in.ConsumeIntegralInRange<size_t>(0, made.size() - 1)];
      default: return in.ConsumeIntegral<CK_ULONG>();
    }
  };
  for (int step = 0; step < 24 && in.remaining_bytes(); step++) {
    Template t, t2;
    std::vector<uint8_t> buf, param;
    CK_ULONG n = 0;
    CK_MECHANISM m = {};
    switch (in.ConsumeIntegralInRange<int>(0, 12)) {
      case 0:
        if (sessions.size() < 4) {
          CK_SESSION_HANDLE h = 0;
          if (F->C_OpenSession(0, in.ConsumeIntegral<CK_FLAGS>(), nullptr, nullptr, &h) == CKR_OK) sessions.push_back(h);
        }
        break;
      case 1:
        if (!sessions.empty()) {
          const size_t i = in.ConsumeIntegralInRange<size_t>(0, sessions.size() - 1);
          check(F->C_CloseSession(sessions[i]) == CKR_OK);
          sessions.erase(sessions.begin() + long(i));
        }
        break;
      case 2: {
        t.make(in);
        F->C_GetAttributeValue(session(), object(), t.attrs.data(), t.attrs.size());
        break;
      }
      case 3: {
        t.make(in);
        const CK_SESSION_HANDLE h = session();
        if (F->C_FindObjectsInit(h, t.attrs.data(), t.attrs.size()) == CKR_OK) {
          CK_OBJECT_HANDLE out[3];
          F->C_FindObjects(h, out, in.ConsumeIntegralInRange<CK_ULONG>(0, 3), &n);
          F->C_FindObjectsFinal(h);
        }
        break;
      }
      case 4: case 5: {
        // Signing, then the signature checked with the key the module reports.
        param = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 300));
        const CK_MECHANISM_TYPE mechs[] = {TAVIK_CKM_SIGN, TAVIK_CKM_SIGN_MU, TAVIK_CKM_KEY_PAIR_GEN, CKM_ECDSA};
        m = {mechs[in.ConsumeIntegralInRange<int>(0, 3)], param.empty() ? nullptr : param.data(), param.size()};
        const CK_SESSION_HANDLE h = session();
        const CK_OBJECT_HANDLE key = object();
        if (F->C_SignInit(h, &m, key) != CKR_OK) break;
        const std::vector<uint8_t> msg = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 4000));
        buf.resize(in.ConsumeBool() ? TAVIK_SIG_BYTES : in.ConsumeIntegralInRange<size_t>(0, TAVIK_SIG_BYTES));
        n = buf.size();
        CK_RV rv;
        if (in.ConsumeBool()) {
          rv = F->C_Sign(h, const_cast<uint8_t *>(msg.data()), msg.size(), buf.data(), &n);
        } else {
          rv = F->C_SignUpdate(h, const_cast<uint8_t *>(msg.data()), msg.size());
          if (rv == CKR_OK) rv = F->C_SignFinal(h, buf.data(), &n);
        }
        if (rv == CKR_BUFFER_TOO_SMALL) check(n == TAVIK_SIG_BYTES);
        if (rv == CKR_OK && key == g_priv) {
          check(n == TAVIK_SIG_BYTES);
          if (F->C_VerifyInit(h, &m, g_pub) == CKR_OK)
            check(F->C_Verify(h, const_cast<uint8_t *>(msg.data()), msg.size(), buf.data(), n) == CKR_OK);
        }
        if (rv == CKR_BUFFER_TOO_SMALL || rv == CKR_OK) {
          CK_ULONG z = 0;
          F->C_SignFinal(h, nullptr, &z);  // ends or asks; either way no crash
        }
        break;
      }
      case 6: {
        param = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 300));
        m = {in.ConsumeBool() ? TAVIK_CKM_SIGN : TAVIK_CKM_SIGN_MU, param.empty() ? nullptr : param.data(), param.size()};
        const CK_SESSION_HANDLE h = session();
        if (F->C_VerifyInit(h, &m, object()) != CKR_OK) break;
        const std::vector<uint8_t> msg = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 4000));
        buf = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, TAVIK_SIG_BYTES + 2));
        if (in.ConsumeBool()) {
          F->C_Verify(h, const_cast<uint8_t *>(msg.data()), msg.size(), buf.data(), buf.size());
        } else {
          F->C_VerifyUpdate(h, const_cast<uint8_t *>(msg.data()), msg.size());
          F->C_VerifyFinal(h, buf.data(), buf.size());
        }
        break;
      }
      case 7: {
        t.make(in);
        t2.make(in);
        param = in.ConsumeBytes<uint8_t>(in.ConsumeBool() ? 32 : in.ConsumeIntegralInRange<size_t>(0, 40));
        m = {TAVIK_CKM_KEY_PAIR_GEN, param.empty() ? nullptr : param.data(), param.size()};
        CK_OBJECT_HANDLE a = 0, b = 0;
        if (F->C_GenerateKeyPair(session(), &m, t.attrs.data(), t.attrs.size(), t2.attrs.data(), t2.attrs.size(), &a, &b) == CKR_OK) {
          made.push_back(a);
          made.push_back(b);
        }
        break;
      }
      case 8: {
        t.make(in);
        CK_OBJECT_HANDLE a = 0;
        if (F->C_CreateObject(session(), t.attrs.data(), t.attrs.size(), &a) == CKR_OK) made.push_back(a);
        break;
      }
      case 9: {
        t.make(in);
        // Only the script's own objects: the token's pair keeps its uses for the signing steps.
        if (!made.empty())
          F->C_SetAttributeValue(session(), made[in.ConsumeIntegralInRange<size_t>(0, made.size() - 1)], t.attrs.data(),
                                 t.attrs.size());
        break;
      }
      case 10:
        if (!made.empty()) {
          const size_t i = in.ConsumeIntegralInRange<size_t>(0, made.size() - 1);
          F->C_DestroyObject(session(), made[i]);
        } else if (const CK_OBJECT_HANDLE o = in.ConsumeIntegral<CK_ULONG>(); o != g_pub && o != g_priv) {
          F->C_DestroyObject(session(), o);
        }
        break;
      case 11:
        buf.resize(in.ConsumeIntegralInRange<size_t>(0, 4096));
        F->C_GenerateRandom(session(), buf.empty() ? nullptr : buf.data(), buf.size());
        break;
      default: {
        CK_TOKEN_INFO ti;
        CK_SESSION_INFO si;
        CK_MECHANISM_INFO mi;
        F->C_GetTokenInfo(in.ConsumeIntegralInRange<CK_SLOT_ID>(0, 3), &ti);
        F->C_GetSessionInfo(session(), &si);
        F->C_GetMechanismInfo(0, in.ConsumeIntegral<CK_ULONG>(), &mi);
        break;
      }
    }
  }
  // The script's objects and sessions go; the token's key pair stays and stays readable.
  CK_SESSION_HANDLE h = 0;
  check(F->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h) == CKR_OK);
  for (CK_OBJECT_HANDLE o : made) F->C_DestroyObject(h, o);
  for (CK_SESSION_HANDLE s : sessions) check(F->C_CloseSession(s) == CKR_OK);
  CK_BYTE pk[TAVIK_PK_BYTES];
  CK_ATTRIBUTE v = {CKA_VALUE, pk, sizeof pk};
  check(F->C_GetAttributeValue(h, g_pub, &v, 1) == CKR_OK);
  check(F->C_CloseSession(h) == CKR_OK);
  return 0;
}
