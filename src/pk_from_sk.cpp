// The public key rebuilt from a secret key: t = A*s1 + s2 from the stored rho, s1 and s2, its
// high part t1 packed with rho, checked against the stored hash tr of the public key and the
// stored low part t0 (so damage to s1 or s2 that leaves t1 alone is still found).
#include <cstring>

#include "Polynomial.h"
#include "ct.h"
#include "fips202.h"
#include "io.h"
#include "kernels.h"
#include "key_check.h"
#include "params.h"
#include "signature.h"
#include "tavik.h"
#include "wipe.h"

using namespace tavik;

namespace {

// Stack below tavik_pk_from_sk's frame that rebuild_pk and its callees may use: its own 40 KiB
// of polynomials, then the kernels' frames.
constexpr size_t PK_FROM_SK_SCRUB_BYTES = 49152;

// Rebuilds t = A*s1 + s2 (t holds s2 on entry; s1, in ordinary form, is transformed in place),
// packs its high part with rho into pk, and returns whether the hash of pk and the low part are
// the tr and t0 stored at sk + SK1_BYTES.
bool rebuilt_pk_agrees(uint8_t *pk, const uint8_t *rho, const uint8_t *sk, NttVec A, uint32_t *s1, uint32_t *t) {
  uint32_t t1[K * N], t0[K * N];
  uint8_t sk2[SK_BYTES - SK1_BYTES];  // the rebuilt tr, then the packed t0

  derive_t1_t0(t1, t0, t, A, s1);
  pack_pk(pk, rho, t1);
  shake256(sk2, CRH_BYTES, pk, PK_BYTES);
  pack_sk2(sk2, t0);
  // Public: whether the key's parts agree is the call's result; where they differ stays secret.
  const bool agree = ct::declassify(ct::differ(sk2, sk + SK1_BYTES, sizeof sk2)) == 0;

  secure_wipe(t1, sizeof t1);  // public parts too: they would tell which key signed
  secure_wipe(t0, sizeof t0);
  secure_wipe(sk2, sizeof sk2);
  return agree;
}

// The public key of sk into candidate; true when the key's stored tr and t0 are the rebuilt ones.
// Not inlined: its frame lies in what the caller's scrub_stack() zeroes.
[[gnu::noinline]] bool rebuild_pk(uint8_t *candidate, const uint8_t *sk) {
  uint8_t rho[SEED_BYTES], key[SEED_BYTES];
  uint32_t A[K * L * N], s1[L * N];
  uint32_t t[K * N];  // s2, then t = A*s1 + s2

  unpack_sk1(A, rho, key, s1, t, sk);
  // unpack_sk1 expands A in NTT form
  const bool matches = rebuilt_pk_agrees(candidate, rho, sk, NttVec::of_ntt_form(A), s1, t);

  secure_wipe(key, sizeof key);
  secure_wipe(s1, sizeof s1);
  secure_wipe(t, sizeof t);
  return matches;
}

}  // namespace

namespace tavik {

bool stored_key_agrees(const uint8_t *sk, NttVec A, const uint32_t *s1, const uint32_t *s2) {
  KeyCheckValue seen;
  const StoredKeyLookup found = stored_key_seen(sk, SK_BYTES, seen, kernels().path);
  // Public: whether these key bytes were found intact before in this process.
  if (found == StoredKeyLookup::known) return true;
  uint32_t s1_ntt[L * N];
  uint32_t t[K * N];  // s2, then t = A*s1 + s2
  uint8_t pk[PK_BYTES];

  PolyVec_assignment(s1_ntt, s1, L);
  PolyVec_assignment(t, s2, K);
  const bool agree = rebuilt_pk_agrees(pk, sk, sk, A, s1_ntt, t);  // rho heads the secret key

  secure_wipe(s1_ntt, sizeof s1_ntt);
  secure_wipe(t, sizeof t);
  secure_wipe(pk, sizeof pk);
  if (agree && found == StoredKeyLookup::unknown) stored_key_remember(seen);
  secure_wipe(&seen, sizeof seen);
  return agree;
}

bool secret_key_intact(const uint8_t *sk) {
  uint8_t candidate[PK_BYTES];
  const bool matches = rebuild_pk(candidate, sk);
  secure_wipe(candidate, sizeof candidate);
  return matches;
}

}  // namespace tavik

extern "C" int32_t tavik_pk_from_sk(uint8_t *pk, const uint8_t *sk) {
  if (pk == nullptr || sk == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  (void)active_backend();  // the path is chosen at the first call into the library
  uint8_t candidate[PK_BYTES];
  const bool matches = rebuild_pk(candidate, sk);
  if (matches) {
    // Public: the public key of an intact secret key.
    TAVIK_DECLASSIFY(candidate, sizeof candidate);
    std::memcpy(pk, candidate, PK_BYTES);
  }
  secure_wipe(candidate, sizeof candidate);
  scrub_stack<PK_FROM_SK_SCRUB_BYTES>();
  return matches ? TAVIK_OK : TAVIK_ILLEGAL_PARAMETER;
}
