// What signing through the PKCS#11 module costs over the library's call: medians of C_SignInit +
// C_Sign (hedged, the session's prepared key in use) against tavik_sign_hedged on the same key and
// message, taking turns within each round; and the median of a user login, which is one PIN
// derivation (Argon2id) and the reading of the token's sealed objects.
//   tavik_p11_speed [rounds] [message bytes] [logins]     (defaults 1000, 1024 and 5)
// The module is loaded from the build directory; the token lives in a temporary directory.
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "p11.h"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void need(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "tavik_p11_speed: %s failed\n", what);
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char **argv) {
  const char *usage = "usage: tavik_p11_speed [rounds] [message bytes] [logins]   (defaults 1000, 1024, 5)\n";
  long v[3] = {1000, 1024, 5};
  for (int i = 1; i < argc; i++) {
    char *end = nullptr;
    if (i > 3 || (v[i - 1] = std::strtol(argv[i], &end, 10), *end != '\0' || v[i - 1] < 1 || v[i - 1] > 100000000)) {
      const bool help = std::strcmp(argv[i], "--help") == 0;
      std::fputs(usage, help ? stdout : stderr);
      return help ? 0 : 2;
    }
  }
  const int rounds = int(v[0]), logins = int(v[2]);
  const size_t msglen = size_t(v[1]);
  char dir[] = "/tmp/tavik-p11-speed-XXXXXX";
  need(mkdtemp(dir) != nullptr, "mkdtemp");
  setenv("TAVIK_PKCS11_DIR", dir, 1);
  void *lib = dlopen(TAVIK_PKCS11_MODULE, RTLD_NOW);
  need(lib != nullptr, "dlopen");
  auto get = reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR)>(dlsym(lib, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR f = nullptr;
  need(get && get(&f) == CKR_OK, "C_GetFunctionList");
  need(f->C_Initialize(nullptr) == CKR_OK, "C_Initialize");
  CK_UTF8CHAR label[32], pin[] = "speed-pin";
  std::memset(label, ' ', 32);
  need(f->C_InitToken(0, pin, 9, label) == CKR_OK, "C_InitToken");
  CK_SESSION_HANDLE s = 0;
  need(f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s) == CKR_OK, "C_OpenSession");
  need(f->C_Login(s, CKU_SO, pin, 9) == CKR_OK && f->C_InitPIN(s, pin, 9) == CKR_OK && f->C_Logout(s) == CKR_OK, "PINs");
  std::vector<double> login_us;
  for (int i = 0; i < logins; i++) {
    const auto t0 = Clock::now();
    need(f->C_Login(s, CKU_USER, pin, 9) == CKR_OK, "C_Login");
    login_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    if (i + 1 < logins) need(f->C_Logout(s) == CKR_OK, "C_Logout");
  }
  // A token key from a seed, so that the library signs with the very same key.
  uint8_t seed[TAVIK_SEED_BYTES] = {1}, pk[TAVIK_PK_BYTES], sk[TAVIK_SK_BYTES];
  need(sig_keygen_from_seed(pk, sk, seed) == 0, "sig_keygen_from_seed");
  CK_MECHANISM gen = {TAVIK_CKM_KEY_PAIR_GEN, seed, sizeof seed}, mech = {TAVIK_CKM_SIGN, nullptr, 0};
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE tok = {CKA_TOKEN, &yes, 1};
  CK_OBJECT_HANDLE pub = 0, priv = 0;
  need(f->C_GenerateKeyPair(s, &gen, &tok, 1, &tok, 1, &pub, &priv) == CKR_OK, "C_GenerateKeyPair");
  std::vector<uint8_t> msg(msglen, 0x5a), sig(TAVIK_SIG_BYTES);
  std::vector<double> lib_us, mod_us;
  for (int r = 0; r < rounds; r++) {
    auto t0 = Clock::now();
    need(tavik_sign_hedged(sk, msg.data(), msg.size(), sig.data()) == 0, "tavik_sign_hedged");
    auto t1 = Clock::now();
    CK_ULONG n = sig.size();
    need(f->C_SignInit(s, &mech, priv) == CKR_OK && f->C_Sign(s, msg.data(), msg.size(), sig.data(), &n) == CKR_OK, "C_Sign");
    auto t2 = Clock::now();
    lib_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    mod_us.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
  }
  need(tavik_verify(pk, sig.data(), sig.size(), msg.data(), msg.size()) == 0, "tavik_verify of the module's signature");
  f->C_DestroyObject(s, priv);
  f->C_DestroyObject(s, pub);
  f->C_Finalize(nullptr);
  std::filesystem::remove_all(dir);
  const double a = median(lib_us), b = median(mod_us);
  std::printf("%d rounds, %zu-byte message\n", rounds, msglen);
  std::printf("tavik_sign_hedged          %10.1f us\n", a);
  std::printf("C_SignInit + C_Sign        %10.1f us  (%.3fx)\n", b, b / a);
  std::printf("C_Login (PIN derivation)   %10.1f us  (median of %d)\n", median(login_us), logins);
  return 0;
}
