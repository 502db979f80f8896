#include "representative.h"

#include <sodium.h>

#include <cstring>

#include "oid.h"
#include "sodium_marks.h"

namespace tavik::hybrid {

namespace {

constexpr uint8_t kOidDer[TAVIK_HYBRID_OID_DER_BYTES] = TAVIK_HYBRID_OID_DER;

// The DER bytes in the header are those of its dotted text: tag, length, then the encoding.
constexpr bool oid_der_matches_text() {
  constexpr der::EncodedOid enc = der::encode_oid(TAVIK_HYBRID_OID_TEXT);
  if (!enc.ok || enc.len + 2 != TAVIK_HYBRID_OID_DER_BYTES || kOidDer[0] != 0x06 || kOidDer[1] != enc.len) return false;
  for (size_t i = 0; i < enc.len; ++i)
    if (kOidDer[2 + i] != enc.bytes[i]) return false;
  return true;
}
static_assert(oid_der_matches_text(), "TAVIK_HYBRID_OID_DER is not the DER encoding of TAVIK_HYBRID_OID_TEXT");
static_assert(sizeof(TAVIK_HYBRID_PREFIX) - 1 == TAVIK_HYBRID_PREFIX_BYTES);
static_assert(sizeof(TAVIK_HYBRID_TAVIK_CONTEXT) - 1 == TAVIK_HYBRID_TAVIK_CONTEXT_BYTES);
static_assert(crypto_hash_sha512_BYTES == TAVIK_HYBRID_MESSAGE_HASH_BYTES);
static_assert(crypto_sign_ed25519_BYTES == TAVIK_HYBRID_ED25519_SIG_BYTES);
static_assert(crypto_sign_ed25519_PUBLICKEYBYTES == TAVIK_HYBRID_ED25519_PK_BYTES);
static_assert(crypto_sign_ed25519_SEEDBYTES == TAVIK_HYBRID_ED25519_SEED_BYTES);

}  // namespace

void message_hash(uint8_t digest[TAVIK_HYBRID_MESSAGE_HASH_BYTES], const uint8_t *msg, uint64_t msglen) {
  crypto_hash_sha512_state h;
  crypto_hash_sha512_init(&h);
  if (msglen > 0) crypto_hash_sha512_update(&h, msg, msglen);
  crypto_hash_sha512_final(&h, digest);
  public_from_sodium(digest, TAVIK_HYBRID_MESSAGE_HASH_BYTES);
}

void make_head(Head &head, const uint8_t *ctx, uint64_t ctxlen) {
  uint32_t n = 0;
  std::memcpy(head.bytes, TAVIK_HYBRID_PREFIX, TAVIK_HYBRID_PREFIX_BYTES);
  n += TAVIK_HYBRID_PREFIX_BYTES;
  std::memcpy(head.bytes + n, kOidDer, sizeof kOidDer);
  n += sizeof kOidDer;
  head.bytes[n++] = uint8_t(ctxlen);
  if (ctxlen > 0) std::memcpy(head.bytes + n, ctx, size_t(ctxlen));
  head.len = n + uint32_t(ctxlen);
}

void join(Representative &rep, const Head &head, const uint8_t *digest) {
  std::memcpy(rep.bytes, head.bytes, head.len);
  std::memcpy(rep.bytes + head.len, digest, TAVIK_HYBRID_MESSAGE_HASH_BYTES);
  rep.len = head.len + TAVIK_HYBRID_MESSAGE_HASH_BYTES;
}

}  // namespace tavik::hybrid

extern "C" int32_t tavik_hybrid_representative(const uint8_t *ctx, uint64_t ctxlen, const uint8_t *msg,
                                               uint64_t msglen, uint8_t *rep, uint64_t *replen) {
  using namespace tavik::hybrid;
  if (!context_ok(ctx, ctxlen) || (msg == nullptr && msglen > 0) || rep == nullptr || replen == nullptr)
    return TAVIK_HYBRID_ILLEGAL_PARAMETER;
  Head head;
  make_head(head, ctx, ctxlen);
  uint8_t digest[TAVIK_HYBRID_MESSAGE_HASH_BYTES];
  message_hash(digest, msg, msglen);
  Representative out;
  join(out, head, digest);
  std::memcpy(rep, out.bytes, out.len);
  *replen = out.len;
  return TAVIK_HYBRID_OK;
}
