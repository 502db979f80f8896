// A key is remembered by a 16-byte tag, BLAKE2b (libsodium's crypto_generichash) of its 64 bytes
// keyed with a 32-byte memo key drawn once per process from the random source without waiting
// (randombytes_now: the key's bytes stay in the process). Without the memo key no tag of another
// key can be made to equal a remembered one except by chance: keyed BLAKE2b taken as a random
// function, a changed key passes with probability at most kMemoKeys * 2^-128 per call. While the
// source has no bytes at once nothing is remembered and every call rebuilds; later calls try again.
#include "key_memo.h"

#include <sodium.h>

#include <cstring>
#include <mutex>

#include "randombytes.h"
#include "sodium_marks.h"
#include "wipe.h"

namespace tavik::hybrid {

namespace {

constexpr size_t kTagBytes = 16;
constexpr size_t kSeedPkBytes = TAVIK_HYBRID_ED25519_SEED_BYTES + TAVIK_HYBRID_ED25519_PK_BYTES;

struct Memo {
  std::mutex lock;
  bool keyed = false;
  uint8_t key[crypto_generichash_KEYBYTES] = {};
  uint8_t tags[kMemoKeys][kTagBytes] = {};
  bool used[kMemoKeys] = {};
  unsigned next = 0;
};
Memo memo;

// The tag of seed_pk under the memo key, with the lock held; false when there is no memo key.
bool tag_of(uint8_t tag[kTagBytes], const uint8_t *seed_pk) {
  if (!memo.keyed) {
    if (!randombytes_now(memo.key, sizeof memo.key)) return false;
    memo.keyed = true;
  }
  crypto_generichash(tag, kTagBytes, seed_pk, kSeedPkBytes, memo.key, sizeof memo.key);
  // The tag is public: without the memo key it tells nothing of the key it was made from.
  public_from_sodium(tag, kTagBytes);
  return true;
}

}  // namespace

bool ed25519_remembered(const uint8_t *seed_pk) {
  const std::lock_guard<std::mutex> hold(memo.lock);
  uint8_t tag[kTagBytes];
  if (!tag_of(tag, seed_pk)) return false;
  for (unsigned i = 0; i < kMemoKeys; ++i)
    if (memo.used[i] && std::memcmp(memo.tags[i], tag, kTagBytes) == 0) return true;
  return false;
}

void ed25519_remember(const uint8_t *seed_pk) {
  const std::lock_guard<std::mutex> hold(memo.lock);
  uint8_t tag[kTagBytes];
  if (!tag_of(tag, seed_pk)) return;
  std::memcpy(memo.tags[memo.next], tag, kTagBytes);
  memo.used[memo.next] = true;
  memo.next = (memo.next + 1) % kMemoKeys;
}

}  // namespace tavik::hybrid
