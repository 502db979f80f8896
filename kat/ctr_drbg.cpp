#include "ctr_drbg.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace tavik::kat {

CtrDrbg::CtrDrbg(const uint8_t *entropy) {
  std::memset(key_, 0, sizeof key_);
  std::memset(v_, 0, sizeof v_);
  update(entropy);
}

CtrDrbg::~CtrDrbg() {
  OPENSSL_cleanse(key_, sizeof key_);
  OPENSSL_cleanse(v_, sizeof v_);
}

void CtrDrbg::next_block(uint8_t *out) {
  for (int i = 15; i >= 0 && ++v_[i] == 0; --i) {
  }
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  int n = 0;
  const bool ok = ctx != nullptr && EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key_, nullptr) == 1 &&
                  EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 && EVP_EncryptUpdate(ctx, out, &n, v_, 16) == 1 &&
                  n == 16;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) throw std::runtime_error("AES-256 from libcrypto failed");
}

void CtrDrbg::update(const uint8_t *provided) {
  uint8_t temp[SEED_BYTES];
  for (size_t off = 0; off < SEED_BYTES; off += 16) next_block(temp + off);
  if (provided != nullptr)
    for (size_t i = 0; i < SEED_BYTES; ++i) temp[i] ^= provided[i];
  std::memcpy(key_, temp, sizeof key_);
  std::memcpy(v_, temp + sizeof key_, sizeof v_);
  OPENSSL_cleanse(temp, sizeof temp);
}

void CtrDrbg::generate(uint8_t *out, size_t len) {
  uint8_t block[16];
  while (len > 0) {
    next_block(block);
    const size_t n = std::min(len, sizeof block);
    std::memcpy(out, block, n);
    out += n;
    len -= n;
  }
  update(nullptr);
  OPENSSL_cleanse(block, sizeof block);
}

}  // namespace tavik::kat
