#include "tavik_cli_hybrid.h"

#include <sodium.h>

#include <cstring>

#include "tavik_hybrid.h"
#include "tavik_hybrid_der.h"

namespace tavik_cli {

namespace {

// The file tool's context: the same as for the single scheme's version 3. The pair's
// representative carries its own identifier, so the two never sign the same bytes.
constexpr char FILE_CONTEXT[] = "tavik file signature v3";

// The comment's frame, as version 3 writes it: its length in 4 bytes, big-endian, then its bytes.
void frame_comment(const std::string &comment, const std::function<void(const uint8_t *, uint64_t)> &update) {
  const uint32_t n = uint32_t(comment.size());
  const uint8_t len[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
  update(len, sizeof len);
  update(reinterpret_cast<const uint8_t *>(comment.data()), comment.size());
}

const uint8_t *context() { return reinterpret_cast<const uint8_t *>(FILE_CONTEXT); }

}  // namespace

void pair_keygen(uint8_t *pk, uint8_t *sk) {
  const int32_t r = tavik_hybrid_keygen(pk, sk);
  if (r == TAVIK_HYBRID_NO_RANDOMNESS) throw Error{"key generation failed: the system's random source does not answer"};
  if (r != TAVIK_HYBRID_OK) throw Error{"key generation failed"};
  note_secret_key(sk);
  note_secret(sk + TAVIK_HYBRID_SK_ED25519_SEED_OFFSET, TAVIK_HYBRID_ED25519_SEED_BYTES);
}

bool pair_public_key(uint8_t *pk, const uint8_t *sk) { return tavik_hybrid_pk_from_sk(pk, sk) == TAVIK_HYBRID_OK; }

std::vector<uint8_t> pair_sign_file(const uint8_t *sk, const std::string &comment, const Feed &feed) {
  tavik_hybrid_sign_state st;
  if (comment_fault(comment) != nullptr || tavik_hybrid_sign_init(&st, sk, context(), sizeof FILE_CONTEXT - 1) != 0)
    throw Error{"signing failed"};
  const auto update = [&](const uint8_t *p, uint64_t n) { tavik_hybrid_sign_update(&st, p, n); };
  try {
    frame_comment(comment, update);
    feed(update);
  } catch (...) {
    tavik_hybrid_sign_state_wipe(&st);
    throw;
  }
  std::vector<uint8_t> sig(TAVIK_HYBRID_SIG_BYTES);
  const int32_t r = tavik_hybrid_sign_final(&st, sig.data());
  if (r != TAVIK_HYBRID_OK) {
    tavik_hybrid_sign_state_wipe(&st);
    throw Error{r == TAVIK_HYBRID_NO_RANDOMNESS ? "signing failed: the system's random source does not answer"
                : r == TAVIK_HYBRID_SIGNING_FAILED ? "signing failed: the secret key or the memory holding it is faulty"
                                                   : "signing failed"};
  }
  return sig;
}

int pair_verify_file(const uint8_t *pk, const std::vector<uint8_t> &sig, const std::string &comment, const Feed &feed,
                     uint32_t *failed) {
  tavik_hybrid_verify_state st;
  if (tavik_hybrid_verify_init(&st, pk, context(), sizeof FILE_CONTEXT - 1) != 0)
    throw Error{"verification failed to start"};
  const auto update = [&](const uint8_t *p, uint64_t n) { tavik_hybrid_verify_update(&st, p, n); };
  frame_comment(comment, update);
  feed(update);
  *failed = 0;
  const int32_t r = tavik_hybrid_verify_final_halves(&st, sig.data(), sig.size(), failed);
  if (r != TAVIK_HYBRID_OK && r != TAVIK_HYBRID_INVALID_SIGNATURE) throw Error{"verification failed"};
  return r;
}

bool der_names_pair(const uint8_t *der, size_t len, bool secret) {
  uint8_t id[2 + TAVIK_HYBRID_OID_DER_BYTES];
  size_t n = 0;
  if (tavik_hybrid_der_algorithm_identifier(id, sizeof id, &n) != TAVIK_OK) return false;
  // 30 82 LL LL: every key container is longer than 255 bytes; a PrivateKeyInfo adds 02 01 00.
  const size_t at = secret ? 7 : 4;
  return len >= at + n && std::memcmp(der + at, id, n) == 0;
}

bool pem_names_pair(const char *pem, size_t len, bool secret) {
  uint8_t der[TAVIK_HYBRID_PKCS8_MAX_BYTES];
  size_t n = 0;
  const char *label = secret ? "PRIVATE KEY" : "PUBLIC KEY";
  const bool pair =
      tavik_pem_to_der(der, sizeof der, &n, label, pem, len) == TAVIK_OK && der_names_pair(der, n, secret);
  sodium_memzero(der, sizeof der);  // it may hold a secret key
  return pair;
}

std::string failed_halves(uint32_t failed) {
  const bool tavik = failed & TAVIK_HYBRID_TAVIK_HALF, ed = failed & TAVIK_HYBRID_ED25519_HALF;
  return tavik && ed ? "both halves" : tavik ? "the tavik half" : ed ? "the Ed25519 half" : "no half";
}

}  // namespace tavik_cli
