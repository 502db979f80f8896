// libFuzzer target: the context forms on arbitrary contexts, messages and keys. The input is two
// bytes of context length (up to 65535, so that lengths past 255 come up), a 32-byte seed, the
// context, and the message; the message, zero padded to 3056 bytes, also serves as an arbitrary
// secret key, and its first 1472 and 2573 bytes as an arbitrary public key and signature.
// A context past 255 bytes (or a null one) is refused (-2, nothing written). Otherwise signing M
// under the context and signing its mu agree (both 0 with the same bytes; both -2, nothing
// written, for an arbitrary key whose parts disagree), the signature verifies under the context
// and against mu, a context of 0 bytes signs as no context, and verifying against mu gives the
// one-shot verdict for arbitrary keys and signatures.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tavik.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool untouched(const uint8_t *sig) {
  for (size_t i = 0; i < TAVIK_SIG_BYTES; ++i)
    if (sig[i] != 0xa5) return false;
  return true;
}

// mu of msg under pk and ctx, fed in two pieces; the init's result.
int32_t mu_of(uint8_t *mu, const uint8_t *pk, const uint8_t *ctx, uint64_t ctxlen, const uint8_t *msg, size_t len) {
  tavik_mu_state st;
  const int32_t r = tavik_mu_init(&st, pk, ctx, ctxlen);
  if (r != TAVIK_OK) return r;
  check(tavik_mu_update(&st, msg, len / 2) == TAVIK_OK);
  check(tavik_mu_update(&st, msg + len / 2, len - len / 2) == TAVIK_OK);
  check(tavik_mu_final(&st, mu) == TAVIK_OK);
  return TAVIK_OK;
}

// Signing msg under ctx and signing its mu (under pk) with sk both give `expect`, with the same
// bytes, or nothing written.
void sign_both_ways(const uint8_t *pk, const uint8_t *sk, const uint8_t *ctx, uint64_t ctxlen, const uint8_t *msg,
                    size_t len, int32_t expect) {
  static uint8_t a[TAVIK_SIG_BYTES], b[TAVIK_SIG_BYTES];
  uint8_t mu[TAVIK_MU_BYTES];
  std::memset(a, 0xa5, sizeof a);
  std::memset(b, 0xa5, sizeof b);
  const int32_t ra = tavik_sign_ctx(sk, ctx, ctxlen, msg, len, a);
  check(mu_of(mu, pk, ctx, ctxlen, msg, len) == TAVIK_OK);
  const int32_t rb = tavik_sign_mu(sk, mu, b);
  check(ra == expect && rb == expect);
  check(ra == TAVIK_OK ? std::memcmp(a, b, sizeof a) == 0 : untouched(a) && untouched(b));
  if (ra == TAVIK_OK) {
    check(tavik_verify_ctx(pk, ctx, ctxlen, a, sizeof a, msg, len) == TAVIK_OK);
    check(tavik_verify_mu(pk, a, sizeof a, mu) == TAVIK_OK);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2 + TAVIK_SEED_BYTES) return 0;
  const uint64_t ctxlen = uint64_t(data[0]) << 8 | data[1];
  const uint8_t *seed = data + 2, *ctx = seed + TAVIK_SEED_BYTES;
  const size_t rest = size - 2 - TAVIK_SEED_BYTES;
  static uint8_t pk[TAVIK_PK_BYTES], sk[TAVIK_SK_BYTES];
  check(sig_keygen_from_seed(pk, sk, seed) == TAVIK_OK);

  if (ctxlen > TAVIK_MAX_CONTEXT_BYTES || ctxlen > rest) {
    static uint8_t sig[TAVIK_SIG_BYTES];
    std::memset(sig, 0xa5, sizeof sig);
    const uint8_t *c = ctxlen > rest ? nullptr : ctx;  // too long for the input: null
    const uint64_t len = ctxlen > TAVIK_MAX_CONTEXT_BYTES ? ctxlen : 1;
    check(tavik_sign_ctx(sk, c, len, data, size, sig) == TAVIK_ILLEGAL_PARAMETER);
    check(tavik_sign_ctx_hedged(sk, c, len, data, size, sig) == TAVIK_ILLEGAL_PARAMETER);
    check(untouched(sig));
    tavik_mu_state st;
    check(tavik_mu_init(&st, pk, c, len) == TAVIK_ILLEGAL_PARAMETER);
    return 0;
  }
  const uint8_t *msg = ctx + ctxlen;
  const size_t len = rest - ctxlen;
  sign_both_ways(pk, sk, ctx, ctxlen, msg, len, TAVIK_OK);
  if (ctxlen == 0) {
    static uint8_t plain[TAVIK_SIG_BYTES], with[TAVIK_SIG_BYTES];
    check(tavik_sign(sk, msg, len, plain) == TAVIK_OK);
    check(tavik_sign_ctx(sk, nullptr, 0, msg, len, with) == TAVIK_OK);
    check(std::memcmp(plain, with, sizeof plain) == 0);
  }
  // An arbitrary key: signed under its own public key by both, or refused by both.
  static uint8_t arbitrary[TAVIK_SK_BYTES], own[TAVIK_PK_BYTES];
  std::memset(arbitrary, 0, sizeof arbitrary);
  std::memcpy(arbitrary, msg, len < sizeof arbitrary ? len : sizeof arbitrary);
  const bool intact = tavik_pk_from_sk(own, arbitrary) == TAVIK_OK;
  sign_both_ways(intact ? own : pk, arbitrary, ctx, ctxlen, msg, len, intact ? TAVIK_OK : TAVIK_ILLEGAL_PARAMETER);
  // An arbitrary public key and signature: the one-shot verdict and mu's agree.
  uint8_t mu[TAVIK_MU_BYTES];
  check(mu_of(mu, arbitrary, ctx, ctxlen, msg, len) == TAVIK_OK);
  check(tavik_verify_ctx(arbitrary, ctx, ctxlen, arbitrary, TAVIK_SIG_BYTES, msg, len) ==
        tavik_verify_mu(arbitrary, arbitrary, TAVIK_SIG_BYTES, mu));
  return 0;
}
