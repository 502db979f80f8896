// What the Ed25519 half costs: medians of hybrid signing and verification against
// tavik_sign_hedged and tavik_verify on the same messages, and of the Ed25519 steps a hybrid call
// adds (signing, verifying, and rebuilding the public key from the seed, which signing does to
// check a key the first time it sees it). The calls take turns within each round, so a change in
// the machine's load falls on all of them alike.
//   tavik_hybrid_speed [rounds] [message bytes]     (defaults 2000 and 1024)
#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "tavik_hybrid.h"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

constexpr const char *USAGE =
    "usage: tavik_hybrid_speed [rounds] [message bytes]\n"
    "  Medians in microseconds of hybrid signing and verification against tavik_sign_hedged and\n"
    "  tavik_verify, and of the Ed25519 steps they add (defaults: 2000 rounds, 1024-byte messages).\n"
    "  --help  print this text\n";

bool read_count(const char *text, size_t *out) {
  if (text[0] < '0' || text[0] > '9') return false;
  char *end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (*end != '\0' || errno != 0 || v < 1) return false;
  *out = size_t(v);
  return true;
}

struct Row {
  const char *name;
  std::function<bool()> call;
  std::vector<double> us;
};

}  // namespace

int main(int argc, char **argv) {
  size_t rounds = 2000, msglen = 1024;
  if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(USAGE, stdout);
    return 0;
  }
  if (argc > 3 || (argc > 1 && !read_count(argv[1], &rounds)) || (argc > 2 && !read_count(argv[2], &msglen))) {
    std::fputs(USAGE, stderr);
    return 2;
  }
  // Deterministic signing takes as many attempts as its message gives it: the rounds go through 64
  // messages, each signed beforehand for the verification rows.
  constexpr size_t kMessages = 64;
  static uint8_t pk[TAVIK_HYBRID_PK_BYTES], sk[TAVIK_HYBRID_SK_BYTES], sig[TAVIK_HYBRID_SIG_BYTES];
  static uint8_t hsig[kMessages][TAVIK_HYBRID_SIG_BYTES], tsig[kMessages][TAVIK_SIG_BYTES], edsig[kMessages][64];
  static uint8_t edpk[32], edsk[64];
  std::vector<std::vector<uint8_t>> msgs(kMessages, std::vector<uint8_t>(msglen));
  if (tavik_hybrid_keygen(pk, sk) != 0) {
    std::fputs("tavik_hybrid_speed: key generation failed\n", stderr);
    return 1;
  }
  const uint8_t *ed = sk + TAVIK_HYBRID_SK_ED25519_SEED_OFFSET;
  for (size_t m = 0; m < kMessages; ++m) {
    for (size_t i = 0; i < msglen; ++i) msgs[m][i] = uint8_t(i * 7 + m * 131 + (i >> 8));
    if (tavik_sign_hedged(sk, msgs[m].data(), msglen, tsig[m]) != 0 ||
        tavik_hybrid_sign(sk, nullptr, 0, msgs[m].data(), msglen, hsig[m]) != 0) {
      std::fputs("tavik_hybrid_speed: signing failed\n", stderr);
      return 1;
    }
    crypto_sign_ed25519_detached(edsig[m], nullptr, msgs[m].data(), msglen, ed);
  }
  size_t m = 0;
  std::vector<Row> rows = {
      {"tavik_sign_hedged", [&] { return tavik_sign_hedged(sk, msgs[m].data(), msglen, sig) == 0; }, {}},
      {"tavik_hybrid_sign (hedged)", [&] { return tavik_hybrid_sign(sk, nullptr, 0, msgs[m].data(), msglen, sig) == 0; }, {}},
      {"tavik_hybrid_sign_deterministic",
       [&] { return tavik_hybrid_sign_deterministic(sk, nullptr, 0, msgs[m].data(), msglen, sig) == 0; }, {}},
      {"tavik_verify", [&] { return tavik_verify(pk, tsig[m], TAVIK_SIG_BYTES, msgs[m].data(), msglen) == 0; }, {}},
      {"tavik_hybrid_verify",
       [&] { return tavik_hybrid_verify(pk, nullptr, 0, hsig[m], TAVIK_HYBRID_SIG_BYTES, msgs[m].data(), msglen) == 0; }, {}},
      {"Ed25519 sign (libsodium)",
       [&] { return crypto_sign_ed25519_detached(edsig[m], nullptr, msgs[m].data(), msglen, ed) == 0; }, {}},
      {"Ed25519 verify (libsodium)",
       [&] { return crypto_sign_ed25519_verify_detached(edsig[m], msgs[m].data(), msglen, pk + TAVIK_PK_BYTES) == 0; }, {}},
      {"tavik_sign (deterministic)", [&] { return tavik_sign(sk, msgs[m].data(), msglen, sig) == 0; }, {}},
      {"Ed25519 public key from seed", [&] { return crypto_sign_ed25519_seed_keypair(edpk, edsk, ed) == 0; }, {}},
  };
  for (size_t r = 0; r < rounds; ++r) {
    m = r % kMessages;
    for (size_t k = 0; k < rows.size(); ++k) {
      Row &row = rows[(k + r) % rows.size()];  // a different order each round
      const auto start = Clock::now();
      if (!row.call()) {
        std::fprintf(stderr, "tavik_hybrid_speed: %s failed\n", row.name);
        return 1;
      }
      row.us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  }
  std::printf("%zu rounds, %zu-byte messages, medians in microseconds\n", rounds, msglen);
  for (const Row &row : rows) std::printf("  %-34s %9.2f\n", row.name, median(row.us));
  const double sign_ratio = median(rows[1].us) / median(rows[0].us);
  const double det_ratio = median(rows[2].us) / median(rows[0].us);
  const double verify_ratio = median(rows[4].us) / median(rows[3].us);
  std::printf("hybrid signing / tavik_sign_hedged: %.3f (deterministic: %.3f)\n", sign_ratio, det_ratio);
  std::printf("hybrid verification / tavik_verify: %.3f\n", verify_ratio);
  return 0;
}
