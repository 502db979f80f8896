#include "fips202x4.h"

#include <atomic>

#include "byteorder.h"
#include "fips202.h"
#include "kernels.h"
#include "shake_lanes.h"

namespace tavik {

void KeccakF1600_StatePermute4x(uint64_t s[100]) { kernels().permute4x(s); }

namespace {
// The width of the job scheduler's lanes; set once by the path's choice, which publishes it
// before any caller that waited for the choice proceeds, so a relaxed load suffices.
std::atomic<uint32_t> lanes_width{4};
// The width of a KeccakLanesInThread in this thread, or 0 for the process's.
thread_local uint32_t lanes_in_thread = 0;
}  // namespace

KeccakLanes keccak_lanes() {
  const Kernels &k = kernels();
  const uint32_t width = lanes_in_thread != 0 ? lanes_in_thread : lanes_width.load(std::memory_order_relaxed);
  if (width == 8) return {8, k.permute8x, k.extract8x};
  return {4, k.permute4x, k.extract4x};
}

bool keccak_eight_lanes() { return kernels().four_streams && keccak_lanes().width == 8; }

KeccakLanesInThread::KeccakLanesInThread(uint32_t width) : saved_(lanes_in_thread) {
  lanes_in_thread = width == 8 ? 8 : 4;
}

KeccakLanesInThread::~KeccakLanesInThread() { lanes_in_thread = saved_; }

void keccak_lanes_use(uint32_t width) { lanes_width.store(width == 8 ? 8 : 4, std::memory_order_relaxed); }

bool keccak_lanes_check(const Kernels &k) {
  alignas(64) uint64_t s4[200], s8[200];
  uint8_t out[8][SHAKE128_RATE];
  uint8_t *const dst[8] = {out[0], out[1], out[2], out[3], out[4], out[5], out[6], out[7]};
  // Eight distinct states; the two four-state halves hold states 0-3 and 4-7.
  for (uint32_t i = 0; i < 25; ++i)
    for (uint32_t j = 0; j < 8; ++j) {
      const uint64_t x = (uint64_t(i) * 8 + j + 1) * 0x9E3779B97F4A7C15u;
      s8[8 * i + j] = x;
      s4[100 * (j / 4) + 4 * i + j % 4] = x;
    }
  k.permute8x(s8);
  k.permute4x(s4);
  k.permute4x(s4 + 100);
  k.extract8x(dst, s8);
  bool ok = true;
  for (uint32_t i = 0; i < 25; ++i)
    for (uint32_t j = 0; j < 8; ++j) {
      const uint64_t x = s8[8 * i + j];
      ok &= x == s4[100 * (j / 4) + 4 * i + j % 4];
      if (i < SHAKE128_RATE / 8) ok &= load_le<8>(out[j] + 8 * i) == x;
    }
  return ok;
}

void shake128x4_absorb(keccakx4_state *st, const uint8_t *in0, const uint8_t *in1,
                       const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  kernels().absorb4x(st->s, SHAKE128_RATE, in0, in1, in2, in3, inlen);
}

void shake128x4_squeezeblocks(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                              uint64_t nblocks, keccakx4_state *st) {
  kernels().squeeze4x(out0, out1, out2, out3, nblocks, st->s, SHAKE128_RATE);
}

void shake256x4_absorb(keccakx4_state *st, const uint8_t *in0, const uint8_t *in1,
                       const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  kernels().absorb4x(st->s, SHAKE256_RATE, in0, in1, in2, in3, inlen);
}

void shake256x4_squeezeblocks(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                              uint64_t nblocks, keccakx4_state *st) {
  kernels().squeeze4x(out0, out1, out2, out3, nblocks, st->s, SHAKE256_RATE);
}

}  // namespace tavik
