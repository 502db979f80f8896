// Independent SHAKE computations of different lengths scheduled over the lanes of the path's
// widest multi-state permutation: a lane whose computation ends takes the next one at once, so
// a long hash (a public key) runs beside many short expansions (the matrix) instead of after
// them. Every computation's output equals its single-stream SHAKE bit for bit.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fips202.h"
#include "wipe.h"

namespace tavik {

// One computation: SHAKE128 (rate 168) or SHAKE256 (rate 136) of in[0..inlen).
struct ShakeJob {
  const uint8_t *in;
  uint64_t inlen;
  uint32_t rate;
};

// The multi-state permutation of the path in use with the most states: width states
// interleaved lane by lane (lane i of state j at s[width * i + j]); width 8 or 4.
struct KeccakLanes {
  uint32_t width;
  void (*permute)(uint64_t *);
};
// Only meaningful on the vector paths.
KeccakLanes keccak_lanes();

// The little-endian word at p, and its inverse.
inline uint64_t lane_word(const uint8_t *p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}
inline void put_lane_word(uint8_t *p, uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

// Runs jobs[0..count) with the lanes of `lanes`, in order of job index as lanes fall free. After
// each squeezed block of job j, take(j, block) consumes the rate bytes at block and returns true
// when the job wants one more block. At least one block is squeezed per job.
template <typename Take>
void run_shake_jobs(KeccakLanes lanes, const ShakeJob *jobs, uint32_t count, Take take) {
  constexpr uint32_t MAX_W = 8;
  alignas(64) uint64_t s[25 * MAX_W];
  uint8_t block[SHAKE128_RATE];
  const uint32_t w = lanes.width;
  int32_t job[MAX_W];
  uint64_t pos[MAX_W];
  bool squeezing[MAX_W];
  for (uint32_t l = 0; l < w; ++l) job[l] = -1;
  uint32_t next = 0;
  for (;;) {
    bool busy = false;
    for (uint32_t l = 0; l < w; ++l) {
      if (job[l] < 0 && next < count) {
        job[l] = int32_t(next++);
        pos[l] = 0;
        squeezing[l] = false;
        for (uint32_t i = 0; i < 25; ++i) s[w * i + l] = 0;
      }
      if (job[l] < 0) continue;
      busy = true;
      if (squeezing[l]) continue;
      // Absorb: one whole block, or the padded rest (then the next permutation starts squeezing).
      const ShakeJob &jb = jobs[job[l]];
      const uint64_t rest = jb.inlen - pos[l];
      const uint8_t *src = jb.in + pos[l];
      if (rest < jb.rate) {
        std::memset(block, 0, jb.rate);
        if (rest != 0) std::memcpy(block, src, rest);
        block[rest] = 0x1F;
        block[jb.rate - 1] |= 0x80;
        src = block;
        squeezing[l] = true;
      }
      for (uint32_t i = 0; i < jb.rate / 8; ++i) s[w * i + l] ^= lane_word(src + 8 * i);
      pos[l] += jb.rate;
    }
    if (!busy) break;
    lanes.permute(s);
    for (uint32_t l = 0; l < w; ++l) {
      if (job[l] < 0 || !squeezing[l]) continue;
      const uint32_t rate = jobs[job[l]].rate;
      for (uint32_t i = 0; i < rate / 8; ++i) put_lane_word(block + 8 * i, s[w * i + l]);
      if (!take(uint32_t(job[l]), static_cast<const uint8_t *>(block))) job[l] = -1;
    }
  }
  secure_wipe(s, sizeof s);
  secure_wipe(block, sizeof block);
}

}  // namespace tavik
