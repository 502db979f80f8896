// What the provider costs over the library's own calls: medians of EVP_DigestSign and
// EVP_DigestVerify through tavik.so (context made, initialised, used and freed each time, as
// certificate signing does) against tavik_sign, tavik_sign_hedged and tavik_verify on the same
// key and messages, and against the expanded-key calls the provider makes for a key in repeated
// use, and what a 32-byte "context-string" adds to the EVP calls. The calls take turns within each
// round, so a change in the machine's load falls on all of them alike.
//   tavik_evp_speed [rounds] [message bytes]     (defaults 1000 and 1024)
// The module is loaded from the build directory, or from OPENSSL_MODULES when it is set.
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tavik.h"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

template <typename F>
double time_us(F &&f) {
  const auto start = Clock::now();
  if (!f()) {
    std::fprintf(stderr, "tavik_evp_speed: a call failed\n");
    std::exit(1);
  }
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

constexpr const char *USAGE =
    "usage: tavik_evp_speed [rounds] [message bytes]\n"
    "  Medians in microseconds of signing and verifying through the provider tavik.so against the\n"
    "  library's own calls (defaults: 1000 rounds, 1024-byte messages). The module is loaded from\n"
    "  the build directory, or from OPENSSL_MODULES when it is set.\n"
    "  --help  print this text\n";

// A count given on the command line: digits only, at least 1.
bool read_count(const char *text, size_t *out) {
  if (text[0] < '0' || text[0] > '9') return false;
  char *end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (*end != '\0' || errno != 0 || v < 1) return false;
  *out = size_t(v);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(USAGE, stdout);
    return 0;
  }
  size_t rounds = 1000, msglen = 1024;
  if (argc > 3 || (argc > 1 && !read_count(argv[1], &rounds)) || (argc > 2 && !read_count(argv[2], &msglen))) {
    std::fputs(USAGE, stderr);
    return 2;
  }
  OSSL_LIB_CTX *lib = OSSL_LIB_CTX_new();
  const char *dir = std::getenv("OPENSSL_MODULES");
  OSSL_PROVIDER_set_default_search_path(lib, dir != nullptr ? dir : TAVIK_PROVIDER_DIR);
  OSSL_PROVIDER *prov = OSSL_PROVIDER_load(lib, "tavik");
  OSSL_PROVIDER *deflt = OSSL_PROVIDER_load(lib, "default");
  if (prov == nullptr || deflt == nullptr) {
    std::fprintf(stderr, "tavik_evp_speed: could not load the tavik and default providers\n");
    return 1;
  }

  // One key, known to both sides: the provider makes it from a seed, the library from the same.
  uint8_t seed[TAVIK_SEED_BYTES] = {42}, pk[TAVIK_PK_BYTES], sk[TAVIK_SK_BYTES];
  sig_keygen_from_seed(pk, sk, seed);
  EVP_PKEY *pkey = nullptr;
  EVP_PKEY_CTX *gen = EVP_PKEY_CTX_new_from_name(lib, "tavik", nullptr);
  OSSL_PARAM params[] = {OSSL_PARAM_octet_string("seed", seed, sizeof seed), OSSL_PARAM_END};
  if (gen == nullptr || EVP_PKEY_keygen_init(gen) != 1 || EVP_PKEY_CTX_set_params(gen, params) != 1 ||
      EVP_PKEY_generate(gen, &pkey) != 1) {
    std::fprintf(stderr, "tavik_evp_speed: key generation through the provider failed\n");
    return 1;
  }
  EVP_PKEY_CTX_free(gen);

  std::vector<uint8_t> msg(msglen), sig(TAVIK_SIG_BYTES), evp_sig(TAVIK_SIG_BYTES);
  std::vector<double> t_sign, t_hedged, t_evp_sign, t_verify, t_evp_verify, t_sign_x, t_verify_x, t_ctx_sign,
      t_ctx_verify;
  std::vector<uint8_t> ctx_sig(TAVIK_SIG_BYTES), context(32, 0x5a);
  const OSSL_PARAM with_context[] = {OSSL_PARAM_octet_string("context-string", context.data(), context.size()),
                                     OSSL_PARAM_END};
  auto *xsk = static_cast<tavik_expanded_sk *>(std::aligned_alloc(64, sizeof(tavik_expanded_sk)));
  auto *xpk = static_cast<tavik_expanded_pk *>(std::aligned_alloc(64, sizeof(tavik_expanded_pk)));
  if (xsk == nullptr || xpk == nullptr || tavik_expand_sk(xsk, sk) != 0 || tavik_expand_pk(xpk, pk) != 0) return 1;
  // EVP_DigestSign and EVP_DigestVerify with the init parameters given, made, used and freed.
  auto digest_sign = [&](const OSSL_PARAM *params, std::vector<uint8_t> &out) {
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    size_t len = out.size();
    const bool ok = EVP_DigestSignInit_ex(md, nullptr, nullptr, lib, nullptr, pkey, params) == 1 &&
                    EVP_DigestSign(md, out.data(), &len, msg.data(), msglen) == 1;
    EVP_MD_CTX_free(md);
    return ok;
  };
  auto digest_verify = [&](const OSSL_PARAM *params, const std::vector<uint8_t> &s) {
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    const bool ok = EVP_DigestVerifyInit_ex(md, nullptr, nullptr, lib, nullptr, pkey, params) == 1 &&
                    EVP_DigestVerify(md, s.data(), s.size(), msg.data(), msglen) == 1;
    EVP_MD_CTX_free(md);
    return ok;
  };
  // The calls with and without the context run back to back, each first in every other round.
  auto pair = [&](size_t r, auto &&plain, auto &&with) {
    if (r % 2 == 0) {
      plain();
      with();
    } else {
      with();
      plain();
    }
  };
  for (size_t r = 0; r < rounds; ++r) {
    for (size_t i = 0; i < msglen; ++i) msg[i] = uint8_t(r * 131 + i * 7);
    t_sign.push_back(time_us([&] { return tavik_sign(sk, msg.data(), msglen, sig.data()) == 0; }));
    pair(r, [&] { t_evp_sign.push_back(time_us([&] { return digest_sign(nullptr, evp_sig); })); },
         [&] { t_ctx_sign.push_back(time_us([&] { return digest_sign(with_context, ctx_sig); })); });
    t_hedged.push_back(time_us([&] { return tavik_sign_hedged(sk, msg.data(), msglen, sig.data()) == 0; }));
    t_sign_x.push_back(
        time_us([&] { return tavik_sign_expanded_hedged(xsk, msg.data(), msglen, sig.data()) == 0; }));
    t_verify.push_back(time_us([&] { return tavik_verify(pk, sig.data(), sig.size(), msg.data(), msglen) == 0; }));
    t_verify_x.push_back(
        time_us([&] { return tavik_verify_expanded(xpk, sig.data(), sig.size(), msg.data(), msglen) == 0; }));
    pair(r, [&] { t_evp_verify.push_back(time_us([&] { return digest_verify(nullptr, sig); })); },
         [&] { t_ctx_verify.push_back(time_us([&] { return digest_verify(with_context, ctx_sig); })); });
  }

  const double sign = median(t_sign), hedged = median(t_hedged), evp_sign = median(t_evp_sign);
  const double verify = median(t_verify), evp_verify = median(t_evp_verify);
  const double sign_x = median(t_sign_x), verify_x = median(t_verify_x);
  std::printf("%zu rounds, %zu-byte messages, medians in microseconds\n", rounds, msglen);
  std::printf("  tavik_sign          %9.1f\n", sign);
  std::printf("  tavik_sign_hedged   %9.1f\n", hedged);
  std::printf("  expanded, hedged    %9.1f\n", sign_x);
  std::printf("  EVP_DigestSign      %9.1f   %.3fx tavik_sign, %.3fx tavik_sign_hedged, %.3fx expanded\n", evp_sign,
              evp_sign / sign, evp_sign / hedged, evp_sign / sign_x);
  std::printf("  tavik_verify        %9.1f\n", verify);
  std::printf("  expanded            %9.1f\n", verify_x);
  std::printf("  EVP_DigestVerify    %9.1f   %.3fx tavik_verify, %.3fx expanded\n", evp_verify, evp_verify / verify,
              evp_verify / verify_x);
  const double ctx_sign = median(t_ctx_sign), ctx_verify = median(t_ctx_verify);
  std::printf("  32-byte context:\n");
  std::printf("  EVP_DigestSign      %9.1f   %.3fx without it\n", ctx_sign, ctx_sign / evp_sign);
  std::printf("  EVP_DigestVerify    %9.1f   %.3fx without it\n", ctx_verify, ctx_verify / evp_verify);
  std::free(xsk);
  std::free(xpk);

  EVP_PKEY_free(pkey);
  OSSL_PROVIDER_unload(prov);
  OSSL_PROVIDER_unload(deflt);
  OSSL_LIB_CTX_free(lib);
  return 0;
}
