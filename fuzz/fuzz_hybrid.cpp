// libFuzzer target: hybrid signatures on arbitrary keys, signatures, contexts and messages. The
// input is one byte of context length, a byte choosing which signature byte to flip, a 32-byte
// seed, then the rest: the context (its length byte's worth, fewer if short) and the message. The
// rest, zero padded, is also read as an arbitrary public key, signature and secret key.
// Arbitrary keys and signatures: the one-shot, halves and streaming verifications agree (0 or 1;
// -2 never for a signature of the right length); signing with an arbitrary secret key gives -2
// with nothing written, or a signature that verifies under that key's public key. The seed's pair
// signs the message, the signature verifies, and one flipped byte is refused with the failed bit
// of the half it lies in.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tavik_hybrid.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// The verdict of every verification form, checked to agree; failed bits in *failed.
int32_t verdict(const uint8_t *pk, const uint8_t *ctx, size_t ctxlen, const uint8_t *sig, const uint8_t *msg,
                size_t len, uint32_t *failed) {
  const int32_t a = tavik_hybrid_verify(pk, ctx, ctxlen, sig, TAVIK_HYBRID_SIG_BYTES, msg, len);
  const int32_t b = tavik_hybrid_verify_halves(pk, ctx, ctxlen, sig, TAVIK_HYBRID_SIG_BYTES, msg, len, failed);
  tavik_hybrid_verify_state st;
  check(tavik_hybrid_verify_init(&st, pk, ctx, ctxlen) == TAVIK_HYBRID_OK);
  check(tavik_hybrid_verify_update(&st, msg, len / 3) == TAVIK_HYBRID_OK);
  check(tavik_hybrid_verify_update(&st, msg + len / 3, len - len / 3) == TAVIK_HYBRID_OK);
  uint32_t streamed = 0;
  const int32_t c = tavik_hybrid_verify_final_halves(&st, sig, TAVIK_HYBRID_SIG_BYTES, &streamed);
  check(a == b && b == c && (a == 0 || a == 1) && streamed == *failed && (a == 0) == (*failed == 0));
  return a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2 + TAVIK_HYBRID_SEED_BYTES) return 0;
  const size_t want_ctx = data[0], flip = data[1];
  const uint8_t *seed = data + 2;
  const uint8_t *rest = data + 2 + TAVIK_HYBRID_SEED_BYTES;
  const size_t restlen = size - 2 - TAVIK_HYBRID_SEED_BYTES;
  const size_t ctxlen = want_ctx < restlen ? want_ctx : restlen;
  const uint8_t *ctx = rest, *msg = rest + ctxlen;
  const size_t len = restlen - ctxlen;

  std::vector<uint8_t> padded(TAVIK_HYBRID_SK_BYTES, 0);
  std::memcpy(padded.data(), rest, restlen < padded.size() ? restlen : padded.size());
  uint32_t failed = 0;
  verdict(padded.data(), ctx, ctxlen, padded.data(), msg, len, &failed);

  static uint8_t sig[TAVIK_HYBRID_SIG_BYTES], pk[TAVIK_HYBRID_PK_BYTES], sk[TAVIK_HYBRID_SK_BYTES];
  std::memset(sig, 0xa5, sizeof sig);
  const int32_t r = tavik_hybrid_sign_deterministic(padded.data(), ctx, ctxlen, msg, len, sig);
  if (r == TAVIK_HYBRID_OK) {
    check(tavik_hybrid_pk_from_sk(pk, padded.data()) == TAVIK_HYBRID_OK);
    check(verdict(pk, ctx, ctxlen, sig, msg, len, &failed) == 0);
  } else {
    check(r == TAVIK_HYBRID_ILLEGAL_PARAMETER && tavik_hybrid_pk_from_sk(pk, padded.data()) == r);
    for (uint8_t b : sig) check(b == 0xa5);
  }

  check(tavik_hybrid_keygen_from_seed(pk, sk, seed) == TAVIK_HYBRID_OK);
  check(tavik_hybrid_sign_deterministic(sk, ctx, ctxlen, msg, len, sig) == TAVIK_HYBRID_OK);
  check(verdict(pk, ctx, ctxlen, sig, msg, len, &failed) == 0);
  // One byte flipped: in the tavik half (most of it) or the Ed25519 half (the last 64 bytes).
  const size_t at = flip < 64 ? TAVIK_HYBRID_SIG_ED25519_OFFSET + flip : (flip * 10 + len) % TAVIK_SIG_BYTES;
  sig[at] ^= 1;
  check(verdict(pk, ctx, ctxlen, sig, msg, len, &failed) == 1);
  check(failed == (at < TAVIK_SIG_BYTES ? TAVIK_HYBRID_TAVIK_HALF : TAVIK_HYBRID_ED25519_HALF));
  return 0;
}
