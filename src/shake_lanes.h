// Independent SHAKE computations of different lengths scheduled over the lanes of a multi-state
// permutation: a lane whose computation ends takes the next one at once, so
// a long hash (a public key) runs beside many short expansions (the matrix) instead of after
// them. Every computation's output equals its single-stream SHAKE bit for bit.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fips202.h"
#include "kernels.h"
#include "rules/keccak_sponge.h"
#include "wipe.h"

namespace tavik {

// One computation: SHAKE128 (rate 168) or SHAKE256 (rate 136) of pre[0..prelen) followed by
// in[0..inlen). When `ready` is set the job starts only once *ready is true: its input is then
// complete (written by the caller's take() for another job, say).
struct ShakeJob {
  const uint8_t *in;
  uint64_t inlen;
  uint32_t rate;
  const uint8_t *pre = nullptr;
  uint32_t prelen = 0;
  const bool *ready = nullptr;
};

// A multi-state permutation: width (at most MAX_LANES) states interleaved lane by lane (lane i of
// state j at s[width * i + j]).
inline constexpr uint32_t MAX_LANES = 8;
struct KeccakLanes {
  uint32_t width;
  void (*permute)(uint64_t *);
  // Writes the first 168 bytes (21 lanes) of each state j to out[j] (distinct, not overlapping s).
  void (*extract)(uint8_t *const *out, const uint64_t *s);
  // permute(s) and a single state t (25 words, not overlapping s) beside it.
  void (*permute_beside)(uint64_t *s, uint64_t *t);
};
// The one the path in use schedules its jobs on: the kernels in use at the width chosen for the
// process (four states until a choice is made).
KeccakLanes keccak_lanes();
// True when the path in use hashes streams side by side (Kernels::four_streams) and its scheduler
// runs eight states: then the samplers hand the scheduler more streams at once (the secrets beside
// the matrix, two attempts' masks). The width is public: chosen with the path, the same for every key.
bool keccak_eight_lanes();
// Sets the width keccak_lanes() takes, 4 or 8 (any other value means 4), for the whole process:
// once by the path's choice (path.cpp), and by tests that run both widths. Outputs are the same
// at either width.
void keccak_lanes_use(uint32_t width);
// While it lives, keccak_lanes() in the thread that made it takes width (4 or 8) instead of the
// process's: the lane width's measurement runs the expansion at both widths.
class KeccakLanesInThread {
 public:
  explicit KeccakLanesInThread(uint32_t width);
  ~KeccakLanesInThread();
  KeccakLanesInThread(const KeccakLanesInThread &) = delete;
  KeccakLanesInThread &operator=(const KeccakLanesInThread &) = delete;

 private:
  uint32_t saved_;
};
// True when the eight-state kernels of k agree with its four-state permutation and a plain copy
// of the lanes on fixed states, and with a ninth state beside them with its single-state one: part
// of the self-test of a path.
bool keccak_lanes_check(const Kernels &k);

// The scheduler has internal linkage, as the sponge it absorbs with (keccak_sponge.h).
namespace {

// Bytes [pos, pos + n) of the input of jb (n at most the rate): where they lie, or a copy in tmp
// when they straddle pre and in.
inline const uint8_t *shake_job_input(const ShakeJob &jb, uint64_t pos, uint32_t n, uint8_t *tmp) {
  if (pos >= jb.prelen) return jb.in + (pos - jb.prelen);
  if (pos + n <= jb.prelen) return jb.pre + pos;
  const uint32_t head = uint32_t(jb.prelen - pos);
  std::memcpy(tmp, jb.pre + pos, head);
  std::memcpy(tmp + head, jb.in, n - head);
  return tmp;
}

// The single-state permutation as a lane set of width one, for the last job of a run.
inline void extract_one_lane(uint8_t *const *out, const uint64_t *s) {
  for (uint32_t i = 0; i < SHAKE128_RATE / 8; ++i) store_le<8>(out[0] + 8 * i, s[i]);
}
inline void permute_one_beside_one(uint64_t *s, uint64_t *t) {
  kernels().permute(s);
  kernels().permute(t);
}

// Runs jobs[0..count) (count <= MAX_SHAKE_JOBS) with the lanes of `lanes`, in order of job index
// as lanes fall free, a job not yet ready being passed over until it is. After
// each permutation, place(j) names where the block of job j goes: 168 writable bytes (the
// extraction writes 168 bytes at either rate), or nullptr for a buffer of the run's own. Then
// take(j, block) consumes the rate bytes at block and returns true when the job wants one more
// block. At least one block is squeezed per job. The run ends when no lane is busy: a job never
// ready is not run. When side is given, each permutation also permutes the state side->next_block()
// returns, when not null (a single stream whose input is written as the jobs go, Shake256Beside).
// Once one job is left and none can start, it goes on alone on the single-state permutation,
// which costs less than a step of all the lanes (a long message's digest after the matrix).
inline constexpr uint32_t MAX_SHAKE_JOBS = 32;
// No stream beside the lanes.
struct NoSide {
  uint64_t *next_block() { return nullptr; }
};
template <typename Place, typename Take, typename Side = NoSide>
void run_shake_jobs(KeccakLanes lanes, const ShakeJob *jobs, uint32_t count, Place place, Take take,
                    Side *side = nullptr) {
  constexpr uint32_t MAX_W = MAX_LANES;
  alignas(64) uint64_t s[25 * MAX_W];
  uint8_t out[MAX_W][SHAKE128_RATE];
  uint8_t *dst[MAX_W];
  uint8_t straddle[SHAKE128_RATE];
  uint32_t w = lanes.width;
  int32_t job[MAX_W];
  uint64_t pos[MAX_W];
  bool squeezing[MAX_W];
  uint32_t waiting[MAX_SHAKE_JOBS];  // jobs passed over, in order
  uint32_t n_waiting = 0;
  count = count < MAX_SHAKE_JOBS ? count : MAX_SHAKE_JOBS;
  for (uint32_t l = 0; l < w; ++l) job[l] = -1;
  uint32_t next = 0;
  const auto is_ready = [&](uint32_t j) { return jobs[j].ready == nullptr || *jobs[j].ready; };
  // The first job passed over that is now ready, else the next one in order that is.
  const auto pick = [&]() -> int32_t {
    for (uint32_t k = 0; k < n_waiting; ++k) {
      const uint32_t j = waiting[k];
      if (!is_ready(j)) continue;
      std::memmove(waiting + k, waiting + k + 1, (n_waiting - k - 1) * sizeof waiting[0]);
      --n_waiting;
      return int32_t(j);
    }
    for (; next < count; ++next) {
      if (is_ready(next)) return int32_t(next++);
      waiting[n_waiting++] = next;
    }
    return -1;
  };
  for (;;) {
    bool busy = false;
    uint32_t busy_lanes = 0, last = 0;
    for (uint32_t l = 0; l < w; ++l) {
      if (job[l] < 0) {
        job[l] = pick();
        if (job[l] < 0) continue;
        pos[l] = 0;
        squeezing[l] = false;
        for (uint32_t i = 0; i < 25; ++i) s[w * i + l] = 0;
      }
      busy = true;
      ++busy_lanes;
      last = l;
      if (squeezing[l]) continue;
      // Absorb one whole block, or the rest with its padding; after the padding the next
      // permutation starts the squeezing.
      const ShakeJob &jb = jobs[job[l]];
      const uint64_t rest = jb.prelen + jb.inlen - pos[l];
      const uint32_t n = rest < jb.rate ? uint32_t(rest) : jb.rate;
      squeezing[l] = sponge_absorb_step(s + l, w, shake_job_input(jb, pos[l], n, straddle), n, jb.rate);
      pos[l] += jb.rate;
    }
    if (!busy) break;
    if (busy_lanes == 1 && w > 1 && next >= count && n_waiting == 0) {
      // Lane `last` becomes the only state: word i moves from w * i + last down to i, in order.
      for (uint32_t i = 0; i < 25; ++i) s[i] = s[w * i + last];
      job[0] = job[last];
      pos[0] = pos[last];
      squeezing[0] = squeezing[last];
      w = 1;
      lanes = {1, kernels().permute, extract_one_lane, permute_one_beside_one};
    }
    uint64_t *const beside = side != nullptr ? side->next_block() : nullptr;
    if (beside != nullptr) lanes.permute_beside(s, beside);
    else lanes.permute(s);
    for (uint32_t l = 0; l < w; ++l) {
      uint8_t *const p = job[l] >= 0 && squeezing[l] ? place(uint32_t(job[l])) : nullptr;
      dst[l] = p != nullptr ? p : out[l];
    }
    lanes.extract(dst, s);
    for (uint32_t l = 0; l < w; ++l) {
      if (job[l] < 0 || !squeezing[l]) continue;
      if (!take(uint32_t(job[l]), static_cast<const uint8_t *>(dst[l]))) job[l] = -1;
    }
  }
  secure_wipe(s, sizeof s);
  secure_wipe(out, sizeof out);
  secure_wipe(straddle, sizeof straddle);
}

// As above, every block in the run's own buffers.
template <typename Take>
void run_shake_jobs(KeccakLanes lanes, const ShakeJob *jobs, uint32_t count, Take take) {
  run_shake_jobs(lanes, jobs, count, [](uint32_t) -> uint8_t * { return nullptr; }, take);
}

}  // namespace

}  // namespace tavik
