// AES-256 CTR_DRBG without a derivation function and without prediction resistance, the random
// source of the known-answer files. AES comes from libcrypto, which only the generator and its
// test link.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tavik::kat {

class CtrDrbg {
 public:
  static constexpr size_t SEED_BYTES = 48;  // key (32) + counter block (16)

  // Instantiates from 48 bytes of entropy input, no personalisation string.
  explicit CtrDrbg(const uint8_t *entropy);
  ~CtrDrbg();
  CtrDrbg(const CtrDrbg &) = delete;
  CtrDrbg &operator=(const CtrDrbg &) = delete;

  // Generate without additional input: len bytes of counter-mode output, then a state update.
  void generate(uint8_t *out, size_t len);

 private:
  // (key, V) = first 48 bytes of the keystream from V + 1 on, XOR provided (48 bytes, or zeros).
  void update(const uint8_t *provided);
  // V = V + 1 as a big-endian 128-bit number; out = AES-256(key, V).
  void next_block(uint8_t *out);

  uint8_t key_[32];
  uint8_t v_[16];
};

}  // namespace tavik::kat
