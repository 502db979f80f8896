// The three calls of the scheme (declared for C in tavik.h) and the signing statistics.
#pragma once
#include <cstdint>

#include "tavik.h"

namespace tavik {

// Why signing attempts ended; filled by sign_with_stats.
struct SignStats {
  uint64_t attempts = 0;        // attempts made, the successful one included
  uint64_t z_rejects = 0;       // ended on the norm of z
  uint64_t variant_rejects = 0; // both candidates failed for some polynomial
  uint64_t hint_rejects = 0;    // more than 96 hint ones
  uint64_t second_variants = 0; // polynomials of the signature kept with their second candidate
  // Input: 0, or the number of attempts after which signing gives up, writes no signature and
  // sign_with_stats returns kGaveUp (for self-tests, which must end even on faulty kernels).
  uint64_t max_attempts = 0;
  bool gave_up = false;
};

// sign_with_stats: stats->max_attempts attempts made, none passed.
constexpr int32_t kGaveUp = -1;

// One candidate of one polynomial in signing: all ones when v keeps the high parts w1 with every
// centred low part below 2093728 and every centred coefficient of e is below 130976, else 0.
// Reads every coefficient.
uint32_t sign_candidate_ok(const uint32_t *v, const uint32_t *e, const uint32_t *w1);

// sig_sign with its attempt statistics added to *stats (stats may be null).
int32_t sign_with_stats(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig,
                        uint64_t *siglen, SignStats *stats);

}  // namespace tavik
