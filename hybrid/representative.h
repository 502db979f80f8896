// The message representative both halves of a hybrid signature sign:
//   M' = prefix || the pair's identifier (DER) || byte(ctxlen) || ctx || SHA-512(M).
#pragma once
#include <cstddef>
#include <cstdint>

#include "tavik_hybrid.h"

namespace tavik::hybrid {

// A context is 0..255 bytes, and may be null only when empty.
inline bool context_ok(const uint8_t *ctx, uint64_t ctxlen) {
  return ctxlen <= TAVIK_HYBRID_MAX_CONTEXT_BYTES && (ctx != nullptr || ctxlen == 0);
}

// The representative's head: everything before the message's digest. Its bytes and length.
struct Head {
  uint8_t bytes[TAVIK_HYBRID_MAX_REPRESENTATIVE_BYTES - TAVIK_HYBRID_MESSAGE_HASH_BYTES];
  uint32_t len;
};
// Writes the head for ctx (which must satisfy context_ok) to head.
void make_head(Head &head, const uint8_t *ctx, uint64_t ctxlen);

// SHA-512 of msg[0..msglen), msg read where it lies (libsodium's).
void message_hash(uint8_t digest[TAVIK_HYBRID_MESSAGE_HASH_BYTES], const uint8_t *msg, uint64_t msglen);

// The representative: a head followed by the digest.
struct Representative {
  uint8_t bytes[TAVIK_HYBRID_MAX_REPRESENTATIVE_BYTES];
  uint32_t len;
};
// rep = head || digest (TAVIK_HYBRID_MESSAGE_HASH_BYTES).
void join(Representative &rep, const Head &head, const uint8_t *digest);

}  // namespace tavik::hybrid
