// The portable element-wise vector kernels (the loops of polyvec_ops_impl.h) and the masked
// challenge shuffle. Contracts in kernels.h.
#include <cstddef>
#include <cstdint>

#include "ct.h"
#include "params.h"
#include "rules/challenge_rules.h"
#include "rules/polyvec_ops_impl.h"
#include "scalar/kernels_scalar.h"
#include "wipe.h"

namespace tavik {

void polyvec_add_scalar(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  add_loop(out, a, b, size_t(count) * N);
}
void polyvec_sub_scalar(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  sub_loop(out, a, b, size_t(count) * N);
}
void polyvec_freeze_scalar(uint32_t *v, uint32_t count) { freeze_loop(v, size_t(count) * N); }
int32_t polyvec_check_norm_scalar(const uint32_t *v, uint32_t count, uint32_t bound) {
  return check_norm_loop(v, size_t(count) * N, bound);
}

void polyvec_split_pair_scalar(uint32_t *lo, uint32_t *hi, const uint32_t *x, uint32_t shift, uint32_t count) {
  split_pair_loop(lo, hi, x, shift, size_t(count) * N);
}

namespace {

// The challenge during its shuffle as two 256-bit sets, its nonzero and its negative
// coefficients. place() reads and writes the position b drawn from the hash only through masks
// over every word and shifts, never through an index.
class ChallengeSets {
 public:
  // c[i] = c[b], then c[b] = -1 when negative is all ones, +1 when it is 0. b <= i.
  void place(uint32_t b, uint32_t i, uint32_t negative) {
    const uint64_t bit = uint64_t(1) << (b & 63);
    uint64_t moved_nz = 0, moved_neg = 0, at_b[4];
    for (uint32_t w = 0; w < 4; ++w) {
      at_b[w] = ct::widen(ct::mask_eq(w, b >> 6)) & bit;
      moved_nz |= nz_[w] & at_b[w];
      moved_neg |= neg_[w] & at_b[w];
    }
    nz_[i >> 6] |= ((moved_nz >> (b & 63)) & 1) << (i & 63);
    neg_[i >> 6] |= ((moved_neg >> (b & 63)) & 1) << (i & 63);
    const uint64_t sign = ct::widen(negative);
    for (uint32_t w = 0; w < 4; ++w) {
      nz_[w] |= at_b[w];
      neg_[w] = ct::select(at_b[w], sign, neg_[w]);
    }
  }
  // c[j] = 0, 1 or Q - 1 as bit j of the sets says.
  void expand(uint32_t *c) const {
    for (uint32_t j = 0; j < N; ++j) {
      const uint32_t nz = uint32_t(nz_[j >> 6] >> (j & 63)) & 1;
      const uint32_t neg = uint32_t(neg_[j >> 6] >> (j & 63)) & 1;
      c[j] = (0u - nz) & (1u + ((0u - neg) & (Q - 2)));
    }
  }
  void wipe() { secure_wipe(this, sizeof *this); }

 private:
  uint64_t nz_[4] = {0, 0, 0, 0}, neg_[4] = {0, 0, 0, 0};
};

}  // namespace

void challenge_shuffle_scalar(uint32_t *c, const uint8_t *positions, uint64_t signs) {
  shuffle_challenge<ChallengeSets>(c, positions, signs);
}

}  // namespace tavik
