// libFuzzer target: the decoders of the signature's fields on hostile bytes. Decoding must stay
// within the 2573 bytes and write only valid hint and challenge coefficients, and a field
// reported canonical must re-encode to exactly the same bytes (one accepted encoding each).
// Inputs shorter than a signature are zero-extended, so short inputs reach the decoders too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "io.h"
#include "params.h"

using namespace tavik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The fuzzer's bytes fill the hint and challenge fields first, then z.
  std::vector<uint8_t> sig(SIG_BYTES, 0);  // exact size: ASan sees any over-read
  const size_t tail = H_BYTES + C_BYTES;
  std::memcpy(sig.data() + SIG_Z_BYTES, data, std::min(size, tail));
  if (size > tail) std::memcpy(sig.data(), data + tail, std::min(size - tail, SIG_Z_BYTES));
  uint32_t z[L * N], h[K * N], c[N];
  const int32_t non_canonical = unpack_signature(z, h, c, sig.data());
  for (uint32_t v : h)
    if (v > 1) std::abort();
  for (uint32_t v : c)
    if (v != 0 && v != 1 && v != Q - 1) std::abort();
  if (non_canonical == 0) {
    uint8_t again[SIG_BYTES];
    pack_signature(again, z, h, c);
    if (std::memcmp(again, sig.data(), SIG_BYTES) != 0) std::abort();
  }
  return 0;
}
