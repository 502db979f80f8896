// The self-test's work: the pinned key pair, signature and verification a path must reproduce
// before it is used, the work that measures the Keccak lane width, and the path's reports.
#include <array>
#include <cstring>

#include "fips202.h"
#include "kernels.h"
#include "params.h"
#include "path.h"
#include "scheme.h"
#include "shake_lanes.h"
#include "signature.h"
#include "wipe.h"

namespace tavik {

namespace {

// The work that decides the Keccak lane width (defined with the self-test, whose signature it checks).
void lanes_work(const Kernels &k, uint32_t width);

}  // namespace


// Chooses the path of kernels at the first call into the scheme; every public entry starts with it.
// The self-test calls none of them: it runs on the kernels it is handed.
void scheme::ready() { path_choose(self_test, lanes_work); }

namespace {

using namespace scheme;

// The self-test's message: the bytes 0, 1, ..., 58.
constexpr std::array<uint8_t, 59> PINNED_MSG = [] {
  std::array<uint8_t, 59> m{};
  for (uint32_t i = 0; i < m.size(); ++i) m[i] = uint8_t(i);
  return m;
}();

// The self-test's key pair and signature, pk || signature in keys_sig: the key of the seed 1, 8,
// 15, ... and the signature of PINNED_MSG under it, on the kernels in use. False when signing
// failed. The key's secret part is wiped.
bool pinned_signature(uint8_t *keys_sig) {
  uint8_t seed[SEED_BYTES];
  uint8_t sk[SK_BYTES];
  for (uint32_t i = 0; i < sizeof seed; ++i) seed[i] = uint8_t(7 * i + 1);
  keygen(keys_sig, sk, seed);
  // Faulty kernels can fail every attempt: the pinned signature takes 3 attempts, so 64 ends it.
  SignStats stats;
  stats.max_attempts = 64;
  const bool signed_ok =
      sign_any(sk, Context{}, PINNED_MSG.data(), PINNED_MSG.size(), keys_sig + PK_BYTES, &stats, nullptr) == TAVIK_OK;
  secure_wipe(sk, sizeof sk);
  return signed_ok;
}

// The pinned key and signature once made: by the self-test that passed (the same bytes on every
// path), else by the first lanes_work. Written and read only while the path's choice runs, on one
// thread.
struct Pinned {
  uint8_t keys_sig[PK_BYTES + SIG_BYTES];
  bool made = false;
};
Pinned pinned;

// The work that decides the Keccak lane width: verifying the pinned signature. It runs the lanes'
// users side by side as they run in use (the matrix expansion, the public key's hash and the
// message digest in its lanes, the challenge hash) with the arithmetic between them. The
// expansion alone misleads: on a processor whose eight lanes tie with four on the expansion,
// verification gains 8% at eight. All of it is public.
void lanes_work(const Kernels &k, uint32_t width) {
  const KernelsInThread use(k);
  if (!pinned.made) pinned.made = pinned_signature(pinned.keys_sig);
  const KeccakLanesInThread lanes(width);
  verify_any(nullptr, pinned.keys_sig, Context{}, pinned.keys_sig + PK_BYTES, PINNED_MSG.data(), PINNED_MSG.size());
}

// SHAKE256(pk || signature), 32 bytes, for the seed 1, 8, 15, ... and the message 0, 1, ..., 58.
constexpr uint8_t SELF_TEST_DIGEST[32] = {
    0xFF, 0xFF, 0xC6, 0x79, 0x89, 0xD2, 0x25, 0x1D, 0xA9, 0x83, 0xE4, 0x8C, 0xAF, 0xF1, 0x2B, 0x6F,
    0x5E, 0x54, 0xAF, 0x2C, 0xDE, 0x09, 0x4A, 0xD2, 0x4C, 0xB9, 0x16, 0xFE, 0xB7, 0x2D, 0x34, 0x60};

}  // namespace

bool self_test(const Kernels &k) {
  // The eight-state kernels first: the scheme's run below uses them only at that width.
  if (!keccak_lanes_check(k)) return false;
  const KernelsInThread use(k);
  uint8_t keys_sig[PK_BYTES + SIG_BYTES];
  uint8_t digest[32];
  if (!pinned_signature(keys_sig)) return false;
  if (verify_any(nullptr, keys_sig, Context{}, keys_sig + PK_BYTES, PINNED_MSG.data(), PINNED_MSG.size()) != TAVIK_OK) return false;
  shake256(digest, sizeof digest, keys_sig, sizeof keys_sig);
  if (std::memcmp(digest, SELF_TEST_DIGEST, sizeof digest) != 0) return false;
  std::memcpy(pinned.keys_sig, keys_sig, sizeof keys_sig);  // for the lane width's measurement
  pinned.made = true;
  return true;
}

Backend active_backend() { return path_choose(self_test, lanes_work); }

const char *backend_reason() {
  ready();
  return path_reason();
}

uint32_t backend_lanes() {
  ready();
  return path_lanes();
}

const char *backend_lanes_reason() {
  ready();
  return path_lanes_reason();
}

uint32_t backend_arith_bits() {
  ready();
  return path_arith_bits();
}

const char *backend_arith_reason() {
  ready();
  return path_arith_reason();
}

}  // namespace tavik
