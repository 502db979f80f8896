// Verification: the public key prepared, the signature screened, and the verdict of a digest or of
// a message, the one-shot forms running the hashes of a call beside the matrix expansion.
#include <cstring>

#include "Polynomial.h"
#include "Rounding.h"
#include "fips202.h"
#include "fips202x4.h"
#include "io.h"
#include "kernels.h"
#include "params.h"
#include "scheme.h"
#include "shake_lanes.h"

namespace tavik::scheme {

// Decodes sig into f; false when z reaches its bound, the hint has more than 96 ones, or a field
// is not in its one accepted encoding. Needs no key, so a malformed signature costs no SHAKE.
bool screen_signature(SignatureFields &f, const uint8_t *sig) {
  const int32_t non_canonical = unpack_signature(f.z, f.h, f.c, sig);
  if (PolyVec_check_norm(f.z, L, Z_BOUND) != 0) return false;
  uint32_t ones = 0;
  for (uint32_t i = 0; i < K * N; ++i) ones += f.h[i];
  if (ones > OMEGA) return false;
  return non_canonical == 0;
}

void prepare_verify_key(VerifyKey &k, const uint8_t *pk, const uint8_t *tr, const Message *m, ContextHash *ctx) {
  uint8_t rho[SEED_BYTES];
  if (tr != nullptr) {
    unpack_pk(k.A, rho, k.t1, pk);
    std::memcpy(k.tr, tr, CRH_BYTES);
  } else {
    // With a context, tr goes into the context hash's input, whose hash then starts.
    SideHash side[3] = {{ctx != nullptr ? ctx->tr() : k.tr, CRH_BYTES, nullptr, 0, pk, PK_BYTES, false}, {}, {}};
    uint32_t count = 1;
    if (ctx != nullptr) side[count++] = ctx->beside();
    if (m != nullptr) side[count++] = digest_beside(*m, ctx != nullptr ? ctx->tr_ctx : k.tr, true);
    generate_a_and_shake256(k.A, pk, side, count);  // rho heads the key
    if (ctx != nullptr) std::memcpy(k.tr, ctx->tr(), CRH_BYTES);
    unpack_t1(k.t1, pk);
  }
  canonical_ntt(k.t1, K);
}

// Verdict for screened fields f against the prepared key k and the digest mu: 0 valid, 1 invalid.
// Consumes f (z and c are transformed in place); k is only read. Not inlined, so that its 12 KiB
// of polynomials are not on the stack beside the key's preparation in the one-shot call.
[[gnu::noinline]] int32_t verify_digest(const VerifyKey &k, SignatureFields &f, const uint8_t *mu) {
  uint32_t w[K * N], w1[K * N], c_saved[N], c_new[N];
  PolyVec_assignment(c_saved, f.c, 1);
  const NttVec z = polyvec_ntt(f.z, L), c = polyvec_ntt(f.c, 1);
  // w' = A*z - c*t1, row by row; the vector paths take c*t1 into the row's sum before its one
  // inverse transform.
  for (uint32_t i = 0; i < K; ++i) polyvec_inner_product_minus(poly(w, i), k.a().from(i * L), z, L, c, k.high().from(i));
  PolyVec_use_hint(w1, f.h, w);
  challenge_vartime(c_new, mu, w1);  // public: w1 follows from the public key and the signature
  return PolyVec_compare(c_new, c_saved, 1) == 0 ? TAVIK_OK : TAVIK_INVALID_SIGNATURE;
}

namespace {

// Row i of w1 packed into out (POLY_W1_BYTES): the corrected high part, by the hints h, of row i
// of A*z - c*t1, from that row of A (a_row, NTT form), t1 in pk, and z and c transformed.
void verify_w1_row(uint8_t *out, const uint32_t *a_row, const uint8_t *pk, uint32_t i, NttVec z, NttVec c,
                   const uint32_t *h) {
  uint32_t t1_row[N], w1_row[N];
  decompress(t1_row, pk + SEED_BYTES + i * POLY_T1_BYTES, IO_T1);
  polyvec_ntt(t1_row, 1);  // below 18Q is all the product needs: this row is used once
  polyvec_inner_product_minus(w1_row, NttVec::of_ntt_form(a_row), z, L, c, NttVec::of_ntt_form(t1_row));
  polyvec_use_hint(w1_row, h + i * N, w1_row, 1);
  pack_w1_row(out, w1_row);
}

// The verdict once c_hash (mu || packed w1) has all its input: 0 when the challenge it draws is the
// signature's c (c_saved), else 1.
int32_t challenge_verdict(Shake256Beside &c_hash, uint64_t inlen, const uint32_t *c_saved) {
  uint32_t c_new[N];
  c_hash.written(inlen);
  challenge_vartime_of(c_new, c_hash);  // public: w1 follows from the public key and the signature
  return PolyVec_compare(c_new, c_saved, 1) == 0 ? TAVIK_OK : TAVIK_INVALID_SIGNATURE;
}

// verify_any's one shot under a plain public key, a row of the matrix at a time (four Keccak lanes,
// or none): tr, then the message digest, then the challenge hash ride beside the permutations of
// the rows, the challenge hash taking w1 as its rows are made, instead of running after them.
// Each hash takes the rows from the one after the row where the hash before it ends. With a
// context (ctx not null), tr_ctx, one permutation, runs alone as soon as tr is done: beside the
// rows it would take a row of its own and push the challenge hash's blocks out of the last one.
// Not inlined: its frame is not on the stack beside the eight-lane form's.
[[gnu::noinline]] int32_t verify_row_by_row(const uint8_t *pk, SignatureFields &f, const uint8_t *msg,
                                            uint64_t msglen, ContextHash *ctx) {
  uint32_t a_row[L * N], c_saved[N];
  uint8_t tr_own[CRH_BYTES];
  uint8_t *tr = ctx != nullptr ? ctx->tr() : tr_own;  // with a context, in its hash's input
  uint8_t hashed[CRH_BYTES + W1_PACKED_BYTES];  // mu || packed w1: the challenge hash's input
  PolyVec_assignment(c_saved, f.c, 1);
  const NttVec z = polyvec_ntt(f.z, L), c = polyvec_ntt(f.c, 1);
  Shake256Beside tr_hash(pk, PK_BYTES), mu_hash(ctx != nullptr ? ctx->tr_ctx : tr, CRH_BYTES, msg, msglen),
      c_hash(hashed, sizeof hashed);
  tr_hash.written(PK_BYTES);
  mu_hash.written(msglen);
  bool tr_done = false, mu_done = false;
  const auto finish_tr = [&] {
    tr_hash.finish(tr, CRH_BYTES);
    tr_done = true;
    if (ctx != nullptr) shake256(ctx->tr_ctx, CRH_BYTES, ctx->in, ctx->inlen);  // its input is complete with tr
  };
  // The hash to ride beside row i: the first one not yet done, once the one before it is finished.
  const auto next_hash = [&](uint32_t i) -> Shake256Beside & {
    if (!tr_done) {
      if (!tr_hash.padded()) return tr_hash;
      finish_tr();
    }
    if (!mu_done) {
      if (!mu_hash.padded()) return mu_hash;
      mu_hash.finish(hashed, CRH_BYTES);
      mu_done = true;
    }
    c_hash.written(CRH_BYTES + i * POLY_W1_BYTES);  // mu, then the rows of w1 before row i
    return c_hash;
  };
  for (uint32_t i = 0; i < K; ++i) {
    generate_a_row(a_row, pk, i, next_hash(i));  // rho heads the key
    verify_w1_row(hashed + CRH_BYTES + i * POLY_W1_BYTES, a_row, pk, i, z, c, f.h);
  }
  // What did not ride beside the rows (a long message's digest, say) runs alone now.
  if (!tr_done) finish_tr();
  if (!mu_done) mu_hash.finish(hashed, CRH_BYTES);
  return challenge_verdict(c_hash, sizeof hashed, c_saved);
}

// The same where a stream costs less in a lane of the scheduled expansion than beside four
// (Kernels::side_hashes_in_lanes): tr, then tr_ctx with a context, then the message digest, take
// lanes of the expansion of all rows but the last; the challenge hash then takes w1 of those rows
// beside the last row's permutations, so that only its blocks holding the last row of w1 run
// alone. Not inlined, as the row-by-row form.
[[gnu::noinline]] int32_t verify_in_lanes_then_last_row(const uint8_t *pk, SignatureFields &f, const uint8_t *msg,
                                                        uint64_t msglen, ContextHash *ctx) {
  uint32_t a_head[(K - 1) * L * N], c_saved[N];
  uint8_t tr[CRH_BYTES];
  uint8_t hashed[CRH_BYTES + W1_PACKED_BYTES];  // mu || packed w1: the challenge hash's input
  PolyVec_assignment(c_saved, f.c, 1);
  const NttVec z = polyvec_ntt(f.z, L), c = polyvec_ntt(f.c, 1);
  const Message m = {msg, msglen, hashed};
  SideHash side[3] = {{ctx != nullptr ? ctx->tr() : tr, CRH_BYTES, nullptr, 0, pk, PK_BYTES, false}, {}, {}};
  uint32_t count = 1;
  if (ctx != nullptr) side[count++] = ctx->beside();
  side[count++] = digest_beside(m, ctx != nullptr ? ctx->tr_ctx : tr, true);
  generate_a_and_shake256(a_head, pk, side, count, K - 1);  // rho heads the key
  for (uint32_t i = 0; i + 1 < K; ++i)
    verify_w1_row(hashed + CRH_BYTES + i * POLY_W1_BYTES, a_head + i * L * N, pk, i, z, c, f.h);
  Shake256Beside c_hash(hashed, sizeof hashed);
  c_hash.written(CRH_BYTES + (K - 1) * POLY_W1_BYTES);
  generate_a_row(a_head, pk, K - 1, c_hash);  // the first row's place is free again
  verify_w1_row(hashed + CRH_BYTES + (K - 1) * POLY_W1_BYTES, a_head, pk, K - 1, z, c, f.h);
  return challenge_verdict(c_hash, sizeof hashed, c_saved);
}

// The same at eight Keccak lanes: the public key's hash, then tr_ctx with a context, then the
// message digest, in the lanes of the whole matrix's expansion. Not inlined: its prepared key is
// on the stack only at that width.
[[gnu::noinline]] int32_t verify_in_eight_lanes(const uint8_t *pk, SignatureFields &f, const uint8_t *msg,
                                                uint64_t msglen, ContextHash *ctx) {
  VerifyKey k;
  uint8_t mu[CRH_BYTES];
  const Message m = {msg, msglen, mu};
  prepare_verify_key(k, pk, nullptr, &m, ctx);
  return verify_digest(k, f, mu);
}

// The one shot under a plain public key, on the form the path runs best; ctx: null without a context.
int32_t verify_message(const uint8_t *pk, SignatureFields &f, const uint8_t *msg, uint64_t msglen, ContextHash *ctx) {
  if (keccak_eight_lanes()) return verify_in_eight_lanes(pk, f, msg, msglen, ctx);
  if (kernels().side_hashes_in_lanes) return verify_in_lanes_then_last_row(pk, f, msg, msglen, ctx);
  return verify_row_by_row(pk, f, msg, msglen, ctx);
}

}  // namespace

int32_t verify_any(const VerifyKey *xk, const uint8_t *pk, Context ctx, const uint8_t *sig, const uint8_t *msg,
                   uint64_t msglen) {
  if (xk != nullptr)
    return verify_with(xk, pk, nullptr, sig, [&](const uint8_t *tr, uint8_t *mu) {
      uint8_t prefix[CRH_BYTES];
      message_digest(mu, digest_prefix(prefix, tr, ctx), msg, msglen);
    });
  SignatureFields f;
  if (!screen_signature(f, sig)) return TAVIK_INVALID_SIGNATURE;
  if (ctx.len == 0) return verify_message(pk, f, msg, msglen, nullptr);
  ContextHash hash(ctx);
  return verify_message(pk, f, msg, msglen, &hash);
}

}  // namespace tavik::scheme
