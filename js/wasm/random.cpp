// The random source of the WebAssembly build: the host's, imported from JavaScript (the package
// fills the bytes from crypto.getRandomValues, at most 65,536 bytes a call, as that call allows).
// It takes the place of the system random source of native builds; a host that has none answers
// "no", and key generation and hedged signing then return TAVIK_NO_RANDOMNESS.
#include <cstdint>

#include "randombytes.h"

extern "C" {
// Fills buf[0..len) and returns 0, or returns nonzero (buf then holds nothing to use).
__attribute__((import_module("env"), import_name("random_fill"))) int32_t tavik_js_random_fill(uint8_t *buf,
                                                                                                  uint32_t len);
}

namespace tavik {

namespace {

constexpr uint64_t HOST_PIECE = 65536;

bool host_fill(uint8_t *buf, uint64_t len) {
  while (len > 0) {
    const uint64_t piece = len < HOST_PIECE ? len : HOST_PIECE;
    if (tavik_js_random_fill(buf, static_cast<uint32_t>(piece)) != 0) return false;
    buf += piece;
    len -= piece;
  }
  return true;
}

}  // namespace

// The host answers at once or not at all: there is nothing to wait for.
bool randombytes(uint8_t *buf, uint64_t len) { return host_fill(buf, len); }
bool randombytes_now(uint8_t *buf, uint64_t len) { return host_fill(buf, len); }

}  // namespace tavik
