// libFuzzer target: sig_verf on hostile signatures. The input is a list of edits (two bytes of
// offset, one byte of value) applied to a valid signature of a fixed message, so the fuzzer
// works close to signatures that pass the early checks. Verification must never crash or read
// out of bounds, and an edited signature may verify only if the edits left it unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tavik.h"

namespace {

struct Fixture {
  uint8_t pk[TAVIK_PK_BYTES], sk[TAVIK_SK_BYTES], sig[TAVIK_SIG_BYTES];
  uint8_t msg[59];
  Fixture() {
    const uint8_t seed[TAVIK_SEED_BYTES] = {1};
    uint64_t siglen = 0;
    for (size_t i = 0; i < sizeof msg; ++i) msg[i] = uint8_t(i);
    if (sig_keygen_from_seed(pk, sk, seed) != 0 || sig_sign(sk, msg, sizeof msg, sig, &siglen) != 0) std::abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const Fixture f;
  uint8_t sig[TAVIK_SIG_BYTES];
  std::memcpy(sig, f.sig, sizeof sig);
  for (size_t i = 0; i + 3 <= size; i += 3) {
    const size_t off = (size_t(data[i]) | size_t(data[i + 1]) << 8) % TAVIK_SIG_BYTES;
    sig[off] = data[i + 2];
  }
  const int32_t r = sig_verf(f.pk, sig, TAVIK_SIG_BYTES, f.msg, sizeof f.msg);
  const bool unchanged = std::memcmp(sig, f.sig, sizeof sig) == 0;
  if (r != (unchanged ? 0 : 1)) std::abort();
  return 0;
}
